#include "timer_queue.h"

#include <utility>

namespace platform::clock::detail {

std::shared_ptr<TimerEntry> TimerQueue::add(std::string_view line, std::uint64_t deadlineMs,
                                            std::function<void()> callback) {
  auto entry = std::make_shared<TimerEntry>();
  entry->line = line;
  entry->deadlineMs = deadlineMs;
  entry->callback = std::move(callback);
  // Equal keys keep their order of insertion: timers due together run as started.
  pending_.emplace(deadlineMs, entry);
  changed.notify_all();
  return entry;
}

std::shared_ptr<TimerEntry> TimerQueue::earliest() const {
  return pending_.empty() ? nullptr : pending_.begin()->second;
}

std::shared_ptr<TimerEntry> TimerQueue::earliestOn(std::string_view line) const {
  for (const auto& [deadline, entry] : pending_) {
    if (entry->line == line) return entry;
  }
  return nullptr;
}

void TimerQueue::run(const std::shared_ptr<TimerEntry>& entry, std::unique_lock<std::mutex>& lock) {
  erase(entry);
  entry->state = TimerEntry::State::Running;
  entry->runner = std::this_thread::get_id();
  {
    // Whatever the callback holds dies outside the lock: it may be a timer.
    const std::function<void()> callback = std::exchange(entry->callback, nullptr);
    lock.unlock();
    callback();
  }
  lock.lock();
  entry->state = TimerEntry::State::Ended;
  changed.notify_all();
}

void TimerQueue::cancel(const std::shared_ptr<TimerEntry>& entry) {
  std::function<void()> dropped;  // dies after the lock is released, as in run
  std::unique_lock lock(mutex);
  switch (entry->state) {
    case TimerEntry::State::Pending:
      erase(entry);
      entry->state = TimerEntry::State::Ended;
      dropped = std::exchange(entry->callback, nullptr);
      changed.notify_all();
      break;
    case TimerEntry::State::Running:
      if (entry->runner != std::this_thread::get_id()) {
        changed.wait(lock, [&] { return entry->state != TimerEntry::State::Running; });
      }
      break;
    case TimerEntry::State::Ended:
      break;
  }
}

void TimerQueue::erase(const std::shared_ptr<TimerEntry>& entry) {
  auto [first, last] = pending_.equal_range(entry->deadlineMs);
  for (auto it = first; it != last; ++it) {
    if (it->second == entry) {
      pending_.erase(it);
      return;
    }
  }
}

}  // namespace platform::clock::detail
