#include "devlib/flash_geometry.h"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cstdio>
#include <optional>
#include <string>
#include <system_error>
#include <utility>

#include "byte_fields.h"
#include "devlib/debug_print.h"

namespace devlib {
namespace {

constexpr std::array<std::uint8_t, 8> kSectorsPerPage = {4, 8, 16, 0, 0, 0, 0, 0};
constexpr std::array<std::uint16_t, 8> kPagesPerBlock = {64, 128, 256, 512, 0, 0, 0, 0};
constexpr std::array<std::uint16_t, 8> kBlockValue = {2048, 4096, 8192, 16384, 1024, 0, 0, 0};
constexpr std::array<std::string_view, 6> kMakerNames = {"Micron", "Samsung", "Toshiba", "Hynix", "Intel", "Mira"};

constexpr std::array<std::uint8_t, 7> kRegisterSet1 = {0x00, 0x00, 0x00, 0x00, 0x9B, 0x39, 0x54};
constexpr std::array<std::uint8_t, 7> kRegisterSet2 = {0x11, 0x11, 0x11, 0x00, 0x9B, 0xF9, 0x54};

constexpr std::uint8_t kFeatureTrim = 0x01;
constexpr std::uint8_t kFeatureThermalSensor = 0x02;
constexpr std::uint8_t kFeatureAlways08 = 0x08;
constexpr std::uint8_t kFeatureSizeAlignment = 0x10;
constexpr std::uint8_t kFeaturePartMode = 0x20;
constexpr std::uint8_t kFeatureAlways40 = 0x40;

// The serial number goes into the 20 characters of the IDENTIFY serial field.
constexpr std::size_t kSerialNumberLimit = 20;
constexpr std::size_t kUidLength = 9;
constexpr std::uint16_t kMaxResPercentage = 1000;

// Samsung parts that need the part mode feature bit; all but the last also
// the part flag option.
constexpr std::array<std::string_view, 4> kSamsungModeParts = {"K9GBG08U0A", "K9LCG08U0A", "K9HDG08U1A", "K9GBG08U0F"};
constexpr std::size_t kSamsungFlagParts = 3;
constexpr std::array<std::string_view, 6> kHynixModeParts = {"H27UBG8T2A", "H27UCG8U5A", "H27UCG8UDA",
                                                             "H27UDG8V5A", "H27UDG8VFA", "H27UDG8VEA"};

std::uint8_t MakerClass(std::uint16_t typeWord) { return static_cast<std::uint8_t>(typeWord >> 12); }

// The Toshiba layout without the extra mode numbers blocks in another way.
bool ToshibaLayout(const FlashSetting& setting) {
  return MakerClass(setting.typeWord) == kMakerToshiba && setting.extraMode == 0;
}

std::string Hex4(std::uint16_t value) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%04X", value);
  return text;
}

std::string BankProblem(const FlashSetting& setting) {
  if (setting.chipEnables == 0) return "the chip enable count is 0";
  if (setting.banks < 1 || setting.banks > kMaxBanks) {
    return std::to_string(setting.banks) + " banks are not supported (1 to " + std::to_string(kMaxBanks) + ")";
  }
  if (setting.banks % setting.chipEnables != 0) {
    return std::to_string(setting.banks) + " banks are not a multiple of " + std::to_string(setting.chipEnables) +
           " chip enables";
  }
  return {};
}

// Entry n = g + ce for group bases g = 0, 4, 8, ... and ce below the chip
// enable count, until the bank count or the 8 entries are reached.
std::array<std::uint8_t, 8> BuildBankMap(std::uint8_t chipEnables, std::uint8_t banks) {
  std::array<std::uint8_t, 8> map{};
  const std::size_t entries = std::min<std::size_t>(banks, map.size());
  if (chipEnables == 0) return map;
  std::size_t n = 0;
  for (unsigned group = 0; n < entries; group += 4) {
    for (unsigned ce = 0; ce < chipEnables && n < entries; ++ce) map[n++] = static_cast<std::uint8_t>(group + ce);
  }
  return map;
}

std::string NormaliseLength(std::string_view text, std::size_t length) {
  if (text.size() < length) return std::string(length - text.size(), '0') + std::string(text);
  return std::string(text.substr(text.size() - length));
}

std::optional<std::uint16_t> ParseHex16(std::string_view text) {
  std::uint32_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, 16);
  if (error != std::errc{} || end != text.data() + text.size() || value > 0xFFFF) return std::nullopt;
  return static_cast<std::uint16_t>(value);
}

