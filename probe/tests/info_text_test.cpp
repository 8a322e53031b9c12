#include "probe/info_text.h"

#include <gtest/gtest.h>

#include <array>
#include <climits>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace blockprobe {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes BytesOf(std::string_view text) { return Bytes(text.begin(), text.end()); }

// ---------------------------------------------------------------------------
// Drive list

TEST(FixAtaString, SwapsTrimsAndPadsWithNul) {
  struct Case {
    const char* name;
    Bytes raw;
    Bytes fixed;
  };
  using namespace std::string_view_literals;
  const Case cases[] = {
      {"leading blanks", BytesOf("  BADC  "), BytesOf("ABCD\0\0\0\0"sv)},
      {"all blank", BytesOf("      "), BytesOf("\0\0\0\0\0\0"sv)},
      {"no blank", BytesOf("BADC"), BytesOf("ABCD")},
      {"inner blank kept", BytesOf(" A B"), BytesOf("A B\0"sv)},
      {"odd length keeps last byte", BytesOf("BAC"), BytesOf("ABC")},
      {"text ends at NUL", BytesOf("BA\0\0YX"sv), BytesOf("AB\0\0\0\0"sv)},
  };
  for (const Case& c : cases) {
    Bytes field = c.raw;
    FixAtaString(field);
    EXPECT_EQ(field, c.fixed) << c.name;
  }
}

TEST(TrimEntryText, RemovesBlanksAndControlsAtBothEnds) {
  const std::pair<std::string_view, std::string_view> cases[] = {
      {"  Model X \t\r\n", "Model X"},
      {"\x01\x7fSN 12\x1f", "SN 12"},
      {"   ", ""},
      {"", ""},
      {"plain", "plain"},
  };
  for (const auto& [text, trimmed] : cases) EXPECT_EQ(TrimEntryText(text), trimmed) << text;
}

TEST(EntryText, IdentifyForm) {
  using namespace std::string_view_literals;
  // A fixed-up model (NUL padded) and a bridge serial that was only swapped.
  const Bytes model = BytesOf("Tolvane SSD 64G\0\0\0\0\0"sv);
  const Bytes serial = BytesOf("    SN0042  ");
  EXPECT_EQ(AtaEntryText(kBusTextIdeSata, model, serial, "E"), "<< IDE / SATA >>  Tolvane SSD 64G SN0042 (E:)");
  EXPECT_EQ(AtaEntryText(kBusTextScsi, model, serial, ""), "<< SCSI >>  Tolvane SSD 64G SN0042");
  EXPECT_EQ(AtaEntryText(kBusTextUsbSata, model, serial, "sdb1"), "<< USB / SATA >>  Tolvane SSD 64G SN0042 (sdb1:)");
}

TEST(EntryText, InquiryForm) {
  using namespace std::string_view_literals;
  const Bytes vendor = BytesOf("Tolvane \0"sv);
  const Bytes product = BytesOf("Flash Disk      ");
  EXPECT_EQ(InquiryEntryText(kBusTextUsb, vendor, product, "F"), "<< USB >>  Tolvane Flash Disk (F:)");
  EXPECT_EQ(InquiryEntryText(kBusTextSbp2, vendor, product, ""), "<< SBP2 >>  Tolvane Flash Disk");
}

// ---------------------------------------------------------------------------
// "SSD Info" page

devlib::FlashParams SamplePart() {
  devlib::FlashParams p;
  p.setting.typeWord = 0x1A91;  // Samsung, MLC, two planes
  p.setting.channels = 8;
  p.setting.banks = 2;
  p.setting.chipEnables = 2;
  p.setting.eccMode = 2;
  p.setting.partName.assign("K9GBG08U0A");
  p.geometry.blockValue = 1024;
  p.geometry.pagesPerBlock = 256;
  p.geometry.sectorsPerPage = 16;
  p.geometry.planes = 2;
  p.geometry.bankMap = {0, 1, 4, 5, 0, 0, 0, 0};
  p.drvCurrent = 1;
  p.readErrorThresholdBch16 = 13;
  p.readErrorThresholdBch24 = 20;
  p.eccCopyThresholdBch16 = 4;
  p.eccCopyThresholdBch24 = 15;
  p.defPercentage = 48;
  p.resPercentage = 68;
  p.wearLevelFrequency = 128;
  p.firmwareOptions[devlib::kFirmwareOptionScramble] = 1;
  p.firmwareOptions[devlib::kFirmwareOptionRemap] = 0;
  const std::string_view header = "FW 1.02 110523";
  std::copy(header.begin(), header.end(), p.firmwareHeader.begin());
  p.registerSet2 = {0x21, 0x11, 0x11, 0x00, 0x9B, 0xF9, 0x54};
  return p;
}

