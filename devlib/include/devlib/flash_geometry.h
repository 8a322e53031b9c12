#pragma once
// Flash geometry: the flash type word of a part, the flash parameters decoded
// from a flash list row and the settings, the corrections some flash parts
// need, the capacity formulas and the small numeric and file helpers the
// table code shares.

#include <cstdint>
#include <filesystem>
#include <istream>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "devlib/flash_list.h"
#include "devlib/flash_params.h"
#include "devlib/settings_record.h"

namespace devlib {

// Maker classes of the type word's bits 12-15.
inline constexpr std::uint8_t kMakerMicron = 0;
inline constexpr std::uint8_t kMakerSamsung = 1;
inline constexpr std::uint8_t kMakerToshiba = 2;
inline constexpr std::uint8_t kMakerHynix = 3;
inline constexpr std::uint8_t kMakerIntel = 4;
inline constexpr std::uint8_t kMakerMira = 5;

// The maker as Blockprobe shows it; an empty text for classes above 5.
std::string_view FlashMakerName(std::uint8_t makerClass);

inline constexpr int kMaxChannels = 8;
inline constexpr int kMaxBanks = 8;

// The flash type word, field by field. A size index the controller does not
// support decodes to 0.
struct FlashTypeFields {
  std::uint8_t sectorsPerPage = 0;  // bits 0-2: 4, 8, 16
  std::uint16_t pagesPerBlock = 0;  // bits 3-5: 64, 128, 256, 512
  std::uint16_t blockValue = 0;     // bits 6-8: 2048, 4096, 8192, 16384, 1024
  std::uint8_t planes = 0;          // 1 << bits 9-10
  bool mlc = false;                 // bit 11
  std::uint8_t makerClass = 0;      // bits 12-15
};
FlashTypeFields DecodeFlashTypeWord(std::uint16_t typeWord);

// Why a part cannot be used whatever the channel and bank settings (a chip
// enable count of 0 or above 8, a size index that decodes to 0); empty when
// it can.
std::string FlashPartProblem(std::uint16_t typeWord, std::uint8_t ceCount);
// Why this part with these channel and bank counts cannot be used (also
// channels or banks outside 1..8, banks not a multiple of the chip enables);
// empty when it can.
std::string FlashSettingProblem(const FlashSetting& setting);

// Fills the geometry from the type word, the half-pages flag and the chip
// enable and bank counts. The bank map never holds more than 8 entries nor
// more than the bank count. False when the setting is one FlashSettingProblem
// refuses; the geometry then holds what could be decoded.
bool DecodeFlashGeometry(const FlashSetting& setting, FlashGeometry& geometry);

struct FlashDecodeResult {
  bool ok = false;
  std::string message;  // names the row and what is wrong with it
};

// Applies row `row` of the flash list and the settings to `params`: geometry,
// counts, identity texts, thresholds, firmware options and the part
// corrections. The serial number, the UID and DrvCurrent are written back
// into `settings` in their normalised form. The option switches that the
// settings load put into `params` stay. A row that is not loaded, that the
// load found unusable, or that cannot be used with the settings' channel and
// bank counts, is refused and neither record is changed.
FlashDecodeResult DecodeFlashSetting(FlashParams& params, SettingsRecord& settings, const FlashTable& table, int row);

// The corrections keyed by flash maker part numbers, then the large-unit flag.
void ApplyPartQuirks(FlashParams& params);

struct FlashCapacity {
  std::uint64_t sectors = 0;
  std::uint16_t halfPlaneBlocks = 0;
  std::uint16_t totalBlocks = 0;
  std::uint16_t reservedBlocks = 0;
  std::uint16_t usableBlocks = 0;
};
// A geometry with a zero count gives 0 sectors; more than 1000 per mille of
// reserve is taken as 1000.
FlashCapacity ComputeFlashCapacity(const FlashParams& params);
std::uint64_t GetFlashCapacity(const FlashParams& params);
// Of the published flash parameters.
std::uint64_t GetFlashCapacity();

// 1 when the capacity in units of 2^30 bytes, computed in single precision,
// is above 200.
std::uint8_t LargeUnitFlag(std::uint64_t sectors);

std::uint8_t ComputeLayoutByte(const FlashSetting& setting, const FlashGeometry& geometry, std::uint16_t dieOffset);
std::uint16_t ComputeRawCapacityGB(const FlashSetting& setting, const FlashGeometry& geometry);

// Block and unit numbers of the table reads. On Toshiba parts without the
// extra mode the two are not inverse to each other; a zero half-plane block
// count leaves the number as it is.
std::uint16_t BlockToUnit(std::uint16_t block, const FlashSetting& setting, const FlashGeometry& geometry);
std::uint16_t UnitToBlock(std::uint16_t unit, const FlashSetting& setting, const FlashGeometry& geometry);

// True and the exponent when `value` is a power of two; false for 0 and for
// any other value.
bool Log2Exact(std::uint32_t value, int& exponent);
// 0 for 0.
std::uint8_t CountTrailingZeros(std::uint32_t value);

// The size of a file, 0 when it cannot be examined or is not a regular file.
std::uint64_t GetFileSize(const std::filesystem::path& path);
// The size in KiB, rounded up.
std::uint64_t GetFileSizeKB(const std::filesystem::path& path);

// Device words are little-endian whatever the host is.
std::uint16_t ToHost16(std::span<const std::uint8_t, 2> bytes);
std::uint32_t ToHost32(std::span<const std::uint8_t, 4> bytes);
void ToDevice16(std::span<std::uint8_t, 2> bytes, std::uint16_t value);
void ToDevice32(std::span<std::uint8_t, 4> bytes, std::uint32_t value);

// The next character that is not CR, LF or a space; nothing at the end.
std::optional<char> ReadNonBlank(std::istream& stream);

// The length of `text`, reading no more than `limit` characters of it.
std::size_t BoundedLength(const char* text, std::size_t limit);

}  // namespace devlib
