#include "devlib/controller_access.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <string_view>

#include "byte_fields.h"
#include "devlib/debug_print.h"
#include "devlib/flash_params.h"
#include "devlib/port_io.h"
#include "devlib/raw_dump.h"
#include "devlib/standard_commands.h"
#include "devlib/transport.h"
#include "devlib/vendor_protocol.h"
#include "platform/clock.h"

namespace devlib {
namespace {

constexpr std::uint8_t kVendorModeFeature = 0xDC;
constexpr std::uint32_t kVendorModeOn = 0x4B;
constexpr std::uint32_t kVendorModeOff = 0x57;
constexpr std::uint8_t kRamCodeParam = 3;

constexpr std::size_t kPhysicalPageStep = 16 * 1024;
constexpr std::uint8_t kNewerFirmwareSelector = 15;
constexpr std::uint8_t kNewerFirmwareSecondHalf = 0xF0;
constexpr std::uint8_t kMemoryWindowParam = 3;
constexpr std::uint32_t kMemoryWindowAddress = 0xB0030000;
// Firmware of these date codes serves the second half of a physical page
// through the memory window; every other firmware through selector 0xF0.
constexpr std::string_view kOlderFirmwareDateCodes[] = {"100811", "110222", "110224", "110225"};

constexpr int kLoaderHeaderBlocks = 4;
constexpr char kLoaderHeaderText[] = "LDBK BLOCKS V30";  // compared with its terminator: 16 bytes

constexpr std::uint32_t kIdentify28BitCountMax = 0x0FFFFFFF;
constexpr std::uint32_t kIdentifyNoCount = 0xFFFFFFFF;

bool Succeeded(int result) { return result == kCommandOk; }

// Waits on the platform clock; false when the port's stop was requested.
bool Pause(const PortIoRecord& record, std::uint64_t ms) { return platform::clock::sleepMs(ms, record.Stop()); }

void Zero(std::span<std::uint8_t> bytes) { std::fill(bytes.begin(), bytes.end(), std::uint8_t{0}); }

// Reads the status until it is final. Each busy answer either ends the wait
// (no `wait`) or runs `betweenPolls`, whose false (a stop) ends it too.
template <typename BetweenPolls>
bool PollUntilFinal(int port, std::uint8_t& status, bool wait, BetweenPolls betweenPolls) {
  for (;;) {
    std::uint8_t value = 0;
    if (!Succeeded(SendReadStatus(port, value))) return false;
    status = value;
    if (value != kStatusBusy) return true;
    if (!wait || !betweenPolls()) return false;
  }
}

bool RefuseBuffer(const char* operation, std::size_t needed, std::size_t available) {
  DebugPrint("%s refused: needs %zu bytes, the buffer holds %zu\n", operation, needed, available);
  return false;
}

std::optional<std::size_t> SectorsPerPage(const FlashParams& params, const char* operation) {
  const std::size_t sectorsPerPage = params.geometry.sectorsPerPage;
  if (sectorsPerPage == 0) {
    DebugPrint("%s refused: the flash geometry has no sectors per page\n", operation);
    return std::nullopt;
  }
  return sectorsPerPage;
}

bool IsOlderFirmware(std::string_view dateCode) {
  return std::find(std::begin(kOlderFirmwareDateCodes), std::end(kOlderFirmwareDateCodes), dateCode) !=
         std::end(kOlderFirmwareDateCodes);
}

// Appends, for each 16 KiB step of a reply of `replyBytes`, the page bytes of
// the chosen plane to the scratch at `filled`.
void CollectPlanePages(std::span<const std::uint8_t> reply, std::size_t replyBytes, std::size_t pageBytes,
                       std::size_t planeOffset, std::span<std::uint8_t> scratch, std::size_t& filled) {
  for (std::size_t step = 0; step < replyBytes; step += kPhysicalPageStep) {
    const auto from = reply.subspan(step + planeOffset, pageBytes);
    std::copy(from.begin(), from.end(), scratch.begin() + static_cast<std::ptrdiff_t>(filled));
    filled += pageBytes;
  }
}

std::optional<std::uint32_t> ReadLastLba(int port) {
  std::array<std::uint8_t, kSectorBytes> reply{};
  if (!Succeeded(SendReadCapacity(port, reply, 1))) return std::nullopt;
  return detail::GetBigEndian32(reply, 0);
}

bool WriteFilled(int port, std::span<std::uint8_t> buffer, std::uint16_t sectors, std::uint32_t lba,
                 const char* operation, void (*fill)(std::span<std::uint8_t>, std::size_t, std::uint32_t)) {
  const std::size_t bytes = std::size_t{sectors} * kSectorBytes;
  if (bytes > buffer.size()) return RefuseBuffer(operation, bytes, buffer.size());
  fill(buffer, sectors, lba);
  return Succeeded(WriteLbaSectors(port, buffer, sectors, lba));
}

void FillOnes(std::span<std::uint8_t> buffer, std::size_t sectors, std::uint32_t) {
  std::fill_n(buffer.begin(), sectors * kSectorBytes, std::uint8_t{0xFF});
}

}  // namespace

bool SetVendorMode(int port, bool on) {
  return Succeeded(SendSetFeatures(port, kVendorModeFeature, on ? kVendorModeOn : kVendorModeOff));
}

bool SwitchRunMode(int port, std::uint8_t mode, std::uint8_t argument) {
  const PortIoRecord* record = PortIo(port);
  if (record == nullptr) return false;
  if (!Succeeded(SendSessionStart(port, argument)) || !Succeeded(SendSetRunMode(port, mode))) return false;
  if (!Pause(*record, kModeSwitchSettleMs)) return false;
  SetVendorMode(port, true);  // the new code may not take it yet; the next command tells
  return true;
}

bool RunRamCode(int port) {
  const PortIoRecord* record = PortIo(port);
  if (record == nullptr) return false;
  if (!Succeeded(SendRunRamCode(port))) return false;
  if (!Pause(*record, kModeSwitchSettleMs)) return false;
  SetVendorMode(port, true);
  return true;
}

bool WriteRamCode(int port, std::span<std::uint8_t> buffer, std::size_t sectors, std::uint32_t address) {
  if (!Succeeded(WriteMemoryBlock(port, kRamCodeParam, address | kRamCodeWindow, buffer, sectors))) return false;
  WriteDebugDump(port, "11_RCO.raw", buffer.first(sectors * kSectorBytes));
  return true;
}

bool ReadRamCode(int port, std::span<std::uint8_t> buffer, std::size_t sectors, std::uint32_t address) {
  if (!Succeeded(ReadMemoryBlock(port, kRamCodeParam, address | kRamCodeWindow, buffer, sectors))) return false;
  WriteDebugDump(port, "12_RCI.raw", buffer.first(sectors * kSectorBytes));
  return true;
}

bool RunOperationAndWait(int port, int operation, std::uint8_t options, std::uint8_t& status, bool wait) {
  using StartOperation = int (*)(int, std::uint8_t);
  static constexpr StartOperation kStarts[] = {SendStartOperation1, SendStartOperation2, SendStartOperation3,
                                               SendStartOperation4};
  if (operation < 1 || operation > 4) return false;
  const PortIoRecord* record = PortIo(port);
  if (record == nullptr) return false;
  if (!Succeeded(kStarts[operation - 1](port, options))) return false;
  if (!Pause(*record, kOperationFirstPollMs)) return false;
  return PollUntilFinal(port, status, wait, [&] { return Pause(*record, kOperationPollMs); });
}

bool ReadRegister(int port, std::uint32_t address, std::uint8_t& value) {
  return Succeeded(SendReadRegister(port, address, value));
}

bool WriteRegister(int port, std::uint32_t address, std::uint8_t value) {
  return Succeeded(SendWriteRegister(port, address, value));
}

bool ReadBlockPages(int port, const FlashPageAddress& address, std::span<std::uint8_t> buffer) {
  if (PortIo(port) == nullptr) return false;
  const std::optional<std::size_t> sectorsPerPage = SectorsPerPage(*ParamsOfPort(port), "Block page read");
  if (!sectorsPerPage) return false;
  const std::size_t pageBytes = *sectorsPerPage * kSectorBytes;
  const bool allChannels = address.channel == kAllChannels;
  const std::size_t first = allChannels ? 0 : address.channel;
  const std::size_t last = allChannels ? kChannelSlots - 1 : address.channel;
  const std::size_t needed = (last + 1) * pageBytes;
  if (needed > buffer.size()) return RefuseBuffer("Block page read", needed, buffer.size());

  for (std::size_t channel = first; channel <= last; ++channel) {
    FlashPageAddress one = address;
    one.channel = static_cast<std::uint8_t>(channel);
    if (!Succeeded(SendReadFlashPages(port, one, buffer.subspan(channel * pageBytes, pageBytes), *sectorsPerPage))) {
      return false;
    }
  }
  return true;
}

bool WritePages(int port, const FlashPageAddress& address, std::span<std::uint8_t> buffer, std::size_t sectors) {
  return Succeeded(SendWriteFlashPages(port, address, buffer, sectors));
}

bool ReadInfoBlock(int port, std::span<std::uint8_t> buffer, std::size_t sectors) {
  return Succeeded(SendReadInfoBlock(port, buffer, sectors));
}

bool ReadFlashId(int port, std::uint8_t channel, std::uint8_t chipEnable, std::span<std::uint8_t> buffer,
                 std::size_t sectors) {
  return Succeeded(SendReadFlashId(port, channel, chipEnable, buffer, sectors));
}

bool ReadLoaderList(int port, std::span<std::uint8_t> buffer, std::size_t sectors) {
  return Succeeded(SendReadLoaderList(port, buffer, sectors));
}

bool ReadControllerInfo(int port, ControllerInfo& info) {
  std::array<std::uint8_t, kSectorBytes> sector{};
  if (!Succeeded(SendReadControllerInfo(port, sector))) return false;
  std::copy_n(sector.begin(), info.size(), info.begin());
  return true;
}

bool EraseBlock(int port, std::uint8_t channelSelector, std::uint8_t chipEnable, std::uint16_t block) {
  return Succeeded(SendEraseBlock(port, channelSelector, chipEnable, block));
}

bool ReadFailureReport(int port, std::span<std::uint8_t> buffer) {
  if (!buffer.empty()) buffer[0] = 0;
  return Succeeded(SendReadFailureReport(port, buffer));
}

bool ReadTestResult(int port, std::span<std::uint8_t> sector) { return Succeeded(SendReadTestResult(port, sector)); }

bool RunFlashTestStep(int port, std::uint8_t step, std::uint16_t block, std::uint8_t& result) {
  return Succeeded(SendFlashTestStep(port, step, block, result)) && result == 0xFF;
}

bool RunDramCheck(int port, std::span<std::uint8_t> sector, std::uint32_t address, std::uint32_t length) {
  return Succeeded(SendDramCheck(port, sector, address, length));
}

bool WaitDramStatus(int port, std::uint8_t& status, bool wait) {
  const PortIoRecord* record = PortIo(port);
  if (record == nullptr) return false;
  return PollUntilFinal(port, status, wait, [&] {
    if (!Pause(*record, kDramPollMs)) return false;
    SetVendorMode(port, false);
    SetVendorMode(port, true);
    return true;
  });
}

bool WriteEraseCounts(int port, std::span<std::uint8_t> buffer, std::size_t sectors, std::uint8_t channel,
                      std::uint8_t bank) {
  return Succeeded(SendWriteEraseCounts(port, channel, bank, buffer, sectors));
}

bool ReadEraseCounts(int port, std::span<std::uint8_t> buffer, std::size_t sectors, std::uint8_t channel,
                     std::uint8_t bank) {
  return Succeeded(SendReadEraseCounts(port, channel, bank, buffer, sectors));
}

bool ReadBadBlockList(int port, std::span<std::uint8_t> buffer, std::size_t sectors, std::uint8_t channel,
                      std::uint8_t chipEnable) {
  return Succeeded(SendReadBadBlockList(port, channel, chipEnable, buffer, sectors));
}

bool BusTestRound(int port, std::span<std::uint8_t> buffer, std::uint8_t param) {
  if (buffer.size() < kBusTestBytes) return RefuseBuffer("Bus test", kBusTestBytes, buffer.size());
  const std::span<std::uint8_t> area = buffer.first(kBusTestBytes);
  constexpr std::size_t kWords = kBusTestBytes / 2;
  for (int pass = 0; pass < kBusTestPasses; ++pass) {
    const unsigned start = 4096 + 11 * static_cast<unsigned>(pass);
    for (std::size_t k = 0; k < kWords; ++k) {
      detail::PutLittleEndian16(area, 2 * k, static_cast<std::uint16_t>(start + k));
    }
    if (!Succeeded(SendWriteTestMemory(port, param, kBusTestAddress, area, kBusTestSectors))) return false;
    Zero(area);
    if (!Succeeded(SendReadTestMemory(port, param, kBusTestAddress, area, kBusTestSectors))) return false;
    for (std::size_t k = 0; k < kWords; ++k) {
      const auto expected = static_cast<std::uint16_t>(start + k);
      const std::uint16_t found = detail::GetLittleEndian16(area, 2 * k);
      if (found != expected) {
        DebugPrint("Bus test pass %d: word %zu reads %04X, expected %04X\n", pass, k, found, expected);
        return false;
      }
    }
  }
  return true;
}

bool ReadIdentifyData(int port, std::span<std::uint8_t> buffer, std::uint8_t sectors) {
  return Succeeded(SendIdentifyDevice(port, buffer, sectors));
}

std::uint64_t ReadMaxLbaFromIdentify(int port) {
  std::array<std::uint8_t, kSectorBytes> identify{};
  if (!Succeeded(SendIdentifyDevice(port, identify, 1))) return 0;
  // Word n of the identify data is at byte 2n; a count's low word comes first.
  const std::uint32_t count28 = detail::GetLittleEndian32(identify, 2 * 60);
  if (count28 != kIdentify28BitCountMax) return count28;
  const std::uint32_t count48Low = detail::GetLittleEndian32(identify, 2 * 100);
  if (count48Low == kIdentifyNoCount) return 0;
  return count48Low | std::uint64_t{detail::GetLittleEndian16(identify, 2 * 102)} << 32;
}

std::uint64_t ReadMaxLbaFromCapacity(int port) { return ReadLastLba(port).value_or(0); }

std::uint64_t ReadMaxLba(int port) {
  const PortIoRecord* record = PortIo(port);
  if (record == nullptr) return 0;
  return record->Transport()->usbPath != 0 ? ReadMaxLbaFromCapacity(port) : ReadMaxLbaFromIdentify(port);
}

std::uint64_t ReadSectorCount(int port) {
  const PortIoRecord* record = PortIo(port);
  if (record == nullptr) return 0;
  if (record->Transport()->usbPath == 0) return ReadMaxLbaFromIdentify(port);
  const std::optional<std::uint32_t> lastLba = ReadLastLba(port);
  return lastLba ? std::uint64_t{*lastLba} + 1 : 0;
}

void FillLbaPattern(std::span<std::uint8_t> buffer, std::size_t sectors, std::uint32_t lba) {
  const std::size_t words = std::min(sectors * kSectorBytes, buffer.size()) / 2;
  for (std::size_t i = 0; i < words; ++i) {
    detail::PutLittleEndian16(buffer, 2 * i, static_cast<std::uint16_t>(lba * 256 + i));
  }
}

bool VerifyLbaPattern(int port, std::span<std::uint8_t> buffer, std::uint16_t sectors, std::uint32_t lba) {
  const std::size_t bytes = std::size_t{sectors} * kSectorBytes;
  if (bytes > buffer.size()) return RefuseBuffer("LBA pattern check", bytes, buffer.size());
  Zero(buffer.first(bytes));
  if (!Succeeded(ReadLbaSectors(port, buffer, sectors, lba))) return false;
  for (std::size_t i = 0; i < bytes / 2; ++i) {
    const auto expected = static_cast<std::uint16_t>(lba * 256 + i);
    const std::uint16_t found = detail::GetLittleEndian16(buffer, 2 * i);
    if (found != expected) {
      detail::PutLittleEndian32(buffer, 0, kLbaMismatchKind);
      detail::PutLittleEndian32(buffer, 4, lba);
      detail::PutLittleEndian32(buffer, 8, expected);
      detail::PutLittleEndian32(buffer, 12, found);
      detail::PutLittleEndian32(buffer, 16, static_cast<std::uint32_t>(i));
      return false;
    }
  }
  return true;
}

bool WriteVerifyLbaPattern(int port, std::span<std::uint8_t> buffer, std::uint16_t sectors, std::uint32_t lba) {
  const PortIoRecord* record = PortIo(port);
  if (record == nullptr) return false;
  if (!WriteLbaPattern(port, buffer, sectors, lba)) return false;
  Zero(buffer.first(std::size_t{sectors} * kSectorBytes));
  if (!Succeeded(FlushCache(port))) return false;
  if (!Pause(*record, kFlushSettleMs)) return false;
  return VerifyLbaPattern(port, buffer, sectors, lba);
}

bool WriteLbaPattern(int port, std::span<std::uint8_t> buffer, std::uint16_t sectors, std::uint32_t lba) {
  return WriteFilled(port, buffer, sectors, lba, "LBA pattern write", &FillLbaPattern);
}

bool WriteLbaOnes(int port, std::span<std::uint8_t> buffer, std::uint16_t sectors, std::uint32_t lba) {
  return WriteFilled(port, buffer, sectors, lba, "LBA ones write", &FillOnes);
}

bool WriteLbaBuffer(int port, std::span<std::uint8_t> buffer, std::uint16_t sectors, std::uint32_t lba) {
  return Succeeded(WriteLbaSectors(port, buffer, sectors, lba));
}

bool ReadFlashPage(int port, const FlashPageAddress& address, std::uint16_t planeSelector,
                   std::span<std::uint8_t> buffer, std::size_t sectors) {
  return ReadFlashPage(port, *ParamsOfPort(port), address, planeSelector, buffer, sectors);
}

bool ReadFlashPage(int port, const FlashParams& params, const FlashPageAddress& address, std::uint16_t planeSelector,
                   std::span<std::uint8_t> buffer, std::size_t sectors) {
  if (PortIo(port) == nullptr) return false;
  const std::optional<std::size_t> sectorsPerPage = SectorsPerPage(params, "Physical page read");
  if (!sectorsPerPage) return false;
  if (buffer.size() < kPhysicalPageBufferSize) {
    return RefuseBuffer("Physical page read", kPhysicalPageBufferSize, buffer.size());
  }
  const std::size_t pageBytes = *sectorsPerPage * kSectorBytes;
  const std::size_t replyBytes = sectors * kSectorBytes;
  const std::size_t planeOffset = (planeSelector & 1) != 0 ? pageBytes : 0;
  const std::size_t steps = (replyBytes + kPhysicalPageStep - 1) / kPhysicalPageStep;
  // Each read fills at most the 64 KiB buffer, and the pages gathered from
  // both reads at most the 64 KiB scratch; the latter also keeps every plane
  // copy inside the reply.
  const bool fits = sectors > 0 && replyBytes <= kPhysicalPageBufferSize &&
                    2 * steps * pageBytes <= kPhysicalPageBufferSize;
  if (!fits) {
    DebugPrint("Physical page read refused: %zu sectors of %zu-byte pages do not fit %zu bytes\n", sectors,
               pageBytes, kPhysicalPageBufferSize);
    return false;
  }

  const std::unique_ptr<std::uint8_t[]> scratchStorage(new (std::nothrow) std::uint8_t[kPhysicalPageBufferSize]());
  if (!scratchStorage) return false;
  const std::span<std::uint8_t> scratch(scratchStorage.get(), kPhysicalPageBufferSize);
  const std::span<std::uint8_t> reply = buffer.first(kPhysicalPageBufferSize);
  Zero(reply);

  const bool newer = !IsOlderFirmware(params.firmwareDateCode.view());
  FlashPageAddress firstHalf = address;
  if (newer) firstHalf.channel = kNewerFirmwareSelector;
  std::size_t filled = 0;
  if (!Succeeded(SendReadPhysicalPage(port, firstHalf, reply, sectors))) {
    Zero(reply);
    return false;
  }
  CollectPlanePages(reply, replyBytes, pageBytes, planeOffset, scratch, filled);

  Zero(reply);
  int secondRead = kCommandFailed;
  if (newer) {
    FlashPageAddress secondHalf = address;
    secondHalf.channel = kNewerFirmwareSecondHalf;
    secondRead = SendReadPhysicalPage(port, secondHalf, reply, sectors);
  } else {
    secondRead = SendReadMemoryWindow(port, kMemoryWindowParam, kMemoryWindowAddress, reply, sectors);
  }
  if (!Succeeded(secondRead)) {
    Zero(reply);
    return false;
  }
  CollectPlanePages(reply, replyBytes, pageBytes, planeOffset, scratch, filled);
  std::copy(scratch.begin(), scratch.end(), reply.begin());
  return true;
}

bool ReadLoaderHeaderInfo(int port, std::span<std::uint8_t> buffer, LoaderHeaderTable& table,
                          std::uint8_t& fileCount) {
  for (int block = 0; block < kLoaderHeaderBlocks; ++block) {
    const FlashPageAddress page{.channel = kAllChannels, .chipEnable = 0, .block = static_cast<std::uint16_t>(block)};
    // A block that cannot be read holds no header we could trust.
    if (!ReadBlockPages(port, page, buffer)) continue;
    if (std::memcmp(buffer.data(), kLoaderHeaderText, sizeof kLoaderHeaderText) != 0) continue;
    std::copy_n(buffer.begin() + kLoaderHeaderTableOffset, table.size(), table.begin());
    fileCount = table[0];
    return true;
  }
  return false;
}

}  // namespace devlib
