#include "platform/block_io.h"

#include <mutex>

#include "block_io_linux.h"

namespace platform::block {
namespace {

std::mutex backendMutex;
std::shared_ptr<Backend> installedBackend;

}  // namespace

void installBackend(std::shared_ptr<Backend> backend) {
  std::lock_guard lock(backendMutex);
  installedBackend = std::move(backend);
}

std::shared_ptr<Backend> currentBackend() {
  std::lock_guard lock(backendMutex);
  if (!installedBackend) installedBackend = makeLinuxBackend();
  return installedBackend;
}

OpenResult openBlockDevice(std::string_view path) { return currentBackend()->open(path); }

std::string rereadPartitions(std::string_view diskPath) { return currentBackend()->rereadPartitions(diskPath); }

std::optional<Volume> findVolume(std::string_view diskPath) { return currentBackend()->findVolume(diskPath); }

std::unique_ptr<VolumeHandle> openVolume(const Volume& volume) { return currentBackend()->openVolume(volume); }

}  // namespace platform::block
