// Per-port dispatch: the port's record decides how a CDB reaches its drive.

#include <algorithm>
#include <array>
#include <memory>

#include "devlib/debug_print.h"
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

// A data-in that moved fewer bytes than asked left the buffer's earlier bytes
// behind the ones it moved, perhaps another drive's answer.
int SettleDataIn(int port, std::span<const std::uint8_t> cdb, std::span<std::uint8_t> buffer, std::size_t byteCount,
                 std::size_t transferred, ShortDataIn shortDataIn) {
  if (transferred >= byteCount) return kPortOk;
  if (shortDataIn == ShortDataIn::ZeroTail) {
    std::fill(buffer.begin() + static_cast<std::ptrdiff_t>(transferred),
              buffer.begin() + static_cast<std::ptrdiff_t>(byteCount), std::uint8_t{0});
    return kPortOk;
  }
  DebugPrint("Port %d: command %02X asked for %zu bytes and moved %zu\n", port, cdb.empty() ? 0u : cdb[0], byteCount,
             transferred);
  return kPortFailed;
}

}  // namespace

int SendPortCommand(int port, bool dataIn, std::span<const std::uint8_t> cdb, std::span<std::uint8_t> buffer,
                    std::size_t byteCount, ShortDataIn shortDataIn) {
  const std::shared_ptr<const PortTransport> transport = PortTransportOf(port);
  if (transport == nullptr) return kPortRefused;
  std::size_t transferred = 0;
  int result = kPortFailed;
  if (transport->nativeAta != 0) {
    result = SendAtaCommandTimed(transport->devicePath, dataIn, cdb, buffer, byteCount, kNativeAtaTimeoutSeconds,
                                 &transferred, transport->stop);
  } else {
    if (transport->devicePath.empty() || !ScsiRequestFits(cdb, buffer, byteCount)) return kPortRefused;
    const std::uint32_t dataInTimeout =
        transport->usbPath != 0 ? kUsbDataInTimeoutSeconds : kBridgeDataInTimeoutSeconds;
    const bool sent = dataIn ? SendScsiCommandInTimed(transport->devicePath, cdb, buffer, byteCount, dataInTimeout,
                                                      &transferred, transport->stop)
                             : SendScsiCommandOutTimed(transport->devicePath, cdb, buffer, byteCount,
                                                       kDataOutTimeoutSeconds, nullptr, transport->stop);
    result = sent ? kPortOk : kPortFailed;
  }
  if (result != kPortOk || !dataIn) return result;
  return SettleDataIn(port, cdb, buffer, byteCount, transferred, shortDataIn);
}

int SendPathScsiCommand(int port, bool dataIn, std::span<const std::uint8_t> cdb, std::span<std::uint8_t> buffer,
                        std::size_t byteCount, ShortDataIn shortDataIn) {
  const std::shared_ptr<const PortTransport> transport = PortTransportOf(port);
  if (transport == nullptr || transport->devicePath.empty() || !ScsiRequestFits(cdb, buffer, byteCount)) {
    return kPortRefused;
  }
  std::size_t transferred = 0;
  const bool sent =
      dataIn ? SendScsiCommandIn(transport->devicePath, cdb, buffer, byteCount, &transferred, transport->stop)
             : SendScsiCommandOut(transport->devicePath, cdb, buffer, byteCount, nullptr, transport->stop);
  if (!sent) return kPortFailed;
  return dataIn ? SettleDataIn(port, cdb, buffer, byteCount, transferred, shortDataIn) : kPortOk;
}

bool SetBridgeOption(int port, std::uint8_t value) {
  const std::array<std::uint8_t, 12> block{0xFF, 0x04, kBridgeOptionSubOperation, value};
  return SendPortCommand(port, false, block, {}, 0) == kPortOk;
}

}  // namespace devlib
