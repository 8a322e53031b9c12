#include "devlib/usb_disk_scan.h"

#include <algorithm>
#include <cctype>
#include <mutex>
#include <vector>

#include "devlib/flash_params.h"
#include "devlib/port_io.h"
#include "devlib/standard_commands.h"
#include "devlib/vendor_protocol.h"

namespace devlib {
namespace {

// "KWUSBAcess": the scans of the main thread and of a run's start must not
// interleave. Only this process scans, so an in-process lock serves.
std::mutex& usbAccessLock() {
  static std::mutex lock;
  return lock;
}

char lowerAscii(char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); }

std::string lowerCased(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), lowerAscii);
  return text;
}

bool equalIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return lowerAscii(x) == lowerAscii(y); });
}

int lookUpChipType(std::span<const std::uint8_t> inquiry) {
  const auto key = inquiry.subspan(36, 4);
  for (const BridgeChipEntry& entry : BridgeChipTable) {
    if (std::equal(entry.key.begin(), entry.key.end(), key.begin())) return entry.chipType;
  }
  return kChipTypeUnsupported;
}

}  // namespace

int ScanUsbDisks(std::span<UsbDiskRecord> records) {
  return ScanUsbDisks(*platform::devices::currentDeviceTree(), records);
}

int ScanUsbDisks(platform::devices::DeviceTree& tree, std::span<UsbDiskRecord> records) {
  std::lock_guard lock(usbAccessLock());
  std::fill(records.begin(), records.end(), UsbDiskRecord{});
  const std::vector<platform::devices::UsbDisk> disks = tree.listUsbDisks();
  const std::size_t kept = std::min(records.size(), disks.size());
  for (std::size_t i = 0; i < kept; ++i) {
    records[i].parentId = lowerCased(disks[i].parentUsbDeviceId);
    records[i].devicePath = disks[i].devicePath;
    records[i].diskNode = disks[i].diskNode;
    records[i].parentNode = disks[i].parentNode;
  }
  return static_cast<int>(kept);
}

std::optional<std::size_t> FindUnusedDiskOfDevice(std::span<const UsbDiskRecord> disks,
                                                  std::string_view deviceInstanceId) {
  if (deviceInstanceId.empty()) return std::nullopt;
  for (std::size_t i = 0; i < disks.size(); ++i) {
    if (!disks[i].used && equalIgnoringCase(disks[i].parentId, deviceInstanceId)) return i;
  }
  return std::nullopt;
}

int GetBridgeChipType(int port) { return GetBridgeChipType(port, CurrentFlashParams()->enNoCheckBridge != 0); }

int GetBridgeChipType(int port, bool noCheckBridge) {
  std::array<std::uint8_t, kInquiryLength> inquiry{};
  // A failed INQUIRY may leave part of a reply behind; it must not match a key.
  if (InquiryDevice(port, inquiry) != kCommandOk) inquiry.fill(0);
  const int chipType = lookUpChipType(inquiry);
  if (noCheckBridge && chipType != kChipTypeOwnUsb) return kChipTypeUncheckedBridge;
  return chipType;
}

bool IsSataBridgeType(int chipType) {
  switch (chipType) {
    case 1:
    case 4:
    case 7:
    case 8:
    case 9:
    case 11:
    case 12:
    case 13:
    case 14: return true;
    default: return false;
  }
}

bool ApplyBridgePath(int port, int chipType) {
  PortIoRecord* record = PortIo(port);
  if (record == nullptr) return false;
  if (IsSataBridgeType(chipType)) {
    if (!SetPortTransportFlags(port, 0, 0)) return false;
    if (chipType == 1 || chipType == 14) {
      record->forceOpcodeSet1 = true;
      record->opcodeSet = 1;
    }
  } else if (chipType == kChipTypeOwnUsb) {
    return SetPortTransportFlags(port, 1, 0);
  }
  return true;
}

std::optional<platform::devices::DeviceNumber> GetStorageDeviceNumber(const std::string& devicePath) {
  return GetStorageDeviceNumber(*platform::devices::currentDeviceTree(), devicePath);
}

std::optional<platform::devices::DeviceNumber> GetStorageDeviceNumber(platform::devices::DeviceTree& tree,
                                                                      const std::string& devicePath) {
  return tree.deviceNumber(devicePath);
}

}  // namespace devlib
