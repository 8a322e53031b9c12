// Capacity as READ CAPACITY and IDENTIFY report it, and the user-data store
// with its read faults, on each front end.

#include <string>

#include "drivesim/drive.h"
#include "vendor_host.h"

namespace drivesim::test {
namespace {

std::uint32_t be32(const Bytes& b, std::size_t at) {
  return std::uint32_t{b[at]} << 24 | std::uint32_t{b[at + 1]} << 16 | std::uint32_t{b[at + 2]} << 8 | b[at + 3];
}

struct IdentifyCase {
  const char* name;
  std::uint64_t sectors;
  std::optional<std::uint32_t> lba28;
  std::optional<std::uint64_t> lba48;
  std::uint32_t words60;
  std::uint64_t words100;
};

class IdentifyOverride : public LineTest, public ::testing::WithParamInterface<IdentifyCase> {};

TEST_P(IdentifyOverride, WordsSixtyAndHundredFollowTheOverrides) {
  DriveConfig config = DriveConfig::sataPort(kSataPath);
  config.sectorCount = GetParam().sectors;
  config.identifyLba28Sectors = GetParam().lba28;
  config.identifyLba48Sectors = GetParam().lba48;
  line->addDrive(config);
  auto device = open(kSataPath);
  Bytes data(kSector);
  ASSERT_FALSE(ataFailed(ata(*device, {0, 1, 0, 0, 0, 0xe0, 0xec}, Direction::In, data)));
  EXPECT_EQ(std::uint32_t{word(data, 60)} | std::uint32_t{word(data, 61)} << 16, GetParam().words60);
  std::uint64_t words100 = 0;
  for (int i = 0; i < 4; ++i) words100 |= std::uint64_t{word(data, 100 + i)} << (16 * i);
  EXPECT_EQ(words100, GetParam().words100);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, IdentifyOverride,
    ::testing::Values(IdentifyCase{"none", 234441648, std::nullopt, std::nullopt, 234441648, 234441648},
                      IdentifyCase{"saturatedWithZero48", 500118192, 0x0fffffff, 0, 0x0fffffff, 0},
                      IdentifyCase{"saturatedWithAllOnes48", 500118192, 0x0fffffff, 0xffffffff, 0x0fffffff, 0xffffffff},
                      IdentifyCase{"loaderSize", 8192, std::nullopt, std::nullopt, 8192, 8192},
                      IdentifyCase{"beyond2TiB", 0x1'2345'6789, std::nullopt, std::nullopt, 0x0fffffff, 0x1'2345'6789}),
    CaseName{});

class BlockStore : public LineTest, public ::testing::WithParamInterface<HostPath> {
 protected:
  Drive& addDrive(DriveConfig config) {
    drive = &line->addDrive(config);
    device = open(config.path);
    return *drive;
  }
  ScsiOutcome transfer(bool write, std::uint32_t lba, Bytes& data) {
    const auto count = static_cast<std::uint16_t>(data.size() / kSector);
    const Bytes cdb{write ? std::uint8_t{0x2a} : std::uint8_t{0x28}, 0, static_cast<std::uint8_t>(lba >> 24),
                    static_cast<std::uint8_t>(lba >> 16), static_cast<std::uint8_t>(lba >> 8),
                    static_cast<std::uint8_t>(lba), 0, static_cast<std::uint8_t>(count >> 8),
                    static_cast<std::uint8_t>(count), 0};
    return scsi(*device, cdb, write ? Direction::Out : Direction::In, data);
  }
  static Bytes pattern(std::size_t sectors, std::uint8_t seed) {
    Bytes data(sectors * kSector);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(seed + i * 5);
    return data;
  }

