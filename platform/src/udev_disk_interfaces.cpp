// Whole disks for the drive list: the bus each is on and where it is mounted;
// and the rescan of the SCSI hosts.

#include <fcntl.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <map>
#include <sstream>
#include <string_view>
#include <utility>

#include "udev_backend.h"

namespace platform::devices::udev {
namespace {

using BusKind = DeviceTree::BusKind;

bool isVirtualDisk(std::string_view name) {
  return name.starts_with("loop") || name.starts_with("ram") || name.starts_with("dm-");
}

// A libata port directory: "ata" and its number.
bool isAtaPortName(std::string_view name) {
  return name.size() > 3 && name.starts_with("ata") &&
         std::all_of(name.begin() + 3, name.end(), [](char c) { return std::isdigit(static_cast<unsigned char>(c)); });
}

bool underAtaPort(std::string_view syspath) {
  std::size_t start = 0;
  while (start < syspath.size()) {
    const std::size_t end = std::min(syspath.find('/', start), syspath.size());
    if (isAtaPortName(syspath.substr(start, end - start))) return true;
    start = end + 1;
  }
  return false;
}

BusKind busOf(udev_device* disk) {
  bool scsi = false;
  for (udev_device* parent = udev_device_get_parent(disk); parent != nullptr;
       parent = udev_device_get_parent(parent)) {
    const std::string subsystem = textOf(udev_device_get_subsystem(parent));
    if (subsystem == "usb") return BusKind::Usb;
    if (subsystem == "firewire" || subsystem == "ieee1394") return BusKind::Sbp2;
    scsi = scsi || subsystem == "scsi";
  }
  const std::string idBus = textOf(udev_device_get_property_value(disk, "ID_BUS"));
  if (idBus == "ata") return BusKind::Ide;
  if (idBus == "usb") return BusKind::Usb;
  if (idBus == "ieee1394") return BusKind::Sbp2;
  if (idBus == "scsi") return BusKind::Scsi;
  if (underAtaPort(textOf(udev_device_get_syspath(disk)))) return BusKind::Ide;
  return scsi ? BusKind::Scsi : BusKind::Other;
}

// Mount points are written with \ooo escapes for blanks, tabs, newlines and backslashes.
std::string unescapedMountPoint(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto octal = [&](std::size_t at) { return at < text.size() && text[at] >= '0' && text[at] <= '7'; };
    const bool escape = text[i] == '\\' && octal(i + 1) && octal(i + 2) && octal(i + 3);
    if (escape) {
      out.push_back(static_cast<char>((text[i + 1] - '0') * 64 + (text[i + 2] - '0') * 8 + (text[i + 3] - '0')));
      i += 3;
    } else {
      out.push_back(text[i]);
    }
  }
  return out;
}

// The first mount point of each device number in mountinfo.
std::map<dev_t, std::string> mountPoints() {
  std::map<dev_t, std::string> points;
  const std::optional<std::string> text = readFileText("/proc/self/mountinfo");
  if (!text) return points;
  std::istringstream lines(*text);
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream fields(line);
    std::string id, parent, numbers, root, point;
    if (!(fields >> id >> parent >> numbers >> root >> point)) continue;
    unsigned major = 0, minor = 0;
    char colon = 0;
    std::istringstream pair(numbers);
    if (!(pair >> major >> colon >> minor) || colon != ':') continue;
    points.emplace(makedev(major, minor), unescapedMountPoint(point));
  }
  return points;
}

std::string volumeTagOf(::udev* context, udev_device* disk, const std::map<dev_t, std::string>& points) {
  std::vector<std::pair<unsigned long, dev_t>> partitions;
  for (const std::string& syspath : devicesOf(context, "block", "partition", disk)) {
    const Device partition = deviceAt(context, syspath);
    partitions.emplace_back(numberAttribute(partition.get(), "partition", 10).value_or(0),
                            udev_device_get_devnum(partition.get()));
  }
  std::sort(partitions.begin(), partitions.end());
  // A disk formatted without a partition table is mounted whole.
  partitions.emplace_back(0, udev_device_get_devnum(disk));
  for (const auto& [number, devnum] : partitions) {
    const auto found = points.find(devnum);
    if (found != points.end()) return found->second;
  }
  return {};
}

}  // namespace

std::vector<DeviceTree::DiskInterface> listDisks() {
  const Context context = newContext();
  std::vector<std::pair<std::string, DeviceTree::DiskInterface>> named;
  const std::map<dev_t, std::string> points = mountPoints();
  for (const std::string& syspath : devicesOf(context.get(), "block", "disk")) {
    const Device disk = deviceAt(context.get(), syspath);
    const std::string name = textOf(udev_device_get_sysname(disk.get()));
    const std::string node = textOf(udev_device_get_devnode(disk.get()));
    if (name.empty() || node.empty() || isVirtualDisk(name)) continue;
    const BusKind bus = busOf(disk.get());
    named.emplace_back(name, DeviceTree::DiskInterface{.openPath = node,
                                                       .busKind = bus,
                                                       .volumeTag = volumeTagOf(context.get(), disk.get(), points)});
  }
  std::sort(named.begin(), named.end(), [](const auto& a, const auto& b) {
    return a.first.size() != b.first.size() ? a.first.size() < b.first.size() : a.first < b.first;
  });
  std::vector<DeviceTree::DiskInterface> disks;
  for (auto& entry : named) disks.push_back(std::move(entry.second));
  return disks;
}

bool rescanScsiHosts() {
  const Context context = newContext();
  static constexpr char kAnyChannelTargetLun[] = "- - -";
  for (const std::string& syspath : devicesOf(context.get(), "scsi_host", nullptr)) {
    const int fd = ::open((syspath + "/scan").c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) continue;  // not ours to write
    ssize_t written = 0;
    do {
      written = ::write(fd, kAnyChannelTargetLun, sizeof kAnyChannelTargetLun - 1);
    } while (written < 0 && errno == EINTR);
    ::close(fd);
  }
  return true;
}

}  // namespace platform::devices::udev
