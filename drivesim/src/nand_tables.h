#pragma once
// The flash bookkeeping that the GDP RAM code's preformat (operation 3)
// builds, and what the firmware answers from it.
//
// Every table part starts with 16 bytes: four bytes of its kind, then
// "KWFA3X-V001" and a 0 byte. Kinds: defect table E9 86 AA 55, early-bad list
// 45 79 AA 55, remap table 9E 68 55 AA, later table E8 DC 55 AA, system page
// "SYSP". A page holds one part per channel, channel c's at c x page bytes;
// what a part does not use reads 0.
//
// Pages 1-4 of every loader block, every channel, first chip enable:
//   1 defect table: for each bank index with early bad blocks FB A0, the bank
//     index, 0; then per block its number (u16), value 0 and kind (1 marked
//     bad by the maker, 2 found bad by the scan); FE D1 0 0 ends the table.
//   2 early-bad list: u16 words; 0xFB00 + bank index opens that bank's
//     blocks, a block number follows with bit 15 set when the scan found it
//     (the maker did not mark it); 0xFE00 ends the list.
//   3 remap table (only when parameter option bits A carry 0x20): u16 pairs;
//     EBA0 and the bank index open a bank, then each grown bad block and the
//     reserve block that replaces it (counting down from the last block);
//     EED1 0 ends the table.
//   4 system page: the unit of bank index 0's later table at 16, that of the
//     other bank indices at 20.
// Later tables: bank index v keeps its table on chip enable
// chipEnableIds[v mod banks], block 2 x unit (unit of bank index 0, or the
// other unit). Bank indices that share a block share the table. Page n of the
// block (from 1) holds each channel's table after the first n grown bad
// blocks that went there: entry count at 16, from 32 per block its number
// (u16), type and a 0 byte; a block without grown bad blocks gets one page
// with empty tables.
//
// The preformat's option bits: 0x04 keeps the later tables (factory bad
// blocks go into the early-bad lists, grown ones into the later tables);
// without it the scan finds every bad block, all of them go into the early
// lists and the later tables start empty. 0x40 keeps the erase counts the host
// wrote back (the controller's business). The erase (0x01), repair (0x10) and
// half-page (0x02) bits are taken without a visible effect. The loader header
// on page 0 stays.

#include <cstdint>
#include <span>
#include <vector>

#include "drivesim/config.h"
#include "flash_array.h"

namespace drivesim::detail {

inline constexpr std::uint8_t kPreformatDone = 10;
inline constexpr std::uint8_t kPreformatTooManyBadBlocks = 11;
inline constexpr std::uint8_t kKeepLaterTables = 0x04;
inline constexpr std::uint8_t kKeepEraseCounts = 0x40;

// The error block of sub-op 0x06: record count at 0, 16-byte records from
// 1 (code, channel, bank, die, u16 value, data from 6).
inline constexpr std::size_t kErrorBlockBytes = 2048;
inline constexpr std::uint8_t kRecordTooManyBadBlocks = 3;

// What the tables in flash say: kept across power cycles, as the flash is.
struct BadBlockBook {
  bool built = false;
  std::vector<BadBlock> early;  // type 0: marked by the maker; else found by the scan
  std::vector<BadBlock> later;
};

// The book an earlier preformat with 0x04 left, when the drive comes with
// its tables built; written into flash as well.
BadBlockBook initialBook(const DriveConfig& config, FlashArray& flash);

struct PreformatOutcome {
  std::uint8_t status = kPreformatDone;
  std::vector<std::uint8_t> errorBlock;  // empty: nothing to report
};

// Operation 3. On success the book and the flash hold the new tables; a
// failure writes nothing.
PreformatOutcome preformat(const DriveConfig& config, std::uint8_t options, FlashArray& flash, BadBlockBook& book);

// The firmware's bad-block list of one channel and bank index (sub-op 0x00):
// u16 entry count at 4, from 8 per block its number (u16), type, 0. Empty
// before any tables were built.
std::vector<std::uint8_t> badBlockList(const BadBlockBook& book, std::uint8_t channel, std::uint8_t bank);

// The chip enable the firmware's page read reaches for its bank byte: a bank
// index below banks x planes is chipEnableIds[index mod banks]; any other
// value names the chip enable itself.
std::uint8_t chipEnableOfBank(const DriveConfig& config, std::uint8_t bank);

}  // namespace drivesim::detail
