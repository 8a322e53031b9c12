// Disk interfaces of the udev device tree and the rescan of the SCSI hosts,
// over trees that umockdev fakes.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/udev_devices.h"
#include "testsupport/umockdev_usb_tree.h"

namespace platform::devices::udev {
namespace {

using umockdev_tree::FakeController;
using umockdev_tree::FakeDisk;
using umockdev_tree::FakeRootHub;
using umockdev_tree::FakeUsbDevice;
using umockdev_tree::FakeUsbTree;
using umockdev_tree::UmockdevUsbTree;
using Bus = DeviceTree::BusKind;

constexpr const char* kPci = "/devices/pci0000:00";

class UdevDiskInterfaces : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(UmockdevUsbTree::underUmockdev()) << "run this test through umockdev-wrapper"; }

  void addRecords(const std::string& records) {
    GError* error = nullptr;
    const bool added = umockdev_testbed_add_from_string(tree_.testbed(), records.c_str(), &error);
    const std::string message = error != nullptr ? error->message : "";
    g_clear_error(&error);
    ASSERT_TRUE(added) << message;
  }

  // A SCSI host below `parent` with one disk on it (and its partitions); the
  // disk may carry udev's ID_BUS.
  void addScsiDisk(const std::string& parent, int host, const std::string& name, unsigned minor,
                   const std::string& idBus = "", unsigned partitions = 0) {
    const std::string h = std::to_string(host);
    const std::string hostPath = parent + "/host" + h;
    const std::string scsiPath = hostPath + "/target" + h + ":0:0/" + h + ":0:0:0";
    std::string records = "P: " + hostPath + "\nE: SUBSYSTEM=scsi\nE: DEVTYPE=scsi_host\n\n";
    records += "P: " + scsiPath + "\nE: SUBSYSTEM=scsi\nE: DEVTYPE=scsi_device\n\n";
    const std::string diskPath = scsiPath + "/block/" + name;
    records += block(diskPath, name, "disk", minor, 0, idBus);
    for (unsigned p = 1; p <= partitions; ++p) {
      records += block(diskPath + "/" + name + std::to_string(p), name + std::to_string(p), "partition", minor + p, p, "");
    }
    addRecords(records);
  }

  static std::string block(const std::string& path, const std::string& name, const char* devtype, unsigned minor,
                           unsigned partition, const std::string& idBus, unsigned major = 8) {
    std::string record = "P: " + path + "\nE: SUBSYSTEM=block\nE: DEVTYPE=" + devtype + "\nE: DEVNAME=/dev/" + name +
                         "\nE: MAJOR=" + std::to_string(major) + "\nE: MINOR=" + std::to_string(minor) +
                         "\nA: dev=" + std::to_string(major) + ":" + std::to_string(minor) + "\n";
    if (!idBus.empty()) record += "E: ID_BUS=" + idBus + "\n";
    if (partition > 0) record += "A: partition=" + std::to_string(partition) + "\n";
    return record + "N: " + name + "=00\n\n";
  }

  std::string rootDirectory() {
    gchar* root = umockdev_testbed_get_root_dir(tree_.testbed());
    const std::string directory(root);
    g_free(root);
    return directory;
  }

  void writeMountinfo(const std::string& text) {
    const std::string directory = rootDirectory() + "/proc/self";
    std::filesystem::create_directories(directory);
    std::ofstream(directory + "/mountinfo") << text;
  }

  std::string sysfsFile(const std::string& path) {
    std::ifstream in(rootDirectory() + "/sys" + path);
    if (!in) return "<missing>";
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
  }

  UmockdevUsbTree tree_;
  std::shared_ptr<DeviceTree> devices_ = makeDeviceTree();
};

const DeviceTree::DiskInterface* findByPath(const std::vector<DeviceTree::DiskInterface>& disks,
                                            const std::string& path) {
  for (const auto& disk : disks) {
    if (disk.openPath == path) return &disk;
  }
  return nullptr;
}

struct BusCase {
  const char* what;
  const char* path;
  Bus bus;
};

TEST_F(UdevDiskInterfaces, BusComesFromTheParentsThenIdBusThenTheAtaPort) {
  FakeUsbDevice enclosure{.port = 1, .vendorId = 0x152d, .productId = 0x0578, .serial = "E1",
                          .disk = FakeDisk{.name = "sdb", .minor = 16, .sg = 1, .driver = "uas"}};
  tree_.add(FakeUsbTree{.controllers = {FakeController{.highSpeed = FakeRootHub{.ports = 1, .devices = {enclosure}}}},
                        .sataDisks = {FakeDisk{.name = "sda", .minor = 0, .partitions = 2}}});
  // udev gives a disk in a USB enclosure the ATA bus of the drive inside.
  umockdev_testbed_set_property(tree_.testbed(), tree_.syspathOf("sdb").c_str(), "ID_BUS", "ata");
  const std::string hba = std::string(kPci) + "/0000:00:1c.0";
  addScsiDisk(hba, 20, "sdc", 32);
  addScsiDisk(hba, 21, "sdd", 48, "ata");  // a SATA drive on a SAS adapter
  addRecords("P: " + std::string(kPci) + "/0000:00:1e.0/fw1\nE: SUBSYSTEM=firewire\n\n" + "P: " + kPci +
             "/0000:00:1e.0/fw1/fw1.0\nE: SUBSYSTEM=firewire\n\n");
  addScsiDisk(std::string(kPci) + "/0000:00:1e.0/fw1/fw1.0", 22, "sde", 64);
  addRecords("P: " + std::string(kPci) + "/0000:00:04.0/virtio1\nE: SUBSYSTEM=virtio\n\n" +
             block(std::string(kPci) + "/0000:00:04.0/virtio1/block/vda", "vda", "disk", 0, 0, "", 252));

  const std::vector<DeviceTree::DiskInterface> disks = devices_->listDiskInterfaces();
  const std::vector<BusCase> cases = {
      {"libata port in the path", "/dev/sda", Bus::Ide},
      {"USB above the disk wins over ID_BUS", "/dev/sdb", Bus::Usb},
      {"another SCSI host", "/dev/sdc", Bus::Scsi},
      {"ID_BUS ata", "/dev/sdd", Bus::Ide},
      {"FireWire above the disk", "/dev/sde", Bus::Sbp2},
      {"neither SCSI nor a known bus", "/dev/vda", Bus::Other},
  };
  for (const BusCase& c : cases) {
    SCOPED_TRACE(c.what);
    const DeviceTree::DiskInterface* disk = findByPath(disks, c.path);
    ASSERT_NE(disk, nullptr);
    EXPECT_EQ(disk->busKind, c.bus);
  }
  EXPECT_EQ(disks.size(), cases.size()) << "partitions are no disks";
}

