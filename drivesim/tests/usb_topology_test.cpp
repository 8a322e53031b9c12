// The USB tree a scenario describes, as the host reads it through the device
// tree: hub interfaces, ports and their states, nested hubs opened by
// connection name, descriptors, driver keys and the disks with their parents.

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <set>
#include <string>

#include "drivesim/scenario.h"
#include "topology_test_support.h"

namespace drivesim::test {
namespace {

using pd::PortStatus;

constexpr const char* kRoot1 = "\\\\?\\usb#root_hub30#4&1f2b3c&0#{f18a0e88-c30c-11d0-8815-00a0c906bed8}";
constexpr const char* kRoot2 = "\\\\?\\usb#root_hub20#4&2c3d4e&0#{f18a0e88-c30c-11d0-8815-00a0c906bed8}";
constexpr const char* kOther = "\\\\?\\usb#vid_1a2b&pid_3c4d#4&3d4e5f&0#{f18a0e88-c30c-11d0-8815-00a0c906bed8}";

std::string drivesText() {
  std::string text;
  for (int n = 1; n <= 4; ++n) {
    text += "[drive]\npath = " + usbDiskPath(n) + "\nfrontend = " + (n == 2 ? "bridge\nchip = 7" : "own-usb") +
            "\nserial = TV" + std::string(9, '0') + std::to_string(n) + "\n";
  }
  return text + "[drive]\npath = /dev/sdc\nfrontend = sata\n";
}

// r1 (4 ports): 1 drive 1, 2 hub h1, 3 over-current, 4 a keyboard
//   h1 (4 ports): 1 drive 2, 2 drive 4 that failed enumeration, 3 empty, 4 hub h2
//     h2 (2 ports): 1 drive 3 without a serial string, 2 empty
// r2 (2 ports): 1 not enough power, 2 general failure
// other: listed, not a root hub
std::string treeText() {
  return drivesText() + "[hub]\nname = r1\nports = 4\npath = " + kRoot1 +
         "\n"
         "[hub]\nname = r2\nports = 2\npath = " +
         kRoot2 +
         "\n"
         "[hub]\nname = other\nports = 2\nroot = no\npath = " +
         kOther +
         "\n"
         "[hub]\nname = h1\nat = r1 2\nports = 4\nvid = 0x2d9a\npid = 0x0604\n"
         "[hub]\nname = h2\nat = h1 4\nports = 2\n"
         "[port]\nat = r1 1\ndrive = " +
         usbDiskPath(1) + "\nvid = 0x3a8e\npid = 0x0a4f\n" + "[port]\nat = h1 1\ndrive = " + usbDiskPath(2) +
         "\nvid = 0x1111\npid = 0x2222\nlanguages = 0x0407 0x0409\nmanufacturer = Acme\n"
         "[port]\nat = h2 1\ndrive = " +
         usbDiskPath(3) + "\nserial = none\n" + "[port]\nat = h1 2\ndrive = " + usbDiskPath(4) +
         "\nstatus = enumeration-failed\n"
         "[port]\nat = r1 3\nstatus = overcurrent\n"
         "[port]\nat = r1 4\nvid = 0x2e1f\npid = 0xc31c\nclass = 0\nserial = none\nproduct = Keyboard\n"
         "[port]\nat = r2 1\nstatus = not-enough-power\n"
         "[port]\nat = r2 2\nstatus = general-failure\n";
}

// usb\vid_xxxx&pid_yyyy\5&<8 hex>&0&<port>
bool namesAPort(const std::string& id, int port) {
  const std::string tail = "&0&" + std::to_string(port);
  const auto isHex = [](const std::string& text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return std::isxdigit(static_cast<unsigned char>(c)); });
  };
  return id.size() == 22 + 10 + tail.size() && id.starts_with("usb\\vid_") && isHex(id.substr(8, 4)) &&
         id.substr(12, 5) == "&pid_" && isHex(id.substr(17, 4)) && id.substr(21, 3) == "\\5&" &&
         isHex(id.substr(24, 8)) && id.ends_with(tail);
}

