#include "devlib/firmware_download.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string_view>

#include "byte_fields.h"
#include "devlib/bad_block_tables.h"
#include "devlib/controller_access.h"
#include "devlib/debug_print.h"
#include "devlib/device_config.h"
#include "devlib/firmware_page.h"
#include "devlib/flash_geometry.h"
#include "devlib/port_io.h"
#include "devlib/ram_code.h"
#include "devlib/raw_dump.h"
#include "devlib/table_text.h"
#include "devlib/vendor_commands.h"
#include "devlib/vendor_protocol.h"
#include "platform/paths.h"

namespace devlib {
namespace {

using detail::GetLittleEndian16;
using detail::PutLittleEndian16;
using detail::PutLittleEndian32;
using detail::PutText;

constexpr std::size_t kSectorBytes = 512;
constexpr std::size_t kKindAt = 0x300;
constexpr std::size_t kModeAt = 0x30D;
// The parameter block and the firmware tail end here; a page must reach it.
constexpr std::size_t kMinFirmwarePageBytes = kParamBlockAt + kParamBlockSize;
constexpr std::uint8_t kInitOption = 0x10;
constexpr std::uint8_t kLoaderBlockFlags = 7;
constexpr std::size_t kTableReadBlockIndex = 2;

// Loader header layout.
constexpr char kBlocksText[] = "LDBK BLOCKS V30";
constexpr char kControllerText[] = "A4X V2 ";
constexpr char kConfigText[] = "LDBK CONFIG V30";
constexpr std::size_t kChannelAt = 24;
constexpr std::size_t kSectorsPerPageAt = 25;
constexpr std::size_t kPagesPerBlockAt = 26;
constexpr std::size_t kBlockListAt = 32;
constexpr std::size_t kConfigAt = 512;
constexpr std::size_t kSequenceAt = 528;
constexpr std::size_t kFileAreaPointerAt = 536;
constexpr std::size_t kRegisterAreaPointerAt = 540;
constexpr std::size_t kFirstPageAt = 564;
constexpr std::size_t kLastPageAt = 566;
constexpr std::size_t kRegisterCountAt = 640;
constexpr std::size_t kRegisterTableAt = 644;
constexpr std::uint16_t kRegisterCount = 12;
constexpr std::uint32_t kRegisterBase = 0xB0004920;
constexpr std::size_t kHeaderEnd = kRegisterTableAt + 60;

// System page words.
constexpr std::size_t kSystemGroup0At = 16;
constexpr std::size_t kSystemOthersAt = 20;
constexpr std::size_t kSystemMarkAt = 1024;
constexpr std::size_t kSystemAlternateAt = 1026;
constexpr std::uint16_t kSystemMark = 0x5451;

constexpr std::size_t kControllerSequenceAt = 44;

std::mutex listMutex;
std::shared_ptr<const DownloadFileList> publishedList;

bool Succeeded(int result) { return result == kCommandOk; }

void Clear(std::span<std::uint8_t> bytes, std::size_t from, std::size_t to) {
  std::fill(bytes.begin() + static_cast<std::ptrdiff_t>(from), bytes.begin() + static_cast<std::ptrdiff_t>(to),
            std::uint8_t{0});
}

bool HasText(std::span<const std::uint8_t> page, std::size_t at, std::string_view text) {
  if (page.size() < at + text.size()) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (page[at + i] != static_cast<std::uint8_t>(text[i])) return false;
  }
  return true;
}

std::size_t PageBytes(const FlashParams& params) { return std::size_t{params.geometry.sectorsPerPage} * kSectorBytes; }
std::size_t Channels(const FlashParams& params) { return params.setting.channels; }
bool RemapEnabled(const FlashParams& params) { return params.firmwareOptions[kFirmwareOptionRemap] != 0; }
bool Ecc24(const FlashParams& params) { return params.setting.eccMode == 2; }

std::uint16_t PagesFor(std::uint64_t sizeKB, std::uint8_t sectorsPerPage) {
  const std::uint64_t perPage = sectorsPerPage / 2;
  return static_cast<std::uint16_t>(std::min<std::uint64_t>((sizeKB + perPage - 1) / perPage, 0xFFFF));
}

// The page geometry a download works with; refused with a debug line when the
// firmware tail would not fit a page or the channels' pages a 64 KiB slot.
bool UsableGeometry(const FlashParams& params, int port) {
  const std::size_t pageBytes = PageBytes(params);
  const std::size_t channels = Channels(params);
  if (pageBytes < kMinFirmwarePageBytes) {
    DebugPrint("Download on port %d refused: a page of %zu bytes cannot hold the firmware parameters\n", port,
               pageBytes);
    return false;
  }
  if (channels == 0 || channels > static_cast<std::size_t>(kMaxChannels) || channels * pageBytes > kTableStoreSlot) {
    DebugPrint("Download on port %d refused: %zu channels of %zu-byte pages\n", port, channels, pageBytes);
    return false;
  }
  return true;
}

// Words of an early-bad list part that name blocks, up to its end word; a
// part without an end word is counted to its end.
std::uint32_t CountEarlyBadBlocks(std::span<const std::uint8_t> part) {
  std::uint32_t count = 0;
  for (std::size_t at = kTableSignatureSize; at + 2 <= part.size(); at += 2) {
    const std::uint8_t high = part[at + 1];
    if (high == 0xFE) break;
    if (high != 0xFB) ++count;
  }
  return count;
}

bool SignatureFailure(std::span<std::uint8_t> buffer, std::uint8_t code, std::size_t channel,
                      std::span<const std::uint8_t> part) {
  if (buffer.size() >= 2 + part.size()) {
    buffer[0] = code;
    buffer[1] = static_cast<std::uint8_t>(channel);
    std::copy(part.begin(), part.end(), buffer.begin() + 2);
  }
  return false;
}

}  // namespace

