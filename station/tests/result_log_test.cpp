#include "station/result_log.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <ostream>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "devlib/port_buffers.h"
#include "platform/paths.h"
#include "station/test_items.h"
#include "testsupport/settings_file_builder.h"

namespace fleetburn {
namespace {

std::string ReadFile(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteFile(const std::filesystem::path& file, const std::string& content) {
  std::ofstream(file, std::ios::binary) << content;
}

const LogDate kStartup{2024, 1, 5};
const LogTime kStart{2024, 1, 5, 10, 20, 30};
const LogTime kEnd{2024, 1, 5, 10, 31, 7};

// The check list as the settings pages give it, with a "Write Test (Full)"
// entry that stands for items 14 and 24.
const std::vector<CheckListEntry> kCheckList = {
    {"Flash Module Test", true}, {"Bus Interface Test", true}, {"Flash Interface Test", true},
    {"Dram Test", false},        {"Preformat", true},          {"Download", true},
    {"R/W Test", true},          {"Check Tables", false},      {"Write Test (Full)", true},
};

// Items in the check list above, in column order.
constexpr std::array<int, 10> kListedItems = {1, 2, 3, 4, 5, 6, 8, 9, 14, 24};

PortRecord Record(const char* serial, const char* uid) {
  PortRecord r;
  r.active = 1;
  r.serialNumber.assign(serial);
  r.uniqueId.assign(uid);
  return r;
}

PortRecord Passed(const char* serial, const char* uid) {
  PortRecord r = Record(serial, uid);
  for (int item : kListedItems) r.itemResult[static_cast<std::size_t>(item)] = kResultPass;
  r.finalResult = kResultPass;
  return r;
}

// Failed at `item`: the items before it passed, the later ones were not run.
PortRecord FailedAt(int item, const char* serial, const char* uid) {
  PortRecord r = Record(serial, uid);
  for (int listed : kListedItems) {
    if (listed < item) r.itemResult[static_cast<std::size_t>(listed)] = kResultPass;
  }
  r.itemResult[static_cast<std::size_t>(item)] = kResultFail;
  r.errorCode = r.shownItem = static_cast<std::uint32_t>(item);
  r.finalResult = kResultFail;
  return r;
}

// Stopped by its watchdog while the Dram Test ran.
PortRecord TimedOutInDram(const char* serial, const char* uid) {
  PortRecord r = Record(serial, uid);
  for (int item : {1, 2, 3}) r.itemResult[static_cast<std::size_t>(item)] = kResultPass;
  r.itemResult[4] = kResultRunning;
  r.errorCode = r.shownItem = kErrorTimeout;
  r.finalResult = kResultFail;
  return r;
}

// The failure detail of a flash interface test: one RESET failure on
// channel 0, bank 1, then the end mark.
std::vector<std::uint8_t> FlashResetFailureDetail() {
  std::vector<std::uint8_t> detail(devlib::kErrorDetailSize, 0);
  detail[4] = 0x00;  // channel
  detail[5] = 0x01;  // bank
  detail[6] = 0x01;  // RESET failed
  detail[8] = detail[9] = detail[10] = 0xFF;
  return detail;
}

// A table build that failed: one record, code 6.
std::vector<std::uint8_t> BuildTableFailureDetail() {
  std::vector<std::uint8_t> detail(devlib::kErrorDetailSize, 0);
  detail[0] = 1;  // record count
  detail[1] = 6;  // "Build Table Fail."
  return detail;
}

class ResultLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::paths::setProgramDirectory(dir.path());
    std::filesystem::create_directory(logDir());
    params.setting.channels = 2;
    params.setting.banks = 2;
  }
  void TearDown() override { platform::paths::setProgramDirectory({}); }

  std::filesystem::path logDir() const { return dir.path() / "log"; }
  std::string logDirText() const { return logDir().string() + "/"; }

  RunRecordsInput Input(std::uint32_t total) {
    RunRecordsInput input;
    input.records = table;
    input.portCount = 10;
    input.activePorts = active;
    input.errorDetails = details;
    input.flashParams = &params;
    input.checkList = kCheckList;
    input.totalTestCount = total;
    input.startTime = kStart;
    input.endTime = kEnd;
    return input;
  }

