#include "station/wait_bar.h"

#include <utility>

namespace fleetburn {

int NextWaitBarOffset(int x) {
  const int next = x + kWaitBarStep;
  return next > 0 ? kWaitBarStart : next;
}

WaitBar::WaitBar(std::function<void(int x)> frame, std::function<void(bool shown)> shown, std::string line)
    : frame_(std::move(frame)), shown_(std::move(shown)), line_(std::move(line)) {}

WaitBar::~WaitBar() { stop(); }

void WaitBar::start() {
  {
    const std::lock_guard lock(mutex_);
    if (running_) return;
    running_ = true;
    x_ = kWaitBarStart;
  }
  if (shown_) shown_(true);
  step();
}

void WaitBar::stop() {
  platform::clock::Timer pending;
  {
    const std::lock_guard lock(mutex_);
    if (!running_) return;
    running_ = false;
    pending = std::move(timer_);
  }
  // Waits for a step in flight on the timer's thread, so none draws after this.
  pending.cancel();
  if (shown_) shown_(false);
}

bool WaitBar::running() const {
  const std::lock_guard lock(mutex_);
  return running_;
}

int WaitBar::offset() const {
  const std::lock_guard lock(mutex_);
  return x_;
}

void WaitBar::step() {
  int x = 0;
  {
    const std::lock_guard lock(mutex_);
    if (!running_) return;
    x = x_;
    x_ = NextWaitBarOffset(x_);
  }
  if (frame_) frame_(x);
  schedule();
}

void WaitBar::schedule() {
  const std::lock_guard lock(mutex_);
  if (!running_) return;
  timer_ = platform::clock::startTimer(line_, kWaitBarPeriodMs, [this] { step(); });
}

}  // namespace fleetburn
