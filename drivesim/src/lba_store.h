#pragma once
// The drive's user data: only sectors that were written are kept; the rest
// read as zeros.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <unordered_map>

namespace drivesim::detail {

inline constexpr std::size_t kSectorBytes = 512;

class LbaStore {
 public:
  // `out` and `in` hold whole sectors.
  void read(std::uint64_t lba, std::span<std::uint8_t> out) const;
  void write(std::uint64_t lba, std::span<const std::uint8_t> in);
  std::size_t storedSectors() const { return sectors_.size(); }

 private:
  std::unordered_map<std::uint64_t, std::array<std::uint8_t, kSectorBytes>> sectors_;
};

}  // namespace drivesim::detail
