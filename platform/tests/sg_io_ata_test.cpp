#include <gtest/gtest.h>

#include <numeric>

#include "sg_io_fake_kernel.h"

namespace platform::storage::sgio {
namespace {

using testing::KernelReply;
using testing::SgIoDeviceTest;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint8_t kGood = 0x00;
constexpr std::uint8_t kCheckCondition = 0x02;
constexpr std::uint16_t kDriverSense = 0x08;

AtaCommand command(AtaRegisters current, Direction direction = Direction::None, bool useDma = false,
                   std::span<std::uint8_t> data = {}) {
  AtaCommand built;
  built.current = current;
  built.direction = direction;
  built.useDma = useDma;
  built.data = data;
  return built;
}

struct CdbCase {
  const char* name;
  AtaRegisters current;
  AtaRegisters previous;
  bool extended;
  Direction direction;
  bool useDma;
  std::size_t dataBytes;
  Bytes expectedCdb;
  int expectedDirection;
};

void PrintTo(const CdbCase& c, std::ostream* os) { *os << c.name; }

class SgIoAtaCdb : public SgIoDeviceTest, public ::testing::WithParamInterface<CdbCase> {};

TEST_P(SgIoAtaCdb, IsAtaPassThrough16WithCheckCondition) {
  const CdbCase& c = GetParam();
  Bytes data(c.dataBytes);
  AtaCommand sent = command(c.current, c.direction, c.useDma, data);
  sent.previous = c.previous;
  sent.extended = c.extended;
  sent.timeoutSeconds = 10;
  device->ata(sent);

  ASSERT_EQ(kernel.calls, 1);
  EXPECT_EQ(kernel.cdb, c.expectedCdb);
  EXPECT_EQ(kernel.header.dxfer_direction, c.expectedDirection);
  EXPECT_EQ(kernel.header.dxfer_len, c.expectedDirection == SG_DXFER_NONE ? 0 : c.dataBytes);
  EXPECT_EQ(kernel.header.timeout, 10'000u);
}

constexpr bool kPio = false;
constexpr bool kDma = true;
constexpr bool k28Bit = false;
constexpr bool k48Bit = true;

INSTANTIATE_TEST_SUITE_P(
    Commands, SgIoAtaCdb,
    ::testing::Values(
        CdbCase{"NonData", {.features = 0x02, .command = 0xef}, {}, k28Bit, Direction::None, kPio, 0,
                {0x85, 0x06, 0x20, 0, 0x02, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xef, 0}, SG_DXFER_NONE},
        CdbCase{"PioIn", {.count = 1, .command = 0xec}, {}, k28Bit, Direction::In, kPio, 512,
                {0x85, 0x08, 0x2e, 0, 0, 0, 0x01, 0, 0, 0, 0, 0, 0, 0, 0xec, 0}, SG_DXFER_FROM_DEV},
        CdbCase{"PioOut",
                {.count = 1, .lbaLow = 0x10, .lbaMid = 0x20, .lbaHigh = 0x30, .device = 0xe0, .command = 0x30},
                {}, k28Bit, Direction::Out, kPio, 512,
                {0x85, 0x0a, 0x26, 0, 0, 0, 0x01, 0, 0x10, 0, 0x20, 0, 0x30, 0xe0, 0x30, 0}, SG_DXFER_TO_DEV},
        CdbCase{"DmaIn", {.count = 8, .lbaLow = 0x01, .device = 0xe0, .command = 0xc8}, {}, k28Bit, Direction::In,
                kDma, 4096, {0x85, 0x0c, 0x2e, 0, 0, 0, 0x08, 0, 0x01, 0, 0, 0, 0, 0xe0, 0xc8, 0},
                SG_DXFER_FROM_DEV},
        CdbCase{"DmaOut", {.count = 1, .device = 0xe0, .command = 0xca}, {}, k28Bit, Direction::Out, kDma, 512,
                {0x85, 0x0c, 0x26, 0, 0, 0, 0x01, 0, 0, 0, 0, 0, 0, 0xe0, 0xca, 0}, SG_DXFER_TO_DEV},
        CdbCase{"Dma48WithHighOrderBytes",
                {.features = 0xf0, .count = 0x02, .lbaLow = 0x11, .lbaMid = 0x22, .lbaHigh = 0x33, .device = 0x40,
                 .command = 0x25},
                {.features = 0x0f, .count = 0x01, .lbaLow = 0x44, .lbaMid = 0x55, .lbaHigh = 0x66}, k48Bit,
                Direction::In, kDma, 1024,
                {0x85, 0x0d, 0x2e, 0x0f, 0xf0, 0x01, 0x02, 0x44, 0x11, 0x55, 0x22, 0x66, 0x33, 0x40, 0x25, 0},
                SG_DXFER_FROM_DEV},
        CdbCase{"NonData48", {.device = 0x40, .command = 0x27}, {}, k48Bit, Direction::None, kPio, 0,
                {0x85, 0x07, 0x20, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x40, 0x27, 0}, SG_DXFER_NONE},
        CdbCase{"HighOrderBytesOnlyWhenExtended", {.count = 1, .command = 0xf8},
                {.features = 9, .count = 9, .lbaLow = 9, .lbaMid = 9, .lbaHigh = 9}, k28Bit, Direction::None, kPio,
                0, {0x85, 0x06, 0x20, 0, 0, 0, 0x01, 0, 0, 0, 0, 0, 0, 0, 0xf8, 0}, SG_DXFER_NONE},
        CdbCase{"DirectionWithoutDataIsNonData", {.command = 0xc8}, {}, k28Bit, Direction::In, kDma, 0,
                {0x85, 0x06, 0x20, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xc8, 0}, SG_DXFER_NONE}),
    [](const auto& test) { return std::string(test.param.name); });

struct SenseCase {
  const char* name;
  std::uint8_t scsiStatus;
  Bytes sense;
  bool extended;
  bool transportOk;
  int osError;
  AtaRegisters current;
  AtaRegisters previous;
};

void PrintTo(const SenseCase& c, std::ostream* os) { *os << c.name; }

// Registers in their order: error, count, LBA low, mid, high, device, status.
constexpr AtaRegisters kReturned{0x00, 0x01, 0x02, 0x03, 0x04, 0x40, 0x50};
constexpr AtaRegisters kAborted{.features = 0x04, .command = 0x51};

const Bytes kDescriptorSense = {0x72, 0x01, 0x00, 0x1d, 0, 0, 0, 0x0e,  //
                                0x09, 0x0c, 0x00, 0x00, 0x00, 0x01, 0x00, 0x02, 0x00, 0x03, 0x00, 0x04, 0x40, 0x50};

Bytes withFirstByte(Bytes sense, std::uint8_t first) {
  sense[0] = first;
  return sense;
}

class SgIoAtaReturn : public SgIoDeviceTest, public ::testing::WithParamInterface<SenseCase> {};

TEST_P(SgIoAtaReturn, DecodesTheRegistersFromTheSense) {
  const SenseCase& c = GetParam();
  kernel.reply = {.status = c.scsiStatus,
                  .maskedStatus = static_cast<std::uint8_t>(c.scsiStatus >> 1),
                  .driverStatus = c.sense.empty() ? std::uint16_t{0} : kDriverSense,
                  .sense = c.sense};
  AtaCommand sent = command({.command = 0xf8});
  sent.extended = c.extended;
  const AtaOutcome outcome = device->ata(sent);

  EXPECT_EQ(outcome.transportOk, c.transportOk);
  EXPECT_EQ(outcome.osError, c.osError);
  EXPECT_FALSE(outcome.timedOut);
  EXPECT_EQ(outcome.current, c.current);
  EXPECT_EQ(outcome.previous, c.previous);
}

INSTANTIATE_TEST_SUITE_P(
    Senses, SgIoAtaReturn,
    ::testing::Values(
        SenseCase{"Descriptor", kCheckCondition, kDescriptorSense, false, true, 0, kReturned, {}},
        SenseCase{"DeferredDescriptor", kCheckCondition, withFirstByte(kDescriptorSense, 0x73), false, true, 0,
                  kReturned, {}},
        SenseCase{"GoodWithDescriptor", kGood, kDescriptorSense, false, true, 0, kReturned, {}},
        SenseCase{"DescriptorDeviceError",
                  kCheckCondition,
                  {0x72, 0x0b, 0x00, 0x00, 0, 0, 0, 0x0e,  //
                   0x09, 0x0c, 0x00, 0x04, 0, 0, 0, 0, 0, 0, 0, 0, 0x40, 0x51},
                  false, true, 0, {.features = 0x04, .device = 0x40, .command = 0x51}, {}},
        SenseCase{"DescriptorHighOrderBytes",
                  kCheckCondition,
                  {0x72, 0x01, 0x00, 0x1d, 0, 0, 0, 0x0e,  //
                   0x09, 0x0c, 0x01, 0x00, 0xaa, 0x11, 0xbb, 0x22, 0xcc, 0x33, 0xdd, 0x44, 0xe0, 0x50},
                  true, true, 0, {0x00, 0x11, 0x22, 0x33, 0x44, 0xe0, 0x50},
                  {.count = 0xaa, .lbaLow = 0xbb, .lbaMid = 0xcc, .lbaHigh = 0xdd}},
        SenseCase{"DescriptorAfterAnother",
                  kCheckCondition,
                  {0x72, 0x01, 0x00, 0x1d, 0, 0, 0, 0x16,  //
                   0x02, 0x06, 0, 0, 0, 0, 0, 0,           //
                   0x09, 0x0c, 0x00, 0x00, 0x00, 0x01, 0x00, 0x02, 0x00, 0x03, 0x00, 0x04, 0x40, 0x50},
                  false, true, 0, kReturned, {}},
        SenseCase{"DescriptorLengthCountingItsHeader",
                  kCheckCondition,
                  {0x72, 0x01, 0x00, 0x1d, 0, 0, 0, 0x0e,  //
                   0x09, 0x0e, 0x00, 0x00, 0x00, 0x01, 0x00, 0x02, 0x00, 0x03, 0x00, 0x04, 0x40, 0x50},
                  false, true, 0, kReturned, {}},
        SenseCase{"DescriptorCutShort", kCheckCondition, Bytes(kDescriptorSense.begin(), kDescriptorSense.begin() + 16),
                  false, true, 0, kAborted, {}},
        // ABORTED COMMAND with a clean status (a bus error, say) is still a failure.
        SenseCase{"DescriptorFailedWithCleanStatus",
                  kCheckCondition,
                  {0x72, 0x0b, 0x00, 0x00, 0, 0, 0, 0x0e,  //
                   0x09, 0x0c, 0x00, 0x00, 0, 0, 0, 0, 0, 0, 0, 0, 0x40, 0x50},
                  false, true, 0, {.features = 0x04, .device = 0x40, .command = 0x51}, {}},
        SenseCase{"Fixed",
                  kCheckCondition,
                  {0x70, 0, 0x01, 0x00, 0x50, 0x40, 0x01, 0x0a, 0x00, 0x02, 0x03, 0x04, 0x00, 0x1d, 0, 0, 0, 0},
                  false, true, 0, kReturned, {}},
        SenseCase{"FixedDeviceErrorMarkedValid",
                  kCheckCondition,
                  {0xf0, 0, 0x0b, 0x10, 0x51, 0x40, 0x00, 0x0a, 0x00, 0, 0, 0, 0x00, 0x00, 0, 0, 0, 0},
                  false, true, 0, {.features = 0x10, .device = 0x40, .command = 0x51}, {}},
        SenseCase{"FixedExtendedWithZeroHighOrder",
                  kCheckCondition,
                  {0xf0, 0, 0x01, 0x00, 0x50, 0x40, 0x01, 0x0a, 0x80, 0x02, 0x03, 0x04, 0x00, 0x1d, 0, 0, 0, 0},
                  true, true, 0, kReturned, {}},
        // The fixed format only flags non-zero high-order bytes; it cannot carry them.
        SenseCase{"FixedHighOrderBytesLost",
                  kCheckCondition,
                  {0xf0, 0, 0x01, 0x00, 0x50, 0x40, 0x01, 0x0a, 0xe0, 0x02, 0x03, 0x04, 0x00, 0x1d, 0, 0, 0, 0},
                  true, false, EOVERFLOW, kReturned, {}},
        SenseCase{"PassThroughRefused",
                  kCheckCondition,
                  {0x70, 0, 0x05, 0, 0, 0, 0, 0x0a, 0, 0, 0, 0, 0x24, 0x00, 0, 0, 0, 0},
                  false, true, 0, kAborted, {}},
        SenseCase{"CheckConditionWithoutSense", kCheckCondition, {}, false, true, 0, kAborted, {}},
        SenseCase{"GoodWithoutSense", kGood, {}, false, true, 0, {.command = 0x50}, {}}),
    [](const auto& test) { return std::string(test.param.name); });

struct TransportCase {
  const char* name;
  KernelReply reply;
  int osError;
  bool timedOut;
};

void PrintTo(const TransportCase& c, std::ostream* os) { *os << c.name; }

class SgIoAtaTransport : public SgIoDeviceTest, public ::testing::WithParamInterface<TransportCase> {};

TEST_P(SgIoAtaTransport, FailureIsNotADeviceAnswer) {
  const TransportCase& c = GetParam();
  kernel.reply = c.reply;
  const AtaOutcome outcome = device->ata(command({.command = 0xe5}));
  EXPECT_FALSE(outcome.transportOk);
  EXPECT_EQ(outcome.osError, c.osError);
  EXPECT_EQ(outcome.timedOut, c.timedOut);
}

INSTANTIATE_TEST_SUITE_P(
    Failures, SgIoAtaTransport,
    ::testing::Values(TransportCase{"IoctlFails", {.result = -1, .error = EIO}, EIO, false},
                      TransportCase{"HostTimedOut", {.hostStatus = 0x03}, 0, true},
                      // Registers from a command the host failed are not to be trusted.
                      TransportCase{"HostErrorWithRegisters",
                                    {.status = kCheckCondition, .hostStatus = 0x07, .driverStatus = kDriverSense,
                                     .sense = kDescriptorSense},
                                    0, false}),
    [](const auto& test) { return std::string(test.param.name); });

TEST_F(SgIoDeviceTest, AtaStopRequestedBeforeSendingSendsNothing) {
  std::stop_source stop;
  stop.request_stop();
  AtaCommand stopped = command({.command = 0xec});
  stopped.stop = stop.get_token();
  const AtaOutcome outcome = device->ata(stopped);
  EXPECT_FALSE(outcome.transportOk);
  EXPECT_EQ(outcome.osError, ECANCELED);
  EXPECT_EQ(kernel.calls, 0);
}

TEST_F(SgIoDeviceTest, AtaDataInReachesTheCaller) {
  Bytes identify(512);
  kernel.reply.dataIn.resize(512);
  std::iota(kernel.reply.dataIn.begin(), kernel.reply.dataIn.end(), std::uint8_t{1});
  kernel.reply.resid = 0;
  kernel.reply.status = kCheckCondition;
  kernel.reply.sense = kDescriptorSense;
  const AtaOutcome outcome = device->ata(command({.count = 1, .command = 0xec}, Direction::In, kPio, identify));
  EXPECT_TRUE(outcome.transportOk);
  EXPECT_EQ(outcome.transferred, 512u);
  EXPECT_EQ(identify, kernel.reply.dataIn);
}

}  // namespace
}  // namespace platform::storage::sgio
