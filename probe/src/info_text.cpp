#include "probe/info_text.h"

#include <algorithm>
#include <array>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>

namespace blockprobe {
namespace {

[[gnu::format(printf, 1, 2)]] std::string Format(const char* format, ...) {
  std::va_list args;
  va_start(args, format);
  std::va_list again;
  va_copy(again, args);
  std::array<char, 256> small{};
  const int length = std::vsnprintf(small.data(), small.size(), format, args);
  va_end(args);
  std::string out;
  if (length > 0) {
    const auto size = static_cast<std::size_t>(length);
    if (size < small.size()) {
      out.assign(small.data(), size);
    } else {
      out.resize(size);
      std::vsnprintf(out.data(), size + 1, format, again);
    }
  }
  va_end(again);
  return out;
}

bool IsBlankOrControl(char c) {
  const auto u = static_cast<unsigned char>(c);
  return u <= 0x20 || u == 0x7F;
}

// Maker class 0-5, flash type SLC/MLC, ECC mode 0-2, IO drive current 0-5.
constexpr std::array<const char*, 17> kInfoTexts = {
    "Micron", "Samsung", "Toshiba", "Hynix", "Intel", "Mira",  "SLC",   "MLC",   "BCH 16",
    "BCH 24", "BCH 24",  "2 mA",    "4 mA",  "6 mA",  "8 mA",  "10 mA", "12 mA",
};
constexpr std::size_t kMakerTexts = 0;
constexpr std::size_t kFlashTypeTexts = 6;
constexpr std::size_t kEccTexts = 8;
constexpr std::size_t kDriveCurrentTexts = 11;

const char* FlashMakerText(unsigned makerClass) {
  return makerClass <= 5 ? kInfoTexts[kMakerTexts + makerClass] : "Unknown";
}

// Mode 1 shows as BCH 24 although the controller corrects with BCH 24 only in
// mode 2; the thresholds follow the controller.
const char* EccModeText(unsigned eccMode) {
  return eccMode <= 2 ? kInfoTexts[kEccTexts + eccMode] : kInfoTexts[kEccTexts];
}

// Past the table: the station's own texts for its codes 6 and 7.
const char* DriveCurrentText(unsigned code) {
  if (code <= 5) return kInfoTexts[kDriveCurrentTexts + code];
  if (code == 6) return "14 mA";
  if (code == 7) return "16 mA";
  return "Unknown";
}

std::string BoundedText(const char* text, std::size_t capacity) {
  return std::string(text, std::find(text, text + capacity, '\0'));
}

std::string FormatBlocksPerCe(const devlib::FlashGeometry& geometry, std::uint8_t chipEnables) {
  // Size of one chip enable in MB; 64 bits so that no geometry overflows.
  const std::uint64_t t = static_cast<std::uint64_t>(geometry.blockValue / 1024) * geometry.pagesPerBlock *
                          (geometry.sectorsPerPage / 2);
  std::string text;
  if (t > 1023) {
    text = Format("Blocks/CE = %u(%" PRIu64 "G)      ", unsigned{geometry.blockValue}, t >> 10);
  } else {
    text = Format("Blocks/CE = %u(%2.1fG)    ", unsigned{geometry.blockValue}, static_cast<double>(t) / 1024);
  }
  const std::uint64_t u = chipEnables * t;
  const std::uint64_t blocks = static_cast<std::uint64_t>(geometry.blockValue) * chipEnables;
  if (u > 1023) {
    text += Format("Blocks/Flash = %" PRIu64 "(%" PRIu64 "G)\n", blocks, u >> 10);
  } else {
    text += Format("Blocks/Flash = %" PRIu64 "(%2.1fG)\n", blocks, static_cast<double>(u) / 1024);
  }
  return text;
}

std::uint16_t Word(std::span<const std::uint8_t, 512> data, std::size_t index) {
  return static_cast<std::uint16_t>(data[2 * index] | (data[2 * index + 1] << 8));
}

std::uint32_t DoubleWord(std::span<const std::uint8_t, 512> data, std::size_t index) {
  return Word(data, index) | (static_cast<std::uint32_t>(Word(data, index + 1)) << 16);
}

// Words first..last of an IDENTIFY text, high byte first, up to the first NUL
// and trimmed.
std::string IdentifyText(std::span<const std::uint8_t, 512> data, std::size_t first, std::size_t last) {
  std::string text;
  for (std::size_t w = first; w <= last; ++w) {
    const std::uint16_t value = Word(data, w);
    text += static_cast<char>(value >> 8);
    text += static_cast<char>(value & 0xFF);
  }
  return TrimEntryText(std::string_view(text.c_str()));
}

// The highest set bit of bits 0..top, or -1.
int HighestBit(unsigned value, int top) {
  for (int bit = top; bit >= 0; --bit) {
    if (value & (1u << bit)) return bit;
  }
  return -1;
}

// Bytes [offset, offset + length) of the page, cut at its end and at the
// first NUL.
std::string PageText(std::span<const std::uint8_t> page, std::size_t offset, std::size_t length) {
  if (offset >= page.size()) return {};
  const auto field = page.subspan(offset, std::min(length, page.size() - offset));
  return std::string(field.begin(), std::find(field.begin(), field.end(), std::uint8_t{0}));
}

// A USB string descriptor: length byte (2 x characters + 2), type byte, then
// UTF-16LE units of which the low bytes are shown.
std::string DescriptorText(std::span<const std::uint8_t> page, std::size_t offset, std::size_t maxChars) {
  if (offset >= page.size()) return {};
  const std::size_t length = page[offset];
  if (length < 2) return {};
  const std::size_t chars = std::min((length - 2) / 2, maxChars);
  std::string text;
  for (std::size_t i = 0; i < chars; ++i) {
    const std::size_t at = offset + 2 + 2 * i;
    if (at >= page.size() || page[at] == 0) break;
    text += static_cast<char>(page[at]);
  }
  return text;
}

std::string HexId(std::span<const std::uint8_t> page, std::size_t offset) {
  if (page.size() < offset + 2) return {};
  return Format("%02X%02X", unsigned{page[offset + 1]}, unsigned{page[offset]});
}

}  // namespace

// ---------------------------------------------------------------------------
// Drive list

void FixAtaString(std::span<std::uint8_t> field) {
  for (std::size_t i = 0; i + 1 < field.size(); i += 2) std::swap(field[i], field[i + 1]);
  std::size_t begin = 0;
  while (begin < field.size() && field[begin] == ' ') ++begin;
  std::size_t end = begin;
  while (end < field.size() && field[end] != 0) ++end;
  while (end > begin && field[end - 1] == ' ') --end;
  const auto moved = std::copy(field.begin() + static_cast<std::ptrdiff_t>(begin),
                               field.begin() + static_cast<std::ptrdiff_t>(end), field.begin());
  std::fill(moved, field.end(), std::uint8_t{0});
}

std::string TrimEntryText(std::string_view text) {
  while (!text.empty() && IsBlankOrControl(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlankOrControl(text.back())) text.remove_suffix(1);
  return std::string(text);
}

std::string FieldText(std::span<const std::uint8_t> field) {
  const auto end = std::find(field.begin(), field.end(), std::uint8_t{0});
  return TrimEntryText(std::string(field.begin(), end));
}

namespace {
std::string EntryText(std::string_view busText, std::span<const std::uint8_t> first,
                      std::span<const std::uint8_t> second, std::string_view volumeTag) {
  std::string text = "<<";
  text += busText;
  text += ">> ";
  text += " ";
  text += FieldText(first);
  text += " ";
  text += FieldText(second);
  if (!volumeTag.empty()) {
    text += " (";
    text += volumeTag;
    text += ":)";
  }
  return text;
}
}  // namespace

std::string AtaEntryText(std::string_view busText, std::span<const std::uint8_t> model,
                         std::span<const std::uint8_t> serial, std::string_view volumeTag) {
  return EntryText(busText, model, serial, volumeTag);
}

std::string InquiryEntryText(std::string_view busText, std::span<const std::uint8_t> vendor,
                             std::span<const std::uint8_t> product, std::string_view volumeTag) {
  return EntryText(busText, vendor, product, volumeTag);
}

// ---------------------------------------------------------------------------
// "SSD Info" page

SsdInfoView FormatSsdInfo(const devlib::FlashParams& params, std::uint32_t capacityMB) {
  const devlib::FlashGeometry& geometry = params.geometry;
  const devlib::FlashSetting& setting = params.setting;
  const bool bch24 = setting.eccMode == 2;
  SsdInfoView view;

  const std::string partName = BoundedText(setting.partName.c_str(), decltype(setting.partName)::kCapacity + 1);
  view.FlashmodelEdit =
      Format("Flash model : %s (%s)\r\n", partName.c_str(), FlashMakerText(setting.typeWord >> 12));
  view.ChannelEdit = Format("Channel number : %d      ", int{setting.channels}) +
                     Format("Total bank : %d", int{setting.banks});
  view.CapacityEdit = Format("Capacity : %4.1f GBytes     ", static_cast<double>(capacityMB) / 1024) +
                      Format("ECC mode : %s\r\n", EccModeText(setting.eccMode));
  view.DriverEdit = Format("IO drive current : %s\r\n", DriveCurrentText(params.drvCurrent));
  view.ResPerEdit = Format("Defect block percentage : %4.1f%%, Reserved block percentage : %4.1f%%\r\n",
                           params.defPercentage * 0.1, params.resPercentage * 0.1);
  view.EccReadEdit = Format("ECC read error threshold : %d bit(s)\r\n",
                            int{bch24 ? params.readErrorThresholdBch24 : params.readErrorThresholdBch16});
  view.EccCopyEdit = Format("ECC error copy threshold : %d bit(s)\r\n",
                            int{bch24 ? params.eccCopyThresholdBch24 : params.eccCopyThresholdBch16});
  view.WearLevelingEdit = Format("Wearleveling frequency : %d\r\n", int{params.wearLevelFrequency});

  view.BankMapEdit = "Bank map : ";
  for (const std::uint8_t bank : geometry.bankMap) view.BankMapEdit += Format("%02d ", int{bank});

  // The header copy is shown as a C text: it ends at its first NUL.
  view.FwEdit = "F/W version : ";
  for (const std::uint8_t c : params.firmwareHeader) {
    if (c == 0) break;
    view.FwEdit += static_cast<char>(c);
  }

  view.SupportEdit1 = std::string("Support : ") +
                      (params.firmwareOptions[devlib::kFirmwareOptionScramble] ? "(V)Scramble\r\n" : "(X)Scramble\r\n");
  view.SupportEdit2 =
      params.firmwareOptions[devlib::kFirmwareOptionRemap] ? "          (V)Remap\r\n" : "          (X)Remap\r\n";

  view.FlashInfoEdit = Format("                  Flash Info (0x%x)\n", unsigned{setting.typeWord});
  const bool mlc = (setting.typeWord & 0x0800) != 0;
  view.FlashTypeEdit = Format("Flash type : %s\n", kInfoTexts[kFlashTypeTexts + (mlc ? 1 : 0)]);

  view.BlockCeEdit = FormatBlocksPerCe(geometry, setting.chipEnables);
  view.PageBlockEdit = Format("Pages/Block = %3d         ", int{geometry.pagesPerBlock}) +
                       Format("Bytes/Page = %d\n", geometry.sectorsPerPage * 512);
  view.CeEdit =
      Format("# of CE : %d       ", int{setting.chipEnables}) + Format("# of Die : %d \n", int{geometry.planes});

  // The configuration page loads the drive's TMC values into the first two
  // bytes of register set 2.
  view.SSDInfoMemo = {
      "TMC0 = " + std::to_string(params.registerSet2[0]),
      "TMC1 = " + std::to_string(params.registerSet2[1]),
  };
  return view;
}

// ---------------------------------------------------------------------------
// "Device Info" page, SATA group

SataInfoView FormatSataInfo(std::span<const std::uint8_t, 512> identify) {
  SataInfoView view;
  // The serial number and firmware revision are trimmed like the model.
  view.ModelNameEdit = "Model Name: " + IdentifyText(identify, 27, 46);
  view.SNEdit = "Serial Number: " + IdentifyText(identify, 10, 19);
  view.FwVersionEdit = "Firmware Revision: " + IdentifyText(identify, 23, 26);

  view.DiskHeadEdit = Format("Heads: %d   ", int{Word(identify, 3)}) +
                      Format("Cylinders: %d   ", int{Word(identify, 1)}) +
                      Format("Sectors per Track: %d\n", int{Word(identify, 6)});
  view.ChsEdit = Format("Current capacity in sectors (CHS mode) : %" PRIu32 " \n", DoubleWord(identify, 57));

  // With the 48-bit feature set the count is the whole of words 100-103.
  std::uint64_t sectors = DoubleWord(identify, 60);
  if (Word(identify, 86) & (1u << 10)) {
    sectors = DoubleWord(identify, 100) | (static_cast<std::uint64_t>(DoubleWord(identify, 102)) << 32);
  }
  view.TotalSectorEdit = Format("Total number of user addressable sectors: (LBA mode) %" PRIu64 "\n", sectors);

  const std::uint16_t w63 = Word(identify, 63);
  switch (w63 & 0x07) {
    case 0x07:
      view.MultiwordDMAmodeEdit = "Multiword DMA mode 2 and below are supported\n";
      break;
    case 0x03:
      view.MultiwordDMAmodeEdit = "Multiword DMA mode 1 and below are supported\n";
      break;
    case 0x01:
      view.MultiwordDMAmodeEdit = "Multiword DMA mode 0 and below are supported\n";
      break;
    default:
      break;  // no consistent set of supported modes: nothing to claim
  }
  const int mwSelected = HighestBit(w63 >> 8, 2);
  view.MultiwordDMAEdit =
      mwSelected < 0 ? "Multiword DMA is selected : none\n" : Format("Multiword DMA is selected : mode %d\n", mwSelected);

  // Word 88 is valid only when word 53 says so.
  if (Word(identify, 53) & (1u << 2)) {
    const std::uint16_t w88 = Word(identify, 88);
    const unsigned supported = w88 & 0x7F;
    // Supported modes form a run of ones from bit 0; anything else is left empty.
    if (supported != 0 && (supported & (supported + 1)) == 0) {
      view.UltraDMAModeEdit = Format("Ultra DMA mode %d and below are supported\n", HighestBit(supported, 6));
    }
    const int udmaSelected = HighestBit(w88 >> 8, 6);
    view.UltraDMAEdit =
        udmaSelected < 0 ? "Ultra DMA is selected : none\n" : Format("Ultra DMA is selected : mode %d\n", udmaSelected);
  }

  const std::uint16_t w82 = Word(identify, 82);
  const std::uint16_t w85 = Word(identify, 85);
  view.SMARTfeatureEdit = std::string((w82 & 0x01) ? "SMART feature set supported, " : "SMART feature set not supported, ") +
                          ((w85 & 0x01) ? "enabled\n" : "not enabled\n");
  view.SecurityModeEdit = std::string((w82 & 0x02) ? "Security Mode feature set suppoeted, "
                                                   : "Security Mode feature set not supported, ") +
                          ((w85 & 0x02) ? "enabled\n" : "not enabled\n");

  view.WWNEdit = "World Wide Name: ";
  for (std::size_t w = 108; w <= 111; ++w) view.WWNEdit += Format("%04X", unsigned{Word(identify, w)});
  return view;
}

// ---------------------------------------------------------------------------
// "Device Info" page, USB group

void FormatUsbCapacity(UsbInfoView& view, std::uint32_t capacityMB, std::uint64_t capacityBytes) {
  view.CapEdit = std::to_string(capacityMB) + " MB";
  view.TotalLBAEdit = std::to_string(capacityBytes / 512);
}

void FormatUsbIdentity(UsbInfoView& view, std::span<const std::uint8_t> configPage) {
  view.VIDEdit = HexId(configPage, 100);
  view.PIDEdit = HexId(configPage, 102);
  view.VendorNameEdit = PageText(configPage, 118, 8);
  view.ProductNameEdit = PageText(configPage, 126, 16);
  view.ManufacturStringEdit = DescriptorText(configPage, 158, 16);
  view.ProductStringEdit = DescriptorText(configPage, 192, 24);
  view.SNUSBEdit = DescriptorText(configPage, 242, 20);
}

bool IsProbeLoaderInquiry(std::span<const std::uint8_t> inquiry) {
  constexpr std::string_view kLoader = "Tolvane Flash CR Loader";
  if (inquiry.size() < 8 + kLoader.size()) return false;
  return std::equal(kLoader.begin(), kLoader.end(), inquiry.begin() + 8,
                    [](char a, std::uint8_t b) { return static_cast<std::uint8_t>(a) == b; });
}

// ---------------------------------------------------------------------------
// "erase count" page

std::size_t EraseCountReadSectors(std::size_t entries) {
  const std::size_t n = std::min(entries, kMaxEraseCountEntries);
  return std::min<std::size_t>((n * 4 + 519) / 512, 128);
}

EraseCountView FormatEraseCounts(int channels, int banks, int planes, std::size_t entries,
                                 const std::vector<std::vector<std::int32_t>>& tables) {
  EraseCountView view;
  channels = std::max(channels, 0);
  banks = std::max(banks, 0);
  planes = std::max(planes, 0);
  const std::size_t units = static_cast<std::size_t>(banks) * static_cast<std::size_t>(planes);
  const std::size_t columns = units * static_cast<std::size_t>(channels);

  std::string head = "Ch/CE\t";
  for (int u = 0; u < banks; ++u) {
    for (int c = 0; c < channels; ++c) head += Format("[%d]/[%d]\t", c, u);
  }
  view.EraseMemo.push_back(std::move(head));

  // Column j of row p is entry p of table j; -1 and absent entries have no count.
  auto entry = [&](std::size_t table, std::size_t p) -> std::int32_t {
    if (table >= tables.size() || p >= tables[table].size()) return -1;
    return tables[table][p];
  };

  std::uint64_t sum = 0;
  std::uint32_t maximum = 0;
  const std::size_t perPlane = planes > 0 ? columns / static_cast<std::size_t>(planes) : 0;
  for (std::size_t k = 0; k < static_cast<std::size_t>(planes); ++k) {
    for (std::size_t p = 0; p < entries; ++p) {
      std::string line = Format("%04zu\t", k * entries + p);
      for (std::size_t j = k * perPlane; j < k * perPlane + perPlane; ++j) {
        const std::int32_t value = entry(j, p);
        if (value == -1) {
          line += "X\t";
          continue;
        }
        // Counts are unsigned 32-bit on the drive.
        const auto count = static_cast<std::uint32_t>(value);
        line += Format("%2" PRIu32 "\t", count);
        sum += count;
        maximum = std::max(maximum, count);
      }
      view.EraseMemo.push_back(std::move(line));
    }
  }

  // Every entry read, counted or not, is in the divisor.
  const std::uint64_t divisor = static_cast<std::uint64_t>(columns) * entries;
  const std::uint64_t average = divisor == 0 ? 0 : sum / divisor;
  view.AeraseEdit = Format("\nAverage erase count = %" PRIu64 "\n", average);
  view.MeraseEdit = Format("Max. erase count = %" PRIu32 "\n\n", maximum);
  return view;
}

// ---------------------------------------------------------------------------
// Parameter block dump

std::vector<std::string> FormatParamBlockDump(std::span<const std::uint8_t> page) {
  std::vector<std::string> lines;
  for (std::size_t offset = 0xA00; offset <= 0xA80 && offset + 16 <= page.size(); offset += 0x10) {
    const auto b = page.subspan(offset, 16);
    lines.push_back(Format("<%4.4zX>%2.2X, %2.2X, %2.2X, %2.2X, %2.2X, %2.2X, %2.2X, %2.2X, || "
                           "%2.2X, %2.2X, %2.2X, %2.2X, %2.2X, %2.2X, %2.2X, %2.2X",
                           offset, unsigned{b[0]}, unsigned{b[1]}, unsigned{b[2]}, unsigned{b[3]}, unsigned{b[4]},
                           unsigned{b[5]}, unsigned{b[6]}, unsigned{b[7]}, unsigned{b[8]}, unsigned{b[9]},
                           unsigned{b[10]}, unsigned{b[11]}, unsigned{b[12]}, unsigned{b[13]}, unsigned{b[14]},
                           unsigned{b[15]}));
  }
  return lines;
}

}  // namespace blockprobe
