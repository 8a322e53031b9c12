#include "station/settings_io.h"

#include <gtest/gtest.h>

#include <array>
#include <deque>
#include <filesystem>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "devlib/settings_file.h"
#include "platform/paths.h"
#include "testsupport/flash_list_builder.h"
#include "testsupport/settings_file_builder.h"

namespace fleetburn {
namespace {

using testsupport::LineEnd;
using testsupport::SettingsFileBuilder;

// Answers the dialogs from a list given in advance and keeps what they were asked.
class ScriptedFileDialogs final : public FileDialogs {
 public:
  std::optional<std::filesystem::path> openFile(const FileDialogRequest& request) override { return next(request); }
  std::optional<std::filesystem::path> saveFile(const FileDialogRequest& request) override { return next(request); }

  void answer(std::optional<std::filesystem::path> reply) { replies_.push_back(std::move(reply)); }
  const std::vector<FileDialogRequest>& requests() const { return requests_; }

 private:
  std::optional<std::filesystem::path> next(const FileDialogRequest& request) {
    requests_.push_back(request);
    if (replies_.empty()) return std::nullopt;
    auto reply = replies_.front();
    replies_.pop_front();
    return reply;
  }

  std::deque<std::optional<std::filesystem::path>> replies_;
  std::vector<FileDialogRequest> requests_;
};

void WriteFlashList(const std::filesystem::path& file) {
  testsupport::FlashListBuilder list;
  list.vendor("VendorA").part({.uni = "WBG", .part = "PARTA"}).part({.uni = "TVB", .part = "PARTB"});
  list.writeTo(file);
}

void WriteCounters(const std::filesystem::path& directory, int total, int pass) {
  std::filesystem::create_directories(directory);
  SettingsFileBuilder()
      .section("TestRecord")
      .key("TotalTestCount", total)
      .key("NumberOfPass", pass)
      .writeTo(directory / kVadidLogName);
}

class StationSettingsTest : public ::testing::Test {
 protected:
  void SetUp() override { platform::paths::setProgramDirectory(dir.path()); }
  void TearDown() override { platform::paths::setProgramDirectory({}); }

  std::string programFile(std::string_view name) const { return (dir / name).string(); }

