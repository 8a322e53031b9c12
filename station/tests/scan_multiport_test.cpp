// The scan's device phase on many ports at once: the fifty drives of the
// full line matched to ports 1 to 50, and a drive that hangs holding up only
// its own port. ThreadSanitizer runs these.

#include <gtest/gtest.h>

#include <string>

#include "drivesim/config.h"
#include "scan_fixture.h"

namespace fleetburn::testing {
namespace {

int ExpectedChipType(const drivesim::DriveConfig& config) {
  return config.frontEnd == drivesim::FrontEnd::OwnUsb ? 10 : config.bridgeChipType;
}

TEST_F(ScanTest, OnTheFullLineEachOfTheFiftyDrivesIsMatchedToItsPort) {
  UseScenario("line50.ini");
  StartUp();
  ASSERT_EQ(PortCount, 50);
  EXPECT_EQ(scanner->PresentCount(), 50);
  EXPECT_EQ(scanner->ActiveCount(), 50);
  EXPECT_TRUE(view.startEnabled);
  const std::vector<drivesim::Drive*> drives = line->drives();
  ASSERT_EQ(drives.size(), 50u);
  for (int port = 0; port < 50; ++port) {
    SCOPED_TRACE("port " + std::to_string(port + 1));
    const drivesim::DriveConfig& config = drives[static_cast<std::size_t>(port)]->config();
    const PortRecord& record = PortTable[static_cast<std::size_t>(port)];
    EXPECT_EQ(record.devicePath, config.path);
    EXPECT_EQ(record.chipType, ExpectedChipType(config));
    EXPECT_EQ(record.active, 1u);
    EXPECT_EQ(record.capacityMB, config.sectorCount / 2048);
    const PanelView& panel = board->panel(port);
    EXPECT_TRUE(panel.shown);
    EXPECT_EQ(panel.colour, PanelColour::Yellow);
    EXPECT_EQ(panel.caption, std::to_string(config.sectorCount / 2048) + " MB");
    EXPECT_EQ(devlib::PortTransportOf(port)->usbPath, config.frontEnd == drivesim::FrontEnd::OwnUsb ? 1 : 0);
  }
}

// Port 2's drive never answers its INQUIRY: the ports after it wait their
// turn until the scan's patience is over, then every other port is applied
// while it hangs; it is applied (as not recognised) once its pull ends the
// command.
TEST_F(ScanTest, ADriveThatHangsHoldsUpOnlyItsOwnPort) {
  UseScenario("line50.ini");
  drivesim::Drive& stuck = *line->drives()[1];
  stuck.injectFault(HangOnInquiry());
  scanner->RefreshPorts(true);
  board = std::make_unique<PortBoard>(PortCount, &view);
  scanner->attachBoard(board.get());

  ASSERT_TRUE(gui.runUntil([] { return PortTable[0].active == 1; }));
  Elapse(kScanPatienceMs);
  const auto othersApplied = [] {
    for (std::size_t port = 0; port < 50; ++port) {
      if (port != 1 && PortTable[port].active != 1) return false;
    }
    return true;
  };
  ASSERT_TRUE(gui.runUntil(othersApplied)) << "the other ports waited for the stuck one";
  EXPECT_TRUE(scanner->scanning());
  EXPECT_EQ(PortTable[1].active, 0u);
  EXPECT_FALSE(view.startEnabled) << "no START while a port is still being read";
  EXPECT_TRUE(board->panel(49).shown) << "the board shows the ports already read";

  stuck.unplug();
  WaitForScan();
  EXPECT_EQ(PortTable[1].active, 0u);
  EXPECT_EQ(scanner->ActiveCount(), 49);
}

}  // namespace
}  // namespace fleetburn::testing