TEST(SsdInfo, EveryTextOfOnePart) {
  const SsdInfoView v = FormatSsdInfo(SamplePart(), 61440);
  EXPECT_EQ(v.FlashmodelEdit, "Flash model : K9GBG08U0A (Samsung)\r\n");
  EXPECT_EQ(v.ChannelEdit, "Channel number : 8      Total bank : 2");
  EXPECT_EQ(v.CapacityEdit, "Capacity : 60.0 GBytes     ECC mode : BCH 24\r\n");
  EXPECT_EQ(v.DriverEdit, "IO drive current : 4 mA\r\n");
  EXPECT_EQ(v.ResPerEdit, "Defect block percentage :  4.8%, Reserved block percentage :  6.8%\r\n");
  EXPECT_EQ(v.EccReadEdit, "ECC read error threshold : 20 bit(s)\r\n");
  EXPECT_EQ(v.EccCopyEdit, "ECC error copy threshold : 15 bit(s)\r\n");
  EXPECT_EQ(v.WearLevelingEdit, "Wearleveling frequency : 128\r\n");
  EXPECT_EQ(v.BankMapEdit, "Bank map : 00 01 04 05 00 00 00 00 ");
  EXPECT_EQ(v.FwEdit, "F/W version : FW 1.02 110523");
  EXPECT_EQ(v.SupportEdit1, "Support : (V)Scramble\r\n");
  EXPECT_EQ(v.SupportEdit2, "          (X)Remap\r\n");
  EXPECT_EQ(v.FlashInfoEdit, "                  Flash Info (0x1a91)\n");
  EXPECT_EQ(v.FlashTypeEdit, "Flash type : MLC\n");
  EXPECT_EQ(v.BlockCeEdit, "Blocks/CE = 1024(2G)      Blocks/Flash = 2048(4G)\n");
  EXPECT_EQ(v.PageBlockEdit, "Pages/Block = 256         Bytes/Page = 8192\n");
  EXPECT_EQ(v.CeEdit, "# of CE : 2       # of Die : 2 \n");
  EXPECT_EQ(v.SSDInfoMemo, (std::vector<std::string>{"TMC0 = 33", "TMC1 = 17"}));
}

TEST(SsdInfo, SmallValuesKeepTheirPadding) {
  devlib::FlashParams p = SamplePart();
  p.setting.typeWord = 0x0000;  // Micron SLC
  p.geometry.pagesPerBlock = 64;
  p.firmwareOptions[devlib::kFirmwareOptionScramble] = 0;
  p.firmwareOptions[devlib::kFirmwareOptionRemap] = 1;
  const SsdInfoView v = FormatSsdInfo(p, 2048);
  EXPECT_EQ(v.CapacityEdit, "Capacity :  2.0 GBytes     ECC mode : BCH 24\r\n");
  EXPECT_EQ(v.PageBlockEdit, "Pages/Block =  64         Bytes/Page = 8192\n");
  EXPECT_EQ(v.FlashInfoEdit, "                  Flash Info (0x0)\n");
  EXPECT_EQ(v.FlashTypeEdit, "Flash type : SLC\n");
  EXPECT_EQ(v.FlashmodelEdit, "Flash model : K9GBG08U0A (Micron)\r\n");
  EXPECT_EQ(v.SupportEdit1, "Support : (X)Scramble\r\n");
  EXPECT_EQ(v.SupportEdit2, "          (V)Remap\r\n");
}

