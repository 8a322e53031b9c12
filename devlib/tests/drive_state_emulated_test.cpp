// The drive state operations against the emulated drive: what reaches the
// medium and the controller, the schedule of the partial read/write test, the
// erase, bringing a loader back to the firmware with its waits on the fast
// clock, the erase-count keep, the temperature, the maximum LBA and the NTFS
// probe, with the faults each must survive.

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <iterator>
#include <optional>
#include <ostream>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "devlib/controller_access.h"
#include "devlib/drive_state.h"
#include "devlib/flash_params.h"
#include "devlib/port_buffers.h"
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

template <typename Case>
std::string CaseName(const ::testing::TestParamInfo<Case>& info) {
  return info.param.name;
}

constexpr int kPort = 3;
constexpr std::size_t k64K = 64 * 1024;

std::uint64_t Now() { return platform::clock::tickMs(); }

std::uint32_t U32At(const Bytes& bytes, std::size_t offset) {
  return static_cast<std::uint32_t>(bytes[offset] | bytes[offset + 1] << 8 | bytes[offset + 2] << 16 |
                                    bytes[offset + 3] << 24);
}

std::uint32_t Be32(const std::vector<std::uint8_t>& b, std::size_t at) {
  return std::uint32_t{b[at]} << 24 | std::uint32_t{b[at + 1]} << 16 | std::uint32_t{b[at + 2]} << 8 | b[at + 3];
}

struct Write {
  std::uint32_t lba;
  std::uint16_t sectors;
  bool operator==(const Write&) const = default;
};

void PrintTo(const Write& w, std::ostream* out) { *out << w.sectors << "@" << w.lba; }

// The WRITE (10) commands the drive received, in order.
std::vector<Write> Writes(drivesim::Drive& drive) {
  std::vector<Write> writes;
  for (const auto& entry : drive.wire().entries(Layer::Scsi)) {
    if (entry.command.at(0) != 0x2A) continue;
    writes.push_back({Be32(entry.command, 2), static_cast<std::uint16_t>(entry.command[7] << 8 | entry.command[8])});
  }
  return writes;
}

std::vector<WireEntry> ControllerEntries(drivesim::Drive& drive, std::uint8_t subOp) {
  std::vector<WireEntry> found;
  for (const auto& entry : drive.wire().entries(Layer::Controller)) {
    if (entry.command.at(2) == subOp) found.push_back(entry);
  }
  return found;
}

std::size_t Inquiries(drivesim::Drive& drive) {
  const auto entries = drive.wire().entries(Layer::Scsi);
  return static_cast<std::size_t>(
      std::count_if(entries.begin(), entries.end(), [](const WireEntry& e) { return e.command.at(0) == 0x12; }));
}

// Tunnel reads tagged 0xFF that the ATA device received: the firmware signature reads.
std::size_t SignatureReads(drivesim::Drive& drive) {
  const auto entries = drive.wire().entries(Layer::Ata);
  return static_cast<std::size_t>(std::count_if(entries.begin(), entries.end(), [](const WireEntry& e) {
    return e.command.size() >= 7 && e.command[6] == 0x86 && e.command[2] == 0xFF;
  }));
}

Bytes Pattern(std::uint32_t lba, std::size_t sectors) {
  Bytes bytes(sectors * 512);
  FillLbaPattern(bytes, sectors, lba);
  return bytes;
}

Bytes LoaderHeaderPage(std::uint8_t fileCount) {
  Bytes bytes(kLoaderHeaderTableOffset + kLoaderHeaderTableSize, 0);
  const char text[] = "LDBK BLOCKS V30";
  std::copy(std::begin(text), std::end(text), bytes.begin());
  bytes[kLoaderHeaderTableOffset] = fileCount;
  return bytes;
}

class DriveStateOnLine : public EmulatedLineTest {
 protected:
  void SetUp() override {
    EmulatedLineTest::SetUp();
    InitPortIoTable(ProgramKind::Fleetburn);
    savedParams_ = *CurrentFlashParams();
    FlashParams params = savedParams_;
    params.geometry.sectorsPerPage = 16;  // the emulated flash part
    PublishFlashParams(params);
  }
  void TearDown() override {
    PublishFlashParams(savedParams_);
    FreePortBuffers();
    EmulatedLineTest::TearDown();
  }

