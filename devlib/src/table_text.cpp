#include "devlib/table_text.h"

#include <algorithm>
#include <array>
#include <cstdarg>
#include <cstdio>
#include <fstream>
#include <vector>

#include "byte_fields.h"
#include "devlib/bad_block_tables.h"
#include "devlib/debug_print.h"
#include "devlib/device_helpers.h"
#include "devlib/flash_geometry.h"
#include "platform/atomic_file.h"
#include "platform/paths.h"

namespace devlib {
namespace {

constexpr std::size_t kSectorBytes = 512;
constexpr std::size_t kEntryBytes = 4;
constexpr std::uint16_t kBankMark = 0xA0FB;
constexpr std::uint16_t kEndMark = 0xD1FE;
constexpr unsigned kBankDigits = static_cast<unsigned>(kMaxBanks);
// A defect table file holds at most a few hundred KiB; anything far beyond
// cannot be a table of any part.
constexpr std::size_t kTextFileLimit = 4u << 20;

struct Layout {
  std::size_t partBytes = 0;
  unsigned channels = 0;
  std::size_t imageBytes = 0;
};

std::optional<Layout> LayoutOf(std::size_t imageSize, std::size_t sectors, const FlashParams& params) {
  const std::size_t spp = params.geometry.sectorsPerPage;
  if (spp == 0 || sectors < spp || sectors * kSectorBytes > imageSize) return std::nullopt;
  Layout layout;
  layout.partBytes = spp * kSectorBytes;
  // One digit names a channel, and the library drives no more than 8.
  layout.channels = static_cast<unsigned>(std::min<std::size_t>(sectors / spp, kMaxChannels));
  layout.imageBytes = sectors * kSectorBytes;
  return layout;
}

// A value character: a hex digit or what the writer makes of a nibble ('0'..'?').
bool IsValueChar(char c) { return (c >= '0' && c <= '?') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f'); }

std::uint16_t HexValue(std::string_view digits) {
  std::uint16_t value = 0;
  for (char c : digits) value = static_cast<std::uint16_t>(value << 4 | HexDigitValue(c));
  return value;
}

class Refusal {
 public:
  explicit Refusal(std::string* why) : why_(why) {}
  bool operator()(const char* format, ...) __attribute__((format(printf, 2, 3))) {
    char text[160];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
    DebugPrint("Table file refused: %s\n", text);
    if (why_ != nullptr) *why_ = text;
    return false;
  }

 private:
  std::string* why_;
};

// Builds a table image part by part, never past the part it is in.
class ImageWriter {
 public:
  ImageWriter(std::vector<std::uint8_t>& image, std::size_t partBytes) : image_(image), partBytes_(partBytes) {}

  void OpenChannel(unsigned channel) {
    at_ = channel * partBytes_;
    end_ = at_ + partBytes_;
    const TableSignature& signature = SignatureOf(TableKind::Defect);
    std::copy(signature.begin(), signature.end(), image_.begin() + static_cast<std::ptrdiff_t>(at_));
    at_ += signature.size();
  }
  // An entry, keeping room for the end marker.
  bool Put(std::uint16_t word, std::uint8_t third, std::uint8_t fourth) {
    if (at_ + 2 * kEntryBytes > end_) return false;
    PutAt(word, third, fourth);
    return true;
  }
  void Close() { PutAt(kEndMark, 0, 0); }

 private:
  void PutAt(std::uint16_t word, std::uint8_t third, std::uint8_t fourth) {
    detail::PutLittleEndian16(image_, at_, word);
    image_[at_ + 2] = third;
    image_[at_ + 3] = fourth;
    at_ += kEntryBytes;
  }

  std::vector<std::uint8_t>& image_;
  std::size_t partBytes_;
  std::size_t at_ = 0;
  std::size_t end_ = 0;
};

struct Entry {
  std::string_view block;  // 4 hex digits
  char high = '0', low = '0';
  char kind = '0';
};

std::optional<Entry> EntryField(TableTextScanner& scan) {
  Entry entry;
  if (!scan.Expect("#")) return std::nullopt;
  const auto block = scan.TakeWhere(4, IsHexDigitChar);
  if (!block || !scan.Expect(",")) return std::nullopt;
  const auto value = scan.TakeWhere(2, IsValueChar);
  if (!value || !scan.Expect(",")) return std::nullopt;
  const auto kind = scan.TakeWhere(1, IsDecimalDigitChar);
  if (!kind) return std::nullopt;
  entry.block = *block;
  entry.high = (*value)[0];
  entry.low = (*value)[1];
  entry.kind = (*kind)[0];
  return entry;
}

std::uint8_t ValueOf(const Entry& e) {
  return static_cast<std::uint8_t>((HexDigitValue(e.high) & 0x0F) << 4 | (HexDigitValue(e.low) & 0x0F));
}

}  // namespace

bool HasVersionLine(int versionCode) {
  return versionCode == 11 || versionCode == 12 || versionCode == 20 || versionCode == 21 || versionCode == 30;
}

std::optional<std::string> FormatTableText(std::span<const std::uint8_t> image, std::size_t sectors, int versionCode,
                                           const FlashParams& params) {
  const std::optional<Layout> layout = LayoutOf(image.size(), sectors, params);
  if (!layout) {
    DebugPrint("Defect table text: %zu sectors do not fit a %zu-byte image of %u-sector pages\n", sectors,
               image.size(), params.geometry.sectorsPerPage);
    return std::nullopt;
  }
  std::string text;
  if (HasVersionLine(versionCode)) text += "V#" + std::to_string(versionCode);
  text += "\r\n";
  const std::size_t p = layout->partBytes;
  for (unsigned c = 0; c < layout->channels; ++c) {
    const auto part = image.subspan(c * p, p);
    if (part[0] == SignatureOf(TableKind::Defect)[0]) {
      text += "C#0";
      text += static_cast<char>('0' + c);
      // The table ends at its end marker, and never past its part.
      for (std::size_t at = kTableSignatureSize; at + kEntryBytes <= p; at += kEntryBytes) {
        const std::uint16_t word = detail::GetLittleEndian16(part, at);
        if (word == kEndMark) break;
        if (word == kBankMark) {
          const std::uint8_t bank = part[at + 2];
          if (bank > 9) {
            DebugPrint("Defect table text: channel %u names bank %u, which has no digit\n", c, bank);
            return std::nullopt;
          }
          text += "\r\nB#0";
          text += static_cast<char>('0' + bank);
          continue;
        }
        char entry[16];
        const std::uint8_t value = part[at + 2];
        const std::uint8_t kind = part[at + 3];
        std::snprintf(entry, sizeof entry, "U#%04X,%c%c,%c", word, 0x30 | value >> 4, 0x30 | (value & 0x0F),
                      kind > 7 ? '9' : '0' + kind);
        text += entry;
      }
    }
    text += "\r\n";
  }
  return text;
}

bool WriteTableText(std::span<const std::uint8_t> image, std::size_t sectors, const std::filesystem::path& file,
                    int versionCode, const FlashParams& params) {
  const std::filesystem::path path = TableFilePath(file);
  if (path.empty()) return false;
  const std::optional<std::string> text = FormatTableText(image, sectors, versionCode, params);
  return text && ReplaceFileContents(path, *text);
}

bool ParseTableText(std::span<std::uint8_t> image, std::size_t sectors, std::string_view text, int requestedVersion,
                    const FlashParams& params, std::string* why) {
  Refusal refuse(why);
  const std::optional<Layout> layout = LayoutOf(image.size(), sectors, params);
  if (!layout) return refuse("%zu sectors do not fit the %zu-byte image", sectors, image.size());
  std::size_t body = 0;
  const std::optional<int> version = TableFileVersion(text, body);
  if (!version) return refuse("the version line is not V# and a number");
  if (text.empty() || text.back() != '\n') return refuse("the last line has no line end (the file is cut short)");

  const bool convert = *version == 12 && requestedVersion == 21 && params.geometry.sectorsPerPage == 8;
  const bool ownKindsOnly = *version == 21 && requestedVersion == 12;
  const unsigned channels = layout->channels;
  std::vector<std::uint8_t> out(layout->imageBytes, 0);
  ImageWriter writer(out, layout->partBytes);
  std::array<std::vector<std::string>, kMaxChannels * kBankDigits> lists;

  TableTextScanner scan(text, body);
  // Sentinels rather than optionals: GCC 12 at -O2 takes optionals here for unset.
  constexpr unsigned kNone = ~0u;
  unsigned channel = kNone;
  unsigned bank = kNone;
  unsigned nextChannel = 0;
  while (const std::optional<char> letter = scan.NextField()) {
    const std::size_t at = scan.Offset() - 1;
    switch (*letter) {
      case 'C': {
        const std::optional<unsigned> n = scan.DigitField();
        if (!n) return refuse("a damaged channel line at offset %zu", at);
        if (*n != nextChannel) {
          return refuse("channel %u at offset %zu where channel %u of %u was due", *n, at, nextChannel, channels);
        }
        if (*n >= channels) return refuse("channel %u at offset %zu: the image holds %u channels", *n, at, channels);
        if (!convert) {
          if (channel != kNone) writer.Close();
          writer.OpenChannel(*n);
        }
        channel = *n;
        bank = kNone;
        ++nextChannel;
        break;
      }
      case 'B': {
        const std::optional<unsigned> n = scan.DigitField();
        if (!n) return refuse("a damaged bank marker at offset %zu", at);
        if (*n >= kBankDigits) return refuse("bank %u at offset %zu is beyond bank %u", *n, at, kBankDigits - 1);
        if (channel == kNone) return refuse("a bank marker at offset %zu before any channel", at);
        bank = *n;
        if (!convert && !writer.Put(kBankMark, static_cast<std::uint8_t>(*n), 0)) {
          return refuse("channel %u's table does not fit its part (offset %zu)", channel, at);
        }
        break;
      }
      case 'U': {
        const std::optional<Entry> entry = EntryField(scan);
        if (!entry) return refuse("a damaged entry at offset %zu", at);
        if (channel == kNone) return refuse("an entry at offset %zu before any channel", at);
        if (convert) {
          if (bank == kNone) return refuse("an entry at offset %zu before its channel's first bank marker", at);
          std::string item(entry->block);
          item += ',';
          item += entry->high;
          item += entry->low;
          item += ',';
          item += entry->kind;
          lists[channel * kBankDigits + bank].push_back(item);
          const unsigned partner = channel % 2 == 1 ? channel - 1 : channel + 1;
          if (partner < channels) lists[partner * kBankDigits + bank].push_back(item);
          break;
        }
        if (ownKindsOnly && entry->kind != static_cast<char>('0' + channel)) break;
        if (!writer.Put(HexValue(entry->block), ValueOf(*entry), static_cast<std::uint8_t>(entry->kind - '0'))) {
          return refuse("channel %u's table does not fit its part (offset %zu)", channel, at);
        }
        break;
      }
      default: return refuse("'%c' at offset %zu begins no field", *letter, at);
    }
  }
  if (nextChannel != channels) return refuse("%u of the image's %u channels are in the file", nextChannel, channels);

  if (convert) {
    for (unsigned c = 0; c < channels; ++c) {
      writer.OpenChannel(c);
      for (unsigned b = 0; b < kBankDigits; ++b) {
        std::vector<std::string>& list = lists[c * kBankDigits + b];
        if (list.empty()) continue;
        std::sort(list.begin(), list.end());
        bool fits = writer.Put(kBankMark, static_cast<std::uint8_t>(b), 0);
        for (const std::string& item : list) {
          const Entry e{.block = std::string_view(item).substr(0, 4), .high = item[5], .low = item[6], .kind = item[8]};
          fits = fits && writer.Put(HexValue(e.block), ValueOf(e), static_cast<std::uint8_t>(e.kind - '0'));
        }
        if (!fits) return refuse("channel %u's converted table does not fit its part", c);
      }
      writer.Close();
    }
  } else {
    writer.Close();
  }
  std::copy(out.begin(), out.end(), image.begin());
  return true;
}

bool ReadTableText(std::span<std::uint8_t> image, std::size_t sectors, const std::filesystem::path& file,
                   int requestedVersion, const FlashParams& params) {
  const std::filesystem::path path = TableFilePath(file);
  if (path.empty()) {
    DebugPrint("Table file refused: no file name\n");
    return false;
  }
  const std::optional<std::string> text = ReadWholeFile(path, kTextFileLimit);
  if (!text) {
    DebugPrint("Table file refused: '%s' cannot be read or is larger than %zu bytes\n", path.c_str(), kTextFileLimit);
    return false;
  }
  return ParseTableText(image, sectors, *text, requestedVersion, params);
}

std::optional<int> TableFileVersion(std::string_view text, std::size_t& body) {
  const std::size_t newline = std::min(text.find('\n'), text.size());
  std::string_view line = text.substr(0, newline);
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  if (line.empty()) {
    body = std::min(newline + 1, text.size());
    return 0;
  }
  // A file without its version line: the first line is already the tables'.
  if (!line.starts_with("V#")) {
    body = 0;
    return 0;
  }
  if (line.size() < 3 || line.size() > 4) return std::nullopt;
  int version = 0;
  for (char c : line.substr(2)) {
    if (!IsDecimalDigitChar(c)) return std::nullopt;
    version = version * 10 + (c - '0');
  }
  body = std::min(newline + 1, text.size());
  return version;
}

bool IsHexDigitChar(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f'); }
bool IsDecimalDigitChar(char c) { return c >= '0' && c <= '9'; }

std::optional<char> TableTextScanner::NextField() {
  while (at_ < text_.size() && (text_[at_] == '\r' || text_[at_] == '\n' || text_[at_] == ' ')) ++at_;
  if (at_ == text_.size()) return std::nullopt;
  return text_[at_++];
}

bool TableTextScanner::Expect(std::string_view literal) {
  if (text_.substr(at_, literal.size()) != literal) return false;
  at_ += literal.size();
  return true;
}

std::optional<unsigned> TableTextScanner::DigitField() {
  if (!Expect("#0")) return std::nullopt;
  const auto digit = TakeWhere(1, IsDecimalDigitChar);
  if (!digit) return std::nullopt;
  return static_cast<unsigned>((*digit)[0] - '0');
}

std::optional<std::uint16_t> TableTextScanner::Hex(std::size_t count) {
  const auto digits = TakeWhere(count, IsHexDigitChar);
  if (!digits) return std::nullopt;
  return HexValue(*digits);
}

std::optional<std::string_view> TableTextScanner::TakeWhere(std::size_t count, bool (*accept)(char)) {
  if (text_.size() - at_ < count) return std::nullopt;
  const std::string_view field = text_.substr(at_, count);
  if (!std::all_of(field.begin(), field.end(), accept)) return std::nullopt;
  at_ += count;
  return field;
}

std::filesystem::path TableFilePath(const std::filesystem::path& file) {
  if (file.empty()) return {};
  return platform::paths::resolve(file.string());
}

bool ReplaceFileContents(const std::filesystem::path& file, std::string_view bytes) {
  const std::string refused = platform::files::saveFileAtomically(file, bytes);
  if (refused.empty()) return true;
  DebugPrint("Table file: %s\n", refused.c_str());
  return false;
}

std::optional<std::string> ReadWholeFile(const std::filesystem::path& file, std::size_t limit) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return std::nullopt;
  std::string text(limit + 1, '\0');
  in.read(text.data(), static_cast<std::streamsize>(text.size()));
  if (in.bad()) return std::nullopt;
  const auto got = static_cast<std::size_t>(in.gcount());
  if (got > limit) return std::nullopt;
  text.resize(got);
  return text;
}

}  // namespace devlib
