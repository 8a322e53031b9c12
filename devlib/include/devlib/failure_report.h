#pragma once
// The texts that the station shows and files for a failed flash interface
// test, flash module test or table build, made from the result lists the RAM
// code leaves in the port's buffers. Texts are byte-exact, typos included:
// tools that read the error report files rely on them.
//
// Both builders also count bad blocks per channel and bank (index channel +
// bank x channels, 32 of them) and list the ones that are not 0 at the end of
// the text. The counts come back with the text; nothing is kept between calls.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "devlib/flash_params.h"

namespace devlib {

inline constexpr std::size_t kBadChCeCounters = 32;

struct FailureReport {
  std::string text;
  std::optional<int> errorCode;  // the last one an entry set; none when no entry set one
  std::array<std::uint32_t, kBadChCeCounters> badChCe{};
  std::vector<int> badChCeIndices;  // the counters listed, in order
};

// The flash interface test's failure detail: 4-byte entries (channel, bank,
// failure code, unused) from byte 4, up to the first entry whose channel,
// bank or code is 0xFF or the end of the detail. Codes 1-11 have their line
// and error code; every code but 10 (the SRAM test) is counted, also one
// without a line. `channels` is the part's channel count (at least 1 is used).
FailureReport FormatFlashTestReport(std::span<const std::uint8_t> detail, int channels);

// `recordCount` records of 16 bytes (code, channel, bank, die, value u16,
// data from byte 6); after codes 0x80 and 0x82 one extra byte is stepped. A
// record that would run past `records` ends the list. The configured
// channels, banks, flash ID and half-plane blocks come from `params`.
FailureReport FormatTableBuildReport(std::span<const std::uint8_t> records, int recordCount, const FlashParams& params);

}  // namespace devlib
