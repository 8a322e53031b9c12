// Hubs, ports and descriptors of the udev device tree, over trees that
// umockdev fakes.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/udev_devices.h"
#include "testsupport/umockdev_usb_tree.h"

namespace platform::devices::udev {
namespace {

using umockdev_tree::FakeController;
using umockdev_tree::FakeDisk;
using umockdev_tree::FakePort;
using umockdev_tree::FakeRootHub;
using umockdev_tree::FakeUsbDevice;
using umockdev_tree::FakeUsbTree;
using umockdev_tree::UmockdevUsbTree;

class UdevHubs : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(UmockdevUsbTree::underUmockdev()) << "run this test through umockdev-wrapper"; }

  std::vector<std::string> rootHubPaths() {
    std::vector<std::string> paths;
    for (const HubInterface& hub : devices_->listHubInterfaces()) {
      EXPECT_TRUE(hub.rootHub) << hub.path;
      paths.push_back(hub.path);
    }
    return paths;
  }

  std::unique_ptr<Hub> openRoot(const std::string& id) {
    std::unique_ptr<Hub> hub = devices_->openHub(tree_.syspathOf(id));
    EXPECT_NE(hub, nullptr) << id;
    return hub;
  }

  // The id of the device on a port, the way the port walk finds it.
  std::optional<std::string> deviceIdOn(Hub& hub, int port) {
    const std::optional<std::string> key = hub.driverKey(port);
    if (!key) return std::nullopt;
    return devices_->findDeviceIdByDriverKey(*key);
  }

  UmockdevUsbTree tree_;
  std::shared_ptr<DeviceTree> devices_ = makeDeviceTree();
};

FakeUsbDevice device(int port, std::uint16_t vendor, std::uint16_t product, std::string serial = {}) {
  return FakeUsbDevice{.port = port, .vendorId = vendor, .productId = product, .serial = std::move(serial)};
}

FakeUsbDevice hub(int port, int ports, std::vector<FakeUsbDevice> children = {}) {
  return FakeUsbDevice{.port = port, .vendorId = 0x05e3, .productId = 0x0608, .hubPorts = ports,
                       .children = std::move(children)};
}

TEST_F(UdevHubs, ListsRootHubsInBusOrderWithTheirPortCounts) {
  tree_.add(FakeUsbTree{.controllers = {FakeController{.highSpeed = FakeRootHub{.ports = 4, .devices = {hub(1, 7)}}},
                                        FakeController{.highSpeed = FakeRootHub{.ports = 6}}}});

  EXPECT_EQ(rootHubPaths(), (std::vector<std::string>{tree_.syspathOf("usb1"), tree_.syspathOf("usb2")}))
      << "the hub on a port is no walk start";
  EXPECT_EQ(openRoot("usb1")->portCount(), 4);
  EXPECT_EQ(openRoot("usb2")->portCount(), 6);
}