std::vector<std::uint16_t> LoaderTablePages(bool remapEnabled) {
  if (remapEnabled) return {kDefectTablePage, kEarlyBadPage, kRemapTablePage, kSystemPage};
  return {kDefectTablePage, kEarlyBadPage, kSystemPage};
}

std::optional<DownloadFileList> BuildDownloadFileList(std::vector<std::filesystem::path> names,
                                                      std::uint8_t sectorsPerPage) {
  if (names.size() < kMinDownloadFiles || names.size() > kMaxDownloadFiles) {
    DebugPrint("Download list of %zu files refused: Init.bin and one or two bin files\n", names.size());
    return std::nullopt;
  }
  if (sectorsPerPage < 2) {
    DebugPrint("Download list refused: %u sectors per page\n", sectorsPerPage);
    return std::nullopt;
  }
  DownloadFileList list;
  list.sectorsPerPage = sectorsPerPage;
  std::uint32_t next = kFirstFirmwarePage;
  for (const std::filesystem::path& name : names) {
    DownloadFile file;
    file.name = platform::paths::resolve(name.string());
    std::error_code error;
    if (!std::filesystem::is_regular_file(file.name, error)) {
      DebugPrint("Can't open: %s\n", file.name.c_str());
      return std::nullopt;
    }
    file.sizeBytes = GetFileSize(file.name);
    file.sizeKB = static_cast<std::uint32_t>(GetFileSizeKB(file.name));
    file.pageCount = PagesFor(file.sizeKB, sectorsPerPage);
    file.startPage = static_cast<std::uint16_t>(next);
    next += file.pageCount;
    if (next > 0xFFFF) {
      DebugPrint("Download list refused: %s ends beyond page 0xFFFF\n", file.name.c_str());
      return std::nullopt;
    }
    list.files.push_back(std::move(file));
  }
  return list;
}

void PublishDownloadFileList(std::shared_ptr<const DownloadFileList> list) {
  if (list) {
    // The parameter blocks name the first file's start page from here.
    FlashParams params = *CurrentFlashParams();
    params.loaderFileTable = LoaderFileTableOf(*list);
    PublishFlashParams(std::move(params));
  }
  const std::lock_guard lock(listMutex);
  publishedList = std::move(list);
}

std::shared_ptr<const DownloadFileList> CurrentDownloadFileList() {
  const std::lock_guard lock(listMutex);
  return publishedList;
}

LoaderFileTable LoaderFileTableOf(const DownloadFileList& list) {
  LoaderFileTable table;
  const std::size_t count = std::min(list.files.size(), kLoaderFileSlots);
  table.fileCount = static_cast<std::uint8_t>(count);
  for (std::size_t i = 0; i < count; ++i) table.files[i] = {list.files[i].startPage, list.files[i].pageCount};
  return table;
}

