#include "station/port_stop.h"

#include <algorithm>

#include "devlib/port_io.h"
#include "station/test_items.h"

namespace fleetburn {

std::string PortTimeLine(int port) { return "port " + std::to_string(port); }

PortRunControl::Slot* PortRunControl::slot(int port) {
  if (port < 0 || static_cast<std::size_t>(port) >= kPortSlots) return nullptr;
  return &slots_[static_cast<std::size_t>(port)];
}

const PortRunControl::Slot* PortRunControl::slot(int port) const {
  if (port < 0 || static_cast<std::size_t>(port) >= kPortSlots) return nullptr;
  return &slots_[static_cast<std::size_t>(port)];
}

std::stop_token PortRunControl::Begin(int port) {
  Slot* s = slot(port);
  if (s == nullptr || devlib::PortWorkerAlive(port)) return {};
  // A stopped port starts again only after Reset, once its worker is gone.
  PortRunState state = s->state.load();
  if (state != PortRunState::Idle && state != PortRunState::Ended) return {};
  const std::lock_guard lock(s->stopLock);
  s->stop = std::stop_source();
  if (!s->state.compare_exchange_strong(state, PortRunState::Running)) return {};
  return s->stop.get_token();
}

bool PortRunControl::Finish(int port) {
  Slot* s = slot(port);
  if (s == nullptr) return false;
  PortRunState running = PortRunState::Running;
  return s->state.compare_exchange_strong(running, PortRunState::Ended);
}

bool PortRunControl::Stop(int port) {
  Slot* s = slot(port);
  if (s == nullptr) return false;
  PortRunState running = PortRunState::Running;
  if (!s->state.compare_exchange_strong(running, PortRunState::Stopped)) return false;
  const std::lock_guard lock(s->stopLock);
  s->stop.request_stop();
  return true;
}

PortRunState PortRunControl::State(int port) const {
  const Slot* s = slot(port);
  return s == nullptr ? PortRunState::Idle : s->state.load();
}

void PortRunControl::Reset(int port) {
  Slot* s = slot(port);
  if (s == nullptr) return;
  PortRunState state = s->state.load();
  if (state != PortRunState::Running) s->state.compare_exchange_strong(state, PortRunState::Idle);
}

void MarkTimedOut(PortRecord& record) {
  record.errorCode = kErrorTimeout;
  record.shownItem = kErrorTimeout;
  record.finalResult = kResultFail;
  record.countResult = 0;
}

void MarkAborted(PortRecord& record) {
  record.itemResult[kErrorAborted] = kResultFail;
  record.errorCode = kErrorAborted;
  record.finalResult = kResultFail;
  record.shownItem = kErrorAborted;
  record.countResult = 0;
}

PortWatchdogs::PortWatchdogs(PortRunControl& control, std::function<void(int timerId)> expired)
    : control_(control), expired_(std::move(expired)) {}

void PortWatchdogs::Arm(int port, std::uint64_t periodMs) {
  if (port < 0 || static_cast<std::size_t>(port) >= kPortSlots) return;
  const int id = PortTimerIds[static_cast<std::size_t>(port)];
  timers_[static_cast<std::size_t>(port)] =
      platform::clock::startTimer(PortTimeLine(port), periodMs, [this, port, id] {
        if (control_.Stop(port)) stoppedByWatchdog_[static_cast<std::size_t>(port)] = true;
        if (expired_) expired_(id);
      });
}

void PortWatchdogs::Kill(int port) {
  if (port < 0 || static_cast<std::size_t>(port) >= kPortSlots) return;
  timers_[static_cast<std::size_t>(port)].cancel();
}

void PortWatchdogs::KillAll() {
  for (platform::clock::Timer& timer : timers_) timer.cancel();
}

bool PortWatchdogs::WMTimer(int id, PortRecordTable& table, int portCount) {
  const int first = PortTimerIds[0];
  const int port = id - first;
  if (port < 0 || port >= portCount || static_cast<std::size_t>(port) >= kPortSlots) return false;
  Kill(port);
  if (!stoppedByWatchdog_[static_cast<std::size_t>(port)].exchange(false)) return false;
  MarkTimedOut(table[static_cast<std::size_t>(port)]);
  return true;
}

int SpeedButton9Click(PortRunControl& control, PortWatchdogs& watchdogs, PortRecordTable& table, int portCount,
                      std::vector<int>* stoppedPorts) {
  int stopped = 0;
  const int ports = std::min(portCount, static_cast<int>(kPortSlots));
  for (int port = 0; port < ports; ++port) {
    PortRecord& record = table[static_cast<std::size_t>(port)];
    if (record.active == 0 || !control.Running(port)) continue;
    watchdogs.Kill(port);
    if (!control.Stop(port)) continue;  // its watchdog or its own end came first
    MarkAborted(record);
    if (stoppedPorts != nullptr) stoppedPorts->push_back(port);
    ++stopped;
  }
  return stopped;
}

}  // namespace fleetburn