class ScenarioTree : public ::testing::Test {
 protected:
  void SetUp() override {
    const ScenarioLoad load = parseScenario(treeText());
    ASSERT_TRUE(load.line) << load.error;
    line = load.line;
    tree = line->deviceTree();
  }

  // h1 and h2 are reached the way the host reaches them: through their parent's port.
  std::unique_ptr<pd::Hub> open(const std::string& hub) {
    if (hub == "r1") return tree->openHub(kRoot1);
    if (hub == "r2") return tree->openHub(kRoot2);
    const auto parent = open(hub == "h1" ? "r1" : "h1");
    if (!parent) return nullptr;
    const auto name = parent->connectionName(hub == "h1" ? 2 : 4);
    if (!name) return nullptr;
    return tree->openHub("\\\\.\\" + *name);
  }

  std::shared_ptr<Line> line;
  std::shared_ptr<EmulatedDeviceTree> tree;
};

TEST_F(ScenarioTree, ListsEveryHubInterfaceAndOnlyRootHubsAsRoots) {
  const auto interfaces = tree->listHubInterfaces();
  ASSERT_EQ(interfaces.size(), 5u);
  EXPECT_EQ(interfaces[0].path, kRoot1);
  EXPECT_TRUE(interfaces[0].rootHub);
  EXPECT_EQ(interfaces[1].path, kRoot2);
  EXPECT_TRUE(interfaces[1].rootHub);
  EXPECT_EQ(interfaces[2].path, kOther);
  EXPECT_FALSE(interfaces[2].rootHub);
  // The hubs on ports are listed too, under their own interface paths.
  for (std::size_t i = 3; i < 5; ++i) {
    EXPECT_FALSE(interfaces[i].rootHub);
    EXPECT_TRUE(interfaces[i].path.starts_with("\\\\?\\usb#vid_")) << interfaces[i].path;
    EXPECT_TRUE(interfaces[i].path.ends_with("#{f18a0e88-c30c-11d0-8815-00a0c906bed8}")) << interfaces[i].path;
    EXPECT_NE(tree->openHub(interfaces[i].path), nullptr);
  }
  EXPECT_TRUE(interfaces[3].path.starts_with("\\\\?\\usb#vid_2d9a&pid_0604#")) << interfaces[3].path;
  EXPECT_NE(interfaces[3].path, interfaces[4].path);
}

TEST_F(ScenarioTree, PortCountsOfEveryHub) {
  const std::pair<const char*, int> expected[] = {{"r1", 4}, {"r2", 2}, {"h1", 4}, {"h2", 2}};
  for (const auto& [hub, ports] : expected) {
    const auto opened = open(hub);
    ASSERT_NE(opened, nullptr) << hub;
    EXPECT_EQ(opened->portCount(), ports) << hub;
  }
  EXPECT_EQ(tree->openHub(kOther)->portCount(), 2);
}

struct PortCase {
  const char* hub;
  int port;
  PortStatus status;
  bool isHub = false;
  std::uint16_t vendorId = 0;
  std::uint16_t productId = 0;
};

class PortsOfTheTree : public ScenarioTree, public ::testing::WithParamInterface<PortCase> {};

TEST_P(PortsOfTheTree, ReportTheirConnection) {
  const PortCase& c = GetParam();
  const auto hub = open(c.hub);
  ASSERT_NE(hub, nullptr);
  const auto info = hub->connectionInfo(c.port);
  ASSERT_TRUE(info.has_value());
  EXPECT_EQ(info->status, c.status);
  EXPECT_EQ(info->isHub, c.isHub);
  EXPECT_EQ(info->descriptor.idVendor, c.vendorId);
  EXPECT_EQ(info->descriptor.idProduct, c.productId);
  EXPECT_EQ(info->descriptor.deviceClass, c.isHub ? 9 : 0);
  // Only a hub's port names a hub to open.
  EXPECT_EQ(hub->connectionName(c.port).has_value(), c.isHub);
  // A device that is there has a driver key and a configuration; nothing else has.
  const bool there = c.status == PortStatus::DeviceConnected;
  EXPECT_EQ(hub->driverKey(c.port).has_value(), there);
  EXPECT_EQ(hub->configDescriptor(c.port).has_value(), there);
}

