#pragma once
// The station's scan against an emulated line on the fast clock: the test
// thread stands for the GUI thread and runs the tasks the scan posts to it.

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "devlib/port_io.h"
#include "devlib/settings_record.h"
#include "drivesim/faults.h"
#include "drivesim/line.h"
#include "drivesim/scenario.h"
#include "platform/clock.h"
#include "platform/prompt.h"
#include "station/hotplug.h"
#include "station/port_board.h"
#include "station/port_record.h"
#include "station/port_scan.h"

namespace fleetburn::testing {

// What the window would have been told, last value of each.
class RecordingView final : public BoardView, public ScanView {
 public:
  void panelChanged(int port, const PanelView& view) override {
    if (port >= static_cast<int>(panels.size())) panels.resize(static_cast<std::size_t>(port) + 1);
    panels[static_cast<std::size_t>(port)] = view;
  }
  void yieldChanged(const std::string& text) override { yield = text; }
  void setStartEnabled(bool enabled) override {
    startEnabled = enabled;
    if (!enabled) ++startDisables;
  }
  void setCaption(const std::string& text) override { caption = text; }
  void focusStart() override { ++startFocused; }

  std::vector<PanelView> panels;
  std::string yield;
  std::string caption;
  bool startEnabled = false;
  int startDisables = 0;
  int startFocused = 0;
};

// The drive's next INQUIRY hangs until its caller stops or the drive is pulled.
inline drivesim::FaultRule HangOnInquiry() {
  drivesim::FaultRule rule;
  rule.kind = drivesim::FaultKind::Hang;
  rule.match.scsiOpcode = 0x12;
  return rule;
}

inline void ResetPortTables() {
  PortTable.fill(PortRecord{});
  ScanPortTable.fill(PortRecord{});
  PortCount = 0;
  ActivePortCount = 0;
  SelectedPort = 0;
  BarcodeSerials.fill({});
  BarcodeUids.fill({});
}

inline std::filesystem::path ScenarioFile(const char* name) {
  return std::filesystem::path(TOLVANE_SCENARIO_DIR) / name;
}

class ScanTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetPortTables();
    ASSERT_TRUE(devlib::InitPortIoTable(devlib::ProgramKind::Fleetburn));
    prompt = std::make_shared<platform::prompt::ScriptedPrompt>();
    scanner = std::make_unique<PortScanner>(settings, *prompt, gui.poster(), &view);
  }

  void TearDown() override {
    hotplug.reset();
    scanner.reset();
    board.reset();
    drivesim::installLine(nullptr);
    ResetPortTables();
  }

  void UseLine(std::shared_ptr<drivesim::Line> emulated) {
    line = std::move(emulated);
    drivesim::installLine(line);
  }

  void UseScenario(const char* name) {
    const drivesim::ScenarioLoad load = drivesim::loadScenario(ScenarioFile(name));
    ASSERT_TRUE(load.line) << load.error;
    UseLine(load.line);
  }

  // As the window's construction: the first scan in restore mode, then the
  // board of the ports it found, then the scan's end.
  void StartUp() {
    scanner->RefreshPorts(true);
    board = std::make_unique<PortBoard>(PortCount, &view);
    scanner->attachBoard(board.get());
    WaitForScan();
  }

  void WaitForScan() {
    ASSERT_TRUE(gui.runUntil([this] { return !scanner->scanning(); })) << "the scan never ended";
  }

  // Moves the GUI thread's time line on, running the timers that fall due
  // and then the tasks they posted.
  void Elapse(std::uint64_t ms) {
    const platform::clock::ScopedTimeLine bind(kStationTimeLine);
    platform::clock::sleepMs(ms);
    gui.runPending();
  }

  void ListenToHotplug(std::function<bool()> runInProgress = {}) {
    hotplug = std::make_unique<HotplugRescan>(*scanner, gui.poster(), std::move(runInProgress));
    ASSERT_TRUE(hotplug->RegisterUsbNotification(line->deviceTree().get()));
  }

  // Notices of changes made so far have reached the GUI thread's queue.
  void DeliverNotices() {
    line->deviceTree()->waitForDelivery();
    gui.runPending();
  }

  platform::clock::ScopedFastClock clock;
  TaskQueue gui;
  RecordingView view;
  devlib::SettingsRecord settings;
  std::shared_ptr<platform::prompt::ScriptedPrompt> prompt;
  std::shared_ptr<drivesim::Line> line;
  std::unique_ptr<PortScanner> scanner;
  std::unique_ptr<PortBoard> board;
  std::unique_ptr<HotplugRescan> hotplug;
};

}  // namespace fleetburn::testing
