// The hub walk and the USB disk scan over the emulated line's device tree:
// the same topologies as over the scripted tree, with the line's drives on
// the device ports, and each recorded port matched to the disk of the drive
// that sits there.

#include <gtest/gtest.h>

#include <array>
#include <filesystem>
#include <memory>
#include <string>

#include "devlib/hub_walk.h"
#include "devlib/usb_disk_scan.h"
#include "drivesim/line.h"
#include "drivesim/scenario.h"
#include "drivesim/usb_topology.h"
#include "platform/clock.h"
#include "testsupport/emulated_topology.h"
#include "testsupport/fake_device_tree.h"
#include "testsupport/topology_cases.h"

namespace devlib::testing {
namespace {

using testsupport::FakeTopology;

class EmulatedTopologyWalk : public ::testing::TestWithParam<TopologyCase> {
 protected:
  platform::clock::ScopedFastClock clock_;
  std::shared_ptr<drivesim::Line> line_ = std::make_shared<drivesim::Line>();
};

TEST_P(EmulatedTopologyWalk, RecordsEachPortWithTheDiskOfItsDrive) {
  const TopologyCase& c = GetParam();
  const FakeTopology topology = testsupport::ParseTopology(c.topology);
  EmulatedTopology emulated(topology, *line_);
  ASSERT_EQ(line_->setTopology(emulated.usb()), "");
  platform::devices::DeviceTree& tree = *line_->deviceTree();

  EXPECT_EQ(EnumerateRootHubs(tree), c.total);
  std::array<UsbDiskRecord, kUsbDiskListCapacity> disks{};
  const int diskCount = ScanUsbDisks(tree, disks);
  const auto listed = std::span(disks).first(static_cast<std::size_t>(diskCount));

  const HubPortTable& table = LastHubPortTable();
  for (int number = 1; number <= static_cast<int>(kHubPortSlots); ++number) {
    SCOPED_TRACE("port number " + std::to_string(number));
    const HubPortInfo& info = table[static_cast<std::size_t>(number - 1)];
    const auto expected = c.ports.find(number);
    if (expected == c.ports.end()) {
      EXPECT_EQ(info, HubPortInfo{});
      continue;
    }
    const testsupport::FakeUsbDevice* device = topology.device(expected->second);
    ASSERT_NE(device, nullptr);
    EXPECT_TRUE(info.present);
    EXPECT_EQ(info.serial, ExpectedSerial(*device));
    EXPECT_FALSE(info.hubPath.empty());
    EXPECT_FALSE(info.driverKeyName.empty());
    const std::optional<std::size_t> disk = FindUnusedDiskOfDevice(listed, info.deviceInstanceId);
    ASSERT_TRUE(disk.has_value()) << "no disk of " << info.deviceInstanceId;
    EXPECT_EQ(listed[*disk].devicePath, DrivePath(expected->second));
    listed[*disk].used = true;
  }
}

INSTANTIATE_TEST_SUITE_P(Topologies, EmulatedTopologyWalk, ::testing::ValuesIn(TopologyCases()),
                         [](const auto& row) { return std::string(row.param.name); });

TEST(EmulatedLine, IsWalkedAndScannedOnceInstalled) {
  platform::clock::ScopedFastClock clock;
  auto line = std::make_shared<drivesim::Line>();
  line->addDrive(drivesim::DriveConfig::ownUsb(DrivePath("a")));
  line->addDrive(drivesim::DriveConfig::ownUsb(DrivePath("b")));
  const auto previousStorage = platform::storage::currentBackend();
  const auto previousTree = platform::devices::currentDeviceTree();
  drivesim::installLine(line);

  // Without a tree of its own the line puts each drive on a port of one root hub.
  const int total = EnumerateRootHubs();
  std::array<UsbDiskRecord, 4> disks{};
  const int count = ScanUsbDisks(disks);
  platform::storage::installBackend(previousStorage);
  platform::devices::installDeviceTree(previousTree);

  EXPECT_EQ(total, 2);
  ASSERT_EQ(count, 2);
  const auto second = FindUnusedDiskOfDevice(disks, LastHubPortTable()[1].deviceInstanceId);
  ASSERT_TRUE(second.has_value());
  EXPECT_EQ(disks[*second].devicePath, DrivePath("b"));
}

// The production line's sockets are the walk's port numbers: drive n of the
// scenario file on port n, each matched to its own disk.
TEST(EmulatedLine, Line50PutsDriveNOnPortN) {
  platform::clock::ScopedFastClock clock;
  const drivesim::ScenarioLoad load =
      drivesim::loadScenario(std::filesystem::path(TOLVANE_SCENARIO_DIR) / "line50.ini");
  ASSERT_TRUE(load.line) << load.error;
  platform::devices::DeviceTree& tree = *load.line->deviceTree();

  EXPECT_EQ(EnumerateRootHubs(tree), 50);
  std::array<UsbDiskRecord, kUsbDiskListCapacity> disks{};
  const int count = ScanUsbDisks(tree, disks);
  ASSERT_EQ(count, 50);
  const auto listed = std::span(disks).first(static_cast<std::size_t>(count));
  const std::vector<drivesim::Drive*> drives = load.line->drives();
  for (std::size_t slot = 0; slot < kHubPortSlots; ++slot) {
    SCOPED_TRACE("port number " + std::to_string(slot + 1));
    const HubPortInfo& info = LastHubPortTable()[slot];
    ASSERT_TRUE(info.present);
    const std::optional<std::size_t> disk = FindUnusedDiskOfDevice(listed, info.deviceInstanceId);
    ASSERT_TRUE(disk.has_value());
    EXPECT_EQ(listed[*disk].devicePath, drives[slot]->config().path);
    listed[*disk].used = true;
  }
}

}  // namespace
}  // namespace devlib::testing
