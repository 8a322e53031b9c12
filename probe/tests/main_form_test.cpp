// Blockprobe's window, headless: the first fill after the event loop starts,
// the captions and pages of each brand, special mode, the scan, and every
// field of the pages against what the emulated drives hold.

#include <gtest/gtest.h>

#include <QApplication>
#include <QProcess>
#include <QTest>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "devlib/port_buffers.h"
#include "devlib/port_io.h"
#include "devlib/raw_dump.h"
#include "drivesim/line.h"
#include "drivesim/scenario.h"
#include "main_form.h"
#include "platform/clock.h"
#include "platform/devices.h"
#include "platform/instance_guard.h"
#include "platform/prompt.h"
#include "platform/storage.h"

// Under LeakSanitizer: the font library keeps its caches to the end of the process.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }

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

TEST_F(ProbeWindow, TheWindowMapsTheBuffersOfEveryDeviceSlot) {
  Load("empty.ini");
  for (int slot = 0; slot < devlib::kBlockprobeSlotCount; ++slot) ASSERT_FALSE(devlib::MappedPortBuffers(slot));
  TMainForm form("");
  for (int slot = 0; slot < devlib::kBlockprobeSlotCount; ++slot) {
    const auto buffers = devlib::MappedPortBuffers(slot);
    ASSERT_TRUE(buffers) << slot;
    EXPECT_EQ(buffers->extraBuffer().size(), devlib::kExtraBufferSize);
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


std::string Shown(const QLineEdit* edit) { return edit->text().toLatin1().toStdString(); }

std::vector<std::string> Lines(const QPlainTextEdit* memo) {
  std::vector<std::string> lines;
  if (memo->toPlainText().isEmpty()) return lines;
  for (const QString& line : memo->toPlainText().split('\n')) lines.push_back(line.toLatin1().toStdString());
  return lines;
}

std::string Hex4(unsigned value) {
  char text[8];
  std::snprintf(text, sizeof text, "%04X", value);
  return text;
}

// What the drive's erase-count table of (channel, bank index) holds.
std::vector<std::int32_t> EraseCounts(const drivesim::Drive& drive, int channel, int unit) {
  const std::vector<std::uint8_t> table =
      drive.eraseCountTable(static_cast<std::uint8_t>(channel), static_cast<std::uint8_t>(unit));
  const std::size_t entries = table[4] | table[5] << 8;
  std::vector<std::int32_t> counts(entries);
  for (std::size_t k = 0; k < entries; ++k) std::memcpy(&counts[k], table.data() + 8 + 4 * k, 4);
  return counts;
}

class ServiceBench : public ProbeWindow {
 protected:
  void SetUp() override {
    ProbeWindow::SetUp();
    Load("service.ini");
  }

  void Select(TMainForm& form, int entry) {
    form.DeviceList->setCurrentIndex(entry);
    form.DeviceListChange();
  }

  drivesim::Drive& DriveAt(const char* pathStart) {
    for (drivesim::Drive* drive : line_->drives()) {
      if (drive->config().path.starts_with(pathStart)) return *drive;
    }
    throw std::logic_error(pathStart);
  }

  void SaveScreenshot(TMainForm& form, int page, const std::string& name) {
    std::filesystem::create_directories(BLOCKPROBE_SCREENSHOT_DIR);
    form.PageControl1->setCurrentIndex(page);
    const QString file = QString::fromStdString(std::string(BLOCKPROBE_SCREENSHOT_DIR) + "/" + name + ".png");
    EXPECT_TRUE(form.grab().save(file)) << file.toStdString();
  }
};

constexpr const char* kOwnUsbPath = "\\\\?\\usbstor#disk&ven_tolvane&prod_kwfa4x_usb_ssd&rev_1.00#0001";
constexpr const char* kBridgePath = "\\\\?\\usbstor#disk&ven_usb&prod_sata_bridge";
constexpr const char* kSataPath = "/dev/sdc";

TEST_F(ServiceBench, FirstFillRunsOnceTheEventLoopRuns) {
  TMainForm form("");
  form.show();
  EXPECT_EQ(form.DeviceList->count(), 0) << "nothing is filled before the loop runs";
  ASSERT_TRUE(ProcessEventsUntil([&] { return !form.FlashmodelEdit->text().isEmpty(); }));
  EXPECT_EQ(form.DeviceList->currentIndex(), 0);
}

// The drives of the controller are listed, the other maker's drive is not,
// and every slot keeps its own path, flags and tunnel opcodes.
TEST_F(ServiceBench, ListsTheControllersDrivesEachOnItsSlot) {
  TMainForm form("");
  form.GetTolvaneDevice();
  std::vector<std::string> entries;
  for (int i = 0; i < form.DeviceList->count(); ++i) entries.push_back(form.DeviceList->itemText(i).toStdString());
  EXPECT_EQ(entries, (std::vector<std::string>{
                         "<< USB >>  Tolvane KWFA4X USB SSD",
                         "<< USB / SATA >>  Tolvane KWFA4X SATA SSD TV0000000102",
                         "<< IDE / SATA >>  Tolvane KWFA4X SATA SSD TV0000000103 (E:)",
                         "<< USB >>  Tolvane Flash CR Loader",
                     }));
  const struct {
    const char* path;
    int usbPath, nativeAta;
  } expectedSlots[] = {{kOwnUsbPath, 1, 0}, {kBridgePath, 0, 0}, {kSataPath, 0, 1}};
  for (int slot = 0; slot < 3; ++slot) {
    SCOPED_TRACE(slot);
    const devlib::PortIoRecord* record = devlib::PortIo(slot);
    const std::shared_ptr<const devlib::PortTransport> transport = record->Transport();
    EXPECT_TRUE(transport->devicePath.starts_with(expectedSlots[slot].path));
    EXPECT_EQ(transport->usbPath, expectedSlots[slot].usbPath);
    EXPECT_EQ(transport->nativeAta, expectedSlots[slot].nativeAta);
    EXPECT_EQ(record->opcodeSet.load(), 2);
  }
  EXPECT_TRUE(devlib::PortTransportOf(4)->devicePath.empty());
  EXPECT_TRUE(prompt_->messages().empty()) << "a drive left out says nothing";
}

TEST_F(ServiceBench, OwnUsbDriveFillsTheSsdInfoUsbAndEraseCountPages) {
  const drivesim::Drive& drive = DriveAt(kOwnUsbPath);
  const drivesim::DriveConfig& c = drive.config();
  TMainForm form("");
  form.GetTolvaneDevice();
  Select(form, 0);
  EXPECT_TRUE(prompt_->messages().empty());

  // "SSD Info": the drive's configuration page and loader header.
  const std::pair<QLineEdit*, std::string> ssd[] = {
      {form.FlashmodelEdit, "Flash model : " + c.flashPartName + " (Toshiba)"},
      {form.ChannelEdit, "Channel number : 4      Total bank : 2"},
      {form.CapacityEdit, "Capacity : 111.8 GBytes     ECC mode : BCH 24"},
      {form.DriverEdit, "IO drive current : 6 mA"},
      {form.ResPerEdit, "Defect block percentage :  2.0%, Reserved block percentage :  6.8%"},
      {form.EccReadEdit, "ECC read error threshold : 20 bit(s)"},
      {form.EccCopyEdit, "ECC error copy threshold : 16 bit(s)"},
      {form.WearLevelingEdit, "Wearleveling frequency : 8"},
      {form.BankMapEdit, "Bank map : 00 01 00 00 00 00 00 00 "},
      {form.SupportEdit1, "Support : (V)Scramble"},
      {form.SupportEdit2, "          (X)Remap"},
      {form.FlashInfoEdit, "                  Flash Info (0x224a)"},
      {form.FlashTypeEdit, "Flash type : SLC"},
      {form.BlockCeEdit, "Blocks/CE = 4096(4G)      Blocks/Flash = 8192(8G)"},
      {form.PageBlockEdit, "Pages/Block = 128         Bytes/Page = 8192"},
      {form.CeEdit, "# of CE : 2       # of Die : 2 "},
  };
  for (const auto& [edit, text] : ssd) EXPECT_EQ(Shown(edit), text) << edit->objectName().toStdString();
  EXPECT_TRUE(Shown(form.FwEdit).starts_with("F/W version : KWSS  " + c.firmwareDateCode));
  EXPECT_NE(Shown(form.FwEdit).find(c.firmwareRevision), std::string::npos);
  EXPECT_EQ(Lines(form.SSDInfoMemo), (std::vector<std::string>{"TMC0 = 17", "TMC1 = 17"}));
  const std::vector<std::string> dump = Lines(form.DpdFTLMemo);
  ASSERT_EQ(dump.size(), 9u);
  EXPECT_TRUE(dump[0].starts_with("<0A00>4A, 22, 00, 04, 02, ")) << dump[0];
  EXPECT_TRUE(dump[8].starts_with("<0A80>")) << dump[8];

  // "Device Info": the USB group only.
  const std::pair<QLineEdit*, std::string> usb[] = {
      {form.CapEdit, std::to_string(c.sectorCount >> 11) + " MB"},
      {form.TotalLBAEdit, std::to_string(c.sectorCount)},
      {form.VIDEdit, Hex4(c.usbVendorId)},
      {form.PIDEdit, Hex4(c.usbProductId)},
      {form.VendorNameEdit, "Tolvane "},
      {form.ProductNameEdit, "KWFA4X USB SSD  "},
      {form.ManufacturStringEdit, c.usbManufacturer},
      {form.ProductStringEdit, c.usbProduct},
      {form.SNUSBEdit, c.serial},
  };
  for (const auto& [edit, text] : usb) EXPECT_EQ(Shown(edit), text) << edit->objectName().toStdString();
  EXPECT_TRUE(form.ModelNameEdit->text().isEmpty());

  // "erase count": one column per channel and bank, one row per block and
  // plane, each value the drive's own.
  const int channels = c.flashChannels, banks = c.flashBanks, planes = 2;
  std::vector<std::vector<std::int32_t>> tables;
  for (int unit = 0; unit < banks * planes; ++unit) {
    for (int channel = 0; channel < channels; ++channel) tables.push_back(EraseCounts(drive, channel, unit));
  }
  const std::size_t entries = tables[0].size();
  const std::vector<std::string> memo = Lines(form.EraseMemo);
  ASSERT_EQ(memo.size(), 1 + planes * entries);
  EXPECT_EQ(memo[0], "Ch/CE\t[0]/[0]\t[1]/[0]\t[2]/[0]\t[3]/[0]\t[0]/[1]\t[1]/[1]\t[2]/[1]\t[3]/[1]\t");
  const std::size_t perRow = tables.size() / planes;
  std::uint64_t sum = 0, counted = 0;
  std::int32_t largest = 0;
  for (int plane = 0; plane < planes; ++plane) {
    for (std::size_t p = 0; p < entries; p += entries / 7) {
      char number[8];
      std::snprintf(number, sizeof number, "%04zu\t", plane * entries + p);
      std::string row = number;
      for (std::size_t k = 0; k < perRow; ++k) {
        const std::int32_t value = tables[plane * perRow + k][p];
        char cell[16];
        std::snprintf(cell, sizeof cell, value == -1 ? "X\t" : "%2d\t", value);
        row += cell;
      }
      EXPECT_EQ(memo[1 + plane * entries + p], row);
    }
  }
  for (const auto& table : tables) {
    for (const std::int32_t value : table) {
      if (value == -1) continue;
      sum += static_cast<std::uint64_t>(value);  // a block without a count counts in the divisor only
      largest = std::max(largest, value);
    }
    counted += table.size();
  }
  EXPECT_EQ(Shown(form.MeraseEdit), "Max. erase count = " + std::to_string(largest));
  EXPECT_EQ(Shown(form.AeraseEdit), "Average erase count = " + std::to_string(sum / counted));
  EXPECT_TRUE(form.AeraseEdit->isHidden());
  EXPECT_EQ(form.DiagramImage->pixmap().size(), QSize(360, 240)) << "the schematic diagram is shown";

  SaveScreenshot(form, 0, "ssd_info_own_usb");
  SaveScreenshot(form, 1, "erase_count_own_usb");
  SaveScreenshot(form, 4, "device_info_own_usb");
}

TEST_F(ServiceBench, BridgeAndSataDrivesFillTheSataGroup) {
  TMainForm form("");
  form.GetTolvaneDevice();
  for (const auto& [entry, path] : {std::pair{1, kBridgePath}, std::pair{2, kSataPath}}) {
    SCOPED_TRACE(path);
    const drivesim::DriveConfig& c = DriveAt(path).config();
    Select(form, entry);
    char wwn[17];
    std::snprintf(wwn, sizeof wwn, "%016llX", static_cast<unsigned long long>(c.worldWideName));
    const std::pair<QLineEdit*, std::string> sata[] = {
        {form.ModelNameEdit, "Model Name: " + c.model},
        {form.SNEdit, "Serial Number: " + c.serial},
        {form.FwVersionEdit, "Firmware Revision: " + c.firmwareRevision},
        {form.DiskHeadEdit, "Heads: 16   Cylinders: 16383   Sectors per Track: 63"},
        {form.TotalSectorEdit, "Total number of user addressable sectors: (LBA mode) " + std::to_string(c.sectorCount)},
        {form.MultiwordDMAmodeEdit, "Multiword DMA mode 2 and below are supported"},
        {form.UltraDMAModeEdit, "Ultra DMA mode 6 and below are supported"},
        {form.UltraDMAEdit, "Ultra DMA is selected : mode 6"},
        {form.SMARTfeatureEdit, "SMART feature set supported, enabled"},
        {form.SecurityModeEdit, "Security Mode feature set not supported, not enabled"},
        {form.WWNEdit, std::string("World Wide Name: ") + wwn},
    };
    for (const auto& [edit, text] : sata) EXPECT_EQ(Shown(edit), text) << edit->objectName().toStdString();
    EXPECT_TRUE(form.CapEdit->text().isEmpty()) << "the USB group stays empty";
    EXPECT_EQ(Shown(form.FlashmodelEdit), "Flash model : " + c.flashPartName + " (Toshiba)");
    EXPECT_FALSE(Lines(form.EraseMemo).empty());
  }
  EXPECT_TRUE(prompt_->messages().empty());
  SaveScreenshot(form, 4, "device_info_sata");
}

TEST_F(ServiceBench, LoaderDriveSaysSoAndShowsOnlyItsSize) {
  TMainForm form("");
  form.GetTolvaneDevice();
  Select(form, 3);
  EXPECT_EQ(prompt_->takeMessages(), (std::vector<std::string>{"FAIL!!!. The SSD doesn't run on system mode now."}));
  const drivesim::DriveConfig& c = line_->drives()[3]->config();
  EXPECT_EQ(Shown(form.TotalLBAEdit), std::to_string(c.sectorCount));
  EXPECT_TRUE(form.VIDEdit->text().isEmpty());
  EXPECT_TRUE(form.SNUSBEdit->text().isEmpty());
}

// A drive list change refills every page for the new drive, leaving nothing
// of the one before.
TEST_F(ServiceBench, ChangingTheDriveClearsWhatTheOtherShowed) {
  TMainForm form("");
  form.GetTolvaneDevice();
  Select(form, 1);
  ASSERT_FALSE(form.ModelNameEdit->text().isEmpty());
  Select(form, 0);
  EXPECT_TRUE(form.ModelNameEdit->text().isEmpty());
  EXPECT_FALSE(form.CapEdit->text().isEmpty());
}

TEST_F(ServiceBench, ScanSaysItIsFinishedAndListsWhatIsThereNow) {
  TMainForm form("");
  form.show();
  ASSERT_TRUE(ProcessEventsUntil([&] { return form.DeviceList->count() == 4; }));
  DriveAt(kOwnUsbPath).unplug();
  QTest::mouseClick(form.ScanBn, Qt::LeftButton);
  EXPECT_EQ(prompt_->takeMessages(), (std::vector<std::string>{"Device scan is finished"}));
  ASSERT_EQ(form.DeviceList->count(), 3);
  EXPECT_EQ(form.DeviceList->itemText(0).toStdString(), "<< USB / SATA >>  Tolvane KWFA4X SATA SSD TV0000000102");
  EXPECT_TRUE(devlib::PortTransportOf(0)->devicePath.starts_with(kBridgePath));
  EXPECT_EQ(devlib::PortTransportOf(0)->usbPath, 0);
  EXPECT_TRUE(devlib::PortTransportOf(3)->devicePath.empty());
  EXPECT_FALSE(form.ModelNameEdit->text().isEmpty()) << "the new first drive is shown";
}

// Every scenario of the tree starts the window and fills it without a hang:
// the bench's SATA drive runs its loader and has no firmware signature, and a
// whole line fills the twelve slots only.
TEST_F(ProbeWindow, EveryScenarioStartsAndListsItsControllerDrives) {
  const std::pair<const char*, int> scenarios[] = {{"bench.ini", 2}, {"service.ini", 4}, {"line50.ini", 12}};
  for (const auto& [scenario, listed] : scenarios) {
    SCOPED_TRACE(scenario);
    Load(scenario);
    TMainForm form("");
    form.show();
    ASSERT_TRUE(ProcessEventsUntil([&] { return form.DeviceList->count() > 0; }));
    EXPECT_EQ(form.DeviceList->count(), listed);
    EXPECT_FALSE(form.FlashmodelEdit->text().isEmpty());
    prompt_->takeMessages();
  }
}

// A second start ends at once: it never reaches the line (a scenario that
// does not exist would make it fail) and never opens a window.
TEST(SecondInstance, EndsBeforeTouchingAnyDrive) {
  Application();
  char pattern[] = "/tmp/blockprobe_lock_XXXXXX";
  ASSERT_NE(::mkdtemp(pattern), nullptr);
  setenv("TOLVANE_LOCK_DIR", pattern, 1);
  const platform::InstanceGuard first("KWUtil");
  ASSERT_FALSE(first.alreadyRunning());

  QProcess second;
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  environment.insert("TOLVANE_LOCK_DIR", pattern);
  environment.insert("TOLVANE_SIM", "/nonexistent/scenario.ini");
  environment.insert("QT_QPA_PLATFORM", "offscreen");
  second.setProcessEnvironment(environment);
  second.start(BLOCKPROBE_EXECUTABLE, {});
  ASSERT_TRUE(second.waitForFinished(20000)) << "the second instance kept running";
  EXPECT_EQ(second.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(second.exitCode(), 0);
  EXPECT_TRUE(second.readAllStandardError().isEmpty());

  // Without the first holding the name, the same start reaches the line and
  // says the scenario is missing.
  QProcess alone;
  environment.insert("TOLVANE_LOCK_DIR", std::string(pattern).append("/free").c_str());
  std::filesystem::create_directory(std::string(pattern) + "/free");
  alone.setProcessEnvironment(environment);
  alone.start(BLOCKPROBE_EXECUTABLE, {});
  ASSERT_TRUE(alone.waitForFinished(20000));
  EXPECT_EQ(alone.exitCode(), 1);
  EXPECT_TRUE(alone.readAllStandardError().contains("scenario"));
  unsetenv("TOLVANE_LOCK_DIR");
  std::filesystem::remove_all(pattern);
}

}  // namespace
}  // namespace blockprobe
