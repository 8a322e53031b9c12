// The FAT32 formatter: its layout rules, the sectors it writes, what it does
// with every failing write, and whole formats of sparse image files and a loop
// device, each checked with fsck.fat -n and mtools.

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "devlib/disk_layout.h"
#include "devlib/fat32_format.h"
#include "devlib/port_io.h"
#include "drivesim/line.h"
#include "platform/block_io.h"
#include "platform/clock.h"
#include "platform/debug.h"

namespace devlib::testing {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;
using Sector = std::array<std::uint8_t, 512>;

constexpr std::uint64_t kCylinder = 255 * 63;
constexpr std::uint64_t kPartitionOffsetBytes = 63 * 512;

template <typename Case>
  requires requires(const Case& c) { std::string(c.name); }
void PrintTo(const Case& c, std::ostream* out) {
  *out << c.name;
}

template <typename Case>
std::string CaseName(const ::testing::TestParamInfo<Case>& info) {
  return info.param.name;
}

std::uint32_t U32At(std::span<const std::uint8_t> bytes, std::size_t at) {
  return static_cast<std::uint32_t>(bytes[at] | bytes[at + 1] << 8 | bytes[at + 2] << 16 | bytes[at + 3] << 24);
}

std::string Padded(const std::string& label) {
  const auto padded = PaddedVolumeLabel(label);
  return std::string(padded.begin(), padded.end());
}

// ---------------------------------------------------------------------------
// The rules by themselves.

struct VolumeIdCase {
  const char* name;
  LocalTime time;
  std::uint32_t id;
};

class VolumeIdTest : public ::testing::TestWithParam<VolumeIdCase> {};

TEST_P(VolumeIdTest, SumsDateAndTimeIntoTwoWords) {
  EXPECT_EQ(MakeVolumeId(GetParam().time), GetParam().id);
}

INSTANTIATE_TEST_SUITE_P(Times, VolumeIdTest,
                         ::testing::Values(VolumeIdCase{"Afternoon", {2024, 3, 5, 14, 7, 9, 870}, 0x15EF0C5C},
                                           VolumeIdCase{"NewYear", {2000, 1, 1, 0, 0, 0, 0}, 0x07D00101},
                                           VolumeIdCase{"LastMoment", {2099, 12, 31, 23, 59, 59, 999}, 0x1F6E4782},
                                           // The high word's sum passes 16 bits.
                                           VolumeIdCase{"Wraps", {65000, 1, 1, 23, 59, 0, 0}, 0x15230101}),
                         CaseName<VolumeIdCase>);

struct ClusterSizeCase {
  const char* name;
  std::uint64_t sectors;
  std::uint32_t spc;
};

class ClusterSizeTest : public ::testing::TestWithParam<ClusterSizeCase> {};

TEST_P(ClusterSizeTest, FollowsTheSizeInWholeMiB) {
  EXPECT_EQ(AutoSectorsPerCluster(GetParam().sectors, 512), GetParam().spc);
}

constexpr std::uint64_t kMiB = 2048;  // sectors

INSTANTIATE_TEST_SUITE_P(
    Thresholds, ClusterSizeTest,
    ::testing::Values(ClusterSizeCase{"Mib500", 500 * kMiB, 1}, ClusterSizeCase{"Mib512Plus", 513 * kMiB - 1, 1},
                      ClusterSizeCase{"Mib513", 513 * kMiB, 8}, ClusterSizeCase{"Mib8192", 8193 * kMiB - 1, 8},
                      ClusterSizeCase{"Mib8193", 8193 * kMiB, 16}, ClusterSizeCase{"Mib16000", 16000 * kMiB, 16},
                      ClusterSizeCase{"Mib16384", 16385 * kMiB - 1, 16}, ClusterSizeCase{"Mib16385", 16385 * kMiB, 32},
                      ClusterSizeCase{"Mib32768", 32769 * kMiB - 1, 32}, ClusterSizeCase{"Mib32769", 32769 * kMiB, 64}),
    CaseName<ClusterSizeCase>);

TEST(ClusterSize, SizeHelpersWithoutASectorSizeGiveNothingUsable) {
  EXPECT_EQ(AutoSectorsPerCluster(500 * kMiB, 0), 0u);
  EXPECT_EQ(get_spc(8, 0), 0u);
  EXPECT_EQ(get_spc(8, 512), 16u);
  EXPECT_EQ(get_fat_size_sectors(100000, 32, 0, 0, 0), 1u);
}

// Layouts worked out by hand from the rules; the FAT is sized by
// 4 (T - 32) / (spc 512 + 8) + 1 unless that leaves it too short.
struct LayoutCase {
  const char* name;
  std::uint64_t totalSectors;
  std::uint32_t spc;
  std::uint32_t fatSectors;
  std::uint32_t clusters;
};

class LayoutTest : public ::testing::TestWithParam<LayoutCase> {};

TEST_P(LayoutTest, PlansTheVolumeOverThePartition) {
  const LayoutCase& c = GetParam();
  const Fat32Plan plan = PlanFat32Layout(c.totalSectors, 512, 0, 63, 255, 63);
  ASSERT_TRUE(plan.layout) << plan.refusal;
  const Fat32Layout& layout = *plan.layout;
  EXPECT_EQ(layout.totalSectors, c.totalSectors);
  EXPECT_EQ(layout.sectorsPerCluster, c.spc);
  EXPECT_EQ(layout.fatSectors, c.fatSectors);
  EXPECT_EQ(layout.clusterCount, c.clusters);
  EXPECT_EQ(layout.freeClusters, c.clusters - 1);
  EXPECT_EQ(layout.dataStart(), 32 + 2 * c.fatSectors);
  // The FAT maps every cluster plus the two reserved entries.
  EXPECT_GE(std::uint64_t{layout.fatSectors} * 128, std::uint64_t{layout.clusterCount} + 2);
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, LayoutTest,
    ::testing::Values(LayoutCase{"Drive16000MiB", 32756472, 16, 15979, 2045280},
                      LayoutCase{"Smallest", 5 * kCylinder - 63, 1, 618, 78994},
                      // The size rule gives 8534 sectors here: one entry short.
                      LayoutCase{"ShortFatGrown", 1089 * kCylinder - 63, 16, 8535, 1092351},
                      LayoutCase{"TwoTiB", 267349 * kCylinder - 63, 64, 524160, 67092394}),
    CaseName<LayoutCase>);

struct RefusalCase {
  const char* name;
  std::uint64_t totalSectors;
  std::uint32_t bytesPerSector;
  std::uint32_t spc;
  const char* text;
};

class RefusalTest : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(RefusalTest, GivesNoLayoutAndSaysWhy) {
  const RefusalCase& c = GetParam();
  const Fat32Plan plan = PlanFat32Layout(c.totalSectors, c.bytesPerSector, c.spc, 63, 255, 63);
  EXPECT_FALSE(plan.layout);
  EXPECT_EQ(plan.refusal, c.text);
}

constexpr const char* kSectorSizeText =
    "This version of fat32format only supports hard disks with 512 bytes per sector.\n";
constexpr const char* kTooSmallText = "This drive is too small for FAT32 - there must be at least 64K clusters\n";
constexpr const char* kTooBigText = "This drive is too big for FAT32 - max 2TB supported\n";

INSTANTIATE_TEST_SUITE_P(
    Inputs, RefusalTest,
    ::testing::Values(
        RefusalCase{"Sectors4096", 1 << 24, 4096, 0, kSectorSizeText},
        RefusalCase{"SectorSizeZero", 1 << 24, 0, 0, kSectorSizeText},
        RefusalCase{"FourCylinders", 4 * kCylinder - 63, 512, 0, kTooSmallText},
        RefusalCase{"Mib30", 30 * kMiB, 512, 0, kTooSmallText},
        // Enough sectors, but with 4 KiB clusters too few clusters.
        RefusalCase{"FewClusters", 5 * kCylinder - 63, 512, 8, kTooSmallText},
        RefusalCase{"AllOnes", 0xFFFFFFFF, 512, 0, kTooBigText},
        RefusalCase{"FourTiB", std::uint64_t{1} << 33, 512, 0, kTooBigText},
        RefusalCase{"OneSectorClustersOnTwoTiB", 267349 * kCylinder - 63, 512, 1,
                    "This drive has more than 2^28 clusters, try to specify a larger cluster size\n"},
        RefusalCase{"ClusterNotPowerOfTwo", 1 << 24, 512, 3,
                    "The cluster size must be a power of two of at most 128 sectors\n"},
        // The boot sector keeps the cluster size in one byte.
        RefusalCase{"ClusterOver128", 1 << 24, 512, 256,
                    "The cluster size must be a power of two of at most 128 sectors\n"}),
    CaseName<RefusalCase>);

struct LabelCase {
  const char* name;
  std::string label;
  LabelCheck check;
};

class LabelTest : public ::testing::TestWithParam<LabelCase> {};

TEST_P(LabelTest, ChecksTheCharactersWritten) {
  EXPECT_EQ(CheckVolumeLabel(GetParam().label), GetParam().check);
}

INSTANTIATE_TEST_SUITE_P(
    Labels, LabelTest,
    ::testing::Values(LabelCase{"Empty", "", LabelCheck::Ok}, LabelCase{"Short", "ABCDE", LabelCheck::Ok},
                      LabelCase{"Eleven", "ABCDEFGHIJK", LabelCheck::Ok},
                      LabelCase{"InnerBlankAndLowercase", "SSD disk", LabelCheck::Ok},
                      LabelCase{"Punctuation", "A!#$%&'()-@", LabelCheck::Ok},
                      // Only the first 11 characters are written, and checked.
                      LabelCase{"Twelve", "ABCDEFGHIJKL", LabelCheck::Ok},
                      LabelCase{"ForbiddenPastTheEleventh", "ABCDEFGHIJK/:*", LabelCheck::Ok},
                      LabelCase{"ForbiddenAtTheEleventh", "ABCDEFGHIJ/K", LabelCheck::ForbiddenCharacter},
                      LabelCase{"Dot", "DISK.1", LabelCheck::ForbiddenCharacter},
                      LabelCase{"Star", "A*", LabelCheck::ForbiddenCharacter},
                      LabelCase{"Quote", "A\"B", LabelCheck::ForbiddenCharacter},
                      LabelCase{"Backslash", "A\\B", LabelCheck::ForbiddenCharacter},
                      LabelCase{"Bar", "A|B", LabelCheck::ForbiddenCharacter},
                      LabelCase{"Control", "A\x1f", LabelCheck::ForbiddenCharacter},
                      LabelCase{"Nul", std::string("A\0B", 3), LabelCheck::ForbiddenCharacter},
                      LabelCase{"Delete", "A\x7f", LabelCheck::ForbiddenCharacter},
                      LabelCase{"DeletedMark", "\xe5" "ABC", LabelCheck::ForbiddenCharacter},
                      LabelCase{"HighByte", "CAF\xc9", LabelCheck::ForbiddenCharacter},
                      LabelCase{"LeadingBlank", " AB", LabelCheck::ForbiddenCharacter}),
    CaseName<LabelCase>);

TEST(Label, IsBlankPaddedAndAnEmptyOneReadsNoName) {
  EXPECT_EQ(Padded("ABCDE"), "ABCDE      ");
  EXPECT_EQ(Padded("ABCDEFGHIJK"), "ABCDEFGHIJK");
  EXPECT_EQ(Padded("ABCDEFGHIJKLMN"), "ABCDEFGHIJK");
  EXPECT_EQ(Padded(""), "NO NAME    ");
}

// ---------------------------------------------------------------------------
// The sectors, byte for byte, for the 16 000 MiB drive and a fixed clock.

// Every byte not listed must be 0.
void ExpectBytes(std::span<const std::uint8_t> sector, const std::map<std::size_t, Bytes>& expected) {
  Bytes want(sector.size(), 0);
  for (const auto& [offset, bytes] : expected) std::copy(bytes.begin(), bytes.end(), want.begin() + offset);
  for (std::size_t i = 0; i < sector.size(); ++i) {
    EXPECT_EQ(sector[i], want[i]) << "byte " << i;
  }
}

Bytes Text(const std::string& text) { return Bytes(text.begin(), text.end()); }

Fat32Layout Layout16000MiB() {
  const Fat32Plan plan = PlanFat32Layout(32756472, 512, 0, 63, 255, 63);
  EXPECT_TRUE(plan.layout);
  return plan.layout.value_or(Fat32Layout{});
}

TEST(Sectors, BootSectorHoldsTheVolumeSizeAndABlankPaddedLabel) {
  Sector sector;
  sector.fill(0xCC);
  FillFat32BootSector(Layout16000MiB(), 0x15EF0C5C, "ABCDE", sector);
  ExpectBytes(sector, {{0, {0xEB, 0x5A, 0x90}},
                       {3, Text("MSWIN4.1")},
                       {11, {0x00, 0x02, 16, 32, 0, 2}},
                       {21, {0xF8}},
                       {24, {63, 0, 255, 0, 63, 0, 0, 0}},
                       {32, {0xF8, 0xD2, 0xF3, 0x01}},  // 32 756 472: the whole partition
                       {36, {0x6B, 0x3E, 0, 0}},        // 15 979
                       {44, {2, 0, 0, 0, 1, 0, 6, 0}},
                       {64, {0x80, 0, 0x29, 0x5C, 0x0C, 0xEF, 0x15}},
                       {71, Text("ABCDE      FAT32   ")},
                       {510, {0x55, 0xAA}}});
}

TEST(Sectors, FsInfoCountsTheClustersThePartitionHolds) {
  Sector sector;
  sector.fill(0xCC);
  FillFat32FsInfo(Layout16000MiB(), sector);
  ExpectBytes(sector, {{0, {0x52, 0x52, 0x61, 0x41}},
                       {484, {0x72, 0x72, 0x41, 0x61}},
                       {488, {0x5F, 0x35, 0x1F, 0x00}},  // 2 045 279: all but the root's cluster
                       {492, {3, 0, 0, 0}},
                       {508, {0, 0, 0x55, 0xAA}}});
}

TEST(Sectors, FirstFatSectorEndsTheRootChain) {
  Sector sector;
  sector.fill(0xCC);
  FillFat32FirstFatSector(sector);
  ExpectBytes(sector, {{0, {0xF8, 0xFF, 0xFF, 0x0F, 0xFF, 0xFF, 0xFF, 0x0F, 0xFF, 0xFF, 0xFF, 0x0F}}});
}

// ---------------------------------------------------------------------------
// The write sequence on a device in memory that can fail on cue.

class MemoryDevice final : public platform::block::BlockDevice {
 public:
  explicit MemoryDevice(platform::block::Geometry geometry) : geometry_(geometry) {}

