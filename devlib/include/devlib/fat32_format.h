#pragma once
// The FAT32 formatter: lays out one FAT32 volume inside the partition that
// the disk layout writer made, writing every sector through the block I/O.
//
// The volume fills the partition exactly (whole cylinders minus the first
// track); nothing is written outside it. Every size or label that would give
// a volume other systems misread is refused before the first write, with a
// debug line that says why. A label longer than FAT's 11 characters is cut
// to its first 11, with a debug line.

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <stop_token>
#include <string>
#include <string_view>

#include "platform/block_io.h"

namespace devlib {

inline constexpr std::uint32_t kFat32BytesPerSector = 512;  // the only sector size the layout is made for
inline constexpr std::uint32_t kFat32ReservedSectors = 32;
inline constexpr std::uint32_t kFat32FatCount = 2;
inline constexpr std::uint32_t kFat32RootCluster = 2;
inline constexpr std::uint32_t kFat32FsInfoSector = 1;
inline constexpr std::uint32_t kFat32BackupBootSector = 6;
inline constexpr std::uint32_t kFat32StartSector = 63;
inline constexpr std::size_t kFat32LabelLength = 11;
// Below this many clusters readers take the volume for FAT12 or FAT16; above
// the maximum the cluster numbers collide with the reserved FAT values.
inline constexpr std::uint32_t kFat32MinClusters = 65525;
inline constexpr std::uint32_t kFat32MaxClusters = 0x0FFFFFF5;
inline constexpr std::uint32_t kFat32ZeroChunkSectors = 128;

// How many times the format tries to open the device, a second apart. Set by
// the run engine before any worker starts (five per active port); a value
// below 1 still gives one attempt.
extern std::atomic<int> FormatOpenRetries;

// Local wall time, to the millisecond.
struct LocalTime {
  int year = 0;
  int month = 0;
  int day = 0;
  int hour = 0;
  int minute = 0;
  int second = 0;
  int millisecond = 0;
};

// Low 16 bits: (month x 256 + day) + (second x 256 + ms / 10); high 16 bits:
// (hour x 256 + minute) + year; both sums wrap at 16 bits.
std::uint32_t MakeVolumeId(const LocalTime& time);
std::uint32_t MakeVolumeId();  // from the local time now

// 4 x (total - reserved) / (spc x bps + 4 x fats) + 1; 1 when the divisor is 0.
std::uint32_t get_fat_size_sectors(std::uint32_t totalSectors, std::uint32_t reservedSectors,
                                   std::uint32_t sectorsPerCluster, std::uint32_t bytesPerSector,
                                   std::uint32_t fatCount);
// clusterKiB x 1024 / bps; 0 when bps is 0.
std::uint32_t get_spc(std::uint32_t clusterKiB, std::uint32_t bytesPerSector);
// The automatic cluster size by the volume's size in MiB (rounded down): up
// to 512 one sector, up to 8192 4 KiB, up to 16384 8 KiB, up to 32768 16 KiB,
// above 32 KiB. 0 when bps is 0.
std::uint32_t AutoSectorsPerCluster(std::uint64_t volumeSectors, std::uint32_t bytesPerSector);

// Only the first 11 characters of a label are written, so only they are
// checked: they may be none; otherwise they are all printable ASCII
// (0x20-0x7E) but none of "*+,./:;<=>?[\]|, and do not begin with a blank.
enum class LabelCheck { Ok, ForbiddenCharacter };
LabelCheck CheckVolumeLabel(std::string_view label);
// The 11 bytes as stored: the first 11 characters, blank padded; "NO NAME    "
// for an empty label.
std::array<std::uint8_t, kFat32LabelLength> PaddedVolumeLabel(std::string_view label);

// Where everything lies, in sectors from the volume start.
struct Fat32Layout {
  std::uint32_t bytesPerSector = 0;
  std::uint32_t sectorsPerCluster = 0;
  std::uint32_t totalSectors = 0;
  std::uint32_t hiddenSectors = 0;  // the volume's first LBA
  std::uint16_t heads = 0;
  std::uint16_t sectorsPerTrack = 0;
  std::uint32_t fatSectors = 0;
  std::uint32_t clusterCount = 0;
  std::uint32_t freeClusters = 0;  // all but the root directory's cluster

  std::uint32_t dataStart() const { return kFat32ReservedSectors + kFat32FatCount * fatSectors; }
  std::uint32_t clearedSectors() const { return dataStart() + sectorsPerCluster; }
};

struct Fat32Plan {
  std::optional<Fat32Layout> layout;  // empty when refused
  std::string refusal;                // why, as the debug output says it
};

// Plans a volume of `totalSectors` starting at LBA `startSector`;
// `sectorsPerCluster` 0 chooses it by size. Refuses a sector size other than
// 512, a cluster size that is not a power of two up to 128 sectors, fewer
// clusters than FAT32 needs, more than it can number and volumes of 2^32 - 1
// sectors or more.
Fat32Plan PlanFat32Layout(std::uint64_t totalSectors, std::uint32_t bytesPerSector, std::uint32_t sectorsPerCluster,
                          std::uint32_t startSector, std::uint32_t heads, std::uint32_t sectorsPerTrack);

// The sectors the format writes (512 bytes each; other bytes become 0).
void FillFat32BootSector(const Fat32Layout& layout, std::uint32_t volumeId, std::string_view label,
                         std::span<std::uint8_t, kFat32BytesPerSector> sector);
void FillFat32FsInfo(const Fat32Layout& layout, std::span<std::uint8_t, kFat32BytesPerSector> sector);
void FillFat32FirstFatSector(std::span<std::uint8_t, kFat32BytesPerSector> sector);

// Writes `count` sectors of zeros from `first`, 128 at a time, and reads each
// block back: 1 when every byte read back is 0, 0 at the first failed write,
// failed read, non-zero byte or stop request.
int zero_sectors_LBA(platform::block::BlockDevice& device, std::uint64_t first, std::uint32_t bytesPerSector,
                     std::uint32_t count, std::stop_token stop = {});
// Writes `count` sectors from `buffer` (which must hold them) at `sector`.
bool write_sect(platform::block::BlockDevice& device, std::uint64_t sector, std::uint32_t bytesPerSector,
                std::span<const std::uint8_t> buffer, std::uint32_t count);
// Read-modify-write of one 512-byte sector: the blank-padded label and the
// volume label attribute into bytes 0-11. 1 when both the read and the write
// succeeded.
int WriteVolumeLabelEntry(platform::block::BlockDevice& device, std::string_view label, std::uint64_t sector);

// The text and a line end, to the debug output.
void FormatDebugLine(std::string_view text);

// Formats the partition at `startSector` of an open device: the volume ends
// where the partition the layout writer makes ends (PartitionSectors).
// `sectorsPerCluster` 0 chooses the cluster size by size. 1 when everything
// was written and flushed, 0 otherwise.
int FormatFat32Volume(platform::block::BlockDevice& device, std::uint32_t sectorsPerCluster, std::string_view label,
                      std::uint32_t startSector, std::stop_token stop = {});

// Opens the device at `devicePath`, retrying a second apart, and formats it
// as FormatFat32Volume does; `port` supplies the stop request. 0 as well for
// a port outside the table, and when the device never opened.
int format_direct(std::string_view devicePath, std::uint32_t sectorsPerCluster, std::string_view label,
                  std::uint32_t startSector, int port);

// format_direct with the automatic cluster size at LBA 63.
bool FormatFat32(std::string_view devicePath, std::string_view label, int port);

}  // namespace devlib
