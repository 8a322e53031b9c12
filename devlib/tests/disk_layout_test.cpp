#include "devlib/disk_layout.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "drivesim/line.h"
#include "platform/block_io.h"
#include "platform/clock.h"

namespace devlib {
namespace {

namespace fs = std::filesystem;
using platform::block::Geometry;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint64_t kCylinder = 255 * 63;
constexpr const char* kDrivePath = "\\\\?\\usbstor#disk&ven_tolvane&prod_ssd&rev_1.00#0001#{53f56307}";

std::uint32_t Le32(const std::uint8_t* p) {
  return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 | std::uint32_t{p[3]} << 24;
}

Bytes FileBytes(const fs::path& file, std::uint64_t offset, std::size_t count) {
  std::ifstream in(file, std::ios::binary);
  in.seekg(static_cast<std::streamoff>(offset));
  Bytes bytes(count);
  in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(count));
  bytes.resize(static_cast<std::size_t>(in.gcount()));
  return bytes;
}

bool AllZero(const Bytes& bytes) {
  return std::all_of(bytes.begin(), bytes.end(), [](std::uint8_t b) { return b == 0; });
}

std::string RunTool(const std::string& command) {
  std::string out;
  if (FILE* pipe = ::popen(command.c_str(), "r")) {
    std::array<char, 256> chunk{};
    while (std::fgets(chunk.data(), static_cast<int>(chunk.size()), pipe)) out += chunk.data();
    ::pclose(pipe);
  }
  return out;
}

bool Have(const char* tool) { return !RunTool(std::string("command -v ") + tool + " 2>/dev/null").empty(); }

template <typename Info>
std::string CaseName(const Info& info) {
  return info.param.name;
}

// --- The partition's size ---

struct SizeCase {
  const char* name;
  Geometry geometry;
  std::uint64_t sectors;
};

class PartitionSize : public ::testing::TestWithParam<SizeCase> {};

TEST_P(PartitionSize, IsWholeCylindersLessTheFirstTrack) {
  EXPECT_EQ(PartitionSectors(GetParam().geometry), GetParam().sectors);
}

INSTANTIATE_TEST_SUITE_P(
    Disks, PartitionSize,
    ::testing::Values(SizeCase{"HundredCylinders", {100 * kCylinder, 512, 255, 63}, 1606437},
                      SizeCase{"RemainderUnused", {101 * kCylinder - 1, 512, 255, 63}, 1606437},
                      SizeCase{"OneCylinder", {kCylinder, 512, 255, 63}, kCylinder - 63},
                      SizeCase{"UnderOneCylinder", {kCylinder - 1, 512, 255, 63}, 0},
                      SizeCase{"NoCapacity", {0, 512, 255, 63}, 0},
                      SizeCase{"NoSectorSize", {100 * kCylinder, 0, 255, 63}, 0},
                      SizeCase{"NoHeads", {100 * kCylinder, 512, 0, 63}, 0},
                      SizeCase{"LargeSectors", {100 * kCylinder, 4096, 255, 63}, 1606437},
                      SizeCase{"TwoTiB", {std::uint64_t{1} << 32, 512, 255, 63}, 267349 * kCylinder - 63},
                      SizeCase{"BeyondTheEntrysReach", {std::uint64_t{1} << 34, 512, 255, 63},
                               267349 * kCylinder - 63}),
    CaseName<::testing::TestParamInfo<SizeCase>>);

// --- Sector 0 ---

TEST(Mbr, HundredCylindersGiveTheEntryTheSignatureAndTheMark) {
  const Geometry g{100 * kCylinder + 500, 512, 255, 63};
  const auto mbr = ComposeMbr(g, 0x1234abcd);
  const Bytes entry(mbr.begin() + 446, mbr.begin() + 462);
  // Not active, CHS 0/1/1 to 99/254/63, type 0x0B, LBA 63, 1 606 437 sectors.
  EXPECT_EQ(entry, (Bytes{0x00, 0x01, 0x01, 0x00, 0x0b, 0xfe, 0x3f, 0x63, 0x3f, 0x00, 0x00, 0x00, 0x25, 0x83, 0x18,
                          0x00}));
  EXPECT_EQ(Le32(&mbr[440]), 0x1234abcdu);
  EXPECT_EQ(mbr[444], 0);
  EXPECT_EQ(mbr[445], 0);
  EXPECT_TRUE(AllZero(Bytes(mbr.begin() + 462, mbr.begin() + 510))) << "one entry only";
  EXPECT_EQ(mbr[510], 0x55);
  EXPECT_EQ(mbr[511], 0xaa);
}

TEST(Mbr, BeyondCylinder1023TheChsEndIsTheLargestAddress) {
  const auto mbr = ComposeMbr({std::uint64_t{1} << 32, 512, 255, 63}, 1);
  EXPECT_EQ(Bytes(mbr.begin() + 447, mbr.begin() + 450), (Bytes{0x01, 0x01, 0x00}));
  EXPECT_EQ(Bytes(mbr.begin() + 451, mbr.begin() + 454), (Bytes{0xfe, 0xff, 0xff}));
  EXPECT_EQ(Le32(&mbr[458]), 267349 * kCylinder - 63);
}

struct MessageCase {
  std::size_t at;
  std::string text;
};

TEST(Mbr, TheLoaderShowsEachMessageFromItsOffset) {
  const auto mbr = ComposeMbr({100 * kCylinder, 512, 255, 63}, 1);
  const std::vector<MessageCase> messages{
      {300, "Invalid partition table"}, {324, "Error loading operating system"}, {355, "Missing operating system"}};
  const Bytes code(mbr.begin(), mbr.begin() + 300);
  for (const MessageCase& m : messages) {
    EXPECT_EQ(std::string(mbr.begin() + static_cast<std::ptrdiff_t>(m.at),
                          mbr.begin() + static_cast<std::ptrdiff_t>(m.at + m.text.size())),
              m.text);
    EXPECT_EQ(mbr[m.at + m.text.size()], 0) << m.text << " ends with a NUL";
    // The loader runs from 0000:0600 and points SI at the text before printing it.
    const std::uint16_t address = static_cast<std::uint16_t>(0x600 + m.at);
    const Bytes load{0xbe, static_cast<std::uint8_t>(address), static_cast<std::uint8_t>(address >> 8)};
    EXPECT_NE(std::search(code.begin(), code.end(), load.begin(), load.end()), code.end()) << m.text;
  }
  EXPECT_EQ(mbr[0], 0xfa) << "the loader starts at byte 0";
  EXPECT_TRUE(AllZero(Bytes(mbr.begin() + 380, mbr.begin() + 440)));
}

TEST(DiskSignature, EveryDriveGetsItsOwnAndNoneIsZero) {
  std::set<std::uint32_t> seen;
  for (int i = 0; i < 2000; ++i) {
    const std::uint32_t signature = NewDiskSignature();
    EXPECT_NE(signature, 0u);
    EXPECT_TRUE(seen.insert(signature).second) << "signature given twice";
  }
}

// --- Writing the layout on image files ---

class ImageDisk : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::block::installBackend(nullptr);
    std::string dir = ::testing::TempDir() + "disklayout_XXXXXX";
    ASSERT_NE(::mkdtemp(dir.data()), nullptr);
    dir_ = dir;
    image_ = dir_ / "disk.img";
  }
  void TearDown() override { fs::remove_all(dir_); }

  void MakeImage(std::uint64_t sectors) {
    std::ofstream(image_, std::ios::binary).close();
    fs::resize_file(image_, sectors * 512);
  }

  fs::path dir_;
  fs::path image_;
};