  platform::block::Geometry geometry() const override { return geometry_; }

  bool read(std::uint64_t lba, std::span<std::uint8_t> out) override {
    ++reads;
    if (reads == failRead || !inRange(lba, out.size())) return false;
    for (std::size_t i = 0; i < out.size() / 512; ++i) {
      const auto found = sectors.find(lba + i);
      std::copy_n(found != sectors.end() ? found->second.begin() : Sector{}.begin(), 512, out.begin() + i * 512);
      if (lba + i == nonZeroAt) out[i * 512 + 100] = 0x01;
    }
    return true;
  }

  bool write(std::uint64_t lba, std::span<const std::uint8_t> in) override {
    ++writes;
    if (writes == failWrite || !inRange(lba, in.size())) return false;
    for (std::size_t i = 0; i < in.size() / 512; ++i) {
      std::copy_n(in.begin() + i * 512, 512, sectors[lba + i].begin());
    }
    written += in.size();
    return true;
  }

  bool flush() override { return !failFlush; }
  std::uint64_t bytesWritten() const override { return written; }

  Bytes sector(std::uint64_t lba) const {
    const auto found = sectors.find(lba);
    return found != sectors.end() ? Bytes(found->second.begin(), found->second.end()) : Bytes(512, 0);
  }
  std::uint64_t lastWritten() const { return sectors.empty() ? 0 : sectors.rbegin()->first; }