bool ReadTablePages(int port, std::span<std::uint8_t> store) {
  const PortIoRecord* record = PortIo(port);
  const std::shared_ptr<const FlashParams> params = ParamsOfPort(port);
  if (record == nullptr || store.size() < kTableStoreSize || !UsableGeometry(*params, port)) return false;
  if (record->loaderBlockCount <= kTableReadBlockIndex) {
    DebugPrint("Table read on port %d: only %u loader blocks known\n", port, record->loaderBlockCount);
    return false;
  }
  const std::size_t bytes = Channels(*params) * PageBytes(*params);
  const std::uint16_t block = record->loaderBlocks[kTableReadBlockIndex];
  std::size_t slot = 0;
  for (const std::uint16_t page : LoaderTablePages(RemapEnabled(*params))) {
    const std::span<std::uint8_t> part = store.subspan(slot * kTableStoreSlot, bytes);
    if (!Succeeded(SendReadFlashPages(port, AllChannelsPage(0, block, page, Ecc24(*params)), part, bytes / kSectorBytes))) {
      DebugPrint("Table page %u of block %u cannot be read on port %d\n", page, block, port);
      return false;
    }
    WriteDebugDumpNamed(port, part, "10_TP%02X.raw", page);
    ++slot;
  }
  return true;
}

bool WriteTablePages(int port, std::span<std::uint8_t> buffer, std::span<const std::uint8_t> store) {
  const std::shared_ptr<const FlashParams> params = ParamsOfPort(port);
  if (PortIo(port) == nullptr || store.size() < kTableStoreSize || !UsableGeometry(*params, port)) return false;
  const std::size_t bytes = Channels(*params) * PageBytes(*params);
  if (buffer.size() < bytes) return false;
  std::size_t slot = 0;
  for (const std::uint16_t page : LoaderTablePages(RemapEnabled(*params))) {
    const std::span<const std::uint8_t> part = store.subspan(slot * kTableStoreSlot, bytes);
    std::copy(part.begin(), part.end(), buffer.begin());
    WriteDebugDumpNamed(port, buffer.first(bytes), "10_WT%02X.raw", page);
    if (!WriteAllLoaderBlocks(port, page, Ecc24(*params), 0, buffer, bytes / kSectorBytes)) return false;
    ++slot;
  }
  return true;
}

bool CheckTableStore(int port, std::span<std::uint8_t> buffer, std::span<const std::uint8_t> store,
                     const std::filesystem::path& defectTextFile, int versionCode) {
  PortIoRecord* record = PortIo(port);
  const std::shared_ptr<const FlashParams> snapshot = ParamsOfPort(port);
  const FlashParams& params = *snapshot;
  if (record == nullptr || store.size() < kTableStoreSize || !UsableGeometry(params, port)) return false;
  const std::size_t pageBytes = PageBytes(params);
  const bool remap = RemapEnabled(params);
  const auto slot = [&](std::size_t index) { return store.subspan(index * kTableStoreSlot, kTableStoreSlot); };
  const std::size_t systemSlot = remap ? 3 : 2;
  const bool severalUnits = params.setting.banks * std::max<unsigned>(params.geometry.planes, 1) > 1;

  std::optional<std::array<std::uint16_t, 4>> layoutWords;
  for (std::size_t channel = 0; channel < Channels(params); ++channel) {
    const auto part = [&](std::size_t index) { return slot(index).subspan(channel * pageBytes, pageBytes); };
    if (!HasTableSignature(part(0), TableKind::Defect)) {
      return SignatureFailure(buffer, kDefectSignatureFailed, channel, part(0));
    }
    // The defect report holds every channel's table, not channel 0's alone,
    // so that it tells the whole drive and can be put back.
    if (channel == 0 && params.enSaveDefectTable != 0 &&
        !WriteTableText(slot(0).first(Channels(params) * pageBytes), Channels(params) * params.geometry.sectorsPerPage,
                        defectTextFile, versionCode, params)) {
      DebugPrint("Defect table text %s cannot be written on port %d\n", defectTextFile.c_str(), port);
    }
    if (!HasTableSignature(part(1), TableKind::EarlyBad)) {
      return SignatureFailure(buffer, kEarlyBadSignatureFailed, channel, part(1));
    }
    if (remap && !HasTableSignature(part(2), TableKind::Remap)) {
      return SignatureFailure(buffer, kRemapSignatureFailed, channel, part(2));
    }
    const std::span<const std::uint8_t> system = part(systemSlot);
    if (HasTableSignature(system, TableKind::System)) {
      const std::uint16_t group0 = GetLittleEndian16(system, kSystemGroup0At);
      const std::uint16_t first = GetLittleEndian16(system, kSystemMarkAt) == kSystemMark
                                      ? GetLittleEndian16(system, kSystemAlternateAt)
                                      : group0;
      std::array<std::uint16_t, 4> words{static_cast<std::uint16_t>(first + 1), 1, group0, 0};
      if (severalUnits) {
        words[3] = GetLittleEndian16(system, kSystemOthersAt);
        words[1] = static_cast<std::uint16_t>(words[3] + 1);
      }
      layoutWords = words;
    }
  }
  if (!layoutWords) DebugPrint("No system page signature on port %d: layout words set to 0\n", port);
  record->layoutWords = layoutWords.value_or(std::array<std::uint16_t, 4>{});
  std::uint32_t layoutValue = 0;
  for (std::size_t channel = 0; channel < Channels(params); ++channel) {
    const std::span<const std::uint8_t> part = slot(1).subspan(channel * pageBytes, pageBytes);
    if (HasTableSignature(part, TableKind::EarlyBad)) layoutValue += CountEarlyBadBlocks(part);
  }
  record->layoutValue = layoutValue;
  return true;
}

