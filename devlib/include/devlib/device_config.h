#pragma once
// The drive's configuration read: the configuration page that the firmware
// keeps in controller memory, the loader header in page 0 of the loader
// blocks, and the decoders that turn both into flash parameters.
//
// Configuration page (4 KiB; memory read parameter 3, address 0), offsets
// from its start:
//   76..587      SATA firmware: the IDENTIFY DEVICE image
//   100..291     USB firmware: vendor and product ID (100, 102), the INQUIRY
//                image (110; vendor 118, product 126), string descriptors
//                (manufacturer 158, product 192, serial 242)
//   0x300        the firmware header, 51 bytes; its six-character version
//                (the date code the page reads depend on) at 0x306
//   0xA00        the parameter block, its geometry block at 0xA30
// Loader header page: "LDBK BLOCKS V30" and its 0 byte at 0, the download
// file count at 560 and the files' start pages and page counts from 568, the
// flash part name at 608, and a parameter block at 0xA00 as above.
//
// Parameter block bytes the decoders read: 0 type word, 2 flags (0x20 extra
// mode), 3 channels, 4 banks, 5 BCH 24, 6 DrvCurrent, 7 address layout, 8 and
// 26 ResPercentage (low, high), 9 option bits (0x10 scramble, 0x20 remap), 11
// chip enables, 16..23 the loader blocks, 32 and 33 the read-error and ECC
// copy thresholds, 34 WearLevelFrequency, 35 SecurityCounter. Byte 32 is also
// what LoadPercentagesFromConfig takes for DefPercentage: the two share it.
// Geometry block bytes: 23 feature byte, 24..30 register set 2 (TMC0 and TMC1
// first), words 40 and 42 tokens 13 and 14, words 44 and 46 layout words 2
// and 3.
//
// Counts taken from a page are kept to the tables they index: channels,
// banks and chip enables to 8, the download file count to kLoaderFileSlots.
// Every decoder refuses a page shorter than it reads (false, nothing
// changed); the fields a page does not carry keep their values.

#include <cstddef>
#include <cstdint>
#include <span>

#include "devlib/flash_params.h"
#include "devlib/port_io.h"

namespace devlib {

inline constexpr std::size_t kConfigPageSectors = 8;
inline constexpr std::size_t kConfigPageBytes = kConfigPageSectors * 512;
inline constexpr std::uint8_t kConfigPageParam = 3;
inline constexpr std::uint32_t kConfigPageAddress = 0;

inline constexpr std::size_t kFirmwareHeaderOffset = 0x300;
inline constexpr std::size_t kFirmwareDateCodeOffset = 6;  // within the firmware header
inline constexpr std::size_t kFirmwareDateCodeLength = 6;
inline constexpr std::size_t kParamBlockOffset = 0xA00;
inline constexpr std::size_t kGeometryBlockOffset = kParamBlockOffset + 48;
inline constexpr std::size_t kParamBlockEnd = kGeometryBlockOffset + 64;

inline constexpr std::size_t kLoaderHeaderTextBytes = 16;  // "LDBK BLOCKS V30" and its 0 byte
inline constexpr std::size_t kLoaderFileCountOffset = 560;
inline constexpr std::size_t kLoaderFileTableOffset = 568;
inline constexpr std::size_t kLoaderPartNameOffset = 608;
inline constexpr std::size_t kLoaderPartNameBytes = 32;

// The port record's loader blocks := the four block words of the parameter
// block.
bool LoadLoaderBlocksFromConfig(PortIoRecord& record, std::span<const std::uint8_t> page);

// The flash setting (type word, channel, bank and chip-enable counts, ECC
// mode 2 when byte 5 is set else 0, the extra-mode flag, which a page only
// ever sets, and the address-layout byte), the thresholds (into the BCH 24
// pair when the ECC mode is 2, else the BCH 16 pair), WearLevelFrequency,
// SecurityCounter, the scramble and remap options (only ever set), tokens 13
// and 14, register set 2, the feature byte, the firmware header copy and the
// firmware date code; the port record's layout words 2 and 3.
bool LoadFirmwareParamsFromConfig(PortIoRecord& record, FlashParams& params, std::span<const std::uint8_t> page);

// The part name (32 bytes at 608; the field keeps 31 characters) and the
// flash setting as LoadFirmwareParamsFromConfig takes it.
bool LoadFlashSettingFromConfig(FlashSetting& setting, std::span<const std::uint8_t> page);

// DrvCurrent := byte 6, ResPercentage := byte 26 x 256 + byte 8,
// DefPercentage := byte 32.
bool LoadPercentagesFromConfig(FlashParams& params, std::span<const std::uint8_t> page);

// The download file count (byte 560) and each file's start page and page
// count (u16 pairs from 568); the entries past the count are cleared.
bool LoadFileTableFromConfig(LoaderFileTable& table, std::span<const std::uint8_t> page);

// The first 16 bytes are "LDBK BLOCKS V30" and its 0 byte.
bool IsLoaderHeader(std::span<const std::uint8_t> page);

// Reads the configuration page into the first 4 KiB of `buffer` and decodes
// it, then looks for the loader header in page 0 of each loader block the
// page names and decodes the first one found. The loader pages go into a
// buffer of the function's own, so the configuration page stays in `buffer`
// for callers that show its identity bytes.
//
// The values start from those the port's work started with (the part
// selected, see StartPortFlashParams), never from an earlier read's; they
// become this port's flash parameters (ParamsOfPort) and no other port's.
// The process-wide ones stay the part selected.
//
// False, with nothing sent, when the port does not exist or `buffer` holds
// less than 4 KiB; false when the configuration page cannot be read (the
// port is then back to the values its work started with). A drive without a
// loader header still gives true. `unused` is not read.
bool LoadDeviceConfig(int port, std::span<std::uint8_t> buffer, int unused);

}  // namespace devlib