INSTANTIATE_TEST_SUITE_P(
    Ports, PortsOfTheTree,
    ::testing::Values(PortCase{"r1", 1, PortStatus::DeviceConnected, false, 0x3a8e, 0x0a4f},
                      PortCase{"r1", 2, PortStatus::DeviceConnected, true, 0x2d9a, 0x0604},
                      PortCase{"r1", 3, PortStatus::OverCurrent},
                      PortCase{"r1", 4, PortStatus::DeviceConnected, false, 0x2e1f, 0xc31c},
                      PortCase{"h1", 1, PortStatus::DeviceConnected, false, 0x1111, 0x2222},
                      PortCase{"h1", 2, PortStatus::EnumerationFailed},
                      PortCase{"h1", 3, PortStatus::NoDevice},
                      PortCase{"h1", 4, PortStatus::DeviceConnected, true, 0x2d9a, 0x0602},
                      PortCase{"h2", 2, PortStatus::NoDevice},
                      PortCase{"r2", 1, PortStatus::NotEnoughPower},
                      PortCase{"r2", 2, PortStatus::GeneralFailure}),
    [](const auto& p) { return std::string(p.param.hub) + "_port" + std::to_string(p.param.port); });

TEST_F(ScenarioTree, PortsOutsideTheHubGiveNothing) {
  const auto hub = open("r1");
  ASSERT_NE(hub, nullptr);
  for (const int port : {0, 5, -1}) {
    EXPECT_FALSE(hub->connectionInfo(port).has_value()) << port;
    EXPECT_FALSE(hub->driverKey(port).has_value()) << port;
    EXPECT_FALSE(hub->stringDescriptor(port, 1, 0).has_value()) << port;
  }
}

TEST_F(ScenarioTree, ConnectionNamesOpenInEveryForm) {
  const auto r1 = open("r1");
  ASSERT_NE(r1, nullptr);
  const std::string name = r1->connectionName(2).value_or("");
  ASSERT_FALSE(name.empty());
  EXPECT_FALSE(name.starts_with("\\\\"));
  std::string upper = name;
  std::transform(upper.begin(), upper.end(), upper.begin(), [](char c) { return static_cast<char>(std::toupper(c)); });
  for (const std::string& form : {name, "\\\\.\\" + name, "\\\\?\\" + name, "\\\\.\\" + upper}) {
    const auto h1 = tree->openHub(form);
    ASSERT_NE(h1, nullptr) << form;
    EXPECT_EQ(h1->portCount(), 4) << form;
  }
  EXPECT_EQ(tree->openHub("usb#vid_dead&pid_beef#5&0&0&1#{f18a0e88-c30c-11d0-8815-00a0c906bed8}"), nullptr);
  // Two levels down, the name of h2 differs from that of h1.
  const auto h1 = open("h1");
  ASSERT_NE(h1, nullptr);
  EXPECT_NE(h1->connectionName(4), name);
  EXPECT_EQ(open("h2")->portCount(), 2);
}

