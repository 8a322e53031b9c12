#pragma once
// Reads and writes of the multi-byte fields in command blocks, drive pages,
// table images and on-disk structures. Each accessor touches the bytes
// [offset, offset + width) and needs offset + width <= bytes.size(): it checks
// nothing itself, so a caller that reads drive data checks its bounds first.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace devlib::detail {

constexpr std::uint16_t GetLittleEndian16(std::span<const std::uint8_t> bytes, std::size_t offset) {
  return static_cast<std::uint16_t>(bytes[offset] | bytes[offset + 1] << 8);
}

constexpr std::uint32_t GetLittleEndian32(std::span<const std::uint8_t> bytes, std::size_t offset) {
  return GetLittleEndian16(bytes, offset) | std::uint32_t{GetLittleEndian16(bytes, offset + 2)} << 16;
}

constexpr std::uint32_t GetBigEndian32(std::span<const std::uint8_t> bytes, std::size_t offset) {
  return std::uint32_t{bytes[offset]} << 24 | std::uint32_t{bytes[offset + 1]} << 16 |
         std::uint32_t{bytes[offset + 2]} << 8 | bytes[offset + 3];
}

constexpr void PutLittleEndian16(std::span<std::uint8_t> bytes, std::size_t offset, std::uint16_t value) {
  bytes[offset] = static_cast<std::uint8_t>(value);
  bytes[offset + 1] = static_cast<std::uint8_t>(value >> 8);
}

constexpr void PutLittleEndian32(std::span<std::uint8_t> bytes, std::size_t offset, std::uint32_t value) {
  PutLittleEndian16(bytes, offset, static_cast<std::uint16_t>(value));
  PutLittleEndian16(bytes, offset + 2, static_cast<std::uint16_t>(value >> 16));
}

constexpr void PutBigEndian16(std::span<std::uint8_t> bytes, std::size_t offset, std::uint16_t value) {
  bytes[offset] = static_cast<std::uint8_t>(value >> 8);
  bytes[offset + 1] = static_cast<std::uint8_t>(value);
}

constexpr void PutBigEndian32(std::span<std::uint8_t> bytes, std::size_t offset, std::uint32_t value) {
  PutBigEndian16(bytes, offset, static_cast<std::uint16_t>(value >> 16));
  PutBigEndian16(bytes, offset + 2, static_cast<std::uint16_t>(value));
}

// The characters of `text` as they are: no terminator, no padding. Needs
// offset + text.size() <= bytes.size().
constexpr void PutText(std::span<std::uint8_t> bytes, std::size_t offset, std::string_view text) {
  std::copy(text.begin(), text.end(), bytes.begin() + static_cast<std::ptrdiff_t>(offset));
}

}  // namespace devlib::detail