TEST(SsdInfo, BlocksPerCeAndPerFlash) {
  struct Case {
    std::uint16_t blocks;
    std::uint16_t pages;
    std::uint8_t sectors;
    std::uint8_t ces;
    const char* text;
  };
  const Case cases[] = {
      {1024, 256, 16, 1, "Blocks/CE = 1024(2G)      Blocks/Flash = 1024(2G)\n"},
      {2048, 128, 8, 8, "Blocks/CE = 2048(1G)      Blocks/Flash = 16384(8G)\n"},
      {1024, 64, 4, 4, "Blocks/CE = 1024(0.1G)    Blocks/Flash = 4096(0.5G)\n"},
      {1024, 128, 8, 2, "Blocks/CE = 1024(0.5G)    Blocks/Flash = 2048(1G)\n"},
      // Blocks below 1024 give a zero size, not a fault.
      {512, 128, 8, 2, "Blocks/CE = 512(0.0G)    Blocks/Flash = 1024(0.0G)\n"},
      // Large counts stay whole: 16384 x 255 blocks and 255 x 64G.
      {16384, 512, 16, 255, "Blocks/CE = 16384(64G)      Blocks/Flash = 4177920(16320G)\n"},
  };
  for (const Case& c : cases) {
    devlib::FlashParams p = SamplePart();
    p.geometry.blockValue = c.blocks;
    p.geometry.pagesPerBlock = c.pages;
    p.geometry.sectorsPerPage = c.sectors;
    p.setting.chipEnables = c.ces;
    EXPECT_EQ(FormatSsdInfo(p, 0).BlockCeEdit, c.text) << c.blocks << "/" << c.pages << "/" << int{c.sectors};
  }
}

TEST(SsdInfo, EccModeTextAndThresholds) {
  struct Case {
    std::uint8_t mode;
    const char* eccText;
    const char* readText;
    const char* copyText;
  };
  // Mode 1 is named BCH 24 but corrects with BCH 16.
  const Case cases[] = {
      {0, "BCH 16", "13", "4"},
      {1, "BCH 24", "13", "4"},
      {2, "BCH 24", "20", "15"},
      {3, "BCH 16", "13", "4"},
      {255, "BCH 16", "13", "4"},
  };
  for (const Case& c : cases) {
    devlib::FlashParams p = SamplePart();
    p.setting.eccMode = c.mode;
    const SsdInfoView v = FormatSsdInfo(p, 61440);
    EXPECT_EQ(v.CapacityEdit, std::string("Capacity : 60.0 GBytes     ECC mode : ") + c.eccText + "\r\n") << int{c.mode};
    EXPECT_EQ(v.EccReadEdit, std::string("ECC read error threshold : ") + c.readText + " bit(s)\r\n") << int{c.mode};
    EXPECT_EQ(v.EccCopyEdit, std::string("ECC error copy threshold : ") + c.copyText + " bit(s)\r\n") << int{c.mode};
  }
}

TEST(SsdInfo, MakerAndDriveCurrentBeyondTheTable) {
  const std::pair<std::uint16_t, const char*> makers[] = {
      {0x0000, "Micron"}, {0x1000, "Samsung"}, {0x2000, "Toshiba"}, {0x3000, "Hynix"},
      {0x4000, "Intel"},  {0x5000, "Mira"},    {0x6000, "Unknown"}, {0xF000, "Unknown"},
  };
  for (const auto& [typeWord, maker] : makers) {
    devlib::FlashParams p = SamplePart();
    p.setting.typeWord = typeWord;
    EXPECT_EQ(FormatSsdInfo(p, 0).FlashmodelEdit, std::string("Flash model : K9GBG08U0A (") + maker + ")\r\n");
  }
  const std::pair<std::uint8_t, const char*> currents[] = {
      {0, "2 mA"}, {5, "12 mA"}, {6, "14 mA"}, {7, "16 mA"}, {8, "Unknown"}, {255, "Unknown"},
  };
  for (const auto& [code, text] : currents) {
    devlib::FlashParams p = SamplePart();
    p.drvCurrent = code;
    EXPECT_EQ(FormatSsdInfo(p, 0).DriverEdit, std::string("IO drive current : ") + text + "\r\n");
  }
}