TEST_F(UdevHubs, WalksHubsTwoLevelsDown) {
  FakeUsbDevice leaf = device(1, 0x1e4e, 0x7103, "TV0001ABC");
  leaf.manufacturer = "Tolvane";
  leaf.product = "Burn-in Drive";
  tree_.add(FakeUsbTree{.controllers = {FakeController{
                            .highSpeed = FakeRootHub{.ports = 4,
                                                     .devices = {device(1, 0x046d, 0xc077),
                                                                 hub(2, 4, {hub(3, 2, {leaf}), device(4, 0x0781, 0x5567)})}}}}});

  const std::unique_ptr<Hub> root = openRoot("usb1");
  ASSERT_NE(root, nullptr);
  const std::optional<ConnectionInfo> onFirst = root->connectionInfo(1);
  ASSERT_TRUE(onFirst);
  EXPECT_EQ(onFirst->status, PortStatus::DeviceConnected);
  EXPECT_FALSE(onFirst->isHub);
  EXPECT_EQ(onFirst->descriptor.idVendor, 0x046d);
  EXPECT_EQ(onFirst->descriptor.idProduct, 0xc077);
  EXPECT_EQ(root->connectionName(1), std::nullopt) << "only a hub opens by its connection name";
  EXPECT_EQ(deviceIdOn(*root, 1), "1-1");

  const std::optional<ConnectionInfo> onSecond = root->connectionInfo(2);
  ASSERT_TRUE(onSecond);
  EXPECT_TRUE(onSecond->isHub);
  EXPECT_EQ(onSecond->descriptor.deviceClass, 0x09);
  ASSERT_EQ(root->connectionName(2), "1-2");
  EXPECT_EQ(root->connectionInfo(3)->status, PortStatus::NoDevice);
  EXPECT_EQ(root->driverKey(3), std::nullopt);

  const std::unique_ptr<Hub> middle = devices_->openHub("1-2");
  ASSERT_NE(middle, nullptr);
  EXPECT_EQ(middle->portCount(), 4);
  EXPECT_TRUE(middle->connectionInfo(3)->isHub);
  EXPECT_EQ(deviceIdOn(*middle, 4), "1-2.4");
  ASSERT_EQ(middle->connectionName(3), "1-2.3");

  const std::unique_ptr<Hub> inner = devices_->openHub("1-2.3");
  ASSERT_NE(inner, nullptr);
  EXPECT_EQ(inner->portCount(), 2);
  const std::optional<ConnectionInfo> onLeaf = inner->connectionInfo(1);
  ASSERT_TRUE(onLeaf);
  EXPECT_EQ(onLeaf->status, PortStatus::DeviceConnected);
  EXPECT_EQ(onLeaf->descriptor.idVendor, 0x1e4e);
  EXPECT_EQ(onLeaf->descriptor.idProduct, 0x7103);
  EXPECT_EQ(deviceIdOn(*inner, 1), "1-2.3.1");
  const DeviceDescriptor& d = onLeaf->descriptor;
  ASSERT_NE(d.iSerialNumber, 0);
  EXPECT_EQ(inner->stringDescriptor(1, d.iSerialNumber, 0), "TV0001ABC");
  EXPECT_EQ(inner->stringDescriptor(1, d.iSerialNumber, 0x0409), "TV0001ABC");
  EXPECT_EQ(inner->stringDescriptor(1, d.iManufacturer, 0), "Tolvane");
  EXPECT_EQ(inner->stringDescriptor(1, d.iProduct, 0), "Burn-in Drive");
  EXPECT_EQ(inner->stringDescriptor(1, 0, 0), std::nullopt) << "string 0 is the language list";
  EXPECT_EQ(inner->stringDescriptor(1, 9, 0), std::nullopt);
  EXPECT_EQ(inner->stringDescriptor(2, d.iSerialNumber, 0), std::nullopt) << "empty port";

  // A device without strings says so in its descriptor.
  const std::optional<ConnectionInfo> plain = middle->connectionInfo(4);
  ASSERT_TRUE(plain);
  EXPECT_EQ(plain->descriptor.iSerialNumber, 0);
}

TEST_F(UdevHubs, PortsOutsideTheHubAreRefused) {
  tree_.add(FakeUsbTree{.controllers = {FakeController{.highSpeed = FakeRootHub{.ports = 2, .devices = {device(2, 1, 2)}}}}});
  const std::unique_ptr<Hub> root = openRoot("usb1");
  ASSERT_NE(root, nullptr);
  for (int port : {0, -1, 3, 1000}) {
    SCOPED_TRACE(port);
    EXPECT_EQ(root->connectionInfo(port), std::nullopt);
    EXPECT_EQ(root->driverKey(port), std::nullopt);
    EXPECT_EQ(root->configDescriptor(port), std::nullopt);
  }
}

TEST_F(UdevHubs, EmptyPortTellsWhatItsAttributesSay) {
  struct Case {
    FakePort port;
    PortStatus expected;
  };
  const std::vector<Case> cases = {
      {{.number = 1}, PortStatus::NoDevice},
      {{.number = 2, .overCurrentCount = 3}, PortStatus::OverCurrent},
      {{.number = 3, .connectType = "hardwired"}, PortStatus::EnumerationFailed},
      {{.number = 4, .connectType = "not used"}, PortStatus::NoDevice},
  };
  FakeRootHub root{.ports = static_cast<int>(cases.size())};
  for (const Case& c : cases) root.portStates.push_back(c.port);
  tree_.add(FakeUsbTree{.controllers = {FakeController{.highSpeed = root}}});

  const std::unique_ptr<Hub> hubOpen = openRoot("usb1");
  ASSERT_NE(hubOpen, nullptr);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.port.number);
    const std::optional<ConnectionInfo> info = hubOpen->connectionInfo(c.port.number);
    ASSERT_TRUE(info);
    EXPECT_EQ(info->status, c.expected);
    EXPECT_FALSE(info->isHub);
  }
}