TEST_F(ImageDisk, ThePartitionTableIsWhatTheToolsRead) {
  MakeImage(100 * kCylinder + 777);
  ASSERT_TRUE(PartitionDiskMbr(image_.string()));
  const Bytes sector0 = FileBytes(image_, 0, 512);
  ASSERT_EQ(sector0.size(), 512u);
  const std::uint32_t signature = Le32(&sector0[440]);
  const auto expected = ComposeMbr({100 * kCylinder + 777, 512, 255, 63}, signature);
  EXPECT_EQ(sector0, Bytes(expected.begin(), expected.end()));
  EXPECT_TRUE(AllZero(FileBytes(image_, 512, 200 * 512))) << "only sector 0 is written";
  EXPECT_EQ(fs::file_size(image_), (100 * kCylinder + 777) * 512);

  if (Have("blkid")) {
    const std::string found = RunTool("blkid -p -o export " + image_.string());
    EXPECT_NE(found.find("PTTYPE=dos"), std::string::npos) << found;
    char uuid[16];
    std::snprintf(uuid, sizeof uuid, "%08x", signature);
    EXPECT_NE(found.find(std::string("PTUUID=") + uuid), std::string::npos) << found;
  }
  if (Have("sfdisk")) {
    const std::string dump = RunTool("sfdisk --dump " + image_.string());
    EXPECT_NE(dump.find("start=          63, size=     1606437, type=b"), std::string::npos) << dump;
  }

  ASSERT_TRUE(PartitionDiskEx(image_.string(), 0));
  EXPECT_NE(Le32(FileBytes(image_, 440, 4).data()), signature) << "a layout written again gets a new signature";
}

