#include "testsupport/stop_once_stuck.h"

#include <condition_variable>
#include <mutex>
#include <string_view>
#include <utility>

namespace testsupport {

using platform::storage::AtaCommand;
using platform::storage::AtaOutcome;
using platform::storage::DeviceTraits;
using platform::storage::ScsiCommand;
using platform::storage::ScsiOutcome;

// What the worker's side tells the test thread; the devices the backend opens
// share it.
struct StopOnceStuck::Signal {
  explicit Signal(StuckPoint point) : stuckAt(std::move(point)) {}

  // Called before each SCSI command goes on, on the worker's thread.
  void sending(std::span<const std::uint8_t> cdb) {
    {
      std::lock_guard lock(mutex);
      if (stuck) return;
    }
    if (!stuckAt(cdb)) return;
    {
      std::lock_guard lock(mutex);
      stuck = true;
    }
    changed.notify_all();
  }

  void ended() {
    {
      std::lock_guard lock(mutex);
      callEnded = true;
    }
    changed.notify_all();
  }

  StuckPoint stuckAt;  // called on the worker's thread only
  std::mutex mutex;
  std::condition_variable changed;
  bool stuck = false;
  bool callEnded = false;
};

// Passes every command on to the backend that was in force, showing each SCSI
// command block to the stuck point first.
class StopOnceStuck::Backend final : public platform::storage::Backend {
 public:
  Backend(std::shared_ptr<platform::storage::Backend> inner, std::shared_ptr<Signal> signal)
      : inner_(std::move(inner)), signal_(std::move(signal)) {}

  platform::storage::OpenOutcome open(std::string_view path, platform::storage::Sharing sharing) override {
    platform::storage::OpenOutcome opened = inner_->open(path, sharing);
    if (opened.device) opened.device = std::make_unique<Device>(std::move(opened.device), signal_);
    return opened;
  }

 private:
  class Device final : public platform::storage::Device {
   public:
    Device(std::unique_ptr<platform::storage::Device> inner, std::shared_ptr<Signal> signal)
        : inner_(std::move(inner)), signal_(std::move(signal)) {}

    ScsiOutcome scsi(const ScsiCommand& command) override {
      signal_->sending(command.cdb);
      return inner_->scsi(command);
    }
    AtaOutcome ata(const AtaCommand& command) override { return inner_->ata(command); }
    DeviceTraits traits() const override { return inner_->traits(); }

   private:
    std::unique_ptr<platform::storage::Device> inner_;
    std::shared_ptr<Signal> signal_;
  };

  std::shared_ptr<platform::storage::Backend> inner_;
  std::shared_ptr<Signal> signal_;
};

StopOnceStuck::StopOnceStuck(StuckPoint stuckAt, std::function<void()> release)
    : signal_(std::make_shared<Signal>(std::move(stuckAt))),
      release_(std::move(release)),
      previous_(platform::storage::currentBackend()) {
  platform::storage::installBackend(std::make_shared<Backend>(previous_, signal_));
}

StopOnceStuck::~StopOnceStuck() { platform::storage::installBackend(previous_); }

void StopOnceStuck::waitUntilStuck() {
  std::unique_lock lock(signal_->mutex);
  if (!signal_->changed.wait_for(lock, kRealTimeLimit, [&] { return signal_->stuck || signal_->callEnded; })) {
    ADD_FAILURE() << "the call did not reach its stuck point within " << kRealTimeLimit.count() << " s";
  } else if (!signal_->stuck) {
    ADD_FAILURE() << "the call ended before it reached its stuck point";
  }
}

void StopOnceStuck::callEnded() { signal_->ended(); }

}  // namespace testsupport
