// The drive list against emulated drives: which drives are listed, their
// entries and texts, the slots they are bound to, and what the controller
// test costs a drive that is not one of the maker's.

#include "probe/drive_list.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <functional>
#include <iterator>
#include <ostream>
#include <string>
#include <vector>

#include "devlib/port_io.h"
#include "drivesim/line.h"
#include "platform/clock.h"
#include "platform/debug.h"
#include "testsupport/fake_device_tree.h"
#include "testsupport/fake_storage.h"

namespace blockprobe {
namespace {

using drivesim::DriveConfig;
using DiskInterface = platform::devices::DeviceTree::DiskInterface;
using BusKind = platform::devices::DeviceTree::BusKind;

const std::string kOwnUsbPath = "\\\\?\\usbstor#disk&ven_tolvane&prod_kwfa4x&rev_1.00#0001#{53f56307}";
const std::string kBridgePath = "\\\\?\\usbstor#disk&ven_usb&prod_sata_bridge&rev_0100#0002#{53f56307}";
const std::string kSataPath = "\\\\?\\ide#disktolvane_kwfa4x_sata_ssd#5&1a2b&0&0.0.0#{53f56307}";
const std::string kScsiPath = "\\\\?\\scsi#disk&ven_tolvane&prod_kwfa4x#4&2b3c&0&000000#{53f56307}";
const std::string kSbp2Path = "\\\\?\\sbp2#tolvane&kwfa4x&lun0#1&0001#{53f56307}";

const std::string kSataText = "<< IDE / SATA >>  Tolvane KWFA4X SATA SSD TV0000000001";

DriveConfig Sata(const std::string& path = kSataPath) { return DriveConfig::sataPort(path); }
DriveConfig Bridge(int chipType, const std::string& key = "") {
  return DriveConfig::bridge(kBridgePath, chipType, key.empty() ? DriveConfig::keyOfChipType(chipType) : key);
}

std::string TextOf(const char* bytes) { return std::string(bytes); }

class DriveListTest : public ::testing::Test {
 protected:
  void SetUp() override {
    devlib::InitPortIoTable(devlib::ProgramKind::Blockprobe);
    drivesim::installLine(line_);
  }
  void TearDown() override { drivesim::installLine(nullptr); }

  drivesim::Drive& Add(DriveConfig config) { return line_->addDrive(std::move(config)); }

  static int Count(drivesim::Drive& drive, const std::function<bool(const drivesim::WireEntry&)>& match) {
    const auto entries = drive.wire().entries(drivesim::Layer::Ata);
    // An injected ATA error is logged once more where it strikes.
    return static_cast<int>(std::count_if(entries.begin(), entries.end(), [&](const drivesim::WireEntry& e) {
      return e.note != "fault: ATA error" && match(e);
    }));
  }
  static int Identifies(drivesim::Drive& drive) {
    return Count(drive, [](const drivesim::WireEntry& e) { return e.command.size() >= 7 && e.command[6] == 0xEC; });
  }
  static int VendorModeSwitches(drivesim::Drive& drive) {
    return Count(drive, [](const drivesim::WireEntry& e) {
      return e.command.size() >= 7 && e.command[6] == 0xEF && e.command[0] == 0xDC;
    });
  }
  static int SignatureReads(drivesim::Drive& drive) {
    return Count(drive, [](const drivesim::WireEntry& e) {
      return e.command.size() >= 7 && (e.command[6] == 0x86 || e.command[6] == 0x8A || e.command[6] == 0xC4) &&
             e.command[2] == 0xFF;
    });
  }

