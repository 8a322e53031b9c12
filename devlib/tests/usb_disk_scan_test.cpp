#include "devlib/usb_disk_scan.h"

#include <gtest/gtest.h>

#include <array>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "devlib/flash_params.h"
#include "devlib/port_io.h"
#include "devlib/standard_commands.h"
#include "devlib/vendor_commands.h"
#include "devlib/vendor_protocol.h"
#include "drivesim/config.h"
#include "emulated_port.h"
#include "port_fixture.h"
#include "testsupport/fake_device_tree.h"

namespace devlib::testing {
namespace {

using platform::devices::UsbDisk;
using testsupport::FakeDeviceTree;
using testsupport::FakeTopology;

UsbDisk Disk(const std::string& name, const std::string& parent, std::uint32_t node) {
  return {.devicePath = "/dev/sg" + name, .diskId = "disk-" + name, .parentUsbDeviceId = parent, .diskNode = node,
          .parentNode = node + 100};
}

FakeTopology WithDisks(std::vector<UsbDisk> disks) {
  FakeTopology topology;
  topology.disks = std::move(disks);
  return topology;
}

// ---- the scan ----

TEST(UsbDiskScan, FillsNoMoreRecordsThanItIsGiven) {
  FakeDeviceTree tree(WithDisks({Disk("0", "1-1", 1), Disk("1", "1-2", 2), Disk("2", "1-3", 3)}));
  std::array<UsbDiskRecord, 3> records{};
  records[2].devicePath = "beyond the capacity";

  EXPECT_EQ(ScanUsbDisks(tree, std::span(records).first(2)), 2);
  EXPECT_EQ(records[0].devicePath, "/dev/sg0");
  EXPECT_EQ(records[1].devicePath, "/dev/sg1");
  EXPECT_EQ(records[2].devicePath, "beyond the capacity");
}

TEST(UsbDiskScan, CopiesEachDiskWithItsOwnerInLowerCase) {
  FakeDeviceTree tree(WithDisks({Disk("0", "USB\\VID_1209&PID_0001\\TV01", 7)}));
  std::array<UsbDiskRecord, 4> records{};

  ASSERT_EQ(ScanUsbDisks(tree, records), 1);
  EXPECT_EQ(records[0].parentId, "usb\\vid_1209&pid_0001\\tv01");
  EXPECT_EQ(records[0].devicePath, "/dev/sg0");
  EXPECT_EQ(records[0].diskNode, 7u);
  EXPECT_EQ(records[0].parentNode, 107u);
  EXPECT_FALSE(records[0].used);
}

TEST(UsbDiskScan, ADiskWithoutAKnownOwnerKeepsAnEmptyParentAndIsNeverMatched) {
  FakeDeviceTree tree(WithDisks({Disk("0", "", 1), Disk("1", "1-2", 2)}));
  std::array<UsbDiskRecord, 4> records{};

  ASSERT_EQ(ScanUsbDisks(tree, records), 2);
  EXPECT_EQ(records[0].parentId, "");
  // A port whose device node was not found has no instance id either.
  EXPECT_EQ(FindUnusedDiskOfDevice(std::span(records).first(2), ""), std::nullopt);
  EXPECT_EQ(FindUnusedDiskOfDevice(std::span(records).first(2), "1-2"), 1u);
}

TEST(UsbDiskScan, ClearsTheUsedMarksAndTheRecordsOfTheLastScan) {
  std::array<UsbDiskRecord, 4> records{};
  FakeDeviceTree three(WithDisks({Disk("0", "1-1", 1), Disk("1", "1-2", 2), Disk("2", "1-3", 3)}));
  ASSERT_EQ(ScanUsbDisks(three, records), 3);
  for (UsbDiskRecord& record : records) record.used = true;

  FakeDeviceTree one(WithDisks({Disk("1", "1-2", 2)}));
  ASSERT_EQ(ScanUsbDisks(one, records), 1);
  EXPECT_EQ(records[0].devicePath, "/dev/sg1");
  for (const UsbDiskRecord& record : records) EXPECT_FALSE(record.used);
  for (std::size_t i = 1; i < records.size(); ++i) {
    EXPECT_EQ(records[i].devicePath, "") << i;
    EXPECT_EQ(records[i].parentId, "") << i;
    EXPECT_EQ(records[i].diskNode, 0u) << i;
  }
}

TEST(UsbDiskScan, AnEmptyListKeepsNothing) {
  FakeDeviceTree tree(WithDisks({}));
  std::array<UsbDiskRecord, 2> records{};
  records[0].devicePath = "stale";
  EXPECT_EQ(ScanUsbDisks(tree, records), 0);
  EXPECT_EQ(records[0].devicePath, "");
}

TEST(UsbDiskScan, ScansTheInstalledTree) {
  testsupport::ScopedFakeDeviceTree tree(WithDisks({Disk("0", "1-1", 1), Disk("1", "1-2", 2)}));
  std::array<UsbDiskRecord, kUsbDiskListCapacity> records{};
  EXPECT_EQ(ScanUsbDisks(records), 2);
  EXPECT_EQ(records[1].parentId, "1-2");
}

TEST(UsbDiskScan, ScansOfSeveralThreadsDoNotInterleave) {
  FakeDeviceTree tree(WithDisks({Disk("0", "1-1", 1)}));
  std::vector<std::jthread> scanners;
  for (int thread = 0; thread < 4; ++thread) {
    scanners.emplace_back([&tree] {
      std::array<UsbDiskRecord, 2> records{};
      for (int round = 0; round < 100; ++round) ScanUsbDisks(tree, records);
    });
  }
  scanners.clear();
  EXPECT_EQ(tree.maxConcurrentDiskListings(), 1);
}

// ---- matching a port's device to its disk ----

struct MatchCase {
  const char* name;
  std::vector<std::string> parents;  // of the disks, in list order
  std::set<std::size_t> used;
  std::string deviceInstanceId;
  std::optional<std::size_t> match;
};

void PrintTo(const MatchCase& c, std::ostream* out) { *out << c.name; }

const MatchCase kMatchCases[] = {
    {"SameId", {"1-1", "1-2"}, {}, "1-2", 1},
    {"IdThatIsAPrefixOfAnother", {"2-1.3", "2-1"}, {}, "2-1", 1},
    {"IdThatExtendsAnother", {"2-1", "2-1.3"}, {}, "2-1.3", 1},
    {"SerialThatIsAPrefixOfAnother", {"usb\\vid_1209&pid_0001\\ab12", "usb\\vid_1209&pid_0001\\ab"}, {},
     "usb\\vid_1209&pid_0001\\ab", 1},
    {"NoDiskOfThatDevice", {"2-1.3", "2-1.4"}, {}, "2-1", std::nullopt},
    {"IdInUpperCase", {"usb\\vid_1209&pid_0001\\tv01"}, {}, "USB\\VID_1209&PID_0001\\TV01", 0},
    {"UsedDiskPassedOver", {"1-1", "1-1"}, {0}, "1-1", 1},
    {"AllDisksOfTheDeviceUsed", {"1-1"}, {0}, "1-1", std::nullopt},
    {"EmptyIdAgainstAnEmptyParent", {"", "1-1"}, {}, "", std::nullopt},
};

class DiskMatch : public ::testing::TestWithParam<MatchCase> {};

TEST_P(DiskMatch, TakesTheFirstUnusedDiskOfExactlyThatDevice) {
  const MatchCase& c = GetParam();
  std::vector<UsbDiskRecord> disks;
  for (const std::string& parent : c.parents) disks.push_back({.parentId = parent});
  for (const std::size_t index : c.used) disks[index].used = true;
  EXPECT_EQ(FindUnusedDiskOfDevice(disks, c.deviceInstanceId), c.match);
}

INSTANTIATE_TEST_SUITE_P(Cases, DiskMatch, ::testing::ValuesIn(kMatchCases),
                         [](const auto& row) { return std::string(row.param.name); });

// ---- storage device numbers ----

TEST(StorageDeviceNumber, AnswersForAKnownPathOnly) {
  FakeTopology topology;
  topology.deviceNumbers["/dev/sdb1"] = {.deviceType = 7, .number = 1, .partition = 1};
  testsupport::ScopedFakeDeviceTree tree(topology);

  const auto number = GetStorageDeviceNumber("/dev/sdb1");
  ASSERT_TRUE(number.has_value());
  EXPECT_EQ(number->deviceType, 7u);
  EXPECT_EQ(number->number, 1u);
  EXPECT_EQ(number->partition, 1u);
  EXPECT_FALSE(GetStorageDeviceNumber("/dev/sdc").has_value());
}

// ---- bridge chip identification against emulated drives ----

constexpr int kPort = 3;

struct BridgeCase {
  const char* name;
  std::string key;  // INQUIRY bytes 36..39
  bool ownUsb;      // the controller's own interface answers, not a bridge
  int chipType;     // bridge check on
  int unchecked;    // bridge check off
};

void PrintTo(const BridgeCase& c, std::ostream* out) { *out << c.name; }

const BridgeCase kBridgeCases[] = {
    {"q201", "q201", false, 1, 7},
    {"q202", "q202", false, 9, 7},
    {"q203", "q203", false, 4, 7},
    {"q204", "q204", false, 7, 7},
    {"q205", "q205", false, 8, 7},
    {"q206", "q206", false, 11, 7},
    {"q207", "q207", false, 12, 7},
    {"q208", "q208", false, 12, 7},
    {"q209", "q209", false, 13, 7},
    {"Bytes05E30718", std::string("\x05\xe3\x07\x18", 4), false, 14, 7},
    {"q210", "q210", true, 10, 10},
    {"FA3X", "FA3X", true, 10, 10},
    {"ice", "ice ", true, 10, 10},
    {"qa4x", "qa4x", true, 10, 10},
    {"FA4X", "FA4X", true, 10, 10},
    {"UnknownKey", "q299", false, 0, 7},
    {"KeyInTheWrongCase", "fa4x", true, 0, 7},
    {"IceWithoutItsSpace", std::string("ice\0", 4), true, 0, 7},
    {"ZeroKey", std::string(4, '\0'), false, 0, 7},
};

// A port wired to one emulated drive as the port matching leaves it: on the USB path.
class BridgeLine : public EmulatedLineTest {
 protected:
  void SetUp() override {
    EmulatedLineTest::SetUp();
    InitPortIoTable(ProgramKind::Fleetburn);
  }
  void TearDown() override {
    PublishFlashParams(FlashParams{});
    EmulatedLineTest::TearDown();
  }

