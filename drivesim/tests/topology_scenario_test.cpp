// The [hub] and [port] sections of scenario files: errors that name the line,
// the trees of the line's own scenarios, and installing a scenario's tree.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>

#include <unistd.h>

#include "drivesim/scenario.h"
#include "topology_test_support.h"

namespace drivesim::test {
namespace {

// Lines 1-6: two drives; line 7 on: the tree.
std::string head() {
  return "[drive]\npath = " + usbDiskPath(1) + "\nfrontend = own-usb\n[drive]\npath = /dev/sdc\nfrontend = sata\n";
}

struct BadText {
  const char* name;
  const char* text;  // from line 7
  const char* inError;
  const char* line;
};

class TopologyTextErrors : public ::testing::TestWithParam<BadText> {};

TEST_P(TopologyTextErrors, NameTheLineAndTheFault) {
  const ScenarioLoad load = parseScenario(head() + GetParam().text);
  EXPECT_FALSE(load.line);
  EXPECT_NE(load.error.find(std::string(GetParam().line) + ":"), std::string::npos) << load.error;
  EXPECT_NE(load.error.find(GetParam().inError), std::string::npos) << load.error;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TopologyTextErrors,
    ::testing::Values(
        BadText{"unknownSection", "[hubs]\n", "unknown section [hubs]", "line 7"},
        BadText{"unknownHubKey", "[hub]\nname = r\nports = 2\nspeed = 5000\n", "unknown key 'speed' in a [hub]",
                "line 10"},
        BadText{"unknownPortKey", "[hub]\nname = r\nports = 2\n[port]\nat = r 1\nchip = 7\n",
                "unknown key 'chip' in a [port]", "line 12"},
        BadText{"keyTwice", "[hub]\nname = r\nports = 2\nports = 3\n", "given twice in one [hub] section", "line 10"},
        BadText{"hubWithoutPorts", "[hub]\nname = r\n", "needs a name and ports", "line 7"},
        BadText{"portsZero", "[hub]\nname = r\nports = 0\n", "port count from 1 to 255", "line 9"},
        BadText{"rootNotYesNo", "[hub]\nname = r\nports = 2\nroot = maybe\n", "yes or no", "line 10"},
        BadText{"rootOnANestedHub", "[hub]\nname = r\nports = 2\n[hub]\nname = h\nat = r 1\nports = 2\nroot = no\n",
                "hub interface of the host only", "line 14"},
        BadText{"pathOnANestedHub",
                "[hub]\nname = r\nports = 2\n[hub]\nname = h\nat = r 1\nports = 2\npath = \\\\?\\usb#x\n",
                "hub interface of the host only", "line 14"},
        BadText{"atWithoutNumber", "[hub]\nname = r\nports = 2\n[port]\nat = r\n", "a hub's name and a port number",
                "line 11"},
        BadText{"portBeyondHub", "[hub]\nname = r\nports = 2\n[port]\nat = r 3\nstatus = overcurrent\n",
                "hub 'r' has no port 3", "line 10"},
        BadText{"portTwice", "[hub]\nname = r\nports = 2\n[port]\nat = r 1\n[port]\nat = r 1\n", "described twice",
                "line 13"},
        BadText{"parentLater", "[hub]\nname = h\nat = r 1\nports = 2\n[hub]\nname = r\nports = 2\n",
                "no hub 'r' is described before it", "line 7"},
        BadText{"driveNotOnTheLine", "[hub]\nname = r\nports = 2\n[port]\nat = r 1\ndrive = /dev/sdx\n",
                "the line has no drive '/dev/sdx'", "line 10"},
        BadText{"sataDriveOnUsb", "[hub]\nname = r\nports = 2\n[port]\nat = r 2\ndrive = /dev/sdc\n",
                "on a SATA port, not on USB", "line 10"},
        BadText{"badStatus", "[hub]\nname = r\nports = 2\n[port]\nat = r 1\nstatus = broken\n",
                "enumeration-failed, general-failure", "line 12"},
        BadText{"deviceWithoutPid", "[hub]\nname = r\nports = 2\n[port]\nat = r 1\nvid = 0x1234\n",
                "needs its vendor and product IDs", "line 10"},
        BadText{"vidZero", "[hub]\nname = r\nports = 2\n[port]\nat = r 1\nvid = 0\n", "an ID from 1 to 0xFFFF",
                "line 12"},
        BadText{"languageTooLarge", "[hub]\nname = r\nports = 2\n[port]\nat = r 1\nlanguages = 0x10000\n",
                "language IDs", "line 12"},
        BadText{"failsOnly", "[hub]\nname = r\nports = 2\nopen = sometimes\n", "expected fails", "line 10"},
        BadText{"parentOnlyNone", "[hub]\nname = r\nports = 2\n[port]\nat = r 1\nparent = r\n", "expected none",
                "line 12"}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(TopologyText, EveryKeyReachesTheTree) {
  const std::string text = head() +
                           "[port]\n"  // before the hubs it names
                           "at = h 1\ndrive = " +
                           usbDiskPath(1) +
                           "\nvid = 0x1111\npid = 0x2222\nclass = 0xEF\nserial = SN-7\nlanguages = 0x0407 0x0409\n"
                           "manufacturer = Acme Inc\nproduct = Flash Disk\ninstanceid = USB\\VID_1111&PID_2222\\SN-7\n"
                           "driverkey = {36fc9e60-c465-11cf-8056-444553540000}\\0042\nparent = none\n"
                           "[hub]\nname = r\nports = 2\npath = \\\\?\\usb#root_hub30#4&1f2b3c&0#{f18a0e88-c30c-11d0-8815-00a0c906bed8}\n"
                           "[hub]\nname = x\nports = 3\nroot = no\nnodeinfo = fails\n"
                           "[hub]\nname = h\nat = r 2\nports = 4\nvid = 0x0bda\npid = 0x5411\nopen = fails\n"
                           "[port]\nat = r 1\nconnectioninfo = fails\n"
                           "[port]\nat = h 2\nstatus = not-enough-power\n";
  const ScenarioLoad load = parseScenario(text);
  ASSERT_TRUE(load.line) << load.error;
  const UsbTopology topology = load.line->topology();
  ASSERT_EQ(topology.hubs().size(), 3u);
  EXPECT_TRUE(topology.hubs()[0].rootHub);
  EXPECT_EQ(topology.hubs()[0].path, "\\\\?\\usb#root_hub30#4&1f2b3c&0#{f18a0e88-c30c-11d0-8815-00a0c906bed8}");
  EXPECT_FALSE(topology.hubs()[1].rootHub);
  EXPECT_TRUE(topology.hubs()[1].nodeInfoFails);
  EXPECT_EQ(topology.hubs()[1].ports, 3);
  ASSERT_TRUE(topology.hubs()[2].at.has_value());
  EXPECT_EQ(*topology.hubs()[2].at, (PortRef{"r", 2}));
  EXPECT_EQ(topology.hubs()[2].device.vendorId, 0x0bda);
  EXPECT_EQ(topology.hubs()[2].device.productId, 0x5411);
  EXPECT_TRUE(topology.hubs()[2].openFails);

  ASSERT_EQ(topology.ports().size(), 3u);
  const PortSpec& drive = topology.ports()[0];
  EXPECT_EQ(drive.at, (PortRef{"h", 1}));
  EXPECT_EQ(drive.drive, usbDiskPath(1));
  EXPECT_TRUE(drive.diskWithoutParent);
  ASSERT_TRUE(drive.device.has_value());
  EXPECT_EQ(drive.device->vendorId, 0x1111);
  EXPECT_EQ(drive.device->productId, 0x2222);
  EXPECT_EQ(drive.device->deviceClass, 0xef);
  EXPECT_EQ(drive.device->serial, "SN-7");
  EXPECT_EQ(drive.device->languages, (std::vector<std::uint16_t>{0x0407, 0x0409}));
  EXPECT_EQ(drive.device->manufacturer, "Acme Inc");
  EXPECT_EQ(drive.device->product, "Flash Disk");
  EXPECT_EQ(drive.device->instanceId, "USB\\VID_1111&PID_2222\\SN-7");
  EXPECT_EQ(drive.device->driverKey, "{36fc9e60-c465-11cf-8056-444553540000}\\0042");
  EXPECT_TRUE(topology.ports()[1].connectionInfoFails);
  EXPECT_EQ(topology.ports()[2].status, pd::PortStatus::NotEnoughPower);

  // The overrides as the host reads them.
  const auto tree = load.line->deviceTree();
  EXPECT_EQ(tree->findDeviceIdByDriverKey("{36FC9E60-C465-11CF-8056-444553540000}\\0042"),
            "usb\\vid_1111&pid_2222\\sn-7");
  const auto disks = tree->listUsbDisks();
  ASSERT_EQ(disks.size(), 1u);
  EXPECT_EQ(disks[0].parentUsbDeviceId, "");
}

TEST(TopologyText, SerialNoneAndLanguagesNone) {
  const ScenarioLoad load = parseScenario(head() + "[hub]\nname = r\nports = 1\n[port]\nat = r 1\ndrive = " +
                                         usbDiskPath(1) + "\nserial = none\nlanguages = none\n");
  ASSERT_TRUE(load.line) << load.error;
  const UsbTopology topology = load.line->topology();
  const PortSpec& port = topology.ports().at(0);
  ASSERT_TRUE(port.device.has_value());
  EXPECT_EQ(port.device->serial, "");
  EXPECT_TRUE(port.device->languages.empty());
}

// The line's scenarios, walked as the host walks them.
struct Walked {
  std::vector<VisitedPort> ports;
  std::vector<pd::UsbDisk> disks;
  std::shared_ptr<Line> line;
};

Walked walkScenario(const char* file) {
  const ScenarioLoad load = loadScenario(std::filesystem::path(TOLVANE_SCENARIO_DIR) / file);
  EXPECT_TRUE(load.line) << load.error;
  if (!load.line) return {};
  return {walkRootHubs(*load.line->deviceTree()), load.line->deviceTree()->listUsbDisks(), load.line};
}

// Every USB drive's disk hangs on a port the walk reaches, one drive to a port.
void expectEveryUsbDriveOnItsOwnPort(const Walked& walked) {
  std::set<std::string> devicePorts;
  for (const VisitedPort& port : walked.ports) {
    if (port.info.status == pd::PortStatus::DeviceConnected && !port.info.isHub) {
      EXPECT_FALSE(port.instanceId.empty());
      devicePorts.insert(port.instanceId);
    }
  }
  std::size_t usbDrives = 0;
  for (const Drive* drive : walked.line->drives()) usbDrives += drive->config().frontEnd != FrontEnd::SataPort;
  ASSERT_EQ(walked.disks.size(), usbDrives);
  std::set<std::string> parents;
  for (const pd::UsbDisk& disk : walked.disks) {
    EXPECT_TRUE(devicePorts.contains(disk.parentUsbDeviceId)) << disk.devicePath;
    parents.insert(disk.parentUsbDeviceId);
    EXPECT_NE(walked.line->drive(disk.devicePath), nullptr) << disk.devicePath;
  }
  EXPECT_EQ(parents.size(), walked.disks.size());
}

TEST(LineScenarios, BenchHasItsUsbDrivesBehindARootHub) {
  const Walked bench = walkScenario("bench.ini");
  ASSERT_TRUE(bench.line);
  expectEveryUsbDriveOnItsOwnPort(bench);
  EXPECT_EQ(bench.disks.size(), 2u);  // the third drive is on a SATA port
}

TEST(LineScenarios, Line50HasFiftyDrivesOnFiftyRootPorts) {
  const Walked line50 = walkScenario("line50.ini");
  ASSERT_TRUE(line50.line);
  ASSERT_EQ(line50.line->drives().size(), 50u);
  expectEveryUsbDriveOnItsOwnPort(line50);
  ASSERT_EQ(line50.ports.size(), 50u);
  for (const VisitedPort& port : line50.ports) {
    EXPECT_FALSE(port.info.isHub) << port.hubPath << " " << port.port;
    EXPECT_EQ(port.info.status, pd::PortStatus::DeviceConnected) << port.hubPath << " " << port.port;
  }
}

class InstalledScenario : public ::testing::Test {
 protected:
  void TearDown() override {
    unsetenv("TOLVANE_SIM");
    platform::storage::installBackend(nullptr);
    platform::devices::installDeviceTree(nullptr);
    std::filesystem::remove(file);
  }
  std::filesystem::path file =
      std::filesystem::temp_directory_path() / ("drivesim_topology_scenario-" + std::to_string(::getpid()) + ".ini");
};

TEST_F(InstalledScenario, ServesItsDrivesAndItsTree) {
  std::ofstream(file) << head() << "[hub]\nname = r\nports = 3\n[port]\nat = r 2\ndrive = " << usbDiskPath(1) << "\n";
  setenv("TOLVANE_SIM", file.c_str(), 1);
  const ScenarioLoad load = installFromEnvironment();
  ASSERT_TRUE(load.line) << load.error;
  EXPECT_EQ(platform::devices::currentDeviceTree(), load.line->deviceTree());
  const auto disks = platform::devices::currentDeviceTree()->listUsbDisks();
  ASSERT_EQ(disks.size(), 1u);
  EXPECT_NE(platform::storage::open(disks[0].devicePath, platform::storage::Sharing::Shared).device, nullptr);
}

}  // namespace
}  // namespace drivesim::test
