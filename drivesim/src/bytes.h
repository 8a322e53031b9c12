#pragma once
// Byte order helpers: vendor blocks and SCSI fields are big-endian, ATA and
// controller structures little-endian.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace drivesim::bytes {

inline std::uint16_t be16(std::span<const std::uint8_t> b, std::size_t at) {
  return static_cast<std::uint16_t>(b[at] << 8 | b[at + 1]);
}

inline std::uint32_t be32(std::span<const std::uint8_t> b, std::size_t at) {
  return std::uint32_t{b[at]} << 24 | std::uint32_t{b[at + 1]} << 16 | std::uint32_t{b[at + 2]} << 8 | b[at + 3];
}

inline void putBe32(std::span<std::uint8_t> b, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (24 - 8 * i));
}

inline void putLe16(std::span<std::uint8_t> b, std::size_t at, std::uint16_t v) {
  b[at] = static_cast<std::uint8_t>(v);
  b[at + 1] = static_cast<std::uint8_t>(v >> 8);
}

// Copies `text` into `field`, blank-padded or cut to its size.
inline void putPadded(std::span<std::uint8_t> field, std::string_view text) {
  for (std::size_t i = 0; i < field.size(); ++i) field[i] = i < text.size() ? static_cast<std::uint8_t>(text[i]) : ' ';
}

inline std::string hex(std::uint32_t value, int digits = 2) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text = "0x";
  for (int i = digits - 1; i >= 0; --i) text += kDigits[(value >> (4 * i)) & 0xf];
  return text;
}

}  // namespace drivesim::bytes
