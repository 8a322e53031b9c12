// The controller access operations against the emulated drive: what its
// controller receives and how its state moves, with every wait on the fast
// clock.

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <functional>
#include <optional>
#include <ostream>
#include <iterator>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "devlib/controller_access.h"
#include "devlib/flash_params.h"
#include "devlib/standard_commands.h"
#include "emulated_port.h"
#include "testsupport/stop_once_stuck.h"

namespace devlib::testing {
namespace {

using drivesim::Layer;
using drivesim::RunState;
using drivesim::WireEntry;
using Bytes = std::vector<std::uint8_t>;

// Table rows print as their name when GoogleTest reports a parameter.
template <typename Case>
  requires requires(const Case& c) { std::string(c.name); }
void PrintTo(const Case& c, std::ostream* out) {
  *out << c.name;
}

constexpr int kPort = 2;
constexpr std::size_t kRamCodeSectors = 126;  // 0xFC00 bytes

std::uint64_t Now() { return platform::clock::tickMs(); }

std::string PathName(const ::testing::TestParamInfo<PortPath>& info) { return PortPathName(info.param); }

// The sub-ops the controller received, in order.
std::vector<std::uint8_t> SubOps(drivesim::Drive& drive) {
  std::vector<std::uint8_t> codes;
  for (const auto& entry : drive.wire().entries(Layer::Controller)) codes.push_back(entry.command.at(2));
  return codes;
}

std::vector<WireEntry> ControllerEntries(drivesim::Drive& drive, std::uint8_t subOp) {
  std::vector<WireEntry> found;
  for (const auto& entry : drive.wire().entries(Layer::Controller)) {
    if (entry.command.at(2) == subOp) found.push_back(entry);
  }
  return found;
}

// SET FEATURES vendor-mode counts (0x4B on, 0x57 off) the ATA device received.
std::vector<std::uint8_t> VendorModeSwitches(drivesim::Drive& drive) {
  std::vector<std::uint8_t> counts;
  for (const auto& entry : drive.wire().entries(Layer::Ata)) {
    if (entry.command.size() >= 7 && entry.command[6] == 0xEF && entry.command[0] == 0xDC) {
      counts.push_back(entry.command[1]);
    }
  }
  return counts;
}

class ControllerOnDrive : public EmulatedLineTest {
 protected:
  void SetUp() override {
    EmulatedLineTest::SetUp();
    InitPortIoTable(ProgramKind::Fleetburn);
    savedParams_ = *CurrentFlashParams();
    UseFlash(16, "120105");
  }
  void TearDown() override {
    PublishFlashParams(savedParams_);
    EmulatedLineTest::TearDown();
  }

  void UseFlash(std::uint8_t sectorsPerPage, std::string_view dateCode) {
    FlashParams params = savedParams_;
    params.geometry.sectorsPerPage = sectorsPerPage;
    params.firmwareDateCode.assign(dateCode);
    PublishFlashParams(params);
  }

  // Attaches a drive and, behind a bridge, switches its vendor mode on as the
  // test items do before their first vendor command; the wire log starts after.
  drivesim::Drive& AttachDrive(PortPath path, const std::function<void(drivesim::DriveConfig&)>& configure = {}) {
    drivesim::DriveConfig config = DriveFor(path, kPort);
    if (configure) configure(config);
    drivesim::Drive& drive = line_->addDrive(config);
    WirePort(kPort, config.path, path);
    EXPECT_TRUE(SetVendorMode(kPort, true));
    drive.wire().clear();
    return drive;
  }

  // Loads a RAM code image and starts it, as the test items do.
  void StartRamCode(drivesim::Drive& drive, const char magic[4], RunState expected) {
    ASSERT_TRUE(SwitchRunMode(kPort, kLoaderRunMode, 0));
    Bytes image = RamCodeImage(magic);
    ASSERT_TRUE(WriteRamCode(kPort, image, kRamCodeSectors, 0));
    ASSERT_TRUE(RunRamCode(kPort));
    ASSERT_EQ(drive.runState(), expected);
    drive.wire().clear();
  }

