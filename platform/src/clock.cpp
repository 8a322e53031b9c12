#include "platform/clock.h"

#include <chrono>
#include <condition_variable>
#include <utility>

#include "timer_queue.h"

namespace platform::clock {
namespace {

std::mutex clockMutex;
std::shared_ptr<Clock> installedClock;

// The line the calling thread is bound to; null: the thread's own line.
thread_local const std::string* boundLine = nullptr;

std::uint64_t wallMs() {
  using namespace std::chrono;
  return static_cast<std::uint64_t>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

}  // namespace

namespace detail {

// The timers of a clock whose lines all show wall time, fired by a thread of their own.
class WallTimers {
 public:
  WallTimers() : thread_([this](std::stop_token stop) { fire(stop); }) {}

  const std::shared_ptr<TimerQueue>& queue() const { return queue_; }

 private:
  void fire(const std::stop_token& stop) {
    std::unique_lock lock(queue_->mutex);
    while (!stop.stop_requested()) {
      const auto next = queue_->earliest();
      if (!next) {
        queue_->changed.wait(lock, stop, [&] { return queue_->earliest() != nullptr; });
        continue;
      }
      const std::uint64_t now = wallMs();
      if (next->deadlineMs <= now) {
        queue_->run(next, lock);
        continue;
      }
      queue_->changed.wait_for(lock, stop, std::chrono::milliseconds(next->deadlineMs - now),
                               [&] { return queue_->earliest() != next; });
    }
  }

