#pragma once
// The wait bar: while a run is in progress a bar picture slides across the
// wait panel, 2 pixels every 10 ms, from -240 to 0 and round again. A clock
// timer steps it; between runs nothing runs at all.

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "platform/clock.h"

namespace fleetburn {

inline constexpr int kWaitBarStart = -240;
inline constexpr int kWaitBarStep = 2;
inline constexpr std::uint64_t kWaitBarPeriodMs = 10;

// The offset after `x`: 2 further, back to the start once past 0.
int NextWaitBarOffset(int x);

class WaitBar {
 public:
  // `frame` draws the picture at the offset given (on the timer's thread:
  // the window hands it on to its own); `shown` tells the panel's
  // visibility. Steps run on `line` of the clock in force.
  WaitBar(std::function<void(int x)> frame, std::function<void(bool shown)> shown,
          std::string line = "station");
  ~WaitBar();
  WaitBar(const WaitBar&) = delete;
  WaitBar& operator=(const WaitBar&) = delete;

  // A run begins: the panel shows and the first frame is drawn at -240.
  void start();
  // The run ended: no frame follows once this returns, and the panel hides.
  void stop();

  bool running() const;
  int offset() const;

 private:
  void step();
  void schedule();

  const std::function<void(int)> frame_;
  const std::function<void(bool)> shown_;
  const std::string line_;
  mutable std::mutex mutex_;
  bool running_ = false;
  int x_ = kWaitBarStart;
  platform::clock::Timer timer_;
};


// The wait animation's own name: a timer here, where it was a thread.
using TMyThread = WaitBar;

}  // namespace fleetburn
