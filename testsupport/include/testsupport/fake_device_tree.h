#pragma once
// A scripted device tree for unit tests: a topology of hubs, ports and USB
// devices stated in one line of text (or built field by field), the USB disks
// it lists, injected failures, and a record of what the code under test asked.
//
// Topology notation: the hub interfaces in listing order, separated by
// blanks; each is
//   R<n>(<port>,<port>,...)   a root hub with n ports (ports not written are empty)
//   N<n>(...)                 a hub interface that is not a root hub
// and a port is
//   (nothing) or -   empty
//   d                a device with a serial string
//   n                a device without a serial string
//   x                a port whose connection information cannot be read
//   e g o p          enumeration failed, general failure, over-current, not enough power
//   H<n>(...)        a hub with n ports
// A '!' before R, N or H makes a hub that cannot be opened.
//
// Every device and hub is named like a sysfs USB device: root hub k of the
// listing is bus k, the device on its port p is "k-p", below a hub "k-p.q".
// That name is the device's instance id; its driver key is kDriverKeyPrefix +
// name, its serial "SN" + name (language 0x0409) and its product ID counts
// the devices from 1 in the order written. Asked for in language 0, a string
// comes in the device's first language.
//
// Copies of a topology share its hubs, so a test can change a parsed tree
// field by field and still compare with what it handed to the fake.
//
// Disk interfaces and the rescan's answer are scripted in the topology; the
// fake counts the rescans it was asked for.

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <type_traits>
#include <vector>

#include "platform/devices.h"

namespace testsupport {

inline constexpr std::string_view kDriverKeyPrefix = "{36fc9e60-c465-11cf-8056-444553540000}\\";
inline constexpr std::uint16_t kFakeVendorId = 0x1209;
inline constexpr std::uint16_t kEnglishUs = 0x0409;

struct FakeUsbDevice {
  std::string instanceId;
  std::string driverKey;  // empty: the port answers no driver key
  bool nodeFound = true;  // the driver key leads to the device's node
  std::uint16_t vendorId = kFakeVendorId;
  std::uint16_t productId = 0;
  std::vector<std::uint16_t> languages{kEnglishUs};  // string descriptor 0, first language first
  std::map<std::uint16_t, std::string> serials;     // by language; empty: no serial string
};

struct FakeHub;

struct FakePort {
  platform::devices::PortStatus status = platform::devices::PortStatus::NoDevice;
  std::optional<FakeUsbDevice> device;
  std::shared_ptr<FakeHub> hub;
  bool connectionInfoFails = false;
};

struct FakeHub {
  std::string name;  // the interface path of a listed hub, the connection name of a nested one
  std::string instanceId;
  std::vector<FakePort> ports;  // port i at [i - 1]
  bool opens = true;
  bool nodeInfoFails = false;  // opens, but its port count cannot be read
};

struct FakeHubInterface {
  bool rootHub = true;
  std::shared_ptr<FakeHub> hub;
};

struct FakeTopology {
  std::vector<FakeHubInterface> interfaces;
  std::vector<platform::devices::UsbDisk> disks;
  std::map<std::string, platform::devices::DeviceNumber> deviceNumbers;
  std::vector<platform::devices::DeviceTree::DiskInterface> diskInterfaces;  // listed as they stand
  bool rescanSucceeds = true;

  // The device or hub of that name anywhere in the tree, or nullptr.
  FakeUsbDevice* device(std::string_view instanceId) { return find<FakeUsbDevice>(instanceId); }
  const FakeUsbDevice* device(std::string_view instanceId) const { return find<FakeUsbDevice>(instanceId); }
  FakeHub* hub(std::string_view instanceId) { return find<FakeHub>(instanceId); }

  // The hub on one of whose ports the device sits, or nullptr.
  const FakeHub* hubOf(std::string_view instanceId) const {
    const FakeHub* found = nullptr;
    forEachHub([&](const FakeHub& hub) {
      for (const FakePort& port : hub.ports) {
        if (port.device && port.device->instanceId == instanceId) found = &hub;
      }
    });
    return found;
  }

  template <typename Visit>
  void forEachHub(Visit visit) const {
    for (const FakeHubInterface& entry : interfaces) visitHub(*entry.hub, visit);
  }

