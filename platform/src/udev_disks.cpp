// USB disks and device numbers.

#include <sys/stat.h>

#include <cstring>

#include "platform/udev_devices.h"
#include "udev_backend.h"

namespace platform::devices::udev {
namespace {

// The USB mass-storage interface nearest above a block device, when a
// mass-storage driver has it.
udev_device* massStorageInterface(udev_device* disk) {
  udev_device* interface = udev_device_get_parent_with_subsystem_devtype(disk, "usb", "usb_interface");
  if (interface == nullptr) return nullptr;
  const char* driver = udev_device_get_driver(interface);
  if (driver == nullptr) return nullptr;
  return std::strcmp(driver, "usb-storage") == 0 || std::strcmp(driver, "uas") == 0 ? interface : nullptr;
}

// The SCSI generic node of the SCSI device a disk is, when it has one.
std::string scsiGenericNode(::udev* context, udev_device* disk) {
  udev_device* scsiDevice = udev_device_get_parent_with_subsystem_devtype(disk, "scsi", "scsi_device");
  if (scsiDevice == nullptr) return {};
  for (const std::string& syspath : devicesOf(context, "scsi_generic", nullptr, scsiDevice)) {
    const Device generic = deviceAt(context, syspath);
    const std::string node = textOf(udev_device_get_devnode(generic.get()));
    if (!node.empty()) return node;
  }
  return {};
}

// The whole disk of the SCSI device a SCSI generic node belongs to.
Device diskOfScsiGeneric(::udev* context, udev_device* generic) {
  udev_device* scsiDevice = udev_device_get_parent_with_subsystem_devtype(generic, "scsi", "scsi_device");
  if (scsiDevice == nullptr) return Device();
  const std::vector<std::string> disks = devicesOf(context, "block", "disk", scsiDevice);
  if (disks.empty()) return Device();
  return deviceAt(context, disks.front());
}

std::optional<DeviceNumber> numberOfDisk(udev_device* disk, std::uint32_t partition) {
  const dev_t number = udev_device_get_devnum(disk);
  if (number == 0) return std::nullopt;
  return DeviceNumber{.deviceType = kDiskDeviceType, .number = packedDeviceNumber(number), .partition = partition};
}

std::optional<DeviceNumber> numberOfBlockNode(::udev* context, dev_t node) {
  const Device device(udev_device_new_from_devnum(context, 'b', node));
  if (isA(device.get(), "block", "disk")) return numberOfDisk(device.get(), 0);
  if (!isA(device.get(), "block", "partition")) return std::nullopt;
  const std::optional<unsigned long> partition = numberAttribute(device.get(), "partition", 10);
  udev_device* disk = udev_device_get_parent_with_subsystem_devtype(device.get(), "block", "disk");
  if (!partition || *partition == 0 || *partition > UINT32_MAX || disk == nullptr) return std::nullopt;
  return numberOfDisk(disk, static_cast<std::uint32_t>(*partition));
}

std::optional<DeviceNumber> numberOfCharacterNode(::udev* context, dev_t node) {
  const Device device(udev_device_new_from_devnum(context, 'c', node));
  if (!isA(device.get(), "scsi_generic", nullptr)) return std::nullopt;
  const Device disk = diskOfScsiGeneric(context, device.get());
  if (!disk) return std::nullopt;
  return numberOfDisk(disk.get(), 0);
}

}  // namespace

std::optional<UsbDisk> describeUsbDisk(::udev* context, udev_device* disk) {
  if (!isA(disk, "block", "disk")) return std::nullopt;
  udev_device* interface = massStorageInterface(disk);
  if (interface == nullptr) return std::nullopt;

  UsbDisk described;
  described.devicePath = scsiGenericNode(context, disk);
  if (described.devicePath.empty()) described.devicePath = textOf(udev_device_get_devnode(disk));
  if (described.devicePath.empty()) return std::nullopt;
  described.diskId = textOf(udev_device_get_sysname(disk));
  described.diskNode = packedDeviceNumber(udev_device_get_devnum(disk));

  udev_device* owner = udev_device_get_parent_with_subsystem_devtype(interface, "usb", "usb_device");
  if (owner != nullptr) {
    described.parentUsbDeviceId = textOf(udev_device_get_sysname(owner));
    const unsigned long bus = numberAttribute(owner, "busnum", 10).value_or(0);
    const unsigned long address = numberAttribute(owner, "devnum", 10).value_or(0);
    described.parentNode = static_cast<std::uint32_t>(((bus & 0xffffu) << 16) | (address & 0xffffu));
  }
  return described;
}

std::vector<UsbDisk> listUsbDisks() {
  std::vector<UsbDisk> disks;
  const Context context = newContext();
  for (const std::string& syspath : devicesOf(context.get(), "block", "disk")) {
    const Device disk = deviceAt(context.get(), syspath);
    if (std::optional<UsbDisk> described = describeUsbDisk(context.get(), disk.get())) {
      disks.push_back(std::move(*described));
    }
  }
  return disks;
}

std::optional<DeviceNumber> deviceNumberOf(const std::string& devicePath) {
  struct stat status {};
  if (::stat(devicePath.c_str(), &status) != 0) return std::nullopt;
  const Context context = newContext();
  if (!context) return std::nullopt;
  if (S_ISBLK(status.st_mode)) return numberOfBlockNode(context.get(), status.st_rdev);
  if (S_ISCHR(status.st_mode)) return numberOfCharacterNode(context.get(), status.st_rdev);
  return std::nullopt;
}

}  // namespace platform::devices::udev
