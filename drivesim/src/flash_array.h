#pragma once
// The NAND array as the vendor commands address it: pages by unit selector,
// chip enable, block and page. A page holds what was last written to it;
// erased or never written pages read as 0xFF.

#include <cstdint>
#include <map>
#include <span>
#include <vector>

namespace drivesim::detail {

struct PageAddress {
  std::uint8_t unit = 0;  // channel, or a selector such as 8 for all channels
  std::uint8_t chipEnable = 0;
  std::uint16_t block = 0;
  std::uint16_t page = 0;

  friend auto operator<=>(const PageAddress&, const PageAddress&) = default;
};

class FlashArray {
 public:
  void read(const PageAddress& address, std::span<std::uint8_t> out) const;
  void write(const PageAddress& address, std::span<const std::uint8_t> in);
  void eraseBlock(std::uint8_t unit, std::uint8_t chipEnable, std::uint16_t block);

 private:
  std::map<PageAddress, std::vector<std::uint8_t>> pages_;
};

}  // namespace drivesim::detail
