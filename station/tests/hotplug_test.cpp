// Hot-plug on the emulated line: the rescan timer's debounce on the fast
// clock, plugging and unplugging while idle and during a scan, many drives
// at once, and a hub that brings more ports than the board has.

#include <gtest/gtest.h>

#include <string>

#include "drivesim/config.h"
#include "platform/debug.h"
#include "scan_fixture.h"

namespace fleetburn::testing {
namespace {

using platform::devices::EventKind;

std::string DrivePath(int n) {
  return "\\\\?\\usbstor#disk&ven_tolvane&prod_ssd&rev_1.00#" + std::to_string(n) + "#{53f56307}";
}

drivesim::DriveConfig Drive(int n) {
  drivesim::DriveConfig config = drivesim::DriveConfig::ownUsb(DrivePath(n));
  config.serial = "TV" + std::to_string(2000 + n);
  return config;
}

// A root hub "r" of `ports` ports with drive n on port n for the first `drives`.
std::shared_ptr<drivesim::Line> RootHubLine(int ports, int drives) {
  auto line = std::make_shared<drivesim::Line>();
  drivesim::UsbTopology topology;
  topology.rootHub("r", ports);
  for (int n = 1; n <= drives; ++n) {
    line->addDrive(Drive(n));
    topology.drive({"r", n}, DrivePath(n));
  }
  EXPECT_EQ(line->setTopology(topology), "");
  return line;
}

class Hotplug : public ScanTest {
 protected:
  void SetUp() override {
    ScanTest::SetUp();
    UseLine(RootHubLine(4, 3));
    StartUp();
    ListenToHotplug([this] { return runInProgress; });
    scansBefore = scanner->scansStarted();
  }

  int ScansSince() const { return scanner->scansStarted() - scansBefore; }

