#pragma once
// The 512-byte data blocks the ATA device answers with: IDENTIFY DEVICE and
// SMART READ DATA.

#include <array>
#include <cstdint>
#include <optional>
#include <string>

namespace drivesim::detail {

using DataSector = std::array<std::uint8_t, 512>;

struct IdentifyFacts {
  std::string model, serial, firmwareRevision;
  std::uint64_t userSectors = 0;  // follows the current max address
  std::uint64_t worldWideName = 0;
  // Words 60-61 and 100-103 as given, in place of what `userSectors` makes of them.
  std::optional<std::uint32_t> lba28Sectors{};
  std::optional<std::uint64_t> lba48Sectors{};
  std::uint16_t rotationRate = 1;  // word 217: 1 a non-rotating medium
};

DataSector identifyData(const IdentifyFacts& facts);

// Attributes: power-on hours, power cycles and, unless left out, the
// temperature (194), whose first raw byte is the temperature in degrees.
DataSector smartData(std::uint8_t temperature, bool withTemperature);

}  // namespace drivesim::detail