TEST_F(ScenarioTree, StringDescriptorsFollowTheLanguageList) {
  const auto h1 = open("h1");
  ASSERT_NE(h1, nullptr);
  const auto info = h1->connectionInfo(1);
  ASSERT_TRUE(info.has_value());
  const pd::DeviceDescriptor& d = info->descriptor;
  ASSERT_NE(d.iSerialNumber, 0);
  ASSERT_NE(d.iManufacturer, 0);
  // String 0 is the language list, low byte first.
  EXPECT_EQ(h1->stringDescriptor(1, 0, 0), std::string("\x07\x04\x09\x04", 4));
  // Language 0 stands for the first language; each listed one answers, another does not.
  EXPECT_EQ(h1->stringDescriptor(1, d.iSerialNumber, 0), "TV0000000002");
  EXPECT_EQ(h1->stringDescriptor(1, d.iSerialNumber, 0x0407), "TV0000000002");
  EXPECT_EQ(h1->stringDescriptor(1, d.iSerialNumber, 0x0409), "TV0000000002");
  EXPECT_FALSE(h1->stringDescriptor(1, d.iSerialNumber, 0x0411).has_value());
  EXPECT_EQ(h1->stringDescriptor(1, d.iManufacturer, 0), "Acme");
  // The drive's INQUIRY product where the scenario names none.
  ASSERT_NE(d.iProduct, 0);
  EXPECT_EQ(h1->stringDescriptor(1, d.iProduct, 0), "SATA Bridge");
  EXPECT_FALSE(h1->stringDescriptor(1, 9, 0).has_value());
}

TEST_F(ScenarioTree, DevicesWithoutSerialStringHaveNoSerialIndex) {
  const auto r1 = open("r1");
  const auto h2 = open("h2");
  ASSERT_NE(r1, nullptr);
  ASSERT_NE(h2, nullptr);
  for (const auto& [hub, port] : {std::pair<pd::Hub*, int>{r1.get(), 4}, std::pair<pd::Hub*, int>{h2.get(), 1}}) {
    const auto info = hub->connectionInfo(port);
    ASSERT_TRUE(info.has_value());
    EXPECT_EQ(info->descriptor.iSerialNumber, 0) << port;
    EXPECT_FALSE(hub->stringDescriptor(port, 3, 0).has_value()) << port;
    // The instance id then names the port instead of a serial.
    const auto id = tree->findDeviceIdByDriverKey(hub->driverKey(port).value_or(""));
    ASSERT_TRUE(id.has_value());
    EXPECT_TRUE(namesAPort(*id, port)) << *id;
  }
  EXPECT_EQ(r1->stringDescriptor(4, r1->connectionInfo(4)->descriptor.iProduct, 0), "Keyboard");
}

TEST_F(ScenarioTree, DriverKeysLeadToInstanceIdsWhateverTheirCase) {
  const auto r1 = open("r1");
  ASSERT_NE(r1, nullptr);
  const std::string key = r1->driverKey(1).value_or("");
  ASSERT_FALSE(key.empty());
  std::string upper = key;
  std::transform(upper.begin(), upper.end(), upper.begin(), [](char c) { return static_cast<char>(std::toupper(c)); });
  EXPECT_EQ(tree->findDeviceIdByDriverKey(key), "usb\\vid_3a8e&pid_0a4f\\tv0000000001");
  EXPECT_EQ(tree->findDeviceIdByDriverKey(upper), "usb\\vid_3a8e&pid_0a4f\\tv0000000001");
  EXPECT_FALSE(tree->findDeviceIdByDriverKey(key + "0").has_value());
  // Every device and hub has a key of its own.
  std::set<std::string> keys;
  std::size_t withKey = 0;
  for (const VisitedPort& port : walkRootHubs(*tree)) {
    if (port.instanceId.empty()) continue;
    ++withKey;
    keys.insert(port.instanceId);
  }
  EXPECT_EQ(withKey, 6u);  // drives 1-3, the keyboard, h1, h2
  EXPECT_EQ(keys.size(), withKey);
}

TEST_F(ScenarioTree, DisksNameTheDeviceTheirPortLeadsTo) {
  const auto disks = tree->listUsbDisks();
  // Not the drive whose port failed, nor the one on a SATA port.
  ASSERT_EQ(disks.size(), 3u);
  std::set<std::string> portIds;
  for (const VisitedPort& port : walkRootHubs(*tree)) {
    if (port.info.status == PortStatus::DeviceConnected && !port.info.isHub) portIds.insert(port.instanceId);
  }
  std::set<std::uint32_t> nodes;
  for (int n = 1; n <= 3; ++n) {
    const auto disk = std::find_if(disks.begin(), disks.end(),
                                   [n](const pd::UsbDisk& d) { return d.devicePath == usbDiskPath(n); });
    ASSERT_NE(disk, disks.end()) << n;
    EXPECT_TRUE(portIds.contains(disk->parentUsbDeviceId)) << disk->parentUsbDeviceId;
    EXPECT_EQ(disk->diskId, "usbstor\\disk&ven_tolvane&prod_kwfa4x&rev_1.00\\tv000000000" + std::to_string(n) + "&0");
    nodes.insert(disk->diskNode);
    nodes.insert(disk->parentNode);
    // The path is the one the storage backend opens.
    EXPECT_NE(line->open(disk->devicePath, platform::storage::Sharing::Shared).device, nullptr);
  }
  EXPECT_EQ(nodes.size(), 6u);
  EXPECT_FALSE(nodes.contains(0));
}

