#include "drivesim/config.h"

#include <iterator>
#include <utility>

namespace drivesim {
namespace {

struct ChipKey {
  int chipType;
  const char* key;
};

// What each bridge chip reports at INQUIRY offset 36..39; type 14 answers four raw bytes.
constexpr ChipKey kChipKeys[] = {
    {1, "q201"}, {9, "q202"}, {4, "q203"}, {7, "q204"},  {8, "q205"},
    {11, "q206"}, {12, "q207"}, {13, "q209"}, {14, "\x05\xe3\x07\x18"}, {10, "FA4X"},
};

}  // namespace

std::optional<FlashGeometry> decodeFlashTypeWord(std::uint16_t typeWord) {
  static constexpr std::uint8_t kSectorsPerPage[] = {4, 8, 16};
  static constexpr std::uint16_t kPagesPerBlock[] = {64, 128, 256, 512};
  static constexpr std::uint16_t kBlocks[] = {2048, 4096, 8192, 16384, 1024};
  const unsigned sectors = typeWord & 0x7u;
  const unsigned pages = (typeWord >> 3) & 0x7u;
  const unsigned blocks = (typeWord >> 6) & 0x7u;
  if (sectors >= std::size(kSectorsPerPage) || pages >= std::size(kPagesPerBlock) || blocks >= std::size(kBlocks)) {
    return std::nullopt;
  }
  return FlashGeometry{.sectorsPerPage = kSectorsPerPage[sectors],
                       .pagesPerBlock = kPagesPerBlock[pages],
                       .blocks = kBlocks[blocks],
                       .planes = static_cast<std::uint8_t>(1u << ((typeWord >> 9) & 0x3u))};
}

std::vector<std::uint8_t> chipEnableIds(std::uint8_t banks, std::uint8_t chipEnables) {
  std::vector<std::uint8_t> ids;
  if (chipEnables == 0) return ids;
  for (unsigned group = 0; ids.size() < banks && group + chipEnables - 1 <= 0xffu; group += 4) {
    for (unsigned ce = 0; ce < chipEnables && ids.size() < banks; ++ce) ids.push_back(static_cast<std::uint8_t>(group + ce));
  }
  return ids;
}

std::string DriveConfig::keyOfChipType(int chipType) {
  for (const auto& entry : kChipKeys) {
    if (entry.chipType == chipType) return entry.key;
  }
  return {};
}

std::chrono::microseconds DriveConfig::Latency::of(std::size_t bytes) const {
  std::chrono::microseconds cost = perCommand;
  if (bytesPerSecond != 0) cost += std::chrono::microseconds(bytes * 1'000'000 / bytesPerSecond);
  return cost;
}

DriveConfig DriveConfig::ownUsb(std::string path) {
  DriveConfig config;
  config.path = std::move(path);
  return config;
}

DriveConfig DriveConfig::bridge(std::string path, int chipType, std::string key) {
  DriveConfig config;
  config.path = std::move(path);
  config.frontEnd = FrontEnd::Bridge;
  config.bridgeChipType = chipType;
  config.bridgeKey = std::move(key);
  // These two bridge chips cannot carry UDMA transfers.
  config.bridgeCarriesUdma = chipType != 1 && chipType != 14;
  config.inquiryVendor = "USB";
  config.inquiryProduct = "SATA Bridge";
  config.inquiryRevision = "0100";
  return config;
}

DriveConfig DriveConfig::sataPort(std::string path) {
  DriveConfig config;
  config.path = std::move(path);
  config.frontEnd = FrontEnd::SataPort;
  config.bridgeChipType = 0;
  config.bridgeKey.clear();
  config.removable = false;
  return config;
}

}  // namespace drivesim
