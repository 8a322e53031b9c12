// SCSI pass-through on a device path.

#include <algorithm>
#include <array>
#include <optional>

#include "cdb_bytes.h"
#include "devlib/debug_print.h"
#include "devlib/transport.h"
#include "scsi_sense.h"

namespace devlib {
namespace {

using platform::storage::Direction;

constexpr std::uint32_t kUsbDataInTimeoutSeconds = 300;
constexpr std::uint32_t kOtherDataInTimeoutSeconds = 5;
constexpr std::uint32_t kDataOutTimeoutSeconds = 10;
constexpr std::size_t kMaxRead10Sectors = 0xFFFF;

// nullopt: the time-out follows the opened device (the plain forms).
using TimeoutChoice = std::optional<std::uint32_t>;

std::uint32_t DeviceTimeout(bool dataIn, const platform::storage::Device& device) {
  if (!dataIn) return kDataOutTimeoutSeconds;
  return device.traits().onUsb ? kUsbDataInTimeoutSeconds : kOtherDataInTimeoutSeconds;
}

bool RunScsiCommand(bool dataIn, std::string_view devicePath, std::span<const std::uint8_t> cdb,
                    std::span<std::uint8_t> buffer, std::size_t byteCount, TimeoutChoice timeout,
                    std::size_t* transferred, std::stop_token stop) {
  if (transferred != nullptr) *transferred = 0;
  if (cdb.empty() || cdb.size() > kMaxCdbLength || byteCount > buffer.size()) {
    DebugPrint("SCSI command refused: %zu-byte CDB, %zu data bytes for a %zu-byte buffer\n", cdb.size(), byteCount,
               buffer.size());
    return false;
  }
  auto opened = platform::storage::open(devicePath, platform::storage::Sharing::Shared);
  if (!opened.device) {
    DebugPrint("SCSI command %02X: the device does not open (error %d)\n", cdb[0], opened.osError);
    return false;
  }

  // A transfer of one byte travels as two; the caller sees only its byte.
  std::array<std::uint8_t, 2> scratch{};
  std::span<std::uint8_t> data = buffer.first(byteCount);
  if (byteCount == 1) {
    if (!dataIn) scratch[0] = buffer[0];
    data = scratch;
  }

  platform::storage::ScsiCommand command;
  command.cdb = cdb;
  command.direction = byteCount == 0 ? Direction::None : (dataIn ? Direction::In : Direction::Out);
  command.data = data;
  command.timeoutSeconds = timeout.value_or(DeviceTimeout(dataIn, *opened.device));
  command.stop = std::move(stop);

  const platform::storage::ScsiOutcome outcome = opened.device->scsi(command);
  if (transferred != nullptr) *transferred = std::min(outcome.transferred, byteCount);
  const bool succeeded = detail::ScsiCommandSucceeded(outcome);
  if (!succeeded) {
    detail::ReportScsiFailure(cdb[0], command.timeoutSeconds, outcome);
    return false;
  }
  if (byteCount == 1 && dataIn) buffer[0] = scratch[0];
  return true;
}

bool ReadWrite10(bool dataIn, std::string_view devicePath, std::span<std::uint8_t> buffer, std::uint32_t lba,
                 std::size_t byteCount, std::stop_token stop) {
  const std::size_t sectors = byteCount / kSectorBytes;
  if (byteCount % kSectorBytes != 0 || sectors > kMaxRead10Sectors) {
    DebugPrint("READ/WRITE (10) refused: %zu bytes is not a whole number of sectors up to %zu\n", byteCount,
               kMaxRead10Sectors);
    return false;
  }
  const auto cdb = detail::MakeReadWrite10Cdb(dataIn ? detail::kOpRead10 : detail::kOpWrite10, lba,
                                              static_cast<std::uint16_t>(sectors));
  return dataIn ? SendScsiCommandIn(devicePath, cdb, buffer, byteCount, nullptr, std::move(stop))
                : SendScsiCommandOut(devicePath, cdb, buffer, byteCount, nullptr, std::move(stop));
}

}  // namespace

bool SendScsiCommandIn(std::string_view devicePath, std::span<const std::uint8_t> cdb, std::span<std::uint8_t> buffer,
                       std::size_t byteCount, std::size_t* transferred, std::stop_token stop) {
  return RunScsiCommand(true, devicePath, cdb, buffer, byteCount, std::nullopt, transferred, std::move(stop));
}

bool SendScsiCommandOut(std::string_view devicePath, std::span<const std::uint8_t> cdb, std::span<std::uint8_t> buffer,
                        std::size_t byteCount, std::size_t* transferred, std::stop_token stop) {
  return RunScsiCommand(false, devicePath, cdb, buffer, byteCount, std::nullopt, transferred, std::move(stop));
}

bool SendScsiCommandInTimed(std::string_view devicePath, std::span<const std::uint8_t> cdb,
                            std::span<std::uint8_t> buffer, std::size_t byteCount, std::uint32_t timeoutSeconds,
                            std::size_t* transferred, std::stop_token stop) {
  return RunScsiCommand(true, devicePath, cdb, buffer, byteCount, timeoutSeconds, transferred, std::move(stop));
}

bool SendScsiCommandOutTimed(std::string_view devicePath, std::span<const std::uint8_t> cdb,
                             std::span<std::uint8_t> buffer, std::size_t byteCount, std::uint32_t timeoutSeconds,
                             std::size_t* transferred, std::stop_token stop) {
  return RunScsiCommand(false, devicePath, cdb, buffer, byteCount, timeoutSeconds, transferred, std::move(stop));
}

bool ScsiRead10(std::string_view devicePath, std::span<std::uint8_t> buffer, std::uint32_t lba, std::size_t byteCount,
                std::stop_token stop) {
  return ReadWrite10(true, devicePath, buffer, lba, byteCount, std::move(stop));
}

bool ScsiWrite10(std::string_view devicePath, std::span<std::uint8_t> buffer, std::uint32_t lba,
                 std::size_t byteCount, std::stop_token stop) {
  return ReadWrite10(false, devicePath, buffer, lba, byteCount, std::move(stop));
}

}  // namespace devlib
