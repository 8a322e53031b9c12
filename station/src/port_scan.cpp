#include "station/port_scan.h"

#include <algorithm>
#include <cctype>
#include <span>
#include <utility>

#include "devlib/debug_print.h"
#include "devlib/drive_state.h"
#include "devlib/port_io.h"
#include "platform/debug.h"
#include "station/startup.h"

namespace fleetburn {
namespace {

std::string Lowered(std::string_view text) {
  std::string lower(text);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return lower;
}

// The device phase of one port, on a thread of its own. Each step runs under
// the port's work session, whose stop token ends a command that hangs; the
// path is set between them, as the transport cannot change under a session.
std::pair<int, std::uint32_t> ReadPortDevice(int port, std::stop_token stop) {
  const platform::debug::ScopedPort tag(port);
  int chipType = devlib::kChipTypeUnsupported;
  {
    const devlib::PortWork session = devlib::BeginPortWork(port, stop);
    if (!session) return {chipType, 0};
    chipType = devlib::GetBridgeChipType(port);
  }
  devlib::ApplyBridgePath(port, chipType);
  if (chipType == devlib::kChipTypeUnsupported || stop.stop_requested()) return {chipType, 0};
  const devlib::PortWork session = devlib::BeginPortWork(port, stop);
  if (!session) return {chipType, 0};
  devlib::SwitchVendorMode(port, true);  // its answer is not used
  return {chipType, devlib::GetCapacityMB(port)};
}

}  // namespace

// --- TaskQueue ---------------------------------------------------------------

void TaskQueue::post(std::function<void()> task) {
  {
    const std::lock_guard lock(mutex_);
    tasks_.push_back(std::move(task));
  }
  posted_.notify_all();
}

Post TaskQueue::poster() {
  return [this](std::function<void()> task) { post(std::move(task)); };
}

std::size_t TaskQueue::runPending() {
  std::size_t run = 0;
  while (true) {
    std::function<void()> task;
    {
      const std::lock_guard lock(mutex_);
      if (tasks_.empty()) return run;
      task = std::move(tasks_.front());
      tasks_.pop_front();
    }
    task();
    ++run;
  }
}

bool TaskQueue::runUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (true) {
    runPending();
    if (done()) return true;
    std::unique_lock lock(mutex_);
    if (!posted_.wait_until(lock, deadline, [this] { return !tasks_.empty(); })) return done();
  }
}

// --- Texts -------------------------------------------------------------------

std::string PathWordOf(int chipType) {
  if (devlib::IsSataBridgeType(chipType)) return "SATA";
  if (chipType == devlib::kChipTypeOwnUsb) return "USB";
  return {};
}

std::uint8_t BusTypeOf(const std::string& devicePath) {
  const std::string lower = Lowered(devicePath);
  if (lower.find("ide") != std::string::npos) return 1;
  if (lower.find("scsi") != std::string::npos) return 2;
  if (lower.find("usbstor") != std::string::npos) return 3;
  return 0;
}

std::string SerialPromptCaption(int port) { return "Please Input the SN (Port" + std::to_string(port + 1) + ")"; }

std::string UidPromptCaption(int port) {
  return "Please Input the WWN or UID(Port" + std::to_string(port + 1) + ")";
}

// --- PortScanner -------------------------------------------------------------

PortScanner::PortScanner(devlib::SettingsRecord& settings, platform::prompt::Prompt& prompt, Post applyOn,
                         ScanView* view)
    : settings_(settings),
      prompt_(prompt),
      applyOn_(std::move(applyOn)),
      view_(view),
      disks_(devlib::kUsbDiskListCapacity) {}

PortScanner::~PortScanner() { stopDevicePhases(); }

void PortScanner::stopDevicePhases() {
  stop_.request_stop();
  deviceThreads_.clear();  // joins
  scan_.reset();
  rescanWanted_ = false;
  focusWanted_ = false;
  runScanDone_ = nullptr;
  runScanActive_ = false;
  stop_ = std::stop_source();
}

