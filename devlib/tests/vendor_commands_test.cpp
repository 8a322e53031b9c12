#include "devlib/vendor_commands.h"

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

using platform::storage::Direction;
using testsupport::ScriptedAnswer;
using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t kBufferSectors = 4;

enum class Data { None, In, Out };

// Bytes 2..11 of a vendor block, zero-padded.
Bytes Block(std::initializer_list<std::uint8_t> bytes) {
  Bytes block(bytes);
  block.resize(10, 0x00);
  return block;
}

Bytes WithMark(std::uint8_t mark, const Bytes& block) {
  Bytes full(2 + block.size());
  full[0] = 0xFF;
  full[1] = mark;
  std::copy(block.begin(), block.end(), full.begin() + 2);
  return full;
}

Bytes Pattern(std::size_t size) {
  Bytes bytes(size);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(i * 13 + 1);
  return bytes;
}

struct BuilderCase {
  const char* name;
  std::function<int(int port, std::span<std::uint8_t> buffer)> send;
  Bytes block;        // bytes 2..11
  Bytes tunnelBlock;  // bytes 2..11 when tunnelled, if they differ
  Data data;
  std::size_t sectors;
};

const FlashPageAddress kPage{.channel = 3, .chipEnable = 1, .block = 0x0123, .page = 0x0045, .bch24 = 1, .extra = 0x0F};
const FlashPageAddress kPhysicalPage{.channel = 15, .chipEnable = 0, .block = 0x0100, .page = 0x0002, .bch24 = 1};

int IgnoreValue(const std::function<int(std::uint8_t&)>& send) {
  std::uint8_t value = 0;
  return send(value);
}

