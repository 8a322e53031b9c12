#include "devlib/bad_block_tables.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>
#include <vector>

#include "byte_fields.h"
#include "devlib/controller_access.h"
#include "devlib/debug_print.h"
#include "devlib/device_config.h"
#include "devlib/drive_state.h"
#include "devlib/flash_geometry.h"
#include "devlib/flash_params.h"
#include "devlib/port_buffers.h"
#include "devlib/port_io.h"
#include "devlib/ram_code.h"
#include "devlib/raw_dump.h"

namespace devlib {
namespace {

constexpr std::size_t kSectorBytes = 512;
constexpr std::size_t kTableSectors = kTableBufferSize / kSectorBytes;
constexpr std::size_t kLoaderSlots = 4;
constexpr std::size_t kLoaderHeaderSectors = 8;

// The firmware hands a physical page over one channel per 16 KiB step, in
// two reads of the same length.
constexpr std::size_t kPhysicalStep = 16 * 1024;

// Limits of the port buffers' layouts.
constexpr unsigned kMaxBankIndices = 16;  // slots of 16 bank groups in the later tables and erase counts
constexpr unsigned kMaxPlanes = 4;        // planes per bank group slot
constexpr std::size_t kLaterSlotBytes = 64 * 1024;
constexpr std::size_t kLaterGroupBytes = 4 * kLaterSlotBytes;

constexpr int kEraseOperation = 1;
constexpr int kPreformatOperation = 3;
constexpr std::uint8_t kEraseOptionBit = 0x01;

// Table layouts.
constexpr std::size_t kSystemUnit0 = 16;
constexpr std::size_t kSystemUnits = 20;
constexpr std::size_t kLaterCount = 16;
constexpr std::size_t kLaterEntries = 32;
constexpr std::size_t kEntryBytes = 4;
constexpr std::uint16_t kEarlyCeMark = 0xFB00;
constexpr std::uint16_t kEarlyEndMark = 0xFE00;
constexpr std::uint16_t kMarkMask = 0xFF00;
constexpr std::uint16_t kBlockMask = 0x7FFF;

// The firmware's bad-block list: 64 sectors, count at 4, entries from 8.
constexpr std::size_t kListSectors = 64;
constexpr std::size_t kListBytes = kListSectors * kSectorBytes;
constexpr std::size_t kListCount = 4;
constexpr std::size_t kListEntries = 8;
constexpr std::size_t kListMostEntries = (kListBytes - kListEntries) / kEntryBytes;

constexpr int kEarlyBadType = 9;
constexpr int kUnknownType = 99;

constexpr const char* kLegend[] = {"ErrType 1 (Ecc Over)\r\n", "ErrType 3 (Prog Fail)\r\n",
                                   "ErrType 4 (Erase Fail)\r\n", "ErrType 5 (Ecc Fail)\r\n"};

TableSignature Signature(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d) {
  TableSignature s{a, b, c, d};
  constexpr char kTail[] = "KWFA3X-V001";  // and its 0 byte
  std::memcpy(s.data() + 4, kTail, sizeof kTail);
  return s;
}

void Zero(std::span<std::uint8_t> bytes) { std::fill(bytes.begin(), bytes.end(), std::uint8_t{0}); }

bool Refuse(const char* what, std::size_t needed, std::size_t held) {
  DebugPrint("%s refused: needs a buffer of %zu bytes, it holds %zu\n", what, needed, held);
  return false;
}

struct TableGeometry {
  unsigned channels = 0;
  unsigned banks = 0;
  unsigned planes = 0;
  unsigned bankIndices = 0;  // banks x planes
  std::size_t pageBytes = 0;
  unsigned pagesPerBlock = 0;
};

std::optional<TableGeometry> TableGeometryOf(const FlashParams& params, const char* what) {
  TableGeometry g{.channels = params.setting.channels,
                  .banks = params.setting.banks,
                  .planes = params.geometry.planes,
                  .bankIndices = 0u + params.setting.banks * params.geometry.planes,
                  .pageBytes = std::size_t{params.geometry.sectorsPerPage} * kSectorBytes,
                  .pagesPerBlock = params.geometry.pagesPerBlock};
  const bool fits = g.channels >= 1 && g.channels <= static_cast<unsigned>(kMaxChannels) && g.banks >= 1 &&
                    g.planes >= 1 && g.planes <= kMaxPlanes && g.bankIndices <= kMaxBankIndices && g.pageBytes > 0 &&
                    g.channels * g.pageBytes <= kTableBufferSize && g.pagesPerBlock >= 1;
  if (!fits) {
    DebugPrint("%s refused: %u channels, %u banks, %u planes, %zu-byte pages do not fit the table buffers\n", what,
               g.channels, g.banks, g.planes, g.pageBytes);
    return std::nullopt;
  }
  return g;
}

FlashPageAddress PageOf(std::uint16_t unit, std::uint8_t bank, std::uint16_t page, bool bch24) {
  return AllChannelsPage(bank, unit, page, bch24);
}

FlashPageAddress PageOf(std::uint16_t unit, std::uint8_t bank, std::uint16_t page, const FlashParams& params) {
  return PageOf(unit, bank, page, params.setting.eccMode == 2);
}

// How many channels' parts a physical page read of `sectors` carries.
unsigned PartsCarried(std::size_t sectors, std::size_t pageBytes, unsigned channels) {
  const std::size_t steps = (sectors * kSectorBytes + kPhysicalStep - 1) / kPhysicalStep;
  return static_cast<unsigned>(std::min<std::size_t>({2 * steps, kTableBufferSize / pageBytes, channels}));
}

// The unit a table block is read by: the block itself on a loader device.
std::uint16_t UnitOf(std::uint16_t block, bool loader, const FlashParams& params) {
  return loader ? block : BlockToUnit(block, params.setting, params.geometry);
}

}  // namespace

const TableSignature& SignatureOf(TableKind kind) {
  static const TableSignature kDefect = Signature(0xE9, 0x86, 0xAA, 0x55);
  static const TableSignature kEarly = Signature(0x45, 0x79, 0xAA, 0x55);
  static const TableSignature kRemap = Signature(0x9E, 0x68, 0x55, 0xAA);
  static const TableSignature kLater = Signature(0xE8, 0xDC, 0x55, 0xAA);
  static const TableSignature kSystem = Signature('S', 'Y', 'S', 'P');
  switch (kind) {
    case TableKind::Defect: return kDefect;
    case TableKind::EarlyBad: return kEarly;
    case TableKind::Remap: return kRemap;
    case TableKind::Later: return kLater;
    case TableKind::System: return kSystem;
  }
  return kDefect;
}

bool HasTableSignature(std::span<const std::uint8_t> part, TableKind kind) {
  const TableSignature& signature = SignatureOf(kind);
  return part.size() >= signature.size() && std::equal(signature.begin(), signature.end(), part.begin());
}

std::uint8_t PreformatOptionBits(std::uint8_t loadOption, const PreformatFlags& flags) {
  std::uint8_t bits = loadOption | kPreformatAlways;
  if (flags.erase) bits |= kPreformatErase;
  if (flags.later) bits |= kPreformatLater;
  if (flags.repair) bits |= kPreformatRepair;
  if (flags.keepEraseCount) bits |= kPreformatKeepEraseCount;
  return bits;
}

bool Preformat(int port, std::span<std::uint8_t> buffer, const PreformatFlags& flags, std::uint32_t ramAddress) {
  if (PortIo(port) == nullptr) return false;
  if (buffer.size() < kTableBufferSize) return Refuse("Preformat", kTableBufferSize, buffer.size());

  // The erase-count tables to write back must be this drive's, all of them:
  // a slot SaveEraseCounts did not fill for it holds nothing, or another drive's.
  std::shared_ptr<PortBuffers> buffers;
  std::optional<TableGeometry> geometry;
  if (flags.keepEraseCount) {
    buffers = PortBuffersOf(port);
    geometry = TableGeometryOf(*ParamsOfPort(port), "Erase count write-back");
    const EraseCountSlots saved = TakeSavedEraseCountSlots(port);
    bool complete = buffers != nullptr && geometry.has_value();
    for (unsigned i = 0; complete && i < geometry->bankIndices; ++i) {
      for (unsigned j = 0; complete && j < geometry->channels; ++j) {
        complete = saved.test(i + kEraseCountSlotsPerChannel * j);
      }
    }
    if (!complete) {
      DebugPrint("Preformat refused: the erase counts of this drive were not all saved\n");
      buffer[0] = 0;
      return false;
    }
  }

  std::uint8_t loadOption = 0;
  if (!LoadRamCode(port, buffer, loadOption, ramAddress)) return false;

  if (flags.erase) {
    std::uint8_t status = 0;
    const bool ended = RunOperationAndWait(port, kEraseOperation, loadOption | kEraseOptionBit, status, false);
    if (!ended || status != kStatusOperation1Done) {
      DebugPrint("Preformat: the erase ended with status 0x%02X\n", status);
      return false;
    }
  }

  if (flags.keepEraseCount) {
    const std::span<std::uint8_t> counts = buffers->workBuffer4();
    const std::span<std::uint8_t> table = buffer.first(kEraseCountSlotSize);
    for (unsigned i = 0; i < geometry->bankIndices; ++i) {
      for (unsigned j = 0; j < geometry->channels; ++j) {
        const std::size_t slot = i + kEraseCountSlotsPerChannel * j;
        std::copy_n(counts.begin() + static_cast<std::ptrdiff_t>(slot * kEraseCountSlotSize), kEraseCountSlotSize,
                    table.begin());
        WriteDebugDumpNamed(port, table, "99_%2.2x_%2.2x.raw", i, j);
        if (!WriteEraseCounts(port, table, kEraseCountSlotSize / kSectorBytes, static_cast<std::uint8_t>(j),
                              static_cast<std::uint8_t>(i))) {
          // Operation 3 would take the counts it holds for this die as the drive's.
          DebugPrint("Preformat: the erase counts of bank index %u, channel %u could not be written back\n", i, j);
          buffer[0] = 0;
          return false;
        }
      }
    }
  }

  std::uint8_t status = 0;
  const bool ended = RunOperationAndWait(port, kPreformatOperation, PreformatOptionBits(loadOption, flags), status, true);
  if (ended && status == kStatusPreformatDone) return true;
  ReadFailureReport(port, buffer);
  return false;
}

bool CheckTables(int port, std::span<std::uint8_t> buffer) {
  const PortIoRecord* record = PortIo(port);
  if (record == nullptr) return false;
  if (buffer.size() < kTableBufferSize) return Refuse("Table check", kTableBufferSize, buffer.size());
  EnsureFirmwareRunning(port, buffer);
  // Without this drive's configuration the loader block and the geometry
  // would be another drive's: nothing could be checked.
  if (!LoadDeviceConfig(port, buffer, 0)) {
    buffer[0] = kDefectTableMissing;
    return false;
  }
  const std::shared_ptr<const FlashParams> params = ParamsOfPort(port);
  const std::optional<TableGeometry> geometry = TableGeometryOf(*params, "Table check");
  if (!geometry) {
    buffer[0] = kDefectTableMissing;
    return false;
  }

  struct Page {
    std::uint16_t number;
    TableKind kind;
    std::uint8_t code;
  };
  std::vector<Page> pages = {{kDefectTablePage, TableKind::Defect, kDefectTableMissing},
                             {kEarlyBadPage, TableKind::EarlyBad, kEarlyBadListMissing}};
  if (params->firmwareOptions[kFirmwareOptionRemap] != 0) {
    pages.push_back({kRemapTablePage, TableKind::Remap, kRemapTableMissing});
  }

  const std::uint16_t block = record->loaderBlocks[0];
  const std::uint16_t unit = UnitOf(block, IsLoaderDevice(port), *params);
  const std::size_t sectors = std::size_t{params->geometry.sectorsPerPage} * 8;
  const unsigned parts = PartsCarried(sectors, geometry->pageBytes, geometry->channels);
  // A download file count of 0 still checks the tables once.
  const unsigned rounds = std::max<unsigned>(params->loaderFileTable.fileCount, 1);
  for (unsigned round = 0; round < rounds; ++round) {
    for (const Page& page : pages) {
      bool present = ReadFlashPage(port, *params, PageOf(unit, 0, page.number, *params), block, buffer, sectors);
      for (unsigned c = 0; present && c < parts; ++c) {
        present = HasTableSignature(buffer.subspan(c * geometry->pageBytes, geometry->pageBytes), page.kind);
      }
      if (!present) {
        buffer[0] = page.code;
        return false;
      }
    }
  }
  return true;
}

int ReadBadBlockTables(int port, std::span<std::uint8_t> buffer) {
  const PortIoRecord* record = PortIo(port);
  if (record == nullptr) return 0;
  if (buffer.size() < kTableBufferSize) return Refuse("Bad-block table read", kTableBufferSize, buffer.size());
  const std::shared_ptr<PortBuffers> buffers = PortBuffersOf(port);
  if (!buffers) return 0;
  const std::span<std::uint8_t> earlyPage = buffers->workBuffer2();
  const std::span<std::uint8_t> laterTables = buffers->workBuffer3();
  Zero(earlyPage);
  Zero(laterTables);

  const std::shared_ptr<const FlashParams> params = ParamsOfPort(port);
  const std::optional<TableGeometry> geometry = TableGeometryOf(*params, "Bad-block table read");
  if (!geometry) return 0;
  const std::span<std::uint8_t> page = buffer.first(kTableBufferSize);

  std::optional<std::size_t> found;
  for (std::size_t i = 0; i < kLoaderSlots && !found; ++i) {
    const auto probe = static_cast<std::uint16_t>(i);
    if (!ReadFlashPage(port, *params, PageOf(probe, 0, 0, false), probe, page, kLoaderHeaderSectors)) return 0;
    if (IsLoaderHeader(page)) found = i;
  }
  if (!found) return 0;

  const bool loader = IsLoaderDevice(port);
  const std::uint16_t block = record->loaderBlocks[*found];
  const std::uint16_t unit = UnitOf(block, loader, *params);
  std::vector<std::uint8_t> result(kLaterSlotBytes);

  if (ReadFlashPage(port, *params, PageOf(unit, 0, kEarlyBadPage, *params), block, page, kTableSectors)) {
    std::copy(page.begin(), page.end(), earlyPage.begin());
  }
  if (!ReadFlashPage(port, *params, PageOf(unit, 0, kSystemPage, *params), block, page, kTableSectors) ||
      !HasTableSignature(page, TableKind::System)) {
    return 1;
  }
  const std::uint16_t firstUnit = detail::GetLittleEndian16(page, kSystemUnit0);
  const std::uint16_t otherUnits = detail::GetLittleEndian16(page, kSystemUnits);

  for (unsigned g = 0; g < geometry->bankIndices; ++g) {
    for (unsigned k = 0; k < geometry->planes; ++k) {
      Zero(result);
      const std::uint16_t base = g == 0 && k == 0 ? firstUnit : otherUnits;
      const std::uint16_t tableBlock = UnitToBlock(base, params->setting, params->geometry);
      const std::uint16_t tableUnit = UnitOf(tableBlock, loader, *params);
      for (unsigned p = 1; p < geometry->pagesPerBlock; ++p) {
        const FlashPageAddress at = PageOf(tableUnit, static_cast<std::uint8_t>(g), static_cast<std::uint16_t>(p), *params);
        if (!ReadFlashPage(port, *params, at, tableBlock, page, kTableSectors)) return 0;
        WriteDebugDumpNamed(port, page, "LB_%2.2d%2.2d%3.3d.raw", g, k, p - 1);
        bool any = false;
        for (unsigned c = 0; c < geometry->channels; ++c) {
          const std::size_t offset = c * geometry->pageBytes;
          const auto part = page.subspan(offset, geometry->pageBytes);
          if (!HasTableSignature(part, TableKind::Later)) continue;
          std::copy(part.begin(), part.end(), result.begin() + static_cast<std::ptrdiff_t>(offset));
          any = true;
        }
        if (!any) break;
      }
      const std::size_t slot = std::size_t{g} * kMaxPlanes + k;
      std::copy(result.begin(), result.end(), laterTables.begin() + static_cast<std::ptrdiff_t>(slot * kLaterSlotBytes));
    }
  }
  return 1;
}

namespace {

// The blocks an early-bad list part names for CE `ce`, walked no further
// than its part. False when the walk found no end word.
bool EarlyBlocksOf(std::span<const std::uint8_t> part, unsigned ce, std::vector<std::uint16_t>& blocks) {
  unsigned current = 0;
  for (std::size_t at = kTableSignatureSize; at + 2 <= part.size(); at += 2) {
    const std::uint16_t w = detail::GetLittleEndian16(part, at);
    if ((w & kMarkMask) == kEarlyCeMark) {
      current = w & 0xFFu;
    } else if ((w & kMarkMask) == kEarlyEndMark) {
      return true;
    } else if (current == ce) {
      blocks.push_back(static_cast<std::uint16_t>(w & kBlockMask));
    }
  }
  return false;
}

std::optional<int> ColumnOf(int type) {
  switch (type) {
    case kEarlyBadType: return 0;
    case 4: return 1;
    case 3: return 2;
    case 5: return 3;
    case 1: return 4;
    default: return std::nullopt;
  }
}

}  // namespace

BadBlockCount CountBadBlocks(int port, std::span<std::uint8_t> buffer, std::span<BadBlockCounterRow> counters,
                             BadBlockCounterRow& totals, std::string* legend) {
  BadBlockCount count;
  if (PortIo(port) == nullptr) return count;
  if (buffer.size() < kTableBufferSize) {
    Refuse("Bad-block count", kTableBufferSize, buffer.size());
    return count;
  }
  const std::shared_ptr<PortBuffers> buffers = PortBuffersOf(port);
  if (!buffers) return count;
  LoadDeviceConfig(port, buffer, 0);
  ReadBadBlockTables(port, buffer);

  const std::shared_ptr<const FlashParams> params = ParamsOfPort(port);
  const std::optional<TableGeometry> geometry = TableGeometryOf(*params, "Bad-block count");
  if (!geometry) return count;
  const unsigned rows = geometry->channels * geometry->banks;
  if (rows > counters.size()) {
    DebugPrint("Bad-block count refused: %u rows, the counter table holds %zu\n", rows, counters.size());
    return count;
  }
  if (legend != nullptr) {
    for (const char* line : kLegend) legend->append(line);
  }

  const std::span<const std::uint8_t> earlyPage = buffers->workBuffer2();
  const std::span<const std::uint8_t> laterTables = buffers->workBuffer3();
  const std::size_t p = geometry->pageBytes;
  const std::span<std::uint8_t> list = buffer.first(kTableBufferSize);
  for (unsigned i = 0; i < geometry->bankIndices; ++i) {
    for (unsigned j = 0; j < geometry->channels; ++j) {
      // A failed read counts no entries, never the bytes an earlier read left.
      Zero(list);
      if (!ReadBadBlockList(port, list, kListSectors, static_cast<std::uint8_t>(j), static_cast<std::uint8_t>(i))) {
        ++count.unreadLists;
        Zero(list);
      }
      WriteDebugDumpNamed(port, list, "SB_%2.2d%2.2d.raw", j, i);

      const auto early = earlyPage.subspan(j * p, p);
      if (!HasTableSignature(early, TableKind::EarlyBad)) {
        count.channelsWithoutEarlyList |= static_cast<std::uint8_t>(1u << j);
        continue;
      }
      std::vector<std::uint16_t> earlyBlocks;
      if (!EarlyBlocksOf(early, i, earlyBlocks)) count.malformed = true;

      const std::size_t laterAt = std::size_t{i} * kLaterGroupBytes + (i / geometry->banks) * kLaterSlotBytes + j * p;
      const auto later = laterTables.subspan(laterAt, p);
      const bool hasLater = HasTableSignature(later, TableKind::Later);
      std::size_t laterEntries = hasLater ? detail::GetLittleEndian16(later, kLaterCount) : 0;
      if (laterEntries > (p - kLaterEntries) / kEntryBytes) {
        laterEntries = (p - kLaterEntries) / kEntryBytes;
        count.malformed = true;
      }

      std::size_t entries = detail::GetLittleEndian16(list, kListCount);
      if (entries > kListMostEntries) {
        entries = kListMostEntries;
        count.malformed = true;
      }
      for (std::size_t e = 0; e < entries; ++e) {
        const std::uint16_t b = detail::GetLittleEndian16(list, kListEntries + kEntryBytes * e);
        int type = kUnknownType;
        for (std::size_t k = 0; k < laterEntries; ++k) {
          const std::size_t at = kLaterEntries + kEntryBytes * k;
          if (detail::GetLittleEndian16(later, at) != b) continue;
          type = later[at + 2];
          break;
        }
        if (std::find(earlyBlocks.begin(), earlyBlocks.end(), b) != earlyBlocks.end()) type = kEarlyBadType;
        const std::optional<int> column = ColumnOf(type);
        if (!column) {
          DebugPrint("err bad block type=%d\n", type);
          continue;
        }
        counters[(i % geometry->banks) * geometry->channels + j][static_cast<std::size_t>(*column)] += 1;
      }
    }
  }

  totals.fill(0);
  for (unsigned r = 0; r < rows; ++r) {
    for (int c = 0; c < kBadBlockColumns; ++c) totals[static_cast<std::size_t>(c)] += counters[r][static_cast<std::size_t>(c)];
  }
  count.rows = static_cast<int>(rows);
  return count;
}

}  // namespace devlib
