#include "devlib/firmware_page.h"

#include <algorithm>
#include <optional>
#include <vector>

#include "byte_fields.h"
#include "devlib/debug_print.h"

namespace devlib {
namespace {

using namespace firmware_page;
using detail::PutLittleEndian16;

constexpr char kIdentifyOverrideMark = 'Z';
constexpr std::size_t kNaa5UidDigits = 9;
constexpr std::size_t kOuiDigits = 6;
constexpr std::size_t kWwnDigits = 16;
constexpr std::uint8_t kNaaRegistered = 5;
constexpr std::size_t kBlankManufacturerChars = 8;
constexpr std::size_t kBlankProductChars = 12;
constexpr std::size_t kBlankSerialChars = 20;

// A text ends at its first terminator, whatever view it came in.
std::string_view Bounded(std::string_view text) { return text.substr(0, text.find('\0')); }

std::optional<std::uint8_t> HexDigit(char c) {
  if (c >= '0' && c <= '9') return static_cast<std::uint8_t>(c - '0');
  if (c >= 'A' && c <= 'F') return static_cast<std::uint8_t>(c - 'A' + 10);
  if (c >= 'a' && c <= 'f') return static_cast<std::uint8_t>(c - 'a' + 10);
  return std::nullopt;
}

// Appends `count` digits of `text` as nibbles; a missing or non-hex digit
// becomes 0. False when any digit had to be made up.
bool AppendHexDigits(std::string_view text, std::size_t count, std::vector<std::uint8_t>& nibbles) {
  bool clean = text.size() == count;
  for (std::size_t i = 0; i < count; ++i) {
    const std::optional<std::uint8_t> digit = i < text.size() ? HexDigit(text[i]) : std::nullopt;
    if (!digit) clean = false;
    nibbles.push_back(digit.value_or(0));
  }
  return clean;
}

void PutIdentifyWord(std::span<std::uint8_t> page, int word, std::uint16_t value) {
  PutLittleEndian16(page, kIdentifyImage + 2 * static_cast<std::size_t>(word), value);
}

// Fills the field with spaces and copies at most its size of the text in ATA
// string order: character i goes to byte i XOR 1.
void PutAtaString(std::span<std::uint8_t> page, std::size_t offset, std::size_t size, std::string_view text) {
  std::fill_n(page.begin() + static_cast<std::ptrdiff_t>(offset), size, std::uint8_t{' '});
  text = Bounded(text);
  const std::size_t length = std::min(text.size(), size);
  for (std::size_t i = 0; i < length; ++i) page[offset + (i ^ 1)] = static_cast<std::uint8_t>(text[i]);
}

// The 16 hex digits of the world wide name, most significant first.
std::vector<std::uint8_t> WorldWideNameDigits(std::string_view uid, std::string_view oui) {
  std::vector<std::uint8_t> nibbles;
  nibbles.reserve(kWwnDigits);
  uid = Bounded(uid);
  oui = Bounded(oui);
  if (uid.size() == kNaa5UidDigits) {
    nibbles.push_back(kNaaRegistered);
    if (!AppendHexDigits(oui, kOuiDigits, nibbles)) {
      DebugPrint("Warning: OUI \"%.*s\" is not %zu hex digits; the missing or invalid digits are taken as 0\n",
                 static_cast<int>(oui.size()), oui.data(), kOuiDigits);
    }
    if (!AppendHexDigits(uid, kNaa5UidDigits, nibbles)) {
      DebugPrint("Warning: UID \"%.*s\" holds digits that are not hexadecimal; they are taken as 0\n",
                 static_cast<int>(uid.size()), uid.data());
    }
    return nibbles;
  }
  if (!AppendHexDigits(uid, kWwnDigits, nibbles)) {
    DebugPrint("Warning: UID \"%.*s\" is neither %zu nor %zu hex digits; the missing or invalid digits are "
               "taken as 0\n",
               static_cast<int>(uid.size()), uid.data(), kNaa5UidDigits, kWwnDigits);
  }
  return nibbles;
}

void PutWorldWideName(std::span<std::uint8_t> page, std::string_view uid, std::string_view oui) {
  const std::vector<std::uint8_t> nibbles = WorldWideNameDigits(uid, oui);
  for (std::size_t word = 0; word < kWwnDigits / 4; ++word) {
    std::uint16_t value = 0;
    for (std::size_t k = 0; k < 4; ++k) value = static_cast<std::uint16_t>((value << 4) | nibbles[4 * word + k]);
    PutIdentifyWord(page, kWorldWideNameWord + static_cast<int>(word), value);
  }
}

// The value of an override entry: the characters after 'Z' as a hex number,
// of which the low 16 bits count.
std::uint16_t OverrideValue(int word, std::string_view digits) {
  std::uint16_t value = 0;
  bool clean = !digits.empty() && digits.size() <= 4;
  for (const char c : digits) {
    const std::optional<std::uint8_t> digit = HexDigit(c);
    if (!digit) clean = false;
    value = static_cast<std::uint16_t>((value << 4) | digit.value_or(0));
  }
  if (!clean) {
    DebugPrint("Warning: IDENTIFY word %d override \"%.*s\" is not 1 to 4 hex digits; taken as %04X\n", word,
               static_cast<int>(digits.size()), digits.data(), value);
  }
  return value;
}

void ApplyIdentifyOverrides(std::span<std::uint8_t> page, const FlashParams& params) {
  for (int word = 0; word < kIdentifyDataEntries; ++word) {
    const std::string_view entry = Bounded(params.identifyData[static_cast<std::size_t>(word)].view());
    if (entry.empty() || entry.front() != kIdentifyOverrideMark) continue;
    PutIdentifyWord(page, word, OverrideValue(word, entry.substr(1)));
  }
}

void CustomiseSataSide(std::span<std::uint8_t> page, std::string_view serialNumber, std::string_view uid,
                       const FlashParams& params) {
  PutAtaString(page, kSerialNumber, kSerialNumberSize, serialNumber);
  PutAtaString(page, kFirmwareRevision, kFirmwareRevisionSize, params.firmwareVer.view());
  PutAtaString(page, kModelNumber, kModelNumberSize, params.modelNum.view());
  PutWorldWideName(page, uid, params.oui.view());
  ApplyIdentifyOverrides(page, params);
  if (params.ideUdma5 != 0) page[kUdmaModeByte] = kUdma5Selected;
}

void PutUtf16Spaces(std::span<std::uint8_t> page, std::size_t offset, std::size_t characters) {
  for (std::size_t i = 0; i < characters; ++i) PutLittleEndian16(page, offset + 2 * i, ' ');
}

void PutPlainText(std::span<std::uint8_t> page, std::size_t offset, std::size_t size, std::string_view text) {
  text = Bounded(text);
  const std::size_t length = std::min(text.size(), size);
  std::copy_n(text.begin(), length, page.begin() + static_cast<std::ptrdiff_t>(offset));
}

// A USB string descriptor: length byte 2 x characters + 2, the type byte as
// the page has it, then the characters in UTF-16 little-endian.
void PutStringDescriptor(std::span<std::uint8_t> page, std::size_t offset, std::size_t maxChars,
                         std::string_view text) {
  text = Bounded(text);
  if (text.size() > maxChars) {
    DebugPrint("Warning: USB string \"%.*s\" cut to %zu characters\n", static_cast<int>(text.size()), text.data(),
               maxChars);
    text = text.substr(0, maxChars);
  }
  page[offset] = static_cast<std::uint8_t>(2 * text.size() + 2);
  for (std::size_t i = 0; i < text.size(); ++i) {
    PutLittleEndian16(page, offset + 2 + 2 * i, static_cast<std::uint8_t>(text[i]));
  }
}

void CustomiseUsbSide(std::span<std::uint8_t> page, std::string_view serialNumber, const FlashParams& params) {
  PutLittleEndian16(page, kVendorId, params.vid);
  PutLittleEndian16(page, kProductId, params.pid);

  std::fill_n(page.begin() + kInquiryVendor, kInquiryVendorSize, std::uint8_t{' '});
  std::fill_n(page.begin() + kInquiryProduct, kInquiryProductSize, std::uint8_t{' '});
  PutUtf16Spaces(page, kManufacturerString + 2, kBlankManufacturerChars);
  PutUtf16Spaces(page, kProductString + 2, kBlankProductChars);
  PutUtf16Spaces(page, kSerialString + 2, kBlankSerialChars);

  if (params.usbRemovable != 0) {
    page[kInquiryRemovableByte] |= kRemovableMedium;
  } else {
    page[kInquiryRemovableByte] &= static_cast<std::uint8_t>(~kRemovableMedium);
  }

  PutPlainText(page, kInquiryVendor, kInquiryVendorSize, params.vendorName.view());
  PutPlainText(page, kInquiryProduct, kInquiryProductSize, params.productName.view());

  PutStringDescriptor(page, kManufacturerString, kManufacturerChars, params.manufString.view());
  PutStringDescriptor(page, kProductString, kProductChars, params.productString.view());
  PutStringDescriptor(page, kSerialString, kSerialStringMaxChars, serialNumber);
}

}  // namespace

bool CustomiseFirmwarePage(std::span<std::uint8_t> page, FirmwarePageSide side, std::string_view serialNumber,
                           std::string_view worldWideName, const FlashParams& params) {
  if (page.size() < kMinPageSize) {
    DebugPrint("Firmware page of %zu bytes refused: the identity region needs %zu\n", page.size(), kMinPageSize);
    return false;
  }
  if (side == FirmwarePageSide::Sata) {
    CustomiseSataSide(page, serialNumber, worldWideName, params);
  } else {
    CustomiseUsbSide(page, serialNumber, params);
  }
  return true;
}

}  // namespace devlib
