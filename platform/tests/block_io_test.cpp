#include "platform/block_io.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <limits>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "block_io_linux.h"
#include "block_io_system.h"

namespace platform::block {
namespace {

namespace fs = std::filesystem;

fs::path scratchDirectory(const char* stem) {
  std::string dir = ::testing::TempDir() + stem + "_XXXXXX";
  if (::mkdtemp(dir.data()) == nullptr) return {};
  return dir;
}

void makeSparseFile(const fs::path& file, std::uintmax_t bytes) {
  std::ofstream(file, std::ios::binary).close();
  fs::resize_file(file, bytes);
}

std::vector<std::uint8_t> fileBytes(const fs::path& file, std::uint64_t offset, std::size_t count) {
  std::ifstream in(file, std::ios::binary);
  in.seekg(static_cast<std::streamoff>(offset));
  std::vector<std::uint8_t> bytes(count);
  in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(count));
  bytes.resize(static_cast<std::size_t>(in.gcount()));
  return bytes;
}

template <typename Info>
std::string caseName(const Info& info) {
  std::string name = info.param.name;
  for (char& c : name) c = c == ' ' ? '_' : c;
  return name;
}

std::vector<std::uint8_t> pattern(std::size_t bytes, std::uint8_t seed) {
  std::vector<std::uint8_t> out(bytes);
  for (std::size_t i = 0; i < bytes; ++i) out[i] = static_cast<std::uint8_t>(seed + i * 7);
  return out;
}

std::string run(const std::string& command) {
  std::string out;
  if (FILE* pipe = ::popen(command.c_str(), "r")) {
    std::array<char, 256> chunk{};
    while (std::fgets(chunk.data(), static_cast<int>(chunk.size()), pipe)) out += chunk.data();
    ::pclose(pipe);
  }
  while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
  return out;
}

// --- The real backend on image files ---

constexpr std::uint64_t kImageSectors = 131072;  // 64 MiB

class ImageFile : public ::testing::Test {
 protected:
  static constexpr std::uint64_t kSectors = kImageSectors;

  void SetUp() override {
    installBackend(nullptr);
    dir_ = scratchDirectory("block_io");
    ASSERT_FALSE(dir_.empty());
    image_ = dir_ / "disk.img";
    // A tail shorter than a sector is not part of the disk.
    makeSparseFile(image_, kSectors * 512 + 100);
  }
  void TearDown() override { fs::remove_all(dir_); }

