#include "devlib/standard_commands.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <functional>
#include <string>
#include <vector>

#include "devlib/vendor_protocol.h"
#include "port_fixture.h"

namespace devlib::test {
namespace {

using devlib::test::PrintTo;  // lets GoogleTest name the table rows

using platform::storage::AtaRegisters;
using platform::storage::Direction;
using testsupport::CommandKind;
using Bytes = std::vector<std::uint8_t>;

struct StandardCase {
  const char* name;
  std::function<int(int port, std::span<std::uint8_t> buffer)> send;
  Link sentOn;  // UsbPath or Bridge
  Bytes cdb;
  bool dataIn;
  std::size_t length;
  int otherPathResult;
};

const StandardCase kStandardCommands[] = {
    {"IdentifyDevice", [](int p, auto b) { return SendIdentifyDevice(p, b, 1); }, Link::Bridge,
     {0xA1, 0x08, 0x0B, 0x00, 0x01, 0x00, 0x00, 0x00, 0xE0, 0xEC, 0x00, 0x00}, true, 512, kCommandFailed},
    {"SetFeatures", [](int p, auto) { return SendSetFeatures(p, 0xDC, 0x4433224B); }, Link::Bridge,
     {0xA1, 0x06, 0x00, 0xDC, 0x4B, 0x22, 0x33, 0x44, 0xE0, 0xEF, 0x00, 0x00}, false, 0, kCommandOk},
    {"SmartReadData", [](int p, auto b) { return SmartReadData(p, b, 1); }, Link::Bridge,
     {0xA1, 0x08, 0x0B, 0xD0, 0x01, 0x00, 0x4F, 0xC2, 0x00, 0xB0, 0x00, 0x00}, true, 512, kCommandFailed},
    {"FlushCache", [](int p, auto) { return FlushCache(p); }, Link::Bridge,
     {0xA1, 0x06, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xE0, 0xE7, 0x00, 0x00}, false, 0, kCommandOk},
    {"ReadNativeMax", [](int p, auto) { return SendReadNativeMax(p); }, Link::Bridge,
     {0xA1, 0x06, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xF8, 0x00, 0x00}, false, 0, kCommandOk},
    {"ReadNativeMaxExt", [](int p, auto) { return SendReadNativeMaxExt(p); }, Link::Bridge,
     {0x85, 0x06, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x27, 0x00}, false, 0,
     kCommandOk},
    {"SetMaxAddressTop28Bit", [](int p, auto) { return SendSetMaxAddress(p, 0x0FFFFFFE); }, Link::Bridge,
     {0xA1, 0x06, 0x00, 0x00, 0x01, 0xFE, 0xFF, 0xFF, 0xEF, 0xF9, 0x00, 0x00}, false, 0, kCommandOk},
    {"SetMaxAddress", [](int p, auto) { return SendSetMaxAddress(p, 0x01234567); }, Link::Bridge,
     {0xA1, 0x06, 0x00, 0x00, 0x01, 0x67, 0x45, 0x23, 0xE1, 0xF9, 0x00, 0x00}, false, 0, kCommandOk},
    {"SetMaxAddressExt", [](int p, auto) { return SendSetMaxAddressExt(p, 0x123456789ABC); }, Link::Bridge,
     {0x85, 0x07, 0x00, 0x00, 0x00, 0x00, 0x01, 0x56, 0xBC, 0x34, 0x9A, 0x12, 0x78, 0xE0, 0x37, 0x00}, false, 0,
     kCommandOk},
    {"ReadCapacity", [](int p, auto b) { return SendReadCapacity(p, b, 1); }, Link::UsbPath,
     {0x25, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}, true, 512, kCommandFailed},
    {"Inquiry", [](int p, auto b) { return InquiryDevice(p, b); }, Link::UsbPath,
     {0x12, 0x00, 0x00, 0x00, 0x28, 0x00}, true, 40, kCommandFailed},
};

class StandardCommand : public PortTest, public ::testing::WithParamInterface<StandardCase> {
 protected:
  Bytes buffer_ = Bytes(512, 0x00);
};

TEST_P(StandardCommand, SendsItsBlockOnItsPath) {
  const StandardCase& c = GetParam();
  Attach(c.sentOn);
  ASSERT_EQ(c.send(kPort, buffer_), kCommandOk);
  const auto sent = Sent();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].cdb, c.cdb);
  EXPECT_EQ(sent[0].direction, c.length == 0 ? Direction::None : Direction::In);
  EXPECT_EQ(sent[0].length, c.length);
  EXPECT_EQ(sent[0].timeoutSeconds, c.dataIn && c.sentOn == Link::UsbPath ? 300u : 10u);
}

