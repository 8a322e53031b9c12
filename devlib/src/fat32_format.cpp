#include "devlib/fat32_format.h"

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>
#include <vector>

#include "byte_fields.h"
#include "devlib/disk_layout.h"
#include "devlib/port_io.h"
#include "platform/clock.h"
#include "platform/debug.h"

namespace devlib {

std::atomic<int> FormatOpenRetries{0};

namespace {

using detail::PutLittleEndian16;
using detail::PutLittleEndian32;
using detail::PutText;

constexpr std::string_view kSectorSizeText =
    "This version of fat32format only supports hard disks with 512 bytes per sector.\n";
constexpr std::string_view kTooSmallText = "This drive is too small for FAT32 - there must be at least 64K clusters\n";
constexpr std::string_view kTooBigText = "This drive is too big for FAT32 - max 2TB supported\n";
constexpr std::string_view kTooManyClustersText =
    "This drive has more than 2^28 clusters, try to specify a larger cluster size\n";
constexpr std::string_view kClusterSizeText = "The cluster size must be a power of two of at most 128 sectors\n";

constexpr std::uint8_t kLabelAttribute = 0x08;
constexpr std::string_view kForbiddenLabelBytes = "\"*+,./:;<=>?[\\]|";

// Texts that carry their own line end go out as they are.
void Trace(std::string_view text) { platform::debug::output(text); }

// The summary goes to both the standard output and the debug output.
__attribute__((format(printf, 1, 2))) void Summary(const char* format, ...) {
  char text[256];
  std::va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  std::fputs(text, stdout);
  Trace(text);
}

bool IsPowerOfTwo(std::uint32_t value) { return value != 0 && (value & (value - 1)) == 0; }

std::unique_ptr<platform::block::BlockDevice> OpenWithRetries(std::string_view path, const std::stop_token& stop) {
  const int attempts = std::max(1, FormatOpenRetries.load());
  for (int attempt = 1;; ++attempt) {
    platform::block::OpenResult opened = platform::block::openBlockDevice(path);
    if (opened.device) return std::move(opened.device);
    if (attempt >= attempts) {
      FormatDebugLine("Failed to open " + std::string(path) + ": " + opened.error);
      return nullptr;
    }
    if (!platform::clock::sleepMs(1000, stop)) return nullptr;
  }
}

// One long label in the settings must not fail every drive's format: it is
// cut to what a FAT label holds, and only that part is written.
std::string_view CutVolumeLabel(std::string_view label) {
  if (label.size() <= kFat32LabelLength) return label;
  const std::string_view kept = label.substr(0, kFat32LabelLength);
  FormatDebugLine("Volume label cut to 11 characters: " + std::string(kept));
  return kept;
}

bool LabelAccepted(std::string_view label) {
  switch (CheckVolumeLabel(label)) {
    case LabelCheck::Ok: return true;
    case LabelCheck::ForbiddenCharacter: FormatDebugLine("Volume label holds a character FAT does not allow"); return false;
  }
  return false;
}

}  // namespace

std::uint32_t MakeVolumeId(const LocalTime& time) {
  const auto low = static_cast<std::uint16_t>((time.month * 256 + time.day) +
                                               (time.second * 256 + time.millisecond / 10));
  const auto high = static_cast<std::uint16_t>((time.hour * 256 + time.minute) + time.year);
  return std::uint32_t{high} << 16 | low;
}

std::uint32_t MakeVolumeId() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  std::tm local{};
  localtime_r(&seconds, &local);
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  return MakeVolumeId(LocalTime{local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min,
                                local.tm_sec, static_cast<int>(ms)});
}

