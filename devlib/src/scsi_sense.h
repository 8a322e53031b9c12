#pragma once
// What a SCSI outcome means: success, and a readable account of a failure.

#include <cstdint>

#include "platform/storage.h"

namespace devlib::detail {

// GOOD, or CHECK CONDITION whose sense key is NO SENSE or RECOVERED ERROR.
// Anything else, missing or unreadable sense included, is a failure.
bool ScsiCommandSucceeded(const platform::storage::ScsiOutcome& outcome);

// Writes the failure of the command with the given opcode to the debug output.
void ReportScsiFailure(std::uint8_t opcode, std::uint32_t timeoutSeconds, const platform::storage::ScsiOutcome& outcome);

}  // namespace devlib::detail
