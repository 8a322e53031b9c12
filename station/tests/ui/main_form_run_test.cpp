// START and the production run through Fleetburn's window, headless, on a
// small emulated line with the real port workers: the freeze and the thaw,
// the lock across a run, a refused START, the abort button and closing the
// window while a drive is held in a command.

#include <gtest/gtest.h>

#include <QApplication>
#include <QTest>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "devlib/device_helpers.h"
#include "devlib/flash_geometry.h"
#include "devlib/flash_list.h"
#include "devlib/flash_params.h"
#include "devlib/settings_record.h"
#include "platform/storage.h"
#include "station/port_record.h"
#include "station/settings_io.h"
#include "station/test_items.h"
#include "station_window.h"
#include "testsupport/emulated_drives_part.h"
#include "testsupport/firmware_images.h"

namespace fleetburn::ui {
namespace {

namespace fs = std::filesystem;
using platform::storage::ScsiCommand;
using platform::storage::ScsiOutcome;

// Longer than the tests wait for anything, so that a run which never stops
// the held command fails on the test's own wait first.
constexpr std::chrono::seconds kHoldLimit{60};

// Holds the first vendor command sent to one drive (the scans send it none,
// a worker starts with one) until the command's stop is requested or the
// test releases it. Its clock stands still meanwhile, so no watchdog ends
// the hold. Every other command passes to the backend that was in force.
class HeldDrive {
 public:
  explicit HeldDrive(std::string path)
      : hold_(std::make_shared<Hold>()), previous_(platform::storage::currentBackend()) {
    platform::storage::installBackend(std::make_shared<Backend>(previous_, hold_, std::move(path)));
  }
  ~HeldDrive() {
    release();
    platform::storage::installBackend(previous_);
  }
  HeldDrive(const HeldDrive&) = delete;
  HeldDrive& operator=(const HeldDrive&) = delete;

  bool held() const {
    const std::lock_guard lock(hold_->mutex);
    return hold_->held;
  }
  // The held command goes on to the drive.
  void release() {
    {
      const std::lock_guard lock(hold_->mutex);
      hold_->released = true;
    }
    hold_->changed.notify_all();
  }

 private:
  struct Hold {
    std::mutex mutex;
    std::condition_variable_any changed;
    bool taken = false;  // the one command to hold has come
    bool held = false;   // and waits now
    bool released = false;
  };

  class Backend final : public platform::storage::Backend {
   public:
    Backend(std::shared_ptr<platform::storage::Backend> inner, std::shared_ptr<Hold> hold, std::string path)
        : inner_(std::move(inner)), hold_(std::move(hold)), path_(std::move(path)) {}
    platform::storage::OpenOutcome open(std::string_view path, platform::storage::Sharing sharing) override {
      platform::storage::OpenOutcome opened = inner_->open(path, sharing);
      if (opened.device && path == path_) opened.device = std::make_unique<Device>(std::move(opened.device), hold_);
      return opened;
    }

   private:
    std::shared_ptr<platform::storage::Backend> inner_;
    std::shared_ptr<Hold> hold_;
    std::string path_;
  };

  class Device final : public platform::storage::Device {
   public:
    Device(std::unique_ptr<platform::storage::Device> inner, std::shared_ptr<Hold> hold)
        : inner_(std::move(inner)), hold_(std::move(hold)) {}
    ScsiOutcome scsi(const ScsiCommand& command) override {
      if (!command.cdb.empty() && command.cdb[0] == 0xFF && !waitForRelease(command.stop)) {
        return ScsiOutcome{.osError = ECANCELED};
      }
      return inner_->scsi(command);
    }
    platform::storage::AtaOutcome ata(const platform::storage::AtaCommand& command) override {
      return inner_->ata(command);
    }
    platform::storage::DeviceTraits traits() const override { return inner_->traits(); }

