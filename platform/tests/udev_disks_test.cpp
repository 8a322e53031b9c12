// USB disks and device numbers of the udev device tree, over trees that
// umockdev fakes.

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/udev_devices.h"
#include "testsupport/umockdev_usb_tree.h"

namespace platform::devices::udev {
namespace {

using umockdev_tree::FakeController;
using umockdev_tree::FakeDisk;
using umockdev_tree::FakeRootHub;
using umockdev_tree::FakeUsbDevice;
using umockdev_tree::FakeUsbTree;
using umockdev_tree::UmockdevUsbTree;

constexpr std::uint32_t packed(unsigned major, unsigned minor) { return (major << 20) | minor; }
constexpr std::uint32_t usbNode(unsigned bus, unsigned address) { return (bus << 16) | address; }

const UsbDisk* findDisk(const std::vector<UsbDisk>& disks, const std::string& id) {
  const auto found = std::find_if(disks.begin(), disks.end(), [&](const UsbDisk& disk) { return disk.diskId == id; });
  return found != disks.end() ? &*found : nullptr;
}

class UdevDisks : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(UmockdevUsbTree::underUmockdev()) << "run this test through umockdev-wrapper"; }

  UmockdevUsbTree tree_;
  std::shared_ptr<DeviceTree> devices_ = makeDeviceTree();
};

FakeUsbDevice diskDevice(int port, FakeDisk disk) {
  return FakeUsbDevice{.port = port, .vendorId = 0x0bda, .productId = 0x9210, .serial = "S" + disk.name,
                       .disk = std::move(disk)};
}

struct DiskCase {
  const char* what;
  FakeDisk disk;
  bool listed;
  const char* devicePath;
};

// One disk per root port, in the order of the table; the root hub is address
// 1 on bus 1, so the device on port p has address p + 1.
const std::vector<DiskCase> kDiskCases = {
    {"usb-storage with a SCSI generic node", {.name = "sdb", .minor = 16, .sg = 1}, true, "/dev/sg1"},
    {"uas", {.name = "sdc", .minor = 32, .sg = 2, .driver = "uas"}, true, "/dev/sg2"},
    {"no SCSI generic node: the block node", {.name = "sdd", .minor = 48}, true, "/dev/sdd"},
    {"interface without a driver", {.name = "sde", .minor = 64, .sg = 4, .driver = ""}, false, ""},
    {"interface with another driver", {.name = "sdf", .minor = 80, .sg = 5, .driver = "usbfs"}, false, ""},
};

TEST_F(UdevDisks, ListsTheDisksThatAMassStorageDriverCarries) {
  FakeRootHub root{.ports = static_cast<int>(kDiskCases.size()) + 1};
  for (std::size_t i = 0; i < kDiskCases.size(); ++i) {
    root.devices.push_back(diskDevice(static_cast<int>(i) + 1, kDiskCases[i].disk));
  }
  // A device that is no disk at all.
  root.devices.push_back(FakeUsbDevice{.port = root.ports, .vendorId = 0x046d, .productId = 0xc077});
  tree_.add(FakeUsbTree{.controllers = {FakeController{.highSpeed = root}},
                        .sataDisks = {FakeDisk{.name = "sda", .minor = 0, .sg = 0}}});

  const std::vector<UsbDisk> disks = devices_->listUsbDisks();
  EXPECT_EQ(findDisk(disks, "sda"), nullptr) << "a SATA disk is no USB disk";
  for (std::size_t i = 0; i < kDiskCases.size(); ++i) {
    const DiskCase& c = kDiskCases[i];
    SCOPED_TRACE(c.what);
    const UsbDisk* disk = findDisk(disks, c.disk.name);
    if (!c.listed) {
      EXPECT_EQ(disk, nullptr);
      continue;
    }
    ASSERT_NE(disk, nullptr);
    const unsigned port = static_cast<unsigned>(i) + 1;
    EXPECT_EQ(disk->devicePath, c.devicePath);
    EXPECT_EQ(disk->parentUsbDeviceId, "1-" + std::to_string(port));
    EXPECT_EQ(disk->diskNode, packed(8, c.disk.minor));
    EXPECT_EQ(disk->parentNode, usbNode(1, port + 1));
  }
  EXPECT_EQ(disks.size(), 3u);
}

TEST_F(UdevDisks, ParentIsTheOwningDeviceNotAHubAboveIt) {
  // usb1 port 2: hub 1-2; its port 3: hub 1-2.3; its port 1: the disk's device.
  FakeUsbDevice inner{.port = 3, .vendorId = 0x05e3, .productId = 0x0610, .hubPorts = 4,
                      .children = {diskDevice(1, FakeDisk{.name = "sdb", .minor = 16, .sg = 1})}};
  FakeUsbDevice outer{.port = 2, .vendorId = 0x05e3, .productId = 0x0608, .hubPorts = 4, .children = {inner}};
  // On another branch of the same bus, a disk two hubs down as well.
  FakeUsbDevice lookalike = diskDevice(1, FakeDisk{.name = "sdc", .minor = 32, .sg = 2});
  FakeUsbDevice outerHub2{.port = 3, .vendorId = 0x05e3, .productId = 0x0608, .hubPorts = 4,
                          .children = {FakeUsbDevice{.port = 1, .vendorId = 0x05e3, .productId = 0x0610, .hubPorts = 4,
                                                     .children = {lookalike}}}};
  tree_.add(FakeUsbTree{.controllers = {FakeController{.highSpeed = FakeRootHub{.ports = 4, .devices = {outer, outerHub2}}}}});

  const std::vector<UsbDisk> disks = devices_->listUsbDisks();
  ASSERT_EQ(disks.size(), 2u);
  const UsbDisk* deep = findDisk(disks, "sdb");
  const UsbDisk* other = findDisk(disks, "sdc");
  ASSERT_NE(deep, nullptr);
  ASSERT_NE(other, nullptr);
  EXPECT_EQ(deep->parentUsbDeviceId, "1-2.3.1");
  EXPECT_EQ(other->parentUsbDeviceId, "1-3.1.1");
  EXPECT_NE(deep->parentNode, other->parentNode);
}

