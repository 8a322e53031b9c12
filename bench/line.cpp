// The production line's throughput: the same item list on one port and on
// many ports of emulated drives that cost real time per command, as drives
// on a line do (0.5 ms a command, data at 40 MB/s). Each run opens
// Fleetburn's window on its line, in this process and headless, presses
// START and follows the run through the event loop to its end.
//
// It prints the wall time of each run and their ratio, the longest stall of
// the window's event loop during the many-port run, the peak resident memory
// and the time from the program's start to a ready window with the many
// ports. Every port must pass every item; exit status 1 names those that did
// not.
//
//   bench_line [--ports N] [--dir FOLDER] [--fast-clock]
//
// N is the many-port line (default 50). FOLDER receives a station folder per
// run and console.txt, what the runs write to standard output (the disk
// formatter's summaries), so that the figures stand alone (default: a fresh
// folder under TMPDIR). With --fast-clock the station's own waits (poll
// intervals, settle times) pass at once on a virtual clock and only the
// drives' latency costs real time: a quick check that the line still runs,
// whose times are not the benchmark's.

#include <sys/resource.h>
#include <unistd.h>

#include <QApplication>
#include <QEventLoop>
#include <QPushButton>
#include <QTimer>
#include <QWindow>
#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "devlib/port_buffers.h"
#include "devlib/port_io.h"
#include "drivesim/config.h"
#include "drivesim/line.h"
#include "platform/clock.h"
#include "platform/debug.h"
#include "platform/devices.h"
#include "platform/paths.h"
#include "platform/prompt.h"
#include "platform/storage.h"
#include "station/port_record.h"
#include "station_folder.h"
#include "ui/main_form.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr std::uint64_t kDriveSectors = 134217728;  // 64 GiB
constexpr std::uint64_t kMaxLba = 125829120;        // 60 GiB
constexpr int kBridgeChip = 7;
constexpr auto kRunLimit = std::chrono::minutes(20);
constexpr auto kReadyLimit = std::chrono::seconds(60);

constexpr fleetburn::tools::TestItemKey kItems[] = {
    {"EnFlashModule", 1}, {"EnSataTest", 0},  {"EnFlashTest", 0},    {"EnDramTest", 0},
    {"EnPreFormat", 1},   {"EnDownload", 1},  {"DownloadType", 2},   {"EnRWTest", 1},
    {"EnCheckTables", 1}, {"EnSetMaxLBA", 1}, {"SetMaxLBAValue", kMaxLba},
    {"EnFormat", 1},      {"EnCheckTemperature", 0},
};
struct Item {
  int number;
  const char* name;
};
constexpr Item kRunItems[] = {{1, "Flash Module Test"}, {5, "Preformat"},     {6, "Download"},   {8, "R/W Test"},
                              {9, "Check Tables"},      {10, "Set Max LBA"}, {11, "Disk Format"}};

double Seconds(Clock::duration span) { return std::chrono::duration<double>(span).count(); }
long long Milliseconds(Clock::duration span) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(span).count();
}

// The last lines the workers wrote, per port, to say why a port failed.
class PortTrace {
 public:
  static constexpr std::size_t kKept = 6;
  void add(std::optional<int> port, std::string_view text) {
    if (!port || *port < 0 || static_cast<std::size_t>(*port) >= fleetburn::kPortSlots) return;
    const std::lock_guard lock(mutex_);
    auto& lines = lines_[static_cast<std::size_t>(*port)];
    lines.emplace_back(text);
    if (lines.size() > kKept) lines.pop_front();
  }
  std::deque<std::string> of(int port) {
    const std::lock_guard lock(mutex_);
    return lines_[static_cast<std::size_t>(port)];
  }
  void clear() {
    const std::lock_guard lock(mutex_);
    for (auto& lines : lines_) lines.clear();
  }

 private:
  std::mutex mutex_;
  std::array<std::deque<std::string>, fleetburn::kPortSlots> lines_;
};

// No dialog is ever answered: the benchmark loads and saves nothing by hand.
class NoFileDialogs final : public fleetburn::FileDialogs {
 public:
  std::optional<fs::path> openFile(const fleetburn::FileDialogRequest&) override { return std::nullopt; }
  std::optional<fs::path> saveFile(const fleetburn::FileDialogRequest&) override { return std::nullopt; }
};

std::shared_ptr<drivesim::Line> BuildLine(int ports) {
  auto line = std::make_shared<drivesim::Line>();
  for (int n = 1; n <= ports; ++n) {
    char number[16];
    std::snprintf(number, sizeof number, "%04d", n);
    // Behind a SATA bridge, so that Set Max LBA reaches the drive.
    drivesim::DriveConfig drive = drivesim::DriveConfig::bridge(
        std::string("\\\\?\\usbstor#disk&ven_usb&prod_sata_bridge&rev_0100#") + number +
            "#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}",
        kBridgeChip, drivesim::DriveConfig::keyOfChipType(kBridgeChip));
    drive.serial = std::string("TV000000") + number;
    drive.worldWideName += static_cast<std::uint64_t>(n);
    drive.sectorCount = kDriveSectors;
    drive.loaderHeader = true;
    drive.optionBitsA = 0x20;
    drive.latency = drivesim::DriveConfig::Latency::device();
    line->addDrive(std::move(drive));
  }
  return line;
}

