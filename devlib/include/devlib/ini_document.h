#pragma once
// The library's own INI engine, used for the station's settings file. The
// whole file is held as one text; getters scan it line by line, setters
// rebuild it with one key changed, and the text is written back in one go.
//
// Layout rules:
// - A section starts at a line that is exactly "[name]" (case-sensitive, no
//   blanks) and runs up to the next line that starts with '['; blank lines
//   inside a section belong to it. Only the first section of a name counts.
// - A key line is the key name, optional blanks, then '='; the value is
//   everything after that '=' (no trimming, no quotes, no comments).
// - A last line without a line end is only read when it holds an '='.
// The text is kept with LF line ends; the file is read with CR LF or LF and
// written with CR LF, as the Windows stations write it.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

namespace devlib {

class IniDocument {
 public:
  // Reads the whole file. A file that cannot be read, or one longer than
  // 16 MiB, leaves an empty text and gives false (the settings then read as
  // their defaults).
  bool LoadIniText(const std::filesystem::path& path);

  // Writes the current text to a temporary file beside `path`, then puts it
  // in place, so that a failed save leaves the old file whole. False when
  // any step failed.
  bool SaveIniText(const std::filesystem::path& path) const;

  // The value's leading decimal digits (no sign; saturated at the type's
  // maximum). A value that does not begin with a digit gives 0; a missing
  // key or an empty value gives the default.
  std::int32_t GetIniInt(std::string_view section, std::string_view key, std::int32_t defaultValue) const;
  std::uint64_t GetIniInt64(std::string_view section, std::string_view key, std::uint64_t defaultValue) const;

  // The value, or the default when the key is missing, cut to size - 1
  // characters as a buffer of `size` bytes with its terminator would hold.
  // An empty value gives an empty text.
  std::string GetIniString(std::string_view section, std::string_view key, std::string_view defaultValue,
                           std::size_t size) const;

  // Sets the key: its line is replaced in place; a new key goes after the
  // last non-blank line of its section; a new section is added at the end,
  // after a blank line. False, and the text unchanged, when the line would
  // not read back as this key and value: a line break in any argument, or a
  // key that is empty, holds '=' or starts with '['.
  bool SetIniString(std::string_view section, std::string_view key, std::string_view value);
  bool SetIniInt(std::string_view section, std::string_view key, std::int32_t value);
  bool SetIniInt64(std::string_view section, std::string_view key, std::uint64_t value);

  // The text as held, LF line ends.
  const std::string& text() const { return text_; }

 private:
  std::string text_;
};

}  // namespace devlib