TEST(SsdInfo, FirmwareAndPartNameAreBoundedTexts) {
  devlib::FlashParams p = SamplePart();
  p.firmwareHeader.fill('A');  // no NUL anywhere
  std::fill_n(p.setting.partName.data(), 32, 'P');
  const SsdInfoView v = FormatSsdInfo(p, 0);
  EXPECT_EQ(v.FwEdit, "F/W version : " + std::string(51, 'A'));
  EXPECT_EQ(v.FlashmodelEdit, "Flash model : " + std::string(32, 'P') + " (Samsung)\r\n");

  p.firmwareHeader.fill(0);
  p.firmwareHeader[0] = 'V';
  p.firmwareHeader[2] = 'W';  // after the NUL: not shown
  EXPECT_EQ(FormatSsdInfo(p, 0).FwEdit, "F/W version : V");
}

// ---------------------------------------------------------------------------
// "Device Info" page, SATA group

class IdentifyData {
 public:
  IdentifyData& word(std::size_t index, std::uint16_t value) {
    bytes_[2 * index] = static_cast<std::uint8_t>(value & 0xFF);
    bytes_[2 * index + 1] = static_cast<std::uint8_t>(value >> 8);
    return *this;
  }
  // An ATA text: two characters per word, the first in the high byte.
  IdentifyData& text(std::size_t first, std::size_t words, std::string_view value) {
    std::string padded(value);
    padded.resize(2 * words, ' ');
    for (std::size_t i = 0; i < words; ++i) {
      word(first + i, static_cast<std::uint16_t>((static_cast<unsigned char>(padded[2 * i]) << 8) |
                                                 static_cast<unsigned char>(padded[2 * i + 1])));
    }
    return *this;
  }
  SataInfoView format() const { return FormatSataInfo(bytes_); }

 private:
  std::array<std::uint8_t, 512> bytes_{};
};

TEST(SataInfo, TextsAndGeometry) {
  const SataInfoView v = IdentifyData()
                             .text(27, 20, "Tolvane SSD 64G")
                             .text(10, 10, "   SN0042")
                             .text(23, 4, "1.02")
                             .word(1, 16383)
                             .word(3, 16)
                             .word(6, 63)
                             .word(57, 0x0010)
                             .word(58, 0x00FB)
                             .word(60, 0x5000)
                             .word(61, 0x0773)
                             .format();
  EXPECT_EQ(v.ModelNameEdit, "Model Name: Tolvane SSD 64G");
  EXPECT_EQ(v.SNEdit, "Serial Number: SN0042");
  EXPECT_EQ(v.FwVersionEdit, "Firmware Revision: 1.02");
  EXPECT_EQ(v.DiskHeadEdit, "Heads: 16   Cylinders: 16383   Sectors per Track: 63\n");
  EXPECT_EQ(v.ChsEdit, "Current capacity in sectors (CHS mode) : 16449552 \n");
  EXPECT_EQ(v.TotalSectorEdit, "Total number of user addressable sectors: (LBA mode) 124997632\n");
}

TEST(SataInfo, TotalSectorsFromTheWiderCountWhenWord86Says) {
  IdentifyData id;
  id.word(60, 0xFFFF).word(61, 0x0FFF);
  id.word(100, 0x0000).word(101, 0x0000).word(102, 0x0002);  // 2^33 sectors: beyond 32 bits
  EXPECT_EQ(id.format().TotalSectorEdit, "Total number of user addressable sectors: (LBA mode) 268435455\n");
  id.word(86, 1u << 10);
  EXPECT_EQ(id.format().TotalSectorEdit, "Total number of user addressable sectors: (LBA mode) 8589934592\n");
}