TEST_F(ScenarioTree, ConfigurationsTellMassStorageFromHubs) {
  const auto r1 = open("r1");
  ASSERT_NE(r1, nullptr);
  const auto drive = r1->configDescriptor(1).value_or(std::vector<std::uint8_t>{});
  const auto hub = r1->configDescriptor(2).value_or(std::vector<std::uint8_t>{});
  ASSERT_GE(drive.size(), 18u);
  ASSERT_GE(hub.size(), 18u);
  // Total length, then the interface class of the one interface.
  EXPECT_EQ(drive[2] | drive[3] << 8, static_cast<int>(drive.size()));
  EXPECT_EQ(drive[9 + 5], 0x08);
  EXPECT_EQ(drive[9 + 6], 0x06);
  EXPECT_EQ(drive[9 + 7], 0x50);
  EXPECT_EQ(hub[2] | hub[3] << 8, static_cast<int>(hub.size()));
  EXPECT_EQ(hub[9 + 5], 0x09);
}

TEST_F(ScenarioTree, DeviceNumbersOfReachableDrives) {
  std::set<std::uint32_t> numbers;
  for (const std::string& path : {usbDiskPath(1), usbDiskPath(2), usbDiskPath(3), std::string("/dev/sdc")}) {
    const auto number = tree->deviceNumber(path);
    ASSERT_TRUE(number.has_value()) << path;
    EXPECT_EQ(number->deviceType, 7u);
    EXPECT_EQ(number->partition, 0u);
    EXPECT_GT(number->number, 0u);
    numbers.insert(number->number);
  }
  EXPECT_EQ(numbers.size(), 4u);
  EXPECT_FALSE(tree->deviceNumber(usbDiskPath(4)).has_value());  // its port failed
  EXPECT_FALSE(tree->deviceNumber("/dev/sdz").has_value());
  line->drive("/dev/sdc")->unplug();
  EXPECT_FALSE(tree->deviceNumber("/dev/sdc").has_value());
}

// Faults of the tree, each on a small tree stated with the builder.
class TopologyFaults : public ::testing::Test {
 protected:
  void SetUp() override {
    for (int n = 1; n <= 3; ++n) line->addDrive(usbDrive(n));
    topology.rootHub("r", 2);
    topology.hub("h", {"r", 1}, 2);
    topology.drive({"h", 1}, usbDiskPath(1));
    topology.drive({"h", 2}, usbDiskPath(2));
    topology.drive({"r", 2}, usbDiskPath(3));
  }

  void apply() { ASSERT_EQ(line->setTopology(topology), ""); }

  std::unique_ptr<pd::Hub> root() { return tree->openHub(tree->listHubInterfaces().at(0).path); }

  std::shared_ptr<Line> line = std::make_shared<Line>();
  std::shared_ptr<EmulatedDeviceTree> tree = line->deviceTree();
  UsbTopology topology;
};

TEST_F(TopologyFaults, FailedNodeInformationGivesNoPortCount) {
  topology.findHub("h")->nodeInfoFails = true;
  apply();
  const auto hub = tree->openHub(tree->listHubInterfaces().at(1).path);
  ASSERT_NE(hub, nullptr);
  EXPECT_FALSE(hub->portCount().has_value());
  EXPECT_EQ(root()->portCount(), 2);
}

