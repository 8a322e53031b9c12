#include "devlib/table_files.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "byte_fields.h"
#include "devlib/bad_block_tables.h"
#include "devlib/claim_new.h"
#include "devlib/controller_access.h"
#include "devlib/debug_print.h"
#include "devlib/device_config.h"
#include "devlib/firmware_download.h"
#include "devlib/flash_geometry.h"
#include "devlib/flash_params.h"
#include "devlib/port_buffers.h"
#include "devlib/port_io.h"
#include "devlib/ram_code.h"
#include "devlib/raw_dump.h"
#include "devlib/table_text.h"

namespace devlib {
namespace {

using detail::GetLittleEndian16;
using detail::PutLittleEndian16;

constexpr std::size_t kSectorBytes = 512;
constexpr std::uint32_t kTableRamAddress = 0;  // the table operations load the RAM code here
constexpr std::uint8_t kReinitialiseLoader = 0x10;
constexpr std::uint16_t kDefectHeaderSequence = 120;
constexpr std::uint16_t kHeaderPage = 0;
constexpr std::uint16_t kLastTablePage = kSystemPage;
constexpr std::uint16_t kLaterTablePage = 1;
constexpr unsigned kMaxPlanes = 4;                 // planes per bank group slot of the later tables
constexpr std::size_t kLaterSlotBytes = 64 * 1024;  // one slot of the third work buffer
constexpr std::size_t kSystemFirstUnit = 16;
constexpr std::size_t kSystemOtherUnits = 20;
constexpr std::size_t kSystemUnitStep = 4;
constexpr std::size_t kLaterCount = 16;
constexpr std::size_t kLaterEntries = 32;
constexpr std::size_t kEntryBytes = 4;
constexpr std::size_t kTextFileLimit = 4u << 20;
// The header's download file table: count, first and last page, the files.
constexpr std::size_t kHeaderFileTableAt = 560;
constexpr std::size_t kHeaderFileTableEnd = 600;

struct Context {
  std::shared_ptr<const FlashParams> params;
  unsigned channels = 0;
  unsigned banks = 0;
  unsigned planes = 0;
  unsigned pagesPerBlock = 0;
  std::size_t partBytes = 0;  // one channel's page
  std::size_t pageBytes = 0;  // one page of all channels
  std::size_t sectors = 0;    // of one page of all channels
  bool bch24 = false;
  std::vector<std::uint16_t> loaderBlocks;
};

bool Refuse(const char* what, const char* format, ...) __attribute__((format(printf, 2, 3)));
bool Refuse(const char* what, const char* format, ...) {
  char text[200];
  va_list arguments;
  va_start(arguments, format);
  std::vsnprintf(text, sizeof text, format, arguments);
  va_end(arguments);
  DebugPrint("%s: %s\n", what, text);
  return false;
}

std::optional<Context> ContextOf(int port, std::span<std::uint8_t> buffer, const char* what) {
  const PortIoRecord* record = PortIo(port);
  if (record == nullptr) return std::nullopt;
  Context c;
  c.params = ParamsOfPort(port);
  const FlashParams& p = *c.params;
  c.channels = p.setting.channels;
  c.banks = p.setting.banks;
  c.planes = p.geometry.planes;
  c.pagesPerBlock = p.geometry.pagesPerBlock;
  c.partBytes = std::size_t{p.geometry.sectorsPerPage} * kSectorBytes;
  c.pageBytes = c.channels * c.partBytes;
  c.sectors = c.pageBytes / kSectorBytes;
  c.bch24 = p.setting.eccMode == 2;
  const bool fits = c.channels >= 1 && c.channels <= static_cast<unsigned>(kMaxChannels) && c.banks >= 1 &&
                    c.banks <= static_cast<unsigned>(kMaxBanks) && c.planes >= 1 && c.planes <= kMaxPlanes &&
                    c.partBytes > 0 && c.pageBytes <= kTableBufferSize && c.pagesPerBlock > kLastTablePage;
  if (!fits) {
    Refuse(what, "%u channels, %u banks, %u planes, %zu-byte pages, %u pages per block do not fit the tables",
           c.channels, c.banks, c.planes, c.partBytes, c.pagesPerBlock);
    return std::nullopt;
  }
  // The RAM code image, and a page read of all eight channel slots.
  const std::size_t needed = std::max(kRamCodeImageSize, kChannelSlots * c.partBytes);
  if (buffer.size() < needed) {
    Refuse(what, "needs a buffer of %zu bytes, it holds %zu", needed, buffer.size());
    return std::nullopt;
  }
  const std::size_t count = std::min<std::size_t>(record->loaderBlockCount, record->loaderBlocks.size());
  if (count == 0) {
    Refuse(what, "the port knows no loader blocks (check the loader blocks first)");
    return std::nullopt;
  }
  c.loaderBlocks.assign(record->loaderBlocks.begin(), record->loaderBlocks.begin() + static_cast<std::ptrdiff_t>(count));
  return c;
}

void PutSignature(std::span<std::uint8_t> part, TableKind kind) {
  const TableSignature& signature = SignatureOf(kind);
  std::copy(signature.begin(), signature.end(), part.begin());
}

bool Erased(std::span<const std::uint8_t> bytes) {
  return std::all_of(bytes.begin(), bytes.end(), [](std::uint8_t b) { return b == 0xFF; });
}

// A programmed page of a loader block, as read, to be written back after
// the erase with the ECC flag it was read with.
struct KeptPage {
  std::uint16_t page = 0;
  bool bch24 = false;
  std::vector<std::uint8_t> bytes;
};
struct KeptBlock {
  std::uint16_t block = 0;
  std::vector<KeptPage> pages;  // in page order

