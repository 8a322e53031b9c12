#include "sg_io_ata.h"

#include <algorithm>
#include <cerrno>
#include <optional>

namespace platform::storage::sgio {
namespace {

constexpr std::uint8_t kAtaPassThrough16 = 0x85;

// PROTOCOL field of byte 1.
constexpr std::uint8_t kProtocolNonData = 3;
constexpr std::uint8_t kProtocolPioIn = 4;
constexpr std::uint8_t kProtocolPioOut = 5;
constexpr std::uint8_t kProtocolDma = 6;
constexpr std::uint8_t kExtend = 0x01;

// Byte 2.
constexpr std::uint8_t kCheckCondition = 0x20;  // CK_COND
constexpr std::uint8_t kToHost = 0x08;          // T_DIR
constexpr std::uint8_t kLengthInBlocks = 0x04;  // BYT_BLOK
constexpr std::uint8_t kLengthInCount = 0x02;   // T_LENGTH: the sector-count field

constexpr std::uint8_t kStatusGood = 0x00;

// What the device "answers" when the translator returned no registers.
constexpr std::uint8_t kStatusReady = 0x50;       // DRDY | DSC
constexpr std::uint8_t kStatusReadyError = 0x51;  // DRDY | DSC | ERR
constexpr std::uint8_t kErrorAborted = 0x04;      // ABRT

// Sense data.
constexpr std::uint8_t kResponseCodeMask = 0x7f;
constexpr std::uint8_t kInformationValid = 0x80;
constexpr std::uint8_t kFixedCurrent = 0x70;
constexpr std::uint8_t kFixedDeferred = 0x71;
constexpr std::uint8_t kDescriptorCurrent = 0x72;
constexpr std::uint8_t kDescriptorDeferred = 0x73;
constexpr std::uint8_t kSenseKeyMask = 0x0f;
constexpr std::uint8_t kSenseKeyRecoveredError = 0x01;  // and 0x00, NO SENSE: the command did not fail
constexpr std::size_t kDescriptorHeaderBytes = 8;
constexpr std::uint8_t kAtaStatusReturn = 0x09;
constexpr std::size_t kAtaStatusReturnBytes = 14;
constexpr std::size_t kFixedSenseBytes = 14;  // up to ASC and ASCQ
// ATA PASS-THROUGH INFORMATION AVAILABLE
constexpr std::uint8_t kAscPassThroughInformation = 0x00;
constexpr std::uint8_t kAscqPassThroughInformation = 0x1d;
// Fixed format, byte 8: flags in place of the high-order bytes it has no room for.
constexpr std::uint8_t kFixedUpperCountNonZero = 0x40;
constexpr std::uint8_t kFixedUpperLbaNonZero = 0x20;

struct ReturnedRegisters {
  AtaRegisters current;
  AtaRegisters previous;
  bool highOrderLost = false;  // the device returned high-order bytes the format could not carry
  bool failed = false;         // the sense key says the command failed
};

bool senseKeyIsFailure(std::uint8_t senseKey) { return (senseKey & kSenseKeyMask) > kSenseKeyRecoveredError; }

ReturnedRegisters fromStatusReturnDescriptor(std::span<const std::uint8_t> d) {
  ReturnedRegisters registers;
  registers.current = {.features = d[3], .count = d[5], .lbaLow = d[7], .lbaMid = d[9],
                       .lbaHigh = d[11], .device = d[12], .command = d[13]};
  if ((d[2] & kExtend) != 0) {
    registers.previous = {.count = d[4], .lbaLow = d[6], .lbaMid = d[8], .lbaHigh = d[10]};
  }
  return registers;
}

std::optional<ReturnedRegisters> fromDescriptorSense(std::span<const std::uint8_t> sense) {
  if (sense.size() < kDescriptorHeaderBytes) return std::nullopt;
  const std::size_t end = std::min(sense.size(), kDescriptorHeaderBytes + sense[7]);
  std::size_t at = kDescriptorHeaderBytes;
  while (at + 2 <= end) {
    const std::size_t length = 2 + std::size_t{sense[at + 1]};
    // The length is not trusted to be exactly 12: some translators count the header too.
    if (sense[at] == kAtaStatusReturn && length >= kAtaStatusReturnBytes &&
        at + kAtaStatusReturnBytes <= end) {
      ReturnedRegisters registers = fromStatusReturnDescriptor(sense.subspan(at, kAtaStatusReturnBytes));
      registers.failed = senseKeyIsFailure(sense[1]);
      return registers;
    }
    at += length;
  }
  return std::nullopt;
}

// The registers sit in the INFORMATION and COMMAND-SPECIFIC INFORMATION
// fields: with ATA PASS-THROUGH INFORMATION AVAILABLE, or with the VALID bit
// that marks them alongside the sense of a failed command.
std::optional<ReturnedRegisters> fromFixedSense(std::span<const std::uint8_t> sense) {
  if (sense.size() < kFixedSenseBytes) return std::nullopt;
  const bool passThroughInformation =
      sense[12] == kAscPassThroughInformation && sense[13] == kAscqPassThroughInformation;
  if (!passThroughInformation && (sense[0] & kInformationValid) == 0) return std::nullopt;
  ReturnedRegisters registers;
  registers.current = {.features = sense[3], .count = sense[6], .lbaLow = sense[9], .lbaMid = sense[10],
                       .lbaHigh = sense[11], .device = sense[5], .command = sense[4]};
  registers.highOrderLost = (sense[8] & (kFixedUpperCountNonZero | kFixedUpperLbaNonZero)) != 0;
  registers.failed = senseKeyIsFailure(sense[2]);
  return registers;
}

std::optional<ReturnedRegisters> returnedRegisters(std::span<const std::uint8_t> sense) {
  if (sense.empty()) return std::nullopt;
  switch (sense[0] & kResponseCodeMask) {
    case kDescriptorCurrent:
    case kDescriptorDeferred:
      return fromDescriptorSense(sense);
    case kFixedCurrent:
    case kFixedDeferred:
      return fromFixedSense(sense);
    default:
      return std::nullopt;
  }
}

std::uint8_t protocolOf(const AtaCommand& command) {
  if (!movesData(command.direction, command.data)) return kProtocolNonData;
  if (command.useDma) return kProtocolDma;
  return command.direction == Direction::In ? kProtocolPioIn : kProtocolPioOut;
}

}  // namespace

bool movesData(Direction direction, std::span<const std::uint8_t> data) {
  return direction != Direction::None && !data.empty();
}

std::array<std::uint8_t, kAtaPassThroughCdbBytes> ataPassThroughCdb(const AtaCommand& command) {
  std::array<std::uint8_t, kAtaPassThroughCdbBytes> cdb{};
  cdb[0] = kAtaPassThrough16;
  cdb[1] = static_cast<std::uint8_t>(protocolOf(command) << 1 | (command.extended ? kExtend : 0));
  cdb[2] = kCheckCondition;
  if (movesData(command.direction, command.data)) {
    cdb[2] |= kLengthInBlocks | kLengthInCount;
    if (command.direction == Direction::In) cdb[2] |= kToHost;
  }

  const AtaRegisters& low = command.current;
  cdb[4] = low.features;
  cdb[6] = low.count;
  cdb[8] = low.lbaLow;
  cdb[10] = low.lbaMid;
  cdb[12] = low.lbaHigh;
  cdb[13] = low.device;
  cdb[14] = low.command;
  if (command.extended) {
    const AtaRegisters& high = command.previous;
    cdb[3] = high.features;
    cdb[5] = high.count;
    cdb[7] = high.lbaLow;
    cdb[9] = high.lbaMid;
    cdb[11] = high.lbaHigh;
  }
  return cdb;
}

AtaOutcome ataOutcomeFrom(const ScsiOutcome& scsi, bool extended) {
  AtaOutcome outcome;
  outcome.timedOut = scsi.timedOut;
  outcome.osError = scsi.osError;
  outcome.transferred = scsi.transferred;
  if (!scsi.transportOk) return outcome;

  if (const auto registers = returnedRegisters(std::span(scsi.sense).first(scsi.senseLength))) {
    outcome.current = registers->current;
    outcome.previous = registers->previous;
    // A translator may fail a command (bus error, reset) while the status it
    // read back looks clean; the failure must not read as success.
    if (registers->failed && (outcome.current.command & kAtaStatusErr) == 0) {
      outcome.current.command |= kAtaStatusErr;
      if (outcome.current.features == 0) outcome.current.features = kErrorAborted;
    }
    // A 48-bit answer without its high-order bytes would be a wrong answer, not a short one.
    if (extended && registers->highOrderLost) {
      outcome.osError = EOVERFLOW;
      return outcome;
    }
    outcome.transportOk = true;
    return outcome;
  }

  // No registers: the translator either ignored CK_COND (GOOD) or refused the
  // pass-through; the refusal is the device's answer, as an aborted command.
  outcome.transportOk = true;
  if (scsi.scsiStatus == kStatusGood) {
    outcome.current.command = kStatusReady;
  } else {
    outcome.current.command = kStatusReadyError;
    outcome.current.features = kErrorAborted;
  }
  return outcome;
}

}  // namespace platform::storage::sgio
