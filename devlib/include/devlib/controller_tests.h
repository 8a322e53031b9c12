#pragma once
// The hardware checks of a drive before firmware is written: the flash ID
// scan, the flash module, bus interface, flash interface and DRAM tests. Each
// loads a RAM code image into `buffer` (the port's work buffer, at least
// kControllerTestBufferSize bytes) and leaves its results there.

#include <cstddef>
#include <cstdint>
#include <span>

namespace devlib {

inline constexpr std::size_t kControllerTestBufferSize = 64 * 1024;

// Flash module result list in the buffer.
inline constexpr std::size_t kModuleCountAt = 0;  // 1 + entries; 1 is a pass
inline constexpr std::size_t kModuleCodeAt = 1;   // 0x82 while IDs are compared, 0x80 once they all matched
inline constexpr std::size_t kModuleFirstEntryAt = 18;
inline constexpr std::size_t kModuleEntryBytes = 16;
inline constexpr std::size_t kModuleInfoAt = 24;  // the flash ID report of the count check
inline constexpr std::uint8_t kModuleIdMismatch = 0x83;
inline constexpr std::uint8_t kModuleCountMismatch = 0x81;

// Flash interface result characters.
inline constexpr char kInterfaceStep1Failed = 0x40;
inline constexpr char kInterfaceStep2Failed = 0x41;
inline constexpr char kInterfaceNoBlockPassed = 0x42;

// "GDP.bin", then the flash ID report into the buffer's first sector.
bool AutoDetectFlash(int port, std::span<std::uint8_t> buffer, std::uint32_t ramAddress);

// Every bank and channel's flash ID against the configured one (the bytes
// CheckFlashMask selects), then the channel and bank counts found. A failed
// ID read is skipped; a failed count read leaves the test passed. When not
// one ID could be read the test fails with a count entry whose report holds
// zeros.
bool FlashModuleTest(int port, std::span<std::uint8_t> buffer, std::uint32_t ramAddress);

// "satatest.bin", then the memory round trips in both bus modes.
bool BusInterfaceTest(int port, std::span<std::uint8_t> buffer, std::uint32_t ramAddress);

// Steps 1 and 2 on block 602, then step 3 on ten distinct random blocks
// (256..1791) until one passes. `result` is 0, or the step that failed, and
// `stepValue` the value the last step reported. On a failure the test RAM
// code's result block is read into the buffer's first sector (all 0xFF, an
// empty list, when it cannot be read). A failed load leaves both untouched.
bool FlashInterfaceTest(int port, std::span<std::uint8_t> buffer, char& result, std::uint8_t& stepValue,
                        std::uint32_t ramAddress);

// The DRAM register round trip, then the DRAM check over 64 MiB: passes on
// final status 21.
bool DramTest(int port, std::span<std::uint8_t> buffer, std::uint32_t ramAddress);

}  // namespace devlib
