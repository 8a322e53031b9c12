#pragma once
// The controller's vendor command protocol. On the controller's own USB
// interface the 12-byte vendor block goes to the drive as a SCSI command.
// Behind a bridge or on a SATA port it is tunnelled: written as the data of
// one command sector with a vendor ATA command, and the data phase follows as
// a second vendor ATA command, both in ATA PASS-THROUGH (12) blocks.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace devlib {

// Results of every command builder; only kCommandOk is success.
inline constexpr int kCommandOk = 1;
inline constexpr int kCommandFailed = 2;
inline constexpr int kCommandBadSignature = 3;  // the tunnelled reply lacks its 0xE5 mark

inline constexpr std::size_t kVendorCdbLength = 12;
using VendorCdb = std::array<std::uint8_t, kVendorCdbLength>;
using VendorTunnelCdb = std::array<std::uint8_t, 12>;

inline constexpr std::uint8_t kVendorCdbMark = 0xFF;
inline constexpr std::uint8_t kVendorUsbPathMark = 0x04;
inline constexpr std::uint8_t kVendorTunnelMark = 0xE5;
inline constexpr std::uint8_t kCommandSectorTag = 0xFF;
// The tunnel's sector count is one ATA count byte, and 0 there would mean 256.
inline constexpr std::size_t kMaxTunnelSectors = 255;

// A zeroed vendor block: FF, then 04 (USB path) or E5 (tunnelled), then the
// sub-operation. The caller fills bytes 3..11.
VendorCdb MakeVendorCdb(bool usbPath, std::uint8_t subOperation);

// The tunnel's ATA PASS-THROUGH (12) block for the given opcode set:
// set 2 uses UDMA and 0x88 / 0x86, set 1 PIO and 0x8F / 0x8A, any other set
// PIO and 0xC5 / 0xC4. Data-out and the command sector share one form.
VendorTunnelCdb MakeVendorTunnelCdb(std::uint8_t opcodeSet, bool dataIn, std::uint8_t sectorCount, std::uint8_t tag);

// Sends one vendor command with an optional data phase of sectorCount x 512
// bytes from or into `buffer`. True when every step succeeded; a failed
// command sector stops the command before its data phase. Nothing is retried.
bool SendVendorCommand(int port, bool dataIn, const VendorCdb& cdb, std::span<std::uint8_t> buffer,
                       std::size_t sectorCount);

// One tunnel phase with the port's own opcode set. 1 success, 2 failure; a
// count outside 1..255 or beyond the buffer is refused before sending.
int SendTunnelWrite(int port, std::span<std::uint8_t> buffer, std::size_t sectorCount, std::uint8_t tag);
int SendTunnelRead(int port, std::span<std::uint8_t> buffer, std::size_t sectorCount, std::uint8_t tag);
bool TunnelRead(int port, std::span<std::uint8_t> buffer, std::size_t sectorCount, std::uint8_t tag);

// The status or register byte of a reply: byte 0 on the USB path; on the
// tunnel byte 0 must be 0xE5 and the value is byte 1, else kCommandBadSignature
// and `value` is left as it was.
int TakeReplyByte(bool usbPath, std::span<const std::uint8_t> reply, std::uint8_t& value);

}  // namespace devlib