  fs::path dir_;
  fs::path image_;
};

TEST_F(ImageFile, OpensWithTheSectorCountOfItsSizeAndTheFixedGeometry) {
  const OpenResult opened = openBlockDevice(image_.string());
  ASSERT_NE(opened.device, nullptr) << opened.error;
  const Geometry g = opened.device->geometry();
  EXPECT_EQ(g.sectorCount, kSectors);
  EXPECT_EQ(g.sectorSize, 512u);
  EXPECT_EQ(g.heads, 255u);
  EXPECT_EQ(g.sectorsPerTrack, 63u);
}

TEST_F(ImageFile, WrittenSectorsLandAtTheirOffsetAndReadBack) {
  auto device = openBlockDevice(image_.string()).device;
  ASSERT_NE(device, nullptr);
  const auto data = pattern(3 * 512, 0x21);
  ASSERT_TRUE(device->write(kSectors - 3, data));
  ASSERT_TRUE(device->flush());
  EXPECT_EQ(device->bytesWritten(), data.size());

  std::vector<std::uint8_t> back(data.size());
  ASSERT_TRUE(device->read(kSectors - 3, back));
  EXPECT_EQ(back, data);
  EXPECT_EQ(fileBytes(image_, (kSectors - 3) * 512, data.size()), data);
  EXPECT_EQ(fs::file_size(image_), kSectors * 512 + 100);
}

struct RefusedTransfer {
  const char* name;
  std::uint64_t lba;
  std::size_t bytes;
};

void PrintTo(const RefusedTransfer& c, std::ostream* os) { *os << c.name; }

class ImageFileRefuses : public ImageFile, public ::testing::WithParamInterface<RefusedTransfer> {};

TEST_P(ImageFileRefuses, ATransferOutsideWholeSectorsOfTheDisk) {
  auto device = openBlockDevice(image_.string()).device;
  ASSERT_NE(device, nullptr);
  const auto data = pattern(GetParam().bytes, 0x5a);
  EXPECT_FALSE(device->write(GetParam().lba, data));
  std::vector<std::uint8_t> back(GetParam().bytes);
  EXPECT_FALSE(device->read(GetParam().lba, back));
  EXPECT_EQ(device->bytesWritten(), 0u);
  EXPECT_EQ(fs::file_size(image_), kSectors * 512 + 100);
  const auto tail = fileBytes(image_, (kSectors - 2) * 512, 2 * 512 + 100);
  EXPECT_TRUE(std::all_of(tail.begin(), tail.end(), [](std::uint8_t b) { return b == 0; }));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ImageFileRefuses,
    ::testing::Values(RefusedTransfer{"part of a sector", 0, 100}, RefusedTransfer{"past the end", kImageSectors, 512},
                      RefusedTransfer{"across the end", kImageSectors - 1, 1024},
                      RefusedTransfer{"an lba that wraps", std::numeric_limits<std::uint64_t>::max(), 1024}),
    caseName<::testing::TestParamInfo<RefusedTransfer>>);

TEST_F(ImageFile, OpenFailuresSayWhy) {
  const OpenResult missing = openBlockDevice((dir_ / "none.img").string());
  EXPECT_EQ(missing.device, nullptr);
  EXPECT_NE(missing.error.find("none.img"), std::string::npos) << missing.error;
  EXPECT_NE(missing.error.find("No such file"), std::string::npos) << missing.error;

  const OpenResult character = openBlockDevice("/dev/null");
  EXPECT_EQ(character.device, nullptr);
  EXPECT_NE(character.error.find("neither a disk nor an image file"), std::string::npos) << character.error;
}

TEST_F(ImageFile, HasNoTableToRereadAndNoVolume) {
  EXPECT_EQ(rereadPartitions(image_.string()), "");
  EXPECT_EQ(findVolume(image_.string()), std::nullopt);
  EXPECT_NE(rereadPartitions((dir_ / "none.img").string()), "");
}

// --- A loop device over an image file, where the machine allows one ---

class LoopDevice : public ImageFile {
 protected:
  void SetUp() override {
    ImageFile::SetUp();
    if (::geteuid() != 0 || run("command -v losetup").empty()) GTEST_SKIP() << "needs root and losetup";
    loop_ = run("losetup --find --show " + image_.string() + " 2>/dev/null");
    if (loop_.rfind("/dev/loop", 0) != 0) GTEST_SKIP() << "no loop device could be attached here";
  }
  void TearDown() override {
    if (!loop_.empty()) run("losetup -d " + loop_);
    ImageFile::TearDown();
  }

