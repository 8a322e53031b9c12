#pragma once
// The identity collection and the test items after it (15 to 28): checks of
// what the drive says it is and holds, the later read/write tests, the
// erase, and the QC checks of the tables and the temperature.

#include <cstdint>
#include <span>
#include <string>

#include "station/port_record.h"
#include "station/worker_item.h"

namespace fleetburn {

inline constexpr int kFirstCheckItem = 15;
inline constexpr int kLastCheckItem = 28;

// The texts the drive gave about itself; empty where nothing was collected.
struct CollectedIdentity {
  std::string model;     // up to 40 characters
  std::string firmware;  // 8
  std::string serial;    // 20
  std::string vendor;
  std::string product;
};

// Asks the drive who it is, before item 15, whatever failed before. The
// collected serial number is written over the beginning of the record's
// serial number.
CollectedIdentity CollectIdentity(int port, PortRecord& record, std::span<std::uint8_t> buffer);

// True when one of the items that read the collected identity is enabled.
bool IdentityNeeded(const devlib::SettingsRecord& settings);

// The operation of item `item` (15 to 28) on the context's drive.
ItemOutcome RunCheckItem(int item, const ItemContext& context, const CollectedIdentity& identity);

// The table check after the download, shared by Check Tables and QC Check
// Tables: the tables must be in place (else error `tablesErrorCode`), then
// the grown bad blocks (the second to fifth totals of the count) may add up
// to at most `badBlockLimit`; more fail with "Bad block is over" and the work
// buffer holding 0xBB and the five totals, 32-bit little-endian.
ItemOutcome CheckTablesWithinLimit(const ItemContext& context, std::uint32_t tablesErrorCode,
                                   std::uint32_t badBlockLimit);

// The drive's temperature against `limit`, read into the record. On the
// controller's own USB interface, which carries no S.M.A.R.T., it passes with
// temperature 0.
ItemOutcome CheckTemperatureWithin(const ItemContext& context, std::uint8_t limit);

}  // namespace fleetburn
