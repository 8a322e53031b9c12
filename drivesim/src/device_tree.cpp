#include "drivesim/device_tree.h"

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <utility>

#include "drivesim/drive.h"
#include "usb_model.h"

namespace drivesim {

namespace pd = platform::devices;

namespace detail {
namespace {

constexpr std::uint32_t kDiskDeviceType = 7;  // the system's type number of a disk

// A drive plugged in or out, or one that reset and reports another USB identity.
struct PlugChange {
  const Drive* drive = nullptr;
  bool plugged = false;
  bool identityChange = false;
  std::optional<UsbIdentity> identity{};
};

struct Subscriber {
  explicit Subscriber(std::function<void(const pd::DeviceEvent&)> f, std::uint64_t first)
      : callback(std::move(f)), firstEvent(first) {}
  std::function<void(const pd::DeviceEvent&)> callback;
  const std::uint64_t firstEvent;  // events numbered below it happened before it subscribed
  std::recursive_mutex delivering;  // held around each callback; a callback may end its own subscription
  bool active = true;               // under `delivering`
};

}  // namespace

// Between the tree, the drives' plug watchers, the delivering thread and the
// subscriptions: plug changes waiting to be applied, raised events waiting to
// be delivered, and the subscribers. Whoever holds it may outlive the tree.
class EventHub {
 public:
  void plugChanged(const Drive* drive, bool plugged) {
    std::lock_guard lock(mutex_);
    changes_.push_back({drive, plugged, false, std::nullopt});
    wake_.notify_all();
  }

  void identityChanged(const Drive* drive, const std::optional<UsbIdentity>& identity) {
    std::lock_guard lock(mutex_);
    changes_.push_back({drive, false, true, identity});
    wake_.notify_all();
  }

  std::vector<PlugChange> takePlugChanges() {
    std::lock_guard lock(mutex_);
    return std::exchange(changes_, {});
  }

  void raise(const std::vector<pd::DeviceEvent>& events) {
    std::lock_guard lock(mutex_);
    for (const pd::DeviceEvent& event : events) {
      const std::uint64_t number = nextEvent_++;
      if (!subscribers_.empty()) events_.push_back({number, event});
    }
    wake_.notify_all();
  }

  std::shared_ptr<Subscriber> add(std::function<void(const pd::DeviceEvent&)> callback) {
    std::lock_guard lock(mutex_);
    auto subscriber = std::make_shared<Subscriber>(std::move(callback), nextEvent_);
    subscribers_.push_back(subscriber);
    return subscriber;
  }

  void remove(const std::shared_ptr<Subscriber>& subscriber) {
    {
      std::lock_guard guard(subscriber->delivering);
      subscriber->active = false;
    }
    std::lock_guard lock(mutex_);
    std::erase(subscribers_, subscriber);
  }

  void stop() {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    wake_.notify_all();
  }

  // From the first subscription on, a thread of the tree's own applies and delivers.
  void dispatching() {
    std::lock_guard lock(mutex_);
    dispatching_ = true;
  }

  void waitIdle() {
    std::unique_lock lock(mutex_);
    idle_.wait(lock, [this] {
      return stopping_ || (events_.empty() && !delivering_ && (changes_.empty() || !dispatching_));
    });
  }

  // The delivering thread: applies plug changes through the tree while it
  // lives, and hands each event to the subscribers that were there before it.
  static void run(const std::shared_ptr<EventHub>& hub, const std::weak_ptr<TreeState>& tree);

 private:
  struct Queued {
    std::uint64_t number = 0;
    pd::DeviceEvent event;
  };

  std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable idle_;
  std::vector<PlugChange> changes_;
  std::deque<Queued> events_;
  std::vector<std::shared_ptr<Subscriber>> subscribers_;
  std::uint64_t nextEvent_ = 0;
  bool dispatching_ = false;
  bool delivering_ = false;
  bool stopping_ = false;
};

// What is present, per hub and per device of the model.
struct Presence {
  std::vector<bool> hubs;
  std::vector<bool> devices;
};

// One node of the tree in the order the system enumerates it.
struct Entry {
  enum Kind { Hub, Device, Disk } kind;
  int index;
};

class TreeState : public std::enable_shared_from_this<TreeState> {
 public:
  TreeState() : hub_(std::make_shared<EventHub>()) {}