const BuilderCase kBuilders[] = {
    {"ReadControllerInfo", [](int p, auto b) { return SendReadControllerInfo(p, b); }, Block({0x80}), {}, Data::In, 1},
    {"SessionStart", [](int p, auto) { return SendSessionStart(p, 0x07); }, Block({0x81, 0x07}), Block({0x81, 0x01}),
     Data::None, 0},
    {"RunRamCode", [](int p, auto) { return SendRunRamCode(p); }, Block({0x82}), {}, Data::None, 0},
    {"SetRunMode", [](int p, auto) { return SendSetRunMode(p, 0x02); }, Block({0x83, 0x02}), {}, Data::None, 0},
    {"ReadRegister",
     [](int p, auto) { return IgnoreValue([p](std::uint8_t& v) { return SendReadRegister(p, 0xB0021004, v); }); },
     Block({0x84, 0xB0, 0x02, 0x10, 0x04}), {}, Data::In, 1},
    {"WriteRegister", [](int p, auto) { return SendWriteRegister(p, 0xB0021004, 0x5C); },
     Block({0x85, 0xB0, 0x02, 0x10, 0x04, 0x5C}), {}, Data::None, 0},
    {"ReadMemoryBlock", [](int p, auto b) { return ReadMemoryBlock(p, 0x03, 0x40001200, b, 4); },
     Block({0x86, 0x03, 0x40, 0x00, 0x12, 0x00}), {}, Data::In, 4},
    {"WriteMemoryBlock", [](int p, auto b) { return WriteMemoryBlock(p, 0x03, 0x40001200, b, 2); },
     Block({0x87, 0x03, 0x40, 0x00, 0x12, 0x00}), {}, Data::Out, 2},
    {"ReadFlashId", [](int p, auto b) { return SendReadFlashId(p, 0x02, 0x01, b, 1); }, Block({0x88, 0x02, 0x01}), {},
     Data::In, 1},
    {"ReadFlashPages", [](int p, auto b) { return SendReadFlashPages(p, kPage, b, 4); },
     Block({0x89, 0x03, 0x01, 0x01, 0x23, 0x00, 0x45, 0x01, 0x0F}), {}, Data::In, 4},
    {"WriteFlashPages", [](int p, auto b) { return SendWriteFlashPages(p, kPage, b, 2); },
     Block({0x8A, 0x03, 0x01, 0x01, 0x23, 0x00, 0x45, 0x01, 0x0F}), {}, Data::Out, 2},
    {"EraseBlock", [](int p, auto) { return SendEraseBlock(p, 0x08, 0x01, 0x0456); },
     Block({0x8B, 0x08, 0x01, 0x04, 0x56}), {}, Data::None, 0},
    {"ReadMemoryWindow", [](int p, auto b) { return SendReadMemoryWindow(p, 0x03, 0xB0030000, b, 2); },
     Block({0x8C, 0x03, 0xB0, 0x03, 0x00, 0x00}), {}, Data::In, 2},
    {"ReadStatus", [](int p, auto) { return IgnoreValue([p](std::uint8_t& v) { return SendReadStatus(p, v); }); },
     Block({0x00}), {}, Data::In, 1},
    {"ReadBadBlockList", [](int p, auto b) { return SendReadBadBlockList(p, 0x01, 0x02, b, 4); },
     Block({0x00, 0x01, 0x02}), {}, Data::In, 4},
    {"StartOperation1", [](int p, auto) { return SendStartOperation1(p, 0x11); }, Block({0x01, 0x11}), {}, Data::None,
     0},
    {"StartOperation2", [](int p, auto) { return SendStartOperation2(p, 0x22); }, Block({0x02, 0x22}), {}, Data::None,
     0},
    {"StartOperation3", [](int p, auto) { return SendStartOperation3(p, 0x33); }, Block({0x03, 0x33}), {}, Data::None,
     0},
    {"StartOperation4", [](int p, auto) { return SendStartOperation4(p, 0x44); }, Block({0x04, 0x44}), {}, Data::None,
     0},
    {"ReadEraseCounts", [](int p, auto b) { return SendReadEraseCounts(p, 0x03, 0x01, b, 4); },
     Block({0x01, 0x03, 0x01}), {}, Data::In, 4},
    {"FlashTestStep",
     [](int p, auto) { return IgnoreValue([p](std::uint8_t& v) { return SendFlashTestStep(p, 0x05, 0x0789, v); }); },
     Block({0x01, 0x05, 0x07, 0x89}), {}, Data::In, 1},
    {"ReadTestResult", [](int p, auto b) { return SendReadTestResult(p, b); }, Block({0x02}), {}, Data::In, 1},
    {"ReadTestMemory", [](int p, auto b) { return SendReadTestMemory(p, 0x01, 0xB0021000, b, 4); },
     Block({0x03, 0x01, 0xB0, 0x02, 0x10, 0x00}), {}, Data::In, 4},
    {"WriteTestMemory", [](int p, auto b) { return SendWriteTestMemory(p, 0x01, 0xB0021000, b, 4); },
     Block({0x04, 0x01, 0xB0, 0x02, 0x10, 0x00}), {}, Data::Out, 4},
    {"ReadPhysicalPage", [](int p, auto b) { return SendReadPhysicalPage(p, kPhysicalPage, b, 4); },
     Block({0x04, 0x0F, 0x00, 0x01, 0x00, 0x00, 0x02, 0x01, 0x00}), {}, Data::In, 4},
    {"ReadInfoBlock", [](int p, auto b) { return SendReadInfoBlock(p, b, 1); }, Block({0x05}), {}, Data::In, 1},
    {"DramCheck", [](int p, auto b) { return SendDramCheck(p, b, 0x20000, 0x4000000); },
     Block({0x05, 0x00, 0x00, 0x02, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00}), {}, Data::Out, 1},
    {"ReadFailureReport", [](int p, auto b) { return SendReadFailureReport(p, b); }, Block({0x06}), {}, Data::In, 4},
    {"ReadLoaderList", [](int p, auto b) { return SendReadLoaderList(p, b, 2); }, Block({0x07}), {}, Data::In, 2},
    {"WriteEraseCounts", [](int p, auto b) { return SendWriteEraseCounts(p, 0x03, 0x01, b, 4); },
     Block({0x08, 0x03, 0x01}), {}, Data::Out, 4},
};

