#pragma once
// Picks the injected fault, if any, that takes a command.

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "drivesim/faults.h"

namespace drivesim::detail {

// What a command is, as far as fault rules can tell.
struct CommandKey {
  bool scsi = false;    // arrived as a SCSI command
  bool dataIn = false;  // moves data to the host
  std::optional<std::uint8_t> scsiOpcode, ataCommand, subOp;
  std::optional<TunnelPhase> phase;
  std::optional<std::uint16_t> block, page;  // of a flash sub-op
};

// The flash address of a vendor block of a flash sub-op: block at 5-6 and
// (for reads and writes) page at 7-8, big-endian.
void addFlashAddress(CommandKey& key, std::span<const std::uint8_t> vendorBlock);

class FaultInjector {
 public:
  void add(const FaultRule& rule) { rules_.push_back({rule}); }
  void clear() { rules_.clear(); }

  // Rules are tried in the order added; the first that fires takes the
  // command, and those after it do not see it. A rule counts a match against
  // its `skip` only when its kind applies to the command: CheckCondition to
  // SCSI commands, AtaError to commands that reach the ATA device, the reply
  // faults to data-in commands, OpenFailure to opens only.
  std::optional<FaultRule> takeForOpen();
  std::optional<FaultRule> take(const CommandKey& key);

 private:
  struct Armed {
    FaultRule rule;
    int seen = 0;
    int fired = 0;
  };
  std::optional<FaultRule> takeFirst(const CommandKey* key);
  std::vector<Armed> rules_;
};

}  // namespace drivesim::detail
