#pragma once
// ATA task files carried as SAT ATA PASS-THROUGH (16), and the registers that
// come back in the sense data.

#include <array>
#include <cstdint>
#include <span>

#include "platform/storage.h"

namespace platform::storage::sgio {

inline constexpr std::size_t kAtaPassThroughCdbBytes = 16;

// A command moves data only with a direction and a non-empty span; anything
// else goes as non-data.
bool movesData(Direction direction, std::span<const std::uint8_t> data);

// CK_COND is always set, so the registers come back with every command.
std::array<std::uint8_t, kAtaPassThroughCdbBytes> ataPassThroughCdb(const AtaCommand& command);

// Turns the SCSI outcome of an ATA PASS-THROUGH into what the device answered.
AtaOutcome ataOutcomeFrom(const ScsiOutcome& scsi, bool extended);

}  // namespace platform::storage::sgio