  platform::clock::ScopedFastClock clock_;
  platform::debug::CaptureSink debug_;
  std::shared_ptr<drivesim::Line> line_ = std::make_shared<drivesim::Line>();
};

// ---------------------------------------------------------------------------
// One drive on the line: listed or not, and how.

struct ListCase {
  const char* what;
  std::function<DriveConfig()> drive;
  std::string text;  // empty: not listed
  std::uint8_t busType = 0;
  std::uint8_t usbPath = 0;
  std::uint8_t nativeAta = 0;
  std::uint8_t opcodeSet = 2;
  std::string volumeTag{};
  std::string inquiryVendor{};  // listed by INQUIRY when not empty
  std::string inquiryProduct{};
  std::function<void(drivesim::Drive&)> prepare{};
};

void PrintTo(const ListCase& c, std::ostream* out) { *out << c.what; }

DriveConfig WithVolume(DriveConfig config, std::string tag) {
  config.volumeTag = std::move(tag);
  return config;
}
DriveConfig OnBus(DriveConfig config, drivesim::HostBus bus, std::string path) {
  config.hostBus = bus;
  config.path = std::move(path);
  return config;
}

drivesim::FaultRule Fault(drivesim::FaultKind kind, drivesim::FaultMatch match, int skip, int times) {
  drivesim::FaultRule rule;
  rule.kind = kind;
  rule.match = match;
  rule.skip = skip;
  rule.times = times;
  return rule;
}

drivesim::FaultMatch OnScsiOpcode(std::uint8_t opcode) {
  drivesim::FaultMatch match;
  match.scsiOpcode = opcode;
  return match;
}

drivesim::FaultMatch OnAtaCommand(std::uint8_t command) {
  drivesim::FaultMatch match;
  match.ataCommand = command;
  return match;
}

drivesim::FaultMatch OnSignatureRead() {
  drivesim::FaultMatch match;
  match.phase = drivesim::TunnelPhase::SignatureRead;
  return match;
}

const std::vector<ListCase> kListCases = {
    {"own USB interface: by INQUIRY", [] { return DriveConfig::ownUsb(kOwnUsbPath); },
     "<< USB >>  Tolvane KWFA4X USB SSD", 3, 1, 0, 2, "", "Tolvane ", "KWFA4X USB SSD  "},
    {"own USB interface with a volume: USB entries carry none",
     [] { return WithVolume(DriveConfig::ownUsb(kOwnUsbPath), "G"); }, "<< USB >>  Tolvane KWFA4X USB SSD", 3, 1, 0,
     2, "", "Tolvane ", "KWFA4X USB SSD  "},
    {"SATA bridge: by IDENTIFY through it", [] { return Bridge(7); },
     "<< USB / SATA >>  Tolvane KWFA4X SATA SSD TV0000000001", 3, 0, 0, 2},
    {"SATA bridge of chip type 1: opcode set 1", [] { return Bridge(1); },
     "<< USB / SATA >>  Tolvane KWFA4X SATA SSD TV0000000001", 3, 0, 0, 1},
    {"bridge whose type is no SATA bridge: by INQUIRY", [] { return Bridge(7, "ice "); },
     "<< USB >>  USB SATA Bridge", 3, 1, 0, 2, "", "USB     ", "SATA Bridge     "},
    {"bridge of an unknown chip", [] { return Bridge(7, "zz99"); }, ""},
    {"SATA port without a volume", [] { return Sata(); }, kSataText, 1, 0, 1, 2},
    {"SATA port with a volume", [] { return WithVolume(Sata(), "E"); }, kSataText + " (E:)", 1, 0, 1, 2, "E"},
    {"SCSI bus: never a volume", [] { return WithVolume(OnBus(Sata(), drivesim::HostBus::Scsi, kScsiPath), "F"); },
     "<< SCSI >>  Tolvane KWFA4X SATA SSD TV0000000001", 2, 0, 0, 2},
    {"SBP2 is listed as USB", [] { return OnBus(DriveConfig::ownUsb(kOwnUsbPath), drivesim::HostBus::Sbp2, kSbp2Path); },
     "<< SBP2 >>  Tolvane KWFA4X USB SSD", 3, 1, 0, 2, "", "Tolvane ", "KWFA4X USB SSD  "},
    {"a path in another case opens as listed",
     [] { return Sata("\\\\?\\IDE#DiskTolvane_KWFA4X#5&1A2B&0&0.0.0#{53F56307}"); }, kSataText, 1, 0, 1, 2},
    {"hard disk", [] {
       DriveConfig c = Sata();
       c.rotationRate = 7200;
       return c;
     }, ""},
    {"another maker's SSD", [] {
       DriveConfig c = Sata();
       c.foreignSignature = true;
       return c;
     }, ""},
    {"vendor mode refused", [] {
       DriveConfig c = Sata();
       c.refusesVendorMode = true;
       return c;
     }, ""},
    {"IDENTIFY fails on a SATA port", [] {
       DriveConfig c = Sata();
       c.identifyFails = true;
       return c;
     }, ""},
    {"IDENTIFY fails behind a SATA bridge", [] {
       DriveConfig c = Bridge(7);
       c.identifyFails = true;
       return c;
     }, ""},
    // The chip type read passes; the INQUIRY that would list the drive fails.
    {"INQUIRY of the own interface fails", [] { return DriveConfig::ownUsb(kOwnUsbPath); }, "", 0, 0, 0, 2, "", "", "",
     [](drivesim::Drive& d) { d.injectFault(Fault(drivesim::FaultKind::CheckCondition, OnScsiOpcode(0x12), 1, 1)); }},
};

class OneDrive : public DriveListTest, public ::testing::WithParamInterface<ListCase> {};

TEST_P(OneDrive, ListedWithItsEntryAndSlot) {
  const ListCase& c = GetParam();
  drivesim::Drive& drive = Add(c.drive());
  if (c.prepare) c.prepare(drive);

  const std::vector<std::string> texts = GetTolvaneDevice();
  const devlib::PortIoRecord& slot = *devlib::PortIo(0);
  const std::shared_ptr<const devlib::PortTransport> transport = slot.Transport();
  const DeviceEntry& entry = DeviceEntryOf(0);
  if (c.text.empty()) {
    EXPECT_TRUE(texts.empty());
    EXPECT_EQ(entry.busType, 0);
    EXPECT_TRUE(entry.path.empty());
    EXPECT_TRUE(transport->devicePath.empty()) << "a drive that is not listed keeps no slot";
    return;
  }
  ASSERT_EQ(texts, std::vector<std::string>{c.text});
  EXPECT_EQ(entry.path, drive.config().path);
  EXPECT_EQ(transport->devicePath, drive.config().path);
  EXPECT_EQ(entry.busType, c.busType);
  EXPECT_EQ(transport->usbPath, c.usbPath);
  EXPECT_EQ(transport->nativeAta, c.nativeAta);
  EXPECT_EQ(slot.opcodeSet.load(), c.opcodeSet);
  EXPECT_EQ(entry.volumeTag, c.volumeTag);
  EXPECT_EQ(TextOf(entry.inquiryVendor.data()), c.inquiryVendor);
  EXPECT_EQ(TextOf(entry.inquiryProduct.data()), c.inquiryProduct);
  if (!c.inquiryVendor.empty()) {
    EXPECT_TRUE(std::all_of(entry.identify.begin(), entry.identify.end(), [](std::uint8_t b) { return b == 0; }));
  }
  // The page code reads its slot: the slot reaches the drive.
  EXPECT_TRUE(c.usbPath != 0 || IsOwnController(0));
}

INSTANTIATE_TEST_SUITE_P(Drives, OneDrive, ::testing::ValuesIn(kListCases),
                         [](const ::testing::TestParamInfo<ListCase>& param) {
                           std::string name = "case" + std::to_string(param.index) + "_";
                           for (const char* p = param.param.what; *p != '\0'; ++p) {
                             if (std::isalnum(static_cast<unsigned char>(*p))) name += *p;
                           }
                           return name;
                         });

TEST_F(DriveListTest, IdentifyEntryHoldsTheWholeBlockWithFixedTexts) {
  Add(Sata());
  ASSERT_EQ(GetTolvaneDevice().size(), 1u);
  const auto& identify = DeviceEntryOf(0).identify;
  EXPECT_EQ(identify[0], 0x40) << "word 0 as the drive sent it";
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&identify[54])), "Tolvane KWFA4X SATA SSD");
  EXPECT_EQ(identify[54 + 39], 0);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&identify[20])), "TV0000000001");
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&identify[46]), 8), "A4X10001");
}

