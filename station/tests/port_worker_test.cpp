// The port worker on emulated drives: the pre-steps, the order of the items,
// the first failure and what it leaves (error code, shown item, detail
// buffer, the later items' results), the gauge, the claim-new rebuild and a
// stop from outside.

#include "station/port_worker.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "devlib/controller_access.h"
#include "devlib/controller_tests.h"
#include "devlib/drive_state.h"
#include "devlib/firmware_download.h"
#include "devlib/flash_params.h"
#include "devlib/port_buffers.h"
#include "devlib/port_io.h"
#include "drivesim/config.h"
#include "drivesim/line.h"
#include "platform/clock.h"
#include "platform/debug.h"
#include "ram_code_line.h"
#include "station/port_stop.h"
#include "testsupport/emulated_drives_part.h"
#include "testsupport/firmware_images.h"
#include "station/test_items.h"
#include "worker_items.h"

namespace fleetburn {
namespace {

using devlib::testing::DriveFor;
using devlib::testing::PortPath;
using drivesim::DriveConfig;
using Results = std::vector<std::int32_t>;

constexpr int kPort = 2;


struct WorkerRun {
  PortRecord record;
  std::vector<WorkerShow> shows;
};

class PortWorkerTest : public devlib::testing::RamCodeLineTest {
 protected:
  void SetUp() override {
    RamCodeLineTest::SetUp();
    drivesim::installLine(line_);
    devlib::PublishFlashParams(testsupport::EmulatedDrivesPart());
    run_.logDir = directory_;
    run_.settings.ModelNum.assign("Tolvane KWFAXX SSD");
  }
  void TearDown() override {
    drivesim::installLine(nullptr);
    RamCodeLineTest::TearDown();
  }

  drivesim::Drive& Drive(DriveConfig config, PortPath path = PortPath::OwnUsb) {
    drivesim::Drive& drive = line_->addDrive(config);
    devlib::testing::WirePort(kPort, config.path, path);
    EXPECT_TRUE(devlib::SetVendorMode(kPort, true));  // as the rescan leaves a matched drive
    start_.devicePath = config.path;
    return drive;
  }
  drivesim::Drive& Drive(PortPath path = PortPath::OwnUsb) { return Drive(DriveFor(path, kPort), path); }

  void Enable(std::initializer_list<int> items) {
    for (int item : items) run_.settings.ItemEnable[static_cast<std::size_t>(item)] = 1;
    run_.checkedEntries = static_cast<int>(items.size());
  }

  // Runs the worker as the run engine does: in the port's work session, on the port's time line.
  WorkerRun Run(std::function<void(std::stop_source&)> arm = {}) {
    WorkerRun result;
    std::stop_source stop;
    devlib::PortWork work = devlib::BeginPortWork(kPort, stop.get_token());
    EXPECT_TRUE(work);
    const platform::clock::ScopedTimeLine line(PortTimeLine(kPort));
    if (arm) arm(stop);
    buffers_ = devlib::PortBuffersOf(kPort);
    result.record = PortWorkerThread(
        kPort, std::make_shared<const RunSnapshot>(run_), start_, stop.get_token(),
        [&](const WorkerShow& show) { result.shows.push_back(show); }, buffers_);
    return result;
  }

  std::vector<std::uint8_t> Detail(int code, devlib::DetailTable table = devlib::DetailTable::First) const {
    const auto detail = buffers_->PortErrorBuffers(table, code);
    return {detail.begin(), detail.end()};
  }
  std::vector<std::uint8_t> WorkBufferStart() const {
    const auto work = buffers_->workBuffer1().first(devlib::kErrorDetailSize);
    return {work.begin(), work.end()};
  }

