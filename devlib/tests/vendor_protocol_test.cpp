#include "devlib/vendor_protocol.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "port_fixture.h"

namespace devlib::test {
namespace {

using devlib::test::PrintTo;  // lets GoogleTest name the table rows

using platform::storage::Direction;
using testsupport::CommandKind;
using Bytes = std::vector<std::uint8_t>;

TEST(VendorCdbForm, IsZeroedWithItsPathMark) {
  EXPECT_EQ(MakeVendorCdb(true, 0x86), (VendorCdb{0xFF, 0x04, 0x86}));
  EXPECT_EQ(MakeVendorCdb(false, 0x00), (VendorCdb{0xFF, 0xE5, 0x00}));
}

// The tunnel block by opcode set and direction; bytes 4 (count) and 5 (tag)
// are filled per command.
struct TunnelCase {
  std::uint8_t opcodeSet;
  bool dataIn;
  std::uint8_t protocol;  // byte 1
  std::uint8_t transfer;  // byte 2
  std::uint8_t command;   // byte 9
};

void PrintTo(const TunnelCase& c, std::ostream* out) {
  *out << "set " << int{c.opcodeSet} << (c.dataIn ? " in" : " out");
}

class TunnelForm : public PortTest, public ::testing::WithParamInterface<TunnelCase> {};

TEST_P(TunnelForm, CarriesTheOpcodesOfThePortsSet) {
  const TunnelCase& c = GetParam();
  Attach(Link::Bridge).opcodeSet = c.opcodeSet;
  for (const std::uint8_t tag : {kCommandSectorTag, std::uint8_t{0x86}}) {
    SCOPED_TRACE(::testing::Message() << "tag " << int{tag});
    storage->clearRecords();
    Bytes buffer(3 * 512, 0x3C);
    const int result = c.dataIn ? SendTunnelRead(kPort, buffer, 3, tag) : SendTunnelWrite(kPort, buffer, 3, tag);
    EXPECT_EQ(result, kCommandOk);
    const auto sent = Sent();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].cdb, (Bytes{0xA1, c.protocol, c.transfer, 0x00, 0x03, tag, 0x34, 0x12, 0xE0, c.command, 0x00,
                                  0x00}));
    EXPECT_EQ(sent[0].direction, c.dataIn ? Direction::In : Direction::Out);
    EXPECT_EQ(sent[0].length, 3 * 512u);
    EXPECT_EQ(sent[0].timeoutSeconds, 10u);
    if (!c.dataIn) {
      EXPECT_EQ(sent[0].dataOut, buffer);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(OpcodeSets, TunnelForm,
                         ::testing::Values(TunnelCase{1, false, 0x0A, 0x03, 0x8F}, TunnelCase{1, true, 0x08, 0x0B, 0x8A},
                                           TunnelCase{2, false, 0x16, 0x03, 0x88}, TunnelCase{2, true, 0x14, 0x0B, 0x86},
                                           TunnelCase{0, false, 0x0A, 0x03, 0xC5}, TunnelCase{0, true, 0x08, 0x0B, 0xC4},
                                           TunnelCase{3, false, 0x0A, 0x03, 0xC5}, TunnelCase{3, true, 0x08, 0x0B, 0xC4}),
                         [](const auto& testCase) {
                           return "Set" + std::to_string(testCase.param.opcodeSet) + (testCase.param.dataIn ? "In" : "Out");
                         });

TEST_F(PortTest, TunnelUsesThePortsOwnSetNotTheSelector) {
  Attach(Link::Bridge).opcodeSet = 1;
  Attach(Link::Bridge, true, 6, "second drive").opcodeSet = 0;
  SetVendorOpcodeSet(2);
  Bytes buffer(512);
  ASSERT_EQ(SendTunnelRead(kPort, buffer, 1, 0x00), kCommandOk);
  ASSERT_EQ(SendTunnelRead(6, buffer, 1, 0x00), kCommandOk);
  const auto sent = Sent();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0].cdb[9], 0x8A);
  EXPECT_EQ(sent[1].cdb[9], 0xC4);
}

TEST_F(PortTest, TunnelPhaseRefusesCountsItCannotCarry) {
  Attach(Link::Bridge);
  Bytes buffer(256 * 512);
  EXPECT_EQ(SendTunnelRead(kPort, buffer, 0, 0x01), kCommandFailed);
  EXPECT_EQ(SendTunnelWrite(kPort, buffer, 256, 0x01), kCommandFailed) << "the count byte holds 255 at most";
  EXPECT_EQ(SendTunnelRead(kPort, std::span(buffer).first(512), 2, 0x01), kCommandFailed);
  EXPECT_EQ(SendTunnelRead(50, buffer, 1, 0x01), kCommandFailed);
  EXPECT_TRUE(storage->opens().empty());
}

TEST_F(PortTest, TunnelReadWithoutCommandSectorReadsOneSignatureSector) {
  Attach(Link::Bridge);
  storage->queueAnswer(kDrivePath, testsupport::AnswerWithData({0x4B, 0x57}));
  Bytes buffer(512);
  ASSERT_TRUE(TunnelRead(kPort, buffer, 1, kCommandSectorTag));
  EXPECT_EQ(buffer[0], 0x4B);
  const auto sent = Sent();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].cdb, (Bytes{0xA1, 0x14, 0x0B, 0x00, 0x01, 0xFF, 0x34, 0x12, 0xE0, 0x86, 0x00, 0x00}));

  storage->queueAnswer(kDrivePath, testsupport::AnswerTransportFailure(EIO));
  EXPECT_FALSE(TunnelRead(kPort, buffer, 1, kCommandSectorTag));
}