  std::string loop_;
};

TEST_F(LoopDevice, ReadsAndWritesTheImageThroughTheKernel) {
  const OpenResult opened = openBlockDevice(loop_);
  ASSERT_NE(opened.device, nullptr) << opened.error;
  const Geometry g = opened.device->geometry();
  EXPECT_EQ(g.sectorSize, 512u);
  EXPECT_EQ(g.sectorCount, kSectors);

  // An odd length and an unaligned buffer, as callers hand them over.
  std::vector<std::uint8_t> buffer(5 * 512 + 1);
  const auto data = pattern(5 * 512, 0x3c);
  std::copy(data.begin(), data.end(), buffer.begin() + 1);
  ASSERT_TRUE(opened.device->write(7, std::span<const std::uint8_t>(buffer).subspan(1)));
  ASSERT_TRUE(opened.device->flush());
  std::vector<std::uint8_t> back(data.size());
  ASSERT_TRUE(opened.device->read(7, back));
  EXPECT_EQ(back, data);
  EXPECT_EQ(fileBytes(image_, 7 * 512, data.size()), data);
  EXPECT_EQ(rereadPartitions(loop_), "");
}

// --- The real backend's guard and dismount on loop devices, under a mount
// table of the test's own ---

class LoopBed : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0 || run("command -v losetup").empty()) GTEST_SKIP() << "needs root and losetup";
    dir_ = scratchDirectory("loop_bed");
    ASSERT_FALSE(dir_.empty());
    view_.mountInfo = dir_ / "mountinfo";
    std::ofstream(view_.mountInfo).close();
    backend_ = makeLinuxBackend(view_);
  }
  void TearDown() override {
    backend_.reset();
    for (const std::string& loop : loops_) run("losetup -d " + loop + " 2>/dev/null");
    for (const fs::path& point : mounted_) ::umount2(point.c_str(), MNT_DETACH);
    if (!dir_.empty()) fs::remove_all(dir_);
  }

  // A loop device over a new sparse image; empty where none can be attached.
  std::string attach(const fs::path& image, std::uintmax_t bytes = 8 << 20) {
    makeSparseFile(image, bytes);
    const std::string loop = run("losetup --find --show " + image.string() + " 2>/dev/null");
    if (loop.rfind("/dev/loop", 0) != 0) return {};
    loops_.push_back(loop);
    return loop;
  }

  // The loop device is unplugged and another image plugged in at its number.
  // Once unplugged the number is no longer ours: another test may take it, and
  // then this one must not detach it at its end.
  bool replug(const std::string& loop, const fs::path& image) {
    makeSparseFile(image, 8 << 20);
    run("losetup -d " + loop);
    std::erase(loops_, loop);
    if (run("losetup " + loop + " " + image.string() + " 2>&1 && echo attached") != "attached") return false;
    loops_.push_back(loop);
    return true;
  }

  // The mount table says a file system of the device's is mounted.
  void mountedFrom(const std::string& node) {
    struct stat status {};
    ASSERT_EQ(::stat(node.c_str(), &status), 0);
    const sys::DeviceNumber d{::major(status.st_rdev), ::minor(status.st_rdev)};
    std::ofstream(view_.mountInfo) << "30 1 " << d.major << ":" << d.minor << " / /media/stick rw - vfat " << node
                                   << " rw\n";
  }

  bool mountSmallFileSystem(const fs::path& point, const char* size) {
    fs::create_directories(point);
    const std::string options = std::string("size=") + size;
    if (::mount("tmpfs", point.c_str(), "tmpfs", 0, options.c_str()) != 0) return false;
    mounted_.push_back(point);
    return true;
  }

  fs::path dir_;
  sys::SystemView view_;
  std::shared_ptr<Backend> backend_;

 private:
  std::vector<std::string> loops_;
  std::vector<fs::path> mounted_;
};

const std::vector<std::uint8_t> kFirstSector = pattern(512, 0x55);

TEST_F(LoopBed, ADiskLaidOutHereIsOursUntilAnotherIsPluggedAtItsNumber) {
  const std::string loop = attach(dir_ / "a.img");
  if (loop.empty()) GTEST_SKIP() << "no loop device could be attached here";
  {
    const OpenResult opened = backend_->open(loop);
    ASSERT_NE(opened.device, nullptr) << opened.error;
    ASSERT_TRUE(opened.device->writeLayout(kFirstSector));
  }
  mountedFrom(loop);
  EXPECT_NE(backend_->open(loop).device, nullptr) << "the program's own layout";

  if (!replug(loop, dir_ / "b.img")) GTEST_SKIP() << "the loop device was taken meanwhile";
  const OpenResult foreign = backend_->open(loop);
  EXPECT_EQ(foreign.device, nullptr);
  EXPECT_NE(foreign.error.find("that this program did not make"), std::string::npos) << foreign.error;
}

