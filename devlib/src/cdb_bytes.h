#pragma once
// Byte helpers for command blocks (big-endian fields) and the READ (10) /
// WRITE (10) blocks that several senders share.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace devlib::detail {

inline void PutBigEndian16(std::span<std::uint8_t> bytes, std::size_t offset, std::uint16_t value) {
  bytes[offset] = static_cast<std::uint8_t>(value >> 8);
  bytes[offset + 1] = static_cast<std::uint8_t>(value);
}

inline void PutBigEndian32(std::span<std::uint8_t> bytes, std::size_t offset, std::uint32_t value) {
  PutBigEndian16(bytes, offset, static_cast<std::uint16_t>(value >> 16));
  PutBigEndian16(bytes, offset + 2, static_cast<std::uint16_t>(value));
}

inline void PutLittleEndian32(std::span<std::uint8_t> bytes, std::size_t offset, std::uint32_t value) {
  for (std::size_t i = 0; i < 4; ++i) bytes[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

inline constexpr std::uint8_t kOpRead10 = 0x28;
inline constexpr std::uint8_t kOpWrite10 = 0x2A;

using Cdb10 = std::array<std::uint8_t, 10>;

// READ (10) or WRITE (10): opcode, 0, LBA, 0, transfer length, control.
inline Cdb10 MakeReadWrite10Cdb(std::uint8_t opcode, std::uint32_t lba, std::uint16_t sectors) {
  Cdb10 cdb{};
  cdb[0] = opcode;
  PutBigEndian32(cdb, 2, lba);
  PutBigEndian16(cdb, 7, sectors);
  return cdb;
}

}  // namespace devlib::detail