  bool runInProgress = false;
  int scansBefore = 0;
};

// --- The debounce (timer 51) ------------------------------------------------

TEST_F(Hotplug, AnArrivalRescans1500MsAfterItsNotice) {
  hotplug->WMDeviceChange(EventKind::Arrival);
  EXPECT_FALSE(view.startEnabled) << "START goes off at once";
  Elapse(1499);
  EXPECT_EQ(ScansSince(), 0);
  EXPECT_TRUE(hotplug->armed());
  Elapse(1);
  EXPECT_EQ(ScansSince(), 1);
  EXPECT_FALSE(hotplug->armed());
  WaitForScan();
  EXPECT_TRUE(view.startEnabled);
  EXPECT_GT(view.startFocused, 0);
}

TEST_F(Hotplug, ARemovalRescans200MsAfterItsNotice) {
  hotplug->WMDeviceChange(EventKind::Removal);
  Elapse(199);
  EXPECT_EQ(ScansSince(), 0);
  Elapse(1);
  EXPECT_EQ(ScansSince(), 1);
}

TEST_F(Hotplug, EachNoticeRestartsTheTimer) {
  hotplug->WMDeviceChange(EventKind::Arrival);
  Elapse(500);
  hotplug->WMDeviceChange(EventKind::Arrival);
  Elapse(1499);
  EXPECT_EQ(ScansSince(), 0) << "1999 ms after the first notice";
  Elapse(1);
  EXPECT_EQ(ScansSince(), 1);
  WaitForScan();
  Elapse(5000);
  EXPECT_EQ(ScansSince(), 1) << "two quick notices, one rescan";

  hotplug->WMDeviceChange(EventKind::Arrival);
  Elapse(1000);
  hotplug->WMDeviceChange(EventKind::Removal);
  Elapse(200);
  EXPECT_EQ(ScansSince(), 2) << "a removal restarts it with its own 200 ms";
}

TEST_F(Hotplug, NoticesDuringARunAreIgnored) {
  runInProgress = true;
  view.startDisables = 0;
  hotplug->WMDeviceChange(EventKind::Arrival);
  EXPECT_FALSE(hotplug->armed());
  EXPECT_EQ(view.startDisables, 0);
  Elapse(5000);
  EXPECT_EQ(ScansSince(), 0);
}

// --- The emulated line's plug and unplug ------------------------------------

TEST_F(Hotplug, UnplugAndPlugWhileIdle) {
  ASSERT_EQ(PortTable[1].active, 1u);
  ASSERT_TRUE(line->deviceTree()->unplugPort({"r", 2}));
  DeliverNotices();
  EXPECT_TRUE(hotplug->armed());
  EXPECT_FALSE(view.startEnabled);
  Elapse(kRemovalDebounceMs);
  WaitForScan();
  EXPECT_EQ(ScansSince(), 1);
  EXPECT_EQ(PortTable[1].hubState, 0u);
  EXPECT_FALSE(board->panel(1).shown);
  EXPECT_EQ(scanner->ActiveCount(), 2);

  ASSERT_TRUE(line->deviceTree()->plugPort({"r", 2}));
  DeliverNotices();
  Elapse(kArrivalDebounceMs - 1);
  EXPECT_EQ(ScansSince(), 1);
  Elapse(1);
  WaitForScan();
  EXPECT_EQ(ScansSince(), 2);
  EXPECT_EQ(PortTable[1].active, 1u);
  EXPECT_TRUE(board->panel(1).shown);
  EXPECT_EQ(scanner->ActiveCount(), 3);
  EXPECT_TRUE(view.startEnabled);
}

// The scan's device phase hangs on drive 2 until it is pulled; the notice of
// the pull is merged into one more rescan after the scan.
TEST_F(Hotplug, UnplugDuringAScan) {
  line->drive(DrivePath(2))->injectFault(HangOnInquiry());
  scanner->RefreshBtnClick();
  Elapse(kScanPatienceMs);
  ASSERT_TRUE(gui.runUntil([] { return PortTable[0].active == 1 && PortTable[2].active == 1; }));
  ASSERT_TRUE(scanner->scanning()) << "drive 2 still hangs";

  ASSERT_TRUE(line->deviceTree()->unplugPort({"r", 2}));
  DeliverNotices();
  Elapse(kRemovalDebounceMs);
  WaitForScan();

  EXPECT_EQ(ScansSince(), 2) << "the scan, then the one the notice asked for";
  EXPECT_EQ(PortTable[1].hubState, 0u);
  EXPECT_EQ(PortTable[1].active, 0u);
  EXPECT_FALSE(board->panel(1).shown);
  EXPECT_EQ(scanner->ActiveCount(), 2);
  EXPECT_TRUE(view.startEnabled);
}

// --- Many drives at once ----------------------------------------------------

class TwentyAtOnce : public ScanTest {};

TEST_F(TwentyAtOnce, GiveAFewScansNotTwenty) {
  UseLine(RootHubLine(24, 20));
  for (int port = 1; port <= 20; ++port) ASSERT_TRUE(line->deviceTree()->unplugPort({"r", port}));
  StartUp();
  ASSERT_EQ(scanner->ActiveCount(), 0);
  ListenToHotplug();
  const int before = scanner->scansStarted();

  for (int port = 1; port <= 20; ++port) {
    ASSERT_TRUE(line->deviceTree()->plugPort({"r", port}));
    if (port % 5 == 0) {
      DeliverNotices();  // they come in a few bursts
      Elapse(100);
    }
  }
  DeliverNotices();
  Elapse(kArrivalDebounceMs);
  WaitForScan();
  Elapse(kArrivalDebounceMs);
  WaitForScan();

  EXPECT_EQ(scanner->scansStarted() - before, 1);
  EXPECT_EQ(scanner->ActiveCount(), 20);
  for (int port = 0; port < 20; ++port) EXPECT_EQ(PortTable[static_cast<std::size_t>(port)].active, 1u) << port;
}

// Notices while a scan runs merge into one more scan, however many there are.
TEST_F(TwentyAtOnce, NoticesDuringAScanMergeIntoOneMore) {
  UseLine(RootHubLine(24, 20));
  line->drive(DrivePath(1))->injectFault(HangOnInquiry());
  scanner->RefreshPorts(true);
  board = std::make_unique<PortBoard>(PortCount, &view);
  scanner->attachBoard(board.get());
  ListenToHotplug();
  ASSERT_TRUE(scanner->scanning());
  for (int round = 0; round < 20; ++round) {
    hotplug->WMDeviceChange(EventKind::Removal);
    Elapse(kRemovalDebounceMs);
  }
  EXPECT_EQ(scanner->scansStarted(), 1) << "merged while the first still runs";
  scanner->stopDevicePhases();  // the hanging drive gives up
  scanner->RefreshBtnClick();
  WaitForScan();
  EXPECT_EQ(scanner->scansStarted(), 2);
}

// --- A hub that brings more ports than the board -----------------------------

// The board was built for the 10 ports of start-up. A hub of 55 ports
// plugged into port 10 is walked first, so its ports take numbers 1 to 55;
// only the first 10 have a panel.
TEST_F(ScanTest, AHubBringingFiftyFivePortsAfterStartUpIsBoundedToTheBoard) {
  auto emulated = std::make_shared<drivesim::Line>();
  drivesim::UsbTopology topology;
  topology.rootHub("r", 10);
  emulated->addDrive(Drive(1));
  topology.drive({"r", 1}, DrivePath(1));
  topology.hub("big", {"r", 10}, 55);
  for (int port : {1, 7, 52, 55}) {
    emulated->addDrive(Drive(100 + port));
    topology.drive({"big", port}, DrivePath(100 + port));
  }
  ASSERT_EQ(emulated->setTopology(topology), "");
  UseLine(emulated);
  ASSERT_TRUE(line->deviceTree()->unplugPort({"r", 10}));
  StartUp();
  ASSERT_EQ(board->panelCount(), 10);
  ASSERT_EQ(scanner->ActiveCount(), 1);
  ListenToHotplug();

  platform::debug::CaptureSink debug;
  ASSERT_TRUE(line->deviceTree()->plugPort({"r", 10}));
  DeliverNotices();
  Elapse(kArrivalDebounceMs);
  WaitForScan();

  EXPECT_EQ(scanner->WalkedPortCount(), 65);
  EXPECT_EQ(PortCount, 10);
  EXPECT_TRUE(debug.contains("the board has 10")) << ::testing::PrintToString(debug.lines());
  EXPECT_EQ(PortTable[0].devicePath, DrivePath(101));
  EXPECT_EQ(PortTable[6].devicePath, DrivePath(107));
  EXPECT_EQ(scanner->ActiveCount(), 2) << "the hub's ports 1 and 7; the rest lie beyond the board";
  for (std::size_t slot = 10; slot < kPortSlots; ++slot) EXPECT_EQ(PortTable[slot].hubState, 0u) << slot;
}

}  // namespace
}  // namespace fleetburn::testing