void PortScanner::DisableStart() {
  startEnabled_ = false;
  if (view_ != nullptr) view_->setStartEnabled(false);
}

void PortScanner::attachBoard(PortBoard* board) { board_ = board; }

int PortScanner::EnumerateDevices() {
  walkedPorts_ = ScanHubPorts();
  const int bound = board_ != nullptr ? board_->panelCount() : static_cast<int>(kPortSlots);
  if (board_ != nullptr && walkedPorts_ > bound) {
    devlib::DebugPrint("The hub walk found %d ports; the board has %d, the others are ignored", walkedPorts_, bound);
  }
  PortCount = std::min(walkedPorts_, bound);
  diskCount_ = devlib::ScanUsbDisks(disks_);
  return std::max(diskCount_, 0);
}

void PortScanner::RefreshPorts(bool restore) {
  if (scan_ != nullptr) {
    rescanWanted_ = true;  // merged: one more rescan when this one ends
    return;
  }
  beginScan(restore);
}

void PortScanner::RefreshPortsAndFocusStart() {
  focusWanted_ = true;
  RefreshPorts(false);
}

void PortScanner::RefreshBtnClick() { RefreshPortsAndFocusStart(); }

void PortScanner::RescanForRun(std::function<void(int disks)> done) {
  runScanDone_ = std::move(done);
  if (scan_ != nullptr) return;  // begun when the rescan in progress ends
  runScanActive_ = true;
  beginScan(true);
}

void PortScanner::ConnectionChkCmboxChange(int index) {
  settings_.ConnectDevNum = static_cast<std::uint8_t>(std::clamp(index, 0, static_cast<int>(kPortSlots)));
  RefreshBtnClick();
}

void PortScanner::beginScan(bool restore) {
  ++scansStarted_;
  pruneDeviceThreads();
  const std::unique_lock<std::recursive_mutex> lock =
      board_ != nullptr ? std::unique_lock(board_->access()) : std::unique_lock<std::recursive_mutex>();
  startEnabled_ = false;
  if (view_ != nullptr) view_->setStartEnabled(false);
  const int disks = EnumerateDevices();

  if (restore) {
    PortTable = ScanPortTable;
  } else {
    for (int port = 0; port < PortCount; ++port) {
      PortRecord& record = PortTable[static_cast<std::size_t>(port)];
      const PortRecord& scanned = ScanPortTable[static_cast<std::size_t>(port)];
      if (scanned.hubState != 0) {
        record.hubState = scanned.hubState;
        record.deviceInstanceId = scanned.deviceInstanceId;
        record.active = 0;
      } else {
        if (!ClearPortRecord(port)) record = PortRecord{};  // the library's side stays with its live worker
        if (board_ != nullptr) board_->ClearPanel(port);
      }
    }
  }

  if (disks == 0) {
    ActivePortCount = 0;
    if (board_ != nullptr) board_->UpdateDrawPanel(PortTable, PortCount, settings_, runInProgress_);
    finishScan();
    return;
  }

  scan_ = std::make_shared<Scan>();
  scan_->ports.resize(static_cast<std::size_t>(PortCount));
  presentCount_ = 0;
  activeCount_ = 0;
  const auto listed = std::span(disks_).first(static_cast<std::size_t>(diskCount_));
  for (int port = 0; port < PortCount; ++port) {
    const PortRecord& record = PortTable[static_cast<std::size_t>(port)];
    PortStep& step = scan_->ports[static_cast<std::size_t>(port)];
    if (record.hubState != 1) continue;
    step.present = true;
    ++presentCount_;
    const std::optional<std::size_t> disk = devlib::FindUnusedDiskOfDevice(listed, record.deviceInstanceId);
    if (!disk) continue;
    matchPort(port, *disk);
    step.matched = devlib::SetPortTransport(port, record.devicePath, 1, 0);
    if (step.matched) ++scan_->remaining;
  }
  // Every thread starts once the plan stands, so that a quick result cannot
  // find it half made.
  for (int port = 0; port < PortCount; ++port) {
    if (scan_->ports[static_cast<std::size_t>(port)].matched) startDevicePhase(port);
  }
  scan_->patience = platform::clock::startTimer(
      kStationTimeLine, kScanPatienceMs, [this, post = applyOn_, scan = std::weak_ptr<Scan>(scan_)] {
        post([this, scan] {
          const std::shared_ptr<Scan> current = scan.lock();
          if (current == nullptr || current != scan_) return;
          current->patienceOver = true;
          applyReady();
        });
      });
  applyReady();
}