  ~TreeState() {
    hub_->stop();
    if (!dispatcher_.joinable()) return;
    // The last owner may let go on the delivering thread itself, from a callback.
    if (dispatcher_.get_id() == std::this_thread::get_id()) {
      dispatcher_.detach();
    } else {
      dispatcher_.join();
    }
  }

  const std::shared_ptr<EventHub>& hub() const { return hub_; }

  void applyPlugChanges() {
    std::lock_guard lock(mutex_);
    applyLocked();
  }

  void describe(UsbModel model, std::vector<std::shared_ptr<Drive>> drives, const Drive* arrived) {
    std::vector<std::shared_ptr<Drive>> unwatched;
    {
      std::lock_guard lock(mutex_);
      for (const auto& drive : drives) {
        if (!watched_.contains(drive.get())) unwatched.push_back(drive);
      }
    }
    // The watcher runs under the drive's lock: it only posts the change.
    for (const auto& drive : unwatched) {
      drive->watchPlug([hub = hub_, raw = drive.get()](bool plugged) { hub->plugChanged(raw, plugged); });
      drive->watchUsbIdentity([hub = hub_, raw = drive.get()](const std::optional<UsbIdentity>& identity) {
        hub->identityChanged(raw, identity);
      });
    }
    std::lock_guard lock(mutex_);
    for (const auto& drive : unwatched) watched_.insert(drive.get());
    applyLocked();  // against the drives as they were, so that a replaced drive's removal is told
    described_ = std::move(model);
    drives_ = std::move(drives);
    driveByPath_.clear();
    for (const auto& drive : drives_) driveByPath_[drive->config().path] = drive;
    modelFromDescription();
    if (!arrived) return;
    const Presence present = presence();
    std::vector<pd::DeviceEvent> events;
    for (std::size_t i = 0; i < model_.devices.size(); ++i) {
      const ModelDevice& device = model_.devices[i];
      if (device.drivePath != arrived->config().path || !present.devices[i]) continue;
      events.push_back({pd::EventKind::Arrival, device.usb.instanceId, false});
      events.push_back({pd::EventKind::Arrival, device.diskId, true});
    }
    hub_->raise(events);
  }

  std::unique_ptr<pd::Subscription> subscribe(std::function<void(const pd::DeviceEvent&)> callback);

  std::vector<pd::UsbDisk> listUsbDisks() {
    std::lock_guard lock(mutex_);
    applyLocked();
    const Presence present = presence();
    std::vector<pd::UsbDisk> disks;
    for (const Entry& entry : enumerationOrder()) {
      if (entry.kind != Entry::Disk || !present.devices[static_cast<std::size_t>(entry.index)]) continue;
      const ModelDevice& device = model_.devices[static_cast<std::size_t>(entry.index)];
      disks.push_back({.devicePath = device.drivePath,
                       .diskId = device.diskId,
                       .parentUsbDeviceId = device.diskWithoutParent ? "" : device.usb.instanceId,
                       .diskNode = device.diskNode,
                       .parentNode = device.diskWithoutParent ? 0 : device.usb.node});
    }
    return disks;
  }

  std::optional<pd::DeviceNumber> deviceNumber(const std::string& path) {
    std::lock_guard lock(mutex_);
    applyLocked();
    const auto found = std::find_if(drives_.begin(), drives_.end(),
                                    [&path](const auto& drive) { return drive->config().path == path; });
    if (found == drives_.end() || !reachableLocked(**found, presence())) return std::nullopt;
    return pd::DeviceNumber{.deviceType = kDiskDeviceType,
                            .number = static_cast<std::uint32_t>(found - drives_.begin() + 1),
                            .partition = 0};
  }

  std::vector<pd::DeviceTree::DiskInterface> listDiskInterfaces() {
    std::lock_guard lock(mutex_);
    applyLocked();
    const Presence present = presence();
    std::vector<pd::DeviceTree::DiskInterface> disks;
    for (const auto& drive : drives_) {
      if (!reachableLocked(*drive, present)) continue;
      const DriveConfig& config = drive->config();
      disks.push_back({.openPath = config.path,
                       .busKind = busOf(config),
                       .volumeTag = config.volumeTag});
    }
    return disks;
  }

