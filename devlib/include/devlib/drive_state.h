#pragma once
// Operations on the state of a whole drive: its identify data and capacity,
// recognising its loader and bringing it back to the firmware, the partial
// read/write test, the whole-drive erase, the erase-count keep around
// Preformat, the RAM code erase, the temperature check, the maximum LBA and
// the NTFS probe.
//
// Every wait sleeps on the platform clock with the port's stop token; a stop
// request ends the wait and the operation gives up. An index outside the port
// table gives false (or 0).

#include <bitset>
#include <cstddef>
#include <cstdint>
#include <span>

#include "devlib/port_buffers.h"

namespace devlib {

bool GetIdentifyData(int port, std::span<std::uint8_t> buffer, std::uint8_t sectors);

// The drive's size as the drive pages and the capacity checks see it: the
// last LBA that READ CAPACITY (10) reports on USB-path ports, the IDENTIFY
// sector count on SATA-path ports. 0 when it cannot be read; a size beyond
// 32 bits reads 0xFFFFFFFF.
std::uint32_t GetLbaCapacity(int port);
// The number of sectors that can be addressed, on either path (the last LBA
// + 1 on USB-path ports); what the erase and the read/write test address.
std::uint32_t GetLbaSectorCount(int port);
std::uint32_t GetCapacityMB(int port);     // GetLbaCapacity / 2048
std::uint64_t GetCapacityBytes(int port);  // GetLbaCapacity x 512

bool SwitchVendorMode(int port, bool on);
// Session start and run mode switch; mode 0 with argument 0 enters the loader.
bool JumpToLoader(int port, std::uint8_t mode, std::uint8_t argument);

// True when the drive answers with a loader identity: on USB-path ports the
// INQUIRY vendor and product (23 characters) "Generic ZIR USB Loader "
// (Blockprobe's port table: "Tolvane Flash CR Loader"), on
// SATA-path ports the IDENTIFY model (36 characters) of either SATA loader
// text. A failed INQUIRY or IDENTIFY means no loader.
bool IsLoaderDevice(int port);

// Brings a drive that runs its loader back to the firmware (`buffer` takes
// the loader header search and must hold one page of every channel). USB-path
// ports: the run mode the loader header asks for (3, else 2), then up to 11
// INQUIRY attempts a second apart. SATA-path ports: run mode 2, ten seconds,
// then up to 11 rounds a second apart of vendor mode on and the firmware
// signature read. A drive that stays in its loader is left for the operation
// that follows to find; nothing is reported here.
void EnsureFirmwareRunning(int port, std::span<std::uint8_t> buffer);

// The partial read/write test: write-verify probes at every step-th GiB of
// the drive, then 0xFF into LBA 0 and a write-verify of the last sector, then
// FLUSH CACHE. `buffer` takes the probes and must hold 64 KiB; after a failed
// compare it starts with the mismatch record. A drive whose sector count
// reads 0 or 8192 fails.
inline constexpr std::size_t kRWTestBufferSize = 64 * 1024;
inline constexpr std::uint32_t kPlaceholderSectorCount = 8192;
bool RWTestPartial(int port, std::span<std::uint8_t> buffer);

// Writes 0xFF over every sector, 128 sectors at a time, from LBA 0 to the
// last sector. False at the first failed write, and when the sector count
// reads 0.
bool EraseAllData(int port);

// Saves the drive's erase-count tables into the port's fourth work buffer:
// the table of bank index i and channel j into 64 KiB slot i + 16j, and with
// `a2b` also a copy with its second half of entries moved to the front into
// slot banks + i + 16j. The counts of bank indices and channels come from the
// flash parameters; `buffer` takes each table and must hold 64 KiB. The reads
// themselves are not checked. False only when nothing could be saved: no such
// port, a smaller buffer, or no memory for the work buffers.
inline constexpr std::size_t kEraseCountSlotSize = 64 * 1024;
inline constexpr int kEraseCountSlotsPerChannel = 16;
bool SaveEraseCounts(int port, std::span<std::uint8_t> buffer, bool a2b);

// The slots of the fourth work buffer that the port's last SaveEraseCounts
// filled from a table the drive answered, handed out once: each save starts
// the marks afresh and taking them clears them, so a slot left from an
// earlier drive is never taken for this one's.
using EraseCountSlots = std::bitset<kWorkBuffer4Size / kEraseCountSlotSize>;
EraseCountSlots TakeSavedEraseCountSlots(int port);

// The RAM code erase: loads "GDP.bin" into `buffer` (at least 0xFC00 bytes)
// and starts operation 1 with the load's option byte | 0x01, reading its
// status once: true when it is 14. Still busy at that one read is no pass.
bool RunEraseOperation(int port, std::span<std::uint8_t> buffer, std::uint32_t ramAddress);

// Reads the S.M.A.R.T. data into `buffer` (at least one sector) and takes the
// temperature from the first raw byte of attribute 194 among the 30 entries,
// as a signed byte. False when it is above `limit`, and when the data cannot
// be read (the temperature is then 0). No attribute 194: temperature 0, true.
bool CheckTemperature(int port, std::span<std::uint8_t> buffer, std::uint8_t limit, std::int8_t& temperature);

// Limits the drive to `low` + 2^32 x `high` sectors: READ NATIVE MAX ADDRESS
// and SET MAX ADDRESS with the count - 1 while the count is at most
// 0x0FFFFFFE, else the EXT forms; the SET only after its READ succeeded. A
// count of 0 is refused unsent. On USB-path ports nothing is sent and the
// result is true.
bool SetMaxLba(int port, std::span<std::uint8_t> buffer, std::uint32_t low, std::uint32_t high);

// True when LBA 0 reads, ends with the 0xAA55 mark and one of its four
// partition entries has type 7.
bool HasNtfsPartition(int port);

// Swaps the two bytes of every whole 16-bit word in the first `length` bytes
// (ATA string order); a length beyond the buffer stops at its end.
void SwapBytePairs(std::span<std::uint8_t> buffer, std::size_t length);

}  // namespace devlib