TEST_F(TopologyFaults, FailedConnectionInformationOnOnePort) {
  topology.port({"r", 1}).connectionInfoFails = true;
  apply();
  const auto hub = root();
  EXPECT_FALSE(hub->connectionInfo(1).has_value());
  ASSERT_TRUE(hub->connectionInfo(2).has_value());
  EXPECT_EQ(hub->connectionInfo(2)->status, PortStatus::DeviceConnected);
  // The hub behind it is still there: only the query fails.
  EXPECT_EQ(tree->listUsbDisks().size(), 3u);
}

TEST_F(TopologyFaults, HubThatCannotBeOpenedStillHasItsDisks) {
  topology.findHub("h")->openFails = true;
  apply();
  const auto name = root()->connectionName(1);
  ASSERT_TRUE(name.has_value());
  EXPECT_EQ(tree->openHub("\\\\.\\" + *name), nullptr);
  EXPECT_EQ(tree->openHub(tree->listHubInterfaces().at(1).path), nullptr);
  EXPECT_EQ(tree->listUsbDisks().size(), 3u);
}

TEST_F(TopologyFaults, DiskWithoutParent) {
  topology.port({"h", 2}).diskWithoutParent = true;
  apply();
  const auto disks = tree->listUsbDisks();
  ASSERT_EQ(disks.size(), 3u);
  for (const pd::UsbDisk& disk : disks) {
    const bool orphan = disk.devicePath == usbDiskPath(2);
    EXPECT_EQ(disk.parentUsbDeviceId.empty(), orphan) << disk.devicePath;
    EXPECT_EQ(disk.parentNode == 0, orphan) << disk.devicePath;
    EXPECT_NE(disk.diskNode, 0u);
  }
}

TEST_F(TopologyFaults, DeviceWithoutLanguagesAnswersNoString) {
  topology.port({"r", 2}).device = UsbDeviceSpec{.languages = {}};
  apply();
  const auto hub = root();
  const auto info = hub->connectionInfo(2);
  ASSERT_TRUE(info.has_value());
  ASSERT_NE(info->descriptor.iSerialNumber, 0);
  EXPECT_FALSE(hub->stringDescriptor(2, 0, 0).has_value());
  EXPECT_FALSE(hub->stringDescriptor(2, info->descriptor.iSerialNumber, 0).has_value());
  EXPECT_FALSE(hub->stringDescriptor(2, info->descriptor.iSerialNumber, 0x0409).has_value());
}

TEST_F(TopologyFaults, LongestSerialStringIsKeptWhole) {
  const std::string serial(126, 'S');
  topology.port({"r", 2}).device = UsbDeviceSpec{.serial = serial};
  apply();
  const auto hub = root();
  EXPECT_EQ(hub->stringDescriptor(2, hub->connectionInfo(2)->descriptor.iSerialNumber, 0), serial);
  topology.port({"r", 2}).device = UsbDeviceSpec{.serial = serial + "S"};
  EXPECT_NE(line->setTopology(topology).find("longer than a string descriptor"), std::string::npos);
}

TEST(ManyDisks, MoreThanACallerMayTake) {
  auto line = std::make_shared<Line>();
  for (int n = 1; n <= 60; ++n) line->addDrive(usbDrive(n));
  const auto disks = line->deviceTree()->listUsbDisks();
  ASSERT_EQ(disks.size(), 60u);
  std::set<std::string> paths, parents;
  for (const pd::UsbDisk& disk : disks) {
    paths.insert(disk.devicePath);
    parents.insert(disk.parentUsbDeviceId);
  }
  EXPECT_EQ(paths.size(), 60u);
  EXPECT_EQ(parents.size(), 60u);
}