  std::vector<pd::HubInterface> listHubInterfaces() {
    std::lock_guard lock(mutex_);
    applyLocked();
    const Presence present = presence();
    std::vector<pd::HubInterface> interfaces;
    for (const ModelHub& hub : model_.hubs) {
      if (hub.parent < 0) interfaces.push_back({hub.path, hub.rootHub});
    }
    for (const Entry& entry : enumerationOrder()) {
      const auto i = static_cast<std::size_t>(entry.index);
      if (entry.kind == Entry::Hub && model_.hubs[i].parent >= 0 && present.hubs[i]) {
        interfaces.push_back({model_.hubs[i].path, false});
      }
    }
    return interfaces;
  }

  // The name of the present hub that opens under this path or name, if it may be opened.
  std::optional<std::string> hubToOpen(const std::string& pathOrName) {
    std::lock_guard lock(mutex_);
    applyLocked();
    const Presence present = presence();
    const std::string wanted = bareName(pathOrName);
    for (std::size_t i = 0; i < model_.hubs.size(); ++i) {
      const ModelHub& hub = model_.hubs[i];
      if (present.hubs[i] && !hub.openFails && bareName(hub.path) == wanted) return hub.name;
    }
    return std::nullopt;
  }

  std::optional<std::string> findDeviceIdByDriverKey(const std::string& key) {
    std::lock_guard lock(mutex_);
    applyLocked();
    const Presence present = presence();
    const std::string wanted = lowered(key);
    for (std::size_t i = 0; i < model_.hubs.size(); ++i) {
      if (present.hubs[i] && lowered(model_.hubs[i].usb.driverKey) == wanted) return model_.hubs[i].usb.instanceId;
    }
    for (std::size_t i = 0; i < model_.devices.size(); ++i) {
      if (present.devices[i] && lowered(model_.devices[i].usb.driverKey) == wanted) {
        return model_.devices[i].usb.instanceId;
      }
    }
    return std::nullopt;
  }

  // Calls `read` with the port of a present hub and, when the port holds a
  // present hub or device, its USB side; nothing when the hub is gone or has
  // no such port.
  template <typename Result, typename Read>
  std::optional<Result> onPort(const std::string& hubName, int port, Read read) {
    std::lock_guard lock(mutex_);
    applyLocked();
    const Presence present = presence();
    const int hubIndex = indexOfHub(hubName);
    if (hubIndex < 0 || !present.hubs[static_cast<std::size_t>(hubIndex)]) return std::nullopt;
    const ModelHub& hub = model_.hubs[static_cast<std::size_t>(hubIndex)];
    if (port < 1 || port > static_cast<int>(hub.ports.size())) return std::nullopt;
    const ModelPort& p = hub.ports[static_cast<std::size_t>(port - 1)];
    const ModelHub* childHub = nullptr;
    const UsbFunction* usb = nullptr;
    if (p.hub >= 0 && present.hubs[static_cast<std::size_t>(p.hub)]) {
      childHub = &model_.hubs[static_cast<std::size_t>(p.hub)];
      usb = &childHub->usb;
    } else if (p.device >= 0 && present.devices[static_cast<std::size_t>(p.device)]) {
      usb = &model_.devices[static_cast<std::size_t>(p.device)].usb;
    }
    return read(p, childHub, usb);
  }

  std::optional<int> portCount(const std::string& hubName) {
    std::lock_guard lock(mutex_);
    applyLocked();
    const int hubIndex = indexOfHub(hubName);
    if (hubIndex < 0 || !presence().hubs[static_cast<std::size_t>(hubIndex)]) return std::nullopt;
    const ModelHub& hub = model_.hubs[static_cast<std::size_t>(hubIndex)];
    if (hub.nodeInfoFails) return std::nullopt;
    return static_cast<int>(hub.ports.size());
  }

  bool setPortPlugged(const PortRef& at, bool plug);

 private:
  static std::string bareName(std::string_view pathOrName) {
    if (pathOrName.starts_with("\\\\?\\") || pathOrName.starts_with("\\\\.\\")) pathOrName.remove_prefix(4);
    return lowered(pathOrName);
  }

  int indexOfHub(const std::string& name) const {
    for (std::size_t i = 0; i < model_.hubs.size(); ++i) {
      if (model_.hubs[i].name == name) return static_cast<int>(i);
    }
    return -1;
  }

  bool pluggedLocked(const Drive* drive) const {
    const auto found = plugged_.find(drive);
    return found != plugged_.end() && found->second;
  }