  int failWrite = 0;  // the n-th write fails (from 1)
  int failRead = 0;
  std::uint64_t nonZeroAt = ~std::uint64_t{0};
  bool failFlush = false;
  int reads = 0;
  int writes = 0;
  std::map<std::uint64_t, Sector> sectors;

 private:
  bool inRange(std::uint64_t lba, std::size_t bytes) const {
    return bytes % 512 == 0 && lba + bytes / 512 <= geometry_.sectorCount;
  }

  platform::block::Geometry geometry_;
  std::uint64_t written = 0;
};

constexpr platform::block::Geometry kSmallest{5 * kCylinder, 512, 255, 63};
constexpr std::uint64_t kSmallestEnd = 5 * kCylinder;  // the partition's end
constexpr std::uint32_t kSmallestFat = 618;
constexpr std::uint64_t kSmallestRoot = 63 + 32 + 2 * kSmallestFat;

class FormatSequenceTest : public ::testing::Test {
 protected:
  platform::clock::ScopedFastClock clock_;
  platform::debug::CaptureSink debug_;
};

TEST_F(FormatSequenceTest, WritesTheVolumeAndNothingElse) {
  MemoryDevice device(kSmallest);
  ASSERT_EQ(FormatFat32Volume(device, 0, "ABCDE", 63), 1);

  const Bytes boot = device.sector(63);
  EXPECT_EQ(boot, device.sector(63 + 6));
  EXPECT_EQ(U32At(boot, 32), kSmallestEnd - 63);
  EXPECT_EQ(std::string(boot.begin() + 71, boot.begin() + 82), "ABCDE      ");
  EXPECT_EQ(device.sector(64), device.sector(63 + 7));
  EXPECT_EQ(U32At(device.sector(64), 488), 78994u - 1);
  EXPECT_EQ(device.sector(63 + 32), device.sector(63 + 32 + kSmallestFat));
  EXPECT_EQ(U32At(device.sector(63 + 32), 8), 0x0FFFFFFFu);
  const Bytes entry = device.sector(kSmallestRoot);
  EXPECT_EQ(std::string(entry.begin(), entry.begin() + 11), "ABCDE      ");
  EXPECT_EQ(entry[11], 0x08);
  EXPECT_TRUE(std::all_of(entry.begin() + 12, entry.end(), [](std::uint8_t b) { return b == 0; }));

  // Reserved sectors, both FATs and the root cluster, and not one sector more.
  EXPECT_EQ(device.sectors.begin()->first, 63u);
  EXPECT_EQ(device.lastWritten(), kSmallestRoot);  // one-sector clusters
  EXPECT_EQ(device.sectors.size(), 32 + 2 * kSmallestFat + 1);
}

TEST_F(FormatSequenceTest, AnEmptyLabelLeavesTheRootDirectoryEmpty) {
  MemoryDevice device(kSmallest);
  ASSERT_EQ(FormatFat32Volume(device, 0, "", 63), 1);
  const Bytes boot = device.sector(63);
  EXPECT_EQ(std::string(boot.begin() + 71, boot.begin() + 82), "NO NAME    ");
  EXPECT_EQ(device.sector(kSmallestRoot), Bytes(512, 0));
}

TEST_F(FormatSequenceTest, EveryFailingWriteEndsTheFormatInsideThePartition) {
  MemoryDevice clean(kSmallest);
  ASSERT_EQ(FormatFat32Volume(clean, 0, "ABCDE", 63), 1);
  const int zeroWrites = (32 + 2 * kSmallestFat + 1 + 127) / 128;
  ASSERT_EQ(clean.writes, zeroWrites + 7);  // boot, FSInfo, their copies, two FATs, the label

  for (int failing = 1; failing <= clean.writes; ++failing) {
    SCOPED_TRACE("write " + std::to_string(failing));
    MemoryDevice device(kSmallest);
    device.failWrite = failing;
    EXPECT_EQ(FormatFat32Volume(device, 0, "ABCDE", 63), 0);
    EXPECT_EQ(device.writes, failing);  // nothing after the failure
    EXPECT_LT(device.lastWritten(), kSmallestEnd);
    // The boot sector goes out only after the whole area has been cleared.
    if (failing <= zeroWrites) {
      EXPECT_EQ(device.sector(63), Bytes(512, 0));
    }
  }
}

struct ReadFaultCase {
  const char* name;
  int failRead;
  std::uint64_t nonZeroAt;
  bool failFlush;
  int writes;  // made before the format gives up
};

class ReadFaultTest : public FormatSequenceTest, public ::testing::WithParamInterface<ReadFaultCase> {};

TEST_P(ReadFaultTest, FailsTheFormat) {
  const ReadFaultCase& c = GetParam();
  MemoryDevice device(kSmallest);
  device.failRead = c.failRead;
  device.nonZeroAt = c.nonZeroAt;
  device.failFlush = c.failFlush;
  EXPECT_EQ(FormatFat32Volume(device, 0, "ABCDE", 63), 0);
  EXPECT_EQ(device.writes, c.writes);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, ReadFaultTest,
    ::testing::Values(ReadFaultCase{"ZeroReadBackFails", 2, ~std::uint64_t{0}, false, 2},
                      ReadFaultCase{"ZeroReadsBackNonZero", 0, 63 + 200, false, 2},
                      // The label sector is read before it is written.
                      ReadFaultCase{"LabelReadFails", 11, ~std::uint64_t{0}, false, 16},
                      ReadFaultCase{"FlushFails", 0, ~std::uint64_t{0}, true, 17}),
    CaseName<ReadFaultCase>);

TEST_F(FormatSequenceTest, ZeroingWritesBlocksOf128AndStopsOnRequest) {
  MemoryDevice device(kSmallest);
  ASSERT_EQ(zero_sectors_LBA(device, 10, 512, 300), 1);
  EXPECT_EQ(device.writes, 3);
  EXPECT_EQ(device.sectors.begin()->first, 10u);
  EXPECT_EQ(device.lastWritten(), 309u);

  std::stop_source stop;
  stop.request_stop();
  MemoryDevice stopped(kSmallest);
  EXPECT_EQ(zero_sectors_LBA(stopped, 10, 512, 300, stop.get_token()), 0);
  EXPECT_EQ(stopped.writes, 0);
}

TEST_F(FormatSequenceTest, LabelEntryKeepsTheRestOfTheSector) {
  MemoryDevice device(kSmallest);
  Sector before;
  before.fill(0x5A);
  device.sectors[500] = before;
  ASSERT_EQ(WriteVolumeLabelEntry(device, "AB", 500), 1);
  const Bytes after = device.sector(500);
  EXPECT_EQ(std::string(after.begin(), after.begin() + 11), "AB         ");
  EXPECT_EQ(after[11], 0x08);
  EXPECT_TRUE(std::all_of(after.begin() + 12, after.end(), [](std::uint8_t b) { return b == 0x5A; }));
}

struct DeviceRefusalCase {
  const char* name;
  platform::block::Geometry geometry;
  std::string label;
  const char* text;
};

class DeviceRefusalTest : public FormatSequenceTest, public ::testing::WithParamInterface<DeviceRefusalCase> {};

TEST_P(DeviceRefusalTest, WritesNothing) {
  const DeviceRefusalCase& c = GetParam();
  MemoryDevice device(c.geometry);
  EXPECT_EQ(FormatFat32Volume(device, 0, c.label, 63), 0);
  EXPECT_EQ(device.writes, 0);
  EXPECT_TRUE(debug_.contains(c.text));
}

INSTANTIATE_TEST_SUITE_P(
    Devices, DeviceRefusalTest,
    ::testing::Values(
        DeviceRefusalCase{"NoSectors", {0, 512, 255, 63}, "ABC", "Failed to get parition info"},
        DeviceRefusalCase{"UnderOneCylinder", {kCylinder - 1, 512, 255, 63}, "ABC", "Failed to get parition info"},
        DeviceRefusalCase{"OneCylinder", {kCylinder, 512, 255, 63}, "ABC", kTooSmallText},
        DeviceRefusalCase{"FourCylinders", {4 * kCylinder, 512, 255, 63}, "ABC", kTooSmallText},
        DeviceRefusalCase{"SectorSizeZero", {1 << 24, 0, 255, 63}, "ABC", "Failed to get device geometry"},
        DeviceRefusalCase{"Sectors4096", {1 << 24, 4096, 255, 63}, "ABC", kSectorSizeText},
        DeviceRefusalCase{"NoHeads", {1 << 24, 512, 0, 63}, "ABC", "Failed to get device geometry"},
        DeviceRefusalCase{"ForbiddenLabel", kSmallest, "DISK:1", "Volume label holds a character FAT does not allow"},
        DeviceRefusalCase{"ForbiddenInTheKeptPart", kSmallest, "ABCDEFGHIJ:LONG",
                          "Volume label holds a character FAT does not allow"}),
    CaseName<DeviceRefusalCase>);

// ---------------------------------------------------------------------------
// Whole formats checked with the standard tools.

std::optional<std::string> FindTool(const std::string& name) {
  std::string path = std::getenv("PATH") != nullptr ? std::getenv("PATH") : "";
  path += ":/usr/sbin:/sbin";
  std::stringstream dirs(path);
  for (std::string dir; std::getline(dirs, dir, ':');) {
    const fs::path candidate = fs::path(dir.empty() ? "." : dir) / name;
    if (access(candidate.c_str(), X_OK) == 0) return candidate.string();
  }
  return std::nullopt;
}

struct CommandRun {
  int exitCode = -1;
  std::string output;
};

CommandRun RunCommand(const std::string& command) {
  CommandRun run;
  FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return run;
  char buffer[4096];
  for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) run.output.append(buffer, got);
  const int status = pclose(pipe);
  run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

struct Tools {
  std::string fsck, mdir, minfo;
};

constexpr const char* kToolsMissing = "fsck.fat or mtools missing (scripts/install-deps installs them)";

std::optional<Tools> FindTools() {
  const auto fsck = FindTool("fsck.fat");
  const auto mdir = FindTool("mdir");
  const auto minfo = FindTool("minfo");
  if (!fsck || !mdir || !minfo) return std::nullopt;
  return Tools{*fsck, *mdir, *minfo};
}

class TempDir {
 public:
  TempDir() {
    std::string pattern = (fs::temp_directory_path() / "fat32-XXXXXX").string();
    if (mkdtemp(pattern.data()) != nullptr) path_ = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    if (!path_.empty()) fs::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

void MakeSparseImage(const fs::path& path, std::uint64_t bytes) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(ftruncate(fd, static_cast<off_t>(bytes)), 0);
  close(fd);
}

// The first offset at or after `from` that holds data; none for a hole to the end.
std::optional<std::uint64_t> DataFrom(const fs::path& image, std::uint64_t from) {
  const int fd = open(image.c_str(), O_RDONLY);
  if (fd < 0) return std::nullopt;
  const off_t data = lseek(fd, static_cast<off_t>(from), SEEK_DATA);
  close(fd);
  return data < 0 ? std::nullopt : std::optional<std::uint64_t>(static_cast<std::uint64_t>(data));
}

// The partition as a file of its own, holes kept: fsck.fat takes no offset,
// and reading a 2 TiB image through would take minutes.
bool CutOutPartition(const fs::path& image, std::uint64_t sectors, const fs::path& out) {
  const int in = open(image.c_str(), O_RDONLY);
  const int to = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  const std::uint64_t length = sectors * 512;
  bool ok = in >= 0 && to >= 0 && ftruncate(to, static_cast<off_t>(length)) == 0;
  const auto begin = static_cast<off_t>(kPartitionOffsetBytes);
  const auto end = static_cast<off_t>(kPartitionOffsetBytes + length);
  std::vector<char> buffer(1 << 20);
  for (off_t at = begin; ok && at < end;) {
    const off_t data = lseek(in, at, SEEK_DATA);
    if (data < 0 || data >= end) break;
    const off_t hole = std::min(lseek(in, data, SEEK_HOLE), end);
    for (off_t pos = data; ok && pos < hole;) {
      const auto chunk = static_cast<std::size_t>(std::min<off_t>(hole - pos, static_cast<off_t>(buffer.size())));
      const ssize_t got = pread(in, buffer.data(), chunk, pos);
      ok = got > 0 && pwrite(to, buffer.data(), static_cast<std::size_t>(got), pos - begin) == got;
      pos += std::max<ssize_t>(got, 0);
    }
    at = hole;
  }
  if (in >= 0) close(in);
  if (to >= 0) close(to);
  return ok;
}

// The number in mdir's "1 067 147 264 bytes free" line.
std::optional<std::uint64_t> FreeBytes(const std::string& listing) {
  std::istringstream lines(listing);
  for (std::string line; std::getline(lines, line);) {
    const auto at = line.find(" bytes free");
    if (at == std::string::npos) continue;
    std::string digits;
    for (char c : line.substr(0, at)) {
      if (c >= '0' && c <= '9') digits += c;
    }
    if (!digits.empty()) return std::stoull(digits);
  }
  return std::nullopt;
}

struct Expected {
  std::string label;
  std::uint32_t spc;
  std::uint32_t totalSectors;  // the partition
  std::uint32_t fatSectors;
  std::uint32_t clusters;
};

// fsck.fat -n on the partition finds nothing to say, and mtools read the
// label, the cluster size and the free space back.
void ExpectCleanVolume(const Tools& tools, const fs::path& image, const Expected& e) {
  const std::string at = "'" + image.string() + "@@" + std::to_string(kPartitionOffsetBytes) + "'";
  const fs::path partition = image.string() + ".partition";
  ASSERT_TRUE(CutOutPartition(image, e.totalSectors, partition));
  const CommandRun fsck = RunCommand(tools.fsck + " -n '" + partition.string() + "'");
  fs::remove(partition);
  EXPECT_EQ(fsck.exitCode, 0) << fsck.output;
  // Its banner and the summary line, no complaint between them.
  EXPECT_EQ(std::count(fsck.output.begin(), fsck.output.end(), '\n'), 2) << fsck.output;
  EXPECT_NE(fsck.output.find("/" + std::to_string(e.clusters) + " clusters"), std::string::npos) << fsck.output;

  const CommandRun minfo = RunCommand(tools.minfo + " -i " + at + " ::");
  EXPECT_EQ(minfo.exitCode, 0) << minfo.output;
  for (const std::string& line : std::vector<std::string>{"cluster size: " + std::to_string(e.spc) + " sectors", "big size: " + std::to_string(e.totalSectors) +
        " sectors", "Big fatlen=" + std::to_string(e.fatSectors), "hidden sectors: 63",
        "disk label=\"" + Padded(e.label) + "\"", "free clusters=" + std::to_string(e.clusters - 1)}) {
    EXPECT_NE(minfo.output.find(line), std::string::npos) << line << "\n" << minfo.output;
  }

  const CommandRun mdir = RunCommand(tools.mdir + " -i " + at + " ::");
  EXPECT_EQ(mdir.exitCode, 0) << mdir.output;
  const std::string volume =
      e.label.empty() ? " Volume in drive : has no label" : " Volume in drive : is " + Padded(e.label);
  EXPECT_NE(mdir.output.find(volume), std::string::npos) << mdir.output;
  EXPECT_EQ(FreeBytes(mdir.output), std::uint64_t{e.clusters - 1} * e.spc * 512) << mdir.output;
}

struct SizeCase {
  const char* name;
  std::uint64_t imageSectors;
  Expected expected;
};

// Worked out by hand from the rules, with the partition as the volume.
const SizeCase kSizes[] = {
    {"Smallest", 5 * kCylinder, {"ABCDE", 1, 80262, 618, 78994}},
    {"Below512MiB", 65 * kCylinder, {"lower case", 1, 1044162, 8032, 1028066}},
    {"Above512MiB", 66 * kCylinder, {"", 8, 1060227, 1034, 132265}},
    {"OneGiB", 1 << 21, {"SSD Disk", 8, 2088387, 2036, 260535}},
    {"Below8GiB", 1044 * kCylinder, {"ABCDEFGHIJK", 8, 16771797, 16347, 2092383}},
    {"Above8GiB", 1045 * kCylinder, {"A!#$%&'()-@", 16, 16787862, 8190, 1048215}},
    {"ShortFat", 1089 * kCylinder, {"SHORT FAT", 16, 17494722, 8535, 1092351}},
    {"Below16GiB", 2088 * kCylinder, {"DISK", 16, 33543657, 16363, 2094431}},
    {"Above16GiB", 2089 * kCylinder, {"DISK", 32, 33559722, 8190, 1048228}},
    {"ThirtyTwoGiB", 1 << 26, {"DISK", 32, 67103442, 16375, 2095958}},  // the largest under 32 768 MiB
    {"Above32GiB", 4178 * kCylinder, {"DISK", 64, 67119507, 8192, 1048485}},
    {"TwoTiB", std::uint64_t{1} << 32, {"TWO TIB", 64, 4294961622, 524160, 67092394}},
};

class ImageFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    InitPortIoTable(ProgramKind::Fleetburn);
    ASSERT_FALSE(dir_.path().empty());
  }
  void TearDown() override { drivesim::installLine(nullptr); }

