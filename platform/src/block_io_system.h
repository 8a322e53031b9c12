#pragma once
// What the system tells about disks, read from mountinfo and sysfs: which
// whole disks a device lives on, what is mounted on them, their partitions.
// The real block backend decides its refusals and finds volumes here.

#include <compare>
#include <cstdint>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "platform/block_io.h"

namespace platform::block::sys {

struct DeviceNumber {
  unsigned major = 0;
  unsigned minor = 0;

  friend auto operator<=>(const DeviceNumber&, const DeviceNumber&) = default;
};

std::optional<DeviceNumber> parseDeviceNumber(std::string_view text);  // "8:17"

struct Mount {
  DeviceNumber device;
  std::string source;
  std::string mountPoint;
};

// The lines of /proc/<pid>/mountinfo; lines that do not parse are left out.
std::vector<Mount> parseMountInfo(std::string_view text);

// Where the system's view is read from; tests give trees of their own.
struct SystemView {
  std::filesystem::path sysfs = "/sys";
  std::filesystem::path mountInfo = "/proc/self/mountinfo";
  std::filesystem::path devRoot = "/dev";
};

// The whole disks a block device lives on: a disk itself, the disk of a
// partition, the disks under a mapped or RAID device. A device sysfs does not
// know counts as a disk of its own.
std::set<DeviceNumber> wholeDisksOf(const std::filesystem::path& sysfs, DeviceNumber device);

// The number the kernel gave the disk when it appeared (sysfs "diskseq"). It
// gives no number twice during a boot, so it tells one plug of a disk from
// the next, which Linux may give the same device number. None for a device
// sysfs does not know, for a partition, and from a kernel that numbers no
// disks (before 5.15).
std::optional<std::uint64_t> diskSequence(const std::filesystem::path& sysfs, DeviceNumber disk);

// The disks this program wrote a partition table to, each as it was plugged
// then: a disk that has since been replugged, or another disk that got its
// device number, is not among them. Safe to share between threads.
class LaidOutDisks {
 public:
  // The disk at `disk`, plugged as `sequence` (its diskseq), was laid out here.
  void note(DeviceNumber disk, std::uint64_t sequence);
  // Whether the disk sysfs shows at that number now is one laid out here. An
  // entry whose disk is gone or replaced is forgotten. Without a diskseq in
  // sysfs no disk is ever ours: a mount on it is then never let go.
  bool holds(const std::filesystem::path& sysfs, DeviceNumber disk);

 private:
  std::mutex mutex_;
  std::map<DeviceNumber, std::uint64_t> sequences_;
};

// Why the device must not be written, naming it as `path`; empty when it may
// be. Refused: a device on the disk that holds the root file system, and one
// on a disk with any other file system mounted, unless every disk of that
// file system is one `laidOut` holds.
std::string writeRefusal(const SystemView& view, std::string_view path, DeviceNumber device,
                         LaidOutDisks& laidOut);

// The disk's partition with the lowest number, with its node and mount
// point; none when the disk holds the root file system or has no partition.
std::optional<Volume> firstVolume(const SystemView& view, DeviceNumber disk);

// Where the device is mounted first; empty when nowhere.
std::string mountPointOf(const SystemView& view, DeviceNumber device);

}  // namespace platform::block::sys