// --- the vendor command sender ---------------------------------------------------

const VendorCdb kReadMemory{0xFF, 0xE5, 0x86, 0x03, 0x40, 0x00, 0x10, 0x00};

TEST_F(PortTest, UsbPathSendsTheBlockAsOneScsiCommand) {
  Attach(Link::UsbPath);
  const VendorCdb cdb{0xFF, 0x04, 0x86, 0x03, 0x40, 0x00, 0x10, 0x00};
  Bytes buffer(2 * 512);
  ASSERT_TRUE(SendVendorCommand(kPort, true, cdb, buffer, 2));
  const auto sent = Sent();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].kind, CommandKind::Scsi);
  EXPECT_EQ(sent[0].cdb, Bytes(cdb.begin(), cdb.end()));
  EXPECT_EQ(sent[0].direction, Direction::In);
  EXPECT_EQ(sent[0].length, 1024u);
  EXPECT_EQ(sent[0].timeoutSeconds, 300u);
}

TEST_F(PortTest, TunnelWritesTheCommandSectorThenTheDataPhase) {
  Attach(Link::Bridge);
  storage->queueAnswer(kDrivePath, {});
  storage->queueAnswer(kDrivePath, testsupport::AnswerWithData({0x11, 0x22}));
  Bytes buffer(2 * 512);
  ASSERT_TRUE(SendVendorCommand(kPort, true, kReadMemory, buffer, 2));
  EXPECT_EQ(buffer[1], 0x22);

  const auto sent = Sent();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0].cdb, (Bytes{0xA1, 0x16, 0x03, 0x00, 0x01, 0xFF, 0x34, 0x12, 0xE0, 0x88, 0x00, 0x00}));
  Bytes commandSector(512, 0x00);
  std::copy(kReadMemory.begin(), kReadMemory.end(), commandSector.begin());
  EXPECT_EQ(sent[0].dataOut, commandSector) << "the block, then zeros to the end of the sector";
  EXPECT_EQ(sent[1].cdb, (Bytes{0xA1, 0x14, 0x0B, 0x00, 0x02, 0x86, 0x34, 0x12, 0xE0, 0x86, 0x00, 0x00}));
  EXPECT_EQ(sent[1].direction, Direction::In);
  EXPECT_EQ(sent[1].length, 1024u);
}

