#include "platform/paths.h"

#include <algorithm>
#include <cctype>
#include <mutex>
#include <string>
#include <system_error>

namespace platform::paths {
namespace {

std::mutex directoryMutex;
std::filesystem::path overrideDirectory;

bool hasDriveLetter(std::string_view name) {
  return name.size() >= 2 && std::isalpha(static_cast<unsigned char>(name[0])) && name[1] == ':';
}

bool equalIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

// Appends one component: the exact name when it exists, else the first entry
// of the directory that matches it without regard to case.
std::filesystem::path appendComponent(const std::filesystem::path& base, const std::string& component) {
  std::filesystem::path exact = base / component;
  std::error_code error;
  if (std::filesystem::exists(exact, error)) return exact;
  for (std::filesystem::directory_iterator it(base, error), end; !error && it != end; it.increment(error)) {
    if (equalIgnoringCase(it->path().filename().string(), component)) return it->path();
  }
  return exact;
}

}  // namespace

std::filesystem::path programDirectory() {
  {
    std::lock_guard lock(directoryMutex);
    if (!overrideDirectory.empty()) return overrideDirectory;
  }
  std::error_code error;
  const auto executable = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error) return std::filesystem::current_path(error);
  return executable.parent_path();
}

void setProgramDirectory(const std::filesystem::path& directory) {
  std::lock_guard lock(directoryMutex);
  overrideDirectory = directory;
}

std::filesystem::path resolve(std::string_view name) {
  std::string text(name);
  std::replace(text.begin(), text.end(), '\\', '/');
  bool relativeToProgram = true;
  if (hasDriveLetter(text)) {
    text.erase(0, 2);
  } else if (!text.empty() && text.front() == '/') {
    relativeToProgram = false;
  }

  std::filesystem::path result = relativeToProgram ? programDirectory() : std::filesystem::path("/");
  std::size_t start = 0;
  while (start <= text.size()) {
    const std::size_t end = std::min(text.find('/', start), text.size());
    const std::string component = text.substr(start, end - start);
    if (!component.empty() && component != ".") result = appendComponent(result, component);
    start = end + 1;
  }
  return result;
}

}  // namespace platform::paths