std::uint32_t get_fat_size_sectors(std::uint32_t totalSectors, std::uint32_t reservedSectors,
                                   std::uint32_t sectorsPerCluster, std::uint32_t bytesPerSector,
                                   std::uint32_t fatCount) {
  const std::uint64_t numerator = totalSectors > reservedSectors ? 4 * std::uint64_t{totalSectors - reservedSectors} : 0;
  const std::uint64_t divisor = std::uint64_t{sectorsPerCluster} * bytesPerSector + 4 * std::uint64_t{fatCount};
  if (divisor == 0) {
    FormatDebugLine("get_fat_size_sectors");
    return 1;
  }
  return static_cast<std::uint32_t>(numerator / divisor + 1);
}

std::uint32_t get_spc(std::uint32_t clusterKiB, std::uint32_t bytesPerSector) {
  if (bytesPerSector == 0) {
    FormatDebugLine("get_spc");
    return 0;
  }
  return clusterKiB * 1024 / bytesPerSector;
}

std::uint32_t AutoSectorsPerCluster(std::uint64_t volumeSectors, std::uint32_t bytesPerSector) {
  if (bytesPerSector == 0) return 0;
  const std::uint64_t mib = volumeSectors * bytesPerSector / (1024 * 1024);
  if (mib <= 512) return 1;
  if (mib <= 8192) return get_spc(4, bytesPerSector);
  if (mib <= 16384) return get_spc(8, bytesPerSector);
  if (mib <= 32768) return get_spc(16, bytesPerSector);
  return get_spc(32, bytesPerSector);
}

LabelCheck CheckVolumeLabel(std::string_view label) {
  label = label.substr(0, std::min(label.size(), kFat32LabelLength));
  // A leading blank reads as a padded empty name.
  if (!label.empty() && label.front() == ' ') return LabelCheck::ForbiddenCharacter;
  for (const char c : label) {
    // Bytes from 0x80 mean different letters in every code page, and 0xE5
    // would mark the entry deleted.
    const auto byte = static_cast<std::uint8_t>(c);
    if (byte < 0x20 || byte >= 0x7F || kForbiddenLabelBytes.find(c) != std::string_view::npos) {
      return LabelCheck::ForbiddenCharacter;
    }
  }
  return LabelCheck::Ok;
}

std::array<std::uint8_t, kFat32LabelLength> PaddedVolumeLabel(std::string_view label) {
  std::array<std::uint8_t, kFat32LabelLength> padded{};
  padded.fill(' ');
  const std::string_view text = label.empty() ? std::string_view("NO NAME") : label.substr(0, kFat32LabelLength);
  std::copy(text.begin(), text.end(), padded.begin());
  return padded;
}

Fat32Plan PlanFat32Layout(std::uint64_t totalSectors, std::uint32_t bytesPerSector, std::uint32_t sectorsPerCluster,
                          std::uint32_t startSector, std::uint32_t heads, std::uint32_t sectorsPerTrack) {
  const auto refuse = [](std::string_view why) { return Fat32Plan{std::nullopt, std::string(why)}; };
  if (bytesPerSector != kFat32BytesPerSector) return refuse(kSectorSizeText);
  if (totalSectors < 65536) return refuse(kTooSmallText);
  if (totalSectors >= 0xFFFFFFFF) return refuse(kTooBigText);
  const std::uint32_t spc =
      sectorsPerCluster != 0 ? sectorsPerCluster : AutoSectorsPerCluster(totalSectors, bytesPerSector);
  if (!IsPowerOfTwo(spc) || spc > 128) return refuse(kClusterSizeText);

  Fat32Layout layout;
  layout.bytesPerSector = bytesPerSector;
  layout.sectorsPerCluster = spc;
  layout.totalSectors = static_cast<std::uint32_t>(totalSectors);
  layout.hiddenSectors = startSector;
  layout.heads = static_cast<std::uint16_t>(heads);
  layout.sectorsPerTrack = static_cast<std::uint16_t>(sectorsPerTrack);
  layout.fatSectors =
      get_fat_size_sectors(layout.totalSectors, kFat32ReservedSectors, spc, bytesPerSector, kFat32FatCount);
  // The size rule can leave the FAT an entry or two short of the clusters
  // it must map (entries 0 and 1 are reserved); one more sector covers them.
  const std::uint32_t entriesPerSector = bytesPerSector / 4;
  for (;;) {
    const std::uint64_t dataSectors = totalSectors - kFat32ReservedSectors - std::uint64_t{kFat32FatCount} * layout.fatSectors;
    layout.clusterCount = static_cast<std::uint32_t>(dataSectors / spc);
    if (std::uint64_t{layout.fatSectors} * entriesPerSector >= std::uint64_t{layout.clusterCount} + 2) break;
    ++layout.fatSectors;
  }
  if (layout.clusterCount > kFat32MaxClusters) return refuse(kTooManyClustersText);
  if (layout.clusterCount < kFat32MinClusters) return refuse(kTooSmallText);
  layout.freeClusters = layout.clusterCount - 1;
  return Fat32Plan{layout, {}};
}

