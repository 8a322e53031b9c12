#include "station/hotplug.h"

#include <utility>

namespace fleetburn {

HotplugRescan::HotplugRescan(PortScanner& scanner, Post applyOn, std::function<bool()> runInProgress,
                             std::string line)
    : scanner_(scanner),
      applyOn_(std::move(applyOn)),
      runInProgress_(std::move(runInProgress)),
      line_(std::move(line)),
      self_(std::make_shared<HotplugRescan*>(this)) {}

HotplugRescan::~HotplugRescan() {
  subscription_.reset();  // no notice after this
  timer_.cancel();
  self_.reset();
}

bool HotplugRescan::RegisterUsbNotification(platform::devices::DeviceTree* tree) {
  const std::shared_ptr<platform::devices::DeviceTree> current = platform::devices::currentDeviceTree();
  platform::devices::DeviceTree* source = tree != nullptr ? tree : current.get();
  if (source == nullptr) return false;
  // Notices come on the backend's thread; they are handled on the apply thread.
  subscription_ = source->subscribe(
      [post = applyOn_, weak = std::weak_ptr<HotplugRescan*>(self_)](const platform::devices::DeviceEvent& event) {
        post([weak, kind = event.kind] {
          if (const auto self = weak.lock()) (*self)->WMDeviceChange(kind);
        });
      });
  return subscription_ != nullptr;
}

void HotplugRescan::WMDeviceChange(platform::devices::EventKind kind) {
  if (runInProgress_ && runInProgress_()) return;
  scanner_.DisableStart();
  const std::uint64_t delay =
      kind == platform::devices::EventKind::Arrival ? kArrivalDebounceMs : kRemovalDebounceMs;
  const std::uint64_t generation = ++generation_;
  armed_ = true;
  timer_ = platform::clock::startTimer(
      line_, delay, [post = applyOn_, weak = std::weak_ptr<HotplugRescan*>(self_), generation] {
        post([weak, generation] {
          if (const auto self = weak.lock()) (*self)->expired(generation);
        });
      });
}

void HotplugRescan::expired(std::uint64_t generation) {
  if (generation != generation_ || !armed_) return;  // restarted since, or already taken
  armed_ = false;
  timer_.cancel();
  ++expiries_;
  scanner_.RefreshPortsAndFocusStart();
}

}  // namespace fleetburn