void PortScanner::matchPort(int port, std::size_t disk) {
  devlib::UsbDiskRecord& found = disks_[disk];
  PortRecord& record = PortTable[static_cast<std::size_t>(port)];
  record.devicePath = found.devicePath;
  record.diskDevInst = found.diskNode;
  record.usbDevInst = found.parentNode;
  found.used = true;
}

void PortScanner::startDevicePhase(int port) {
  auto done = std::make_shared<std::atomic<bool>>(false);
  const std::weak_ptr<Scan> scan = scan_;
  std::jthread thread([this, port, scan, done, stop = stop_.get_token(), post = applyOn_] {
    const auto [chipType, capacityMB] = ReadPortDevice(port, stop);
    post([this, scan, port, result = DeviceResult{chipType, capacityMB}] {
      // A scanner gone (or stopped) leaves its scan expired: nothing to do.
      if (const std::shared_ptr<Scan> current = scan.lock()) deviceResult(current, port, result);
    });
    *done = true;
  });
  deviceThreads_.push_back({std::move(done), std::move(thread)});
}

void PortScanner::deviceResult(const std::shared_ptr<Scan>& scan, int port, DeviceResult result) {
  if (scan != scan_) return;
  scan->ports[static_cast<std::size_t>(port)].result = result;
  applyReady();
}

// A prompt's own message loop may bring further results (or a stop) while a
// port is applied: the outer call picks them up, in port order again.
void PortScanner::applyReady() {
  const std::shared_ptr<Scan> scan = scan_;
  if (scan == nullptr || applying_) return;
  {
    const std::unique_lock<std::recursive_mutex> lock =
        board_ != nullptr ? std::unique_lock(board_->access()) : std::unique_lock<std::recursive_mutex>();
    applying_ = true;
    bool changed = false;
    for (bool progress = true; progress && scan == scan_;) {
      progress = false;
      for (int port = 0; port < static_cast<int>(scan->ports.size()) && scan == scan_; ++port) {
        PortStep& step = scan->ports[static_cast<std::size_t>(port)];
        if (step.applied) continue;
        if (step.matched && !step.result) {
          if (scan->patienceOver) continue;
          break;  // the ports after it wait their turn
        }
        step.applied = true;
        applyPort(port, step);
        if (step.matched) --scan->remaining;
        progress = changed = true;
      }
    }
    applying_ = false;
    if (scan != scan_) return;
    if (changed && scan->remaining > 0 && board_ != nullptr) {
      board_->UpdateDrawPanel(PortTable, PortCount, settings_, runInProgress_);
    }
  }
  if (scan->remaining == 0) {
    if (board_ != nullptr) board_->UpdateDrawPanel(PortTable, PortCount, settings_, runInProgress_);
    ActivePortCount = activeCount_;
    scan_.reset();
    finishScan();
  }
}

void PortScanner::applyPort(int port, const PortStep& step) {
  PortRecord& record = PortTable[static_cast<std::size_t>(port)];
  if (step.matched) {
    record.chipType = static_cast<std::uint8_t>(step.result->chipType);
    SelectPortPath(port);
    if (record.chipType != 0 && !runScanActive_) askBarcodes(port);
  }
  if (record.chipType == 0) {
    record.active = 0;
    return;
  }
  record.active = 1;
  ++activeCount_;
  if (!step.matched) return;
  if (const std::uint8_t bus = BusTypeOf(record.devicePath); bus != 0) record.busType = bus;
  record.capacityMB = step.result->capacityMB;
}

