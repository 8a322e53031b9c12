#pragma once
// What START captured for one run: the settings and the page options the
// workers read. It is built on the GUI thread before the first worker starts
// and shared, read-only, by every worker of the run, so that nothing the
// operator changes during the run reaches a worker.

#include <array>
#include <filesystem>
#include <vector>

#include "devlib/fixed_text.h"
#include "devlib/settings_record.h"
#include "station/port_record.h"
#include "station/settings_pages.h"

namespace fleetburn {

struct RunSnapshot {
  devlib::SettingsRecord settings;  // the item enables and parameters, TimeOut, the identity texts
  std::vector<CheckListEntry> checkList;  // the test item check list: the log's columns
  int checkedEntries = 0;                 // its checked entries: the gauge's divisor
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