   private:
    // False when the command was stopped while held (or the real-time limit
    // passed: a run that never stops fails its test rather than hang it).
    bool waitForRelease(std::stop_token stop) {
      std::unique_lock lock(hold_->mutex);
      if (hold_->taken) return true;
      hold_->taken = true;
      hold_->held = true;
      const bool released = hold_->changed.wait_for(lock, stop, kHoldLimit, [&] { return hold_->released; });
      hold_->held = false;
      return released;
    }

    std::unique_ptr<platform::storage::Device> inner_;
    std::shared_ptr<Hold> hold_;
  };

  std::shared_ptr<Hold> hold_;
  std::shared_ptr<platform::storage::Backend> previous_;
};

class StationRun : public StationWindow {
 protected:
  // The part the emulated drives carry, its download files, a log folder and
  // settings that run the Flash Module Test, the preformat and the download.
  void WriteProductionStation(int channels = 4) {
    testsupport::FlashListBuilder list;
    list.vendor("Tolvane").part(testsupport::EmulatedDrivesPartSpec("TVA", "TV64G2A"));
    list.writeTo(dir / "Flash.ini");
    ASSERT_TRUE(BinNames());
    testsupport::WriteDownloadFileSet(dir.path(), 16 * 512, sataBin, usbBin);
    fs::create_directories(dir / "log");
    testsupport::SettingsFileBuilder()
        .section("Setting")
        .key("TimeOut", 5000)
        .section("FlashSetting")
        .key("FlashUniName", "TVA")
        .key("Channel", channels)
        .key("Bank", 2)
        .section("TestItems")
        .key("EnFlashModule", 1)
        .key("EnPreFormat", 1)
        .key("EnDownload", 1)
        .key("DownloadType", 2)
        .section("DeviceSetting")
        .key("SNDecimal", 1)
        .key("SerialNum", "000000000101")
        .key("SNAutoInc", 1)
        .key("UID", "500A0751")
        .writeTo(dir / "DODEVUDU.ini");
  }

  // The SATA and USB firmware file names the station derives from the part.
  bool BinNames() {
    devlib::FlashTable table;
    if (!devlib::LoadFlashList((dir / "Flash.ini").string(), table).ok) return false;
    const int row = devlib::FindFlashEntry(table, "TVA");
    if (row < 0) return false;
    devlib::FlashParams params;
    devlib::SettingsRecord settings;
    settings.Channel = 4;
    settings.Bank = 2;
    devlib::DecodeFlashSetting(params, settings, table, row);
    sataBin = "SYS_WXYZ.bin";
    if (!devlib::BuildProductModelCode(sataBin, params)) return false;
    usbBin = sataBin;
    usbBin[4] = 'U';
    return true;
  }

  // Drives with their loader header and remap tables, so that the download
  // runs; drive `wrongFlash` (from 1; 0: none) carries another flash part.
  static std::shared_ptr<drivesim::Line> ProductionLine(int ports, int drives, int wrongFlash = 0) {
    return RootHubLine(ports, drives, [wrongFlash](drivesim::DriveConfig& config) {
      config.loaderHeader = true;
      config.optionBitsA = 0x20;
      if (wrongFlash != 0 && config.path == UsbDrivePath(wrongFlash)) config.flashId = {0xEC, 0xD7, 0x94, 0x32, 0x76};
    });
  }

  static bool RunEnds(TMainForm& form) {
    return QTest::qWaitFor([&] { return !form.runEngine()->running(); }, 30000);
  }
  static bool Holds(const HeldDrive& drive) { return QTest::qWaitFor([&] { return drive.held(); }, 30000); }
  // Until the board shows port `port`'s end.
  static bool Ended(TMainForm& form, int port) {
    return QTest::qWaitFor(
        [&] {
          const std::string& caption = form.board()->panel(port).caption;
          return caption == "Pass" || caption.find("Fail") != std::string::npos;
        },
        30000);
  }