void FillFat32BootSector(const Fat32Layout& layout, std::uint32_t volumeId, std::string_view label,
                         std::span<std::uint8_t, kFat32BytesPerSector> sector) {
  std::fill(sector.begin(), sector.end(), 0);
  sector[0] = 0xEB;
  sector[1] = 0x5A;
  sector[2] = 0x90;
  PutText(sector, 3, "MSWIN4.1");
  PutLittleEndian16(sector, 11, static_cast<std::uint16_t>(layout.bytesPerSector));
  sector[13] = static_cast<std::uint8_t>(layout.sectorsPerCluster);
  PutLittleEndian16(sector, 14, kFat32ReservedSectors);
  sector[16] = kFat32FatCount;
  sector[21] = 0xF8;
  PutLittleEndian16(sector, 24, layout.sectorsPerTrack);
  PutLittleEndian16(sector, 26, layout.heads);
  PutLittleEndian32(sector, 28, layout.hiddenSectors);
  PutLittleEndian32(sector, 32, layout.totalSectors);
  PutLittleEndian32(sector, 36, layout.fatSectors);
  PutLittleEndian32(sector, 44, kFat32RootCluster);
  PutLittleEndian16(sector, 48, kFat32FsInfoSector);
  PutLittleEndian16(sector, 50, kFat32BackupBootSector);
  sector[64] = 0x80;
  sector[66] = 0x29;
  PutLittleEndian32(sector, 67, volumeId);
  const auto padded = PaddedVolumeLabel(label);
  std::copy(padded.begin(), padded.end(), sector.begin() + 71);
  PutText(sector, 82, "FAT32   ");
  sector[510] = 0x55;
  sector[511] = 0xAA;
}

void FillFat32FsInfo(const Fat32Layout& layout, std::span<std::uint8_t, kFat32BytesPerSector> sector) {
  std::fill(sector.begin(), sector.end(), 0);
  PutLittleEndian32(sector, 0, 0x41615252);
  PutLittleEndian32(sector, 484, 0x61417272);
  PutLittleEndian32(sector, 488, layout.freeClusters);
  PutLittleEndian32(sector, 492, 3);
  PutLittleEndian32(sector, 508, 0xAA550000);
}

void FillFat32FirstFatSector(std::span<std::uint8_t, kFat32BytesPerSector> sector) {
  std::fill(sector.begin(), sector.end(), 0);
  PutLittleEndian32(sector, 0, 0x0FFFFFF8);
  PutLittleEndian32(sector, 4, 0x0FFFFFFF);
  PutLittleEndian32(sector, 8, 0x0FFFFFFF);  // the root directory: one cluster, end of chain
}