TEST(DefaultTree, EveryUsbDriveOnAPortOfOneRootHubInTheOrderAdded) {
  auto line = std::make_shared<Line>();
  line->addDrive(usbDrive(1));
  line->addDrive(DriveConfig::sataPort("/dev/sdc"));
  line->addDrive(DriveConfig::bridge(usbDiskPath(2), 4, DriveConfig::keyOfChipType(4)));
  const auto tree = line->deviceTree();
  const auto interfaces = tree->listHubInterfaces();
  ASSERT_EQ(interfaces.size(), 1u);
  EXPECT_TRUE(interfaces[0].rootHub);
  const auto visited = walkRootHubs(*tree);
  ASSERT_EQ(visited.size(), 2u);
  const auto disks = tree->listUsbDisks();
  ASSERT_EQ(disks.size(), 2u);
  EXPECT_EQ(disks[0].devicePath, usbDiskPath(1));
  EXPECT_EQ(disks[0].parentUsbDeviceId, visited[0].instanceId);
  EXPECT_EQ(disks[1].devicePath, usbDiskPath(2));
  EXPECT_EQ(disks[1].parentUsbDeviceId, visited[1].instanceId);
  // Paths that are not shaped like disk interfaces still give a disk id.
  line->addDrive(DriveConfig::ownUsb("\\\\?\\usbstor#disk&ven_tolvane#own3"));
  line->addDrive(DriveConfig::ownUsb("/dev/sg4"));
  const auto more = tree->listUsbDisks();
  ASSERT_EQ(more.size(), 4u);
  EXPECT_EQ(more[2].diskId, "usbstor\\disk&ven_tolvane\\own3");
  EXPECT_EQ(more[3].diskId, "usbstor\\disk&ven_tolvane&prod_kwfa4x_usb_ssd&rev_1.00\\tv0000000001&0");
  EXPECT_EQ(walkRootHubs(*tree).size(), 4u);
}

TEST(DefaultTree, DevicesSharingASerialAreToldApartByTheirPort) {
  auto line = std::make_shared<Line>();
  line->addDrive(DriveConfig::ownUsb(usbDiskPath(1)));
  line->addDrive(DriveConfig::ownUsb(usbDiskPath(2)));  // the same default serial
  const auto tree = line->deviceTree();
  const auto visited = walkRootHubs(*tree);
  ASSERT_EQ(visited.size(), 2u);
  EXPECT_EQ(visited[0].instanceId, "usb\\vid_3a8e&pid_0a4f\\tv0000000001");
  EXPECT_TRUE(visited[1].instanceId.ends_with("&0&2")) << visited[1].instanceId;
  const auto disks = tree->listUsbDisks();
  ASSERT_EQ(disks.size(), 2u);
  EXPECT_EQ(disks[0].parentUsbDeviceId, visited[0].instanceId);
  EXPECT_EQ(disks[1].parentUsbDeviceId, visited[1].instanceId);
}

TEST(DefaultTree, ALineWithoutUsbDrivesHasNoHub) {
  auto line = std::make_shared<Line>();
  line->addDrive(DriveConfig::sataPort("/dev/sdc"));
  EXPECT_TRUE(line->deviceTree()->listHubInterfaces().empty());
  EXPECT_TRUE(line->deviceTree()->listUsbDisks().empty());
  EXPECT_TRUE(line->deviceTree()->deviceNumber("/dev/sdc").has_value());
}

struct BadTree {
  const char* name;
  std::function<void(UsbTopology&)> change;
  const char* inError;
};

class TopologyChecks : public ::testing::TestWithParam<BadTree> {};

