#include "drivesim/line.h"

#include <algorithm>
#include <cerrno>
#include <mutex>
#include <utility>

#include "block_backend.h"
#include "platform/block_io.h"
#include "platform/devices.h"
#include "usb_model.h"

namespace drivesim {
namespace {

// An open device path; it keeps its drive alive, and dies with the drive's
// plug-in it was opened on.
class DriveHandle final : public platform::storage::Device {
 public:
  DriveHandle(std::shared_ptr<Drive> drive, std::uint64_t generation)
      : drive_(std::move(drive)), generation_(generation) {}

  platform::storage::ScsiOutcome scsi(const platform::storage::ScsiCommand& command) override {
    return drive_->hostScsi(command, generation_);
  }
  platform::storage::AtaOutcome ata(const platform::storage::AtaCommand& command) override {
    return drive_->hostAta(command, generation_);
  }
  platform::storage::DeviceTraits traits() const override { return drive_->traits(); }

 private:
  std::shared_ptr<Drive> drive_;
  std::uint64_t generation_;
};

}  // namespace

Line::Line() : tree_(std::make_shared<EmulatedDeviceTree>()) {}

Line::~Line() = default;

Drive& Line::addDrive(DriveConfig config) {
  auto drive = std::make_shared<Drive>(std::move(config));
  std::unique_lock lock(mutex_);
  auto [slot, added] = byPath_.try_emplace(drive->config().path, drive);
  if (added) {
    drives_.push_back(drive);
  } else {
    std::shared_ptr<Drive> old = std::exchange(slot->second, drive);
    old->unplug();
    std::replace(drives_.begin(), drives_.end(), old, drive);
    replaced_.push_back(std::move(old));
  }
  describeLocked(drive.get());
  return *drive;
}

std::string Line::setTopology(UsbTopology topology) {
  std::unique_lock lock(mutex_);
  const auto driveAt = [this](std::string_view path) { return configAtLocked(path); };
  if (const TopologyProblem problem = topology.check(driveAt)) return problem.what;
  topology_ = std::move(topology);
  describeLocked(nullptr);
  return {};
}

UsbTopology Line::topology() {
  std::shared_lock lock(mutex_);
  return topologyLocked();
}

UsbTopology Line::topologyLocked() const {
  if (topology_) return *topology_;
  std::vector<std::string> usbDrives;
  for (const auto& drive : drives_) {
    if (drive->config().frontEnd != FrontEnd::SataPort) usbDrives.push_back(drive->config().path);
  }
  return UsbTopology::oneRootHub(usbDrives);
}

const DriveConfig* Line::configAtLocked(std::string_view path) const {
  const auto found = byPath_.find(path);
  return found == byPath_.end() ? nullptr : &found->second->config();
}

void Line::describeLocked(const Drive* arrived) {
  const auto driveAt = [this](std::string_view path) { return configAtLocked(path); };
  tree_->describe(detail::resolve(topologyLocked(), driveAt), drives_, arrived);
}

Drive* Line::drive(std::string_view path) {
  std::shared_lock lock(mutex_);
  const auto found = byPath_.find(path);
  return found == byPath_.end() ? nullptr : found->second.get();
}

std::vector<Drive*> Line::drives() {
  std::shared_lock lock(mutex_);
  std::vector<Drive*> all;
  for (const auto& drive : drives_) all.push_back(drive.get());
  return all;
}

platform::storage::OpenOutcome Line::open(std::string_view path, platform::storage::Sharing) {
  std::shared_ptr<Drive> drive;
  {
    std::shared_lock lock(mutex_);
    const auto found = byPath_.find(path);
    if (found == byPath_.end()) return {nullptr, ENOENT};
    drive = found->second;
  }
  const auto opened = drive->hostOpen();
  if (!opened.opened) return {nullptr, opened.osError};
  return {std::make_unique<DriveHandle>(std::move(drive), opened.generation), 0};
}

void installLine(const std::shared_ptr<Line>& line) {
  platform::storage::installBackend(line);
  platform::devices::installDeviceTree(line ? line->deviceTree() : nullptr);
  platform::block::installBackend(line ? detail::makeBlockBackend(line) : nullptr);
}

}  // namespace drivesim