  static bool PagesEnabled(TMainForm& form) {
    for (int page = 0; page < form.PageControl1->count(); ++page) {
      if (!form.PageControl1->widget(page)->isEnabled()) return false;
    }
    return true;
  }
  static bool AnyPageEnabled(TMainForm& form) {
    for (int page = 0; page < form.PageControl1->count(); ++page) {
      if (form.PageControl1->widget(page)->isEnabled()) return true;
    }
    return false;
  }
  // What START's freeze disables besides the pages, and START itself.
  static std::vector<QWidget*> RunControls(TMainForm& form) {
    return {form.INIFileEdit,    form.INILoadBtn,  form.INISaveBtn, form.SpeedButton8,
            form.StyleScrollBox, form.BottomPanel, form.ExecuteBtn};
  }
  static void ExpectFrozen(TMainForm& form, const char* when) {
    EXPECT_FALSE(AnyPageEnabled(form)) << when;
    for (QWidget* control : RunControls(form)) {
      EXPECT_FALSE(control->isEnabled()) << control->objectName().toStdString() << " " << when;
    }
  }
  static void ExpectThawed(TMainForm& form) {
    EXPECT_TRUE(PagesEnabled(form));
    for (QWidget* control : RunControls(form)) EXPECT_TRUE(control->isEnabled()) << control->objectName().toStdString();
  }

  // The field under `column` of port `port`'s row (port from 0) in the
  // result log; empty when the log has no such row or column.
  std::string LogField(const TMainForm& form, int port, std::string_view column) const {
    const std::string text = testsupport::SettingsFileBuilder::readFile(form.resultLog().LogPath);
    std::vector<std::vector<std::string>> rows;
    for (std::size_t at = 0, end; (end = text.find("\r\n", at)) != std::string::npos; at = end + 2) {
      const std::string row = text.substr(at, end - at);
      std::vector<std::string>& fields = rows.emplace_back();
      std::size_t from = 0;
      for (std::size_t tab; (tab = row.find('\t', from)) != std::string::npos; from = tab + 1) {
        fields.push_back(row.substr(from, tab - from));
      }
      fields.push_back(row.substr(from));
    }
    if (rows.empty()) return {};
    const auto named = std::find(rows[0].begin(), rows[0].end(), column);
    const auto index = static_cast<std::size_t>(named - rows[0].begin());
    char number[8];
    std::snprintf(number, sizeof number, "%06d", port + 1);
    for (std::size_t row = 1; row < rows.size(); ++row) {
      if (rows[row].size() > index && rows[row][1] == number) return rows[row][index];
    }
    return {};
  }