  Drive* drive = nullptr;
  std::unique_ptr<Device> device;
};

TEST_P(BlockStore, ReadCapacityGivesTheLastLba) {
  for (const std::uint64_t sectors : {std::uint64_t{8192}, std::uint64_t{234441648}}) {
    DriveConfig config = configFor(GetParam());
    config.sectorCount = sectors;
    addDrive(config);
    Bytes data(8);
    const auto o = scsi(*device, {0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}, Direction::In, data);
    ASSERT_EQ(o.scsiStatus, 0);
    EXPECT_EQ(be32(data, 0), sectors - 1);
    EXPECT_EQ(be32(data, 4), 512u);
  }
}

TEST_P(BlockStore, ReadErrorAtAnLbaFailsEveryReadThatCoversIt) {
  DriveConfig config = configFor(GetParam());
  config.lbaReadErrors = {1003};
  addDrive(config);
  Bytes written = pattern(8, 1);
  ASSERT_EQ(transfer(true, 1000, written).scsiStatus, 0) << "writes are not affected";

  Bytes covering(8 * kSector, 0xee);
  const auto failed = transfer(false, 1000, covering);
  ASSERT_TRUE(failed.transportOk);
  EXPECT_EQ(failed.scsiStatus, 2);
  EXPECT_EQ(senseKey(failed), 0x03) << "medium error";
  EXPECT_EQ(senseCode(failed), 0x11) << "unrecovered read error";

  Bytes before(3 * kSector);
  ASSERT_EQ(transfer(false, 1000, before).scsiStatus, 0);
  EXPECT_EQ(before, Bytes(written.begin(), written.begin() + 3 * kSector));
  Bytes after(4 * kSector);
  ASSERT_EQ(transfer(false, 1004, after).scsiStatus, 0);
  EXPECT_EQ(drive->userSectors(1003, 1), Bytes(written.begin() + 3 * kSector, written.begin() + 4 * kSector))
      << "the medium keeps the data";
}

TEST_P(BlockStore, CorruptedSectorReadsBackWithOneWordChanged) {
  DriveConfig config = configFor(GetParam());
  config.corruptedSectors = {{.lba = 2001, .word = 17, .mask = 0x0100}};
  addDrive(config);
  Bytes out = pattern(4, 9);
  const Bytes written = out;
  ASSERT_EQ(transfer(true, 2000, out).scsiStatus, 0);
  Bytes in(4 * kSector);
  ASSERT_EQ(transfer(false, 2000, in).scsiStatus, 0);
  std::size_t differing = 0;
  for (std::size_t i = 0; i < in.size(); ++i) {
    if (in[i] != written[i]) ++differing;
  }
  EXPECT_EQ(differing, 1u);
  const std::size_t at = kSector + 2 * 17 + 1;  // the high byte of word 17 of the second sector
  EXPECT_EQ(in[at], written[at] ^ 0x01);
  EXPECT_EQ(drive->userSectors(2000, 4), written);
}

INSTANTIATE_TEST_SUITE_P(Paths, BlockStore, ::testing::Values(HostPath::OwnUsb, HostPath::Bridge, HostPath::Sata),
                         [](const auto& p) { return std::string(hostPathName(p.param)); });

// The SATA path reads through ATA: an uncorrectable sector gives ERR with UNC.
class AtaBlockStore : public LineTest {};

TEST_F(AtaBlockStore, ReadOfABadSectorAnswersUncorrectable) {
  DriveConfig config = DriveConfig::sataPort(kSataPath);
  config.lbaReadErrors = {77};
  line->addDrive(config);
  auto device = open(kSataPath);
  Bytes data(2 * kSector);
  const auto o = ata(*device, {0, 2, 76, 0, 0, 0xe0, 0xc8}, Direction::In, data, true);
  ASSERT_TRUE(o.transportOk);
  EXPECT_TRUE(ataFailed(o));
  EXPECT_EQ(o.current.features, 0x40);
  EXPECT_FALSE(ataFailed(ata(*device, {0, 0, 0, 0, 0, 0xe0, 0xe7}))) << "FLUSH CACHE";
}

}  // namespace
}  // namespace drivesim::test
