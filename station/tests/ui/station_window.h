#pragma once
// The window tests' fixture: a station folder in a scratch directory, the
// scripted prompt and file dialogs, the fast clock, and a started, shown
// window on an emulated line; with small emulated lines and the station's
// timers run on the fast clock.

#include <gtest/gtest.h>

#include <QCursor>
#include <QTest>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "devlib/port_buffers.h"
#include "devlib/port_io.h"
#include "drivesim/config.h"
#include "drivesim/line.h"
#include "drivesim/scenario.h"
#include "platform/clock.h"
#include "platform/debug.h"
#include "platform/devices.h"
#include "platform/paths.h"
#include "platform/prompt.h"
#include "platform/storage.h"
#include "station/hotplug.h"
#include "testsupport/flash_list_builder.h"
#include "testsupport/ram_code_images.h"
#include "testsupport/settings_file_builder.h"
#include "ui/main_form.h"
#include "ui/qt_file_dialogs.h"

namespace fleetburn::ui {

// Answers the dialogs from a list given in advance (cancel once it is used up).
class ScriptedFileDialogs final : public FileDialogs {
 public:
  std::optional<std::filesystem::path> openFile(const FileDialogRequest&) override { return next(); }
  std::optional<std::filesystem::path> saveFile(const FileDialogRequest&) override { return next(); }
  void answer(std::filesystem::path reply) { replies_.push_back(std::move(reply)); }

