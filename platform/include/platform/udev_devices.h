#pragma once
// The real device tree, read from udev (sysfs), and hot-plug notices from a
// udev monitor.
//
// Ids and keys:
// - A USB device's id is its sysfs name ("2-1.3"): the parent id of its disks,
//   the instance id that findDeviceIdByDriverKey gives, and the id in its
//   arrival and removal notices.
// - A disk's id is its block device name ("sdb").
// - The driver key of a port's device is the device's udev devpath
//   ("/devices/pci0000:00/0000:00:14.0/usb1/1-2"): unique while the device
//   stays attached, and the way back to it.
// - A disk's device path is its SCSI generic node (/dev/sgN) when it has one,
//   else its block node.
//
// Hubs:
// - Only root hubs are listed; a hub on a port opens by its connection name,
//   which is its sysfs name.
// - An xHCI controller shows each socket twice, on a USB 2 and a USB 3 hub
//   whose ports are peers. The hub of the lower speed (then of the lower bus
//   number) owns the socket: its port reports a device attached on either
//   peer. The other hub leaves such ports out of its own numbering, and a root
//   hub left with no port at all is not listed. The same holds for the two
//   halves of an external USB 3 hub.
// - A port's status without a device: "over-current" when the port has seen
//   one, "enumeration failed" for a hard-wired port, else no device.
// - String descriptors come from sysfs, which holds them in the device's first
//   language; any language asked gets that text.
//
// Device numbers: the number is the whole disk's packed major:minor, also for
// a partition or the disk's SCSI generic node; the partition is sysfs'
// `partition` (0 for the whole disk).
//
// Disk interfaces: every whole disk but loop, RAM and device-mapper disks,
// by kernel name (sdz before sdaa), opened by its block node. The bus comes
// from the parents first (a USB or FireWire device above the disk), then from
// udev's ID_BUS, then from a libata port (ataN) in the path, else any SCSI
// disk is on SCSI: udev gives a disk in a USB enclosure ID_BUS "ata". The
// classify text is the bus word alone ("ide", "scsi", "usb", "sbp2"; empty for
// another bus). The volume tag is the mount point, from /proc/self/mountinfo,
// of the lowest-numbered mounted partition, else of the whole disk.
//
// rescan() writes "- - -" into the scan attribute of every SCSI host where it
// may write, and answers true.
//
// subscribe() gives nothing when no monitor can be had; notices come on a
// thread of the subscription's own.

#include <cstdint>
#include <memory>

#include "platform/devices.h"

namespace platform::devices::udev {

// DeviceNumber::deviceType of a disk.
inline constexpr std::uint32_t kDiskDeviceType = 7;

std::shared_ptr<DeviceTree> makeDeviceTree();

}  // namespace platform::devices::udev