TEST_F(UdevHubs, ConfigDescriptorIsTheFirstConfigurationWhole) {
  const FakeUsbDevice storage{.port = 1, .vendorId = 0x152d, .productId = 0x0578,
                              .disk = FakeDisk{.name = "sdb", .minor = 16, .sg = 1}};
  tree_.add(FakeUsbTree{.controllers = {FakeController{.highSpeed = FakeRootHub{.ports = 2, .devices = {storage}}}}});
  const std::unique_ptr<Hub> root = openRoot("usb1");
  ASSERT_NE(root, nullptr);
  const umockdev_tree::FakeDescriptors written = umockdev_tree::fakeDescriptorsOf(storage, false);
  EXPECT_EQ(root->configDescriptor(1), written.configuration);
  EXPECT_EQ(root->configDescriptor(2), std::nullopt) << "empty port";

  // What sysfs holds is replaced: a second configuration follows the first,
  // then the first claims more bytes than there are.
  const std::string syspath = tree_.syspathOf("1-1");
  std::vector<std::uint8_t> two = written.device;
  two.insert(two.end(), written.configuration.begin(), written.configuration.end());
  const std::vector<std::uint8_t> second = {9, 2, 9, 0, 0, 2, 0, 0x80, 50};
  two.insert(two.end(), second.begin(), second.end());
  umockdev_testbed_set_attribute_binary(tree_.testbed(), syspath.c_str(), "descriptors", two.data(),
                                        static_cast<gint>(two.size()));
  EXPECT_EQ(root->configDescriptor(1), written.configuration);

  std::vector<std::uint8_t> cut = written.device;
  cut.insert(cut.end(), written.configuration.begin(), written.configuration.begin() + 12);
  umockdev_testbed_set_attribute_binary(tree_.testbed(), syspath.c_str(), "descriptors", cut.data(),
                                        static_cast<gint>(cut.size()));
  EXPECT_EQ(root->configDescriptor(1), std::nullopt);
  // The IDs still come from their attributes.
  EXPECT_EQ(root->connectionInfo(1)->descriptor.idVendor, 0x152d);
}

TEST_F(UdevHubs, XhciPeerPortsAreOneSocketOnTheUsb2RootHub) {
  FakeController xhci{.highSpeed = FakeRootHub{.ports = 4, .devices = {device(1, 0x046d, 0xc077)}},
                      .superSpeed = FakeRootHub{.ports = 4, .devices = {device(2, 0x152d, 0x0578, "U3DISK")}}};
  tree_.add(FakeUsbTree{.controllers = {xhci}});

  EXPECT_EQ(rootHubPaths(), std::vector<std::string>{tree_.syspathOf("usb1")})
      << "the USB 3 root hub's ports are all the USB 2 root hub's sockets";
  const std::unique_ptr<Hub> root = openRoot("usb1");
  ASSERT_NE(root, nullptr);
  EXPECT_EQ(root->portCount(), 4);
  EXPECT_EQ(deviceIdOn(*root, 1), "1-1");
  const std::optional<ConnectionInfo> onSecond = root->connectionInfo(2);
  ASSERT_TRUE(onSecond);
  EXPECT_EQ(onSecond->status, PortStatus::DeviceConnected);
  EXPECT_EQ(onSecond->descriptor.idVendor, 0x152d);
  EXPECT_EQ(deviceIdOn(*root, 2), "2-2");
  EXPECT_EQ(root->stringDescriptor(2, onSecond->descriptor.iSerialNumber, 0), "U3DISK");
  EXPECT_EQ(root->connectionInfo(3)->status, PortStatus::NoDevice);
}

TEST_F(UdevHubs, Usb3PortsWithoutAPeerKeepTheirOwnRootHub) {
  // Two sockets are shared; USB 3 ports 3 and 4 have no USB 2 half.
  FakeController xhci{.highSpeed = FakeRootHub{.ports = 2},
                      .superSpeed = FakeRootHub{.ports = 4, .devices = {device(1, 0x0bda, 0x9210), device(4, 0x0bda, 0x9211)}}};
  tree_.add(FakeUsbTree{.controllers = {xhci}});

  EXPECT_EQ(rootHubPaths(), (std::vector<std::string>{tree_.syspathOf("usb1"), tree_.syspathOf("usb2")}));
  const std::unique_ptr<Hub> usb2 = openRoot("usb1");
  const std::unique_ptr<Hub> usb3 = openRoot("usb2");
  ASSERT_NE(usb2, nullptr);
  ASSERT_NE(usb3, nullptr);
  EXPECT_EQ(usb2->portCount(), 2);
  EXPECT_EQ(deviceIdOn(*usb2, 1), "2-1");
  EXPECT_EQ(usb3->portCount(), 2) << "USB 3 ports 3 and 4";
  EXPECT_EQ(usb3->connectionInfo(1)->status, PortStatus::NoDevice);
  EXPECT_EQ(deviceIdOn(*usb3, 2), "2-4");
}