TEST_P(StandardCommand, SendsNothingOnTheOtherPath) {
  const StandardCase& c = GetParam();
  Attach(c.sentOn == Link::UsbPath ? Link::Bridge : Link::UsbPath);
  EXPECT_EQ(c.send(kPort, buffer_), c.otherPathResult);
  EXPECT_TRUE(storage->opens().empty());
}

TEST_P(StandardCommand, ReportsAFailedCommandAsTwo) {
  Attach(GetParam().sentOn);
  storage->setDefaultAnswer(testsupport::AnswerCheckCondition(0xB));
  EXPECT_EQ(GetParam().send(kPort, buffer_), kCommandFailed);
}

TEST_P(StandardCommand, UnknownPortGivesTwo) {
  EXPECT_EQ(GetParam().send(50, buffer_), kCommandFailed);
  EXPECT_TRUE(storage->opens().empty());
}

INSTANTIATE_TEST_SUITE_P(Commands, StandardCommand, ::testing::ValuesIn(kStandardCommands),
                         [](const auto& testCase) { return std::string(testCase.param.name); });

TEST_F(PortTest, InquiryOnASataPathPortZeroesTheReplyAndFails) {
  Attach(Link::Bridge);
  Bytes buffer(48, 0xAA);
  EXPECT_EQ(InquiryDevice(kPort, buffer), kCommandFailed);
  EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + 40), Bytes(40, 0x00));
  EXPECT_EQ(buffer[40], 0xAA) << "only the 40 reply bytes belong to the command";
  EXPECT_TRUE(storage->opens().empty());
}

TEST_F(PortTest, MaximumAddressBeyondItsCommandIsRefused) {
  Attach(Link::Bridge);
  EXPECT_EQ(SendSetMaxAddress(kPort, 0x10000000), kCommandFailed);
  EXPECT_EQ(SendSetMaxAddressExt(kPort, 0x1000000000000ULL), kCommandFailed);
  EXPECT_TRUE(storage->opens().empty());
}

struct NativeCase {
  const char* name;
  std::function<int(int port, std::span<std::uint8_t> buffer)> send;
  AtaRegisters current;
  bool extended;
  AtaRegisters previous;
  Direction direction;
};

TEST_F(PortTest, StandardCommandsReachANativePortAsTaskFiles) {
  const NativeCase cases[] = {
      {"IDENTIFY", [](int p, auto b) { return SendIdentifyDevice(p, b, 1); },
       {0x00, 0x01, 0x00, 0x00, 0x00, 0xE0, 0xEC}, false, {}, Direction::In},
      {"FLUSH CACHE", [](int p, auto) { return FlushCache(p); }, {0x00, 0x00, 0x00, 0x00, 0x00, 0xE0, 0xE7}, false, {},
       Direction::None},
      {"SET MAX ADDRESS EXT", [](int p, auto) { return SendSetMaxAddressExt(p, 0x123456789ABC); },
       {0x00, 0x01, 0xBC, 0x9A, 0x78, 0xE0, 0x37}, true, {0x00, 0x00, 0x56, 0x34, 0x12, 0, 0}, Direction::None},
  };
  Attach(Link::NativeAta);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    storage->clearRecords();
    Bytes buffer(512);
    ASSERT_EQ(c.send(kPort, buffer), kCommandOk);
    const auto sent = Sent();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].kind, CommandKind::Ata);
    EXPECT_EQ(sent[0].current, c.current);
    EXPECT_EQ(sent[0].extended, c.extended);
    if (c.extended) {
      EXPECT_EQ(sent[0].previous, c.previous);
    }
    EXPECT_FALSE(sent[0].useDma);
    EXPECT_EQ(sent[0].direction, c.direction);
    EXPECT_EQ(sent[0].timeoutSeconds, 10u);
  }
}

// --- LBA reads and writes ------------------------------------------------------------

struct LbaCase {
  const char* name;
  ProgramKind program;
  Link link;
  bool onUsb;
  bool read;
  std::uint32_t lba;
  std::uint16_t sectors;
  Bytes cdb;
  std::uint32_t timeout;
};

class LbaTransfer : public PortTest, public ::testing::WithParamInterface<LbaCase> {};