TEST_F(UdevDiskInterfaces, VirtualDisksAreLeftOutAndTheRestComeByKernelName) {
  const std::string hba = std::string(kPci) + "/0000:00:1c.0";
  addScsiDisk(hba, 1, "sdaa", 64);
  addScsiDisk(hba, 2, "sdz", 32);
  addScsiDisk(hba, 3, "sdb", 16);
  const std::string virtualBlock = "/devices/virtual/block/";
  addRecords(block(virtualBlock + "loop0", "loop0", "disk", 0, 0, "", 7) +
             block(virtualBlock + "ram0", "ram0", "disk", 0, 0, "", 1) +
             block(virtualBlock + "dm-0", "dm-0", "disk", 0, 0, "", 253));

  std::vector<std::string> paths;
  for (const auto& disk : devices_->listDiskInterfaces()) paths.push_back(disk.openPath);
  EXPECT_EQ(paths, (std::vector<std::string>{"/dev/sdb", "/dev/sdz", "/dev/sdaa"}));
}

struct VolumeCase {
  const char* what;
  const char* path;
  const char* volumeTag;
};

TEST_F(UdevDiskInterfaces, VolumeTagIsTheMountPointOfTheFirstMountedPartition) {
  const std::string hba = std::string(kPci) + "/0000:00:1c.0";
  addScsiDisk(hba, 1, "sdb", 16, "", 10);  // sdb2 and sdb10 mounted, sdb1 not
  addScsiDisk(hba, 2, "sdc", 32);         // mounted whole, under a name with a blank
  addScsiDisk(hba, 3, "sdd", 48, "", 1);  // nothing mounted
  addScsiDisk(hba, 4, "sde", 64, "", 1);  // mounted twice
  writeMountinfo(
      "22 1 0:21 / /proc rw,nosuid - proc proc rw\n"
      "30 1 8:26 / /srv/ten rw - ext4 /dev/sdb10 rw\n"
      "31 1 8:18 / /media/two rw shared:5 - vfat /dev/sdb2 rw\n"
      "32 1 8:32 / /media/usb\\040stick rw - vfat /dev/sdc rw\n"
      "33 1 8:65 / /mnt/first rw - ext4 /dev/sde1 rw\n"
      "34 1 8:65 / /mnt/again rw - ext4 /dev/sde1 rw\n");

  const std::vector<DeviceTree::DiskInterface> disks = devices_->listDiskInterfaces();
  const std::vector<VolumeCase> cases = {
      {"the lowest-numbered mounted partition, not the first line", "/dev/sdb", "/media/two"},
      {"a disk mounted whole; the escape undone", "/dev/sdc", "/media/usb stick"},
      {"nothing mounted", "/dev/sdd", ""},
      {"the first of two mounts", "/dev/sde", "/mnt/first"},
  };
  for (const VolumeCase& c : cases) {
    SCOPED_TRACE(c.what);
    const DeviceTree::DiskInterface* disk = findByPath(disks, c.path);
    ASSERT_NE(disk, nullptr);
    EXPECT_EQ(disk->volumeTag, c.volumeTag);
  }
}

TEST_F(UdevDiskInterfaces, RescanAsksEveryHostThatHasAScanAttribute) {
  const std::string first = std::string(kPci) + "/0000:00:17.0/ata1/host0/scsi_host/host0";
  const std::string second = std::string(kPci) + "/0000:00:1c.0/host5/scsi_host/host5";
  const std::string without = std::string(kPci) + "/0000:00:1d.0/host6/scsi_host/host6";
  addRecords("P: " + first + "\nE: SUBSYSTEM=scsi_host\nA: scan=\n\n" + "P: " + second +
             "\nE: SUBSYSTEM=scsi_host\nA: scan=\n\n" + "P: " + without + "\nE: SUBSYSTEM=scsi_host\n\n");

  EXPECT_TRUE(devices_->rescan());
  EXPECT_EQ(sysfsFile(first + "/scan"), "- - -");
  EXPECT_EQ(sysfsFile(second + "/scan"), "- - -");
  EXPECT_EQ(sysfsFile(without + "/scan"), "<missing>");
}

}  // namespace
}  // namespace platform::devices::udev
