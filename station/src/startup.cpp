#include "station/startup.h"

#include <sys/vfs.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>
#include <system_error>

#include "devlib/ram_code.h"
#include "platform/paths.h"
#include "station/port_record.h"

namespace fleetburn {
namespace {

// statfs f_type of the file systems that fetch their files over the network
// (linux/magic.h, statfs(2)).
constexpr std::array<unsigned long, 10> kNetworkMagics = {
    0x6969,      // NFS
    0x517B,      // SMB
    0xFF534D42,  // CIFS
    0xFE534D42,  // SMB2/3
    0x01021997,  // 9p
    0x5346414F,  // AFS (OpenAFS)
    0x6B414653,  // AFS (kAFS)
    0x00C36400,  // Ceph
    0x73757245,  // Coda, which davfs2 can also mount through
    0x564C,      // NCP
};
constexpr unsigned long kFuseMagic = 0x65735546;

// FUSE file systems that reach a remote host.
constexpr std::array<std::string_view, 3> kNetworkFuseTypes = {"fuse.sshfs", "fuse.davfs", "davfs"};

// mountinfo writes blanks, tabs, newlines and backslashes as \ooo.
std::string UnescapeMountField(std::string_view field) {
  const auto isOctal = [](char c) { return c >= '0' && c <= '7'; };
  std::string text;
  for (std::size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size() && isOctal(field[i + 1]) && isOctal(field[i + 2]) &&
        isOctal(field[i + 3])) {
      text += static_cast<char>(((field[i + 1] - '0') << 6) | ((field[i + 2] - '0') << 3) | (field[i + 3] - '0'));
      i += 3;
    } else {
      text += field[i];
    }
  }
  return text;
}

// How many leading components `path` shares with `mountPoint`, or -1 when
// the mount point does not contain it.
long ContainingDepth(const std::filesystem::path& mountPoint, const std::filesystem::path& path) {
  const auto [mountEnd, pathEnd] = std::mismatch(mountPoint.begin(), mountPoint.end(), path.begin(), path.end());
  if (mountEnd != mountPoint.end()) return -1;
  return std::distance(mountPoint.begin(), mountEnd);
}

// Whether the keyword "InitFunc<index>" occurs with no digit after it.
bool HasInitFunc(std::string_view commandLine, std::size_t index) {
  const std::string keyword = "InitFunc" + std::to_string(index);
  for (std::size_t at = commandLine.find(keyword); at != std::string_view::npos;
       at = commandLine.find(keyword, at + 1)) {
    const std::size_t after = at + keyword.size();
    if (after == commandLine.size() || std::isdigit(static_cast<unsigned char>(commandLine[after])) == 0) return true;
  }
  return false;
}

bool Contains(std::string_view text, std::string_view keyword) { return text.find(keyword) != std::string_view::npos; }

// The tag text stands at 772, 6 bytes, up to its first zero byte.
constexpr std::size_t kTagAt = 772;
constexpr std::size_t kTagBytes = 6;

// One image beside the program: its tag text (empty when missing) and
// whether it is fit to load.
bool CheckImage(std::string_view name, std::string& tag, platform::prompt::Prompt& prompt) {
  const std::filesystem::path path = platform::paths::resolve(name);
  tag.clear();
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    prompt.message("<WARNING> Can't find file : " + path.string());
    return false;
  }
  std::string bytes(devlib::kRamCodeImageSize, '\0');
  file.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  const auto length = static_cast<std::size_t>(file.gcount());
  if (length >= kTagAt + kTagBytes) {
    const std::string_view field(bytes.data() + kTagAt, kTagBytes);
    tag = std::string(field.substr(0, field.find('\0')));
  }
  if (tag.empty() || length < devlib::kRamCodeImageSize) {
    prompt.message("The " + std::string(name) + " is a corrupt file, please check it.");
    return false;
  }
  return true;
}

}  // namespace

bool IsNetworkFilesystemType(unsigned long statfsType, std::string_view mountType) {
  if (std::find(kNetworkMagics.begin(), kNetworkMagics.end(), statfsType) != kNetworkMagics.end()) return true;
  if (statfsType != kFuseMagic) return false;
  return std::find(kNetworkFuseTypes.begin(), kNetworkFuseTypes.end(), mountType) != kNetworkFuseTypes.end();
}

