#pragma once
// Synthetic firmware files for tests (the real ones are not ours to ship):
// the SATA and USB bin files ("SYS_S<...>.bin", "SYS_U<...>.bin") and
// "Init.bin", valid or damaged, for a given page size.
//
// A bin file's first page carries the firmware header at 0x300: "KWSS", the
// six-character version at 0x306, the mode character at 0x30D ('S' SATA,
// 'U' USB), the two-character format code at 0x329, printable text in the
// rest of 0x300..0x332. A SATA file has an IDENTIFY DEVICE template at 76
// (placeholder texts in words 10-46), a USB file its descriptor and INQUIRY
// placeholders from 100. The parameter block area 0xA00..0xA77 holds a
// sentinel, every other byte a pattern of the file's tag, so a test sees
// what the download rewrote. The byte before the last is 0xA5 and the last
// makes all bytes but that one sum to 0 modulo 256. "Init.bin" carries
// "INT" at 0x300 and the sentinel, and no sum.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

namespace testsupport {

inline constexpr std::size_t kFirmwareHeaderAt = 0x300;
inline constexpr std::size_t kFirmwareHeaderBytes = 51;
inline constexpr std::size_t kFirmwareVersionAt = 0x306;
inline constexpr std::size_t kFirmwareModeAt = 0x30D;
inline constexpr std::size_t kFirmwareFormatAt = 0x329;
inline constexpr std::size_t kFirmwareSentinelAt = 0xA00;
inline constexpr std::size_t kFirmwareSentinelBytes = 0x78;
inline constexpr std::uint8_t kFirmwareSentinel = 0xCC;
inline constexpr std::size_t kIdentifyTemplateAt = 76;
inline constexpr std::uint8_t kFileSumMark = 0xA5;

// "SYS_" + side ('S' SATA, 'U' USB) + the three model code letters + ".bin".
inline std::string FirmwareBinName(char side, std::string_view modelLetters) {
  return "SYS_" + std::string(1, side) + std::string(modelLetters) + ".bin";
}

struct FirmwareBinOptions {
  std::size_t pageBytes = 4096;
  std::size_t size = 4 * 4096;  // bytes
  char mode = 'S';              // 'S', 'U', or anything else for an unpatched page
  std::string version = "110301";
  std::string formatCode = "11";
  std::uint8_t tag = 0x11;         // seeds the pattern, so files tell apart
  std::uint64_t capacity = 0;      // IDENTIFY words 60-61 and 100-103
  std::size_t secondHeaderPage = 0;  // a later page that also carries the header (0: none)
  char secondHeaderMode = 'X';
};

namespace firmware_images_detail {

inline void PutText(std::vector<std::uint8_t>& bytes, std::size_t at, std::string_view text) {
  for (std::size_t i = 0; i < text.size() && at + i < bytes.size(); ++i) {
    bytes[at + i] = static_cast<std::uint8_t>(text[i]);
  }
}
inline void Put16(std::vector<std::uint8_t>& bytes, std::size_t at, std::uint16_t value) {
  if (at + 1 >= bytes.size()) return;
  bytes[at] = static_cast<std::uint8_t>(value & 0xFF);
  bytes[at + 1] = static_cast<std::uint8_t>(value >> 8);
}
inline void PutWord(std::vector<std::uint8_t>& bytes, std::size_t base, int word, std::uint16_t value) {
  Put16(bytes, base + 2 * static_cast<std::size_t>(word), value);
}

inline void Pattern(std::vector<std::uint8_t>& bytes, std::uint8_t tag) {
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i * 7 + tag);
}

inline void Sentinel(std::vector<std::uint8_t>& bytes, std::size_t pageStart) {
  for (std::size_t i = 0; i < kFirmwareSentinelBytes && pageStart + kFirmwareSentinelAt + i < bytes.size(); ++i) {
    bytes[pageStart + kFirmwareSentinelAt + i] = kFirmwareSentinel;
  }
}

inline void Header(std::vector<std::uint8_t>& bytes, std::size_t pageStart, const FirmwareBinOptions& options, char mode) {
  std::string text(kFirmwareHeaderBytes, '.');
  text.replace(0, 4, "KWSS");
  text.replace(4, 2, "--");
  text.replace(6, 6, (options.version + "      ").substr(0, 6));
  text[kFirmwareModeAt - kFirmwareHeaderAt] = mode;
  text.replace(kFirmwareFormatAt - kFirmwareHeaderAt, 2, (options.formatCode + "  ").substr(0, 2));
  PutText(bytes, pageStart + kFirmwareHeaderAt, text);
}

// A plausible IDENTIFY DEVICE image: LBA48, the capacity, placeholder texts.
inline void IdentifyTemplate(std::vector<std::uint8_t>& bytes, std::uint64_t capacity) {
  const std::size_t base = kIdentifyTemplateAt;
  std::fill_n(bytes.begin() + static_cast<std::ptrdiff_t>(base), 512, std::uint8_t{0});
  PutWord(bytes, base, 0, 0x0040);
  PutText(bytes, base + 20, "SERIAL-PLACEHOLDER--");     // words 10-19
  PutText(bytes, base + 46, "REV-PLCH");                 // words 23-26
  PutText(bytes, base + 54, std::string(40, 'M'));       // words 27-46
  PutWord(bytes, base, 47, 0x8010);
  PutWord(bytes, base, 49, 0x0300);
  PutWord(bytes, base, 53, 0x0006);
  const std::uint64_t lba28 = std::min<std::uint64_t>(capacity, 0x0FFFFFFF);
  PutWord(bytes, base, 60, static_cast<std::uint16_t>(lba28 & 0xFFFF));
  PutWord(bytes, base, 61, static_cast<std::uint16_t>(lba28 >> 16));
  PutWord(bytes, base, 80, 0x01F0);
  PutWord(bytes, base, 83, 0x7400);
  PutWord(bytes, base, 86, 0x3400);
  for (int i = 0; i < 4; ++i) PutWord(bytes, base, 100 + i, static_cast<std::uint16_t>(capacity >> (16 * i)));
}

// Descriptor and INQUIRY placeholders of a USB firmware page.
inline void UsbTemplate(std::vector<std::uint8_t>& bytes) {
  Put16(bytes, 100, 0xFFFF);
  Put16(bytes, 102, 0xFFFF);
  std::fill_n(bytes.begin() + 110, 36, std::uint8_t{0});
  bytes[110] = 0x00;  // direct access device
  bytes[111] = 0x80;
  bytes[112] = 0x04;
  bytes[113] = 0x02;
  bytes[114] = 31;
  PutText(bytes, 118, "VENDPLCH");
  PutText(bytes, 126, "PRODUCT-PLCHOLDR");
  PutText(bytes, 142, "0000");
  for (const std::size_t at : {std::size_t{158}, std::size_t{192}, std::size_t{242}}) {
    bytes[at] = 2;
    bytes[at + 1] = 0x03;  // string descriptor
  }
}

}  // namespace firmware_images_detail

