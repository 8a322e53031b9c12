#pragma once
// The disk layout written before the FAT32 format, and the volume the system
// makes of it: one primary FAT32 partition from sector 63 over whole
// cylinders, finding, opening, locking and dismounting its volume, and the
// version tests of the system the programs were first written for.
//
// A drive letter there is a volume here: the partition's node and its mount
// point. Failures come back as results; the reason the block layer gives (a
// refusal to write the system's disk, say) goes to the debug output.

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

#include "platform/block_io.h"

namespace devlib {

inline constexpr std::uint64_t kPartitionStartSector = 63;
inline constexpr std::uint8_t kFat32PartitionType = 0x0B;
inline constexpr std::size_t kMbrBytes = 512;

// The sectors of the one partition on a disk of this geometry: whole
// cylinders (heads x sectors per track) less the 63 sectors before the
// partition; a remainder of a cylinder stays unused, and so do the cylinders
// that would reach past what a partition entry's 32-bit sector numbers can
// address. 0 when the partition cannot be made: no sector size, no heads or
// sectors per track, or less than one cylinder. The formatter sizes the
// volume with the same computation.
std::uint64_t PartitionSectors(const platform::block::Geometry& geometry);

// Sector 0 as the layout writers put it: our PC boot loader with its three
// messages at 300, 324 and 355, the disk signature at 440, one partition
// entry (not active, type 0x0B, CHS and LBA fields) and 55 AA. The geometry
// must give a partition (PartitionSectors not 0).
std::array<std::uint8_t, kMbrBytes> ComposeMbr(const platform::block::Geometry& geometry,
                                               std::uint32_t diskSignature);

// A disk signature for one more drive: non-zero, random, and not one this
// process gave out before.
std::uint32_t NewDiskSignature();

// Writes the layout onto the disk and has the system read the table again.
// True only when the disk could be opened, its geometry takes the partition,
// sector 0 was written and flushed, and the table was re-read. The size comes
// from the device, the same that the formatter sees; `port` names the drive
// the station works on.
bool PartitionDiskEx(std::string_view diskPath, int port);
// The same layout, written the same way.
bool PartitionDiskMbr(std::string_view diskPath);

using VolumeRef = platform::block::Volume;
// An open volume; empty is the invalid handle.
using VolumeHandle = std::unique_ptr<platform::block::VolumeHandle>;

// 1 and the volume of the disk's first partition in `letter`; 0, with
// `letter` left as it was, while the system knows no volume there. Never a
// volume on the disk that holds the running system.
int FindDriveLetter(std::string_view diskPath, VolumeRef& letter);
// The volume opened for reading and writing (reading only on a read-only
// medium); the invalid handle when it cannot be opened.
VolumeHandle OpenDriveLetter(const VolumeRef& letter);
bool LockVolume(const VolumeHandle& handle);
bool DismountVolume(const VolumeHandle& handle);
// Closes the handle; false for the invalid handle.
bool CloseDriveHandle(VolumeHandle& handle);

// The programs' tests for versions of the system they were written for:
// always false here.
bool IsWindows2000();
bool IsWindows7();

}  // namespace devlib
