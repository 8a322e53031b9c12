#include "station/port_record.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "devlib/port_io.h"
#include "testsupport/fake_device_tree.h"

namespace fleetburn {
namespace {

// ---- fixed fields cut between characters ----

struct CutCase {
  const char* name;
  std::string text;
  std::size_t maxBytes;
  std::string kept;
};

void PrintTo(const CutCase& c, std::ostream* out) { *out << c.name; }

const CutCase kCutCases[] = {
    {"ShorterThanTheField", "TV01", 17, "TV01"},
    {"ExactlyTheField", "ABCDE", 5, "ABCDE"},
    {"AsciiCut", "ABCDEFG", 5, "ABCDE"},
    {"TwoByteCharacterAcrossTheCut", "ABCD\xc3\xa9", 5, "ABCD"},
    {"TwoByteCharacterJustFits", "ABC\xc3\xa9X", 5, "ABC\xc3\xa9"},
    {"ThreeByteCharacterAfterOneByte", "ABCD\xe2\x82\xac", 5, "ABCD"},
    {"ThreeByteCharacterAfterTwoBytes", "ABC\xe2\x82\xac", 5, "ABC"},
    {"FourByteCharacterAfterThreeBytes", "AB\xf0\x9f\x98\x80", 5, "AB"},
    {"FourByteCharacterJustFits", "A\xf0\x9f\x98\x80Z", 5, "A\xf0\x9f\x98\x80"},
    {"OnlyAWideCharacter", "\xe2\x82\xac", 2, ""},
    // Not UTF-8: a run of continuation bytes is cut where the bytes end.
    {"StrayContinuationBytes", "A\x80\x80\x80\x80\x80", 4, "A\x80\x80\x80"},
};

class Utf8Cut : public ::testing::TestWithParam<CutCase> {};

TEST_P(Utf8Cut, KeepsWholeCharactersOnly) {
  const CutCase& c = GetParam();
  EXPECT_EQ(Utf8Prefix(c.text, c.maxBytes), c.kept);
}

INSTANTIATE_TEST_SUITE_P(Cases, Utf8Cut, ::testing::ValuesIn(kCutCases),
                         [](const auto& row) { return std::string(row.param.name); });

TEST(FixedFields, TakeAsMuchOfATypedTextAsFitsBetweenCharacters) {
  devlib::FixedText<18> uniqueId;  // 17 characters
  AssignUtf8Truncated(uniqueId, "5001A4C000000001\xc3\xa9");
  EXPECT_EQ(uniqueId.view(), "5001A4C000000001");

  devlib::FixedText<40> typed;
  AssignUtf8Truncated(typed, std::string(45, 'S'));
  EXPECT_EQ(typed.view(), std::string(39, 'S'));

  PortRecord record;
  AssignUtf8Truncated(record.serialNumber, std::string(48, 'N') + "\xe2\x82\xac");
  EXPECT_EQ(record.serialNumber.view(), std::string(48, 'N'));
}

// ---- the port tables ----

TEST(ScanTable, TakesThePortsOfAHubWalk) {
  ScanPortTable[0].hubState = 1;  // left over from an earlier scan
  ScanPortTable[0].deviceInstanceId = "stale";
  devlib::HubPortTable ports{};
  ports[2] = {.present = true,
              .vendorId = 0x1209,
              .productId = 0x4a58,
              .serial = std::string(100, 'S'),
              .hubPath = "usb#hub#1-2",
              .driverKeyName = "{36fc9e60-c465-11cf-8056-444553540000}\\0012",
              .deviceInstanceId = "1-2.3"};

  CopyHubPortsToScanTable(ports);

  for (std::size_t slot = 0; slot < kPortSlots; ++slot) {
    EXPECT_EQ(ScanPortTable[slot].hubState, slot == 2 ? 1u : 0u) << slot;
  }
  EXPECT_EQ(ScanPortTable[0].deviceInstanceId, "");
  const PortRecord& record = ScanPortTable[2];
  EXPECT_EQ(record.usbVendorId, 0x1209);
  EXPECT_EQ(record.usbProductId, 0x4a58);
  EXPECT_EQ(record.usbSerial, ports[2].serial);  // whole
  EXPECT_EQ(record.hubPath, "usb#hub#1-2");
  EXPECT_EQ(record.driverKeyName, ports[2].driverKeyName);
  EXPECT_EQ(record.deviceInstanceId, "1-2.3");
  EXPECT_EQ(record.active, 0u);
  EXPECT_EQ(record.chipType, 0);
}

TEST(ScanTable, ADeviceOnHubPortThreeOnlyFillsSlotTwo) {
  testsupport::ScopedFakeDeviceTree tree(testsupport::ParseTopology("R4(-,-,d,-)"));
  EXPECT_EQ(ScanHubPorts(), 4);
  for (std::size_t slot = 0; slot < kPortSlots; ++slot) {
    EXPECT_EQ(ScanPortTable[slot].hubState, slot == 2 ? 1u : 0u) << slot;
  }
  EXPECT_EQ(ScanPortTable[2].deviceInstanceId, "1-3");
  EXPECT_EQ(ScanPortTable[2].usbSerial, "SN1-3");
}

TEST(ScanTable, AWalkOfMoreThanFiftyPortsReportsItsTotal) {
  std::string ports = "d";
  for (int port = 2; port <= 60; ++port) ports += ",d";
  testsupport::ScopedFakeDeviceTree tree(testsupport::ParseTopology("R60(" + ports + ")"));
  EXPECT_EQ(ScanHubPorts(), 60);
  EXPECT_EQ(ScanPortTable[kPortSlots - 1].deviceInstanceId, "1-50");
}

class PortRecords : public ::testing::Test {
 protected:
  void SetUp() override { devlib::InitPortIoTable(devlib::ProgramKind::Fleetburn); }
  void TearDown() override { PortTable.fill(PortRecord{}); }
};

TEST_F(PortRecords, ClearingARecordLeavesItsPortWithoutADevice) {
  constexpr int kPort = 7;
  ASSERT_TRUE(SetPortDevicePath(kPort, "/dev/sg3"));
  PortTable[kPort].hubState = 1;
  PortTable[kPort].active = 1;
  PortTable[kPort].serialNumber = "TV0001";
  PortTable[kPort].itemResult[5] = 1;

  ASSERT_TRUE(ClearPortRecord(kPort));

  EXPECT_EQ(devlib::PortTransportOf(kPort)->devicePath, "");
  const PortRecord& record = PortTable[kPort];
  EXPECT_EQ(record.devicePath, "");
  EXPECT_EQ(record.hubState, 0u);
  EXPECT_EQ(record.active, 0u);
  EXPECT_TRUE(record.serialNumber.empty());
  EXPECT_EQ(record.itemResult[5], 0);
}

TEST_F(PortRecords, ThePortsIoRecordFollowsTheRecordsDevicePath) {
  ASSERT_TRUE(SetPortDevicePath(0, "/dev/sg1"));
  ASSERT_TRUE(SetPortDevicePath(49, "/dev/sg2"));
  EXPECT_EQ(PortTable[0].devicePath, "/dev/sg1");
  EXPECT_EQ(devlib::PortTransportOf(0)->devicePath, "/dev/sg1");
  EXPECT_EQ(devlib::PortTransportOf(49)->devicePath, "/dev/sg2");
  EXPECT_EQ(devlib::PortTransportOf(1)->devicePath, "");
}

TEST_F(PortRecords, APortOutsideTheTableIsRefused) {
  EXPECT_FALSE(ClearPortRecord(-1));
  EXPECT_FALSE(ClearPortRecord(static_cast<int>(kPortSlots)));
  EXPECT_FALSE(SetPortDevicePath(static_cast<int>(kPortSlots), "/dev/sg1"));
}

}  // namespace
}  // namespace fleetburn