  // An emulated drive of `sectors` whose user data lands in `image`; gives
  // its device path.
  std::string AddDrive(std::uint64_t sectors, const fs::path& image, drivesim::DriveConfig config = {}) {
    config.path = "\\\\?\\usbstor#disk&ven_tolvane#fat32";
    config.sectorCount = sectors;
    config.imageFile = image.string();
    line_->addDrive(config);
    drivesim::installLine(line_);
    return config.path;
  }

  platform::clock::ScopedFastClock clock_;
  platform::debug::CaptureSink debug_;
  TempDir dir_;
  std::shared_ptr<drivesim::Line> line_ = std::make_shared<drivesim::Line>();
  std::optional<Tools> tools_ = FindTools();
};

class ImageFormatTest : public ImageFixture, public ::testing::WithParamInterface<SizeCase> {};

TEST_P(ImageFormatTest, PassesFsckAndShowsTheRulesInMtools) {
  if (!tools_) GTEST_SKIP() << kToolsMissing;
  const SizeCase& c = GetParam();
  const fs::path image = dir_.path() / "disk.img";
  MakeSparseImage(image, c.imageSectors * 512);
  ASSERT_TRUE(FormatFat32(image.string(), c.expected.label, 0)) << ::testing::PrintToString(debug_.lines());
  EXPECT_EQ(fs::file_size(image), c.imageSectors * 512);
  EXPECT_EQ(DataFrom(image, (63 + std::uint64_t{c.expected.totalSectors}) * 512), std::nullopt);
  ExpectCleanVolume(*tools_, image, c.expected);
}

