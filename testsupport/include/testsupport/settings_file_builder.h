#pragma once
// Settings file texts for tests, written the way a station or a person with
// an editor would write them: sections, key lines with any spacing, blank
// lines, raw lines, CR LF or LF line ends. And a scratch directory to put
// them in.

#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <system_error>

namespace testsupport {

enum class LineEnd { CrLf, Lf };

class SettingsFileBuilder {
 public:
  explicit SettingsFileBuilder(LineEnd lineEnd = LineEnd::CrLf) : lineEnd_(lineEnd) {}

  SettingsFileBuilder& section(std::string_view name) { return line("[" + std::string(name) + "]"); }

  SettingsFileBuilder& key(std::string_view name, std::string_view value) { return spacedKey(name, "", value); }
  SettingsFileBuilder& key(std::string_view name, std::int64_t value) { return key(name, std::to_string(value)); }

  // `gap` stands between the key name and the '='; blanks after the '=' are
  // part of the value.
  SettingsFileBuilder& spacedKey(std::string_view name, std::string_view gap, std::string_view value) {
    return line(std::string(name) + std::string(gap) + "=" + std::string(value));
  }

  SettingsFileBuilder& blank() { return line(""); }

  // Any line as it stands, followed by the line end.
  SettingsFileBuilder& line(std::string_view text) {
    text_ += text;
    text_ += lineEnd_ == LineEnd::CrLf ? "\r\n" : "\n";
    return *this;
  }

  // Bytes with no line end after them (a last line cut short, binary junk).
  SettingsFileBuilder& raw(std::string_view bytes) {
    text_ += bytes;
    return *this;
  }

  const std::string& text() const { return text_; }

  void writeTo(const std::filesystem::path& path) const { writeFile(path, text_); }

  static void writeFile(const std::filesystem::path& path, std::string_view bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  }

  static std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

 private:
  LineEnd lineEnd_;
  std::string text_;
};

// A fresh directory, removed with everything in it when the object goes. It
// lies in memory where the system offers that: saves sync their files, which
// on a disk costs real time.
class ScratchDirectory {
 public:
  ScratchDirectory() {
    static std::atomic<int> counter{0};
    path_ = base() / ("tolvane-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
    std::filesystem::remove_all(path_);
    std::filesystem::create_directories(path_);
  }
  ~ScratchDirectory() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  ScratchDirectory(const ScratchDirectory&) = delete;
  ScratchDirectory& operator=(const ScratchDirectory&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(std::string_view name) const { return path_ / name; }

 private:
  static std::filesystem::path base() {
    std::error_code error;
    if (std::filesystem::is_directory("/dev/shm", error)) return "/dev/shm";
    return std::filesystem::temp_directory_path();
  }

  std::filesystem::path path_;
};

}  // namespace testsupport
