#pragma once
// The port worker's own steps before the identity checks: test items 1 to
// 13, the loader block check before Preformat and the rebuild of a
// claim-new run. Each talks to the drive and says whether it passed; the
// worker does the bookkeeping.

#include <filesystem>
#include <string_view>

#include "station/worker_item.h"

namespace fleetburn {

inline constexpr int kLastEarlyItem = 13;

// The operation of item `item` (1 to 13; 7 has none and fails).
ItemOutcome RunEarlyItem(int item, const ItemContext& context);

// Copy Image runs only beside Download.
bool EarlyItemTakesPart(int item, const devlib::SettingsRecord& settings);

// The loader block check runs when Preformat, Download or Check Tables does.
bool LoaderBlockCheckNeeded(const devlib::SettingsRecord& settings);
// The flash erase that Preformat's erase option asks for, before the check;
// its result is not looked at.
void EraseBeforeLoaderBlockCheck(const ItemContext& context);
ItemOutcome CheckLoaderBlockStep(const ItemContext& context);

// The rebuild of a claim-new run.
ItemOutcome RebuildStep(const ItemContext& context);

// Creates the first free defect report file of `serial` in `logDir`
// ("<SN>_EB.txt", then "<SN>(0)_EB.txt", "<SN>(1)_EB.txt", ...) and returns
// its path; creating it reserves it against a port with the same serial.
// Characters that cannot stand in a file name become '_'. Empty when no
// file could be created.
std::filesystem::path ReserveDefectReport(const std::filesystem::path& logDir, std::string_view serial);

}  // namespace fleetburn
