#pragma once
// Faults injected into an emulated drive, matched per command.

#include <cstddef>
#include <cstdint>
#include <optional>

namespace drivesim {

enum class FaultKind {
  OpenFailure,       // open() fails with EIO
  TransportFailure,  // the pass-through call fails with EIO; the drive never sees the command
  CheckCondition,    // SCSI commands only: CHECK CONDITION with the rule's sense, no data; with NO SENSE
                     // or RECOVERED ERROR the command runs and its data arrives, the sense only reports
  AtaError,          // commands that reach the ATA device: ERR with the rule's error register
  Timeout,           // the command's own time-out passes, then it is reported timed out
  Hang,              // blocks until the caller requests a stop (or the drive is unplugged)
  Delay,             // waits delayMs, then completes normally
  BadSignature,      // data-in only: reply byte 0 becomes 0xE4
  ShortReply,        // data-in only: GOOD, but only `replyBytes` of the reply arrive (half of it when
                     // unset) and are reported as moved; the rest of the buffer is untouched
  ZeroReply,         // data-in only: the reply is all zeros
  Unplug,            // the drive unplugs as the command arrives
};

// The phases of a vendor command tunnelled in vendor ATA commands.
enum class TunnelPhase { CommandSector, DataPhase, SignatureRead };

// Every field that is set must equal the command's; an empty match takes every command.
struct FaultMatch {
  std::optional<std::uint8_t> scsiOpcode;
  std::optional<std::uint8_t> ataCommand;
  std::optional<std::uint8_t> subOp;
  std::optional<TunnelPhase> phase;
  // The flash block and page a page read or write (0x89 / 0x8A), or the block
  // an erase (0x8B), addresses. A tunnelled command carries them in its
  // command sector, so that is the phase that fails.
  std::optional<std::uint16_t> block;
  std::optional<std::uint16_t> page;
};

struct FaultRule {
  FaultKind kind = FaultKind::TransportFailure;
  FaultMatch match;
  int skip = 0;   // the first `skip` matching commands pass untouched
  int times = 1;  // how many matches fire; -1: every one
  std::uint32_t delayMs = 0;
  std::uint8_t senseKey = 0x05, asc = 0x24, ascq = 0;
  std::uint8_t ataError = 0x04;
  std::optional<std::size_t> replyBytes{};  // ShortReply: never more than the reply itself
};

}  // namespace drivesim
