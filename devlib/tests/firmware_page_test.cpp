// The identity customisation of a firmware page, on a page prefilled with a
// marker so that every byte written outside its field shows.

#include "devlib/firmware_page.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "platform/debug.h"

namespace devlib {
namespace {

using namespace firmware_page;
using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t kPageSize = 4096;
constexpr std::uint8_t kMarker = 0xCC;

struct Range {
  std::size_t offset;
  std::size_t size;
};

Bytes Slice(const Bytes& page, std::size_t offset, std::size_t size) {
  return Bytes(page.begin() + static_cast<std::ptrdiff_t>(offset),
               page.begin() + static_cast<std::ptrdiff_t>(offset + size));
}

Bytes Text(std::string_view text) { return Bytes(text.begin(), text.end()); }

// UTF-16 little-endian of the text.
Bytes Utf16(std::string_view text) {
  Bytes bytes;
  for (const char c : text) {
    bytes.push_back(static_cast<std::uint8_t>(c));
    bytes.push_back(0);
  }
  return bytes;
}

std::uint16_t IdentifyWord(const Bytes& page, int word) {
  const std::size_t at = kIdentifyImage + 2 * static_cast<std::size_t>(word);
  return static_cast<std::uint16_t>(page[at] | page[at + 1] << 8);
}

// Every byte outside the given ranges still holds the marker.
void ExpectUntouchedOutside(const Bytes& page, const std::vector<Range>& written) {
  for (std::size_t i = 0; i < page.size(); ++i) {
    bool inside = false;
    for (const Range& r : written) inside = inside || (i >= r.offset && i < r.offset + r.size);
    if (!inside) {
      ASSERT_EQ(page[i], kMarker) << "byte " << i << " was written";
    }
  }
}

FlashParams SataIdentity() {
  FlashParams params;
  params.firmwareVer.assign("V1.2");
  params.modelNum.assign("Tolvane KWFA4X 128GB");
  params.oui.assign("001A4C");
  return params;
}

FlashParams UsbIdentity() {
  FlashParams params;
  params.vid = 0x1234;
  params.pid = 0xABCD;
  params.vendorName.assign("Tolvane");
  params.productName.assign("KWFA4X Flash");
  params.manufString.assign("Tolvane");
  params.productString.assign("USB Flash Disk");
  return params;
}

class FirmwarePage : public ::testing::Test {
 protected:
  bool Customise(FirmwarePageSide side, std::string_view serial, std::string_view uid, const FlashParams& params) {
    return CustomiseFirmwarePage(page_, side, serial, uid, params);
  }

