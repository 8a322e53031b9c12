#include "firmware_boot.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "bytes.h"

namespace drivesim::detail {
namespace {

constexpr std::uint16_t kHeaderPage = 0;
constexpr std::uint16_t kDefectPage = 1;
constexpr char kBlocksText[] = "LDBK BLOCKS V30";  // with its 0 byte: 16 bytes
constexpr char kConfigText[] = "LDBK CONFIG V30";
constexpr std::size_t kConfigSection = 512;
constexpr std::size_t kSequence = 528;
constexpr std::size_t kFileCount = 560;
constexpr std::size_t kFirstPage = 564;
constexpr std::size_t kLastPage = 566;
constexpr std::size_t kFileTable = 568;
constexpr std::size_t kFileSlots = 8;  // up to byte 600
constexpr std::array<std::uint8_t, 4> kEndMarker{0x55, 0xaa, 0xec, 0x31};
constexpr std::array<std::uint8_t, 16> kDefectSignature{0xe9, 0x86, 0xaa, 0x55, 'K', 'W', 'F', 'A',
                                                        '3',  'X',  '-',  'V',  '0', '0', '1', 0};

constexpr std::size_t kFirmwareHeader = 0x300;
constexpr std::size_t kDateCode = kFirmwareHeader + 6;
constexpr std::size_t kDateCodeBytes = 6;
constexpr std::size_t kModeCharacter = kFirmwareHeader + 13;
constexpr std::size_t kFirmwareHeaderBytes = 51;
constexpr std::size_t kIdentifyImage = 76;
constexpr std::size_t kInquiryImage = 110;
constexpr std::size_t kVendorId = 100;
constexpr std::size_t kProductId = 102;

std::uint16_t le16(std::span<const std::uint8_t> b, std::size_t at) {
  return static_cast<std::uint16_t>(b[at] | b[at + 1] << 8);
}

std::optional<std::uint8_t> firstChipEnable(const DriveConfig& config) {
  const auto ids = chipEnableIds(config.flashBanks, config.flashChipEnables);
  if (ids.empty()) return std::nullopt;
  return ids.front();
}

std::vector<std::uint8_t> pageOf(const FlashArray& flash, std::uint8_t chipEnable, std::uint16_t block,
                                 std::uint16_t page) {
  std::vector<std::uint8_t> bytes(flash.pageBytes());
  flash.read({0, chipEnable, block, page}, bytes);
  return bytes;
}

bool holdsText(std::span<const std::uint8_t> page, std::size_t at, std::string_view text) {
  // The text and its 0 byte.
  if (page.size() < at + text.size() + 1) return false;
  return std::equal(text.begin(), text.end(), page.begin() + static_cast<std::ptrdiff_t>(at)) &&
         page[at + text.size()] == 0;
}

bool isHeader(std::span<const std::uint8_t> page) {
  return holdsText(page, 0, kBlocksText) && holdsText(page, kConfigSection, kConfigText);
}

// The loader blocks the loader looks at, on channel 0.
bool usable(const FlashArray& flash, std::uint8_t chipEnable, std::uint16_t block, std::uint16_t page) {
  return flash.present(0, chipEnable) && flash.inRange(block, page);
}

std::string trimmed(std::string text) {
  while (!text.empty() && (text.back() == ' ' || text.back() == '\0')) text.pop_back();
  return text;
}

// ATA string order: character i sits at byte i XOR 1.
std::string ataString(std::span<const std::uint8_t> image, std::size_t word, std::size_t words) {
  std::string text;
  for (std::size_t i = 0; i < 2 * words; ++i) text += static_cast<char>(image[(2 * word + i) ^ 1]);
  return trimmed(text);
}

struct FileEntry {
  std::uint16_t start = 0;
  std::uint16_t pages = 0;
};

}  // namespace

std::string BootedFirmware::dateCode() const {
  return std::string(identityPage.begin() + kDateCode, identityPage.begin() + kDateCode + kDateCodeBytes);
}

std::array<std::uint8_t, 512> BootedFirmware::identifyImage() const {
  std::array<std::uint8_t, 512> image{};
  std::copy_n(identityPage.begin() + kIdentifyImage, image.size(), image.begin());
  return image;
}

std::string BootedFirmware::model() const { return ataString(identifyImage(), 27, 20); }
std::string BootedFirmware::serial() const { return ataString(identifyImage(), 10, 10); }
std::string BootedFirmware::firmwareRevision() const { return ataString(identifyImage(), 23, 4); }

std::array<std::uint8_t, 36> BootedFirmware::inquiryImage() const {
  std::array<std::uint8_t, 36> image{};
  std::copy_n(identityPage.begin() + kInquiryImage, image.size(), image.begin());
  return image;
}

std::uint16_t BootedFirmware::usbVendorId() const { return le16(identityPage, kVendorId); }
std::uint16_t BootedFirmware::usbProductId() const { return le16(identityPage, kProductId); }

std::string BootedFirmware::usbString(std::size_t at, std::size_t most) const {
  if (at + 2 > identityPage.size()) return {};
  const std::size_t length = identityPage[at];
  const std::size_t chars = std::min(length < 2 ? 0 : (length - 2) / 2, most);
  std::string text;
  for (std::size_t i = 0; i < chars && at + 3 + 2 * i < identityPage.size(); ++i) {
    text += static_cast<char>(identityPage[at + 2 + 2 * i]);
  }
  return text;
}

bool downloadPresent(const DriveConfig& config, const FlashArray& flash) {
  const auto chipEnable = firstChipEnable(config);
  if (!chipEnable) return false;
  return std::any_of(config.loaderBlocks.begin(), config.loaderBlocks.end(), [&](std::uint16_t block) {
    return usable(flash, *chipEnable, block, kFirstFirmwarePage) &&
           flash.programmed({0, *chipEnable, block, kFirstFirmwarePage});
  });
}

BootOutcome bootDownload(const DriveConfig& config, const FlashArray& flash, std::uint8_t runMode) {
  const auto chipEnable = firstChipEnable(config);
  if (!chipEnable || flash.pageBytes() < kFirmwareHeader + kFirmwareHeaderBytes) {
    return {std::nullopt, "boot: no flash to boot from"};
  }
  std::optional<std::uint16_t> headerBlock;
  std::vector<std::uint8_t> header;
  for (const std::uint16_t block : config.loaderBlocks) {
    if (!usable(flash, *chipEnable, block, kHeaderPage)) continue;
    header = pageOf(flash, *chipEnable, block, kHeaderPage);
    if (isHeader(header)) {
      headerBlock = block;
      break;
    }
  }
  if (!headerBlock) return {std::nullopt, "boot: no loader block carries both header texts"};
  const std::string where = "boot: loader block " + std::to_string(*headerBlock);

  const std::size_t count = header[kFileCount];
  const std::uint16_t first = le16(header, kFirstPage);
  const std::uint16_t last = le16(header, kLastPage);
  if (count == 0 || count > kFileSlots) {
    return {std::nullopt, where + ": file table: " + std::to_string(count) + " files"};
  }
  if (first > last || !flash.inRange(*headerBlock, last)) {
    return {std::nullopt, where + ": file table: firmware pages " + std::to_string(first) + ".." +
                              std::to_string(last) + " do not fit the block"};
  }
  std::vector<FileEntry> files;
  for (std::size_t i = 0; i < count; ++i) {
    const FileEntry file{le16(header, kFileTable + 4 * i), le16(header, kFileTable + 4 * i + 2)};
    if (file.pages == 0 || file.start < first || file.start + file.pages - 1 > last) {
      return {std::nullopt, where + ": file table: file " + std::to_string(i) + " (pages " +
                                std::to_string(file.start) + " + " + std::to_string(file.pages) +
                                ") lies outside the firmware pages"};
    }
    files.push_back(file);
  }
  for (std::size_t i = 0; i < files.size(); ++i) {
    const auto lastPage = static_cast<std::uint16_t>(files[i].start + files[i].pages - 1);
    const auto page = pageOf(flash, *chipEnable, *headerBlock, lastPage);
    if (!std::equal(kEndMarker.begin(), kEndMarker.end(), page.end() - kEndMarker.size())) {
      return {std::nullopt, where + ": file " + std::to_string(i) + " has no end marker in page " +
                                std::to_string(lastPage)};
    }
  }

  const std::size_t wanted = runMode == 3 ? 2 : 1;
  if (wanted >= files.size()) {
    return {std::nullopt, where + ": run mode " + std::to_string(runMode) + " needs file " + std::to_string(wanted) +
                              ", the table lists " + std::to_string(files.size())};
  }
  const FileEntry& file = files[wanted];
  for (std::uint16_t k = 0; k < file.pages; ++k) {
    const auto pageNumber = static_cast<std::uint16_t>(file.start + k);
    auto page = pageOf(flash, *chipEnable, *headerBlock, pageNumber);
    const char mode = static_cast<char>(page[kModeCharacter]);
    if (std::memcmp(&page[kFirmwareHeader], "KWSS", 4) != 0) continue;
    if (mode != 'S' && mode != 'U') continue;
    BootedFirmware booted{*headerBlock, wanted, pageNumber, mode, std::move(page)};
    return {std::move(booted), where + ": file " + std::to_string(wanted) + " booted, '" + std::string(1, mode) +
                                   "' identity on page " + std::to_string(pageNumber)};
  }
  return {std::nullopt, where + ": file " + std::to_string(wanted) + " has no KWSS page with mode S or U"};
}

std::optional<std::uint16_t> newestHeaderSequence(const DriveConfig& config, const FlashArray& flash) {
  const auto chipEnable = firstChipEnable(config);
  if (!chipEnable || flash.pageBytes() <= kSequence + 1) return std::nullopt;
  std::optional<std::uint16_t> newest;
  for (const std::uint16_t block : config.loaderBlocks) {
    if (!usable(flash, *chipEnable, block, kHeaderPage)) continue;
    const auto page = pageOf(flash, *chipEnable, block, kHeaderPage);
    if (!isHeader(page)) continue;
    const std::uint16_t sequence = le16(page, kSequence);
    if (!newest || sequence > *newest) newest = sequence;
  }
  return newest;
}

bool defectTablesPresent(const DriveConfig& config, const FlashArray& flash) {
  const auto chipEnable = firstChipEnable(config);
  if (!chipEnable || flash.pageBytes() < kDefectSignature.size()) return false;
  return std::any_of(config.loaderBlocks.begin(), config.loaderBlocks.end(), [&](std::uint16_t block) {
    if (!usable(flash, *chipEnable, block, kDefectPage)) return false;
    const auto page = pageOf(flash, *chipEnable, block, kDefectPage);
    return std::equal(kDefectSignature.begin(), kDefectSignature.end(), page.begin());
  });
}

void eraseLoaderBlocks(const DriveConfig& config, FlashArray& flash) {
  const auto chipEnable = firstChipEnable(config);
  if (!chipEnable || !flash.geometry()) return;
  for (const std::uint16_t block : config.loaderBlocks) {
    if (!flash.inRange(block, 0)) continue;
    for (std::uint8_t channel = 0; channel < config.flashChannels; ++channel) {
      if (flash.present(channel, *chipEnable)) flash.erase(channel, *chipEnable, block);
    }
  }
}

std::uint8_t loaderFileCount(const DriveConfig& config, const FlashArray& flash) {
  const auto chipEnable = firstChipEnable(config);
  if (!chipEnable || flash.pageBytes() <= kFileCount) return 0;
  for (const std::uint16_t block : config.loaderBlocks) {
    if (!usable(flash, *chipEnable, block, kHeaderPage)) continue;
    const auto page = pageOf(flash, *chipEnable, block, kHeaderPage);
    if (isHeader(page)) return page[kFileCount];
  }
  return 0;
}

}  // namespace drivesim::detail
