// What the host's drive-state operations rely on: the loader's USB identity,
// the re-enumeration after a run-mode switch and a loader that will not leave,
// the S.M.A.R.T. table, the firmware's erase-count tables, write faults and a
// user-data store that keeps whole 0xFF chunks as a mark.

#include <chrono>
#include <map>
#include <string>
#include <thread>
#include <utility>

#include "drivesim/drive.h"
#include "platform/clock.h"
#include "vendor_host.h"

namespace drivesim::test {
namespace {

Bytes rw10Cdb(bool write, std::uint32_t lba, std::uint16_t count) {
  return {write ? std::uint8_t{0x2a} : std::uint8_t{0x28}, 0, static_cast<std::uint8_t>(lba >> 24),
          static_cast<std::uint8_t>(lba >> 16), static_cast<std::uint8_t>(lba >> 8), static_cast<std::uint8_t>(lba),
          0, static_cast<std::uint8_t>(count >> 8), static_cast<std::uint8_t>(count), 0};
}

// --- the latency mode ------------------------------------------------------------------

TEST(Latency, ADeviceCommandCostsHalfAMillisecondAndItsDataAt40MBs) {
  const DriveConfig::Latency device = DriveConfig::Latency::device();
  EXPECT_EQ(device.of(0), std::chrono::microseconds(500));
  EXPECT_EQ(device.of(65536), std::chrono::microseconds(500 + 1638));
  EXPECT_EQ(DriveConfig::Latency{}.of(65536), std::chrono::microseconds(0)) << "off by default";
}

// The cost is spent in real time after each command, outside the drive's
// lock (two drives spend theirs at once), and a stop cuts it short.
TEST_F(LineTest, LatencyIsSpentPerCommandInRealTimeAndEndsAtAStop) {
  using std::chrono::steady_clock;
  for (const char* path : {kUsbPath, kBridgePath}) {
    DriveConfig config = std::string(path) == kUsbPath ? DriveConfig::ownUsb(path) : DriveConfig::bridge(path, 7, "q204");
    config.latency = {std::chrono::milliseconds(50), 0};
    line->addDrive(config);
  }
  auto first = open(kUsbPath);
  auto second = open(kBridgePath);
  const Bytes testUnitReady{0x00, 0, 0, 0, 0, 0};

  const auto started = steady_clock::now();
  std::jthread other([&] {
    for (int n = 0; n < 4; ++n) EXPECT_TRUE(scsi(*second, testUnitReady).transportOk);
  });
  for (int n = 0; n < 4; ++n) EXPECT_TRUE(scsi(*first, testUnitReady).transportOk);
  other.join();
  const auto took = steady_clock::now() - started;
  EXPECT_GE(took, std::chrono::milliseconds(200)) << "four commands of 50 ms";
  EXPECT_LT(took, std::chrono::milliseconds(350)) << "the two drives spend their time side by side";

  DriveConfig slow = DriveConfig::sataPort(kSataPath);
  slow.latency = {std::chrono::seconds(30), 0};
  line->addDrive(slow);
  auto third = open(kSataPath);
  std::stop_source stop;
  std::jthread stopper([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    stop.request_stop();
  });
  const auto before = steady_clock::now();
  AtaCommand checkPower;
  checkPower.current.command = 0xe5;
  checkPower.timeoutSeconds = 10;
  checkPower.stop = stop.get_token();
  EXPECT_TRUE(third->ata(checkPower).transportOk);
  EXPECT_LT(steady_clock::now() - before, std::chrono::seconds(5)) << "the stop ends the wait";
}

// --- the loader's INQUIRY on the own USB interface ------------------------------------

struct LoaderInquiryCase {
  const char* name;
  const char* configured;  // nothing: the default
  const char* bytes8to31;
};

class LoaderInquiry : public LineTest, public ::testing::WithParamInterface<LoaderInquiryCase> {};

TEST_P(LoaderInquiry, VendorAndProductAreasHoldTheLoaderText) {
  DriveConfig config = DriveConfig::ownUsb(kUsbPath);
  config.runState = RunState::Loader;
  if (GetParam().configured != nullptr) config.usbLoaderInquiry = GetParam().configured;
  line->addDrive(config);
  auto device = open(kUsbPath);
  Bytes data(40);
  ASSERT_EQ(scsi(*device, {0x12, 0, 0, 0, 40, 0}, Direction::In, data).scsiStatus, 0);
  EXPECT_EQ(std::string(data.begin() + 8, data.begin() + 32), GetParam().bytes8to31);
}

INSTANTIATE_TEST_SUITE_P(Texts, LoaderInquiry,
                         ::testing::Values(LoaderInquiryCase{"generic", nullptr, "Generic ZIR USB Loader  "},
                                           LoaderInquiryCase{"tolvane", "Tolvane Flash CR Loader",
                                                             "Tolvane Flash CR Loader "}),
                         CaseName{});

// --- coming back from the loader ------------------------------------------------------

class ComingBack : public LineTest, public ::testing::WithParamInterface<HostPath> {
 protected:
  Drive& addDrive(int reenumeration, bool stuck = false) {
    DriveConfig config = configFor(GetParam());
    config.runState = RunState::Loader;
    config.reenumerationAttempts = reenumeration;
    config.stuckInLoader = stuck;
    Drive& drive = line->addDrive(config);
    device = open(devicePathOf(GetParam()));
    host = std::make_unique<VendorHost>(*device, GetParam());
    return drive;
  }

