#include "nand_tables.h"

#include <algorithm>
#include <array>
#include <map>
#include <optional>
#include <set>
#include <utility>

#include "bytes.h"

namespace drivesim::detail {
namespace {

using Part = std::vector<std::uint8_t>;

constexpr std::size_t kSignatureBytes = 16;
constexpr char kSignatureTail[] = "KWFA3X-V001";  // and its 0 byte
constexpr std::array<std::uint8_t, 4> kDefectKind{0xe9, 0x86, 0xaa, 0x55};
constexpr std::array<std::uint8_t, 4> kEarlyKind{0x45, 0x79, 0xaa, 0x55};
constexpr std::array<std::uint8_t, 4> kRemapKind{0x9e, 0x68, 0x55, 0xaa};
constexpr std::array<std::uint8_t, 4> kLaterKind{0xe8, 0xdc, 0x55, 0xaa};
constexpr std::array<std::uint8_t, 4> kSystemKind{'S', 'Y', 'S', 'P'};

constexpr std::uint16_t kDefectTablePage = 1;
constexpr std::uint16_t kEarlyListPage = 2;
constexpr std::uint16_t kRemapTablePage = 3;
constexpr std::uint16_t kSystemPage = 4;
constexpr std::size_t kLoaderBlockSlots = 4;
constexpr std::uint8_t kRemapOption = 0x20;

constexpr std::uint16_t kDefectBankMark = 0xa0fb;
constexpr std::uint16_t kDefectEnd = 0xd1fe;
constexpr std::uint8_t kMakerMarked = 1;
constexpr std::uint8_t kScanFound = 2;
constexpr std::uint16_t kEarlyBankMark = 0xfb00;
constexpr std::uint16_t kEarlyEnd = 0xfe00;
constexpr std::uint16_t kScanFoundBit = 0x8000;
constexpr std::uint16_t kRemapBankMark = 0xeba0;
constexpr std::uint16_t kRemapEnd = 0xeed1;

constexpr std::size_t kSystemUnit0 = 16;
constexpr std::size_t kSystemUnits = 20;
constexpr std::size_t kLaterCount = 16;
constexpr std::size_t kLaterEntries = 32;
constexpr std::size_t kListCount = 4;
constexpr std::size_t kListEntries = 8;
constexpr std::size_t kListReplyBytes = 32 * 1024;

Part signedPart(std::size_t bytes, const std::array<std::uint8_t, 4>& kind) {
  Part part(bytes, 0);
  std::copy(kind.begin(), kind.end(), part.begin());
  std::copy_n(kSignatureTail, sizeof kSignatureTail, part.begin() + 4);
  return part;
}

// Writes u16 words from byte `at`, keeping room for the `endWords` that
// close the part; what would not fit is left out.
class WordWriter {
 public:
  WordWriter(Part& part, std::size_t at, std::size_t endWords) : part_(part), at_(at), endWords_(endWords) {}
  bool room(std::size_t words) const { return at_ + 2 * (words + endWords_) <= part_.size(); }
  void put(std::uint16_t word) {
    bytes::putLe16(part_, at_, word);
    at_ += 2;
  }
  void putBytes(std::uint8_t a, std::uint8_t b) {
    part_[at_++] = a;
    part_[at_++] = b;
  }

