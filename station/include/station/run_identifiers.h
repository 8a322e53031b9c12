#pragma once
// The serial numbers and unique IDs a run hands to its active ports, in slot
// order. A port takes its barcode entry where barcodes are on and it has one;
// otherwise, with serial reuse, a number a failed download left behind;
// otherwise the current number, which then advances when auto-increment is
// on, the run is no claim-new run and Download is enabled. A number is
// advanced exactly when a port took it, so no two ports get the same one
// while auto-increment is on, and a reused number never moves the counter.

#include <array>
#include <cstddef>
#include <deque>
#include <string>
#include <vector>

#include "devlib/fixed_text.h"
#include "station/port_record.h"

namespace fleetburn {

struct IdentifierRules {
  bool snAutoInc = false;   // SNIncChk
  bool uidAutoInc = false;  // UIDIncChk
  bool snDecimal = true;
  bool uidDecimal = true;
  bool barcodeSerials = false;  // EnBarCode
  bool barcodeUids = false;     // EnBarCodeWWN
  bool reuseSerials = false;    // SNErrReuse
  bool claimNew = false;
  bool downloadEnabled = false;
};

struct PortIdentifiers {
  int port = 0;
  std::string serialNumber;
  std::string uniqueId;
};

// `reuse` holds the numbers to hand out again, first first; each one taken
// leaves it. `currentSerial` and `currentUid` end as the next numbers.
std::vector<PortIdentifiers> AssignIdentifiers(const std::vector<int>& activePorts, const IdentifierRules& rules,
                                               devlib::FixedText<22>& currentSerial, devlib::FixedText<12>& currentUid,
                                               const std::array<devlib::FixedText<40>, kPortSlots>& barcodeSerials,
                                               const std::array<devlib::FixedText<18>, kPortSlots>& barcodeUids,
                                               std::deque<std::string>& reuse);

}  // namespace fleetburn