TEST_F(UdevHubs, OverCurrentOnEitherPeerShowsOnTheSocket) {
  FakeController xhci{.highSpeed = FakeRootHub{.ports = 2},
                      .superSpeed = FakeRootHub{.ports = 2, .portStates = {FakePort{.number = 2, .overCurrentCount = 1}}}};
  tree_.add(FakeUsbTree{.controllers = {xhci}});
  const std::unique_ptr<Hub> root = openRoot("usb1");
  ASSERT_NE(root, nullptr);
  EXPECT_EQ(root->connectionInfo(1)->status, PortStatus::NoDevice);
  EXPECT_EQ(root->connectionInfo(2)->status, PortStatus::OverCurrent);
}

TEST_F(UdevHubs, BothHalvesOfAUsb3HubAreOneHub) {
  FakeUsbDevice external = hub(3, 4, {device(1, 0x046d, 0xc077)});
  external.superSpeedHalf = true;
  external.superSpeedChildren = {device(2, 0x152d, 0x0578), hub(4, 2, {device(2, 0x0bda, 0x9210)})};
  FakeController xhci{.highSpeed = FakeRootHub{.ports = 4, .devices = {external}},
                      .superSpeed = FakeRootHub{.ports = 4}};
  tree_.add(FakeUsbTree{.controllers = {xhci}});

  const std::unique_ptr<Hub> root = openRoot("usb1");
  ASSERT_NE(root, nullptr);
  EXPECT_TRUE(root->connectionInfo(3)->isHub);
  ASSERT_EQ(root->connectionName(3), "1-3") << "the USB 2 half owns the sockets";

  const std::unique_ptr<Hub> external2 = devices_->openHub("1-3");
  ASSERT_NE(external2, nullptr);
  EXPECT_EQ(external2->portCount(), 4);
  EXPECT_EQ(deviceIdOn(*external2, 1), "1-3.1");
  EXPECT_EQ(deviceIdOn(*external2, 2), "2-3.2");
  EXPECT_EQ(external2->connectionInfo(3)->status, PortStatus::NoDevice);
  ASSERT_EQ(external2->connectionName(4), "2-3.4") << "a USB 3 hub seen on its USB 3 half alone";

  const std::unique_ptr<Hub> below = devices_->openHub("2-3.4");
  ASSERT_NE(below, nullptr);
  EXPECT_EQ(below->portCount(), 2);
  EXPECT_EQ(deviceIdOn(*below, 2), "2-3.4.2");
}

TEST_F(UdevHubs, WhatIsNoHubOrNoDeviceIsNotFound) {
  tree_.add(FakeUsbTree{.controllers = {FakeController{.highSpeed = FakeRootHub{.ports = 2, .devices = {device(1, 1, 2)}}}}});
  for (const char* name : {"1-1", "1-9", "", "usb7", "/sys/devices/nothing"}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(devices_->openHub(name), nullptr);
  }
  const std::string interfaceKey = tree_.syspathOf("1-1").substr(4) + "/1-1:1.0";
  for (const std::string& key : {std::string("/devices/pci0000:00/0000:00:14.0/usb1/1-2"), interfaceKey,
                                 std::string("1-1"), std::string("/devices/pci0000:00/0000:00:14.0/usb1/1-1/../1-1"),
                                 std::string()}) {
    SCOPED_TRACE(key);
    EXPECT_EQ(devices_->findDeviceIdByDriverKey(key), std::nullopt);
  }
  EXPECT_EQ(devices_->findDeviceIdByDriverKey(tree_.syspathOf("1-1").substr(4)), "1-1");
}

TEST_F(UdevHubs, HubThatLeftAnswersNothing) {
  tree_.add(FakeUsbTree{.controllers = {FakeController{
                            .highSpeed = FakeRootHub{.ports = 2, .devices = {hub(1, 4, {device(1, 1, 2)})}}}}});
  const std::unique_ptr<Hub> nested = devices_->openHub("1-1");
  ASSERT_NE(nested, nullptr);
  ASSERT_EQ(nested->portCount(), 4);
  tree_.unplug("1-1");
  EXPECT_EQ(nested->portCount(), std::nullopt);
  EXPECT_EQ(nested->connectionInfo(1), std::nullopt);
  EXPECT_EQ(nested->driverKey(1), std::nullopt);
  EXPECT_EQ(openRoot("usb1")->connectionInfo(1)->status, PortStatus::NoDevice);
}

}  // namespace
}  // namespace platform::devices::udev
