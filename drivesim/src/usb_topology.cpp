#include "drivesim/usb_topology.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <map>
#include <set>
#include <utility>

#include "usb_model.h"

namespace drivesim {
namespace {

using platform::devices::PortStatus;

constexpr std::string_view kHubInterfaceClass = "{f18a0e88-c30c-11d0-8815-00a0c906bed8}";
constexpr std::string_view kUsbDriverClass = "{36fc9e60-c465-11cf-8056-444553540000}";
constexpr std::string_view kDefaultRootHubPath =
    "\\\\?\\usb#root_hub30#4&1f2b3c&0#{f18a0e88-c30c-11d0-8815-00a0c906bed8}";
constexpr std::string_view kDiskPathPrefix = "\\\\?\\usbstor#";

// The IDs a bridge reports when the description gives none.
constexpr std::uint16_t kBridgeVendorId = 0x2c41;  // product 0x0200 + chip type
constexpr std::uint16_t kHubVendorId = 0x2d9a;     // product 0x0600 + port count

constexpr std::uint8_t kHubClass = 9;
constexpr int kMostPorts = 255;
constexpr std::size_t kLongestString = 126;  // UTF-16 units one string descriptor holds

constexpr std::uint8_t kManufacturerIndex = 1;
constexpr std::uint8_t kProductIndex = 2;
constexpr std::uint8_t kSerialIndex = 3;

bool isFailure(PortStatus status) { return status != PortStatus::NoDevice && status != PortStatus::DeviceConnected; }

// Tells apart the children of different parents, as the system's parent prefix does.
std::uint32_t fingerprint(std::string_view text) {
  std::uint32_t hash = 2166136261u;
  for (const char c : text) hash = (hash ^ static_cast<std::uint8_t>(c)) * 16777619u;
  return hash;
}

std::string hex(std::uint32_t value, int digits) {
  char text[16];
  std::snprintf(text, sizeof text, "%0*x", digits, value);
  return text;
}

std::string vidPid(std::uint16_t vendorId, std::uint16_t productId) {
  return "vid_" + hex(vendorId, 4) + "&pid_" + hex(productId, 4);
}

std::string portName(const PortRef& at) { return at.hub + " " + std::to_string(at.port); }

std::size_t utf16Units(std::string_view utf8) {
  std::size_t units = 0;
  for (const char c : utf8) {
    const auto byte = static_cast<std::uint8_t>(c);
    if ((byte & 0xc0) != 0x80) units += byte >= 0xf0 ? 2 : 1;
  }
  return units;
}

// The name part of an interface path: without \\?\ (or \\.\) and the class
// GUID, '#' read as '\'.
std::string idOfInterfacePath(std::string_view path) {
  if (path.starts_with("\\\\?\\") || path.starts_with("\\\\.\\")) path.remove_prefix(4);
  if (const auto guid = path.rfind("#{"); guid != std::string_view::npos && path.ends_with("}")) {
    path = path.substr(0, guid);
  }
  std::string id = detail::lowered(path);
  std::replace(id.begin(), id.end(), '#', '\\');
  return id;
}

// The system keeps a serial in the instance id only when every character may stand there.
bool serialFitsInstanceId(std::string_view serial) {
  return !serial.empty() && std::all_of(serial.begin(), serial.end(), [](char c) {
    const auto byte = static_cast<std::uint8_t>(c);
    return byte > 0x20 && byte < 0x7f && c != ',' && c != '\\';
  });
}

std::string textField(std::string_view text) {
  std::string field = detail::lowered(text);
  std::replace(field.begin(), field.end(), ' ', '_');
  return field;
}

std::string diskIdOf(const DriveConfig& drive) {
  if (detail::lowered(drive.path).starts_with(kDiskPathPrefix)) return idOfInterfacePath(drive.path);
  return "usbstor\\disk&ven_" + textField(drive.inquiryVendor) + "&prod_" + textField(drive.inquiryProduct) +
         "&rev_" + textField(drive.inquiryRevision) + "\\" + textField(drive.serial) + "&0";
}

std::uint16_t hubVendorId(const HubSpec& hub) { return hub.device.vendorId ? hub.device.vendorId : kHubVendorId; }
std::uint16_t hubProductId(const HubSpec& hub) {
  return hub.device.productId ? hub.device.productId : static_cast<std::uint16_t>(0x0600 + hub.ports);
}

std::string hostHubPath(const HubSpec& hub) {
  if (!hub.path.empty()) return hub.path;
  const std::string kind = hub.rootHub ? "root_hub30" : vidPid(hubVendorId(hub), hubProductId(hub));
  return "\\\\?\\usb#" + kind + "#4&" + hex(fingerprint(hub.name), 8) + "&0#" + std::string(kHubInterfaceClass);
}

// A serial names the device only while no other device of the same IDs uses
// it; the others are named by their port, as the system does.
std::string childInstanceId(std::uint16_t vendorId, std::uint16_t productId, const std::string& serial,
                            const std::string& parentId, int port, std::set<std::string>& usedIds) {
  if (serialFitsInstanceId(serial)) {
    std::string id = "usb\\" + vidPid(vendorId, productId) + "\\" + detail::lowered(serial);
    if (usedIds.insert(id).second) return id;
  }
  return "usb\\" + vidPid(vendorId, productId) + "\\5&" + hex(fingerprint(parentId), 8) + "&0&" +
         std::to_string(port);
}

// Configuration descriptors: one configuration, one interface.
std::vector<std::uint8_t> massStorageConfiguration() {
  return {9, 2, 32, 0, 1, 1, 0, 0x80, 250,      // bus powered, 500 mA
          9, 4, 0, 0, 2, 8, 6, 0x50, 0,         // mass storage, SCSI, bulk-only
          7, 5, 0x81, 2, 0x00, 0x02, 0,         // bulk in, 512 bytes
          7, 5, 0x02, 2, 0x00, 0x02, 0};        // bulk out, 512 bytes
}

std::vector<std::uint8_t> hubConfiguration() {
  return {9, 2, 25, 0, 1, 1, 0, 0xe0, 0,  // self powered
          9, 4, 0, 0, 1, kHubClass, 0, 0, 0,
          7, 5, 0x81, 3, 1, 0, 12};  // status change, interrupt
}

std::vector<std::uint8_t> vendorConfiguration() {
  return {9, 2, 25, 0, 1, 1, 0, 0x80, 50,  // bus powered, 100 mA
          9, 4, 0, 0, 1, 0xff, 0, 0, 0,
          7, 5, 0x81, 3, 8, 0, 10};
}

detail::UsbFunction hubFunction(const HubSpec& spec) {
  detail::UsbFunction usb;
  usb.descriptor.idVendor = hubVendorId(spec);
  usb.descriptor.idProduct = hubProductId(spec);
  usb.descriptor.deviceClass = kHubClass;
  usb.configuration = hubConfiguration();
  usb.driverKey = spec.device.driverKey;
  return usb;
}

detail::UsbFunction deviceFunction(const UsbDeviceSpec& spec, const DriveConfig* drive, const std::string& parentId,
                                   int port, std::set<std::string>& usedIds) {
  detail::UsbFunction usb;
  auto& d = usb.descriptor;
  const bool ownUsb = drive && drive->frontEnd == FrontEnd::OwnUsb;
  // The own USB interface reports the IDs and strings of its firmware.
  d.idVendor = spec.vendorId ? spec.vendorId : !drive ? 0 : ownUsb ? drive->usbVendorId : kBridgeVendorId;
  d.idProduct = spec.productId ? spec.productId
                : !drive       ? 0
                : ownUsb       ? drive->usbProductId
                               : static_cast<std::uint16_t>(0x0200 + drive->bridgeChipType);
  d.deviceClass = spec.deviceClass;
  usb.languages = spec.languages;

  const std::string serial = spec.serial ? *spec.serial : drive ? drive->serial : "";
  const auto ownOr = [&](const std::string& own, const std::string& inquiry) {
    return ownUsb && !own.empty() ? own : inquiry;
  };
  const std::string manufacturer = !spec.manufacturer.empty() ? spec.manufacturer
                                   : drive ? ownOr(drive->usbManufacturer, drive->inquiryVendor) : "";
  const std::string product = !spec.product.empty() ? spec.product
                              : drive ? ownOr(drive->usbProduct, drive->inquiryProduct) : "";
  const auto addString = [&usb](std::uint8_t index, const std::string& text, std::uint8_t& field) {
    if (text.empty()) return;
    usb.strings[index] = text;
    field = index;
  };
  addString(kManufacturerIndex, manufacturer, d.iManufacturer);
  addString(kProductIndex, product, d.iProduct);
  addString(kSerialIndex, serial, d.iSerialNumber);

  usb.configuration = drive ? massStorageConfiguration() : vendorConfiguration();
  usb.instanceId = !spec.instanceId.empty() ? detail::lowered(spec.instanceId)
                                            : childInstanceId(d.idVendor, d.idProduct, serial, parentId, port, usedIds);
  usb.driverKey = spec.driverKey;
  return usb;
}

// Node numbers and driver keys, depth first as the system enumerates.
struct Numbering {
  detail::UsbModel& model;
  std::uint32_t nextNode = 1;
  unsigned nextKey = 0;