TEST_P(LbaTransfer, SendsTheProgramsBlockForThePath) {
  const LbaCase& c = GetParam();
  InitPortIoTable(c.program);
  Attach(c.link, c.onUsb);
  Bytes buffer(std::size_t{c.sectors} * 512, 0x6B);
  const int result = c.read ? ReadLbaSectors(kPort, buffer, c.sectors, c.lba)
                            : WriteLbaSectors(kPort, buffer, c.sectors, c.lba);
  ASSERT_EQ(result, kCommandOk);
  const auto sent = Sent();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].cdb, c.cdb);
  EXPECT_EQ(sent[0].direction, c.read ? Direction::In : Direction::Out);
  EXPECT_EQ(sent[0].length, buffer.size());
  EXPECT_EQ(sent[0].timeoutSeconds, c.timeout);
  if (!c.read) {
    EXPECT_EQ(sent[0].dataOut, buffer);
  }
}

constexpr auto kFleetburn = ProgramKind::Fleetburn;
constexpr auto kBlockprobe = ProgramKind::Blockprobe;

INSTANTIATE_TEST_SUITE_P(
    Programs, LbaTransfer,
    ::testing::Values(
        LbaCase{"FleetburnUsbRead", kFleetburn, Link::UsbPath, true, true, 0x00123456, 8,
                {0x28, 0x00, 0x00, 0x12, 0x34, 0x56, 0x00, 0x00, 0x08, 0x00}, 300},
        LbaCase{"FleetburnUsbWrite", kFleetburn, Link::UsbPath, true, false, 0x00123456, 8,
                {0x2A, 0x00, 0x00, 0x12, 0x34, 0x56, 0x00, 0x00, 0x08, 0x00}, 10},
        LbaCase{"FleetburnBridgeReadOnUsb", kFleetburn, Link::Bridge, true, true, 0x89ABCDEF, 0x0102,
                {0x28, 0x00, 0x89, 0xAB, 0xCD, 0xEF, 0x00, 0x01, 0x02, 0x00}, 300},
        LbaCase{"FleetburnBridgeReadOffUsb", kFleetburn, Link::Bridge, false, true, 0x00000010, 1,
                {0x28, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x00, 0x01, 0x00}, 5},
        LbaCase{"FleetburnBridgeWrite", kFleetburn, Link::Bridge, true, false, 0x00000010, 1,
                {0x2A, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x00, 0x01, 0x00}, 10},
        LbaCase{"BlockprobeUsbRead", kBlockprobe, Link::UsbPath, true, true, 0x00123456, 8,
                {0x28, 0x00, 0x00, 0x12, 0x34, 0x56, 0x00, 0x00, 0x08, 0x00}, 300},
        LbaCase{"BlockprobeReadDma", kBlockprobe, Link::Bridge, true, true, 0x01234567, 8,
                {0xA1, 0x14, 0x0B, 0x00, 0x08, 0x67, 0x45, 0x23, 0xE1, 0xC8, 0x00, 0x00}, 10},
        LbaCase{"BlockprobeWriteDma", kBlockprobe, Link::Bridge, true, false, 0x01234567, 8,
                {0xA1, 0x16, 0x03, 0x00, 0x08, 0x67, 0x45, 0x23, 0xE1, 0xCA, 0x00, 0x00}, 10},
        LbaCase{"Blockprobe256SectorsAsCountZero", kBlockprobe, Link::Bridge, true, true, 0, 256,
                {0xA1, 0x14, 0x0B, 0x00, 0x00, 0x00, 0x00, 0x00, 0xE0, 0xC8, 0x00, 0x00}, 10},
        LbaCase{"BlockprobeLastRangeOf28Bits", kBlockprobe, Link::Bridge, true, true, 0x0FFFFFF7, 8,
                {0xA1, 0x14, 0x0B, 0x00, 0x08, 0xF7, 0xFF, 0xFF, 0xEF, 0xC8, 0x00, 0x00}, 10},
        LbaCase{"BlockprobeFirstRangeBeyond28Bits", kBlockprobe, Link::Bridge, true, true, 0x0FFFFFF8, 8,
                {0x85, 0x15, 0x0B, 0x00, 0x00, 0x00, 0x08, 0x0F, 0xF8, 0x00, 0xFF, 0x00, 0xFF, 0xE0, 0x25, 0x00},
                10},
        LbaCase{"BlockprobeWriteDmaExt", kBlockprobe, Link::Bridge, true, false, 0x89ABCDEF, 0x0102,
                {0x85, 0x17, 0x03, 0x00, 0x00, 0x01, 0x02, 0x89, 0xEF, 0x00, 0xCD, 0x00, 0xAB, 0xE0, 0x35, 0x00},
                10},
        LbaCase{"Blockprobe257SectorsNeedExt", kBlockprobe, Link::Bridge, true, true, 0, 257,
                {0x85, 0x15, 0x0B, 0x00, 0x00, 0x01, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xE0, 0x25, 0x00},
                10}),
    [](const auto& testCase) { return std::string(testCase.param.name); });

