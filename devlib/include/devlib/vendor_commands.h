#pragma once
// Builders of the controller's vendor sub-operations. Each takes the port
// index first and answers kCommandOk, kCommandFailed or kCommandBadSignature.
// Codes 0x80-0x8C serve loader mode and direct controller access; codes
// 0x00-0x08 mean what the code running in the controller (a RAM-code image or
// the firmware) gives them, so one code has several builders.
// Multi-byte fields go big-endian. `sectors` is the length of the data phase
// in 512-byte sectors and must fit the buffer.

#include <cstddef>
#include <cstdint>
#include <span>

namespace devlib {

// Where a flash page lies; bytes 3..10 of the page commands.
struct FlashPageAddress {
  std::uint8_t channel = 0;  // 8 = all channels for the physical page read
  std::uint8_t chipEnable = 0;
  std::uint16_t block = 0;
  std::uint16_t page = 0;
  std::uint8_t bch24 = 0;
  std::uint8_t extra = 0;
};

// Loader mode and direct controller access (0x80-0x8C).
int SendReadControllerInfo(int port, std::span<std::uint8_t> sector);  // one sector
int SendSessionStart(int port, std::uint8_t argument);  // the tunnel always sends 1
int SendRunRamCode(int port);
int SendSetRunMode(int port, std::uint8_t mode);
int SendReadRegister(int port, std::uint32_t address, std::uint8_t& value);
int SendWriteRegister(int port, std::uint32_t address, std::uint8_t value);
int ReadMemoryBlock(int port, std::uint8_t param, std::uint32_t address, std::span<std::uint8_t> buffer,
                    std::size_t sectors);
int WriteMemoryBlock(int port, std::uint8_t param, std::uint32_t address, std::span<std::uint8_t> buffer,
                     std::size_t sectors);
int SendReadFlashId(int port, std::uint8_t channel, std::uint8_t chipEnable, std::span<std::uint8_t> buffer,
                    std::size_t sectors);
int SendReadFlashPages(int port, const FlashPageAddress& address, std::span<std::uint8_t> buffer,
                       std::size_t sectors);
int SendWriteFlashPages(int port, const FlashPageAddress& address, std::span<std::uint8_t> buffer,
                        std::size_t sectors);
int SendEraseBlock(int port, std::uint8_t channelSelector, std::uint8_t chipEnable, std::uint16_t block);
int SendReadMemoryWindow(int port, std::uint8_t param, std::uint32_t address, std::span<std::uint8_t> buffer,
                         std::size_t sectors);

// RAM code and firmware operations (0x00-0x08).
int SendReadStatus(int port, std::uint8_t& status);
int SendReadBadBlockList(int port, std::uint8_t channel, std::uint8_t chipEnable, std::span<std::uint8_t> buffer,
                         std::size_t sectors);
int SendStartOperation1(int port, std::uint8_t options);
int SendStartOperation2(int port, std::uint8_t options);
int SendStartOperation3(int port, std::uint8_t options);
int SendStartOperation4(int port, std::uint8_t options);
int SendReadEraseCounts(int port, std::uint8_t channel, std::uint8_t bank, std::span<std::uint8_t> buffer,
                        std::size_t sectors);
// On success `result` is reply byte 1 when reply byte 0 is 1, else 0xFF.
int SendFlashTestStep(int port, std::uint8_t step, std::uint16_t block, std::uint8_t& result);
int SendReadTestResult(int port, std::span<std::uint8_t> sector);  // one sector
int SendReadTestMemory(int port, std::uint8_t param, std::uint32_t address, std::span<std::uint8_t> buffer,
                       std::size_t sectors);
int SendWriteTestMemory(int port, std::uint8_t param, std::uint32_t address, std::span<std::uint8_t> buffer,
                        std::size_t sectors);
int SendReadPhysicalPage(int port, const FlashPageAddress& address, std::span<std::uint8_t> buffer,
                         std::size_t sectors);
int SendReadInfoBlock(int port, std::span<std::uint8_t> buffer, std::size_t sectors);
// Sends `sector` (one sector) with the check's start address and length.
int SendDramCheck(int port, std::span<std::uint8_t> sector, std::uint32_t address, std::uint32_t length);
inline constexpr std::size_t kFailureReportSectors = 4;
int SendReadFailureReport(int port, std::span<std::uint8_t> buffer);  // four sectors
int SendReadLoaderList(int port, std::span<std::uint8_t> buffer, std::size_t sectors);
int SendWriteEraseCounts(int port, std::uint8_t channel, std::uint8_t bank, std::span<std::uint8_t> buffer,
                         std::size_t sectors);

}  // namespace devlib