bool ReinitRamCode(int port, std::span<std::uint8_t> buffer, std::uint32_t ramAddress) {
  std::uint8_t option = 0;
  if (!LoadRamCode(port, buffer, option, ramAddress)) return false;
  std::uint8_t status = 0;
  if (!RunOperationAndWait(port, 1, static_cast<std::uint8_t>(option | kInitOption), status, false)) return false;
  if (status != kStatusOperation1Done) {
    DebugPrint("RAM code re-initialisation on port %d ended with status %u\n", port, status);
    return false;
  }
  return true;
}

std::optional<std::vector<OpenedDownloadFile>> OpenDownloadFiles(const DownloadFileList& list,
                                                                 const FlashParams& params) {
  if (list.files.size() < kMinDownloadFiles || list.files.size() > kMaxDownloadFiles) {
    DebugPrint("Download list of %zu files refused\n", list.files.size());
    return std::nullopt;
  }
  if (list.sectorsPerPage != params.geometry.sectorsPerPage) {
    DebugPrint("Download list was built for %u sectors per page, the part has %u\n", list.sectorsPerPage,
               params.geometry.sectorsPerPage);
    return std::nullopt;
  }
  const std::size_t pageBytes = PageBytes(params);
  std::uint32_t pages = kFirstFirmwarePage;
  std::vector<OpenedDownloadFile> opened;
  for (std::size_t k = 0; k < list.files.size(); ++k) {
    const DownloadFile& entry = list.files[k];
    const char* name = entry.name.c_str();
    OpenedDownloadFile file{entry, std::ifstream(entry.name, std::ios::binary)};
    if (!file.stream) {
      DebugPrint("open %d-th bin file '%s' fail\n", static_cast<int>(k), name);
      return std::nullopt;
    }
    file.stream.seekg(0, std::ios::end);
    const auto size = static_cast<std::uint64_t>(std::max<std::streamoff>(file.stream.tellg(), 0));
    file.stream.seekg(0);
    if (size < entry.sizeBytes) {
      DebugPrint("Bin file '%s' is truncated: %llu bytes, %llu when the download list was built\n", name,
                 static_cast<unsigned long long>(size), static_cast<unsigned long long>(entry.sizeBytes));
      return std::nullopt;
    }
    const std::uint64_t sizeKB = (size + 1023) / 1024;
    if (PagesFor(sizeKB, list.sectorsPerPage) != entry.pageCount) {
      DebugPrint("Bin file '%s' has changed: %llu bytes, no longer %u pages\n", name,
                 static_cast<unsigned long long>(size), entry.pageCount);
      return std::nullopt;
    }
    std::vector<std::uint8_t> first(pageBytes, 0xFF);
    file.stream.read(reinterpret_cast<char*>(first.data()), static_cast<std::streamsize>(pageBytes));
    file.stream.clear();
    file.stream.seekg(0);
    const std::string_view header = k == 0 ? "INT" : "KWSS";
    if (!HasText(first, kKindAt, header)) {
      DebugPrint("Bin file '%s' has a wrong header: no \"%.*s\" at 0x300\n", name, static_cast<int>(header.size()),
                 header.data());
      return std::nullopt;
    }
    pages += entry.pageCount;
    opened.push_back(std::move(file));
  }
  if (pages > params.geometry.pagesPerBlock) {
    DebugPrint("Download files need pages 8..%u, a loader block holds %u pages\n", pages - 1,
               params.geometry.pagesPerBlock);
    return std::nullopt;
  }
  return opened;
}