TEST(SataInfo, MultiwordDma) {
  struct Case {
    std::uint16_t w63;
    const char* supported;
    const char* selected;
  };
  const Case cases[] = {
      {0x0407, "Multiword DMA mode 2 and below are supported\n", "Multiword DMA is selected : mode 2\n"},
      {0x0303, "Multiword DMA mode 1 and below are supported\n", "Multiword DMA is selected : mode 1\n"},
      {0x0101, "Multiword DMA mode 0 and below are supported\n", "Multiword DMA is selected : mode 0\n"},
      {0x0000, "", "Multiword DMA is selected : none\n"},
      // Not a run of modes from 0, and selection bits above mode 2 are ignored.
      {0x0805, "", "Multiword DMA is selected : none\n"},
  };
  for (const Case& c : cases) {
    const SataInfoView v = IdentifyData().word(63, c.w63).format();
    EXPECT_EQ(v.MultiwordDMAmodeEdit, c.supported) << std::hex << c.w63;
    EXPECT_EQ(v.MultiwordDMAEdit, c.selected) << std::hex << c.w63;
  }
}

TEST(SataInfo, UltraDmaOnlyWhenWord88IsValid) {
  struct Case {
    std::uint16_t w88;
    const char* supported;
    const char* selected;
  };
  const Case cases[] = {
      {0x407F, "Ultra DMA mode 6 and below are supported\n", "Ultra DMA is selected : mode 6\n"},
      {0x203F, "Ultra DMA mode 5 and below are supported\n", "Ultra DMA is selected : mode 5\n"},
      {0x001F, "Ultra DMA mode 4 and below are supported\n", "Ultra DMA is selected : none\n"},
      {0x010F, "Ultra DMA mode 3 and below are supported\n", "Ultra DMA is selected : mode 0\n"},
      {0x0407, "Ultra DMA mode 2 and below are supported\n", "Ultra DMA is selected : mode 2\n"},
      {0x0203, "Ultra DMA mode 1 and below are supported\n", "Ultra DMA is selected : mode 1\n"},
      {0x0101, "Ultra DMA mode 0 and below are supported\n", "Ultra DMA is selected : mode 0\n"},
      {0x0000, "", "Ultra DMA is selected : none\n"},
      {0x0105, "", "Ultra DMA is selected : mode 0\n"},
      {0x807E, "", "Ultra DMA is selected : none\n"},
  };
  for (const Case& c : cases) {
    const SataInfoView v = IdentifyData().word(53, 0x0004).word(88, c.w88).format();
    EXPECT_EQ(v.UltraDMAModeEdit, c.supported) << std::hex << c.w88;
    EXPECT_EQ(v.UltraDMAEdit, c.selected) << std::hex << c.w88;

    const SataInfoView invalid = IdentifyData().word(53, 0x0003).word(88, c.w88).format();
    EXPECT_EQ(invalid.UltraDMAModeEdit, "") << std::hex << c.w88;
    EXPECT_EQ(invalid.UltraDMAEdit, "") << std::hex << c.w88;
  }
}

TEST(SataInfo, FeatureSets) {
  struct Case {
    std::uint16_t w82;
    std::uint16_t w85;
    const char* smart;
    const char* security;
  };
  const Case cases[] = {
      {0x0003, 0x0003, "SMART feature set supported, enabled\n", "Security Mode feature set suppoeted, enabled\n"},
      {0x0001, 0x0000, "SMART feature set supported, not enabled\n",
       "Security Mode feature set not supported, not enabled\n"},
      {0x0002, 0x0002, "SMART feature set not supported, not enabled\n",
       "Security Mode feature set suppoeted, enabled\n"},
  };
  for (const Case& c : cases) {
    const SataInfoView v = IdentifyData().word(82, c.w82).word(85, c.w85).format();
    EXPECT_EQ(v.SMARTfeatureEdit, c.smart);
    EXPECT_EQ(v.SecurityModeEdit, c.security);
  }
}

TEST(SataInfo, WorldWideNameInWordOrderHighByteFirst) {
  const SataInfoView v =
      IdentifyData().word(108, 0x5001).word(109, 0x23AB).word(110, 0xCDEF).word(111, 0x0a0b).format();
  EXPECT_EQ(v.WWNEdit, "World Wide Name: 500123ABCDEF0A0B");
}

