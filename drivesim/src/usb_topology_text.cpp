#include "usb_topology_text.h"

#include <algorithm>
#include <charconv>
#include <optional>
#include <set>
#include <utility>

namespace drivesim::detail {
namespace {

using platform::devices::PortStatus;

using Error = std::string;

constexpr std::string_view kHubKeys[] = {"name", "at", "ports", "root", "path", "vid", "pid", "nodeinfo", "open"};
constexpr std::string_view kPortKeys[] = {"at",      "drive",        "vid",     "pid",        "class",
                                          "serial",  "languages",    "manufacturer", "product", "instanceid",
                                          "driverkey", "status",     "connectioninfo", "parent"};
// Keys of a [port] section that describe the device on it.
constexpr std::string_view kDeviceKeys[] = {"vid",     "pid",     "class",      "serial",   "languages",
                                            "manufacturer", "product", "instanceid", "driverkey"};

struct StatusName {
  std::string_view name;
  PortStatus status;
};
constexpr StatusName kStatuses[] = {{"enumeration-failed", PortStatus::EnumerationFailed},
                                    {"general-failure", PortStatus::GeneralFailure},
                                    {"overcurrent", PortStatus::OverCurrent},
                                    {"not-enough-power", PortStatus::NotEnoughPower}};

template <std::size_t N>
bool among(const std::string_view (&keys)[N], std::string_view key) {
  return std::find(std::begin(keys), std::end(keys), key) != std::end(keys);
}

Error at(int line, const std::string& what) { return "line " + std::to_string(line) + ": " + what; }

Error badValue(const TextSetting& s, const std::string& expected) {
  return at(s.line, "bad value '" + s.value + "' for " + s.key + ": expected " + expected);
}

std::optional<unsigned long> number(std::string_view text, unsigned long largest) {
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    text.remove_prefix(2);
    base = 16;
  }
  unsigned long value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  if (text.empty() || error != std::errc{} || end != text.data() + text.size() || value > largest) return std::nullopt;
  return value;
}

std::vector<std::string_view> words(std::string_view text) {
  std::vector<std::string_view> list;
  std::size_t i = 0;
  while (i < text.size()) {
    if (text[i] == ' ' || text[i] == '\t') {
      ++i;
      continue;
    }
    const auto end = std::min(text.find_first_of(" \t", i), text.size());
    list.push_back(text.substr(i, end - i));
    i = end;
  }
  return list;
}

// "HUB PORT": a hub's name and a port number.
Error portSetting(const TextSetting& s, PortRef& out) {
  const auto list = words(s.value);
  const auto port = list.size() == 2 ? number(list[1], 255) : std::nullopt;
  if (!port || *port == 0) return badValue(s, "a hub's name and a port number from 1");
  out = {std::string(list[0]), static_cast<int>(*port)};
  return {};
}

Error idSetting(const TextSetting& s, std::uint16_t& out) {
  const auto value = number(s.value, 0xffff);
  if (!value || *value == 0) return badValue(s, "an ID from 1 to 0xFFFF");
  out = static_cast<std::uint16_t>(*value);
  return {};
}

Error failsSetting(const TextSetting& s, bool& out) {
  if (s.value != "fails") return badValue(s, "fails");
  out = true;
  return {};
}

Error hubSetting(const TextSetting& s, HubSpec& hub) {
  const std::string& k = s.key;
  if (k == "name" || k == "at") return {};
  if (k == "ports") {
    const auto value = number(s.value, 255);
    if (!value || *value == 0) return badValue(s, "a port count from 1 to 255");
    hub.ports = static_cast<int>(*value);
    return {};
  }
  if (k == "root" || k == "path") {
    if (hub.at) return at(s.line, k + " applies to a hub interface of the host only, not to a hub on a port");
    if (k == "path") {
      hub.path = s.value;
      return {};
    }
    if (s.value != "yes" && s.value != "no") return badValue(s, "yes or no");
    hub.rootHub = s.value == "yes";
    return {};
  }
  if (k == "vid") return idSetting(s, hub.device.vendorId);
  if (k == "pid") return idSetting(s, hub.device.productId);
  if (k == "nodeinfo") return failsSetting(s, hub.nodeInfoFails);
  return failsSetting(s, hub.openFails);  // open, the last key left
}

Error deviceSetting(const TextSetting& s, UsbDeviceSpec& device) {
  const std::string& k = s.key;
  if (k == "vid") return idSetting(s, device.vendorId);
  if (k == "pid") return idSetting(s, device.productId);
  if (k == "class") {
    const auto value = number(s.value, 0xff);
    if (!value) return badValue(s, "a class from 0 to 255");
    device.deviceClass = static_cast<std::uint8_t>(*value);
    return {};
  }
  if (k == "serial") {
    device.serial = s.value == "none" ? "" : s.value;
    return {};
  }
  if (k == "languages") {
    device.languages.clear();
    if (s.value == "none") return {};
    for (const std::string_view word : words(s.value)) {
      const auto id = number(word, 0xffff);
      if (!id || *id == 0) return badValue(s, "language IDs from 1 to 0xFFFF, or none");
      device.languages.push_back(static_cast<std::uint16_t>(*id));
    }
    if (device.languages.empty()) return badValue(s, "language IDs from 1 to 0xFFFF, or none");
    return {};
  }
  std::string* text = k == "manufacturer" ? &device.manufacturer
                      : k == "product"    ? &device.product
                      : k == "instanceid" ? &device.instanceId
                                          : &device.driverKey;
  if (s.value.empty()) return badValue(s, "a text");
  *text = s.value;
  return {};
}

Error portSettingOf(const TextSetting& s, PortSpec& port) {
  const std::string& k = s.key;
  if (k == "at") return {};
  if (k == "drive") {
    if (s.value.empty()) return badValue(s, "the path of a [drive] section");
    port.drive = s.value;
    return {};
  }
  if (among(kDeviceKeys, k)) return deviceSetting(s, port.device ? *port.device : port.device.emplace());
  if (k == "status") {
    const auto found = std::find_if(std::begin(kStatuses), std::end(kStatuses),
                                    [&s](const StatusName& n) { return n.name == s.value; });
    if (found == std::end(kStatuses)) {
      return badValue(s, "enumeration-failed, general-failure, overcurrent or not-enough-power");
    }
    port.status = found->status;
    return {};
  }
  if (k == "connectioninfo") return failsSetting(s, port.connectionInfoFails);
  if (s.value != "none") return badValue(s, "none");  // parent, the last key left
  port.diskWithoutParent = true;
  return {};
}

const TextSetting* find(const TextSection& section, std::string_view key) {
  const auto found = std::find_if(section.settings.begin(), section.settings.end(),
                                  [key](const TextSetting& s) { return s.key == key; });
  return found == section.settings.end() ? nullptr : &*found;
}

template <std::size_t N>
Error knownKeys(const TextSection& section, const std::string_view (&keys)[N]) {
  for (const TextSetting& s : section.settings) {
    if (!among(keys, s.key)) return at(s.line, "unknown key '" + s.key + "' in a [" + section.kind + "] section");
  }
  return {};
}

Error readHub(const TextSection& section, UsbTopology& topology) {
  if (Error e = knownKeys(section, kHubKeys); !e.empty()) return e;
  const TextSetting* name = find(section, "name");
  const TextSetting* ports = find(section, "ports");
  if (!name || !ports) return at(section.line, "a [hub] section needs a name and ports");
  HubSpec hub{.name = name->value};
  if (const TextSetting* where = find(section, "at")) {
    if (Error e = portSetting(*where, hub.at.emplace()); !e.empty()) return e;
  }
  for (const TextSetting& s : section.settings) {
    if (Error e = hubSetting(s, hub); !e.empty()) return e;
  }
  HubSpec& added = hub.at ? topology.hub(hub.name, *hub.at, hub.ports)
                   : hub.rootHub ? topology.rootHub(hub.name, hub.ports, hub.path)
                                 : topology.hubInterface(hub.name, hub.ports, hub.path);
  added = std::move(hub);
  return {};
}

Error readPort(const TextSection& section, UsbTopology& topology, std::set<std::pair<std::string, int>>& seen) {
  if (Error e = knownKeys(section, kPortKeys); !e.empty()) return e;
  const TextSetting* where = find(section, "at");
  if (!where) return at(section.line, "a [port] section needs at");
  PortSpec port;
  if (Error e = portSetting(*where, port.at); !e.empty()) return e;
  if (!seen.emplace(port.at.hub, port.at.port).second) {
    return at(where->line, "port " + port.at.hub + " " + std::to_string(port.at.port) + " described twice");
  }
  for (const TextSetting& s : section.settings) {
    if (Error e = portSettingOf(s, port); !e.empty()) return e;
  }
  topology.port(port.at) = std::move(port);
  return {};
}

}  // namespace

bool isTopologySection(std::string_view kind) { return kind == "hub" || kind == "port"; }

std::string readTopology(const std::vector<TextSection>& sections, Line& line) {
  UsbTopology topology;
  std::vector<int> hubLines, portLines;
  std::set<std::pair<std::string, int>> seen;
  // Hubs first, so that a [port] may stand before the [hub] it names.
  for (const TextSection& section : sections) {
    if (section.kind != "hub") continue;
    if (Error e = readHub(section, topology); !e.empty()) return e;
    hubLines.push_back(section.line);
  }
  for (const TextSection& section : sections) {
    if (section.kind != "port") continue;
    if (Error e = readPort(section, topology, seen); !e.empty()) return e;
    portLines.push_back(section.line);
  }
  if (topology.hubs().empty() && topology.ports().empty()) return {};
  const auto driveAt = [&line](std::string_view path) -> const DriveConfig* {
    const Drive* drive = line.drive(path);
    return drive ? &drive->config() : nullptr;
  };
  if (const TopologyProblem problem = topology.check(driveAt)) {
    return at((problem.inPort ? portLines : hubLines)[problem.index], problem.what);
  }
  return line.setTopology(std::move(topology));
}

}  // namespace drivesim::detail