bool BuildLoaderHeader(int port, std::span<std::uint8_t> page, std::uint16_t sequence) {
  const PortIoRecord* record = PortIo(port);
  const std::shared_ptr<const FlashParams> snapshot = ParamsOfPort(port);
  const FlashParams& params = *snapshot;
  const std::size_t pageBytes = PageBytes(params);
  const std::size_t channels = Channels(params);
  if (record == nullptr || pageBytes < kHeaderEnd || channels == 0 || channels > kChannelSlots ||
      page.size() < channels * pageBytes) {
    return false;
  }
  const std::shared_ptr<const DownloadFileList> list = CurrentDownloadFileList();
  const LoaderFileTable table = list ? LoaderFileTableOf(*list) : LoaderFileTable{};

  Clear(page, 0, 48);
  PutText(page, 0, kBlocksText);
  PutText(page, 16, kControllerText);
  page[kSectorsPerPageAt] = params.geometry.sectorsPerPage;
  PutLittleEndian16(page, kPagesPerBlockAt, DecodeFlashTypeWord(params.setting.typeWord).pagesPerBlock);
  const std::size_t blocks = std::min<std::size_t>(record->loaderBlockCount, record->loaderBlocks.size());
  for (std::size_t i = 0; i < blocks; ++i) {
    PutLittleEndian16(page, kBlockListAt + 4 * i, record->loaderBlocks[i]);
    PutLittleEndian16(page, kBlockListAt + 4 * i + 2, kLoaderBlockFlags);
  }

  Clear(page, kConfigAt, kConfigAt + 32);
  PutText(page, kConfigAt, kConfigText);
  PutLittleEndian16(page, kSequenceAt, sequence);
  PutLittleEndian32(page, kFileAreaPointerAt, kLoaderFileCountOffset);
  PutLittleEndian32(page, kRegisterAreaPointerAt, kRegisterCountAt);

  Clear(page, kLoaderFileCountOffset, kLoaderFileCountOffset + 40);
  page[kLoaderFileCountOffset] = table.fileCount;
  std::uint32_t pages = 0;
  for (std::size_t i = 0; i < table.fileCount; ++i) {
    PutLittleEndian16(page, kLoaderFileTableOffset + 4 * i, table.files[i].startPage);
    PutLittleEndian16(page, kLoaderFileTableOffset + 4 * i + 2, table.files[i].pageCount);
    pages += table.files[i].pageCount;
  }
  PutLittleEndian16(page, kFirstPageAt, kFirstFirmwarePage);
  PutLittleEndian16(page, kLastPageAt, static_cast<std::uint16_t>(kFirstFirmwarePage + pages - 1));

  Clear(page, kLoaderPartNameOffset, kLoaderPartNameOffset + kLoaderPartNameBytes);
  PutText(page, kLoaderPartNameOffset, params.setting.partName.view());
  PutLittleEndian16(page, kRegisterCountAt, kRegisterCount);
  for (std::uint32_t g = 0; g < 3; ++g) {
    const std::size_t at = kRegisterTableAt + 20 * g;
    for (std::uint32_t k = 0; k < 4; ++k) PutLittleEndian32(page, at + 4 * k, kRegisterBase + 4 * g + k);
    for (std::uint32_t k = 0; k < 4; ++k) page[at + 16 + k] = static_cast<std::uint8_t>(4 * g + k + 1);
  }

  ReplicatePage(page, pageBytes, channels);
  for (std::size_t channel = 0; channel < channels; ++channel) {
    page[channel * pageBytes + kChannelAt] = static_cast<std::uint8_t>(channel);
  }
  return true;
}

bool WriteAllLoaderBlocks(int port, std::uint16_t page, bool ecc24, std::uint8_t extra, std::span<std::uint8_t> buffer,
                          std::size_t sectors) {
  const PortIoRecord* record = PortIo(port);
  if (record == nullptr || buffer.size() < sectors * kSectorBytes) return false;
  const std::size_t blocks = std::min<std::size_t>(record->loaderBlockCount, record->loaderBlocks.size());
  if (blocks == 0) {
    DebugPrint("Page %u not written on port %d: no loader blocks known\n", page, port);
    return false;
  }
  for (std::size_t i = 0; i < blocks; ++i) {
    FlashPageAddress address = AllChannelsPage(0, record->loaderBlocks[i], page, ecc24);
    address.extra = extra;
    if (!WritePages(port, address, buffer, sectors)) {
      DebugPrint("Page %u of loader block %u cannot be written on port %d\n", page, record->loaderBlocks[i], port);
      return false;
    }
  }
  return true;
}

