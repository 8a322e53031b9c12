#include "drivesim/config.h"

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

std::string DriveConfig::keyOfChipType(int chipType) {
  for (const auto& entry : kChipKeys) {
    if (entry.chipType == chipType) return entry.key;
  }
  return {};
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
