#include "flash_array.h"

#include <algorithm>

namespace drivesim::detail {

namespace {
constexpr std::uint8_t kErased = 0xff;
}

FlashArray::FlashArray(std::optional<FlashGeometry> geometry, std::uint8_t channels,
                       std::vector<std::uint8_t> chipEnables)
    : geometry_(geometry), channels_(channels), chipEnables_(std::move(chipEnables)) {}

bool FlashArray::present(std::uint8_t channel, std::uint8_t chipEnable) const {
  return geometry_ && channel < channels_ &&
         std::find(chipEnables_.begin(), chipEnables_.end(), chipEnable) != chipEnables_.end();
}

bool FlashArray::inRange(std::uint16_t block, std::uint16_t page) const {
  return geometry_ && block < geometry_->blocks && page < geometry_->pagesPerBlock;
}

void FlashArray::read(const PageAddress& address, std::span<std::uint8_t> out) const {
  std::fill(out.begin(), out.end(), kErased);
  const auto found = pages_.find(address);
  if (found == pages_.end()) return;
  std::copy_n(found->second.begin(), std::min(out.size(), found->second.size()), out.begin());
}

std::vector<std::uint8_t>& FlashArray::pageAt(const PageAddress& address) {
  auto [page, added] = pages_.try_emplace(address);
  if (added) page->second.assign(pageBytes(), kErased);
  return page->second;
}

void FlashArray::program(const PageAddress& address, std::span<const std::uint8_t> in) {
  auto& page = pageAt(address);
  std::fill(page.begin(), page.end(), kErased);
  std::copy_n(in.begin(), std::min(in.size(), page.size()), page.begin());
}

void FlashArray::patch(const PageAddress& address, std::size_t offset, std::span<const std::uint8_t> bytes) {
  auto& page = pageAt(address);
  if (offset >= page.size()) return;
  std::copy_n(bytes.begin(), std::min(bytes.size(), page.size() - offset), page.begin() + static_cast<std::ptrdiff_t>(offset));
}

void FlashArray::erase(std::uint8_t channel, std::uint8_t chipEnable, std::uint16_t block) {
  const auto first = pages_.lower_bound(PageAddress{channel, chipEnable, block, 0});
  auto last = first;
  while (last != pages_.end() && last->first.channel == channel && last->first.chipEnable == chipEnable &&
         last->first.block == block) {
    ++last;
  }
  pages_.erase(first, last);
}

}  // namespace drivesim::detail
