// The run engine on an emulated line, with workers whose behaviour each test
// sets: which ports run, how each port's end is decided (its own end, its
// watchdog, the abort button, the window closing), what a late worker can no
// longer change, the refusals, the serial numbers, the RD page's table mode
// and the claim-new end.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include <unistd.h>

#include "devlib/fat32_format.h"
#include "devlib/firmware_download.h"
#include "devlib/flash_params.h"
#include "platform/paths.h"
#include "testsupport/emulated_drives_part.h"
#include "testsupport/firmware_images.h"
#include "testsupport/ram_code_images.h"
#include "testsupport/settings_file_builder.h"
#include "devlib/port_io.h"
#include "platform/clock.h"
#include "scan_fixture.h"
#include "station/port_stop.h"
#include "station/run_engine.h"
#include "station/run_records.h"
#include "station/run_worker.h"
#include "station/test_items.h"

namespace fleetburn {
namespace {

using testing::ScanTest;

constexpr std::uint32_t kTimeOutMs = 60000;

// The emulated drives' part, with the remap tables the demo line's drives hold.
devlib::FlashParams DrivesPart() {
  devlib::FlashParams p = testsupport::EmulatedDrivesPart();
  p.firmwareOptions[devlib::kFirmwareOptionRemap] = 1;
  return p;
}

class RecordingRunView final : public RunView {
 public:
  void showWait(bool shown) override { waitShown.push_back(shown); }
  void showElapsed(const std::string& text) override { elapsed = text; }
  void showNextIdentifiers(const std::string& serial, const std::string& uid) override {
    nextSerial = serial;
    nextUid = uid;
  }
  void capture(const devlib::LocalTime&) override { ++captures; }

  std::vector<bool> waitShown;
  std::string elapsed;
  std::string nextSerial, nextUid;
  int captures = 0;
};

// How a fake worker ends its port.
// Hang: inside a command, on the port's time line (its watchdog fires);
// Block: held until stopped, while the port's time stands still.
// ShowPassThenWait: shows its passed record, then ends only once released.
enum class Behaviour { Pass, Fail, FailDownload, Hang, HangThenPass, BlockThenPass, ShowPassThenWait };

class RunEngineTest : public ScanTest {
 protected:
  void SetUp() override {
    ScanTest::SetUp();
    settings.TimeOut = kTimeOutMs;
  }

  void TearDown() override {
    engine.reset();
    if (!station.empty()) {
      devlib::PublishFlashParams(previousPart);
      devlib::PublishDownloadFileList(previousList);
      platform::paths::setProgramDirectory({});
      std::filesystem::remove_all(station);
    }
    ScanTest::TearDown();
  }

  // A station folder beside the program: the RAM code images, and the part
  // the emulated drives carry as the one selected.
  void UseStationFolder() {
    station = std::filesystem::temp_directory_path() / ("run-engine-" + std::to_string(::getpid()));
    std::filesystem::remove_all(station);
    std::filesystem::create_directories(station / "log");
    platform::paths::setProgramDirectory(station);
    testsupport::WriteRamCodeImages(station);
    previousPart = *devlib::CurrentFlashParams();
    devlib::PublishFlashParams(DrivesPart());
  }

  void Open(const char* scenario) {
    UseScenario(scenario);
    StartUp();
    watchdogs = std::make_unique<PortWatchdogs>(control, [this](int id) {
      gui.post([this, id] { engine->WMTimer(id); });
    });
    engine = std::make_unique<RunEngine>(RunEngineParts{
        .scanner = *scanner,
        .board = board.get(),
        .control = control,
        .watchdogs = *watchdogs,
        .settings = settings,
        .prompt = *prompt,
        .gui = gui.poster(),
        .nextTurn = [this](std::function<void()> task) {
          if (stepTurns) {
            turns.push_back(std::move(task));
          } else {
            gui.post(std::move(task));
          }
        },
        .view = &runView,
        .worker = realWorkers ? WorkerRoutine(RunPortWorker) : [this](WorkerStart& start) { return Work(start); },
        .writeRecords =
            [this](const RunEnd& end) {
              writtenPorts.push_back(end.activePorts);
              if (realWorkers) WriteRunEnd(log, end, settings, *prompt);
              for (const int port : end.activePorts) written[port] = PortTable[static_cast<std::size_t>(port)];
              return recordsWritable;
            },
        .saveCounters = [this] { ++countersSaved; },
        .wallClock = [] { return devlib::LocalTime{2026, 12, 11, 9, 30, 0, 0}; },
    });
  }