 private:
  std::optional<std::filesystem::path> next() {
    if (replies_.empty()) return std::nullopt;
    auto reply = replies_.front();
    replies_.pop_front();
    return reply;
  }
  std::deque<std::filesystem::path> replies_;
};

inline void WriteFlashList(const std::filesystem::path& file) {
  testsupport::FlashListBuilder list;
  list.vendor("Tolvane")
      .part({.uni = "WBG",
             .part = "TV64G2A",
             .sectorsPerPage = 8,
             .pagesPerBlock = 128,
             .blocks = 4096,
             .planes = 2,
             .mlc = true,
             .chipEnables = 2})
      .part({.uni = "TVB", .part = "TV32G1B", .chipEnables = 1});
  list.vendor("Marlowe").part({.uni = "MRA", .part = "MR16G", .sectorsPerPage = 4});
  list.writeTo(file);
}

class StationWindow : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::paths::setProgramDirectory(dir.path());
    platform::prompt::installPrompt(prompt);
    // The hub walk's trace is not what these tests look at.
    platform::debug::installSink([](platform::debug::Level, std::optional<int>, std::string_view) {});
    devlib::InitPortIoTable(devlib::ProgramKind::Fleetburn);
    WriteFlashList(dir / "Flash.ini");
    testsupport::WriteRamCodeImages(dir.path());
    testsupport::SettingsFileBuilder()
        .section("Setting")
        .key("ProductModel", "TV-A4X 2.5\"")
        .section("TestItems")
        .key("EnFlashModule", 1)
        .key("EnPreFormat", 0)
        .key("EnDownload", 1)
        .key("EnFormat", 1)
        .key("EnCheckTemperature", 1)
        .key("CheckMaxTemperatureValue", 70)
        .section("DeviceSetting")
        .key("SNDecimal", 1)
        .section("FlashSetting")
        .key("FlashUniName", "WBG")
        .writeTo(dir / "DODEVUDU.ini");
  }
  void TearDown() override {
    devlib::FreePortBuffers();
    platform::storage::installBackend(nullptr);
    platform::devices::installDeviceTree(nullptr);
    platform::prompt::installPrompt(nullptr);
    platform::paths::setProgramDirectory({});
    platform::debug::installSink({});
  }

  void Load(const char* scenario) {
    const drivesim::ScenarioLoad load = drivesim::loadScenario(std::filesystem::path(TOLVANE_SCENARIO_DIR) / scenario);
    ASSERT_TRUE(load.line) << load.error;
    line = load.line;
    drivesim::installLine(line);
  }

  // A started and shown window.
  std::unique_ptr<TMainForm> Open(const char* scenario, std::string_view commandLine = "") {
    Load(scenario);
    return OpenInstalled(commandLine);
  }
  std::unique_ptr<TMainForm> Open(std::shared_ptr<drivesim::Line> built) {
    line = std::move(built);
    drivesim::installLine(line);
    return OpenInstalled("");
  }
  std::unique_ptr<TMainForm> OpenInstalled(std::string_view commandLine) {
    auto form = std::make_unique<TMainForm>(*prompt, dialogs);
    EXPECT_EQ(form->Start(commandLine), StartupStatus::Ready) << Messages();
    // The start-up scan's apply phase is queued to this thread: it ends
    // here, as it would while the operator waits for the window.
    EXPECT_TRUE(QTest::qWaitFor([&] { return !form->scanner().scanning(); }, 30000)) << "the scan never ended";
    form->show();
    EXPECT_TRUE(QTest::qWaitForWindowExposed(form.get()));
    prompt->takeMessages();
    return form;
  }

  std::string Messages() const {
    std::string all;
    for (const std::string& message : prompt->messages()) all += message + " | ";
    return all;
  }

  static QRect PanelGeometry(const TMainForm& form, std::size_t port) {
    return form.portPanels().at(port)->geometry();
  }

  // Presses the panel, moves the cursor by `by`, releases it there.
  static void Drag(QWidget& panel, QPoint by) {
    const QPoint from = panel.mapToGlobal(QPoint(5, 60));
    QCursor::setPos(from);
    QTest::mousePress(&panel, Qt::LeftButton, {}, QPoint(5, 60));
    QCursor::setPos(from + by);
    QTest::mouseRelease(&panel, Qt::LeftButton, {}, QPoint(5, 60) + by);
  }

  void Screenshot(QWidget& widget, const std::string& name) {
    std::filesystem::create_directories(FLEETBURN_SCREENSHOT_DIR);
    const QString file = QString::fromStdString(std::string(FLEETBURN_SCREENSHOT_DIR) + "/" + name + ".png");
    EXPECT_TRUE(widget.grab().save(file)) << file.toStdString();
  }

  testsupport::ScratchDirectory dir;
  platform::clock::ScopedFastClock clock;
  std::shared_ptr<platform::prompt::ScriptedPrompt> prompt = std::make_shared<platform::prompt::ScriptedPrompt>();
  ScriptedFileDialogs dialogs;
  std::shared_ptr<drivesim::Line> line;
};

inline std::string UsbDrivePath(int n) {
  return "\\\\?\\usbstor#disk&ven_tolvane&prod_ssd&rev_1.00#" + std::to_string(n) + "#{53f56307}";
}

// A root hub "r" of `ports` ports with drive n on port n for the first
// `drives`, each drive as `adjust` leaves its configuration.
inline std::shared_ptr<drivesim::Line> RootHubLine(int ports, int drives,
                                                   const std::function<void(drivesim::DriveConfig&)>& adjust = {}) {
  auto built = std::make_shared<drivesim::Line>();
  drivesim::UsbTopology topology;
  topology.rootHub("r", ports);
  for (int n = 1; n <= drives; ++n) {
    drivesim::DriveConfig config = drivesim::DriveConfig::ownUsb(UsbDrivePath(n));
    config.serial = "TV" + std::to_string(2000 + n);
    if (adjust) adjust(config);
    built->addDrive(config);
    topology.drive({"r", n}, UsbDrivePath(n));
  }
  EXPECT_EQ(built->setTopology(topology), "");
  return built;
}

// Lets the station's timers run `ms` of the fast clock.
inline void ElapseStation(std::uint64_t ms) {
  const platform::clock::ScopedTimeLine bind(kStationTimeLine);
  platform::clock::sleepMs(ms);
}


}  // namespace fleetburn::ui