// ---------------------------------------------------------------------------
// "Device Info" page, USB group

class ConfigPage {
 public:
  explicit ConfigPage(std::size_t size = 4096) : bytes_(size, 0) {}
  ConfigPage& at(std::size_t offset, std::string_view text) {
    std::copy(text.begin(), text.end(), bytes_.begin() + static_cast<std::ptrdiff_t>(offset));
    return *this;
  }
  // A string descriptor with the given length byte, then the text in UTF-16LE.
  ConfigPage& descriptor(std::size_t offset, std::uint8_t length, std::string_view text) {
    bytes_[offset] = length;
    bytes_[offset + 1] = 0x03;
    for (std::size_t i = 0; i < text.size(); ++i) {
      const std::size_t low = offset + 2 + 2 * i;
      if (low < bytes_.size()) bytes_[low] = static_cast<std::uint8_t>(text[i]);
      if (low + 1 < bytes_.size()) bytes_[low + 1] = 0x00;
    }
    return *this;
  }
  ConfigPage& byte(std::size_t offset, std::uint8_t value) {
    bytes_[offset] = value;
    return *this;
  }
  const Bytes& bytes() const { return bytes_; }

 private:
  Bytes bytes_;
};

TEST(UsbInfo, Capacity) {
  UsbInfoView v;
  FormatUsbCapacity(v, 61440, 64424509440ull);
  EXPECT_EQ(v.CapEdit, "61440 MB");
  EXPECT_EQ(v.TotalLBAEdit, "125829120");
  FormatUsbCapacity(v, 0, 0);
  EXPECT_EQ(v.CapEdit, "0 MB");
  EXPECT_EQ(v.TotalLBAEdit, "0");
}

TEST(UsbInfo, IdentityFromTheConfigurationPage) {
  const ConfigPage page = ConfigPage()
                              .byte(100, 0x34)
                              .byte(101, 0x12)
                              .byte(102, 0x0B)
                              .byte(103, 0xA0)
                              .at(118, "TOLVANEX")  // fills its 8 bytes: ends where the product starts
                              .at(126, "Flash Disk")
                              .descriptor(158, 0xFF, "ManufacturerNameIsLong")  // 16 characters at most
                              .descriptor(192, 2 + 2 * 5, "USB SSD and more")   // the length gives 5
                              .descriptor(242, 0, "Serial");                    // zero length: empty
  UsbInfoView v;
  FormatUsbIdentity(v, page.bytes());
  EXPECT_EQ(v.VIDEdit, "1234");
  EXPECT_EQ(v.PIDEdit, "A00B");
  EXPECT_EQ(v.VendorNameEdit, "TOLVANEX");
  EXPECT_EQ(v.ProductNameEdit, "Flash Disk");
  EXPECT_EQ(v.ManufacturStringEdit, "ManufacturerName");
  EXPECT_EQ(v.ProductStringEdit, "USB S");
  EXPECT_EQ(v.SNUSBEdit, "");
}

TEST(UsbInfo, DescriptorLimitsAndEnds) {
  struct Case {
    std::size_t offset;
    std::uint8_t length;
    std::string_view text;
    std::string shown;
  };
  const Case cases[] = {
      {242, 0xFF, "0123456789ABCDEFGHIJKLMN", "0123456789ABCDEFGHIJ"},  // serial: 20 characters
      {192, 0xFF, "0123456789ABCDEFGHIJKLMNOPQ", "0123456789ABCDEFGHIJKLMN"},
      {242, 1, "AB", ""},  // shorter than its own head
      {242, 3, "AB", ""},  // half a character
      {242, 2 + 2 * 4, std::string_view("AB\0D", 4), "AB"},
  };
  for (const Case& c : cases) {
    UsbInfoView v;
    FormatUsbIdentity(v, ConfigPage().descriptor(c.offset, c.length, c.text).bytes());
    EXPECT_EQ(c.offset == 242 ? v.SNUSBEdit : v.ProductStringEdit, c.shown) << c.text;
  }
}

