#pragma once
// The NAND array: channels x chip enables x blocks x pages of the geometry's
// page size. A page holds what was last programmed into it; erased or never
// programmed pages, and places where no chip sits, read as 0xFF. Only
// programmed pages are kept.

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <vector>

#include "drivesim/config.h"

namespace drivesim::detail {

struct PageAddress {
  std::uint8_t channel = 0;
  std::uint8_t chipEnable = 0;
  std::uint16_t block = 0;
  std::uint16_t page = 0;

  friend auto operator<=>(const PageAddress&, const PageAddress&) = default;
};

class FlashArray {
 public:
  // No geometry: the drive carries no flash it can address.
  FlashArray(std::optional<FlashGeometry> geometry, std::uint8_t channels, std::vector<std::uint8_t> chipEnables);

  const std::optional<FlashGeometry>& geometry() const { return geometry_; }
  std::size_t pageBytes() const { return geometry_ ? geometry_->pageBytes() : 0; }
  // Whether a chip sits on this channel and chip enable.
  bool present(std::uint8_t channel, std::uint8_t chipEnable) const;
  // Whether the block and page lie inside the geometry.
  bool inRange(std::uint16_t block, std::uint16_t page) const;

  // Whether the page holds what was programmed since its block was last erased.
  bool programmed(const PageAddress& address) const { return pages_.contains(address); }
  // The first out.size() bytes of a page (at most a page).
  void read(const PageAddress& address, std::span<std::uint8_t> out) const;
  // Programs a page: bytes past `in` stay 0xFF. The caller checks presence and range.
  void program(const PageAddress& address, std::span<const std::uint8_t> in);
  // Puts bytes into a page at `offset`, keeping the rest of it; what does not fit is dropped.
  void patch(const PageAddress& address, std::size_t offset, std::span<const std::uint8_t> bytes);
  void erase(std::uint8_t channel, std::uint8_t chipEnable, std::uint16_t block);

 private:
  std::vector<std::uint8_t>& pageAt(const PageAddress& address);

  std::optional<FlashGeometry> geometry_;
  std::uint8_t channels_;
  std::vector<std::uint8_t> chipEnables_;
  std::map<PageAddress, std::vector<std::uint8_t>> pages_;
};

}  // namespace drivesim::detail