  void assign(detail::UsbFunction& usb) {
    usb.node = nextNode++;
    char number[8];
    std::snprintf(number, sizeof number, "%04u", nextKey++ % 10000);
    if (usb.driverKey.empty()) usb.driverKey = std::string(kUsbDriverClass) + "\\" + number;
  }

  void visit(int hubIndex) {
    detail::ModelHub& hub = model.hubs[static_cast<std::size_t>(hubIndex)];
    assign(hub.usb);
    for (const detail::ModelPort& port : hub.ports) {
      if (port.hub >= 0) visit(port.hub);
      if (port.device < 0) continue;
      detail::ModelDevice& device = model.devices[static_cast<std::size_t>(port.device)];
      assign(device.usb);
      if (!device.drivePath.empty()) device.diskNode = nextNode++;
    }
  }
};

TopologyProblem hubProblem(std::size_t index, std::string what) { return {std::move(what), false, index}; }
TopologyProblem portProblem(std::size_t index, std::string what) { return {std::move(what), true, index}; }

std::optional<std::string> tooLongString(const UsbDeviceSpec& device) {
  for (const std::string* text : {&device.manufacturer, &device.product}) {
    if (utf16Units(*text) > kLongestString) return *text;
  }
  if (device.serial && utf16Units(*device.serial) > kLongestString) return *device.serial;
  return std::nullopt;
}

}  // namespace

namespace detail {

std::string lowered(std::string_view text) {
  std::string low(text);
  std::transform(low.begin(), low.end(), low.begin(), [](char c) {
    return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  });
  return low;
}

UsbModel resolve(const UsbTopology& topology, const DriveLookup& driveAt) {
  UsbModel model;
  std::map<std::string, int, std::less<>> hubIndex;
  std::set<std::string> usedIds;
  for (const HubSpec& spec : topology.hubs()) {
    ModelHub hub;
    hub.name = spec.name;
    hub.nodeInfoFails = spec.nodeInfoFails;
    hub.openFails = spec.openFails;
    hub.ports.resize(static_cast<std::size_t>(spec.ports));
    hub.usb = hubFunction(spec);
    if (!spec.at) {
      hub.rootHub = spec.rootHub;
      hub.path = hostHubPath(spec);
      hub.usb.instanceId = spec.device.instanceId.empty() ? idOfInterfacePath(hub.path) : lowered(spec.device.instanceId);
    } else {
      hub.parent = hubIndex.at(spec.at->hub);
      hub.parentPort = spec.at->port;
      ModelHub& parent = model.hubs[static_cast<std::size_t>(hub.parent)];
      hub.usb.instanceId = !spec.device.instanceId.empty()
                               ? lowered(spec.device.instanceId)
                               : childInstanceId(hub.usb.descriptor.idVendor, hub.usb.descriptor.idProduct, "",
                                                 parent.usb.instanceId, spec.at->port, usedIds);
      std::string name = hub.usb.instanceId;
      std::replace(name.begin(), name.end(), '\\', '#');
      hub.connectionName = name + "#" + std::string(kHubInterfaceClass);
      hub.path = "\\\\?\\" + hub.connectionName;
      parent.ports[static_cast<std::size_t>(spec.at->port - 1)].hub = static_cast<int>(model.hubs.size());
    }
    hubIndex.emplace(spec.name, static_cast<int>(model.hubs.size()));
    model.hubs.push_back(std::move(hub));
  }

  for (std::size_t i = 0; i < topology.ports().size(); ++i) {
    const PortSpec& spec = topology.ports()[i];
    ModelHub& hub = model.hubs[static_cast<std::size_t>(hubIndex.at(spec.at.hub))];
    ModelPort& port = hub.ports[static_cast<std::size_t>(spec.at.port - 1)];
    port.status = spec.status;
    port.connectionInfoFails = spec.connectionInfoFails;
    if (spec.drive.empty() && !spec.device) continue;
    const DriveConfig* drive = spec.drive.empty() ? nullptr : driveAt(spec.drive);
    ModelDevice device;
    device.portSpec = i;
    device.hub = hubIndex.at(spec.at.hub);
    device.port = spec.at.port;
    device.usb =
        deviceFunction(spec.device.value_or(UsbDeviceSpec{}), drive, hub.usb.instanceId, spec.at.port, usedIds);
    if (drive) {
      device.drivePath = drive->path;
      device.diskId = diskIdOf(*drive);
      device.diskWithoutParent = spec.diskWithoutParent;
    }
    port.device = static_cast<int>(model.devices.size());
    model.devices.push_back(std::move(device));
  }

  Numbering numbering{model};
  for (std::size_t i = 0; i < model.hubs.size(); ++i) {
    if (model.hubs[i].parent < 0) numbering.visit(static_cast<int>(i));
  }
  return model;
}

void reportIdentity(UsbModel& model, std::size_t deviceIndex, const UsbIdentity& identity) {
  ModelDevice& device = model.devices[deviceIndex];
  UsbFunction& usb = device.usb;
  usb.descriptor.idVendor = identity.vendorId;
  usb.descriptor.idProduct = identity.productId;
  usb.descriptor.iManufacturer = usb.descriptor.iProduct = usb.descriptor.iSerialNumber = 0;
  usb.strings.clear();
  const auto addString = [&usb](std::uint8_t index, const std::string& text, std::uint8_t& field) {
    if (text.empty()) return;
    usb.strings[index] = text;
    field = index;
  };
  addString(kManufacturerIndex, identity.manufacturer, usb.descriptor.iManufacturer);
  addString(kProductIndex, identity.product, usb.descriptor.iProduct);
  addString(kSerialIndex, identity.serial, usb.descriptor.iSerialNumber);
  // New IDs make a new instance id; the serial names it unless another device holds that name.
  std::set<std::string> usedIds;
  for (const ModelHub& hub : model.hubs) usedIds.insert(hub.usb.instanceId);
  for (std::size_t i = 0; i < model.devices.size(); ++i) {
    if (i != deviceIndex) usedIds.insert(model.devices[i].usb.instanceId);
  }
  usb.instanceId = childInstanceId(identity.vendorId, identity.productId, identity.serial,
                                   model.hubs[static_cast<std::size_t>(device.hub)].usb.instanceId, device.port,
                                   usedIds);
}

}  // namespace detail

HubSpec& UsbTopology::rootHub(std::string name, int ports, std::string path) {
  return hubs_.emplace_back(HubSpec{.name = std::move(name), .ports = ports, .rootHub = true, .path = std::move(path)});
}

HubSpec& UsbTopology::hubInterface(std::string name, int ports, std::string path) {
  return hubs_.emplace_back(HubSpec{.name = std::move(name), .ports = ports, .rootHub = false, .path = std::move(path)});
}

HubSpec& UsbTopology::hub(std::string name, PortRef at, int ports) {
  return hubs_.emplace_back(HubSpec{.name = std::move(name), .at = std::move(at), .ports = ports, .rootHub = false});
}

PortSpec& UsbTopology::drive(PortRef at, std::string drivePath) {
  PortSpec& spec = port(at);
  spec.drive = std::move(drivePath);
  return spec;
}

PortSpec& UsbTopology::device(PortRef at, UsbDeviceSpec device) {
  PortSpec& spec = port(at);
  spec.drive.clear();
  spec.device = std::move(device);
  return spec;
}

PortSpec& UsbTopology::port(const PortRef& at) {
  const auto found = std::find_if(ports_.begin(), ports_.end(), [&at](const PortSpec& spec) { return spec.at == at; });
  if (found != ports_.end()) return *found;
  return ports_.emplace_back(PortSpec{.at = at});
}

HubSpec* UsbTopology::findHub(std::string_view name) {
  const auto found = std::find_if(hubs_.begin(), hubs_.end(), [name](const HubSpec& hub) { return hub.name == name; });
  return found == hubs_.end() ? nullptr : &*found;
}

UsbTopology UsbTopology::oneRootHub(const std::vector<std::string>& drivePaths) {
  UsbTopology topology;
  if (drivePaths.empty()) return topology;
  topology.rootHub("root", static_cast<int>(drivePaths.size()), std::string(kDefaultRootHubPath));
  for (std::size_t i = 0; i < drivePaths.size(); ++i) topology.drive({"root", static_cast<int>(i + 1)}, drivePaths[i]);
  return topology;
}

TopologyProblem UsbTopology::check(const std::function<const DriveConfig*(std::string_view path)>& driveAt) const {
  std::map<std::string, int, std::less<>> portsOfHub;
  std::set<std::string> hostPaths;
  std::set<std::pair<std::string, int>> taken;
  const auto portOf = [&portsOfHub](const PortRef& at) -> std::string {
    const auto hub = portsOfHub.find(at.hub);
    if (hub == portsOfHub.end()) return "no hub '" + at.hub + "' is described before it";
    if (at.port < 1 || at.port > hub->second) {
      return "hub '" + at.hub + "' has no port " + std::to_string(at.port) + " (it has " +
             std::to_string(hub->second) + ")";
    }
    return {};
  };

  for (std::size_t i = 0; i < hubs_.size(); ++i) {
    const HubSpec& hub = hubs_[i];
    if (hub.name.empty() || hub.name.find_first_of(" \t") != std::string::npos) {
      return hubProblem(i, "a hub needs a name of one word");
    }
    if (portsOfHub.contains(hub.name)) return hubProblem(i, "hub '" + hub.name + "' described twice");
    if (hub.ports < 1 || hub.ports > kMostPorts) {
      return hubProblem(i, "hub '" + hub.name + "' has " + std::to_string(hub.ports) + " ports: from 1 to 255");
    }
    if (hub.at) {
      if (std::string where = portOf(*hub.at); !where.empty()) return hubProblem(i, "hub '" + hub.name + "': " + where);
      if (!taken.emplace(hub.at->hub, hub.at->port).second) {
        return hubProblem(i, "port " + portName(*hub.at) + " holds two things");
      }
      if (!hub.path.empty()) return hubProblem(i, "hub '" + hub.name + "' is on a port: its path comes from its IDs");
    } else if (!hostPaths.insert(detail::lowered(hostHubPath(hub))).second) {
      return hubProblem(i, "hub path '" + hostHubPath(hub) + "' given twice");
    }
    portsOfHub.emplace(hub.name, hub.ports);
  }

  std::set<std::string> drivesOnPorts;
  for (std::size_t i = 0; i < ports_.size(); ++i) {
    const PortSpec& port = ports_[i];
    const std::string name = "port " + portName(port.at);
    if (std::string where = portOf(port.at); !where.empty()) return portProblem(i, name + ": " + where);
    if ((!port.drive.empty() || port.device) && !taken.emplace(port.at.hub, port.at.port).second) {
      return portProblem(i, name + " holds two things");
    }
    if (!port.drive.empty()) {
      const DriveConfig* drive = driveAt(port.drive);
      if (!drive) return portProblem(i, name + ": the line has no drive '" + port.drive + "'");
      if (drive->frontEnd == FrontEnd::SataPort) {
        return portProblem(i, name + ": drive '" + port.drive + "' is on a SATA port, not on USB");
      }
      if (!drivesOnPorts.insert(port.drive).second) {
        return portProblem(i, name + ": drive '" + port.drive + "' is on two ports");
      }
    } else if (port.device && (port.device->vendorId == 0 || port.device->productId == 0)) {
      return portProblem(i, name + ": a device other than a drive needs its vendor and product IDs");
    }
    if (port.device) {
      if (const auto text = tooLongString(*port.device)) {
        return portProblem(i, name + ": '" + *text + "' is longer than a string descriptor (126 characters)");
      }
    }
    if (port.status && !isFailure(*port.status)) {
      return portProblem(i, name + ": a port reports only a failure status in place of its device");
    }
    if (port.diskWithoutParent && port.drive.empty()) {
      return portProblem(i, name + ": only a drive's disk can be listed without its device");
    }
  }

  // Generated or given, two devices never share an instance id or a driver key.
  const detail::UsbModel model = detail::resolve(*this, driveAt);
  std::map<std::string, std::string> ids, keys;
  const auto unique = [&](const detail::UsbFunction& usb, const std::string& what) -> std::string {
    if (!ids.emplace(usb.instanceId, what).second) {
      return what + " has the instance id '" + usb.instanceId + "' of " + ids.at(usb.instanceId);
    }
    const std::string key = detail::lowered(usb.driverKey);
    if (!keys.emplace(key, what).second) return what + " has the driver key '" + usb.driverKey + "' of " + keys.at(key);
    return {};
  };
  for (std::size_t i = 0; i < model.hubs.size(); ++i) {
    if (std::string clash = unique(model.hubs[i].usb, "hub '" + model.hubs[i].name + "'"); !clash.empty()) {
      return hubProblem(i, clash);
    }
  }
  for (const detail::ModelDevice& device : model.devices) {
    const std::string name = "port " + portName(ports_[device.portSpec].at);
    if (std::string clash = unique(device.usb, name); !clash.empty()) return portProblem(device.portSpec, clash);
  }
  return {};
}

}  // namespace drivesim
