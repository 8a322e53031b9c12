#pragma once
// How a port's run ends, decided once: the worker ends by itself, or its
// watchdog or the abort button stops it. Whichever comes first wins; a late
// worker writes nothing more, a late watchdog changes nothing. The stopped
// worker's commands end through its stop token, within one command time-out.

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <stop_token>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "station/port_record.h"

namespace fleetburn {

// The time line of a port's worker (and of its watchdog).
std::string PortTimeLine(int port);

enum class PortRunState : std::uint8_t { Idle, Running, Ended, Stopped };

class PortRunControl {
 public:
  // A new run on the port: its stop token. Refused (an empty token) while
  // the port's previous worker is running or, once stopped, not yet Reset.
  std::stop_token Begin(int port);
  // The worker's own end: true when it may publish its results (it was not stopped).
  bool Finish(int port);
  // A stop by the watchdog or the abort button: true when it decided the
  // port's end, and the worker's stop is then requested.
  bool Stop(int port);
  PortRunState State(int port) const;
  bool Running(int port) const { return State(port) == PortRunState::Running; }
  // Back to Idle once the stopped worker has gone (or for a port never run).
  void Reset(int port);

 private:
  struct Slot {
    std::atomic<PortRunState> state{PortRunState::Idle};
    std::mutex stopLock;  // the stop source is replaced by Begin while a late Stop may use it
    std::stop_source stop{std::nostopstate};
  };
  Slot* slot(int port);
  const Slot* slot(int port) const;

  std::array<Slot, kPortSlots> slots_;
};

// Marks a record stopped by its watchdog: error 31, shown item 31, failed,
// and nothing left to count.
void MarkTimedOut(PortRecord& record);
// Marks a record stopped by the abort button: item 5 failed, error 5, shown
// item 5, failed, nothing left to count.
void MarkAborted(PortRecord& record);

// The per-port watchdogs: timer id = port index + 1, on the port's time line.
// Arm and Kill run on the GUI thread; an expiry stops the worker at once
// (from the timer's thread) and hands the id to `expired`, whose caller
// applies it on the GUI thread through WMTimer.
class PortWatchdogs {
 public:
  PortWatchdogs(PortRunControl& control, std::function<void(int timerId)> expired);

  void Arm(int port, std::uint64_t periodMs);
  void Kill(int port);
  void KillAll();

  // The expiry of timer `id` on the GUI thread: a port whose stop this
  // watchdog decided is marked timed out; true when a record changed (the
  // board then needs a redraw). Ids of no port are ignored.
  bool WMTimer(int id, PortRecordTable& table, int portCount);

 private:
  PortRunControl& control_;
  std::function<void(int)> expired_;
  std::array<platform::clock::Timer, kPortSlots> timers_;
  // Set by the expiry that stopped the port, taken by WMTimer.
  std::array<std::atomic<bool>, kPortSlots> stoppedByWatchdog_{};
};

// The abort button: every running worker among the first `portCount` ports
// loses its watchdog and is stopped; its record is marked aborted. Ended
// ports keep their results. No redraw: the run engine redraws once no
// worker is left. Returns the number of ports stopped.
int SpeedButton9Click(PortRunControl& control, PortWatchdogs& watchdogs, PortRecordTable& table, int portCount,
                      std::vector<int>* stoppedPorts = nullptr);

}  // namespace fleetburn