// An empty text keeps the old value, and so does a text that is no
// hexadecimal number of 16 bits.
void ApplyHexId(std::string_view key, std::string_view text, std::uint16_t& field) {
  if (text.empty()) return;
  if (const auto value = ParseHex16(text)) {
    field = *value;
  } else {
    DebugPrint("%.*s '%.*s' is not a hexadecimal ID; keeping %04X\n", static_cast<int>(key.size()), key.data(),
               static_cast<int>(text.size()), text.data(), field);
  }
}

bool HasAt(std::string_view name, std::size_t offset, std::string_view text) {
  return name.size() >= offset + text.size() && name.substr(offset, text.size()) == text;
}

template <std::size_t N>
bool StartsWithAny(std::string_view name, const std::array<std::string_view, N>& prefixes, std::size_t count = N) {
  return std::any_of(prefixes.begin(), prefixes.begin() + static_cast<std::ptrdiff_t>(count),
                     [name](std::string_view prefix) { return name.starts_with(prefix); });
}

std::string_view BaseName(std::string_view path) {
  const auto slash = path.find_last_of("/\\");
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

}  // namespace

std::string_view FlashMakerName(std::uint8_t makerClass) {
  return makerClass < kMakerNames.size() ? kMakerNames[makerClass] : std::string_view();
}

FlashTypeFields DecodeFlashTypeWord(std::uint16_t typeWord) {
  FlashTypeFields fields;
  fields.sectorsPerPage = kSectorsPerPage[typeWord & 0x7];
  fields.pagesPerBlock = kPagesPerBlock[(typeWord >> 3) & 0x7];
  fields.blockValue = kBlockValue[(typeWord >> 6) & 0x7];
  fields.planes = static_cast<std::uint8_t>(1u << ((typeWord >> 9) & 0x3));
  fields.mlc = ((typeWord >> 11) & 1) != 0;
  fields.makerClass = MakerClass(typeWord);
  return fields;
}

std::string FlashPartProblem(std::uint16_t typeWord, std::uint8_t ceCount) {
  if (ceCount == 0) return "the chip enable count is 0";
  if (ceCount > kMaxBanks) {
    return "the chip enable count " + std::to_string(ceCount) + " is above " + std::to_string(kMaxBanks);
  }
  const FlashTypeFields fields = DecodeFlashTypeWord(typeWord);
  const std::string word = "type word " + Hex4(typeWord) + ": ";
  if (fields.sectorsPerPage == 0) {
    return word + "sectors per page index " + std::to_string(typeWord & 0x7) + " is not supported";
  }
  if (fields.pagesPerBlock == 0) {
    return word + "pages per block index " + std::to_string((typeWord >> 3) & 0x7) + " is not supported";
  }
  if (fields.blockValue == 0) {
    return word + "block index " + std::to_string((typeWord >> 6) & 0x7) + " is not supported";
  }
  return {};
}

std::string FlashSettingProblem(const FlashSetting& setting) {
  if (auto problem = FlashPartProblem(setting.typeWord, setting.chipEnables); !problem.empty()) return problem;
  if (setting.channels < 1 || setting.channels > kMaxChannels) {
    return std::to_string(setting.channels) + " channels are not supported (1 to " + std::to_string(kMaxChannels) + ")";
  }
  return BankProblem(setting);
}

bool DecodeFlashGeometry(const FlashSetting& setting, FlashGeometry& geometry) {
  const FlashTypeFields fields = DecodeFlashTypeWord(setting.typeWord);
  geometry = FlashGeometry{};
  geometry.blockValue = fields.blockValue;
  geometry.planes = fields.planes;
  geometry.sectorsPerPage = fields.sectorsPerPage;
  geometry.pagesPerBlock = setting.halfPages != 0 ? fields.pagesPerBlock / 2 : fields.pagesPerBlock;
  geometry.halfPlaneBlocks = static_cast<std::uint16_t>((fields.blockValue / 2) / fields.planes);
  geometry.bankMap = BuildBankMap(setting.chipEnables, setting.banks);
  return FlashPartProblem(setting.typeWord, setting.chipEnables).empty() && BankProblem(setting).empty();
}