  drivesim::Drive& Plug(drivesim::DriveConfig config) {
    drivesim::Drive& drive = line_->addDrive(std::move(config));
    WirePort(kPort, drive.config().path, PortPath::OwnUsb);
    return drive;
  }

  drivesim::Drive& PlugAnswering(const std::string& key, bool ownUsb) {
    drivesim::DriveConfig config = ownUsb ? drivesim::DriveConfig::ownUsb("\\\\?\\usbstor#disk&ven_tolvane#own")
                                          : drivesim::DriveConfig::bridge("\\\\?\\usbstor#disk&ven_usb#bridge", 7, key);
    config.bridgeKey = key;
    return Plug(std::move(config));
  }
};

class BridgeIdentification : public BridgeLine, public ::testing::WithParamInterface<BridgeCase> {};

TEST_P(BridgeIdentification, LooksTheInquiryKeyUp) {
  const BridgeCase& c = GetParam();
  PlugAnswering(c.key, c.ownUsb);
  EXPECT_EQ(GetBridgeChipType(kPort, false), c.chipType);
  EXPECT_EQ(GetBridgeChipType(kPort, true), c.unchecked);
}

INSTANTIATE_TEST_SUITE_P(Keys, BridgeIdentification, ::testing::ValuesIn(kBridgeCases),
                         [](const auto& row) { return std::string(row.param.name); });

TEST(BridgeChipTableKeys, EveryKeyHasItsRow) {
  for (const BridgeChipEntry& entry : BridgeChipTable) {
    const std::string key(entry.key.begin(), entry.key.end());
    const bool listed = std::any_of(std::begin(kBridgeCases), std::end(kBridgeCases),
                                    [&](const BridgeCase& c) { return c.key == key; });
    EXPECT_TRUE(listed) << key;
  }
}

struct InquiryFault {
  const char* name;
  drivesim::FaultKind kind;
};

void PrintTo(const InquiryFault& c, std::ostream* out) { *out << c.name; }

const InquiryFault kInquiryFaults[] = {
    {"TransportFailure", drivesim::FaultKind::TransportFailure},
    {"CheckCondition", drivesim::FaultKind::CheckCondition},
    {"Timeout", drivesim::FaultKind::Timeout},
    {"ZeroReply", drivesim::FaultKind::ZeroReply},
    {"ShortReply", drivesim::FaultKind::ShortReply},
    {"Unplug", drivesim::FaultKind::Unplug},
};

class FailedInquiry : public BridgeLine, public ::testing::WithParamInterface<InquiryFault> {};

// The own interface answers a key of type 10, which must not survive a failed or empty reply.
TEST_P(FailedInquiry, CountsAsNoKey) {
  drivesim::Drive& drive = PlugAnswering("FA4X", true);
  drivesim::FaultRule rule;
  rule.kind = GetParam().kind;
  rule.match.scsiOpcode = 0x12;
  rule.times = -1;
  drive.injectFault(rule);
  EXPECT_EQ(GetBridgeChipType(kPort, false), kChipTypeUnsupported);
  EXPECT_EQ(GetBridgeChipType(kPort, true), kChipTypeUncheckedBridge);
}

INSTANTIATE_TEST_SUITE_P(Faults, FailedInquiry, ::testing::ValuesIn(kInquiryFaults),
                         [](const auto& row) { return std::string(row.param.name); });

// A reply that arrives with a failed status leaves its bytes in the buffer.
class InquiryWithFailedStatus : public devlib::test::PortTest {};

TEST_F(InquiryWithFailedStatus, DoesNotCountTheKeyItLeftBehind) {
  Attach(devlib::test::Link::UsbPath);
  std::vector<std::uint8_t> reply(kInquiryLength, 0);
  std::copy_n("FA4X", 4, reply.begin() + 36);
  testsupport::ScriptedAnswer failed = testsupport::AnswerCheckCondition(0x04, 0x44);
  failed.dataIn = reply;
  storage->setDefaultAnswer(failed);
  EXPECT_EQ(GetBridgeChipType(kPort, false), kChipTypeUnsupported);
  storage->setDefaultAnswer(testsupport::AnswerWithData(reply));
  EXPECT_EQ(GetBridgeChipType(kPort, false), kChipTypeOwnUsb);
}

TEST_F(BridgeLine, TakesTheBridgeCheckFromTheSettings) {
  PlugAnswering("q299", false);
  EXPECT_EQ(GetBridgeChipType(kPort), kChipTypeUnsupported);
  FlashParams params;
  params.enNoCheckBridge = 1;
  PublishFlashParams(params);
  EXPECT_EQ(GetBridgeChipType(kPort), kChipTypeUncheckedBridge);
}

TEST_F(BridgeLine, APortWithoutADriveIsUnsupported) {
  EXPECT_EQ(GetBridgeChipType(kPort, false), kChipTypeUnsupported);
  EXPECT_EQ(GetBridgeChipType(kFleetburnPortCount, false), kChipTypeUnsupported);
}

// ---- the transport each chip type needs ----

TEST(SataBridgeType, IsTrueForTheBridgesOnly) {
  const std::set<int> bridges = {1, 4, 7, 8, 9, 11, 12, 13, 14};
  for (int chipType = -1; chipType <= 16; ++chipType) {
    EXPECT_EQ(IsSataBridgeType(chipType), bridges.contains(chipType)) << chipType;
  }
}

struct PathCase {
  const char* name;
  int chipType;
  std::uint8_t opcodeSet;  // what the port's commands use afterwards
  bool forceOpcodeSet1;
};

void PrintTo(const PathCase& c, std::ostream* out) { *out << c.name; }

const PathCase kPathCases[] = {
    {"Type1", 1, 1, true},    {"Type4", 4, kStartOpcodeSet, false},   {"Type7", 7, kStartOpcodeSet, false},
    {"Type8", 8, kStartOpcodeSet, false}, {"Type9", 9, kStartOpcodeSet, false}, {"Type11", 11, kStartOpcodeSet, false},
    {"Type12", 12, kStartOpcodeSet, false}, {"Type13", 13, kStartOpcodeSet, false}, {"Type14", 14, 1, true},
};

class BridgePath : public BridgeLine, public ::testing::WithParamInterface<PathCase> {};

// Identified and given its path, the drive behind the bridge answers the
// tunnelled vendor commands.
TEST_P(BridgePath, ReachesTheDriveBehindTheBridge) {
  const PathCase& c = GetParam();
  Plug(drivesim::DriveConfig::bridge("\\\\?\\usbstor#disk&ven_usb#bridge", c.chipType,
                                     drivesim::DriveConfig::keyOfChipType(c.chipType)));
  const int chipType = GetBridgeChipType(kPort, false);
  ASSERT_EQ(chipType, c.chipType);
  ASSERT_TRUE(ApplyBridgePath(kPort, chipType));

  const PortIoRecord& record = *PortIo(kPort);
  EXPECT_EQ(record.Transport()->usbPath, 0);
  EXPECT_EQ(record.Transport()->nativeAta, 0);
  EXPECT_EQ(record.opcodeSet, c.opcodeSet);
  EXPECT_EQ(record.forceOpcodeSet1, c.forceOpcodeSet1);
  ASSERT_EQ(SendSetFeatures(kPort, 0xDC, 0x4B), kCommandOk);
  ASSERT_EQ(SendWriteRegister(kPort, 0x20100, 0x5A), kCommandOk);
  std::uint8_t value = 0;
  ASSERT_EQ(SendReadRegister(kPort, 0x20100, value), kCommandOk);
  EXPECT_EQ(value, 0x5A);
}

INSTANTIATE_TEST_SUITE_P(ChipTypes, BridgePath, ::testing::ValuesIn(kPathCases),
                         [](const auto& row) { return std::string(row.param.name); });

TEST_F(BridgeLine, TheOwnInterfaceTakesTheVendorBlocksDirectly) {
  Plug(drivesim::DriveConfig::ownUsb("\\\\?\\usbstor#disk&ven_tolvane#own"));
  ASSERT_TRUE(SetPortTransportFlags(kPort, 0, 1));
  ASSERT_TRUE(ApplyBridgePath(kPort, kChipTypeOwnUsb));
  EXPECT_EQ(PortTransportOf(kPort)->usbPath, 1);
  EXPECT_EQ(PortTransportOf(kPort)->nativeAta, 0);
  std::uint8_t value = 0;
  EXPECT_EQ(SendReadRegister(kPort, 0x20100, value), kCommandOk);
}

TEST_F(BridgeLine, AnUnsupportedChipLeavesThePortAsItIs) {
  PortIoRecord& record = *PortIo(kPort);
  ASSERT_TRUE(SetPortTransportFlags(kPort, 1, 0));
  for (const int chipType : {0, 2, 3, 5, 6, 15}) {
    ASSERT_TRUE(ApplyBridgePath(kPort, chipType));
    EXPECT_EQ(record.Transport()->usbPath, 1) << chipType;
    EXPECT_EQ(record.opcodeSet, kStartOpcodeSet) << chipType;
    EXPECT_FALSE(record.forceOpcodeSet1) << chipType;
  }
  EXPECT_FALSE(ApplyBridgePath(-1, 7));
  EXPECT_FALSE(ApplyBridgePath(kFleetburnPortCount, 7));
}

}  // namespace
}  // namespace devlib::testing