TEST_F(DriveListTest, BridgeEntryHoldsOnlyTheSerialAndModelSwappedAndUntrimmed) {
  Add(Bridge(7));
  ASSERT_EQ(GetTolvaneDevice().size(), 1u);
  const auto& identify = DeviceEntryOf(0).identify;
  const std::string model(reinterpret_cast<const char*>(&identify[54]), 40);
  const std::string serial(reinterpret_cast<const char*>(&identify[20]), 20);
  EXPECT_EQ(model, "Tolvane KWFA4X SATA SSD" + std::string(17, ' '));
  EXPECT_EQ(serial, "TV0000000001" + std::string(8, ' '));
  for (std::size_t i = 0; i < identify.size(); ++i) {
    if ((i >= 20 && i < 40) || (i >= 54 && i < 94)) continue;
    ASSERT_EQ(identify[i], 0) << "byte " << i;
  }
}

// ---------------------------------------------------------------------------
// What the controller test costs.

struct CostCase {
  const char* what;
  std::function<void(DriveConfig&)> make;
  bool own;
  int identifies;
  int switches;
  int signatureReads;
  std::uint64_t waitedMs;
};

const std::vector<CostCase> kCostCases = {
    {"the maker's SSD", [](DriveConfig&) {}, true, 1, 1, 1, 0},
    {"hard disk: one IDENTIFY", [](DriveConfig& c) { c.rotationRate = 7200; }, false, 1, 0, 0, 0},
    {"another maker's SSD: six tries", [](DriveConfig& c) { c.foreignSignature = true; }, false, 1, 6, 6, 1200},
    {"vendor mode refused: two tries", [](DriveConfig& c) { c.refusesVendorMode = true; }, false, 1, 2, 0, 400},
    {"IDENTIFY fails", [](DriveConfig& c) { c.identifyFails = true; }, false, 1, 0, 0, 0},
};

