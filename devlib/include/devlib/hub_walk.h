#pragma once
// The USB hub port walk: visits the root hubs and every hub below them,
// numbers all their downstream ports in one sequence from 1 and records, for
// each port with a device (not a hub) attached, what is there. The station's
// port panels are these ports; it matches the disks of the USB disk scan to
// them by the device's instance id.
//
// Each hub is numbered in two passes: first its child hubs, each raising the
// base by its port count, then its own device ports as base + port. So a
// nested hub never takes a number that one of its parent's ports already
// holds, and the total is the sum of the port counts of all hubs walked.
//
// Runs on the main thread only.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/devices.h"

namespace devlib {

// Port numbers 1 to 50 have a slot; the total counts every port walked.
inline constexpr std::size_t kHubPortSlots = 50;

// One hub port with a USB device attached. Texts are kept whole.
struct HubPortInfo {
  bool present = false;  // a USB device (not a hub) is attached
  std::uint16_t vendorId = 0;
  std::uint16_t productId = 0;
  std::string serial{};            // the serial number string; empty when the device has none
  std::string hubPath{};           // the path or connection name the owning hub opens under
  std::string driverKeyName{};     // set only when the device's node was found
  std::string deviceInstanceId{};  // likewise

  bool operator==(const HubPortInfo&) const = default;
};

using HubPortTable = std::array<HubPortInfo, kHubPortSlots>;

// Clears the table, walks the root hubs of the device tree in force (or of
// `tree`) and returns the total number of ports of every hub walked. Slot
// n - 1 holds port number n. A hub that cannot
// be opened or read is traced and skipped, and its ports are not counted.
int EnumerateRootHubs();
int EnumerateRootHubs(platform::devices::DeviceTree& tree);

// The ports of the last walk.
const HubPortTable& LastHubPortTable();

}  // namespace devlib