void ReplicatePage(std::span<std::uint8_t> page, std::size_t pageBytes, std::size_t channels) {
  for (std::size_t channel = 1; channel < channels && (channel + 1) * pageBytes <= page.size(); ++channel) {
    std::copy_n(page.begin(), pageBytes, page.begin() + static_cast<std::ptrdiff_t>(channel * pageBytes));
  }
}

bool WriteFirmwarePage(int port, std::span<std::uint8_t> buffer, std::istream& file, std::uint16_t page, bool last,
                       const DriveIdentity& identity) {
  PortIoRecord* record = PortIo(port);
  const std::shared_ptr<const FlashParams> snapshot = ParamsOfPort(port);
  if (record == nullptr || !UsableGeometry(*snapshot, port)) return false;
  const std::size_t pageBytes = PageBytes(*snapshot);
  const std::size_t bytes = Channels(*snapshot) * pageBytes;
  if (buffer.size() < bytes) return false;
  const std::span<std::uint8_t> part = buffer.first(pageBytes);

  std::fill(part.begin(), part.end(), std::uint8_t{0xFF});
  file.read(reinterpret_cast<char*>(part.data()), static_cast<std::streamsize>(pageBytes));
  if (file.bad()) return false;
  file.clear();

  std::optional<FirmwarePageSide> side;
  bool patch = false;
  if (HasText(part, kKindAt, "KWSS")) {
    const char mode = static_cast<char>(part[kModeAt]);
    if (mode == 'S') {
      record->modeByte = snapshot->firmwareModeByte;
      side = FirmwarePageSide::Sata;
    } else if (mode == 'U') {
      record->modeByte = static_cast<std::uint8_t>((snapshot->firmwareModeByte & 0xF0) | 1);
      side = FirmwarePageSide::Usb;
    }
    patch = side.has_value();
  } else if (HasText(part, kKindAt, "INT")) {
    patch = true;
  }
  if (patch && !(FillFirmwareParams(port, part) && FillFirmwareGeometry(port, part))) return false;
  if (side) {
    FlashParams params = *snapshot;
    if (!identity.model.empty()) params.modelNum.assignTruncated(identity.model);
    if (!CustomiseFirmwarePage(part, *side, identity.serialNumber, identity.worldWideName, params)) return false;
  }
  if (last) std::copy(kFileEndMarker.begin(), kFileEndMarker.end(), part.end() - kFileEndMarker.size());

  ReplicatePage(buffer, pageBytes, Channels(*snapshot));
  return WriteAllLoaderBlocks(port, page, false, 0, buffer, bytes / kSectorBytes);
}

bool WriteFirmwareFiles(int port, std::span<std::uint8_t> buffer, const DriveIdentity& identity,
                        std::vector<OpenedDownloadFile>& files) {
  for (OpenedDownloadFile& file : files) {
    file.stream.clear();
    file.stream.seekg(0);
    const DownloadFile& entry = file.entry;
    for (std::uint16_t i = 0; i < entry.pageCount; ++i) {
      const bool last = i + 1 == entry.pageCount;
      if (!WriteFirmwarePage(port, buffer, file.stream, static_cast<std::uint16_t>(entry.startPage + i), last,
                             identity)) {
        return false;
      }
    }
  }
  return true;
}

bool WriteLoaderArea(int port, std::span<std::uint8_t> buffer, std::uint16_t sequence, const DriveIdentity& identity,
                     std::span<const std::uint8_t> store, std::vector<OpenedDownloadFile>& files) {
  const std::shared_ptr<const FlashParams> params = ParamsOfPort(port);
  if (!UsableGeometry(*params, port)) return false;
  const std::size_t bytes = Channels(*params) * PageBytes(*params);
  if (!BuildLoaderHeader(port, buffer, sequence)) return false;
  if (!WriteAllLoaderBlocks(port, 0, false, 0, buffer, bytes / kSectorBytes)) return false;
  if (!WriteTablePages(port, buffer, store)) return false;
  return WriteFirmwareFiles(port, buffer, identity, files);
}