  RunSnapshot run_;
  PortRecord start_;
  std::shared_ptr<devlib::PortBuffers> buffers_;
};


// The items a drive on the line passes, in the order the worker runs them.
const std::vector<int> kLineItems{1, 2, 3, 4, 5, 8, 9, 10, 11, 13};

Results ItemResults(const PortRecord& record, const std::vector<int>& items) {
  Results results;
  for (int item : items) results.push_back(record.itemResult[static_cast<std::size_t>(item)]);
  return results;
}

bool AllZero(const std::vector<std::uint8_t>& bytes) {
  return std::all_of(bytes.begin(), bytes.end(), [](std::uint8_t b) { return b == 0; });
}

// A drive behind a bridge that passes every item of kLineItems.
DriveConfig GoodBridgeDrive() {
  DriveConfig config = DriveFor(PortPath::Bridge, kPort);
  config.tablesBuilt = true;
  config.loaderHeader = true;
  return config;
}

// More bad blocks on one die than the preformat allows: it fails with a record of that die.
void TooManyBadBlocks(DriveConfig& config) {
  config.preformatBadBlockLimit = 1;
  config.factoryBadBlocks = {{1, 0, 300, 0}, {1, 0, 301, 0}};
}

drivesim::FaultRule AtaErrorOn(std::uint8_t command) {
  drivesim::FaultRule rule;
  rule.kind = drivesim::FaultKind::AtaError;
  rule.match.ataCommand = command;
  rule.times = -1;
  return rule;
}

class LineItemsTest : public PortWorkerTest {
 protected:
  void SetUp() override {
    PortWorkerTest::SetUp();
    for (int item : kLineItems) run_.settings.ItemEnable[static_cast<std::size_t>(item)] = 1;
    run_.checkedEntries = static_cast<int>(kLineItems.size());
    run_.settings.SetMaxLBAValue = 200000000;
    run_.settings.CheckMaxTemperatureValue = 45;
    run_.laterChk = true;
  }
};

TEST_F(LineItemsTest, AGoodDrivePassesEveryItem) {
  Drive(GoodBridgeDrive(), PortPath::Bridge);
  const WorkerRun run = Run();
  EXPECT_EQ(ItemResults(run.record, kLineItems), Results(kLineItems.size(), kResultPass));
  EXPECT_EQ(run.record.errorCode, 0u);
  EXPECT_EQ(run.record.finalResult, kResultPass);
  EXPECT_EQ(run.record.countResult, kResultPass);
  EXPECT_EQ(run.record.formatDone, 1u);
  EXPECT_EQ(run.record.temperature, 40);
  ASSERT_FALSE(run.shows.empty());
  EXPECT_TRUE(run.shows.back().ended);
  EXPECT_EQ(run.shows.back().gauge, 100);
}

struct FaultCase {
  const char* name;
  std::function<void(DriveConfig&)> fault;
  std::vector<drivesim::FaultRule> rules;
  int errorCode;
  Results results;  // of kLineItems
  // What the error code's detail buffer gets: the failing operation's data,
  // the work buffer that it left blank, or nothing.
  enum Detail { Data, Blank, None } detail;
};

class ItemFaults : public LineItemsTest, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(ItemFaults, TheFirstFailureIsRecordedAndTheLaterItemsFollowIt) {
  const FaultCase& c = GetParam();
  DriveConfig config = GoodBridgeDrive();
  c.fault(config);
  drivesim::Drive& drive = Drive(config, PortPath::Bridge);
  for (const drivesim::FaultRule& rule : c.rules) drive.injectFault(rule);
  const WorkerRun run = Run();