  const KeptPage* find(std::uint16_t page) const {
    for (const KeptPage& kept : pages) {
      if (kept.page == page) return &kept;
    }
    return nullptr;
  }
};

// The firmware pages the loader header in `part` names, inside the block.
std::vector<std::uint16_t> FirmwarePagesOf(std::span<const std::uint8_t> part, unsigned pagesPerBlock) {
  std::vector<std::uint16_t> pages;
  LoaderFileTable table;
  if (!IsLoaderHeader(part) || !LoadFileTableFromConfig(table, part)) return pages;
  for (std::size_t f = 0; f < table.fileCount && f < table.files.size(); ++f) {
    const unsigned first = table.files[f].startPage;
    const unsigned end = std::min<unsigned>(first + table.files[f].pageCount, pagesPerBlock);
    for (unsigned page = std::max<unsigned>(first, kLastTablePage + 1); page < end; ++page) {
      pages.push_back(static_cast<std::uint16_t>(page));
    }
  }
  std::sort(pages.begin(), pages.end());
  pages.erase(std::unique(pages.begin(), pages.end()), pages.end());
  return pages;
}

// Every programmed page of every loader block: pages 0..4 and the firmware
// pages the block's header names. Nothing when a read fails.
std::optional<std::vector<KeptBlock>> ReadLoaderPages(int port, std::span<std::uint8_t> buffer, const Context& c,
                                                      const char* what) {
  std::vector<KeptBlock> blocks;
  for (const std::uint16_t block : c.loaderBlocks) {
    KeptBlock kept{.block = block, .pages = {}};
    std::vector<std::uint16_t> firmware;
    auto keep = [&](std::uint16_t page, bool bch24) {
      if (!ReadBlockPages(port, AllChannelsPage(0, block, page, bch24), buffer)) {
        return Refuse(what, "page %u of loader block %u cannot be read", page, block);
      }
      const auto bytes = buffer.first(c.pageBytes);
      if (page == kHeaderPage) firmware = FirmwarePagesOf(bytes.first(c.partBytes), c.pagesPerBlock);
      if (!Erased(bytes)) kept.pages.push_back({.page = page, .bch24 = bch24, .bytes = {bytes.begin(), bytes.end()}});
      return true;
    };
    for (std::uint16_t page = kHeaderPage; page <= kLastTablePage; ++page) {
      if (!keep(page, page != kHeaderPage && c.bch24)) return std::nullopt;
    }
    for (const std::uint16_t page : firmware) {
      if (!keep(page, false)) return std::nullopt;
    }
    blocks.push_back(std::move(kept));
  }
  return blocks;
}

bool WritePage(int port, const Context& c, std::uint8_t chipEnable, std::uint16_t block, std::uint16_t page, bool bch24,
               std::span<std::uint8_t> bytes, const char* what) {
  if (WritePages(port, AllChannelsPage(chipEnable, block, page, bch24), bytes.first(c.pageBytes), c.sectors)) return true;
  return Refuse(what, "page %u of block %u on chip enable %u cannot be written", page, block, chipEnable);
}

// Writes every kept page back. Pages the drive still holds refuse the
// program and stay as they are.
void RestoreLoaderPages(int port, const Context& c, const std::vector<KeptBlock>& kept) {
  for (const KeptBlock& block : kept) {
    for (const KeptPage& page : block.pages) {
      std::vector<std::uint8_t> bytes = page.bytes;
      WritePages(port, AllChannelsPage(0, block.block, page.page, page.bch24), bytes, c.sectors);
    }
  }
}

}  // namespace

bool GetDefTable(int port, std::span<std::uint8_t> buffer, const std::filesystem::path& file, int versionCode) {
  const char* what = "Get defect table";
  const std::optional<Context> c = ContextOf(port, buffer, what);
  if (!c) return false;
  if (TableFilePath(file).empty()) return Refuse(what, "no file name");
  std::uint8_t option = 0;
  if (!LoadRamCode(port, buffer, option, kTableRamAddress)) return false;
  if (!ReadBlockPages(port, AllChannelsPage(0, c->loaderBlocks[0], kDefectTablePage, c->bch24), buffer)) {
    return Refuse(what, "the defect table page cannot be read");
  }
  const auto page = buffer.first(c->pageBytes);
  WriteDebugDump(port, "02_DTG.raw", page);
  return WriteTableText(page, c->sectors, file, versionCode, *c->params);
}

bool PutDefTable(int port, std::span<std::uint8_t> buffer, const std::filesystem::path& file, int versionCode) {
  const char* what = "Put defect table";
  const std::optional<Context> c = ContextOf(port, buffer, what);
  if (!c) return false;
  // The whole file first: a file that is missing or damaged changes nothing.
  std::vector<std::uint8_t> table(c->pageBytes);
  if (!ReadTableText(table, c->sectors, file, versionCode, *c->params)) return Refuse(what, "the file is not taken");

  std::uint8_t option = 0;
  if (!LoadRamCode(port, buffer, option, kTableRamAddress)) return false;
  // The header is built over the RAM code image's first page.
  std::vector<std::uint8_t> header(c->pageBytes, 0);
  std::copy_n(buffer.begin(), c->partBytes, header.begin());
  if (!BuildLoaderHeader(port, header, kDefectHeaderSequence)) return Refuse(what, "the loader header cannot be built");
  const std::optional<std::vector<KeptBlock>> kept = ReadLoaderPages(port, buffer, *c, what);
  if (!kept) return false;
  // The firmware pages stay, so the new header names them as the old one did.
  for (const KeptBlock& block : *kept) {
    const KeptPage* old = block.find(kHeaderPage);
    if (old == nullptr || !IsLoaderHeader(old->bytes)) continue;
    for (unsigned ch = 0; ch < c->channels; ++ch) {
      const std::size_t at = ch * c->partBytes;
      if (!IsLoaderHeader(std::span<const std::uint8_t>(old->bytes).subspan(at, c->partBytes))) continue;
      std::copy(old->bytes.begin() + static_cast<std::ptrdiff_t>(at + kHeaderFileTableAt),
                old->bytes.begin() + static_cast<std::ptrdiff_t>(at + kHeaderFileTableEnd),
                header.begin() + static_cast<std::ptrdiff_t>(at + kHeaderFileTableAt));
    }
    break;
  }
  WriteDebugDump(port, "05_DTP.raw", table);

  // Operation 1 with 0x10 erases the loader blocks.
  if (!RunInitOperation(port, buffer, kReinitialiseLoader, kTableRamAddress)) {
    // The operation may have erased the blocks before it failed: put back
    // what they held, as far as the drive lets us.
    RestoreLoaderPages(port, *c, *kept);
    return Refuse(what, "operation 1 did not end with status 14");
  }
  if (!WriteAllLoaderBlocks(port, kHeaderPage, false, 0, header, c->sectors)) {
    return Refuse(what, "the loader header cannot be written");
  }
  if (!WriteAllLoaderBlocks(port, kDefectTablePage, c->bch24, 0, table, c->sectors)) {
    return Refuse(what, "the defect tables cannot be written");
  }
  for (const KeptBlock& block : *kept) {
    for (const KeptPage& page : block.pages) {
      if (page.page <= kDefectTablePage) continue;
      std::vector<std::uint8_t> bytes = page.bytes;
      if (!WritePage(port, *c, 0, block.block, page.page, page.bch24, bytes, what)) return false;
    }
  }
  return true;
}

int GetLaterTable(int port, std::span<std::uint8_t> buffer, const std::filesystem::path& file, int versionCode) {
  const char* what = "Get later table";
  const std::optional<Context> c = ContextOf(port, buffer, what);
  if (!c) return 0;
  const std::shared_ptr<PortBuffers> buffers = PortBuffersOf(port);
  if (!buffers) return 0;
  std::uint8_t option = 0;
  if (!LoadRamCode(port, buffer, option, kTableRamAddress)) return 0;
  if (!ReadBlockPages(port, AllChannelsPage(0, c->loaderBlocks[0], kSystemPage, c->bch24), buffer)) {
    Refuse(what, "the system page cannot be read");
    return 0;
  }
  if (!HasTableSignature(buffer, TableKind::System)) {
    Refuse(what, "the system page carries no signature");
    return 0;
  }
  const std::uint16_t firstUnit = GetLittleEndian16(buffer, kSystemFirstUnit);
  const std::uint16_t otherUnits = GetLittleEndian16(buffer, kSystemOtherUnits);
  const FlashParams& params = *c->params;
  const std::size_t mostEntries = (c->partBytes - kLaterEntries) / kEntryBytes;

  std::string text;
  if (HasVersionLine(versionCode)) text += "V#" + std::to_string(versionCode);
  text += "\r\n";
  std::vector<std::uint8_t> newest(kLaterSlotBytes);
  const std::span<std::uint8_t> slots = buffers->workBuffer3();
  char line[64];
  for (unsigned i = 0; i < c->banks; ++i) {
    for (unsigned j = 0; j < c->planes; ++j) {
      const auto unit = static_cast<std::uint16_t>(i == 0 && j == 0 ? firstUnit : (j % c->planes) * params.token14 + otherUnits);
      std::snprintf(line, sizeof line, "B#0%u\r\nD#0%u\r\nS#%04X\r\n", i, j, unit);
      text += line;
      const std::uint16_t block = UnitToBlock(unit, params.setting, params.geometry);
      const std::uint8_t chipEnable = params.geometry.bankMap[i];
      std::fill(newest.begin(), newest.end(), std::uint8_t{0});
      unsigned last = 1;
      for (unsigned page = kLaterTablePage; page < c->pagesPerBlock; ++page) {
        if (!ReadBlockPages(port, AllChannelsPage(chipEnable, block, static_cast<std::uint16_t>(page), c->bch24), buffer)) {
          Refuse(what, "page %u of block %u on chip enable %u cannot be read", page, block, chipEnable);
          return 0;
        }
        last = page;
        bool any = false;
        for (unsigned ch = 0; ch < c->channels; ++ch) {
          const auto part = buffer.subspan(ch * c->partBytes, c->partBytes);
          if (!HasTableSignature(part, TableKind::Later)) continue;
          std::copy(part.begin(), part.end(), newest.begin() + static_cast<std::ptrdiff_t>(ch * c->partBytes));
          any = true;
        }
        if (!any) break;
      }
      WriteDebugDumpNamed(port, buffer.first(c->pageBytes), "03_%2.2u%2.2u%3.3u.raw", i, j, last);

      for (unsigned ch = 0; ch < c->channels; ++ch) {
        std::snprintf(line, sizeof line, "C#0%u", ch);
        text += line;
        const auto part = std::span<const std::uint8_t>(newest).subspan(ch * c->partBytes, c->partBytes);
        if (HasTableSignature(part, TableKind::Later)) {
          std::size_t count = GetLittleEndian16(part, kLaterCount);
          if (count > mostEntries) {
            DebugPrint("%s: channel %u of bank group %u plane %u counts %zu entries, its part holds %zu\n", what, ch,
                       i, j, count, mostEntries);
            count = mostEntries;
          }
          std::snprintf(line, sizeof line, "T#%04zX,", count);
          text += line;
          for (std::size_t e = 0; e < count; ++e) {
            const std::size_t at = kLaterEntries + e * kEntryBytes;
            const std::uint8_t type = part[at + 2];
            if (type > 9) {
              Refuse(what, "channel %u of bank group %u lists block %u with type %u, which has no digit", ch, i,
                     GetLittleEndian16(part, at), type);
              return 0;
            }
            std::snprintf(line, sizeof line, "U#%04X,%u", GetLittleEndian16(part, at), type);
            text += line;
          }
        }
        text += "\r\n";
      }
      const std::size_t slot = std::size_t{i} * kMaxPlanes + j;
      std::copy(newest.begin(), newest.end(), slots.begin() + static_cast<std::ptrdiff_t>(slot * kLaterSlotBytes));
    }
    text += "\r\n";
  }
  if (file.empty()) return 1;
  return ReplaceFileContents(TableFilePath(file), text) ? 1 : 0;
}

namespace {

// One bank group and plane of a later table file: the unit of its block and
// the page image of its tables.
struct LaterSection {
  unsigned group = 0;
  unsigned plane = 0;
  std::uint16_t unit = 0;
  std::vector<std::uint8_t> image;
};

// A refusal, as the parser's functions answer it.
struct Refused {
  operator bool() const { return false; }
  template <typename T>
  operator std::optional<T>() const {
    return std::nullopt;
  }
};

class LaterFileParser {
 public:
  LaterFileParser(const Context& c, std::string_view text) : c_(c), text_(text) {}

