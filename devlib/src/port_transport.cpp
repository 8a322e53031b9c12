// Per-port dispatch: the port's record decides how a CDB reaches its drive.

#include <array>
#include <memory>

#include "devlib/port_io.h"
#include "devlib/transport.h"

namespace devlib {
namespace {

constexpr std::uint32_t kNativeAtaTimeoutSeconds = 10;
constexpr std::uint32_t kUsbDataInTimeoutSeconds = 300;
constexpr std::uint32_t kBridgeDataInTimeoutSeconds = 10;
constexpr std::uint32_t kDataOutTimeoutSeconds = 10;
constexpr std::uint8_t kBridgeOptionSubOperation = 0x32;

// A request the SCSI path could not carry is refused before the device opens.
bool ScsiRequestFits(std::span<const std::uint8_t> cdb, std::span<std::uint8_t> buffer, std::size_t byteCount) {
  return !cdb.empty() && cdb.size() <= kMaxCdbLength && byteCount <= buffer.size();
}

}  // namespace

int SendPortCommand(int port, bool dataIn, std::span<const std::uint8_t> cdb, std::span<std::uint8_t> buffer,
                    std::size_t byteCount) {
  const std::shared_ptr<const PortTransport> transport = PortTransportOf(port);
  if (transport == nullptr) return kPortRefused;
  if (transport->nativeAta != 0) {
    return SendAtaCommandTimed(transport->devicePath, dataIn, cdb, buffer, byteCount, kNativeAtaTimeoutSeconds,
                               transport->stop);
  }
  if (transport->devicePath.empty() || !ScsiRequestFits(cdb, buffer, byteCount)) return kPortRefused;
  const bool sent =
      dataIn ? SendScsiCommandInTimed(transport->devicePath, cdb, buffer, byteCount,
                                      transport->usbPath != 0 ? kUsbDataInTimeoutSeconds : kBridgeDataInTimeoutSeconds,
                                      nullptr, transport->stop)
             : SendScsiCommandOutTimed(transport->devicePath, cdb, buffer, byteCount, kDataOutTimeoutSeconds, nullptr,
                                       transport->stop);
  return sent ? kPortOk : kPortFailed;
}

int SendPathScsiCommand(int port, bool dataIn, std::span<const std::uint8_t> cdb, std::span<std::uint8_t> buffer,
                        std::size_t byteCount) {
  const std::shared_ptr<const PortTransport> transport = PortTransportOf(port);
  if (transport == nullptr || transport->devicePath.empty() || !ScsiRequestFits(cdb, buffer, byteCount)) {
    return kPortRefused;
  }
  const bool sent = dataIn ? SendScsiCommandIn(transport->devicePath, cdb, buffer, byteCount, nullptr, transport->stop)
                           : SendScsiCommandOut(transport->devicePath, cdb, buffer, byteCount, nullptr, transport->stop);
  return sent ? kPortOk : kPortFailed;
}

bool SetBridgeOption(int port, std::uint8_t value) {
  const std::array<std::uint8_t, 12> block{0xFF, 0x04, kBridgeOptionSubOperation, value};
  return SendPortCommand(port, false, block, {}, 0) == kPortOk;
}

}  // namespace devlib
