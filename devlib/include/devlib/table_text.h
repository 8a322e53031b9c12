#pragma once
// The defect table file: the drive's defect tables (page 1 of the loader
// blocks, one part per channel) as text, CR LF line ends.
//
//   V#21                       version line; empty for other version codes
//   C#00                       channel 0
//   B#02U#0123,4:,3U#...       bank marker, then its entries, no separator
//   C#01 ...                   every channel followed by CR LF
//
// An entry is "U#" + block (4 upper-case hex digits) + "," + the value's two
// nibbles each ORed with 0x30 (10..15 become ':'..'?') + "," + the kind digit.
// Kinds above 7 are written as 9, so they come back as 9.
//
// The reader takes the first line as a line (a "V#nn" line gives the
// version; an empty line, or none, 0), CR LF or LF line ends, and refuses a file that
// is not whole: every channel of the image once and in order, every field
// complete and in range, every table with room for its end marker, the last
// line ended. Nothing of the caller's image changes unless the file is good.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "devlib/flash_params.h"

namespace devlib {

// The version codes that get a "V#nn" line.
bool HasVersionLine(int versionCode);

// The text of a table image of `sectors` sectors (one part of sectors per
// page x 512 bytes per channel). Nothing when the image is shorter than the
// sectors, the page size is 0, or a bank marker names a bank the format has
// no digit for.
std::optional<std::string> FormatTableText(std::span<const std::uint8_t> image, std::size_t sectors, int versionCode,
                                           const FlashParams& params);

// Version code: the number in the firmware code version text (11, 12, 20, 21, 30 get a "V#nn" line).
// 1 when the file was written. The file is written beside its final name and
// renamed over it only when whole, so a failure leaves an existing file as it
// was. A name without a leading '/' is taken in the program's directory.
bool WriteTableText(std::span<const std::uint8_t> image, std::size_t sectors, const std::filesystem::path& file,
                    int versionCode, const FlashParams& params);

// Reads the file into the first sectors x 512 bytes of `image` (cleared
// first). A version-12 file asked for as version 21 on a part of 8 sectors
// per page is converted: each entry also goes to its partner channel (the
// other of the pair 0/1, 2/3, ...), the entries of each bank are sorted as
// text, and each channel gets its non-empty banks in order, then its end
// marker. A version-21 file asked for as version 12 keeps, per channel, the
// entries whose kind digit is the channel's. False, with `image` untouched
// and the reason in the debug output, when the file cannot be read or is
// damaged.
bool ReadTableText(std::span<std::uint8_t> image, std::size_t sectors, const std::filesystem::path& file,
                   int requestedVersion, const FlashParams& params);
// The same from the file's bytes; `why` gets the reason of a refusal.
bool ParseTableText(std::span<std::uint8_t> image, std::size_t sectors, std::string_view text, int requestedVersion,
                    const FlashParams& params, std::string* why = nullptr);

// Helpers the table files share.
// The version line taken as a line: its number, 0 for an empty line, and
// 0 for a file that starts with its tables (which then begin at 0); nothing
// for a "V#" line without a number. `body` gets where the tables begin.
std::optional<int> TableFileVersion(std::string_view text, std::size_t& body);

// Reads a table text field by field: blanks (CR, LF, space) between fields,
// none inside one.
class TableTextScanner {
 public:
  TableTextScanner(std::string_view text, std::size_t from) : text_(text), at_(from) {}
  // The next character that is not blank; nothing at the end.
  std::optional<char> NextField();
  // The literal, taken only when it is there.
  bool Expect(std::string_view literal);
  // "#0" and one digit: the digit's value.
  std::optional<unsigned> DigitField();
  // `count` hexadecimal digits: their value.
  std::optional<std::uint16_t> Hex(std::size_t count);
  // `count` characters that each pass `accept`.
  std::optional<std::string_view> TakeWhere(std::size_t count, bool (*accept)(char));
  std::size_t Offset() const { return at_; }

 private:
  std::string_view text_;
  std::size_t at_;
};
bool IsHexDigitChar(char c);
bool IsDecimalDigitChar(char c);

// Where a table file named by the operator lies: a leading '/' is absolute,
// anything else is in the program's directory. Empty for an empty name.
std::filesystem::path TableFilePath(const std::filesystem::path& file);
// Replaces `file` with `bytes` whole (see platform::files::saveFileAtomically);
// false, with the reason in the debug output, and `file` as it was otherwise.
bool ReplaceFileContents(const std::filesystem::path& file, std::string_view bytes);
// The whole file, when it can be read and holds no more than `limit` bytes.
std::optional<std::string> ReadWholeFile(const std::filesystem::path& file, std::size_t limit);

}  // namespace devlib