  std::optional<std::vector<LaterSection>> Parse() {
    std::size_t body = 0;
    if (!TableFileVersion(text_, body)) return Fail("the version line is not V# and a number");
    if (text_.empty() || text_.back() != '\n') return Fail("the last line has no line end (the file is cut short)");
    TableTextScanner scan(text_, body);
    const unsigned sections = c_.banks * c_.planes;
    while (const std::optional<char> letter = scan.NextField()) {
      at_ = scan.Offset() - 1;
      switch (*letter) {
        case 'B': {
          const auto group = scan.DigitField();
          if (!group) return Fail("a damaged bank group line");
          if (!CloseSection()) return std::nullopt;
          if (sections_.size() == sections) return Fail("more bank groups and planes than the drive has");
          const unsigned due = static_cast<unsigned>(sections_.size()) / c_.planes;
          if (*group != due) return Fail("bank group %u where %u was due", *group, due);
          pendingGroup_ = *group;
          break;
        }
        case 'D': {
          const auto plane = scan.DigitField();
          if (!plane) return Fail("a damaged plane line");
          if (!pendingGroup_ || pendingPlane_) return Fail("a plane line out of place");
          const unsigned due = static_cast<unsigned>(sections_.size()) % c_.planes;
          if (*plane != due) return Fail("plane %u where %u was due", *plane, due);
          pendingPlane_ = *plane;
          break;
        }
        case 'S': {
          const auto unit = scan.Expect("#") ? scan.Hex(4) : std::nullopt;
          if (!unit) return Fail("a damaged unit line");
          if (!pendingPlane_) return Fail("a unit line out of place");
          open_ = LaterSection{.group = *pendingGroup_, .plane = *pendingPlane_, .unit = *unit,
                               .image = std::vector<std::uint8_t>(c_.pageBytes, 0xFF)};
          pendingGroup_.reset();
          pendingPlane_.reset();
          nextChannel_ = 0;
          break;
        }
        case 'C': {
          const auto channel = scan.DigitField();
          if (!channel) return Fail("a damaged channel line");
          if (!open_) return Fail("a channel line outside a bank group");
          if (!CloseChannel()) return std::nullopt;
          if (*channel != nextChannel_ || *channel >= c_.channels) {
            return Fail("channel %u where channel %u of %u was due", *channel, nextChannel_, c_.channels);
          }
          channel_ = *channel;
          ++nextChannel_;
          break;
        }
        case 'T': {
          const auto count = scan.Expect("#") ? scan.Hex(4) : std::nullopt;
          if (!count || !scan.Expect(",")) return Fail("a damaged table count");
          if (!channel_ || count_) return Fail("a table count out of place");
          const std::size_t most = (c_.partBytes - kLaterEntries) / kEntryBytes;
          if (*count > most) return Fail("a count of %u entries, a part holds %zu", *count, most);
          count_ = *count;
          entries_ = 0;
          const auto part = Part();
          PutSignature(part, TableKind::Later);
          PutLittleEndian16(part, kLaterCount, *count);
          break;
        }
        case 'U': {
          const auto block = scan.Expect("#") ? scan.Hex(4) : std::nullopt;
          const auto type = block && scan.Expect(",") ? scan.TakeWhere(1, IsDecimalDigitChar) : std::nullopt;
          if (!type) return Fail("a damaged entry");
          if (!count_) return Fail("an entry without a table count");
          if (entries_ == *count_) return Fail("more entries than the count of %u", *count_);
          const auto part = Part();
          const std::size_t entryAt = kLaterEntries + entries_ * kEntryBytes;
          PutLittleEndian16(part, entryAt, *block);
          part[entryAt + 2] = static_cast<std::uint8_t>((*type)[0] - '0');
          ++entries_;
          break;
        }
        default: return Fail("'%c' begins no field", *letter);
      }
    }
    at_ = text_.size();
    if (!CloseSection()) return std::nullopt;
    if (pendingGroup_) return Fail("a bank group without its unit");
    if (sections_.size() != sections) {
      return Fail("%zu of the drive's %u bank groups and planes are in the file", sections_.size(), sections);
    }
    return std::move(sections_);
  }

