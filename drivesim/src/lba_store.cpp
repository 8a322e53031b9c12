#include "lba_store.h"

#include <algorithm>

namespace drivesim::detail {

LbaStore::LbaStore(std::vector<std::uint64_t> readErrors, std::vector<SectorCorruption> corruptions)
    : readErrors_(std::move(readErrors)), corruptions_(std::move(corruptions)) {}

std::optional<std::uint64_t> LbaStore::read(std::uint64_t lba, std::span<std::uint8_t> out) const {
  const std::uint64_t end = lba + out.size() / kSectorBytes;
  for (const std::uint64_t bad : readErrors_) {
    if (bad >= lba && bad < end) return bad;
  }
  readStored(lba, out);
  for (const auto& c : corruptions_) {
    if (c.lba < lba || c.lba >= end || c.word >= kSectorBytes / 2) continue;
    const std::size_t at = static_cast<std::size_t>(c.lba - lba) * kSectorBytes + 2u * c.word;
    out[at] ^= static_cast<std::uint8_t>(c.mask);
    out[at + 1] ^= static_cast<std::uint8_t>(c.mask >> 8);
  }
  return std::nullopt;
}

void LbaStore::readStored(std::uint64_t lba, std::span<std::uint8_t> out) const {
  for (std::size_t offset = 0; offset + kSectorBytes <= out.size(); offset += kSectorBytes, ++lba) {
    const auto sector = out.subspan(offset, kSectorBytes);
    const auto found = sectors_.find(lba);
    if (found == sectors_.end()) {
      std::fill(sector.begin(), sector.end(), std::uint8_t{0});
    } else {
      std::copy(found->second.begin(), found->second.end(), sector.begin());
    }
  }
}

void LbaStore::write(std::uint64_t lba, std::span<const std::uint8_t> in) {
  for (std::size_t offset = 0; offset + kSectorBytes <= in.size(); offset += kSectorBytes, ++lba) {
    const auto sector = in.subspan(offset, kSectorBytes);
    std::copy(sector.begin(), sector.end(), sectors_[lba].begin());
  }
}

}  // namespace drivesim::detail