TEST_P(TopologyChecks, RefuseAndKeepTheTreeInForce) {
  auto line = std::make_shared<Line>();
  line->addDrive(usbDrive(1));
  line->addDrive(usbDrive(2));
  line->addDrive(DriveConfig::sataPort("/dev/sdc"));
  UsbTopology topology;
  topology.rootHub("r", 4);
  topology.hub("h", {"r", 1}, 2);
  GetParam().change(topology);
  const std::string error = line->setTopology(topology);
  EXPECT_NE(error.find(GetParam().inError), std::string::npos) << error;
  // The default tree stays: both USB drives on ports of their own.
  EXPECT_EQ(line->deviceTree()->listUsbDisks().size(), 2u);
  EXPECT_EQ(line->deviceTree()->listHubInterfaces().size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TopologyChecks,
    ::testing::Values(
        BadTree{"portBeyondHub", [](UsbTopology& topo) { topo.drive({"h", 3}, usbDiskPath(1)); }, "hub 'h' has no port 3"},
        BadTree{"portZero", [](UsbTopology& topo) { topo.port({"r", 0}).connectionInfoFails = true; }, "has no port 0"},
        BadTree{"hubAndDriveOnOnePort", [](UsbTopology& topo) { topo.drive({"r", 1}, usbDiskPath(1)); },
                "port r 1 holds two things"},
        BadTree{"twoHubsOnOnePort", [](UsbTopology& topo) { topo.hub("g", {"r", 1}, 4); }, "port r 1 holds two things"},
        BadTree{"unknownHub", [](UsbTopology& topo) { topo.drive({"x", 1}, usbDiskPath(1)); }, "no hub 'x'"},
        BadTree{"parentDescribedLater",
                [](UsbTopology& topo) {
                  topo.hub("a", {"b", 1}, 2);
                  topo.hub("b", {"r", 2}, 2);
                },
                "no hub 'b' is described before it"},
        BadTree{"nameTwice", [](UsbTopology& topo) { topo.hub("h", {"r", 2}, 2); }, "hub 'h' described twice"},
        BadTree{"nameWithSpace", [](UsbTopology& topo) { topo.rootHub("a b", 2); }, "name of one word"},
        BadTree{"noPorts", [](UsbTopology& topo) { topo.rootHub("z", 0); }, "from 1 to 255"},
        BadTree{"samePathTwice",
                [](UsbTopology& topo) {
                  topo.hubInterface("y", 2, "\\\\?\\usb#hub#{guid}");
                  topo.hubInterface("z", 2, "\\\\?\\USB#HUB#{GUID}");
                },
                "given twice"},
        BadTree{"unknownDrive", [](UsbTopology& topo) { topo.drive({"r", 2}, "/nowhere"); }, "the line has no drive '/nowhere'"},
        BadTree{"sataDrive", [](UsbTopology& topo) { topo.drive({"r", 2}, "/dev/sdc"); }, "is on a SATA port, not on USB"},
        BadTree{"driveOnTwoPorts",
                [](UsbTopology& topo) {
                  topo.drive({"r", 2}, usbDiskPath(1));
                  topo.drive({"r", 3}, usbDiskPath(1));
                },
                "is on two ports"},
        BadTree{"deviceWithoutIds", [](UsbTopology& topo) { topo.device({"r", 2}, UsbDeviceSpec{.vendorId = 0x1234}); },
                "needs its vendor and product IDs"},
        BadTree{"connectedIsNoFailure",
                [](UsbTopology& topo) { topo.port({"r", 2}).status = PortStatus::DeviceConnected; }, "only a failure status"},
        BadTree{"orphanWithoutDrive", [](UsbTopology& topo) { topo.port({"r", 2}).diskWithoutParent = true; },
                "only a drive's disk"},
        BadTree{"sameInstanceId",
                [](UsbTopology& topo) {
                  topo.drive({"r", 2}, usbDiskPath(1)).device = UsbDeviceSpec{.instanceId = "usb\\vid_1&pid_1\\x"};
                  topo.drive({"r", 3}, usbDiskPath(2)).device = UsbDeviceSpec{.instanceId = "USB\\VID_1&PID_1\\X"};
                },
                "has the instance id 'usb\\vid_1&pid_1\\x' of port r 2"},
        BadTree{"sameDriverKey",
                [](UsbTopology& topo) {
                  topo.drive({"r", 2}, usbDiskPath(1)).device = UsbDeviceSpec{.driverKey = "k"};
                  topo.drive({"r", 3}, usbDiskPath(2)).device = UsbDeviceSpec{.driverKey = "K"};
                },
                "has the driver key 'K'"}),
    [](const auto& p) { return std::string(p.param.name); });

}  // namespace
}  // namespace drivesim::test
