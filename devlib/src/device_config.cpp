#include "devlib/device_config.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <string_view>
#include <utility>

#include "byte_fields.h"
#include "devlib/controller_access.h"
#include "devlib/debug_print.h"
#include "devlib/flash_geometry.h"
#include "devlib/vendor_commands.h"
#include "devlib/vendor_protocol.h"

namespace devlib {
namespace {

constexpr char kLoaderHeaderText[kLoaderHeaderTextBytes] = "LDBK BLOCKS V30";

// Parameter block bytes.
constexpr std::size_t kTypeWord = 0;
constexpr std::size_t kFlags = 2;
constexpr std::size_t kChannels = 3;
constexpr std::size_t kBanks = 4;
constexpr std::size_t kBch24 = 5;
constexpr std::size_t kDrvCurrent = 6;
constexpr std::size_t kLayoutByte = 7;
constexpr std::size_t kResPercentageLow = 8;
constexpr std::size_t kOptionBits = 9;
constexpr std::size_t kChipEnables = 11;
constexpr std::size_t kLoaderBlocks = 16;
constexpr std::size_t kResPercentageHigh = 26;
constexpr std::size_t kReadErrorThreshold = 32;  // DefPercentage for the percentages decoder
constexpr std::size_t kEccCopyThreshold = 33;
constexpr std::size_t kWearLevelFrequency = 34;
constexpr std::size_t kSecurityCounter = 35;

// Geometry block bytes.
constexpr std::size_t kFeatureByte = 23;
constexpr std::size_t kRegisterSet2 = 24;
constexpr std::size_t kToken13 = 40;
constexpr std::size_t kToken14 = 42;
constexpr std::size_t kLayoutWord2 = 44;
constexpr std::size_t kLayoutWord3 = 46;

constexpr std::uint8_t kFlagExtraMode = 0x20;
constexpr std::uint8_t kOptionScramble = 0x10;
constexpr std::uint8_t kOptionRemap = 0x20;
constexpr std::uint8_t kEccBch24 = 2;
constexpr std::uint8_t kEccBch16 = 0;

constexpr std::size_t kLoaderFileTableEnd = kLoaderFileTableOffset + 4 * kLoaderFileSlots;
constexpr int kLoaderBlockSlots = 4;

std::uint8_t ParamByte(std::span<const std::uint8_t> page, std::size_t at) { return page[kParamBlockOffset + at]; }

std::uint16_t ParamWord(std::span<const std::uint8_t> page, std::size_t at) {
  return detail::GetLittleEndian16(page, kParamBlockOffset + at);
}
std::uint16_t GeometryWord(std::span<const std::uint8_t> page, std::size_t at) {
  return detail::GetLittleEndian16(page, kGeometryBlockOffset + at);
}

bool Holds(std::span<const std::uint8_t> page, std::size_t bytes, const char* decoder) {
  if (page.size() >= bytes) return true;
  DebugPrint("%s refused: the page holds %zu bytes, it reads %zu\n", decoder, page.size(), bytes);
  return false;
}

std::uint8_t AtMost(std::uint8_t value, int limit) { return static_cast<std::uint8_t>(std::min<int>(value, limit)); }

// The head fields that LoadFirmwareParamsFromConfig and
// LoadFlashSettingFromConfig both take.
void TakeFlashSetting(FlashSetting& setting, std::span<const std::uint8_t> page) {
  setting.typeWord = ParamWord(page, kTypeWord);
  setting.channels = AtMost(ParamByte(page, kChannels), kMaxChannels);
  setting.banks = AtMost(ParamByte(page, kBanks), kMaxBanks);
  setting.chipEnables = AtMost(ParamByte(page, kChipEnables), kMaxBanks);
  setting.eccMode = ParamByte(page, kBch24) != 0 ? kEccBch24 : kEccBch16;
  if ((ParamByte(page, kFlags) & kFlagExtraMode) != 0) setting.extraMode = 1;
  setting.layoutByte = ParamByte(page, kLayoutByte);
}

}  // namespace

bool LoadLoaderBlocksFromConfig(PortIoRecord& record, std::span<const std::uint8_t> page) {
  if (!Holds(page, kParamBlockEnd, "Loader block decode")) return false;
  for (std::size_t i = 0; i < record.loaderBlocks.size(); ++i) {
    record.loaderBlocks[i] = ParamWord(page, kLoaderBlocks + 2 * i);
  }
  return true;
}

bool LoadFirmwareParamsFromConfig(PortIoRecord& record, FlashParams& params, std::span<const std::uint8_t> page) {
  if (!Holds(page, kParamBlockEnd, "Firmware parameter decode")) return false;
  TakeFlashSetting(params.setting, page);
  const std::uint8_t readError = ParamByte(page, kReadErrorThreshold);
  const std::uint8_t eccCopy = ParamByte(page, kEccCopyThreshold);
  if (params.setting.eccMode == kEccBch24) {
    params.readErrorThresholdBch24 = readError;
    params.eccCopyThresholdBch24 = eccCopy;
  } else {
    params.readErrorThresholdBch16 = readError;
    params.eccCopyThresholdBch16 = eccCopy;
  }
  params.wearLevelFrequency = ParamByte(page, kWearLevelFrequency);
  params.securityCounter = ParamByte(page, kSecurityCounter);
  const std::uint8_t options = ParamByte(page, kOptionBits);
  if ((options & kOptionScramble) != 0) params.firmwareOptions[kFirmwareOptionScramble] = 1;
  if ((options & kOptionRemap) != 0) params.firmwareOptions[kFirmwareOptionRemap] = 1;

  record.layoutWords[2] = GeometryWord(page, kLayoutWord2);
  record.layoutWords[3] = GeometryWord(page, kLayoutWord3);
  params.token13 = GeometryWord(page, kToken13);
  params.token14 = GeometryWord(page, kToken14);
  const auto registers = page.subspan(kGeometryBlockOffset + kRegisterSet2, params.registerSet2.size());
  std::copy(registers.begin(), registers.end(), params.registerSet2.begin());
  params.featureByte = page[kGeometryBlockOffset + kFeatureByte];

  const auto header = page.subspan(kFirmwareHeaderOffset, params.firmwareHeader.size());
  std::copy(header.begin(), header.end(), params.firmwareHeader.begin());
  const auto* dateCode = reinterpret_cast<const char*>(header.data() + kFirmwareDateCodeOffset);
  params.firmwareDateCode.assignTruncated(
      std::string_view(dateCode, BoundedLength(dateCode, kFirmwareDateCodeLength)));
  return true;
}

bool LoadFlashSettingFromConfig(FlashSetting& setting, std::span<const std::uint8_t> page) {
  if (!Holds(page, kParamBlockEnd, "Flash setting decode")) return false;
  const auto* name = reinterpret_cast<const char*>(page.data() + kLoaderPartNameOffset);
  setting.partName.assignTruncated(std::string_view(name, BoundedLength(name, kLoaderPartNameBytes)));
  TakeFlashSetting(setting, page);
  return true;
}

bool LoadPercentagesFromConfig(FlashParams& params, std::span<const std::uint8_t> page) {
  if (!Holds(page, kParamBlockEnd, "Percentage decode")) return false;
  params.drvCurrent = ParamByte(page, kDrvCurrent);
  params.resPercentage =
      static_cast<std::uint16_t>(ParamByte(page, kResPercentageHigh) * 256 + ParamByte(page, kResPercentageLow));
  params.defPercentage = ParamByte(page, kReadErrorThreshold);
  return true;
}

bool LoadFileTableFromConfig(LoaderFileTable& table, std::span<const std::uint8_t> page) {
  if (!Holds(page, kLoaderFileTableEnd, "Loader file table decode")) return false;
  LoaderFileTable decoded;
  decoded.fileCount = AtMost(page[kLoaderFileCountOffset], static_cast<int>(kLoaderFileSlots));
  for (std::size_t i = 0; i < decoded.fileCount; ++i) {
    decoded.files[i].startPage = detail::GetLittleEndian16(page, kLoaderFileTableOffset + 4 * i);
    decoded.files[i].pageCount = detail::GetLittleEndian16(page, kLoaderFileTableOffset + 4 * i + 2);
  }
  table = decoded;
  return true;
}

bool IsLoaderHeader(std::span<const std::uint8_t> page) {
  return page.size() >= kLoaderHeaderTextBytes &&
         std::memcmp(page.data(), kLoaderHeaderText, kLoaderHeaderTextBytes) == 0;
}

bool LoadDeviceConfig(int port, std::span<std::uint8_t> buffer, [[maybe_unused]] int unused) {
  PortIoRecord* record = PortIo(port);
  if (record == nullptr) return false;
  if (buffer.size() < kConfigPageBytes) {
    DebugPrint("Device configuration read refused: needs %zu bytes, the buffer holds %zu\n", kConfigPageBytes,
               buffer.size());
    return false;
  }
  const std::span<std::uint8_t> page = buffer.first(kConfigPageBytes);
  // A read starts from what the port's work started with, never from an
  // earlier read's values; a read that fails leaves the port with those.
  ReplacePortFlashParams(port, nullptr);
  if (ReadMemoryBlock(port, kConfigPageParam, kConfigPageAddress, page, kConfigPageSectors) != kCommandOk) {
    return false;
  }

  FlashParams params = *ParamsOfPort(port);
  LoadLoaderBlocksFromConfig(*record, page);
  LoadFirmwareParamsFromConfig(*record, params, page);
  DecodeFlashGeometry(params.setting, params.geometry);

  const std::unique_ptr<std::uint8_t[]> storage(new (std::nothrow) std::uint8_t[kPhysicalPageBufferSize]);
  if (storage) {
    const std::span<std::uint8_t> loaderPage(storage.get(), kPhysicalPageBufferSize);
    for (int i = 0; i < kLoaderBlockSlots; ++i) {
      const std::uint16_t block = record->loaderBlocks[static_cast<std::size_t>(i)];
      const FlashPageAddress address{.channel = kAllChannels,
                                     .chipEnable = 0,
                                     .block = static_cast<std::uint16_t>(block >> 1),
                                     .page = 0,
                                     .bch24 = 0,
                                     .extra = 0};
      // The page size and date code are this drive's, not those the port started with.
      if (!ReadFlashPage(port, params, address, block, loaderPage, kConfigPageSectors)) continue;
      if (!IsLoaderHeader(loaderPage)) continue;
      LoadFlashSettingFromConfig(params.setting, loaderPage);
      LoadPercentagesFromConfig(params, loaderPage);
      LoadFileTableFromConfig(params.loaderFileTable, loaderPage);
      // The header may name another part: keep the geometry its own.
      DecodeFlashGeometry(params.setting, params.geometry);
      break;
    }
  } else {
    DebugPrint("Device configuration read: no memory for the loader header search\n");
  }

  ReplacePortFlashParams(port, std::make_shared<const FlashParams>(std::move(params)));
  return true;
}

}  // namespace devlib
