#pragma once
// The 512-byte data blocks the ATA device answers with: IDENTIFY DEVICE and
// SMART READ DATA.

#include <array>
#include <cstdint>
#include <string>

namespace drivesim::detail {

using DataSector = std::array<std::uint8_t, 512>;

struct IdentifyFacts {
  std::string model, serial, firmwareRevision;
  std::uint64_t userSectors = 0;  // follows the current max address
  std::uint64_t worldWideName = 0;
};

DataSector identifyData(const IdentifyFacts& facts);

// Attributes: power-on hours, power cycles and the temperature (194), whose
// first raw byte is the temperature in degrees.
DataSector smartData(std::uint8_t temperature);

// The model text a drive reports while its loader or a RAM code runs.
inline constexpr const char* kLoaderModel = "Tolvane KWFA4X SATA SSD Loader Device";

}  // namespace drivesim::detail
