#include "drivesim/drive.h"

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <stop_token>
#include <string>
#include <utility>

#include "ata_device.h"
#include "controller.h"
#include "fault_injector.h"
#include "front_end.h"
#include "lba_store.h"
#include "wire_entry.h"
#include "platform/clock.h"

namespace drivesim {

namespace detail {

struct DriveModel {
  explicit DriveModel(const DriveConfig& config)
      : store(config), controller(config, wire) {
    switch (config.frontEnd) {
      case FrontEnd::OwnUsb:
        frontEnd = makeOwnUsb(config, wire, store, controller);
        break;
      case FrontEnd::Bridge:
        ata = std::make_unique<AtaDevice>(config, store, controller, wire);
        frontEnd = makeBridge(config, wire, *ata);
        break;
      case FrontEnd::SataPort:
        ata = std::make_unique<AtaDevice>(config, store, controller, wire);
        frontEnd = makeSataPort(*ata);
        break;
    }
  }

  WireLog wire;
  LbaStore store;
  TolvaneController controller;
  std::unique_ptr<AtaDevice> ata;  // none behind the controller's own USB interface
  std::unique_ptr<FrontEndDevice> frontEnd;
  FaultInjector faults;
  bool plugged = true;
  std::uint64_t generation = 0;
};

// How a command ended that a fault took before the drive ran it.
struct Interruption {
  bool timedOut = false;
  int osError = 0;
  std::string note;
};

}  // namespace detail

namespace {

using platform::storage::AtaCommand;
using platform::storage::AtaOutcome;
using platform::storage::Direction;
using platform::storage::ScsiCommand;
using platform::storage::ScsiOutcome;

constexpr std::size_t kMaxCdbBytes = 16;
constexpr std::uint8_t kHostTimedOut = 0x03;  // as the kernel reports a command that ran out of time
constexpr std::uint8_t kBadSignature = 0xe4;
constexpr std::uint8_t kNoSenseKey = 0x00;

using detail::Interruption;

// The command's cost in real time, cut short by its stop.
void spend(const DriveConfig::Latency& latency, std::size_t bytes, const std::stop_token& stop) {
  const std::chrono::microseconds cost = latency.of(bytes);
  if (cost.count() <= 0) return;
  std::mutex mutex;
  std::condition_variable_any never;
  std::unique_lock lock(mutex);
  never.wait_for(lock, stop, cost, [] { return false; });
}

std::string joined(std::string first, const std::string& second) {
  if (second.empty()) return first;
  if (first.empty()) return second;
  return first + "; " + second;
}

const char* replyFaultNote(FaultKind kind) {
  switch (kind) {
    case FaultKind::BadSignature: return "fault: bad signature";
    case FaultKind::ShortReply: return "fault: short reply";
    case FaultKind::ZeroReply: return "fault: zero reply";
    case FaultKind::Delay: return "fault: delayed";
    case FaultKind::AtaError: return "fault: ATA error";
    default: return "";
  }
}

// NO SENSE and RECOVERED ERROR only report: the command itself completed.
bool onlyReports(const FaultRule& rule) {
  return rule.senseKey == kNoSenseKey || rule.senseKey == detail::sense::kRecoveredError;
}

// Spoils a reply of `transferred` bytes as the fault says; gives back how much arrives.
std::size_t spoilReply(const std::optional<FaultRule>& fault, std::span<std::uint8_t> reply, std::size_t transferred) {
  if (!fault) return transferred;
  switch (fault->kind) {
    case FaultKind::BadSignature:
      if (transferred > 0) reply[0] = kBadSignature;
      return transferred;
    case FaultKind::ZeroReply:
      std::fill_n(reply.begin(), transferred, std::uint8_t{0});
      return transferred;
    case FaultKind::ShortReply:
      return fault->replyBytes ? std::min(*fault->replyBytes, transferred) : transferred / 2;
    default:
      return transferred;
  }
}

// The device side fills a buffer of its own on data-in, so that what never
// arrives leaves the caller's bytes untouched.
struct Reply {
  explicit Reply(Direction direction, std::span<std::uint8_t> callerData) : caller(callerData) {
    if (direction == Direction::In && !callerData.empty()) {
      scratch.assign(callerData.size(), 0);
      device = scratch;
    } else {
      device = callerData;
      scratch.clear();
    }
  }
  bool in() const { return !scratch.empty(); }
  void deliver(std::size_t transferred) {
    if (in()) std::copy_n(scratch.begin(), transferred, caller.begin());
  }