 private:
  template <typename Visit>
  static void visitHub(FakeHub& hub, Visit& visit) {
    visit(hub);
    for (FakePort& port : hub.ports) {
      if (port.hub) visitHub(*port.hub, visit);
    }
  }

  // The hubs are shared, so a const topology still reaches them.
  template <typename T>
  T* find(std::string_view id) const {
    T* found = nullptr;
    forEachHub([&](FakeHub& hub) {
      if constexpr (std::is_same_v<T, FakeHub>) {
        if (hub.instanceId == id) found = &hub;
      } else {
        for (FakePort& port : hub.ports) {
          if (port.device && port.device->instanceId == id) found = &*port.device;
        }
      }
    });
    return found;
  }
};

namespace fake_tree_detail {

inline std::string RootHubPath(int bus, bool rootHub) {
  return std::string("\\\\?\\usb#") + (rootHub ? "root_hub30#" : "vid_05e3&pid_0610#") + std::to_string(bus) +
         "&0#{f18a0e88-c30c-11d0-8815-00a0c906bed8}";
}

class NotationParser {
 public:
  explicit NotationParser(std::string_view text) : text_(text) {}

  FakeTopology parse() {
    FakeTopology topology;
    int bus = 0;
    skipBlanks();
    while (pos_ < text_.size()) {
      const bool opens = !take('!');
      const char kind = next();
      if (kind != 'R' && kind != 'N') fail("a hub interface starts with R or N");
      const bool rootHub = kind == 'R';
      ++bus;
      const std::string id = std::to_string(bus);
      auto hub = parseHub(id, RootHubPath(bus, rootHub), id + "-");
      hub->opens = opens;
      topology.interfaces.push_back({rootHub, std::move(hub)});
      skipBlanks();
    }
    return topology;
  }

 private:
  std::shared_ptr<FakeHub> parseHub(const std::string& instanceId, std::string name, const std::string& childPrefix) {
    auto hub = std::make_shared<FakeHub>();
    hub->instanceId = instanceId;
    hub->name = std::move(name);
    hub->ports.resize(static_cast<std::size_t>(number()));
    if (!take('(')) return hub;
    for (std::size_t index = 0;; ++index) {
      if (index >= hub->ports.size()) fail("more ports than the hub has");
      parsePort(hub->ports[index], childPrefix + std::to_string(index + 1));
      if (take(')')) return hub;
      if (!take(',')) fail("ports are separated by ','");
    }
  }

  void parsePort(FakePort& port, const std::string& id) {
    using platform::devices::PortStatus;
    const bool opens = !take('!');
    const char c = peek();
    if (!opens && c != 'H') fail("only a hub can fail to open");
    if (c == ',' || c == ')') return;
    ++pos_;
    switch (c) {
      case '-': return;
      case 'd':
      case 'n': {
        port.status = PortStatus::DeviceConnected;
        FakeUsbDevice device;
        device.instanceId = id;
        device.driverKey = std::string(kDriverKeyPrefix) + id;
        device.productId = static_cast<std::uint16_t>(++devices_);
        if (c == 'd') device.serials[kEnglishUs] = "SN" + id;
        port.device = std::move(device);
        return;
      }
      case 'x': port.connectionInfoFails = true; return;
      case 'e': port.status = PortStatus::EnumerationFailed; return;
      case 'g': port.status = PortStatus::GeneralFailure; return;
      case 'o': port.status = PortStatus::OverCurrent; return;
      case 'p': port.status = PortStatus::NotEnoughPower; return;
      case 'H':
        port.status = PortStatus::DeviceConnected;
        port.hub = parseHub(id, "usb#hub#" + id, id + ".");
        port.hub->opens = opens;
        return;
      default: fail(std::string("unknown port '") + c + "'");
    }
  }

  int number() {
    int value = 0;
    bool any = false;
    while (pos_ < text_.size() && std::isdigit(static_cast<unsigned char>(text_[pos_]))) {
      value = value * 10 + (text_[pos_++] - '0');
      any = true;
    }
    if (!any) fail("a hub needs its port count");
    return value;
  }

