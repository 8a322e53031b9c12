#include "devlib/ini_document.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>
#include <optional>

#include "devlib/debug_print.h"
#include "platform/atomic_file.h"

namespace devlib {
namespace {

// Far beyond any settings file; a device or a runaway file named by mistake
// is refused instead of filling the memory.
constexpr std::size_t kMaxFileBytes = 16u << 20;

// Reads the text line by line. A last line without LF is returned only when
// it holds an '=': a half-written header or word at the end is no line.
class LineReader {
 public:
  explicit LineReader(std::string_view text) : text_(text) {}

  bool Next(std::string_view& line) {
    if (position_ >= text_.size()) return false;
    const std::size_t end = text_.find('\n', position_);
    if (end == std::string_view::npos) {
      line = text_.substr(position_);
      position_ = text_.size();
      return line.find('=') != std::string_view::npos;
    }
    line = text_.substr(position_, end - position_);
    position_ = end + 1;
    return true;
  }

 private:
  std::string_view text_;
  std::size_t position_ = 0;
};

std::string HeaderOf(std::string_view section) {
  std::string header;
  header.reserve(section.size() + 2);
  header += '[';
  header += section;
  header += ']';
  return header;
}

bool IsSectionStart(std::string_view line) { return !line.empty() && line.front() == '['; }

// The value of the line when it is the key's line: the key, optional blanks, '='.
std::optional<std::string_view> ValueOfKeyLine(std::string_view line, std::string_view key) {
  if (!line.starts_with(key)) return std::nullopt;
  std::size_t position = key.size();
  while (position < line.size() && (line[position] == ' ' || line[position] == '\t')) ++position;
  if (position >= line.size() || line[position] != '=') return std::nullopt;
  return line.substr(position + 1);
}

std::optional<std::string_view> FindValue(std::string_view text, std::string_view section, std::string_view key) {
  const std::string header = HeaderOf(section);
  LineReader reader(text);
  std::string_view line;
  bool inSection = false;
  while (reader.Next(line)) {
    if (!inSection) {
      inSection = line == header;
      continue;
    }
    if (IsSectionStart(line)) break;
    if (auto value = ValueOfKeyLine(line, key)) return value;
  }
  return std::nullopt;
}

template <typename Number>
Number LeadingDigits(std::string_view value) {
  constexpr Number kMax = std::numeric_limits<Number>::max();
  Number result = 0;
  for (const char c : value) {
    if (c < '0' || c > '9') break;
    const Number digit = static_cast<Number>(c - '0');
    if (result > (kMax - digit) / 10) return kMax;
    result = static_cast<Number>(result * 10 + digit);
  }
  return result;
}

template <typename Number>
Number GetNumber(std::string_view text, std::string_view section, std::string_view key, Number defaultValue) {
  const auto value = FindValue(text, section, key);
  if (!value || value->empty()) return defaultValue;
  return LeadingDigits<Number>(*value);
}

bool HasLineBreak(std::string_view text) { return text.find_first_of("\r\n") != std::string_view::npos; }

void AppendLine(std::string& out, std::string_view line) {
  out += line;
  out += '\n';
}

std::string WithCrLf(std::string_view text) {
  std::string out;
  out.reserve(text.size() + static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')));
  for (const char c : text) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

}  // namespace

bool IniDocument::LoadIniText(const std::filesystem::path& path) {
  text_.clear();
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return false;
  std::string bytes;
  char chunk[8192];
  std::size_t count = 0;
  while (bytes.size() <= kMaxFileBytes && (count = std::fread(chunk, 1, sizeof chunk, file)) > 0) {
    bytes.append(chunk, count);
  }
  const bool failed = std::ferror(file) != 0;
  const int readError = errno;
  std::fclose(file);
  if (failed) {
    DebugPrint("INI: %s could not be read: %s", path.c_str(), std::strerror(readError));
    return false;
  }
  if (bytes.size() > kMaxFileBytes) {
    DebugPrint("INI: %s is longer than %zu bytes; it is not read", path.c_str(), kMaxFileBytes);
    return false;
  }
  // CR LF and LF both end a line; a stray CR is no character of the text.
  std::erase(bytes, '\r');
  text_ = std::move(bytes);
  return true;
}

bool IniDocument::SaveIniText(const std::filesystem::path& path) const {
  const std::string refused = platform::files::saveFileAtomically(path, WithCrLf(text_));
  if (refused.empty()) return true;
  DebugPrint("INI: %s", refused.c_str());
  return false;
}

std::int32_t IniDocument::GetIniInt(std::string_view section, std::string_view key,
                                    std::int32_t defaultValue) const {
  return GetNumber<std::int32_t>(text_, section, key, defaultValue);
}

std::uint64_t IniDocument::GetIniInt64(std::string_view section, std::string_view key,
                                       std::uint64_t defaultValue) const {
  return GetNumber<std::uint64_t>(text_, section, key, defaultValue);
}

std::string IniDocument::GetIniString(std::string_view section, std::string_view key,
                                      std::string_view defaultValue, std::size_t size) const {
  const std::string_view result = FindValue(text_, section, key).value_or(defaultValue);
  const std::size_t limit = size == 0 ? 0 : size - 1;
  return std::string(result.substr(0, std::min(result.size(), limit)));
}

bool IniDocument::SetIniString(std::string_view section, std::string_view key, std::string_view value) {
  if (HasLineBreak(section) || HasLineBreak(key) || HasLineBreak(value) || key.empty() ||
      key.find('=') != std::string_view::npos || IsSectionStart(key)) {
    return false;
  }
  const std::string header = HeaderOf(section);
  std::string keyLine;
  keyLine.reserve(key.size() + 1 + value.size());
  keyLine.append(key).append("=").append(value);

  if (text_.empty()) {
    AppendLine(text_, header);
    AppendLine(text_, keyLine);
    return true;
  }

  std::string out;
  out.reserve(text_.size() + keyLine.size() + header.size() + 4);
  LineReader reader(text_);
  std::string_view line;
  bool headerFound = false;
  while (!headerFound && reader.Next(line)) {
    AppendLine(out, line);
    headerFound = line == header;
  }
  if (!headerFound) {
    out += '\n';
    AppendLine(out, header);
    AppendLine(out, keyLine);
    text_ = std::move(out);
    return true;
  }

  // Blank lines are held back until the next line shows whether they still
  // belong to the section or separate it from the next one.
  std::size_t heldBlanks = 0;
  bool placed = false;
  while (!placed && reader.Next(line)) {
    if (ValueOfKeyLine(line, key)) {
      out.append(heldBlanks, '\n');
      AppendLine(out, keyLine);
      placed = true;
    } else if (IsSectionStart(line)) {
      AppendLine(out, keyLine);
      out.append(heldBlanks, '\n');
      AppendLine(out, line);
      placed = true;
    } else if (line.empty()) {
      ++heldBlanks;
    } else {
      out.append(heldBlanks, '\n');
      heldBlanks = 0;
      AppendLine(out, line);
    }
  }
  if (placed) {
    while (reader.Next(line)) AppendLine(out, line);
  } else {
    AppendLine(out, keyLine);
    out.append(heldBlanks, '\n');
  }
  text_ = std::move(out);
  return true;
}

bool IniDocument::SetIniInt(std::string_view section, std::string_view key, std::int32_t value) {
  return SetIniString(section, key, std::to_string(value));
}

bool IniDocument::SetIniInt64(std::string_view section, std::string_view key, std::uint64_t value) {
  return SetIniString(section, key, std::to_string(value));
}

}  // namespace devlib