TEST_F(DriveListTest, ControllerTestTriesAsOftenAsTheAnswerWarrants) {
  for (const CostCase& c : kCostCases) {
    SCOPED_TRACE(c.what);
    DriveConfig config = Sata();
    c.make(config);
    drivesim::Drive& drive = Add(config);
    ASSERT_TRUE(devlib::SetPortTransport(0, kSataPath, 0, 1));
    const std::uint64_t start = platform::clock::tickMs();
    EXPECT_EQ(IsOwnController(0), c.own);
    EXPECT_EQ(platform::clock::tickMs() - start, c.waitedMs);
    EXPECT_EQ(Identifies(drive), c.identifies);
    EXPECT_EQ(VendorModeSwitches(drive), c.switches);
    EXPECT_EQ(SignatureReads(drive), c.signatureReads);
  }
}

TEST_F(DriveListTest, FailedSignatureReadsEndTheTestAtTheSecond) {
  drivesim::Drive& drive = Add(Sata());
  drive.injectFault(Fault(drivesim::FaultKind::AtaError, OnSignatureRead(), 0, -1));
  ASSERT_TRUE(devlib::SetPortTransport(0, kSataPath, 0, 1));
  const std::uint64_t start = platform::clock::tickMs();
  EXPECT_FALSE(IsOwnController(0));
  EXPECT_EQ(platform::clock::tickMs() - start, 400u);
  EXPECT_EQ(SignatureReads(drive), 2);
}

TEST_F(DriveListTest, SecondIdentifyFailingDropsTheDrive) {
  drivesim::Drive& drive = Add(Sata());
  // The controller test's IDENTIFY passes; the one that fills the entry fails.
  drive.injectFault(Fault(drivesim::FaultKind::AtaError, OnAtaCommand(0xEC), 1, 1));
  EXPECT_TRUE(GetTolvaneDevice().empty());
  EXPECT_EQ(Identifies(drive), 2);
  EXPECT_TRUE(devlib::PortTransportOf(0)->devicePath.empty());
}

// ---------------------------------------------------------------------------
// Several drives.

TEST_F(DriveListTest, DrivesComeInTheTreesOrderAndTheRejectedOnesTakeNoSlot) {
  Add(DriveConfig::ownUsb(kOwnUsbPath));
  DriveConfig hardDisk = Sata("\\\\?\\ide#diskst2000dm008#5&9&0&1.0.0#{53f56307}");
  hardDisk.rotationRate = 7200;
  Add(hardDisk);
  Add(OnBus(Sata(), drivesim::HostBus::Scsi, kScsiPath));
  Add(Sata());

  const std::vector<std::string> texts = GetTolvaneDevice();
  EXPECT_EQ(texts, (std::vector<std::string>{"<< USB >>  Tolvane KWFA4X USB SSD",
                                             "<< SCSI >>  Tolvane KWFA4X SATA SSD TV0000000001", kSataText}));
  EXPECT_EQ(DeviceEntryOf(1).path, kScsiPath);
  EXPECT_EQ(devlib::PortTransportOf(2)->devicePath, kSataPath);
  EXPECT_TRUE(devlib::PortTransportOf(3)->devicePath.empty());
  EXPECT_EQ(DeviceEntryOf(3).busType, 0);
  EXPECT_EQ(DeviceEntryOf(-1).busType, 0);
  EXPECT_EQ(DeviceEntryOf(kDeviceSlots).busType, 0);

  const std::vector<std::string> lines = debug_.lines();
  const std::vector<std::string> expected = {"nDevice = 4", "DEVICE_USB", "DEVICE_IDE", "DEVICE_SCSI", "DEVICE_IDE"};
  std::vector<std::string> seen;
  std::copy_if(lines.begin(), lines.end(), std::back_inserter(seen), [&](const std::string& line) {
    return std::find(expected.begin(), expected.end(), line) != expected.end();
  });
  EXPECT_EQ(seen, expected);
}

