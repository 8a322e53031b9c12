#include "probe/drive_list.h"

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <optional>
#include <string_view>

#include "devlib/debug_print.h"
#include "devlib/drive_state.h"
#include "devlib/port_io.h"
#include "devlib/standard_commands.h"
#include "devlib/usb_disk_scan.h"
#include "devlib/vendor_protocol.h"
#include "platform/clock.h"
#include "platform/storage.h"
#include "probe/info_text.h"

namespace blockprobe {
namespace {

namespace pd = platform::devices;
namespace ps = platform::storage;

constexpr std::size_t kSectorBytes = 512;
constexpr std::size_t kRotationRateByte = 2 * 217;  // low byte of IDENTIFY word 217
constexpr std::uint8_t kNonRotatingMedium = 1;
constexpr std::uint64_t kSignatureRetryMs = 200;
constexpr int kWrongSignatureAttempts = 5;  // further attempts after a wrong signature
constexpr int kFailedReadAttempts = 1;      // further attempts after a failed switch or read
constexpr std::uint8_t kSignature[] = {0xE5, 'K', 'W'};
constexpr std::uint8_t kIdentifyCommand = 0xEC;
constexpr std::uint8_t kSmartReturnStatus = 0xDA;
constexpr std::uint8_t kDriveHead = 0xA0;
constexpr std::uint32_t kSmartTimeoutSeconds = 10;
constexpr std::uint8_t kOpcodeSetForTunnel = 2;
constexpr std::uint8_t kOpcodeSetWithoutUdma = 1;
constexpr int kPioOnlyBridgeChipType = 1;
constexpr std::size_t kInquiryVendorOffset = 8;
constexpr std::size_t kInquiryProductOffset = 16;

std::array<DeviceEntry, kDeviceSlots> entries;
const DeviceEntry kClearedEntry{};

enum class Bus { IdeSata, Scsi, Usb, Sbp2 };

// The bus as the device tree knows it, not as a path's text spells it.
std::optional<Bus> BusOf(pd::DeviceTree::BusKind kind) {
  switch (kind) {
    case pd::DeviceTree::BusKind::Ide: return Bus::IdeSata;
    case pd::DeviceTree::BusKind::Scsi: return Bus::Scsi;
    case pd::DeviceTree::BusKind::Usb: return Bus::Usb;
    case pd::DeviceTree::BusKind::Sbp2: return Bus::Sbp2;
    case pd::DeviceTree::BusKind::Other: break;
  }
  return std::nullopt;
}

// The slot's own set is what its commands use; the process-wide one follows
// the last drive looked at.
void UseOpcodeSet(devlib::PortIoRecord& slot, std::uint8_t opcodeSet) {
  devlib::SetVendorOpcodeSet(opcodeSet);
  slot.opcodeSet = opcodeSet;
}

void PointSlot(int index, const std::string& path, bool usbPath, bool nativeAta) {
  devlib::SetPortTransport(index, path, usbPath ? 1 : 0, nativeAta ? 1 : 0);
  UseOpcodeSet(*devlib::PortIo(index), kOpcodeSetForTunnel);
}

void ClearSlot(int index) {
  entries[static_cast<std::size_t>(index)] = DeviceEntry{};
  devlib::PortIoRecord* slot = devlib::PortIo(index);
  if (slot == nullptr) return;
  devlib::SetPortTransport(index, "", 0, 0);
  slot->opcodeSet = devlib::kStartOpcodeSet;
}

std::span<const std::uint8_t> FieldOf(const std::array<std::uint8_t, 512>& identify, AtaTextField field) {
  return std::span<const std::uint8_t>(identify).subspan(field.offset, field.length);
}

template <std::size_t N>
std::span<const std::uint8_t> BytesOf(const std::array<char, N>& text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), N - 1};
}

// IDE/SATA and SCSI: the controller test, then IDENTIFY through the ATA pass-through.
std::optional<std::string> ListAtaDrive(int index, const pd::DeviceTree::DiskInterface& disk, int driveNumber,
                                        Bus bus, DeviceEntry& entry) {
  const bool ide = bus == Bus::IdeSata;
  PointSlot(index, disk.openPath, false, ide);
  devlib::DebugPrint(ide ? "DEVICE_IDE" : "DEVICE_SCSI");
  if (!IsOwnController(index)) return std::nullopt;
  entry.busType = ide ? kBusTypeIdeSata : kBusTypeScsi;
  if (!IdentifyDevice(disk.openPath, driveNumber, entry.busType, entry.identify)) return std::nullopt;
  if (ide) entry.volumeTag = disk.volumeTag;
  return AtaEntryText(ide ? kBusTextIdeSata : kBusTextScsi, FieldOf(entry.identify, kAtaModelField),
                      FieldOf(entry.identify, kAtaSerialField), entry.volumeTag);
}

