#include "devlib/standard_commands.h"

#include <algorithm>
#include <array>
#include <memory>

#include "byte_fields.h"
#include "cdb_bytes.h"
#include "devlib/debug_print.h"
#include "devlib/port_io.h"
#include "devlib/transport.h"
#include "devlib/vendor_protocol.h"

namespace devlib {
namespace {

using Sat12 = std::array<std::uint8_t, 12>;
using Sat16 = std::array<std::uint8_t, 16>;

enum class Route { SataPath, UsbPath };

constexpr std::uint32_t kMax28BitLba = 0x0FFFFFFF;
constexpr std::uint64_t kMax48BitLba = 0xFFFFFFFFFFFFULL;
constexpr std::size_t kMax28BitSectors = 256;  // sent as count 0

int ToCommandResult(int portResult) { return portResult == kPortOk ? kCommandOk : kCommandFailed; }

// Sends the block when the port is on the command's route; otherwise
// nothing is sent and the command's fixed result stands.
int SendOnRoute(int port, Route route, int otherRouteResult, std::span<const std::uint8_t> cdb, bool dataIn,
                std::span<std::uint8_t> buffer, std::size_t byteCount,
                ShortDataIn shortDataIn = ShortDataIn::Fails) {
  const std::shared_ptr<const PortTransport> transport = PortTransportOf(port);
  if (transport == nullptr) return kCommandFailed;
  const Route portRoute = transport->usbPath != 0 ? Route::UsbPath : Route::SataPath;
  if (portRoute != route) return otherRouteResult;
  return ToCommandResult(SendPortCommand(port, dataIn, cdb, buffer, byteCount, shortDataIn));
}

int SendSataNoData(int port, std::span<const std::uint8_t> cdb) {
  return SendOnRoute(port, Route::SataPath, kCommandOk, cdb, false, {}, 0);
}

std::uint8_t ByteOf(std::uint64_t value, int shift) { return static_cast<std::uint8_t>(value >> shift); }

// Device register of a 28-bit command: LBA mode plus LBA bits 24..27.
std::uint8_t Device28(std::uint32_t lba) { return static_cast<std::uint8_t>(0xE0 | ((lba >> 24) & 0x0F)); }

// SAT ATA PASS-THROUGH for Blockprobe's LBA transfers: READ/WRITE DMA while
// the range fits 28-bit addressing, READ/WRITE DMA EXT beyond it.
std::span<const std::uint8_t> MakeSatDmaCdb(bool read, std::uint32_t lba, std::uint16_t sectors, Sat16& storage) {
  storage = {};
  if (sectors <= kMax28BitSectors && std::uint64_t{lba} + sectors <= kMax28BitLba) {
    storage = {0xA1, static_cast<std::uint8_t>(read ? 0x14 : 0x16), static_cast<std::uint8_t>(read ? 0x0B : 0x03),
               0x00, ByteOf(sectors, 0), ByteOf(lba, 0), ByteOf(lba, 8), ByteOf(lba, 16), Device28(lba),
               static_cast<std::uint8_t>(read ? 0xC8 : 0xCA)};
    return std::span(storage).first(12);
  }
  storage = {0x85, static_cast<std::uint8_t>(read ? 0x15 : 0x17), static_cast<std::uint8_t>(read ? 0x0B : 0x03),
             0x00, 0x00, ByteOf(sectors, 8), ByteOf(sectors, 0), ByteOf(lba, 24), ByteOf(lba, 0), 0x00,
             ByteOf(lba, 8), 0x00, ByteOf(lba, 16), 0xE0, static_cast<std::uint8_t>(read ? 0x25 : 0x35), 0x00};
  return storage;
}

int TransferLbaSectors(int port, bool read, std::span<std::uint8_t> buffer, std::uint16_t sectors,
                       std::uint32_t lba) {
  const std::shared_ptr<const PortTransport> transport = PortTransportOf(port);
  if (transport == nullptr) return kCommandFailed;
  const std::size_t byteCount = std::size_t{sectors} * kSectorBytes;
  const auto cdb10 = detail::MakeReadWrite10Cdb(read ? detail::kOpRead10 : detail::kOpWrite10, lba, sectors);
  if (transport->usbPath != 0) return ToCommandResult(SendPortCommand(port, read, cdb10, buffer, byteCount));
  if (CurrentProgramKind() == ProgramKind::Fleetburn) {
    return ToCommandResult(SendPathScsiCommand(port, read, cdb10, buffer, byteCount));
  }
  // An ATA count of 0 would mean 256 (or 65 536) sectors with no room for them.
  if (sectors == 0) {
    DebugPrint("LBA %s of 0 sectors refused\n", read ? "read" : "write");
    return kCommandFailed;
  }
  Sat16 storage;
  return ToCommandResult(SendPortCommand(port, read, MakeSatDmaCdb(read, lba, sectors, storage), buffer, byteCount));
}

void LeaveFailureRecord(std::span<std::uint8_t> buffer, std::uint32_t kind, std::uint32_t lba) {
  if (buffer.size() < 8) return;
  detail::PutLittleEndian32(buffer, 0, kind);
  detail::PutLittleEndian32(buffer, 4, lba);
}

}  // namespace

int SendIdentifyDevice(int port, std::span<std::uint8_t> buffer, std::uint8_t sectors) {
  const Sat12 cdb{0xA1, 0x08, 0x0B, 0x00, sectors, 0x00, 0x00, 0x00, 0xE0, 0xEC, 0x00, 0x00};
  return SendOnRoute(port, Route::SataPath, kCommandFailed, cdb, true, buffer, std::size_t{sectors} * kSectorBytes);
}

int SendSetFeatures(int port, std::uint8_t feature, std::uint32_t value) {
  const Sat12 cdb{0xA1, 0x06, 0x00, feature, ByteOf(value, 0), ByteOf(value, 8), ByteOf(value, 16),
                  ByteOf(value, 24), 0xE0, 0xEF, 0x00, 0x00};
  return SendSataNoData(port, cdb);
}

int SmartReadData(int port, std::span<std::uint8_t> buffer, std::size_t sectors) {
  const Sat12 cdb{0xA1, 0x08, 0x0B, 0xD0, 0x01, 0x00, 0x4F, 0xC2, 0x00, 0xB0, 0x00, 0x00};
  return SendOnRoute(port, Route::SataPath, kCommandFailed, cdb, true, buffer, sectors * kSectorBytes);
}

int FlushCache(int port) {
  const Sat12 cdb{0xA1, 0x06, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xE0, 0xE7, 0x00, 0x00};
  return SendSataNoData(port, cdb);
}

int SendReadNativeMax(int port) {
  const Sat12 cdb{0xA1, 0x06, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xF8, 0x00, 0x00};
  return SendSataNoData(port, cdb);
}

int SendReadNativeMaxExt(int port) {
  Sat16 cdb{};
  cdb[0] = 0x85;
  cdb[1] = 0x06;
  cdb[14] = 0x27;
  return SendSataNoData(port, cdb);
}

int SendSetMaxAddress(int port, std::uint32_t lba) {
  const std::shared_ptr<const PortTransport> transport = PortTransportOf(port);
  if (transport != nullptr && transport->usbPath == 0 && lba > kMax28BitLba) {
    DebugPrint("SET MAX ADDRESS refused: LBA %08X needs more than 28 bits\n", lba);
    return kCommandFailed;
  }
  const Sat12 cdb{0xA1, 0x06, 0x00, 0x00, 0x01, ByteOf(lba, 0), ByteOf(lba, 8), ByteOf(lba, 16), Device28(lba),
                  0xF9, 0x00, 0x00};
  return SendSataNoData(port, cdb);
}

int SendSetMaxAddressExt(int port, std::uint64_t lba) {
  const std::shared_ptr<const PortTransport> transport = PortTransportOf(port);
  if (transport != nullptr && transport->usbPath == 0 && lba > kMax48BitLba) {
    DebugPrint("SET MAX ADDRESS EXT refused: LBA %llX needs more than 48 bits\n",
               static_cast<unsigned long long>(lba));
    return kCommandFailed;
  }
  const Sat16 cdb{0x85,           0x07,           0x00,           0x00,           0x00, 0x00, 0x01, ByteOf(lba, 24),
                  ByteOf(lba, 0), ByteOf(lba, 32), ByteOf(lba, 8), ByteOf(lba, 40), ByteOf(lba, 16), 0xE0, 0x37, 0x00};
  return SendSataNoData(port, cdb);
}

// READ CAPACITY answers 8 bytes of the sectors asked for, INQUIRY as many of
// its 40 as the device has: a shorter answer is theirs by design.
int SendReadCapacity(int port, std::span<std::uint8_t> buffer, std::size_t sectors) {
  const std::array<std::uint8_t, 10> cdb{0x25};
  return SendOnRoute(port, Route::UsbPath, kCommandFailed, cdb, true, buffer, sectors * kSectorBytes,
                     ShortDataIn::ZeroTail);
}

int InquiryDevice(int port, std::span<std::uint8_t> buffer) {
  const std::shared_ptr<const PortTransport> transport = PortTransportOf(port);
  if (transport != nullptr && transport->usbPath == 0) {
    std::fill_n(buffer.begin(), std::min(buffer.size(), kInquiryLength), std::uint8_t{0});
    return kCommandFailed;
  }
  const std::array<std::uint8_t, 6> cdb{0x12, 0x00, 0x00, 0x00, static_cast<std::uint8_t>(kInquiryLength), 0x00};
  return SendOnRoute(port, Route::UsbPath, kCommandFailed, cdb, true, buffer, kInquiryLength, ShortDataIn::ZeroTail);
}

int ReadLbaSectors(int port, std::span<std::uint8_t> buffer, std::uint16_t sectors, std::uint32_t lba) {
  const int result = TransferLbaSectors(port, true, buffer, sectors, lba);
  if (result != kCommandOk) LeaveFailureRecord(buffer, kLbaReadFailureKind, lba);
  return result;
}

int WriteLbaSectors(int port, std::span<std::uint8_t> buffer, std::uint16_t sectors, std::uint32_t lba) {
  const int result = TransferLbaSectors(port, false, buffer, sectors, lba);
  if (result != kCommandOk) LeaveFailureRecord(buffer, kLbaWriteFailureKind, lba);
  return result;
}

}  // namespace devlib
