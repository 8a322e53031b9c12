#pragma once
// What the ATA device hands back for one command: the returned registers and
// how much data moved.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/storage.h"

namespace drivesim::detail {

inline constexpr std::uint8_t kStatusReady = 0x50;  // DRDY | DSC
inline constexpr std::uint8_t kStatusError = 0x51;  // DRDY | DSC | ERR
inline constexpr std::uint8_t kErrorAbort = 0x04;
inline constexpr std::uint8_t kErrorIdNotFound = 0x10;
inline constexpr std::uint8_t kErrorUncorrectable = 0x40;

struct AtaResult {
  platform::storage::AtaRegisters current;  // features = error, command = status
  platform::storage::AtaRegisters previous;
  std::size_t transferred = 0;

  bool failed() const { return (current.command & platform::storage::kAtaStatusErr) != 0; }
};

// The registers as they came in, with a clean status.
inline AtaResult ataDone(const platform::storage::AtaCommand& command, std::size_t transferred = 0) {
  AtaResult result{command.current, command.extended ? command.previous : platform::storage::AtaRegisters{},
                   transferred};
  result.current.features = 0;
  result.current.command = kStatusReady;
  return result;
}

inline AtaResult ataFailed(const platform::storage::AtaCommand& command, std::uint8_t error) {
  AtaResult result = ataDone(command);
  result.current.features = error;
  result.current.command = kStatusError;
  return result;
}

// The task file as the log shows it: the seven registers, then for a 48-bit
// command the seven of the high-order set.
inline std::vector<std::uint8_t> taskFileBytes(const platform::storage::AtaCommand& command) {
  std::vector<std::uint8_t> bytes;
  auto add = [&bytes](const platform::storage::AtaRegisters& r) {
    bytes.insert(bytes.end(), {r.features, r.count, r.lbaLow, r.lbaMid, r.lbaHigh, r.device, r.command});
  };
  add(command.current);
  if (command.extended) add(command.previous);
  return bytes;
}

}  // namespace drivesim::detail
