#pragma once
// The drive's user data: only sectors that were written are kept; the rest
// read as zeros. Faults of the medium act on the host's reads only: a read
// error at chosen LBAs, and sectors of which one word reads back changed.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <unordered_map>
#include <vector>

#include "drivesim/config.h"

namespace drivesim::detail {

inline constexpr std::size_t kSectorBytes = 512;

class LbaStore {
 public:
  LbaStore() = default;
  LbaStore(std::vector<std::uint64_t> readErrors, std::vector<SectorCorruption> corruptions);

  // A host read; `out` holds whole sectors. On a read error nothing is
  // copied and the failing LBA comes back.
  std::optional<std::uint64_t> read(std::uint64_t lba, std::span<std::uint8_t> out) const;
  // What the medium holds, without the faults.
  void readStored(std::uint64_t lba, std::span<std::uint8_t> out) const;
  void write(std::uint64_t lba, std::span<const std::uint8_t> in);
  std::size_t storedSectors() const { return sectors_.size(); }

 private:
  std::vector<std::uint64_t> readErrors_;
  std::vector<SectorCorruption> corruptions_;
  std::unordered_map<std::uint64_t, std::array<std::uint8_t, kSectorBytes>> sectors_;
};

}  // namespace drivesim::detail
