#include "devlib/transport.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <optional>
#include <string>
#include <vector>

#include "devlib/debug_print.h"
#include "platform/clock.h"
#include "platform/debug.h"
#include "port_fixture.h"

namespace devlib::test {
namespace {

using devlib::test::PrintTo;  // lets GoogleTest name the table rows

using platform::storage::AtaRegisters;
using platform::storage::Direction;
using platform::storage::Sharing;
using testsupport::CommandKind;
using testsupport::ScriptedAnswer;
using Bytes = std::vector<std::uint8_t>;

const Bytes kTunnelReadCdb{0xA1, 0x08, 0x0B, 0x00, 0x01, 0xFF, 0x34, 0x12, 0xE0, 0x8A, 0x00, 0x00};
const Bytes kTunnelWriteCdb{0xA1, 0x0A, 0x03, 0x00, 0x01, 0xFF, 0x34, 0x12, 0xE0, 0x8F, 0x00, 0x00};

TEST(DebugPrint, FormatsAndCutsLongTextAt1024Bytes) {
  platform::debug::CaptureSink capture;
  DebugPrint("port %d: %s", 3, "ready");
  DebugPrint("%s", std::string(3000, 'x').c_str());
  const auto lines = capture.lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "port 3: ready");
  EXPECT_EQ(lines[1], std::string(1023, 'x'));
}

// --- ATA pass-through on a device path ---------------------------------------

class AtaCommandTest : public PortTest {
 protected:
  void SetUp() override {
    PortTest::SetUp();
    storage->addDevice(kDrivePath);
  }
};

struct AtaLengthCase {
  std::size_t length;
  std::size_t bufferSize;
  int expected;
};

TEST_F(AtaCommandTest, DataLengthDecidesDirectionOrRefusal) {
  const AtaLengthCase cases[] = {
      {0, 512, 1},             // no data phase at all
      {512, 512, 1},           //
      {65536, 65536, 1},       // the largest transfer
      {65537, 65537, -1},      // over the pass-through limit
      {1024, 512, -1},         // more than the buffer holds
  };
  for (const bool read : {true, false}) {
    for (const auto& c : cases) {
      SCOPED_TRACE(::testing::Message() << (read ? "read " : "write ") << c.length << " of " << c.bufferSize);
      storage->clearRecords();
      Bytes buffer(c.bufferSize, 0x5A);
      AtaTaskFile taskFile;
      taskFile.current.command = read ? 0xC8 : 0xCA;
      taskFile.useDma = true;
      const int result = read ? ReadATACommandWithTimeOutValue(kDrivePath, taskFile, buffer, c.length, 10)
                              : WriteATACommandWithTimeOutValue(kDrivePath, taskFile, buffer, c.length, 10);
      EXPECT_EQ(result, c.expected);
      const auto sent = Sent();
      if (c.expected != 1) {
        EXPECT_TRUE(sent.empty());
        EXPECT_TRUE(storage->opens().empty());
        continue;
      }
      ASSERT_EQ(sent.size(), 1u);
      EXPECT_EQ(sent[0].kind, CommandKind::Ata);
      EXPECT_EQ(sent[0].length, c.length);
      EXPECT_EQ(sent[0].direction, c.length == 0 ? Direction::None : (read ? Direction::In : Direction::Out));
      EXPECT_EQ(sent[0].useDma, c.length != 0) << "a command without data carries no DMA flag";
      EXPECT_EQ(storage->opens().at(0).sharing, Sharing::Exclusive);
    }
  }
}

TEST_F(AtaCommandTest, DeviceErrorGivesZeroAndReturnsTheRegisters) {
  storage->queueAnswer(kDrivePath, testsupport::AnswerAtaStatus(0x51, 0x04));
  AtaTaskFile taskFile;
  taskFile.current.command = 0xEF;
  EXPECT_EQ(ReadATACommandWithTimeOutValue(kDrivePath, taskFile, {}, 0, 10), 0);
  EXPECT_EQ(taskFile.current.command, 0x51) << "status register";
  EXPECT_EQ(taskFile.current.features, 0x04) << "error register";
}

TEST_F(AtaCommandTest, FailedCallGivesMinusOneWithItsDebugText) {
  platform::debug::CaptureSink capture;
  storage->setDefaultAnswer(testsupport::AnswerTransportFailure(EIO));
  AtaTaskFile taskFile;
  EXPECT_EQ(ReadATACommandWithTimeOutValue(kDrivePath, taskFile, {}, 0, 10), -1);
  EXPECT_EQ(WriteATACommandWithTimeOutValue(kDrivePath, taskFile, {}, 0, 10), -1);
  EXPECT_TRUE(capture.contains("ReadATACommandWithTimeOutValue() fail\n"));
  EXPECT_TRUE(capture.contains("WriteATACommandWithTimeOutValue() fail\n"));
}

TEST_F(AtaCommandTest, DeviceThatDoesNotOpenGivesZero) {
  AtaTaskFile taskFile;
  EXPECT_EQ(ReadATACommandWithTimeOutValue("no such drive", taskFile, {}, 0, 10), 0);
  EXPECT_TRUE(Sent().empty());
}

struct SatCase {
  const char* name;
  Bytes cdb;
  bool dataIn;
  std::size_t length;
  AtaRegisters current;
  bool extended;
  AtaRegisters previous;
  bool useDma;
};

class SatDecoding : public AtaCommandTest, public ::testing::WithParamInterface<SatCase> {};

TEST_P(SatDecoding, SendsTheTaskFileOfTheBlock) {
  const SatCase& c = GetParam();
  Bytes buffer(c.length);
  EXPECT_EQ(SendAtaCommandTimed(kDrivePath, c.dataIn, c.cdb, buffer, c.length, 10), 1);
  const auto sent = Sent();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].kind, CommandKind::Ata);
  EXPECT_EQ(sent[0].current, c.current);
  EXPECT_EQ(sent[0].extended, c.extended);
  if (c.extended) {
    EXPECT_EQ(sent[0].previous, c.previous);
  }
  EXPECT_EQ(sent[0].useDma, c.useDma);
  EXPECT_EQ(sent[0].direction, c.length == 0 ? Direction::None : (c.dataIn ? Direction::In : Direction::Out));
  EXPECT_EQ(sent[0].length, c.length);
  EXPECT_EQ(sent[0].timeoutSeconds, 10u);
}

