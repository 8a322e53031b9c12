#include "tunnel.h"

#include <algorithm>

#include "bytes.h"
#include "lba_store.h"
#include "wire_entry.h"

namespace drivesim::detail {
namespace {

using bytes::hex;
using platform::storage::AtaCommand;
using platform::storage::Direction;

constexpr std::uint8_t kCommandSectorTag = 0xff;
constexpr std::uint8_t kTunnelLbaMid = 0x34;
constexpr std::uint8_t kTunnelLbaHigh = 0x12;
constexpr std::uint8_t kTunnelDevice = 0xe0;
constexpr std::uint8_t kBlockStart = 0xff;
constexpr std::uint8_t kTunnelledBlock = 0xe5;

std::size_t sectorsOf(const AtaCommand& command) { return command.current.count == 0 ? 256 : command.current.count; }

VendorBlock blockFrom(std::span<const std::uint8_t> data) {
  VendorBlock block{};
  std::copy_n(data.begin(), block.size(), block.begin());
  return block;
}

}  // namespace

bool TunnelDecoder::isTunnelOpcode(std::uint8_t command) {
  switch (command) {
    case 0x8f: case 0x8a: case 0x88: case 0x86: case 0xc5: case 0xc4:
      return true;
    default:
      return false;
  }
}

bool TunnelDecoder::isTunnelWrite(std::uint8_t command) { return command == 0x8f || command == 0x88 || command == 0xc5; }

TunnelDecoder::Phase TunnelDecoder::classify(const platform::storage::AtaRegisters& registers,
                                             std::span<const std::uint8_t> data) {
  const std::uint8_t tag = registers.lbaLow;
  if (tag != kCommandSectorTag) return {TunnelPhase::DataPhase, tag};
  if (!isTunnelWrite(registers.command)) return {TunnelPhase::SignatureRead, std::nullopt};
  if (data.size() < 3) return {TunnelPhase::CommandSector, std::nullopt};
  return {TunnelPhase::CommandSector, data[2]};
}

std::optional<std::uint8_t> TunnelDecoder::pendingSubOp() const {
  if (!pending_) return std::nullopt;
  return pending_->block[2];
}

AtaResult TunnelDecoder::handle(const AtaCommand& command) {
  const bool write = isTunnelWrite(command.current.command);
  // The vendor block this command belongs to, where there is one.
  std::vector<std::uint8_t> block;
  if (write && command.current.lbaLow == kCommandSectorTag && command.data.size() >= VendorBlock{}.size()) {
    block.assign(command.data.begin(), command.data.begin() + VendorBlock{}.size());
  } else if (command.current.lbaLow != kCommandSectorTag && pending_) {
    block.assign(pending_->block.begin(), pending_->block.end());
  }
  const auto id = wire_.record(received(Layer::Tunnel, std::move(block), command.direction, command.useDma, command.data));
  std::string note;
  const AtaResult result = decode(command, note);
  wire_.annotate(id, std::move(note));
  return result;
}

AtaResult TunnelDecoder::decode(const AtaCommand& command, std::string& note) {
  const auto& r = command.current;
  if (r.lbaMid != kTunnelLbaMid || r.lbaHigh != kTunnelLbaHigh || r.device != kTunnelDevice) {
    note = "abort: not the tunnel address (LBA mid " + hex(r.lbaMid) + ", high " + hex(r.lbaHigh) + ", device " +
           hex(r.device) + ")";
    return ataFailed(command, kErrorAbort);
  }
  const bool write = isTunnelWrite(r.command);
  const std::size_t expected = sectorsOf(command) * kSectorBytes;
  if (command.direction != (write ? Direction::Out : Direction::In) || command.data.size() != expected) {
    note = "abort: " + std::to_string(command.data.size()) + " data bytes for " + std::to_string(sectorsOf(command)) +
           (write ? " sectors out" : " sectors in");
    return ataFailed(command, kErrorAbort);
  }
  if (r.lbaLow == kCommandSectorTag) {
    if (write) return commandSector(command, note);
    if (!pending_) return signatureSector(command, note);
  }
  return dataPhase(command, note);
}

AtaResult TunnelDecoder::commandSector(const AtaCommand& command, std::string& note) {
  // A new command sector ends whatever exchange was under way.
  pending_.reset();
  const VendorBlock block = blockFrom(command.data);
  if (block[0] != kBlockStart || block[1] != kTunnelledBlock) {
    note = "abort: command sector starts " + hex(block[0]) + " " + hex(block[1]);
    return ataFailed(command, kErrorAbort);
  }
  const std::uint8_t subOp = block[2];
  const auto phase = controller_.dataPhaseOf(subOp, ReplyPath::Tunnel);
  if (!phase) {
    note = "abort: sub-op " + hex(subOp) + " not served";
    return ataFailed(command, kErrorAbort);
  }
  if (*phase != DataPhase::None) {
    pending_ = Pending{block, *phase};
    note = "command sector " + hex(subOp) + ", data phase pending";
    return ataDone(command, command.data.size());
  }
  if (!controller_.execute(block, {}, ReplyPath::Tunnel)) {
    note = "abort: sub-op " + hex(subOp) + " failed";
    return ataFailed(command, kErrorAbort);
  }
  note = "command sector " + hex(subOp);
  return ataDone(command, command.data.size());
}

AtaResult TunnelDecoder::dataPhase(const AtaCommand& command, std::string& note) {
  const std::uint8_t tag = command.current.lbaLow;
  if (!pending_) {
    note = "abort: no pending command";
    return ataFailed(command, kErrorAbort);
  }
  // The exchange ends here, whatever the outcome.
  const Pending pending = *pending_;
  pending_.reset();
  const std::uint8_t subOp = pending.block[2];
  if (tag != subOp) {
    note = "abort: tag " + hex(tag) + " but " + hex(subOp) + " pending";
    return ataFailed(command, kErrorAbort);
  }
  const bool write = isTunnelWrite(command.current.command);
  if (pending.phase != (write ? DataPhase::Out : DataPhase::In)) {
    note = std::string("abort: ") + (write ? "data-out" : "data-in") + " phase for sub-op " + hex(subOp);
    return ataFailed(command, kErrorAbort);
  }
  if (!controller_.execute(pending.block, command.data, ReplyPath::Tunnel)) {
    note = "abort: sub-op " + hex(subOp) + " failed";
    return ataFailed(command, kErrorAbort);
  }
  note = "data phase " + hex(subOp) + ", " + std::to_string(command.data.size() / kSectorBytes) + " sectors";
  return ataDone(command, command.data.size());
}

// Starts E5 'K' 'W' while the firmware runs, E5 'L' 'D' under the loader or a RAM
// code; another maker's firmware answers zeros.
AtaResult TunnelDecoder::signatureSector(const AtaCommand& command, std::string& note) {
  if (controller_.takeReenumerationAttempt()) {
    note = "abort: signature read while the drive re-enumerates";
    return ataFailed(command, kErrorAbort);
  }
  std::fill(command.data.begin(), command.data.end(), std::uint8_t{0});
  if (controller_.foreignFirmware()) {
    note = "signature sector (another maker's firmware)";
    return ataDone(command, command.data.size());
  }
  const bool firmware = controller_.runState() == RunState::Firmware;
  command.data[0] = kTunnelledBlock;
  command.data[1] = firmware ? 'K' : 'L';
  command.data[2] = firmware ? 'W' : 'D';
  note = firmware ? "signature sector (firmware)" : "signature sector (loader)";
  return ataDone(command, command.data.size());
}

}  // namespace drivesim::detail