  Bytes page_ = Bytes(kPageSize, kMarker);
  platform::debug::CaptureSink debug_;
};

// --- SATA side ------------------------------------------------------------------------

TEST_F(FirmwarePage, SataStringsGoInAtaOrderPaddedWithSpaces) {
  ASSERT_TRUE(Customise(FirmwarePageSide::Sata, "SN12345", "0123456789ABCDEF", SataIdentity()));
  // Character i at byte i XOR 1; the odd-length tail pairs with a space.
  EXPECT_EQ(Slice(page_, kSerialNumber, kSerialNumberSize), Text("NS2143 5            "));
  EXPECT_EQ(Slice(page_, kFirmwareRevision, kFirmwareRevisionSize), Text("1V2.    "));
  EXPECT_EQ(Slice(page_, kModelNumber, kModelNumberSize), Text("oTvlna eWKAFX41 82BG" + std::string(20, ' ')));
  ExpectUntouchedOutside(page_, {{kSerialNumber, kSerialNumberSize},
                                 {kFirmwareRevision, kFirmwareRevisionSize + kModelNumberSize},
                                 {kIdentifyImage + 2 * kWorldWideNameWord, 8}});
}

TEST_F(FirmwarePage, SataStringsAreCutToTheirFields) {
  FlashParams params = SataIdentity();
  params.firmwareVer.assign("ABCDEFGHI");
  params.modelNum.assign(std::string(41, 'M'));
  ASSERT_TRUE(Customise(FirmwarePageSide::Sata, "ABCDEFGHIJKLMNOPQRSTUVWXYZ", "0123456789ABCDEF", params));
  EXPECT_EQ(Slice(page_, kSerialNumber, kSerialNumberSize), Text("BADCFEHGJILKNMPORQTS"));
  EXPECT_EQ(Slice(page_, kFirmwareRevision, kFirmwareRevisionSize), Text("BADCFEHG"));
  EXPECT_EQ(Slice(page_, kModelNumber, kModelNumberSize), Bytes(40, 'M'));
  EXPECT_EQ(page_[kModelNumber + kModelNumberSize], kMarker);
}

TEST_F(FirmwarePage, SerialTextEndsAtItsTerminator) {
  const std::string_view withTerminator("AB\0CD", 5);
  ASSERT_TRUE(Customise(FirmwarePageSide::Sata, withTerminator, "0123456789ABCDEF", SataIdentity()));
  EXPECT_EQ(Slice(page_, kSerialNumber, 4), Text("BA  "));
}

struct WwnCase {
  const char* name;
  std::string uid;
  std::string oui;
  std::vector<std::uint16_t> words;  // IDENTIFY words 108-111
  bool warns;
};

class WorldWideName : public FirmwarePage, public ::testing::WithParamInterface<WwnCase> {};

TEST_P(WorldWideName, GoesIntoWords108To111LowByteFirst) {
  const WwnCase& c = GetParam();
  FlashParams params = SataIdentity();
  params.oui.assign(c.oui);
  ASSERT_TRUE(Customise(FirmwarePageSide::Sata, "S", c.uid, params));
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(IdentifyWord(page_, kWorldWideNameWord + i), c.words[static_cast<std::size_t>(i)]) << "word " << 108 + i;
  }
  EXPECT_EQ(debug_.contains("Warning"), c.warns);
}

const WwnCase kWwnCases[] = {
    {"nine-digit UID joins the OUI as NAA 5", "123456789", "001A4C", {0x5001, 0xA4C1, 0x2345, 0x6789}, false},
    {"nine-digit UID with hex letters", "ABCDEF012", "FFEEDD", {0x5FFE, 0xEDDA, 0xBCDE, 0xF012}, false},
    {"sixteen digits taken as they stand", "0123456789ABCDEF", "001A4C", {0x0123, 0x4567, 0x89AB, 0xCDEF}, false},
    {"lower-case digits", "0123456789abcdef", "001a4c", {0x0123, 0x4567, 0x89AB, 0xCDEF}, false},
    {"short UID: missing digits are 0", "12345", "001A4C", {0x1234, 0x5000, 0x0000, 0x0000}, true},
    {"empty UID", "", "001A4C", {0, 0, 0, 0}, true},
    {"seventeen digits: the first sixteen", "0123456789ABCDEF7", "001A4C", {0x0123, 0x4567, 0x89AB, 0xCDEF}, true},
    {"non-hex digit in a nine-digit UID", "1234G6789", "001A4C", {0x5001, 0xA4C1, 0x2340, 0x6789}, true},
    {"non-hex digit in sixteen", "0123456789XBCDEF", "001A4C", {0x0123, 0x4567, 0x890B, 0xCDEF}, true},
    {"short OUI", "123456789", "1A4C", {0x51A4, 0xC001, 0x2345, 0x6789}, true},
};

INSTANTIATE_TEST_SUITE_P(Uids, WorldWideName, ::testing::ValuesIn(kWwnCases), [](const auto& testCase) {
  std::string name = testCase.param.name;
  for (char& ch : name) {
    if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
  }
  return name;
});

TEST_F(FirmwarePage, NaaNameBytesInThePage) {
  ASSERT_TRUE(Customise(FirmwarePageSide::Sata, "S", "123456789", SataIdentity()));
  EXPECT_EQ(Slice(page_, 292, 8), (Bytes{0x01, 0x50, 0xC1, 0xA4, 0x45, 0x23, 0x89, 0x67}));
  EXPECT_EQ(page_[293] >> 4, 5) << "the name begins with the hex digit 5";
}

TEST_F(FirmwarePage, IdentifyOverridesSetWordsMarkedZ) {
  FlashParams params = SataIdentity();
  params.identifyData[83].assign("Z4000");
  params.identifyData[84].assign("A1234");  // not marked: the word stays
  params.identifyData[0].assign("Z0040");
  params.identifyData[255].assign("Zbeef");
  params.identifyData[108].assign("Z1234");  // applied after the world wide name
  params.identifyData[10].assign("Z4142");   // and after the serial number
  ASSERT_TRUE(Customise(FirmwarePageSide::Sata, "SERIAL", "0123456789ABCDEF", params));
  EXPECT_EQ(IdentifyWord(page_, 83), 0x4000);
  EXPECT_EQ(IdentifyWord(page_, 84), 0xCCCC);
  EXPECT_EQ(IdentifyWord(page_, 0), 0x0040);
  EXPECT_EQ(IdentifyWord(page_, 255), 0xBEEF);
  EXPECT_EQ(IdentifyWord(page_, 108), 0x1234);
  EXPECT_EQ(IdentifyWord(page_, 109), 0x4567);
  EXPECT_EQ(IdentifyWord(page_, 10), 0x4142);
  EXPECT_FALSE(debug_.contains("Warning"));
}

TEST_F(FirmwarePage, MalformedOverridesTakeZeroForBadDigits) {
  struct Case {
    const char* entry;
    std::uint16_t word;
  };
  const Case cases[] = {{"Z", 0x0000}, {"ZG1", 0x0001}, {"Z12X4", 0x1204}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.entry);
    FlashParams params = SataIdentity();
    params.identifyData[200].assign(c.entry);
    platform::debug::CaptureSink capture;
    ASSERT_TRUE(Customise(FirmwarePageSide::Sata, "S", "0123456789ABCDEF", params));
    EXPECT_EQ(IdentifyWord(page_, 200), c.word);
    EXPECT_TRUE(capture.contains("Warning"));
  }
}