  testsupport::ScratchDirectory dir;
  PortRecordTable table{};
  std::vector<int> active;
  std::array<std::span<const std::uint8_t>, kPortSlots> details{};
  devlib::FlashParams params{};
};

// ---- Header and rows -------------------------------------------------------------

constexpr const char* kGoldenHeader =
    "  No.\t Port.\t     StartTime \t EndTime \tSerialNumber\tWWN\t"
    "Module\tSATA\tFlash\tDram\tP_F\tDown\tR/W\tCheck Table\tFWTest\tFWTest\tResult\t\r\n";
constexpr const char* kGoldenRows =
    "000010\t000001\t2024/01/05 10:20:30\t2024/01/05 10:31:07\tKW0001\t5000000000000001\t"
    "Pass\tPass\tPass\tPass\tPass\tPass\tPass\tPass\tPass\tPass\tPass\t\r\n"
    "000011\t000005\t2024/01/05 10:20:30\t2024/01/05 10:31:07\tKW0002\t5000000000000002\t"
    "Pass\tPass\tPass\tPass\tPass\tFail\t----\t----\t----\t----\tFail\t\r\n"
    "000012\t000010\t2024/01/05 10:20:30\t2024/01/05 10:31:07\tKW0003\t5000000000000003\t"
    "Pass\tPass\tPass\tRunning\t----\t----\t----\t----\t----\t----\tFail\t\r\n";

TEST_F(ResultLogTest, NewLogGetsGoldenHeaderAndOneRowPerActivePortInSlotOrder) {
  table[0] = Passed("KW0001", "5000000000000001");
  table[4] = FailedAt(6, "KW0002", "5000000000000002");
  table[9] = TimedOutInDram("KW0003", "5000000000000003");
  table[7] = Passed("NOTACTIVE", "0");  // not in this run
  active = {9, 0, 4};                   // handed in any order

  ResultLogState log = ChooseResultLog(logDirText(), kStartup);
  const RunRecordsResult result = WriteRunRecords(log, Input(12));

  EXPECT_TRUE(result.logWritten);
  EXPECT_EQ(result.failure, "");
  EXPECT_EQ(result.rows, kGoldenRows);
  EXPECT_EQ(ReadFile(logDir() / "20240105_000.txt"), std::string(kGoldenHeader) + kGoldenRows);
  EXPECT_TRUE(result.reports.empty());  // a Download failure gets a row and no report
  EXPECT_FALSE(std::filesystem::exists(logDir() / kSingleExecuteResultName));
}

TEST_F(ResultLogTest, ItemWithoutCheckListEntryHasNoColumn) {
  const std::vector<CheckListEntry> list = {{"Download", true}, {"Flash Module Test", false}, {"Unknown", true}};
  const std::vector<int> items = LogColumnItems(list);
  EXPECT_EQ(items, (std::vector<int>{1, 6}));  // item order, not list order
  EXPECT_EQ(ResultLogHeader(items),
            "  No.\t Port.\t     StartTime \t EndTime \tSerialNumber\tWWN\tModule\tDown\tResult\t\r\n");
}

TEST(ResultLogRows, RunningNumbersFollowTheYieldTotal) {
  struct Case {
    std::uint32_t total;
    int active;
    std::vector<int> expected;
  };
  for (const Case& c : {Case{10, 4, {7, 8, 9, 10}}, Case{2, 4, {1, 2, 3, 4}}, Case{0, 1, {1}}}) {
    std::vector<int> numbers;
    for (int position = 1; position <= c.active; ++position) {
      numbers.push_back(RunningNumber(c.total, c.active, position));
    }
    EXPECT_EQ(numbers, c.expected) << "total " << c.total;
  }
}

TEST(ResultLogRows, ControlCharactersInSerialAndUidCannotBreakTheRow) {
  PortRecord r = Passed("KW\t01\r\n", "AB\x01");
  const std::string row = ResultLogRow(7, 0, r, kStart, kEnd, std::vector<int>{1});
  EXPECT_EQ(row, "000007\t000001\t2024/01/05 10:20:30\t2024/01/05 10:31:07\tKW 01  \tAB \tPass\tPass\t\r\n");
}

// ---- Which file, and when it rolls ------------------------------------------------

struct ChoiceCase {
  const char* name;
  std::vector<std::pair<const char*, std::size_t>> files;  // name and size
  int expected;
};

void PrintTo(const ChoiceCase& c, std::ostream* out) { *out << c.name; }

class ResultLogChoiceTest : public ResultLogTest, public ::testing::WithParamInterface<ChoiceCase> {};

TEST_P(ResultLogChoiceTest, ContinuesInTheLastFileUnlessItIsFull) {
  for (const auto& [name, size] : GetParam().files) WriteFile(logDir() / name, std::string(size, 'x'));
  WriteFile(logDir() / "20240104_007.txt", "another day");

  const ResultLogState log = ChooseResultLog(logDirText(), kStartup);
  EXPECT_EQ(log.LogNumber, GetParam().expected);
  EXPECT_EQ(log.LogPath, logDirText() + "20240105_" + (GetParam().expected < 10 ? "00" : "0") +
                             std::to_string(GetParam().expected) + ".txt");
  EXPECT_EQ(log.LogSizeLimit, 83000u);
}

INSTANTIATE_TEST_SUITE_P(
    Files, ResultLogChoiceTest,
    ::testing::Values(ChoiceCase{"empty_directory", {}, 0},
                      ChoiceCase{"two_small_files", {{"20240105_000.txt", 100}, {"20240105_001.txt", 100}}, 1},
                      ChoiceCase{"last_file_full", {{"20240105_000.txt", 100}, {"20240105_001.txt", 83000}}, 2},
                      ChoiceCase{"last_file_just_below", {{"20240105_000.txt", 82999}}, 0},
                      ChoiceCase{"gap_after_first", {{"20240105_000.txt", 100}, {"20240105_002.txt", 100}}, 0}),
    [](const auto& testInfo) { return std::string(testInfo.param.name); });

TEST_F(ResultLogTest, ExistingLogGetsRowsButNeverAHeader) {
  WriteFile(logDir() / "20240105_000.txt", "earlier rows\r\n");
  WriteFile(logDir() / "20240105_001.txt", "earlier rows\r\n");
  table[0] = Passed("KW0001", "1");
  active = {0};

  ResultLogState log = ChooseResultLog(logDirText(), kStartup);
  const RunRecordsResult result = WriteRunRecords(log, Input(1));

  ASSERT_TRUE(result.logWritten);
  EXPECT_EQ(log.LogNumber, 1);
  EXPECT_EQ(ReadFile(logDir() / "20240105_001.txt"), "earlier rows\r\n" + result.rows);
  EXPECT_EQ(ReadFile(logDir() / "20240105_000.txt"), "earlier rows\r\n");
}

TEST_F(ResultLogTest, FullLogRollsOverOncePerRunBeforeTheRows) {
  table[0] = Passed("KW0001", "1");
  active = {0};
  ResultLogState log = ChooseResultLog(logDirText(), kStartup);
  const std::string almostFull(82990, 'x');
  WriteFile(logDir() / "20240105_000.txt", almostFull);

  // Below the limit before the rows: the run's rows go in and pass it.
  const RunRecordsResult first = WriteRunRecords(log, Input(1));
  ASSERT_TRUE(first.logWritten);
  EXPECT_EQ(log.LogNumber, 0);
  EXPECT_EQ(ReadFile(logDir() / "20240105_000.txt"), almostFull + first.rows);

  // Now at the limit: the next run starts _001 with the header.
  const RunRecordsResult second = WriteRunRecords(log, Input(2));
  ASSERT_TRUE(second.logWritten);
  EXPECT_EQ(log.LogNumber, 1);
  EXPECT_EQ(log.LogPath, logDirText() + "20240105_001.txt");
  EXPECT_EQ(ReadFile(logDir() / "20240105_001.txt"), ResultLogHeader(LogColumnItems(kCheckList)) + second.rows);
  EXPECT_EQ(ReadFile(logDir() / "20240105_000.txt"), almostFull + first.rows);
}

TEST_F(ResultLogTest, SingleExecuteResultHoldsOnlyTheLastRun) {
  WriteFile(logDir() / kSingleExecuteResultName, "a run before\r\n");
  WriteFile(logDir() / "20240105_000.txt", "earlier rows\r\n");
  table[3] = FailedAt(8, "KW0004", "4");
  active = {3};

  ResultLogState log = ChooseResultLog(logDirText(), kStartup);
  RunRecordsInput input = Input(5);
  input.singleExecuteResult = true;
  const RunRecordsResult result = WriteRunRecords(log, input);

  EXPECT_TRUE(result.singleExecuteWritten);
  EXPECT_EQ(ReadFile(logDir() / kSingleExecuteResultName), ResultLogHeader(LogColumnItems(kCheckList)) + result.rows);
  EXPECT_EQ(ReadFile(logDir() / "20240105_000.txt"), "earlier rows\r\n" + result.rows);
}

TEST_F(ResultLogTest, UnwritableLogDirectoryFailsAndGivesTheRowsBack) {
  table[0] = Passed("KW0001", "1");
  table[2] = FailedAt(6, "KW0002", "2");
  active = {0, 2};
  ResultLogState log = ChooseResultLog((dir.path() / "gone").string() + "/", kStartup);
  RunRecordsInput input = Input(2);
  input.collectFailedDownloads = true;

  const RunRecordsResult result = WriteRunRecords(log, input);

  EXPECT_FALSE(result.logWritten);
  EXPECT_EQ(result.failure, "Fail to open/create log file!");
  EXPECT_NE(result.detail.find("20240105_000.txt"), std::string::npos) << result.detail;
  EXPECT_EQ(result.rows,
            ResultLogRow(1, 0, table[0], kStart, kEnd, LogColumnItems(kCheckList)) +
                ResultLogRow(2, 2, table[2], kStart, kEnd, LogColumnItems(kCheckList)));
  // The failed download's serial is not lost with the log.
  EXPECT_EQ(result.failedDownloadSerials, std::vector<std::string>{"KW0002"});
}

TEST_F(ResultLogTest, LogThatIsADirectoryFailsWithoutTouchingIt) {
  std::filesystem::create_directory(logDir() / "20240105_000.txt");
  table[0] = Passed("KW0001", "1");
  active = {0};
  ResultLogState log;
  log.LogDir = logDirText();
  log.LogNamePattern = logDirText() + "20240105";
  log.LogPath = log.PathOf(0);

  const RunRecordsResult result = WriteRunRecords(log, Input(1));
  EXPECT_FALSE(result.logWritten);
  EXPECT_EQ(result.failure, kLogOpenFailure);
  EXPECT_FALSE(result.rows.empty());
  EXPECT_TRUE(std::filesystem::is_directory(logDir() / "20240105_000.txt"));
}

// ---- Error reports -----------------------------------------------------------------

TEST_F(ResultLogTest, FlashInterfaceAndPreformatFailuresGetReportsOthersDoNot) {
  const std::vector<std::uint8_t> flashDetail = FlashResetFailureDetail();
  const std::vector<std::uint8_t> tableDetail = BuildTableFailureDetail();
  const std::vector<std::uint8_t> downloadDetail(devlib::kErrorDetailSize, 0x11);
  table[0] = FailedAt(3, "KW0001", "1");
  table[1] = FailedAt(5, "KW0002", "2");
  table[2] = FailedAt(6, "KW0003", "3");
  table[3] = FailedAt(5, "KW0004", "4");  // aborted: its Preformat detail was not written
  details[0] = flashDetail;
  details[1] = tableDetail;
  details[2] = downloadDetail;
  active = {0, 1, 2, 3};

  ResultLogState log = ChooseResultLog(logDirText(), kStartup);
  const RunRecordsResult result = WriteRunRecords(log, Input(4));

  ASSERT_EQ(result.reports.size(), 2u);
  const ErrorReport& flash = result.reports[0];
  EXPECT_EQ(flash.port, 0);
  EXPECT_TRUE(flash.written);
  EXPECT_EQ(flash.path, logDir() / "Error_202401051031_01_KW0001.txt");
  EXPECT_EQ(ReadFile(flash.path),
            "Flash Interface Test Fail\r\nFlash RESET fail. Ch#00, Bank#01\r\n\r\nBad CH/CE:\r\nCH#0, BK#1\r\n");
  EXPECT_EQ(flash.shownItem, 44u);  // "B01": the caption names the failure found
  EXPECT_EQ(flash.failKind, 1u);    // one bad CH/CE: its index is shown
  EXPECT_EQ(flash.subError, 2u);

  const ErrorReport& preformat = result.reports[1];
  EXPECT_EQ(preformat.port, 1);
  EXPECT_EQ(preformat.path, logDir() / "Error_202401051031_02_KW0002.txt");
  EXPECT_EQ(ReadFile(preformat.path), "Build Table Fail.\r\n");
  EXPECT_EQ(preformat.shownItem, 41u);
  EXPECT_EQ(preformat.failKind, 0u);

  PortRecord shown = table[0];
  ApplyErrorReport(flash, shown);
  EXPECT_EQ(shown.shownItem, 44u);
  EXPECT_EQ(shown.subError, 2u);
  EXPECT_EQ(shown.failKind, 1u);

  std::vector<std::string> files;
  for (const auto& entry : std::filesystem::directory_iterator(logDir())) {
    files.push_back(entry.path().filename().string());
  }
  std::sort(files.begin(), files.end());
  EXPECT_EQ(files, (std::vector<std::string>{"20240105_000.txt", "Error_202401051031_01_KW0001.txt",
                                             "Error_202401051031_02_KW0002.txt"}));
}

TEST_F(ResultLogTest, ReportNameIsSafeAndAnEarlierReportIsKept) {
  const std::vector<std::uint8_t> flashDetail = FlashResetFailureDetail();
  table[4] = FailedAt(3, "../KW 7", "1");
  details[4] = flashDetail;
  active = {4};
  const std::string name = "Error_202401051031_05_.._KW_7.txt";
  EXPECT_EQ(ErrorDumpFileName(kEnd, 4, "../KW 7"), name);
  WriteFile(logDir() / name, "the same port a moment ago");

  ResultLogState log = ChooseResultLog(logDirText(), kStartup);
  const RunRecordsResult result = WriteRunRecords(log, Input(1));

  ASSERT_EQ(result.reports.size(), 1u);
  EXPECT_EQ(result.reports[0].path, logDir() / "Error_202401051031_05_.._KW_7(1).txt");
  EXPECT_TRUE(result.reports[0].written);
  EXPECT_EQ(ReadFile(logDir() / name), "the same port a moment ago");
}

TEST(ResultLogNames, CaptureImageIsNamedByTheEndTime) {
  platform::paths::setProgramDirectory("/srv/station");
  EXPECT_EQ(CaptureImagePath("/srv/station/log/", LogTime{2024, 1, 5, 9, 8, 7}),
            std::filesystem::path("/srv/station/log/Image_0105090807.jpg"));
  platform::paths::setProgramDirectory({});
}

// ---- Serial numbers for reuse ------------------------------------------------------

TEST_F(ResultLogTest, FailedDownloadSerialsAreCollectedInSlotOrderOnlyWhenAsked) {
  table[1] = FailedAt(6, "KW0002", "2");
  table[5] = FailedAt(3, "KW0006", "6");  // failed before Download: not reused
  table[6] = FailedAt(6, "KW0007", "7");
  table[8] = FailedAt(6, "", "9");  // no serial to reuse
  active = {6, 1, 5, 8};

  ResultLogState log = ChooseResultLog(logDirText(), kStartup);
  RunRecordsInput input = Input(4);
  EXPECT_TRUE(WriteRunRecords(log, input).failedDownloadSerials.empty());
  input.collectFailedDownloads = true;
  EXPECT_EQ(WriteRunRecords(log, input).failedDownloadSerials, (std::vector<std::string>{"KW0002", "KW0007"}));
}

SnReuseQueue QueueOf(const std::vector<std::string>& serials, int readIndex) {
  SnReuseQueue queue;
  for (const std::string& serial : serials) queue.entries[static_cast<std::size_t>(queue.count++)].assign(serial);
  queue.readIndex = readIndex;
  return queue;
}

TEST(SnReuseQueueTest, CollectedSerialsComeFirstThenTheUnreadOnes) {
  SnReuseQueue queue = QueueOf({"A1", "A2", "A3", "A4"}, 0);
  EXPECT_EQ(queue.Unread(), (std::deque<std::string>{"A1", "A2", "A3", "A4"}));
  queue.MarkRead(2);
  EXPECT_EQ(queue.Unread(), (std::deque<std::string>{"A3", "A4"}));

  const std::vector<std::string> collected = {"B7", "B2"};
  EXPECT_TRUE(queue.Requeue(collected).empty());
  EXPECT_EQ(queue.count, 4);
  EXPECT_EQ(queue.readIndex, 0);
  EXPECT_EQ(queue.Unread(), (std::deque<std::string>{"B7", "B2", "A3", "A4"}));

  queue.MarkRead(10);  // more than there are
  EXPECT_TRUE(queue.Unread().empty());
  EXPECT_TRUE(queue.Requeue({}).empty());
  EXPECT_EQ(queue.count, 0);
}

TEST(SnReuseQueueTest, WhatDoesNotFitIsGivenBack) {
  std::vector<std::string> unread;
  for (int i = 0; i < 49; ++i) unread.push_back("U" + std::to_string(i));
  SnReuseQueue queue = QueueOf(unread, 0);
  const std::string tooLong(40, 'L');
  const std::vector<std::string> collected = {"C1", tooLong, "C2"};

  const std::vector<std::string> left = queue.Requeue(collected);

  EXPECT_EQ(queue.count, 50);
  EXPECT_EQ(queue.entries[0].view(), "C1");
  EXPECT_EQ(queue.entries[1].view(), "C2");
  EXPECT_EQ(queue.entries[2].view(), "U0");
  EXPECT_EQ(queue.entries[49].view(), "U47");
  EXPECT_EQ(left, (std::vector<std::string>{tooLong, "U48"}));
}

}  // namespace
}  // namespace fleetburn
