// Arrival and removal notices from a udev monitor, on a thread of their own.

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <exception>
#include <set>
#include <thread>

#include "platform/debug.h"
#include "udev_backend.h"

namespace platform::devices::udev {
namespace {

// What the monitor thread owns; it outlives the subscription object when the
// subscription is dropped from inside a callback.
struct MonitorState {
  Context context;
  Monitor monitor;
  int wakeRead = -1;
  int wakeWrite = -1;
  std::function<void(const DeviceEvent&)> callback;
  std::set<std::string> usbDisks;  // the USB disks present, to tell their removals from other disks'
  std::atomic<bool> stopping{false};

  MonitorState() = default;
  MonitorState(const MonitorState&) = delete;
  MonitorState& operator=(const MonitorState&) = delete;
  ~MonitorState() {
    if (wakeRead >= 0) ::close(wakeRead);
    if (wakeWrite >= 0) ::close(wakeWrite);
  }
};

std::optional<DeviceEvent> eventOf(MonitorState& state, udev_device* device) {
  const std::string action = textOf(udev_device_get_action(device));
  if (action != "add" && action != "remove") return std::nullopt;
  const bool arrival = action == "add";
  DeviceEvent event;
  event.kind = arrival ? EventKind::Arrival : EventKind::Removal;
  event.deviceId = textOf(udev_device_get_sysname(device));

  if (isA(device, "usb", "usb_device")) return event;
  if (!isA(device, "block", "disk")) return std::nullopt;
  event.isDisk = true;
  if (arrival) {
    if (!describeUsbDisk(state.context.get(), device)) return std::nullopt;
    state.usbDisks.insert(event.deviceId);
    return event;
  }
  // A removed disk has left sysfs; whether it was on USB is what was seen of it.
  if (state.usbDisks.erase(event.deviceId) == 0) return std::nullopt;
  return event;
}

void deliver(MonitorState& state, const DeviceEvent& event) {
  try {
    state.callback(event);
  } catch (const std::exception& error) {
    debug::output(std::string("device notice handler failed: ") + error.what(), debug::Level::Error);
  } catch (...) {
    debug::output("device notice handler failed", debug::Level::Error);
  }
}

void watch(const std::shared_ptr<MonitorState>& state) {
  pollfd watched[2] = {{.fd = udev_monitor_get_fd(state->monitor.get()), .events = POLLIN, .revents = 0},
                       {.fd = state->wakeRead, .events = POLLIN, .revents = 0}};
  while (!state->stopping.load()) {
    if (::poll(watched, 2, -1) < 0) {
      if (errno == EINTR) continue;
      debug::output(std::string("device monitor stopped: ") + std::strerror(errno), debug::Level::Error);
      return;
    }
    if (watched[1].revents != 0) return;
    if ((watched[0].revents & POLLIN) != 0) {
      const Device device(udev_monitor_receive_device(state->monitor.get()));
      if (!device) continue;
      const std::optional<DeviceEvent> event = eventOf(*state, device.get());
      if (event && !state->stopping.load()) deliver(*state, *event);
    } else if ((watched[0].revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
      debug::output("device monitor stopped: its socket failed", debug::Level::Error);
      return;
    }
  }
}

class UdevSubscription final : public Subscription {
 public:
  explicit UdevSubscription(std::shared_ptr<MonitorState> state)
      : state_(std::move(state)), thread_([state = state_] { watch(state); }) {}

  ~UdevSubscription() override {
    state_->stopping.store(true);
    const char wake = 1;
    while (::write(state_->wakeWrite, &wake, 1) < 0 && errno == EINTR) {
    }
    // Dropped from inside a callback: the thread ends by itself once the
    // callback returns, and keeps the state alive until then.
    if (thread_.get_id() == std::this_thread::get_id()) {
      thread_.detach();
    } else {
      thread_.join();
    }
  }

  UdevSubscription(const UdevSubscription&) = delete;
  UdevSubscription& operator=(const UdevSubscription&) = delete;

 private:
  std::shared_ptr<MonitorState> state_;
  std::thread thread_;
};

}  // namespace

std::unique_ptr<Subscription> subscribeToDevices(std::function<void(const DeviceEvent&)> callback) {
  if (!callback) return nullptr;
  auto state = std::make_shared<MonitorState>();
  state->callback = std::move(callback);
  state->context = newContext();
  if (!state->context) return nullptr;
  // Events after udev's rules have run: the nodes exist then.
  state->monitor = Monitor(udev_monitor_new_from_netlink(state->context.get(), "udev"));
  if (!state->monitor) return nullptr;
  if (udev_monitor_filter_add_match_subsystem_devtype(state->monitor.get(), "usb", "usb_device") < 0 ||
      udev_monitor_filter_add_match_subsystem_devtype(state->monitor.get(), "block", "disk") < 0 ||
      udev_monitor_enable_receiving(state->monitor.get()) < 0) {
    return nullptr;
  }
  int wake[2];
  if (::pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) return nullptr;
  state->wakeRead = wake[0];
  state->wakeWrite = wake[1];
  // Listed after the monitor is on, so that no disk falls between the two.
  for (const UsbDisk& disk : listUsbDisks()) state->usbDisks.insert(disk.diskId);
  return std::make_unique<UdevSubscription>(std::move(state));
}

}  // namespace platform::devices::udev
