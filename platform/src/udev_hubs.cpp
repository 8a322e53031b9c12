// USB hubs and their ports, read from sysfs.
//
// Hub H's port i is the port device "<H>-port<i>" below the hub's interface;
// the device on it is the child "<bus>-<i>" of a root hub, "<bus>-<devpath>.<i>"
// of any other hub. Peer links between the ports of a USB 2 and a USB 3 hub
// make one socket of the two; see udev_devices.h for who owns it.

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <string_view>

#include "udev_backend.h"

namespace platform::devices::udev {
namespace {

constexpr unsigned long kHubClass = 0x09;
constexpr std::size_t kDeviceDescriptorBytes = 18;
constexpr std::size_t kConfigHeaderBytes = 9;
// Offsets in the device descriptor.
constexpr std::size_t kManufacturerIndexAt = 14;
constexpr std::size_t kProductIndexAt = 15;
constexpr std::size_t kSerialIndexAt = 16;

// What the port walk needs to know of one hub device.
struct HubNode {
  std::string syspath;
  std::string sysname;
  std::string busNumber;
  std::string devpath;  // "0" for a root hub
  std::string interfacePath;  // the hub's interface, which holds the port devices; empty when unconfigured
  int portCount = 0;
  double speedMbps = 0;
};

struct PortRef {
  HubNode hub;
  int number = 0;
};

// One socket: a port, and the port of the other speed that shares its
// connector, when there is one.
struct Socket {
  PortRef port;
  std::optional<PortRef> peer;
};

std::optional<HubNode> hubNodeOf(udev_device* device) {
  if (!isA(device, "usb", "usb_device")) return std::nullopt;
  if (numberAttribute(device, "bDeviceClass", 16).value_or(0) != kHubClass) return std::nullopt;
  HubNode node;
  node.syspath = textOf(udev_device_get_syspath(device));
  node.sysname = textOf(udev_device_get_sysname(device));
  node.busNumber = std::to_string(numberAttribute(device, "busnum", 10).value_or(0));
  node.devpath = attribute(device, "devpath").value_or("");
  node.portCount = static_cast<int>(std::min<unsigned long>(numberAttribute(device, "maxchild", 10).value_or(0), INT_MAX));
  if (const std::optional<std::string> configuration = attribute(device, "bConfigurationValue");
      configuration && !configuration->empty()) {
    // Interfaces are named "<bus>-<devpath>:<configuration>.<interface>", a root hub's "<bus>-0:...".
    node.interfacePath = node.syspath + "/" + node.busNumber + "-" + node.devpath + ":" + *configuration + ".0";
  }
  if (const std::optional<std::string> speed = attribute(device, "speed")) node.speedMbps = std::strtod(speed->c_str(), nullptr);
  return node;
}

std::optional<HubNode> hubNodeAt(::udev* context, const std::string& syspath) {
  const Device device = deviceAt(context, syspath);
  return hubNodeOf(device.get());
}

// The hub that owns the sockets shared with `other`.
bool ownsSharedSockets(const HubNode& hub, const HubNode& other) {
  if (hub.speedMbps != other.speedMbps) return hub.speedMbps < other.speedMbps;
  return std::strtoul(hub.busNumber.c_str(), nullptr, 10) < std::strtoul(other.busNumber.c_str(), nullptr, 10);
}

std::string portDirectory(const PortRef& port) {
  if (port.hub.interfacePath.empty()) return {};
  return port.hub.interfacePath + "/" + port.hub.sysname + "-port" + std::to_string(port.number);
}

std::string childSyspath(const PortRef& port) {
  const std::string number = std::to_string(port.number);
  const std::string name =
      port.hub.busNumber + "-" + (port.hub.devpath == "0" ? number : port.hub.devpath + "." + number);
  return port.hub.syspath + "/" + name;
}

// "<hub>-port<n>" -> n.
std::optional<int> portNumberOfName(std::string_view name) {
  const std::size_t at = name.rfind("-port");
  if (at == std::string_view::npos) return std::nullopt;
  const std::string digits(name.substr(at + 5));
  if (digits.empty() || !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return std::nullopt;
  }
  const unsigned long number = std::strtoul(digits.c_str(), nullptr, 10);
  if (number == 0 || number > INT_MAX) return std::nullopt;
  return static_cast<int>(number);
}

std::optional<PortRef> peerOf(::udev* context, const PortRef& port) {
  const std::string directory = portDirectory(port);
  if (directory.empty()) return std::nullopt;
  char target[PATH_MAX];
  const ssize_t length = ::readlink((directory + "/peer").c_str(), target, sizeof target - 1);
  if (length <= 0) return std::nullopt;
  namespace fs = std::filesystem;
  // The port device sits below the hub's interface, which sits below the hub.
  const fs::path peerPort = (fs::path(directory) / std::string(target, static_cast<std::size_t>(length))).lexically_normal();
  const std::optional<int> number = portNumberOfName(peerPort.filename().string());
  if (!number) return std::nullopt;
  std::optional<HubNode> hub = hubNodeAt(context, peerPort.parent_path().parent_path().string());
  if (!hub || *number > hub->portCount) return std::nullopt;
  return PortRef{.hub = std::move(*hub), .number = *number};
}

std::vector<Socket> socketsOf(::udev* context, const HubNode& hub) {
  std::vector<Socket> sockets;
  for (int number = 1; number <= hub.portCount; ++number) {
    PortRef port{.hub = hub, .number = number};
    std::optional<PortRef> peer = peerOf(context, port);
    if (peer && ownsSharedSockets(peer->hub, hub)) continue;
    sockets.push_back(Socket{.port = std::move(port), .peer = std::move(peer)});
  }
  return sockets;
}

unsigned long portCounter(const PortRef& port, const char* name) {
  const std::string directory = portDirectory(port);
  if (directory.empty()) return 0;
  const std::optional<std::string> text = readFileText(directory + "/" + name);
  return text ? std::strtoul(text->c_str(), nullptr, 10) : 0;
}

bool isHardWired(const PortRef& port) {
  const std::string directory = portDirectory(port);
  return !directory.empty() && readFileText(directory + "/connect_type") == "hardwired";
}

PortStatus statusWithoutDevice(const Socket& socket) {
  const bool overCurrent = portCounter(socket.port, "over_current_count") > 0 ||
                           (socket.peer && portCounter(*socket.peer, "over_current_count") > 0);
  if (overCurrent) return PortStatus::OverCurrent;
  if (isHardWired(socket.port)) return PortStatus::EnumerationFailed;
  return PortStatus::NoDevice;
}

class UdevHub final : public Hub {
 public:
  UdevHub(Context context, HubNode node, std::vector<Socket> sockets)
      : context_(std::move(context)), node_(std::move(node)), sockets_(std::move(sockets)) {}

