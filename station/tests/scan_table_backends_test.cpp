// The same USB trees through both device trees: the emulated line's and the
// udev one over a tree umockdev fakes. The hub walk must fill ScanPortTable
// alike. Names of hubs and driver keys are each backend's own (Windows-shaped
// paths, sysfs paths), so a hub is compared by which ports share it and a
// driver key by its presence; device names, IDs and serials must match.

#include <gtest/gtest.h>

#include <array>
#include <map>
#include <memory>
#include <optional>
#include <ostream>
#include <span>
#include <string>
#include <vector>

#include "devlib/hub_walk.h"
#include "devlib/usb_disk_scan.h"
#include "drivesim/line.h"
#include "platform/clock.h"
#include "platform/udev_devices.h"
#include "station/port_record.h"
#include "testsupport/emulated_topology.h"
#include "testsupport/topology_cases.h"
#include "umockdev_topology.h"

namespace fleetburn::testing {
namespace {

using devlib::testing::TopologyCase;

struct SlotView {
  std::uint32_t hubState = 0;
  std::uint16_t vendorId = 0;
  std::uint16_t productId = 0;
  std::string serial{};
  std::string instanceId{};
  int hub = -1;  // hubs numbered in the order the table first names them
  bool driverKey = false;
  bool disk = false;  // the USB disk scan lists a disk of the port's device

  bool operator==(const SlotView&) const = default;
};

void PrintTo(const SlotView& v, std::ostream* out) {
  *out << "{state " << v.hubState << ", " << std::hex << v.vendorId << ":" << v.productId << std::dec << ", serial '"
       << v.serial << "', id '" << v.instanceId << "', hub " << v.hub << (v.driverKey ? ", key" : "")
       << (v.disk ? ", disk" : "") << "}";
}

struct Walked {
  int total = 0;
  std::vector<SlotView> slots;
};

// Walks the tree into ScanPortTable and reads the table back as views.
Walked WalkIntoScanTable(platform::devices::DeviceTree& tree) {
  Walked walked{.total = devlib::EnumerateRootHubs(tree), .slots = {}};
  CopyHubPortsToScanTable(devlib::LastHubPortTable());
  std::array<devlib::UsbDiskRecord, devlib::kUsbDiskListCapacity> disks{};
  const int diskCount = devlib::ScanUsbDisks(tree, disks);
  const auto listed = std::span(disks).first(static_cast<std::size_t>(diskCount));
  std::map<std::string, int> hubs;
  for (const PortRecord& record : ScanPortTable) {
    SlotView view{.hubState = record.hubState,
                  .vendorId = record.usbVendorId,
                  .productId = record.usbProductId,
                  .serial = record.usbSerial,
                  .instanceId = record.deviceInstanceId,
                  .hub = -1,
                  .driverKey = !record.driverKeyName.empty(),
                  .disk = false};
    if (!record.hubPath.empty()) view.hub = hubs.emplace(record.hubPath, static_cast<int>(hubs.size())).first->second;
    if (!record.deviceInstanceId.empty()) {
      if (const auto disk = devlib::FindUnusedDiskOfDevice(listed, record.deviceInstanceId)) {
        listed[*disk].used = true;
        view.disk = true;
      }
    }
    walked.slots.push_back(view);
  }
  return walked;
}

Walked WalkEmulated(const testsupport::FakeTopology& topology) {
  platform::clock::ScopedFastClock clock;
  auto line = std::make_shared<drivesim::Line>();
  devlib::testing::EmulatedTopology emulated(topology, *line);
  EXPECT_EQ(line->setTopology(emulated.usb()), "");
  return WalkIntoScanTable(*line->deviceTree());
}

Walked WalkUdev(const tree::FakeUsbTree& fake) {
  tree::UmockdevUsbTree testbed;
  testbed.add(fake);
  const std::shared_ptr<platform::devices::DeviceTree> devices = platform::devices::udev::makeDeviceTree();
  return WalkIntoScanTable(*devices);
}

std::vector<TopologyCase> CasesSysfsCanShow() {
  std::vector<TopologyCase> cases;
  for (const TopologyCase& c : devlib::testing::TopologyCases()) {
    if (UmockdevTopology::of(testsupport::ParseTopology(c.topology))) cases.push_back(c);
  }
  return cases;
}

class ScanTableOnBothBackends : public ::testing::TestWithParam<TopologyCase> {
 protected:
  void SetUp() override {
    ASSERT_TRUE(tree::UmockdevUsbTree::underUmockdev()) << "run this test through umockdev-wrapper";
  }
};

TEST_P(ScanTableOnBothBackends, HoldsTheSameDevicesOnTheSamePorts) {
  const TopologyCase& c = GetParam();
  const testsupport::FakeTopology topology = testsupport::ParseTopology(c.topology);
  const std::optional<tree::FakeUsbTree> fake = UmockdevTopology::of(topology);
  ASSERT_TRUE(fake.has_value());

  const Walked emulated = WalkEmulated(topology);
  const Walked udev = WalkUdev(*fake);

  EXPECT_EQ(emulated.total, c.total);
  EXPECT_EQ(udev.total, c.total);
  ASSERT_EQ(emulated.slots.size(), udev.slots.size());
  for (std::size_t slot = 0; slot < emulated.slots.size(); ++slot) {
    SCOPED_TRACE("port number " + std::to_string(slot + 1));
    EXPECT_EQ(emulated.slots[slot], udev.slots[slot]);
    const auto expected = c.ports.find(static_cast<int>(slot) + 1);
    EXPECT_EQ(emulated.slots[slot].instanceId, expected == c.ports.end() ? "" : expected->second);
    EXPECT_EQ(emulated.slots[slot].disk, expected != c.ports.end());
  }
}

INSTANTIATE_TEST_SUITE_P(Topologies, ScanTableOnBothBackends, ::testing::ValuesIn(CasesSysfsCanShow()),
                         [](const auto& row) { return std::string(row.param.name); });

// The trees whose numbering the walk is specified by all have a sysfs form.
TEST(ScanTableOnBothBackendsCases, CoverTheSpecifiedTrees) {
  std::vector<std::string> names;
  for (const TopologyCase& c : CasesSysfsCanShow()) names.emplace_back(c.name);
  for (const char* wanted : {"RootHubsOfFourAndSixPorts", "NestedHub", "TwoNestedHubsOnOneParent", "HubTwoLevelsDeep",
                             "MoreThanFiftyPorts"}) {
    EXPECT_NE(std::find(names.begin(), names.end(), wanted), names.end()) << wanted;
  }
}

}  // namespace
}  // namespace fleetburn::testing