  // Plugged in and, when it sits in the USB tree, present there.
  bool reachableLocked(const Drive& drive, const Presence& present) const {
    bool reachable = pluggedLocked(&drive);
    for (std::size_t i = 0; i < model_.devices.size(); ++i) {
      if (model_.devices[i].drivePath == drive.config().path) reachable = present.devices[i];
    }
    return reachable;
  }

  static pd::DeviceTree::BusKind busOf(const DriveConfig& config) {
    using Bus = pd::DeviceTree::BusKind;
    switch (config.hostBus) {
      case HostBus::Scsi: return Bus::Scsi;
      case HostBus::Sbp2: return Bus::Sbp2;
      case HostBus::ByFrontEnd: break;
    }
    return config.frontEnd == FrontEnd::SataPort ? Bus::Ide : Bus::Usb;
  }

  const Drive* driveOf(const ModelDevice& device) const {
    const auto found = driveByPath_.find(device.drivePath);
    return found == driveByPath_.end() ? nullptr : found->second.get();
  }

  static bool enumerates(const ModelPort& port) { return !port.status.has_value(); }

  Presence presence() const {
    Presence present{std::vector<bool>(model_.hubs.size()), std::vector<bool>(model_.devices.size())};
    for (std::size_t i = 0; i < model_.hubs.size(); ++i) {
      const ModelHub& hub = model_.hubs[i];
      if (hub.parent < 0) {
        present.hubs[i] = true;
        continue;
      }
      const ModelHub& parent = model_.hubs[static_cast<std::size_t>(hub.parent)];
      present.hubs[i] = present.hubs[static_cast<std::size_t>(hub.parent)] &&
                        enumerates(parent.ports[static_cast<std::size_t>(hub.parentPort - 1)]) &&
                        !hubsOut_.contains(hub.name);
    }
    for (std::size_t i = 0; i < model_.devices.size(); ++i) {
      const ModelDevice& device = model_.devices[i];
      const ModelHub& hub = model_.hubs[static_cast<std::size_t>(device.hub)];
      const bool attached = device.drivePath.empty()
                                ? !devicesOut_.contains({hub.name, device.port})
                                : pluggedLocked(driveOf(device)) && !resetting_.contains(driveOf(device));
      present.devices[i] = present.hubs[static_cast<std::size_t>(device.hub)] &&
                           enumerates(hub.ports[static_cast<std::size_t>(device.port - 1)]) && attached;
    }
    return present;
  }

  std::vector<Entry> enumerationOrder() const {
    std::vector<Entry> order;
    const auto visit = [&](const auto& self, int hubIndex) -> void {
      order.push_back({Entry::Hub, hubIndex});
      for (const ModelPort& port : model_.hubs[static_cast<std::size_t>(hubIndex)].ports) {
        if (port.hub >= 0) self(self, port.hub);
        if (port.device < 0) continue;
        order.push_back({Entry::Device, port.device});
        if (!model_.devices[static_cast<std::size_t>(port.device)].drivePath.empty()) {
          order.push_back({Entry::Disk, port.device});
        }
      }
    };
    for (std::size_t i = 0; i < model_.hubs.size(); ++i) {
      if (model_.hubs[i].parent < 0) visit(visit, static_cast<int>(i));
    }
    return order;
  }

  // The notices that take the tree from `before` to what is present now:
  // removals deepest first, then arrivals from the top.
  void raiseChanges(const Presence& before) {
    const Presence after = presence();
    const std::vector<Entry> order = enumerationOrder();
    const auto wasAndIs = [&](const Entry& e, const Presence& p) {
      const auto i = static_cast<std::size_t>(e.index);
      return e.kind == Entry::Hub ? p.hubs[i] : p.devices[i];
    };
    const auto eventOf = [this](const Entry& e, pd::EventKind kind) {
      const auto i = static_cast<std::size_t>(e.index);
      switch (e.kind) {
        case Entry::Hub: return pd::DeviceEvent{kind, model_.hubs[i].usb.instanceId, false};
        case Entry::Device: return pd::DeviceEvent{kind, model_.devices[i].usb.instanceId, false};
        case Entry::Disk: break;
      }
      return pd::DeviceEvent{kind, model_.devices[i].diskId, true};
    };
    std::vector<pd::DeviceEvent> events;
    for (auto e = order.rbegin(); e != order.rend(); ++e) {
      if (wasAndIs(*e, before) && !wasAndIs(*e, after)) events.push_back(eventOf(*e, pd::EventKind::Removal));
    }
    for (const Entry& e : order) {
      if (!wasAndIs(e, before) && wasAndIs(e, after)) events.push_back(eventOf(e, pd::EventKind::Arrival));
    }
    hub_->raise(events);
  }

