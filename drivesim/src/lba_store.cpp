#include "lba_store.h"

#include <algorithm>

namespace drivesim::detail {

void LbaStore::read(std::uint64_t lba, std::span<std::uint8_t> out) const {
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
