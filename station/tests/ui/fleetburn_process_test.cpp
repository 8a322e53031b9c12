// The fleetburn program as a process, started the way the line starts it:
// the start-ups that must end early (exit code 1, files left as they were),
// the missing settings file, and a normal close that writes the settings and
// the counters. Each run has a program directory of its own with the
// program in it, since the station keeps its files beside itself.
//
// The runs use AutoExecute, so every message goes to standard error and no
// box waits for a click, and --test-close-after-start to close the window
// once it has shown, as the operator's Close would.

#include <gtest/gtest.h>
#include <unistd.h>

#include <QProcess>
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <vector>
#include <string>
#include <system_error>

#include "platform/instance_guard.h"
#include "platform/private_profile.h"
#include "station/startup.h"
#include "testsupport/flash_list_builder.h"
#include "testsupport/ram_code_images.h"
#include "testsupport/settings_file_builder.h"

namespace fleetburn {
namespace {

namespace fs = std::filesystem;
using testsupport::SettingsFileBuilder;

struct Outcome {
  bool finished = false;
  int exitCode = -1;
  std::string errors;  // standard error
};

class FleetburnProcess : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
    program = fs::path(FLEETBURN_RUN_DIR) / (std::string(test->name()) + "-" + std::to_string(::getpid()));
    fs::remove_all(program);
    fs::create_directories(program / "lock");
    std::error_code linked;
    fs::create_hard_link(FLEETBURN_EXECUTABLE, program / "fleetburn", linked);
    if (linked) fs::copy_file(FLEETBURN_EXECUTABLE, program / "fleetburn");
    line = fs::path(TOLVANE_SCENARIO_DIR) / "bench.ini";
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(program, ignored);
  }

  // Everything a station needs beside it: the flash list, the RAM code
  // images, a settings file and the counters.
  void WriteStation() {
    testsupport::FlashListBuilder list;
    list.vendor("Tolvane").part({.uni = "WBG", .part = "TV64G2A", .chipEnables = 2});
    list.writeTo(program / "Flash.ini");
    testsupport::WriteRamCodeImages(program);
    SettingsFileBuilder()
        .section("DeviceSetting")
        .key("VID", "ABCD")
        .section("FlashSetting")
        .key("FlashUniName", "WBG")
        .writeTo(program / "DODEVUDU.ini");
    fs::create_directories(program / "log");
    SettingsFileBuilder().section("TestRecord").key("TotalTestCount", 10).writeTo(program / "log" / "VADID.log");
  }

  Outcome Start(QStringList arguments = {"AutoExecute", "--test-close-after-start"}) {
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("QT_QPA_PLATFORM", "offscreen");
    environment.insert("TOLVANE_LOCK_DIR", QString::fromStdString((program / "lock").string()));
    environment.insert("TOLVANE_SIM", QString::fromStdString(line.string()));
    process.setProcessEnvironment(environment);
    process.setWorkingDirectory(QString::fromStdString(program.string()));
    process.start(QString::fromStdString((program / "fleetburn").string()), arguments);
    Outcome run;
    run.finished = process.waitForFinished(60000);
    if (!run.finished) process.kill();
    run.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    run.errors = process.readAllStandardError().toStdString();
    return run;
  }

  std::string Read(const fs::path& file) const { return SettingsFileBuilder::readFile(file); }

  // A station ready for a production run, as the demo makes it: the part
  // the emulated drives carry, the RAM code, the firmware files and the
  // settings with the production items on.
  void WriteRunStation() {
    fs::remove_all(program / "log");
    QProcess maker;
    maker.start(QString::fromUtf8(FLEETBURN_DEMO_STATION), {QString::fromStdString(program.string())});
    ASSERT_TRUE(maker.waitForFinished(30000));
    ASSERT_EQ(maker.exitCode(), 0) << maker.readAllStandardError().toStdString();
  }

  // The run's files of one kind in the log directory.
  std::vector<fs::path> LogFiles(std::string_view prefix) const {
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(program / "log")) {
      if (entry.path().filename().string().starts_with(prefix)) files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end());
    return files;
  }

  fs::path program;
  fs::path line;
};

TEST_F(FleetburnProcess, NormalCloseExitsZeroAndWritesSettingsAndCounters) {
  WriteStation();
  const Outcome run = Start();
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.exitCode, 0) << run.errors;
  EXPECT_NE(run.errors.find("Port["), std::string::npos) << "the hubs were walked";
  const std::string settings = Read(program / "DODEVUDU.ini");
  EXPECT_NE(settings.find("VID=ABCD\r\n"), std::string::npos) << settings;
  EXPECT_NE(settings.find("ExtFlashFile=Flash.ini\r\n"), std::string::npos) << "the whole record is saved";
  const fs::path counters = program / "log" / "VADID.log";
  EXPECT_EQ(platform::profile::readInt("TestRecord", "TotalTestCount", -1, counters), 10);
  EXPECT_EQ(platform::profile::readInt("TestRecord", "NumberOfPass", -1, counters), 0) << Read(counters);
}