// Sets the last byte so that all bytes but the one before it sum to 0
// modulo 256, with 0xA5 in that one.
inline void SealFileSum(std::vector<std::uint8_t>& bytes) {
  if (bytes.size() < 2) return;
  bytes[bytes.size() - 2] = kFileSumMark;
  bytes.back() = 0;
  unsigned sum = 0;
  for (std::size_t i = 0; i + 2 < bytes.size(); ++i) sum += bytes[i];
  bytes.back() = static_cast<std::uint8_t>(0x100 - (sum & 0xFF));
}

inline std::vector<std::uint8_t> FirmwareBinBytes(const FirmwareBinOptions& options) {
  namespace d = firmware_images_detail;
  std::vector<std::uint8_t> bytes(std::max(options.size, options.pageBytes));
  d::Pattern(bytes, options.tag);
  d::Header(bytes, 0, options, options.mode);
  if (options.mode == 'U') {
    d::UsbTemplate(bytes);
  } else {
    d::IdentifyTemplate(bytes, options.capacity);
  }
  d::Sentinel(bytes, 0);
  if (options.secondHeaderPage != 0 && (options.secondHeaderPage + 1) * options.pageBytes <= bytes.size()) {
    d::Header(bytes, options.secondHeaderPage * options.pageBytes, options, options.secondHeaderMode);
    d::Sentinel(bytes, options.secondHeaderPage * options.pageBytes);
  }
  bytes.resize(options.size);
  SealFileSum(bytes);
  return bytes;
}