  // Attaches a drive and switches its vendor mode on, as the port scan does;
  // the wire log starts after.
  drivesim::Drive& AttachDrive(PortPath path, const std::function<void(drivesim::DriveConfig&)>& configure = {}) {
    if (path == PortPath::NativeSata) InitPortIoTable(ProgramKind::Blockprobe);
    drivesim::DriveConfig config = DriveFor(path, kPort);
    if (configure) configure(config);
    drivesim::Drive& drive = line_->addDrive(config);
    WirePort(kPort, config.path, path);
    SwitchVendorMode(kPort, true);
    drive.wire().clear();
    return drive;
  }

  Bytes buffer_ = Bytes(k64K);
  FlashParams savedParams_;
};

std::string PathName(const ::testing::TestParamInfo<PortPath>& info) { return PortPathName(info.param); }

class OnEachUsbPath : public DriveStateOnLine, public ::testing::WithParamInterface<PortPath> {};

// --- capacity -------------------------------------------------------------------------

struct CapacityCase {
  const char* name;
  PortPath path;
  std::uint64_t sectors;
  std::optional<std::uint32_t> identify60;
  bool capacityReadFails;
  std::uint32_t capacity;
  std::uint32_t sectorCount;
};

class Capacity : public DriveStateOnLine, public ::testing::WithParamInterface<CapacityCase> {};

TEST_P(Capacity, PartValueAndSectorCount) {
  const CapacityCase& c = GetParam();
  drivesim::Drive& drive = AttachDrive(c.path, [&](auto& config) {
    config.sectorCount = c.sectors;
    config.identifyLba28Sectors = c.identify60;
  });
  if (c.capacityReadFails) {
    drivesim::FaultRule rule;
    rule.kind = drivesim::FaultKind::CheckCondition;
    rule.match.scsiOpcode = 0x25;
    rule.times = -1;
    drive.injectFault(rule);
  }
  EXPECT_EQ(GetLbaCapacity(kPort), c.capacity);
  EXPECT_EQ(GetLbaSectorCount(kPort), c.sectorCount);
  EXPECT_EQ(GetCapacityMB(kPort), c.capacity >> 11);
  EXPECT_EQ(GetCapacityBytes(kPort), std::uint64_t{c.capacity} * 512);
}

INSTANTIATE_TEST_SUITE_P(
    Drives, Capacity,
    ::testing::Values(
        CapacityCase{"ownUsbLastLba", PortPath::OwnUsb, 234441648, {}, false, 234441647, 234441648},
        CapacityCase{"bridgeSectorCount", PortPath::Bridge, 234441648, {}, false, 234441648, 234441648},
        CapacityCase{"beyond32BitsReadsAllOnes", PortPath::Bridge, 0x1'2345'6789ULL, {}, false, 0xFFFFFFFF,
                     0xFFFFFFFF},
        CapacityCase{"bridgeIdentifyWithoutCount", PortPath::Bridge, 8192, 0, false, 0, 0},
        CapacityCase{"ownUsbCapacityReadFails", PortPath::OwnUsb, 8192, {}, true, 0, 0}),
    CaseName<CapacityCase>);

TEST_F(DriveStateOnLine, IdentifyDataComesFromTheSataSideOnly) {
  AttachDrive(PortPath::Bridge, [](auto& config) { config.serial = "SN4711"; });
  Bytes identify(512);
  ASSERT_TRUE(GetIdentifyData(kPort, identify, 1));
  SwapBytePairs(identify, identify.size());
  EXPECT_EQ(std::string(identify.begin() + 20, identify.begin() + 26), "SN4711");
  EXPECT_EQ(std::string(identify.begin() + 54, identify.begin() + 77), "Tolvane KWFA4X SATA SSD");

  AttachDrive(PortPath::OwnUsb);
  EXPECT_FALSE(GetIdentifyData(kPort, identify, 1));
}

// --- loader and firmware --------------------------------------------------------------

class OnEachPath : public DriveStateOnLine, public ::testing::WithParamInterface<PortPath> {};

TEST_P(OnEachPath, JumpToTheLoaderAndBackToTheFirmware) {
  drivesim::Drive& drive = AttachDrive(GetParam());
  EXPECT_FALSE(IsLoaderDevice(kPort));
  ASSERT_TRUE(JumpToLoader(kPort, kLoaderRunMode, 0));
  EXPECT_EQ(drive.runState(), RunState::Loader);
  EXPECT_TRUE(IsLoaderDevice(kPort));
  EnsureFirmwareRunning(kPort, buffer_);
  EXPECT_EQ(drive.runState(), RunState::Firmware);
  EXPECT_FALSE(IsLoaderDevice(kPort));
}