INSTANTIATE_TEST_SUITE_P(
    Blocks, SatDecoding,
    ::testing::Values(
        SatCase{"TunnelReadUdma",
                {0xA1, 0x14, 0x0B, 0x00, 0x02, 0x86, 0x34, 0x12, 0xE0, 0x86, 0x00, 0x00}, true, 1024,
                {0x00, 0x02, 0x86, 0x34, 0x12, 0xE0, 0x86}, false, {}, true},
        SatCase{"TunnelWriteUdma",
                {0xA1, 0x16, 0x03, 0x00, 0x01, 0xFF, 0x34, 0x12, 0xE0, 0x88, 0x00, 0x00}, false, 512,
                {0x00, 0x01, 0xFF, 0x34, 0x12, 0xE0, 0x88}, false, {}, true},
        SatCase{"TunnelWritePio", kTunnelWriteCdb, false, 512, {0x00, 0x01, 0xFF, 0x34, 0x12, 0xE0, 0x8F}, false, {},
                false},
        SatCase{"DmaProtocol",
                {0xA1, 0x0C, 0x0E, 0x00, 0x08, 0x10, 0x20, 0x30, 0xE0, 0xC8, 0x00, 0x00}, true, 4096,
                {0x00, 0x08, 0x10, 0x20, 0x30, 0xE0, 0xC8}, false, {}, true},
        SatCase{"FpdmaProtocol",
                {0xA1, 0x18, 0x0E, 0x00, 0x08, 0x10, 0x20, 0x30, 0xE0, 0x60, 0x00, 0x00}, true, 4096,
                {0x00, 0x08, 0x10, 0x20, 0x30, 0xE0, 0x60}, false, {}, true},
        SatCase{"NonData",
                {0xA1, 0x06, 0x00, 0xDC, 0x4B, 0x00, 0x00, 0x00, 0xE0, 0xEF, 0x00, 0x00}, false, 0,
                {0xDC, 0x4B, 0x00, 0x00, 0x00, 0xE0, 0xEF}, false, {}, false},
        SatCase{"Extended48Bit",
                {0x85, 0x07, 0x00, 0x11, 0x12, 0x21, 0x22, 0x31, 0x32, 0x41, 0x42, 0x51, 0x52, 0xE0, 0x37, 0x00},
                false, 0, {0x12, 0x22, 0x32, 0x42, 0x52, 0xE0, 0x37}, true, {0x11, 0x21, 0x31, 0x41, 0x51, 0, 0},
                false},
        SatCase{"Sixteen28Bit",
                {0x85, 0x06, 0x00, 0x11, 0x12, 0x21, 0x22, 0x31, 0x32, 0x41, 0x42, 0x51, 0x52, 0x40, 0x27, 0x00},
                false, 0, {0x12, 0x22, 0x32, 0x42, 0x52, 0x40, 0x27}, false, {}, false}),
    [](const auto& testCase) { return std::string(testCase.param.name); });