  std::optional<int> portCount() override {
    if (!deviceAt(context_.get(), node_.syspath)) return std::nullopt;
    return static_cast<int>(sockets_.size());
  }

  std::optional<ConnectionInfo> connectionInfo(int port) override {
    const Socket* socket = socketAt(port);
    if (socket == nullptr || !deviceAt(context_.get(), node_.syspath)) return std::nullopt;
    ConnectionInfo info;
    const Device device = deviceOn(*socket);
    if (!device) {
      info.status = statusWithoutDevice(*socket);
      return info;
    }
    info.status = PortStatus::DeviceConnected;
    info.descriptor = descriptorOf(device.get());
    info.isHub = isHub(device.get());
    return info;
  }

  std::optional<std::string> connectionName(int port) override {
    const Device device = deviceOnPort(port);
    if (!device || !isHub(device.get())) return std::nullopt;
    return textOf(udev_device_get_sysname(device.get()));
  }

  std::optional<std::string> driverKey(int port) override {
    const Device device = deviceOnPort(port);
    if (!device) return std::nullopt;
    return textOf(udev_device_get_devpath(device.get()));
  }

  std::optional<std::string> stringDescriptor(int port, std::uint8_t index, std::uint16_t) override {
    const Device device = deviceOnPort(port);
    if (!device || index == 0) return std::nullopt;
    const DeviceDescriptor descriptor = descriptorOf(device.get());
    const char* name = index == descriptor.iSerialNumber    ? "serial"
                       : index == descriptor.iManufacturer  ? "manufacturer"
                       : index == descriptor.iProduct       ? "product"
                                                            : nullptr;
    if (name == nullptr) return std::nullopt;
    return attribute(device.get(), name);
  }

  std::optional<std::vector<std::uint8_t>> configDescriptor(int port) override {
    const Device device = deviceOnPort(port);
    if (!device) return std::nullopt;
    const std::optional<std::vector<std::uint8_t>> all = rawDescriptors(device.get());
    if (!all || all->size() < kDeviceDescriptorBytes + kConfigHeaderBytes) return std::nullopt;
    const auto config = all->begin() + kDeviceDescriptorBytes;
    const std::size_t total = config[2] | (std::size_t{config[3]} << 8);
    if (total < kConfigHeaderBytes || kDeviceDescriptorBytes + total > all->size()) return std::nullopt;
    return std::vector<std::uint8_t>(config, config + static_cast<std::ptrdiff_t>(total));
  }

