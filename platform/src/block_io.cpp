#include "platform/block_io.h"

#include "block_io_linux.h"
#include "platform/installed.h"

namespace platform::block {
namespace {

Installed<Backend>& backendInForce() {
  static Installed<Backend> backend([]() -> std::shared_ptr<Backend> { return makeLinuxBackend(); });
  return backend;
}

}  // namespace

void installBackend(std::shared_ptr<Backend> backend) { backendInForce().install(std::move(backend)); }

std::shared_ptr<Backend> currentBackend() { return backendInForce().current(); }

OpenResult openBlockDevice(std::string_view path) { return currentBackend()->open(path); }

std::string rereadPartitions(std::string_view diskPath) { return currentBackend()->rereadPartitions(diskPath); }

std::optional<Volume> findVolume(std::string_view diskPath) { return currentBackend()->findVolume(diskPath); }

std::unique_ptr<VolumeHandle> openVolume(const Volume& volume) { return currentBackend()->openVolume(volume); }

}  // namespace platform::block
