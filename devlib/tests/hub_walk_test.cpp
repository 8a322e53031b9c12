#include "devlib/hub_walk.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <ostream>
#include <string>

#include "platform/debug.h"
#include "testsupport/fake_device_tree.h"
#include "testsupport/topology_cases.h"

namespace devlib {

void PrintTo(const HubPortInfo& info, std::ostream* out) {
  *out << "{present " << info.present << ", " << std::hex << info.vendorId << ":" << info.productId << std::dec
       << ", serial \"" << info.serial << "\", hub \"" << info.hubPath << "\", key \"" << info.driverKeyName
       << "\", id \"" << info.deviceInstanceId << "\"}";
}

namespace testing {
namespace {

using testsupport::FakeDeviceTree;
using testsupport::FakeTopology;
using testsupport::ParseTopology;

// What the walk must record for the device of this instance id.
HubPortInfo ExpectedPort(const FakeTopology& topology, const std::string& id) {
  const testsupport::FakeUsbDevice* device = topology.device(id);
  const testsupport::FakeHub* hub = topology.hubOf(id);
  if (device == nullptr || hub == nullptr) {
    ADD_FAILURE() << "no device " << id << " in the topology";
    return {};
  }
  HubPortInfo info;
  info.present = true;
  info.vendorId = device->vendorId;
  info.productId = device->productId;
  if (!device->serials.empty()) info.serial = device->serials.at(device->languages.front());
  info.hubPath = hub->name;
  info.driverKeyName = device->driverKey;
  info.deviceInstanceId = device->instanceId;
  return info;
}

class TopologyWalk : public ::testing::TestWithParam<TopologyCase> {};

TEST_P(TopologyWalk, NumbersEveryPortAndRecordsTheDevices) {
  const TopologyCase& c = GetParam();
  const FakeTopology topology = ParseTopology(c.topology);
  FakeDeviceTree tree(topology);

  EXPECT_EQ(EnumerateRootHubs(tree), c.total);

  const HubPortTable& table = LastHubPortTable();
  for (int number = 1; number <= static_cast<int>(kHubPortSlots); ++number) {
    SCOPED_TRACE("port number " + std::to_string(number));
    const auto expected = c.ports.find(number);
    const HubPortInfo wanted = expected == c.ports.end() ? HubPortInfo{} : ExpectedPort(topology, expected->second);
    EXPECT_EQ(table[static_cast<std::size_t>(number - 1)], wanted);
  }
}

TEST_P(TopologyWalk, OpensNoHubInterfaceThatIsNotARootHub) {
  const TopologyCase& c = GetParam();
  const FakeTopology topology = ParseTopology(c.topology);
  FakeDeviceTree tree(topology);
  EnumerateRootHubs(tree);
  const auto opened = tree.openAttempts();
  for (const testsupport::FakeHubInterface& entry : topology.interfaces) {
    if (!entry.rootHub) {
      EXPECT_EQ(std::count(opened.begin(), opened.end(), entry.hub->name), 0) << entry.hub->name;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Topologies, TopologyWalk, ::testing::ValuesIn(TopologyCases()),
                         [](const auto& row) { return std::string(row.param.name); });

TEST(HubWalk, KeepsEveryPortOfTheNestedExampleThatNumberingAsMetKept) {
  FakeDeviceTree tree(ParseTopology("R4(d,H4(d,d,d,d),d,d)"));
  ASSERT_EQ(EnumerateRootHubs(tree), 8);
  const HubPortTable& table = LastHubPortTable();
  for (const auto& [number, id] : kNestedExampleSingleNumbering) {
    EXPECT_EQ(table[static_cast<std::size_t>(number - 1)].deviceInstanceId, id) << number;
  }
  // Root port 1, lost when numbered as met, is kept in the free slot 5.
  EXPECT_EQ(table[4].deviceInstanceId, "1-1");
  EXPECT_FALSE(table[5].present);
}

TEST(HubWalk, StartsEachWalkFromAnEmptyTable) {
  FakeDeviceTree wide(ParseTopology(FullRootHub(12)));
  ASSERT_EQ(EnumerateRootHubs(wide), 12);
  FakeDeviceTree narrow(ParseTopology("R2(-,d)"));
  ASSERT_EQ(EnumerateRootHubs(narrow), 2);
  const HubPortTable& table = LastHubPortTable();
  EXPECT_FALSE(table[0].present);
  EXPECT_EQ(table[1].deviceInstanceId, "1-2");
  for (std::size_t slot = 2; slot < kHubPortSlots; ++slot) EXPECT_EQ(table[slot], HubPortInfo{}) << slot;
}

TEST(HubWalk, AsksForTheSerialInTheDevicesFirstLanguage) {
  FakeTopology topology = ParseTopology("R1(d)");
  testsupport::FakeUsbDevice& device = *topology.device("1-1");
  device.languages = {0x0407, 0x0409};
  device.serials = {{0x0407, "SN-DE"}, {0x0409, "SN-EN"}};
  FakeDeviceTree tree(topology);

  EnumerateRootHubs(tree);

  EXPECT_EQ(LastHubPortTable()[0].serial, "SN-DE");
  const auto requests = tree.stringRequests();
  ASSERT_FALSE(requests.empty());
  for (const auto& request : requests) EXPECT_EQ(request.language, 0) << "string " << int{request.index};
}

TEST(HubWalk, KeepsASerialWholeWhateverItsLength) {
  FakeTopology topology = ParseTopology("R1(d)");
  // Longer than any fixed field, and ending in a 2-byte character.
  const std::string serial = std::string(120, 'S') + "\xc3\xa9";
  topology.device("1-1")->serials = {{testsupport::kEnglishUs, serial}};
  FakeDeviceTree tree(topology);
  EnumerateRootHubs(tree);
  EXPECT_EQ(LastHubPortTable()[0].serial, serial);
}

TEST(HubWalk, RecordsADeviceWhoseNodeIsNotFoundWithoutKeyOrId) {
  FakeTopology topology = ParseTopology("R2(d,d)");
  topology.device("1-1")->nodeFound = false;
  topology.device("1-2")->driverKey.clear();
  FakeDeviceTree tree(topology);

  ASSERT_EQ(EnumerateRootHubs(tree), 2);
  for (const HubPortInfo& info : {LastHubPortTable()[0], LastHubPortTable()[1]}) {
    EXPECT_TRUE(info.present);
    EXPECT_EQ(info.vendorId, testsupport::kFakeVendorId);
    EXPECT_FALSE(info.serial.empty());
    EXPECT_EQ(info.driverKeyName, "");
    EXPECT_EQ(info.deviceInstanceId, "");
  }
}

TEST(HubWalk, SkipsANestedHubWhoseNodeInformationFails) {
  FakeTopology topology = ParseTopology("R4(d,H4(d,d,d,d),d,d)");
  topology.hub("1-2")->nodeInfoFails = true;
  FakeDeviceTree tree(topology);

  EXPECT_EQ(EnumerateRootHubs(tree), 4);
  const HubPortTable& table = LastHubPortTable();
  EXPECT_EQ(table[0].deviceInstanceId, "1-1");
  EXPECT_FALSE(table[1].present);
  EXPECT_EQ(table[2].deviceInstanceId, "1-3");
  EXPECT_EQ(table[3].deviceInstanceId, "1-4");
}

TEST(HubWalk, WalksTheInstalledTree) {
  testsupport::ScopedFakeDeviceTree tree(ParseTopology("R3(-,-,d)"));
  EXPECT_EQ(EnumerateRootHubs(), 3);
  EXPECT_EQ(LastHubPortTable()[2].deviceInstanceId, "1-3");
}

TEST(HubWalkTrace, NamesEveryPortsConnection) {
  platform::debug::CaptureSink trace;
  FakeDeviceTree tree(ParseTopology("R7(e,g,o,p,x,H1(d),-)"));
  EnumerateRootHubs(tree);

  for (const char* line :
       {"        Port[1] = Device FAILED enumeration\n", "        Port[2] = Device general FAILURE\n",
        "        Port[3] = Device caused overcurrent\n", "        Port[4] = Not enough power for device\n",
        " *** ERROR *** Node connection information not returned\n", "        Port[5] = No device connected\n",
        "        Port[6] = Hub connected\n", "+1        Port[1] = I/O device connected\n",
        "        Port[7] = No device connected\n"}) {
    EXPECT_TRUE(trace.contains(line)) << line;
  }
}

TEST(HubWalkTrace, ReportsAHubThatCannotBeOpened) {
  platform::debug::CaptureSink trace;
  FakeDeviceTree tree(ParseTopology("!R2(d,d) R1(!H2(d,d))"));
  EXPECT_EQ(EnumerateRootHubs(tree), 1);
  const auto lines = trace.lines();
  const auto unopened = [](const std::string& line) { return line.find("could not be opened") != std::string::npos; };
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(), unopened), 2);
}

}  // namespace
}  // namespace testing
}  // namespace devlib