// USB and SBP2: the bridge decides between IDENTIFY through it and INQUIRY.
std::optional<std::string> ListUsbDrive(int index, const pd::DeviceTree::DiskInterface& disk, Bus bus,
                                        DeviceEntry& entry) {
  devlib::PortIoRecord& slot = *devlib::PortIo(index);
  PointSlot(index, disk.openPath, true, false);
  devlib::DebugPrint("DEVICE_USB");
  const int chipType = devlib::GetBridgeChipType(index);
  if (chipType == devlib::kChipTypeUnsupported) return std::nullopt;
  entry.busType = kBusTypeUsb;
  if (devlib::IsSataBridgeType(chipType)) {
    devlib::SetPortTransportFlags(index, 0, 0);
    if (chipType == kPioOnlyBridgeChipType) UseOpcodeSet(slot, kOpcodeSetWithoutUdma);
    std::array<std::uint8_t, kSectorBytes> identify{};
    if (!devlib::GetIdentifyData(index, identify, 1)) return std::nullopt;
    for (const AtaTextField field : {kAtaSerialField, kAtaModelField}) {
      std::copy_n(identify.begin() + static_cast<std::ptrdiff_t>(field.offset), field.length,
                  entry.identify.begin() + static_cast<std::ptrdiff_t>(field.offset));
      devlib::SwapBytePairs(std::span<std::uint8_t>(entry.identify).subspan(field.offset, field.length),
                            field.length);
    }
    return AtaEntryText(kBusTextUsbSata, FieldOf(entry.identify, kAtaModelField),
                        FieldOf(entry.identify, kAtaSerialField), entry.volumeTag);
  }
  std::array<std::uint8_t, devlib::kInquiryLength> inquiry{};
  if (devlib::InquiryDevice(index, inquiry) != devlib::kCommandOk) return std::nullopt;
  std::copy_n(inquiry.begin() + kInquiryVendorOffset, entry.inquiryVendor.size() - 1, entry.inquiryVendor.begin());
  std::copy_n(inquiry.begin() + kInquiryProductOffset, entry.inquiryProduct.size() - 1,
              entry.inquiryProduct.begin());
  return InquiryEntryText(bus == Bus::Sbp2 ? kBusTextSbp2 : kBusTextUsb, BytesOf(entry.inquiryVendor),
                          BytesOf(entry.inquiryProduct), entry.volumeTag);
}

// The disk interfaces of the tree in its order, the first kInterfacePathLimit
// of them.
std::vector<pd::DeviceTree::DiskInterface> EnumerateDiskInterfaces(pd::DeviceTree& tree) {
  std::vector<pd::DeviceTree::DiskInterface> disks = tree.listDiskInterfaces();
  if (disks.size() > static_cast<std::size_t>(kInterfacePathLimit)) {
    devlib::DebugPrint("%zu disk interfaces, only the first %d are looked at", disks.size(), kInterfacePathLimit);
    disks.resize(kInterfacePathLimit);
  }
  return disks;
}

}  // namespace

const DeviceEntry& DeviceEntryOf(int slot) {
  if (slot < 0 || slot >= kDeviceSlots) return kClearedEntry;
  return entries[static_cast<std::size_t>(slot)];
}

std::vector<std::string> GetTolvaneDevice() { return GetTolvaneDevice(*pd::currentDeviceTree()); }