INSTANTIATE_TEST_SUITE_P(Sizes, ImageFormatTest, ::testing::ValuesIn(kSizes), CaseName<SizeCase>);

// The same sizes on an emulated drive whose user data lives in a sparse image.
class EmulatedFormatTest : public ImageFixture, public ::testing::WithParamInterface<SizeCase> {};

TEST_P(EmulatedFormatTest, PassesFsckAndShowsTheRulesInMtools) {
  if (!tools_) GTEST_SKIP() << kToolsMissing;
  const SizeCase& c = GetParam();
  const fs::path image = dir_.path() / "drive.img";
  const std::string path = AddDrive(c.imageSectors, image);
  ASSERT_TRUE(FormatFat32(path, c.expected.label, 0)) << ::testing::PrintToString(debug_.lines());
  EXPECT_EQ(fs::file_size(image), c.imageSectors * 512);
  EXPECT_EQ(DataFrom(image, (63 + std::uint64_t{c.expected.totalSectors}) * 512), std::nullopt);
  ExpectCleanVolume(*tools_, image, c.expected);
}

INSTANTIATE_TEST_SUITE_P(Sizes, EmulatedFormatTest, ::testing::ValuesIn(kSizes), CaseName<SizeCase>);

// The disk format as the station runs it: the layout, then the volume in
// the partition entry just written, to its last sector.
class DiskFormatTest : public ImageFixture {};

