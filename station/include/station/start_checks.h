#pragma once
// START's checks before a run, on the settings just copied from the pages:
// the capacity choice, channels and banks, the bin files, the serial length,
// NTFS partitions on the drives, the RD page's mode and the download list.
// A refusal leaves the program as it was (save the results the capacity
// check clears); a no-run ends START as a finished one, without a run.

#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "devlib/firmware_download.h"
#include "devlib/settings_record.h"
#include "station/port_record.h"
#include "station/settings_pages.h"

namespace fleetburn {

// The capacity in GB of each CapacityCmBx entry; 0 ("Don't Care") checks nothing.
inline constexpr std::array<std::uint32_t, 11> kCapacityChoiceGB{0, 2, 4, 8, 16, 32, 64, 128, 256, 512, 1024};

enum class StartVerdict { Run, Refused, NoRun };

struct StartCheck {
  StartVerdict verdict = StartVerdict::Run;
  std::string message{};  // the message to show; empty for a no-run without one
  bool tableMode = false;  // TableModeFlag
  bool claimNew = false;   // ClaimNewFlag
  // The download list built for this run; nothing when the run keeps the last one.
  std::shared_ptr<const devlib::DownloadFileList> downloadList{};
};

struct StartInputs {
  const devlib::SettingsRecord& record;  // freshly filled from the pages
  const SettingsPageState& pages;
  const FirmwareFileChoice& bins;
  bool specialMode = false;
  std::string activePageCaption;  // of PageControl1
  std::filesystem::path programDirectory;
  // Of the flash part applied last.
  std::uint32_t flashCapacityGB = 0;
  std::uint16_t pagesPerBlock = 0;
  std::uint8_t sectorsPerPage = 0;
  // Whether an active port's drive, not in loader mode, holds an NTFS partition.
  std::function<bool(int port)> holdsNtfsPartition;
};

// The checks in START's order. The capacity refusal clears the item results
// of the check list's items and the overall result of every attached port
// among the first `portCount` records of `table`.
StartCheck CheckStart(const StartInputs& inputs, PortRecordTable& table, int portCount);

}  // namespace fleetburn