void PortScanner::SelectPortPath(int port) {
  if (port < 0 || port >= PortCount) return;
  const int chipType = PortTable[static_cast<std::size_t>(port)].chipType;
  const std::string word = PathWordOf(chipType);
  if (!word.empty()) {
    const platform::debug::ScopedPort tag(port);
    devlib::DebugPrint("%s PATH", word.c_str());
    pathWord_ = word;
  }
  if (view_ != nullptr) view_->setCaption(ShowCaptionString(pathWord_));
  if ((chipType == 1 || chipType == 14) && options_ != nullptr) options_->sataBusMode = 1;
}

void PortScanner::askBarcodes(int port) {
  PortRecord& record = PortTable[static_cast<std::size_t>(port)];
  if (settings_.EnBarCode != 0 && record.serialNumber.empty()) {
    const std::string typed = askSerial(port, SerialPromptCaption(port), "Serial Number",
                                        devlib::FixedText<40>::kCapacity, false);
    BarcodeSerials[static_cast<std::size_t>(port)].assign(typed);
    record.serialNumber.assign(typed);
  }
  if (settings_.EnBarCodeWWN != 0 && record.uniqueId.empty()) {
    const std::string typed =
        askSerial(port, UidPromptCaption(port), "WWN or UID", devlib::FixedText<18>::kCapacity, true);
    BarcodeUids[static_cast<std::size_t>(port)].assign(typed);
    record.uniqueId.assign(typed);
  }
}

// A rescan asked for from the prompt's own message loop is merged into one
// more after this one, like any asked for while a rescan runs. A cancel (or
// an empty text) leaves the port without one; a text too long
// for its field, or one another port holds already, is refused and asked again.
std::string PortScanner::askSerial(int port, std::string_view caption, std::string_view label,
                                   std::size_t capacity, bool uid) {
  while (true) {
    const std::optional<std::string> typed = prompt_.input(caption, label, "");
    if (!typed || typed->empty()) return {};
    if (typed->size() > capacity) {
      prompt_.message(std::string(label) + " is longer than " + std::to_string(capacity) + " characters.");
      continue;
    }
    int holder = -1;
    for (int other = 0; other < PortCount && holder < 0; ++other) {
      const PortRecord& record = PortTable[static_cast<std::size_t>(other)];
      if (other != port && (uid ? record.uniqueId.view() : record.serialNumber.view()) == *typed) holder = other;
    }
    if (holder < 0) return *typed;
    prompt_.message(std::string(label) + " " + *typed + " is already given to port " + std::to_string(holder + 1) +
                    ".");
  }
}

void PortScanner::finishScan() {
  if (std::exchange(runScanActive_, false)) {
    rescanWanted_ = focusWanted_ = false;  // the run's rescan is the newest
    std::exchange(runScanDone_, nullptr)(std::max(diskCount_, 0));
    return;
  }
  if (runScanDone_) {
    runScanActive_ = true;
    beginScan(true);
    return;
  }
  startEnabled_ = diskCount_ > 0 && StartAllowed(supportFilesOk_, settings_.ConnectDevNum, activeCount_);
  if (view_ != nullptr) view_->setStartEnabled(startEnabled_);
  if (std::exchange(rescanWanted_, false)) {
    RefreshPorts(false);
    return;
  }
  if (std::exchange(focusWanted_, false) && startEnabled_ && view_ != nullptr) view_->focusStart();
}

void PortScanner::pruneDeviceThreads() {
  std::erase_if(deviceThreads_, [](const DeviceThread& t) { return t.done->load(); });
}

}  // namespace fleetburn
