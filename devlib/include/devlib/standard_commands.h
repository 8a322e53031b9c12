#pragma once
// Builders of the standard ATA and SCSI commands. ATA commands ride in SAT
// ATA PASS-THROUGH blocks and are sent only on SATA-path ports (usbPath
// clear); the SCSI INQUIRY and READ CAPACITY only on USB-path ports. On the
// other path a builder sends nothing and gives its fixed result.
// Results: kCommandOk, kCommandFailed (vendor_protocol.h).

#include <cstddef>
#include <cstdint>
#include <span>

namespace devlib {

inline constexpr std::size_t kInquiryLength = 40;

int SendIdentifyDevice(int port, std::span<std::uint8_t> buffer, std::uint8_t sectors);  // USB path: 2
// Value bits 0..31 go to the count and the three LBA registers.
int SendSetFeatures(int port, std::uint8_t feature, std::uint32_t value);  // USB path: 1
int SmartReadData(int port, std::span<std::uint8_t> buffer, std::size_t sectors);  // USB path: 2
int FlushCache(int port);  // USB path: 1
int SendReadNativeMax(int port);  // USB path: 1
int SendReadNativeMaxExt(int port);  // USB path: 1
// LBA at most 28 bits; a larger one is refused with 2.
int SendSetMaxAddress(int port, std::uint32_t lba);  // USB path: 1
// LBA at most 48 bits; a larger one is refused with 2.
int SendSetMaxAddressExt(int port, std::uint64_t lba);  // USB path: 1
int SendReadCapacity(int port, std::span<std::uint8_t> buffer, std::size_t sectors);  // SATA path: 2
// Reads 40 bytes of INQUIRY data. On a SATA-path port nothing is sent, the
// 40 bytes are zeroed and the result is 2.
int InquiryDevice(int port, std::span<std::uint8_t> buffer);

// LBA reads and writes. On failure the buffer starts with a record: 32-bit
// kind (2 read, 1 write) and the 32-bit LBA, little-endian.
inline constexpr std::uint32_t kLbaReadFailureKind = 2;
inline constexpr std::uint32_t kLbaWriteFailureKind = 1;
int ReadLbaSectors(int port, std::span<std::uint8_t> buffer, std::uint16_t sectors, std::uint32_t lba);
int WriteLbaSectors(int port, std::span<std::uint8_t> buffer, std::uint16_t sectors, std::uint32_t lba);

}  // namespace devlib
