#pragma once
// The operating system's private-profile service: keys in sections of small
// INI files (the log directory, the counters, the panel layout, the flash
// part list). Its rules are those the programs were written against:
//
// - section and key names compare without regard to case;
// - blanks around names and values are trimmed, and one pair of matching
//   quotes around a value is removed; a default loses only its trailing
//   blanks;
// - the first section of a name, and the first key of a name in it, win;
// - a missing file, section or key gives the caller's default;
// - lines starting with ';' are comments.
//
// Writing keeps every other line as it was, replaces a key in place, adds a
// missing key after the last line of its section and a missing section at
// the end; files are written with CR LF line ends, and replaced whole. Writers
// of one file, in this process or others, take turns for the whole load,
// change and save, so that none loses another's key.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform::profile {

class ProfileDocument {
 public:
  static ProfileDocument parse(std::string_view text);
  // A file that cannot be read gives an empty document.
  static ProfileDocument load(const std::filesystem::path& file);

  std::optional<std::string> find(std::string_view section, std::string_view key) const;
  std::string readString(std::string_view section, std::string_view key, std::string_view fallback) const;
  // Leading decimal digits with an optional sign; a missing key gives the
  // default, a value without digits 0.
  std::int64_t readInt(std::string_view section, std::string_view key, std::int64_t fallback) const;

  void writeString(std::string_view section, std::string_view key, std::string_view value);
  // Takes out every section of this name with all its lines.
  void eraseSection(std::string_view section);

  std::string text() const;
  bool save(const std::filesystem::path& file) const;

 private:
  std::vector<std::string> lines_;  // without their line ends
};

// One-call forms, each reading (and writing) the whole file.
std::string readString(std::string_view section, std::string_view key, std::string_view fallback,
                       const std::filesystem::path& file);
std::int64_t readInt(std::string_view section, std::string_view key, std::int64_t fallback,
                     const std::filesystem::path& file);
bool writeString(std::string_view section, std::string_view key, std::string_view value,
                 const std::filesystem::path& file);
bool eraseSection(std::string_view section, const std::filesystem::path& file);

}  // namespace platform::profile
