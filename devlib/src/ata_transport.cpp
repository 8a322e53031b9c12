// ATA pass-through: task files built from SAT CDBs, and the timed sender that
// native-ATA ports use.

#include <algorithm>
#include <optional>

#include "devlib/debug_print.h"
#include "devlib/transport.h"
#include "platform/clock.h"

namespace devlib {
namespace {

using platform::storage::Direction;

constexpr std::uint8_t kSat12Opcode = 0xA1;
constexpr std::uint8_t kSat16Opcode = 0x85;
constexpr std::size_t kSat12Length = 12;
constexpr std::size_t kSat16Length = 16;

// SAT protocol field (CDB byte 1, bits 4..1) values that move data by DMA.
constexpr std::uint8_t kProtocolDma = 6;
constexpr std::uint8_t kProtocolUdmaIn = 10;
constexpr std::uint8_t kProtocolUdmaOut = 11;
constexpr std::uint8_t kProtocolFpdma = 12;

bool IsDmaProtocol(std::uint8_t byte1) {
  const std::uint8_t protocol = (byte1 >> 1) & 0x0F;
  return protocol == kProtocolDma || protocol == kProtocolUdmaIn || protocol == kProtocolUdmaOut ||
         protocol == kProtocolFpdma;
}

std::optional<AtaTaskFile> TaskFileFromSatCdb(std::span<const std::uint8_t> cdb) {
  AtaTaskFile taskFile;
  if (cdb.size() == kSat12Length && cdb[0] == kSat12Opcode) {
    taskFile.current = {cdb[3], cdb[4], cdb[5], cdb[6], cdb[7], cdb[8], cdb[9]};
  } else if (cdb.size() == kSat16Length && cdb[0] == kSat16Opcode) {
    // Each 16-bit register field is high byte first; the high bytes count only
    // when the extend bit asks for a 48-bit command.
    taskFile.current = {cdb[4], cdb[6], cdb[8], cdb[10], cdb[12], cdb[13], cdb[14]};
    taskFile.extended = (cdb[1] & 0x01) != 0;
    if (taskFile.extended) taskFile.previous = {cdb[3], cdb[5], cdb[7], cdb[9], cdb[11], 0, 0};
  } else {
    return std::nullopt;
  }
  taskFile.useDma = IsDmaProtocol(cdb[1]);
  return taskFile;
}

int RunAtaCommand(const char* name, Direction direction, std::string_view devicePath, AtaTaskFile& taskFile,
                  std::span<std::uint8_t> buffer, std::size_t dataLength, std::uint32_t timeoutSeconds,
                  std::size_t* transferred, std::stop_token stop) {
  if (transferred != nullptr) *transferred = 0;
  if (dataLength > kMaxAtaDataLength || dataLength > buffer.size()) {
    DebugPrint("%s() refused: %zu data bytes for a %zu-byte buffer\n", name, dataLength, buffer.size());
    return kPortRefused;
  }
  auto opened = platform::storage::open(devicePath, platform::storage::Sharing::Exclusive);
  if (!opened.device) return 0;

  platform::storage::AtaCommand command;
  command.current = taskFile.current;
  command.previous = taskFile.previous;
  command.extended = taskFile.extended;
  command.direction = dataLength == 0 ? Direction::None : direction;
  command.useDma = dataLength != 0 && taskFile.useDma;
  command.data = buffer.first(dataLength);
  command.timeoutSeconds = timeoutSeconds;
  command.stop = std::move(stop);

  const platform::storage::AtaOutcome outcome = opened.device->ata(command);
  if (!outcome.transportOk) {
    DebugPrint("%s() fail\n", name);
    return kPortRefused;
  }
  taskFile.current = outcome.current;
  taskFile.previous = outcome.previous;
  if (transferred != nullptr) *transferred = std::min(outcome.transferred, dataLength);
  return (outcome.current.command & platform::storage::kAtaStatusErr) != 0 ? 0 : 1;
}

}  // namespace

int ReadATACommandWithTimeOutValue(std::string_view devicePath, AtaTaskFile& taskFile, std::span<std::uint8_t> buffer,
                                   std::size_t dataLength, std::uint32_t timeoutSeconds, std::size_t* transferred,
                                   std::stop_token stop) {
  return RunAtaCommand("ReadATACommandWithTimeOutValue", Direction::In, devicePath, taskFile, buffer, dataLength,
                       timeoutSeconds, transferred, std::move(stop));
}

int WriteATACommandWithTimeOutValue(std::string_view devicePath, AtaTaskFile& taskFile,
                                    std::span<std::uint8_t> buffer, std::size_t dataLength,
                                    std::uint32_t timeoutSeconds, std::size_t* transferred, std::stop_token stop) {
  return RunAtaCommand("WriteATACommandWithTimeOutValue", Direction::Out, devicePath, taskFile, buffer, dataLength,
                       timeoutSeconds, transferred, std::move(stop));
}

int SendAtaCommandTimed(std::string_view devicePath, bool dataIn, std::span<const std::uint8_t> cdb,
                        std::span<std::uint8_t> buffer, std::size_t dataLength, std::uint32_t timeoutSeconds,
                        std::size_t* transferred, std::stop_token stop) {
  if (transferred != nullptr) *transferred = 0;
  if (devicePath.empty()) return kPortRefused;
  std::optional<AtaTaskFile> taskFile = TaskFileFromSatCdb(cdb);
  if (!taskFile) {
    DebugPrint("SendAtaCommandTimed() refused: not an ATA pass-through block (%zu bytes, opcode %02X)\n", cdb.size(),
               cdb.empty() ? 0u : cdb[0]);
    return kPortRefused;
  }

  const std::uint64_t startMs = platform::clock::tickMs();
  const int result = dataIn ? ReadATACommandWithTimeOutValue(devicePath, *taskFile, buffer, dataLength,
                                                             timeoutSeconds, transferred, std::move(stop))
                            : WriteATACommandWithTimeOutValue(devicePath, *taskFile, buffer, dataLength,
                                                              timeoutSeconds, transferred, std::move(stop));
  const std::uint64_t elapsedSeconds = (platform::clock::tickMs() - startMs) / 1000;
  // A late answer counts as failed even when the device reported success.
  if (elapsedSeconds > timeoutSeconds) {
    DebugPrint("Timeout = %d sec", static_cast<int>(elapsedSeconds));
    return kPortTimedOut;
  }
  return result == 0 ? kPortFailed : result;
}

}  // namespace devlib