int zero_sectors_LBA(platform::block::BlockDevice& device, std::uint64_t first, std::uint32_t bytesPerSector,
                     std::uint32_t count, std::stop_token stop) {
  if (bytesPerSector == 0) return 0;
  const std::vector<std::uint8_t> zeros(std::size_t{kFat32ZeroChunkSectors} * bytesPerSector, 0);
  std::vector<std::uint8_t> back(zeros.size());
  const std::uint64_t started = platform::clock::tickMs();
  std::uint64_t done = 0;
  while (done < count) {
    if (stop.stop_requested()) return 0;
    const std::uint64_t block = std::min<std::uint64_t>(kFat32ZeroChunkSectors, count - done);
    const std::size_t bytes = static_cast<std::size_t>(block) * bytesPerSector;
    if (!device.write(first + done, std::span(zeros).first(bytes))) {
      FormatDebugLine("Failed to write");
      return 0;
    }
    if (!device.read(first + done, std::span(back).first(bytes))) {
      FormatDebugLine("Failed to read");
      return 0;
    }
    if (std::memcmp(back.data(), zeros.data(), bytes) != 0) {
      FormatDebugLine("Sectors read back not zero");
      return 0;
    }
    done += block;
  }
  // The rate only when the clock moved: a zero interval has no rate.
  const std::uint64_t elapsedMs = platform::clock::tickMs() - started;
  if (elapsedMs > 0) {
    const double seconds = static_cast<double>(elapsedMs) / 1000.0;
    const auto written = static_cast<std::int64_t>(done * bytesPerSector);
    std::printf("Wrote %" PRId64 " bytes in %g seconds, %f bytes/sec\n", written, seconds,
                static_cast<double>(written) / seconds);
  }
  return 1;
}

bool write_sect(platform::block::BlockDevice& device, std::uint64_t sector, std::uint32_t bytesPerSector,
                std::span<const std::uint8_t> buffer, std::uint32_t count) {
  const std::size_t bytes = std::size_t{bytesPerSector} * count;
  if (bytes == 0 || buffer.size() < bytes) return false;
  if (!device.write(sector, buffer.first(bytes))) {
    FormatDebugLine("Failed to write");
    return false;
  }
  return true;
}

int WriteVolumeLabelEntry(platform::block::BlockDevice& device, std::string_view label, std::uint64_t sector) {
  std::array<std::uint8_t, kFat32BytesPerSector> entry{};
  if (!device.read(sector, entry)) {
    FormatDebugLine("Failed to read");
    return 0;
  }
  const auto padded = PaddedVolumeLabel(label);
  std::copy(padded.begin(), padded.end(), entry.begin());
  entry[kFat32LabelLength] = kLabelAttribute;
  return write_sect(device, sector, kFat32BytesPerSector, entry, 1) ? 1 : 0;
}

void FormatDebugLine(std::string_view text) {
  std::string line(text);
  line += '\n';
  platform::debug::output(line);
}

