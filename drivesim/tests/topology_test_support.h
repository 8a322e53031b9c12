#pragma once
// Drives for USB trees, a walk over a device tree's hubs as the host does it,
// and a subscriber that keeps the notices it hears.

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "drivesim/config.h"
#include "platform/devices.h"

namespace drivesim::test {

namespace pd = platform::devices;

inline std::string usbDiskPath(int n) {
  char serial[16];
  std::snprintf(serial, sizeof serial, "tv%010d", n);
  return std::string("\\\\?\\usbstor#disk&ven_tolvane&prod_kwfa4x&rev_1.00#") + serial +
         "&0#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}";
}

inline DriveConfig usbDrive(int n) {
  DriveConfig config = DriveConfig::ownUsb(usbDiskPath(n));
  char serial[16];
  std::snprintf(serial, sizeof serial, "TV%010d", n);
  config.serial = serial;
  return config;
}

// One port as the walk meets it.
struct VisitedPort {
  std::string hubPath;
  int port = 0;
  pd::ConnectionInfo info{};
  std::string instanceId{};  // through the port's driver key; empty when there is none
};

// Every port below the root hubs, depth first, opening nested hubs by their
// connection name.
inline std::vector<VisitedPort> walkRootHubs(pd::DeviceTree& tree) {
  std::vector<VisitedPort> visited;
  const std::function<void(const std::string&, pd::Hub&)> walkHub = [&](const std::string& path, pd::Hub& hub) {
    const auto count = hub.portCount();
    if (!count) return;
    for (int port = 1; port <= *count; ++port) {
      const auto info = hub.connectionInfo(port);
      if (!info) continue;
      VisitedPort seen{path, port, *info};
      if (const auto key = hub.driverKey(port)) seen.instanceId = tree.findDeviceIdByDriverKey(*key).value_or("");
      visited.push_back(seen);
      if (!info->isHub) continue;
      const auto name = hub.connectionName(port);
      if (!name) continue;
      if (const auto child = tree.openHub("\\\\.\\" + *name)) walkHub(*name, *child);
    }
  };
  for (const pd::HubInterface& root : tree.listHubInterfaces()) {
    if (!root.rootHub) continue;
    if (const auto hub = tree.openHub(root.path)) walkHub(root.path, *hub);
  }
  return visited;
}

// Keeps every notice; the tree delivers on a thread of its own.
class EventRecorder {
 public:
  std::function<void(const pd::DeviceEvent&)> callback() {
    return [this](const pd::DeviceEvent& event) {
      std::lock_guard lock(mutex_);
      events_.push_back(event);
    };
  }
  std::vector<pd::DeviceEvent> take() {
    std::lock_guard lock(mutex_);
    return std::exchange(events_, {});
  }

 private:
  std::mutex mutex_;
  std::vector<pd::DeviceEvent> events_;
};

inline std::string describe(const pd::DeviceEvent& e) {
  return std::string(e.kind == pd::EventKind::Arrival ? "+" : "-") + (e.isDisk ? "disk " : "usb ") + e.deviceId;
}

inline std::vector<std::string> describe(const std::vector<pd::DeviceEvent>& events) {
  std::vector<std::string> texts;
  for (const auto& e : events) texts.push_back(describe(e));
  return texts;
}

}  // namespace drivesim::test