  EXPECT_EQ(run.record.errorCode, static_cast<std::uint32_t>(c.errorCode));
  EXPECT_EQ(run.record.shownItem, static_cast<std::uint32_t>(c.errorCode));
  EXPECT_EQ(ItemResults(run.record, kLineItems), c.results);
  EXPECT_EQ(run.record.finalResult, kResultFail);
  EXPECT_EQ(run.record.countResult, kResultFail);
  if (c.detail != FaultCase::None) {
    EXPECT_EQ(Detail(c.errorCode), WorkBufferStart()) << "the failing operation's data is the detail";
    if (c.detail == FaultCase::Data) {
      EXPECT_FALSE(AllZero(Detail(c.errorCode)));
    }
  } else {
    EXPECT_TRUE(AllZero(Detail(c.errorCode)));
  }
  for (int code = 0; code < devlib::kErrorCodeCount; ++code) {
    if (code == c.errorCode) continue;
    EXPECT_TRUE(AllZero(Detail(code))) << "detail " << code << " was written";
  }
  ASSERT_FALSE(run.shows.empty());
  EXPECT_TRUE(run.shows.back().ended);
  EXPECT_EQ(run.shows.back().record.errorCode, static_cast<std::uint32_t>(c.errorCode));
}

constexpr std::int32_t P = kResultPass, F = kResultFail, O = kResultNotRun;

INSTANTIATE_TEST_SUITE_P(
    Worker, ItemFaults,
    ::testing::Values(
        // A failing Flash Module Test ends the worker: the later items are not run.
        FaultCase{"FlashModule", [](DriveConfig& d) { d.flashIdsAt = {{1, 0, {0x98, 0xD7, 0x94, 0x32, 0x00}}}; },
                  {}, 1, {F, O, O, O, O, O, O, O, O, O}, FaultCase::Data},
        // Failing before the loader block check ends the worker there: Preformat and the rest not run.
        FaultCase{"BusInterface", [](DriveConfig& d) { d.testMemoryFlip = drivesim::TestMemoryFlip{}; }, {}, 2,
                  {P, F, F, F, O, O, O, O, O, O}, FaultCase::Data},
        FaultCase{"FlashInterface", [](DriveConfig& d) { d.flashTestFaults = {{1, 0, 1, 0, 3}}; }, {}, 3,
                  {P, P, F, F, O, O, O, O, O, O}, FaultCase::Data},
        FaultCase{"Dram",
                  [](DriveConfig& d) { d.jobs[drivesim::Job::DramCheck] = {0, 0, std::uint8_t{20}, false}; }, {}, 4,
                  {P, P, P, F, O, O, O, O, O, O}, FaultCase::Data},
        FaultCase{"LoaderBlocks", [](DriveConfig& d) { d.loaderBlocks = {0, 0, 1, 2}; }, {}, kErrorLoaderBlock,
                  {P, P, P, P, O, O, O, O, O, O}, FaultCase::Blank},
        // From Preformat on, a failure leaves the later items failed, not unrun.
        FaultCase{"Preformat", TooManyBadBlocks, {}, 5, {P, P, P, P, F, F, F, F, F, F}, FaultCase::Data},
        FaultCase{"ReadWrite", [](DriveConfig& d) { d.lbaWriteErrors = {0}; }, {}, 8,
                  {P, P, P, P, P, F, F, F, F, F}, FaultCase::Data},
        FaultCase{"CheckTables", [](DriveConfig& d) { d.damagedTables = {{drivesim::TablePage::Defect, 1}}; }, {},
                  9, {P, P, P, P, P, P, F, F, F, F}, FaultCase::Data},
        FaultCase{"SetMaxLba", [](DriveConfig&) {}, {AtaErrorOn(0xF9)}, 10, {P, P, P, P, P, P, P, F, F, F},
                  FaultCase::Blank},
        // Disk Format leaves no detail.
        FaultCase{"DiskFormat", [](DriveConfig& d) { d.volumeNeverAppears = true; }, {}, 11,
                  {P, P, P, P, P, P, P, P, F, F}, FaultCase::None},
        FaultCase{"TemperatureOverLimit", [](DriveConfig& d) { d.temperature = 46; }, {}, 13,
                  {P, P, P, P, P, P, P, P, P, F}, FaultCase::Data},
        FaultCase{"SmartUnreadable", [](DriveConfig&) {}, {AtaErrorOn(0xB0)}, 13, {P, P, P, P, P, P, P, P, P, F},
                  FaultCase::Blank}),
    [](const ::testing::TestParamInfo<FaultCase>& param) { return std::string(param.param.name); });

// Check Tables counts the bad blocks: early bad ones pass, grown ones fail with the totals, and
// blocks that cannot be classified (no loader header to find the early-bad lists by) fail.
TEST_F(PortWorkerTest, CheckTablesFailsOnGrownOrUncountedBadBlocks) {
  struct Case {
    std::vector<drivesim::BadBlock> factory, grown;
    bool loaderHeader;
    std::uint32_t errorCode;
  };
  const std::vector<Case> cases{{{{0, 0, 300, 0}, {1, 0, 301, 0}}, {}, true, 0},
                                {{{0, 0, 300, 0}}, {{1, 1, 400, 3}, {2, 0, 401, 4}}, true, kErrorBadBlockOver},
                                {{}, {{1, 1, 400, 3}}, false, 9}};
  for (std::size_t k = 0; k < cases.size(); ++k) {
    SCOPED_TRACE(k);
    DriveConfig config = GoodBridgeDrive();
    config.path += "#" + std::to_string(k);
    config.factoryBadBlocks = cases[k].factory;
    config.laterBadBlocks = cases[k].grown;
    config.loaderHeader = cases[k].loaderHeader;
    Drive(config, PortPath::Bridge);
    run_.settings.ItemEnable[9] = 1;
    const WorkerRun run = Run();
    EXPECT_EQ(run.record.errorCode, cases[k].errorCode);
    if (cases[k].errorCode != kErrorBadBlockOver) continue;
    const std::vector<std::uint8_t> detail = Detail(kErrorBadBlockOver);
    EXPECT_EQ(detail[0], 0xBB);
    std::uint32_t grown = 0;
    for (int column = 1; column < 5; ++column)
      for (int b = 0; b < 4; ++b) grown += std::uint32_t{detail[1 + 4 * column + b]} << (8 * b);
    EXPECT_EQ(grown, 2u) << "the totals of the grown columns";
    EXPECT_EQ(detail[1], 1) << "the early bad total";
  }
}

// Operations 1 (the erase) the controller was asked to start.
int ErasesStarted(drivesim::Drive& drive) {
  int started = 0;
  for (const auto& entry : drive.wire().entries(drivesim::Layer::Controller))
    if (entry.command.size() > 3 && entry.command[2] == 0x01 && entry.note.starts_with("start operation")) ++started;
  return started;
}

TEST_F(LineItemsTest, PreformatsEraseRunsBeforeTheLoaderBlockCheckEvenAfterAFailure) {
  for (bool erase : {false, true}) {
    SCOPED_TRACE(erase ? "EraseChk" : "no EraseChk");
    DriveConfig config = GoodBridgeDrive();
    config.path += erase ? "#erase" : "#keep";
    config.testMemoryFlip = drivesim::TestMemoryFlip{};
    drivesim::Drive& drive = Drive(config, PortPath::Bridge);
    run_.eraseChk = erase;
    const WorkerRun run = Run();
    EXPECT_EQ(run.record.errorCode, 2u);
    EXPECT_EQ(ErasesStarted(drive), erase ? 1 : 0);
    EXPECT_EQ(run.record.itemResult[5], kResultNotRun);
  }
}

TEST_F(LineItemsTest, ThePartsOfAFailedItemLeaveTheirValuesInTheRecord) {
  DriveConfig config = GoodBridgeDrive();
  config.temperature = 52;
  Drive(config, PortPath::Bridge);
  EXPECT_EQ(Run().record.temperature, 52);

  DriveConfig interface = GoodBridgeDrive();
  interface.path += "#interface";
  interface.flashTestFaults = {{2, 0, 0, 1, 4}};
  Drive(interface, PortPath::Bridge);
  const WorkerRun run = Run();
  EXPECT_EQ(run.record.errorCode, 3u);
  EXPECT_EQ(run.record.flashTestResult, static_cast<std::uint32_t>(devlib::kInterfaceStep2Failed));
}

TEST_F(LineItemsTest, APreformatFailureFillsTheSecondDetailBehindAZeroSector) {
  DriveConfig config = GoodBridgeDrive();
  TooManyBadBlocks(config);
  Drive(config, PortPath::Bridge);
  const WorkerRun run = Run();
  ASSERT_EQ(run.record.errorCode, 5u);
  const std::vector<std::uint8_t> second = Detail(5, devlib::DetailTable::Second);
  const std::vector<std::uint8_t> work = WorkBufferStart();
  ASSERT_FALSE(AllZero(work)) << "the preformat left its error block";
  EXPECT_TRUE(AllZero({second.begin(), second.begin() + 512}));
  EXPECT_TRUE(std::equal(second.begin() + 512, second.end(), work.begin()));
}

TEST_F(LineItemsTest, DiskFormatTriesForItsVolume101TimesASecondApart) {
  DriveConfig config = GoodBridgeDrive();
  config.volumeNeverAppears = true;
  Drive(config, PortPath::Bridge);
  run_.settings.ItemEnable.fill(0);
  run_.settings.ItemEnable[11] = 1;
  const std::uint64_t before = platform::clock::nowMs(PortTimeLine(kPort));
  const WorkerRun run = Run();
  const std::uint64_t waited = platform::clock::nowMs(PortTimeLine(kPort)) - before;
  EXPECT_EQ(run.record.errorCode, 11u);
  EXPECT_EQ(run.record.formatDone, 0u);
  EXPECT_GE(waited, 101'000u);
  EXPECT_LT(waited, 102'000u + 60'000u) << "the item waited far longer than its attempts";
}

TEST_F(PortWorkerTest, TemperatureOnTheControllersOwnUsbInterfacePassesUnread) {
  DriveConfig config = DriveFor(PortPath::OwnUsb, kPort);
  config.temperature = 90;
  Drive(config);
  Enable({13});
  run_.settings.CheckMaxTemperatureValue = 45;
  platform::debug::CaptureSink debug;
  const WorkerRun run = Run();
  EXPECT_EQ(run.record.itemResult[13], kResultPass);
  EXPECT_EQ(run.record.temperature, 0);
  EXPECT_TRUE(debug.contains("temperature not checked"));
}

TEST_F(PortWorkerTest, CopyImageRunsOnlyBesideDownloadAndIsNotAvailable) {
  Drive();
  Enable({12});
  run_.checkedEntries = 1;
  WorkerRun run = Run();
  EXPECT_EQ(run.record.itemResult[12], kResultNotRun);
  EXPECT_EQ(run.record.finalResult, kResultPass);
  EXPECT_EQ(run.shows.back().gauge, 100);
  for (const WorkerShow& show : run.shows) EXPECT_NE(show.caption, "Copy Image");
}

// The pre-steps that fail the port before any item.
TEST_F(PortWorkerTest, KeepEraseCountFailsADriveInLoaderModeBeforeAnyItem) {
  DriveConfig config = DriveFor(PortPath::OwnUsb, kPort);
  config.runState = drivesim::RunState::Loader;
  Drive(config);
  Enable({1, 2, 3, 4, 5, 8});
  run_.settings.KeepEraseCount = 1;
  const WorkerRun run = Run();
  EXPECT_EQ(run.record.errorCode, static_cast<std::uint32_t>(kErrorEraseCount));
  EXPECT_EQ(run.record.shownItem, static_cast<std::uint32_t>(kErrorEraseCount));
  EXPECT_EQ(ItemResults(run.record, {1, 2, 3, 4, 5, 8}), Results(6, kResultNotRun));
  EXPECT_EQ(run.record.finalResult, kResultFail);
  EXPECT_TRUE(AllZero(Detail(kErrorEraseCount)));
  ASSERT_GE(run.shows.size(), 2u);
  EXPECT_EQ(run.shows.front().caption, "Start");
  EXPECT_EQ(run.shows.front().colour, PanelColour::Yellow);
}

TEST_F(PortWorkerTest, KeepEraseCountOnAFirmwareDriveSavesTheCountsAndRuns) {
  Drive(GoodBridgeDrive(), PortPath::Bridge);
  Enable({1, 5});
  run_.settings.KeepEraseCount = 1;
  const WorkerRun run = Run();
  EXPECT_EQ(run.record.errorCode, 0u);
  EXPECT_EQ(ItemResults(run.record, {1, 5}), Results(2, kResultPass)) << "Preformat writes back what was saved";
}

TEST_F(PortWorkerTest, ASerialNumberOfTheWrongLengthFailsBeforeAnyItem) {
  Drive();
  Enable({1});
  run_.settings.EnCheckSnLength = 1;
  run_.settings.CheckSnLengthValue = 12;
  start_.serialNumber.assign("KW_0123456789");  // 13 characters
  WorkerRun run = Run();
  EXPECT_EQ(run.record.errorCode, static_cast<std::uint32_t>(kErrorSnLength));
  EXPECT_EQ(run.record.shownItem, static_cast<std::uint32_t>(kErrorSnLength));
  EXPECT_EQ(run.record.itemResult[1], kResultNotRun);
  EXPECT_EQ(run.record.finalResult, kResultFail);

  start_.serialNumber.assign("KW_012345678");
  run = Run();
  EXPECT_EQ(run.record.errorCode, 0u);
  EXPECT_EQ(run.record.itemResult[1], kResultPass);
}

TEST_F(PortWorkerTest, UpdateFirmwareModeTakesTheDrivesOwnSerialNumber) {
  Drive(PortPath::Bridge);
  run_.settings.EnUpdateFirmwareMode = 1;
  start_.serialNumber.assign("ASSIGNED-0000000000042");
  const WorkerRun run = Run();
  EXPECT_EQ(run.record.serialNumber.str(), "TV0000000001") << "the whole field, with no tail of the assigned one";
  EXPECT_EQ(run.shows.front().record.serialNumber.str(), "TV0000000001") << "the edit shows it from the start";
}

TEST_F(PortWorkerTest, UpdateFirmwareModeLeavesTheSerialOfAUsbPathDrive) {
  Drive();
  run_.settings.EnUpdateFirmwareMode = 1;
  start_.serialNumber.assign("ASSIGNED-0000000000042");
  EXPECT_EQ(Run().record.serialNumber.str(), "ASSIGNED-0000000000042");
}

TEST_F(PortWorkerTest, ABridgeOfChipType7GetsItsOptionBeforeTheItems) {
  for (std::uint8_t chipType : {std::uint8_t{7}, std::uint8_t{10}}) {
    SCOPED_TRACE(int{chipType});
    DriveConfig config = DriveFor(PortPath::Bridge, kPort);
    config.path += "#" + std::to_string(chipType);
    drivesim::Drive& drive = Drive(config, PortPath::Bridge);
    start_.chipType = chipType;
    Run();
    EXPECT_EQ(drive.bridgeOption(), chipType == 7 ? std::optional<std::uint8_t>(1) : std::nullopt);
  }
}

// The gauge steps by 100 / checked entries after each enabled item.
struct GaugeCase {
  int checkedEntries;
  std::vector<int> items;
  std::vector<int> gauges;  // after each item, then the end
};

class Gauge : public PortWorkerTest, public ::testing::WithParamInterface<GaugeCase> {};

TEST_P(Gauge, StepsByTheShareOfEachCheckedEntry) {
  Drive();
  for (int item : GetParam().items) run_.settings.ItemEnable[static_cast<std::size_t>(item)] = 1;
  run_.checkedEntries = GetParam().checkedEntries;
  const WorkerRun run = Run();
  std::vector<int> gauges;
  int last = -1;
  for (const WorkerShow& show : run.shows)
    if (show.gauge != last) gauges.push_back(last = show.gauge);
  EXPECT_EQ(gauges, GetParam().gauges);
  EXPECT_EQ(run.record.finalResult, kResultPass);
}

INSTANTIATE_TEST_SUITE_P(Worker, Gauge,
                         ::testing::Values(GaugeCase{4, {1, 2, 3, 4}, {0, 25, 50, 75, 100}},
                                           GaugeCase{3, {1, 2, 3}, {0, 33, 66, 99, 100}},
                                           // No checked entry: no step, and the end still reaches 100.
                                           GaugeCase{0, {1, 13}, {0, 100}},
                                           // More items than entries: the gauge stops at 100.
                                           GaugeCase{1, {1, 13}, {0, 100}}));

TEST_F(PortWorkerTest, ItemsShowTheirNamesInOrder) {
  Drive();
  Enable({13, 1, 4});
  const WorkerRun run = Run();
  std::vector<std::string> captions;
  for (const WorkerShow& show : run.shows)
    if (captions.empty() || captions.back() != show.caption) captions.push_back(show.caption);
  EXPECT_EQ(captions, (std::vector<std::string>{"Start", "Flash Module Test", "Dram Test", "Check Temperature"}));
  // An item shows itself running, then its result.
  const auto running = std::find_if(run.shows.begin(), run.shows.end(),
                                    [](const WorkerShow& show) { return show.caption == "Dram Test"; });
  ASSERT_NE(running, run.shows.end());
  EXPECT_EQ(running->record.itemResult[4], kResultRunning);
  EXPECT_EQ(std::next(running)->record.itemResult[4], kResultPass);
  EXPECT_EQ(std::count_if(run.shows.begin(), run.shows.end(), [](const WorkerShow& s) { return s.ended; }), 1);
}

// A claim-new run: item 1, the rebuild, and nothing else.
TEST_F(PortWorkerTest, ClaimNewRebuildsAfterItemOneAndRunsNothingElse) {
  Drive();
  Enable({1, 2, 5, 13});
  run_.claimNew = true;
  const WorkerRun run = Run();
  EXPECT_EQ(ItemResults(run.record, {1, 2, 5, 13}), (Results{kResultPass, kResultNotRun, kResultNotRun,
                                                             kResultNotRun}));
  EXPECT_EQ(run.record.errorCode, 0u);
  EXPECT_EQ(run.record.finalResult, kResultPass);
}

TEST_F(PortWorkerTest, AFailedRebuildFailsThePortEvenWhenTheProgramClosesAfterIt) {
  for (bool closeAfterRebuild : {false, true}) {
    SCOPED_TRACE(closeAfterRebuild ? "RebuildCloseChk" : "no RebuildCloseChk");
    DriveConfig config = DriveFor(PortPath::OwnUsb, kPort);
    config.path += closeAfterRebuild ? "#close" : "#stay";
    config.jobs[drivesim::Job::Operation4] = {0, 0, std::uint8_t{14}, false};
    Drive(config);
    run_.claimNew = true;
    run_.rebuildCloseChk = closeAfterRebuild;
    const WorkerRun run = Run();
    EXPECT_EQ(run.record.errorCode, static_cast<std::uint32_t>(kErrorRebuild));
    EXPECT_EQ(run.record.shownItem, static_cast<std::uint32_t>(kErrorRebuild));
    EXPECT_EQ(run.record.finalResult, kResultFail);
    EXPECT_EQ(Detail(kErrorRebuild), WorkBufferStart());
  }
}

TEST_F(PortWorkerTest, AStoppedWorkerLeavesItsItemRunningAndShowsNothingMore) {
  DriveConfig config = DriveFor(PortPath::OwnUsb, kPort);
  config.jobs[drivesim::Job::DramCheck] = {0, 0, {}, true};
  Drive(config);
  Enable({1, 4, 13});
  platform::clock::Timer watchdog;
  const WorkerRun run = Run([&](std::stop_source& stop) {
    watchdog = platform::clock::startTimer(PortTimeLine(kPort), 60'000, [&stop] { stop.request_stop(); });
  });
  EXPECT_EQ(run.record.itemResult[1], kResultPass);
  EXPECT_EQ(run.record.itemResult[4], kResultRunning);
  EXPECT_EQ(run.record.itemResult[13], kResultNotRun);
  EXPECT_EQ(run.record.finalResult, 0);
  EXPECT_EQ(run.record.errorCode, 0u);
  ASSERT_FALSE(run.shows.empty());
  EXPECT_FALSE(run.shows.back().ended);
  EXPECT_EQ(run.shows.back().record.itemResult[4], kResultRunning);
}

TEST_F(PortWorkerTest, DefectReportsTakeTheFirstFreeNameAndASafeSerial) {
  std::ofstream(directory_ / "SN7_EB.txt") << "earlier";
  std::ofstream(directory_ / "SN7(0)_EB.txt") << "earlier";
  EXPECT_EQ(ReserveDefectReport(directory_, "SN7"), directory_ / "SN7(1)_EB.txt");
  EXPECT_EQ(ReserveDefectReport(directory_, "SN7"), directory_ / "SN7(2)_EB.txt") << "a reserved name is taken";
  EXPECT_EQ(ReserveDefectReport(directory_, "../a/b"), directory_ / ".._a_b_EB.txt");
  EXPECT_TRUE(ReserveDefectReport(directory_ / "missing", "SN7").empty());
}
// Download and what follows it, on a drive that takes the download files.
class DownloadLine : public PortWorkerTest {
 protected:
  void SetUp() override {
    PortWorkerTest::SetUp();
    previousList_ = devlib::CurrentDownloadFileList();
    testsupport::WriteDownloadFileSet(directory_, 16 * 512, kSataName, kUsbName);
    const auto list = devlib::BuildDownloadFileList({"Init.bin", kSataName}, 16);
    ASSERT_TRUE(list.has_value());
    devlib::PublishDownloadFileList(std::make_shared<const devlib::DownloadFileList>(*list));
    start_.serialNumber.assign("TV7SERIAL0042");
    start_.uniqueId.assign("5001A4C000000042");
  }
  void TearDown() override {
    devlib::PublishDownloadFileList(previousList_);
    PortWorkerTest::TearDown();
  }
  static DriveConfig Config() {
    DriveConfig config = GoodBridgeDrive();
    config.model = "Tolvane OLD MODEL SSD";
    return config;
  }
  static constexpr const char* kSataName = "SYS_SIAA.bin";
  static constexpr const char* kUsbName = "SYS_UIAA.bin";

 private:
  std::shared_ptr<const devlib::DownloadFileList> previousList_;
};

// The IDENTIFY texts of the downloaded firmware: serial number and model.
std::pair<std::string, std::string> IdentifyTexts() {
  std::vector<std::uint8_t> sector(64 * 1024);
  devlib::EnsureFirmwareRunning(kPort, sector);
  EXPECT_TRUE(devlib::GetIdentifyData(kPort, sector, 1));
  devlib::SwapBytePairs(sector, 512);
  auto text = [&](std::size_t at, std::size_t length) {
    std::string t(reinterpret_cast<const char*>(sector.data() + at), length);
    return t.erase(t.find_last_not_of(' ') + 1);
  };
  return {text(20, 20), text(54, 40)};
}

TEST_F(DownloadLine, DownloadWritesTheAssignedSerialAndTheSettingsModel) {
  Drive(Config(), PortPath::Bridge);
  Enable({1, 6});
  const WorkerRun run = Run();
  EXPECT_EQ(ItemResults(run.record, {1, 6}), Results(2, kResultPass));
  EXPECT_EQ(IdentifyTexts(), std::make_pair(std::string("TV7SERIAL0042"), std::string("Tolvane KWFAXX SSD")));
}

TEST_F(DownloadLine, UpdateFirmwareModeKeepsTheDrivesOwnSerialAndModel) {
  Drive(Config(), PortPath::Bridge);
  Enable({1, 6});
  run_.settings.EnUpdateFirmwareMode = 1;
  const WorkerRun run = Run();
  EXPECT_EQ(ItemResults(run.record, {1, 6}), Results(2, kResultPass));
  EXPECT_EQ(run.record.serialNumber.str(), "TV0000000001");
  EXPECT_EQ(IdentifyTexts(), std::make_pair(std::string("TV0000000001"), std::string("Tolvane OLD MODEL SSD")));
}

TEST_F(DownloadLine, TheDefectReportTakesAFreeNameAndStaysOnlyWithItsTable) {
  std::ofstream(directory_ / "TV7SERIAL0042_EB.txt") << "an earlier drive";
  Drive(Config(), PortPath::Bridge);
  Enable({6});
  ASSERT_EQ(Run().record.itemResult[6], kResultPass);
  EXPECT_FALSE(std::filesystem::exists(directory_ / "TV7SERIAL0042(0)_EB.txt")) << "no table, no report";

  devlib::FlashParams params = testsupport::EmulatedDrivesPart();
  params.enSaveDefectTable = 1;
  devlib::PublishFlashParams(params);
  DriveConfig again = Config();
  again.path += "#again";
  Drive(again, PortPath::Bridge);
  ASSERT_EQ(Run().record.itemResult[6], kResultPass);
  EXPECT_GT(std::filesystem::file_size(directory_ / "TV7SERIAL0042(0)_EB.txt"), 0u);
  std::ifstream earlier(directory_ / "TV7SERIAL0042_EB.txt");
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(earlier), {}), "an earlier drive");
}

TEST_F(DownloadLine, CopyImageBesideDownloadFailsAsNotAvailable) {
  Drive(Config(), PortPath::Bridge);
  Enable({6, 12, 13});
  platform::debug::CaptureSink debug;
  const WorkerRun run = Run();
  EXPECT_EQ(ItemResults(run.record, {6, 12, 13}), (Results{kResultPass, kResultFail, kResultFail}));
  EXPECT_EQ(run.record.errorCode, 12u);
  EXPECT_EQ(run.record.shownItem, 12u);
  EXPECT_TRUE(AllZero(Detail(12)));
  EXPECT_TRUE(debug.contains("Copy Image is not available"));
}

// The checks after the identity collection, through the worker: what the
// download wrote is what the drive says; a firmware version the settings do
// not expect fails item 16 and every later enabled check gets -1 unrun.
TEST_F(DownloadLine, TheIdentityChecksReadWhatTheDownloadWrote) {
  const std::vector<int> items{6, 15, 16, 20, 22};
  for (const bool expectedVersion : {true, false}) {
    SCOPED_TRACE(expectedVersion ? "the version expected" : "another version");
    DriveConfig config = Config();
    config.path += expectedVersion ? "#a" : "#b";
    Drive(config, PortPath::Bridge);
    Enable({6, 15, 16, 20, 22});
    // The download writes the selected part's firmware version; the check expects the settings' one.
    devlib::FlashParams params = testsupport::EmulatedDrivesPart();
    params.firmwareVer.assign("TV1.0.07");
    devlib::PublishFlashParams(params);
    run_.settings.FirmwareVer.assign(expectedVersion ? "TV1.0.07" : "TV9.9.99");
    run_.settings.SnCheckPattern = 1;
    run_.settings.SnCheckValue.assign("TV7SERIAL0042");
    run_.settings.SnCheckMask.assign("#############");
    const WorkerRun run = Run();
    if (expectedVersion) {
      EXPECT_EQ(ItemResults(run.record, items), Results(items.size(), kResultPass)) << run.record.errorCode;
      EXPECT_EQ(run.record.finalResult, kResultPass);
    } else {
      EXPECT_EQ(ItemResults(run.record, items),
                (Results{kResultPass, kResultPass, kResultFail, kResultFail, kResultFail}));
      EXPECT_EQ(run.record.errorCode, 16u);
      EXPECT_EQ(run.record.shownItem, 16u);
    }
  }
}
}  // namespace
}  // namespace fleetburn