TEST_F(DiskFormatTest, VolumeFillsThePartitionEntryExactly) {
  if (!tools_) GTEST_SKIP() << kToolsMissing;
  const fs::path image = dir_.path() / "drive.img";
  const std::string path = AddDrive(1 << 21, image);
  ASSERT_TRUE(PartitionDiskEx(path, 0)) << ::testing::PrintToString(debug_.lines());
  ASSERT_TRUE(FormatFat32(path, "SSD Disk", 0)) << ::testing::PrintToString(debug_.lines());
  const drivesim::Drive* drive = line_->drive(path);
  ASSERT_NE(drive, nullptr);
  const Bytes mbr = drive->userSectors(0, 1);
  const Bytes boot = drive->userSectors(63, 1);
  EXPECT_EQ(U32At(mbr, 446 + 8), 63u);
  EXPECT_EQ(U32At(boot, 28), 63u);
  EXPECT_EQ(U32At(boot, 32), U32At(mbr, 446 + 12));
  ExpectCleanVolume(*tools_, image, {"SSD Disk", 8, 2088387, 2036, 260535});
}

// A label longer than a FAT label is cut to its first 11 characters, in the
// boot sector and in the root directory; what is cut off is not written, so
// a character FAT does not allow there does not matter.
TEST_F(DiskFormatTest, ALongLabelIsCutToElevenCharacters) {
  struct Case {
    std::string given;
    std::string written;
  };
  for (const Case& c : {Case{"FACTORY DISK 2024", "FACTORY DIS"}, Case{"ABCDEFGHIJK/:*", "ABCDEFGHIJK"}}) {
    SCOPED_TRACE(c.given);
    const fs::path image = dir_.path() / "disk.img";
    MakeSparseImage(image, std::uint64_t{1} << 30);
    ASSERT_TRUE(FormatFat32(image.string(), c.given, 0)) << ::testing::PrintToString(debug_.lines());
    EXPECT_TRUE(debug_.contains("Volume label cut to 11 characters: " + c.written));
    std::ifstream bytes(image, std::ios::binary);
    bytes.seekg(static_cast<std::streamoff>(kPartitionOffsetBytes + 71));
    std::string bootLabel(11, '\0');
    bytes.read(bootLabel.data(), 11);
    EXPECT_EQ(bootLabel, c.written);
    if (tools_) ExpectCleanVolume(*tools_, image, {c.written, 8, 2088387, 2036, 260535});
  }
}