  // What the host polls after the switch: INQUIRY on the own USB interface,
  // the firmware signature sector (vendor mode on first) behind ATA.
  std::optional<Bytes> poll() {
    if (GetParam() == HostPath::OwnUsb) {
      Bytes data(40);
      const auto o = scsi(*device, {0x12, 0, 0, 0, 40, 0}, Direction::In, data);
      if (o.scsiStatus != 0) return std::nullopt;
      return Bytes(data.begin() + 8, data.begin() + 16);
    }
    if (!host->vendorMode(true)) return std::nullopt;
    Bytes data(kSector);
    const bool done = GetParam() == HostPath::Bridge
                          ? scsi(*device, tunnelCdb(kSet2, false, 1, 0xff), Direction::In, data).scsiStatus == 0
                          : !ataFailed(ata(*device, tunnelRegisters(kSet2.read, 1, 0xff), Direction::In, data, true));
    if (!done) return std::nullopt;
    return Bytes(data.begin(), data.begin() + 3);
  }

  Bytes firmwareAnswer() const {
    if (GetParam() == HostPath::OwnUsb) return Bytes{'T', 'o', 'l', 'v', 'a', 'n', 'e', ' '};
    return Bytes{0xe5, 'K', 'W'};
  }

  std::unique_ptr<Device> device;
  std::unique_ptr<VendorHost> host;
  platform::clock::ScopedFastClock clock;
};

TEST_P(ComingBack, PollsFailForTheConfiguredAttemptsAfterEachSwitch) {
  Drive& drive = addDrive(3);
  EXPECT_TRUE(poll().has_value()) << "no switch yet: the drive answers";
  ASSERT_TRUE(host->vendorMode(true));
  ASSERT_TRUE(host->switchRunMode(2, 1));
  EXPECT_EQ(drive.runState(), RunState::Firmware);
  for (int attempt = 1; attempt <= 3; ++attempt) EXPECT_FALSE(poll().has_value()) << "attempt " << attempt;
  EXPECT_EQ(poll(), firmwareAnswer());
  EXPECT_EQ(poll(), firmwareAnswer());

  ASSERT_TRUE(host->vendorMode(true));
  ASSERT_TRUE(host->switchRunMode(0, 0));
  ASSERT_TRUE(host->vendorMode(true));
  ASSERT_TRUE(host->switchRunMode(3, 1));
  for (int attempt = 1; attempt <= 3; ++attempt) EXPECT_FALSE(poll().has_value()) << "again, attempt " << attempt;
  EXPECT_EQ(poll(), firmwareAnswer());
}

TEST_P(ComingBack, ALoaderThatStaysTakesTheSwitchAndKeepsAnsweringAsTheLoader) {
  Drive& drive = addDrive(0, true);
  ASSERT_TRUE(host->vendorMode(true));
  drive.wire().clear();
  ASSERT_TRUE(host->switchRunMode(2, 1)) << "the switch itself is taken";
  EXPECT_EQ(drive.runState(), RunState::Loader);
  const auto blocks = drive.wire().entries(Layer::Controller);
  ASSERT_EQ(blocks.size(), 2u);
  EXPECT_EQ(blocks[1].note, "set run mode 2 (loader, stuck)");
  const Bytes loader = GetParam() == HostPath::OwnUsb ? Bytes{'G', 'e', 'n', 'e', 'r', 'i', 'c', ' '}
                                                      : Bytes{0xe5, 'L', 'D'};
  EXPECT_EQ(poll(), loader);
}

INSTANTIATE_TEST_SUITE_P(Paths, ComingBack, ::testing::Values(HostPath::OwnUsb, HostPath::Bridge, HostPath::Sata),
                         [](const auto& p) { return std::string(hostPathName(p.param)); });

// --- S.M.A.R.T. -----------------------------------------------------------------------

// The first raw byte of the first attribute 194 among the 30 entries.
std::optional<std::uint8_t> temperatureIn(const Bytes& data) {
  for (int k = 0; k < 30; ++k) {
    if (data[2 + 12 * k] == 0xc2) return data[2 + 12 * k + 5];
  }
  return std::nullopt;
}

struct SmartCase {
  const char* name;
  std::uint8_t temperature;
  bool attribute;
  std::optional<std::uint8_t> found;
};

class SmartTable : public LineTest, public ::testing::WithParamInterface<SmartCase> {};

TEST_P(SmartTable, TemperatureAttributeAsConfigured) {
  DriveConfig config = DriveConfig::sataPort(kSataPath);
  config.temperature = GetParam().temperature;
  config.smartTemperatureAttribute = GetParam().attribute;
  line->addDrive(config);
  auto device = open(kSataPath);
  Bytes data(kSector);
  ASSERT_FALSE(ataFailed(ata(*device, {0xd0, 1, 0, 0x4f, 0xc2, 0, 0xb0}, Direction::In, data)));
  EXPECT_EQ(temperatureIn(data), GetParam().found);
  EXPECT_EQ(data[2], 0x09) << "the other attributes stay";
  unsigned sum = 0;
  for (auto b : data) sum += b;
  EXPECT_EQ(sum & 0xff, 0u);
}

INSTANTIATE_TEST_SUITE_P(Tables, SmartTable,
                         ::testing::Values(SmartCase{"hot", 71, true, 71}, SmartCase{"noTemperature", 71, false, {}}),
                         CaseName{});

TEST_F(LineTest, SmartReadFailureIsInjectedPerCommand) {
  Drive& drive = line->addDrive(DriveConfig::bridge(kBridgePath, 7, DriveConfig::keyOfChipType(7)));
  FaultRule rule;
  rule.kind = FaultKind::AtaError;
  rule.match.ataCommand = 0xb0;
  drive.injectFault(rule);
  auto device = open(kBridgePath);
  const Bytes cdb{0xa1, 0x08, 0x0b, 0xd0, 0x01, 0x00, 0x4f, 0xc2, 0x00, 0xb0, 0x00, 0x00};
  Bytes data(kSector);
  EXPECT_EQ(scsi(*device, cdb, Direction::In, data).scsiStatus, 2);
  EXPECT_EQ(scsi(*device, cdb, Direction::In, data).scsiStatus, 0) << "one failure only";
}

// --- erase-count tables ---------------------------------------------------------------

class EraseCounts : public LineTest, public ::testing::WithParamInterface<HostPath> {};

std::uint32_t le32(const Bytes& b, std::size_t at) {
  return std::uint32_t{b[at]} | std::uint32_t{b[at + 1]} << 8 | std::uint32_t{b[at + 2]} << 16 |
         std::uint32_t{b[at + 3]} << 24;
}

TEST_P(EraseCounts, FirmwareAnswersATablePerChannelAndBankIndex) {
  DriveConfig config = configFor(GetParam());
  config.eraseCountBlocks = 300;
  Drive& drive = line->addDrive(config);
  auto device = open(devicePathOf(GetParam()));
  VendorHost host(*device, GetParam());
  ASSERT_TRUE(host.vendorMode(true));

  constexpr std::size_t kTableBytes = 8 + 4 * 300;
  const std::size_t sectors = (4 * 300 + 519) / 512;
  std::map<std::pair<int, int>, Bytes> tables;
  for (const auto& [channel, bank] : {std::pair{0, 0}, std::pair{0, 3}, std::pair{2, 1}}) {
    Bytes data(sectors * kSector, 0xee);
    ASSERT_TRUE(host.send(0x01, {static_cast<std::uint8_t>(channel), static_cast<std::uint8_t>(bank)}, Direction::In,
                          data));
    EXPECT_EQ(data[0], bank);
    EXPECT_EQ(data[1], channel);
    EXPECT_EQ(word(data, 2), 300) << "entry count at byte 4";
    EXPECT_EQ(Bytes(data.begin(), data.begin() + kTableBytes),
              drive.eraseCountTable(static_cast<std::uint8_t>(channel), static_cast<std::uint8_t>(bank)));
    EXPECT_EQ(Bytes(data.begin() + kTableBytes, data.end()), Bytes(data.size() - kTableBytes, 0));
    tables[{channel, bank}] = data;
  }
  const Bytes& first = tables[{0, 0}];
  EXPECT_NE(le32(first, 8), le32(first, 8 + 4 * 150)) << "the halves differ";
  EXPECT_NE(le32(first, 8), le32(tables[{0, 3}], 8)) << "banks differ";
  EXPECT_NE(le32(first, 8), le32(tables[{2, 1}], 8)) << "channels differ";
}

INSTANTIATE_TEST_SUITE_P(Paths, EraseCounts, ::testing::Values(HostPath::OwnUsb, HostPath::Bridge),
                         [](const auto& p) { return std::string(hostPathName(p.param)); });

TEST_F(LineTest, CountsWrittenBackAreWhatTheFirmwareAnswersLater) {
  Drive& drive = line->addDrive(DriveConfig::ownUsb(kUsbPath));
  auto device = open(kUsbPath);
  VendorHost host(*device, HostPath::OwnUsb);
  ASSERT_TRUE(host.switchRunMode(0, 0));
  ASSERT_TRUE(loadRamCode(host, ramCodeImage("GDP_")));
  Bytes saved(2 * kSector);
  for (std::size_t i = 0; i < saved.size(); ++i) saved[i] = static_cast<std::uint8_t>(i * 3);
  ASSERT_TRUE(host.send(0x08, {1, 2}, Direction::Out, saved));
  ASSERT_TRUE(host.switchRunMode(2, 0));
  EXPECT_EQ(drive.eraseCountTable(1, 2), saved);
  Bytes back(2 * kSector);
  ASSERT_TRUE(host.send(0x01, {1, 2}, Direction::In, back));
  EXPECT_EQ(back, saved);
}

// --- write faults ---------------------------------------------------------------------

class WriteFault : public LineTest, public ::testing::WithParamInterface<HostPath> {};

TEST_P(WriteFault, AWriteCoveringTheSectorFailsAndStoresNothing) {
  DriveConfig config = configFor(GetParam());
  config.lbaWriteErrors = {205};
  Drive& drive = line->addDrive(config);
  auto device = open(devicePathOf(GetParam()));
  Bytes data(8 * kSector, 0x3c);
  const auto failed = scsi(*device, rw10Cdb(true, 200, 8), Direction::Out, data);
  ASSERT_TRUE(failed.transportOk);
  EXPECT_EQ(failed.scsiStatus, 2);
  if (GetParam() == HostPath::OwnUsb) {
    EXPECT_EQ(senseKey(failed), 0x03) << "medium error";
    EXPECT_EQ(senseCode(failed), 0x0c) << "write error";
  }
  EXPECT_EQ(drive.storedSectorCount(), 0u);
  EXPECT_EQ(scsi(*device, rw10Cdb(true, 206, 8), Direction::Out, data).scsiStatus, 0) << "the next sectors take writes";
  EXPECT_EQ(drive.userSectors(206, 8), data);
}

INSTANTIATE_TEST_SUITE_P(Paths, WriteFault, ::testing::Values(HostPath::OwnUsb, HostPath::Bridge, HostPath::Sata),
                         [](const auto& p) { return std::string(hostPathName(p.param)); });

TEST_F(LineTest, WriteFaultOnTheAtaSideAborts) {
  DriveConfig config = DriveConfig::sataPort(kSataPath);
  config.lbaWriteErrors = {12};
  line->addDrive(config);
  auto device = open(kSataPath);
  Bytes data(4 * kSector, 0x11);
  const auto o = ata(*device, {0, 4, 10, 0, 0, 0xe0, 0xca}, Direction::Out, data, true);
  ASSERT_TRUE(o.transportOk);
  EXPECT_TRUE(ataFailed(o));
  EXPECT_EQ(o.current.features, 0x04);
}

// --- the sparse store -----------------------------------------------------------------

class SparseStore : public LineTest {
 protected:
  static constexpr std::size_t kChunk = 128;