FlashDecodeResult DecodeFlashSetting(FlashParams& params, SettingsRecord& settings, const FlashTable& table, int row) {
  const auto refuse = [&](std::string why) {
    std::string message = "flash part " + DescribeFlashRow(table, row) + ": " + why;
    DebugPrint("%s\n", message.c_str());
    return FlashDecodeResult{false, std::move(message)};
  };
  if (row < 0 || row >= std::min(table.FlashEntryCount, kFlashTableRows)) {
    return refuse("no such row in the flash list");
  }
  const FlashListEntry& entry = table.entries[static_cast<std::size_t>(row)];
  if (!entry.problem.empty()) return refuse(entry.problem.str());

  // Built aside, so that a refused row changes nothing.
  FlashParams next = params;

  FlashSetting& setting = next.setting;
  setting.typeWord = static_cast<std::uint16_t>(entry.typeWord);
  setting.chipEnables = entry.ceCount;
  setting.eccMode = entry.eccMode;
  setting.halfPages = entry.option11[2];
  setting.partName = entry.partName;
  next.firmwareOptions[kFirmwareOptionFromList] = entry.option11[0];
  setting.extraMode = static_cast<std::uint8_t>(entry.option12 & 0xFF);
  next.token14 = entry.dieOffset;
  next.token15 = entry.option15;
  setting.channels = settings.Channel;
  setting.banks = settings.Bank;
  // Option 10 and token 13 of the list have no use; they always go out as 0.
  next.firmwareOptions[kFirmwareOptionCleared] = 0;
  next.token13 = 0;
  if (auto problem = FlashSettingProblem(setting); !problem.empty()) return refuse(problem);

  next.featureByte = 0;
  if (settings.EnTrimCmd) next.featureByte |= kFeatureTrim;
  if (settings.EnThermalSensor) next.featureByte |= kFeatureThermalSensor;
  next.featureByte |= kFeatureAlways08;
  if (settings.EnSizeAlignment) next.featureByte |= kFeatureSizeAlignment;
  next.featureByte |= kFeatureAlways40;

  DecodeFlashGeometry(setting, next.geometry);
  setting.layoutByte = ComputeLayoutByte(setting, next.geometry, next.token14);
  setting.rawCapacityGB = ComputeRawCapacityGB(setting, next.geometry);

  next.flashId = entry.flashId;
  next.defPercentage = settings.DefPercentage;
  next.resPercentage = settings.ResPercentage;

  next.firmwareOptions[kFirmwareOptionPartFlag] = 0;
  next.registerSet1 = kRegisterSet1;
  next.registerSet2 = kRegisterSet2;

  next.securityCounter = settings.SecurityCounter;
  next.dirtyDepth = std::clamp<std::uint16_t>(settings.DirtyDepth, 10, 40);
  next.readErrorThresholdBch16 = settings.Bch16ReadErrorThreshold;
  next.readErrorThresholdBch24 = settings.Bch24ReadErrorThreshold;
  next.eccCopyThresholdBch16 = settings.Bch16EccErrorCopyThreshold;
  next.eccCopyThresholdBch24 = settings.Bch24EccErrorCopyThreshold;
  next.wearLevelFrequency = settings.WearLevelFrequency;
  next.drvCurrent = settings.DrvCurrent;
  next.firmwareOptions[kFirmwareOptionScramble] = settings.ScrambleEnable;
  next.firmwareOptions[kFirmwareOptionRemap] = settings.RemapEnable;

  next.firmwareVer = settings.FirmwareVer;
  next.modelNum = settings.ModelNum;
  ApplyHexId("VID", settings.VID.view(), next.vid);
  ApplyHexId("PID", settings.PID.view(), next.pid);
  next.vendorName = settings.VendorName;
  next.productName = settings.ProductName;
  next.manufString = settings.ManufString;
  next.productString = settings.ProductString;
  next.encryptionString = settings.EncryptionString;

  const std::size_t serialLength = std::min<std::size_t>(settings.SNMinLength, kSerialNumberLimit);
  const std::string serial = NormaliseLength(settings.SerialNum.view(), serialLength);
  next.oui = settings.OUI;
  const std::string uid = NormaliseLength(settings.UID.view(), kUidLength);

  next.opcodeSetSelector = next.sataBusMode;

  ApplyPartQuirks(next);

  if (settings.EnModifyTMCvalue) {
    next.registerSet2[0] = settings.TMC0;
    next.registerSet2[1] = settings.TMC1;
  }

  settings.SerialNum.assign(serial);
  settings.UID.assign(uid);
  settings.DrvCurrent = next.drvCurrent;
  params = std::move(next);
  return FlashDecodeResult{true, {}};
}

