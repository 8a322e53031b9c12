#include "ata_data.h"

#include <algorithm>
#include <numeric>
#include <string_view>

namespace drivesim::detail {
namespace {

void putWord(DataSector& sector, int word, std::uint16_t value) {
  sector[2 * word] = static_cast<std::uint8_t>(value);
  sector[2 * word + 1] = static_cast<std::uint8_t>(value >> 8);
}

// ATA strings: two characters per word, the first in the high byte, blank-padded.
void putAtaString(DataSector& sector, int firstWord, int words, std::string_view text) {
  for (int i = 0; i < 2 * words; ++i) {
    const char c = i < static_cast<int>(text.size()) ? text[i] : ' ';
    sector[(2 * firstWord + i) ^ 1] = static_cast<std::uint8_t>(c);
  }
}

// The last byte makes all 512 sum to zero.
void putChecksum(DataSector& sector) {
  const unsigned sum = std::accumulate(sector.begin(), sector.end() - 1, 0u);
  sector.back() = static_cast<std::uint8_t>(0x100 - (sum & 0xff));
}

constexpr std::uint64_t kLba28Limit = 0x0fffffff;

}  // namespace

DataSector identifyData(const IdentifyFacts& facts) {
  DataSector s{};
  putWord(s, 0, 0x0040);  // fixed, ATA
  putWord(s, 1, 16383);
  putWord(s, 3, 16);
  putWord(s, 6, 63);
  putAtaString(s, 10, 10, facts.serial);
  putAtaString(s, 23, 4, facts.firmwareRevision);
  putAtaString(s, 27, 20, facts.model);
  putWord(s, 47, 0x8010);  // READ/WRITE MULTIPLE: up to 16 sectors
  putWord(s, 49, 0x0300);  // LBA and DMA
  putWord(s, 53, 0x0006);
  putWord(s, 59, 0x0110);  // multiple count 16 in force

  const std::uint64_t lba28 = facts.lba28Sectors.value_or(std::min(facts.userSectors, kLba28Limit));
  putWord(s, 60, static_cast<std::uint16_t>(lba28));
  putWord(s, 61, static_cast<std::uint16_t>(lba28 >> 16));
  putWord(s, 63, 0x0007);
  putWord(s, 64, 0x0003);
  putWord(s, 80, 0x01f0);  // ATA-4 to ATA8-ACS
  putWord(s, 82, 0x0001);  // S.M.A.R.T.
  putWord(s, 83, 0x7400);  // 48-bit addressing, FLUSH CACHE (EXT)
  putWord(s, 84, 0x4100);  // world wide name
  putWord(s, 85, 0x0001);
  putWord(s, 86, 0x3400);
  putWord(s, 87, 0x4100);
  putWord(s, 88, 0x407f);  // UDMA 0-6, mode 6 selected
  const std::uint64_t lba48 = facts.lba48Sectors.value_or(facts.userSectors);
  for (int i = 0; i < 4; ++i) putWord(s, 100 + i, static_cast<std::uint16_t>(lba48 >> (16 * i)));
  putWord(s, 106, 0x4000);
  for (int i = 0; i < 4; ++i) putWord(s, 108 + i, static_cast<std::uint16_t>(facts.worldWideName >> (48 - 16 * i)));
  putWord(s, 217, facts.rotationRate);
  s[510] = 0xa5;            // integrity word signature
  putChecksum(s);
  return s;
}

DataSector smartData(std::uint8_t temperature, bool withTemperature) {
  struct Attribute {
    std::uint8_t id;
    std::uint16_t flags;
    std::uint8_t value;
    std::uint32_t raw;
  };
  const Attribute attributes[] = {
      {0x09, 0x0032, 100, 0},            // power-on hours
      {0x0c, 0x0032, 100, 1},            // power cycles
      {0xc2, 0x0022, 100, temperature},  // temperature
  };
  DataSector s{};
  s[0] = 0x10;  // revision 0x0010
  std::size_t at = 2;
  for (const auto& a : attributes) {
    if (a.id == 0xc2 && !withTemperature) continue;
    s[at] = a.id;
    s[at + 1] = static_cast<std::uint8_t>(a.flags);
    s[at + 2] = static_cast<std::uint8_t>(a.flags >> 8);
    s[at + 3] = a.value;
    s[at + 4] = a.value;  // worst
    for (int i = 0; i < 4; ++i) s[at + 5 + i] = static_cast<std::uint8_t>(a.raw >> (8 * i));
    at += 12;
  }
  putChecksum(s);
  return s;
}

}  // namespace drivesim::detail