TEST_F(FirmwarePage, Udma5SwitchSetsIdentifyByte187) {
  FlashParams params = SataIdentity();
  ASSERT_TRUE(Customise(FirmwarePageSide::Sata, "S", "0123456789ABCDEF", params));
  EXPECT_EQ(page_[kUdmaModeByte], kMarker);
  params.ideUdma5 = 1;
  ASSERT_TRUE(Customise(FirmwarePageSide::Sata, "S", "0123456789ABCDEF", params));
  EXPECT_EQ(page_[kUdmaModeByte], 0x20);
  EXPECT_EQ(page_[kUdmaModeByte - 1], kMarker);
}

// --- USB side -------------------------------------------------------------------------

TEST_F(FirmwarePage, UsbIdsInquiryAndStringDescriptors) {
  ASSERT_TRUE(Customise(FirmwarePageSide::Usb, "0000001234", "ignored", UsbIdentity()));
  EXPECT_EQ(Slice(page_, kVendorId, 4), (Bytes{0x34, 0x12, 0xCD, 0xAB}));
  EXPECT_EQ(Slice(page_, kInquiryVendor, kInquiryVendorSize), Text("Tolvane "));
  EXPECT_EQ(Slice(page_, kInquiryProduct, kInquiryProductSize), Text("KWFA4X Flash    "));

  struct Descriptor {
    std::size_t offset;
    std::string_view text;
    std::size_t blanked;  // characters of UTF-16 spaces laid down first
  };
  const Descriptor descriptors[] = {
      {kManufacturerString, "Tolvane", 8},
      {kProductString, "USB Flash Disk", 12},
      {kSerialString, "0000001234", 20},
  };
  std::vector<Range> written{{kVendorId, 4}, {kInquiryRemovableByte, 1}, {kInquiryVendor, 24}};
  for (const auto& d : descriptors) {
    SCOPED_TRACE(std::string(d.text));
    EXPECT_EQ(page_[d.offset], 2 * d.text.size() + 2);
    EXPECT_EQ(page_[d.offset + 1], kMarker) << "the descriptor type byte stays as the page has it";
    EXPECT_EQ(Slice(page_, d.offset + 2, 2 * d.text.size()), Utf16(d.text));
    const std::size_t spaces = d.blanked > d.text.size() ? d.blanked - d.text.size() : 0;
    EXPECT_EQ(Slice(page_, d.offset + 2 + 2 * d.text.size(), 2 * spaces), Utf16(std::string(spaces, ' ')));
    written.push_back({d.offset, 1});
    written.push_back({d.offset + 2, 2 * std::max(d.blanked, d.text.size())});
  }
  ExpectUntouchedOutside(page_, written);
}

