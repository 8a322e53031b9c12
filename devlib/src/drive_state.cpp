#include "devlib/drive_state.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <map>
#include <mutex>
#include <string_view>
#include <vector>

#include "byte_fields.h"
#include "devlib/controller_access.h"
#include "devlib/debug_print.h"
#include "devlib/flash_params.h"
#include "devlib/port_buffers.h"
#include "devlib/port_io.h"
#include "devlib/ram_code.h"
#include "devlib/standard_commands.h"
#include "devlib/transport.h"
#include "devlib/vendor_protocol.h"
#include "platform/clock.h"

namespace devlib {
namespace {

constexpr std::uint32_t kMaxSectors32 = 0xFFFFFFFF;

// Loader identities.
// The loader INQUIRY text each program looks for on the USB path.
constexpr std::string_view kUsbLoaderText = "Generic ZIR USB Loader ";
constexpr std::string_view kProbeUsbLoaderText = "Tolvane Flash CR Loader";
constexpr std::size_t kInquiryIdentityOffset = 8;
constexpr std::string_view kSataLoaderTexts[] = {"Generic ZIR SATA Loader Loader Device",
                                                 "Tolvane KWFA4X SATA SSD Loader Device"};
constexpr std::size_t kSataLoaderCompareLength = 36;
constexpr std::size_t kIdentifyModelOffset = 54;
constexpr std::size_t kIdentifyModelLength = 40;

// Bringing the firmware back.
constexpr std::uint8_t kLoaderModeValue3 = 3;
constexpr std::uint8_t kUsbRunModeArgument = 0;
constexpr std::uint8_t kSataRunMode = 2;
constexpr std::uint8_t kSataRunModeArgument = 1;
constexpr int kComeBackAttempts = 11;
constexpr std::uint64_t kComeBackRetryMs = 1000;
constexpr std::uint64_t kSataFirmwareStartMs = 10000;
constexpr std::uint8_t kSignatureTag = 0xFF;
constexpr std::uint8_t kFirmwareSignature[] = {0xE5, 0x4B, 0x57};

// The partial read/write test.
struct Probe {
  std::uint16_t sectors;
  std::uint32_t offset;
};
constexpr Probe kProbes[] = {
    {128, 0},    {128, 0},     {128, 128},    {128, 128},  {128, 256},    {128, 256},  {1, 150},
    {1, 150},    {1, 180000},  {5, 100033},   {4, 80058},  {26, 5000},    {5, 100033}, {1, 180000},
    {26, 5000},  {126, 15000}, {33, 154900},  {4, 80058},  {126, 15000},  {33, 154900},
};
constexpr std::uint32_t kSectorsPerGiB = 2097152;

// Erase.
constexpr std::uint16_t kEraseChunkSectors = 128;

// Erase-count tables: u16 entry count at byte 4, an 8-byte header, 4 bytes per block.
constexpr std::size_t kEraseCountHeader = 8;
constexpr std::size_t kEraseCountEntryBytes = 4;
constexpr std::size_t kEraseCountSlots = kWorkBuffer4Size / kEraseCountSlotSize;

// S.M.A.R.T. attribute table.
constexpr std::size_t kSmartFirstAttribute = 2;
constexpr std::size_t kSmartAttributeBytes = 12;
constexpr int kSmartAttributes = 30;
constexpr std::uint8_t kTemperatureAttribute = 0xC2;
constexpr std::size_t kSmartRawValue = 5;

// Maximum LBA.
constexpr std::uint32_t kLargest28BitCount = 0x0FFFFFFE;

// Master boot record.
constexpr std::size_t kBootMarkOffset = 510;
constexpr std::size_t kPartitionTypeOffsets[] = {450, 466, 482, 498};
constexpr std::uint8_t kNtfsPartitionType = 7;

// The RAM code erase.
constexpr int kEraseOperation = 1;
constexpr std::uint8_t kEraseOptionBit = 0x01;

bool Succeeded(int result) { return result == kCommandOk; }

bool Pause(const PortIoRecord& record, std::uint64_t ms) { return platform::clock::sleepMs(ms, record.Stop()); }

std::uint32_t Clamp32(std::uint64_t value) {
  return static_cast<std::uint32_t>(std::min<std::uint64_t>(value, kMaxSectors32));
}

bool StartsWith(std::span<const std::uint8_t> bytes, std::string_view text, std::size_t length) {
  return bytes.size() >= length && text.size() >= length && std::memcmp(bytes.data(), text.data(), length) == 0;
}

bool UsbLoaderAnswers(int port) {
  std::array<std::uint8_t, kInquiryLength> inquiry{};
  if (!Succeeded(InquiryDevice(port, inquiry))) return false;
  const std::string_view loader =
      CurrentProgramKind() == ProgramKind::Blockprobe ? kProbeUsbLoaderText : kUsbLoaderText;
  return StartsWith(std::span(inquiry).subspan(kInquiryIdentityOffset), loader, loader.size());
}

bool SataLoaderAnswers(int port) {
  std::array<std::uint8_t, kSectorBytes> identify{};
  if (!ReadIdentifyData(port, identify, 1)) return false;
  std::array<std::uint8_t, kIdentifyModelLength> model{};
  std::copy_n(identify.begin() + kIdentifyModelOffset, model.size(), model.begin());
  SwapBytePairs(model, model.size());
  return std::any_of(std::begin(kSataLoaderTexts), std::end(kSataLoaderTexts), [&](std::string_view text) {
    return StartsWith(model, text, kSataLoaderCompareLength);
  });
}

// The loader header's first table byte tells the run mode to come back in.
std::uint8_t LoaderModeValue(int port, std::span<std::uint8_t> buffer) {
  LoaderHeaderTable table{};
  std::uint8_t value = 0;
  if (!ReadLoaderHeaderInfo(port, buffer, table, value)) return 0;  // no header: the usual mode 2
  return value;
}

void BringBackOnUsb(int port, const PortIoRecord& record, std::uint8_t modeValue) {
  SwitchRunMode(port, modeValue == kLoaderModeValue3 ? 3 : 2, kUsbRunModeArgument);
  for (int attempt = 0; attempt < kComeBackAttempts; ++attempt) {
    std::array<std::uint8_t, kInquiryLength> inquiry{};
    if (Succeeded(InquiryDevice(port, inquiry))) return;
    if (!Pause(record, kComeBackRetryMs)) return;
  }
}

bool FirmwareSignatureReads(int port) {
  std::array<std::uint8_t, kSectorBytes> sector{};
  return TunnelRead(port, sector, 1, kSignatureTag) &&
         std::equal(std::begin(kFirmwareSignature), std::end(kFirmwareSignature), sector.begin());
}

void BringBackOnSata(int port, const PortIoRecord& record) {
  SwitchRunMode(port, kSataRunMode, kSataRunModeArgument);
  if (!Pause(record, kSataFirmwareStartMs)) return;
  for (int round = 0; round < kComeBackAttempts; ++round) {
    SetVendorMode(port, true);
    if (FirmwareSignatureReads(port)) return;
    if (!Pause(record, kComeBackRetryMs)) return;
  }
}

// Copies the 64 KiB of `table` into slot `slot` of the erase-count buffer.
// Slots hold 16 bank indices per channel; an index beyond them would land in
// the next channel's slots, or beyond the buffer. False when not kept.
bool KeepEraseCountSlot(std::span<std::uint8_t> counts, unsigned bankIndex, unsigned channel, unsigned slot,
                        std::span<const std::uint8_t> table) {
  if (bankIndex >= static_cast<unsigned>(kEraseCountSlotsPerChannel) || slot >= kEraseCountSlots) {
    DebugPrint("Erase counts of bank index %u, channel %u not kept: slot %u lies outside the buffer layout\n",
               bankIndex, channel, slot);
    return false;
  }
  const auto to = counts.begin() + static_cast<std::ptrdiff_t>(slot * kEraseCountSlotSize);
  std::copy_n(table.begin(), kEraseCountSlotSize, to);
  return true;
}

// Which slots each port's last save filled, by port index.
struct SavedSlots {
  std::mutex mutex;
  std::map<int, EraseCountSlots> ports;
};
SavedSlots& Saved() {
  static SavedSlots saved;
  return saved;
}
void SetSavedSlots(int port, const EraseCountSlots& slots) {
  std::lock_guard lock(Saved().mutex);
  Saved().ports[port] = slots;
}

// The A2B form of a table: the 4q bytes of the second half of its entries
// moved to the front, cut where the table buffer ends.
void MoveSecondHalfToFront(std::span<std::uint8_t> table, std::size_t halfPlaneBlocks) {
  const std::size_t half = kEraseCountEntryBytes * halfPlaneBlocks;
  const std::size_t from = kEraseCountHeader + half;
  if (from >= table.size()) return;
  const std::size_t length = std::min(half, table.size() - from);
  std::memmove(table.data() + kEraseCountHeader, table.data() + from, length);
}

}  // namespace

EraseCountSlots TakeSavedEraseCountSlots(int port) {
  std::lock_guard lock(Saved().mutex);
  const auto found = Saved().ports.find(port);
  if (found == Saved().ports.end()) return {};
  const EraseCountSlots slots = found->second;
  Saved().ports.erase(found);
  return slots;
}

bool GetIdentifyData(int port, std::span<std::uint8_t> buffer, std::uint8_t sectors) {
  return ReadIdentifyData(port, buffer, sectors);
}

std::uint32_t GetLbaCapacity(int port) { return Clamp32(ReadMaxLba(port)); }

std::uint32_t GetLbaSectorCount(int port) { return Clamp32(ReadSectorCount(port)); }

std::uint32_t GetCapacityMB(int port) { return GetLbaCapacity(port) >> 11; }

std::uint64_t GetCapacityBytes(int port) { return std::uint64_t{GetLbaCapacity(port)} * kSectorBytes; }

bool SwitchVendorMode(int port, bool on) { return SetVendorMode(port, on); }

bool JumpToLoader(int port, std::uint8_t mode, std::uint8_t argument) { return SwitchRunMode(port, mode, argument); }

bool IsLoaderDevice(int port) {
  const PortIoRecord* record = PortIo(port);
  if (record == nullptr) return false;
  return record->Transport()->usbPath != 0 ? UsbLoaderAnswers(port) : SataLoaderAnswers(port);
}

void EnsureFirmwareRunning(int port, std::span<std::uint8_t> buffer) {
  const PortIoRecord* record = PortIo(port);
  if (record == nullptr || !IsLoaderDevice(port)) return;
  const std::uint8_t modeValue = LoaderModeValue(port, buffer);
  if (record->Transport()->usbPath != 0) {
    BringBackOnUsb(port, *record, modeValue);
  } else {
    BringBackOnSata(port, *record);
  }
}

bool RWTestPartial(int port, std::span<std::uint8_t> buffer) {
  if (PortIo(port) == nullptr) return false;
  EnsureFirmwareRunning(port, buffer);
  const std::uint32_t sectors = GetLbaSectorCount(port);
  if (sectors == 0 || sectors == kPlaceholderSectorCount) return false;

  const auto gib = static_cast<std::uint16_t>(sectors / kSectorsPerGiB);
  const auto step = static_cast<std::uint8_t>(gib / 16 + 1);
  for (std::uint32_t i = 0; i < gib; i += step) {
    const std::uint32_t base = i * kSectorsPerGiB;
    for (const Probe& probe : kProbes) {
      if (!WriteVerifyLbaPattern(port, buffer, probe.sectors, base + probe.offset)) return false;
    }
  }
  if (!WriteLbaOnes(port, buffer, 1, 0)) return false;
  if (!WriteVerifyLbaPattern(port, buffer, 1, sectors - 1)) return false;
  return Succeeded(FlushCache(port));
}

bool EraseAllData(int port) {
  const std::uint32_t sectors = GetLbaSectorCount(port);
  if (sectors == 0) {
    DebugPrint("Erase refused on port %d: the drive's size cannot be read\n", port);
    return false;
  }
  std::vector<std::uint8_t> ones(std::size_t{kEraseChunkSectors} * kSectorBytes, 0xFF);
  for (std::uint32_t lba = 0; lba < sectors;) {
    const auto count = static_cast<std::uint16_t>(std::min<std::uint32_t>(kEraseChunkSectors, sectors - lba));
    if (!Succeeded(WriteLbaSectors(port, ones, count, lba))) return false;
    lba += count;
  }
  return true;
}

bool SaveEraseCounts(int port, std::span<std::uint8_t> buffer, bool a2b) {
  if (PortIo(port) == nullptr) return false;
  // Only a table the drive answered marks its slot as this drive's.
  SetSavedSlots(port, {});
  if (buffer.size() < kEraseCountSlotSize) {
    DebugPrint("Erase count save refused: the buffer holds %zu bytes, a table slot %zu\n", buffer.size(),
               kEraseCountSlotSize);
    return false;
  }
  const std::shared_ptr<PortBuffers> buffers = PortBuffersOf(port);
  if (!buffers) return false;
  const std::span<std::uint8_t> table = buffer.first(kEraseCountSlotSize);
  const std::span<std::uint8_t> counts = buffers->workBuffer4();
  EnsureFirmwareRunning(port, buffer);

  const std::shared_ptr<const FlashParams> params = ParamsOfPort(port);
  const unsigned banks = params->setting.banks;
  const unsigned channels = params->setting.channels;
  const unsigned bankIndices = a2b ? banks : banks * params->geometry.planes;

  // The entry count of the first table sizes every read; a failed read leaves
  // it 0 and the reads one sector long.
  std::fill_n(table.begin(), kSectorBytes, std::uint8_t{0});
  ReadEraseCounts(port, table, 1, 0, 0);
  const std::size_t entries = detail::GetLittleEndian16(table, 4);
  const std::size_t sectors =
      std::min((kEraseCountEntryBytes * entries + kEraseCountHeader + kSectorBytes - 1) / kSectorBytes,
               kEraseCountSlotSize / kSectorBytes);

  EraseCountSlots saved;
  for (unsigned i = 0; i < bankIndices; ++i) {
    for (unsigned j = 0; j < channels; ++j) {
      const bool read =
          ReadEraseCounts(port, table, sectors, static_cast<std::uint8_t>(j), static_cast<std::uint8_t>(i));
      const unsigned slot = i + kEraseCountSlotsPerChannel * j;
      if (KeepEraseCountSlot(counts, i, j, slot, table) && read) saved.set(slot);
      if (!a2b) continue;
      table[0] = static_cast<std::uint8_t>(i + banks);
      MoveSecondHalfToFront(table, params->geometry.halfPlaneBlocks);
      const unsigned copy = banks + i + kEraseCountSlotsPerChannel * j;
      if (KeepEraseCountSlot(counts, banks + i, j, copy, table) && read) saved.set(copy);
    }
  }
  SetSavedSlots(port, saved);
  return true;
}

bool RunEraseOperation(int port, std::span<std::uint8_t> buffer, std::uint32_t ramAddress) {
  std::uint8_t optionByte = 0;
  if (!LoadRamCode(port, buffer, optionByte, ramAddress)) return false;
  std::uint8_t status = 0;
  if (!RunOperationAndWait(port, kEraseOperation, optionByte | kEraseOptionBit, status, false)) return false;
  return status == kStatusOperation1Done;
}

bool CheckTemperature(int port, std::span<std::uint8_t> buffer, std::uint8_t limit, std::int8_t& temperature) {
  temperature = 0;
  if (PortIo(port) == nullptr) return false;
  EnsureFirmwareRunning(port, buffer);
  if (buffer.size() < kSectorBytes) {
    DebugPrint("Temperature check refused: the buffer holds %zu bytes\n", buffer.size());
    return false;
  }
  // No temperature read is no temperature checked.
  if (!Succeeded(SmartReadData(port, buffer, 1))) return false;
  for (int k = 0; k < kSmartAttributes; ++k) {
    const std::size_t entry = kSmartFirstAttribute + static_cast<std::size_t>(k) * kSmartAttributeBytes;
    if (buffer[entry] != kTemperatureAttribute) continue;
    temperature = static_cast<std::int8_t>(buffer[entry + kSmartRawValue]);
    return temperature <= static_cast<int>(limit);
  }
  return true;
}

bool SetMaxLba(int port, std::span<std::uint8_t> buffer, std::uint32_t low, std::uint32_t high) {
  const PortIoRecord* record = PortIo(port);
  if (record == nullptr) return false;
  const std::uint64_t count = std::uint64_t{high} << 32 | low;
  if (record->Transport()->usbPath == 0 && count == 0) {
    DebugPrint("Set max LBA refused on port %d: a drive of 0 sectors\n", port);
    return false;
  }
  EnsureFirmwareRunning(port, buffer);
  if (record->Transport()->usbPath != 0) {
    DebugPrint("Set max LBA: port %d is on the USB path, nothing sent\n", port);
    return true;
  }
  if (high != 0 || low > kLargest28BitCount) {
    return Succeeded(SendReadNativeMaxExt(port)) && Succeeded(SendSetMaxAddressExt(port, count - 1));
  }
  return Succeeded(SendReadNativeMax(port)) && Succeeded(SendSetMaxAddress(port, low - 1));
}

bool HasNtfsPartition(int port) {
  std::array<std::uint8_t, kSectorBytes> sector{};
  if (!Succeeded(ReadLbaSectors(port, sector, 1, 0))) return false;
  if (detail::GetLittleEndian16(sector, kBootMarkOffset) != 0xAA55) return false;
  return std::any_of(std::begin(kPartitionTypeOffsets), std::end(kPartitionTypeOffsets),
                     [&](std::size_t offset) { return sector[offset] == kNtfsPartitionType; });
}

void SwapBytePairs(std::span<std::uint8_t> buffer, std::size_t length) {
  const std::size_t bytes = std::min(length, buffer.size()) & ~std::size_t{1};
  for (std::size_t i = 0; i < bytes; i += 2) std::swap(buffer[i], buffer[i + 1]);
}

}  // namespace devlib
