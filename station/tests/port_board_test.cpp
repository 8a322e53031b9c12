// The port board: each panel's state for every state and result of a port,
// the yield counting, the "?" button, START's rule, Reset Yield, and how a
// port's run ends (its watchdog, the abort button, its own end) on the fast
// clock.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/private_profile.h"
#include "station/port_board.h"
#include "station/port_stop.h"
#include "station/test_items.h"

namespace fleetburn {
namespace {

class RecordingBoardView final : public BoardView {
 public:
  void panelChanged(int port, const PanelView& view) override {
    if (port >= static_cast<int>(panels.size())) panels.resize(static_cast<std::size_t>(port) + 1);
    panels[static_cast<std::size_t>(port)] = view;
  }
  void yieldChanged(const std::string& text) override { yield = text; }

  std::vector<PanelView> panels;
  std::string yield;
};

PortRecord Active(std::uint32_t capacityMB = 1234) {
  PortRecord r;
  r.hubState = 1;
  r.active = 1;
  r.chipType = 10;
  r.capacityMB = capacityMB;
  return r;
}

PortRecord Finished(std::int32_t finalResult, std::uint32_t shownItem = 0) {
  PortRecord r = Active();
  r.serialNumber.assign("SN0001");
  r.finalResult = finalResult;
  r.countResult = finalResult;
  r.errorCode = shownItem;
  r.shownItem = shownItem;
  return r;
}

PortRecord FailedWith(std::uint32_t shownItem, std::uint32_t failKind = 0, std::uint32_t subError = 0) {
  PortRecord r = Finished(-1, shownItem);
  r.failKind = failKind;
  r.subError = subError;
  if (shownItem <= 28) r.itemResult[shownItem] = -1;
  return r;
}

PortRecord TemperatureFail(std::uint32_t item, std::int8_t temperature) {
  PortRecord r = FailedWith(item);
  r.temperature = temperature;
  return r;
}

// An R/W failure on a port whose temperature check was still to come: the
// items after the failure are marked -1 too.
PortRecord ReadWriteFailBeforeTemperature() {
  PortRecord r = FailedWith(8);
  r.itemResult[13] = -1;
  r.temperature = 44;
  return r;
}

PortRecord Stopped(void (*mark)(PortRecord&)) {
  PortRecord r = Active();
  r.serialNumber.assign("SN0001");
  r.itemResult[8] = 2;  // it was running the R/W test
  mark(r);
  return r;
}

PortRecord Inactive(std::uint32_t hubState) {
  PortRecord r;
  r.hubState = hubState;
  return r;
}

PortRecord WithUid() {
  PortRecord r = Active();
  r.uniqueId.assign("5000C500A1B2C3D4");
  return r;
}

struct StateRow {
  const char* name;
  PortRecord record;
  bool shown;
  PanelColour colour;
  const char* caption;  // the panel showed "Dram Test" before the redraw
  const char* yield;    // the counters after one redraw, from 0 / 0
  int gauge;            // the gauge stood at 40 before the redraw
  const char* snText;
  const char* uidText;
};

void PrintTo(const StateRow& row, std::ostream* out) { *out << row.name; }

class BoardState : public ::testing::TestWithParam<StateRow> {};

TEST_P(BoardState, ShowsItsColourCaptionCountersAndGauge) {
  const StateRow& row = GetParam();
  RecordingBoardView view;
  PortBoard board(1, &view);
  PortRecordTable table{};
  table[0].active = 1;
  table[0].capacityMB = 1;
  devlib::SettingsRecord counters{};
  board.UpdateDrawPanel(table, 1, counters);
  board.SetGauge(0, 40);
  board.SetCaption(0, "Dram Test");  // as a worker shows the item it runs

  table[0] = row.record;
  board.UpdateDrawPanel(table, 1, counters);

  const PanelView& panel = board.panel(0);
  EXPECT_EQ(panel.shown, row.shown);
  EXPECT_EQ(panel.colour, row.colour);
  EXPECT_EQ(panel.caption, row.caption);
  EXPECT_EQ(board.yieldText(), row.yield);
  EXPECT_EQ(panel.gauge, row.gauge);
  EXPECT_EQ(panel.snText, row.snText);
  EXPECT_EQ(panel.uidText, row.uidText);
  EXPECT_EQ(panel.counterText, "");
  ASSERT_EQ(view.panels.size(), 1u);
  EXPECT_EQ(view.panels[0], panel) << "the window shows what the board holds";
  EXPECT_EQ(view.yield, row.yield);
}

using C = PanelColour;
INSTANTIATE_TEST_SUITE_P(
    Rows, BoardState,
    ::testing::Values(
        StateRow{"NoDevice", Inactive(0), false, C::ButtonFace, "Dram Test", "0 / 0", 40, "", ""},
        StateRow{"NotRecognised", Inactive(1), false, C::ButtonFace, "Not KW", "0 / 0", 40, "", ""},
        StateRow{"ActiveWithoutSerial", Active(), true, C::Yellow, "1234 MB", "0 / 0", 0, "", ""},
        StateRow{"ActiveWithUid", WithUid(), true, C::Yellow, "1234 MB", "0 / 0", 0, "", "5000C500A1B2C3D4"},
        StateRow{"RunningWithSerial", Finished(0), true, C::Yellow, "Dram Test", "0 / 0", 40, "SN0001", ""},
        StateRow{"Passed", Finished(1), true, C::Lime, "Pass", "1 / 1", 40, "SN0001", ""},
        StateRow{"FailedItem", FailedWith(1), true, C::Red, "Flash Module Test Fail (M00)", "0 / 1", 40, "SN0001", ""},
        StateRow{"FailedWithSubError", FailedWith(3, 1, 7), true, C::Red, "Fail (B00)(07)", "0 / 1", 40, "SN0001", ""},
        StateRow{"FailedWithoutSubError", FailedWith(5, 2), true, C::Red, "Fail (C00)(- -)", "0 / 1", 40, "SN0001", ""},
        StateRow{"TemperatureBelowZero", TemperatureFail(13, -5), true, C::Red, "Fail (Q09), Temperature:-5", "0 / 1",
                 40, "SN0001", ""},
        StateRow{"QcTemperature", TemperatureFail(28, 71), true, C::Red, "Fail (Q09), Temperature:71", "0 / 1", 40,
                 "SN0001", ""},
        StateRow{"ReadWriteFailBeforeTheTemperatureItem", ReadWriteFailBeforeTemperature(), true, C::Red,
                 "R/W Test Fail (E00)", "0 / 1", 40, "SN0001", ""},
        StateRow{"TimedOut", Stopped(MarkTimedOut), true, C::Red, " Fail (T00)", "0 / 0", 40, "SN0001", ""},
        StateRow{"Aborted", Stopped(MarkAborted), true, C::Red, "Preformat Fail (C00)", "0 / 0", 40, "SN0001", ""}),
    [](const auto& row) { return std::string(row.param.name); });

TEST(BoardColours, AreTheBoardsFourColours) {
  EXPECT_EQ(PanelColourRgb(PanelColour::Yellow), 0xFFFF00u);
  EXPECT_EQ(PanelColourRgb(PanelColour::Lime), 0x00FF00u);
  EXPECT_EQ(PanelColourRgb(PanelColour::Red), 0xFF0000u);
  EXPECT_EQ(PanelColourRgb(PanelColour::ButtonFace), 0xF0F0F0u);
}

// --- Counting into the yield -------------------------------------------------

TEST(BoardCounting, AFinishedPortCountsOnceWhicheverRedrawComesFirst) {
  PortBoard board(3);
  PortRecordTable table{};
  table[0] = Finished(1);
  table[1] = Finished(-1, 8);
  table[2] = Stopped(MarkTimedOut);
  devlib::SettingsRecord counters{};
  counters.TotalTestCount = 10;
  counters.NumberOfPass = 9;
  board.UpdateDrawPanel(table, 3, counters);
  board.UpdateDrawPanel(table, 3, counters);
  EXPECT_EQ(counters.TotalTestCount, 12u);
  EXPECT_EQ(counters.NumberOfPass, 10u);
  EXPECT_EQ(table[0].countResult, 0);
  EXPECT_EQ(board.yieldText(), "10 / 12");
}

TEST(BoardCounting, AnInactivePortIsNotCounted) {
  PortBoard board(1);
  PortRecordTable table{};
  table[0] = Finished(1);
  table[0].active = 0;
  devlib::SettingsRecord counters{};
  board.UpdateDrawPanel(table, 1, counters);
  EXPECT_EQ(counters.TotalTestCount, 0u);
  EXPECT_EQ(table[0].countResult, 1);
}

// During a run a port without a serial keeps its progress on other ports' redraws.
TEST(BoardCounting, TheGaugeStaysDuringARun) {
  PortBoard board(1);
  PortRecordTable table{};
  table[0] = Active();
  devlib::SettingsRecord counters{};
  board.SetGauge(0, 55);
  board.UpdateDrawPanel(table, 1, counters, true);
  EXPECT_EQ(board.panel(0).gauge, 55);
  board.UpdateDrawPanel(table, 1, counters, false);
  EXPECT_EQ(board.panel(0).gauge, 0);
}

// Ports found beyond the panels built at start-up are skipped.
TEST(BoardCounting, APortWithoutAPanelIsCountedButNotShown) {
  RecordingBoardView view;
  PortBoard board(2, &view);
  PortRecordTable table{};
  table[3] = Finished(1);
  devlib::SettingsRecord counters{};
  board.UpdateDrawPanel(table, 4, counters);
  EXPECT_EQ(counters.NumberOfPass, 1u);
  EXPECT_EQ(view.panels.size(), 2u);
  EXPECT_FALSE(board.panel(3).shown);
}

// --- Buttons -----------------------------------------------------------------

struct DetailCase {
  int presentCount;
  std::uint32_t active;
  std::uint32_t errorCode;
  DetailChoice choice;
};

class DetailButton : public ::testing::TestWithParam<DetailCase> {
 protected:
  void TearDown() override {
    PortTable.fill(PortRecord{});
    SelectedPort = 0;
  }
};

TEST_P(DetailButton, OpensTheErrorOrTheDetailDialog) {
  PortTable[6].active = GetParam().active;
  PortTable[6].errorCode = GetParam().errorCode;
  EXPECT_EQ(MyBitBtnClick(6, GetParam().presentCount), GetParam().choice);
  EXPECT_EQ(SelectedPort, 7) << "set in every case";
}

INSTANTIATE_TEST_SUITE_P(Cases, DetailButton,
                         ::testing::Values(DetailCase{0, 1, 3, DetailChoice::Nothing},
                                           DetailCase{4, 0, 3, DetailChoice::Nothing},
                                           DetailCase{4, 1, 3, DetailChoice::ErrorDialog},
                                           DetailCase{4, 1, 31, DetailChoice::ErrorDialog},
                                           DetailCase{4, 1, 0, DetailChoice::DetailDialog}));

TEST(StartRule, NeedsTheSupportFilesAndTheConnectCheck) {
  for (const bool supportFiles : {false, true}) {
    for (const int connect : {0, 2}) {
      for (const int active : {2, 3}) {
        const bool expected = supportFiles && (connect == 0 || connect == active);
        EXPECT_EQ(StartAllowed(supportFiles, connect, active), expected)
            << supportFiles << " " << connect << " " << active;
      }
    }
  }
}

class ResetYield : public ::testing::Test {
 protected:
  void SetUp() override {
    directory = std::filesystem::path(::testing::TempDir()) /
                ("reset_yield_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "_" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(directory);
    std::filesystem::create_directories(directory);
  }
  void TearDown() override { std::filesystem::remove_all(directory); }

  std::filesystem::path directory;
};

TEST_F(ResetYield, ClearsBothCountersShowsThemAndWritesThemToVadidLog) {
  const std::filesystem::path log = directory / "VADID.log";
  std::ofstream(log) << "[TestRecord]\r\nTotalTestCount=12\r\nNumberOfPass=10\r\n[Other]\r\nKey=kept\r\n";
  RecordingBoardView view;
  PortBoard board(1, &view);
  devlib::SettingsRecord counters{};
  counters.TotalTestCount = 12;
  counters.NumberOfPass = 10;
  ASSERT_TRUE(board.ResetYieldBtnClick(counters, log));
  EXPECT_EQ(counters.TotalTestCount, 0u);
  EXPECT_EQ(counters.NumberOfPass, 0u);
  EXPECT_EQ(view.yield, "0 / 0");
  EXPECT_EQ(platform::profile::readInt("TestRecord", "TotalTestCount", -1, log), 0);
  EXPECT_EQ(platform::profile::readInt("TestRecord", "NumberOfPass", -1, log), 0);
  EXPECT_EQ(platform::profile::readString("Other", "Key", "", log), "kept");
}

TEST_F(ResetYield, ReportsALogThatCannotBeWritten) {
  devlib::SettingsRecord counters{};
  counters.TotalTestCount = 3;
  PortBoard board(1);
  EXPECT_FALSE(board.ResetYieldBtnClick(counters, directory / "missing" / "VADID.log"));
  EXPECT_EQ(counters.TotalTestCount, 0u) << "the counters are reset all the same";
}

// --- How a port's run ends ---------------------------------------------------

class RunEnds : public ::testing::Test {
 protected:
  void TearDown() override {
    watchdogs.KillAll();
    PortTable.fill(PortRecord{});
  }

