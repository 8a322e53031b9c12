#pragma once
// The RAM code's preformat, the check that its tables are in place after the
// download, and the bad-block count from the drive's tables.
//
// Tables live on the flash, one part per channel in a page of all channels
// (channel c's part at c x sectors per page x 512), each part opening with a
// 16-byte signature. Loader block pages: 0 loader header, 1 defect tables,
// 2 early-bad lists, 3 remap tables (with RemapEnable), 4 system page, whose
// u16 at 16 is the unit of the later table of bank group 0, plane 0, and at
// 20 that of the others. Later tables are appended page after page as blocks
// go bad; the newest page is the last that carries the signature.
//
// Counts taken from a drive are kept to the parts and replies they index:
// the bad-block list to its 32 KiB reply, a later table and an early-bad
// list to their part. A geometry whose tables would not fit the port's
// buffers (more than 16 bank indices, more than 4 planes, more than 8
// channels or a page of all channels beyond 64 KiB) is refused.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace devlib {

inline constexpr std::size_t kTableSignatureSize = 16;
using TableSignature = std::array<std::uint8_t, kTableSignatureSize>;

enum class TableKind { Defect, EarlyBad, Remap, Later, System };
const TableSignature& SignatureOf(TableKind kind);
// The part starts with the kind's 16-byte signature.
bool HasTableSignature(std::span<const std::uint8_t> part, TableKind kind);

inline constexpr std::uint16_t kDefectTablePage = 1;
inline constexpr std::uint16_t kEarlyBadPage = 2;
inline constexpr std::uint16_t kRemapTablePage = 3;
inline constexpr std::uint16_t kSystemPage = 4;

// Work buffer size of the table operations: one page of all channels.
inline constexpr std::size_t kTableBufferSize = 64 * 1024;

// The preformat's choices: the Preformat page's boxes and the KeepEraseCount
// setting.
struct PreformatFlags {
  bool erase = false;
  bool later = false;  // keep the later bad-block tables
  bool repair = false;
  bool keepEraseCount = false;
};

// Option bits of operation 3.
inline constexpr std::uint8_t kPreformatErase = 0x01;
inline constexpr std::uint8_t kPreformatLater = 0x04;
inline constexpr std::uint8_t kPreformatAlways = 0x08;
inline constexpr std::uint8_t kPreformatRepair = 0x10;
inline constexpr std::uint8_t kPreformatKeepEraseCount = 0x40;
// The option byte of the load (0x02 on half-page parts) ORed with the flags' bits.
std::uint8_t PreformatOptionBits(std::uint8_t loadOption, const PreformatFlags& flags);

// "GDP.bin" into `buffer` (at least 64 KiB); with the erase flag operation 1
// (the option byte | 0x01) read once, which must end with 14; with
// KeepEraseCount every erase-count table this drive's SaveEraseCounts kept
// (bank index i < banks x planes, channel j: slot i + 16j, dumped as
// "99_%2.2x_%2.2x.raw") is written back; then operation 3 polled to its end.
// True on final status 10. Any other end leaves the RAM code's error block
// in `buffer` (byte 0 the record count). KeepEraseCount fails, with byte 0
// cleared, before anything is erased when the last save did not get every
// table of this drive (a save serves one preformat), and when a table cannot
// be written back.
bool Preformat(int port, std::span<std::uint8_t> buffer, const PreformatFlags& flags, std::uint32_t ramAddress);

// CheckTables failure codes in buffer byte 0.
inline constexpr std::uint8_t kDefectTableMissing = 1;
inline constexpr std::uint8_t kEarlyBadListMissing = 2;
inline constexpr std::uint8_t kRemapTableMissing = 3;

// After the download: the firmware brought back, the configuration read,
// then pages 1, 2 and (with RemapEnable) 3 of loader block 0, as many rounds
// as the download file count says and at least one; every channel's part
// that the read carries must start with its signature. A page that cannot
// be read fails like a missing table, and so does a configuration that
// cannot be read (code 1). `buffer` holds at least 64 KiB; byte 0 gets the
// code of the first page that failed.
bool CheckTables(int port, std::span<std::uint8_t> buffer);

// Finds the loader header in page 0 of block 0..3, then reads the early-bad
// list page into the port's second work buffer and, through the system
// page, the newest later-table part of each channel for every bank group g
// and plane k into slot g x 4 + k of the third (each page read dumped as
// "LB_%2.2d%2.2d%3.3d.raw"). Both buffers are cleared first, so nothing of an
// earlier drive stays. 1 when the header was found, 0 when not, when a table
// page read fails, or when the geometry does not fit; `buffer` holds at
// least 64 KiB.
int ReadBadBlockTables(int port, std::span<std::uint8_t> buffer);

// Counter columns: early bad, Erase Fail (4), Prog Fail (3), Ecc Fail (5),
// Ecc Over (1). Row = bank x channels + channel.
inline constexpr int kBadBlockColumns = 5;
using BadBlockCounterRow = std::array<std::uint32_t, kBadBlockColumns>;
inline constexpr int kStationCounterRows = 64;
inline constexpr int kProbeCounterRows = 32;

struct BadBlockCount {
  int rows = 0;                 // channels x banks; 0 when nothing could be counted
  int unreadLists = 0;          // bad-block lists that could not be read (counted as empty)
  std::uint8_t channelsWithoutEarlyList = 0;  // bit c: channel c's early-bad list lacks its signature
  bool malformed = false;       // a count or a list ran past its reply or part and was cut
  // Every list was read and classified.
  bool complete() const { return rows > 0 && unreadLists == 0 && channelsWithoutEarlyList == 0; }
};

// The configuration and tables read, then for CE index i < banks x planes and
// channel j the firmware's bad-block list (dumped as "SB_%2.2d%2.2d.raw"),
// each block classified: early bad when the channel's early-bad list names it
// for CE i, else its type in the later table; counted in row
// (i mod banks) x channels + j. A channel whose early-bad list lacks its
// signature has its blocks passed over (and is flagged). A block of another
// type writes "err bad block type=%d\n" to the debug output and is not
// counted. `counters` are added to, not cleared; `totals` get the column sums
// of the channels x banks rows. With a legend
// the four type lines are appended to it. Refused (rows 0) when `buffer`
// holds less than 64 KiB or the counters have fewer than channels x banks
// rows.
BadBlockCount CountBadBlocks(int port, std::span<std::uint8_t> buffer, std::span<BadBlockCounterRow> counters,
                             BadBlockCounterRow& totals, std::string* legend);

}  // namespace devlib
