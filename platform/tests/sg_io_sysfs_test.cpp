#include "sg_io_sysfs.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/sg_io.h"

namespace platform::storage::sgio {
namespace {

namespace fs = std::filesystem;

// A sysfs tree of the test's own. It sits below a directory named like a USB
// root hub, so that only the part inside the tree may count.
class SysfsTree : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string scratch = ::testing::TempDir() + "sysfs_XXXXXX";
    ASSERT_NE(::mkdtemp(scratch.data()), nullptr);
    scratch_ = scratch;
    root_ = scratch_ / "usb9" / "sys";
    fs::create_directories(root_ / "dev" / "block");
    fs::create_directories(root_ / "dev" / "char");
    fs::create_directories(root_ / "bus" / "usb");
    fs::create_directories(root_ / "class" / "usb");
  }
  void TearDown() override { fs::remove_all(scratch_); }

  // Adds the device directory and its /sys/dev link, relative as the kernel makes it.
  void addNode(NodeKind kind, unsigned major, unsigned minor, const fs::path& device) {
    fs::create_directories(root_ / device);
    const fs::path links = root_ / "dev" / (kind == NodeKind::Block ? "block" : "char");
    fs::create_directory_symlink(fs::relative(root_ / device, links),
                                 links / (std::to_string(major) + ":" + std::to_string(minor)));
  }

  void addSubsystem(const fs::path& device, const fs::path& subsystem) {
    fs::create_directory_symlink(fs::relative(root_ / subsystem, root_ / device), root_ / device / "subsystem");
  }

  fs::path scratch_;
  fs::path root_;
};

struct TreeCase {
  const char* name;
  NodeKind kind;
  const char* device;
  const char* subsystemOf;  // a directory whose subsystem link is added, or empty
  const char* subsystem;
  bool onUsb;
};

void PrintTo(const TreeCase& c, std::ostream* os) { *os << c.name; }

class SysfsUsbDecision : public SysfsTree, public ::testing::WithParamInterface<TreeCase> {};

TEST_P(SysfsUsbDecision, FollowsTheCanonicalDevicePath) {
  const TreeCase& c = GetParam();
  addNode(c.kind, 8, 0, c.device);
  if (*c.subsystemOf != '\0') addSubsystem(c.subsystemOf, c.subsystem);
  EXPECT_EQ(isOnUsb(root_, c.kind, 8, 0), c.onUsb);
}

INSTANTIATE_TEST_SUITE_P(
    Trees, SysfsUsbDecision,
    ::testing::Values(
        TreeCase{"DiskBehindUsbBridge", NodeKind::Block,
                 "devices/pci0000:00/0000:00:14.0/usb2/2-1/2-1:1.0/host6/target6:0:0/6:0:0:0/block/sda", "", "",
                 true},
        TreeCase{"PartitionBehindUsbBridge", NodeKind::Block,
                 "devices/pci0000:00/0000:00:14.0/usb2/2-1/2-1:1.0/host6/target6:0:0/6:0:0:0/block/sda/sda1", "",
                 "", true},
        TreeCase{"GenericNodeBehindUsbBridge", NodeKind::Character,
                 "devices/pci0000:00/0000:00:14.0/usb2/2-1/2-1:1.0/host6/target6:0:0/6:0:0:0/scsi_generic/sg0", "",
                 "", true},
        TreeCase{"SataDisk", NodeKind::Block,
                 "devices/pci0000:00/0000:00:17.0/ata1/host0/target0:0:0/0:0:0:0/block/sdb", "", "", false},
        TreeCase{"UsbBusWithoutRootHubName", NodeKind::Block,
                 "devices/platform/vhci_hcd.0/3-1/3-1:1.0/host7/target7:0:0/7:0:0:0/block/sdc",
                 "devices/platform/vhci_hcd.0/3-1", "bus/usb", true},
        TreeCase{"NamesThatOnlyLookLikeUsb", NodeKind::Block,
                 "devices/platform/usb-storage/usb/usb1a/host2/target2:0:0/2:0:0:0/block/sdd",
                 "devices/platform/usb-storage", "class/usb", false}),
    [](const auto& test) { return std::string(test.param.name); });

TEST_F(SysfsTree, UnknownNodeIsNotOnUsb) {
  addNode(NodeKind::Block, 8, 0, "devices/pci0000:00/0000:00:14.0/usb2/2-1/block/sda");
  EXPECT_FALSE(isOnUsb(root_, NodeKind::Character, 8, 0)) << "a character node has its own numbers";
  EXPECT_FALSE(isOnUsb(root_, NodeKind::Block, 8, 16));
  EXPECT_FALSE(isOnUsb(root_ / "missing", NodeKind::Block, 8, 0));
}

// The backend looks the opened node up by its numbers; /dev/null stands in for a disk.
TEST_F(SysfsTree, OpenedNodeReportsWhereSysfsPutsIt) {
  struct stat null {};
  ASSERT_EQ(::stat("/dev/null", &null), 0);
  const auto backend = makeBackend([](int, unsigned long, void*) { return 0; }, root_);

  const auto beforeLink = backend->open("/dev/null", Sharing::Shared);
  ASSERT_TRUE(beforeLink.device) << "errno " << beforeLink.osError;
  EXPECT_FALSE(beforeLink.device->traits().onUsb);
  addNode(NodeKind::Character, major(null.st_rdev), minor(null.st_rdev),
          "devices/pci0000:00/0000:00:14.0/usb1/1-4/1-4:1.0/host3/target3:0:0/3:0:0:0/scsi_generic/sg1");
  const auto opened = backend->open("/dev/null", Sharing::Shared);
  ASSERT_TRUE(opened.device);
  EXPECT_TRUE(opened.device->traits().onUsb);
}

}  // namespace
}  // namespace platform::storage::sgio
