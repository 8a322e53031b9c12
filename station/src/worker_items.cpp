#include "worker_items.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>

#include "devlib/bad_block_tables.h"
#include "devlib/claim_new.h"
#include "devlib/controller_tests.h"
#include "devlib/debug_print.h"
#include "devlib/disk_layout.h"
#include "devlib/drive_state.h"
#include "devlib/fat32_format.h"
#include "devlib/firmware_download.h"
#include "devlib/port_io.h"
#include "platform/clock.h"
#include "station/port_worker.h"
#include "station/test_items.h"
#include "station/worker_checks.h"

namespace fleetburn {
namespace {

constexpr int kVolumeAttempts = 101;
constexpr std::uint64_t kVolumeAttemptPauseMs = 1000;
constexpr int kDefectReportNames = 100000;

void Clear(std::span<std::uint8_t> buffer) { std::fill(buffer.begin(), buffer.end(), std::uint8_t{0}); }

ItemOutcome Outcome(bool passed) { return ItemOutcome{passed, 0, true}; }

ItemOutcome FlashInterface(const ItemContext& context) {
  context.record.flashTestResult = 0;
  context.record.flashTestStep = 0;
  Clear(context.buffer);
  char result = 0;
  std::uint8_t step = 0;
  const bool passed = devlib::FlashInterfaceTest(context.port, context.buffer, result, step, 0);
  context.record.flashTestResult = static_cast<std::uint8_t>(result);
  context.record.flashTestStep = step;
  return Outcome(passed);
}

ItemOutcome PreformatItem(const ItemContext& context) {
  context.record.flashTestResult = 0;
  Clear(context.buffer);
  const devlib::PreformatFlags flags{context.run.eraseChk, context.run.laterChk, context.run.repairUsedChk,
                                     context.run.settings.KeepEraseCount != 0};
  return Outcome(devlib::Preformat(context.port, context.buffer, flags, 0));
}

ItemOutcome Download(const ItemContext& context) {
  const std::string serial = context.record.serialNumber.str();
  const std::filesystem::path report = ReserveDefectReport(context.run.logDir, serial);
  if (report.empty()) devlib::DebugPrint("Port %d: no defect report file could be made for %s", context.port + 1,
                                         serial.c_str());
  const devlib::DriveIdentity identity{serial, context.record.uniqueId.str(), context.downloadModel};
  const bool passed = devlib::DownloadFirmware(context.port, context.buffer, identity, 0, report,
                                               context.run.tableVersion);
  // A reserved name that received no defect table is given back.
  std::error_code error;
  if (!report.empty() && std::filesystem::file_size(report, error) == 0 && !error)
    std::filesystem::remove(report, error);
  return Outcome(passed);
}

ItemOutcome SetMaxLbaItem(const ItemContext& context) {
  const std::uint64_t value = context.run.settings.SetMaxLBAValue;
  return Outcome(devlib::SetMaxLba(context.port, context.buffer, static_cast<std::uint32_t>(value),
                                   static_cast<std::uint32_t>(value >> 32)));
}

// One partition over the disk, its volume waited for, then FAT32 on it.
bool FormatDisk(const ItemContext& context) {
  const std::string& path = context.record.devicePath;
  devlib::EnsureFirmwareRunning(context.port, context.buffer);
  const bool partitioned =
      devlib::IsWindows2000() ? devlib::PartitionDiskMbr(path) : devlib::PartitionDiskEx(path, context.port);
  if (!partitioned) return false;
  devlib::VolumeRef volume;
  for (int attempt = 0; attempt < kVolumeAttempts; ++attempt) {
    if (!platform::clock::sleepMs(kVolumeAttemptPauseMs, devlib::PortStop(context.port))) return false;
    if (devlib::FindDriveLetter(path, volume) == 1)
      return devlib::FormatFat32(path, context.run.settings.DiskLabel.view(), context.port);
  }
  devlib::DebugPrint("Port %d: the new partition got no volume after %d attempts", context.port + 1, kVolumeAttempts);
  return false;
}

ItemOutcome DiskFormat(const ItemContext& context) {
  const bool passed = FormatDisk(context);
  context.record.formatDone = passed ? 1 : 0;
  return ItemOutcome{passed, 0, false};
}

ItemOutcome CopyImage(const ItemContext& context) {
  devlib::DebugPrint("Port %d: Copy Image is not available in this version", context.port + 1);
  return ItemOutcome{false, 0, false};
}

}  // namespace

ItemOutcome RunEarlyItem(int item, const ItemContext& context) {
  const int port = context.port;
  switch (item) {
    case 1:
      Clear(context.buffer);
      return Outcome(devlib::FlashModuleTest(port, context.buffer, 0));
    case 2:
      Clear(context.buffer);
      return Outcome(devlib::BusInterfaceTest(port, context.buffer, 0));
    case 3: return FlashInterface(context);
    case 4:
      Clear(context.buffer);
      return Outcome(devlib::DramTest(port, context.buffer, 0));
    case 5: return PreformatItem(context);
    case 6: return Download(context);
    case 8: return Outcome(devlib::RWTestPartial(port, context.buffer));
    case 9: return CheckTablesWithinLimit(context, 9, 0);
    case 10: return SetMaxLbaItem(context);
    case 11: return DiskFormat(context);
    case 12: return CopyImage(context);
    case 13: return CheckTemperatureWithin(context, context.run.settings.CheckMaxTemperatureValue);
    default: break;
  }
  devlib::DebugPrint("Port %d: item %d has no operation", port + 1, item);
  return ItemOutcome{false, 0, false};
}

bool EarlyItemTakesPart(int item, const devlib::SettingsRecord& settings) {
  if (settings.ItemEnable[static_cast<std::size_t>(item)] == 0) return false;
  return item != 12 || settings.ItemEnable[6] != 0;
}

bool LoaderBlockCheckNeeded(const devlib::SettingsRecord& settings) {
  return settings.ItemEnable[5] != 0 || settings.ItemEnable[6] != 0 || settings.ItemEnable[9] != 0;
}

void EraseBeforeLoaderBlockCheck(const ItemContext& context) {
  if (context.run.settings.ItemEnable[5] != 0 && context.run.eraseChk)
    devlib::RunEraseOperation(context.port, context.buffer, 0);
}

ItemOutcome CheckLoaderBlockStep(const ItemContext& context) {
  return ItemOutcome{devlib::CheckLoaderBlocks(context.port, context.buffer, 0), kErrorLoaderBlock, true};
}

ItemOutcome RebuildStep(const ItemContext& context) {
  const bool a2b = context.run.settings.UpdateFirmwareA2B != 0;
  return ItemOutcome{devlib::RebuildDevice(context.port, context.buffer, 0, a2b), kErrorRebuild, true};
}

std::filesystem::path ReserveDefectReport(const std::filesystem::path& logDir, std::string_view serial) {
  std::string name(serial);
  for (char& c : name)
    if (c == '/' || c == '\\' || c == ':' || static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '_';
  for (int n = -1; n < kDefectReportNames; ++n) {
    const std::string file = n < 0 ? name + "_EB.txt" : name + "(" + std::to_string(n) + ")_EB.txt";
    const std::filesystem::path path = logDir / file;
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd >= 0) {
      ::close(fd);
      return path;
    }
    if (errno != EEXIST) {
      devlib::DebugPrint("Defect report %s cannot be created: %s", path.c_str(), std::strerror(errno));
      return {};
    }
  }
  devlib::DebugPrint("Defect report of %s: every name is taken", name.c_str());
  return {};
}

}  // namespace fleetburn