  // The devices as described, with the identities their drives report now.
  void modelFromDescription() {
    model_ = described_;
    for (std::size_t i = 0; i < model_.devices.size(); ++i) {
      const Drive* drive = driveOf(model_.devices[i]);
      const auto reported = drive ? identities_.find(drive) : identities_.end();
      if (reported != identities_.end()) reportIdentity(model_, i, reported->second);
    }
  }

  // A drive that reset leaves the host and comes back as what it reports now.
  void applyIdentity(const PlugChange& change) {
    const bool first = identitySeen_.insert(change.drive).second;
    const auto known = identities_.find(change.drive);
    const std::optional<UsbIdentity> before =
        known == identities_.end() ? std::nullopt : std::optional<UsbIdentity>(known->second);
    if (before == change.identity) return;
    const Presence present = presence();
    if (!first) resetting_.insert(change.drive);
    raiseChanges(present);
    if (change.identity) {
      identities_[change.drive] = *change.identity;
    } else {
      identities_.erase(change.drive);
    }
    modelFromDescription();
    const Presence gone = presence();
    resetting_.erase(change.drive);
    raiseChanges(gone);
  }

  void applyLocked() {
    for (const PlugChange& change : hub_->takePlugChanges()) {
      if (change.identityChange) {
        applyIdentity(change);
        continue;
      }
      const auto [entry, first] = plugged_.try_emplace(change.drive, change.plugged);
      if (first) continue;  // what the drive was when the tree took it: nothing changed
      const Presence before = presence();
      entry->second = change.plugged;
      raiseChanges(before);
    }
  }

  // Drives on ports below the hub that are plugged in now.
  std::vector<std::shared_ptr<Drive>> pluggedDrivesBelow(int hubIndex) const {
    std::vector<std::shared_ptr<Drive>> below;
    for (const ModelDevice& device : model_.devices) {
      if (device.drivePath.empty()) continue;
      bool inside = false;
      for (int h = device.hub; h >= 0 && !inside; h = model_.hubs[static_cast<std::size_t>(h)].parent) {
        inside = h == hubIndex;
      }
      const auto drive = driveByPath_.find(device.drivePath);
      if (inside && drive != driveByPath_.end() && pluggedLocked(drive->second.get())) below.push_back(drive->second);
    }
    return below;
  }

  const std::shared_ptr<EventHub> hub_;
  std::mutex dispatcherMutex_;
  std::thread dispatcher_;

  std::mutex mutex_;  // everything below
  UsbModel described_;  // as the line described it
  UsbModel model_;      // what the host sees: the description with the identities reported
  std::vector<std::shared_ptr<Drive>> drives_;  // every drive of the line, in the order added
  std::map<std::string, std::shared_ptr<Drive>, std::less<>> driveByPath_;
  std::map<const Drive*, bool> plugged_;  // as the drives last told
  std::map<const Drive*, UsbIdentity> identities_;  // reported in place of the described one
  std::set<const Drive*> identitySeen_;
  std::set<const Drive*> resetting_;  // off the bus for a moment while they re-enumerate
  std::set<const Drive*> watched_;
  std::set<std::string> hubsOut_;                     // hubs pulled out of their ports, by name
  std::set<std::pair<std::string, int>> devicesOut_;  // other devices pulled out, by port
  std::map<std::string, std::vector<std::shared_ptr<Drive>>> pulledWithHub_;
};

void EventHub::run(const std::shared_ptr<EventHub>& hub, const std::weak_ptr<TreeState>& tree) {
  std::unique_lock lock(hub->mutex_);
  while (true) {
    hub->wake_.wait(lock, [&] { return hub->stopping_ || !hub->changes_.empty() || !hub->events_.empty(); });
    if (hub->stopping_) break;
    if (!hub->changes_.empty()) {
      lock.unlock();
      if (const auto state = tree.lock()) {
        state->applyPlugChanges();
      } else {
        hub->takePlugChanges();
      }
      lock.lock();
      hub->idle_.notify_all();
      continue;
    }
    const Queued queued = std::move(hub->events_.front());
    hub->events_.pop_front();
    std::vector<std::shared_ptr<Subscriber>> targets;
    for (const auto& subscriber : hub->subscribers_) {
      if (subscriber->firstEvent <= queued.number) targets.push_back(subscriber);
    }
    hub->delivering_ = true;
    lock.unlock();
    for (const auto& subscriber : targets) {
      std::lock_guard guard(subscriber->delivering);
      if (subscriber->active) subscriber->callback(queued.event);
    }
    lock.lock();
    hub->delivering_ = false;
    hub->idle_.notify_all();
  }
  hub->idle_.notify_all();
}

namespace {

class TreeSubscription final : public pd::Subscription {
 public:
  TreeSubscription(std::shared_ptr<EventHub> hub, std::shared_ptr<Subscriber> subscriber)
      : hub_(std::move(hub)), subscriber_(std::move(subscriber)) {}
  ~TreeSubscription() override { hub_->remove(subscriber_); }

