#include "devlib/flash_params.h"

#include <mutex>
#include <utility>

namespace devlib {
namespace {

std::mutex& publishMutex() {
  static std::mutex mutex;
  return mutex;
}

std::shared_ptr<const FlashParams>& published() {
  static std::shared_ptr<const FlashParams> params = std::make_shared<const FlashParams>();
  return params;
}

}  // namespace

std::shared_ptr<const FlashParams> CurrentFlashParams() {
  std::lock_guard lock(publishMutex());
  return published();
}

void PublishFlashParams(FlashParams params) {
  auto next = std::make_shared<const FlashParams>(std::move(params));
  std::lock_guard lock(publishMutex());
  published() = std::move(next);
}

}  // namespace devlib
