// The hub walk and the USB disk scan over the emulated line's device tree:
// the same topologies as over the scripted tree, with the line's drives on
// the device ports, and each recorded port matched to the disk of the drive
// that sits there.

#include <gtest/gtest.h>

#include <array>
#include <memory>
#include <string>

#include "devlib/hub_walk.h"
#include "devlib/usb_disk_scan.h"
#include "drivesim/line.h"
#include "drivesim/usb_topology.h"
#include "platform/clock.h"
#include "testsupport/fake_device_tree.h"
#include "topology_cases.h"

namespace devlib::testing {
namespace {

using testsupport::FakeHub;
using testsupport::FakeTopology;

std::string DrivePath(const std::string& instanceId) {
  return "\\\\?\\usbstor#disk&ven_tolvane&prod_kwfa4x&rev_1.00#" + instanceId +
         "&0#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}";
}

std::string ExpectedSerial(const testsupport::FakeUsbDevice& device) {
  return device.serials.empty() ? std::string() : device.serials.at(device.languages.front());
}

// States a topology of the notation as the emulated line's USB tree, with one
// drive of the line on every device port.
class EmulatedTopology {
 public:
  EmulatedTopology(const FakeTopology& topology, drivesim::Line& line) : line_(line) {
    int bus = 0;
    for (const testsupport::FakeHubInterface& entry : topology.interfaces) {
      const std::string name = "bus" + std::to_string(++bus);
      const int ports = static_cast<int>(entry.hub->ports.size());
      drivesim::HubSpec& hub = entry.rootHub ? usb_.rootHub(name, ports) : usb_.hubInterface(name, ports);
      describe(hub, *entry.hub, name);
    }
  }

  drivesim::UsbTopology& usb() { return usb_; }

 private:
  void describe(drivesim::HubSpec& spec, const FakeHub& hub, const std::string& name) {
    spec.openFails = !hub.opens;
    spec.nodeInfoFails = hub.nodeInfoFails;
    for (std::size_t index = 0; index < hub.ports.size(); ++index) {
      const testsupport::FakePort& port = hub.ports[index];
      const drivesim::PortRef at{name, static_cast<int>(index) + 1};
      if (port.hub) {
        describe(usb_.hub(port.hub->instanceId, at, static_cast<int>(port.hub->ports.size())), *port.hub,
                 port.hub->instanceId);
      } else if (port.device) {
        const std::string path = DrivePath(port.device->instanceId);
        line_.addDrive(drivesim::DriveConfig::ownUsb(path));
        drivesim::UsbDeviceSpec device;
        device.serial = ExpectedSerial(*port.device);
        usb_.drive(at, path).device = device;
      } else if (port.connectionInfoFails) {
        usb_.port(at).connectionInfoFails = true;
      } else if (port.status != platform::devices::PortStatus::NoDevice) {
        usb_.port(at).status = port.status;
      }
    }
  }

  drivesim::Line& line_;
  drivesim::UsbTopology usb_;
};

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

}  // namespace
}  // namespace devlib::testing