 private:
  std::shared_ptr<EventHub> hub_;
  std::shared_ptr<Subscriber> subscriber_;
};

}  // namespace

std::unique_ptr<pd::Subscription> TreeState::subscribe(std::function<void(const pd::DeviceEvent&)> callback) {
  {
    std::lock_guard lock(dispatcherMutex_);
    if (!dispatcher_.joinable()) {
      hub_->dispatching();
      dispatcher_ = std::thread([hub = hub_, tree = weak_from_this()] { EventHub::run(hub, tree); });
    }
  }
  // Changes made before this point are told before the subscriber is there.
  std::lock_guard lock(mutex_);
  applyLocked();
  return std::make_unique<TreeSubscription>(hub_, hub_->add(std::move(callback)));
}

bool TreeState::setPortPlugged(const PortRef& at, bool plug) {
  std::vector<std::shared_ptr<Drive>> drives;
  {
    std::lock_guard lock(mutex_);
    applyLocked();
    const int hubIndex = indexOfHub(at.hub);
    if (hubIndex < 0) return false;
    const ModelHub& hub = model_.hubs[static_cast<std::size_t>(hubIndex)];
    if (at.port < 1 || at.port > static_cast<int>(hub.ports.size())) return false;
    const ModelPort& port = hub.ports[static_cast<std::size_t>(at.port - 1)];
    const Presence before = presence();
    if (port.hub >= 0) {
      const std::string& name = model_.hubs[static_cast<std::size_t>(port.hub)].name;
      if (hubsOut_.contains(name) != plug) return false;
      if (plug) {
        hubsOut_.erase(name);
        drives = std::move(pulledWithHub_[name]);
        pulledWithHub_.erase(name);
      } else {
        drives = pluggedDrivesBelow(port.hub);
        pulledWithHub_[name] = drives;
        hubsOut_.insert(name);
      }
    } else if (port.device >= 0) {
      const ModelDevice& device = model_.devices[static_cast<std::size_t>(port.device)];
      if (!device.drivePath.empty()) {
        const auto drive = driveByPath_.find(device.drivePath);
        if (drive == driveByPath_.end() || pluggedLocked(drive->second.get()) == plug) return false;
        drives.push_back(drive->second);
      } else {
        const std::pair<std::string, int> key{hub.name, at.port};
        if (devicesOut_.contains(key) != plug) return false;
        if (plug) {
          devicesOut_.erase(key);
        } else {
          devicesOut_.insert(key);
        }
      }
    } else {
      return false;
    }
    raiseChanges(before);
  }
  // Outside the tree's lock: the drives post their change back to it.
  for (const auto& drive : drives) {
    if (plug) {
      drive->plug();
    } else {
      drive->unplug();
    }
  }
  return true;
}

namespace {

class TreeHub final : public pd::Hub {
 public:
  TreeHub(std::shared_ptr<TreeState> state, std::string name) : state_(std::move(state)), name_(std::move(name)) {}

  std::optional<int> portCount() override { return state_->portCount(name_); }

  std::optional<pd::ConnectionInfo> connectionInfo(int port) override {
    return state_->onPort<pd::ConnectionInfo>(
        name_, port, [](const ModelPort& p, const ModelHub* hub, const UsbFunction* usb) -> std::optional<pd::ConnectionInfo> {
          if (p.connectionInfoFails) return std::nullopt;
          if (p.status) return pd::ConnectionInfo{.status = *p.status, .isHub = false, .descriptor = {}};
          if (!usb) return pd::ConnectionInfo{};
          return pd::ConnectionInfo{
              .status = pd::PortStatus::DeviceConnected, .isHub = hub != nullptr, .descriptor = usb->descriptor};
        });
  }