  FlashParams savedParams_;
};

class OnEachUsbPath : public ControllerOnDrive, public ::testing::WithParamInterface<PortPath> {
 protected:
  bool Tunnelled() const { return GetParam() != PortPath::OwnUsb; }
};

// --- mode switches and RAM code -------------------------------------------------------

TEST_P(OnEachUsbPath, SwitchRunModeEntersTheLoaderAndGoesBackToFirmware) {
  drivesim::Drive& drive = AttachDrive(GetParam());
  ASSERT_TRUE(SwitchRunMode(kPort, kLoaderRunMode, 0));
  EXPECT_EQ(drive.runState(), RunState::Loader);
  EXPECT_EQ(drive.vendorMode(), Tunnelled()) << "vendor mode is switched on again after the switch";
  EXPECT_EQ(Now(), 500u);
  const auto session = ControllerEntries(drive, 0x81);
  ASSERT_EQ(session.size(), 1u);
  EXPECT_EQ(session[0].command[3], Tunnelled() ? 1 : 0) << "the tunnel sends session start with 1";
  EXPECT_EQ(SubOps(drive), (std::vector<std::uint8_t>{0x81, 0x83}));
  EXPECT_EQ(VendorModeSwitches(drive), Tunnelled() ? std::vector<std::uint8_t>{0x4B} : std::vector<std::uint8_t>{});

  ASSERT_TRUE(SwitchRunMode(kPort, 2, 1));
  EXPECT_EQ(drive.runState(), RunState::Firmware);
  EXPECT_EQ(Now(), 1000u);
}

TEST_P(OnEachUsbPath, RamCodeIsWrittenReadBackAndStarted) {
  drivesim::Drive& drive = AttachDrive(GetParam());
  ASSERT_TRUE(SwitchRunMode(kPort, kLoaderRunMode, 0));
  Bytes image = RamCodeImage("GDP_");
  for (std::size_t i = 0; i < 0x300; ++i) image[i] = static_cast<std::uint8_t>(i * 7);
  ASSERT_TRUE(WriteRamCode(kPort, image, kRamCodeSectors, 0));
  EXPECT_EQ(drive.memory(kRamCodeWindow, image.size()), image);
  const auto written = ControllerEntries(drive, 0x87);
  ASSERT_EQ(written.size(), 1u);
  EXPECT_EQ(Bytes(written[0].command.begin() + 3, written[0].command.begin() + 8),
            (Bytes{0x03, 0x40, 0x00, 0x00, 0x00}));

  Bytes back(image.size());
  ASSERT_TRUE(ReadRamCode(kPort, back, kRamCodeSectors, 0));
  EXPECT_EQ(back, image);

  const std::uint64_t before = Now();
  ASSERT_TRUE(RunRamCode(kPort));
  EXPECT_EQ(drive.runState(), RunState::GdpRamCode);
  EXPECT_EQ(drive.vendorMode(), Tunnelled()) << "the start leaves vendor mode; the operation turns it on again";
  EXPECT_EQ(Now() - before, 500u);
}

// Vendor mode is a SATA-side switch: behind a bridge.
TEST_F(ControllerOnDrive, ControllerRestartingAfterTheSwitchIsGivenItsHalfSecond) {
  struct Case {
    std::uint32_t unresponsiveMs;
    bool vendorModeOn;
  };
  for (const Case c : {Case{450, true}, Case{600, false}}) {
    SCOPED_TRACE(c.unresponsiveMs);
    drivesim::Drive& drive =
        AttachDrive(PortPath::Bridge, [&](auto& config) { config.unresponsiveMs = c.unresponsiveMs; });
    EXPECT_TRUE(SwitchRunMode(kPort, kLoaderRunMode, 0)) << "a failed vendor-mode switch does not fail the switch";
    EXPECT_EQ(drive.runState(), RunState::Loader);
    EXPECT_EQ(drive.vendorMode(), c.vendorModeOn);
  }
}

INSTANTIATE_TEST_SUITE_P(Paths, OnEachUsbPath, ::testing::Values(PortPath::OwnUsb, PortPath::Bridge), PathName);

// --- operations and their status ------------------------------------------------------

struct OperationCase {
  const char* name;
  int operation;
  drivesim::Job job;
  int busyPolls;
  std::optional<std::uint8_t> injected;
  std::uint8_t status;
};

const OperationCase kOperations[] = {
    {"operation 1 done at the first poll", 1, drivesim::Job::Operation1, 0, std::nullopt, 14},
    {"operation 1 after three busy polls", 1, drivesim::Job::Operation1, 3, std::nullopt, 14},
    {"preformat after one busy poll", 3, drivesim::Job::Operation3, 1, std::nullopt, 10},
    {"operation 4 after five busy polls", 4, drivesim::Job::Operation4, 5, std::nullopt, 18},
    {"operation 1 failing with 20", 1, drivesim::Job::Operation1, 2, 20, 20},
};

class Operation : public ControllerOnDrive, public ::testing::WithParamInterface<OperationCase> {};

TEST_P(Operation, PollsOncePerSecondUntilTheFinalStatus) {
  const OperationCase& c = GetParam();
  drivesim::Drive& drive = AttachDrive(PortPath::Bridge, [&](auto& config) {
    config.jobs[c.job] = {.busyPolls = c.busyPolls, .finalStatus = c.injected};
  });
  StartRamCode(drive, "GDP_", RunState::GdpRamCode);
  const std::uint64_t before = Now();

  std::uint8_t status = 0;
  ASSERT_TRUE(RunOperationAndWait(kPort, c.operation, 0x06, status, true));
  EXPECT_EQ(status, c.status);
  EXPECT_EQ(Now() - before, 30u + 1000u * static_cast<unsigned>(c.busyPolls));

  std::vector<std::uint8_t> expected{static_cast<std::uint8_t>(c.operation)};
  expected.insert(expected.end(), static_cast<std::size_t>(c.busyPolls) + 1, 0x00);
  EXPECT_EQ(SubOps(drive), expected);
  EXPECT_EQ(ControllerEntries(drive, static_cast<std::uint8_t>(c.operation)).at(0).command[3], 0x06);
}

INSTANTIATE_TEST_SUITE_P(Jobs, Operation, ::testing::ValuesIn(kOperations), [](const auto& testCase) {
  std::string name = testCase.param.name;
  for (char& ch : name) {
    if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
  }
  return name;
});

TEST_F(ControllerOnDrive, BusyOperationWithoutTheWaitFlagGivesFalseAfterOnePoll) {
  drivesim::Drive& drive = AttachDrive(PortPath::OwnUsb, [](auto& config) {
    config.jobs[drivesim::Job::Operation1] = {.busyPolls = 1};
  });
  StartRamCode(drive, "GDP_", RunState::GdpRamCode);
  std::uint8_t status = 0;
  EXPECT_FALSE(RunOperationAndWait(kPort, 1, 0, status, false));
  EXPECT_EQ(status, kStatusBusy);
  EXPECT_EQ(SubOps(drive), (std::vector<std::uint8_t>{0x01, 0x00}));
}

// Runs `operation` on a worker thread until it reaches the command `stuckAt`
// names, requests the port's stop and expects the worker to give up with false.
void ExpectStopEnds(drivesim::Drive& drive, testsupport::StopOnceStuck::StuckPoint stuckAt,
                    const std::function<bool()>& operation) {
  testsupport::StopOnceStuck stuck(std::move(stuckAt), [&drive] { drive.unplug(); });
  const PortWork work = BeginPortWork(kPort, stuck.stopToken());
  EXPECT_EQ(stuck.run(operation), false);
}

TEST_F(ControllerOnDrive, StopRequestEndsAnOperationThatStaysBusy) {
  drivesim::Drive& drive = AttachDrive(PortPath::Bridge, [](auto& config) {
    config.jobs[drivesim::Job::Operation3] = {.stuckBusy = true};
  });
  StartRamCode(drive, "GDP_", RunState::GdpRamCode);
  const auto pollingOn = [&](auto) { return ControllerEntries(drive, 0x00).size() >= 50; };
  ExpectStopEnds(drive, pollingOn, [] {
    std::uint8_t status = 0;
    return RunOperationAndWait(kPort, 3, 0, status, true);
  });
}

TEST_F(ControllerOnDrive, StopRequestEndsAStatusPollThatHangs) {
  drivesim::Drive& drive = AttachDrive(PortPath::OwnUsb);
  StartRamCode(drive, "GDP_", RunState::GdpRamCode);
  drivesim::FaultRule hang;
  hang.kind = drivesim::FaultKind::Hang;
  hang.match.subOp = 0x00;
  drive.injectFault(hang);
  // The vendor block (FFh) of sub-op 00h.
  const auto statusPoll = [](std::span<const std::uint8_t> cdb) {
    return cdb.size() > 2 && cdb[0] == 0xFF && cdb[2] == 0x00;
  };
  ExpectStopEnds(drive, statusPoll, [] {
    std::uint8_t status = 0;
    return RunOperationAndWait(kPort, 1, 0, status, true);
  });
}

TEST_F(ControllerOnDrive, DramWaitSwitchesVendorModeOffAndOnBetweenPolls) {
  drivesim::Drive& drive = AttachDrive(PortPath::Bridge, [](auto& config) {
    config.jobs[drivesim::Job::DramCheck] = {.busyPolls = 2};
  });
  StartRamCode(drive, "TST_", RunState::TstRamCode);
  Bytes pattern(512);
  ASSERT_TRUE(RunDramCheck(kPort, pattern, 0x20000, 0x4000000));
  drive.wire().clear();
  const std::uint64_t before = Now();

  std::uint8_t status = 0;
  ASSERT_TRUE(WaitDramStatus(kPort, status, true));
  EXPECT_EQ(status, kStatusDramCheckDone);
  EXPECT_EQ(Now() - before, 600u);
  EXPECT_EQ(VendorModeSwitches(drive), (std::vector<std::uint8_t>{0x57, 0x4B, 0x57, 0x4B}));
  EXPECT_EQ(SubOps(drive), (std::vector<std::uint8_t>{0x00, 0x00, 0x00}));
  // Each off/on pair stands between two polls.
  const auto all = drive.wire().entries();
  std::vector<std::string> order;
  for (const auto& entry : all) {
    if (entry.layer == Layer::Controller) order.push_back("poll");
    if (entry.layer == Layer::Ata && entry.command.size() >= 7 && entry.command[6] == 0xEF) {
      order.push_back(entry.command[1] == 0x57 ? "off" : "on");
    }
  }
  EXPECT_EQ(order, (std::vector<std::string>{"poll", "off", "on", "poll", "off", "on", "poll"}));
}

// --- bus interface test ---------------------------------------------------------------

TEST_F(ControllerOnDrive, BusTestRoundPassesOnACleanBusAndFailsOnAFlippedBit) {
  struct Case {
    const char* name;
    std::optional<drivesim::TestMemoryFlip> flip;
    bool result;
    std::size_t writes;
  };
  const Case cases[] = {
      {"clean", std::nullopt, true, 10},
      {"bit flipped in pass 7", drivesim::TestMemoryFlip{.write = 8, .offset = 2001, .mask = 0x04}, false, 8},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    drivesim::Drive& drive = AttachDrive(PortPath::OwnUsb, [&](auto& config) { config.testMemoryFlip = c.flip; });
    StartRamCode(drive, "TST_", RunState::TstRamCode);
    Bytes buffer(kBusTestBytes);
    EXPECT_EQ(BusTestRound(kPort, buffer, 1), c.result);
    const auto writes = ControllerEntries(drive, 0x04);
    const auto reads = ControllerEntries(drive, 0x03);
    ASSERT_EQ(writes.size(), c.writes);
    ASSERT_EQ(reads.size(), c.writes);
    const Bytes addressBytes{0x01, 0xB0, 0x02, 0x10, 0x00};
    for (const auto& entry : writes) {
      EXPECT_EQ(Bytes(entry.command.begin() + 3, entry.command.begin() + 8), addressBytes);
      EXPECT_EQ(entry.length, kBusTestBytes);
    }
    for (const auto& entry : reads) {
      EXPECT_EQ(Bytes(entry.command.begin() + 3, entry.command.begin() + 8), addressBytes);
    }
  }
}

// --- capacity -------------------------------------------------------------------------

struct CapacityCase {
  const char* name;
  PortPath path;
  std::uint64_t sectors;
  std::optional<std::uint32_t> lba28;
  std::optional<std::uint64_t> lba48;
  std::uint64_t maxLba;
  std::uint64_t sectorCount;
};

const CapacityCase kCapacities[] = {
    {"own USB: last LBA, count one more", PortPath::OwnUsb, 8192, {}, {}, 8191, 8192},
    {"bridge: the IDENTIFY count", PortPath::Bridge, 234441648, {}, {}, 234441648, 234441648},
    {"bridge: 8 TiB kept whole", PortPath::Bridge, 0x4'0000'0000ULL, {}, {}, 0x4'0000'0000ULL, 0x4'0000'0000ULL},
    {"bridge: 28-bit field full, no 48-bit count", PortPath::Bridge, 8192, 0x0FFF'FFFF, 0, 0, 0},
    {"bridge: 48-bit words all ones", PortPath::Bridge, 8192, 0x0FFF'FFFF, 0xFFFF'FFFF, 0, 0},
};

class Capacity : public ControllerOnDrive, public ::testing::WithParamInterface<CapacityCase> {};

TEST_P(Capacity, MaxLbaAndSectorCount) {
  const CapacityCase& c = GetParam();
  AttachDrive(c.path, [&](auto& config) {
    config.sectorCount = c.sectors;
    config.identifyLba28Sectors = c.lba28;
    config.identifyLba48Sectors = c.lba48;
  });
  EXPECT_EQ(ReadMaxLba(kPort), c.maxLba);
  EXPECT_EQ(ReadSectorCount(kPort), c.sectorCount);
}

INSTANTIATE_TEST_SUITE_P(Drives, Capacity, ::testing::ValuesIn(kCapacities), [](const auto& testCase) {
  std::string name = testCase.param.name;
  for (char& ch : name) {
    if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
  }
  return name;
});

TEST_F(EmulatedLineTest, SectorCountOnANativeSataPort) {
  InitPortIoTable(ProgramKind::Blockprobe);
  drivesim::DriveConfig config = DriveFor(PortPath::NativeSata, kPort);
  config.sectorCount = 0x1'2345'6789ULL;
  line_->addDrive(config);
  WirePort(kPort, config.path, PortPath::NativeSata);
  EXPECT_EQ(ReadMaxLba(kPort), 0x1'2345'6789ULL);
  EXPECT_EQ(ReadSectorCount(kPort), 0x1'2345'6789ULL);
}

// --- LBA patterns ---------------------------------------------------------------------

std::uint32_t U32At(const Bytes& bytes, std::size_t offset) {
  return static_cast<std::uint32_t>(bytes[offset] | bytes[offset + 1] << 8 | bytes[offset + 2] << 16 |
                                    bytes[offset + 3] << 24);
}

TEST_P(OnEachUsbPath, WriteVerifyLbaPatternPassesAndLeavesThePatternOnTheMedium) {
  drivesim::Drive& drive = AttachDrive(GetParam());
  constexpr std::uint32_t kLba = 5000;
  Bytes buffer(4 * 512);
  ASSERT_TRUE(WriteVerifyLbaPattern(kPort, buffer, 4, kLba));
  Bytes pattern(4 * 512);
  FillLbaPattern(pattern, 4, kLba);
  EXPECT_EQ(drive.userSectors(kLba, 4), pattern);
  EXPECT_EQ(Now(), 10u);
}

TEST_P(OnEachUsbPath, WriteVerifyLbaPatternRecordsACorruptedWord) {
  constexpr std::uint32_t kLba = 1000;
  drivesim::Drive& drive = AttachDrive(GetParam(), [](auto& config) {
    config.corruptedSectors = {{.lba = kLba + 1, .word = 17, .mask = 0x0100}};
  });
  Bytes buffer(4 * 512);
  EXPECT_FALSE(WriteVerifyLbaPattern(kPort, buffer, 4, kLba));
  const std::uint32_t index = 256 + 17;
  const auto expected = static_cast<std::uint16_t>(kLba * 256 + index);
  EXPECT_EQ(U32At(buffer, 0), kLbaMismatchKind);
  EXPECT_EQ(U32At(buffer, 4), kLba);
  EXPECT_EQ(U32At(buffer, 8), expected);
  EXPECT_EQ(U32At(buffer, 12), static_cast<std::uint16_t>(expected ^ 0x0100));
  EXPECT_EQ(U32At(buffer, 16), index);
  Bytes pattern(4 * 512);
  FillLbaPattern(pattern, 4, kLba);
  EXPECT_EQ(drive.userSectors(kLba, 4), pattern) << "the medium holds what was written";
}

TEST_P(OnEachUsbPath, WriteVerifyLbaPatternReportsAFailedRead) {
  constexpr std::uint32_t kLba = 300;
  AttachDrive(GetParam(), [](auto& config) { config.lbaReadErrors = {kLba + 2}; });
  Bytes buffer(4 * 512);
  EXPECT_FALSE(WriteVerifyLbaPattern(kPort, buffer, 4, kLba));
  EXPECT_EQ(U32At(buffer, 0), kLbaReadFailureKind);
  EXPECT_EQ(U32At(buffer, 4), kLba);
}

// --- flash pages ----------------------------------------------------------------------

Bytes LoaderHeaderPage(std::uint8_t fileCount) {
  Bytes bytes(kLoaderHeaderTableOffset + kLoaderHeaderTableSize, 0);
  const char text[] = "LDBK BLOCKS V30";
  std::copy(std::begin(text), std::end(text), bytes.begin());
  bytes[kLoaderHeaderTableOffset] = fileCount;
  for (std::size_t i = 8; i < kLoaderHeaderTableSize; ++i) {
    bytes[kLoaderHeaderTableOffset + i] = static_cast<std::uint8_t>(0x40 + i);
  }
  return bytes;
}

TEST_F(ControllerOnDrive, LoaderHeaderIsFoundInBlockTwo) {
  drivesim::Drive& drive = AttachDrive(PortPath::Bridge);
  const Bytes header = LoaderHeaderPage(3);
  ASSERT_TRUE(drive.putFlashBytes(0, 0, 2, 0, 0, header));
  Bytes buffer(8 * 16 * 512);
  LoaderHeaderTable table{};
  std::uint8_t fileCount = 0;
  ASSERT_TRUE(ReadLoaderHeaderInfo(kPort, buffer, table, fileCount));
  EXPECT_EQ(fileCount, 3);
  EXPECT_TRUE(std::equal(table.begin(), table.end(), header.begin() + kLoaderHeaderTableOffset));

  // Blocks 0, 1 and 2, each page 0 of channels 0..7 in turn, on chip enable 0.
  const auto reads = ControllerEntries(drive, 0x89);
  ASSERT_EQ(reads.size(), 24u);
  for (std::size_t i = 0; i < reads.size(); ++i) {
    EXPECT_EQ(reads[i].command[3], i % 8) << i;
    EXPECT_EQ(reads[i].command[4], 0);
    EXPECT_EQ(reads[i].command[6], i / 8) << i;
    EXPECT_EQ(reads[i].length, 16u * 512);
  }
}

TEST_F(ControllerOnDrive, NoLoaderHeaderWhenBlocksZeroToThreeAreBlank) {
  drivesim::Drive& drive = AttachDrive(PortPath::OwnUsb);
  ASSERT_TRUE(drive.putFlashBytes(0, 0, 4, 0, 0, LoaderHeaderPage(2))) << "block 4 lies beyond the search";
  Bytes buffer(8 * 16 * 512);
  LoaderHeaderTable table{};
  std::uint8_t fileCount = 0;
  EXPECT_FALSE(ReadLoaderHeaderInfo(kPort, buffer, table, fileCount));
  EXPECT_EQ(ControllerEntries(drive, 0x89).size(), 32u);
}

struct PhysicalCase {
  const char* name;
  const char* dateCode;
  std::uint16_t planeSelector;
  std::vector<std::uint8_t> secondReadSubOps;  // sub-op and its byte 3
  std::uint16_t typeWord = 0x124A;              // a Samsung part: the field names unit 6, blocks 12 and 13
  std::uint16_t firstBlock = 12;
};

class PhysicalPageOnDrive : public ControllerOnDrive, public ::testing::WithParamInterface<PhysicalCase> {};

TEST_P(PhysicalPageOnDrive, GathersEachChannelsPageOfThePlane) {
  const PhysicalCase& c = GetParam();
  UseFlash(16, c.dateCode);
  drivesim::Drive& drive = AttachDrive(PortPath::OwnUsb, [&](auto& config) {
    config.firmwareDateCode = c.dateCode;
    config.flashTypeWord = c.typeWord;
  });
  constexpr std::uint16_t kUnit = 6;
  constexpr std::uint16_t kPage = 9;
  constexpr std::size_t kPageBytes = 16 * 512;
  const std::uint8_t channels = drive.config().flashChannels;
  for (std::uint8_t channel = 0; channel < channels; ++channel) {
    for (std::uint16_t plane = 0; plane < 2; ++plane) {
      const Bytes content(kPageBytes, static_cast<std::uint8_t>(0x10 * (channel + 1) + plane));
      ASSERT_TRUE(drive.putFlashBytes(channel, 0, static_cast<std::uint16_t>(c.firstBlock + plane), kPage, 0, content));
    }
  }
  Bytes buffer(kPhysicalPageBufferSize);
  const FlashPageAddress address{.channel = kAllChannels, .chipEnable = 0, .block = kUnit, .page = kPage};
  ASSERT_TRUE(ReadFlashPage(kPort, address, c.planeSelector, buffer, 8 * 16));

  const std::uint16_t plane = c.planeSelector & 1;
  for (std::size_t channel = 0; channel < 8; ++channel) {
    const std::uint8_t fill =
        channel < channels ? static_cast<std::uint8_t>(0x10 * (channel + 1) + plane) : std::uint8_t{0xFF};
    EXPECT_EQ(Bytes(buffer.begin() + static_cast<std::ptrdiff_t>(channel * kPageBytes),
                    buffer.begin() + static_cast<std::ptrdiff_t>((channel + 1) * kPageBytes)),
              Bytes(kPageBytes, fill))
        << "channel " << channel;
  }
  const auto entries = drive.wire().entries(Layer::Controller);
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[1].command[2], c.secondReadSubOps[0]);
  EXPECT_EQ(entries[1].command[3], c.secondReadSubOps[1]);
}

const PhysicalCase kPhysicalCases[] = {
    {"newer firmware, plane 0", "120105", 6, {0x04, 0xF0}},
    {"newer firmware, plane 1", "120105", 7, {0x04, 0xF0}},
    {"older firmware, plane 0", "110224", 6, {0x8C, 0x03}},
    {"older firmware, plane 1", "100811", 13, {0x8C, 0x03}},
    {"Toshiba without extra mode, block 6", "120105", 6, {0x04, 0xF0}, 0x224A, 6},
    {"Toshiba without extra mode, block 7", "120105", 7, {0x04, 0xF0}, 0x224A, 6},
};

INSTANTIATE_TEST_SUITE_P(Firmware, PhysicalPageOnDrive, ::testing::ValuesIn(kPhysicalCases),
                         [](const auto& testCase) {
                           std::string name = testCase.param.name;
                           for (char& ch : name) {
                             if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
                           }
                           return name;
                         });

TEST_F(ControllerOnDrive, PhysicalPageReadThatTheFirmwareRefusesIsAFailure) {
  // The host believes in older firmware; the drive runs newer and refuses
  // selector 8.
  UseFlash(16, "110222");
  drivesim::Drive& drive = AttachDrive(PortPath::OwnUsb);
  Bytes buffer(kPhysicalPageBufferSize, 0xEE);
  EXPECT_FALSE(ReadFlashPage(kPort, {.channel = kAllChannels, .block = 1}, 0, buffer, 128));
  EXPECT_EQ(buffer, Bytes(kPhysicalPageBufferSize, 0));
  EXPECT_EQ(drive.wire().entries(Layer::Controller).size(), 1u);
}

}  // namespace
}  // namespace devlib::testing