 private:
  Part& part_;
  std::size_t at_;
  std::size_t endWords_;
};

std::vector<const BadBlock*> ofChannelAndBank(const std::vector<BadBlock>& blocks, std::uint8_t channel,
                                              std::uint8_t bank) {
  std::vector<const BadBlock*> found;
  for (const BadBlock& b : blocks) {
    if (b.channel == channel && b.bank == bank) found.push_back(&b);
  }
  return found;
}

std::set<std::uint8_t> banksOf(const std::vector<BadBlock>& blocks, std::uint8_t channel) {
  std::set<std::uint8_t> banks;
  for (const BadBlock& b : blocks) {
    if (b.channel == channel) banks.insert(b.bank);
  }
  return banks;
}

Part defectTable(const BadBlockBook& book, std::uint8_t channel, std::size_t bytes) {
  Part part = signedPart(bytes, kDefectKind);
  WordWriter w(part, kSignatureBytes, 2);
  for (const std::uint8_t bank : banksOf(book.early, channel)) {
    if (!w.room(2)) break;
    w.put(kDefectBankMark);
    w.putBytes(bank, 0);
    for (const BadBlock* b : ofChannelAndBank(book.early, channel, bank)) {
      if (!w.room(2)) break;
      w.put(b->block);
      w.putBytes(0, b->type == 0 ? kMakerMarked : kScanFound);
    }
  }
  w.put(kDefectEnd);
  w.putBytes(0, 0);
  return part;
}

Part earlyList(const BadBlockBook& book, std::uint8_t channel, std::size_t bytes) {
  Part part = signedPart(bytes, kEarlyKind);
  WordWriter w(part, kSignatureBytes, 1);
  for (const std::uint8_t bank : banksOf(book.early, channel)) {
    if (!w.room(1)) break;
    w.put(static_cast<std::uint16_t>(kEarlyBankMark | bank));
    for (const BadBlock* b : ofChannelAndBank(book.early, channel, bank)) {
      if (!w.room(1)) break;
      w.put(static_cast<std::uint16_t>(b->block | (b->type == 0 ? 0 : kScanFoundBit)));
    }
  }
  w.put(kEarlyEnd);
  return part;
}

Part remapTable(const BadBlockBook& book, std::uint8_t channel, std::size_t bytes, std::uint16_t blocks) {
  Part part = signedPart(bytes, kRemapKind);
  WordWriter w(part, kSignatureBytes, 2);
  for (const std::uint8_t bank : banksOf(book.later, channel)) {
    if (!w.room(2)) break;
    w.put(kRemapBankMark);
    w.put(bank);
    std::uint16_t reserve = static_cast<std::uint16_t>(blocks - 1);
    for (const BadBlock* b : ofChannelAndBank(book.later, channel, bank)) {
      if (!w.room(2)) break;
      w.put(b->block);
      w.put(reserve--);
    }
  }
  w.put(kRemapEnd);
  w.put(0);
  return part;
}

Part systemPage(const DriveConfig& config, std::size_t bytes) {
  Part part = signedPart(bytes, kSystemKind);
  bytes::putLe16(part, kSystemUnit0, config.laterTableUnits[0]);
  bytes::putLe16(part, kSystemUnits, config.laterTableUnits[1]);
  return part;
}

// One channel's later table holding `entries`, as many as fit.
Part laterTable(const std::vector<const BadBlock*>& entries, std::size_t bytes) {
  Part part = signedPart(bytes, kLaterKind);
  const std::size_t fit = bytes > kLaterEntries ? (bytes - kLaterEntries) / 4 : 0;
  const std::size_t n = std::min(entries.size(), fit);
  bytes::putLe16(part, kLaterCount, static_cast<std::uint16_t>(n));
  for (std::size_t k = 0; k < n; ++k) {
    const std::size_t at = kLaterEntries + 4 * k;
    bytes::putLe16(part, at, entries[k]->block);
    part[at + 2] = entries[k]->type;
  }
  return part;
}

void damage(const DriveConfig& config, TablePage page, std::uint8_t channel, Part& part) {
  for (const TableDamage& d : config.damagedTables) {
    if (d.page == page && d.channel == channel && !part.empty()) part[0] ^= 0xff;
  }
}

struct Layout {
  FlashGeometry geometry;
  std::uint8_t firstChipEnable = 0;
  std::vector<std::uint8_t> chipEnables;
};

std::optional<Layout> layoutOf(const DriveConfig& config, const FlashArray& flash) {
  if (!flash.geometry()) return std::nullopt;
  Layout layout{.geometry = *flash.geometry(),
                .firstChipEnable = 0,
                .chipEnables = chipEnableIds(config.flashBanks, config.flashChipEnables)};
  if (layout.chipEnables.empty()) return std::nullopt;
  layout.firstChipEnable = layout.chipEnables.front();
  return layout;
}

void program(FlashArray& flash, const PageAddress& at, const Part& part) {
  if (!flash.present(at.channel, at.chipEnable) || !flash.inRange(at.block, at.page)) return;
  flash.program(at, part);
}

void writeLoaderPages(const DriveConfig& config, const Layout& layout, const BadBlockBook& book, FlashArray& flash) {
  const std::size_t bytes = layout.geometry.pageBytes();
  const bool remap = (config.optionBitsA & kRemapOption) != 0;
  for (std::size_t i = 0; i < std::min(config.loaderBlocks.size(), kLoaderBlockSlots); ++i) {
    const std::uint16_t block = config.loaderBlocks[i];
    for (std::uint8_t c = 0; c < config.flashChannels; ++c) {
      struct Written {
        TablePage page;
        std::uint16_t number;
        Part part;
      };
      std::vector<Written> pages;
      pages.push_back({TablePage::Defect, kDefectTablePage, defectTable(book, c, bytes)});
      pages.push_back({TablePage::EarlyBad, kEarlyListPage, earlyList(book, c, bytes)});
      if (remap) pages.push_back({TablePage::Remap, kRemapTablePage, remapTable(book, c, bytes, layout.geometry.blocks)});
      pages.push_back({TablePage::System, kSystemPage, systemPage(config, bytes)});
      for (Written& w : pages) {
        damage(config, w.page, c, w.part);
        program(flash, {c, layout.firstChipEnable, block, w.number}, w.part);
      }
    }
  }
}

// Bank indices by the later-table block (chip enable, block) they share.
std::map<std::pair<std::uint8_t, std::uint16_t>, std::vector<std::uint8_t>> laterTableBlocks(const DriveConfig& config,
                                                                                             const Layout& layout) {
  std::map<std::pair<std::uint8_t, std::uint16_t>, std::vector<std::uint8_t>> blocks;
  const unsigned banks = config.flashBanks;
  const unsigned indices = banks * layout.geometry.planes;
  for (unsigned v = 0; v < indices && v <= 0xff; ++v) {
    const std::uint16_t unit = v == 0 ? config.laterTableUnits[0] : config.laterTableUnits[1];
    const std::uint8_t chipEnable = layout.chipEnables[(v % banks) % layout.chipEnables.size()];
    blocks[{chipEnable, static_cast<std::uint16_t>(2 * unit)}].push_back(static_cast<std::uint8_t>(v));
  }
  return blocks;
}

void writeLaterTables(const DriveConfig& config, const Layout& layout, const BadBlockBook& book, FlashArray& flash) {
  const std::size_t bytes = layout.geometry.pageBytes();
  for (const auto& [where, indices] : laterTableBlocks(config, layout)) {
    const auto [chipEnable, block] = where;
    std::vector<const BadBlock*> events;
    for (const BadBlock& b : book.later) {
      if (std::find(indices.begin(), indices.end(), b.bank) != indices.end()) events.push_back(&b);
    }
    for (std::uint8_t c = 0; c < config.flashChannels; ++c) {
      if (flash.present(c, chipEnable) && flash.inRange(block, 0)) flash.erase(c, chipEnable, block);
    }
    const std::size_t lastPage = layout.geometry.pagesPerBlock > 1 ? layout.geometry.pagesPerBlock - 1u : 0u;
    const std::size_t pages = std::min(std::max<std::size_t>(events.size(), 1), lastPage);
    for (std::size_t n = 1; n <= pages; ++n) {
      // The last page takes every event, however many there were.
      const std::size_t upTo = n == pages ? events.size() : n;
      for (std::uint8_t c = 0; c < config.flashChannels; ++c) {
        std::vector<const BadBlock*> entries;
        for (std::size_t k = 0; k < upTo; ++k) {
          if (events[k]->channel == c) entries.push_back(events[k]);
        }
        Part part = laterTable(entries, bytes);
        damage(config, TablePage::Later, c, part);
        program(flash, {c, chipEnable, block, static_cast<std::uint16_t>(n)}, part);
      }
    }
  }
}

std::vector<std::uint8_t> tooManyBadBlocks(const DriveConfig& config, std::uint16_t limit) {
  std::map<std::pair<std::uint8_t, std::uint8_t>, std::size_t> counts;
  for (const auto* list : {&config.factoryBadBlocks, &config.laterBadBlocks}) {
    for (const BadBlock& b : *list) ++counts[{b.channel, b.bank}];
  }
  std::vector<std::uint8_t> block(kErrorBlockBytes, 0);
  std::uint8_t records = 0;
  const unsigned banks = std::max<unsigned>(config.flashBanks, 1);
  for (const auto& [die, count] : counts) {
    if (count <= limit || 1 + 16 * (records + 1u) > block.size()) continue;
    const std::size_t at = 1 + 16 * std::size_t{records};
    block[at] = kRecordTooManyBadBlocks;
    block[at + 1] = die.first;
    block[at + 2] = static_cast<std::uint8_t>(die.second % banks);
    block[at + 3] = static_cast<std::uint8_t>(die.second / banks);
    bytes::putLe16(block, at + 4, static_cast<std::uint16_t>(std::min<std::size_t>(count, 0xffff)));
    ++records;
  }
  if (records == 0) return {};
  block[0] = records;
  return block;
}

BadBlockBook bookFor(const DriveConfig& config, bool keepLater) {
  BadBlockBook book{.built = true, .early = config.factoryBadBlocks, .later = {}};
  for (BadBlock b : config.laterBadBlocks) {
    if (keepLater) {
      book.later.push_back(b);
    } else {
      if (b.type == 0) b.type = kScanFound;
      book.early.push_back(b);
    }
  }
  return book;
}

void writeTables(const DriveConfig& config, const Layout& layout, const BadBlockBook& book, FlashArray& flash) {
  writeLoaderPages(config, layout, book, flash);
  writeLaterTables(config, layout, book, flash);
}

}  // namespace

BadBlockBook initialBook(const DriveConfig& config, FlashArray& flash) {
  const auto layout = layoutOf(config, flash);
  if (!config.tablesBuilt || !layout) return {};
  BadBlockBook book = bookFor(config, true);
  writeTables(config, *layout, book, flash);
  return book;
}

PreformatOutcome preformat(const DriveConfig& config, std::uint8_t options, FlashArray& flash, BadBlockBook& book) {
  if (config.preformatBadBlockLimit) {
    auto report = tooManyBadBlocks(config, *config.preformatBadBlockLimit);
    if (!report.empty()) return {.status = kPreformatTooManyBadBlocks, .errorBlock = std::move(report)};
  }
  const auto layout = layoutOf(config, flash);
  if (!layout) return {.status = kPreformatTooManyBadBlocks, .errorBlock = {}};
  book = bookFor(config, (options & kKeepLaterTables) != 0);
  writeTables(config, *layout, book, flash);
  return {};
}

std::vector<std::uint8_t> badBlockList(const BadBlockBook& book, std::uint8_t channel, std::uint8_t bank) {
  std::vector<std::uint8_t> reply(kListEntries, 0);
  if (!book.built) return reply;
  const std::size_t most = (kListReplyBytes - kListEntries) / 4;
  std::size_t n = 0;
  for (const auto* list : {&book.early, &book.later}) {
    for (const BadBlock* b : ofChannelAndBank(*list, channel, bank)) {
      if (n == most) break;
      reply.resize(reply.size() + 4, 0);
      bytes::putLe16(reply, kListEntries + 4 * n, b->block);
      reply[kListEntries + 4 * n + 2] = b->type;
      ++n;
    }
  }
  bytes::putLe16(reply, kListCount, static_cast<std::uint16_t>(n));
  return reply;
}

std::uint8_t chipEnableOfBank(const DriveConfig& config, std::uint8_t bank) {
  const auto geometry = decodeFlashTypeWord(config.flashTypeWord);
  const auto ids = chipEnableIds(config.flashBanks, config.flashChipEnables);
  if (!geometry || ids.empty()) return bank;
  if (bank >= unsigned{config.flashBanks} * geometry->planes) return bank;
  return ids[(bank % config.flashBanks) % ids.size()];
}

}  // namespace drivesim::detail