TEST_F(PortTest, BlockprobeLbaTransfersReachANativePortByDma) {
  InitPortIoTable(ProgramKind::Blockprobe);
  Attach(Link::NativeAta);
  Bytes buffer(16 * 512);
  ASSERT_EQ(ReadLbaSectors(kPort, buffer, 8, 0x01234567), kCommandOk);
  ASSERT_EQ(WriteLbaSectors(kPort, buffer, 16, 0x10000000), kCommandOk);
  const auto sent = Sent();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0].current, (AtaRegisters{0x00, 0x08, 0x67, 0x45, 0x23, 0xE1, 0xC8}));
  EXPECT_FALSE(sent[0].extended);
  EXPECT_TRUE(sent[0].useDma);
  EXPECT_EQ(sent[0].direction, Direction::In);
  EXPECT_EQ(sent[1].current, (AtaRegisters{0x00, 0x10, 0x00, 0x00, 0x00, 0xE0, 0x35}));
  EXPECT_TRUE(sent[1].extended);
  EXPECT_EQ(sent[1].previous, (AtaRegisters{0x00, 0x00, 0x10, 0x00, 0x00, 0x00, 0x00}));
  EXPECT_TRUE(sent[1].useDma);
  EXPECT_EQ(sent[1].direction, Direction::Out);
  EXPECT_EQ(sent[1].length, 16 * 512u);
}

struct FailureRecordCase {
  const char* name;
  ProgramKind program;
  Link link;
  bool read;
  Bytes record;
};

TEST_F(PortTest, FailedLbaTransferLeavesItsRecordInTheBuffer) {
  const FailureRecordCase cases[] = {
      {"Fleetburn USB read", ProgramKind::Fleetburn, Link::UsbPath, true,
       {0x02, 0x00, 0x00, 0x00, 0xEF, 0xCD, 0xAB, 0x89}},
      {"Fleetburn bridge write", ProgramKind::Fleetburn, Link::Bridge, false,
       {0x01, 0x00, 0x00, 0x00, 0xEF, 0xCD, 0xAB, 0x89}},
      {"Blockprobe bridge read", ProgramKind::Blockprobe, Link::Bridge, true,
       {0x02, 0x00, 0x00, 0x00, 0xEF, 0xCD, 0xAB, 0x89}},
      {"Blockprobe native write", ProgramKind::Blockprobe, Link::NativeAta, false,
       {0x01, 0x00, 0x00, 0x00, 0xEF, 0xCD, 0xAB, 0x89}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    InitPortIoTable(c.program);
    Attach(c.link);
    storage->setDefaultAnswer(testsupport::AnswerTransportFailure(EIO));
    Bytes buffer(4 * 512, 0x6B);
    const int result =
        c.read ? ReadLbaSectors(kPort, buffer, 4, 0x89ABCDEF) : WriteLbaSectors(kPort, buffer, 4, 0x89ABCDEF);
    EXPECT_EQ(result, kCommandFailed);
    EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + 8), c.record);
    if (!c.read) {
      EXPECT_EQ(buffer[8], 0x6B) << "the record takes only its eight bytes of the caller's data";
    }
  }
}

TEST_F(PortTest, SuccessfulLbaReadKeepsTheDataNotARecord) {
  Attach(Link::UsbPath);
  storage->queueAnswer(kDrivePath, testsupport::AnswerWithData({0x10, 0x20, 0x30, 0x40, 0x50, 0x60, 0x70, 0x80}));
  Bytes buffer(512);
  ASSERT_EQ(ReadLbaSectors(kPort, buffer, 1, 7), kCommandOk);
  EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + 8), (Bytes{0x10, 0x20, 0x30, 0x40, 0x50, 0x60, 0x70, 0x80}));
}

TEST_F(PortTest, LbaTransferThatCannotBeCarriedSendsNothing) {
  InitPortIoTable(ProgramKind::Blockprobe);
  Attach(Link::Bridge);
  Bytes buffer(512, 0x6B);
  EXPECT_EQ(ReadLbaSectors(kPort, buffer, 0, 9), kCommandFailed) << "an ATA count of 0 means 256 sectors";
  EXPECT_EQ(WriteLbaSectors(kPort, buffer, 2, 9), kCommandFailed) << "two sectors from a one-sector buffer";
  EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + 8), (Bytes{0x01, 0x00, 0x00, 0x00, 0x09, 0x00, 0x00, 0x00}));
  EXPECT_EQ(ReadLbaSectors(40, buffer, 1, 9), kCommandFailed);
  EXPECT_TRUE(storage->opens().empty());
}

}  // namespace
}  // namespace devlib::test
