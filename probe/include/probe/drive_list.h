#pragma once
// Blockprobe's drive list: the disks that carry the maker's controller, each
// bound to one device slot of the device library. An entry's position in the
// list is the slot that every page, save and command passes to the library.
//
// The list walks the disk interfaces of the device tree in its order and
// takes each one's bus from the tree (never from the text of its path);
// disks on other buses are passed over. IDE/SATA and SCSI disks are
// listed when they are non-rotating and answer the controller's firmware
// signature, by their IDENTIFY data; USB and SBP2 disks when their bridge is
// known: behind a SATA bridge by IDENTIFY data, otherwise by INQUIRY. Only
// IDE/SATA entries carry the volume tag.
//
// Each listed slot gets the path as listed, its transport flags and its own
// tunnel opcode set (1 behind a bridge of chip type 1, else 2). The device
// library's slot table must be set up for Blockprobe first
// (devlib::InitPortIoTable). Main thread only.

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "platform/devices.h"

namespace blockprobe {

inline constexpr int kDeviceSlots = 12;
inline constexpr int kInterfacePathLimit = 80;  // interfaces looked at in one walk

inline constexpr std::uint8_t kBusTypeIdeSata = 1;
inline constexpr std::uint8_t kBusTypeScsi = 2;
inline constexpr std::uint8_t kBusTypeUsb = 3;  // USB and SBP2

struct DeviceEntry {
  std::string path;  // as the device tree listed it
  // IDE/SATA and SCSI: the whole IDENTIFY block with its serial, firmware and
  // model fixed (FixAtaString). Behind a SATA bridge: only the serial and
  // model areas, byte pairs swapped, not trimmed.
  std::array<std::uint8_t, 512> identify{};
  std::uint8_t busType = 0;  // kBusType...; 0 for a cleared entry
  // INQUIRY bytes 8-15 and 16-31 with a NUL after them; USB drives known by INQUIRY only.
  std::array<char, 9> inquiryVendor{};
  std::array<char, 17> inquiryProduct{};
  std::string volumeTag;  // empty: no mounted volume
};

// The slot's entry; a cleared entry for slots outside the list.
const DeviceEntry& DeviceEntryOf(int slot);

// Rebuilds the list from the device tree (the one in force, or `tree`) and
// returns the entry texts, position = slot. Entries and slots beyond the new
// list are cleared; with no disk interface at all the list is empty. At most
// kInterfacePathLimit interfaces are looked at and kDeviceSlots drives listed.
std::vector<std::string> GetTolvaneDevice();
std::vector<std::string> GetTolvaneDevice(platform::devices::DeviceTree& tree);

// True when the slot's drive is non-rotating (IDENTIFY word 217 is 1) and
// answers the firmware signature E5 'K' 'W' in vendor mode. Every miss is
// counted and followed by 200 ms: the test gives up at the sixth wrong
// signature, or at a refused vendor-mode switch or failed signature read once
// two misses are counted. A stop request on the slot ends it (false).
bool IsOwnController(int slot);

// IDENTIFY DEVICE through SmartIoctl into the first 512 bytes of `buffer`,
// then its serial, firmware and model texts fixed. Bus types 1 and 2 only;
// false for another bus type, a buffer under 512 bytes or a failed command.
bool IdentifyDevice(const std::string& path, int driveNumber, int busType, std::span<std::uint8_t> buffer);

// Sends the ATA register block (features, count, LBA low, mid, high,
// drive/head, command, reserved) to the drive at `path`, device A0h. Data-in:
// 512 bytes into `buffer`; otherwise no data, and with features DAh the
// returned registers come back into `registers`. 0 success; -1 when the
// device cannot be opened, the command fails or the drive answers with ERR.
// The path addresses the drive; `driveNumber` has no part in it on Linux.
int SmartIoctl(const std::string& path, int driveNumber, std::array<std::uint8_t, 8>& registers,
               std::span<std::uint8_t> buffer, bool dataIn);

// Asks the device tree in force to look for disks again: 1, or 0 when it could not.
int RescanDevices();

}  // namespace blockprobe
