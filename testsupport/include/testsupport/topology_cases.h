#pragma once
// Hub topologies and the port numbering the walk must give them, in the
// notation of testsupport/fake_device_tree.h. Every backend of the device
// tree that can build these trees must give the same table.

#include <map>
#include <ostream>
#include <string>
#include <vector>

namespace devlib::testing {

struct TopologyCase {
  const char* name;
  std::string topology;
  int total;                         // ports of every hub walked
  std::map<int, std::string> ports;  // port number -> instance id of the device recorded there; others stay empty
};

inline void PrintTo(const TopologyCase& c, std::ostream* out) { *out << c.name; }

// n ports with a device each, as a port list.
inline std::string Devices(int n) {
  std::string text;
  for (int port = 1; port <= n; ++port) text += port == 1 ? "d" : ",d";
  return text;
}

// A root hub of n ports, each with a device.
inline std::string FullRootHub(int n) { return "R" + std::to_string(n) + "(" + Devices(n) + ")"; }

// Port numbers first..last holding the devices "bus-from" onwards.
inline std::map<int, std::string> Run(int first, int last, int bus, int from) {
  std::map<int, std::string> ports;
  for (int number = first; number <= last; ++number) {
    ports[number] = std::to_string(bus) + "-" + std::to_string(from + number - first);
  }
  return ports;
}

inline std::map<int, std::string> Joined(std::map<int, std::string> a, const std::map<int, std::string>& b) {
  a.insert(b.begin(), b.end());
  return a;
}

// The nested example: root port 1 holds a device, port 2 a 4-port hub with a
// device on each port, ports 3 and 4 devices. Numbered hub by hub as ports are
// met, the nested hub's ports 1-4 would take the numbers 1-4 and root port 1's
// record would be lost; ports 5 and 6 would stay empty:
inline const std::map<int, std::string> kNestedExampleSingleNumbering = {
    {1, "1-2.1"}, {2, "1-2.2"}, {3, "1-2.3"}, {4, "1-2.4"}, {7, "1-3"}, {8, "1-4"}};
// With the child hubs numbered first, root port 1 takes the free number 5 and
// every other port keeps its number:
inline const std::map<int, std::string> kNestedExampleNumbering = {
    {1, "1-2.1"}, {2, "1-2.2"}, {3, "1-2.3"}, {4, "1-2.4"}, {5, "1-1"}, {7, "1-3"}, {8, "1-4"}};

inline std::vector<TopologyCase> TopologyCases() {
  return {
      {"NoHubs", "", 0, {}},
      {"RootHubsOfFourAndSixPorts", FullRootHub(4) + " " + FullRootHub(6), 10,
       Joined(Run(1, 4, 1, 1), Run(5, 10, 2, 1))},
      {"NestedHub", "R4(d,H4(d,d,d,d),d,d)", 8, kNestedExampleNumbering},
      // The parent's own ports follow both child hubs; the second hub starts after the first.
      {"TwoNestedHubsOnOneParent",
       "R4(d,H2(d,d),H3(d,-,d),d)",
       9,
       {{1, "1-2.1"}, {2, "1-2.2"}, {3, "1-3.1"}, {5, "1-3.3"}, {6, "1-1"}, {9, "1-4"}}},
      {"HubTwoLevelsDeep",
       "R4(d,H4(d,H2(d,d),-,d),-,d)",
       10,
       {{1, "1-2.2.1"}, {2, "1-2.2.2"}, {3, "1-2.1"}, {6, "1-2.4"}, {7, "1-1"}, {10, "1-4"}}},
      // Ports before a nested hub move behind its ports; numbered as met,
      // root port 3 would have been number 3 and ports 1 and 2 lost.
      {"PortsBeforeANestedHub",
       "R4(d,d,d,H2(d,d))",
       6,
       {{1, "1-4.1"}, {2, "1-4.2"}, {3, "1-1"}, {4, "1-2"}, {5, "1-3"}}},
      {"HubsOnTwoRootHubs",
       "R2(H2(d,d),d) R3(d,H2(d,-),d)",
       9,
       {{1, "1-1.1"}, {2, "1-1.2"}, {4, "1-2"}, {5, "2-2.1"}, {7, "2-1"}, {9, "2-3"}}},
      // Every port is counted; only numbers 1 to 50 are recorded.
      {"MoreThanFiftyPorts", FullRootHub(30) + " " + FullRootHub(30), 60, Joined(Run(1, 30, 1, 1), Run(31, 50, 2, 1))},
      // The own ports of a parent follow its hubs, so they are the ones cut off.
      {"ParentPortsPastFifty",
       "R49(" + Devices(48) + ",H4(d,d,d,d))",
       53,
       Joined({{1, "1-49.1"}, {2, "1-49.2"}, {3, "1-49.3"}, {4, "1-49.4"}}, Run(5, 50, 1, 1))},
      {"NestedHubAcrossFifty",
       FullRootHub(48) + " R4(H4(d,d,d,d),d,d,d)",
       56,
       Joined(Run(1, 48, 1, 1), {{49, "2-1.1"}, {50, "2-1.2"}})},
      {"HubInterfaceThatIsNotARootHub", "R4(d) N4(d,d,d,d) R2(-,d)", 6, {{1, "1-1"}, {6, "3-2"}}},
      {"DeviceWithoutSerial", "R3(n,d,n)", 3, Run(1, 3, 1, 1)},
      {"FailedConnectionInformation", "R4(d,x,d,-)", 4, {{1, "1-1"}, {3, "1-3"}}},
      {"PortStatusesOtherThanConnected", "R6(e,g,o,p,d,-)", 6, {{5, "1-5"}}},
      // A hub that cannot be opened is skipped: its ports are not counted.
      {"NestedHubThatCannotBeOpened", "R4(d,!H4(d,d,d,d),d,d)", 4, {{1, "1-1"}, {3, "1-3"}, {4, "1-4"}}},
      {"RootHubThatCannotBeOpened", "!R4(d,d) R2(d,d)", 2, {{1, "2-1"}, {2, "2-2"}}},
  };
}

}  // namespace devlib::testing
