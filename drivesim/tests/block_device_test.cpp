// The drives' user data as the system's block devices: the sparse image file
// behind the store, block I/O with the medium's faults, the volume the system
// makes of the first partition, and the scenario keys for all of it.

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <limits>
#include <string>

#include "drive_test_support.h"
#include "drivesim/drive.h"
#include "drivesim/line.h"
#include "drivesim/scenario.h"
#include "platform/block_io.h"

namespace drivesim::test {
namespace {

namespace fs = std::filesystem;
namespace block = platform::block;

constexpr std::size_t kChunk = 128;

Bytes pattern(std::size_t bytes, std::uint8_t seed) {
  Bytes out(bytes);
  for (std::size_t i = 0; i < bytes; ++i) out[i] = static_cast<std::uint8_t>(seed + i * 13);
  return out;
}

Bytes fileBytes(const fs::path& file, std::uint64_t offset, std::size_t count) {
  std::ifstream in(file, std::ios::binary);
  in.seekg(static_cast<std::streamoff>(offset));
  Bytes bytes(count);
  in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(count));
  bytes.resize(static_cast<std::size_t>(in.gcount()));
  return bytes;
}

// Sector 0 with one partition entry, as any partitioning tool leaves it.
Bytes tableSector() {
  Bytes sector(kSector, 0);
  sector[446 + 4] = 0x0b;
  sector[446 + 8] = 63;
  sector[446 + 12] = 0x10;
  sector[510] = 0x55;
  sector[511] = 0xaa;
  return sector;
}

class BlockLine : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string dir = ::testing::TempDir() + "blockline_XXXXXX";
    ASSERT_NE(::mkdtemp(dir.data()), nullptr);
    dir_ = dir;
    installLine(line);
  }
  void TearDown() override {
    installLine(nullptr);
    fs::remove_all(dir_);
  }

  Drive& add(DriveConfig config) { return line->addDrive(std::move(config)); }

  std::unique_ptr<block::BlockDevice> openBlock(const std::string& path) {
    auto opened = block::openBlockDevice(path);
    EXPECT_NE(opened.device, nullptr) << opened.error;
    return std::move(opened.device);
  }

  std::shared_ptr<Line> line = std::make_shared<Line>();
  fs::path dir_;
};

// --- The store in an image file ---

TEST_F(BlockLine, TheImageIsASparseRawDiskOfTheDrivesSize) {
  const std::uint64_t sectors = std::uint64_t{1} << 32;  // 2 TiB
  DriveConfig config = DriveConfig::ownUsb(kUsbPath);
  config.sectorCount = sectors;
  config.imageFile = (dir_ / "drive.img").string();
  Drive& drive = add(config);
  auto device = openBlock(kUsbPath);
  ASSERT_NE(device, nullptr);

  const Bytes first = pattern(2 * kSector, 0x11);
  const Bytes last = pattern(kSector, 0x77);
  ASSERT_TRUE(device->write(63, first));
  ASSERT_TRUE(device->write(sectors - 1, last));
  EXPECT_EQ(fs::file_size(config.imageFile), sectors * kSector);
  EXPECT_EQ(fileBytes(config.imageFile, 63 * kSector, first.size()), first);
  EXPECT_EQ(fileBytes(config.imageFile, (sectors - 1) * kSector, last.size()), last);
  EXPECT_EQ(drive.userSectors(63, 2), first);
  EXPECT_EQ(drive.storedDataBytes(), 0u) << "the file holds the bytes, not memory";

  struct stat status {};
  ASSERT_EQ(::stat(config.imageFile.c_str(), &status), 0);
  EXPECT_LT(static_cast<std::uint64_t>(status.st_blocks) * 512, std::uint64_t{16} << 20) << "not sparse";

  // The drive's own commands reach the same file.
  auto scsiDevice = platform::storage::open(kUsbPath, platform::storage::Sharing::Exclusive).device;
  ASSERT_NE(scsiDevice, nullptr);
  Bytes read(kSector);
  const ScsiOutcome o = scsi(*scsiDevice, {0x28, 0, 0, 0, 0, 64, 0, 0, 1, 0}, Direction::In, read);
  ASSERT_TRUE(o.transportOk);
  EXPECT_EQ(o.scsiStatus, 0);
  EXPECT_EQ(read, Bytes(first.begin() + kSector, first.end()));
}

