#pragma once
// The timers of one clock: what is pending, by deadline, and the hand-over
// between the thread that runs a callback and a thread that cancels it.

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

namespace platform::clock::detail {

struct TimerEntry {
  enum class State { Pending, Running, Ended };

  std::string line;
  std::uint64_t deadlineMs = 0;
  std::function<void()> callback;
  State state = State::Pending;
  std::thread::id runner;  // while Running
};

class TimerQueue {
 public:
  // Guards the queue, and whatever the owning clock keeps beside it.
  std::mutex mutex;
  // Notified when a timer is added, cancelled or has run, and by the owning
  // clock when its time moves.
  std::condition_variable_any changed;

  // The calls below expect `mutex` held.
  std::shared_ptr<TimerEntry> add(std::string_view line, std::uint64_t deadlineMs, std::function<void()> callback);
  // The pending timer with the earliest deadline (the first started among
  // equal ones), of `line` or of any line; null when there is none.
  std::shared_ptr<TimerEntry> earliest() const;
  std::shared_ptr<TimerEntry> earliestOn(std::string_view line) const;
  // Runs a pending timer's callback on the calling thread with `lock` released.
  void run(const std::shared_ptr<TimerEntry>& entry, std::unique_lock<std::mutex>& lock);

  // Takes `mutex` itself.
  void cancel(const std::shared_ptr<TimerEntry>& entry);

 private:
  void erase(const std::shared_ptr<TimerEntry>& entry);

  std::multimap<std::uint64_t, std::shared_ptr<TimerEntry>> pending_;
};

}  // namespace platform::clock::detail