TEST(UsbInfo, ShortPageIsReadOnlyAsFarAsItGoes) {
  // The page ends inside the product descriptor's second character.
  const ConfigPage page = ConfigPage(197).byte(100, 0x34).byte(101, 0x12).at(126, "Flash").descriptor(192, 0xFF, "USB");
  UsbInfoView v;
  FormatUsbIdentity(v, page.bytes());
  EXPECT_EQ(v.VIDEdit, "1234");
  EXPECT_EQ(v.ProductNameEdit, "Flash");
  EXPECT_EQ(v.ProductStringEdit, "US");
  EXPECT_EQ(v.SNUSBEdit, "");

  UsbInfoView tiny;
  FormatUsbIdentity(tiny, ConfigPage(101).bytes());
  EXPECT_EQ(tiny.VIDEdit, "");
  EXPECT_EQ(tiny.VendorNameEdit, "");
  EXPECT_EQ(tiny.ManufacturStringEdit, "");
}

TEST(UsbInfo, LoaderInquiry) {
  Bytes inquiry(36, ' ');
  const std::string_view loader = "Tolvane Flash CR Loader";
  std::copy(loader.begin(), loader.end(), inquiry.begin() + 8);
  EXPECT_TRUE(IsProbeLoaderInquiry(inquiry));
  inquiry[31] = 'X';  // beyond the 23 compared characters
  EXPECT_TRUE(IsProbeLoaderInquiry(inquiry));
  EXPECT_TRUE(IsProbeLoaderInquiry(std::span(inquiry).first(31)));
  EXPECT_FALSE(IsProbeLoaderInquiry(std::span(inquiry).first(30)));
  inquiry[30] = 'R';
  EXPECT_FALSE(IsProbeLoaderInquiry(inquiry));
  inquiry[30] = 'r';
  inquiry[8] = 't';
  EXPECT_FALSE(IsProbeLoaderInquiry(inquiry));
}

// ---------------------------------------------------------------------------
// "erase count" page

TEST(EraseCounts, TwoPlanesGiveRowsPerPlane) {
  // Tables in read order: (unit 0, ch 0), (unit 0, ch 1), (unit 1, ch 0), (unit 1, ch 1).
  const std::vector<std::vector<std::int32_t>> tables = {{5, -1}, {7, 100}, {0, 3}, {12, 9}};
  const EraseCountView v = FormatEraseCounts(2, 1, 2, 2, tables);
  EXPECT_EQ(v.EraseMemo, (std::vector<std::string>{
                             "Ch/CE\t[0]/[0]\t[1]/[0]\t",
                             "0000\t 5\t 7\t",
                             "0001\tX\t100\t",
                             "0002\t 0\t12\t",
                             "0003\t 3\t 9\t",
                         }));
  // The X counts in the divisor (8 entries) but not in the sum (136).
  EXPECT_EQ(v.AeraseEdit, "\nAverage erase count = 17\n");
  EXPECT_EQ(v.MeraseEdit, "Max. erase count = 100\n\n");
}

TEST(EraseCounts, HeadLineNamesChannelsWithinBanks) {
  const std::vector<std::vector<std::int32_t>> tables(6, std::vector<std::int32_t>{1});
  const EraseCountView v = FormatEraseCounts(3, 2, 1, 1, tables);
  ASSERT_FALSE(v.EraseMemo.empty());
  EXPECT_EQ(v.EraseMemo[0], "Ch/CE\t[0]/[0]\t[1]/[0]\t[2]/[0]\t[0]/[1]\t[1]/[1]\t[2]/[1]\t");
  EXPECT_EQ(v.EraseMemo.at(1), "0000\t 1\t 1\t 1\t 1\t 1\t 1\t");
}

