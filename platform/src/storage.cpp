#include "platform/storage.h"

#include "platform/installed.h"
#include "platform/sg_io.h"

namespace platform::storage {
namespace {

Installed<Backend>& backendInForce() {
  static Installed<Backend> backend([]() -> std::shared_ptr<Backend> { return sgio::makeBackend(); });
  return backend;
}

}  // namespace

void installBackend(std::shared_ptr<Backend> backend) { backendInForce().install(std::move(backend)); }

std::shared_ptr<Backend> currentBackend() { return backendInForce().current(); }

OpenOutcome open(std::string_view path, Sharing sharing) {
  return currentBackend()->open(path, sharing);
}

}  // namespace platform::storage
