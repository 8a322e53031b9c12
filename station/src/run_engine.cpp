#include "station/run_engine.h"

#include <algorithm>
#include <cstdio>
#include <utility>

#include "devlib/debug_print.h"
#include "devlib/fat32_format.h"
#include "devlib/flash_params.h"
#include "devlib/port_io.h"
#include "platform/clock.h"
#include "platform/debug.h"
#include "station/elapsed_time.h"
#include "station/test_items.h"

namespace fleetburn {
namespace {

constexpr int kFormatOpenRetriesPerPort = 5;
constexpr std::uint64_t kDefaultTimeOutMs = 300000;
constexpr std::chrono::seconds kJoinAtEnd(10);
constexpr int kDownloadItem = 6;


}  // namespace

bool RunEngine::WorkerThread::alive() const {
  return ended.valid() && ended.wait_for(std::chrono::seconds(0)) != std::future_status::ready;
}

RunEngine::RunEngine(RunEngineParts parts) : parts_(std::move(parts)) {
  for (std::shared_ptr<Mailbox>& mailbox : mailboxes_) mailbox = std::make_shared<Mailbox>();
}

RunEngine::~RunEngine() {
  *alive_ = false;
  for (int port = 0; port < static_cast<int>(kPortSlots); ++port) {
    if (WorkerThreads[static_cast<std::size_t>(port)].alive()) parts_.control.Stop(port);
  }
  joinWorkers(kJoinAtEnd);
}

void RunEngine::RunProduction(RunRequest request, std::function<void(RunOutcome)> done) {
  if (phase_ != Phase::Idle) {
    done(RunOutcome{});
    return;
  }
  // Two workers on one drive would spoil it: a port whose last worker has
  // not let go yet keeps the whole line waiting, before the rescan rewrites
  // any record.
  for (int port = 0; port < static_cast<int>(kPortSlots); ++port) {
    if (!WorkerThreads[static_cast<std::size_t>(port)].alive() && !devlib::PortWorkerAlive(port)) continue;
    parts_.prompt.message("Port " + std::to_string(port + 1) +
                          " is still ending its last run. Press START again once it has stopped.");
    done(RunOutcome{1, false});
    return;
  }
  request_ = std::move(request);
  done_ = std::move(done);
  phase_ = Phase::Rescanning;
  parts_.scanner.RescanForRun([this, alive = alive_](int disks) {
    if (*alive) rescanned(disks);
  });
}

void RunEngine::rescanned(int disks) {
  if (phase_ != Phase::Rescanning) return;
  const devlib::SettingsRecord& settings = request_.run->settings;
  if (disks == 0) {
    parts_.prompt.message("Please Make sure the Connection devices Number!");
    finish(RunOutcome{});
    return;
  }
  startTime_ = parts_.wallClock();
  startMs_ = platform::clock::nowMs(kStationTimeLine);
  presentCount_ = parts_.scanner.PresentCount();
  activePorts_.clear();
  for (int port = 0; port < PortCount; ++port) {
    if (PortTable[static_cast<std::size_t>(port)].active != 0) activePorts_.push_back(port);
  }
  activeCount_ = static_cast<int>(activePorts_.size());
  if (activeCount_ == 0 || (settings.ConnectDevNum != 0 && settings.ConnectDevNum != activeCount_)) {
    parts_.prompt.message("Please Make sure the Connection devices Number!!");
    finish(RunOutcome{});
    return;
  }
  if (!request_.tableMode && settings.EnBarCode != 0) {
    for (const int port : activePorts_) {
      if (!BarcodeSerials[static_cast<std::size_t>(port)].empty()) continue;
      parts_.prompt.message("Port " + std::to_string(port + 1) + " has no barcode serial number, please scan it again!");
      finish(RunOutcome{});
      return;
    }
  }
  devlib::FormatOpenRetries = kFormatOpenRetriesPerPort * activeCount_;
  if (request_.tableMode) {
    runTableOperation();
  } else {
    startWorkers();
  }
}

template <typename Body>
void RunEngine::launch(int port, Body body) {
  std::promise<void> ended;
  WorkerThread& slot = WorkerThreads[static_cast<std::size_t>(port)];
  slot.ended = ended.get_future();
  slot.thread = std::jthread([port, body = std::move(body), ended = std::move(ended)]() mutable {
    {
      const platform::clock::ScopedTimeLine line(PortTimeLine(port));
      const platform::debug::ScopedPort tag(port);
      body();
    }
    ended.set_value();
  });
}

void RunEngine::runTableOperation() {
  phase_ = Phase::TableOperation;
  const int port = activePorts_.front();
  const std::stop_token stop = parts_.control.Begin(port);
  devlib::PortWork work = devlib::BeginPortWork(port, stop);
  std::shared_ptr<devlib::PortBuffers> buffers = devlib::PortBuffersOf(port);
  if (!stop.stop_possible() || !work || buffers == nullptr) {
    parts_.control.Finish(port);
    devlib::DebugPrint("Port %d could not be opened for the table operation", port + 1);
    finish(RunOutcome{1, false});
    return;
  }
  launch(port, [this, port, stop, work = std::move(work), buffers = std::move(buffers), table = request_.table,
                post = parts_.gui, control = &parts_.control, alive = alive_]() mutable {
    std::string message;
    {
      const devlib::PortWork session = std::move(work);
      message = RunTableOperation(port, buffers->workBuffer1(), table,
                                  [](std::string_view line) { std::fwrite(line.data(), 1, line.size(), stdout); },
                                  stop);
    }
    const bool own = control->Finish(port);
    post([this, alive, port, message, own] {
      if (*alive) tableOperationEnded(port, message, own);
    });
  });
}

void RunEngine::tableOperationEnded(int port, const std::string& message, bool own) {
  joinEnded(port);
  if (!own) parts_.control.Reset(port);
  if (phase_ != Phase::TableOperation) return;
  // A stopped operation says nothing: the board shows the stop.
  if (own && !message.empty()) parts_.prompt.message(message);
  redraw();
  finish(RunOutcome{1, false});
}

void RunEngine::startWorkers() {
  phase_ = Phase::Working;
  if (parts_.view != nullptr) parts_.view->showWait(true);
  devlib::SettingsRecord& settings = parts_.settings;
  std::deque<std::string> reuse = snReuseQueue_.Unread();
  const std::size_t unread = reuse.size();
  const std::vector<PortIdentifiers> identifiers =
      AssignIdentifiers(activePorts_, request_.identifiers, settings.SerialNum, settings.UID, BarcodeSerials,
                        BarcodeUids, reuse);
  snReuseQueue_.MarkRead(unread - reuse.size());
  for (const PortIdentifiers& given : identifiers) {
    PortRecord& record = PortTable[static_cast<std::size_t>(given.port)];
    AssignUtf8Truncated(record.serialNumber, given.serialNumber);
    AssignUtf8Truncated(record.uniqueId, given.uniqueId);
  }
  pending_ = activePorts_;
  stopped_.fill(false);
  aborting_ = false;
  redraw();
  nextToStart_ = 0;
  startNextLater();
}

// One port a turn of the GUI thread's loop: starting 50 threads in one go
// would hold the window up for tens of milliseconds.
void RunEngine::startNextLater() {
  if (nextToStart_ >= activePorts_.size()) return;
  const Post& later = parts_.nextTurn ? parts_.nextTurn : parts_.gui;
  later([this, alive = alive_] {
    if (!*alive || phase_ != Phase::Working || nextToStart_ >= activePorts_.size()) return;
    startQueued(activePorts_[nextToStart_++]);
    startNextLater();
  });
}

void RunEngine::startQueued(int port) {
  if (std::find(pending_.begin(), pending_.end(), port) == pending_.end()) return;
  if (aborting_) {
    // The run was aborted before this port's turn came: it never starts.
    MarkAborted(PortTable[static_cast<std::size_t>(port)]);
    stopped_[static_cast<std::size_t>(port)] = true;
    redraw();
    portDecided(port);
    return;
  }
  if (!startWorker(port)) {
    devlib::DebugPrint("Port %d: its worker could not be started", port + 1);
    PortTable[static_cast<std::size_t>(port)].finalResult = kResultFail;
    redraw();
    portDecided(port);
  }
}

bool RunEngine::startWorker(int port) {
  const std::stop_token stop = parts_.control.Begin(port);
  if (!stop.stop_possible()) return false;
  devlib::PortWork work = devlib::BeginPortWork(port, stop);
  std::shared_ptr<devlib::PortBuffers> buffers = devlib::PortBuffersOf(port);
  if (!work || buffers == nullptr) {
    parts_.control.Finish(port);
    return false;
  }
  devlib::StartPortFlashParams(port);
  const std::uint32_t timeOut = request_.run->settings.TimeOut;
  parts_.watchdogs.Arm(port, timeOut == 0 ? kDefaultTimeOutMs : timeOut);

  WorkerStart start{port, request_.run, PortTable[static_cast<std::size_t>(port)], stop, std::move(buffers), nullptr};
  start.show = [this, port, mailbox = mailboxes_[static_cast<std::size_t>(port)], post = parts_.gui,
                alive = alive_](const PortShow& show) {
    bool first = false;
    {
      const std::lock_guard lock(mailbox->lock);
      first = !mailbox->show.has_value();
      mailbox->show = show;
    }
    if (first) {
      post([this, port, alive] {
        if (*alive) posted(port);
      });
    }
  };
  launch(port, [this, port, start = std::move(start), work = std::move(work), worker = parts_.worker,
                post = parts_.gui, control = &parts_.control, alive = alive_]() mutable {
    PortRecord record;
    {
      const devlib::PortWork session = std::move(work);
      record = worker(start);
    }
    const bool own = control->Finish(port);
    post([this, alive, port, record, own] {
      if (*alive) workerEnded(port, record, own);
    });
  });
  return true;
}

void RunEngine::posted(int port) {
  std::optional<PortShow> show;
  {
    Mailbox& mailbox = *mailboxes_[static_cast<std::size_t>(port)];
    const std::lock_guard lock(mailbox.lock);
    show.swap(mailbox.show);
  }
  // A port stopped or ended keeps what was decided for it.
  if (!show || !parts_.control.Running(port)) return;
  // A port is counted once, from its worker's end: a show of its last
  // results arriving before that end must not be counted on its own.
  show->record.countResult = 0;
  PortTable[static_cast<std::size_t>(port)] = show->record;
  if (parts_.board != nullptr) {
    parts_.board->SetCaption(port, show->caption);
    parts_.board->SetGauge(port, show->gauge);
  }
}

// The thread told its end as its last act: it has let go of the port and
// is exiting, so the join is a matter of moments. A START right after the
// run then finds no worker alive.
void RunEngine::joinEnded(int port) {
  WorkerThread& slot = WorkerThreads[static_cast<std::size_t>(port)];
  if (slot.thread.joinable()) slot.thread.join();
}

void RunEngine::workerEnded(int port, const PortRecord& record, bool own) {
  joinEnded(port);
  if (own) {
    parts_.watchdogs.Kill(port);
    PortTable[static_cast<std::size_t>(port)] = record;
    if (parts_.board != nullptr) parts_.board->SetGauge(port, 100);
    redraw();
    portDecided(port);
    return;
  }
  // Stopped: by the abort button (decided then), or by its watchdog, whose
  // expiry may still be on its way here.
  parts_.control.Reset(port);
  WMTimer(PortTimerIds[static_cast<std::size_t>(port)]);
}

void RunEngine::WMTimer(int timerId) {
  if (!parts_.watchdogs.WMTimer(timerId, PortTable, PortCount)) return;
  const int port = timerId - PortTimerIds[0];
  stopped_[static_cast<std::size_t>(port)] = true;
  redraw();
  portDecided(port);
}

void RunEngine::SpeedButton9Click() {
  if (phase_ == Phase::Working) aborting_ = true;  // the ports whose turn has not come start no more
  std::vector<int> stopped;
  fleetburn::SpeedButton9Click(parts_.control, parts_.watchdogs, PortTable, PortCount, &stopped);
  for (const int port : stopped) {
    stopped_[static_cast<std::size_t>(port)] = true;
    portDecided(port);
  }
}

void RunEngine::stopAll() {
  switch (phase_) {
    case Phase::Idle:
      return;
    case Phase::Rescanning:
      parts_.scanner.stopDevicePhases();
      finish(RunOutcome{});
      return;
    case Phase::TableOperation:
      parts_.control.Stop(activePorts_.front());
      return;
    case Phase::Working:
      SpeedButton9Click();
      return;
  }
}

namespace {

// One line per port as it ends, for whoever watches the line's output.
void ReportPortEnd(int port, const PortRecord& record) {
  std::string line = "Port " + std::to_string(port + 1) + " ended: " + std::string(record.serialNumber.view()) + " " +
                     std::string(ResultWord(record.finalResult));
  if (record.finalResult == kResultFail) {
    const TestItem& item = TestItemOf(static_cast<int>(record.errorCode));
    line += ", error " + std::to_string(record.errorCode) + " (" +
            std::string(item.itemName.empty() ? item.failText : item.itemName) + ")";
  }
  platform::debug::output(line);
}

}  // namespace

void RunEngine::portDecided(int port) {
  const auto found = std::find(pending_.begin(), pending_.end(), port);
  if (found == pending_.end()) return;
  pending_.erase(found);
  ReportPortEnd(port, PortTable[static_cast<std::size_t>(port)]);
  if (pending_.empty() && phase_ == Phase::Working) finishRun();
}

void RunEngine::redraw() {
  if (parts_.board == nullptr) return;
  parts_.board->UpdateDrawPanel(PortTable, PortCount, parts_.settings, phase_ == Phase::Working);
}

void RunEngine::finishRun() {
  for (const int port : activePorts_) parts_.watchdogs.Kill(port);
  devlib::SettingsRecord& settings = parts_.settings;
  if (parts_.view != nullptr) {
    parts_.view->showWait(false);
    parts_.view->showNextIdentifiers(settings.SerialNum.str(), settings.UID.str());
  }
  const devlib::LocalTime end = parts_.wallClock();
  const RunEnd runEnd{*request_.run, activePorts_, stopped_, startTime_, end, request_.singleExecuteResult};
  const bool written = !parts_.writeRecords || parts_.writeRecords(runEnd);
  const std::uint64_t elapsedMs = platform::clock::nowMs(kStationTimeLine) - startMs_;
  if (parts_.view != nullptr) {
    parts_.view->showElapsed(
        ElapsedTimeText(std::chrono::duration_cast<std::chrono::seconds>(std::chrono::milliseconds(elapsedMs))));
  }
  phase_ = Phase::Idle;  // the last redraw shows the run's results, not its gauges
  redraw();
  // The counters go to disk after every run, so that a crash loses none.
  if (parts_.saveCounters) parts_.saveCounters();
  if (!written) {
    finish(RunOutcome{1, false});
    return;
  }
  if (request_.run->settings.SNErrReuse != 0) {
    // The serials of failed downloads go out again first, before the ones
    // this run left unread.
    std::vector<std::string> failed;
    for (const int port : activePorts_) {
      const PortRecord& record = PortTable[static_cast<std::size_t>(port)];
      if (record.itemResult[kDownloadItem] == kResultFail && !record.serialNumber.empty()) {
        failed.push_back(record.serialNumber.str());
      }
    }
    for (const std::string& lost : snReuseQueue_.Requeue(failed)) {
      devlib::DebugPrint("The serial number %s does not fit the reuse queue and is not handed out again", lost.c_str());
    }
  }
  RunOutcome outcome{1, false};
  if (request_.run->claimNew && request_.run->rebuildCloseChk &&
      PortTable[static_cast<std::size_t>(activePorts_.front())].finalResult == kResultPass) {
    parts_.prompt.message("Rebuild O.K., Close the AP");
    outcome.closeProgram = true;
  }
  if (request_.captureAppImage && parts_.view != nullptr) parts_.view->capture(end);
  finish(outcome);
}

void RunEngine::finish(RunOutcome outcome) {
  phase_ = Phase::Idle;
  if (std::function<void(RunOutcome)> done = std::exchange(done_, nullptr)) done(outcome);
}

bool RunEngine::joinWorkers(std::chrono::milliseconds bound) {
  const auto deadline = std::chrono::steady_clock::now() + bound;
  bool allGone = true;
  for (int port = 0; port < static_cast<int>(kPortSlots); ++port) {
    WorkerThread& slot = WorkerThreads[static_cast<std::size_t>(port)];
    if (!slot.thread.joinable()) continue;
    if (slot.ended.valid() && slot.ended.wait_until(deadline) != std::future_status::ready) {
      // A drive that does not answer even a stop: the thread is left to the
      // process's end rather than holding the window up.
      devlib::DebugPrint("Port %d: its worker has not stopped; left behind", port + 1);
      slot.thread.detach();
      allGone = false;
      continue;
    }
    slot.thread.join();
  }
  return allGone;
}

}  // namespace fleetburn
