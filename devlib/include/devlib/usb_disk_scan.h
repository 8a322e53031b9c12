#pragma once
// The USB disk scan and the bridge chip identification: which USB
// mass-storage disks are attached and which USB device owns each, so that the
// station can match disks to hub ports; and, once a drive is matched, which
// USB-to-SATA bridge (or the controller's own USB interface) carries it, which
// decides the port's transport path.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "platform/devices.h"

namespace devlib {

// One USB mass-storage disk found by the scan.
struct UsbDiskRecord {
  std::string parentId{};    // instance id of the USB device that owns the disk, lower case; empty when unknown
  std::string devicePath{};  // the disk's device path, as the port's I/O record takes it
  std::uint32_t diskNode = 0;
  std::uint32_t parentNode = 0;
  bool used = false;  // set by the port matching when a port has taken the disk
};

// The station's disk list holds this many records.
inline constexpr std::size_t kUsbDiskListCapacity = 256;

// Clears every record, then fills them in the order the device tree (the one
// in force, or `tree`) lists the disks until the records are full. Returns
// the number kept; 0 when no disk is found. Scans are serialised process-wide.
int ScanUsbDisks(std::span<UsbDiskRecord> records);
int ScanUsbDisks(platform::devices::DeviceTree& tree, std::span<UsbDiskRecord> records);

// The first record of `disks` not yet used whose owner is the USB device with
// this instance id (the same id in any letter case, never a part of it). An
// empty id matches nothing, so a disk whose owner is unknown is never taken.
std::optional<std::size_t> FindUnusedDiskOfDevice(std::span<const UsbDiskRecord> disks,
                                                  std::string_view deviceInstanceId);

// Chip types of the bridges and of the controller's own USB interface.
inline constexpr int kChipTypeUnsupported = 0;
inline constexpr int kChipTypeOwnUsb = 10;
// What every chip type other than the own interface becomes when the bridge
// check is switched off.
inline constexpr int kChipTypeUncheckedBridge = 7;

struct BridgeChipEntry {
  std::array<std::uint8_t, 4> key{};  // INQUIRY bytes 36..39
  int chipType = 0;
};

namespace detail {
constexpr BridgeChipEntry Key(const char (&text)[5], int chipType) {
  return {{static_cast<std::uint8_t>(text[0]), static_cast<std::uint8_t>(text[1]), static_cast<std::uint8_t>(text[2]),
           static_cast<std::uint8_t>(text[3])},
          chipType};
}
}  // namespace detail

// Compared in this order; the first match wins, no match is type 0.
inline constexpr std::array<BridgeChipEntry, 15> BridgeChipTable{{
    detail::Key("q201", 1),
    detail::Key("q202", 9),
    detail::Key("q203", 4),
    detail::Key("q204", 7),
    detail::Key("q205", 8),
    detail::Key("q206", 11),
    detail::Key("q207", 12),
    detail::Key("q208", 12),
    detail::Key("q209", 13),
    {{0x05, 0xE3, 0x07, 0x18}, 14},
    detail::Key("q210", kChipTypeOwnUsb),
    detail::Key("FA3X", kChipTypeOwnUsb),
    detail::Key("ice ", kChipTypeOwnUsb),
    detail::Key("qa4x", kChipTypeOwnUsb),
    detail::Key("FA4X", kChipTypeOwnUsb),
}};

// Reads the drive's INQUIRY data on the port and looks bytes 36..39 up in
// BridgeChipTable. A failed INQUIRY counts as all zeros (type 0). With the
// bridge check off every type but the own interface (no match included)
// becomes kChipTypeUncheckedBridge. The port must be on the USB path, as the
// port matching leaves it. The first form takes the switch from the
// process-wide EnNoCheckBridge setting.
int GetBridgeChipType(int port);
int GetBridgeChipType(int port, bool noCheckBridge);

// True for the chip types that reach the drive through a USB-to-SATA bridge.
bool IsSataBridgeType(int chipType);

// Sets the port's transport for its chip type: a SATA bridge tunnels the
// vendor blocks (usbPath 0), the own interface takes them directly
// (usbPath 1); neither goes through native ATA. The bridges of types 1 and 14
// cannot carry UDMA, so their port uses opcode set 1 from now on. Any other
// type leaves the port as it is. False when the port does not exist or its
// worker is alive (the transport cannot change under it).
bool ApplyBridgePath(int port, int chipType);

// The disk's device type, number and partition (0 for the whole disk), or
// nothing when the device tree does not know the path.
std::optional<platform::devices::DeviceNumber> GetStorageDeviceNumber(const std::string& devicePath);
std::optional<platform::devices::DeviceNumber> GetStorageDeviceNumber(platform::devices::DeviceTree& tree,
                                                                      const std::string& devicePath);

}  // namespace devlib