struct RefusedDisk {
  const char* name;
  std::uint64_t sectors;  // the image's size; none is made for `missing`
  bool missing;
};

class ImageDiskRefused : public ImageDisk, public ::testing::WithParamInterface<RefusedDisk> {};

TEST_P(ImageDiskRefused, WhenNoPartitionFitsAndNothingIsWritten) {
  if (!GetParam().missing) MakeImage(GetParam().sectors);
  EXPECT_FALSE(PartitionDiskMbr(image_.string()));
  EXPECT_FALSE(PartitionDiskEx(image_.string(), 0));
  if (!GetParam().missing) {
    EXPECT_EQ(fs::file_size(image_), GetParam().sectors * 512);
    EXPECT_TRUE(AllZero(FileBytes(image_, 0, 512)));
  } else {
    EXPECT_FALSE(fs::exists(image_));
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, ImageDiskRefused,
                         ::testing::Values(RefusedDisk{"Empty", 0, false},
                                           RefusedDisk{"UnderOneCylinder", kCylinder - 1, false},
                                           RefusedDisk{"Missing", 0, true}),
                         CaseName<::testing::TestParamInfo<RefusedDisk>>);

TEST_F(ImageDisk, AnImageFileHasNoVolume) {
  MakeImage(100 * kCylinder);
  ASSERT_TRUE(PartitionDiskMbr(image_.string()));
  VolumeRef letter{"unchanged", "kept"};
  EXPECT_EQ(FindDriveLetter(image_.string(), letter), 0);
  EXPECT_EQ(letter, (VolumeRef{"unchanged", "kept"}));
}

// --- On a loop device, where the machine allows one ---

TEST_F(ImageDisk, OnALoopDeviceTheTableReachesTheImage) {
  if (::geteuid() != 0 || !Have("losetup")) GTEST_SKIP() << "needs root and losetup";
  MakeImage(100 * kCylinder);
  std::string loop = RunTool("losetup --find --show " + image_.string() + " 2>/dev/null");
  while (!loop.empty() && loop.back() == '\n') loop.pop_back();
  if (loop.rfind("/dev/loop", 0) != 0) GTEST_SKIP() << "no loop device could be attached here";
  const bool written = PartitionDiskMbr(loop);
  RunTool("losetup -d " + loop);
  ASSERT_TRUE(written);
  const Bytes sector0 = FileBytes(image_, 0, 512);
  const auto expected = ComposeMbr({100 * kCylinder, 512, 255, 63}, Le32(&sector0[440]));
  EXPECT_EQ(sector0, Bytes(expected.begin(), expected.end()));
}

// --- Through the emulated drive ---

class EmulatedDisk : public ImageDisk {
 protected:
  void SetUp() override {
    ImageDisk::SetUp();
    drivesim::installLine(line_);
  }
  void TearDown() override {
    drivesim::installLine(nullptr);
    ImageDisk::TearDown();
  }

  drivesim::Drive& Add(std::uint64_t sectors, void (*adjust)(drivesim::DriveConfig&) = nullptr) {
    drivesim::DriveConfig config = drivesim::DriveConfig::ownUsb(kDrivePath);
    config.sectorCount = sectors;
    config.imageFile = image_.string();
    if (adjust != nullptr) adjust(config);
    return line_->addDrive(config);
  }

  std::shared_ptr<drivesim::Line> line_ = std::make_shared<drivesim::Line>();
  platform::clock::ScopedFastClock clock_;
};

TEST_F(EmulatedDisk, TheLayoutLandsInTheDrivesImageAndItsVolumeAppears) {
  drivesim::Drive& drive = Add(100 * kCylinder + 1234, [](drivesim::DriveConfig& c) { c.volumeAppearsAfter = 2; });
  ASSERT_TRUE(PartitionDiskEx(kDrivePath, 0));
  const Bytes sector0 = drive.userSectors(0, 1);
  const auto expected = ComposeMbr({100 * kCylinder + 1234, 512, 255, 63}, Le32(&sector0[440]));
  EXPECT_EQ(sector0, Bytes(expected.begin(), expected.end()));
  EXPECT_EQ(FileBytes(image_, 0, 512), sector0);
  EXPECT_EQ(drive.storedSectorCount(), 1u);

  VolumeRef letter;
  EXPECT_EQ(FindDriveLetter(kDrivePath, letter), 0);
  EXPECT_EQ(FindDriveLetter(kDrivePath, letter), 0);
  ASSERT_EQ(FindDriveLetter(kDrivePath, letter), 1);
  EXPECT_EQ(letter.node, std::string(kDrivePath) + "-part1");

  VolumeHandle handle = OpenDriveLetter(letter);
  ASSERT_TRUE(handle);
  EXPECT_TRUE(LockVolume(handle));
  EXPECT_TRUE(DismountVolume(handle));
  EXPECT_TRUE(CloseDriveHandle(handle));
  EXPECT_FALSE(handle);
  EXPECT_FALSE(CloseDriveHandle(handle)) << "the invalid handle does not close";
  EXPECT_FALSE(LockVolume(handle));
  EXPECT_FALSE(DismountVolume(handle));
}

struct EmulatedRefusal {
  const char* name;
  std::uint64_t sectors;
  void (*adjust)(drivesim::DriveConfig&);
  bool tableWritten;  // sector 0 holds the table afterwards
};

class EmulatedDiskRefused : public EmulatedDisk, public ::testing::WithParamInterface<EmulatedRefusal> {};

TEST_P(EmulatedDiskRefused, FailsTheLayoutAndFindsNoVolume) {
  drivesim::Drive& drive = Add(GetParam().sectors, GetParam().adjust);
  EXPECT_FALSE(PartitionDiskEx(kDrivePath, 0));
  const Bytes sector0 = drive.userSectors(0, 1);
  EXPECT_EQ(sector0[510] == 0x55 && sector0[511] == 0xaa, GetParam().tableWritten);
  VolumeRef letter;
  EXPECT_EQ(FindDriveLetter(kDrivePath, letter), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, EmulatedDiskRefused,
    ::testing::Values(
        EmulatedRefusal{"UnderOneCylinder", kCylinder - 1, nullptr, false},
        EmulatedRefusal{"WriteErrorAtSectorZero", 100 * kCylinder,
                        [](drivesim::DriveConfig& c) { c.lbaWriteErrors = {0}; }, false},
        EmulatedRefusal{"SystemDisk", 100 * kCylinder, [](drivesim::DriveConfig& c) { c.systemDisk = true; }, false},
        EmulatedRefusal{"RereadBusy", 100 * kCylinder, [](drivesim::DriveConfig& c) { c.rescanBusy = true; }, true}),
    CaseName<::testing::TestParamInfo<EmulatedRefusal>>);

TEST_F(EmulatedDisk, AnUnpluggedDriveIsNotLaidOut) {
  drivesim::Drive& drive = Add(100 * kCylinder);
  drive.unplug();
  EXPECT_FALSE(PartitionDiskMbr(kDrivePath));
  EXPECT_FALSE(PartitionDiskMbr("/dev/no-such-drive"));
  EXPECT_EQ(drive.storedSectorCount(), 0u);
}

TEST_F(EmulatedDisk, AVolumeThatCannotBeLockedOpensButDoesNotLock) {
  Add(100 * kCylinder, [](drivesim::DriveConfig& c) { c.volumeLockFails = true; });
  ASSERT_TRUE(PartitionDiskMbr(kDrivePath));
  VolumeRef letter;
  ASSERT_EQ(FindDriveLetter(kDrivePath, letter), 1);
  VolumeHandle handle = OpenDriveLetter(letter);
  ASSERT_TRUE(handle);
  EXPECT_FALSE(LockVolume(handle));
  EXPECT_TRUE(CloseDriveHandle(handle));

  EXPECT_FALSE(OpenDriveLetter(VolumeRef{}));
  EXPECT_FALSE(OpenDriveLetter(VolumeRef{"/dev/no-such-volume", ""}));
}

}  // namespace
}  // namespace devlib
