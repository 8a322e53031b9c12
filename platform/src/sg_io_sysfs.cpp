#include "sg_io_sysfs.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <cctype>
#include <string>
#include <system_error>

namespace platform::storage::sgio {
namespace fs = std::filesystem;
namespace {

// Every USB device hangs below its host controller's root hub, "usb<bus>".
bool isRootHubName(const std::string& name) {
  constexpr std::string_view prefix = "usb";
  if (name.size() <= prefix.size() || !name.starts_with(prefix)) return false;
  return std::all_of(name.begin() + prefix.size(), name.end(),
                     [](unsigned char c) { return std::isdigit(c) != 0; });
}

bool belongsToUsbBus(const fs::path& directory) {
  std::error_code error;
  const fs::path subsystem = fs::canonical(directory / "subsystem", error);
  return !error && subsystem.filename() == "usb" && subsystem.parent_path().filename() == "bus";
}

// Only the part of a path inside the sysfs tree says anything about the device.
bool isInside(const fs::path& path, const fs::path& root) {
  const auto [rootEnd, pathAt] = std::mismatch(root.begin(), root.end(), path.begin(), path.end());
  return rootEnd == root.end() && pathAt != path.end();
}

}  // namespace

bool isOnUsb(const fs::path& sysfsRoot, NodeKind kind, unsigned major, unsigned minor) {
  std::error_code error;
  const fs::path root = fs::canonical(sysfsRoot, error);
  if (error) return false;
  const fs::path link = root / "dev" / (kind == NodeKind::Block ? "block" : "char") /
                        (std::to_string(major) + ":" + std::to_string(minor));
  const fs::path device = fs::canonical(link, error);
  if (error || !isInside(device, root)) return false;

  for (fs::path directory = device; directory != root; directory = directory.parent_path()) {
    if (isRootHubName(directory.filename().string()) || belongsToUsbBus(directory)) return true;
  }
  return false;
}

bool isOnUsb(const fs::path& sysfsRoot, int fd) {
  struct stat status {};
  if (::fstat(fd, &status) != 0) return false;
  if (!S_ISBLK(status.st_mode) && !S_ISCHR(status.st_mode)) return false;
  const NodeKind kind = S_ISBLK(status.st_mode) ? NodeKind::Block : NodeKind::Character;
  return isOnUsb(sysfsRoot, kind, major(status.st_rdev), minor(status.st_rdev));
}

}  // namespace platform::storage::sgio