bool ReadBackFirmware(int port, std::span<std::uint8_t> buffer, const DownloadFileList& list) {
  const PortIoRecord* record = PortIo(port);
  const std::shared_ptr<const FlashParams> params = ParamsOfPort(port);
  if (record == nullptr || !UsableGeometry(*params, port) || record->loaderBlockCount == 0) return false;
  const std::size_t pageBytes = PageBytes(*params);
  const std::size_t readBytes = pageBytes * kChannelSlots;
  if (buffer.size() < readBytes) return false;
  if (!SwitchRunMode(port, kLoaderRunMode, 0)) return false;
  const std::uint16_t block = record->loaderBlocks[0];
  for (std::size_t k = 0; k < list.files.size(); ++k) {
    const DownloadFile& entry = list.files[k];
    std::vector<std::uint8_t> data;
    data.reserve(std::size_t{entry.pageCount} * pageBytes);
    for (std::uint16_t i = 0; i < entry.pageCount; ++i) {
      const auto page = static_cast<std::uint16_t>(entry.startPage + i);
      if (!Succeeded(SendReadFlashPages(port, AllChannelsPage(0, block, page, false), buffer.first(readBytes),
                                        readBytes / kSectorBytes))) {
        DebugPrint("Firmware page %u of block %u cannot be read back on port %d\n", page, block, port);
        return false;
      }
      data.insert(data.end(), buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(pageBytes));
    }
    char name[40];
    std::snprintf(name, sizeof name, "UP%02X%02X%02X.raw", static_cast<unsigned>(k), block, 0u);
    if (!WriteDebugDump(port, name, data)) {
      DebugPrint("Read-back dump %s cannot be written on port %d\n", name, port);
      return false;
    }
  }
  return true;
}

bool DownloadFirmware(int port, std::span<std::uint8_t> buffer, const DriveIdentity& identity,
                      std::uint32_t ramAddress, const std::filesystem::path& defectTextFile, int versionCode) {
  PortIoRecord* record = PortIo(port);
  if (record == nullptr) return false;
  const std::shared_ptr<const FlashParams> params = ParamsOfPort(port);
  if (!UsableGeometry(*params, port)) return false;
  const std::size_t pageBytes = PageBytes(*params);
  const std::size_t needed = std::max({kRamCodeImageSize, pageBytes * kChannelSlots, pageBytes + 2});
  if (buffer.size() < needed) {
    DebugPrint("Download on port %d refused: a buffer of %zu bytes, %zu needed\n", port, buffer.size(), needed);
    return false;
  }
  if (record->loaderBlockCount <= kTableReadBlockIndex) {
    DebugPrint("Download on port %d refused: %u loader blocks known\n", port, record->loaderBlockCount);
    return false;
  }
  const std::shared_ptr<const DownloadFileList> list = CurrentDownloadFileList();
  if (!list) {
    DebugPrint("Download on port %d refused: no download list\n", port);
    return false;
  }
  // Every file is checked before the drive is touched.
  std::optional<std::vector<OpenedDownloadFile>> files = OpenDownloadFiles(*list, *params);
  if (!files) return false;

  record->layoutWords = {};
  record->layoutValue = 0;
  std::vector<std::uint8_t> store(kTableStoreSize, 0);

  if (!SwitchRunMode(port, kLoaderRunMode, 0)) return false;
  ControllerInfo info{};
  if (!ReadControllerInfo(port, info)) return false;
  const std::uint16_t sequence = GetLittleEndian16(info, kControllerSequenceAt);

  std::uint8_t option = 0;
  if (!LoadRamCode(port, buffer, option, ramAddress)) return false;
  if (!ReadTablePages(port, store)) return false;
  WriteDebugDump(port, "01_CP.raw", store);
  if (!CheckTableStore(port, buffer, store, defectTextFile, versionCode)) return false;

  if (!ReinitRamCode(port, buffer, ramAddress)) return false;
  if (record->opcodeSet.load() == 1) record->opcodeSet.store(2);
  if (record->forceOpcodeSet1.load()) record->opcodeSet.store(1);

  if (!WriteLoaderArea(port, buffer, static_cast<std::uint16_t>(sequence + 1), identity, store, *files)) return false;
  if (params->dumpDebugFile != 0) return ReadBackFirmware(port, buffer, *list);
  return true;
}

}  // namespace devlib
