#include <fcntl.h>
#include <gtest/gtest.h>

#include <climits>
#include <numeric>

#include "sg_io_fake_kernel.h"

namespace platform::storage::sgio {
namespace {

using testing::KernelReply;
using testing::SgIoDeviceTest;

constexpr std::uint8_t kGood = 0x00;
constexpr std::uint8_t kCheckCondition = 0x02;
constexpr std::uint16_t kDidNoConnect = 0x01;
constexpr std::uint16_t kDidTimeOut = 0x03;
constexpr std::uint16_t kDidError = 0x07;
constexpr std::uint16_t kDriverError = 0x04;
constexpr std::uint16_t kDriverTimeout = 0x06;
constexpr std::uint16_t kDriverSense = 0x08;

ScsiCommand command(std::span<const std::uint8_t> cdb, Direction direction = Direction::None,
                    std::span<std::uint8_t> data = {}, std::uint32_t timeoutSeconds = 0) {
  ScsiCommand built;
  built.cdb = cdb;
  built.direction = direction;
  built.data = data;
  built.timeoutSeconds = timeoutSeconds;
  return built;
}

TEST(SgIoOpen, MissingNodeGivesNoDeviceAndTheErrno) {
  const auto opened = makeBackend()->open(::testing::TempDir() + "no-such-node", Sharing::Shared);
  EXPECT_FALSE(opened.device);
  EXPECT_EQ(opened.osError, ENOENT);
}

TEST(SgIoOpen, PathWithAnEmbeddedNulIsRefused) {
  const testing::ScratchNode node;
  std::string path = node.path();
  path += std::string_view("\0tail", 5);
  const auto opened = makeBackend()->open(path, Sharing::Shared);
  EXPECT_FALSE(opened.device) << "a NUL would open the shorter path";
  EXPECT_EQ(opened.osError, EINVAL);
}

TEST(SgIoOpen, ClosingTheDeviceClosesItsDescriptor) {
  testing::FakeKernel kernel;
  const testing::ScratchNode node;
  auto device = makeBackend(kernel.ioctl())->open(node.path(), Sharing::Shared).device;
  ASSERT_TRUE(device);
  const std::uint8_t testUnitReady[6] = {};
  device->scsi(command(testUnitReady));
  ASSERT_GE(kernel.fd, 0);
  device.reset();
  EXPECT_EQ(::fcntl(kernel.fd, F_GETFD), -1);
  EXPECT_EQ(errno, EBADF);
}

struct HeaderCase {
  const char* name;
  std::vector<std::uint8_t> cdb;
  Direction direction;
  std::size_t dataBytes;
  std::uint32_t timeoutSeconds;
  int expectedDirection;
  unsigned expectedLength;
  unsigned expectedTimeoutMs;
};

void PrintTo(const HeaderCase& c, std::ostream* os) { *os << c.name; }

class SgIoScsiHeader : public SgIoDeviceTest, public ::testing::WithParamInterface<HeaderCase> {};

TEST_P(SgIoScsiHeader, CarriesTheCommandAsGiven) {
  const HeaderCase& c = GetParam();
  std::vector<std::uint8_t> data(c.dataBytes);
  device->scsi(command(c.cdb, c.direction, data, c.timeoutSeconds));

  ASSERT_EQ(kernel.calls, 1);
  EXPECT_EQ(kernel.request, static_cast<unsigned long>(SG_IO));
  const sg_io_hdr_t& h = kernel.header;
  EXPECT_EQ(h.interface_id, 'S');
  EXPECT_EQ(h.dxfer_direction, c.expectedDirection);
  EXPECT_EQ(h.cmd_len, c.cdb.size());
  EXPECT_EQ(kernel.cdb, c.cdb);
  EXPECT_EQ(h.dxfer_len, c.expectedLength);
  EXPECT_EQ(h.dxferp, c.expectedLength == 0 ? nullptr : data.data());
  EXPECT_EQ(h.iovec_count, 0);
  EXPECT_EQ(h.mx_sb_len, kSenseBytes);
  EXPECT_NE(h.sbp, nullptr);
  EXPECT_EQ(h.timeout, c.expectedTimeoutMs);
}

INSTANTIATE_TEST_SUITE_P(
    Commands, SgIoScsiHeader,
    ::testing::Values(
        HeaderCase{"Inquiry", {0x12, 0, 0, 0, 36, 0}, Direction::In, 36, 5, SG_DXFER_FROM_DEV, 36, 5'000},
        HeaderCase{"Write10", {0x2a, 0, 0, 0, 0, 8, 0, 0, 1, 0}, Direction::Out, 512, 10, SG_DXFER_TO_DEV, 512,
                   10'000},
        HeaderCase{"Read16", {0x88, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 8, 0, 0}, Direction::In, 4096, 300,
                   SG_DXFER_FROM_DEV, 4096, 300'000},
        HeaderCase{"TestUnitReady", {0, 0, 0, 0, 0, 0}, Direction::None, 0, 10, SG_DXFER_NONE, 0, 10'000},
        HeaderCase{"DataInWithoutBuffer", {0x12, 0, 0, 0, 0, 0}, Direction::In, 0, 10, SG_DXFER_NONE, 0, 10'000},
        HeaderCase{"BufferWithoutDirection", {0, 0, 0, 0, 0, 0}, Direction::None, 16, 10, SG_DXFER_NONE, 0,
                   10'000},
        // The longest time-out must not turn into the kernel's "never time out".
        HeaderCase{"LongestTimeout", {0, 0, 0, 0, 0, 0}, Direction::None, 0, UINT32_MAX, SG_DXFER_NONE, 0,
                   UINT_MAX - 1}),
    [](const auto& test) { return std::string(test.param.name); });

TEST_F(SgIoDeviceTest, DataMovesBetweenCallerAndDevice) {
  const std::uint8_t inquiry[6] = {0x12, 0, 0, 0, 8, 0};
  std::vector<std::uint8_t> in(8);
  kernel.reply.dataIn = {0x00, 0x00, 0x05, 0x02, 0x1f, 0, 0, 0};
  EXPECT_TRUE(device->scsi(command(inquiry, Direction::In, in)).transportOk);
  EXPECT_EQ(in, kernel.reply.dataIn);

  const std::uint8_t write10[10] = {0x2a, 0, 0, 0, 0, 0, 0, 0, 1, 0};
  std::vector<std::uint8_t> out(512);
  std::iota(out.begin(), out.end(), std::uint8_t{0});
  EXPECT_TRUE(device->scsi(command(write10, Direction::Out, out)).transportOk);
  EXPECT_EQ(kernel.dataOut, out);
}

struct OutcomeCase {
  const char* name;
  KernelReply reply;
  bool transportOk;
  bool timedOut;
  std::uint8_t scsiStatus;
  std::uint8_t hostStatus;
  std::uint8_t driverStatus;
  std::size_t transferred;
};

void PrintTo(const OutcomeCase& c, std::ostream* os) { *os << c.name; }

const std::vector<std::uint8_t> kIllegalRequestSense = {0x70, 0, 0x05, 0, 0, 0, 0, 0x0a, 0, 0,
                                                        0,    0, 0x24, 0, 0, 0, 0, 0};

class SgIoScsiOutcome : public SgIoDeviceTest, public ::testing::WithParamInterface<OutcomeCase> {};

TEST_P(SgIoScsiOutcome, ReportsWhatTheKernelAnswered) {
  const OutcomeCase& c = GetParam();
  kernel.reply = c.reply;
  const std::uint8_t read10[10] = {0x28, 0, 0, 0, 0, 0, 0, 0, 1, 0};
  std::vector<std::uint8_t> data(512);
  const ScsiOutcome outcome = device->scsi(command(read10, Direction::In, data));

  EXPECT_EQ(outcome.transportOk, c.transportOk);
  EXPECT_EQ(outcome.timedOut, c.timedOut);
  EXPECT_EQ(outcome.osError, 0);
  EXPECT_EQ(outcome.scsiStatus, c.scsiStatus);
  EXPECT_EQ(outcome.hostStatus, c.hostStatus);
  EXPECT_EQ(outcome.driverStatus, c.driverStatus);
  EXPECT_EQ(outcome.transferred, c.transferred);
  ASSERT_EQ(outcome.senseLength, c.reply.sense.size());
  EXPECT_TRUE(std::equal(c.reply.sense.begin(), c.reply.sense.end(), outcome.sense.begin()));
}

INSTANTIATE_TEST_SUITE_P(
    Replies, SgIoScsiOutcome,
    ::testing::Values(
        OutcomeCase{"Good", {}, true, false, kGood, 0, 0, 512},
        OutcomeCase{"CheckConditionWithSense",
                    {.status = kCheckCondition, .maskedStatus = 0x01, .driverStatus = kDriverSense,
                     .sense = kIllegalRequestSense},
                    true, false, kCheckCondition, 0, kDriverSense, 512},
        // `masked_status` is the status shifted right: 0x0c is RESERVATION CONFLICT (0x18).
        OutcomeCase{"OnlyMaskedStatusFilledIn", {.maskedStatus = 0x0c}, true, false, 0x18, 0, 0, 512},
        OutcomeCase{"HostError", {.hostStatus = kDidError}, false, false, kGood, kDidError, 0, 512},
        OutcomeCase{"DeviceGone", {.hostStatus = kDidNoConnect, .resid = 512}, false, false, kGood, kDidNoConnect,
                    0, 0},
        OutcomeCase{"HostCodeAboveAByte", {.hostStatus = 0x0100}, false, false, kGood, 0xff, 0, 512},
        OutcomeCase{"HostTimedOut", {.hostStatus = kDidTimeOut, .resid = 512}, false, true, kGood, kDidTimeOut, 0,
                    0},
        OutcomeCase{"DriverTimedOut", {.driverStatus = kDriverTimeout}, false, true, kGood, 0, kDriverTimeout,
                    512},
        OutcomeCase{"DriverErrorWithSense",
                    {.status = kCheckCondition, .driverStatus = kDriverError | kDriverSense,
                     .sense = kIllegalRequestSense},
                    false, false, kCheckCondition, 0, kDriverError | kDriverSense, 512},
        OutcomeCase{"ShortTransfer", {.resid = 112}, true, false, kGood, 0, 0, 400},
        OutcomeCase{"ResidueBeyondTheLength", {.resid = 600}, true, false, kGood, 0, 0, 0},
        OutcomeCase{"NegativeResidue", {.resid = -4}, true, false, kGood, 0, 0, 512}),
    [](const auto& test) { return std::string(test.param.name); });

struct IoctlFailureCase {
  const char* name;
  int error;
  int expectedOsError;
  bool timedOut;
};

void PrintTo(const IoctlFailureCase& c, std::ostream* os) { *os << c.name; }

class SgIoScsiIoctlFailure : public SgIoDeviceTest, public ::testing::WithParamInterface<IoctlFailureCase> {};

TEST_P(SgIoScsiIoctlFailure, GivesTheErrno) {
  const IoctlFailureCase& c = GetParam();
  kernel.reply = {.result = -1, .error = c.error, .sense = kIllegalRequestSense};
  const std::uint8_t testUnitReady[6] = {};
  const ScsiOutcome outcome = device->scsi(command(testUnitReady));
  EXPECT_FALSE(outcome.transportOk);
  EXPECT_EQ(outcome.osError, c.expectedOsError);
  EXPECT_EQ(outcome.timedOut, c.timedOut);
  EXPECT_EQ(outcome.senseLength, 0u);
  EXPECT_EQ(outcome.transferred, 0u);
}

INSTANTIATE_TEST_SUITE_P(Errors, SgIoScsiIoctlFailure,
                         ::testing::Values(IoctlFailureCase{"InputOutput", EIO, EIO, false},
                                           IoctlFailureCase{"NoDevice", ENODEV, ENODEV, false},
                                           IoctlFailureCase{"TimedOut", ETIMEDOUT, ETIMEDOUT, true},
                                           IoctlFailureCase{"FailureWithoutErrno", 0, EIO, false}),
                         [](const auto& test) { return std::string(test.param.name); });

TEST_F(SgIoDeviceTest, UnfitCommandBlocksAreRefusedUnsent) {
  const std::vector<std::uint8_t> seventeen(17);
  EXPECT_EQ(device->scsi(command(seventeen)).osError, EINVAL);
  EXPECT_EQ(device->scsi(command({})).osError, EINVAL);
  EXPECT_FALSE(device->scsi(command(seventeen)).transportOk);
  EXPECT_EQ(kernel.calls, 0);
}

TEST_F(SgIoDeviceTest, StopRequestedBeforeSendingSendsNothing) {
  std::stop_source stop;
  stop.request_stop();
  const std::uint8_t testUnitReady[6] = {};
  ScsiCommand stopped = command(testUnitReady);
  stopped.stop = stop.get_token();
  const ScsiOutcome outcome = device->scsi(stopped);
  EXPECT_FALSE(outcome.transportOk);
  EXPECT_EQ(outcome.osError, ECANCELED);
  EXPECT_EQ(kernel.calls, 0);
}

}  // namespace
}  // namespace platform::storage::sgio
