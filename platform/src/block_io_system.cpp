#include "block_io_system.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <charconv>
#include <fstream>
#include <iterator>
#include <sstream>
#include <system_error>

namespace platform::block::sys {
namespace {

namespace fs = std::filesystem;

// Mapped devices stack a few levels at most; the bound keeps a looping tree finite.
constexpr int kMaxStackDepth = 16;

std::string readText(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return {};
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string_view firstLine(std::string_view text) {
  return text.substr(0, std::min(text.find('\n'), text.size()));
}

template <typename Number = unsigned>
std::optional<Number> parseUnsigned(std::string_view text) {
  Number value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc{} || end != text.data() + text.size()) return std::nullopt;
  return value;
}

// mountinfo writes space, tab, newline and backslash as three octal digits.
std::string unescaped(std::string_view field) {
  std::string out;
  for (std::size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size()) {
      const std::string_view digits = field.substr(i + 1, 3);
      if (std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '7'; })) {
        out.push_back(static_cast<char>((digits[0] - '0') * 64 + (digits[1] - '0') * 8 + (digits[2] - '0')));
        i += 3;
        continue;
      }
    }
    out.push_back(field[i]);
  }
  return out;
}

std::vector<std::string_view> fields(std::string_view line) {
  std::vector<std::string_view> out;
  std::size_t at = 0;
  while (at < line.size()) {
    const std::size_t start = line.find_first_not_of(' ', at);
    if (start == std::string_view::npos) break;
    const std::size_t end = std::min(line.find(' ', start), line.size());
    out.push_back(line.substr(start, end - start));
    at = end;
  }
  return out;
}

std::optional<fs::path> deviceDirectory(const fs::path& sysfs, DeviceNumber device) {
  std::error_code error;
  const fs::path link = sysfs / "dev" / "block" / (std::to_string(device.major) + ":" + std::to_string(device.minor));
  fs::path dir = fs::canonical(link, error);
  if (error) return std::nullopt;
  return dir;
}

std::optional<DeviceNumber> numberOfDirectory(const fs::path& dir) {
  return parseDeviceNumber(firstLine(readText(dir / "dev")));
}

bool isPartition(const fs::path& dir) {
  std::error_code error;
  return fs::exists(dir / "partition", error);
}

void collectWholeDisks(const fs::path& sysfs, const fs::path& dir, DeviceNumber device, int depth,
                       std::set<DeviceNumber>& disks) {
  if (isPartition(dir)) {
    if (const auto parent = numberOfDirectory(dir.parent_path())) {
      disks.insert(*parent);
    } else {
      disks.insert(device);
    }
    return;
  }
  std::error_code error;
  bool stacked = false;
  if (depth < kMaxStackDepth) {
    for (fs::directory_iterator it(dir / "slaves", error), end; !error && it != end; it.increment(error)) {
      const fs::path slave = fs::canonical(it->path(), error);
      if (error) break;
      const auto number = numberOfDirectory(slave);
      if (!number) continue;
      stacked = true;
      collectWholeDisks(sysfs, slave, *number, depth + 1, disks);
    }
  }
  if (!stacked) disks.insert(device);
}

// The block device a mount stands on. File systems on several devices (a
// major of 0) name it only as their source.
std::optional<DeviceNumber> mountedDevice(const Mount& mount) {
  if (mount.device.major != 0) return mount.device;
  if (mount.source.rfind("/dev/", 0) != 0) return std::nullopt;
  struct stat status {};
  if (::stat(mount.source.c_str(), &status) != 0 || !S_ISBLK(status.st_mode)) return std::nullopt;
  return DeviceNumber{::major(status.st_rdev), ::minor(status.st_rdev)};
}

bool meets(const std::set<DeviceNumber>& a, const std::set<DeviceNumber>& b) {
  return std::any_of(a.begin(), a.end(), [&b](const DeviceNumber& d) { return b.count(d) != 0; });
}

std::vector<Mount> mountsOf(const SystemView& view) { return parseMountInfo(readText(view.mountInfo)); }

std::set<DeviceNumber> rootDisks(const SystemView& view, const std::vector<Mount>& mounts) {
  std::set<DeviceNumber> disks;
  for (const Mount& mount : mounts) {
    if (mount.mountPoint != "/") continue;
    if (const auto device = mountedDevice(mount)) disks.merge(wholeDisksOf(view.sysfs, *device));
  }
  return disks;
}

std::string nodeName(const fs::path& dir) {
  std::istringstream uevent(readText(dir / "uevent"));
  for (std::string line; std::getline(uevent, line);) {
    if (line.rfind("DEVNAME=", 0) == 0) return line.substr(8);
  }
  return dir.filename().string();
}

}  // namespace