std::vector<std::string> GetTolvaneDevice(pd::DeviceTree& tree) {
  const std::vector<pd::DeviceTree::DiskInterface> disks = EnumerateDiskInterfaces(tree);
  devlib::DebugPrint("nDevice = %d", static_cast<int>(disks.size()));

  const int slots = std::min(kDeviceSlots, devlib::PortIoCount());
  std::vector<std::string> texts;
  int listed = 0;
  for (std::size_t position = 0; position < disks.size(); ++position) {
    if (listed == slots) {
      devlib::DebugPrint("%d drives listed, the other disk interfaces are left out", listed);
      break;
    }
    const pd::DeviceTree::DiskInterface& disk = disks[position];
    const std::optional<Bus> bus = BusOf(disk.busKind);
    if (!bus) continue;
    DeviceEntry entry{};
    entry.path = disk.openPath;
    const std::optional<std::string> text =
        *bus == Bus::IdeSata || *bus == Bus::Scsi ? ListAtaDrive(listed, disk, static_cast<int>(position), *bus, entry)
                                                  : ListUsbDrive(listed, disk, *bus, entry);
    if (!text) continue;
    entries[static_cast<std::size_t>(listed)] = std::move(entry);
    texts.push_back(*text);
    ++listed;
  }
  for (int slot = listed; slot < kDeviceSlots; ++slot) ClearSlot(slot);
  return texts;
}

bool IsOwnController(int slot) {
  const std::shared_ptr<const devlib::PortTransport> transport = devlib::PortTransportOf(slot);
  if (transport == nullptr || transport->devicePath.empty()) return false;
  std::array<std::uint8_t, kSectorBytes> buffer{};
  if (!devlib::GetIdentifyData(slot, buffer, 1) || buffer[kRotationRateByte] != kNonRotatingMedium) return false;
  buffer[0] = 0;
  // One count for every kind of miss: a drive that keeps answering with a
  // wrong signature gets six tries, one whose switch or read fails two.
  int attempts = 0;
  for (;;) {
    const bool read = devlib::SwitchVendorMode(slot, true) && devlib::TunnelRead(slot, buffer, 1, devlib::kCommandSectorTag);
    if (read && std::equal(std::begin(kSignature), std::end(kSignature), buffer.begin())) return true;
    ++attempts;
    if (!platform::clock::sleepMs(kSignatureRetryMs, transport->stop)) return false;
    if (attempts > (read ? kWrongSignatureAttempts : kFailedReadAttempts)) return false;
  }
}

bool IdentifyDevice(const std::string& path, int driveNumber, int busType, std::span<std::uint8_t> buffer) {
  if ((busType != kBusTypeIdeSata && busType != kBusTypeScsi) || buffer.size() < kSectorBytes) return false;
  std::array<std::uint8_t, 8> registers{0, 1, 0, 0, 0, kDriveHead, kIdentifyCommand, 0};
  if (SmartIoctl(path, driveNumber, registers, buffer, true) < 0) return false;
  for (const AtaTextField field : {kAtaModelField, kAtaFirmwareField, kAtaSerialField}) {
    FixAtaString(buffer.subspan(field.offset, field.length));
  }
  return true;
}

int SmartIoctl(const std::string& path, int /*driveNumber*/, std::array<std::uint8_t, 8>& registers,
               std::span<std::uint8_t> buffer, bool dataIn) {
  if (dataIn && buffer.size() < kSectorBytes) return -1;
  const ps::OpenOutcome opened = ps::open(path, ps::Sharing::Shared);
  if (!opened.device) return -1;
  std::array<std::uint8_t, kSectorBytes> data{};
  ps::AtaCommand command;
  command.current = {.features = registers[0],
                     .count = registers[1],
                     .lbaLow = registers[2],
                     .lbaMid = registers[3],
                     .lbaHigh = registers[4],
                     .device = kDriveHead,
                     .command = registers[6]};
  command.direction = dataIn ? ps::Direction::In : ps::Direction::None;
  if (dataIn) command.data = data;
  command.timeoutSeconds = kSmartTimeoutSeconds;
  const ps::AtaOutcome outcome = opened.device->ata(command);
  if (!outcome.transportOk || (outcome.current.command & ps::kAtaStatusErr) != 0) return -1;
  if (dataIn) std::copy(data.begin(), data.end(), buffer.begin());
  if (!dataIn && registers[0] == kSmartReturnStatus) {
    const ps::AtaRegisters& back = outcome.current;
    registers = {back.features, back.count, back.lbaLow, back.lbaMid, back.lbaHigh, back.device, back.command,
                 registers[7]};
  }
  return 0;
}

int RescanDevices() { return pd::currentDeviceTree()->rescan() ? 1 : 0; }

}  // namespace blockprobe
