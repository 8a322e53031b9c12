#include "devlib/hub_walk.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "devlib/debug_print.h"

namespace devlib {
namespace {

using platform::devices::ConnectionInfo;
using platform::devices::DeviceTree;
using platform::devices::Hub;
using platform::devices::PortStatus;

HubPortTable& hubPortTable() {
  static HubPortTable table;
  return table;
}

const char* StatusName(PortStatus status) {
  switch (status) {
    case PortStatus::NoDevice: return "No device connected";
    case PortStatus::DeviceConnected: return "Device connected";
    case PortStatus::EnumerationFailed: return "Device FAILED enumeration";
    case PortStatus::GeneralFailure: return "Device general FAILURE";
    case PortStatus::OverCurrent: return "Device caused overcurrent";
    case PortStatus::NotEnoughPower: return "Not enough power for device";
  }
  return "Unknown connection status";
}

// "+1" for every hub level below the root hub.
std::string LevelMarks(int depth) {
  std::string marks;
  for (int level = 0; level < depth; ++level) marks += "+1";
  return marks;
}

// A port whose device is recorded once its hub's child hubs are numbered.
struct DevicePort {
  int port = 0;
  ConnectionInfo info{};
};

class PortWalk {
 public:
  PortWalk(DeviceTree& tree, HubPortTable& table) : tree_(tree), table_(table) {}

  // A root hub that cannot be opened or read is traced; its ports are not counted.
  void WalkRootHub(const std::string& path) {
    const std::unique_ptr<Hub> hub = tree_.openHub(path);
    if (!hub) {
      DebugPrint(" *** ERROR *** Root hub %s could not be opened\n", path.c_str());
      return;
    }
    const std::optional<int> portCount = hub->portCount();
    if (!portCount || *portCount < 0) {
      DebugPrint(" *** ERROR *** Node information of root hub %s not returned\n", path.c_str());
      return;
    }
    GetPortData(*hub, path, *portCount, 0);
    base_ += *portCount;
  }

  int total() const { return total_; }

 private:
  // One hub's ports, recursing into the hubs met on them.
  void GetPortData(Hub& hub, const std::string& hubPath, int portCount, int depth) {
    total_ += portCount;
    std::vector<DevicePort> devices;
    for (int port = 1; port <= portCount; ++port) {
      const std::string line = LevelMarks(depth) + "        Port[" + std::to_string(port) + "] = ";
      const std::optional<ConnectionInfo> info = hub.connectionInfo(port);
      if (!info) {
        // Read as a port with nothing connected; the walk goes on.
        DebugPrint(" *** ERROR *** Node connection information not returned\n");
        DebugPrint("%s%s\n", line.c_str(), StatusName(PortStatus::NoDevice));
        continue;
      }
      if (info->status != PortStatus::DeviceConnected) {
        DebugPrint("%s%s\n", line.c_str(), StatusName(info->status));
        continue;
      }
      if (info->isHub) {
        DebugPrint("%sHub connected\n", line.c_str());
        walkChildHub(hub, port, depth);
      } else {
        DebugPrint("%sI/O device connected\n", line.c_str());
        devices.push_back({port, *info});
      }
    }
    // The child hubs have raised the base: the own ports come after theirs.
    for (const DevicePort& device : devices) recordDevice(hub, hubPath, device, base_ + device.port);
  }

  void walkChildHub(Hub& parent, int port, int depth) {
    const std::optional<std::string> name = parent.connectionName(port);
    if (!name) {
      DebugPrint(" *** ERROR *** Connection name of the hub on port %d not returned\n", port);
      return;
    }
    const std::unique_ptr<Hub> child = tree_.openHub(*name);
    if (!child) {
      DebugPrint(" *** ERROR *** Hub %s could not be opened\n", name->c_str());
      return;
    }
    const std::optional<int> portCount = child->portCount();
    if (!portCount || *portCount < 0) {
      DebugPrint(" *** ERROR *** Node information of hub %s not returned\n", name->c_str());
      return;
    }
    GetPortData(*child, *name, *portCount, depth + 1);
    base_ += *portCount;
  }

  void recordDevice(Hub& hub, const std::string& hubPath, const DevicePort& device, int number) {
    HubPortInfo info;
    info.present = true;
    info.hubPath = hubPath;
    if (const std::optional<std::string> key = hub.driverKey(device.port)) {
      if (const std::optional<std::string> id = tree_.findDeviceIdByDriverKey(*key)) {
        info.driverKeyName = *key;
        info.deviceInstanceId = *id;
      }
    }
    const platform::devices::DeviceDescriptor& descriptor = device.info.descriptor;
    info.vendorId = descriptor.idVendor;
    info.productId = descriptor.idProduct;
    DebugPrint("Device Descriptor:\n");
    DebugPrint("bDeviceClass:       0x%02X\n", descriptor.deviceClass);
    DebugPrint("idVendor:           0x%04X\n", descriptor.idVendor);
    DebugPrint("idProduct:          0x%04X\n", descriptor.idProduct);
    traceString(hub, device.port, "iManufacturer:      ", descriptor.iManufacturer);
    traceString(hub, device.port, "iProduct:           ", descriptor.iProduct);
    info.serial = traceString(hub, device.port, "iSerialNumber:      ", descriptor.iSerialNumber);
    traceConfiguration(hub, device.port);

    if (number >= 1 && static_cast<std::size_t>(number) <= kHubPortSlots) {
      table_[static_cast<std::size_t>(number - 1)] = std::move(info);
    } else {
      DebugPrint(" *** ERROR *** Port %d lies beyond the %zu port slots, not recorded\n", number, kHubPortSlots);
    }
  }

  // Reads string descriptor `index` in the device's first language (language
  // 0 asks for it) and traces it; empty when the index is 0 or the read fails.
  std::string traceString(Hub& hub, int port, const char* label, std::uint8_t index) {
    DebugPrint("%s0x%02X\n", label, index);
    if (index == 0) return {};
    const std::optional<std::string> text = hub.stringDescriptor(port, index, 0);
    if (!text) {
      DebugPrint(" *** ERROR *** String descriptor 0x%02X not returned\n", index);
      return {};
    }
    DebugPrint("     \"%s\"\n", text->c_str());
    return *text;
  }

  void traceConfiguration(Hub& hub, int port) {
    const std::optional<std::vector<std::uint8_t>> descriptor = hub.configDescriptor(port);
    if (!descriptor) {
      DebugPrint(" *** ERROR *** Configuration descriptor not returned\n");
      return;
    }
    DebugPrint("Configuration Descriptor: %zu bytes\n", descriptor->size());
  }

  DeviceTree& tree_;
  HubPortTable& table_;
  int base_ = 0;   // added to a hub's own port numbers
  int total_ = 0;  // the port counts of every hub walked
};

}  // namespace

int EnumerateRootHubs() { return EnumerateRootHubs(*platform::devices::currentDeviceTree()); }

int EnumerateRootHubs(DeviceTree& tree) {
  HubPortTable& table = hubPortTable();
  table.fill(HubPortInfo{});
  PortWalk walk(tree, table);
  for (const platform::devices::HubInterface& hub : tree.listHubInterfaces()) {
    // Only root hubs start a walk; the hubs below them are reached through their ports.
    if (hub.rootHub) walk.WalkRootHub(hub.path);
  }
  return walk.total();
}

const HubPortTable& LastHubPortTable() { return hubPortTable(); }

}  // namespace devlib