std::string MountTypeFromMountInfo(std::string_view mountInfo, const std::filesystem::path& path) {
  std::istringstream lines{std::string(mountInfo)};
  std::string line;
  std::string bestType;
  long bestDepth = -1;
  while (std::getline(lines, line)) {
    // id parent major:minor root mount-point options [optional...] - type source options
    std::istringstream fields(line);
    std::vector<std::string> words{std::istream_iterator<std::string>(fields), std::istream_iterator<std::string>()};
    const auto separator = std::find(words.begin(), words.end(), "-");
    if (separator == words.end() || std::next(separator) == words.end() ||
        std::distance(words.begin(), separator) < 6) {
      continue;
    }
    const long depth = ContainingDepth(UnescapeMountField(words[4]), path);
    if (depth >= bestDepth && depth >= 0) {  // a later mount over the same point hides the earlier one
      bestDepth = depth;
      bestType = UnescapeMountField(*std::next(separator));
    }
  }
  return bestType;
}

bool IsNetworkFilesystem(const std::filesystem::path& path) {
  struct statfs info {};
  if (statfs(path.c_str(), &info) != 0) return false;
  const auto type = static_cast<unsigned long>(info.f_type);
  if (type != kFuseMagic) return IsNetworkFilesystemType(type, {});
  std::ifstream file("/proc/self/mountinfo");
  const std::string mountInfo{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
  std::error_code error;
  const std::filesystem::path resolved = std::filesystem::weakly_canonical(std::filesystem::absolute(path), error);
  return IsNetworkFilesystemType(type, MountTypeFromMountInfo(mountInfo, error ? path : resolved));
}

CommandLineOptions ParseCommandLine(std::string_view commandLine, std::size_t itemCount) {
  CommandLineOptions options;
  options.clearInitFunc = Contains(commandLine, "ClearInitFunc");
  for (std::size_t item = 0; item < itemCount; ++item) {
    if (HasInitFunc(commandLine, item)) options.initFuncs.push_back(item);
  }
  options.autoExecute = Contains(commandLine, "AutoExecute");
  options.autoExecuteQuit = Contains(commandLine, "AutoExecuteQuit");
  options.captureAppImage = Contains(commandLine, "CaptureAppImage");
  options.singleExecuteResult = Contains(commandLine, "SingleExecuteResult");
  return options;
}

void ApplyCheckListChanges(const CommandLineOptions& options, std::vector<bool>& checked) {
  if (options.clearInitFunc) std::fill(checked.begin(), checked.end(), false);
  for (const std::size_t item : options.initFuncs) {
    if (item < checked.size()) checked[item] = true;
  }
}

SupportFiles CheckSupportFiles(platform::prompt::Prompt& prompt) {
  SupportFiles files;
  const bool gdpOk = CheckImage("GDP.bin", files.gdpTag, prompt);
  const bool testOk = CheckImage("satatest.bin", files.testTag, prompt);
  files.SupportFilesOk = gdpOk && testOk;
  return files;
}

std::string ShowCaptionString(std::string_view pathWord) {
  const std::string word(pathWord);
  std::array<char, 128> caption{};
  std::snprintf(caption.data(), caption.size(), "Tolvane %s %s M.P. Tool %s S/U ", "A4X", word.c_str(), "B.2.9.21");
  return caption.data();
}

int ExitCode(StartupStatus status) { return status == StartupStatus::Ready ? 0 : 1; }

StartupStatus CheckBeforeWindow(const platform::InstanceGuard& guard, const std::filesystem::path& programDirectory,
                                const FilesystemClassifier& isNetworkFilesystem) {
  if (guard.alreadyRunning()) return StartupStatus::SecondInstance;
  if (isNetworkFilesystem(programDirectory)) return StartupStatus::NetworkDrive;
  return StartupStatus::Ready;
}

StartupStatus CheckPortCount(std::size_t portCount, platform::prompt::Prompt& prompt) {
  if (portCount <= kPortSlots) return StartupStatus::Ready;
  prompt.message(PortLimitText(kPortSlots));
  return StartupStatus::TooManyPorts;
}

std::string PortLimitText(std::size_t limit) {
  std::array<char, 128> text{};
  std::snprintf(text.data(), text.size(), "Up to the limitation of total port number(%d), Please remove the usb hub",
                static_cast<int>(limit));
  return text.data();
}

}  // namespace fleetburn