void ApplyPartQuirks(FlashParams& params) {
  const FlashSetting& setting = params.setting;
  const std::uint8_t maker = MakerClass(setting.typeWord);
  const bool micronWord = setting.typeWord < 0x1000;
  const bool extraMode = setting.extraMode != 0;
  const std::string_view name = setting.partName.view();
  auto& option = params.firmwareOptions;

  if (maker == kMakerSamsung && (StartsWithAny(name, kSamsungModeParts) || extraMode)) {
    params.featureByte = static_cast<std::uint8_t>((params.featureByte | kFeaturePartMode) & ~kFeatureAlways40);
  }
  if (maker == kMakerHynix && (StartsWithAny(name, kHynixModeParts) || extraMode)) {
    params.featureByte |= kFeaturePartMode;
  }
  if (maker == kMakerIntel && HasAt(name, 13, "E")) option[kFirmwareOptionPartFlag] = 1;
  if (micronWord && (HasAt(name, 10, "CBAAA") || HasAt(name, 10, "CBABA"))) option[kFirmwareOptionPartFlag] = 1;
  if ((maker == kMakerIntel || micronWord) && params.enScrambleRandomSeed) option[kFirmwareOptionPartFlag] = 1;
  if (maker == kMakerSamsung && StartsWithAny(name, kSamsungModeParts, kSamsungFlagParts)) {
    option[kFirmwareOptionPartFlag] = 1;
  }
  if (maker == kMakerHynix && (StartsWithAny(name, kHynixModeParts) || name.starts_with("H27UCG8T2MYR"))) {
    option[kFirmwareOptionPartFlag] = 1;
  }
  if (maker == kMakerSamsung || (maker == kMakerToshiba && HasAt(name, 6, "G7D2E"))) {
    params.registerSet2[0] = 0x21;
    params.registerSet2[1] = 0x21;
  }
  // The download files are kept as full paths; the firmware is known by its
  // file name.
  if (!params.downloadFiles.empty() && BaseName(params.downloadFiles.front()).starts_with("SYS_STDB")) {
    params.registerSet1[5] = 0xF9;
    params.registerSet1[6] = 0xF4;
    params.registerSet2[6] = 0xF4;
  }
  if (maker == kMakerSamsung && (HasAt(name, 2, "HDG08") || HasAt(name, 2, "PFG08"))) {
    params.eccCopyThresholdBch24 = 15;
  }
  option[kFirmwareOptionRemap] = (maker == kMakerToshiba && option[kFirmwareOptionRemap] != 0) ? 1 : 0;
  params.largeUnitFlag = LargeUnitFlag(GetFlashCapacity(params));
}

FlashCapacity ComputeFlashCapacity(const FlashParams& params) {
  const FlashGeometry& geometry = params.geometry;
  const unsigned channels = params.setting.channels;
  const unsigned banks = params.setting.banks;
  FlashCapacity capacity;
  if (geometry.planes == 0) return capacity;

  const unsigned half = (geometry.blockValue / geometry.planes) >> 1;
  const unsigned reservePerMille = std::min(params.resPercentage, kMaxResPercentage);
  capacity.halfPlaneBlocks = static_cast<std::uint16_t>(half);
  capacity.totalBlocks = static_cast<std::uint16_t>(half * geometry.planes);
  capacity.reservedBlocks = static_cast<std::uint16_t>(((reservePerMille * half) / 1000) * geometry.planes);
  capacity.usableBlocks = static_cast<std::uint16_t>(capacity.totalBlocks - capacity.reservedBlocks);

  if (geometry.pagesPerBlock == 0 || channels == 0 || geometry.sectorsPerPage == 0) return capacity;
  // Blocks kept back so that the capacity ends on a whole unit.
  const auto keptBack =
      static_cast<std::uint8_t>((128u / geometry.pagesPerBlock) * (8u / channels) * (16u / geometry.sectorsPerPage));
  if (capacity.usableBlocks <= keptBack) return capacity;
  capacity.sectors = static_cast<std::uint64_t>(capacity.usableBlocks - keptBack) * (2u * channels) * banks *
                     geometry.pagesPerBlock * geometry.sectorsPerPage;
  return capacity;
}

std::uint64_t GetFlashCapacity(const FlashParams& params) { return ComputeFlashCapacity(params).sectors; }

