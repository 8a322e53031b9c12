#pragma once
// Pass-through transport: every drive command leaves the process here. Each
// call opens the device for that one command and closes it again, failures
// included. Nothing here throws; every failure is in the result.

#include <cstddef>
#include <cstdint>
#include <span>
#include <stop_token>
#include <string_view>

#include "platform/storage.h"

namespace devlib {

// Results of SendPortCommand, SendPathScsiCommand and SendAtaCommandTimed.
inline constexpr int kPortOk = 1;
inline constexpr int kPortTimedOut = 0;  // native ATA: the command took longer than its time-out
inline constexpr int kPortRefused = -1;  // no such port, no device path, refused input or a failed call
inline constexpr int kPortFailed = -2;

inline constexpr std::size_t kMaxAtaDataLength = 65536;
inline constexpr std::size_t kMaxCdbLength = 16;
inline constexpr std::size_t kSectorBytes = 512;

// One ATA command's registers. On return `current` holds the error register
// in `features` and the status register in `command`.
struct AtaTaskFile {
  platform::storage::AtaRegisters current;
  platform::storage::AtaRegisters previous;  // high-order bytes of a 48-bit command
  bool extended = false;
  bool useDma = false;
};

// ATA pass-through, data-in and data-out. 1: done with ERR clear; 0: the
// device did not open or reported ERR; -1: data length over 65 536 bytes or
// over the buffer, or the call failed. A length of 0 moves no data.
// `transferred` (optional) gets the bytes the pass-through reports as moved.
int ReadATACommandWithTimeOutValue(std::string_view devicePath, AtaTaskFile& taskFile,
                                   std::span<std::uint8_t> buffer, std::size_t dataLength,
                                   std::uint32_t timeoutSeconds, std::size_t* transferred = nullptr,
                                   std::stop_token stop = {});
int WriteATACommandWithTimeOutValue(std::string_view devicePath, AtaTaskFile& taskFile,
                                    std::span<std::uint8_t> buffer, std::size_t dataLength,
                                    std::uint32_t timeoutSeconds, std::size_t* transferred = nullptr,
                                    std::stop_token stop = {});

// Sends a SAT ATA PASS-THROUGH CDB (12-byte 0xA1 or 16-byte 0x85) as an ATA
// task file. -1: empty path or another CDB (nothing sent); 0: the command took
// more whole seconds than the time-out; otherwise the ATA result with 0 turned
// into -2.
int SendAtaCommandTimed(std::string_view devicePath, bool dataIn, std::span<const std::uint8_t> cdb,
                        std::span<std::uint8_t> buffer, std::size_t dataLength, std::uint32_t timeoutSeconds,
                        std::size_t* transferred = nullptr, std::stop_token stop = {});

// SCSI pass-through. True when the command reached the drive and it answered
// GOOD, or CHECK CONDITION with NO SENSE or RECOVERED ERROR. The plain forms
// wait 300 s for data-in on a USB-attached device and 5 s on any other, and
// 10 s for data-out. `transferred` (optional) gets the bytes moved.
bool SendScsiCommandIn(std::string_view devicePath, std::span<const std::uint8_t> cdb, std::span<std::uint8_t> buffer,
                       std::size_t byteCount, std::size_t* transferred = nullptr, std::stop_token stop = {});
bool SendScsiCommandOut(std::string_view devicePath, std::span<const std::uint8_t> cdb, std::span<std::uint8_t> buffer,
                        std::size_t byteCount, std::size_t* transferred = nullptr, std::stop_token stop = {});
bool SendScsiCommandInTimed(std::string_view devicePath, std::span<const std::uint8_t> cdb,
                            std::span<std::uint8_t> buffer, std::size_t byteCount, std::uint32_t timeoutSeconds,
                            std::size_t* transferred = nullptr, std::stop_token stop = {});
bool SendScsiCommandOutTimed(std::string_view devicePath, std::span<const std::uint8_t> cdb,
                             std::span<std::uint8_t> buffer, std::size_t byteCount, std::uint32_t timeoutSeconds,
                             std::size_t* transferred = nullptr, std::stop_token stop = {});

// READ (10) / WRITE (10) of byteCount / 512 sectors; byteCount must be a whole
// number of sectors, at most 65 535 of them.
bool ScsiRead10(std::string_view devicePath, std::span<std::uint8_t> buffer, std::uint32_t lba,
                std::size_t byteCount, std::stop_token stop = {});
bool ScsiWrite10(std::string_view devicePath, std::span<std::uint8_t> buffer, std::uint32_t lba,
                 std::size_t byteCount, std::stop_token stop = {});

// What a data-in command that moved fewer bytes than asked comes to. The
// bytes it did not move still hold whatever the buffer held before.
enum class ShortDataIn {
  Fails,     // the answer has a fixed length: the command failed (with a debug line)
  ZeroTail,  // the answer may be shorter by design: the bytes past it are zeroed
};

// Sends a CDB to the port's drive by the port's transport flags: ATA
// pass-through (10 s) on a native-ATA port, else SCSI pass-through with 300 s
// (USB path) or 10 s for data-in and 10 s for data-out. 1 / -1 / -2, and on
// native-ATA ports also 0.
int SendPortCommand(int port, bool dataIn, std::span<const std::uint8_t> cdb, std::span<std::uint8_t> buffer,
                    std::size_t byteCount, ShortDataIn shortDataIn = ShortDataIn::Fails);

// SCSI pass-through on the port's device with the device-dependent time-outs
// of SendScsiCommandIn / SendScsiCommandOut. 1 / -1 / -2.
int SendPathScsiCommand(int port, bool dataIn, std::span<const std::uint8_t> cdb, std::span<std::uint8_t> buffer,
                        std::size_t byteCount, ShortDataIn shortDataIn = ShortDataIn::Fails);

// Sends the bridge option block FF 04 32 value without data.
bool SetBridgeOption(int port, std::uint8_t value);

}  // namespace devlib
