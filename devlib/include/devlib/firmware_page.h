#pragma once
// The identity data inside a firmware page, customised before the page is
// written to the drive: the ATA IDENTIFY image of a SATA firmware page, or
// the USB descriptors and INQUIRY data of a USB firmware page. Offsets are
// from the start of the page that carries the firmware header.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "devlib/flash_params.h"

namespace devlib {

enum class FirmwarePageSide { Sata, Usb };

namespace firmware_page {

// SATA page: the IDENTIFY DEVICE image, word w at kIdentifyImage + 2w.
inline constexpr std::size_t kIdentifyImage = 76;
inline constexpr std::size_t kIdentifyImageSize = 512;
inline constexpr std::size_t kSerialNumber = 96;  // words 10-19
inline constexpr std::size_t kSerialNumberSize = 20;
inline constexpr std::size_t kFirmwareRevision = 122;  // words 23-26
inline constexpr std::size_t kFirmwareRevisionSize = 8;
inline constexpr std::size_t kModelNumber = 130;  // words 27-46
inline constexpr std::size_t kModelNumberSize = 40;
inline constexpr std::size_t kUdmaModeByte = 263;  // IDENTIFY byte 187
inline constexpr std::uint8_t kUdma5Selected = 0x20;
inline constexpr int kWorldWideNameWord = 108;  // words 108-111

// USB page: device descriptor IDs, the INQUIRY image and string descriptors.
inline constexpr std::size_t kVendorId = 100;
inline constexpr std::size_t kProductId = 102;
inline constexpr std::size_t kInquiryImage = 110;
inline constexpr std::size_t kInquiryRemovableByte = 111;
inline constexpr std::uint8_t kRemovableMedium = 0x80;
inline constexpr std::size_t kInquiryVendor = 118;
inline constexpr std::size_t kInquiryVendorSize = 8;
inline constexpr std::size_t kInquiryProduct = 126;
inline constexpr std::size_t kInquiryProductSize = 16;
inline constexpr std::size_t kManufacturerString = 158;
inline constexpr std::size_t kManufacturerChars = 16;
inline constexpr std::size_t kProductString = 192;
inline constexpr std::size_t kProductChars = 24;
inline constexpr std::size_t kSerialString = 242;
// A string descriptor's length byte must hold 2 x characters + 2.
inline constexpr std::size_t kSerialStringMaxChars = 126;

// Both layouts lie inside the IDENTIFY image region; a page must hold it.
inline constexpr std::size_t kMinPageSize = kIdentifyImage + kIdentifyImageSize;

}  // namespace firmware_page

// Writes the identity of `params` (and the serial number and world wide name
// texts) into the page, for one side. The world wide name text is a 9-digit
// UID, joined with the 6-digit OUI into a NAA 5 name, or 16 hex digits; a
// digit that is missing or not hexadecimal is taken as 0, with a warning in
// the debug output. False, with the page untouched, when the page is smaller
// than kMinPageSize.
bool CustomiseFirmwarePage(std::span<std::uint8_t> page, FirmwarePageSide side, std::string_view serialNumber,
                           std::string_view worldWideName, const FlashParams& params);

}  // namespace devlib