TEST_F(AtaCommandTest, RefusesWhatIsNotAnAtaPassThroughBlock) {
  const Bytes refused[] = {
      {0x28, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x00, 0x01, 0x00},                          // READ (10)
      {0xFF, 0x04, 0x80, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00},              // vendor block
      {0xA1, 0x08, 0x0B, 0x00, 0x01, 0x00, 0x00, 0x00, 0xE0, 0xEC, 0x00, 0x00, 0, 0, 0, 0},  // 12-byte opcode, 16 bytes
      {0x85, 0x06, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00},              // 16-byte opcode, 12 bytes
      {},
  };
  for (const auto& cdb : refused) {
    SCOPED_TRACE(testsupport::HexBytes(cdb));
    EXPECT_EQ(SendAtaCommandTimed(kDrivePath, true, cdb, {}, 0, 10), -1);
  }
  EXPECT_EQ(SendAtaCommandTimed("", true, kTunnelReadCdb, {}, 0, 10), -1);
  EXPECT_TRUE(storage->opens().empty()) << "nothing may reach the device";
}

// --- the elapsed-time rule of native-ATA commands -------------------------------

struct ElapsedCase {
  std::uint64_t spendMs;
  std::uint8_t status;
  int expected;
};

TEST_F(PortTest, NativeAtaCommandOverItsTimeOutFailsWhateverTheDeviceSaid) {
  platform::clock::ScopedFastClock fastClock;
  Attach(Link::NativeAta);
  const ElapsedCase cases[] = {
      {0, 0x50, 1},
      {10'900, 0x50, 1},   // 10 whole seconds: within the limit
      {10'900, 0x51, -2},  // device error
      {11'000, 0x50, 0},   // 11 s against 10 s
      {11'000, 0x51, 0},
      {95'000, 0x50, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.spendMs << " ms, status " << int{c.status});
    platform::debug::CaptureSink capture;
    ScriptedAnswer answer = testsupport::AnswerAtaStatus(c.status);
    answer.spendMs = c.spendMs;
    storage->queueAnswer(kDrivePath, answer);
    Bytes buffer(512);
    EXPECT_EQ(SendPortCommand(kPort, true, kTunnelReadCdb, buffer, 512), c.expected);
    const std::string timeoutText = "Timeout = " + std::to_string(c.spendMs / 1000) + " sec";
    if (c.expected == 0) {
      EXPECT_EQ(capture.lines(), std::vector<std::string>{timeoutText});
    } else {
      EXPECT_FALSE(capture.contains("Timeout"));
    }
  }
}

// --- SCSI pass-through on a device path --------------------------------------

ScriptedAnswer WithStatus(std::uint8_t status) {
  ScriptedAnswer answer;
  answer.scsi.scsiStatus = status;
  return answer;
}

ScriptedAnswer DescriptorSense(std::uint8_t responseCode, std::uint8_t key, std::uint8_t asc) {
  ScriptedAnswer answer = WithStatus(0x02);
  answer.scsi.sense[0] = responseCode;
  answer.scsi.sense[1] = key;
  answer.scsi.sense[2] = asc;
  answer.scsi.senseLength = 8;
  return answer;
}

ScriptedAnswer FixedSense(std::uint8_t responseCode, std::uint8_t key, std::uint8_t asc = 0, std::uint8_t ascq = 0) {
  ScriptedAnswer answer = testsupport::AnswerCheckCondition(key, asc, ascq);
  answer.scsi.sense[0] = responseCode;
  return answer;
}

ScriptedAnswer TimedOut() {
  ScriptedAnswer answer;
  answer.scsi.transportOk = false;
  answer.scsi.timedOut = true;
  return answer;
}

struct OutcomeCase {
  const char* name;
  ScriptedAnswer answer;
  bool succeeds;
  const char* debugText;  // what the failure report must say
};

class ScsiOutcomes : public PortTest, public ::testing::WithParamInterface<OutcomeCase> {};

TEST_P(ScsiOutcomes, OnlyGoodOrHarmlessSensePasses) {
  storage->addDevice(kDrivePath);
  storage->queueAnswer(kDrivePath, GetParam().answer);
  platform::debug::CaptureSink capture;
  Bytes buffer(512);
  EXPECT_EQ(SendScsiCommandInTimed(kDrivePath, kTunnelReadCdb, buffer, 512, 10), GetParam().succeeds);
  if (GetParam().succeeds) {
    EXPECT_TRUE(capture.lines().empty());
  } else {
    EXPECT_TRUE(capture.contains(GetParam().debugText)) << ::testing::PrintToString(capture.lines());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Outcomes, ScsiOutcomes,
    ::testing::Values(
        OutcomeCase{"Good", ScriptedAnswer{}, true, ""},
        OutcomeCase{"NoSense", FixedSense(0x70, 0x0), true, ""},
        OutcomeCase{"RecoveredError", FixedSense(0x70, 0x1, 0x00, 0x1D), true, ""},
        OutcomeCase{"DeferredRecoveredError", FixedSense(0x71, 0x1), true, ""},
        OutcomeCase{"DescriptorRecoveredError", DescriptorSense(0x72, 0x1, 0x00), true, ""},
        OutcomeCase{"NotReady", FixedSense(0x70, 0x2, 0x04), false, "sense key 2, ASC 04"},
        OutcomeCase{"MediumError", FixedSense(0x70, 0x3, 0x11), false, "sense key 3, ASC 11"},
        OutcomeCase{"IllegalRequest", FixedSense(0xF0, 0x5, 0x20), false, "sense key 5, ASC 20"},
        OutcomeCase{"UnitAttention", FixedSense(0x70, 0x6, 0x29), false, "sense key 6"},
        OutcomeCase{"AbortedCommand", FixedSense(0x70, 0xB, 0x00), false, "sense key B"},
        OutcomeCase{"DescriptorMediumError", DescriptorSense(0x72, 0x3, 0x11), false, "sense key 3, ASC 11"},
        OutcomeCase{"CheckConditionWithoutSense", WithStatus(0x02), false, "no sense data"},
        OutcomeCase{"UnknownSenseFormat", DescriptorSense(0x7F, 0x0, 0x00), false, "no sense data"},
        OutcomeCase{"Busy", WithStatus(0x08), false, "status 08"},
        OutcomeCase{"TransportFailure", testsupport::AnswerTransportFailure(EIO), false, "error 5"},
        OutcomeCase{"TimedOut", TimedOut(), false, "timed out after 10 sec"}),
    [](const auto& testCase) { return std::string(testCase.param.name); });

class ScsiCommandTest : public PortTest {
 protected:
  void SetUp() override {
    PortTest::SetUp();
    storage->addDevice(kDrivePath);
  }
};

TEST_F(ScsiCommandTest, OneByteReadTravelsAsTwoAndReturnsOnlyItsByte) {
  storage->queueAnswer(kDrivePath, testsupport::AnswerWithData({0xAB, 0xCD}));
  Bytes memory{0x00, 0x77};
  std::size_t transferred = 99;
  ASSERT_TRUE(SendScsiCommandIn(kDrivePath, kTunnelReadCdb, std::span(memory).first(1), 1, &transferred));
  EXPECT_EQ(memory, (Bytes{0xAB, 0x77}));
  EXPECT_EQ(transferred, 1u);
  const auto sent = Sent();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].length, 2u);
  EXPECT_EQ(sent[0].direction, Direction::In);
}

TEST_F(ScsiCommandTest, OneByteWriteSendsTheByteAndAZero) {
  Bytes memory{0x5A, 0x77};
  ASSERT_TRUE(SendScsiCommandOut(kDrivePath, kTunnelWriteCdb, std::span(memory).first(1), 1));
  const auto sent = Sent();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].dataOut, (Bytes{0x5A, 0x00}));
}

TEST_F(ScsiCommandTest, FailedOneByteReadLeavesTheCallersByte) {
  storage->queueAnswer(kDrivePath, FixedSense(0x70, 0x3));
  Bytes memory{0x42};
  EXPECT_FALSE(SendScsiCommandIn(kDrivePath, kTunnelReadCdb, memory, 1));
  EXPECT_EQ(memory[0], 0x42);
}

TEST_F(ScsiCommandTest, RefusesWhatCannotBeCarriedBeforeOpening) {
  Bytes buffer(512);
  const Bytes tooLong(17, 0x28);
  EXPECT_FALSE(SendScsiCommandIn(kDrivePath, kTunnelReadCdb, buffer, 513));
  EXPECT_FALSE(SendScsiCommandOutTimed(kDrivePath, kTunnelWriteCdb, buffer, 1024, 10));
  EXPECT_FALSE(SendScsiCommandIn(kDrivePath, {}, buffer, 512));
  EXPECT_FALSE(SendScsiCommandIn(kDrivePath, tooLong, buffer, 512));
  EXPECT_TRUE(storage->opens().empty());
}

TEST_F(ScsiCommandTest, DeviceThatDoesNotOpenFails) {
  Bytes buffer(512);
  EXPECT_FALSE(SendScsiCommandIn("pulled drive", kTunnelReadCdb, buffer, 512));
  EXPECT_TRUE(Sent().empty());
}

TEST_F(ScsiCommandTest, ReadAndWrite10CarryLbaAndSectorCount) {
  Bytes buffer(65536);
  ASSERT_TRUE(ScsiRead10(kDrivePath, buffer, 0x12345678, 65536));
  ASSERT_TRUE(ScsiWrite10(kDrivePath, buffer, 500, 512));
  const auto sent = Sent();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0].cdb, (Bytes{0x28, 0x00, 0x12, 0x34, 0x56, 0x78, 0x00, 0x00, 0x80, 0x00}));
  EXPECT_EQ(sent[0].direction, Direction::In);
  EXPECT_EQ(sent[0].length, 65536u);
  EXPECT_EQ(sent[1].cdb, (Bytes{0x2A, 0x00, 0x00, 0x00, 0x01, 0xF4, 0x00, 0x00, 0x01, 0x00}));
  EXPECT_EQ(sent[1].direction, Direction::Out);
  EXPECT_EQ(sent[1].length, 512u);
}

