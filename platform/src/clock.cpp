#include "platform/clock.h"

#include <chrono>
#include <condition_variable>

namespace platform::clock {
namespace {

std::mutex clockMutex;
std::shared_ptr<Clock> installedClock;

}  // namespace

std::uint64_t SteadyClock::nowMs() {
  using namespace std::chrono;
  return static_cast<std::uint64_t>(
      duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

bool SteadyClock::sleepMs(std::uint64_t ms, std::stop_token stop) {
  std::mutex mutex;
  std::condition_variable_any wake;
  std::unique_lock lock(mutex);
  // Nothing notifies `wake`: only the time-out or the stop request ends the wait.
  wake.wait_for(lock, stop, std::chrono::milliseconds(ms), [] { return false; });
  return !stop.stop_requested();
}

std::uint64_t FastClock::nowMs() {
  std::lock_guard lock(mutex_);
  return elapsedByThread_[std::this_thread::get_id()];
}

bool FastClock::sleepMs(std::uint64_t ms, std::stop_token stop) {
  if (stop.stop_requested()) return false;
  std::lock_guard lock(mutex_);
  elapsedByThread_[std::this_thread::get_id()] += ms;
  return true;
}

void install(std::shared_ptr<Clock> clock) {
  std::lock_guard lock(clockMutex);
  installedClock = std::move(clock);
}

std::shared_ptr<Clock> current() {
  std::lock_guard lock(clockMutex);
  if (!installedClock) installedClock = std::make_shared<SteadyClock>();
  return installedClock;
}

std::uint64_t tickMs() { return current()->nowMs(); }

bool sleepMs(std::uint64_t ms, std::stop_token stop) { return current()->sleepMs(ms, std::move(stop)); }

ScopedFastClock::ScopedFastClock() : previous_(current()) { install(std::make_shared<FastClock>()); }

ScopedFastClock::~ScopedFastClock() { install(previous_); }

}  // namespace platform::clock