TEST(EraseCounts, DegenerateShapesAndMissingCounts) {
  struct Case {
    const char* name;
    int channels, banks, planes;
    std::size_t entries;
    std::vector<std::vector<std::int32_t>> tables;
    std::vector<std::string> memo;
    const char* average;
    const char* maximum;
  };
  const Case cases[] = {
      {"no entries", 1, 1, 1, 0, {{}}, {"Ch/CE\t[0]/[0]\t"}, "0", "0"},
      {"no banks", 1, 0, 1, 2, {}, {"Ch/CE\t", "0000\t", "0001\t"}, "0", "0"},
      {"no planes", 1, 1, 0, 2, {{3, 4}}, {"Ch/CE\t[0]/[0]\t"}, "0", "0"},
      {"no channels", 0, 1, 1, 1, {}, {"Ch/CE\t", "0000\t"}, "0", "0"},
      {"only X", 1, 1, 1, 2, {{-1, -1}}, {"Ch/CE\t[0]/[0]\t", "0000\tX\t", "0001\tX\t"}, "0", "0"},
      // Four entries expected, one read: 4 / 4.
      {"table missing or short", 2, 1, 1, 2, {{4}},
       {"Ch/CE\t[0]/[0]\t[1]/[0]\t", "0000\t 4\tX\t", "0001\tX\tX\t"}, "1", "4"},
  };
  for (const Case& c : cases) {
    const EraseCountView v = FormatEraseCounts(c.channels, c.banks, c.planes, c.entries, c.tables);
    EXPECT_EQ(v.EraseMemo, c.memo) << c.name;
    EXPECT_EQ(v.AeraseEdit, std::string("\nAverage erase count = ") + c.average + "\n") << c.name;
    EXPECT_EQ(v.MeraseEdit, std::string("Max. erase count = ") + c.maximum + "\n\n") << c.name;
  }
}

TEST(EraseCounts, LargeCountsAreUnsignedAndSummedWide) {
  const EraseCountView v = FormatEraseCounts(1, 1, 1, 3, {{INT32_MAX, INT32_MAX, INT32_MAX}});
  EXPECT_EQ(v.AeraseEdit, "\nAverage erase count = 2147483647\n");
  const EraseCountView negative = FormatEraseCounts(1, 1, 1, 1, {{-2}});
  EXPECT_EQ(negative.EraseMemo.at(1), "0000\t4294967294\t");
  EXPECT_EQ(negative.MeraseEdit, "Max. erase count = 4294967294\n\n");
}

TEST(EraseCounts, ReadSectorsFitTheBuffer) {
  const std::pair<std::size_t, std::size_t> cases[] = {
      {0, 1}, {1, 1}, {126, 1}, {127, 2}, {1000, 8}, {16382, 128}, {16383, 128}, {65535, 128},
  };
  for (const auto& [entries, sectors] : cases) EXPECT_EQ(EraseCountReadSectors(entries), sectors) << entries;
}

// ---------------------------------------------------------------------------
// Parameter block dump

TEST(ParamBlockDump, NineLinesFrom0xA00) {
  Bytes page(4096);
  for (std::size_t i = 0; i < page.size(); ++i) page[i] = static_cast<std::uint8_t>(i);
  const std::vector<std::string> lines = FormatParamBlockDump(page);
  ASSERT_EQ(lines.size(), 9u);
  EXPECT_EQ(lines[0], "<0A00>00, 01, 02, 03, 04, 05, 06, 07, || 08, 09, 0A, 0B, 0C, 0D, 0E, 0F");
  EXPECT_EQ(lines[8], "<0A80>80, 81, 82, 83, 84, 85, 86, 87, || 88, 89, 8A, 8B, 8C, 8D, 8E, 8F");
}

TEST(ParamBlockDump, ShortPageGivesOnlyWholeLines) {
  EXPECT_EQ(FormatParamBlockDump(Bytes(0xA20 + 15)).size(), 2u);
  EXPECT_EQ(FormatParamBlockDump(Bytes(0xA20 + 16)).size(), 3u);
  EXPECT_TRUE(FormatParamBlockDump(Bytes(0xA00)).empty());
  EXPECT_TRUE(FormatParamBlockDump({}).empty());
}

}  // namespace
}  // namespace blockprobe
