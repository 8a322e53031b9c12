#pragma once
// The repair bench's table operations: the defect tables and the later
// (bad-block) tables copied between a drive and text files.
//
// Later table file (CR LF; the version line as in the defect table file):
//   per bank group i and plane j:  B#0i, D#0j, S#uuuu (the table block's
//   unit), then per channel m "C#0m", followed, when the channel's newest
//   page carries the table, by "T#" + the entry count (4 hex digits) + ","
//   and per entry "U#" + block (4 hex digits) + "," + the type digit;
//   a line end after each bank group.
// The unit of (0, 0) is the system page's word at 16; the others are
// (plane x token 14) + the word at 20. The tables of bank group i are on
// chip enable BankMap[i].
//
// Each operation loads the RAM code into `buffer` (at least 0xFC00 bytes and
// eight pages) and works on the port's loader blocks (CheckLoaderBlocks or
// a configuration read sets them). A put reads and checks its whole file
// before anything on the drive changes, and keeps what the loader blocks
// held besides the table it puts: the header's firmware pages and table
// pages 0..4 are read first and written back after the erase. A get writes
// its file only when it has the whole of it, so a failure leaves an
// existing file as it was. A name without a leading '/' is in the program's
// directory.

#include <cstdint>
#include <filesystem>
#include <span>

namespace devlib {

// Page 1 of the first loader block (all channels) into `buffer`, dumped as
// "02_DTG.raw", then written as text.
bool GetDefTable(int port, std::span<std::uint8_t> buffer, const std::filesystem::path& file, int versionCode);

// The file read as version `versionCode` into an image of its own; then
// operation 1 with 0x10 (which erases the loader blocks), a new loader
// header (sequence 120, naming the firmware pages the blocks held) on page
// 0, the image (dumped as "05_DTP.raw") on page 1 and the kept pages back,
// in every loader block. The station runs operation 1 again afterwards.
bool PutDefTable(int port, std::span<std::uint8_t> buffer, const std::filesystem::path& file, int versionCode);

// The system page, then for every bank group and plane the newest table
// part of each channel (the last page of the block that carries the
// signature) into slot i x 4 + j of the port's third work buffer, the last
// page read dumped as "03_%2.2d%2.2d%3.3d.raw". With a file name the tables
// are written as text. 1 on success, 0 when a read fails, the system page
// lacks its signature, or the file cannot be written.
int GetLaterTable(int port, std::span<std::uint8_t> buffer, const std::filesystem::path& file, int versionCode);

// The file checked whole (every bank group and plane once and in order,
// every channel, counts matching their entries and fitting a part, blocks
// inside the flash and off the loader blocks); then every loader block is
// rewritten with its system page's unit words replaced (and page 4 kept
// otherwise), and each table block is erased and gets the tables on page 1
// (dumped as "06_LTP.raw", the last as "07_LTP.raw"). No file, or a file
// that cannot be read or is damaged: false with nothing written.
bool PutLaterTable(int port, std::span<std::uint8_t> buffer, const std::filesystem::path& file);

}  // namespace devlib