// Runs the event loop until `done` holds or `limit` has passed, with a tick
// every millisecond; `tick` sees the time between this tick and the last.
bool RunLoopUntil(const std::function<bool()>& done, Clock::duration limit,
                  const std::function<void(Clock::duration)>& tick = {}) {
  if (done()) return true;
  QEventLoop loop;
  QTimer timer;
  timer.setTimerType(Qt::PreciseTimer);
  const Clock::time_point deadline = Clock::now() + limit;
  Clock::time_point last = Clock::now();
  bool met = false;
  QObject::connect(&timer, &QTimer::timeout, [&] {
    const Clock::time_point now = Clock::now();
    if (tick) tick(now - last);
    last = now;
    met = done();
    if (met || now >= deadline) loop.quit();
  });
  timer.start(1);
  loop.exec();
  return met;
}

// One line, its station folder and its window.
class Station {
 public:
  Station(const fs::path& folder, int ports, PortTrace& trace) : folder_(folder), ports_(ports), trace_(trace) {}
  ~Station() {
    form_.reset();
    devlib::FreePortBuffers();
    platform::storage::installBackend(nullptr);
    platform::devices::installDeviceTree(nullptr);
    platform::prompt::installPrompt(nullptr);
  }

  // Builds the line and opens the window on it, up to the end of the first scan.
  bool open() {
    platform::paths::setProgramDirectory(folder_);
    platform::prompt::installPrompt(prompt_);
    drivesim::installLine(BuildLine(ports_));
    devlib::InitPortIoTable(devlib::ProgramKind::Fleetburn);
    form_ = std::make_unique<fleetburn::ui::TMainForm>(*prompt_, dialogs_);
    if (form_->Start("") != fleetburn::StartupStatus::Ready) return fail("the window did not start");
    if (!RunLoopUntil([&] { return !form_->scanner().scanning(); }, kReadyLimit)) {
      return fail("the first scan did not end");
    }
    form_->show();
    if (!RunLoopUntil([&] { return form_->windowHandle() != nullptr && form_->windowHandle()->isExposed(); },
                      kReadyLimit)) {
      return fail("the window never showed");
    }
    if (fleetburn::ActivePortCount != ports_) {
      return fail("the scan found " + std::to_string(fleetburn::ActivePortCount) + " active ports");
    }
    if (!form_->ExecuteBtn->isEnabled()) return fail("START is not enabled after the scan");
    return true;
  }

  // Presses START and waits for the run's end; the wall time of the run, and
  // the longest gap between the event loop's ticks meanwhile.
  bool run(Clock::duration& wall, Clock::duration& stall) {
    trace_.clear();
    stall = {};
    const Clock::time_point start = Clock::now();
    form_->ExecuteBtn->click();
    const bool ended = RunLoopUntil([&] { return !form_->runEngine()->running(); }, kRunLimit,
                                    [&](Clock::duration gap) { stall = std::max(stall, gap); });
    wall = Clock::now() - start;
    if (!ended) return fail("the run did not end");
    return checkPorts();
  }

 private:
  bool fail(const std::string& why) {
    std::fprintf(stderr, "bench_line: %d ports: %s\n", ports_, why.c_str());
    for (const std::string& message : prompt_->messages()) std::fprintf(stderr, "  message: %s\n", message.c_str());
    return false;
  }

  bool checkPorts() {
    bool passed = true;
    for (int port = 0; port < ports_; ++port) {
      const fleetburn::PortRecord& record = fleetburn::PortTable[static_cast<std::size_t>(port)];
      std::string failed;
      for (const Item& item : kRunItems) {
        if (record.itemResult[static_cast<std::size_t>(item.number)] != 1) {
          failed += std::string(failed.empty() ? "" : ", ") + item.name + " (" +
                    std::to_string(record.itemResult[static_cast<std::size_t>(item.number)]) + ")";
        }
      }
      if (failed.empty() && record.finalResult == 1) continue;
      passed = false;
      std::fprintf(stderr, "bench_line: %d ports: port %d did not pass, error code %u: %s\n", ports_, port + 1,
                   record.errorCode, failed.empty() ? "final result" : failed.c_str());
      for (const std::string& line : trace_.of(port)) std::fprintf(stderr, "  %s\n", line.c_str());
    }
    for (const std::string& message : prompt_->messages()) {
      std::fprintf(stderr, "bench_line: %d ports: message: %s\n", ports_, message.c_str());
      passed = false;
    }
    return passed;
  }