TEST_F(BlockLine, AnImageComesWithItsDataAndIsNeverCut) {
  const fs::path image = dir_ / "used.img";
  {
    std::ofstream out(image, std::ios::binary);
    out.seekp(5 * kSector);
    const Bytes data = pattern(kSector, 0x42);
    out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
  }
  fs::resize_file(image, 10000 * kSector);
  DriveConfig config = DriveConfig::sataPort(kSataPath);
  config.sectorCount = 4096;
  config.imageFile = image.string();
  Drive& drive = add(config);
  EXPECT_EQ(drive.userSectors(5, 1), pattern(kSector, 0x42));
  EXPECT_EQ(fs::file_size(image), 10000 * kSector);
  auto device = openBlock(kSataPath);
  ASSERT_NE(device, nullptr);
  EXPECT_EQ(device->geometry().sectorCount, 4096u) << "the drive's size, not the file's";
}

TEST_F(BlockLine, ChunksOfOnesBecomeHolesAndSplitBackIntoTheFile) {
  DriveConfig config = DriveConfig::ownUsb(kUsbPath);
  config.sectorCount = 8 * kChunk;
  config.imageFile = (dir_ / "ones.img").string();
  Drive& drive = add(config);
  auto device = openBlock(kUsbPath);
  ASSERT_NE(device, nullptr);

  ASSERT_TRUE(device->write(0, pattern(4 * kChunk * kSector, 0x01)));
  ASSERT_TRUE(device->write(kChunk, Bytes(2 * kChunk * kSector, 0xff)));
  EXPECT_EQ(drive.userSectors(kChunk, 2 * kChunk), Bytes(2 * kChunk * kSector, 0xff));
  EXPECT_EQ(drive.storedSectorCount(), 4 * kChunk);

  const Bytes one = pattern(kSector, 0x99);
  ASSERT_TRUE(device->write(2 * kChunk + 3, one));
  Bytes back(kChunk * kSector);
  ASSERT_TRUE(device->read(2 * kChunk, back));
  Bytes expected(kChunk * kSector, 0xff);
  std::copy(one.begin(), one.end(), expected.begin() + 3 * kSector);
  EXPECT_EQ(back, expected);
  EXPECT_EQ(fileBytes(config.imageFile, 2 * kChunk * kSector, expected.size()), expected)
      << "a chunk split out of a run holds its ones in the file";
  EXPECT_EQ(drive.userSectors(kChunk, kChunk), Bytes(kChunk * kSector, 0xff)) << "the rest of the run stays";
}

TEST_F(BlockLine, AnImageThatCannotBeMadeFailsTheOpenWithTheReason) {
  DriveConfig config = DriveConfig::ownUsb(kUsbPath);
  config.imageFile = (dir_ / "no-such-dir" / "drive.img").string();
  Drive& drive = add(config);
  const auto opened = block::openBlockDevice(kUsbPath);
  EXPECT_EQ(opened.device, nullptr);
  EXPECT_NE(opened.error.find("image file cannot be used"), std::string::npos) << opened.error;
  EXPECT_NE(opened.error.find("No such file"), std::string::npos) << opened.error;
  EXPECT_EQ(drive.userSectors(0, 1), Bytes(kSector, 0));

  auto scsiDevice = platform::storage::open(kUsbPath, platform::storage::Sharing::Exclusive).device;
  ASSERT_NE(scsiDevice, nullptr);
  Bytes data(kSector);
  EXPECT_NE(scsi(*scsiDevice, {0x2a, 0, 0, 0, 0, 0, 0, 0, 1, 0}, Direction::Out, data).scsiStatus, 0)
      << "the medium fails its writes";
}

// --- Block I/O on the drive ---

