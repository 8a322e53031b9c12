#include "config_page.h"

#include <algorithm>
#include <array>
#include <bit>
#include <string_view>

#include "ata_data.h"
#include "bytes.h"

namespace drivesim::detail {
namespace {

constexpr std::size_t kIdentifyImage = 76;
constexpr std::size_t kVendorId = 100;
constexpr std::size_t kProductId = 102;
constexpr std::size_t kInquiryImage = 110;
constexpr std::size_t kInquiryBytes = 36;
constexpr std::size_t kManufacturerString = 158;
constexpr std::size_t kManufacturerChars = 16;
constexpr std::size_t kProductString = 192;
constexpr std::size_t kProductChars = 24;
constexpr std::size_t kSerialString = 242;
constexpr std::size_t kSerialChars = 24;  // up to the end of the USB identity at 292
constexpr std::uint8_t kStringDescriptor = 3;

constexpr std::size_t kFirmwareHeader = 0x300;
constexpr std::size_t kFirmwareHeaderBytes = 51;
constexpr std::size_t kDateCode = 6;
constexpr std::size_t kModeCharacter = 13;
constexpr std::size_t kRevision = 16;

constexpr std::size_t kParamBlock = 0xa00;
constexpr std::size_t kParamBlockBytes = 48 + 64;
constexpr std::size_t kGeometry = 48;  // within the parameter block

constexpr std::array<std::uint8_t, 7> kRegisterSet1{0x00, 0x00, 0x00, 0x00, 0x9b, 0x39, 0x54};

constexpr std::size_t kLoaderBlockSlots = 4;
constexpr std::uint16_t kNoBlock = 0xffff;
constexpr std::size_t kLoaderFileSlots = 8;
constexpr std::size_t kPartName = 608;
constexpr std::size_t kPartNameBytes = 32;

void putText(std::span<std::uint8_t> page, std::size_t at, std::string_view text, std::size_t room) {
  const std::size_t n = std::min(text.size(), room);
  std::copy_n(text.begin(), n, page.begin() + static_cast<std::ptrdiff_t>(at));
}

void putLe32(std::span<std::uint8_t> b, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// A string descriptor: length 2 x characters + 2, type 3, UTF-16LE characters.
void putStringDescriptor(std::span<std::uint8_t> page, std::size_t at, std::string_view text, std::size_t most) {
  const std::size_t n = std::min(text.size(), most);
  page[at] = static_cast<std::uint8_t>(2 * n + 2);
  page[at + 1] = kStringDescriptor;
  for (std::size_t i = 0; i < n; ++i) bytes::putLe16(page, at + 2 + 2 * i, static_cast<unsigned char>(text[i]));
}

std::uint8_t log2Of(std::uint32_t value) { return value == 0 ? 0 : static_cast<std::uint8_t>(std::countr_zero(value)); }

// Bit 4 unless a Toshiba part without the extra mode; bits 2-3 from the
// blocks per plane, bits 0-1 from the pages per block, each where a power of two.
std::uint8_t layoutByte(const DriveConfig& config, const FlashGeometry& g) {
  unsigned layout = makerClass(config.flashTypeWord) == 2 && !config.flashExtraMode ? 0 : 0x10;
  const unsigned perPlane = g.blocks / g.planes;
  if (std::has_single_bit(perPlane)) layout |= ((log2Of(perPlane) - 10u) & 3u) << 2;
  if (std::has_single_bit(unsigned{g.pagesPerBlock})) layout |= (log2Of(g.pagesPerBlock) - 6u) & 3u;
  return static_cast<std::uint8_t>(layout);
}

std::uint8_t makerClassBits(std::uint8_t maker, bool extraMode) {
  switch (maker) {
    case 0:
    case 4: return 0x01;
    case 1: return 0x02;
    case 2: return 0x04;
    case 3: return extraMode ? 0x04 : 0x02;
    default: return 0;
  }
}

std::uint16_t loaderBlock(const DriveConfig& config, std::size_t i) {
  return i < config.loaderBlocks.size() ? config.loaderBlocks[i] : kNoBlock;
}

// The start page of each download file: the first at page 8, each next one
// directly after the one before.
std::vector<std::uint16_t> fileStarts(const DriveConfig& config) {
  std::vector<std::uint16_t> starts;
  std::uint16_t next = kFirstFirmwarePage;
  for (std::size_t i = 0; i < std::min(config.loaderFilePages.size(), kLoaderFileSlots); ++i) {
    starts.push_back(next);
    next = static_cast<std::uint16_t>(next + config.loaderFilePages[i]);
  }
  return starts;
}

void putParameterBlock(const DriveConfig& config, std::span<std::uint8_t> block) {
  const auto geometry = decodeFlashTypeWord(config.flashTypeWord);
  const std::uint8_t maker = makerClass(config.flashTypeWord);
  bytes::putLe16(block, 0, config.flashTypeWord);
  block[2] = config.flashExtraMode ? 0x20 : 0x00;
  block[3] = config.flashChannels;
  block[4] = config.flashBanks;
  block[5] = config.bch24 ? 1 : 0;
  block[6] = config.drvCurrent;
  block[7] = geometry ? layoutByte(config, *geometry) : 0;
  block[8] = static_cast<std::uint8_t>(config.resPercentage);
  block[9] = config.optionBitsA;
  block[10] = config.optionBitsB;
  block[11] = config.flashChipEnables;
  for (std::size_t i = 0; i < kLoaderBlockSlots; ++i) bytes::putLe16(block, 16 + 2 * i, loaderBlock(config, i));
  bytes::putLe16(block, 24, 64);
  block[26] = static_cast<std::uint8_t>(config.resPercentage >> 8);

  block[32] = config.readErrorThreshold;
  block[33] = config.eccCopyThreshold;
  block[34] = config.wearLevelFrequency;
  block[35] = config.securityCounter;
  const auto bankMap = chipEnableIds(config.flashBanks, config.flashChipEnables);
  std::copy_n(bankMap.begin(), std::min<std::size_t>(bankMap.size(), 8), block.begin() + 40);

  const auto g = block.subspan(kGeometry, 64);
  if (geometry) {
    const std::uint8_t planeBit = geometry->planes > 1 ? 1 : 0;
    const auto banks = log2Of(config.flashBanks);
    const auto l = static_cast<std::uint8_t>(banks + planeBit);
    g[0] = log2Of(config.flashChannels);
    g[1] = l;
    g[3] = log2Of(geometry->pagesPerBlock);
    g[4] = log2Of(static_cast<std::uint32_t>(geometry->blocks / 2 / geometry->planes));
    g[5] = log2Of(geometry->sectorsPerPage);
    g[10] = banks;
    g[11] = l + g[5] >= 7 ? 2 : 1;
  }
  g[2] = 1;
  g[7] = 8;
  std::copy(kRegisterSet1.begin(), kRegisterSet1.end(), g.begin() + 16);
  g[23] = config.featureByte;
  std::copy(config.registerSet2.begin(), config.registerSet2.end(), g.begin() + 24);
  g[31] = makerClassBits(maker, config.flashExtraMode);
  bytes::putLe16(g, 32, config.layoutWords[0]);
  bytes::putLe16(g, 34, config.layoutWords[1]);
  bytes::putLe16(g, 36, config.resPercentage);
  const auto starts = fileStarts(config);
  bytes::putLe16(g, 38, starts.size() > 1 ? starts[1] : 0);
  bytes::putLe16(g, 44, config.layoutWords[2]);
  bytes::putLe16(g, 46, config.layoutWords[3]);
  bytes::putLe16(g, 48, maker == 0 || maker == 4 ? 512 : 800);
  bytes::putLe16(g, 52, static_cast<std::uint16_t>(config.layoutWords[0] - 1));
}

void putUsbIdentity(const DriveConfig& config, std::span<std::uint8_t> page) {
  bytes::putLe16(page, kVendorId, config.usbVendorId);
  bytes::putLe16(page, kProductId, config.usbProductId);
  const auto inquiry = page.subspan(kInquiryImage, kInquiryBytes);
  inquiry[1] = config.removable ? 0x80 : 0x00;
  inquiry[2] = 0x06;
  inquiry[3] = 0x02;
  inquiry[4] = 35;  // as the interface answers: 40 bytes with the chip key
  bytes::putPadded(inquiry.subspan(8, 8), config.inquiryVendor);
  bytes::putPadded(inquiry.subspan(16, 16), config.inquiryProduct);
  bytes::putPadded(inquiry.subspan(32, 4), config.inquiryRevision);
  const std::string& manufacturer = config.usbManufacturer.empty() ? config.inquiryVendor : config.usbManufacturer;
  const std::string& product = config.usbProduct.empty() ? config.inquiryProduct : config.usbProduct;
  putStringDescriptor(page, kManufacturerString, manufacturer, kManufacturerChars);
  putStringDescriptor(page, kProductString, product, kProductChars);
  putStringDescriptor(page, kSerialString, config.serial, kSerialChars);
}

// The image IDENTIFY answers, for the medium's full size.
void putIdentifyImage(const DriveConfig& config, std::span<std::uint8_t> page) {
  IdentifyFacts facts;
  facts.model = config.model;
  facts.serial = config.serial;
  facts.firmwareRevision = config.firmwareRevision;
  facts.userSectors = config.sectorCount;
  facts.worldWideName = config.worldWideName;
  facts.lba28Sectors = config.identifyLba28Sectors;
  facts.lba48Sectors = config.identifyLba48Sectors;
  facts.rotationRate = config.rotationRate;
  const DataSector image = identifyData(facts);
  std::copy(image.begin(), image.end(), page.begin() + kIdentifyImage);
}

void putBootedIdentity(const BootedFirmware& booted, std::span<std::uint8_t> page) {
  const auto& from = booted.identityPage;
  const auto copy = [&](std::size_t first, std::size_t end) {
    std::copy(from.begin() + static_cast<std::ptrdiff_t>(first), from.begin() + static_cast<std::ptrdiff_t>(end),
              page.begin() + static_cast<std::ptrdiff_t>(first));
  };
  if (booted.mode == 'S') {
    copy(kIdentifyImage, kIdentifyImage + 512);
  } else {
    copy(kVendorId, kSerialString + 2 + 2 * kSerialChars);
  }
  copy(kFirmwareHeader, kFirmwareHeader + kFirmwareHeaderBytes);
}

}  // namespace

std::vector<std::uint8_t> configPage(const DriveConfig& config, const BootedFirmware* booted) {
  std::vector<std::uint8_t> page(kConfigPageBytes, 0);
  const bool usbFirmware = config.frontEnd == FrontEnd::OwnUsb;
  if (usbFirmware) {
    putUsbIdentity(config, page);
  } else {
    putIdentifyImage(config, page);
  }
  const auto header = std::span(page).subspan(kFirmwareHeader, kFirmwareHeaderBytes);
  std::fill(header.begin(), header.end(), std::uint8_t{' '});
  putText(header, 0, "KWSS", 4);
  putText(header, kDateCode, config.firmwareDateCode, 6);
  header[kModeCharacter] = usbFirmware ? 'U' : 'S';
  putText(header, kRevision, config.firmwareRevision, 8);
  putParameterBlock(config, std::span(page).subspan(kParamBlock, kParamBlockBytes));
  if (booted != nullptr) putBootedIdentity(*booted, page);
  return page;
}

void overlayConfigPage(const DriveConfig& config, const BootedFirmware* booted, std::uint32_t address,
                       std::span<std::uint8_t> out) {
  if (address >= kConfigPageBytes || out.empty()) return;
  const auto page = configPage(config, booted);
  const std::size_t n = std::min(out.size(), kConfigPageBytes - address);
  std::copy_n(page.begin() + address, n, out.begin());
}

std::vector<std::uint8_t> loaderHeaderPage(const DriveConfig& config, std::uint8_t channel, std::size_t pageBytes) {
  std::vector<std::uint8_t> page(std::max(pageBytes, kParamBlock + kParamBlockBytes), 0);
  const auto geometry = decodeFlashTypeWord(config.flashTypeWord);
  putText(page, 0, "LDBK BLOCKS V30", 16);
  putText(page, 16, "A4X V2 ", 8);
  page[24] = channel;
  page[25] = geometry ? geometry->sectorsPerPage : 0;
  bytes::putLe16(page, 26, geometry ? geometry->pagesPerBlock : 0);
  for (std::size_t i = 0; i < std::min(config.loaderBlocks.size(), kLoaderBlockSlots); ++i) {
    bytes::putLe16(page, 32 + 4 * i, config.loaderBlocks[i]);
    bytes::putLe16(page, 34 + 4 * i, 7);
  }
  putText(page, 512, "LDBK CONFIG V30", 16);
  bytes::putLe16(page, 528, config.headerSequence);
  putLe32(page, 536, 560);
  putLe32(page, 540, 640);

  const auto starts = fileStarts(config);
  page[560] = static_cast<std::uint8_t>(starts.size());
  unsigned pages = 0;
  for (std::size_t i = 0; i < starts.size(); ++i) {
    bytes::putLe16(page, 568 + 4 * i, starts[i]);
    bytes::putLe16(page, 570 + 4 * i, config.loaderFilePages[i]);
    pages += config.loaderFilePages[i];
  }
  bytes::putLe16(page, 564, kFirstFirmwarePage);
  bytes::putLe16(page, 566, static_cast<std::uint16_t>(kFirstFirmwarePage + pages - 1));
  putText(page, kPartName, config.flashPartName, kPartNameBytes);

  // The controller registers the loader sets up: three groups of four
  // addresses and their four values.
  bytes::putLe16(page, 640, 12);
  for (std::uint32_t group = 0; group < 3; ++group) {
    const std::size_t at = 644 + 20 * group;
    for (std::uint32_t k = 0; k < 4; ++k) putLe32(page, at + 4 * k, 0xb0004920 + 4 * group + k);
    for (std::uint32_t k = 0; k < 4; ++k) page[at + 16 + k] = static_cast<std::uint8_t>(4 * group + 1 + k);
  }
  putParameterBlock(config, std::span(page).subspan(kParamBlock, kParamBlockBytes));
  page.resize(pageBytes);  // a small page keeps no parameter block
  return page;
}

void programLoaderHeaders(const DriveConfig& config, FlashArray& flash) {
  if (!config.loaderHeader || !flash.geometry()) return;
  const auto chipEnables = chipEnableIds(config.flashBanks, config.flashChipEnables);
  if (chipEnables.empty()) return;
  for (std::size_t i = 0; i < std::min(config.loaderBlocks.size(), kLoaderBlockSlots); ++i) {
    const std::uint16_t block = config.loaderBlocks[i];
    for (std::uint8_t channel = 0; channel < config.flashChannels; ++channel) {
      if (!flash.present(channel, chipEnables.front()) || !flash.inRange(block, 0)) continue;
      flash.program({channel, chipEnables.front(), block, 0}, loaderHeaderPage(config, channel, flash.pageBytes()));
    }
  }
}

}  // namespace drivesim::detail