  fs::path folder_;
  int ports_;
  PortTrace& trace_;
  std::shared_ptr<platform::prompt::ScriptedPrompt> prompt_ = std::make_shared<platform::prompt::ScriptedPrompt>();
  NoFileDialogs dialogs_;
  std::unique_ptr<fleetburn::ui::TMainForm> form_;
};

double PeakResidentMiB() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

// Standard output from here on goes to `file`; the figures go to the stream returned.
std::FILE* SetConsoleAside(const fs::path& file) {
  std::fflush(stdout);
  const int figures = dup(STDOUT_FILENO);
  if (figures < 0 || std::freopen(file.c_str(), "w", stdout) == nullptr) return nullptr;
  return fdopen(figures, "w");
}

const char* Goal(bool met) { return met ? "met" : "MISSED"; }

int Usage() {
  std::fprintf(stderr, "usage: bench_line [--ports N] [--dir FOLDER] [--fast-clock]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  int ports = 50;
  fs::path dir;
  bool fastClock = false;
  for (int k = 1; k < argc; ++k) {
    const std::string_view argument = argv[k];
    if (argument == "--ports" && k + 1 < argc) {
      ports = std::atoi(argv[++k]);
    } else if (argument == "--dir" && k + 1 < argc) {
      dir = argv[++k];
    } else if (argument == "--fast-clock") {
      fastClock = true;
    } else {
      return Usage();
    }
  }
  if (ports < 1 || static_cast<std::size_t>(ports) > fleetburn::kPortSlots) return Usage();
  if (dir.empty()) {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/bench-line.XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
      std::perror("bench_line: mkdtemp");
      return 1;
    }
    dir = pattern;
  }
  const fs::path manyFolder = dir / ("ports-" + std::to_string(ports));
  const fs::path oneFolder = dir / "ports-1";
  for (const fs::path& folder : {manyFolder, oneFolder}) {
    std::error_code ignored;
    fs::remove_all(folder, ignored);
    const std::string error = fleetburn::tools::MakeStationFolder(folder, kItems);
    if (!error.empty()) {
      std::fprintf(stderr, "bench_line: %s\n", error.c_str());
      return 1;
    }
  }

  std::FILE* figures = SetConsoleAside(dir / "console.txt");
  if (figures == nullptr) {
    std::perror("bench_line: console.txt");
    return 1;
  }

  // The program starts here: the station folder is what it finds.
  const Clock::time_point programStart = Clock::now();
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication application(argc, argv);
  std::optional<platform::clock::ScopedFastClock> virtualTime;
  if (fastClock) virtualTime.emplace();
  PortTrace trace;
  platform::debug::installSink(
      [&trace](platform::debug::Level, std::optional<int> port, std::string_view text) { trace.add(port, text); });

  std::fprintf(figures,
               "bench/line: Flash Module Test, Preformat, Download, R/W Test, Check Tables, Set Max LBA, Disk Format\n"
               "on 64 GiB drives costing 0.5 ms a command and 40 MB/s; station folders in %s\n%s",
               dir.c_str(), fastClock ? "the station's own waits on a virtual clock: not the benchmark's times\n" : "");
  std::fflush(figures);
  Clock::duration manyWall{}, oneWall{}, stall{}, unused{};
  Clock::duration ready{};
  double residentBeforeRun = 0;
  {
    Station many(manyFolder, ports, trace);
    if (!many.open()) return 1;
    ready = Clock::now() - programStart;
    residentBeforeRun = PeakResidentMiB();
    if (!many.run(manyWall, stall)) return 1;
  }
  {
    Station one(oneFolder, 1, trace);
    if (!one.open()) return 1;
    if (!one.run(oneWall, unused)) return 1;
  }
  platform::debug::installSink({});

  const double ratio = Seconds(manyWall) / Seconds(oneWall);
  std::fprintf(figures, "run on 1 port:            %8.3f s\n", Seconds(oneWall));
  std::fprintf(figures, "run on %2d ports:          %8.3f s\n", ports, Seconds(manyWall));
  std::fprintf(figures, "ratio %2d ports / 1 port:  %8.3f    goal <= 1.25: %s\n", ports, ratio, Goal(ratio <= 1.25));
  std::fprintf(figures, "longest event-loop stall: %8lld ms  goal <= 50 ms: %s (during the %d-port run)\n",
               Milliseconds(stall), Goal(stall <= std::chrono::milliseconds(50)), ports);
  std::fprintf(figures, "ready window, %2d ports:   %8lld ms  goal < 1000 ms: %s (program start to the first scan's end)\n",
               ports, Milliseconds(ready), Goal(ready < std::chrono::seconds(1)));
  std::fprintf(figures, "peak resident memory:     %8.1f MiB (%.1f MiB before START; the emulated drives' data included)\n",
               PeakResidentMiB(), residentBeforeRun);
  std::fprintf(figures, "every port passed every item\n");
  std::fclose(figures);
  return 0;
}