TEST_F(ScsiCommandTest, ReadAndWrite10RefusePartialSectorsAndOversizedTransfers) {
  Bytes buffer(700);
  EXPECT_FALSE(ScsiRead10(kDrivePath, buffer, 0, 700));
  EXPECT_FALSE(ScsiWrite10(kDrivePath, buffer, 0, 1));
  EXPECT_FALSE(ScsiRead10(kDrivePath, buffer, 0, 1024)) << "more than the buffer";
  EXPECT_TRUE(storage->opens().empty());
}

// --- time-outs that follow the device ------------------------------------------

struct DeviceTimeoutCase {
  bool onUsb;
  std::string path;
  bool dataIn;
  std::uint32_t expected;
};

TEST_F(PortTest, PlainScsiTimeOutsFollowTheDeviceNotThePathText) {
  const DeviceTimeoutCase cases[] = {
      {true, kDrivePath, true, 300},
      {false, kDrivePath, true, 5},  // the path says "usb", the device is not on USB
      {true, "/dev/sdc", true, 300},
      {false, "/dev/sdc", true, 5},
      {true, kDrivePath, false, 10},
      {false, "/dev/sdc", false, 10},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.path << (c.onUsb ? " on USB" : " not on USB")
                                      << (c.dataIn ? " in" : " out"));
    storage->removeDevice(kDrivePath);
    storage->removeDevice("/dev/sdc");
    Attach(Link::Bridge, c.onUsb, kPort, c.path);
    storage->clearRecords();
    Bytes buffer(512);
    const Bytes& cdb = c.dataIn ? kTunnelReadCdb : kTunnelWriteCdb;
    ASSERT_TRUE(c.dataIn ? SendScsiCommandIn(c.path, cdb, buffer, 512) : SendScsiCommandOut(c.path, cdb, buffer, 512));
    ASSERT_EQ(SendPathScsiCommand(kPort, c.dataIn, cdb, buffer, 512), 1);
    ASSERT_TRUE(c.dataIn ? ScsiRead10(c.path, buffer, 0, 512) : ScsiWrite10(c.path, buffer, 0, 512));
    const auto sent = Sent();
    ASSERT_EQ(sent.size(), 3u);
    for (const auto& command : sent) EXPECT_EQ(command.timeoutSeconds, c.expected);
  }
}