Direction DirectionOf(Data data) {
  switch (data) {
    case Data::In: return Direction::In;
    case Data::Out: return Direction::Out;
    case Data::None: break;
  }
  return Direction::None;
}

class VendorBuilder : public PortTest, public ::testing::WithParamInterface<BuilderCase> {
 protected:
  void SetUp() override {
    PortTest::SetUp();
    // Replies that satisfy the reply rule on both paths.
    storage->setDefaultAnswer(testsupport::AnswerWithData({0xE5, 0x01}));
  }
  Bytes buffer_ = Pattern(kBufferSectors * 512);
};

TEST_P(VendorBuilder, SendsItsBlockOnTheUsbPath) {
  const BuilderCase& c = GetParam();
  Attach(Link::UsbPath);
  ASSERT_EQ(c.send(kPort, buffer_), kCommandOk);
  const auto sent = Sent();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].cdb, WithMark(0x04, c.block));
  EXPECT_EQ(sent[0].direction, DirectionOf(c.data));
  EXPECT_EQ(sent[0].length, c.sectors * 512);
  EXPECT_EQ(sent[0].timeoutSeconds, c.data == Data::In ? 300u : 10u);
  if (c.data == Data::Out) {
    EXPECT_EQ(sent[0].dataOut, Pattern(c.sectors * 512));
  }
}

TEST_P(VendorBuilder, TunnelsItsBlockBehindABridge) {
  const BuilderCase& c = GetParam();
  Attach(Link::Bridge);
  ASSERT_EQ(c.send(kPort, buffer_), kCommandOk);
  const auto sent = Sent();
  ASSERT_EQ(sent.size(), c.data == Data::None ? 1u : 2u);

  const VendorTunnelCdb commandSector = MakeVendorTunnelCdb(2, false, 1, kCommandSectorTag);
  EXPECT_EQ(sent[0].cdb, Bytes(commandSector.begin(), commandSector.end()));
  Bytes expectedSector = WithMark(0xE5, c.tunnelBlock.empty() ? c.block : c.tunnelBlock);
  expectedSector.resize(512, 0x00);
  EXPECT_EQ(sent[0].dataOut, expectedSector);
  if (c.data == Data::None) return;

  const VendorTunnelCdb dataPhase =
      MakeVendorTunnelCdb(2, c.data == Data::In, static_cast<std::uint8_t>(c.sectors), c.block[0]);
  EXPECT_EQ(sent[1].cdb, Bytes(dataPhase.begin(), dataPhase.end()));
  EXPECT_EQ(sent[1].direction, DirectionOf(c.data));
  EXPECT_EQ(sent[1].length, c.sectors * 512);
  if (c.data == Data::Out) {
    EXPECT_EQ(sent[1].dataOut, Pattern(c.sectors * 512));
  }
}

TEST_P(VendorBuilder, ReportsAFailedCommandAsTwo) {
  storage->setDefaultAnswer(testsupport::AnswerTransportFailure(EIO));
  for (const Link link : {Link::UsbPath, Link::Bridge}) {
    Attach(link);
    EXPECT_EQ(GetParam().send(kPort, buffer_), kCommandFailed);
  }
}

TEST_P(VendorBuilder, UnknownPortGivesTwoWithoutCommand) {
  EXPECT_EQ(GetParam().send(50, buffer_), kCommandFailed);
  EXPECT_EQ(GetParam().send(-1, buffer_), kCommandFailed);
  EXPECT_TRUE(storage->opens().empty());
}

INSTANTIATE_TEST_SUITE_P(SubOperations, VendorBuilder, ::testing::ValuesIn(kBuilders),
                         [](const auto& testCase) { return std::string(testCase.param.name); });