  // The fake worker: shows "Start", then ends as its port's behaviour says.
  PortRecord Work(WorkerStart& start) {
    {
      const std::lock_guard lock(workedLock);
      worked.push_back(start.port);
      serialsGiven[start.port] = start.record.serialNumber.str();
    }
    PortRecord record = start.record;
    start.show(PortShow{record, "Start", 0});
    const Behaviour behaviour = behaviours.contains(start.port) ? behaviours.at(start.port) : Behaviour::Pass;
    switch (behaviour) {
      case Behaviour::Hang:
        platform::clock::waitUntilStopped(start.stop);
        record.itemResult[4] = kResultRunning;  // as a stopped worker leaves it
        return record;
      case Behaviour::HangThenPass:
        platform::clock::waitUntilStopped(start.stop);
        break;  // a late worker that claims a pass
      case Behaviour::BlockThenPass: {
        std::mutex mutex;
        std::condition_variable_any stopped;
        std::unique_lock lock(mutex);
        stopped.wait(lock, start.stop, [] { return false; });
        break;
      }
      case Behaviour::ShowPassThenWait: {
        record.itemResult[1] = kResultPass;
        record.finalResult = record.countResult = kResultPass;
        start.show(PortShow{record, "Pass", 100});
        std::unique_lock lock(releaseLock);
        released.wait(lock, start.stop, [this] { return release; });
        return record;
      }
      case Behaviour::Fail:
        record.itemResult[2] = kResultFail;
        record.errorCode = record.shownItem = 2;
        record.finalResult = record.countResult = kResultFail;
        return Ended(start, record);
      case Behaviour::FailDownload:
        record.itemResult[6] = kResultFail;
        record.errorCode = record.shownItem = 6;
        record.finalResult = record.countResult = kResultFail;
        return Ended(start, record);
      case Behaviour::Pass:
        break;
    }
    record.itemResult[1] = kResultPass;
    record.finalResult = record.countResult = kResultPass;
    return Ended(start, record);
  }

  // As the station's worker does, the last results are shown before the end.
  static PortRecord Ended(WorkerStart& start, const PortRecord& record) {
    start.show(PortShow{record, "Pass", 100});
    return record;
  }

  RunRequest Request() {
    auto run = std::make_shared<RunSnapshot>();
    run->settings = settings;
    run->claimNew = claimNew;
    run->rebuildCloseChk = rebuildClose;
    RunRequest request;
    request.run = run;
    request.identifiers = rules;
    request.tableMode = table.operation != TableOperation::None;
    request.table = table;
    return request;
  }

  RunOutcome Run() {
    std::optional<RunOutcome> outcome;
    engine->RunProduction(Request(), [&](RunOutcome o) { outcome = o; });
    EXPECT_TRUE(gui.runUntil([&] { return outcome.has_value(); })) << "the run never ended";
    EXPECT_FALSE(engine->running());
    return outcome.value_or(RunOutcome{-1, false});
  }

  std::vector<int> ActivePorts() const {
    std::vector<int> ports;
    for (int port = 0; port < PortCount; ++port) {
      if (PortTable[static_cast<std::size_t>(port)].active != 0) ports.push_back(port);
    }
    return ports;
  }

  PortRunControl control;
  std::unique_ptr<PortWatchdogs> watchdogs;
  RecordingRunView runView;
  std::unique_ptr<RunEngine> engine;
  std::map<int, Behaviour> behaviours;
  IdentifierRules rules{.snAutoInc = true, .uidAutoInc = true, .downloadEnabled = true};
  bool claimNew = false, rebuildClose = false;
  TableRequest table;
  bool recordsWritable = true;
  bool realWorkers = false;  // the station's own port workers, and its result log
  bool stepTurns = false;    // the GUI loop's later turns are run by the test, one by one
  std::deque<std::function<void()>> turns;
  ResultLogState log;
  std::filesystem::path station;
  devlib::FlashParams previousPart;
  std::shared_ptr<const devlib::DownloadFileList> previousList = devlib::CurrentDownloadFileList();

  std::mutex releaseLock;
  std::condition_variable_any released;
  bool release = false;