TEST_F(PortTest, TunnelDataOutPhaseCarriesTheCallersData) {
  Attach(Link::Bridge);
  const VendorCdb cdb{0xFF, 0xE5, 0x87, 0x03, 0x40};
  Bytes buffer(512);
  for (std::size_t i = 0; i < buffer.size(); ++i) buffer[i] = static_cast<std::uint8_t>(i * 7);
  ASSERT_TRUE(SendVendorCommand(kPort, false, cdb, buffer, 1));
  const auto sent = Sent();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[1].cdb[5], 0x87) << "the data phase is tagged with the sub-operation";
  EXPECT_EQ(sent[1].direction, Direction::Out);
  EXPECT_EQ(sent[1].dataOut, buffer);
}

TEST_F(PortTest, FailedCommandSectorStopsBeforeTheDataPhase) {
  Attach(Link::Bridge);
  storage->queueAnswer(kDrivePath, testsupport::AnswerCheckCondition(0x5, 0x24));
  Bytes buffer(512, 0x99);
  EXPECT_FALSE(SendVendorCommand(kPort, true, kReadMemory, buffer, 1));
  EXPECT_EQ(Sent().size(), 1u);
  EXPECT_EQ(buffer, Bytes(512, 0x99));
}

TEST_F(PortTest, FailedDataPhaseFailsTheCommand) {
  Attach(Link::Bridge);
  storage->queueAnswer(kDrivePath, {});
  storage->queueAnswer(kDrivePath, testsupport::AnswerTransportFailure(ENODEV));
  Bytes buffer(512);
  EXPECT_FALSE(SendVendorCommand(kPort, true, kReadMemory, buffer, 1));
  EXPECT_EQ(Sent().size(), 2u);
}

TEST_F(PortTest, TunnelCommandWithoutDataSendsOnlyTheCommandSector) {
  Attach(Link::Bridge);
  const VendorCdb cdb{0xFF, 0xE5, 0x82};
  ASSERT_TRUE(SendVendorCommand(kPort, false, cdb, {}, 0));
  ASSERT_TRUE(SendVendorCommand(kPort, true, cdb, {}, 0));
  const auto sent = Sent();
  ASSERT_EQ(sent.size(), 2u);
  for (const auto& command : sent) EXPECT_EQ(command.cdb[5], kCommandSectorTag);
}

TEST_F(PortTest, VendorCommandLargerThanItsBufferSendsNothing) {
  Bytes buffer(512);
  for (const Link link : {Link::UsbPath, Link::Bridge}) {
    Attach(link);
    EXPECT_FALSE(SendVendorCommand(kPort, true, kReadMemory, buffer, 2));
  }
  Bytes large(256 * 512);
  EXPECT_FALSE(SendVendorCommand(kPort, true, kReadMemory, large, 256)) << "beyond one tunnel phase";
  EXPECT_FALSE(SendVendorCommand(-1, true, kReadMemory, buffer, 1));
  EXPECT_TRUE(storage->opens().empty());
}

// --- the reply rule -----------------------------------------------------------------

struct ReplyCase {
  const char* name;
  bool usbPath;
  Bytes reply;
  int result;
  std::uint8_t value;  // the output byte afterwards; it starts as 0x77
};

TEST(ReplyRule, TakesTheValueByPath) {
  const ReplyCase cases[] = {
      {"USB takes byte 0", true, {0x0A, 0x0B}, kCommandOk, 0x0A},
      {"USB has no mark to check", true, {0xE4, 0x0B}, kCommandOk, 0xE4},
      {"tunnel takes byte 1 after E5", false, {0xE5, 0x0B}, kCommandOk, 0x0B},
      {"tunnel without E5", false, {0xE4, 0x0B}, kCommandBadSignature, 0x77},
      {"tunnel with the USB form", false, {0x0A, 0x0B}, kCommandBadSignature, 0x77},
      {"short tunnel reply", false, {0xE5}, kCommandBadSignature, 0x77},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::uint8_t value = 0x77;
    EXPECT_EQ(TakeReplyByte(c.usbPath, c.reply, value), c.result);
    EXPECT_EQ(value, c.value);
  }
}

}  // namespace
}  // namespace devlib::test
