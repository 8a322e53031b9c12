#pragma once
// Ticks and sleeps. Every wait of the device library and of the emulated
// hardware goes through here, so that tests can run on virtual time.

#include <cstdint>
#include <memory>
#include <mutex>
#include <stop_token>
#include <thread>
#include <unordered_map>

namespace platform::clock {

class Clock {
 public:
  virtual ~Clock() = default;
  virtual std::uint64_t nowMs() = 0;
  // Waits `ms`; returns false when `stop` was requested before the time was up.
  virtual bool sleepMs(std::uint64_t ms, std::stop_token stop) = 0;
};

// Monotonic wall time; a stop request wakes the sleeper at once.
class SteadyClock final : public Clock {
 public:
  std::uint64_t nowMs() override;
  bool sleepMs(std::uint64_t ms, std::stop_token stop) override;
};

// Virtual time for tests. Each thread has its own time line: a sleep returns at
// once and moves only the calling thread's time on, so that 50 ports polling
// in parallel do not make each other's commands look slow.
class FastClock final : public Clock {
 public:
  std::uint64_t nowMs() override;
  bool sleepMs(std::uint64_t ms, std::stop_token stop) override;

 private:
  std::mutex mutex_;
  std::unordered_map<std::thread::id, std::uint64_t> elapsedByThread_;
};

// The clock in force (a SteadyClock until another is installed).
void install(std::shared_ptr<Clock> clock);
std::shared_ptr<Clock> current();

std::uint64_t tickMs();
bool sleepMs(std::uint64_t ms, std::stop_token stop = {});

// Installs a FastClock for the lifetime of the object, then puts back the old one.
class ScopedFastClock {
 public:
  ScopedFastClock();
  ~ScopedFastClock();
  ScopedFastClock(const ScopedFastClock&) = delete;
  ScopedFastClock& operator=(const ScopedFastClock&) = delete;

 private:
  std::shared_ptr<Clock> previous_;
};

}  // namespace platform::clock