// --- per-port dispatch ----------------------------------------------------------

struct DispatchCase {
  const char* name;
  Link link;
  bool usbFlag;  // the record's usbPath as set after attaching
  bool onUsb;
  bool emptyPath;
  bool dataIn;
  std::optional<CommandKind> sentAs;
  std::uint32_t timeout;
  int result;
};

class PortDispatch : public PortTest, public ::testing::WithParamInterface<DispatchCase> {};

TEST_P(PortDispatch, ChoosesBranchAndTimeOut) {
  const DispatchCase& c = GetParam();
  Attach(c.link, c.onUsb);
  ASSERT_TRUE(SetPortTransportFlags(kPort, c.usbFlag ? 1 : 0, c.link == Link::NativeAta ? 1 : 0));
  if (c.emptyPath) {
    ASSERT_TRUE(SetPortPath(kPort, ""));
  }
  Bytes buffer(512);
  EXPECT_EQ(SendPortCommand(kPort, c.dataIn, c.dataIn ? kTunnelReadCdb : kTunnelWriteCdb, buffer, 512), c.result);
  const auto sent = Sent();
  if (!c.sentAs) {
    EXPECT_TRUE(storage->opens().empty());
    return;
  }
  ASSERT_EQ(sent.size(), 1u);
  ASSERT_EQ(storage->opens().size(), 1u);
  EXPECT_EQ(sent[0].kind, *c.sentAs);
  EXPECT_EQ(storage->opens()[0].sharing, *c.sentAs == CommandKind::Ata ? Sharing::Exclusive : Sharing::Shared);
  EXPECT_EQ(sent[0].timeoutSeconds, c.timeout);
  EXPECT_EQ(sent[0].direction, c.dataIn ? Direction::In : Direction::Out);
  EXPECT_EQ(sent[0].length, 512u);
}