  SparseStore() {
    DriveConfig config = DriveConfig::sataPort(kSataPath);  // 120 GB
    drive = &line->addDrive(config);
    device = open(kSataPath);
  }

  // WRITE DMA EXT of the bytes at `lba`; the wire log lets go of the payload.
  void write(std::uint64_t lba, const Bytes& bytes) {
    Bytes data = bytes;
    const std::size_t sectors = data.size() / kSector;
    const auto o = ata48(*device,
                         {0, static_cast<std::uint8_t>(sectors), static_cast<std::uint8_t>(lba),
                          static_cast<std::uint8_t>(lba >> 8), static_cast<std::uint8_t>(lba >> 16), 0x40, 0x35},
                         {0, static_cast<std::uint8_t>(sectors >> 8), static_cast<std::uint8_t>(lba >> 24),
                          static_cast<std::uint8_t>(lba >> 32), static_cast<std::uint8_t>(lba >> 40)},
                         Direction::Out, data);
    ASSERT_FALSE(ataFailed(o)) << "write at " << lba;
    drive->wire().clear();
  }

  Drive* drive = nullptr;
  std::unique_ptr<Device> device;
};

TEST_F(SparseStore, WholeChunksOfOnesTakeNoMemory) {
  // 1 GiB of 0xFF in 32 commands of 65 536 sectors, as an erase writes it:
  // chunk-aligned runs that join up.
  const Bytes ones(65536 * kSector, 0xff);
  std::uint64_t lba = 0;
  for (int i = 0; i < 32; ++i, lba += 65536) write(lba, ones);
  EXPECT_EQ(drive->storedSectorCount(), lba);
  EXPECT_EQ(drive->storedDataBytes(), 0u);
  EXPECT_EQ(drive->userSectors(1'000'000, 4), Bytes(4 * kSector, 0xff));
  EXPECT_EQ(drive->userSectors(lba, 1), Bytes(kSector, 0)) << "beyond the written range";
}

TEST_F(SparseStore, AWriteIntoARunOfOnesSplitsItAndKeepsTheRest) {
  write(0, Bytes(4 * kChunk * kSector, 0xff));  // chunks 0..3
  ASSERT_EQ(drive->storedDataBytes(), 0u);
  Bytes pattern(3 * kSector);
  for (std::size_t i = 0; i < pattern.size(); ++i) pattern[i] = static_cast<std::uint8_t>(i * 11 + 1);
  write(2 * kChunk + 5, pattern);
  EXPECT_EQ(drive->storedDataBytes(), kChunk * kSector);
  EXPECT_EQ(drive->storedSectorCount(), 4 * kChunk) << "every sector was written before";
  EXPECT_EQ(drive->userSectors(2 * kChunk + 5, 3), pattern);
  EXPECT_EQ(drive->userSectors(2 * kChunk, 5), Bytes(5 * kSector, 0xff));
  EXPECT_EQ(drive->userSectors(2 * kChunk + 8, kChunk - 8), Bytes((kChunk - 8) * kSector, 0xff));
  EXPECT_EQ(drive->userSectors(kChunk, kChunk), Bytes(kChunk * kSector, 0xff));
  EXPECT_EQ(drive->userSectors(3 * kChunk, kChunk), Bytes(kChunk * kSector, 0xff));

  write(2 * kChunk, Bytes(kChunk * kSector, 0xff));
  EXPECT_EQ(drive->storedDataBytes(), 0u) << "a whole chunk of ones drops the bytes again";
  EXPECT_EQ(drive->userSectors(0, 4 * kChunk), Bytes(4 * kChunk * kSector, 0xff));

  write(kChunk + 1, Bytes(kSector, 0xff));
  EXPECT_EQ(drive->storedDataBytes(), 0u) << "ones into ones change nothing";
}

TEST_F(SparseStore, PartlyWrittenChunksCountOnlyTheirWrittenSectors) {
  write(kChunk - 2, Bytes(4 * kSector, 0x5a));
  EXPECT_EQ(drive->storedSectorCount(), 4u);
  EXPECT_EQ(drive->storedDataBytes(), 2 * kChunk * kSector);
  EXPECT_EQ(drive->userSectors(kChunk - 3, 1), Bytes(kSector, 0));
  EXPECT_EQ(drive->userSectors(kChunk - 2, 4), Bytes(4 * kSector, 0x5a));
}

}  // namespace
}  // namespace drivesim::test