TEST_F(FirmwarePage, RemovableBitFollowsTheSwitch) {
  struct Case {
    const char* name;
    std::uint8_t before;
    std::uint8_t removable;
    std::uint8_t after;
  };
  const Case cases[] = {
      {"off clears bit 7 only", 0xCC, 0, 0x4C},
      {"on sets bit 7 only", 0x4C, 1, 0xCC},
      {"on keeps it set", 0x80, 1, 0x80},
      {"off on a clear byte", 0x00, 0, 0x00},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FlashParams params = UsbIdentity();
    params.usbRemovable = c.removable;
    page_[kInquiryRemovableByte] = c.before;
    ASSERT_TRUE(Customise(FirmwarePageSide::Usb, "1", "", params));
    EXPECT_EQ(page_[kInquiryRemovableByte], c.after);
  }
}

TEST_F(FirmwarePage, UsbTextsAreCutToTheirLimits) {
  FlashParams params = UsbIdentity();
  params.vendorName.assign("VENDOR789");          // 9 characters, 8 fit
  params.productName.assign("PRODUCT-NAME-1234");  // 17, 16 fit
  params.manufString.assign("MANUFACTURER-1234");  // 17, 16 fit
  params.productString.assign("PRODUCT-STRING-123456789");  // 24, all fit
  const std::string serial(130, '7');
  ASSERT_TRUE(Customise(FirmwarePageSide::Usb, serial, "", params));
  EXPECT_EQ(Slice(page_, kInquiryVendor, 8), Text("VENDOR78"));
  EXPECT_EQ(Slice(page_, kInquiryProduct, 16), Text("PRODUCT-NAME-123"));
  EXPECT_EQ(page_[kInquiryProduct + 16], kMarker);
  EXPECT_EQ(page_[kManufacturerString], 34);
  EXPECT_EQ(Slice(page_, kManufacturerString + 2, 32), Utf16("MANUFACTURER-123"));
  EXPECT_EQ(page_[kProductString], 50);
  EXPECT_EQ(Slice(page_, kProductString + 2, 48), Utf16("PRODUCT-STRING-123456789"));
  // The serial descriptor's length byte must hold its length.
  EXPECT_EQ(page_[kSerialString], 2 * kSerialStringMaxChars + 2);
  EXPECT_EQ(page_[kSerialString + 2 + 2 * kSerialStringMaxChars], kMarker);
  EXPECT_TRUE(debug_.contains("Warning"));
}

// --- the page -------------------------------------------------------------------------

TEST_F(FirmwarePage, PageSmallerThanTheIdentityRegionIsRefusedUntouched) {
  for (const FirmwarePageSide side : {FirmwarePageSide::Sata, FirmwarePageSide::Usb}) {
    Bytes small(kMinPageSize - 1, kMarker);
    EXPECT_FALSE(CustomiseFirmwarePage(small, side, "S", "123456789", SataIdentity()));
    EXPECT_EQ(small, Bytes(kMinPageSize - 1, kMarker));
  }
  Bytes exact(kMinPageSize, kMarker);
  EXPECT_TRUE(CustomiseFirmwarePage(exact, FirmwarePageSide::Sata, "S", "123456789", SataIdentity()));
}

}  // namespace
}  // namespace devlib
