#pragma once
// What START captured for one run: the settings and the page options the
// workers read. It is built on the GUI thread before the first worker starts
// and shared, read-only, by every worker of the run, so that nothing the
// operator changes during the run reaches a worker.

#include <array>
#include <filesystem>

#include "devlib/fixed_text.h"
#include "devlib/settings_record.h"
#include "station/port_record.h"

namespace fleetburn {

struct RunSnapshot {
  devlib::SettingsRecord settings;  // the item enables and parameters, TimeOut, the identity texts
  int checkedEntries = 0;           // checked entries of the test item check list: the gauge's divisor
  // Options of the Preformat page.
  bool eraseChk = false;
  bool laterChk = false;
  bool repairUsedChk = false;
  bool rebuildCloseChk = false;  // "Close AP after Rebuild "
  bool claimNew = false;         // ClaimNewFlag of this START
  int tableVersion = 0;          // the table version code of the selected firmware
  std::filesystem::path logDir;  // where the Download item writes its defect reports
  std::array<devlib::FixedText<40>, kPortSlots> barcodeSerials{};
};

}  // namespace fleetburn