  std::string sataBin, usbBin;
};

// START on a line of three drives, the third of another flash part. While
// the second drive is held in its first command the window is frozen and
// drops plug notices; at the run's end it is thawed with START enabled, the
// settings file holds the next serial number and the panels show each end.
TEST_F(StationRun, StartFreezesTheWindowUntilTheRunEndsThenSavesTheNextSerial) {
  WriteProductionStation();
  auto form = Open(ProductionLine(4, 3, 3));
  ASSERT_TRUE(form->ExecuteBtn->isEnabled());
  ExpectThawed(*form);
  HeldDrive held(UsbDrivePath(2));

  QTest::mouseClick(form->ExecuteBtn, Qt::LeftButton);
  ASSERT_TRUE(form->runEngine()->running()) << Messages();
  ASSERT_TRUE(Holds(held));
  ASSERT_TRUE(Ended(*form, 0));
  ExpectFrozen(*form, "while a worker runs");
  form->hotplug()->WMDeviceChange(platform::devices::EventKind::Arrival);
  EXPECT_FALSE(form->hotplug()->armed()) << "a plug notice during the run is dropped";
  EXPECT_FALSE(form->ExecuteBtn->isEnabled());

  held.release();
  ASSERT_TRUE(RunEnds(*form));
  QApplication::processEvents();
  ExpectThawed(*form);
  EXPECT_TRUE(form->ExecuteBtn->hasFocus());
  EXPECT_EQ(form->board()->panel(0).caption, "Pass");
  EXPECT_EQ(form->board()->panel(1).caption, "Pass");
  EXPECT_EQ(form->board()->panel(2).caption, "Flash Module Test Fail (M00)");
  EXPECT_EQ(form->portPanels()[0]->caption(), "Pass");
  EXPECT_EQ(form->portPanels()[2]->caption(), "Flash Module Test Fail (M00)");
  EXPECT_TRUE(prompt->messages().empty()) << Messages();
  // Three ports took 101 to 103: the station goes on from 104.
  const std::string settings = testsupport::SettingsFileBuilder::readFile(dir / "DODEVUDU.ini");
  EXPECT_NE(settings.find("SerialNum=000000000104\r\n"), std::string::npos) << settings;
  EXPECT_EQ(form->SerialNumEdit->text(), "000000000104");
  EXPECT_EQ(LogField(*form, 1, "SerialNumber"), "000000000102");
  Screenshot(*form, "run_finished");

  // Thawed, a notice rescans again.
  form->hotplug()->WMDeviceChange(platform::devices::EventKind::Arrival);
  EXPECT_TRUE(form->hotplug()->armed());
}

// A locked station stays locked through a run: the lock button is frozen
// with the rest, so that the password cannot unlock the pages mid-run, and
// the thaw gives back the lock as it stood.
TEST_F(StationRun, TheLockHoldsThroughARunAndItsButtonIsFrozen) {
  WriteProductionStation();
  auto form = Open(ProductionLine(3, 2));
  QTest::mouseClick(form->SpeedButton8, Qt::LeftButton);
  ASSERT_TRUE(form->SpeedButton8->isChecked());
  ASSERT_FALSE(AnyPageEnabled(*form));
  HeldDrive held(UsbDrivePath(1));

  QTest::mouseClick(form->ExecuteBtn, Qt::LeftButton);
  ASSERT_TRUE(Holds(held));
  EXPECT_FALSE(form->SpeedButton8->isEnabled());
  prompt->answer(std::string(SettingsPassword()));
  QTest::mouseClick(form->SpeedButton8, Qt::LeftButton);
  EXPECT_FALSE(AnyPageEnabled(*form)) << "the lock button unlocked the pages during the run";
  EXPECT_TRUE(form->SpeedButton8->isChecked());

  held.release();
  ASSERT_TRUE(RunEnds(*form));
  EXPECT_FALSE(AnyPageEnabled(*form)) << "the thaw unlocked the station";
  EXPECT_FALSE(form->INISaveBtn->isEnabled());
  EXPECT_TRUE(form->SpeedButton8->isChecked());
  EXPECT_TRUE(form->SpeedButton8->isEnabled());
  EXPECT_TRUE(form->ExecuteBtn->isEnabled());
  EXPECT_EQ(form->board()->panel(0).caption, "Pass");
  // The password given during the run is still unasked: the lock button
  // works again after the run.
  QTest::mouseClick(form->SpeedButton8, Qt::LeftButton);
  EXPECT_TRUE(PagesEnabled(*form));
}

// START refused by its checks: the message through the prompt, the window
// thawed with START enabled, no worker and nothing written.
struct Refusal {
  const char* name;
  int channels;
  bool removeUsbBin;
  std::string message;  // without the file's path for a missing bin file
};

class StationRunRefusal : public StationRun, public ::testing::WithParamInterface<Refusal> {};

TEST_P(StationRunRefusal, ShowsItsMessageThawsAndRunsNothing) {
  const Refusal& refusal = GetParam();
  WriteProductionStation(refusal.channels);
  if (refusal.removeUsbBin) fs::remove(dir / usbBin);
  auto form = Open(ProductionLine(3, 2));
  const std::string settings = testsupport::SettingsFileBuilder::readFile(dir / "DODEVUDU.ini");
  for (drivesim::Drive* drive : line->drives()) drive->wire().clear();
  ASSERT_TRUE(form->ExecuteBtn->isEnabled());

  QTest::mouseClick(form->ExecuteBtn, Qt::LeftButton);
  EXPECT_FALSE(form->runEngine()->running());
  const std::string expected =
      refusal.removeUsbBin ? refusal.message + (dir / usbBin).string() : refusal.message;
  EXPECT_EQ(prompt->takeMessages(), std::vector<std::string>{expected});
  ExpectThawed(*form);
  QApplication::processEvents();  // what a run would have queued
  EXPECT_FALSE(form->runEngine()->running());
  EXPECT_EQ(testsupport::SettingsFileBuilder::readFile(dir / "DODEVUDU.ini"), settings);
  EXPECT_TRUE(fs::is_empty(dir / "log")) << "no result log, no counters";
  for (drivesim::Drive* drive : line->drives()) {
    EXPECT_TRUE(drive->wire().entries().empty()) << "no rescan, no worker";
  }
  EXPECT_EQ(form->board()->panel(0).caption.find("Pass"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    StartChecks, StationRunRefusal,
    ::testing::Values(
        Refusal{"ThreeChannels", 3, false, "Please check total channel's number, only support 1, 2, 4 and 8 channel"},
        Refusal{"MissingUsbBin", 4, true, "<WARNING> Can't find file : "}),
    [](const ::testing::TestParamInfo<Refusal>& param) { return std::string(param.param.name); });

// The abort button while the second drive is held: that port ends with code
// 5; the ports that had ended keep their results.
TEST_F(StationRun, AbortStopsTheRunningPortWithCode5AndKeepsTheOthers) {
  WriteProductionStation();
  auto form = Open(ProductionLine(4, 3, 3));
  HeldDrive held(UsbDrivePath(2));
  QTest::mouseClick(form->ExecuteBtn, Qt::LeftButton);
  ASSERT_TRUE(Holds(held));
  ASSERT_TRUE(Ended(*form, 0));
  ASSERT_TRUE(Ended(*form, 2));

  QTest::mouseClick(form->SpeedButton9, Qt::LeftButton);
  ASSERT_TRUE(RunEnds(*form));
  EXPECT_EQ(PortTable[1].errorCode, 5u);
  EXPECT_EQ(PortTable[1].finalResult, kResultFail);
  EXPECT_EQ(PortTable[0].errorCode, 0u);
  EXPECT_EQ(PortTable[0].finalResult, 1);
  EXPECT_EQ(form->board()->panel(0).caption, "Pass");
  EXPECT_EQ(form->board()->panel(2).caption, "Flash Module Test Fail (M00)");
  EXPECT_EQ(LogField(*form, 1, "Result"), "Fail");
  EXPECT_EQ(LogField(*form, 0, "Result"), "Pass");
  EXPECT_TRUE(form->isVisible()) << "the abort leaves the window open";
  ExpectThawed(*form);
}

// Closing the window while the second drive is held: the held port is
// stopped with code 5, the run's rows are written to the result log, and
// the window closes once the run has ended.
TEST_F(StationRun, ClosingDuringARunStopsItWritesItsRowsThenCloses) {
  WriteProductionStation();
  auto form = Open(ProductionLine(4, 3, 3));
  HeldDrive held(UsbDrivePath(2));
  QTest::mouseClick(form->ExecuteBtn, Qt::LeftButton);
  ASSERT_TRUE(Holds(held));
  ASSERT_TRUE(Ended(*form, 0));
  ASSERT_TRUE(Ended(*form, 2));

  form->close();
  EXPECT_TRUE(form->isVisible()) << "the window waits for the run's end";
  ASSERT_TRUE(QTest::qWaitFor([&] { return !form->isVisible(); }, 30000)) << "the window never closed";
  EXPECT_FALSE(held.held());
  EXPECT_EQ(PortTable[1].errorCode, 5u);
  EXPECT_EQ(PortTable[0].finalResult, 1);
  const fs::path log = form->resultLog().LogPath;
  EXPECT_EQ(log.parent_path(), dir / "log");
  ASSERT_TRUE(fs::exists(log));
  EXPECT_EQ(LogField(*form, 0, "Result"), "Pass");
  EXPECT_EQ(LogField(*form, 1, "Result"), "Fail");
  EXPECT_EQ(LogField(*form, 2, "Result"), "Fail");
  EXPECT_TRUE(fs::exists(dir / "log" / kVadidLogName));
}

}  // namespace
}  // namespace fleetburn::ui