  testsupport::ScratchDirectory dir;
  platform::prompt::ScriptedPrompt prompt;
};

// ---- Loading a settings file -------------------------------------------------

struct LoadCase {
  const char* name;
  SettingsFileBuilder file;
  const char* flashFile;     // where the flash part list lies, beside the program
  const char* logSubdir;     // the log directory, beside the program
  bool locked;
  const char* diskLabel;
  const char* flashUniName;
};

void PrintTo(const LoadCase& c, std::ostream* out) { *out << c.name; }

LoadCase DefaultsCase() {
  return {"defaults", SettingsFileBuilder().section("Setting"), "Flash.ini", "log", false, "SSD Disk", "WBG"};
}

SettingsFileBuilder EveryKeyFile(LineEnd lineEnd, int mpVersion) {
  SettingsFileBuilder file(lineEnd);
  file.section("Setting")
      .key("MPVersion", mpVersion)
      .key("LogPath", "records/")
      .section("TestItems")
      .key("DiskLabel", "LINE7")
      .section("FlashSetting")
      .key("ExtFlashFile", "Parts.ini")
      .key("FlashUniName", "TVB");
  return file;
}

class LoadTableTest : public StationSettingsTest, public ::testing::WithParamInterface<LoadCase> {};

TEST_P(LoadTableTest, LoadsRecordLogDirectoryLockAndCounters) {
  const LoadCase& c = GetParam();
  c.file.writeTo(dir / devlib::kSettingsFileName);
  WriteFlashList(dir / c.flashFile);
  WriteCounters(dir / c.logSubdir, 10, 7);

  StationSettings settings(prompt);
  ASSERT_TRUE(settings.LoadStartupSettings());

  EXPECT_TRUE(prompt.messages().empty());
  EXPECT_EQ(settings.SettingsFileName(), programFile(devlib::kSettingsFileName));
  EXPECT_EQ(settings.iniFileText(), devlib::kSettingsFileName);
  EXPECT_EQ(settings.locked(), c.locked);
  EXPECT_EQ(settings.volumeLabelText(), c.diskLabel);
  EXPECT_EQ(settings.record().FlashUniName.view(), c.flashUniName);
  EXPECT_EQ(settings.flashTable().FlashEntryCount, 2);
  // "log" names the directory beside the program; other values stand as written.
  const std::string logSubdir = c.logSubdir;
  EXPECT_EQ(settings.LogDir(), logSubdir == "log" ? programFile("log") + "/" : logSubdir + "/");
  EXPECT_EQ(settings.record().TotalTestCount, 10u);
  EXPECT_EQ(settings.record().NumberOfPass, 7u);
  EXPECT_EQ(settings.yieldText(), "7 / 10");

  // What a save writes loads back to the same record and saves the same bytes.
  ASSERT_TRUE(settings.SaveSettingsToIni("saved.ini"));
  StationSettings reloaded(prompt);
  ASSERT_TRUE(reloaded.LoadSettingsFromIni(programFile("saved.ini")));
  EXPECT_EQ(reloaded.locked(), c.locked);
  EXPECT_EQ(reloaded.record().FlashUniName.view(), c.flashUniName);
  ASSERT_TRUE(reloaded.SaveSettingsToIni("again.ini"));
  EXPECT_EQ(SettingsFileBuilder::readFile(dir / "again.ini"), SettingsFileBuilder::readFile(dir / "saved.ini"));
}

INSTANTIATE_TEST_SUITE_P(
    SettingsFiles, LoadTableTest,
    ::testing::Values(DefaultsCase(),
                      LoadCase{"every_key", EveryKeyFile(LineEnd::CrLf, 0), "Parts.ini", "records", false, "LINE7",
                               "TVB"},
                      LoadCase{"locked", EveryKeyFile(LineEnd::CrLf, 3), "Parts.ini", "records", true, "LINE7", "TVB"},
                      LoadCase{"lf_line_ends", EveryKeyFile(LineEnd::Lf, 0), "Parts.ini", "records", false, "LINE7",
                               "TVB"}),
    [](const auto& testInfo) { return std::string(testInfo.param.name); });

TEST_F(StationSettingsTest, DefaultLogDirectoryIsMadeBesideTheProgramWithZeroCounters) {
  WriteFlashList(dir / "Flash.ini");
  StationSettings settings(prompt);
  SettingsFileBuilder().section("Setting").writeTo(dir / devlib::kSettingsFileName);

  ASSERT_TRUE(settings.LoadStartupSettings());
  EXPECT_TRUE(std::filesystem::is_directory(dir / "log"));
  EXPECT_EQ(settings.yieldText(), "0 / 0");
}

TEST_F(StationSettingsTest, LaterUnlockedFileLeavesTheSettingsLocked) {
  WriteFlashList(dir / "Flash.ini");
  SettingsFileBuilder().section("Setting").key("MPVersion", 1).writeTo(dir / "locked.ini");
  SettingsFileBuilder().section("Setting").key("MPVersion", 0).writeTo(dir / "open.ini");

  StationSettings settings(prompt);
  EXPECT_FALSE(settings.locked());
  ASSERT_TRUE(settings.LoadSettingsFromIni(programFile("locked.ini")));
  EXPECT_TRUE(settings.locked());
  ASSERT_TRUE(settings.LoadSettingsFromIni(programFile("open.ini")));
  EXPECT_TRUE(settings.locked());
}

TEST_F(StationSettingsTest, LogPathWithoutTrailingSeparatorStillNamesADirectory) {
  WriteFlashList(dir / "Flash.ini");
  const std::string directory = programFile("run_logs");  // no separator: the counters are inside it all the same
  SettingsFileBuilder().section("Setting").key("LogPath", directory).writeTo(dir / devlib::kSettingsFileName);
  std::filesystem::create_directory(directory);
  SettingsFileBuilder().section("TestRecord").key("TotalTestCount", 4).key("NumberOfPass", 2).writeTo(
      directory + "/" + kVadidLogName);

  StationSettings settings(prompt);
  ASSERT_TRUE(settings.LoadStartupSettings());
  EXPECT_EQ(settings.LogDir(), directory + "/");
  EXPECT_EQ(settings.yieldText(), "2 / 4");
}

TEST_F(StationSettingsTest, RelativeLogPathLiesInTheProgramDirectory) {
  WriteFlashList(dir / "Flash.ini");
  SettingsFileBuilder().section("Setting").key("LogPath", "day\\shift").writeTo(dir / devlib::kSettingsFileName);
  std::filesystem::create_directory(dir / "day");

  StationSettings settings(prompt);
  ASSERT_TRUE(settings.LoadStartupSettings());
  EXPECT_EQ(settings.LogDir(), "day\\shift/");
  EXPECT_TRUE(std::filesystem::is_directory(dir / "day" / "shift"));
}

TEST_F(StationSettingsTest, LogPathWithDriveLetterLiesInTheProgramDirectory) {
  WriteFlashList(dir / "Flash.ini");
  SettingsFileBuilder().section("Setting").key("LogPath", "D:\\logs\\").writeTo(dir / devlib::kSettingsFileName);

  StationSettings settings(prompt);
  ASSERT_TRUE(settings.LoadStartupSettings());
  EXPECT_EQ(settings.LogDir(), "D:\\logs\\");
  EXPECT_TRUE(std::filesystem::is_directory(dir / "logs"));
}

// ---- Load failures -------------------------------------------------------------

TEST_F(StationSettingsTest, MissingSettingsFileIsReportedThenDefaultsApplyAndNextSaveCreatesIt) {
  WriteFlashList(dir / "Flash.ini");
  StationSettings settings(prompt);

  ASSERT_TRUE(settings.LoadStartupSettings());
  const std::string path = programFile(devlib::kSettingsFileName);
  EXPECT_EQ(prompt.messages(),
            std::vector<std::string>{"The " + path + " file cann't be found, and MP will create the file!\n"});
  EXPECT_EQ(settings.record().DiskLabel.view(), "SSD Disk");
  EXPECT_FALSE(std::filesystem::exists(path));

  EXPECT_TRUE(settings.SaveSettingsToIni(settings.SettingsFileName()));
  EXPECT_TRUE(std::filesystem::exists(path));
}

struct FlashFailureCase {
  const char* name;
  std::optional<std::string> flashListText;  // nothing: no flash list file
};

void PrintTo(const FlashFailureCase& c, std::ostream* out) { *out << c.name; }

class FlashFailureTest : public StationSettingsTest, public ::testing::WithParamInterface<FlashFailureCase> {};

TEST_P(FlashFailureTest, FailsWithItsMessageLeavingFilesAndStateAsTheyWere) {
  const auto& c = GetParam();
  // A good load first, so that the failed one has state to spoil.
  WriteFlashList(dir / "Flash.ini");
  SettingsFileBuilder().section("TestItems").key("DiskLabel", "GOOD").writeTo(dir / "good.ini");
  SettingsFileBuilder()
      .section("Setting")
      .key("MPVersion", 2)
      .key("LogPath", "other/")
      .section("TestItems")
      .key("DiskLabel", "BAD")
      .section("FlashSetting")
      .key("ExtFlashFile", "Broken.ini")
      .writeTo(dir / devlib::kSettingsFileName);
  if (c.flashListText) SettingsFileBuilder::writeFile(dir / "Broken.ini", *c.flashListText);
  WriteCounters(dir / "log", 5, 3);

  StationSettings settings(prompt);
  ASSERT_TRUE(settings.LoadSettingsFromIni(programFile("good.ini")));
  const std::filesystem::path files[] = {dir / devlib::kSettingsFileName, dir / "Broken.ini",
                                         dir / "log" / kVadidLogName};
  std::vector<std::optional<std::string>> before;
  for (const auto& file : files) {
    before.push_back(std::filesystem::exists(file) ? std::optional(SettingsFileBuilder::readFile(file))
                                                   : std::nullopt);
  }

  EXPECT_FALSE(settings.LoadSettingsFromIni(programFile(devlib::kSettingsFileName)));

  EXPECT_EQ(prompt.messages().back(), "Please make sure the flash file Broken.ini format correct!\n");
  for (std::size_t i = 0; i < std::size(files); ++i) {
    const auto now = std::filesystem::exists(files[i]) ? std::optional(SettingsFileBuilder::readFile(files[i]))
                                                       : std::nullopt;
    EXPECT_EQ(now, before[i]) << files[i];
  }
  EXPECT_FALSE(std::filesystem::exists(dir / "other"));
  EXPECT_EQ(settings.record().DiskLabel.view(), "GOOD");
  EXPECT_EQ(settings.volumeLabelText(), "GOOD");
  EXPECT_EQ(settings.iniFileText(), "good.ini");
  EXPECT_EQ(settings.LogDir(), programFile("log") + "/");
  EXPECT_FALSE(settings.locked());
  EXPECT_EQ(settings.flashTable().FlashEntryCount, 2);
}

INSTANTIATE_TEST_SUITE_P(FlashLists, FlashFailureTest,
                         ::testing::Values(FlashFailureCase{"missing", std::nullopt},
                                           FlashFailureCase{"damaged", "[Vendor]\r\nName00=VendorA\r\n\r\n"
                                                                       "[VendorA]\r\nName00=WBG PARTA 1-2\r\n"}),
                         [](const auto& testInfo) { return std::string(testInfo.param.name); });

TEST_F(StationSettingsTest, StartUpWithoutFlashListFailsAndWritesNothing) {
  SettingsFileBuilder().section("TestItems").key("DiskLabel", "X").writeTo(dir / devlib::kSettingsFileName);
  const std::string before = SettingsFileBuilder::readFile(dir / devlib::kSettingsFileName);

  StationSettings settings(prompt);
  EXPECT_FALSE(settings.LoadStartupSettings());
  EXPECT_EQ(SettingsFileBuilder::readFile(dir / devlib::kSettingsFileName), before);
  EXPECT_FALSE(std::filesystem::exists(dir / "log"));
}

TEST_F(StationSettingsTest, LogDirectoryIsMadeOneLevelOnly) {
  WriteFlashList(dir / "Flash.ini");
  SettingsFileBuilder().section("Setting").key("LogPath", "a/b/").writeTo(dir / devlib::kSettingsFileName);

  StationSettings settings(prompt);
  EXPECT_FALSE(settings.LoadStartupSettings());
  EXPECT_EQ(prompt.messages(), std::vector<std::string>{kLogDirectoryFailure});
  EXPECT_FALSE(std::filesystem::exists(dir / "a"));
}

// ---- Saving ----------------------------------------------------------------------

TEST_F(StationSettingsTest, SaveOfALoadedFileGivesItBackByteIdentical) {
  WriteFlashList(dir / "Parts.ini");
  // A file as the station writes it: load one, save it, and that is the original.
  EveryKeyFile(LineEnd::Lf, 0).line("[Extra]").line("Kept=1").writeTo(dir / "first.ini");
  {
    StationSettings writer(prompt);
    ASSERT_TRUE(writer.LoadSettingsFromIni(programFile("first.ini")));
    ASSERT_TRUE(writer.SaveSettingsToIni("original.ini"));
  }
  const std::string original = SettingsFileBuilder::readFile(dir / "original.ini");
  EXPECT_NE(original.find("Kept=1"), std::string::npos);

  StationSettings settings(prompt);
  ASSERT_TRUE(settings.LoadSettingsFromIni(programFile("original.ini")));
  ASSERT_TRUE(settings.SaveSettingsToIni("original.ini"));
  EXPECT_EQ(SettingsFileBuilder::readFile(dir / "original.ini"), original);
  ASSERT_TRUE(settings.SaveSettingsToIni("copy.ini"));
  EXPECT_EQ(SettingsFileBuilder::readFile(dir / "copy.ini"), original);
}

TEST_F(StationSettingsTest, ExitAfterFailedStartUpWritesNothing) {
  SettingsFileBuilder().section("TestItems").key("DiskLabel", "X").writeTo(dir / devlib::kSettingsFileName);
  const std::string before = SettingsFileBuilder::readFile(dir / devlib::kSettingsFileName);
  std::filesystem::create_directory(dir / "log");

  StationSettings settings(prompt);
  ASSERT_FALSE(settings.LoadStartupSettings());
  settings.SaveSettingsAtExit();

  EXPECT_EQ(SettingsFileBuilder::readFile(dir / devlib::kSettingsFileName), before);
  EXPECT_FALSE(std::filesystem::exists(dir / "log" / kVadidLogName));
}

TEST_F(StationSettingsTest, YieldCountersReplaceTheirKeysAndKeepTheRest) {
  const std::filesystem::path vadid = dir / kVadidLogName;
  SettingsFileBuilder::writeFile(vadid, "[TestRecord]\r\nTotalTestCount=1\r\n[Other]\r\nx=1\r\n");
  devlib::SettingsRecord counters{};
  counters.TotalTestCount = 12;
  counters.NumberOfPass = 9;

  ASSERT_TRUE(SaveYieldCounters(counters, vadid));
  EXPECT_EQ(SettingsFileBuilder::readFile(vadid),
            "[TestRecord]\r\nTotalTestCount=12\r\nNumberOfPass=9\r\n[Other]\r\nx=1\r\n");
  EXPECT_FALSE(SaveYieldCounters(counters, dir / "missing" / kVadidLogName));
}

TEST_F(StationSettingsTest, ExitWritesTheChosenFileDodevuduBesideTheProgramAndTheCounters) {
  WriteFlashList(dir / "Flash.ini");
  const std::filesystem::path elsewhere = dir / "elsewhere";
  std::filesystem::create_directory(elsewhere);
  SettingsFileBuilder().section("TestItems").key("DiskLabel", "CHOSEN").writeTo(elsewhere / "line.ini");
  StationSettings settings(prompt);
  ASSERT_TRUE(settings.LoadStartupSettings());
  ScriptedFileDialogs dialogs;
  dialogs.answer(elsewhere / "line.ini");
  settings.INILoadBtnClick(dialogs);
  ASSERT_EQ(settings.SettingsFileName(), (elsewhere / "line.ini").string());
  settings.record().TotalTestCount = 12;
  settings.record().NumberOfPass = 9;

  settings.SaveSettingsAtExit();

  StationSettings reader(prompt);
  ASSERT_TRUE(reader.LoadStartupSettings());
  EXPECT_EQ(reader.record().DiskLabel.view(), "CHOSEN");
  EXPECT_EQ(reader.yieldText(), "9 / 12");
  EXPECT_EQ(SettingsFileBuilder::readFile(elsewhere / "line.ini"),
            SettingsFileBuilder::readFile(dir / devlib::kSettingsFileName));
}

// ---- The buttons -------------------------------------------------------------------

class ButtonsTest : public StationSettingsTest {
 protected:
  void SetUp() override {
    StationSettingsTest::SetUp();
    WriteFlashList(dir / "Flash.ini");
    SettingsFileBuilder().section("TestItems").key("DiskLabel", "START").writeTo(dir / devlib::kSettingsFileName);
    SettingsFileBuilder().section("TestItems").key("DiskLabel", "OTHER").writeTo(dir / "other.ini");
    ASSERT_TRUE(settings.LoadStartupSettings());
    prompt.takeMessages();
  }

