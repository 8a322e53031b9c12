#include "devlib/vendor_commands.h"

#include <array>
#include <functional>

#include "byte_fields.h"
#include "devlib/debug_print.h"
#include "devlib/port_io.h"
#include "devlib/transport.h"
#include "devlib/vendor_protocol.h"

namespace devlib {
namespace {

using detail::PutBigEndian16;
using detail::PutBigEndian32;

enum class Phase { None, In, Out };

using FillParameters = std::function<void(VendorCdb&)>;

// Builds the port's vendor block for the sub-operation, lets `fill` write
// bytes 3.., and sends it with its data phase.
int SendVendor(int port, std::uint8_t subOperation, Phase phase, std::span<std::uint8_t> buffer,
               std::size_t sectors, const FillParameters& fill = {}) {
  const std::shared_ptr<const PortTransport> transport = PortTransportOf(port);
  if (transport == nullptr) return kCommandFailed;
  VendorCdb cdb = MakeVendorCdb(transport->usbPath != 0, subOperation);
  if (fill) fill(cdb);
  const std::size_t dataSectors = phase == Phase::None ? 0 : sectors;
  return SendVendorCommand(port, phase == Phase::In, cdb, buffer, dataSectors) ? kCommandOk : kCommandFailed;
}

int SendNoData(int port, std::uint8_t subOperation, const FillParameters& fill = {}) {
  return SendVendor(port, subOperation, Phase::None, {}, 0, fill);
}

// param in byte 3, a 32-bit address in bytes 4..7.
int SendAddressed(int port, std::uint8_t subOperation, Phase phase, std::uint8_t param, std::uint32_t address,
                  std::span<std::uint8_t> buffer, std::size_t sectors) {
  return SendVendor(port, subOperation, phase, buffer, sectors, [&](VendorCdb& cdb) {
    cdb[3] = param;
    PutBigEndian32(cdb, 4, address);
  });
}

// Channel in byte 3, chip enable or bank in byte 4.
int SendChannelSelected(int port, std::uint8_t subOperation, Phase phase, std::uint8_t channel, std::uint8_t unit,
                        std::span<std::uint8_t> buffer, std::size_t sectors) {
  return SendVendor(port, subOperation, phase, buffer, sectors, [&](VendorCdb& cdb) {
    cdb[3] = channel;
    cdb[4] = unit;
  });
}

int SendPageAddressed(int port, std::uint8_t subOperation, Phase phase, const FlashPageAddress& address,
                      std::span<std::uint8_t> buffer, std::size_t sectors) {
  return SendVendor(port, subOperation, phase, buffer, sectors, [&](VendorCdb& cdb) {
    cdb[3] = address.channel;
    cdb[4] = address.chipEnable;
    PutBigEndian16(cdb, 5, address.block);
    PutBigEndian16(cdb, 7, address.page);
    cdb[9] = address.bch24;
    cdb[10] = address.extra;
  });
}

// Reads one reply sector and takes its status or register byte.
int ReadReplyValue(int port, std::uint8_t subOperation, const FillParameters& fill, std::uint8_t& value) {
  std::array<std::uint8_t, kSectorBytes> reply{};
  const int result = SendVendor(port, subOperation, Phase::In, reply, 1, fill);
  if (result != kCommandOk) return result;
  return TakeReplyByte(PortTransportOf(port)->usbPath != 0, reply, value);
}

int SendStartOperation(int port, std::uint8_t operation, std::uint8_t options) {
  return SendNoData(port, operation, [&](VendorCdb& cdb) { cdb[3] = options; });
}

}  // namespace

int SendReadControllerInfo(int port, std::span<std::uint8_t> sector) {
  return SendVendor(port, 0x80, Phase::In, sector, 1);
}

int SendSessionStart(int port, std::uint8_t argument) {
  const std::shared_ptr<const PortTransport> transport = PortTransportOf(port);
  if (transport == nullptr) return kCommandFailed;
  const std::uint8_t param = transport->usbPath != 0 ? argument : 1;
  return SendNoData(port, 0x81, [&](VendorCdb& cdb) { cdb[3] = param; });
}

int SendRunRamCode(int port) { return SendNoData(port, 0x82); }

int SendSetRunMode(int port, std::uint8_t mode) {
  return SendNoData(port, 0x83, [&](VendorCdb& cdb) { cdb[3] = mode; });
}

int SendReadRegister(int port, std::uint32_t address, std::uint8_t& value) {
  return ReadReplyValue(port, 0x84, [&](VendorCdb& cdb) { PutBigEndian32(cdb, 3, address); }, value);
}

int SendWriteRegister(int port, std::uint32_t address, std::uint8_t value) {
  return SendNoData(port, 0x85, [&](VendorCdb& cdb) {
    PutBigEndian32(cdb, 3, address);
    cdb[7] = value;
  });
}

int ReadMemoryBlock(int port, std::uint8_t param, std::uint32_t address, std::span<std::uint8_t> buffer,
                    std::size_t sectors) {
  return SendAddressed(port, 0x86, Phase::In, param, address, buffer, sectors);
}

int WriteMemoryBlock(int port, std::uint8_t param, std::uint32_t address, std::span<std::uint8_t> buffer,
                     std::size_t sectors) {
  return SendAddressed(port, 0x87, Phase::Out, param, address, buffer, sectors);
}

int SendReadFlashId(int port, std::uint8_t channel, std::uint8_t chipEnable, std::span<std::uint8_t> buffer,
                    std::size_t sectors) {
  return SendChannelSelected(port, 0x88, Phase::In, channel, chipEnable, buffer, sectors);
}

int SendReadFlashPages(int port, const FlashPageAddress& address, std::span<std::uint8_t> buffer,
                       std::size_t sectors) {
  return SendPageAddressed(port, 0x89, Phase::In, address, buffer, sectors);
}

int SendWriteFlashPages(int port, const FlashPageAddress& address, std::span<std::uint8_t> buffer,
                        std::size_t sectors) {
  return SendPageAddressed(port, 0x8A, Phase::Out, address, buffer, sectors);
}

int SendEraseBlock(int port, std::uint8_t channelSelector, std::uint8_t chipEnable, std::uint16_t block) {
  return SendNoData(port, 0x8B, [&](VendorCdb& cdb) {
    cdb[3] = channelSelector;
    cdb[4] = chipEnable;
    PutBigEndian16(cdb, 5, block);
  });
}

int SendReadMemoryWindow(int port, std::uint8_t param, std::uint32_t address, std::span<std::uint8_t> buffer,
                         std::size_t sectors) {
  return SendAddressed(port, 0x8C, Phase::In, param, address, buffer, sectors);
}

int SendReadStatus(int port, std::uint8_t& status) { return ReadReplyValue(port, 0x00, {}, status); }

int SendReadBadBlockList(int port, std::uint8_t channel, std::uint8_t chipEnable, std::span<std::uint8_t> buffer,
                         std::size_t sectors) {
  return SendChannelSelected(port, 0x00, Phase::In, channel, chipEnable, buffer, sectors);
}

int SendStartOperation1(int port, std::uint8_t options) { return SendStartOperation(port, 0x01, options); }
int SendStartOperation2(int port, std::uint8_t options) { return SendStartOperation(port, 0x02, options); }
int SendStartOperation3(int port, std::uint8_t options) { return SendStartOperation(port, 0x03, options); }
int SendStartOperation4(int port, std::uint8_t options) { return SendStartOperation(port, 0x04, options); }

int SendReadEraseCounts(int port, std::uint8_t channel, std::uint8_t bank, std::span<std::uint8_t> buffer,
                        std::size_t sectors) {
  return SendChannelSelected(port, 0x01, Phase::In, channel, bank, buffer, sectors);
}

int SendFlashTestStep(int port, std::uint8_t step, std::uint16_t block, std::uint8_t& result) {
  std::array<std::uint8_t, kSectorBytes> reply{};
  const int sent = SendVendor(port, 0x01, Phase::In, reply, 1, [&](VendorCdb& cdb) {
    cdb[3] = step;
    PutBigEndian16(cdb, 4, block);
  });
  if (sent != kCommandOk) return sent;
  // The test RAM code marks a result with byte 0 = 1; anything else carries
  // no failure value and counts as a pass, which is worth a trace.
  if (reply[0] != 1) {
    DebugPrint("SendFlashTestStep() step %u block %u: no result marker (byte 0 = %02X), counted as pass\n",
               static_cast<unsigned>(step), static_cast<unsigned>(block), static_cast<unsigned>(reply[0]));
  }
  result = reply[0] == 1 ? reply[1] : 0xFF;
  return kCommandOk;
}

int SendReadTestResult(int port, std::span<std::uint8_t> sector) {
  return SendVendor(port, 0x02, Phase::In, sector, 1);
}

int SendReadTestMemory(int port, std::uint8_t param, std::uint32_t address, std::span<std::uint8_t> buffer,
                       std::size_t sectors) {
  return SendAddressed(port, 0x03, Phase::In, param, address, buffer, sectors);
}

int SendWriteTestMemory(int port, std::uint8_t param, std::uint32_t address, std::span<std::uint8_t> buffer,
                        std::size_t sectors) {
  return SendAddressed(port, 0x04, Phase::Out, param, address, buffer, sectors);
}

int SendReadPhysicalPage(int port, const FlashPageAddress& address, std::span<std::uint8_t> buffer,
                         std::size_t sectors) {
  return SendPageAddressed(port, 0x04, Phase::In, address, buffer, sectors);
}

int SendReadInfoBlock(int port, std::span<std::uint8_t> buffer, std::size_t sectors) {
  return SendVendor(port, 0x05, Phase::In, buffer, sectors);
}

int SendDramCheck(int port, std::span<std::uint8_t> sector, std::uint32_t address, std::uint32_t length) {
  return SendVendor(port, 0x05, Phase::Out, sector, 1, [&](VendorCdb& cdb) {
    PutBigEndian32(cdb, 4, address);
    PutBigEndian32(cdb, 8, length);
  });
}

int SendReadFailureReport(int port, std::span<std::uint8_t> buffer) {
  return SendVendor(port, 0x06, Phase::In, buffer, kFailureReportSectors);
}

int SendReadLoaderList(int port, std::span<std::uint8_t> buffer, std::size_t sectors) {
  return SendVendor(port, 0x07, Phase::In, buffer, sectors);
}

int SendWriteEraseCounts(int port, std::uint8_t channel, std::uint8_t bank, std::span<std::uint8_t> buffer,
                         std::size_t sectors) {
  return SendChannelSelected(port, 0x08, Phase::Out, channel, bank, buffer, sectors);
}

}  // namespace devlib
