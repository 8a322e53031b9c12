#pragma once
// Controller access: the operations that the test items and the diagnostic
// pages call, each a thin layer over the command builders. They keep no state
// of their own; the flash geometry and the firmware date code come from the
// port's flash parameters (ParamsOfPort). Every wait and status poll sleeps on the
// platform clock with the port's stop token and gives up (false) as soon as a
// stop is requested. An index outside the port table gives false (or 0).

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "devlib/flash_params.h"
#include "devlib/vendor_commands.h"

namespace devlib {

// Final status values of the RAM-code operations.
inline constexpr std::uint8_t kStatusBusy = 0xAA;
inline constexpr std::uint8_t kStatusPreformatDone = 10;
inline constexpr std::uint8_t kStatusOperation1Done = 14;
inline constexpr std::uint8_t kStatusOperation4Done = 18;
inline constexpr std::uint8_t kStatusDramCheckDone = 21;

// Pauses of the mode switches and polls, in milliseconds.
inline constexpr std::uint64_t kModeSwitchSettleMs = 500;
inline constexpr std::uint64_t kOperationFirstPollMs = 30;
inline constexpr std::uint64_t kOperationPollMs = 1000;
inline constexpr std::uint64_t kDramPollMs = 300;
inline constexpr std::uint64_t kFlushSettleMs = 10;

// Vendor mode is a SET FEATURES switch of the SATA side; on USB-path ports
// nothing is sent and the result is true.
bool SetVendorMode(int port, bool on);

// Session start (0x81) with `argument`, then the run mode (0x83); both must
// succeed. Then 500 ms and vendor mode on (its result does not count).
// Mode 0 with argument 0 enters loader mode.
inline constexpr std::uint8_t kLoaderRunMode = 0;
bool SwitchRunMode(int port, std::uint8_t mode, std::uint8_t argument);

// Starts the downloaded RAM code; then 500 ms and vendor mode on.
bool RunRamCode(int port);

// RAM code transfers of `sectors` sectors at `address` in the RAM-code window
// (the address is ORed with 0x40000000). A successful transfer is dumped as
// "11_RCO.raw" (written) or "12_RCI.raw" (read back).
inline constexpr std::uint32_t kRamCodeWindow = 0x40000000;
bool WriteRamCode(int port, std::span<std::uint8_t> buffer, std::size_t sectors, std::uint32_t address);
bool ReadRamCode(int port, std::span<std::uint8_t> buffer, std::size_t sectors, std::uint32_t address);

// Starts RAM-code operation 1..4 with the option bits and reads its status
// 30 ms later. A final status (anything but busy) gives true. While busy:
// without `wait` false at once; with `wait` a new poll every 1 000 ms for as
// long as it takes, ended only by a final status, a failed poll or a stop
// request. `status` holds the last status read. Another operation number
// gives false unsent.
bool RunOperationAndWait(int port, int operation, std::uint8_t options, std::uint8_t& status, bool wait);

bool ReadRegister(int port, std::uint32_t address, std::uint8_t& value);
bool WriteRegister(int port, std::uint32_t address, std::uint8_t value);

// Reads one page of sectors-per-page sectors per channel into `buffer`,
// channel c's page at c x sectors-per-page x 512. Channel selector 8 reads
// channels 0..7 in turn and stops at the first failure; any other selector
// reads that channel only. A buffer too small for the pages is refused
// before anything is sent.
inline constexpr std::uint8_t kAllChannels = 8;
inline constexpr int kChannelSlots = 8;
// The page of every channel at (chip enable, block, page).
inline FlashPageAddress AllChannelsPage(std::uint8_t chipEnable, std::uint16_t block, std::uint16_t page, bool bch24) {
  return {.channel = kAllChannels,
          .chipEnable = chipEnable,
          .block = block,
          .page = page,
          .bch24 = static_cast<std::uint8_t>(bch24 ? 1 : 0),
          .extra = 0};
}
bool ReadBlockPages(int port, const FlashPageAddress& address, std::span<std::uint8_t> buffer);

bool WritePages(int port, const FlashPageAddress& address, std::span<std::uint8_t> buffer, std::size_t sectors);
bool ReadInfoBlock(int port, std::span<std::uint8_t> buffer, std::size_t sectors);
bool ReadFlashId(int port, std::uint8_t channel, std::uint8_t chipEnable, std::span<std::uint8_t> buffer,
                 std::size_t sectors);
bool ReadLoaderList(int port, std::span<std::uint8_t> buffer, std::size_t sectors);

// The first 104 bytes of the loader's controller information sector.
inline constexpr std::size_t kControllerInfoSize = 104;
using ControllerInfo = std::array<std::uint8_t, kControllerInfoSize>;
bool ReadControllerInfo(int port, ControllerInfo& info);

bool EraseBlock(int port, std::uint8_t channelSelector, std::uint8_t chipEnable, std::uint16_t block);

// Clears byte 0 of `buffer`, then reads the four-sector failure detail of the
// last RAM-code operation into it.
bool ReadFailureReport(int port, std::span<std::uint8_t> buffer);
bool ReadTestResult(int port, std::span<std::uint8_t> sector);

// One step of the flash interface test: passed when the command succeeds and
// the step's result byte is 0xFF.
bool RunFlashTestStep(int port, std::uint8_t step, std::uint16_t block, std::uint8_t& result);

// Starts the DRAM check with one pattern sector.
bool RunDramCheck(int port, std::span<std::uint8_t> sector, std::uint32_t address, std::uint32_t length);

// Polls the DRAM check's status. Final status: true. Busy: without `wait`
// false at once; with `wait` 300 ms, vendor mode off and on again, and a new
// poll, until a final status, a failed poll or a stop. `status` holds the
// last status read.
bool WaitDramStatus(int port, std::uint8_t& status, bool wait);

bool WriteEraseCounts(int port, std::span<std::uint8_t> buffer, std::size_t sectors, std::uint8_t channel,
                      std::uint8_t bank);
bool ReadEraseCounts(int port, std::span<std::uint8_t> buffer, std::size_t sectors, std::uint8_t channel,
                     std::uint8_t bank);
bool ReadBadBlockList(int port, std::span<std::uint8_t> buffer, std::size_t sectors, std::uint8_t channel,
                      std::uint8_t chipEnable);

// The bus interface memory test: ten passes, each writing 16 384 counting
// words (starting at 4096 + 11 x pass) to the test memory at 0xB0021000 and
// reading them back. `buffer` must hold 32 KiB. False at the first failed
// command or differing word.
inline constexpr std::uint32_t kBusTestAddress = 0xB0021000;
inline constexpr std::size_t kBusTestBytes = 32 * 1024;
inline constexpr std::size_t kBusTestSectors = kBusTestBytes / 512;
inline constexpr int kBusTestPasses = 10;
bool BusTestRound(int port, std::span<std::uint8_t> buffer, std::uint8_t param);

bool ReadIdentifyData(int port, std::span<std::uint8_t> buffer, std::uint8_t sectors);

// The drive's size. These answer 0 when the size cannot be read.
// From IDENTIFY DEVICE: the 28-bit count (words 60-61), or when that is
// 0x0FFFFFFF the 48-bit count (words 100-102), whole; 0 when words 100-101
// read 0xFFFFFFFF.
std::uint64_t ReadMaxLbaFromIdentify(int port);
// From READ CAPACITY (10): the last LBA.
std::uint64_t ReadMaxLbaFromCapacity(int port);
// The last LBA on USB-path ports, the IDENTIFY sector count on SATA-path
// ports: the value the drive pages show.
std::uint64_t ReadMaxLba(int port);
// The number of addressable sectors on either path (the last LBA + 1 on
// USB-path ports), for callers that address sectors.
std::uint64_t ReadSectorCount(int port);

// The LBA pattern: 16-bit word i of the buffer = LBA x 256 + i (16-bit wrap)
// for i < sectors x 256.
void FillLbaPattern(std::span<std::uint8_t> buffer, std::size_t sectors, std::uint32_t lba);

// Writes the pattern, flushes, waits 10 ms, reads it back and compares. At
// the first differing word the buffer starts with a record of five 32-bit
// little-endian values: 3, the LBA, the expected word, the word found and its
// index. A failed write or read leaves the transfer's failure record instead.
inline constexpr std::uint32_t kLbaMismatchKind = 3;
bool WriteVerifyLbaPattern(int port, std::span<std::uint8_t> buffer, std::uint16_t sectors, std::uint32_t lba);
// The read and compare only (the buffer is zeroed before the read).
bool VerifyLbaPattern(int port, std::span<std::uint8_t> buffer, std::uint16_t sectors, std::uint32_t lba);
bool WriteLbaPattern(int port, std::span<std::uint8_t> buffer, std::uint16_t sectors, std::uint32_t lba);
bool WriteLbaOnes(int port, std::span<std::uint8_t> buffer, std::uint16_t sectors, std::uint32_t lba);
bool WriteLbaBuffer(int port, std::span<std::uint8_t> buffer, std::uint16_t sectors, std::uint32_t lba);

// A physical page read through the firmware into a 64 KiB buffer, channel c's
// page (sectors-per-page x 512 bytes of the plane the plane selector's
// parity picks) at c x sectors-per-page x 512. The channel selector is
// replaced by 15 unless the drive runs one of the older firmware date codes;
// the second half comes with selector 0xF0 (older firmware: from the memory
// window at 0xB0030000). False when either read fails (the buffer is then all
// zeros) or when the transfer would not fit the 64 KiB buffer.
inline constexpr std::size_t kPhysicalPageBufferSize = 64 * 1024;
bool ReadFlashPage(int port, const FlashPageAddress& address, std::uint16_t planeSelector,
                   std::span<std::uint8_t> buffer, std::size_t sectors);
// The same with the page size and date code of `params`, for a caller that
// reads a drive before its values become the port's.
bool ReadFlashPage(int port, const FlashParams& params, const FlashPageAddress& address, std::uint16_t planeSelector,
                   std::span<std::uint8_t> buffer, std::size_t sectors);

// Looks for the loader header in page 0 of blocks 0..3 (all channels, chip
// enable 0), read into `buffer`. Where its first 16 bytes are the header text,
// `table` gets the 40 bytes at offset 560 (the download file count and page
// table) and `fileCount` their first byte; true. No header in blocks 0..3:
// false.
inline constexpr std::size_t kLoaderHeaderTableOffset = 560;
inline constexpr std::size_t kLoaderHeaderTableSize = 40;
using LoaderHeaderTable = std::array<std::uint8_t, kLoaderHeaderTableSize>;
bool ReadLoaderHeaderInfo(int port, std::span<std::uint8_t> buffer, LoaderHeaderTable& table,
                          std::uint8_t& fileCount);

}  // namespace devlib
