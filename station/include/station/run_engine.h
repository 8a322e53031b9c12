#pragma once
// The production run, on the GUI thread, as a state machine: START hands it
// what it captured; the engine rescans the line (off the GUI thread), picks
// the active ports, and either does the RD page's one table operation on the
// first of them or starts one worker thread per active port. Each worker
// works on its own copy of its port's record and sends copies of what
// changed; the engine applies them while the port still runs. A port ends
// once: its worker's own end, its watchdog (code 31) or the abort button
// (code 5), whichever comes first. When every port has ended, the
// end-of-run steps follow: the result log, the reports, the counters, the
// serial numbers to reuse, the claim-new end and the capture.
//
// Nothing here waits: the engine moves on when a task posted to the GUI
// thread tells it something happened.

#include <array>
#include <chrono>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "devlib/port_buffers.h"
#include "devlib/settings_record.h"
#include "platform/prompt.h"
#include "station/port_board.h"
#include "station/port_record.h"
#include "station/port_scan.h"
#include "station/port_stop.h"
#include "devlib/fat32_format.h"
#include "station/result_log.h"
#include "station/run_identifiers.h"
#include "station/run_snapshot.h"
#include "station/table_mode.h"

namespace fleetburn {

// What a worker shows while it runs: a copy of its record, the caption and
// the gauge of its panel.
struct PortShow {
  PortRecord record;
  std::string caption;
  int gauge = 0;
};

// What a worker gets: its port, the run, its own copy of the port's record,
// its stop token, its buffers (held as long as it runs) and where to send
// what it shows. It returns its final record.
struct WorkerStart {
  int port = 0;
  std::shared_ptr<const RunSnapshot> run;
  PortRecord record;
  std::stop_token stop;
  std::shared_ptr<devlib::PortBuffers> buffers;
  std::function<void(const PortShow&)> show;
};
using WorkerRoutine = std::function<PortRecord(WorkerStart&)>;

// What the engine tells the window; every call comes on the GUI thread.
class RunView {
 public:
  virtual ~RunView() = default;
  virtual void showWait(bool shown) = 0;  // the wait panel and its animation
  virtual void showElapsed(const std::string& text) = 0;
  virtual void showNextIdentifiers(const std::string& serial, const std::string& uid) = 0;
  // The capture of the window in the foreground, as a JPEG picture named
  // by the run's end time.
  virtual void capture(const devlib::LocalTime& end) = 0;
};

// What START hands the engine.
struct RunRequest {
  std::shared_ptr<const RunSnapshot> run;
  bool tableMode = false;  // TableModeFlag
  TableRequest table;      // its operation
  IdentifierRules identifiers;
  bool singleExecuteResult = false;  // the command line's SingleExecuteResult
  bool captureAppImage = false;      // the command line's CaptureAppImage
};

struct RunOutcome {
  int result = 0;             // RunProduction's: 0 when the ports did not do for a run
  bool closeProgram = false;  // the claim-new end: "Rebuild O.K., Close the AP"
};

// What the end-of-run writer gets: the run's active ports (their records
// are in PortTable) and its times.
struct RunEnd {
  const RunSnapshot& run;
  const std::vector<int>& activePorts;
  // Ports stopped by their watchdog or the abort button: their detail
  // buffers hold nothing of this run.
  const std::array<bool, kPortSlots>& stopped;
  devlib::LocalTime start;
  devlib::LocalTime end;
  bool singleExecuteResult = false;
};

struct RunEngineParts {
  PortScanner& scanner;
  PortBoard* board = nullptr;
  PortRunControl& control;
  PortWatchdogs& watchdogs;
  devlib::SettingsRecord& settings;  // the program's: counters, the current serial and UID
  platform::prompt::Prompt& prompt;
  Post gui;  // the GUI thread's queue
  // A task for a later turn of the GUI thread's loop, after what is due now
  // (timers, painting); the queue itself when empty.
  Post nextTurn;
  RunView* view = nullptr;
  WorkerRoutine worker;
  // The result log, the single-run log and the error reports; false when
  // the result log could not be written (it has said so), which ends the
  // end-of-run steps there.
  std::function<bool(const RunEnd&)> writeRecords;
  std::function<void()> saveCounters;  // VADID.log
  std::function<devlib::LocalTime()> wallClock;
};

class RunEngine {
 public:
  explicit RunEngine(RunEngineParts parts);
  // Stops what still runs and waits for the workers, a bounded time.
  ~RunEngine();
  RunEngine(const RunEngine&) = delete;
  RunEngine& operator=(const RunEngine&) = delete;

  // START's call. `done` comes once, on the GUI thread, when the run (or
  // its refusal) is over; possibly before this returns.
  void RunProduction(RunRequest request, std::function<void(RunOutcome)> done);
  bool running() const { return phase_ != Phase::Idle; }

  // A watchdog's expiry on the GUI thread.
  void WMTimer(int timerId);
  // The abort button: every running port is stopped with code 5.
  void SpeedButton9Click();
  // The window closes: every running port is stopped as by the abort
  // button; the end-of-run steps then run as usual.
  void stopAll();
  // The workers still alive, told to stop, are waited for up to `bound`;
  // true when none is left.
  bool joinWorkers(std::chrono::milliseconds bound);

  int PresentCount() const { return presentCount_; }
  int ActiveCount() const { return activeCount_; }
  // The serial numbers to hand out again, first first.
  const fleetburn::SnReuseQueue& SnReuseQueue() const { return snReuseQueue_; }

 private:
  enum class Phase { Idle, Rescanning, TableOperation, Working };

  struct WorkerThread {
    std::future<void> ended;  // ready once the thread has let go of the port
    std::jthread thread;
    bool alive() const;
  };
  // The latest show of a port not yet applied: the shows of a busy port
  // are folded into one task.
  struct Mailbox {
    std::mutex lock;
    std::optional<PortShow> show;
  };

  void rescanned(int disks);
  bool workersGone(const std::vector<int>& ports);
  void runTableOperation();
  void tableOperationEnded(int port, const std::string& message, bool own);
  void startWorkers();
  void startNextLater();
  void startQueued(int port);
  bool startWorker(int port);
  template <typename Body>
  void launch(int port, Body body);
  void posted(int port);
  void joinEnded(int port);
  void workerEnded(int port, const PortRecord& record, bool own);
  void portDecided(int port);
  void finishRun();
  void finish(RunOutcome outcome);
  void redraw();

  RunEngineParts parts_;
  Phase phase_ = Phase::Idle;
  RunRequest request_;
  std::function<void(RunOutcome)> done_;
  int presentCount_ = 0;
  int activeCount_ = 0;
  std::vector<int> activePorts_;
  std::vector<int> pending_;  // ports of the run not yet decided
  std::array<bool, kPortSlots> stopped_{};
  bool aborting_ = false;  // the abort button (or the close) came during this run
  std::size_t nextToStart_ = 0;  // of activePorts_
  devlib::LocalTime startTime_{};
  std::uint64_t startMs_ = 0;
  fleetburn::SnReuseQueue snReuseQueue_;

  std::array<WorkerThread, kPortSlots> WorkerThreads;
  std::array<std::shared_ptr<Mailbox>, kPortSlots> mailboxes_;
  // Guards the posts of threads that outlive the engine.
  std::shared_ptr<std::atomic<bool>> alive_ = std::make_shared<std::atomic<bool>>(true);
};

}  // namespace fleetburn