// Faults of the drive's medium in the middle of the area the format clears
// (the smallest volume: FAT 1 begins at LBA 63 + 32 + 618).
struct MediumFaultCase {
  const char* name;
  std::vector<std::uint64_t> writeErrors;
  std::vector<std::uint64_t> readErrors;
  std::vector<drivesim::SectorCorruption> corrupted;
  const char* text;
};

class EmulatedFaultTest : public ImageFixture, public ::testing::WithParamInterface<MediumFaultCase> {};

TEST_P(EmulatedFaultTest, FailsBeforeTheBootSectorAndInsideThePartition) {
  const MediumFaultCase& c = GetParam();
  const fs::path image = dir_.path() / "drive.img";
  drivesim::DriveConfig config;
  config.lbaWriteErrors = c.writeErrors;
  config.lbaReadErrors = c.readErrors;
  config.corruptedSectors = c.corrupted;
  const std::string path = AddDrive(kSmallest.sectorCount, image, config);
  EXPECT_FALSE(FormatFat32(path, "DISK", 0));
  EXPECT_TRUE(debug_.contains(c.text));
  // The first blocks were cleared, but no boot sector marks a volume.
  EXPECT_EQ(DataFrom(image, kSmallestEnd * 512), std::nullopt);
  const drivesim::Drive* drive = line_->drive(path);
  ASSERT_NE(drive, nullptr);
  EXPECT_EQ(drive->userSectors(63, 1), Bytes(512, 0));
}

