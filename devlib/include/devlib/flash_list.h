#pragma once
// The flash part list: the flash parts the station can prepare, read from a
// private-profile text file (default "Flash.ini" in the program's directory).
//
// [Vendor] lists the vendors with keys Name00, Name01, ...; each vendor's own
// section lists its parts the same way. Either list ends at the first key
// that is missing or whose value is exactly "No". A part is one record of 15
// tokens separated by white space: uni name, part name, then 13 numbers
// (type word, chip enables, ECC mode, five flash ID bytes, options 11 to 13,
// die offset, option 15). A token is a run of letters and digits; any other
// character ends it and leaves the next token empty, which fails the load.
// A record whose numbers make no usable part (a byte field above 255, chip
// enables or sizes the controller does not support) is loaded all the same,
// with what is wrong with it: choosing that part is refused, the others stay
// usable.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "devlib/fixed_text.h"

namespace devlib {

inline constexpr int kFlashTableRows = 500;
inline constexpr int kFlashVendorLimit = 10;
inline constexpr std::size_t kFlashVendorNameSize = 20;  // with the terminator
inline constexpr std::size_t kFlashNameSize = 32;        // uni and part names, with the terminator
inline constexpr std::size_t kFlashRecordLimit = 255;    // characters of one part record
inline constexpr std::size_t kFlashTokenLimit = 79;      // characters of one token
inline constexpr std::size_t kFlashProblemSize = 80;     // with the terminator

// What the station shows when the list cannot be loaded; %s is the file name.
inline constexpr const char* kFlashFileFormatMessage = "Please make sure the flash file %s format correct!";
std::string FlashFileFormatMessage(std::string_view fileName);

struct FlashListEntry {
  FixedText<kFlashNameSize> uniName;   // compared exactly with SettingsRecord::FlashUniName
  FixedText<kFlashNameSize> partName;  // flash maker part number
  std::uint32_t typeWord = 0;          // low 16 bits: the flash type word
  std::uint8_t ceCount = 0;
  std::uint8_t eccMode = 0;  // 2 = BCH 24, any other value BCH 16
  std::array<std::uint8_t, 5> flashId{};
  // Bits 0-7, 8-15 and 16-23 of token 11: firmware option 7, an unused
  // byte, and the half-pages flag.
  std::array<std::uint8_t, 3> option11{};
  std::uint16_t option12 = 0;  // low byte: the extra-mode flag
  std::uint16_t option13 = 0;
  std::uint16_t dieOffset = 0;
  std::uint8_t option15 = 0;
  // Why the part cannot be used, as the load found it; empty for a usable
  // part. A byte field holds the low byte of its token all the same.
  FixedText<kFlashProblemSize> problem;

  bool operator==(const FlashListEntry&) const = default;
};

// The loaded list, vendor after vendor in file order. Vendor k owns rows
// FlashVendorStart[k] .. FlashVendorStart[k + 1] - 1.
struct FlashTable {
  std::array<FlashListEntry, kFlashTableRows> entries{};
  std::array<FixedText<kFlashVendorNameSize>, kFlashVendorLimit> FlashVendorNames{};
  std::array<std::int32_t, kFlashVendorLimit + 1> FlashVendorStart{};
  std::int32_t FlashVendorCount = 0;
  std::int32_t FlashEntryCount = 0;

  bool operator==(const FlashTable&) const = default;
};

struct FlashListLoadResult {
  bool ok = false;
  std::string reason;       // what is wrong: the limit, the row or the token
  std::string userMessage;  // kFlashFileFormatMessage with the file name
};

// Reads the list file `fileName`, taken relative to the program's directory.
// The table is replaced only when the whole file loads; on failure it keeps
// what it held and the result says why.
FlashListLoadResult LoadFlashList(std::string_view fileName, FlashTable& table);

enum class FlashTokenStatus {
  Found,    // a token of 1 to kFlashTokenLimit characters
  Missing,  // no letter or digit where the token should start
  TooLong,  // more than kFlashTokenLimit characters
};

// Skips white space, then takes one run of letters and digits. `consumed`
// counts the skipped and the taken characters; a too long token is not
// copied, but consumed in full.
FlashTokenStatus ReadFlashListToken(std::string_view text, std::string& token, std::size_t& consumed);

// The record readers move `cursor` on by the `consumed` of the previous call,
// then read the next token into the destination. A word longer than its
// field is refused.
struct FlashRecordCursor {
  std::string_view rest;
  std::size_t consumed = 0;
  std::string token{};  // the token last read
};
FlashTokenStatus ReadFlashListWord(FlashRecordCursor& cursor, FixedText<kFlashNameSize>& field);

enum class FlashNumberStatus { Converted, NoToken, TooLong, NotANumber };
// Decimal digits, or "0x" and hexadecimal digits, up to 0xFFFFFFFF.
FlashNumberStatus ReadFlashListNumber(FlashRecordCursor& cursor, std::uint32_t& value);

// The first row of 0 .. FlashEntryCount - 1 whose uni name equals `name`
// exactly; row 0 for an empty or unknown name, so that a setting naming no
// listed part selects the list's first part.
int FindFlashEntry(const FlashTable& table, std::string_view name);

// "[vendor] Name03 (uni)": where a row stands in the list file.
std::string DescribeFlashRow(std::string_view vendor, int keyIndex, std::string_view uniName);
// The same for a loaded row; a row outside the table gives "row N".
std::string DescribeFlashRow(const FlashTable& table, int row);

}  // namespace devlib