  int afterLoadCalls = 0;
  std::string pagesLabel = "FROM PAGES";
  StationSettings settings{prompt, SettingsView{
                                       .settingsToControls = {},
                                       .controlsToSettings =
                                           [this](devlib::SettingsRecord& r) { r.DiskLabel.assign(pagesLabel); },
                                       .afterLoadIni = [this] { ++afterLoadCalls; },
                                   }};
  ScriptedFileDialogs dialogs;
};

TEST_F(ButtonsTest, LoadIniAsksForAnIniFileInTheProgramDirectory) {
  dialogs.answer(std::nullopt);
  settings.INILoadBtnClick(dialogs);

  ASSERT_EQ(dialogs.requests().size(), 1u);
  EXPECT_EQ(dialogs.requests()[0].defaultExtension, ".ini");
  EXPECT_EQ(dialogs.requests()[0].filter, "EEPROM INI file(*.ini)|*.ini");
  EXPECT_EQ(dialogs.requests()[0].initialDirectory, dir.path());
  EXPECT_EQ(afterLoadCalls, 0);
  EXPECT_EQ(settings.record().DiskLabel.view(), "START");
}

TEST_F(ButtonsTest, LoadIniLoadsTheChosenFileAndReappliesThePages) {
  dialogs.answer(dir / "other.ini");
  settings.INILoadBtnClick(dialogs);

  EXPECT_EQ(settings.SettingsFileName(), programFile("other.ini"));
  EXPECT_EQ(settings.record().DiskLabel.view(), "OTHER");
  EXPECT_EQ(settings.iniFileText(), "other.ini");
  EXPECT_EQ(afterLoadCalls, 1);
}

TEST_F(ButtonsTest, LoadIniRefusesTheFlashListInAnyCase) {
  for (const char* name : {"Flash.ini", "FLASH.INI"}) {
    dialogs.answer(dir / name);
    settings.INILoadBtnClick(dialogs);
    EXPECT_EQ(prompt.takeMessages(), std::vector<std::string>{kFlashFileRefusal}) << name;
  }
  EXPECT_EQ(settings.SettingsFileName(), programFile(devlib::kSettingsFileName));
  EXPECT_EQ(afterLoadCalls, 0);
}

TEST_F(ButtonsTest, LoadIniOfAFailingFileKeepsTheCurrentFile) {
  SettingsFileBuilder().section("FlashSetting").key("ExtFlashFile", "None.ini").writeTo(dir / "bad.ini");
  dialogs.answer(dir / "bad.ini");
  settings.INILoadBtnClick(dialogs);

  EXPECT_EQ(prompt.takeMessages(),
            std::vector<std::string>{"Please make sure the flash file None.ini format correct!\n"});
  EXPECT_EQ(settings.SettingsFileName(), programFile(devlib::kSettingsFileName));
  EXPECT_EQ(settings.record().DiskLabel.view(), "START");
  EXPECT_EQ(afterLoadCalls, 1);
}

TEST_F(ButtonsTest, SaveIniCopiesThePagesThenWritesTheChosenFile) {
  const std::filesystem::path elsewhere = dir / "elsewhere";
  std::filesystem::create_directory(elsewhere);
  dialogs.answer(elsewhere / "saved.ini");
  settings.INISaveBtnClick(dialogs);

  EXPECT_EQ(settings.SettingsFileName(), (elsewhere / "saved.ini").string());
  StationSettings reader(prompt);
  ASSERT_TRUE(reader.LoadSettingsFromIni((elsewhere / "saved.ini").string()));
  EXPECT_EQ(reader.record().DiskLabel.view(), "FROM PAGES");
  EXPECT_TRUE(prompt.messages().empty());
}

TEST_F(ButtonsTest, SaveIniCancelKeepsTheCopiedValuesAndWritesNothing) {
  const std::string before = SettingsFileBuilder::readFile(dir / devlib::kSettingsFileName);
  settings.INISaveBtnClick(dialogs);

  EXPECT_EQ(settings.record().DiskLabel.view(), "FROM PAGES");
  EXPECT_EQ(settings.SettingsFileName(), programFile(devlib::kSettingsFileName));
  EXPECT_EQ(SettingsFileBuilder::readFile(dir / devlib::kSettingsFileName), before);
}

// ---- Lookups and the yield text ------------------------------------------------------

TEST(FindFlashEntryByNameTest, FirstExactMatchAmongTheCountedRowsElseZero) {
  devlib::FlashTable table;
  for (const char* uni : {"AAA", "BBB", "CCC", "BBB"}) {
    table.entries[static_cast<std::size_t>(table.FlashEntryCount++)].uniName.assign(uni);
  }
  struct Case {
    int count;
    const char* name;
    int expected;
  };
  for (const Case& c : {Case{4, "AAA", 0}, Case{4, "CCC", 2}, Case{4, "BBB", 1}, Case{4, "ccc", 0},
                        Case{4, "ZZZ", 0}, Case{2, "CCC", 0}, Case{0, "BBB", 0}, Case{-1, "BBB", 0},
                        Case{devlib::kFlashTableRows + 1, "CCC", 2}}) {
    EXPECT_EQ(FindFlashEntryByName(table, c.count, c.name), c.expected) << c.count << " " << c.name;
  }
  // An empty name must not match the empty rows past the loaded ones.
  EXPECT_EQ(FindFlashEntryByName(table, 4, ""), 0);
}

TEST(IndexOfValueTest, FirstEqualElementElseZero) {
  const std::array<std::int32_t, 5> values{1, 2, 4, 2, 8};
  struct Case {
    std::span<const std::int32_t> values;
    std::int32_t value;
    int expected;
  };
  for (const Case& c : {Case{values, 1, 0}, Case{values, 4, 2}, Case{values, 2, 1}, Case{values, 8, 4},
                        Case{values, 3, 0}, Case{{}, 1, 0}}) {
    EXPECT_EQ(IndexOfValue(c.values, c.value), c.expected) << c.value;
  }
}

TEST(YieldTextTest, PassThenTotal) {
  EXPECT_EQ(YieldText(0, 0), "0 / 0");
  EXPECT_EQ(YieldText(7, 10), "7 / 10");
  EXPECT_EQ(YieldText(4000000000u, 4000000001u), "4000000000 / 4000000001");
}

}  // namespace
}  // namespace fleetburn
