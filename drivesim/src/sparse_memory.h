#pragma once
// The controller's 32-bit memory map, kept in 4 KiB pages as they are
// written; memory never written reads as zeros.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <unordered_map>

namespace drivesim::detail {

class SparseMemory {
 public:
  // False, touching nothing, when the span runs past the end of the address space.
  bool read(std::uint32_t address, std::span<std::uint8_t> out) const;
  bool write(std::uint32_t address, std::span<const std::uint8_t> in);
  void clear() { pages_.clear(); }

 private:
  static constexpr std::size_t kPageBytes = 4096;
  static bool fits(std::uint32_t address, std::size_t length);
  std::unordered_map<std::uint32_t, std::array<std::uint8_t, kPageBytes>> pages_;
};

}  // namespace drivesim::detail