  std::span<std::uint8_t> caller;
  std::vector<std::uint8_t> scratch;
  std::span<std::uint8_t> device;
};

}  // namespace

Drive::Drive(DriveConfig config)
    : config_(std::move(config)), model_(std::make_unique<detail::DriveModel>(config_)) {}

Drive::~Drive() = default;

WireLog& Drive::wire() { return model_->wire; }

void Drive::injectFault(FaultRule rule) {
  std::lock_guard lock(mutex_);
  model_->faults.add(rule);
}

void Drive::clearFaults() {
  std::lock_guard lock(mutex_);
  model_->faults.clear();
}

void Drive::unplug() {
  std::lock_guard lock(mutex_);
  unplugLocked();
}

void Drive::unplugLocked() {
  const bool wasPlugged = std::exchange(model_->plugged, false);
  unplugged_.request_stop();
  if (wasPlugged && plugWatcher_) plugWatcher_(false);
}

void Drive::plug() {
  std::lock_guard lock(mutex_);
  if (model_->plugged) return;
  model_->plugged = true;
  ++model_->generation;
  unplugged_ = std::stop_source();
  model_->controller.powerOn();
  if (model_->ata) model_->ata->powerOn();
  // The power-up may boot a download: the tree learns the identity before the arrival.
  announceUsbIdentityLocked();
  if (plugWatcher_) plugWatcher_(true);
}

bool Drive::plugged() const {
  std::lock_guard lock(mutex_);
  return model_->plugged;
}

void Drive::watchPlug(std::function<void(bool plugged)> watcher) {
  std::lock_guard lock(mutex_);
  plugWatcher_ = std::move(watcher);
  if (plugWatcher_) plugWatcher_(model_->plugged);
}

std::optional<UsbIdentity> Drive::firmwareUsbIdentity() const {
  std::lock_guard lock(mutex_);
  return firmwareUsbIdentityLocked();
}

std::optional<UsbIdentity> Drive::firmwareUsbIdentityLocked() const {
  if (config_.frontEnd != FrontEnd::OwnUsb) return std::nullopt;
  const detail::BootedFirmware* booted = model_->controller.booted();
  if (booted == nullptr || booted->mode != 'U') return std::nullopt;
  // String descriptors at 158, 192 and 242 of the identity page, each up to the next.
  return UsbIdentity{.vendorId = booted->usbVendorId(),
                     .productId = booted->usbProductId(),
                     .manufacturer = booted->usbString(158, 16),
                     .product = booted->usbString(192, 24),
                     .serial = booted->usbString(242, 24)};
}

void Drive::watchUsbIdentity(std::function<void(const std::optional<UsbIdentity>&)> watcher) {
  std::lock_guard lock(mutex_);
  identityWatcher_ = std::move(watcher);
  announcedIdentity_ = firmwareUsbIdentityLocked();
  if (identityWatcher_) identityWatcher_(announcedIdentity_);
}

// After every command that may have changed the running code.
void Drive::announceUsbIdentityLocked() {
  std::optional<UsbIdentity> now = firmwareUsbIdentityLocked();
  if (now == announcedIdentity_) return;
  announcedIdentity_ = std::move(now);
  if (identityWatcher_) identityWatcher_(announcedIdentity_);
}

bool Drive::reachable(std::uint64_t generation) const {
  return model_->plugged && model_->generation == generation;
}

bool Drive::vendorMode() const {
  std::lock_guard lock(mutex_);
  return model_->controller.vendorMode();
}

RunState Drive::runState() const {
  std::lock_guard lock(mutex_);
  return model_->controller.runState();
}

std::uint8_t Drive::registerByte(std::uint32_t address) const {
  std::lock_guard lock(mutex_);
  return model_->controller.registerByte(address);
}

std::vector<std::uint8_t> Drive::memory(std::uint32_t address, std::size_t length) const {
  std::lock_guard lock(mutex_);
  std::vector<std::uint8_t> bytes(length);
  if (!model_->controller.memory().read(address, bytes)) bytes.clear();
  return bytes;
}

std::vector<std::uint8_t> Drive::userSectors(std::uint64_t lba, std::uint32_t count) const {
  std::lock_guard lock(mutex_);
  std::vector<std::uint8_t> bytes(std::size_t{count} * detail::kSectorBytes);
  model_->store.readStored(lba, bytes);
  return bytes;
}

std::size_t Drive::storedSectorCount() const {
  std::lock_guard lock(mutex_);
  return model_->store.storedSectors();
}

std::size_t Drive::storedDataBytes() const {
  std::lock_guard lock(mutex_);
  return model_->store.heldDataBytes();
}

std::vector<std::uint8_t> Drive::eraseCountTable(std::uint8_t channel, std::uint8_t bank) const {
  std::lock_guard lock(mutex_);
  return model_->controller.eraseCountTable(channel, bank);
}

std::uint64_t Drive::nativeMaxAddress() const {
  std::lock_guard lock(mutex_);
  const std::uint64_t sectors = model_->ata ? model_->ata->nativeSectors() : config_.sectorCount;
  return sectors == 0 ? 0 : sectors - 1;
}

std::uint64_t Drive::currentMaxAddress() const {
  std::lock_guard lock(mutex_);
  const std::uint64_t sectors = model_->ata ? model_->ata->currentSectors() : config_.sectorCount;
  return sectors == 0 ? 0 : sectors - 1;
}

std::optional<std::uint8_t> Drive::bridgeOption() const {
  std::lock_guard lock(mutex_);
  return model_->frontEnd->bridgeOption();
}

std::optional<std::uint8_t> Drive::pendingSubOp() const {
  std::lock_guard lock(mutex_);
  return model_->ata ? model_->ata->pendingSubOp() : std::nullopt;
}

std::vector<std::uint8_t> Drive::flashPage(std::uint8_t channel, std::uint8_t chipEnable, std::uint16_t block,
                                           std::uint16_t page) const {
  std::lock_guard lock(mutex_);
  const auto& flash = model_->controller.flash();
  if (!flash.present(channel, chipEnable) || !flash.inRange(block, page)) return {};
  std::vector<std::uint8_t> bytes(flash.pageBytes());
  flash.read({channel, chipEnable, block, page}, bytes);
  return bytes;
}

std::vector<FlashPageRef> Drive::reprogrammedPages() const {
  std::lock_guard lock(mutex_);
  std::vector<FlashPageRef> pages;
  for (const auto& a : model_->controller.reprogramAttempts()) pages.push_back({a.channel, a.chipEnable, a.block, a.page});
  return pages;
}

bool Drive::putFlashBytes(std::uint8_t channel, std::uint8_t chipEnable, std::uint16_t block, std::uint16_t page,
                          std::size_t offset, std::span<const std::uint8_t> bytes) {
  std::lock_guard lock(mutex_);
  auto& flash = model_->controller.flash();
  if (!flash.present(channel, chipEnable) || !flash.inRange(block, page)) return false;
  if (offset > flash.pageBytes() || bytes.size() > flash.pageBytes() - offset) return false;
  flash.patch({channel, chipEnable, block, page}, offset, bytes);
  return true;
}

platform::storage::DeviceTraits Drive::traits() const { return {.onUsb = model_->frontEnd->onUsb()}; }

Drive::BlockOpen Drive::hostBlockOpen() {
  std::lock_guard lock(mutex_);
  BlockOpen result;
  if (!model_->plugged) {
    result.error = config_.path + ": the drive is not plugged in";
  } else if (model_->faults.takeForOpen()) {
    result.error = config_.path + ": the open failed";
  } else if (!model_->store.imageError().empty()) {
    result.error = config_.path + ": its image file cannot be used: " + model_->store.imageError();
  } else {
    result.opened = true;
    result.generation = model_->generation;
    result.sectors = model_->ata ? model_->ata->currentSectors() : config_.sectorCount;
  }
  return result;
}

namespace {

// Whole sectors that lie below `sectors`.
bool blockFits(std::uint64_t lba, std::size_t bytes, std::uint64_t sectors) {
  if (bytes % detail::kSectorBytes != 0) return false;
  const std::uint64_t count = bytes / detail::kSectorBytes;
  return lba <= sectors && count <= sectors - lba;
}

}  // namespace

bool Drive::hostBlockRead(std::uint64_t lba, std::span<std::uint8_t> out, std::uint64_t generation) {
  std::lock_guard lock(mutex_);
  if (!reachable(generation)) return false;
  const std::uint64_t sectors = model_->ata ? model_->ata->currentSectors() : config_.sectorCount;
  if (!blockFits(lba, out.size(), sectors)) return false;
  return !model_->store.read(lba, out).has_value();
}

bool Drive::hostBlockWrite(std::uint64_t lba, std::span<const std::uint8_t> in, std::uint64_t generation) {
  std::lock_guard lock(mutex_);
  if (!reachable(generation)) return false;
  const std::uint64_t sectors = model_->ata ? model_->ata->currentSectors() : config_.sectorCount;
  if (!blockFits(lba, in.size(), sectors)) return false;
  return !model_->store.write(lba, in).has_value();
}

Drive::OpenResult Drive::hostOpen() {
  std::lock_guard lock(mutex_);
  if (!model_->plugged) return {false, ENODEV, 0};
  if (model_->faults.takeForOpen()) return {false, EIO, 0};
  return {true, 0, model_->generation};
}

// Acts out a fault that ends the command before the drive runs it; nothing
// when the command is to run (after a delay, perhaps). Waits release the lock.
std::optional<Interruption> Drive::interrupt(const FaultRule& rule, std::unique_lock<std::mutex>& lock,
                                             const std::stop_token& stop, std::uint32_t timeoutSeconds,
                                             std::uint64_t generation) {
  switch (rule.kind) {
    case FaultKind::TransportFailure:
      return Interruption{.osError = EIO, .note = "fault: transport failure"};
    case FaultKind::Unplug:
      unplugLocked();
      return Interruption{.osError = ENODEV, .note = "fault: unplugged"};
    case FaultKind::Timeout:
      lock.unlock();
      platform::clock::sleepMs(std::uint64_t{timeoutSeconds} * 1000, stop);
      lock.lock();
      return Interruption{.timedOut = true, .note = "fault: timed out"};
    case FaultKind::Hang: {
      // The wait goes through the clock, so that timers of the caller's time
      // line (a port's watchdog) fire on virtual time while it hangs.
      std::stop_source ended;
      const std::stop_token pulled = unplugged_.get_token();
      lock.unlock();
      {
        const std::stop_callback onStop(stop, [&] { ended.request_stop(); });
        const std::stop_callback onUnplug(pulled, [&] { ended.request_stop(); });
        platform::clock::waitUntilStopped(ended.get_token());
      }
      lock.lock();
      if (!reachable(generation)) return Interruption{.osError = ENODEV, .note = "fault: hung until unplugged"};
      return Interruption{.osError = ECANCELED, .note = "fault: hung until stopped"};
    }
    case FaultKind::Delay:
      lock.unlock();
      platform::clock::sleepMs(rule.delayMs, stop);
      lock.lock();
      if (!reachable(generation)) return Interruption{.osError = ENODEV, .note = "fault: unplugged while delayed"};
      return std::nullopt;
    default:
      return std::nullopt;
  }
}

ScsiOutcome Drive::hostScsi(const ScsiCommand& command, std::uint64_t generation) {
  ScsiOutcome outcome;
  if (command.cdb.empty() || command.cdb.size() > kMaxCdbBytes) {
    outcome.osError = EINVAL;
    return outcome;
  }
  if (command.stop.stop_requested()) {
    outcome.osError = ECANCELED;
    return outcome;
  }
  std::unique_lock lock(mutex_);
  if (!reachable(generation)) {
    outcome.osError = ENODEV;
    return outcome;
  }
  auto& m = *model_;
  const detail::HostData offered{command.direction, command.data};
  const auto fault = m.faults.take(m.frontEnd->classifyScsi(command.cdb, offered));

  const auto id = m.wire.record(detail::received(Layer::Scsi, {command.cdb.begin(), command.cdb.end()},
                                                command.direction, false, command.data));

  if (fault) {
    if (const auto ended = interrupt(*fault, lock, command.stop, command.timeoutSeconds, generation)) {
      m.wire.annotate(id, ended->note);
      outcome.timedOut = ended->timedOut;
      outcome.hostStatus = ended->timedOut ? kHostTimedOut : 0;
      outcome.osError = ended->osError;
      return outcome;
    }
  }

  detail::ScsiResult result;
  Reply reply(command.direction, command.data);
  const bool checkCondition = fault && fault->kind == FaultKind::CheckCondition;
  if (checkCondition && !onlyReports(*fault)) {
    result = detail::checkCondition(fault->senseKey, fault->asc, fault->ascq, "injected");
    result.note = "fault: " + result.note;
  } else {
    detail::CommandFaults faults;
    if (fault && fault->kind == FaultKind::AtaError) faults.ataError = fault->ataError;
    result = m.frontEnd->scsi(command.cdb, {command.direction, reply.device}, faults);
    result.transferred = spoilReply(fault, reply.device, result.transferred);
    result.note = joined(result.note, fault ? replyFaultNote(fault->kind) : "");
    if (checkCondition && result.status == detail::kGood) {
      const detail::ScsiResult reported = detail::checkCondition(fault->senseKey, fault->asc, fault->ascq, "injected");
      result.status = reported.status;
      result.sense = reported.sense;
      result.senseLength = reported.senseLength;
      result.note = joined(result.note, "fault: " + reported.note);
    }
  }
  reply.deliver(result.transferred);
  m.wire.annotate(id, result.note);
  announceUsbIdentityLocked();

  outcome.transportOk = true;
  outcome.scsiStatus = result.status;
  outcome.sense = result.sense;
  outcome.senseLength = result.senseLength;
  outcome.transferred = result.transferred;
  lock.unlock();
  spend(config_.latency, command.data.size(), command.stop);
  return outcome;
}

AtaOutcome Drive::hostAta(const AtaCommand& command, std::uint64_t generation) {
  AtaOutcome outcome;
  if (command.stop.stop_requested()) {
    outcome.osError = ECANCELED;
    return outcome;
  }
  std::unique_lock lock(mutex_);
  if (!reachable(generation)) {
    outcome.osError = ENODEV;
    return outcome;
  }
  auto& m = *model_;
  const auto fault = m.faults.take(m.frontEnd->classifyAta(command));
  if (fault) {
    // The device layers log the command themselves; a fault gets an entry of its own ahead of them.
    const auto id = m.wire.record(detail::received(Layer::Ata, detail::taskFileBytes(command), command.direction,
                                                  command.useDma, command.data, replyFaultNote(fault->kind)));
    if (const auto ended = interrupt(*fault, lock, command.stop, command.timeoutSeconds, generation)) {
      m.wire.annotate(id, ended->note);
      outcome.timedOut = ended->timedOut;
      outcome.osError = ended->osError;
      return outcome;
    }
  }

  Reply reply(command.direction, command.data);
  AtaCommand forDevice = command;
  forDevice.data = reply.device;
  detail::CommandFaults faults;
  if (fault && fault->kind == FaultKind::AtaError) faults.ataError = fault->ataError;
  const detail::AtaResult result = m.frontEnd->ata(forDevice, faults);
  const std::size_t transferred = spoilReply(fault, reply.device, result.transferred);
  reply.deliver(transferred);
  announceUsbIdentityLocked();

  outcome.transportOk = true;
  outcome.current = result.current;
  outcome.previous = result.previous;
  outcome.transferred = transferred;
  lock.unlock();
  spend(config_.latency, command.data.size(), command.stop);
  return outcome;
}

}  // namespace drivesim
