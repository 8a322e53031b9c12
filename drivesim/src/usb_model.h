#pragma once
// A USB topology resolved against the line's drives: every hub and device
// with the texts, descriptors and node numbers the host sees.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "drivesim/drive.h"
#include "drivesim/usb_topology.h"

namespace drivesim::detail {

// A hub or a device as the host sees it over USB.
struct UsbFunction {
  platform::devices::DeviceDescriptor descriptor{};
  std::vector<std::uint16_t> languages{};
  std::map<std::uint8_t, std::string> strings{};  // by descriptor index, UTF-8
  std::vector<std::uint8_t> configuration{};      // the whole configuration descriptor
  std::string instanceId{};
  std::string driverKey{};
  std::uint32_t node = 0;
};

struct ModelPort {
  int hub = -1;     // the hub plugged in here (index into UsbModel::hubs), or -1
  int device = -1;  // the device plugged in here (index into UsbModel::devices), or -1
  std::optional<platform::devices::PortStatus> status{};
  bool connectionInfoFails = false;
};

struct ModelHub {
  std::string name{};
  int parent = -1;  // -1: a hub interface of the host
  int parentPort = 0;
  bool rootHub = false;
  std::string path{};            // the interface path
  std::string connectionName{};  // what the parent's port reports; empty on a hub interface of the host
  bool nodeInfoFails = false;
  bool openFails = false;
  UsbFunction usb{};
  std::vector<ModelPort> ports{};  // port n at [n - 1]
};

struct ModelDevice {
  std::size_t portSpec = 0;  // index into UsbTopology::ports
  int hub = 0;
  int port = 0;
  UsbFunction usb{};
  std::string drivePath{};  // empty: not a drive
  std::string diskId{};
  std::uint32_t diskNode = 0;
  bool diskWithoutParent = false;
};

struct UsbModel {
  std::vector<ModelHub> hubs;        // as described: a hub after the one it is plugged into
  std::vector<ModelDevice> devices;  // in the order their ports were described
};

using DriveLookup = std::function<const DriveConfig*(std::string_view path)>;

// The description must have passed check() with the same lookup.
UsbModel resolve(const UsbTopology& topology, const DriveLookup& driveAt);

// The device of a drive that came back with another identity (after booting
// a downloaded firmware): its IDs, strings and instance id.
void reportIdentity(UsbModel& model, std::size_t deviceIndex, const UsbIdentity& identity);

// Lower case, for the texts the host compares without regard to case.
std::string lowered(std::string_view text);

}  // namespace drivesim::detail
