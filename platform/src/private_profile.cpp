#include "platform/private_profile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <fstream>
#include <iterator>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <system_error>

#include "platform/atomic_file.h"
#include "platform/debug.h"

namespace platform::profile {
namespace {

bool blank(char c) { return c == ' ' || c == '\t'; }

std::string_view trimEnd(std::string_view text) {
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  return text;
}

std::string_view trim(std::string_view text) {
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  return trimEnd(text);
}

bool sameName(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

// The name of a section header line, or nothing for any other line.
std::optional<std::string_view> sectionName(std::string_view line) {
  line = trim(line);
  if (line.empty() || line.front() != '[') return std::nullopt;
  const auto close = line.find(']');
  if (close == std::string_view::npos) return std::nullopt;
  return trim(line.substr(1, close - 1));
}

struct KeyLine {
  std::string_view key;
  std::string_view value;
};

std::optional<KeyLine> keyLine(std::string_view line) {
  const std::string_view trimmed = trim(line);
  if (trimmed.empty() || trimmed.front() == ';') return std::nullopt;
  const auto equals = line.find('=');
  if (equals == std::string_view::npos) return std::nullopt;
  std::string_view value = trim(line.substr(equals + 1));
  if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front()) {
    value = value.substr(1, value.size() - 2);
  }
  return KeyLine{trim(line.substr(0, equals)), value};
}

// Index range [first, last) of the lines of the first section named `section`
// (the header excluded), or nothing when there is no such section.
std::optional<std::pair<std::size_t, std::size_t>> sectionRange(const std::vector<std::string>& lines,
                                                                std::string_view section) {
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const auto name = sectionName(lines[i]);
    if (!name || !sameName(*name, section)) continue;
    std::size_t end = i + 1;
    while (end < lines.size() && !sectionName(lines[end])) ++end;
    return std::make_pair(i + 1, end);
  }
  return std::nullopt;
}

// One writer at a time per file for the load, change and save of a key, so
// that writers of different keys never lose each other's updates. Between
// processes it is an flock on the file itself: a save renames a new file over
// it, so a writer that got the lock on a file that has since been replaced
// takes it again on the new one. Within the process a mutex per path comes
// first, because on network file systems flock can turn into a lock per
// process, which threads of one process would all hold at once.
class WriterLock {
 public:
  explicit WriterLock(const std::filesystem::path& file) : thread_(mutexOf(file)) {
    if (lockFile(file)) return;
    debug::output("profile " + file.string() + " cannot be locked for writing: " + std::strerror(errno),
                  debug::Level::Warning);
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
  WriterLock(const WriterLock&) = delete;
  WriterLock& operator=(const WriterLock&) = delete;
  ~WriterLock() {
    if (fd_ >= 0) ::close(fd_);
  }

  bool held() const { return fd_ >= 0; }

 private:
  static std::mutex& mutexOf(const std::filesystem::path& file) {
    static std::mutex guard;
    static std::map<std::filesystem::path, std::unique_ptr<std::mutex>> mutexes;
    std::error_code ignored;
    const std::filesystem::path key = std::filesystem::absolute(file, ignored).lexically_normal();
    std::lock_guard lock(guard);
    auto& entry = mutexes[key];
    if (!entry) entry = std::make_unique<std::mutex>();
    return *entry;
  }

  bool lockFile(const std::filesystem::path& file) {
    while (true) {
      // Created empty when missing, which reads like a missing file.
      fd_ = ::open(file.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0666);
      if (fd_ < 0 && errno == EINTR) continue;
      if (fd_ < 0) return false;
      int locked = 0;
      do {
        locked = ::flock(fd_, LOCK_EX);
      } while (locked != 0 && errno == EINTR);
      struct stat held {};
      struct stat named {};
      if (locked != 0 || ::fstat(fd_, &held) != 0) return false;
      if (::stat(file.c_str(), &named) == 0 && named.st_dev == held.st_dev && named.st_ino == held.st_ino) {
        return true;
      }
      ::close(fd_);  // replaced meanwhile: the lock is on a file no one opens any more
      fd_ = -1;
    }
  }

  std::lock_guard<std::mutex> thread_;
  int fd_ = -1;
};

}  // namespace

ProfileDocument ProfileDocument::parse(std::string_view text) {
  ProfileDocument document;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    document.lines_.emplace_back(line);
    start = end + 1;
  }
  return document;
}

