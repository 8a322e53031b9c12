#pragma once
// Ticks, sleeps and timers. Every wait of the device library, of the emulated
// hardware and of the station's watchdogs goes through here, so that tests
// can run on virtual time.
//
// Time runs on time lines. A thread works on the line it has bound itself to
// (ScopedTimeLine: a port's worker binds to its port's line); a thread bound
// to none has a line of its own. tickMs, sleepMs and waitUntilStopped act on
// the caller's line; the other calls name the line they act on.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <stop_token>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>

namespace platform::clock {

namespace detail {
class TimerQueue;
struct TimerEntry;
class WallTimers;
}  // namespace detail

// A started timer. It is cancelled when the handle dies or is assigned over.
// Cancelling waits for the callback when it runs on another thread; inside
// its own callback it does not wait. A callback must not wait for a thread
// that is cancelling its timer.
class Timer {
 public:
  Timer() = default;
  ~Timer();
  Timer(Timer&&) noexcept = default;
  Timer& operator=(Timer&& other) noexcept;

  // Once this returns, the callback neither runs nor will run (apart from a
  // call of this from the callback itself, which the callback finishes).
  void cancel();

 private:
  friend class Clock;
  friend class FastClock;
  Timer(std::shared_ptr<detail::TimerQueue> queue, std::shared_ptr<detail::TimerEntry> entry);

  std::shared_ptr<detail::TimerQueue> queue_;
  std::shared_ptr<detail::TimerEntry> entry_;
};

class Clock {
 public:
  Clock();
  virtual ~Clock();
  Clock(const Clock&) = delete;
  Clock& operator=(const Clock&) = delete;

  // The time of the caller's line.
  virtual std::uint64_t nowMs() = 0;
  // Waits `ms` on the caller's line; returns false when `stop` was requested
  // before the time was up.
  virtual bool sleepMs(std::uint64_t ms, std::stop_token stop) = 0;

  // The defaults below serve a clock on which every line is one time, wall
  // time (SteadyClock): timers fire on a thread of the clock's own, started
  // with the first timer and stopped with the clock.

  // The time of `line`.
  virtual std::uint64_t lineNowMs(std::string_view line);
  // Runs `callback` once, as soon as `line` has reached its time now plus `delayMs`.
  virtual Timer startTimer(std::string_view line, std::uint64_t delayMs, std::function<void()> callback);
  // Blocks until `line` has reached `deadlineMs`; false when `stop` came first.
  virtual bool waitUntil(std::string_view line, std::uint64_t deadlineMs, std::stop_token stop);
  // Blocks until `stop` is requested, however long that is: the wait of a
  // command that hangs. Timers of the caller's line fire meanwhile.
  virtual void waitUntilStopped(std::stop_token stop);

 private:
  detail::WallTimers& wallTimers();

  std::mutex wallTimersMutex_;
  std::unique_ptr<detail::WallTimers> wallTimers_;
};

// Monotonic wall time; a stop request wakes the sleeper at once.
class SteadyClock final : public Clock {
 public:
  std::uint64_t nowMs() override;
  bool sleepMs(std::uint64_t ms, std::stop_token stop) override;
};

// Virtual time for tests. Every line keeps its own time, from 0: a sleep
// returns at once and moves only the caller's line on, so that 50 ports
// polling in parallel do not make each other's commands look slow. A sleep
// goes through the deadlines of its line's timers that fall inside it, one by
// one, and runs each callback on the sleeping thread with the line at that
// deadline; when a callback requests the sleeper's stop, the sleep ends there.
// A line's time moves only while a thread sleeps or hangs on it.
class FastClock final : public Clock {
 public:
  FastClock();
  ~FastClock() override;

  std::uint64_t nowMs() override;
  bool sleepMs(std::uint64_t ms, std::stop_token stop) override;
  std::uint64_t lineNowMs(std::string_view line) override;
  Timer startTimer(std::string_view line, std::uint64_t delayMs, std::function<void()> callback) override;
  bool waitUntil(std::string_view line, std::uint64_t deadlineMs, std::stop_token stop) override;
  // Jumps the caller's line from one timer's deadline to the next, running
  // each, until `stop` is requested; with no timer left it waits as it is.
  void waitUntilStopped(std::stop_token stop) override;

 private:
  std::uint64_t& namedLine(std::string_view name);
  std::uint64_t& callerLine();
  void moveLine(std::uint64_t& line, std::uint64_t toMs);

  // Its lock also guards the lines; its wake-up tells of every move of a named line.
  std::shared_ptr<detail::TimerQueue> timers_;
  std::map<std::string, std::uint64_t, std::less<>> namedLines_;
  std::unordered_map<std::thread::id, std::uint64_t> ownLines_;
};

// The clock in force (a SteadyClock until another is installed).
void install(std::shared_ptr<Clock> clock);
std::shared_ptr<Clock> current();

// The calls of the clock in force.
std::uint64_t tickMs();
bool sleepMs(std::uint64_t ms, std::stop_token stop = {});
std::uint64_t nowMs(std::string_view line);
Timer startTimer(std::string_view line, std::uint64_t delayMs, std::function<void()> callback);
bool waitUntil(std::string_view line, std::uint64_t deadlineMs, std::stop_token stop = {});
void waitUntilStopped(std::stop_token stop);

// Binds the calling thread to `line` for the lifetime of the object, then
// puts back the binding it had.
class ScopedTimeLine {
 public:
  explicit ScopedTimeLine(std::string line);
  ~ScopedTimeLine();
  ScopedTimeLine(const ScopedTimeLine&) = delete;
  ScopedTimeLine& operator=(const ScopedTimeLine&) = delete;

 private:
  const std::string line_;
  const std::string* previous_;
};

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
