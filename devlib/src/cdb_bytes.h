#pragma once
// The READ (10) / WRITE (10) command blocks that several senders share.

#include <array>
#include <cstdint>

#include "byte_fields.h"

namespace devlib::detail {

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
