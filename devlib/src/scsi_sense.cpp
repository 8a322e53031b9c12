#include "scsi_sense.h"

#include <algorithm>
#include <optional>
#include <span>

#include "devlib/debug_print.h"

namespace devlib::detail {
namespace {

constexpr std::uint8_t kStatusGood = 0x00;
constexpr std::uint8_t kStatusCheckCondition = 0x02;
constexpr std::uint8_t kSenseKeyNoSense = 0x0;
constexpr std::uint8_t kSenseKeyRecoveredError = 0x1;

struct SenseSummary {
  std::uint8_t key = 0;
  std::uint8_t asc = 0;
  std::uint8_t ascq = 0;
};

// Reads the sense key and additional sense code from fixed (0x70/0x71) or
// descriptor (0x72/0x73) sense data.
std::optional<SenseSummary> ParseSense(const platform::storage::ScsiOutcome& outcome) {
  const std::span<const std::uint8_t> sense(outcome.sense.data(),
                                            std::min(outcome.senseLength, outcome.sense.size()));
  const auto at = [&](std::size_t index) -> std::uint8_t { return index < sense.size() ? sense[index] : 0; };
  if (sense.empty()) return std::nullopt;
  const std::uint8_t responseCode = sense[0] & 0x7F;
  if ((responseCode == 0x70 || responseCode == 0x71) && sense.size() >= 3) {
    return SenseSummary{static_cast<std::uint8_t>(sense[2] & 0x0F), at(12), at(13)};
  }
  if ((responseCode == 0x72 || responseCode == 0x73) && sense.size() >= 2) {
    return SenseSummary{static_cast<std::uint8_t>(sense[1] & 0x0F), at(2), at(3)};
  }
  return std::nullopt;
}

}  // namespace

bool ScsiCommandSucceeded(const platform::storage::ScsiOutcome& outcome) {
  if (!outcome.transportOk || outcome.timedOut) return false;
  if (outcome.scsiStatus == kStatusGood) return true;
  if (outcome.scsiStatus != kStatusCheckCondition) return false;
  const auto sense = ParseSense(outcome);
  return sense && (sense->key == kSenseKeyNoSense || sense->key == kSenseKeyRecoveredError);
}

void ReportScsiFailure(std::uint8_t opcode, std::uint32_t timeoutSeconds, const platform::storage::ScsiOutcome& outcome) {
  if (outcome.timedOut) {
    DebugPrint("SCSI command %02X timed out after %u sec\n", opcode, timeoutSeconds);
    return;
  }
  if (!outcome.transportOk) {
    DebugPrint("SCSI command %02X failed: host status %02X, driver status %02X, error %d\n", opcode,
               outcome.hostStatus, outcome.driverStatus, outcome.osError);
    return;
  }
  if (const auto sense = ParseSense(outcome)) {
    DebugPrint("SCSI command %02X failed: status %02X, sense key %X, ASC %02X, ASCQ %02X\n", opcode,
               outcome.scsiStatus, sense->key, sense->asc, sense->ascq);
  } else {
    DebugPrint("SCSI command %02X failed: status %02X, no sense data\n", opcode, outcome.scsiStatus);
  }
}

}  // namespace devlib::detail