  // A worker on the port's time line, hanging in a command until stopped.
  std::jthread HangingWorker(int port, std::stop_token stop) {
    return std::jthread([port, stop] {
      const platform::clock::ScopedTimeLine bind(PortTimeLine(port));
      platform::clock::waitUntilStopped(stop);
    });
  }

  std::vector<int> Expired() {
    const std::lock_guard lock(mutex);
    return expired;
  }

  platform::clock::ScopedFastClock clock;
  PortRunControl control;
  std::mutex mutex;
  std::vector<int> expired;
  PortWatchdogs watchdogs{control, [this](int id) {
                            const std::lock_guard lock(mutex);
                            expired.push_back(id);
                          }};
};

TEST_F(RunEnds, TheWatchdogStopsAHangingWorkerAndMarksItsPortTimedOut) {
  PortTable[4] = Active();
  PortTable[4].itemResult[8] = 2;
  devlib::SettingsRecord counters{};
  const std::stop_token stop = control.Begin(4);
  ASSERT_TRUE(stop.stop_possible());
  watchdogs.Arm(4, 600000);
  std::jthread worker = HangingWorker(4, stop);
  worker.join();  // ends only through the watchdog's stop

  EXPECT_EQ(Expired(), std::vector<int>{5}) << "timer id = port index + 1";
  EXPECT_EQ(control.State(4), PortRunState::Stopped);
  EXPECT_FALSE(control.Finish(4)) << "a late worker publishes nothing";
  EXPECT_TRUE(watchdogs.WMTimer(5, PortTable, 10));
  EXPECT_EQ(PortTable[4].errorCode, 31u);
  EXPECT_EQ(PortTable[4].shownItem, 31u);
  EXPECT_EQ(PortTable[4].finalResult, -1);
  EXPECT_EQ(PortTable[4].itemResult[8], 2) << "the item it was running stays marked running";
  EXPECT_FALSE(watchdogs.WMTimer(5, PortTable, 10)) << "marked once";

  PortBoard board(10);
  board.UpdateDrawPanel(PortTable, 10, counters);
  EXPECT_EQ(board.panel(4).caption, " Fail (T00)");
  EXPECT_EQ(counters.TotalTestCount, 0u) << "not counted";
}

TEST_F(RunEnds, AnExpiryAfterTheWorkerEndedChangesNothing) {
  PortTable[2] = Finished(1);
  ASSERT_TRUE(control.Begin(2).stop_possible());
  watchdogs.Arm(2, 1000);
  ASSERT_TRUE(control.Finish(2));
  {
    const platform::clock::ScopedTimeLine bind(PortTimeLine(2));
    platform::clock::sleepMs(2000);
  }
  EXPECT_EQ(Expired(), std::vector<int>{3});
  EXPECT_FALSE(watchdogs.WMTimer(3, PortTable, 10));
  EXPECT_EQ(PortTable[2].finalResult, 1);
  EXPECT_EQ(PortTable[2].countResult, 1);
  EXPECT_EQ(control.State(2), PortRunState::Ended);
}

TEST_F(RunEnds, IdsOfNoPortAreIgnored) {
  for (const int id : {0, 11, 51, -3}) EXPECT_FALSE(watchdogs.WMTimer(id, PortTable, 10)) << id;
}

TEST_F(RunEnds, AKilledWatchdogNeverFires) {
  ASSERT_TRUE(control.Begin(1).stop_possible());
  watchdogs.Arm(1, 1000);
  watchdogs.Kill(1);
  {
    const platform::clock::ScopedTimeLine bind(PortTimeLine(1));
    platform::clock::sleepMs(5000);
  }
  EXPECT_TRUE(Expired().empty());
  EXPECT_TRUE(control.Running(1));
}

TEST_F(RunEnds, AbortStopsOnlyTheRunningWorkers) {
  PortTable[0] = Active();
  PortTable[1] = Finished(1);
  PortTable[3] = Active();
  const std::stop_token running = control.Begin(0);
  ASSERT_TRUE(control.Begin(1).stop_possible());
  ASSERT_TRUE(control.Finish(1));
  watchdogs.Arm(0, 1000);

  EXPECT_EQ(SpeedButton9Click(control, watchdogs, PortTable, 10), 1);
  EXPECT_TRUE(running.stop_requested());
  EXPECT_EQ(PortTable[0].itemResult[5], -1);
  EXPECT_EQ(PortTable[0].errorCode, 5u);
  EXPECT_EQ(PortTable[0].finalResult, -1);
  EXPECT_EQ(PortTable[0].shownItem, 5u);
  EXPECT_EQ(PortTable[0].countResult, 0);
  EXPECT_EQ(PortTable[1].finalResult, 1) << "an ended port keeps its results";
  EXPECT_EQ(PortTable[1].errorCode, 0u);
  EXPECT_EQ(PortTable[3].errorCode, 0u) << "no worker ran there";
  {
    const platform::clock::ScopedTimeLine bind(PortTimeLine(0));
    platform::clock::sleepMs(5000);
  }
  EXPECT_TRUE(Expired().empty()) << "its watchdog was killed";
}

TEST_F(RunEnds, AStoppedPortStartsAgainOnlyAfterReset) {
  ASSERT_TRUE(control.Begin(7).stop_possible());
  EXPECT_FALSE(control.Begin(7).stop_possible()) << "its worker still runs";
  ASSERT_TRUE(control.Stop(7));
  EXPECT_FALSE(control.Stop(7));
  EXPECT_FALSE(control.Begin(7).stop_possible());
  control.Reset(7);
  EXPECT_TRUE(control.Begin(7).stop_possible());
  EXPECT_FALSE(control.Begin(99).stop_possible());
}

// The watchdog and the worker's own end race: exactly one of them decides.
TEST_F(RunEnds, TheWorkersEndAndItsStopDecideOnce) {
  for (int round = 0; round < 200; ++round) {
    ASSERT_TRUE(control.Begin(9).stop_possible());
    bool finished = false;
    bool stopped = false;
    {
      std::jthread worker([&] { finished = control.Finish(9); });
      std::jthread stopper([&] { stopped = control.Stop(9); });
    }
    EXPECT_NE(finished, stopped) << round;
    control.Reset(9);
  }
}

}  // namespace
}  // namespace fleetburn