int FormatFat32Volume(platform::block::BlockDevice& device, std::uint32_t sectorsPerCluster, std::string_view label,
                      std::uint32_t startSector, std::stop_token stop) {
  const std::uint32_t volumeId = MakeVolumeId();
  label = CutVolumeLabel(label);
  if (!LabelAccepted(label)) return 0;
  const platform::block::Geometry geometry = device.geometry();
  if (geometry.sectorSize == 0 || geometry.heads == 0 || geometry.sectorsPerTrack == 0 || geometry.heads > 0xFFFF ||
      geometry.sectorsPerTrack > 0xFFFF) {
    FormatDebugLine("Failed to get device geometry");
    return 0;
  }
  // The volume ends where the partition the layout writer made does.
  const std::uint64_t partitionSectors = PartitionSectors(geometry);
  const std::uint64_t partitionEnd = kPartitionStartSector + partitionSectors;
  if (partitionSectors == 0 || startSector >= partitionEnd) {
    FormatDebugLine("Failed to get parition info");
    return 0;
  }

  const Fat32Plan plan = PlanFat32Layout(partitionEnd - startSector, geometry.sectorSize, sectorsPerCluster,
                                         startSector, geometry.heads, geometry.sectorsPerTrack);
  if (!plan.layout) {
    Trace(plan.refusal);
    return 0;
  }
  const Fat32Layout& layout = *plan.layout;

  std::vector<std::uint8_t> bootSector, fsInfo, fatSector;
  try {
    bootSector.resize(kFat32BytesPerSector);
    fsInfo.resize(kFat32BytesPerSector);
    fatSector.resize(kFat32BytesPerSector);
  } catch (const std::bad_alloc&) {
    FormatDebugLine("Failed to allocate memory");
    return 0;
  }
  FillFat32BootSector(layout, volumeId, label, std::span<std::uint8_t, kFat32BytesPerSector>(bootSector));
  FillFat32FsInfo(layout, std::span<std::uint8_t, kFat32BytesPerSector>(fsInfo));
  FillFat32FirstFatSector(std::span<std::uint8_t, kFat32BytesPerSector>(fatSector));

  const std::uint64_t volumeBytes = std::uint64_t{layout.totalSectors} * layout.bytesPerSector;
  Summary("Size : %gGB %u sectors\n", static_cast<double>(volumeBytes / 1000000000), layout.totalSectors);
  Summary("%u Bytes Per Sector, Cluster size %u bytes\n", layout.bytesPerSector,
          layout.sectorsPerCluster * layout.bytesPerSector);
  Summary("Volume ID is %x:%x\n", volumeId >> 16, volumeId & 0xFFFF);
  Summary("%u Reserved Sectors, %u Sectors per FAT, %u fats\n", kFat32ReservedSectors, layout.fatSectors,
          kFat32FatCount);
  Summary("%u Total clusters\n", layout.clusterCount);
  Summary("%u Free Clusters\n", layout.freeClusters);

  Trace("Formatting drive ...\n");
  char clearing[128];
  std::snprintf(clearing, sizeof clearing, "Clearing out %u sectors for Reserved sectors, fats and root cluster...\n",
                layout.clearedSectors());
  Trace(clearing);
  if (zero_sectors_LBA(device, startSector, layout.bytesPerSector, layout.clearedSectors(), stop) == 0) return 0;

  Trace("Initialising reserved sectors and FATs...\n");
  const std::uint32_t bps = layout.bytesPerSector;
  const bool written = write_sect(device, startSector, bps, bootSector, 1) &&
                       write_sect(device, startSector + kFat32FsInfoSector, bps, fsInfo, 1) &&
                       write_sect(device, startSector + kFat32BackupBootSector, bps, bootSector, 1) &&
                       write_sect(device, startSector + kFat32BackupBootSector + 1, bps, fsInfo, 1) &&
                       write_sect(device, startSector + kFat32ReservedSectors, bps, fatSector, 1) &&
                       write_sect(device, startSector + kFat32ReservedSectors + layout.fatSectors, bps, fatSector,
                                  1) &&
                       // An empty label has no directory entry: the boot sector says "NO NAME".
                       (label.empty() ||
                        WriteVolumeLabelEntry(device, label, startSector + std::uint64_t{layout.dataStart()}) == 1);
  if (!written) return 0;
  if (!device.flush()) {
    FormatDebugLine("Failed to flush");
    return 0;
  }
  std::puts("Done");
  FormatDebugLine("Done");
  return 1;
}

int format_direct(std::string_view devicePath, std::uint32_t sectorsPerCluster, std::string_view label,
                  std::uint32_t startSector, int port) {
  if (PortIo(port) == nullptr) {
    FormatDebugLine("No such port");
    return 0;
  }
  // A label that cannot be written is refused before the device is even opened.
  label = CutVolumeLabel(label);
  if (!LabelAccepted(label)) return 0;
  const std::shared_ptr<const PortTransport> transport = PortIo(port)->Transport();
  const std::stop_token& stop = transport->stop;
  std::unique_ptr<platform::block::BlockDevice> device = OpenWithRetries(devicePath, stop);
  if (!device) return 0;
  return FormatFat32Volume(*device, sectorsPerCluster, label, startSector, stop);
}

bool FormatFat32(std::string_view devicePath, std::string_view label, int port) {
  return format_direct(devicePath, 0, label, kFat32StartSector, port) == 1;
}

}  // namespace devlib