std::optional<DeviceNumber> parseDeviceNumber(std::string_view text) {
  const std::size_t colon = text.find(':');
  if (colon == std::string_view::npos) return std::nullopt;
  const auto major = parseUnsigned(text.substr(0, colon));
  const auto minor = parseUnsigned(text.substr(colon + 1));
  if (!major || !minor) return std::nullopt;
  return DeviceNumber{*major, *minor};
}

std::vector<Mount> parseMountInfo(std::string_view text) {
  std::vector<Mount> mounts;
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t end = std::min(text.find('\n', start), text.size());
    const auto f = fields(text.substr(start, end - start));
    start = end + 1;
    // id, parent, major:minor, root, mount point, options, optional fields, "-", type, source
    const auto dash = std::find(f.begin(), f.end(), std::string_view("-"));
    if (f.size() < 6 || dash == f.end() || std::distance(dash, f.end()) < 3 || std::distance(f.begin(), dash) < 6) {
      continue;
    }
    const auto device = parseDeviceNumber(f[2]);
    if (!device) continue;
    mounts.push_back({*device, unescaped(*(dash + 2)), unescaped(f[4])});
  }
  return mounts;
}

std::set<DeviceNumber> wholeDisksOf(const fs::path& sysfs, DeviceNumber device) {
  std::set<DeviceNumber> disks;
  const auto dir = deviceDirectory(sysfs, device);
  if (!dir) {
    disks.insert(device);
    return disks;
  }
  collectWholeDisks(sysfs, *dir, device, 0, disks);
  return disks;
}

std::optional<std::uint64_t> diskSequence(const fs::path& sysfs, DeviceNumber disk) {
  const auto dir = deviceDirectory(sysfs, disk);
  if (!dir) return std::nullopt;
  return parseUnsigned<std::uint64_t>(firstLine(readText(*dir / "diskseq")));
}

void LaidOutDisks::note(DeviceNumber disk, std::uint64_t sequence) {
  std::lock_guard lock(mutex_);
  sequences_[disk] = sequence;
}

bool LaidOutDisks::holds(const fs::path& sysfs, DeviceNumber disk) {
  const auto now = diskSequence(sysfs, disk);
  std::lock_guard lock(mutex_);
  const auto entry = sequences_.find(disk);
  if (entry == sequences_.end()) return false;
  if (now == entry->second) return true;
  sequences_.erase(entry);
  return false;
}

std::string writeRefusal(const SystemView& view, std::string_view path, DeviceNumber device,
                         LaidOutDisks& laidOut) {
  const std::set<DeviceNumber> target = wholeDisksOf(view.sysfs, device);
  const std::vector<Mount> mounts = mountsOf(view);
  if (meets(target, rootDisks(view, mounts))) {
    return std::string(path) + " is on the disk that holds the running system; it is not written";
  }
  for (const Mount& mount : mounts) {
    const auto mounted = mountedDevice(mount);
    if (!mounted) continue;
    std::set<DeviceNumber> disks = wholeDisksOf(view.sysfs, *mounted);
    if (!meets(target, disks)) continue;
    const bool ours = std::all_of(disks.begin(), disks.end(), [&](const DeviceNumber& d) {
      return laidOut.holds(view.sysfs, d);
    });
    if (ours) continue;
    return std::string(path) + " holds a mounted file system (" + mount.source + " on " + mount.mountPoint +
           ") that this program did not make; it is not written";
  }
  return {};
}

std::optional<Volume> firstVolume(const SystemView& view, DeviceNumber disk) {
  const std::vector<Mount> mounts = mountsOf(view);
  if (rootDisks(view, mounts).count(disk) != 0) return std::nullopt;
  const auto dir = deviceDirectory(view.sysfs, disk);
  if (!dir || isPartition(*dir)) return std::nullopt;
  std::optional<unsigned> lowest;
  fs::path chosen;
  std::error_code error;
  for (fs::directory_iterator it(*dir, error), end; !error && it != end; it.increment(error)) {
    const auto number = parseUnsigned(firstLine(readText(it->path() / "partition")));
    if (!number || (lowest && *lowest <= *number)) continue;
    lowest = number;
    chosen = it->path();
  }
  if (!lowest) return std::nullopt;
  Volume volume;
  volume.node = (view.devRoot / nodeName(chosen)).string();
  if (const auto number = numberOfDirectory(chosen)) {
    for (const Mount& mount : mounts) {
      if (mountedDevice(mount) == number) {
        volume.mountPoint = mount.mountPoint;
        break;
      }
    }
  }
  return volume;
}

std::string mountPointOf(const SystemView& view, DeviceNumber device) {
  for (const Mount& mount : mountsOf(view)) {
    if (mountedDevice(mount) == device) return mount.mountPoint;
  }
  return {};
}

}  // namespace platform::block::sys
