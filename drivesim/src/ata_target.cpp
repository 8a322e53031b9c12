#include <variant>

#include "bytes.h"
#include "front_end.h"
#include "sat.h"

namespace drivesim::detail {

using platform::storage::AtaCommand;

ScsiResult translateBlockIo(AtaDevice& ata, std::span<const std::uint8_t> cdb, const HostData& host,
                            const CommandFaults& faults) {
  const auto checked = blockIo(cdb, host, ata.currentSectors());
  if (const auto* refusal = std::get_if<ScsiResult>(&checked)) return *refusal;
  const BlockIo io = std::get<BlockIo>(checked);
  const char* name = io.write ? "WRITE (10)" : "READ (10)";
  if (io.count == 0) return good(0, std::string(name) + " of no sectors");

  auto byteOf = [](std::uint64_t value, int shift) { return static_cast<std::uint8_t>(value >> shift); };
  AtaCommand command;
  command.current = {0, byteOf(io.count, 0), byteOf(io.lba, 0), byteOf(io.lba, 8), byteOf(io.lba, 16), 0x40,
                     static_cast<std::uint8_t>(io.write ? 0x35 : 0x25)};
  command.previous = {0, byteOf(io.count, 8), byteOf(io.lba, 24), byteOf(io.lba, 32), byteOf(io.lba, 40), 0, 0};
  command.extended = true;
  command.direction = host.direction;
  command.useDma = true;
  command.data = host.data;
  const AtaResult result = ata.execute(command, faults.ataError);
  if (result.failed()) {
    const std::string why = std::string(name) + ": ATA error " + bytes::hex(result.current.features);
    // As libata translates it: an uncorrectable sector is a medium error.
    if ((result.current.features & kErrorUncorrectable) != 0) {
      return checkCondition(sense::kMediumError, sense::kUnrecoveredReadError, 0, why);
    }
    return checkCondition(sense::kAbortedCommand, 0, 0, why);
  }
  return good(result.transferred, std::string(name) + " as " + (io.write ? "WRITE DMA EXT" : "READ DMA EXT"));
}

CommandKey keyOfAtaCommand(const AtaDevice& ata, const AtaCommand& command) {
  CommandKey key;
  key.dataIn = command.direction == platform::storage::Direction::In && !command.data.empty();
  key.ataCommand = command.current.command;
  if (ata.tunnels(command.current.command)) {
    const auto phase = TunnelDecoder::classify(command.current, command.data);
    key.phase = phase.phase;
    key.subOp = phase.subOp;
    if (phase.phase == TunnelPhase::CommandSector) addFlashAddress(key, command.data);
  }
  return key;
}

CommandKey keyOfTranslatedScsi(const AtaDevice& ata, std::span<const std::uint8_t> cdb, const HostData& host) {
  CommandKey key;
  if (auto taskFile = satTaskFile(cdb)) {
    taskFile->direction = host.direction;
    taskFile->data = host.data;
    key = keyOfAtaCommand(ata, *taskFile);
  } else if (cdb[0] == kRead10 || cdb[0] == kWrite10) {
    key.ataCommand = cdb[0] == kRead10 ? 0x25 : 0x35;
  }
  key.scsi = true;
  key.scsiOpcode = cdb[0];
  key.dataIn = host.in();
  return key;
}

}  // namespace drivesim::detail
