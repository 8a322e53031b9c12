#include "block_io_linux.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <system_error>
#include <utility>

namespace platform::block {
namespace {

using sys::DeviceNumber;

// Image files have no sector size of their own; the programs' disks have 512.
constexpr std::uint32_t kImageSectorBytes = 512;
// Direct transfers go through a buffer aligned for any logical block size.
constexpr std::size_t kDirectAlignment = 4096;
constexpr std::size_t kBounceBytes = std::size_t{1} << 20;

std::string osText(int error) { return std::system_category().message(error); }

std::string failed(std::string_view path, int error) { return std::string(path) + ": " + osText(error); }

class Descriptor {
 public:
  Descriptor() = default;
  explicit Descriptor(int fd) : fd_(fd) {}
  Descriptor(Descriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Descriptor& operator=(Descriptor&& other) noexcept {
    if (this != &other) {
      reset();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  ~Descriptor() { reset(); }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  void reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
};

Descriptor openRetrying(const std::string& path, int flags) {
  int fd = -1;
  do {
    fd = ::open(path.c_str(), flags | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  return Descriptor(fd);
}

DeviceNumber numberOf(dev_t device) { return {::major(device), ::minor(device)}; }

using LaidOut = std::shared_ptr<sys::LaidOutDisks>;

struct FreeDeleter {
  void operator()(std::uint8_t* p) const { std::free(p); }
};

class LinuxBlockDevice final : public BlockDevice {
 public:
  LinuxBlockDevice(Descriptor fd, Geometry geometry, bool direct, std::optional<DeviceNumber> disk, LaidOut laidOut)
      : fd_(std::move(fd)), geometry_(geometry), direct_(direct), disk_(disk), laidOut_(std::move(laidOut)) {}

  Geometry geometry() const override { return geometry_; }

  bool read(std::uint64_t lba, std::span<std::uint8_t> sectors) override {
    if (!fits(lba, sectors.size())) return false;
    return transfer(false, lba * geometry_.sectorSize, sectors.data(), sectors.size());
  }

  bool write(std::uint64_t lba, std::span<const std::uint8_t> sectors) override {
    if (!fits(lba, sectors.size())) return false;
    // pwrite takes the bytes as they are; the cast only lets one path serve both ways.
    auto* bytes = const_cast<std::uint8_t*>(sectors.data());
    return transfer(true, lba * geometry_.sectorSize, bytes, sectors.size());
  }

  bool writeLayout(std::span<const std::uint8_t> sectors) override {
    if (!write(0, sectors)) return false;
    // The plug is asked of the open disk itself, so that it is the one
    // written. A kernel that numbers no plugs answers nothing, and the disk
    // is then never taken for ours.
    std::uint64_t sequence = 0;
    if (disk_ && ::ioctl(fd_.get(), BLKGETDISKSEQ, &sequence) == 0) laidOut_->note(*disk_, sequence);
    return true;
  }

  bool flush() override {
    if (::fsync(fd_.get()) != 0) return false;
    // Drops the cached blocks, so that commands sent past the cache later are
    // not hidden behind stale pages. Without the right to, the sync still holds.
    if (disk_) ::ioctl(fd_.get(), BLKFLSBUF, 0);
    return true;
  }

  std::uint64_t bytesWritten() const override { return written_; }

 private:
  bool fits(std::uint64_t lba, std::size_t bytes) const {
    const std::uint32_t size = geometry_.sectorSize;
    if (size == 0 || bytes % size != 0) return false;
    const std::uint64_t count = bytes / size;
    return lba <= geometry_.sectorCount && count <= geometry_.sectorCount - lba;
  }

  bool transfer(bool writing, std::uint64_t offset, std::uint8_t* data, std::size_t size) {
    if (!direct_) return moveAll(writing, offset, data, size);
    if (!bounce_) {
      bounce_.reset(static_cast<std::uint8_t*>(std::aligned_alloc(kDirectAlignment, kBounceBytes)));
      if (!bounce_) return false;
    }
    const std::size_t chunk = kBounceBytes - kBounceBytes % geometry_.sectorSize;
    while (size > 0) {
      const std::size_t part = std::min(size, chunk);
      if (writing) std::memcpy(bounce_.get(), data, part);
      if (!moveAll(writing, offset, bounce_.get(), part)) return false;
      if (!writing) std::memcpy(data, bounce_.get(), part);
      data += part;
      offset += part;
      size -= part;
    }
    return true;
  }

  bool moveAll(bool writing, std::uint64_t offset, std::uint8_t* data, std::size_t size) {
    while (size > 0) {
      const auto at = static_cast<off_t>(offset);
      const ssize_t moved = writing ? ::pwrite(fd_.get(), data, size, at) : ::pread(fd_.get(), data, size, at);
      if (moved < 0 && errno == EINTR) continue;
      if (moved <= 0) return false;
      const auto count = static_cast<std::size_t>(moved);
      if (writing) written_ += count;
      data += count;
      offset += count;
      size -= count;
    }
    return true;
  }

  Descriptor fd_;
  Geometry geometry_;
  bool direct_;
  std::optional<DeviceNumber> disk_;  // a disk node's number; none for an image file
  LaidOut laidOut_;
  std::unique_ptr<std::uint8_t, FreeDeleter> bounce_;
  std::uint64_t written_ = 0;
};

class LinuxVolume final : public VolumeHandle {
 public:
  LinuxVolume(sys::SystemView view, std::string node, Descriptor fd, DeviceNumber device, LaidOut laidOut)
      : view_(std::move(view)),
        node_(std::move(node)),
        fd_(std::move(fd)),
        device_(device),
        laidOut_(std::move(laidOut)) {}

  bool lock() override {
    if (exclusive_.valid()) return true;
    if (!unmountIfOurs()) return false;
    // An exclusive open fails while the volume is mounted or held by another.
    exclusive_ = openRetrying(node_, O_RDONLY | O_EXCL);
    return exclusive_.valid();
  }

  bool dismount() override {
    // What the system could not write back is lost to the volume: no dismount.
    if (::fsync(fd_.get()) != 0) return false;
    // Dropping the cached blocks needs a right the program may lack, and the
    // sync above already holds; an error of its own (its sync failed) counts.
    if (::ioctl(fd_.get(), BLKFLSBUF, 0) != 0 && errno != EACCES && errno != EPERM) return false;
    return unmountIfOurs();
  }

 private:
  // A mounted volume is let go only when the program made its disk's layout.
  bool unmountIfOurs() {
    const std::string mountPoint = sys::mountPointOf(view_, device_);
    if (mountPoint.empty()) return true;
    const auto disks = sys::wholeDisksOf(view_.sysfs, device_);
    const bool mine = std::all_of(disks.begin(), disks.end(), [this](const DeviceNumber& d) {
      return laidOut_->holds(view_.sysfs, d);
    });
    return mine && ::umount2(mountPoint.c_str(), 0) == 0;
  }

  sys::SystemView view_;
  std::string node_;
  Descriptor fd_;
  DeviceNumber device_;
  LaidOut laidOut_;
  Descriptor exclusive_;
};

class LinuxBackend final : public Backend {
 public:
  explicit LinuxBackend(sys::SystemView view) : view_(std::move(view)) {}

  OpenResult open(std::string_view path) override {
    const std::string name(path);
    // The refusal comes before the open: it must not depend on being let in.
    struct stat named {};
    if (::stat(name.c_str(), &named) == 0 && S_ISBLK(named.st_mode)) {
      std::string refusal = sys::writeRefusal(view_, path, numberOf(named.st_rdev), *laidOut_);
      if (!refusal.empty()) return {nullptr, refusal};
    }
    Descriptor fd = openRetrying(name, O_RDWR);
    if (!fd.valid()) return {nullptr, failed(path, errno)};
    struct stat status {};
    if (::fstat(fd.get(), &status) != 0) return {nullptr, failed(path, errno)};
    if (S_ISREG(status.st_mode)) {
      Geometry geometry;
      geometry.sectorSize = kImageSectorBytes;
      geometry.sectorCount = static_cast<std::uint64_t>(status.st_size) / kImageSectorBytes;
      return {std::make_unique<LinuxBlockDevice>(std::move(fd), geometry, false, std::nullopt, laidOut_), {}};
    }
    if (!S_ISBLK(status.st_mode)) return {nullptr, name + " is neither a disk nor an image file"};

    // The node may have been replaced between the two looks.
    if (!S_ISBLK(named.st_mode) || named.st_rdev != status.st_rdev) {
      return {nullptr, name + " changed while it was opened"};
    }
    const DeviceNumber device = numberOf(status.st_rdev);
    std::uint64_t bytes = 0;
    int sectorSize = 0;
    if (::ioctl(fd.get(), BLKGETSIZE64, &bytes) != 0) return {nullptr, failed(path, errno)};
    if (::ioctl(fd.get(), BLKSSZGET, &sectorSize) != 0) return {nullptr, failed(path, errno)};
    Geometry geometry;
    geometry.sectorSize = sectorSize > 0 ? static_cast<std::uint32_t>(sectorSize) : 0;
    geometry.sectorCount = geometry.sectorSize == 0 ? 0 : bytes / geometry.sectorSize;
    // Past the page cache, so that what the pass-through commands write and
    // what is written here never meet in stale cached blocks.
    const int flags = ::fcntl(fd.get(), F_GETFL);
    const bool direct = flags >= 0 && ::fcntl(fd.get(), F_SETFL, flags | O_DIRECT) == 0;
    return {std::make_unique<LinuxBlockDevice>(std::move(fd), geometry, direct, device, laidOut_), {}};
  }

  std::string rereadPartitions(std::string_view diskPath) override {
    Descriptor fd = openRetrying(std::string(diskPath), O_RDONLY);
    if (!fd.valid()) return failed(diskPath, errno);
    struct stat status {};
    if (::fstat(fd.get(), &status) != 0) return failed(diskPath, errno);
    if (S_ISREG(status.st_mode)) return {};  // an image file: the system holds no table of it
    if (!S_ISBLK(status.st_mode)) return std::string(diskPath) + " is neither a disk nor an image file";
    ::ioctl(fd.get(), BLKFLSBUF, 0);
    if (::ioctl(fd.get(), BLKRRPART, 0) == 0) return {};
    const int error = errno;
    // A device that takes no partition table (a loop device without partition
    // scanning) has nothing to re-read.
    if (error == EINVAL) return {};
    if (error == EBUSY) return std::string(diskPath) + ": a partition is in use; the system keeps the old table";
    return std::string(diskPath) + ": the partition table was not re-read: " + osText(error);
  }

  std::optional<Volume> findVolume(std::string_view diskPath) override {
    struct stat status {};
    if (::stat(std::string(diskPath).c_str(), &status) != 0 || !S_ISBLK(status.st_mode)) return std::nullopt;
    return sys::firstVolume(view_, numberOf(status.st_rdev));
  }

  std::unique_ptr<VolumeHandle> openVolume(const Volume& volume) override {
    Descriptor fd = openRetrying(volume.node, O_RDWR);
    // A read-only medium (an optical disc) opens for reading.
    if (!fd.valid() && (errno == EROFS || errno == EACCES)) fd = openRetrying(volume.node, O_RDONLY);
    if (!fd.valid()) return nullptr;
    struct stat status {};
    if (::fstat(fd.get(), &status) != 0 || !S_ISBLK(status.st_mode)) return nullptr;
    return std::make_unique<LinuxVolume>(view_, volume.node, std::move(fd), numberOf(status.st_rdev), laidOut_);
  }

 private:
  sys::SystemView view_;
  // The disks laid out through this backend, shared with its devices and volumes.
  LaidOut laidOut_ = std::make_shared<sys::LaidOutDisks>();
};

}  // namespace

std::shared_ptr<Backend> makeLinuxBackend(sys::SystemView view) {
  return std::make_shared<LinuxBackend>(std::move(view));
}

}  // namespace platform::block