TEST_F(PortTest, DataPhaseLargerThanTheBufferIsRefused) {
  Attach(Link::UsbPath);
  Bytes sector(512);
  EXPECT_EQ(ReadMemoryBlock(kPort, 0x03, 0x40000000, sector, 2), kCommandFailed);
  EXPECT_EQ(SendReadFailureReport(kPort, sector), kCommandFailed) << "the report needs four sectors";
  EXPECT_EQ(SendReadControllerInfo(kPort, std::span(sector).first(104)), kCommandFailed);
  EXPECT_TRUE(storage->opens().empty());
}

// --- reply bytes ------------------------------------------------------------------

struct ReplyCase {
  const char* name;
  Link link;
  ScriptedAnswer reply;
  int result;
  std::uint8_t value;  // starts as 0x77
};

TEST_F(PortTest, StatusAndRegisterReadsApplyTheReplyRule) {
  const ReplyCase cases[] = {
      {"USB byte 0", Link::UsbPath, testsupport::AnswerWithData({0x0A, 0xEE}), kCommandOk, 0x0A},
      {"tunnel E5 then value", Link::Bridge, testsupport::AnswerWithData({0xE5, 0x0A}), kCommandOk, 0x0A},
      {"tunnel E4", Link::Bridge, testsupport::AnswerWithData({0xE4, 0x0A}), kCommandBadSignature, 0x77},
      {"tunnel read fails", Link::Bridge, testsupport::AnswerTransportFailure(EIO), kCommandFailed, 0x77},
      {"USB read fails", Link::UsbPath, testsupport::AnswerTransportFailure(EIO), kCommandFailed, 0x77},
  };
  const std::function<int(std::uint8_t&)> readers[] = {
      [](std::uint8_t& v) { return SendReadStatus(kPort, v); },
      [](std::uint8_t& v) { return SendReadRegister(kPort, 0xB0000000, v); },
  };
  for (const auto& read : readers) {
    for (const auto& c : cases) {
      SCOPED_TRACE(c.name);
      Attach(c.link);
      if (c.link == Link::Bridge) storage->queueAnswer(kDrivePath, {});  // the command sector
      storage->queueAnswer(kDrivePath, c.reply);
      std::uint8_t value = 0x77;
      EXPECT_EQ(read(value), c.result);
      EXPECT_EQ(value, c.value);
    }
  }
}

TEST_F(PortTest, FlashTestStepTakesByteOneOnlyWhenByteZeroIsOne) {
  const ReplyCase cases[] = {
      {"step reports its result", Link::Bridge, testsupport::AnswerWithData({0x01, 0x33}), kCommandOk, 0x33},
      {"step without a result", Link::Bridge, testsupport::AnswerWithData({0x00, 0x33}), kCommandOk, 0xFF},
      {"no signature rule here", Link::Bridge, testsupport::AnswerWithData({0xE5, 0x33}), kCommandOk, 0xFF},
      {"USB path", Link::UsbPath, testsupport::AnswerWithData({0x01, 0x42}), kCommandOk, 0x42},
      {"failed read", Link::Bridge, testsupport::AnswerTransportFailure(EIO), kCommandFailed, 0x77},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Attach(c.link);
    if (c.link == Link::Bridge) storage->queueAnswer(kDrivePath, {});
    storage->queueAnswer(kDrivePath, c.reply);
    std::uint8_t result = 0x77;
    EXPECT_EQ(SendFlashTestStep(kPort, 1, 0x0010, result), c.result);
    EXPECT_EQ(result, c.value);
  }
}

TEST_F(PortTest, ReadBuildersFillTheCallersBuffer) {
  Attach(Link::Bridge);
  storage->queueAnswer(kDrivePath, {});
  const Bytes info = Pattern(512);
  storage->queueAnswer(kDrivePath, testsupport::AnswerWithData(info));
  Bytes sector(512);
  ASSERT_EQ(SendReadControllerInfo(kPort, sector), kCommandOk);
  EXPECT_EQ(sector, info);
}

}  // namespace
}  // namespace devlib::test