TEST_F(BlockLine, OpensWithTheAddressableSizeAndTheFixedGeometry) {
  DriveConfig config = DriveConfig::ownUsb(kUsbPath);
  config.sectorCount = 2'000'000;
  add(config);
  auto device = openBlock(kUsbPath);
  ASSERT_NE(device, nullptr);
  const block::Geometry g = device->geometry();
  EXPECT_EQ(g.sectorCount, 2'000'000u);
  EXPECT_EQ(g.sectorSize, 512u);
  EXPECT_EQ(g.heads, 255u);
  EXPECT_EQ(g.sectorsPerTrack, 63u);

  const Bytes data = pattern(3 * kSector, 0x30);
  ASSERT_TRUE(device->write(1'999'997, data));
  Bytes back(data.size());
  ASSERT_TRUE(device->read(1'999'997, back));
  EXPECT_EQ(back, data);
  EXPECT_TRUE(device->flush());
  EXPECT_EQ(device->bytesWritten(), data.size());
}

struct OutOfRange {
  const char* name;
  std::uint64_t lba;
  std::size_t bytes;
};

void PrintTo(const OutOfRange& c, std::ostream* os) { *os << c.name; }

class BlockRange : public BlockLine, public ::testing::WithParamInterface<OutOfRange> {};

TEST_P(BlockRange, TransfersOutsideWholeSectorsOfTheDriveAreRefused) {
  DriveConfig config = DriveConfig::ownUsb(kUsbPath);
  config.sectorCount = 1000;
  Drive& drive = add(config);
  auto device = openBlock(kUsbPath);
  ASSERT_NE(device, nullptr);
  const Bytes data = pattern(GetParam().bytes, 0x66);
  EXPECT_FALSE(device->write(GetParam().lba, data));
  Bytes back(GetParam().bytes);
  EXPECT_FALSE(device->read(GetParam().lba, back));
  EXPECT_EQ(drive.storedSectorCount(), 0u);
  EXPECT_EQ(device->bytesWritten(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Cases, BlockRange,
                         ::testing::Values(OutOfRange{"partOfASector", 0, 200}, OutOfRange{"pastTheEnd", 1000, 512},
                                           OutOfRange{"acrossTheEnd", 999, 1024},
                                           OutOfRange{"wrappingLba", std::numeric_limits<std::uint64_t>::max(), 1024}),
                         CaseName{});

TEST_F(BlockLine, TheMediumsFaultsFailTheTransferAndStoreNothing) {
  DriveConfig config = DriveConfig::ownUsb(kUsbPath);
  config.lbaWriteErrors = {500};
  config.lbaReadErrors = {700};
  Drive& drive = add(config);
  auto device = openBlock(kUsbPath);
  ASSERT_NE(device, nullptr);
  EXPECT_FALSE(device->write(498, pattern(4 * kSector, 1)));
  EXPECT_EQ(drive.storedSectorCount(), 0u);
  EXPECT_EQ(device->bytesWritten(), 0u);
  EXPECT_TRUE(device->write(501, pattern(kSector, 2)));
  Bytes back(2 * kSector);
  EXPECT_FALSE(device->read(699, back));
  EXPECT_TRUE(device->read(701, back));
}

TEST_F(BlockLine, OpenFailsForNoDriveAnUnpluggedOneAndAnInjectedFault) {
  Drive& drive = add(DriveConfig::ownUsb(kUsbPath));
  EXPECT_NE(block::openBlockDevice("/dev/sdz").error.find("no emulated drive at /dev/sdz"), std::string::npos);

  drive.injectFault({.kind = FaultKind::OpenFailure, .match = {}, .skip = 0, .times = 2});
  EXPECT_EQ(block::openBlockDevice(kUsbPath).device, nullptr);
  EXPECT_EQ(block::openBlockDevice(kUsbPath).device, nullptr);
  EXPECT_NE(block::openBlockDevice(kUsbPath).device, nullptr) << "the third open passes";

  drive.unplug();
  const auto opened = block::openBlockDevice(kUsbPath);
  EXPECT_EQ(opened.device, nullptr);
  EXPECT_NE(opened.error.find("not plugged in"), std::string::npos) << opened.error;
}

TEST_F(BlockLine, AHandleDiesWithTheUnplugAndStaysDeadAfterThePlug) {
  Drive& drive = add(DriveConfig::ownUsb(kUsbPath));
  auto device = openBlock(kUsbPath);
  ASSERT_NE(device, nullptr);
  drive.unplug();
  Bytes data(kSector);
  EXPECT_FALSE(device->write(0, data));
  EXPECT_FALSE(device->read(0, data));
  EXPECT_FALSE(device->flush());
  drive.plug();
  EXPECT_FALSE(device->write(0, data));
  EXPECT_NE(openBlock(kUsbPath), nullptr);
}

TEST_F(BlockLine, TheSystemDiskIsNotOpenedAndHasNoVolume) {
  DriveConfig config = DriveConfig::ownUsb(kUsbPath);
  config.systemDisk = true;
  add(config);
  const auto opened = block::openBlockDevice(kUsbPath);
  EXPECT_EQ(opened.device, nullptr);
  EXPECT_NE(opened.error.find("holds the running system"), std::string::npos) << opened.error;

  // Even with a table the system has read, its volume is never the answer.
  auto scsiDevice = platform::storage::open(kUsbPath, platform::storage::Sharing::Shared).device;
  ASSERT_NE(scsiDevice, nullptr);
  Bytes table = tableSector();
  ASSERT_EQ(scsi(*scsiDevice, {0x2a, 0, 0, 0, 0, 0, 0, 0, 1, 0}, Direction::Out, table).scsiStatus, 0);
  EXPECT_EQ(block::rereadPartitions(kUsbPath), "");
  EXPECT_EQ(block::findVolume(kUsbPath), std::nullopt);
  EXPECT_EQ(block::openVolume({std::string(kUsbPath) + "-part1", ""}), nullptr);
}

// --- The volume of the first partition ---

struct AppearCase {
  const char* name;
  std::uint32_t after;
  bool never;
  int queriesWithout;  // -1: never found
};

void PrintTo(const AppearCase& c, std::ostream* os) { *os << c.name; }

class VolumeAppears : public BlockLine, public ::testing::WithParamInterface<AppearCase> {};

TEST_P(VolumeAppears, AfterTheTableIsReadAgainAndTheDrivesDelay) {
  DriveConfig config = DriveConfig::ownUsb(kUsbPath);
  config.volumeAppearsAfter = GetParam().after;
  config.volumeNeverAppears = GetParam().never;
  add(config);
  EXPECT_EQ(block::findVolume(kUsbPath), std::nullopt) << "a blank drive has no volume";
  auto device = openBlock(kUsbPath);
  ASSERT_NE(device, nullptr);
  ASSERT_TRUE(device->write(0, tableSector()));
  EXPECT_EQ(block::findVolume(kUsbPath), std::nullopt) << "the system has not read the new table";
  ASSERT_EQ(block::rereadPartitions(kUsbPath), "");

  int without = 0;
  std::optional<block::Volume> volume;
  for (; without < 20 && !(volume = block::findVolume(kUsbPath)); ++without) {
  }
  if (GetParam().queriesWithout < 0) {
    EXPECT_EQ(volume, std::nullopt);
  } else {
    EXPECT_EQ(without, GetParam().queriesWithout);
    ASSERT_TRUE(volume.has_value());
    EXPECT_EQ(volume->node, std::string(kUsbPath) + "-part1");
    EXPECT_EQ(volume->mountPoint, "");
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, VolumeAppears,
                         ::testing::Values(AppearCase{"atOnce", 0, false, 0}, AppearCase{"afterThree", 3, false, 3},
                                           AppearCase{"never", 0, true, -1}),
                         CaseName{});

TEST_F(BlockLine, ATableOnTheDriveAtPlugInIsKnownWithoutAReread) {
  DriveConfig config = DriveConfig::ownUsb(kUsbPath);
  config.imageFile = (dir_ / "table.img").string();
  const Bytes sector = tableSector();
  std::ofstream(config.imageFile, std::ios::binary)
      .write(reinterpret_cast<const char*>(sector.data()), static_cast<std::streamsize>(sector.size()));
  add(config);
  EXPECT_NE(block::findVolume(kUsbPath), std::nullopt);
}

TEST_F(BlockLine, RereadFailsForNoDriveAnUnpluggedOneAndABusyTable) {
  DriveConfig busy = DriveConfig::ownUsb(kUsbPath);
  busy.rescanBusy = true;
  add(busy);
  Drive& gone = add(DriveConfig::sataPort(kSataPath));
  gone.unplug();
  EXPECT_NE(block::rereadPartitions(kUsbPath).find("a partition is in use"), std::string::npos);
  EXPECT_NE(block::rereadPartitions(kSataPath).find("not plugged in"), std::string::npos);
  EXPECT_NE(block::rereadPartitions("/dev/sdz").find("no emulated drive"), std::string::npos);
}

TEST_F(BlockLine, AVolumeLocksForOneHandleAtATime) {
  DriveConfig config = DriveConfig::ownUsb(kUsbPath);
  Drive& drive = add(config);
  ASSERT_TRUE(openBlock(kUsbPath)->write(0, tableSector()));
  ASSERT_EQ(block::rereadPartitions(kUsbPath), "");
  const auto volume = block::findVolume(kUsbPath);
  ASSERT_TRUE(volume.has_value());

  auto first = block::openVolume(*volume);
  auto second = block::openVolume(*volume);
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  EXPECT_TRUE(first->lock());
  EXPECT_FALSE(second->lock());
  EXPECT_TRUE(first->dismount());
  first.reset();
  EXPECT_TRUE(second->lock()) << "a closed handle lets go of its lock";

  drive.unplug();
  EXPECT_FALSE(second->dismount());
  EXPECT_EQ(block::openVolume(*volume), nullptr);
  EXPECT_EQ(block::openVolume({"/dev/sdz1", ""}), nullptr);
}

TEST_F(BlockLine, AVolumeWhoseLockFailsOpensButDoesNotLock) {
  DriveConfig config = DriveConfig::ownUsb(kUsbPath);
  config.volumeLockFails = true;
  add(config);
  ASSERT_TRUE(openBlock(kUsbPath)->write(0, tableSector()));
  ASSERT_EQ(block::rereadPartitions(kUsbPath), "");
  auto handle = block::openVolume({std::string(kUsbPath) + "-part1", ""});
  ASSERT_NE(handle, nullptr);
  EXPECT_FALSE(handle->lock());
  EXPECT_TRUE(handle->dismount());
}

// --- Scenario keys ---

TEST(BlockScenario, KeysSetTheImageAndTheVolumesBehaviour) {
  const auto load = parseScenario(
      "[drive]\npath = /dev/sdb\nfrontend = sata\nimage = /tmp/x.img\nsystemdisk = yes\nrescan = busy\n"
      "volumeappears = 4\nvolumelock = fails\n"
      "[drive]\npath = /dev/sdc\nfrontend = sata\nvolumeappears = never\n");
  ASSERT_NE(load.line, nullptr) << load.error;
  const DriveConfig& b = load.line->drive("/dev/sdb")->config();
  EXPECT_EQ(b.imageFile, "/tmp/x.img");
  EXPECT_TRUE(b.systemDisk);
  EXPECT_TRUE(b.rescanBusy);
  EXPECT_EQ(b.volumeAppearsAfter, 4u);
  EXPECT_FALSE(b.volumeNeverAppears);
  EXPECT_TRUE(b.volumeLockFails);
  const DriveConfig& c = load.line->drive("/dev/sdc")->config();
  EXPECT_TRUE(c.imageFile.empty());
  EXPECT_FALSE(c.systemDisk || c.rescanBusy || c.volumeLockFails);
  EXPECT_TRUE(c.volumeNeverAppears);
}

TEST(BlockScenario, BadValuesNameTheirLine) {
  for (const std::string setting :
       {"image =", "systemdisk = maybe", "rescan = slow", "volumeappears = soon", "volumelock = open"}) {
    const auto load = parseScenario("[drive]\npath = /dev/sdb\nfrontend = sata\n" + setting + "\n");
    EXPECT_EQ(load.line, nullptr) << setting;
    EXPECT_EQ(load.error.rfind("line 4:", 0), 0u) << setting << ": " << load.error;
  }
}

}  // namespace
}  // namespace drivesim::test