 private:
  std::span<std::uint8_t> Part() { return std::span<std::uint8_t>(open_->image).subspan(*channel_ * c_.partBytes, c_.partBytes); }

  bool CloseChannel() {
    if (count_ && entries_ != *count_) return Fail("%zu entries where the count says %u", entries_, *count_);
    channel_.reset();
    count_.reset();
    return true;
  }
  bool CloseSection() {
    if (!open_) return true;
    if (!CloseChannel()) return false;
    if (nextChannel_ != c_.channels) {
      return Fail("bank group %u plane %u lists %u of %u channels", open_->group, open_->plane, nextChannel_, c_.channels);
    }
    sections_.push_back(std::move(*open_));
    open_.reset();
    return true;
  }
  Refused Fail(const char* format, ...) __attribute__((format(printf, 2, 3))) {
    char text[160];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
    DebugPrint("Later table file refused at offset %zu: %s\n", at_, text);
    return {};
  }

  const Context& c_;
  std::string_view text_;
  std::size_t at_ = 0;
  std::vector<LaterSection> sections_;
  std::optional<unsigned> pendingGroup_, pendingPlane_;
  std::optional<LaterSection> open_;
  unsigned nextChannel_ = 0;
  std::optional<unsigned> channel_;
  std::optional<std::uint16_t> count_;
  std::size_t entries_ = 0;
};

}  // namespace

bool PutLaterTable(int port, std::span<std::uint8_t> buffer, const std::filesystem::path& file) {
  const char* what = "Put later table";
  const std::optional<Context> c = ContextOf(port, buffer, what);
  if (!c) return false;
  const std::filesystem::path path = TableFilePath(file);
  if (path.empty()) return Refuse(what, "no file name");
  const std::optional<std::string> text = ReadWholeFile(path, kTextFileLimit);
  if (!text) return Refuse(what, "'%s' cannot be read or is larger than %zu bytes", path.c_str(), kTextFileLimit);
  std::optional<std::vector<LaterSection>> sections = LaterFileParser(*c, *text).Parse();
  if (!sections) return Refuse(what, "the file is not taken");

  // Where each table goes. Sections that share a block share its table.
  const FlashParams& params = *c->params;
  struct Target {
    std::uint8_t chipEnable;
    std::uint16_t block;
    std::size_t section;
  };
  std::vector<Target> targets;
  for (std::size_t s = 0; s < sections->size(); ++s) {
    const LaterSection& section = (*sections)[s];
    const std::uint16_t block = UnitToBlock(section.unit, params.setting, params.geometry);
    const std::uint8_t chipEnable = params.geometry.bankMap[section.group];
    if (params.geometry.blockValue != 0 && block >= params.geometry.blockValue) {
      return Refuse(what, "unit %04X of bank group %u is block %u, beyond the %u blocks", section.unit, section.group,
                    block, params.geometry.blockValue);
    }
    if (chipEnable == 0 && std::find(c->loaderBlocks.begin(), c->loaderBlocks.end(), block) != c->loaderBlocks.end()) {
      return Refuse(what, "unit %04X of bank group %u is loader block %u", section.unit, section.group, block);
    }
    const auto same = std::find_if(targets.begin(), targets.end(),
                                   [&](const Target& t) { return t.chipEnable == chipEnable && t.block == block; });
    if (same == targets.end()) {
      targets.push_back({chipEnable, block, s});
    } else if ((*sections)[same->section].image != section.image) {
      return Refuse(what, "bank group %u plane %u shares block %u on chip enable %u with an earlier one, but not its tables",
                    section.group, section.plane, block, chipEnable);
    }
  }

  std::uint8_t option = 0;
  if (!LoadRamCode(port, buffer, option, kTableRamAddress)) return false;
  std::optional<std::vector<KeptBlock>> kept = ReadLoaderPages(port, buffer, *c, what);
  if (!kept) return false;

  // The unit words in the order of the file; the word at 20 is stored as
  // the reader takes it, without its plane's die offset.
  std::vector<std::uint16_t> words;
  for (std::size_t s = 0; s < sections->size(); ++s) {
    const LaterSection& section = (*sections)[s];
    words.push_back(s == 1 ? static_cast<std::uint16_t>(section.unit - (section.plane % c->planes) * params.token14)
                           : section.unit);
  }
  for (KeptBlock& block : *kept) {
    const KeptPage* old = block.find(kSystemPage);
    std::vector<std::uint8_t> page = old != nullptr ? old->bytes : std::vector<std::uint8_t>(c->pageBytes, 0xFF);
    for (unsigned ch = 0; ch < c->channels; ++ch) {
      const auto part = std::span<std::uint8_t>(page).subspan(ch * c->partBytes, c->partBytes);
      if (!HasTableSignature(part, TableKind::System)) {
        if (ch != 0) continue;
        std::fill(part.begin(), part.end(), std::uint8_t{0xFF});
        PutSignature(part, TableKind::System);
      }
      for (std::size_t w = 0; w < words.size(); ++w) {
        PutLittleEndian16(part, kSystemFirstUnit + w * kSystemUnitStep, words[w]);
      }
    }
    std::erase_if(block.pages, [](const KeptPage& p) { return p.page == kSystemPage; });
    block.pages.push_back({.page = kSystemPage, .bch24 = c->bch24, .bytes = std::move(page)});
    std::sort(block.pages.begin(), block.pages.end(), [](const KeptPage& a, const KeptPage& b) { return a.page < b.page; });
  }

  for (KeptBlock& block : *kept) {
    if (!EraseBlock(port, kAllChannels, 0, block.block)) return Refuse(what, "loader block %u cannot be erased", block.block);
    for (KeptPage& page : block.pages) {
      if (!WritePage(port, *c, 0, block.block, page.page, page.bch24, page.bytes, what)) return false;
    }
  }

  for (std::size_t s = 0; s < sections->size(); ++s) {
    LaterSection& section = (*sections)[s];
    WriteDebugDump(port, s + 1 == sections->size() ? "07_LTP.raw" : "06_LTP.raw", section.image);
    const auto target = std::find_if(targets.begin(), targets.end(), [&](const Target& t) { return t.section == s; });
    if (target == targets.end()) continue;  // its block was written for an earlier section
    if (!EraseBlock(port, kAllChannels, target->chipEnable, target->block)) {
      return Refuse(what, "block %u on chip enable %u cannot be erased", target->block, target->chipEnable);
    }
    if (!WritePage(port, *c, target->chipEnable, target->block, kLaterTablePage, c->bch24, section.image, what)) {
      return false;
    }
  }
  return true;
}

}  // namespace devlib
