#pragma once
// The RAM code: the small program loaded into the controller's RAM, while it
// runs its loader, for the flash scans and tests, preformat, download, the
// table operations and claim-new. Three image files of 0xFC00 bytes:
// "GDP.bin" and "satatest.bin" beside the program, "GDP_A.bin" in the
// current directory.
//
// Before every load the host writes the parameter block at 0xA00 of an image
// that carries "GDP_" or "TST_" at 0x300: a 40-byte head from the port's
// flash parameters (ParamsOfPort) and its record, then the RAM code tail. Firmware pages carry the
// same head with a firmware tail and geometry block (FillFirmwareParams,
// FillFirmwareGeometry).

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "devlib/flash_params.h"
#include "devlib/port_io.h"

namespace devlib {

inline constexpr std::size_t kRamCodeImageSize = 0xFC00;  // 126 sectors
inline constexpr std::size_t kRamCodeSectors = kRamCodeImageSize / 512;
inline constexpr std::size_t kParamBlockAt = 0xA00;
inline constexpr std::size_t kParamBlockSize = 0x78;
inline constexpr std::size_t kParamHeadSize = 40;
inline constexpr std::size_t kTableSizeBlockAt = 72;   // in the block
inline constexpr std::size_t kGeometryBlockAt = 48;    // in the block
inline constexpr std::size_t kGeometryBlockSize = 64;
inline constexpr std::uint8_t kImageFill = 0x66;      // what a short image file leaves in the tail

// Loads "GDP.bin": loader mode, the image written (its parameter block
// filled), read back and compared, then started. `optionByte` gets 0x02 for
// a half-page part; callers OR it into the operations they start. False at
// the first step that fails, nothing started after a failed read-back.
bool LoadRamCode(int port, std::span<std::uint8_t> image, std::uint8_t& optionByte, std::uint32_t ramAddress);
// "satatest.bin", the same steps, no option byte.
bool LoadTestRamCode(int port, std::span<std::uint8_t> image, std::uint32_t ramAddress);
// "GDP_A.bin", as LoadRamCode.
bool LoadRamCodeA(int port, std::span<std::uint8_t> image, std::uint8_t& optionByte, std::uint32_t ramAddress);

// Reads the image file into `image` (at least 0xFC00 bytes; a shorter file
// leaves the rest 0x66, a longer one is read only that far), fills its
// parameter block when it is a "GDP_" or "TST_" image, writes it to the
// controller and reads it back. False when the file cannot be read or is
// empty, the write fails, or the read-back fails or differs.
bool WriteRamCodeImage(int port, std::span<std::uint8_t> image, std::string_view fileName, std::uint32_t ramAddress);

// The head (40 bytes) from the port's flash parameters and its record.
bool FillParamHead(int port, std::span<std::uint8_t> head);
// The head and the RAM code tail into the image's block at 0xA00.
bool FillRamCodeParams(int port, std::span<std::uint8_t> image);
// The table-size block of the RAM code tail; only version 11 is known.
bool FillTableSizeBlock(int port, std::span<std::uint8_t> image, int version);
// The head and the firmware tail into a firmware page's block at 0xA00.
bool FillFirmwareParams(int port, std::span<std::uint8_t> page);
// The firmware geometry block into a firmware page's block.
bool FillFirmwareGeometry(int port, std::span<std::uint8_t> page);

// The table area the RAM code reserves (version-11 sizing), in bytes.
std::uint32_t TableAreaSize(const FlashParams& params, std::uint32_t layoutValue);

}  // namespace devlib