struct OpcodeOrder {
  int first;
  int second;
};

TEST_F(DriveListTest, EachSlotKeepsItsOwnOpcodeSet) {
  for (const OpcodeOrder order : {OpcodeOrder{1, 7}, OpcodeOrder{7, 1}}) {
    SCOPED_TRACE("chip types " + std::to_string(order.first) + ", " + std::to_string(order.second));
    line_ = std::make_shared<drivesim::Line>();
    drivesim::installLine(line_);
    DriveConfig first = Bridge(order.first);
    DriveConfig second = Bridge(order.second);
    second.path = kBridgePath + "-2";
    Add(first);
    Add(second);
    ASSERT_EQ(GetTolvaneDevice().size(), 2u);
    EXPECT_EQ(devlib::PortIo(0)->opcodeSet.load(), order.first == 1 ? 1 : 2);
    EXPECT_EQ(devlib::PortIo(1)->opcodeSet.load(), order.second == 1 ? 1 : 2);
    // A chip-type-1 bridge cannot carry the set-2 transfers: each slot's tunnel works with its own set.
    EXPECT_TRUE(IsOwnController(0));
    EXPECT_TRUE(IsOwnController(1));
  }
}

TEST_F(DriveListTest, ScanWithFewerDrivesClearsTheEntriesAndSlotsBeyond) {
  std::vector<drivesim::Drive*> drives;
  for (int i = 0; i < 3; ++i) drives.push_back(&Add(Sata(kSataPath + std::to_string(i))));
  ASSERT_EQ(GetTolvaneDevice().size(), 3u);

  drives[0]->unplug();
  drives[2]->unplug();
  EXPECT_EQ(GetTolvaneDevice(), std::vector<std::string>{kSataText});
  EXPECT_EQ(DeviceEntryOf(0).path, kSataPath + "1");
  EXPECT_EQ(devlib::PortTransportOf(0)->devicePath, kSataPath + "1");
  for (int slot = 1; slot < 3; ++slot) {
    EXPECT_TRUE(DeviceEntryOf(slot).path.empty()) << slot;
    EXPECT_EQ(DeviceEntryOf(slot).busType, 0) << slot;
    EXPECT_TRUE(devlib::PortTransportOf(slot)->devicePath.empty()) << slot;
    EXPECT_EQ(devlib::PortTransportOf(slot)->nativeAta, 0) << slot;
  }

  drives[1]->unplug();
  EXPECT_TRUE(GetTolvaneDevice().empty());
  EXPECT_TRUE(debug_.contains("nDevice = 0"));
  EXPECT_TRUE(DeviceEntryOf(0).path.empty()) << "no disk at all: the vanished drive is not kept";
  EXPECT_TRUE(devlib::PortTransportOf(0)->devicePath.empty());
}

TEST_F(DriveListTest, MoreThanTwelveOwnDrivesStopAtTwelve) {
  std::vector<drivesim::Drive*> drives;
  for (int i = 0; i < kDeviceSlots + 1; ++i) drives.push_back(&Add(Sata(kSataPath + std::to_string(i))));
  const std::vector<std::string> texts = GetTolvaneDevice();
  ASSERT_EQ(texts.size(), static_cast<std::size_t>(kDeviceSlots));
  EXPECT_EQ(DeviceEntryOf(kDeviceSlots - 1).path, kSataPath + std::to_string(kDeviceSlots - 1));
  EXPECT_TRUE(drives.back()->wire().entries().empty()) << "the thirteenth drive is not asked";
}

// ---------------------------------------------------------------------------
// Over a scripted tree.