TEST_F(FleetburnProcess, SecondInstanceExitsOneBeforeAnyWindow) {
  WriteStation();
  const std::string settings = Read(program / "DODEVUDU.ini");
  setenv("TOLVANE_LOCK_DIR", (program / "lock").c_str(), 1);
  {
    const platform::InstanceGuard first{std::string(kInstanceName)};
    ASSERT_FALSE(first.alreadyRunning());
    const Outcome run = Start();
    ASSERT_TRUE(run.finished) << "the second instance kept running";
    EXPECT_EQ(run.exitCode, 1);
    // No window system, no message: not even Qt has said a word.
    EXPECT_EQ(run.errors, "");
    EXPECT_EQ(Read(program / "DODEVUDU.ini"), settings);
  }
  unsetenv("TOLVANE_LOCK_DIR");
  // Once the first has gone, the same start runs.
  EXPECT_EQ(Start().exitCode, 0);
}

TEST_F(FleetburnProcess, ProgramOnANetworkFileSystemExitsOneSilently) {
  WriteStation();
  const std::string settings = Read(program / "DODEVUDU.ini");
  const Outcome run = Start(
      {"AutoExecute", "--test-close-after-start", QString::fromStdString("--test-network-prefix=" + program.string())});
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(run.errors, "");
  EXPECT_EQ(Read(program / "DODEVUDU.ini"), settings);
  // A prefix that does not hold the program changes nothing, also one that
  // only shares the start of the directory's name.
  EXPECT_EQ(Start({"AutoExecute", "--test-close-after-start", "--test-network-prefix=/net/elsewhere"}).exitCode, 0);
  const std::string namePrefix = program.string().substr(0, program.string().size() - 1);
  EXPECT_EQ(
      Start({"AutoExecute", "--test-close-after-start", QString::fromStdString("--test-network-prefix=" + namePrefix)})
          .exitCode,
      0);
}

TEST_F(FleetburnProcess, MoreHubPortsThanTheStationHoldsShowTheLimitAndExitOne) {
  WriteStation();
  line = program / "hubs55.ini";
  SettingsFileBuilder().section("hub").key("name", "r1").key("ports", 55).writeTo(line);
  const std::string settings = Read(program / "DODEVUDU.ini");
  const std::string counters = Read(program / "log" / "VADID.log");
  const Outcome run = Start();
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_NE(run.errors.find(PortLimitText(50)), std::string::npos) << run.errors;
  EXPECT_EQ(Read(program / "DODEVUDU.ini"), settings);
  EXPECT_EQ(Read(program / "log" / "VADID.log"), counters);
}

TEST_F(FleetburnProcess, MissingSettingsFileIsReportedThenTheDefaultsApplyAndAreSaved) {
  WriteStation();
  fs::remove(program / "DODEVUDU.ini");
  const Outcome run = Start();
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.exitCode, 0) << run.errors;
  const std::string message =
      "The " + (program / "DODEVUDU.ini").string() + " file cann't be found, and MP will create the file!";
  EXPECT_NE(run.errors.find(message), std::string::npos) << run.errors;
  const std::string settings = Read(program / "DODEVUDU.ini");
  EXPECT_NE(settings.find("VID=2E57\r\n"), std::string::npos) << settings;
  EXPECT_NE(settings.find("FlashUniName=WBG\r\n"), std::string::npos) << settings;
}

// A start-up that cannot go on ends before any drive is asked and leaves the
// settings and the counters byte-identical.
TEST_F(FleetburnProcess, StartUpThatCannotGoOnExitsOneAndWritesNothing) {
  const struct {
    const char* name;
    void (*spoil)(const fs::path& program);
    std::string message;
  } cases[] = {
      {"flash list missing", [](const fs::path& p) { fs::remove(p / "Flash.ini"); },
       "Please make sure the flash file Flash.ini format correct!"},
      {"flash list damaged",
       [](const fs::path& p) {
         testsupport::FlashListBuilder list;
         list.vendor("Tolvane").record("ABC-12 PART 1 1 1 1 1 1 1 1 0 0 0 0 0");
         list.writeTo(p / "Flash.ini");
       },
       "Please make sure the flash file Flash.ini format correct!"},
      {"log directory cannot be made",
       [](const fs::path& p) {
         SettingsFileBuilder()
             .section("Setting")
             .key("LogPath", (p / "no" / "such" / "").string())
             .section("DeviceSetting")
             .key("VID", "ABCD")
             .writeTo(p / "DODEVUDU.ini");
       },
       "Cannot create log directory."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    WriteStation();
    c.spoil(program);
    const std::string settings = Read(program / "DODEVUDU.ini");
    const std::string counters = Read(program / "log" / "VADID.log");
    const Outcome run = Start();
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.errors.find(c.message), std::string::npos) << run.errors;
    EXPECT_EQ(run.errors.find("Port["), std::string::npos) << "no hub was walked";
    EXPECT_EQ(Read(program / "DODEVUDU.ini"), settings);
    EXPECT_EQ(Read(program / "log" / "VADID.log"), counters);
    EXPECT_FALSE(fs::exists(program / "no"));
  }
}