INSTANTIATE_TEST_SUITE_P(
    Faults, EmulatedFaultTest,
    ::testing::Values(MediumFaultCase{"WriteError", {63 + 32 + 618}, {}, {}, "Failed to write"},
                      MediumFaultCase{"ReadError", {}, {63 + 32 + 618}, {}, "Failed to read"},
                      MediumFaultCase{"ReadsBackChanged", {}, {}, {{63 + 32 + 618, 7, 0x0100}},
                                      "Sectors read back not zero"}),
    CaseName<MediumFaultCase>);

// Disks the format refuses: the image stays as it was, all holes.
struct BadDiskCase {
  const char* name;
  std::uint64_t imageBytes;
  std::string label;
};

class BadDiskTest : public ImageFixture, public ::testing::WithParamInterface<BadDiskCase> {};

TEST_P(BadDiskTest, FailsAndWritesNothing) {
  const BadDiskCase& c = GetParam();
  const fs::path image = dir_.path() / "disk.img";
  MakeSparseImage(image, c.imageBytes);
  EXPECT_FALSE(FormatFat32(image.string(), c.label, 0));
  EXPECT_EQ(fs::file_size(image), c.imageBytes);
  EXPECT_EQ(DataFrom(image, 0), std::nullopt);
}

INSTANTIATE_TEST_SUITE_P(Disks, BadDiskTest,
                         ::testing::Values(BadDiskCase{"Empty", 0, "DISK"},
                                           BadDiskCase{"UnderOneCylinder", (kCylinder - 1) * 512, "DISK"},
                                           BadDiskCase{"FourCylinders", 4 * kCylinder * 512, "DISK"},
                                           BadDiskCase{"ForbiddenLabel", 1 << 30, "A/B"},
                                           BadDiskCase{"ForbiddenInTheKeptPart", 1 << 30, "ABCDEFGHIJ/XYZ"}),
                         CaseName<BadDiskCase>);

class OpenTest : public ImageFixture {
 protected:
  void TearDown() override {
    FormatOpenRetries = 0;
    ImageFixture::TearDown();
  }
};

TEST_F(OpenTest, RetriesASecondApartUpToTheSetCount) {
  const std::string missing = (dir_.path() / "no-such-disk").string();
  for (const auto& [retries, waitedMs] : {std::pair{3, 2000u}, std::pair{1, 0u}, std::pair{0, 0u}}) {
    SCOPED_TRACE(retries);
    FormatOpenRetries = retries;
    const std::uint64_t before = platform::clock::tickMs();
    EXPECT_FALSE(FormatFat32(missing, "DISK", 0));
    EXPECT_EQ(platform::clock::tickMs() - before, waitedMs);
  }
  EXPECT_TRUE(debug_.contains("Failed to open"));
}

TEST_F(OpenTest, AStopRequestEndsTheRetries) {
  std::stop_source stop;
  const PortWork work = BeginPortWork(2, stop.get_token());
  stop.request_stop();
  FormatOpenRetries = 5;
  const std::uint64_t before = platform::clock::tickMs();
  EXPECT_FALSE(FormatFat32((dir_.path() / "no-such-disk").string(), "DISK", 2));
  EXPECT_EQ(platform::clock::tickMs() - before, 0u);
}

TEST_F(OpenTest, APortOutsideTheTableIsRefused) {
  const fs::path image = dir_.path() / "disk.img";
  MakeSparseImage(image, 1 << 30);
  EXPECT_FALSE(FormatFat32(image.string(), "DISK", -1));
  EXPECT_FALSE(FormatFat32(image.string(), "DISK", kFleetburnPortCount));
  EXPECT_EQ(DataFrom(image, 0), std::nullopt);
}

// The real block I/O on a loop device over an image (needs root and loop
// devices).
TEST(LoopDeviceFormat, PassesFsckAndShowsTheRulesInMtools) {
  const std::optional<Tools> tools = FindTools();
  if (!tools) GTEST_SKIP() << kToolsMissing;
  const std::optional<std::string> losetup = FindTool("losetup");
  if (!losetup || geteuid() != 0) GTEST_SKIP() << "loop devices need root and losetup";
  InitPortIoTable(ProgramKind::Fleetburn);
  platform::clock::ScopedFastClock clock;
  platform::debug::CaptureSink debug;
  TempDir dir;
  const fs::path image = dir.path() / "loop.img";
  MakeSparseImage(image, std::uint64_t{1} << 30);
  const CommandRun attach = RunCommand(*losetup + " --find --show '" + image.string() + "'");
  if (attach.exitCode != 0) GTEST_SKIP() << "no loop device: " << attach.output;
  const std::string loop = attach.output.substr(0, attach.output.find('\n'));
  const bool formatted = FormatFat32(loop, "LOOP DISK", 0);
  RunCommand(*losetup + " --detach " + loop);
  ASSERT_TRUE(formatted) << ::testing::PrintToString(debug.lines());
  EXPECT_EQ(DataFrom(image, (63 + std::uint64_t{2088387}) * 512), std::nullopt);
  ExpectCleanVolume(*tools, image, {"LOOP DISK", 8, 2088387, 2036, 260535});
}

}  // namespace
}  // namespace devlib::testing