  std::mutex workedLock;
  std::vector<int> worked;
  std::map<int, std::string> serialsGiven;
  std::vector<std::vector<int>> writtenPorts;
  std::map<int, PortRecord> written;
  int countersSaved = 0;
};

TEST_F(RunEngineTest, EveryActivePortOfTheLineRunsOnceAndEndsInOneRowWithUniqueAdvancedSerials) {
  Open("line50.ini");
  const std::vector<int> active = ActivePorts();
  ASSERT_EQ(active.size(), 50U);
  settings.SerialNum.assign("000009");
  behaviours[7] = Behaviour::Fail;

  const RunOutcome outcome = Run();

  EXPECT_EQ(outcome.result, 1);
  std::vector<int> ran = worked;
  std::sort(ran.begin(), ran.end());
  EXPECT_EQ(ran, active);
  ASSERT_EQ(writtenPorts.size(), 1U);
  EXPECT_EQ(writtenPorts[0], active);
  std::set<std::string> serials;
  for (const auto& [port, serial] : serialsGiven) serials.insert(serial);
  EXPECT_EQ(serials.size(), 50U) << "a serial number went to two drives";
  EXPECT_EQ(serialsGiven.at(0), "000009");
  EXPECT_EQ(serialsGiven.at(49), "000058");
  EXPECT_EQ(runView.nextSerial, "000059");
  EXPECT_EQ(settings.SerialNum.str(), "000059");
  EXPECT_EQ(written.at(7).finalResult, kResultFail);
  EXPECT_EQ(written.at(8).finalResult, kResultPass);
  EXPECT_EQ(settings.TotalTestCount, 50U);
  EXPECT_EQ(settings.NumberOfPass, 49U);
  EXPECT_EQ(countersSaved, 1);
  EXPECT_EQ(devlib::FormatOpenRetries.load(), 250);
  EXPECT_EQ(runView.waitShown, (std::vector<bool>{true, false}));
  EXPECT_EQ(board->panel(7).colour, PanelColour::Red);
  EXPECT_EQ(board->panel(8).caption, "Pass");
}

// A port's last results may reach the board before its worker has ended;
// the redraws of the other ports meanwhile must not count it.
TEST_F(RunEngineTest, APortIsCountedOnceThoughItsLastResultsArriveBeforeItsEnd) {
  Open("line50.ini");
  behaviours[10] = Behaviour::ShowPassThenWait;
  std::optional<RunOutcome> outcome;
  engine->RunProduction(Request(), [&](RunOutcome o) { outcome = o; });
  ASSERT_TRUE(gui.runUntil([&] { return settings.TotalTestCount >= 49; }));
  gui.runPending();
  EXPECT_EQ(settings.TotalTestCount, 49U) << "port 11 was counted before its end";
  {
    const std::lock_guard lock(releaseLock);
    release = true;
  }
  released.notify_all();
  ASSERT_TRUE(gui.runUntil([&] { return outcome.has_value(); }));
  EXPECT_EQ(settings.TotalTestCount, 50U);
  EXPECT_EQ(settings.NumberOfPass, 50U);
}

TEST_F(RunEngineTest, AHangingDriveTimesOutWithCode31WhileTheOthersFinish) {
  Open("line50.ini");
  behaviours[3] = Behaviour::Hang;
  behaviours[20] = Behaviour::HangThenPass;

  const RunOutcome outcome = Run();

  EXPECT_EQ(outcome.result, 1);
  for (const int port : {3, 20}) {
    SCOPED_TRACE(port);
    const PortRecord& record = written.at(port);
    EXPECT_EQ(record.errorCode, kErrorTimeout);
    EXPECT_EQ(record.shownItem, kErrorTimeout);
    EXPECT_EQ(record.finalResult, kResultFail);
    EXPECT_EQ(platform::clock::nowMs(PortTimeLine(port)), kTimeOutMs) << "not stopped at its time-out";
  }
  EXPECT_EQ(written.at(4).finalResult, kResultPass);
  // Stopped ports are not counted; the late pass of port 20 changed nothing.
  EXPECT_EQ(settings.TotalTestCount, 48U);
  EXPECT_EQ(settings.NumberOfPass, 48U);
  ASSERT_TRUE(engine->joinWorkers(std::chrono::seconds(10)));
  gui.runPending();
  EXPECT_EQ(PortTable[20].errorCode, kErrorTimeout);
  EXPECT_EQ(PortTable[20].finalResult, kResultFail);
}

TEST_F(RunEngineTest, TheAbortButtonAndTheWindowClosingStopTheRunningPortsWithCode5) {
  for (const bool closing : {false, true}) {
    SCOPED_TRACE(closing ? "closing" : "abort");
    if (engine == nullptr) Open("line50.ini");
    ASSERT_TRUE(engine->joinWorkers(std::chrono::seconds(10)));
    written.clear();
    writtenPorts.clear();
    behaviours.clear();
    for (const int port : {1, 2, 30}) behaviours[port] = Behaviour::BlockThenPass;
    std::optional<RunOutcome> outcome;
    const std::uint32_t countedBefore = settings.TotalTestCount;
    engine->RunProduction(Request(), [&](RunOutcome o) { outcome = o; });
    // Once every other port has ended and been counted, only the three blocked ones are left.
    ASSERT_TRUE(gui.runUntil([&] { return settings.TotalTestCount == countedBefore + 47; }));
    if (closing) {
      engine->stopAll();
    } else {
      engine->SpeedButton9Click();
    }
    ASSERT_TRUE(gui.runUntil([&] { return outcome.has_value(); }));
    ASSERT_EQ(writtenPorts.size(), 1U) << "the rows of the run were lost";
    for (const int port : {1, 2, 30}) {
      EXPECT_EQ(written.at(port).errorCode, kErrorAborted);
      EXPECT_EQ(written.at(port).itemResult[kErrorAborted], kResultFail);
    }
    EXPECT_EQ(written.at(0).finalResult, kResultPass);
  }
}

// The ports start one a turn of the GUI thread's loop; an abort before the
// last one's turn came stops the started ones and starts no more.
TEST_F(RunEngineTest, AnAbortWhileThePortsAreStartingStartsNoMoreAndEveryPortHasItsRow) {
  Open("line50.ini");
  for (int port = 0; port < 50; ++port) behaviours[port] = Behaviour::BlockThenPass;
  stepTurns = true;
  std::optional<RunOutcome> outcome;
  engine->RunProduction(Request(), [&](RunOutcome o) { outcome = o; });
  ASSERT_TRUE(gui.runUntil([&] { return !turns.empty(); })) << "the rescan never ended";
  for (int turn = 0; turn < 3; ++turn) {
    const std::function<void()> task = std::move(turns.front());
    turns.pop_front();
    task();
  }
  engine->SpeedButton9Click();
  while (!turns.empty()) {
    const std::function<void()> task = std::move(turns.front());
    turns.pop_front();
    task();
  }
  ASSERT_TRUE(gui.runUntil([&] { return outcome.has_value(); }));
  ASSERT_TRUE(engine->joinWorkers(std::chrono::seconds(10)));
  EXPECT_EQ(worked.size(), 3U) << "ports started after the abort";
  ASSERT_EQ(written.size(), 50U);
  for (const auto& [port, record] : written) EXPECT_EQ(record.errorCode, kErrorAborted) << port;
}

TEST_F(RunEngineTest, StartRefusesAPortWhoseLastWorkerIsStillAlive) {
  Open("line50.ini");
  ASSERT_EQ(Run().result, 1);
  worked.clear();
  prompt->takeMessages();
  // Stands for a stopped worker still inside its drive's command.
  std::stop_source stop;
  devlib::PortWork lingering = devlib::BeginPortWork(5, stop.get_token());
  ASSERT_TRUE(lingering);

  EXPECT_EQ(Run().result, 1);
  EXPECT_TRUE(worked.empty()) << "a run started beside a live worker";
  EXPECT_EQ(prompt->takeMessages(),
            std::vector<std::string>{"Port 6 is still ending its last run. Press START again once it has stopped."});

  lingering = devlib::PortWork();
  EXPECT_EQ(Run().result, 1);
  EXPECT_EQ(worked.size(), 50U);
}

struct Refusal {
  const char* name;
  const char* scenario;
  std::uint8_t connectDevNum;
  bool barcodes;
  const char* message;
};

class RunRefusals : public RunEngineTest, public ::testing::WithParamInterface<Refusal> {};

TEST_P(RunRefusals, ShowTheirMessageAndStartNoWorker) {
  const Refusal& refusal = GetParam();
  settings.ConnectDevNum = refusal.connectDevNum;
  settings.EnBarCode = refusal.barcodes ? 1 : 0;
  Open(refusal.scenario);
  prompt->takeMessages();

  const RunOutcome outcome = Run();

  EXPECT_EQ(outcome.result, 0);
  EXPECT_EQ(prompt->takeMessages(), std::vector<std::string>{refusal.message});
  EXPECT_TRUE(worked.empty());
  EXPECT_TRUE(writtenPorts.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Engine, RunRefusals,
    ::testing::Values(Refusal{"NoDisk", "empty.ini", 0, false, "Please Make sure the Connection devices Number!"},
                      Refusal{"CountDiffers", "line50.ini", 49, false,
                              "Please Make sure the Connection devices Number!!"},
                      Refusal{"NoBarcodeSerial", "line50.ini", 0, true,
                              "Port 1 has no barcode serial number, please scan it again!"}),
    [](const ::testing::TestParamInfo<Refusal>& param) { return param.param.name; });

TEST_F(RunEngineTest, ConnectCheckOfTheActiveCountLetsTheRunGo) {
  settings.ConnectDevNum = 50;
  Open("line50.ini");
  EXPECT_EQ(Run().result, 1);
  EXPECT_EQ(worked.size(), 50U);
}

TEST_F(RunEngineTest, SerialsOfFailedDownloadsGoOutAgainFirstAndNoneTwice) {
  settings.SNErrReuse = 1;
  rules.reuseSerials = true;
  settings.SerialNum.assign("100");
  Open("line50.ini");
  behaviours[2] = Behaviour::FailDownload;
  behaviours[4] = Behaviour::FailDownload;
  Run();
  EXPECT_EQ(engine->SnReuseQueue().Unread(), (std::deque<std::string>{"102", "104"}));
  EXPECT_EQ(settings.SerialNum.str(), "150");

  behaviours.clear();
  serialsGiven.clear();
  Run();
  EXPECT_EQ(serialsGiven.at(0), "102");
  EXPECT_EQ(serialsGiven.at(1), "104");
  EXPECT_EQ(serialsGiven.at(2), "150");
  EXPECT_EQ(serialsGiven.at(49), "197");
  EXPECT_TRUE(engine->SnReuseQueue().Unread().empty());
}

TEST_F(RunEngineTest, AFailedResultLogEndsTheStepsButTheCountersAreKept) {
  settings.SNErrReuse = 1;
  Open("line50.ini");
  behaviours[2] = Behaviour::FailDownload;
  recordsWritable = false;
  RunRequest request = Request();
  request.captureAppImage = true;
  std::optional<RunOutcome> outcome;
  engine->RunProduction(request, [&](RunOutcome o) { outcome = o; });
  ASSERT_TRUE(gui.runUntil([&] { return outcome.has_value(); }));
  EXPECT_EQ(outcome->result, 1);
  EXPECT_EQ(countersSaved, 1);
  EXPECT_EQ(runView.captures, 0);
  EXPECT_TRUE(engine->SnReuseQueue().Unread().empty());
}

TEST_F(RunEngineTest, TheClaimNewEndClosesTheProgramOnlyWhenTheFirstPortPassed) {
  Open("line50.ini");
  claimNew = rebuildClose = true;
  for (const bool firstPasses : {true, false}) {
    SCOPED_TRACE(firstPasses);
    behaviours[0] = firstPasses ? Behaviour::Pass : Behaviour::Fail;
    prompt->takeMessages();
    const RunOutcome outcome = Run();
    EXPECT_EQ(outcome.closeProgram, firstPasses);
    EXPECT_EQ(prompt->takeMessages().size(), firstPasses ? 1U : 0U);
  }
}

TEST_F(RunEngineTest, TableModeWorksOnTheFirstActivePortOnlyAndSaysHowItWent) {
  Open("line50.ini");
  UseStationFolder();
  const std::filesystem::path& directory = station;
  const std::filesystem::path file = directory / "def_table.txt";
  { std::ofstream(file) << "an earlier dump"; }
  table.operation = TableOperation::GetDefTable;
  table.file = file;
  prompt->takeMessages();

  EXPECT_EQ(Run().result, 1);

  EXPECT_TRUE(worked.empty());
  EXPECT_EQ(prompt->takeMessages(), std::vector<std::string>{"Get Def. Table O.K."});
  EXPECT_NE(testsupport::SettingsFileBuilder::readFile(file), "an earlier dump");
  EXPECT_TRUE(writtenPorts.empty());

  table.operation = TableOperation::PutLaterTable;
  table.file = directory / "missing.txt";
  EXPECT_EQ(Run().result, 1);
  EXPECT_EQ(prompt->takeMessages(), std::vector<std::string>{"Put Later Table Fail"});

  platform::paths::setProgramDirectory({});
  table.operation = TableOperation::GetDefTable;
  EXPECT_EQ(Run().result, 1);
  EXPECT_EQ(prompt->takeMessages(), std::vector<std::string>{"Check Flash Module Fail. Please choose a correct flash module"})
      << "without its RAM code the drive cannot test its flash";
}

}  // namespace
}  // namespace fleetburn

namespace fleetburn {
namespace {

// The demo line with the station's own workers: every production item on
// 50 drives at once, four of them with a fault. Each fault costs its own
// port only, and the run's end writes one row per port and the reports.
TEST_F(RunEngineTest, TheDemoLineRunsEveryItemOnFiftyPortsAndEachFaultCostsOnlyItsPort) {
  UseStationFolder();
  testsupport::WriteDownloadFileSet(station, 16 * 512, "SYS_STTF.bin", "SYS_UTTF.bin");
  const auto list = devlib::BuildDownloadFileList({"Init.bin", "SYS_STTF.bin", "SYS_UTTF.bin"}, 16);
  ASSERT_TRUE(list.has_value());
  devlib::PublishDownloadFileList(std::make_shared<const devlib::DownloadFileList>(*list));
  const std::vector<int> items{1, 2, 3, 4, 5, 6, 8, 9, 13};
  for (const int item : items) settings.ItemEnable[static_cast<std::size_t>(item)] = 1;
  settings.CheckMaxTemperatureValue = 70;
  settings.ModelNum.assign("Tolvane KWFA4X SSD");
  settings.SerialNum.assign("TVD000000001");
  rules.snDecimal = false;
  realWorkers = true;
  Open("demo50.ini");
  log = ChooseResultLog(station.string() + "/log/", LogDate{2026, 12, 11});

  RunRequest request = Request();
  auto run = std::make_shared<RunSnapshot>(*request.run);
  run->checkedEntries = static_cast<int>(items.size());
  run->logDir = station / "log";
  for (const int item : items) run->checkList.push_back({std::string(TestItemOf(item).itemName), true});
  request.run = run;
  std::optional<RunOutcome> outcome;
  engine->RunProduction(request, [&](RunOutcome o) { outcome = o; });
  ASSERT_TRUE(gui.runUntil([&] { return outcome.has_value(); }, std::chrono::minutes(5)));

  const std::map<int, std::uint32_t> faults{{6, 3}, {12, 4}, {20, 5}, {43, 13}};
  ASSERT_EQ(written.size(), 50U);
  std::set<std::string> serials;
  for (const auto& [port, record] : written) {
    SCOPED_TRACE("port " + std::to_string(port + 1));
    serials.insert(record.serialNumber.str());
    if (faults.contains(port)) {
      EXPECT_EQ(record.finalResult, kResultFail);
      EXPECT_EQ(record.errorCode, faults.at(port));
    } else {
      EXPECT_EQ(record.finalResult, kResultPass) << "error " << record.errorCode;
      for (const int item : items) EXPECT_EQ(record.itemResult[static_cast<std::size_t>(item)], kResultPass) << item;
    }
  }
  EXPECT_EQ(serials.size(), 50U);
  EXPECT_EQ(settings.TotalTestCount, 50U);
  EXPECT_EQ(settings.NumberOfPass, 46U);
  const std::string rows = testsupport::SettingsFileBuilder::readFile(log.LogPath);
  EXPECT_EQ(std::count(rows.begin(), rows.end(), '\n'), 51);
  int reports = 0;
  for (const auto& entry : std::filesystem::directory_iterator(station / "log")) {
    reports += entry.path().filename().string().starts_with("Error_") ? 1 : 0;
  }
  EXPECT_EQ(reports, 2) << "the Flash Interface Test and the Preformat failures each leave a report";
}

}  // namespace
}  // namespace fleetburn
