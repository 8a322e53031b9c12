#pragma once
// Hot-plug: the device tree's arrival and removal notices (udev's monitor,
// or the emulated line's plug and unplug) restart the rescan timer (51):
// 1500 ms after an arrival, 200 ms after a removal, each notice restarting
// it. Its expiry rescans. While a run is in progress notices are ignored.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/clock.h"
#include "platform/devices.h"
#include "station/port_scan.h"

namespace fleetburn {

inline constexpr int kRescanTimerId = 51;
inline constexpr std::uint64_t kArrivalDebounceMs = 1500;
inline constexpr std::uint64_t kRemovalDebounceMs = 200;

class HotplugRescan {
 public:
  // Every call and every rescan runs on the thread `applyOn` hands tasks to.
  HotplugRescan(PortScanner& scanner, Post applyOn, std::function<bool()> runInProgress,
                std::string line = kStationTimeLine);
  ~HotplugRescan();
  HotplugRescan(const HotplugRescan&) = delete;
  HotplugRescan& operator=(const HotplugRescan&) = delete;

  // Listens to the tree's notices (the tree in force without one); false
  // when it offers none. Notices of USB devices and of their disks both count.
  bool RegisterUsbNotification(platform::devices::DeviceTree* tree = nullptr);

  // A notice: START disabled, timer 51 (re)started. Ignored during a run.
  void WMDeviceChange(platform::devices::EventKind kind);
  bool armed() const { return armed_; }
  // Rescans the timer has started since construction.
  int expiries() const { return expiries_; }

 private:
  void expired(std::uint64_t generation);

  PortScanner& scanner_;
  Post applyOn_;
  std::function<bool()> runInProgress_;
  const std::string line_;
  // Tasks posted by the timer and the notices hold it weakly: a task that
  // runs after this object is gone does nothing.
  std::shared_ptr<HotplugRescan*> self_;
  platform::clock::Timer timer_;
  std::uint64_t generation_ = 0;  // of the timer started last; an older expiry is stale
  bool armed_ = false;
  int expiries_ = 0;
  std::unique_ptr<platform::devices::Subscription> subscription_;
};

}  // namespace fleetburn