TEST_F(UdevDisks, DiskOnAUsb3PortBelongsToTheUsb3Device) {
  FakeController xhci{.highSpeed = FakeRootHub{.ports = 4},
                      .superSpeed = FakeRootHub{.ports = 4, .devices = {diskDevice(2, FakeDisk{.name = "sdb", .minor = 16,
                                                                                             .sg = 1, .driver = "uas"})}}};
  tree_.add(FakeUsbTree{.controllers = {xhci}});

  const std::vector<UsbDisk> disks = devices_->listUsbDisks();
  ASSERT_EQ(disks.size(), 1u);
  EXPECT_EQ(disks[0].parentUsbDeviceId, "2-2");
  EXPECT_EQ(disks[0].parentNode, usbNode(2, 2));
}

TEST_F(UdevDisks, UnpluggedDiskIsNoLongerListed) {
  tree_.add(FakeUsbTree{.controllers = {FakeController{
                            .highSpeed = FakeRootHub{.ports = 2,
                                                     .devices = {diskDevice(1, FakeDisk{.name = "sdb", .minor = 16, .sg = 1}),
                                                                 diskDevice(2, FakeDisk{.name = "sdc", .minor = 32, .sg = 2})}}}}});
  ASSERT_EQ(devices_->listUsbDisks().size(), 2u);
  tree_.unplug("1-1");
  const std::vector<UsbDisk> disks = devices_->listUsbDisks();
  ASSERT_EQ(disks.size(), 1u);
  EXPECT_EQ(disks[0].diskId, "sdc");
}

struct NumberCase {
  const char* path;
  std::optional<DeviceNumber> expected;
};

TEST_F(UdevDisks, DeviceNumberNamesTheWholeDiskAndThePartition) {
  tree_.add(FakeUsbTree{
      .controllers = {FakeController{.highSpeed = FakeRootHub{
                                         .ports = 1,
                                         .devices = {diskDevice(1, FakeDisk{.name = "sdb", .minor = 16, .sg = 1,
                                                                            .partitions = 2})}}}},
      .sataDisks = {FakeDisk{.name = "sda", .minor = 0, .sg = 0, .partitions = 1}}});

  char regular[] = "/tmp/udev-disks-XXXXXX";
  const int fd = ::mkstemp(regular);
  ASSERT_GE(fd, 0);
  ::close(fd);

  const std::vector<NumberCase> cases = {
      {"/dev/sdb", DeviceNumber{kDiskDeviceType, packed(8, 16), 0}},
      {"/dev/sdb1", DeviceNumber{kDiskDeviceType, packed(8, 16), 1}},
      {"/dev/sdb2", DeviceNumber{kDiskDeviceType, packed(8, 16), 2}},
      {"/dev/sg1", DeviceNumber{kDiskDeviceType, packed(8, 16), 0}},
      {"/dev/sda", DeviceNumber{kDiskDeviceType, packed(8, 0), 0}},
      {"/dev/sda1", DeviceNumber{kDiskDeviceType, packed(8, 0), 1}},
      {"/dev/sg0", DeviceNumber{kDiskDeviceType, packed(8, 0), 0}},
      {"/dev/sdz", std::nullopt},
      {regular, std::nullopt},
      {"", std::nullopt},
  };
  for (const NumberCase& c : cases) {
    SCOPED_TRACE(c.path);
    const std::optional<DeviceNumber> number = devices_->deviceNumber(c.path);
    ASSERT_EQ(number.has_value(), c.expected.has_value());
    if (!number) continue;
    EXPECT_EQ(number->deviceType, c.expected->deviceType);
    EXPECT_EQ(number->number, c.expected->number);
    EXPECT_EQ(number->partition, c.expected->partition);
  }
  ::unlink(regular);
}

TEST(UdevDeviceTreeInForce, IsTheUdevTreeUntilAnotherIsInstalled) {
  const std::shared_ptr<DeviceTree> first = currentDeviceTree();
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(currentDeviceTree(), first) << "made once, then kept";
  const std::shared_ptr<DeviceTree> other = makeDeviceTree();
  installDeviceTree(other);
  EXPECT_EQ(currentDeviceTree(), other);
  installDeviceTree(nullptr);
  EXPECT_NE(currentDeviceTree(), nullptr);
}

}  // namespace
}  // namespace platform::devices::udev
