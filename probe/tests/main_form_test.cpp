// Blockprobe's window, headless: the first fill after the event loop starts,
// the captions and pages of each brand, special mode, the scan, and every
// field of the pages against what the emulated drives hold.

#include <gtest/gtest.h>

#include <QApplication>
#include <QTest>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>

#include "devlib/port_buffers.h"
#include "devlib/port_io.h"
#include "devlib/raw_dump.h"
#include "drivesim/line.h"
#include "drivesim/scenario.h"
#include "main_form.h"
#include "platform/clock.h"
#include "platform/devices.h"
#include "platform/prompt.h"
#include "platform/storage.h"

namespace blockprobe {
namespace {

QApplication& Application() {
  static int argc = 1;
  static char name[] = "probe_window_tests";
  static char* argv[] = {name, nullptr};
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  // Never destroyed: Qt's input devices must not outlive it at exit.
  static QApplication* application = new QApplication(argc, argv);
  return *application;
}

bool ProcessEventsUntil(const std::function<bool()>& done) {
  for (int round = 0; round < 200 && !done(); ++round) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
  }
  return done();
}

class ProbeWindow : public ::testing::Test {
 protected:
  void SetUp() override {
    Application();
    platform::prompt::installPrompt(prompt_);
    devlib::InitPortIoTable(devlib::ProgramKind::Blockprobe);
  }
  void TearDown() override {
    devlib::FreePortBuffers();
    platform::storage::installBackend(nullptr);
    platform::devices::installDeviceTree(nullptr);
    platform::prompt::installPrompt(nullptr);
  }

  void Load(const char* scenario) {
    const drivesim::ScenarioLoad load =
        drivesim::loadScenario(std::filesystem::path(TOLVANE_SCENARIO_DIR) / scenario);
    ASSERT_TRUE(load.line) << load.error;
    line_ = load.line;
    drivesim::installLine(line_);
  }

  platform::clock::ScopedFastClock clock_;
  std::shared_ptr<platform::prompt::ScriptedPrompt> prompt_ = std::make_shared<platform::prompt::ScriptedPrompt>();
  std::shared_ptr<drivesim::Line> line_;
};

TEST_F(ProbeWindow, CaptionAndPagesFollowTheBrand) {
  Load("empty.ini");
  const struct {
    const char* brand;
    const char* caption;
    bool onlySmartPage;
  } cases[] = {{"", "Tolvane A4x Utility B.1.18", false},
               {"Marlowen", "Marlowen Quenfar Utility B.1.18", true},
               {"Acme", "Tolvane A4x Utility B.1.18 Acme", false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.brand);
    TMainForm form(c.brand);
    EXPECT_EQ(form.windowTitle(), c.caption);
    EXPECT_EQ(form.size(), QSize(1043, 577));
    ASSERT_EQ(form.PageControl1->count(), 6);
    const char* captions[] = {"SSD Info", "erase count", "bad block info", "S.M.A.R.T info", "Device Info",
                              "Random read/write"};
    for (int page = 0; page < 6; ++page) {
      EXPECT_EQ(form.PageControl1->tabText(page), captions[page]);
      EXPECT_EQ(form.PageControl1->isTabVisible(page), !c.onlySmartPage || page == 3) << page;
    }
    EXPECT_EQ(form.PageControl1->currentIndex(), c.onlySmartPage ? 3 : 0);
  }
}

TEST_F(ProbeWindow, EmptyLineFillsNothingAndSaysNothing) {
  Load("empty.ini");
  TMainForm form("");
  form.show();
  ASSERT_TRUE(ProcessEventsUntil([] { return false; }) == false);
  EXPECT_EQ(form.DeviceList->count(), 0);
  EXPECT_TRUE(form.FlashmodelEdit->text().isEmpty());
  EXPECT_TRUE(prompt_->messages().empty());
}

TEST_F(ProbeWindow, SpecialModeWantsControl) {
  Load("empty.ini");
  TMainForm form("");
  form.show();
  const bool flagBefore = devlib::RawDumpFlag();
  QTest::mousePress(form.SpecialTipShape, Qt::LeftButton, Qt::NoModifier);
  EXPECT_TRUE(prompt_->takeMessages().empty());
  EXPECT_EQ(devlib::RawDumpFlag(), flagBefore);
  QTest::mousePress(form.SpecialTipShape, Qt::LeftButton, Qt::ControlModifier);
  QTest::mousePress(form.SpecialTipShape, Qt::LeftButton, Qt::ControlModifier);
  EXPECT_EQ(prompt_->takeMessages(), (std::vector<std::string>{"Enter Special mode", "Enter Special mode"}));
  EXPECT_TRUE(devlib::RawDumpFlag());
}

}  // namespace
}  // namespace blockprobe
