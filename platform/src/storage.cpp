#include "platform/storage.h"

#include <mutex>

#include "platform/sg_io.h"

namespace platform::storage {
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
  if (!installedBackend) installedBackend = sgio::makeBackend();
  return installedBackend;
}

OpenOutcome open(std::string_view path, Sharing sharing) {
  return currentBackend()->open(path, sharing);
}

}  // namespace platform::storage