ProfileDocument ProfileDocument::load(const std::filesystem::path& file) {
  std::ifstream stream(file, std::ios::binary);
  if (!stream) return {};
  const std::string text((std::istreambuf_iterator<char>(stream)), std::istreambuf_iterator<char>());
  return parse(text);
}

std::optional<std::string> ProfileDocument::find(std::string_view section, std::string_view key) const {
  const auto range = sectionRange(lines_, section);
  if (!range) return std::nullopt;
  for (std::size_t i = range->first; i < range->second; ++i) {
    const auto line = keyLine(lines_[i]);
    if (line && sameName(line->key, key)) return std::string(line->value);
  }
  return std::nullopt;
}

std::string ProfileDocument::readString(std::string_view section, std::string_view key,
                                        std::string_view fallback) const {
  if (auto value = find(section, key)) return *value;
  // The service strips only the trailing blanks of a default.
  return std::string(trimEnd(fallback));
}

std::int64_t ProfileDocument::readInt(std::string_view section, std::string_view key, std::int64_t fallback) const {
  const auto value = find(section, key);
  if (!value) return fallback;
  std::string_view digits = *value;
  if (!digits.empty() && digits.front() == '+') digits.remove_prefix(1);
  std::int64_t number = 0;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), number);
  if (end == digits.data()) return 0;  // present but not a number reads as 0, as the service does
  if (error == std::errc::result_out_of_range) {
    return digits.front() == '-' ? std::numeric_limits<std::int64_t>::min() : std::numeric_limits<std::int64_t>::max();
  }
  return number;
}

void ProfileDocument::writeString(std::string_view section, std::string_view key, std::string_view value) {
  const std::string newLine = std::string(key) + "=" + std::string(value);
  const auto range = sectionRange(lines_, section);
  if (!range) {
    lines_.push_back("[" + std::string(section) + "]");
    lines_.push_back(newLine);
    return;
  }
  std::size_t insertAt = range->first;
  for (std::size_t i = range->first; i < range->second; ++i) {
    const auto line = keyLine(lines_[i]);
    if (line && sameName(line->key, key)) {
      lines_[i] = std::string(line->key) + "=" + std::string(value);
      return;
    }
    if (!trim(lines_[i]).empty()) insertAt = i + 1;
  }
  lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(insertAt), newLine);
}

void ProfileDocument::eraseSection(std::string_view section) {
  while (const auto range = sectionRange(lines_, section)) {
    lines_.erase(lines_.begin() + static_cast<std::ptrdiff_t>(range->first - 1),
                 lines_.begin() + static_cast<std::ptrdiff_t>(range->second));
  }
}

std::string ProfileDocument::text() const {
  std::string text;
  for (const auto& line : lines_) {
    text += line;
    text += "\r\n";
  }
  return text;
}

// A failed save never leaves half a file where the counters or the layout were.
bool ProfileDocument::save(const std::filesystem::path& file) const {
  const std::string refused = files::saveFileAtomically(file, text());
  if (refused.empty()) return true;
  debug::output("profile " + refused, debug::Level::Warning);
  return false;
}

std::string readString(std::string_view section, std::string_view key, std::string_view fallback,
                       const std::filesystem::path& file) {
  return ProfileDocument::load(file).readString(section, key, fallback);
}

std::int64_t readInt(std::string_view section, std::string_view key, std::int64_t fallback,
                     const std::filesystem::path& file) {
  return ProfileDocument::load(file).readInt(section, key, fallback);
}

bool writeString(std::string_view section, std::string_view key, std::string_view value,
                 const std::filesystem::path& file) {
  const WriterLock lock(file);
  if (!lock.held()) return false;
  ProfileDocument document = ProfileDocument::load(file);
  document.writeString(section, key, value);
  return document.save(file);
}

bool eraseSection(std::string_view section, const std::filesystem::path& file) {
  const WriterLock lock(file);
  if (!lock.held()) return false;
  ProfileDocument document = ProfileDocument::load(file);
  document.eraseSection(section);
  return document.save(file);
}

}  // namespace platform::profile
