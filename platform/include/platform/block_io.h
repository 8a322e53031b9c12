#pragma once
// Block I/O: whole-sector reads and writes on a disk, a loop device, an image
// file or an emulated drive's user-data store, and the volumes the system
// makes of a disk's partitions.
//
// The real backend uses pread/pwrite and the block ioctls. It refuses to open
// the disk that holds the running system, and a disk with a mounted file
// system that this program did not lay out (through writeLayout, on the disk
// as it is plugged in now), and says so. The emulated backend
// (drivesim) installs itself and serves the paths of its drives.

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace platform::block {

struct Geometry {
  std::uint64_t sectorCount = 0;
  std::uint32_t sectorSize = 0;
  std::uint32_t heads = 255;
  std::uint32_t sectorsPerTrack = 63;
};

class BlockDevice {
 public:
  virtual ~BlockDevice() = default;
  virtual Geometry geometry() const = 0;
  // Whole sectors; the span's size is a multiple of the sector size.
  virtual bool read(std::uint64_t lba, std::span<std::uint8_t> sectors) = 0;
  // Whole sectors; false on any short write.
  virtual bool write(std::uint64_t lba, std::span<const std::uint8_t> sectors) = 0;
  // Writes a partition table this program made (whole sectors from LBA 0)
  // and marks the disk as laid out by it for as long as it stays plugged in:
  // a file system mounted from it later is the program's own. A plain write
  // of LBA 0 marks nothing.
  virtual bool writeLayout(std::span<const std::uint8_t> sectors) { return write(0, sectors); }
  virtual bool flush() = 0;
  virtual std::uint64_t bytesWritten() const = 0;  // for the benchmark
};

struct OpenResult {
  std::unique_ptr<BlockDevice> device;
  std::string error;
};

// Opens a whole-disk node, a loop device, an image file, or (with an
// emulated backend installed) an emulated drive's path.
OpenResult openBlockDevice(std::string_view path);

// A volume, what a drive letter names on the system the programs came from:
// the node of a disk's partition and where it is mounted.
struct Volume {
  std::string node;
  std::string mountPoint;  // empty when it is not mounted

  friend bool operator==(const Volume&, const Volume&) = default;
};

// An open volume.
class VolumeHandle {
 public:
  virtual ~VolumeHandle() = default;
  // Takes the volume for this handle alone; false while the system or another
  // user holds it.
  virtual bool lock() = 0;
  // Has the system drop what it holds of the volume, unmounting it where it
  // is mounted.
  virtual bool dismount() = 0;
};

class Backend {
 public:
  virtual ~Backend() = default;
  virtual OpenResult open(std::string_view path) = 0;
  // Has the system read the disk's partition table again; empty when done,
  // else why not.
  virtual std::string rereadPartitions(std::string_view diskPath) = 0;
  // The volume of the disk's first partition as the system knows it now;
  // none while it knows no partition there, and never on the disk that holds
  // the running system.
  virtual std::optional<Volume> findVolume(std::string_view diskPath) = 0;
  // Read and write where the medium allows writing, else read only; nullptr
  // when the volume cannot be opened.
  virtual std::unique_ptr<VolumeHandle> openVolume(const Volume& volume) = 0;
};

// The backend in force. Without an installed one it is the real Linux backend.
void installBackend(std::shared_ptr<Backend> backend);
std::shared_ptr<Backend> currentBackend();

// Through the backend in force.
std::string rereadPartitions(std::string_view diskPath);
std::optional<Volume> findVolume(std::string_view diskPath);
std::unique_ptr<VolumeHandle> openVolume(const Volume& volume);

}  // namespace platform::block
