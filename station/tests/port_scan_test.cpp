// The device scan on small emulated lines: which hub port each disk goes to,
// the counts, the path choice per bridge type, keep and restore mode, the
// barcode prompts and the START rule.

#include <gtest/gtest.h>

#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "devlib/flash_params.h"
#include "drivesim/config.h"
#include "platform/debug.h"
#include "scan_fixture.h"
#include "station/startup.h"

namespace fleetburn::testing {
namespace {

std::string UsbPath(int n) { return "\\\\?\\usbstor#disk&ven_tolvane&prod_ssd&rev_1.00#" + std::to_string(n) + "#{53f56307}"; }
std::string BridgePath(int n) { return "\\\\?\\usbstor#disk&ven_usb&prod_bridge&rev_0100#" + std::to_string(n) + "#{53f56307}"; }

drivesim::DriveConfig OwnUsbDrive(int n, std::uint64_t sectors = 234441648) {
  drivesim::DriveConfig config = drivesim::DriveConfig::ownUsb(UsbPath(n));
  config.serial = "TV" + std::to_string(1000 + n);
  config.sectorCount = sectors;
  return config;
}

drivesim::DriveConfig BridgeDrive(int n, int chipType) {
  drivesim::DriveConfig config =
      drivesim::DriveConfig::bridge(BridgePath(n), chipType, drivesim::DriveConfig::keyOfChipType(chipType));
  config.serial = "TB" + std::to_string(1000 + n);
  return config;
}

// An input box that keeps what it was asked and answers from a script.
class AskingPrompt final : public platform::prompt::Prompt {
 public:
  void message(std::string_view text) override { messages.emplace_back(text); }
  std::optional<std::string> input(std::string_view caption, std::string_view label, std::string_view) override {
    asked.emplace_back(std::string(caption) + " / " + std::string(label));
    if (whileOpen) std::exchange(whileOpen, {})();
    if (replies.empty()) return std::nullopt;
    std::optional<std::string> reply = replies.front();
    replies.pop_front();
    return reply;
  }

  std::vector<std::string> asked;
  std::vector<std::string> messages;
  std::deque<std::optional<std::string>> replies;
  std::function<void()> whileOpen;  // runs once, as the box's own message loop would
};

// r (6 ports): 2 an own-USB drive, 3 a USB device that is no disk, 5 a bridge of type 1.
class SmallLine : public ScanTest {
 protected:
  void SetUp() override {
    ScanTest::SetUp();
    auto emulated = std::make_shared<drivesim::Line>();
    emulated->addDrive(OwnUsbDrive(1, 2048 * 1234 + 1));
    emulated->addDrive(BridgeDrive(2, 1));
    drivesim::UsbTopology topology;
    topology.rootHub("r", 6);
    topology.drive({"r", 2}, UsbPath(1));
    topology.device({"r", 3}, drivesim::UsbDeviceSpec{.vendorId = 0x046d, .productId = 0xc31c, .serial = "KB1"});
    topology.drive({"r", 5}, BridgePath(2));
    ASSERT_EQ(emulated->setTopology(topology), "");
    UseLine(emulated);
    scanner->setOptions(&options);
  }

  void UsePrompt() {
    scanner = std::make_unique<PortScanner>(settings, asking, gui.poster(), &view);
    scanner->setOptions(&options);
  }