 private:
  const Socket* socketAt(int port) const {
    if (port < 1 || static_cast<std::size_t>(port) > sockets_.size()) return nullptr;
    return &sockets_[static_cast<std::size_t>(port - 1)];
  }

  // The device on a socket: on the port itself, or else on its peer.
  Device deviceOn(const Socket& socket) const {
    Device device = deviceAt(context_.get(), childSyspath(socket.port));
    if (isA(device.get(), "usb", "usb_device")) return device;
    if (!socket.peer) return Device();
    device = deviceAt(context_.get(), childSyspath(*socket.peer));
    return isA(device.get(), "usb", "usb_device") ? std::move(device) : Device();
  }

  Device deviceOnPort(int port) const {
    const Socket* socket = socketAt(port);
    return socket != nullptr ? deviceOn(*socket) : Device();
  }

  static std::optional<std::vector<std::uint8_t>> rawDescriptors(udev_device* device) {
    return readFileBytes(textOf(udev_device_get_syspath(device)) + "/descriptors");
  }

  static bool isHub(udev_device* device) {
    return numberAttribute(device, "bDeviceClass", 16).value_or(0) == kHubClass &&
           numberAttribute(device, "maxchild", 10).value_or(0) > 0;
  }

  static DeviceDescriptor descriptorOf(udev_device* device) {
    DeviceDescriptor descriptor;
    descriptor.idVendor = static_cast<std::uint16_t>(numberAttribute(device, "idVendor", 16).value_or(0));
    descriptor.idProduct = static_cast<std::uint16_t>(numberAttribute(device, "idProduct", 16).value_or(0));
    descriptor.deviceClass = static_cast<std::uint8_t>(numberAttribute(device, "bDeviceClass", 16).value_or(0));
    const std::optional<std::vector<std::uint8_t>> raw = rawDescriptors(device);
    if (raw && raw->size() >= kDeviceDescriptorBytes) {
      descriptor.iManufacturer = (*raw)[kManufacturerIndexAt];
      descriptor.iProduct = (*raw)[kProductIndexAt];
      descriptor.iSerialNumber = (*raw)[kSerialIndexAt];
    }
    return descriptor;
  }

  Context context_;
  HubNode node_;
  std::vector<Socket> sockets_;
};

bool isRootHub(udev_device* device) {
  return udev_device_get_parent_with_subsystem_devtype(device, "usb", "usb_device") == nullptr;
}

}  // namespace

std::vector<HubInterface> listRootHubs() {
  struct Listed {
    unsigned long bus = 0;
    HubInterface hub;
  };
  std::vector<Listed> listed;
  const Context context = newContext();
  for (const std::string& syspath : devicesOf(context.get(), "usb", "usb_device")) {
    const Device device = deviceAt(context.get(), syspath);
    if (!isRootHub(device.get())) continue;
    const std::optional<HubNode> node = hubNodeOf(device.get());
    if (!node) continue;
    // A root hub whose every port belongs to its peer hub adds no socket.
    if (node->portCount > 0 && socketsOf(context.get(), *node).empty()) continue;
    listed.push_back(Listed{.bus = std::strtoul(node->busNumber.c_str(), nullptr, 10),
                            .hub = HubInterface{.path = node->syspath, .rootHub = true}});
  }
  std::stable_sort(listed.begin(), listed.end(), [](const Listed& a, const Listed& b) { return a.bus < b.bus; });
  std::vector<HubInterface> hubs;
  hubs.reserve(listed.size());
  for (Listed& entry : listed) hubs.push_back(std::move(entry.hub));
  return hubs;
}

std::unique_ptr<Hub> openUsbHub(const std::string& pathOrName) {
  Context context = newContext();
  if (!context || pathOrName.empty()) return nullptr;
  const Device device(pathOrName.starts_with("/sys/")
                          ? udev_device_new_from_syspath(context.get(), pathOrName.c_str())
                          : udev_device_new_from_subsystem_sysname(context.get(), "usb", pathOrName.c_str()));
  std::optional<HubNode> node = hubNodeOf(device.get());
  if (!node) return nullptr;
  std::vector<Socket> sockets = socketsOf(context.get(), *node);
  return std::make_unique<UdevHub>(std::move(context), std::move(*node), std::move(sockets));
}

std::optional<std::string> deviceIdByDriverKey(const std::string& driverKey) {
  // The key is a devpath; nothing outside the device tree is looked at.
  if (!driverKey.starts_with("/devices/") || driverKey.find("/..") != std::string::npos) return std::nullopt;
  const Context context = newContext();
  const Device device = deviceAt(context.get(), "/sys" + driverKey);
  if (!isA(device.get(), "usb", "usb_device")) return std::nullopt;
  return textOf(udev_device_get_sysname(device.get()));
}

}  // namespace platform::devices::udev
