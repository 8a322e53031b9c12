#pragma once
// The device scan: walks the hubs and lists the USB disks, matches each disk
// to the hub port whose device owns it, identifies its bridge, chooses the
// port's transport path, asks for barcodes when configured, decides which
// ports are active and whether START may run.
//
// The window never waits on a drive. A rescan runs in two phases:
// - the device phase, one thread per matched port: INQUIRY for the bridge
//   type, the path, vendor mode and the capacity, each under the port's work
//   session so that a stop ends a command that hangs;
// - the apply phase, on the thread `applyOn` hands tasks to (the GUI thread):
//   the PortTable writes and the prompts, port by port in port order. A port
//   whose drive has not answered kScanPatienceMs after the rescan began
//   holds up the ports after it no longer: it is applied when its device
//   phase ends (bounded by the command time-outs, or a stop).
// A rescan asked for while one runs (a hot-plug notice, Refresh) is merged
// into one more rescan after it.

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "devlib/flash_params.h"
#include "devlib/settings_record.h"
#include "devlib/usb_disk_scan.h"
#include "platform/clock.h"
#include "platform/prompt.h"
#include "station/port_board.h"
#include "station/port_record.h"

namespace fleetburn {

// The time line of the GUI thread's timers.
inline constexpr const char* kStationTimeLine = "station";
inline constexpr std::uint64_t kScanPatienceMs = 3000;

// Hands a task to the thread that owns the station's state.
using Post = std::function<void(std::function<void()>)>;

// Tasks run by one thread in the order posted: the GUI thread's queue of a
// program without an event loop (the headless run, tests).
class TaskQueue {
 public:
  void post(std::function<void()> task);
  Post poster();
  // Runs the tasks queued, and those they post, until none is left; the number run.
  std::size_t runPending();
  // Runs tasks as they come until `done` holds; false when `limit` of wall
  // time passed first (a safety net for tests: nothing here is timed).
  bool runUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = std::chrono::seconds(30));

 private:
  std::mutex mutex_;
  std::condition_variable posted_;
  std::deque<std::function<void()>> tasks_;
};

// What the scan tells the window besides the board. Calls come on the apply thread.
class ScanView {
 public:
  virtual ~ScanView() = default;
  virtual void setStartEnabled(bool enabled) = 0;
  virtual void setCaption(const std::string& caption) = 0;
  virtual void focusStart() = 0;
};

// The path word of a chip type for the caption: "SATA" for a SATA bridge,
// "USB" for the controller's own interface, empty (unchanged) otherwise.
std::string PathWordOf(int chipType);

// The bus type a device path names: 1 "ide", 2 "scsi", 3 "usbstor" (first
// match, any letter case), else 0 (unchanged).
std::uint8_t BusTypeOf(const std::string& devicePath);

// The barcode prompts' captions.
std::string SerialPromptCaption(int port);
std::string UidPromptCaption(int port);

class PortScanner {
 public:
  PortScanner(devlib::SettingsRecord& settings, platform::prompt::Prompt& prompt, Post applyOn,
              ScanView* view = nullptr);
  ~PortScanner();
  PortScanner(const PortScanner&) = delete;
  PortScanner& operator=(const PortScanner&) = delete;

  // The board built at start-up; from now on its size bounds every scan.
  void attachBoard(PortBoard* board);
  void setSupportFilesOk(bool ok) { supportFilesOk_ = ok; }
  // The running program's options, whose SataBusMode a bridge of type 1 or 14 sets.
  void setOptions(devlib::FlashParams* options) { options_ = options; }
  void setRunInProgress(bool running) { runInProgress_ = running; }

  // Clears ScanPortTable, walks the hubs and lists the USB disks. The number
  // of disks (0 when the disk scan fails); PortCount is the walk's total,
  // bounded by the board once one is attached.
  int EnumerateDevices();

  // A rescan: restore takes the scan table over whole, keep mode keeps each
  // present port's record. While a rescan runs, the request is merged into
  // one more rescan after it. The rescan's end may come later, from tasks
  // posted to the apply thread.
  void RefreshPorts(bool restore);
  // A keep-mode rescan that gives START the focus at its end when START may
  // run: the rescan timer's expiry, and Refresh.
  void RefreshPortsAndFocusStart();
  void RefreshBtnClick();
  // The rescan that begins a run: restore mode and no prompts, after the
  // rescan in progress if one runs. `done` gets the number of disks found,
  // on the apply thread, once every port is applied; START is left as the
  // run has it.
  void RescanForRun(std::function<void(int disks)> done);
  void ConnectionChkCmboxChange(int index);

  // The path choice of a matched port from its chip type: the debug line,
  // the caption's path word and, for types 1 and 14, SataBusMode 1. The
  // port's transport flags were set in the device phase.
  void SelectPortPath(int port);

  bool scanning() const { return scan_ != nullptr; }
  int PresentCount() const { return presentCount_; }
  int ActiveCount() const { return activeCount_; }
  // The port total of the last hub walk, before the board's bound.
  int WalkedPortCount() const { return walkedPorts_; }
  const std::string& pathWord() const { return pathWord_; }
  bool startEnabled() const { return startEnabled_; }
  // A device notice: START stays off until the next rescan ends.
  void DisableStart();
  // Rescans begun since construction.
  int scansStarted() const { return scansStarted_; }

  // Ends the device phases still running (the window closes) and waits for them.
  void stopDevicePhases();

 private:
  struct DeviceResult {
    int chipType = 0;
    std::uint32_t capacityMB = 0;
  };
  struct PortStep {
    bool present = false;
    bool matched = false;
    bool applied = false;
    std::optional<DeviceResult> result;  // set when the device phase has ended
  };
  struct Scan {
    std::vector<PortStep> ports;
    int remaining = 0;  // matched ports whose device phase has not been applied
    bool patienceOver = false;  // slow ports no longer hold up the ones after them
    platform::clock::Timer patience;
  };

  void beginScan(bool restore);
  void matchPort(int port, std::size_t disk);
  void startDevicePhase(int port);
  void deviceResult(const std::shared_ptr<Scan>& scan, int port, DeviceResult result);
  void applyReady();
  void applyPort(int port, const PortStep& step);
  void askBarcodes(int port);
  std::string askSerial(int port, std::string_view caption, std::string_view label, std::size_t capacity,
                        bool uid);
  void finishScan();
  void pruneDeviceThreads();

  devlib::SettingsRecord& settings_;
  platform::prompt::Prompt& prompt_;
  Post applyOn_;
  ScanView* view_;
  PortBoard* board_ = nullptr;
  devlib::FlashParams* options_ = nullptr;
  bool supportFilesOk_ = true;
  bool runInProgress_ = false;

  std::vector<devlib::UsbDiskRecord> disks_;
  int diskCount_ = 0;
  int walkedPorts_ = 0;
  int presentCount_ = 0;
  int activeCount_ = 0;
  std::string pathWord_ = "SATA";
  bool startEnabled_ = false;
  int scansStarted_ = 0;

  std::shared_ptr<Scan> scan_;  // the rescan in progress
  bool applying_ = false;
  bool rescanWanted_ = false;
  bool focusWanted_ = false;
  std::function<void(int)> runScanDone_;  // a run waits for its rescan
  bool runScanActive_ = false;

  struct DeviceThread {
    std::shared_ptr<std::atomic<bool>> done;
    std::jthread thread;
  };
  std::stop_source stop_;
  std::vector<DeviceThread> deviceThreads_;
};

}  // namespace fleetburn
