#include "devlib/vendor_protocol.h"

#include <algorithm>

#include "devlib/debug_print.h"
#include "devlib/port_io.h"
#include "devlib/transport.h"

namespace devlib {
namespace {

constexpr std::uint8_t kSat12Opcode = 0xA1;
// SAT protocol bytes: UDMA data-out / data-in for set 2, PIO otherwise.
constexpr std::uint8_t kUdmaOutProtocol = 0x16;
constexpr std::uint8_t kUdmaInProtocol = 0x14;
constexpr std::uint8_t kPioOutProtocol = 0x0A;
constexpr std::uint8_t kPioInProtocol = 0x08;
constexpr std::uint8_t kTransferOut = 0x03;
constexpr std::uint8_t kTransferIn = 0x0B;
constexpr std::uint8_t kTunnelLbaMid = 0x34;
constexpr std::uint8_t kTunnelLbaHigh = 0x12;
constexpr std::uint8_t kTunnelDevice = 0xE0;

struct TunnelOpcodes {
  std::uint8_t write;
  std::uint8_t read;
};

TunnelOpcodes OpcodesOfSet(std::uint8_t opcodeSet) {
  switch (opcodeSet) {
    case 1: return {0x8F, 0x8A};
    case 2: return {0x88, 0x86};
    default: return {0xC5, 0xC4};
  }
}

int SendTunnelPhase(int port, std::uint8_t opcodeSet, bool dataIn, std::span<std::uint8_t> buffer,
                    std::size_t sectorCount, std::uint8_t tag) {
  if (sectorCount == 0 || sectorCount > kMaxTunnelSectors || sectorCount > buffer.size() / kSectorBytes) {
    DebugPrint("Tunnel phase refused: %zu sectors for a %zu-byte buffer\n", sectorCount, buffer.size());
    return kCommandFailed;
  }
  const VendorTunnelCdb cdb = MakeVendorTunnelCdb(opcodeSet, dataIn, static_cast<std::uint8_t>(sectorCount), tag);
  return SendPortCommand(port, dataIn, cdb, buffer, sectorCount * kSectorBytes) == kPortOk ? kCommandOk
                                                                                           : kCommandFailed;
}

int SendTunnelWithPortSet(int port, bool dataIn, std::span<std::uint8_t> buffer, std::size_t sectorCount,
                          std::uint8_t tag) {
  const PortIoRecord* record = PortIo(port);
  if (record == nullptr) return kCommandFailed;
  return SendTunnelPhase(port, record->opcodeSet.load(), dataIn, buffer, sectorCount, tag);
}

}  // namespace

VendorCdb MakeVendorCdb(bool usbPath, std::uint8_t subOperation) {
  VendorCdb cdb{};
  cdb[0] = kVendorCdbMark;
  cdb[1] = usbPath ? kVendorUsbPathMark : kVendorTunnelMark;
  cdb[2] = subOperation;
  return cdb;
}

VendorTunnelCdb MakeVendorTunnelCdb(std::uint8_t opcodeSet, bool dataIn, std::uint8_t sectorCount,
                                    std::uint8_t tag) {
  const bool udma = opcodeSet == 2;
  const TunnelOpcodes opcodes = OpcodesOfSet(opcodeSet);
  VendorTunnelCdb cdb{};
  cdb[0] = kSat12Opcode;
  cdb[1] = dataIn ? (udma ? kUdmaInProtocol : kPioInProtocol) : (udma ? kUdmaOutProtocol : kPioOutProtocol);
  cdb[2] = dataIn ? kTransferIn : kTransferOut;
  cdb[4] = sectorCount;
  cdb[5] = tag;
  cdb[6] = kTunnelLbaMid;
  cdb[7] = kTunnelLbaHigh;
  cdb[8] = kTunnelDevice;
  cdb[9] = dataIn ? opcodes.read : opcodes.write;
  return cdb;
}

bool SendVendorCommand(int port, bool dataIn, const VendorCdb& cdb, std::span<std::uint8_t> buffer,
                       std::size_t sectorCount) {
  const PortIoRecord* record = PortIo(port);
  if (record == nullptr) return false;
  if (sectorCount > buffer.size() / kSectorBytes) {
    DebugPrint("Vendor command %02X refused: %zu sectors for a %zu-byte buffer\n", cdb[2], sectorCount,
               buffer.size());
    return false;
  }
  if (record->Transport()->usbPath != 0) {
    return SendPortCommand(port, dataIn, cdb, buffer, sectorCount * kSectorBytes) == kPortOk;
  }

  if (sectorCount > kMaxTunnelSectors) {
    DebugPrint("Vendor command %02X refused: %zu sectors exceed one tunnel phase\n", cdb[2], sectorCount);
    return false;
  }
  // Both phases of one command use the same opcode set.
  const std::uint8_t opcodeSet = record->opcodeSet.load();
  std::array<std::uint8_t, kSectorBytes> commandSector{};
  std::copy(cdb.begin(), cdb.end(), commandSector.begin());
  if (SendTunnelPhase(port, opcodeSet, false, commandSector, 1, kCommandSectorTag) != kCommandOk) return false;
  if (sectorCount == 0) return true;
  return SendTunnelPhase(port, opcodeSet, dataIn, buffer, sectorCount, cdb[2]) == kCommandOk;
}

int SendTunnelWrite(int port, std::span<std::uint8_t> buffer, std::size_t sectorCount, std::uint8_t tag) {
  return SendTunnelWithPortSet(port, false, buffer, sectorCount, tag);
}

int SendTunnelRead(int port, std::span<std::uint8_t> buffer, std::size_t sectorCount, std::uint8_t tag) {
  return SendTunnelWithPortSet(port, true, buffer, sectorCount, tag);
}

bool TunnelRead(int port, std::span<std::uint8_t> buffer, std::size_t sectorCount, std::uint8_t tag) {
  return SendTunnelRead(port, buffer, sectorCount, tag) == kCommandOk;
}

int TakeReplyByte(bool usbPath, std::span<const std::uint8_t> reply, std::uint8_t& value) {
  if (usbPath) {
    if (reply.empty()) return kCommandBadSignature;
    value = reply[0];
    return kCommandOk;
  }
  if (reply.size() < 2 || reply[0] != kVendorTunnelMark) return kCommandBadSignature;
  value = reply[1];
  return kCommandOk;
}

}  // namespace devlib
