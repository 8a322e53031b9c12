#include "block_backend.h"

#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace drivesim::detail {
namespace {

using platform::block::BlockDevice;
using platform::block::Geometry;
using platform::block::OpenResult;
using platform::block::Volume;
using platform::block::VolumeHandle;

constexpr std::size_t kSector = 512;
constexpr std::size_t kTableAt = 446;
constexpr std::size_t kEntryBytes = 16;

std::string volumeNode(const std::string& diskPath) { return diskPath + "-part1"; }

// Whether sector 0 holds a partition table with at least one partition.
bool holdsPartition(const std::vector<std::uint8_t>& sector) {
  if (sector.size() < kSector || sector[510] != 0x55 || sector[511] != 0xaa) return false;
  for (std::size_t e = 0; e < 4; ++e) {
    const std::size_t at = kTableAt + e * kEntryBytes;
    const std::uint32_t length = std::uint32_t{sector[at + 12]} | std::uint32_t{sector[at + 13]} << 8 |
                                 std::uint32_t{sector[at + 14]} << 16 | std::uint32_t{sector[at + 15]} << 24;
    if (sector[at + 4] != 0 && length != 0) return true;
  }
  return false;
}

// What the system knows of each drive's partitions: read when it first deals
// with the drive (standing in for the plug-in) and on every re-read, with the
// volume showing up only after the drive's configured number of queries.
class VolumeBook {
 public:
  void see(Drive& drive) {
    std::lock_guard lock(mutex_);
    stateOf(drive);
  }

  std::optional<Volume> find(Drive& drive) {
    std::lock_guard lock(mutex_);
    State& state = stateOf(drive);
    if (drive.config().volumeNeverAppears || !state.partition) return std::nullopt;
    if (state.pollsLeft > 0) {
      --state.pollsLeft;
      return std::nullopt;
    }
    return Volume{volumeNode(drive.config().path), ""};
  }

  void reread(Drive& drive) {
    std::lock_guard lock(mutex_);
    states_.erase(&drive);
    stateOf(drive);
  }

  bool known(Drive& drive) {
    std::lock_guard lock(mutex_);
    const State& state = stateOf(drive);
    return state.partition && state.pollsLeft == 0 && !drive.config().volumeNeverAppears;
  }

  bool lock(Drive& drive) {
    std::lock_guard lock(mutex_);
    State& state = stateOf(drive);
    if (drive.config().volumeLockFails || state.locked) return false;
    state.locked = true;
    return true;
  }

  void unlock(Drive& drive) {
    std::lock_guard lock(mutex_);
    stateOf(drive).locked = false;
  }

 private:
  struct State {
    bool partition = false;
    std::uint32_t pollsLeft = 0;
    bool locked = false;
  };

  State& stateOf(Drive& drive) {
    auto [found, added] = states_.try_emplace(&drive);
    if (added) {
      found->second.partition = holdsPartition(drive.userSectors(0, 1));
      found->second.pollsLeft = drive.config().volumeAppearsAfter;
    }
    return found->second;
  }

  std::mutex mutex_;
  std::map<const Drive*, State> states_;
};

class EmulatedBlockDevice final : public BlockDevice {
 public:
  EmulatedBlockDevice(std::shared_ptr<Line> line, Drive& drive, std::uint64_t generation, std::uint64_t sectors)
      : line_(std::move(line)), drive_(drive), generation_(generation) {
    geometry_.sectorCount = sectors;
    geometry_.sectorSize = kSector;
  }

  Geometry geometry() const override { return geometry_; }
  bool read(std::uint64_t lba, std::span<std::uint8_t> sectors) override {
    return drive_.hostBlockRead(lba, sectors, generation_);
  }
  bool write(std::uint64_t lba, std::span<const std::uint8_t> sectors) override {
    if (!drive_.hostBlockWrite(lba, sectors, generation_)) return false;
    written_ += sectors.size();
    return true;
  }
  // The store keeps nothing back; an empty read tells whether the drive is still there.
  bool flush() override { return drive_.hostBlockRead(0, {}, generation_); }
  std::uint64_t bytesWritten() const override { return written_; }

 private:
  std::shared_ptr<Line> line_;  // keeps the drive alive
  Drive& drive_;
  std::uint64_t generation_;
  Geometry geometry_;
  std::uint64_t written_ = 0;
};

class EmulatedVolume final : public VolumeHandle {
 public:
  EmulatedVolume(std::shared_ptr<Line> line, std::shared_ptr<VolumeBook> book, Drive& drive)
      : line_(std::move(line)), book_(std::move(book)), drive_(drive) {}
  ~EmulatedVolume() override {
    if (locked_) book_->unlock(drive_);
  }

  bool lock() override {
    if (locked_) return true;
    locked_ = drive_.plugged() && book_->lock(drive_);
    return locked_;
  }
  bool dismount() override { return drive_.plugged(); }

 private:
  std::shared_ptr<Line> line_;
  std::shared_ptr<VolumeBook> book_;
  Drive& drive_;
  bool locked_ = false;
};

class EmulatedBlocks final : public platform::block::Backend {
 public:
  explicit EmulatedBlocks(std::shared_ptr<Line> line) : line_(std::move(line)) {}

  OpenResult open(std::string_view path) override {
    Drive* drive = line_->drive(path);
    if (drive == nullptr) return {nullptr, "no emulated drive at " + std::string(path)};
    if (drive->config().systemDisk) {
      return {nullptr, std::string(path) + " is on the disk that holds the running system; it is not written"};
    }
    book_->see(*drive);
    const Drive::BlockOpen opened = drive->hostBlockOpen();
    if (!opened.opened) return {nullptr, opened.error};
    return {std::make_unique<EmulatedBlockDevice>(line_, *drive, opened.generation, opened.sectors), {}};
  }

  std::string rereadPartitions(std::string_view diskPath) override {
    Drive* drive = line_->drive(diskPath);
    if (drive == nullptr) return "no emulated drive at " + std::string(diskPath);
    if (!drive->plugged()) return std::string(diskPath) + ": the drive is not plugged in";
    book_->see(*drive);
    if (drive->config().rescanBusy) {
      return std::string(diskPath) + ": a partition is in use; the system keeps the old table";
    }
    book_->reread(*drive);
    return {};
  }

  std::optional<Volume> findVolume(std::string_view diskPath) override {
    Drive* drive = line_->drive(diskPath);
    if (drive == nullptr || !drive->plugged() || drive->config().systemDisk) return std::nullopt;
    return book_->find(*drive);
  }

  std::unique_ptr<VolumeHandle> openVolume(const Volume& volume) override {
    for (Drive* drive : line_->drives()) {
      if (volumeNode(drive->config().path) != volume.node) continue;
      if (!drive->plugged() || drive->config().systemDisk || !book_->known(*drive)) return nullptr;
      return std::make_unique<EmulatedVolume>(line_, book_, *drive);
    }
    return nullptr;
  }

 private:
  std::shared_ptr<Line> line_;
  std::shared_ptr<VolumeBook> book_ = std::make_shared<VolumeBook>();
};

}  // namespace

std::shared_ptr<platform::block::Backend> makeBlockBackend(std::shared_ptr<Line> line) {
  return std::make_shared<EmulatedBlocks>(std::move(line));
}

}  // namespace drivesim::detail