INSTANTIATE_TEST_SUITE_P(
    Ports, PortDispatch,
    ::testing::Values(
        DispatchCase{"NativeAtaIn", Link::NativeAta, false, false, false, true, CommandKind::Ata, 10, 1},
        DispatchCase{"NativeAtaOut", Link::NativeAta, false, false, false, false, CommandKind::Ata, 10, 1},
        DispatchCase{"NativeAtaBeforeUsbFlag", Link::NativeAta, true, true, false, true, CommandKind::Ata, 10, 1},
        DispatchCase{"NativeAtaEmptyPath", Link::NativeAta, false, false, true, true, std::nullopt, 0, -1},
        DispatchCase{"UsbPathIn", Link::UsbPath, true, true, false, true, CommandKind::Scsi, 300, 1},
        DispatchCase{"UsbPathInByFlagNotDevice", Link::UsbPath, true, false, false, true, CommandKind::Scsi, 300, 1},
        DispatchCase{"UsbPathOut", Link::UsbPath, true, true, false, false, CommandKind::Scsi, 10, 1},
        DispatchCase{"BridgeIn", Link::Bridge, false, true, false, true, CommandKind::Scsi, 10, 1},
        DispatchCase{"BridgeOut", Link::Bridge, false, true, false, false, CommandKind::Scsi, 10, 1},
        DispatchCase{"UsbPathEmptyPath", Link::UsbPath, true, true, true, true, std::nullopt, 0, -1},
        DispatchCase{"BridgeEmptyPath", Link::Bridge, false, true, true, false, std::nullopt, 0, -1}),
    [](const auto& testCase) { return std::string(testCase.param.name); });

