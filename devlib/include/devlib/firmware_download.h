#pragma once
// The firmware download: the tables the RAM code left after the preformat are
// read and checked, the RAM code is started afresh (which erases the loader
// blocks), and every loader block gets a new loader header (page 0), its
// table pages back (1, 2, 3 with RemapEnable, 4) and the download files from
// page 8 on: "Init.bin", then the SATA and/or the USB firmware file. Each
// firmware page is patched with the parameter block and the drive's identity,
// replicated over the channels and written to the same page of every loader
// block.
//
// The download file list is built once, when the station starts a run, and
// published as an immutable snapshot: the workers of all ports read it and
// none writes it. Each file is opened and checked (size, first-page header,
// room in the loader block) before anything is sent to the drive, so a file
// that is damaged or has gone leaves the drive as it was.

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "devlib/flash_params.h"

namespace devlib {

struct DownloadFile {
  std::filesystem::path name;
  std::uint32_t sizeKB = 0;
  std::uint16_t startPage = 0, pageCount = 0;
  std::uint64_t sizeBytes = 0;  // the size the entry was built from
};
struct DownloadFileList {
  std::vector<DownloadFile> files;  // 2 or 3 files: Init.bin, then the bins
  std::uint8_t sectorsPerPage = 0;  // the page size the page counts were taken with
};

inline constexpr std::uint16_t kFirstFirmwarePage = 8;
inline constexpr std::size_t kMinDownloadFiles = 2;
inline constexpr std::size_t kMaxDownloadFiles = 3;

// Page counts and start pages from the sizes (first file at page 8): a file
// of n KiB takes n / (sectors per page / 2) pages, rounded up. Names with a
// leading '/' are taken as they are, others from the program's directory.
// Nothing (and a debug line) for a list of other than 2 or 3 names, a file
// that does not exist, fewer than 2 sectors per page, or pages beyond 0xFFFF.
std::optional<DownloadFileList> BuildDownloadFileList(std::vector<std::filesystem::path> names,
                                                      std::uint8_t sectorsPerPage);
// Also publishes the list's loader file table as the selected part's (the
// parameter blocks take the first file's start page from there), so a list
// is published after the flash parameters of the run and before the ports'
// work starts (StartPortFlashParams).
void PublishDownloadFileList(std::shared_ptr<const DownloadFileList> list);
// Nothing before a list was published.
std::shared_ptr<const DownloadFileList> CurrentDownloadFileList();

// The loader file table of a list: file count, start pages and page counts.
LoaderFileTable LoaderFileTableOf(const DownloadFileList& list);

// Who the drive says it is after the download: the texts written into the
// firmware pages. An empty model leaves the selected part's model.
struct DriveIdentity {
  std::string serialNumber;
  std::string worldWideName;
  std::string model;
};

// Signature failure codes, in buffer byte 0 (byte 1 the channel, the
// offending part from byte 2).
inline constexpr std::uint8_t kDefectSignatureFailed = 208;
inline constexpr std::uint8_t kEarlyBadSignatureFailed = 209;
inline constexpr std::uint8_t kRemapSignatureFailed = 210;

// The table store: one 64 KiB slot per table page read, in page order
// (defect tables, early-bad lists, remap tables with RemapEnable, system
// pages).
inline constexpr std::size_t kTableStoreSlot = 64 * 1024;
inline constexpr std::size_t kTableStoreSize = 4 * kTableStoreSlot;
// The table pages of the loader blocks: 1, 2, (3), 4.
std::vector<std::uint16_t> LoaderTablePages(bool remapEnabled);

// The whole download. `buffer` holds at least 0xFC00 bytes and eight pages;
// the port's loader blocks (at least three) are known.
// False at the first step that fails; a signature failure leaves its code,
// the channel and the part in the buffer. With EnSaveDefectTable, the defect
// tables of every channel are written as text to `defectTextFile`; with DumpDebugFile the
// written files are read back into "UP*.raw" dumps.
bool DownloadFirmware(int port, std::span<std::uint8_t> buffer, const DriveIdentity& identity,
                      std::uint32_t ramAddress, const std::filesystem::path& defectTextFile, int versionCode);

// Pages 1, 2, (3), 4 of the port's third loader block, all channels, into
// consecutive slots of `store` (kTableStoreSize bytes), each dumped as
// "10_TP%02X.raw".
bool ReadTablePages(int port, std::span<std::uint8_t> store);
// The slots back to the same pages of every loader block, through `buffer`
// (one page of all channels), each dumped as "10_WT%02X.raw".
bool WriteTablePages(int port, std::span<std::uint8_t> buffer, std::span<const std::uint8_t> store);

// The per-channel checks of the store and the layout values they give:
// the port's layoutWords from the last channel whose system page carries its
// signature and its layoutValue from the early-bad lists. With
// EnSaveDefectTable, the defect tables are written to `defectTextFile`. On a
// signature failure the buffer gets code, channel and part; false.
bool CheckTableStore(int port, std::span<std::uint8_t> buffer, std::span<const std::uint8_t> store,
                     const std::filesystem::path& defectTextFile, int versionCode);

// "GDP.bin", then operation 1 with the load's option byte | 0x10, polled
// once: true on status 14.
bool ReinitRamCode(int port, std::span<std::uint8_t> buffer, std::uint32_t ramAddress);

// The download files, opened and checked: present, no shorter than when the
// list was built and of the same page count, "INT" (Init.bin) or "KWSS" (the
// bins) at 0x300 of the first page, and room for all in the loader block.
struct OpenedDownloadFile {
  DownloadFile entry;
  std::ifstream stream;
};
std::optional<std::vector<OpenedDownloadFile>> OpenDownloadFiles(const DownloadFileList& list,
                                                                 const FlashParams& params);

// `page` holds on entry the bytes the header is built over (a copy of the RAM code image's first page);
// the header fields are overlaid, replicated per channel with byte 24 = the channel.
bool BuildLoaderHeader(int port, std::span<std::uint8_t> page, std::uint16_t sequence);
bool WriteAllLoaderBlocks(int port, std::uint16_t page, bool ecc24, std::uint8_t extra, std::span<std::uint8_t> buffer,
                          std::size_t sectors);
// Copies the first `pageBytes` of `page` into parts 1 .. channels - 1.
void ReplicatePage(std::span<std::uint8_t> page, std::size_t pageBytes, std::size_t channels);

// The header (built over the first page of `buffer`), the table pages and
// the firmware files.
bool WriteLoaderArea(int port, std::span<std::uint8_t> buffer, std::uint16_t sequence, const DriveIdentity& identity,
                     std::span<const std::uint8_t> store, std::vector<OpenedDownloadFile>& files);
bool WriteFirmwareFiles(int port, std::span<std::uint8_t> buffer, const DriveIdentity& identity,
                        std::vector<OpenedDownloadFile>& files);
// One page of `file` (padded with 0xFF), patched by its kind, with the end
// marker when it is the file's last, to page `page` of every loader block.
bool WriteFirmwarePage(int port, std::span<std::uint8_t> buffer, std::istream& file, std::uint16_t page, bool last,
                       const DriveIdentity& identity);
inline constexpr std::array<std::uint8_t, 4> kFileEndMarker{0x55, 0xAA, 0xEC, 0x31};

// Loader mode, then every page of each file read back from the first loader
// block into the dump "UP%02X%02X%02X.raw" (file, block, 0).
bool ReadBackFirmware(int port, std::span<std::uint8_t> buffer, const DownloadFileList& list);

}  // namespace devlib