TEST_F(DriveListTest, OnlyTheFirstEightyInterfacesAreLookedAt) {
  Add(Sata());
  testsupport::FakeTopology topology;
  for (int i = 0; i < kInterfacePathLimit; ++i) {
    const std::string path = "/dev/nvme" + std::to_string(i) + "n1";
    topology.diskInterfaces.push_back({.openPath = path, .busKind = BusKind::Other, .volumeTag = ""});
  }
  topology.diskInterfaces.push_back(
      {.openPath = kSataPath, .busKind = BusKind::Ide, .volumeTag = ""});
  testsupport::FakeDeviceTree tree(topology);
  EXPECT_TRUE(GetTolvaneDevice(tree).empty());
  EXPECT_TRUE(debug_.contains("nDevice = 80"));

  topology.diskInterfaces.erase(topology.diskInterfaces.begin());
  testsupport::FakeDeviceTree fewer(topology);
  EXPECT_EQ(GetTolvaneDevice(fewer), std::vector<std::string>{kSataText});
  EXPECT_EQ(DeviceEntryOf(0).path, kSataPath) << "the path to open, not the text classified";
}

struct ClassifyCase {
  const char* path;
  BusKind busKind;
  const char* debugLine;  // nullptr: passed over
};

// A USB disk whose product is "Video" holds "ide" in its path: the tree's bus
// decides, never the words of the path.
TEST_F(DriveListTest, TheTreesBusDecidesNotThePathsWords) {
  const std::vector<ClassifyCase> cases = {
      {"\\\\?\\USBSTOR#Disk&Ven_&Prod_Video", BusKind::Usb, "DEVICE_USB"},
      {"scsi#disk&prod_video", BusKind::Ide, "DEVICE_IDE"},
      {"usb#SCSI", BusKind::Scsi, "DEVICE_SCSI"},
      {"sbp2#usb", BusKind::Sbp2, "DEVICE_USB"},
      {"ide#disk", BusKind::Other, nullptr},
  };
  for (const ClassifyCase& c : cases) {
    SCOPED_TRACE(c.path);
    testsupport::FakeTopology topology;
    topology.diskInterfaces.push_back(
        {.openPath = c.path, .busKind = c.busKind, .volumeTag = ""});
    testsupport::FakeDeviceTree tree(topology);
    platform::debug::CaptureSink capture;
    EXPECT_TRUE(GetTolvaneDevice(tree).empty());
    const std::vector<std::string> lines = capture.lines();
    const auto deviceLine = std::find_if(lines.begin(), lines.end(),
                                         [](const std::string& line) { return line.starts_with("DEVICE_"); });
    if (c.debugLine == nullptr) {
      EXPECT_EQ(deviceLine, lines.end());
    } else {
      ASSERT_NE(deviceLine, lines.end());
      EXPECT_EQ(*deviceLine, c.debugLine);
    }
  }
}

TEST(RescanDevices, AnswersWhatTheTreeSays) {
  for (const bool succeeds : {true, false}) {
    testsupport::FakeTopology topology;
    topology.rescanSucceeds = succeeds;
    testsupport::ScopedFakeDeviceTree tree(topology);
    EXPECT_EQ(RescanDevices(), succeeds ? 1 : 0);
    EXPECT_EQ(tree->rescans(), 1);
  }
}

// ---------------------------------------------------------------------------
// The ATA register block on its way to the drive.

class SmartIoctlTest : public ::testing::Test {
 protected:
  void SetUp() override { storage_->addDevice(kPath); }

  static constexpr const char* kPath = "/dev/sdx";
  testsupport::ScopedFakeStorage storage_;
};

TEST_F(SmartIoctlTest, DataInSendsTheRegistersWithDeviceA0AndFillsTheBuffer) {
  std::vector<std::uint8_t> reply(512);
  for (std::size_t i = 0; i < reply.size(); ++i) reply[i] = static_cast<std::uint8_t>(i * 7);
  storage_->queueAnswer(kPath, testsupport::AnswerWithData(reply));
  std::array<std::uint8_t, 8> registers{0xD0, 0x01, 0x02, 0x4F, 0xC2, 0xB0, 0xB0, 0x00};
  const std::array<std::uint8_t, 8> sent = registers;
  std::vector<std::uint8_t> buffer(600, 0xEE);

  EXPECT_EQ(SmartIoctl(kPath, 3, registers, buffer, true), 0);
  EXPECT_TRUE(std::equal(reply.begin(), reply.end(), buffer.begin()));
  EXPECT_EQ(buffer[512], 0xEE) << "nothing beyond the sector";
  EXPECT_EQ(registers, sent);
  const auto commands = storage_->commands();
  ASSERT_EQ(commands.size(), 1u);
  EXPECT_EQ(commands[0].current, (platform::storage::AtaRegisters{.features = 0xD0, .count = 0x01, .lbaLow = 0x02,
                                                                   .lbaMid = 0x4F, .lbaHigh = 0xC2, .device = 0xA0,
                                                                   .command = 0xB0}));
  EXPECT_EQ(commands[0].direction, platform::storage::Direction::In);
  EXPECT_EQ(commands[0].length, 512u);
  EXPECT_EQ(storage_->openHandles(), 0u);
}

