#pragma once
// Builds the wire-log entry for what a layer received.

#include <span>
#include <string>
#include <vector>

#include "drivesim/wire_log.h"

namespace drivesim::detail {

// The data-out payload is kept whole; a data-in span only counts.
inline WireEntry received(Layer layer, std::vector<std::uint8_t> command, platform::storage::Direction direction,
                          bool dma, std::span<const std::uint8_t> data, std::string note = {}) {
  WireEntry entry;
  entry.layer = layer;
  entry.command = std::move(command);
  entry.direction = direction;
  entry.dma = dma;
  entry.length = data.size();
  if (direction == platform::storage::Direction::Out) entry.dataOut.assign(data.begin(), data.end());
  entry.note = std::move(note);
  return entry;
}

}  // namespace drivesim::detail