// The small line, unattended: every production item, a row per port
// byte for byte as the golden file has it (the clock stands still), the
// single-run log, the report of the Flash Interface Test failure only, the
// counters, the window capture and the advanced serial number saved.
TEST_F(FleetburnProcess, AnUnattendedRunOnTheSmallLineWritesItsRowsReportsCountersAndTheAdvance) {
  WriteRunStation();
  line = fs::path(TOLVANE_SCENARIO_DIR) / "line4.ini";
  const Outcome run = Start({"AutoExecuteQuit", "SingleExecuteResult", "CaptureAppImage",
                             "--test-wall-clock=2026-12-11T09:30:05"});
  ASSERT_TRUE(run.finished);
  ASSERT_EQ(run.exitCode, 0) << run.errors;

  const std::string golden = Read(fs::path(FLEETBURN_TEST_DATA) / "line4_result_log.txt");
  ASSERT_FALSE(golden.empty());
  EXPECT_EQ(Read(program / "log" / "20261211_000.txt"), golden);
  EXPECT_EQ(Read(program / "log" / "SingleExecuteResult.log"), golden);
  const std::vector<fs::path> reports = LogFiles("Error_");
  ASSERT_EQ(reports.size(), 1U);
  EXPECT_EQ(reports[0].filename(), "Error_202612110930_03_TVD000000003.txt");
  EXPECT_TRUE(Read(reports[0]).starts_with("Flash Interface Test Fail")) << Read(reports[0]);
  const fs::path counters = program / "log" / "VADID.log";
  EXPECT_EQ(platform::profile::readInt("TestRecord", "TotalTestCount", -1, counters), 4);
  EXPECT_EQ(platform::profile::readInt("TestRecord", "NumberOfPass", -1, counters), 2);
  EXPECT_TRUE(Read(program / "log" / "Image_1211093005.jpg").starts_with("\xFF\xD8\xFF")) << "a JPEG picture";
  EXPECT_EQ(platform::profile::readString("DeviceSetting", "SerialNum", "", program / "DODEVUDU.ini"),
            "TVD000000005");
  for (const char* ended : {"Port 3 ended: TVD000000003 Fail, error 3 (Flash Interface Test)",
                           "Port 4 ended: TVD000000004 Fail, error 4 (Dram Test)", "Port 1 ended: TVD000000001 Pass"}) {
    EXPECT_NE(run.errors.find(ended), std::string::npos) << ended;
  }
}

// The 50-drive demo line, as the line runs it: 50 rows with 50 different
// serial numbers; the four faults fail their own ports only.
TEST_F(FleetburnProcess, TheDemoLineRunsFiftyPortsAndOnlyTheFaultyDrivesFail) {
  WriteRunStation();
  line = fs::path(TOLVANE_SCENARIO_DIR) / "demo50.ini";
  const Outcome run = Start({"AutoExecuteQuit"});
  ASSERT_TRUE(run.finished);
  ASSERT_EQ(run.exitCode, 0) << run.errors;

  std::istringstream rows(Read(LogFiles("2").front()));
  std::string row;
  std::getline(rows, row);  // the header
  std::set<std::string> serials;
  std::set<std::string> failedPorts;
  int count = 0;
  while (std::getline(rows, row)) {
    ++count;
    std::vector<std::string> fields;
    std::istringstream columns(row);
    for (std::string field; std::getline(columns, field, '\t');) fields.push_back(field);
    ASSERT_GE(fields.size(), 8U) << row;
    serials.insert(fields[4]);
    if (fields[fields.size() - 2] != "Pass") failedPorts.insert(fields[1]);
  }
  EXPECT_EQ(count, 50);
  EXPECT_EQ(serials.size(), 50U);
  EXPECT_EQ(failedPorts, (std::set<std::string>{"000007", "000013", "000021", "000044"}));
  EXPECT_EQ(LogFiles("Error_").size(), 2U) << "the Flash Interface Test and the Preformat failures";
}

// A refused START in an unattended run ends the program with exit code 1 and
// says why; no run, no result log.
TEST_F(FleetburnProcess, AnUnattendedStartThatIsRefusedExitsOneAndSaysWhy) {
  WriteRunStation();
  std::string settings = Read(program / "DODEVUDU.ini");
  settings.replace(settings.find("Channel=4"), 9, "Channel=3");
  std::ofstream(program / "DODEVUDU.ini", std::ios::binary) << settings;
  line = fs::path(TOLVANE_SCENARIO_DIR) / "line4.ini";
  const Outcome run = Start({"AutoExecuteQuit"});
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_NE(run.errors.find("Please check total channel's number, only support 1, 2, 4 and 8 channel"),
            std::string::npos)
      << run.errors;
  EXPECT_TRUE(LogFiles("2").empty());
}

}  // namespace
}  // namespace fleetburn
