#pragma once
// What one test item's operation sees and what it answers. The port worker
// runs the items in their fixed order and does the bookkeeping common to all
// (results, first failure, detail buffer, gauge); an item's operation only
// talks to the drive and says whether it passed.

#include <cstdint>
#include <span>
#include <string>

#include "station/port_record.h"
#include "station/run_snapshot.h"

namespace fleetburn {

struct ItemContext {
  int port = 0;
  const RunSnapshot& run;
  PortRecord& record;              // the worker's own copy of the port's record
  std::span<std::uint8_t> buffer;  // the port's 64 KiB work buffer
  const std::string& downloadModel;  // the model number this port's Download writes
};

struct ItemOutcome {
  bool passed = false;
  std::uint32_t errorCode = 0;  // on a failure; 0 means the item's own number
  bool copyDetail = true;       // on a failure: the work buffer goes to detail buffer errorCode
};

}  // namespace fleetburn