  char peek() const { return pos_ < text_.size() ? text_[pos_] : '\0'; }
  char next() { return pos_ < text_.size() ? text_[pos_++] : '\0'; }
  bool take(char c) {
    if (peek() != c) return false;
    ++pos_;
    return true;
  }
  void skipBlanks() {
    while (pos_ < text_.size() && text_[pos_] == ' ') ++pos_;
  }
  [[noreturn]] void fail(const std::string& why) const {
    throw std::invalid_argument("topology \"" + std::string(text_) + "\" at " + std::to_string(pos_) + ": " + why);
  }

  std::string_view text_;
  std::size_t pos_ = 0;
  int devices_ = 0;
};

inline char LowerAscii(char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); }

inline bool EqualIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return LowerAscii(x) == LowerAscii(y); });
}

}  // namespace fake_tree_detail

// Throws std::invalid_argument on a malformed notation.
inline FakeTopology ParseTopology(std::string_view notation) {
  return fake_tree_detail::NotationParser(notation).parse();
}

struct StringRequest {
  std::string hub;
  int port = 0;
  std::uint8_t index = 0;
  std::uint16_t language = 0;
};

class FakeDeviceTree final : public platform::devices::DeviceTree {
 public:
  explicit FakeDeviceTree(FakeTopology topology) : topology_(std::move(topology)) {}

  std::vector<platform::devices::UsbDisk> listUsbDisks() override {
    const int inFlight = ++listingsInFlight_;
    int seen = maxListingsInFlight_.load();
    while (inFlight > seen && !maxListingsInFlight_.compare_exchange_weak(seen, inFlight)) {
    }
    // Gives another caller the chance to overlap, were the listing not serialised.
    for (int i = 0; i < 50; ++i) std::this_thread::yield();
    std::vector<platform::devices::UsbDisk> disks;
    {
      std::lock_guard lock(mutex_);
      disks = topology_.disks;
    }
    --listingsInFlight_;
    return disks;
  }

  std::optional<platform::devices::DeviceNumber> deviceNumber(const std::string& devicePath) override {
    std::lock_guard lock(mutex_);
    const auto found = topology_.deviceNumbers.find(devicePath);
    if (found == topology_.deviceNumbers.end()) return std::nullopt;
    return found->second;
  }

  std::vector<platform::devices::HubInterface> listHubInterfaces() override {
    std::lock_guard lock(mutex_);
    std::vector<platform::devices::HubInterface> list;
    for (const FakeHubInterface& entry : topology_.interfaces) list.push_back({entry.hub->name, entry.rootHub});
    return list;
  }

  std::unique_ptr<platform::devices::Hub> openHub(const std::string& pathOrName) override {
    std::lock_guard lock(mutex_);
    openAttempts_.push_back(pathOrName);
    const FakeHub* found = nullptr;
    topology_.forEachHub([&](const FakeHub& hub) {
      if (hub.name == pathOrName) found = &hub;
    });
    if (!found || !found->opens) return nullptr;
    return std::make_unique<OpenHub>(*this, *found);
  }

  std::optional<std::string> findDeviceIdByDriverKey(const std::string& driverKey) override {
    std::lock_guard lock(mutex_);
    std::optional<std::string> id;
    topology_.forEachHub([&](FakeHub& hub) {
      for (const FakePort& port : hub.ports) {
        if (port.device && port.device->nodeFound &&
            fake_tree_detail::EqualIgnoringCase(port.device->driverKey, driverKey)) {
          id = port.device->instanceId;
        }
      }
    });
    return id;
  }

  std::unique_ptr<platform::devices::Subscription> subscribe(
      std::function<void(const platform::devices::DeviceEvent&)>) override {
    return std::make_unique<platform::devices::Subscription>();
  }

  std::vector<platform::devices::DeviceTree::DiskInterface> listDiskInterfaces() override {
    std::lock_guard lock(mutex_);
    return topology_.diskInterfaces;
  }

  bool rescan() override {
    std::lock_guard lock(mutex_);
    ++rescans_;
    return topology_.rescanSucceeds;
  }

  // What the next listing gives, as if disks had come or gone.
  void setDiskInterfaces(std::vector<platform::devices::DeviceTree::DiskInterface> interfaces) {
    std::lock_guard lock(mutex_);
    topology_.diskInterfaces = std::move(interfaces);
  }