inline std::vector<std::uint8_t> InitBinBytes(std::size_t pageBytes, std::size_t size, std::uint8_t tag = 0x5A) {
  namespace d = firmware_images_detail;
  std::vector<std::uint8_t> bytes(std::max(size, pageBytes));
  d::Pattern(bytes, tag);
  d::PutText(bytes, kFirmwareHeaderAt, "INT");
  d::Sentinel(bytes, 0);
  bytes.resize(size);
  return bytes;
}

enum class FirmwareDamage {
  Truncated,    // the first half of the file only
  WrongHeader,  // "KWSX" (bins) or "IMT" (Init.bin) at 0x300
  WrongSum,     // the last byte off by one
  WrongMark,    // the byte before the last is not 0xA5 (the sum still holds)
};

inline const char* FirmwareDamageName(FirmwareDamage damage) {
  switch (damage) {
    case FirmwareDamage::Truncated: return "Truncated";
    case FirmwareDamage::WrongHeader: return "WrongHeader";
    case FirmwareDamage::WrongSum: return "WrongSum";
    case FirmwareDamage::WrongMark: return "WrongMark";
  }
  return "?";
}

// `bytes` (a bin file or Init.bin) damaged as `damage` says.
inline std::vector<std::uint8_t> DamagedFirmware(std::vector<std::uint8_t> bytes, FirmwareDamage damage) {
  switch (damage) {
    case FirmwareDamage::Truncated: bytes.resize(bytes.size() / 2); break;
    case FirmwareDamage::WrongHeader:
      if (bytes.size() > kFirmwareHeaderAt + 3) {
        const bool init = bytes[kFirmwareHeaderAt] == 'I';
        bytes[kFirmwareHeaderAt + (init ? 1 : 3)] = init ? 'M' : 'X';
      }
      break;
    case FirmwareDamage::WrongSum:
      if (!bytes.empty()) bytes.back() = static_cast<std::uint8_t>(bytes.back() + 1);
      break;
    case FirmwareDamage::WrongMark:
      if (bytes.size() >= 2) bytes[bytes.size() - 2] = 0x5A;
      break;
  }
  return bytes;
}

inline void WriteFirmwareFile(const std::filesystem::path& file, const std::vector<std::uint8_t>& bytes) {
  std::ofstream(file, std::ios::binary | std::ios::trunc)
      .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// The files of one download, as written by WriteDownloadFileSet.
struct DownloadFileSet {
  std::vector<std::uint8_t> init, sata, usb;
};

// "Init.bin" (2 pages), the SATA bin (4 pages and 100 bytes, its third page
// a header page of mode 'X') and the USB bin (3 pages, tag 0x77), for pages
// of `pageBytes`, written into `directory` under those names.
inline DownloadFileSet WriteDownloadFileSet(const std::filesystem::path& directory, std::size_t pageBytes,
                                            std::string_view sataName, std::string_view usbName) {
  DownloadFileSet set;
  set.init = InitBinBytes(pageBytes, 2 * pageBytes);
  FirmwareBinOptions sata;
  sata.pageBytes = pageBytes;
  sata.size = 4 * pageBytes + 100;
  sata.mode = 'S';
  sata.capacity = 234441648;
  sata.secondHeaderPage = 2;
  sata.secondHeaderMode = 'X';
  set.sata = FirmwareBinBytes(sata);
  FirmwareBinOptions usb;
  usb.pageBytes = pageBytes;
  usb.size = 3 * pageBytes;
  usb.mode = 'U';
  usb.tag = 0x77;
  set.usb = FirmwareBinBytes(usb);
  WriteFirmwareFile(directory / "Init.bin", set.init);
  WriteFirmwareFile(directory / sataName, set.sata);
  WriteFirmwareFile(directory / usbName, set.usb);
  return set;
}

}  // namespace testsupport