  devlib::FlashParams options{};
  AskingPrompt asking;
};

TEST_F(SmallLine, MatchesEachDiskToItsPortAndCountsPresentAndActivePorts) {
  StartUp();
  EXPECT_EQ(PortCount, 6);
  EXPECT_EQ(scanner->PresentCount(), 3);
  EXPECT_EQ(scanner->ActiveCount(), 2);
  EXPECT_EQ(ActivePortCount, 2);

  const PortRecord& own = PortTable[1];
  EXPECT_EQ(own.devicePath, UsbPath(1));
  EXPECT_EQ(own.chipType, 10);
  EXPECT_EQ(own.active, 1u);
  EXPECT_EQ(own.capacityMB, 1234u);
  EXPECT_EQ(own.busType, 3) << "the path names usbstor";
  EXPECT_EQ(devlib::PortTransportOf(1)->usbPath, 1);

  const PortRecord& bridged = PortTable[4];
  EXPECT_EQ(bridged.devicePath, BridgePath(2));
  EXPECT_EQ(bridged.chipType, 1);
  EXPECT_EQ(bridged.active, 1u);
  EXPECT_GT(bridged.capacityMB, 0u);
  EXPECT_EQ(devlib::PortTransportOf(4)->usbPath, 0) << "a SATA bridge tunnels";
  EXPECT_TRUE(devlib::PortIo(4)->forceOpcodeSet1.load());
  EXPECT_TRUE(line->drive(BridgePath(2))->vendorMode()) << "vendor mode switched on in the scan";

  const PortRecord& other = PortTable[2];
  EXPECT_EQ(other.hubState, 1u);
  EXPECT_EQ(other.active, 0u);
  EXPECT_TRUE(other.devicePath.empty());

  EXPECT_EQ(board->panel(1).caption, "1234 MB");
  EXPECT_EQ(board->panel(1).colour, PanelColour::Yellow);
  EXPECT_TRUE(board->panel(1).shown);
  EXPECT_EQ(board->panel(2).caption, "Not KW");
  EXPECT_FALSE(board->panel(2).shown);
  EXPECT_FALSE(board->panel(0).shown);
  EXPECT_EQ(view.panels.at(4), board->panel(4)) << "the window was told each panel";
  EXPECT_TRUE(view.startEnabled);
  EXPECT_EQ(options.sataBusMode, 1) << "a bridge of type 1";
}

TEST_F(SmallLine, KeepModeKeepsAStayingDrivesRecordAndClearsARemovedOne) {
  StartUp();
  PortRecord& staying = PortTable[1];
  staying.serialNumber.assign("SN-KEPT");
  staying.uniqueId.assign("UID-KEPT");
  staying.finalResult = 1;
  staying.itemResult[8] = 1;
  ASSERT_TRUE(line->deviceTree()->unplugPort({"r", 5}));

  scanner->RefreshBtnClick();
  WaitForScan();

  EXPECT_EQ(staying.serialNumber.str(), "SN-KEPT");
  EXPECT_EQ(staying.itemResult[8], 1);
  EXPECT_EQ(board->panel(1).caption, "Pass");
  EXPECT_EQ(board->panel(1).snText, "SN-KEPT");
  EXPECT_EQ(board->panel(1).uidText, "UID-KEPT");

  EXPECT_EQ(PortTable[4].hubState, 0u);
  EXPECT_EQ(PortTable[4].chipType, 0);
  EXPECT_TRUE(PortTable[4].devicePath.empty());
  EXPECT_TRUE(devlib::PortTransportOf(4)->devicePath.empty());
  EXPECT_FALSE(board->panel(4).shown);
  EXPECT_EQ(board->panel(4).caption, "");
  EXPECT_EQ(scanner->ActiveCount(), 1);
}

TEST_F(SmallLine, RestoreModeTakesTheScanWhole) {
  StartUp();
  PortTable[1].serialNumber.assign("OLD");
  scanner->RefreshPorts(true);
  WaitForScan();
  EXPECT_TRUE(PortTable[1].serialNumber.empty());
  EXPECT_EQ(PortTable[1].active, 1u);
}

// No disk at all: START off, ActivePortCount 0, the other counts as they were.
TEST_F(SmallLine, ARescanThatFindsNoDiskDisablesStartAndKeepsTheCounts) {
  StartUp();
  ASSERT_TRUE(view.startEnabled);
  ASSERT_TRUE(line->deviceTree()->unplugPort({"r", 2}));
  ASSERT_TRUE(line->deviceTree()->unplugPort({"r", 5}));
  scanner->RefreshBtnClick();
  WaitForScan();
  EXPECT_FALSE(view.startEnabled);
  EXPECT_FALSE(scanner->startEnabled());
  EXPECT_EQ(ActivePortCount, 0);
  EXPECT_EQ(scanner->PresentCount(), 3);
  EXPECT_EQ(scanner->ActiveCount(), 2);
}

struct StartCase {
  bool supportFilesOk;
  int connectDevNum;
  bool enabled;
};

class StartRule : public SmallLine, public ::testing::WithParamInterface<StartCase> {};

TEST_P(StartRule, FollowsSupportFilesAndTheConnectCheck) {
  scanner->setSupportFilesOk(GetParam().supportFilesOk);
  StartUp();
  scanner->ConnectionChkCmboxChange(GetParam().connectDevNum);
  WaitForScan();
  EXPECT_EQ(settings.ConnectDevNum, GetParam().connectDevNum);
  EXPECT_EQ(scanner->startEnabled(), GetParam().enabled);
  EXPECT_EQ(view.startEnabled, GetParam().enabled);
  EXPECT_EQ(view.startFocused > 0, GetParam().enabled) << "START gets the focus when it may run";
}

// Two drives are active on the small line.
INSTANTIATE_TEST_SUITE_P(Cases, StartRule,
                         ::testing::Values(StartCase{true, 0, true}, StartCase{true, 2, true},
                                           StartCase{true, 3, false}, StartCase{true, 1, false},
                                           StartCase{false, 0, false}, StartCase{false, 2, false}));

TEST_F(SmallLine, BarcodePromptsAskEveryRecognisedDriveForItsSerialAndUid) {
  settings.EnBarCode = 1;
  settings.EnBarCodeWWN = 1;
  UsePrompt();
  asking.replies = {"SN-2", "UID-2", "SN-5", "UID-5"};
  StartUp();
  EXPECT_EQ(asking.asked, (std::vector<std::string>{
                              "Please Input the SN (Port2) / Serial Number",
                              "Please Input the WWN or UID(Port2) / WWN or UID",
                              "Please Input the SN (Port5) / Serial Number",
                              "Please Input the WWN or UID(Port5) / WWN or UID",
                          }));
  EXPECT_EQ(PortTable[1].serialNumber.str(), "SN-2");
  EXPECT_EQ(BarcodeSerials[1].str(), "SN-2");
  EXPECT_EQ(PortTable[4].uniqueId.str(), "UID-5");
  EXPECT_EQ(BarcodeUids[4].str(), "UID-5");
  EXPECT_EQ(board->panel(1).snText, "SN-2");
  EXPECT_EQ(board->panel(1).caption, "") << "a port with a serial shows no capacity";

  // Keep mode: both drives have theirs, nobody is asked again.
  asking.asked.clear();
  scanner->RefreshBtnClick();
  WaitForScan();
  EXPECT_TRUE(asking.asked.empty());
  EXPECT_EQ(PortTable[4].serialNumber.str(), "SN-5");
}

TEST_F(SmallLine, ACancelledBarcodeLeavesThePortWithoutASerialAndTheNextRescanAsksAgain) {
  settings.EnBarCode = 1;
  UsePrompt();
  asking.replies = {std::nullopt, ""};
  StartUp();
  EXPECT_TRUE(PortTable[1].serialNumber.empty());
  EXPECT_TRUE(PortTable[4].serialNumber.empty()) << "an empty text is no serial either";
  EXPECT_EQ(board->panel(1).caption, "1234 MB") << "the board shows the port has none";

  asking.asked.clear();
  asking.replies = {"SN-LATE"};
  scanner->RefreshBtnClick();
  WaitForScan();
  EXPECT_EQ(asking.asked.size(), 2u);
  EXPECT_EQ(PortTable[1].serialNumber.str(), "SN-LATE");
}

// A rescan asked for while the box is open is not lost: it runs once the
// rescan that asks has ended.
TEST_F(SmallLine, ARescanAskedForDuringABarcodePromptRunsAfterIt) {
  settings.EnBarCode = 1;
  UsePrompt();
  asking.replies = {"SN-2", "SN-5"};
  StartUp();
  ASSERT_EQ(scanner->scansStarted(), 1);
  asking.replies = {"SN-NEW"};
  asking.whileOpen = [this] {
    ASSERT_TRUE(line->deviceTree()->unplugPort({"r", 2}));
    scanner->RefreshBtnClick();
  };
  PortTable[4].serialNumber.assign("");
  scanner->RefreshBtnClick();
  WaitForScan();
  EXPECT_EQ(scanner->scansStarted(), 3);
  EXPECT_EQ(PortTable[4].serialNumber.str(), "SN-NEW");
  EXPECT_EQ(PortTable[1].hubState, 0u) << "the pull made during the prompt is seen";
}

// A serial another port holds, or one too long for the field, is refused and asked again.
TEST_F(SmallLine, ASerialTwiceOrTooLongIsRefusedAndAskedAgain) {
  settings.EnBarCode = 1;
  UsePrompt();
  asking.replies = {"SAME", "SAME", std::string(40, 'x'), std::string(39, 'y')};
  StartUp();
  EXPECT_EQ(PortTable[1].serialNumber.str(), "SAME");
  EXPECT_EQ(PortTable[4].serialNumber.str(), std::string(39, 'y'));
  EXPECT_EQ(asking.asked.size(), 4u);
  ASSERT_EQ(asking.messages.size(), 2u);
  EXPECT_NE(asking.messages[0].find("port 2"), std::string::npos) << asking.messages[0];
  EXPECT_NE(asking.messages[1].find("39"), std::string::npos) << asking.messages[1];
}

// --- The path choice per bridge type ----------------------------------------

struct PathCase {
  int chipType;
  int usbPath;       // of the port's transport
  const char* word;  // the caption's path word after the scan
  bool busMode;      // SataBusMode and opcode set 1 forced
};

class PathChoice : public ScanTest, public ::testing::WithParamInterface<PathCase> {};

TEST_P(PathChoice, FollowsTheChipType) {
  const PathCase& c = GetParam();
  auto emulated = std::make_shared<drivesim::Line>();
  if (c.chipType == 10) {
    emulated->addDrive(OwnUsbDrive(1));
  } else {
    drivesim::DriveConfig config = BridgeDrive(1, c.chipType == 0 ? 7 : c.chipType);
    if (c.chipType == 0) config.bridgeKey = "zzzz";
    emulated->addDrive(config);
  }
  UseLine(emulated);
  devlib::FlashParams options{};
  scanner->setOptions(&options);
  platform::debug::CaptureSink debug;
  StartUp();

  EXPECT_EQ(PortTable[0].chipType, c.chipType);
  EXPECT_EQ(PortTable[0].active, c.chipType != 0 ? 1u : 0u);
  EXPECT_EQ(devlib::PortTransportOf(0)->usbPath, c.usbPath);
  EXPECT_EQ(scanner->pathWord(), c.word);
  EXPECT_EQ(view.caption, ShowCaptionString(c.word));
  EXPECT_EQ(options.sataBusMode, c.busMode ? 1 : 0);
  EXPECT_EQ(devlib::PortIo(0)->forceOpcodeSet1.load(), c.busMode);
  EXPECT_EQ(debug.contains(std::string(c.word) + " PATH"), c.chipType != 0);
}

INSTANTIATE_TEST_SUITE_P(ChipTypes, PathChoice,
                         ::testing::Values(PathCase{0, 1, "SATA", false}, PathCase{1, 0, "SATA", true},
                                           PathCase{4, 0, "SATA", false}, PathCase{7, 0, "SATA", false},
                                           PathCase{8, 0, "SATA", false}, PathCase{9, 0, "SATA", false},
                                           PathCase{10, 1, "USB", false}, PathCase{11, 0, "SATA", false},
                                           PathCase{12, 0, "SATA", false}, PathCase{13, 0, "SATA", false},
                                           PathCase{14, 0, "SATA", true}),
                         [](const auto& row) { return "Type" + std::to_string(row.param.chipType); });

// --- More hub ports than the station has --------------------------------------

TEST_F(ScanTest, AWalkOfMorePortsThanTheStationHasIsBoundedAndReported) {
  auto emulated = std::make_shared<drivesim::Line>();
  drivesim::UsbTopology topology;
  topology.rootHub("r", 55);
  for (int n = 1; n <= 55; n += 6) {
    emulated->addDrive(OwnUsbDrive(n));
    topology.drive({"r", n}, UsbPath(n));
  }
  ASSERT_EQ(emulated->setTopology(topology), "");
  UseLine(emulated);
  StartUp();
  EXPECT_EQ(scanner->WalkedPortCount(), 55) << "what the start-up's port check needs";
  EXPECT_EQ(PortCount, 50);
  EXPECT_EQ(board->panelCount(), 50);
  EXPECT_EQ(scanner->ActiveCount(), 9) << "the drives on ports 1 to 49";
}

}  // namespace
}  // namespace fleetburn::testing