std::uint64_t GetFlashCapacity() { return GetFlashCapacity(*CurrentFlashParams()); }

std::uint8_t LargeUnitFlag(std::uint64_t sectors) {
  const float gibibytes = static_cast<float>(sectors) * 0x1p-30f * 512.0f;
  return gibibytes > 200.0f ? 1 : 0;
}

std::uint8_t ComputeLayoutByte(const FlashSetting& setting, const FlashGeometry& geometry, std::uint16_t dieOffset) {
  unsigned layout = ToshibaLayout(setting) ? 0 : 0x10;
  int exponent = 0;
  if (geometry.planes != 0) {
    const std::uint32_t span =
        dieOffset != 0 ? std::uint32_t{dieOffset} * 2u * geometry.planes : std::uint32_t{geometry.blockValue};
    if (Log2Exact(span / geometry.planes, exponent)) layout |= static_cast<unsigned>((exponent - 10) & 3) << 2;
  }
  if (Log2Exact(geometry.pagesPerBlock, exponent)) layout |= static_cast<unsigned>((exponent - 6) & 3);
  return static_cast<std::uint8_t>(layout);
}

std::uint16_t ComputeRawCapacityGB(const FlashSetting& setting, const FlashGeometry& geometry) {
  const std::uint32_t megabytes = (std::uint32_t{geometry.sectorsPerPage} / 2) * geometry.pagesPerBlock *
                                  (std::uint32_t{geometry.blockValue} >> 10) * setting.channels * setting.banks;
  return static_cast<std::uint16_t>(megabytes >> 10);
}

std::uint16_t BlockToUnit(std::uint16_t block, const FlashSetting& setting, const FlashGeometry& geometry) {
  if (!ToshibaLayout(setting)) return static_cast<std::uint16_t>(block >> 1);
  const unsigned half = geometry.halfPlaneBlocks;
  if (half == 0) return block;
  const auto group = static_cast<std::uint8_t>(block / (2 * half));
  return static_cast<std::uint16_t>(group * half + block % (2 * half));
}

std::uint16_t UnitToBlock(std::uint16_t unit, const FlashSetting& setting, const FlashGeometry& geometry) {
  if (!ToshibaLayout(setting)) return static_cast<std::uint16_t>(unit * 2u);
  const unsigned half = geometry.halfPlaneBlocks;
  if (half == 0) return unit;
  const auto group = static_cast<std::uint8_t>(unit / half);
  return static_cast<std::uint16_t>(2 * half * group + 2 * (unit % half));
}

bool Log2Exact(std::uint32_t value, int& exponent) {
  if (value == 0) return false;
  int bits = 0;
  for (; value > 1; value >>= 1, ++bits) {
    if (value & 1) return false;
  }
  exponent = bits;
  return true;
}

std::uint8_t CountTrailingZeros(std::uint32_t value) {
  return value == 0 ? 0 : static_cast<std::uint8_t>(std::countr_zero(value));
}

std::uint64_t GetFileSize(const std::filesystem::path& path) {
  std::error_code error;
  if (!std::filesystem::is_regular_file(path, error)) return 0;
  const auto size = std::filesystem::file_size(path, error);
  return error ? 0 : size;
}

std::uint64_t GetFileSizeKB(const std::filesystem::path& path) { return (GetFileSize(path) + 1023) / 1024; }

std::uint16_t ToHost16(std::span<const std::uint8_t, 2> bytes) { return detail::GetLittleEndian16(bytes, 0); }

std::uint32_t ToHost32(std::span<const std::uint8_t, 4> bytes) { return detail::GetLittleEndian32(bytes, 0); }

void ToDevice16(std::span<std::uint8_t, 2> bytes, std::uint16_t value) { detail::PutLittleEndian16(bytes, 0, value); }

void ToDevice32(std::span<std::uint8_t, 4> bytes, std::uint32_t value) { detail::PutLittleEndian32(bytes, 0, value); }

std::optional<char> ReadNonBlank(std::istream& stream) {
  for (char c = 0; stream.get(c);) {
    if (c != '\r' && c != '\n' && c != ' ') return c;
  }
  return std::nullopt;
}

std::size_t BoundedLength(const char* text, std::size_t limit) {
  if (text == nullptr) return 0;
  std::size_t length = 0;
  while (length < limit && text[length] != '\0') ++length;
  return length;
}

}  // namespace devlib