TEST_F(SmartIoctlTest, ReturnStatusGivesTheRegistersBack) {
  testsupport::ScriptedAnswer answer;
  answer.ata.current = {.features = 0x00, .count = 0x00, .lbaLow = 0x00, .lbaMid = 0xF4, .lbaHigh = 0x2C,
                        .device = 0xA0, .command = 0x50};
  storage_->queueAnswer(kPath, answer);
  std::array<std::uint8_t, 8> registers{0xDA, 0, 0, 0x4F, 0xC2, 0xA0, 0xB0, 0x5A};
  EXPECT_EQ(SmartIoctl(kPath, 0, registers, {}, false), 0);
  EXPECT_EQ(registers, (std::array<std::uint8_t, 8>{0x00, 0x00, 0x00, 0xF4, 0x2C, 0xA0, 0x50, 0x5A}));
  EXPECT_EQ(storage_->commands().at(0).direction, platform::storage::Direction::None);
}

TEST_F(SmartIoctlTest, OtherNonDataCommandsLeaveTheRegistersAlone) {
  testsupport::ScriptedAnswer answer;
  answer.ata.current.lbaMid = 0x99;
  answer.ata.current.command = 0x50;
  storage_->queueAnswer(kPath, answer);
  std::array<std::uint8_t, 8> registers{0xD8, 0, 0, 0x4F, 0xC2, 0xA0, 0xB0, 0};
  const std::array<std::uint8_t, 8> sent = registers;
  EXPECT_EQ(SmartIoctl(kPath, 0, registers, {}, false), 0);
  EXPECT_EQ(registers, sent);
}

struct FailureCase {
  const char* what;
  std::function<void(testsupport::FakeStorage&)> script;
  std::string path;
  std::size_t bufferSize;
};

TEST_F(SmartIoctlTest, FailuresGiveMinusOneAndLeaveNoHandleOpen) {
  const std::vector<FailureCase> cases = {
      {"no such device", [](testsupport::FakeStorage&) {}, "/dev/absent", 512},
      {"the call fails",
       [](testsupport::FakeStorage& s) { s.queueAnswer(kPath, testsupport::AnswerTransportFailure(5)); }, kPath, 512},
      {"the drive answers ERR",
       [](testsupport::FakeStorage& s) { s.queueAnswer(kPath, testsupport::AnswerAtaStatus(0x51, 0x04)); }, kPath,
       512},
      {"a buffer under a sector", [](testsupport::FakeStorage&) {}, kPath, 511},
  };
  for (const FailureCase& c : cases) {
    SCOPED_TRACE(c.what);
    c.script(*storage_);
    std::array<std::uint8_t, 8> registers{0, 1, 0, 0, 0, 0xA0, 0xEC, 0};
    std::vector<std::uint8_t> buffer(c.bufferSize, 0xEE);
    EXPECT_EQ(SmartIoctl(c.path, 0, registers, buffer, true), -1);
    EXPECT_TRUE(std::all_of(buffer.begin(), buffer.end(), [](std::uint8_t b) { return b == 0xEE; }));
    EXPECT_EQ(storage_->openHandles(), 0u);
  }
}

TEST_F(SmartIoctlTest, IdentifyDeviceSendsOnlyForAtaAndScsiBuses) {
  for (const int busType : {0, 3}) {
    std::array<std::uint8_t, 512> buffer{};
    EXPECT_FALSE(IdentifyDevice(kPath, 0, busType, buffer)) << busType;
  }
  std::array<std::uint8_t, 100> small{};
  EXPECT_FALSE(IdentifyDevice(kPath, 0, 1, small));
  EXPECT_TRUE(storage_->commands().empty());
}

}  // namespace
}  // namespace blockprobe