struct PortFailureCase {
  const char* name;
  Link link;
  ScriptedAnswer answer;
  int expected;
};

TEST_F(PortTest, DeviceFailuresKeepTheirResults) {
  const PortFailureCase cases[] = {
      {"SCSI error", Link::UsbPath, FixedSense(0x70, 0x5, 0x24), -2},
      {"SCSI transport failure", Link::Bridge, testsupport::AnswerTransportFailure(ENODEV), -2},
      {"ATA device error", Link::NativeAta, testsupport::AnswerAtaStatus(0x51, 0x04), -2},
      {"ATA call failure", Link::NativeAta, testsupport::AnswerTransportFailure(ENODEV), -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Attach(c.link);
    storage->queueAnswer(kDrivePath, c.answer);
    Bytes buffer(512);
    EXPECT_EQ(SendPortCommand(kPort, true, kTunnelReadCdb, buffer, 512), c.expected);
  }
}

TEST_F(PortTest, UnknownPortsAndOversizedTransfersAreRefused) {
  Attach(Link::UsbPath);
  Bytes buffer(512);
  for (const int port : {-1, 50, 200}) {
    EXPECT_EQ(SendPortCommand(port, true, kTunnelReadCdb, buffer, 512), -1) << port;
    EXPECT_EQ(SendPathScsiCommand(port, true, kTunnelReadCdb, buffer, 512), -1) << port;
    EXPECT_FALSE(SetBridgeOption(port, 1)) << port;
  }
  EXPECT_EQ(SendPortCommand(kPort, true, kTunnelReadCdb, buffer, 1024), -1);
  EXPECT_EQ(SendPathScsiCommand(kPort, false, kTunnelWriteCdb, buffer, 513), -1);
  Attach(Link::NativeAta);
  EXPECT_EQ(SendPortCommand(kPort, true, kTunnelReadCdb, buffer, 1024), -1);
  EXPECT_TRUE(storage->opens().empty());
}

TEST_F(PortTest, PortStopRequestReachesEveryCommand) {
  std::stop_source stop;
  stop.request_stop();
  Bytes buffer(512);
  for (const bool dataIn : {true, false}) {
    const Bytes& cdb = dataIn ? kTunnelReadCdb : kTunnelWriteCdb;
    for (const Link link : {Link::UsbPath, Link::NativeAta}) {
      Attach(link);
      const PortWork work = BeginPortWork(kPort, stop.get_token());
      EXPECT_NE(SendPortCommand(kPort, dataIn, cdb, buffer, 512), 1);
      if (link == Link::NativeAta) {
        EXPECT_NE(SendPathScsiCommand(kPort, dataIn, cdb, buffer, 512), 1);
      }
    }
  }
  const auto sent = Sent();
  ASSERT_EQ(sent.size(), 6u);
  for (const auto& command : sent) EXPECT_TRUE(command.stopRequested);
}

TEST_F(PortTest, BridgeOptionIsAVendorBlockWithoutData) {
  Attach(Link::UsbPath);
  EXPECT_TRUE(SetBridgeOption(kPort, 0x07));
  const auto sent = Sent();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].cdb, (Bytes{0xFF, 0x04, 0x32, 0x07, 0, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(sent[0].direction, Direction::None);
  EXPECT_EQ(sent[0].length, 0u);
  EXPECT_EQ(sent[0].timeoutSeconds, 10u);

  storage->queueAnswer(kDrivePath, FixedSense(0x70, 0x5));
  EXPECT_FALSE(SetBridgeOption(kPort, 0x07));
}

TEST_F(PortTest, BridgeOptionOnANativeAtaPortSendsNothing) {
  Attach(Link::NativeAta);
  EXPECT_FALSE(SetBridgeOption(kPort, 1));
  EXPECT_TRUE(storage->opens().empty());
}

}  // namespace
}  // namespace devlib::test