  const std::shared_ptr<TimerQueue> queue_ = std::make_shared<TimerQueue>();
  std::jthread thread_;  // last: stopped and joined before the queue goes
};

}  // namespace detail

Timer::Timer(std::shared_ptr<detail::TimerQueue> queue, std::shared_ptr<detail::TimerEntry> entry)
    : queue_(std::move(queue)), entry_(std::move(entry)) {}

Timer::~Timer() { cancel(); }

Timer& Timer::operator=(Timer&& other) noexcept {
  if (this != &other) {
    cancel();
    queue_ = std::move(other.queue_);
    entry_ = std::move(other.entry_);
  }
  return *this;
}

void Timer::cancel() {
  if (!entry_) return;
  queue_->cancel(entry_);
  entry_.reset();
  queue_.reset();
}

Clock::Clock() = default;

Clock::~Clock() = default;

detail::WallTimers& Clock::wallTimers() {
  std::lock_guard lock(wallTimersMutex_);
  if (!wallTimers_) wallTimers_ = std::make_unique<detail::WallTimers>();
  return *wallTimers_;
}

std::uint64_t Clock::lineNowMs(std::string_view) { return nowMs(); }

Timer Clock::startTimer(std::string_view line, std::uint64_t delayMs, std::function<void()> callback) {
  const std::shared_ptr<detail::TimerQueue>& queue = wallTimers().queue();
  std::lock_guard lock(queue->mutex);
  return Timer(queue, queue->add(line, wallMs() + delayMs, std::move(callback)));
}

bool Clock::waitUntil(std::string_view line, std::uint64_t deadlineMs, std::stop_token stop) {
  for (std::uint64_t now = lineNowMs(line); now < deadlineMs; now = lineNowMs(line)) {
    if (!sleepMs(deadlineMs - now, stop)) return false;
  }
  return true;
}

void Clock::waitUntilStopped(std::stop_token stop) {
  std::mutex mutex;
  std::condition_variable_any wake;
  std::unique_lock lock(mutex);
  // Nothing notifies `wake`: only the stop request ends the wait.
  wake.wait(lock, stop, [] { return false; });
}

std::uint64_t SteadyClock::nowMs() { return wallMs(); }

bool SteadyClock::sleepMs(std::uint64_t ms, std::stop_token stop) {
  std::mutex mutex;
  std::condition_variable_any wake;
  std::unique_lock lock(mutex);
  // Nothing notifies `wake`: only the time-out or the stop request ends the wait.
  wake.wait_for(lock, stop, std::chrono::milliseconds(ms), [] { return false; });
  return !stop.stop_requested();
}

FastClock::FastClock() : timers_(std::make_shared<detail::TimerQueue>()) {}

FastClock::~FastClock() = default;

std::uint64_t& FastClock::namedLine(std::string_view name) {
  auto it = namedLines_.find(name);
  if (it == namedLines_.end()) it = namedLines_.emplace(std::string(name), 0).first;
  return it->second;
}

std::uint64_t& FastClock::callerLine() {
  return boundLine ? namedLine(*boundLine) : ownLines_[std::this_thread::get_id()];
}

void FastClock::moveLine(std::uint64_t& line, std::uint64_t toMs) {
  if (toMs <= line) return;  // another thread on the line has taken it further
  line = toMs;
  timers_->changed.notify_all();
}

std::uint64_t FastClock::nowMs() {
  std::lock_guard lock(timers_->mutex);
  return callerLine();
}

bool FastClock::sleepMs(std::uint64_t ms, std::stop_token stop) {
  if (stop.stop_requested()) return false;
  std::unique_lock lock(timers_->mutex);
  if (!boundLine) {
    // A thread's own line has no timers and nobody waits on it.
    ownLines_[std::this_thread::get_id()] += ms;
    return true;
  }
  const std::string& name = *boundLine;
  std::uint64_t& line = namedLine(name);
  const std::uint64_t endMs = line + ms;
  for (auto due = timers_->earliestOn(name); due && due->deadlineMs <= endMs; due = timers_->earliestOn(name)) {
    moveLine(line, due->deadlineMs);
    timers_->run(due, lock);
    if (stop.stop_requested()) return false;
  }
  moveLine(line, endMs);
  return true;
}

std::uint64_t FastClock::lineNowMs(std::string_view line) {
  std::lock_guard lock(timers_->mutex);
  return namedLine(line);
}

Timer FastClock::startTimer(std::string_view line, std::uint64_t delayMs, std::function<void()> callback) {
  std::lock_guard lock(timers_->mutex);
  return Timer(timers_, timers_->add(line, namedLine(line) + delayMs, std::move(callback)));
}

bool FastClock::waitUntil(std::string_view line, std::uint64_t deadlineMs, std::stop_token stop) {
  std::unique_lock lock(timers_->mutex);
  const std::uint64_t& time = namedLine(line);
  return timers_->changed.wait(lock, stop, [&] { return time >= deadlineMs; });
}

void FastClock::waitUntilStopped(std::stop_token stop) {
  std::unique_lock lock(timers_->mutex);
  const std::string* name = boundLine;
  const auto next = [&]() -> std::shared_ptr<detail::TimerEntry> {
    return name ? timers_->earliestOn(*name) : nullptr;
  };
  while (!stop.stop_requested()) {
    if (const auto due = next()) {
      moveLine(namedLine(*name), due->deadlineMs);
      timers_->run(due, lock);
    } else {
      // A timer started on the line meanwhile wakes the wait as well.
      timers_->changed.wait(lock, stop, [&] { return next() != nullptr; });
    }
  }
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

std::uint64_t nowMs(std::string_view line) { return current()->lineNowMs(line); }

Timer startTimer(std::string_view line, std::uint64_t delayMs, std::function<void()> callback) {
  return current()->startTimer(line, delayMs, std::move(callback));
}

bool waitUntil(std::string_view line, std::uint64_t deadlineMs, std::stop_token stop) {
  return current()->waitUntil(line, deadlineMs, std::move(stop));
}

void waitUntilStopped(std::stop_token stop) { current()->waitUntilStopped(std::move(stop)); }

ScopedTimeLine::ScopedTimeLine(std::string line)
    : line_(std::move(line)), previous_(std::exchange(boundLine, &line_)) {}

ScopedTimeLine::~ScopedTimeLine() { boundLine = previous_; }

ScopedFastClock::ScopedFastClock() : previous_(current()) { install(std::make_shared<FastClock>()); }

ScopedFastClock::~ScopedFastClock() { install(previous_); }

}  // namespace platform::clock