TEST_P(OnEachPath, FirmwareThatRunsIsLeftAlone) {
  drivesim::Drive& drive = AttachDrive(GetParam());
  EnsureFirmwareRunning(kPort, buffer_);
  EXPECT_TRUE(ControllerEntries(drive, 0x83).empty());
  EXPECT_TRUE(ControllerEntries(drive, 0x89).empty()) << "no loader header search";
  EXPECT_EQ(Now(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Paths, OnEachPath,
                         ::testing::Values(PortPath::OwnUsb, PortPath::Bridge, PortPath::NativeSata), PathName);

TEST_F(DriveStateOnLine, SataLoaderTextsAreBothRecognised) {
  for (const char* model : {"Generic ZIR SATA Loader Loader Device", "Tolvane KWFA4X SATA SSD Loader Device"}) {
    SCOPED_TRACE(model);
    AttachDrive(PortPath::Bridge, [&](auto& config) {
      config.runState = RunState::Loader;
      config.loaderModel = model;
    });
    EXPECT_TRUE(IsLoaderDevice(kPort));
  }
}

TEST_F(DriveStateOnLine, TheOtherUsbLoaderTextIsNoLoaderHere) {
  AttachDrive(PortPath::OwnUsb, [](auto& config) {
    config.runState = RunState::Loader;
    config.usbLoaderInquiry = "Tolvane Flash CR Loader";
  });
  EXPECT_FALSE(IsLoaderDevice(kPort));
}

struct UsbComeBackCase {
  const char* name;
  std::optional<std::uint8_t> headerFileCount;
  int failingInquiries;
  std::uint8_t runMode;
  std::size_t inquiriesAfterSwitch;
  std::uint64_t elapsedMs;
};

class UsbComeBack : public DriveStateOnLine, public ::testing::WithParamInterface<UsbComeBackCase> {};

TEST_P(UsbComeBack, RunModeFromTheLoaderHeaderThenInquiryASecondApart) {
  const UsbComeBackCase& c = GetParam();
  drivesim::Drive& drive = AttachDrive(PortPath::OwnUsb, [&](auto& config) {
    config.runState = RunState::Loader;
    config.reenumerationAttempts = c.failingInquiries;
  });
  if (c.headerFileCount) {
    ASSERT_TRUE(drive.putFlashBytes(0, 0, 1, 0, 0, LoaderHeaderPage(*c.headerFileCount)));
  }

  EnsureFirmwareRunning(kPort, buffer_);
  EXPECT_EQ(drive.runState(), RunState::Firmware);
  const auto switches = ControllerEntries(drive, 0x83);
  ASSERT_EQ(switches.size(), 1u);
  EXPECT_EQ(switches[0].command[3], c.runMode);
  EXPECT_EQ(ControllerEntries(drive, 0x81).at(0).command[3], 0) << "session start argument";
  EXPECT_EQ(Inquiries(drive), 1 + c.inquiriesAfterSwitch) << "one INQUIRY recognises the loader";
  EXPECT_EQ(Now(), c.elapsedMs);
}

INSTANTIATE_TEST_SUITE_P(
    Drives, UsbComeBack,
    ::testing::Values(UsbComeBackCase{"threeDownloadFiles", 3, 0, 3, 1, 500},
                      UsbComeBackCase{"twoFilesFourFailures", 2, 4, 2, 5, 500 + 4000},
                      UsbComeBackCase{"noHeaderTenFailures", std::nullopt, 10, 2, 11, 500 + 10000},
                      UsbComeBackCase{"neverAnswersElevenAttempts", 3, 20, 3, 11, 500 + 11000}),
    CaseName<UsbComeBackCase>);

struct SataComeBackCase {
  const char* name;
  PortPath path;
  int failingReads;
  bool stuck;
  std::size_t signatureReads;
  RunState after;
};

class SataComeBack : public DriveStateOnLine, public ::testing::WithParamInterface<SataComeBackCase> {};

TEST_P(SataComeBack, TenSecondsThenSignatureRoundsASecondApart) {
  const SataComeBackCase& c = GetParam();
  drivesim::Drive& drive = AttachDrive(c.path, [&](auto& config) {
    config.runState = RunState::Loader;
    config.reenumerationAttempts = c.failingReads;
    config.stuckInLoader = c.stuck;
  });
  ASSERT_TRUE(drive.putFlashBytes(0, 0, 0, 0, 0, LoaderHeaderPage(3)));

  EnsureFirmwareRunning(kPort, buffer_);
  EXPECT_EQ(drive.runState(), c.after);
  const auto switches = ControllerEntries(drive, 0x83);
  ASSERT_EQ(switches.size(), 1u);
  EXPECT_EQ(switches[0].command[3], 2) << "the SATA side always asks for mode 2";
  EXPECT_EQ(ControllerEntries(drive, 0x81).at(0).command[3], 1);
  EXPECT_EQ(SignatureReads(drive), c.signatureReads);
  const std::size_t retries = c.signatureReads - (c.after == RunState::Firmware ? 1 : 0);
  EXPECT_EQ(Now(), 500 + 10000 + 1000 * retries);
  EXPECT_TRUE(drive.vendorMode());
}

INSTANTIATE_TEST_SUITE_P(
    Drives, SataComeBack,
    ::testing::Values(SataComeBackCase{"answersAtOnce", PortPath::Bridge, 0, false, 1, RunState::Firmware},
                      SataComeBackCase{"threeFailedReads", PortPath::Bridge, 3, false, 4, RunState::Firmware},
                      SataComeBackCase{"tenFailedReads", PortPath::NativeSata, 10, false, 11, RunState::Firmware},
                      SataComeBackCase{"stuckInTheLoader", PortPath::Bridge, 0, true, 11, RunState::Loader}),
    CaseName<SataComeBackCase>);

// Runs `operation` on a worker until it reaches the command `stuckAt` names,
// requests the port's stop, and gives back the virtual time the worker spent.
std::optional<std::uint64_t> TimeUntilStopped(drivesim::Drive& drive, testsupport::StopOnceStuck::StuckPoint stuckAt,
                                              const std::function<void()>& operation) {
  testsupport::StopOnceStuck stuck(std::move(stuckAt), [&drive] { drive.unplug(); });
  const PortWork work = BeginPortWork(kPort, stuck.stopToken());
  const auto elapsed = stuck.run([&] {
    const std::uint64_t start = Now();
    operation();
    return Now() - start;
  });
  return elapsed;
}

TEST_F(DriveStateOnLine, StopRequestEndsTheComeBackWaits) {
  struct Case {
    const char* name;
    PortPath path;
    drivesim::FaultMatch hang;
    int skip;
    std::uint64_t elapsed;
  };
  drivesim::FaultMatch signatureRead;
  signatureRead.phase = drivesim::TunnelPhase::SignatureRead;
  drivesim::FaultMatch inquiry;
  inquiry.scsiOpcode = 0x12;
  for (const Case& c : {Case{"sata", PortPath::Bridge, signatureRead, 0, 10500},
                        Case{"usb", PortPath::OwnUsb, inquiry, 1, 500}}) {
    SCOPED_TRACE(c.name);
    drivesim::Drive& drive = AttachDrive(c.path, [](auto& config) {
      config.runState = RunState::Loader;
      config.stuckInLoader = true;
    });
    drivesim::FaultRule rule;
    rule.kind = drivesim::FaultKind::Hang;
    rule.match = c.hang;
    rule.skip = c.skip;
    drive.injectFault(rule);
    // The command that hangs: the one after `skip` of its kind.
    const auto hanging = [&c, seen = 0](std::span<const std::uint8_t> cdb) mutable {
      const bool poll = c.path == PortPath::OwnUsb ? !cdb.empty() && cdb[0] == 0x12
                                                   : cdb.size() >= 10 && cdb[9] == 0x86 && cdb[5] == 0xFF;
      return poll && ++seen > c.skip;
    };
    EXPECT_EQ(TimeUntilStopped(drive, hanging, [] {
                Bytes buffer(k64K);
                EnsureFirmwareRunning(kPort, buffer);
              }),
              c.elapsed)
        << "no wait after the stop";
  }
}

// --- RWTestPartial --------------------------------------------------------------------

TEST_P(OnEachUsbPath, PartialTestProbesEverySeventhGibOfA120GbDrive) {
  constexpr std::uint64_t kSectors = 114470ULL * 2048;
  drivesim::Drive& drive = AttachDrive(GetParam(), [&](auto& config) { config.sectorCount = kSectors; });
  ASSERT_TRUE(RWTestPartial(kPort, buffer_));

  // 20 probes at each of GiB 0, 7, ... 105 (16 blocks), then LBA 0 and the last sector.
  const std::vector<Write> writes = Writes(drive);
  ASSERT_EQ(writes.size(), 16u * 20 + 2);
  const struct {
    std::size_t index;
    Write write;
  } expected[] = {
      {0, {0, 128}},            // the first probe of GiB 0
      {1, {0, 128}},            // written twice over
      {6, {150, 1}},
      {9, {100033, 5}},
      {10, {80058, 4}},
      {17, {80058, 4}},
      {19, {154900, 33}},       // the last probe of GiB 0
      {20, {14680064, 128}},    // the first probe of GiB 7
      {35, {14695064, 126}},    // GiB 7 + 15000
      {300, {220200960, 128}},  // the first probe of GiB 105
      {319, {220355860, 33}},   // the last probe of GiB 105
      {320, {0, 1}},            // LBA 0 set to ones
      {321, {234434559, 1}},    // the last sector
  };
  for (const auto& [index, write] : expected) EXPECT_EQ(writes[index], write) << "write " << index;
  EXPECT_EQ(drive.userSectors(0, 1), Bytes(512, 0xFF));
  EXPECT_EQ(drive.userSectors(kSectors - 1, 1), Pattern(static_cast<std::uint32_t>(kSectors - 1), 1));
  EXPECT_EQ(drive.userSectors(105ULL * 2097152 + 154900, 33), Pattern(105 * 2097152 + 154900, 33));
}

TEST_P(OnEachUsbPath, PartialTestOfADriveBelowOneGibChecksLbaZeroAndTheLastSector) {
  drivesim::Drive& drive = AttachDrive(GetParam(), [](auto& config) { config.sectorCount = 1'000'000; });
  ASSERT_TRUE(RWTestPartial(kPort, buffer_));
  EXPECT_EQ(Writes(drive), (std::vector<Write>{{0, 1}, {999'999, 1}}));
  EXPECT_EQ(drive.userSectors(999'999, 1), Pattern(999'999, 1)) << "the last sector itself";
}

TEST_P(OnEachUsbPath, PartialTestFailsOnAPlaceholderOrUnreadableSize) {
  struct Size {
    const char* name;
    std::optional<std::uint32_t> identify60;
  };
  for (const Size size : {Size{"placeholder8192", std::nullopt}, Size{"identifyWithoutCount", 0}}) {
    SCOPED_TRACE(size.name);
    if (GetParam() == PortPath::OwnUsb && size.identify60) continue;  // READ CAPACITY has no such override
    drivesim::Drive& drive = AttachDrive(GetParam(), [&](auto& config) {
      config.sectorCount = 8192;
      config.identifyLba28Sectors = size.identify60;
    });
    EXPECT_FALSE(RWTestPartial(kPort, buffer_));
    EXPECT_TRUE(Writes(drive).empty());
  }
}

TEST_P(OnEachUsbPath, PartialTestStopsAtACompareFaultWithTheMismatchRecord) {
  drivesim::Drive& drive = AttachDrive(GetParam(), [](auto& config) {
    config.sectorCount = 4'000'000;
    config.corruptedSectors = {{.lba = 133, .word = 17, .mask = 0x0400}};
  });
  EXPECT_FALSE(RWTestPartial(kPort, buffer_));
  EXPECT_EQ(Writes(drive), (std::vector<Write>{{0, 128}, {0, 128}, {128, 128}}));
  const std::uint32_t index = 5 * 256 + 17;
  const auto expected = static_cast<std::uint16_t>(128 * 256 + index);
  EXPECT_EQ(U32At(buffer_, 0), kLbaMismatchKind);
  EXPECT_EQ(U32At(buffer_, 4), 128u);
  EXPECT_EQ(U32At(buffer_, 8), expected);
  EXPECT_EQ(U32At(buffer_, 12), static_cast<std::uint16_t>(expected ^ 0x0400));
  EXPECT_EQ(U32At(buffer_, 16), index);
}

TEST_P(OnEachUsbPath, PartialTestFailsWhenLbaZeroCannotBeWritten) {
  drivesim::Drive& drive = AttachDrive(GetParam(), [](auto& config) {
    config.sectorCount = 1'000'000;
    config.lbaWriteErrors = {0};
  });
  EXPECT_FALSE(RWTestPartial(kPort, buffer_));
  EXPECT_EQ(Writes(drive), (std::vector<Write>{{0, 1}}));
  EXPECT_EQ(U32At(buffer_, 0), kLbaWriteFailureKind);
}

// --- EraseAllData ---------------------------------------------------------------------

struct EraseCase {
  const char* name;
  PortPath path;
  std::uint64_t sectors;
  std::optional<std::uint32_t> identify60;
  std::vector<std::uint64_t> writeErrors;
  std::vector<Write> writes;
  std::uint32_t erased;  // sectors from LBA 0 that hold 0xFF afterwards
  bool result;
};

class Erase : public DriveStateOnLine, public ::testing::WithParamInterface<EraseCase> {};

TEST_P(Erase, OnesIn128SectorChunksUpToTheLastSector) {
  const EraseCase& c = GetParam();
  drivesim::Drive& drive = AttachDrive(c.path, [&](auto& config) {
    config.sectorCount = c.sectors;
    config.identifyLba28Sectors = c.identify60;
    config.lbaWriteErrors = c.writeErrors;
  });
  EXPECT_EQ(EraseAllData(kPort), c.result);
  EXPECT_EQ(Writes(drive), c.writes);
  EXPECT_EQ(drive.userSectors(0, c.erased), Bytes(std::size_t{c.erased} * 512, 0xFF));
  if (c.erased < c.sectors) {
    EXPECT_EQ(drive.userSectors(c.erased, 1), Bytes(512, 0)) << "not erased";
  }
}

INSTANTIATE_TEST_SUITE_P(
    Drives, Erase,
    ::testing::Values(
        EraseCase{"bridge300", PortPath::Bridge, 300, {}, {}, {{0, 128}, {128, 128}, {256, 44}}, 300, true},
        EraseCase{"ownUsb300ReachesTheLastSector", PortPath::OwnUsb, 300, {}, {}, {{0, 128}, {128, 128}, {256, 44}},
                  300, true},
        EraseCase{"wholeChunksOnly", PortPath::OwnUsb, 256, {}, {}, {{0, 128}, {128, 128}}, 256, true},
        EraseCase{"failureInChunkTwo", PortPath::Bridge, 300, {}, {200}, {{0, 128}, {128, 128}}, 128, false},
        EraseCase{"sizeReadsZero", PortPath::Bridge, 300, 0, {}, {}, 0, false}),
    CaseName<EraseCase>);

TEST_F(DriveStateOnLine, StopRequestEndsAnEraseOfAWholeDrive) {
  drivesim::Drive& drive = AttachDrive(PortPath::OwnUsb);  // 120 GB
  const auto erasing = [&](auto) { return drive.storedSectorCount() >= 5 * 128; };
  bool erased = true;
  TimeUntilStopped(drive, erasing, [&] { erased = EraseAllData(kPort); });
  EXPECT_FALSE(erased);
  EXPECT_LT(drive.storedSectorCount(), drive.config().sectorCount);
}

// --- SaveEraseCounts ------------------------------------------------------------------

class EraseCountKeep : public DriveStateOnLine {
 protected:
  void UseFlash(std::uint8_t banks, std::uint8_t channels, std::uint8_t planes, std::uint16_t halfPlaneBlocks) {
    FlashParams params = *CurrentFlashParams();
    params.setting.banks = banks;
    params.setting.channels = channels;
    params.geometry.planes = planes;
    params.geometry.halfPlaneBlocks = halfPlaneBlocks;
    PublishFlashParams(params);
  }

  static Bytes Slot(PortBuffers& buffers, std::size_t slot, std::size_t bytes) {
    const auto counts = buffers.workBuffer4().subspan(slot * kEraseCountSlotSize, bytes);
    return Bytes(counts.begin(), counts.end());
  }
};

TEST_F(EraseCountKeep, EachBankIndexAndChannelGoesToItsSlot) {
  UseFlash(2, 2, 2, 1024);
  drivesim::Drive& drive = AttachDrive(PortPath::Bridge);  // 2048 entries per table
  ASSERT_TRUE(SaveEraseCounts(kPort, buffer_, false));
  const auto buffers = MappedPortBuffers(kPort);
  ASSERT_TRUE(buffers);
  constexpr std::size_t kTable = 8 + 4 * 2048;
  for (std::uint8_t i = 0; i < 4; ++i) {
    for (std::uint8_t j = 0; j < 2; ++j) {
      EXPECT_EQ(Slot(*buffers, i + 16u * j, kTable), drive.eraseCountTable(j, i))
          << "bank index " << int{i} << " channel " << int{j};
    }
  }
  EXPECT_EQ(Slot(*buffers, 4, kEraseCountSlotSize), Bytes(kEraseCountSlotSize, 0)) << "no bank index 4";

  const auto reads = ControllerEntries(drive, 0x01);
  ASSERT_EQ(reads.size(), 1u + 8u);
  EXPECT_EQ(reads[0].length, 512u) << "the first read learns the entry count";
  for (std::size_t k = 1; k < reads.size(); ++k) {
    EXPECT_EQ(reads[k].length, 17u * 512) << "(4n + 519) / 512 sectors";
    EXPECT_EQ(reads[k].command[3], (k - 1) % 2) << "channel";
    EXPECT_EQ(reads[k].command[4], (k - 1) / 2) << "bank index";
  }
}

TEST_F(EraseCountKeep, A2bKeepsASecondCopyWithTheSecondHalfInFront) {
  UseFlash(2, 2, 2, 1024);
  drivesim::Drive& drive = AttachDrive(PortPath::OwnUsb);
  ASSERT_TRUE(SaveEraseCounts(kPort, buffer_, true));
  const auto buffers = MappedPortBuffers(kPort);
  ASSERT_TRUE(buffers);
  constexpr std::size_t kTable = 8 + 4 * 2048;
  constexpr std::size_t kHalf = 4 * 1024;
  for (std::uint8_t i = 0; i < 2; ++i) {
    for (std::uint8_t j = 0; j < 2; ++j) {
      SCOPED_TRACE("bank index " + std::to_string(i) + " channel " + std::to_string(j));
      const Bytes table = drive.eraseCountTable(j, i);
      EXPECT_EQ(Slot(*buffers, i + 16u * j, kTable), table);
      Bytes moved = table;
      moved[0] = static_cast<std::uint8_t>(i + 2);
      std::copy(table.begin() + 8 + kHalf, table.begin() + 8 + 2 * kHalf, moved.begin() + 8);
      EXPECT_EQ(Slot(*buffers, 2u + i + 16u * j, kTable), moved);
    }
  }
  EXPECT_EQ(ControllerEntries(drive, 0x01).size(), 1u + 4u) << "bank indices are the banks only";
}

TEST_F(EraseCountKeep, OversizedTablesAreReadWithinTheBuffer) {
  UseFlash(1, 1, 1, 16383);
  drivesim::Drive& drive = AttachDrive(PortPath::Bridge, [](auto& config) { config.eraseCountBlocks = 60000; });
  ASSERT_TRUE(SaveEraseCounts(kPort, buffer_, true));
  const auto reads = ControllerEntries(drive, 0x01);
  ASSERT_EQ(reads.size(), 2u);
  EXPECT_EQ(reads[1].length, k64K) << "at most the 64 KiB of the buffer";
  const auto buffers = MappedPortBuffers(kPort);
  ASSERT_TRUE(buffers);
  Bytes table = drive.eraseCountTable(0, 0);
  table.resize(k64K);
  EXPECT_EQ(Slot(*buffers, 0, k64K), table);
  table[0] = 1;
  EXPECT_EQ(Slot(*buffers, 1, k64K), table) << "a half beyond the buffer moves nothing";
}

TEST_F(EraseCountKeep, RefusedWithoutRoomForATable) {
  UseFlash(2, 2, 2, 1024);
  drivesim::Drive& drive = AttachDrive(PortPath::Bridge);
  Bytes small(k64K - 512);
  EXPECT_FALSE(SaveEraseCounts(kPort, small, false));
  EXPECT_TRUE(drive.wire().entries().empty());
}

// --- CheckTemperature -----------------------------------------------------------------

struct TemperatureCase {
  const char* name;
  PortPath path;
  std::uint8_t raw;
  bool attribute;
  bool readFails;
  std::uint8_t limit;
  bool result;
  std::int8_t temperature;
};

class Temperature : public DriveStateOnLine, public ::testing::WithParamInterface<TemperatureCase> {};

TEST_P(Temperature, AgainstTheLimit) {
  const TemperatureCase& c = GetParam();
  drivesim::Drive& drive = AttachDrive(c.path, [&](auto& config) {
    config.temperature = c.raw;
    config.smartTemperatureAttribute = c.attribute;
  });
  if (c.readFails) {
    drivesim::FaultRule rule;
    rule.kind = drivesim::FaultKind::AtaError;
    rule.match.ataCommand = 0xB0;
    drive.injectFault(rule);
  }
  std::int8_t temperature = 99;
  EXPECT_EQ(CheckTemperature(kPort, buffer_, c.limit, temperature), c.result);
  EXPECT_EQ(temperature, c.temperature);
}

INSTANTIATE_TEST_SUITE_P(
    Drives, Temperature,
    ::testing::Values(TemperatureCase{"atTheLimit", PortPath::Bridge, 45, true, false, 45, true, 45},
                      TemperatureCase{"aboveTheLimit", PortPath::Bridge, 45, true, false, 44, false, 45},
                      TemperatureCase{"noTemperatureAttribute", PortPath::Bridge, 90, false, false, 44, true, 0},
                      TemperatureCase{"readFails", PortPath::Bridge, 30, true, true, 44, false, 0},
                      TemperatureCase{"nativeSata", PortPath::NativeSata, 50, true, false, 60, true, 50},
                      TemperatureCase{"usbPathCannotRead", PortPath::OwnUsb, 30, true, false, 44, false, 0}),
    CaseName<TemperatureCase>);

// --- SetMaxLba ------------------------------------------------------------------------

TEST_F(DriveStateOnLine, SetMaxLbaMovesTheDrivesCurrentMax) {
  drivesim::Drive& drive = AttachDrive(PortPath::Bridge, [](auto& config) { config.sectorCount = 0x2'0000'0000ULL; });
  ASSERT_TRUE(SetMaxLba(kPort, buffer_, 0x10000000, 0));
  EXPECT_EQ(drive.currentMaxAddress(), 0x0FFFFFFFu);
  ASSERT_TRUE(SetMaxLba(kPort, buffer_, 1000, 0));
  EXPECT_EQ(drive.currentMaxAddress(), 999u);
  EXPECT_EQ(GetLbaCapacity(kPort), 1000u);
  ASSERT_TRUE(SetMaxLba(kPort, buffer_, 0, 2));
  EXPECT_EQ(drive.currentMaxAddress(), 0x1'FFFF'FFFFULL);
  EXPECT_FALSE(SetMaxLba(kPort, buffer_, 1, 2)) << "beyond the medium";
  EXPECT_EQ(drive.currentMaxAddress(), 0x1'FFFF'FFFFULL);
}

// --- HasNtfsPartition -----------------------------------------------------------------

struct NtfsCase {
  const char* name;
  std::vector<std::size_t> typeOffsets;  // partition type bytes set to 7
  std::uint8_t otherType;                // in the first entry when no offset is given
  bool bootMark;
  bool readFails;
  bool ntfs;
};

class Ntfs : public DriveStateOnLine, public ::testing::WithParamInterface<NtfsCase> {};

TEST_P(Ntfs, TypeSevenInAnyEntryOfAMarkedBootSector) {
  const NtfsCase& c = GetParam();
  AttachDrive(PortPath::Bridge, [&](auto& config) {
    if (c.readFails) config.lbaReadErrors = {0};
  });
  Bytes sector(512, 0);
  sector[450] = c.otherType;
  for (const std::size_t offset : c.typeOffsets) sector[offset] = 7;
  if (c.bootMark) {
    sector[510] = 0x55;
    sector[511] = 0xAA;
  }
  ASSERT_TRUE(WriteLbaBuffer(kPort, sector, 1, 0));
  EXPECT_EQ(HasNtfsPartition(kPort), c.ntfs);
}

INSTANTIATE_TEST_SUITE_P(Sectors, Ntfs,
                         ::testing::Values(NtfsCase{"firstEntry", {450}, 0, true, false, true},
                                           NtfsCase{"secondEntry", {466}, 0x0C, true, false, true},
                                           NtfsCase{"thirdEntry", {482}, 0x0C, true, false, true},
                                           NtfsCase{"fourthEntry", {498}, 0x0C, true, false, true},
                                           NtfsCase{"fat32Only", {}, 0x0C, true, false, false},
                                           NtfsCase{"noBootMark", {450}, 0, false, false, false},
                                           NtfsCase{"typeSevenOutsideTheEntries", {451}, 0x0C, true, false, false},
                                           NtfsCase{"unreadable", {450}, 0, true, true, false}),
                         CaseName<NtfsCase>);

INSTANTIATE_TEST_SUITE_P(Paths, OnEachUsbPath, ::testing::Values(PortPath::OwnUsb, PortPath::Bridge), PathName);

}  // namespace
}  // namespace devlib::testing