  std::optional<std::string> connectionName(int port) override {
    return state_->onPort<std::string>(
        name_, port, [](const ModelPort&, const ModelHub* hub, const UsbFunction*) -> std::optional<std::string> {
          if (!hub) return std::nullopt;
          return hub->connectionName;
        });
  }

  std::optional<std::string> driverKey(int port) override {
    return state_->onPort<std::string>(
        name_, port, [](const ModelPort&, const ModelHub*, const UsbFunction* usb) -> std::optional<std::string> {
          if (!usb) return std::nullopt;
          return usb->driverKey;
        });
  }

  std::optional<std::string> stringDescriptor(int port, std::uint8_t index, std::uint16_t language) override {
    return state_->onPort<std::string>(
        name_, port,
        [index, language](const ModelPort&, const ModelHub*, const UsbFunction* usb) -> std::optional<std::string> {
          if (!usb || usb->languages.empty()) return std::nullopt;
          if (index == 0) {
            std::string ids;
            for (const std::uint16_t id : usb->languages) {
              ids.push_back(static_cast<char>(id & 0xff));
              ids.push_back(static_cast<char>(id >> 8));
            }
            return ids;
          }
          const std::uint16_t wanted = language == 0 ? usb->languages.front() : language;
          if (std::find(usb->languages.begin(), usb->languages.end(), wanted) == usb->languages.end()) {
            return std::nullopt;
          }
          const auto text = usb->strings.find(index);
          if (text == usb->strings.end()) return std::nullopt;
          return text->second;
        });
  }

  std::optional<std::vector<std::uint8_t>> configDescriptor(int port) override {
    return state_->onPort<std::vector<std::uint8_t>>(
        name_, port,
        [](const ModelPort&, const ModelHub*, const UsbFunction* usb) -> std::optional<std::vector<std::uint8_t>> {
          if (!usb) return std::nullopt;
          return usb->configuration;
        });
  }

 private:
  std::shared_ptr<TreeState> state_;
  std::string name_;
};

}  // namespace
}  // namespace detail

EmulatedDeviceTree::EmulatedDeviceTree() : state_(std::make_shared<detail::TreeState>()) {}

EmulatedDeviceTree::~EmulatedDeviceTree() = default;

std::vector<pd::UsbDisk> EmulatedDeviceTree::listUsbDisks() { return state_->listUsbDisks(); }

std::optional<pd::DeviceNumber> EmulatedDeviceTree::deviceNumber(const std::string& devicePath) {
  return state_->deviceNumber(devicePath);
}

std::vector<pd::HubInterface> EmulatedDeviceTree::listHubInterfaces() { return state_->listHubInterfaces(); }

std::vector<pd::DeviceTree::DiskInterface> EmulatedDeviceTree::listDiskInterfaces() {
  return state_->listDiskInterfaces();
}

std::unique_ptr<pd::Hub> EmulatedDeviceTree::openHub(const std::string& pathOrName) {
  auto name = state_->hubToOpen(pathOrName);
  if (!name) return nullptr;
  return std::make_unique<detail::TreeHub>(state_, std::move(*name));
}

std::optional<std::string> EmulatedDeviceTree::findDeviceIdByDriverKey(const std::string& driverKey) {
  return state_->findDeviceIdByDriverKey(driverKey);
}

std::unique_ptr<pd::Subscription> EmulatedDeviceTree::subscribe(std::function<void(const pd::DeviceEvent&)> callback) {
  return state_->subscribe(std::move(callback));
}

bool EmulatedDeviceTree::unplugPort(const PortRef& at) { return state_->setPortPlugged(at, false); }

bool EmulatedDeviceTree::plugPort(const PortRef& at) { return state_->setPortPlugged(at, true); }

void EmulatedDeviceTree::waitForDelivery() {
  state_->applyPlugChanges();
  state_->hub()->waitIdle();
}

void EmulatedDeviceTree::describe(detail::UsbModel model, std::vector<std::shared_ptr<Drive>> drives,
                                  const Drive* arrived) {
  state_->describe(std::move(model), std::move(drives), arrived);
}

}  // namespace drivesim