  // What the code under test asked.
  int rescans() const {
    std::lock_guard lock(mutex_);
    return rescans_;
  }
  std::vector<std::string> openAttempts() const {
    std::lock_guard lock(mutex_);
    return openAttempts_;
  }
  std::vector<StringRequest> stringRequests() const {
    std::lock_guard lock(mutex_);
    return stringRequests_;
  }
  int maxConcurrentDiskListings() const { return maxListingsInFlight_; }

 private:
  class OpenHub final : public platform::devices::Hub {
   public:
    OpenHub(FakeDeviceTree& tree, const FakeHub& hub) : tree_(tree), hub_(hub) {}

    std::optional<int> portCount() override {
      if (hub_.nodeInfoFails) return std::nullopt;
      return static_cast<int>(hub_.ports.size());
    }
    std::optional<platform::devices::ConnectionInfo> connectionInfo(int port) override {
      const FakePort* p = at(port);
      if (p == nullptr || p->connectionInfoFails) return std::nullopt;
      platform::devices::ConnectionInfo info;
      info.status = p->status;
      info.isHub = p->hub != nullptr;
      if (p->device) {
        info.descriptor.idVendor = p->device->vendorId;
        info.descriptor.idProduct = p->device->productId;
        info.descriptor.iSerialNumber = p->device->serials.empty() ? 0 : 3;
      } else if (p->hub) {
        info.descriptor.deviceClass = 0x09;
      }
      return info;
    }
    std::optional<std::string> connectionName(int port) override {
      const FakePort* p = at(port);
      if (p == nullptr || !p->hub) return std::nullopt;
      return p->hub->name;
    }
    std::optional<std::string> driverKey(int port) override {
      const FakePort* p = at(port);
      if (p == nullptr || !p->device || p->device->driverKey.empty()) return std::nullopt;
      return p->device->driverKey;
    }
    std::optional<std::string> stringDescriptor(int port, std::uint8_t index, std::uint16_t language) override {
      {
        std::lock_guard lock(tree_.mutex_);
        tree_.stringRequests_.push_back({hub_.name, port, index, language});
      }
      const FakePort* p = at(port);
      if (p == nullptr || !p->device || index != 3 || p->device->languages.empty()) return std::nullopt;
      const std::uint16_t wanted = language == 0 ? p->device->languages.front() : language;
      const auto found = p->device->serials.find(wanted);
      if (found == p->device->serials.end()) return std::nullopt;
      return found->second;
    }
    std::optional<std::vector<std::uint8_t>> configDescriptor(int port) override {
      const FakePort* p = at(port);
      if (p == nullptr || !p->device) return std::nullopt;
      return std::vector<std::uint8_t>{0x09, 0x02, 0x20, 0x00, 0x01, 0x01, 0x00, 0x80, 0x32};
    }

   private:
    const FakePort* at(int port) const {
      if (port < 1 || static_cast<std::size_t>(port) > hub_.ports.size()) return nullptr;
      return &hub_.ports[static_cast<std::size_t>(port - 1)];
    }

    FakeDeviceTree& tree_;
    const FakeHub& hub_;
  };

  mutable std::mutex mutex_;
  FakeTopology topology_;
  std::vector<std::string> openAttempts_;
  std::vector<StringRequest> stringRequests_;
  int rescans_ = 0;
  std::atomic<int> listingsInFlight_{0};
  std::atomic<int> maxListingsInFlight_{0};
};

// Installs a fake tree for its lifetime, then puts the previous one back.
class ScopedFakeDeviceTree {
 public:
  explicit ScopedFakeDeviceTree(FakeTopology topology)
      : tree_(std::make_shared<FakeDeviceTree>(std::move(topology))),
        previous_(platform::devices::currentDeviceTree()) {
    platform::devices::installDeviceTree(tree_);
  }
  ~ScopedFakeDeviceTree() { platform::devices::installDeviceTree(previous_); }
  ScopedFakeDeviceTree(const ScopedFakeDeviceTree&) = delete;
  ScopedFakeDeviceTree& operator=(const ScopedFakeDeviceTree&) = delete;

  FakeDeviceTree& operator*() { return *tree_; }
  FakeDeviceTree* operator->() { return tree_.get(); }

 private:
  std::shared_ptr<FakeDeviceTree> tree_;
  std::shared_ptr<platform::devices::DeviceTree> previous_;
};

}  // namespace testsupport