TEST_F(LoopBed, APlainWriteOfTheFirstSectorDoesNotMakeADiskOurs) {
  const std::string loop = attach(dir_ / "a.img");
  if (loop.empty()) GTEST_SKIP() << "no loop device could be attached here";
  {
    const OpenResult opened = backend_->open(loop);
    ASSERT_NE(opened.device, nullptr) << opened.error;
    ASSERT_TRUE(opened.device->write(0, kFirstSector));
  }
  mountedFrom(loop);
  const OpenResult refused = backend_->open(loop);
  EXPECT_EQ(refused.device, nullptr);
  EXPECT_NE(refused.error.find("that this program did not make"), std::string::npos) << refused.error;
}

// Writes bytes through the page cache of the node, as a file system would.
bool writeCached(const std::string& node, std::size_t bytes) {
  const int fd = ::open(node.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const auto data = pattern(bytes, 0x77);
  const bool written = ::write(fd, data.data(), data.size()) == static_cast<ssize_t>(data.size());
  return ::close(fd) == 0 && written;
}

TEST_F(LoopBed, ADismountWhoseWriteBackFailsFails) {
  // An image larger than the file system that holds it: writing it back runs
  // out of room.
  if (!mountSmallFileSystem(dir_ / "small", "1m")) GTEST_SKIP() << "no file system can be mounted here";
  const std::string full = attach(dir_ / "small" / "disk.img");
  const std::string roomy = attach(dir_ / "roomy.img");
  if (full.empty() || roomy.empty()) GTEST_SKIP() << "no loop device could be attached here";
  for (const std::string& loop : {full, roomy}) {
    const auto volume = backend_->openVolume({loop, ""});
    ASSERT_NE(volume, nullptr) << loop;
    ASSERT_TRUE(writeCached(loop, 4 << 20)) << loop;
    EXPECT_EQ(volume->dismount(), loop == roomy) << loop;
  }
}

// --- The disk that holds the running system ---

// The nodes of the root file system's device and of its whole disks.
std::vector<std::string> rootNodes() {
  std::ifstream in("/proc/self/mountinfo");
  std::ostringstream text;
  text << in.rdbuf();
  std::vector<std::string> nodes;
  for (const sys::Mount& mount : sys::parseMountInfo(text.str())) {
    if (mount.mountPoint != "/" || mount.device.major == 0) continue;
    auto devices = sys::wholeDisksOf("/sys", mount.device);
    devices.insert(mount.device);
    for (const sys::DeviceNumber& d : devices) {
      std::ifstream uevent("/sys/dev/block/" + std::to_string(d.major) + ":" + std::to_string(d.minor) + "/uevent");
      for (std::string entry; std::getline(uevent, entry);) {
        if (entry.rfind("DEVNAME=", 0) != 0) continue;
        const std::string node = "/dev/" + entry.substr(8);
        struct stat status {};
        const bool isNode = ::stat(node.c_str(), &status) == 0 && S_ISBLK(status.st_mode);
        if (isNode && status.st_rdev == ::makedev(d.major, d.minor)) {
          nodes.push_back(node);
        }
      }
    }
  }
  return nodes;
}

TEST(RunningSystem, ItsDiskIsNotOpenedForWriting) {
  installBackend(nullptr);
  const auto nodes = rootNodes();
  if (nodes.empty()) GTEST_SKIP() << "the root file system is on no block device here";
  for (const std::string& node : nodes) {
    const OpenResult opened = openBlockDevice(node);
    EXPECT_EQ(opened.device, nullptr) << node;
    EXPECT_NE(opened.error.find("running system"), std::string::npos) << node << ": " << opened.error;
    EXPECT_EQ(findVolume(node), std::nullopt) << node;
  }
}

// --- The system's view, over trees of the test's own ---

TEST(MountInfo, ReadsDeviceSourceAndMountPoint) {
  const std::string text =
      "22 28 0:21 / /proc rw,relatime - proc proc rw\n"
      "28 1 8:1 / / rw,relatime shared:1 master:2 - ext4 /dev/sda1 rw\n"
      "40 28 8:17 / /media/my\\040disk rw - vfat /dev/sdb1 rw\n"
      "garbage line\n"
      "41 28 x:y / /bad rw - ext4 /dev/x rw\n"
      "42 28 8:18 / /no-separator rw ext4 /dev/sdb2 rw";
  const auto mounts = sys::parseMountInfo(text);
  ASSERT_EQ(mounts.size(), 3u);
  EXPECT_EQ(mounts[0].device, (sys::DeviceNumber{0, 21}));
  EXPECT_EQ(mounts[1].device, (sys::DeviceNumber{8, 1}));
  EXPECT_EQ(mounts[1].source, "/dev/sda1");
  EXPECT_EQ(mounts[1].mountPoint, "/");
  EXPECT_EQ(mounts[2].mountPoint, "/media/my disk");
}

std::string number(sys::DeviceNumber d) { return std::to_string(d.major) + ":" + std::to_string(d.minor); }

std::string mountLine(sys::DeviceNumber d, const std::string& point, const std::string& source) {
  return "30 1 " + number(d) + " / " + point + " rw,relatime - ext4 " + source + " rw\n";
}

class SystemTree : public ::testing::Test {
 protected:
  void SetUp() override {
    scratch_ = scratchDirectory("sysview");
    ASSERT_FALSE(scratch_.empty());
    view_.sysfs = scratch_ / "sys";
    view_.mountInfo = scratch_ / "mountinfo";
    view_.devRoot = "/dev";
    fs::create_directories(view_.sysfs / "dev" / "block");
    addDisk("sda", {8, 0});
    addPartition("sda", "sda1", 1, {8, 1});
    addPartition("sda", "sda2", 2, {8, 2});
    addDisk("sdb", {8, 16});
    addPartition("sdb", "sdb2", 2, {8, 18});
    addPartition("sdb", "sdb1", 1, {8, 17});
    addDisk("sdc", {8, 32});
    addPartition("sdc", "sdc1", 1, {8, 33});
    addMapped("dm-0", {253, 0}, {"sda/sda2", "sdc/sdc1"});
    mounts("");
  }
  void TearDown() override { fs::remove_all(scratch_); }

  void addDevice(const fs::path& dir, sys::DeviceNumber d, const std::string& name) {
    fs::create_directories(dir);
    std::ofstream(dir / "dev") << number(d) << "\n";
    std::ofstream(dir / "uevent") << "MAJOR=" << d.major << "\nDEVNAME=" << name << "\nDEVTYPE=disk\n";
    const fs::path links = view_.sysfs / "dev" / "block";
    fs::create_directory_symlink(fs::relative(dir, links), links / number(d));
  }
  // Each disk is plugged in with a diskseq of its own.
  void addDisk(const std::string& name, sys::DeviceNumber d) {
    const fs::path dir = view_.sysfs / "devices" / "pci0" / "block" / name;
    addDevice(dir, d, name);
    std::ofstream(dir / "diskseq") << ++lastSequence_ << "\n";
  }
  fs::path diskDirectory(const std::string& name) const { return view_.sysfs / "devices" / "pci0" / "block" / name; }
  void addPartition(const std::string& disk, const std::string& name, int index, sys::DeviceNumber d) {
    const fs::path dir = view_.sysfs / "devices" / "pci0" / "block" / disk / name;
    addDevice(dir, d, name);
    std::ofstream(dir / "partition") << index << "\n";
  }
  void addMapped(const std::string& name, sys::DeviceNumber d, const std::vector<std::string>& slaves) {
    const fs::path dir = view_.sysfs / "devices" / "virtual" / "block" / name;
    addDevice(dir, d, name);
    fs::create_directories(dir / "slaves");
    for (const std::string& slave : slaves) {
      const fs::path target = view_.sysfs / "devices" / "pci0" / "block" / slave;
      fs::create_directory_symlink(fs::relative(target, dir / "slaves"), dir / "slaves" / target.filename());
    }
  }
  void mounts(const std::string& lines) { std::ofstream(view_.mountInfo) << lines; }

  fs::path scratch_;
  sys::SystemView view_;
  std::uint64_t lastSequence_ = 20;
};

TEST_F(SystemTree, FindsTheWholeDisksUnderADevice) {
  using Set = std::set<sys::DeviceNumber>;
  EXPECT_EQ(sys::wholeDisksOf(view_.sysfs, {8, 0}), (Set{{8, 0}}));
  EXPECT_EQ(sys::wholeDisksOf(view_.sysfs, {8, 18}), (Set{{8, 16}}));
  EXPECT_EQ(sys::wholeDisksOf(view_.sysfs, {253, 0}), (Set{{8, 0}, {8, 32}}));
  EXPECT_EQ(sys::wholeDisksOf(view_.sysfs, {7, 0}), (Set{{7, 0}}));  // unknown to sysfs
}

struct RefusalCase {
  const char* name;
  std::string mountInfo;
  sys::DeviceNumber target;
  std::set<sys::DeviceNumber> laidOut;
  const char* says;  // empty: allowed
};

void PrintTo(const RefusalCase& c, std::ostream* os) { *os << c.name; }

class WriteRefusal : public SystemTree, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(WriteRefusal, OfTheSystemDiskAndOfForeignMountedFileSystems) {
  const RefusalCase& c = GetParam();
  mounts(c.mountInfo);
  sys::LaidOutDisks laidOut;
  for (const sys::DeviceNumber& d : c.laidOut) laidOut.note(d, sys::diskSequence(view_.sysfs, d).value());
  const std::string refusal = sys::writeRefusal(view_, "/dev/target", c.target, laidOut);
  if (std::string(c.says).empty()) {
    EXPECT_EQ(refusal, "");
  } else {
    EXPECT_NE(refusal.find(c.says), std::string::npos) << refusal;
    EXPECT_EQ(refusal.rfind("/dev/target", 0), 0u) << refusal;
  }
}

const std::string kRootOnSda1 = mountLine({8, 1}, "/", "/dev/sda1");

INSTANTIATE_TEST_SUITE_P(
    Cases, WriteRefusal,
    ::testing::Values(
        RefusalCase{"root disk", kRootOnSda1, {8, 0}, {}, "the disk that holds the running system"},
        RefusalCase{"other partition of the root disk", kRootOnSda1, {8, 2}, {}, "running system"},
        RefusalCase{"root disk though laid out", kRootOnSda1, {8, 0}, {{8, 0}}, "running system"},
        RefusalCase{"disk under a mapped root", mountLine({253, 0}, "/", "/dev/mapper/root"), {8, 32}, {},
                    "running system"},
        RefusalCase{"foreign mount", kRootOnSda1 + mountLine({8, 17}, "/media/my\\040stick", "/dev/sdb1"),
                    {8, 16}, {}, "(/dev/sdb1 on /media/my stick) that this program did not make"},
        RefusalCase{"mount the program made", kRootOnSda1 + mountLine({8, 17}, "/media/x", "/dev/sdb1"),
                    {8, 16}, {{8, 16}}, ""},
        RefusalCase{"nothing mounted", kRootOnSda1, {8, 16}, {}, ""},
        RefusalCase{"no root device known", mountLine({0, 40}, "/", "overlay"), {8, 0}, {}, ""}),
    caseName<::testing::TestParamInfo<RefusalCase>>);

// sdb was laid out here while plugged in as diskseq 50; sysfs now shows the
// disk at its number as `sequence` (none: a kernel that numbers no plugs),
// with a file system mounted from it.
struct PlugCase {
  const char* name;
  std::optional<std::uint64_t> sequence;
  bool ours;
};

void PrintTo(const PlugCase& c, std::ostream* os) { *os << c.name; }

class LaidOutPlug : public SystemTree, public ::testing::WithParamInterface<PlugCase> {};

TEST_P(LaidOutPlug, OnlyTheSamePlugOfTheDiskIsOurs) {
  const fs::path sequenceFile = diskDirectory("sdb") / "diskseq";
  std::ofstream(sequenceFile) << "50\n";
  sys::LaidOutDisks laidOut;
  laidOut.note({8, 16}, 50);
  if (GetParam().sequence) {
    std::ofstream(sequenceFile) << *GetParam().sequence << "\n";
  } else {
    fs::remove(sequenceFile);
  }
  mounts(kRootOnSda1 + mountLine({8, 17}, "/media/stick", "/dev/sdb1"));
  const std::string refusal = sys::writeRefusal(view_, "/dev/sdb", {8, 16}, laidOut);
  if (GetParam().ours) {
    EXPECT_EQ(refusal, "");
  } else {
    EXPECT_NE(refusal.find("(/dev/sdb1 on /media/stick) that this program did not make"), std::string::npos)
        << refusal;
  }
  EXPECT_EQ(laidOut.holds(view_.sysfs, {8, 16}), GetParam().ours) << "asked again";
}

INSTANTIATE_TEST_SUITE_P(Cases, LaidOutPlug,
                         ::testing::Values(PlugCase{"the same plug", 50, true},
                                           PlugCase{"another disk at the number", 51, false},
                                           PlugCase{"a kernel without diskseq", std::nullopt, false}),
                         caseName<::testing::TestParamInfo<PlugCase>>);

TEST_F(SystemTree, ADiskThatIsGoneIsForgotten) {
  sys::LaidOutDisks laidOut;
  laidOut.note({8, 32}, sys::diskSequence(view_.sysfs, {8, 32}).value());
  ASSERT_TRUE(laidOut.holds(view_.sysfs, {8, 32}));
  fs::remove(view_.sysfs / "dev" / "block" / "8:32");
  EXPECT_FALSE(laidOut.holds(view_.sysfs, {8, 32}));
  EXPECT_EQ(sys::diskSequence(view_.sysfs, {8, 33}), std::nullopt) << "a partition has no diskseq";
}

TEST_F(SystemTree, TheFirstVolumeIsTheLowestPartitionWithItsMountPoint) {
  mounts(kRootOnSda1 + mountLine({8, 17}, "/media/stick", "/dev/sdb1"));
  const auto volume = sys::firstVolume(view_, {8, 16});
  ASSERT_TRUE(volume.has_value());
  EXPECT_EQ(volume->node, "/dev/sdb1");
  EXPECT_EQ(volume->mountPoint, "/media/stick");

  const auto unmounted = sys::firstVolume(view_, {8, 32});
  ASSERT_TRUE(unmounted.has_value());
  EXPECT_EQ(unmounted->node, "/dev/sdc1");
  EXPECT_EQ(unmounted->mountPoint, "");
}

TEST_F(SystemTree, NoVolumeOnTheRootDiskOnAPartitionOrOnADiskWithoutPartitions) {
  mounts(kRootOnSda1);
  addDisk("sdd", {8, 48});
  EXPECT_EQ(sys::firstVolume(view_, {8, 0}), std::nullopt);
  EXPECT_EQ(sys::firstVolume(view_, {8, 17}), std::nullopt);
  EXPECT_EQ(sys::firstVolume(view_, {8, 48}), std::nullopt);
  EXPECT_EQ(sys::firstVolume(view_, {9, 9}), std::nullopt);
}

}  // namespace
}  // namespace platform::block
