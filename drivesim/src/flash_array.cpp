#include "flash_array.h"

#include <algorithm>

namespace drivesim::detail {

void FlashArray::read(const PageAddress& address, std::span<std::uint8_t> out) const {
  std::fill(out.begin(), out.end(), std::uint8_t{0xff});
  const auto found = pages_.find(address);
  if (found == pages_.end()) return;
  const std::size_t length = std::min(out.size(), found->second.size());
  std::copy_n(found->second.begin(), length, out.begin());
}

void FlashArray::write(const PageAddress& address, std::span<const std::uint8_t> in) {
  pages_[address].assign(in.begin(), in.end());
}

void FlashArray::eraseBlock(std::uint8_t unit, std::uint8_t chipEnable, std::uint16_t block) {
  const auto first = pages_.lower_bound(PageAddress{unit, chipEnable, block, 0});
  auto last = first;
  while (last != pages_.end() && last->first.unit == unit && last->first.chipEnable == chipEnable &&
         last->first.block == block) {
    ++last;
  }
  pages_.erase(first, last);
}

}  // namespace drivesim::detail
