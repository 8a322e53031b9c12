#include "sparse_memory.h"

namespace drivesim::detail {

bool SparseMemory::fits(std::uint32_t address, std::size_t length) {
  return length <= (std::uint64_t{1} << 32) - address;
}

bool SparseMemory::read(std::uint32_t address, std::span<std::uint8_t> out) const {
  if (!fits(address, out.size())) return false;
  for (std::size_t i = 0; i < out.size(); ++i) {
    const std::uint64_t at = std::uint64_t{address} + i;
    const auto page = pages_.find(static_cast<std::uint32_t>(at / kPageBytes));
    out[i] = page == pages_.end() ? 0 : page->second[at % kPageBytes];
  }
  return true;
}

bool SparseMemory::write(std::uint32_t address, std::span<const std::uint8_t> in) {
  if (!fits(address, in.size())) return false;
  for (std::size_t i = 0; i < in.size(); ++i) {
    const std::uint64_t at = std::uint64_t{address} + i;
    auto [page, added] = pages_.try_emplace(static_cast<std::uint32_t>(at / kPageBytes));
    if (added) page->second.fill(0);
    page->second[at % kPageBytes] = in[i];
  }
  return true;
}

}  // namespace drivesim::detail
