#pragma once
// What the firmware knows of itself: the 4 KiB configuration page it serves
// at controller memory address 0 (memory reads with parameter 3), and the
// loader header that a firmware download leaves on page 0 of the loader
// blocks. Both come from the drive's configuration, so they agree with what
// IDENTIFY, INQUIRY, the USB descriptors and the flash answer.
//
// Configuration page:
//   76           IDENTIFY DEVICE image (SATA firmware: bridge and SATA port)
//   100, 102     USB vendor and product ID (USB firmware: the own interface)
//   110          INQUIRY image: vendor at 118, product at 126, revision at 142
//   158/192/242  string descriptors: manufacturer, product, serial
//   0x300        firmware header: "KWSS", the date code at +6, the mode
//                character ('S' or 'U') at +13, the firmware revision at +16
//   0xA00        parameter block (below), its geometry block at 0xA30
// Parameter block: 0 type word, 2 flags (0x20 extra mode), 3 channels,
// 4 banks, 5 BCH 24, 6 DrvCurrent, 7 address layout, 8/26 ResPercentage low
// and high byte, 9/10 option bits, 11 chip enables, 16 the four loader
// blocks, 24 the word 64, 32 read-error threshold (which the host also takes
// for DefPercentage), 33 ECC copy threshold, 34 wear-level frequency,
// 35 security counter, 40 bank map. Geometry block: 0..5 log2 of channels,
// banks (+1 with planes), 1, pages per block, blocks per plane, sectors per
// page; 7 the byte 8; 10 log2 banks; 11 1 or 2; 16 register set 1;
// 23 feature byte; 24 register set 2; 31 maker class bits; words 32/34 and
// 44/46 the layout words, 36 ResPercentage, 38 start page of download file 1,
// 48 512 or 800, 52 layout word 0 - 1. The super-page shift (6) and the mode
// byte (8) are the download's to set; this drive leaves them 0.
//
// Loader header page (one per channel): "LDBK BLOCKS V30" at 0, "A4X V2 " at
// 16, the channel at 24, sectors per page at 25, pages per block at 26, the
// loader blocks with flags 7 from 32, "LDBK CONFIG V30" at 512, the header
// sequence at 528, 560 and 640 at 536 and 540, the download file count at
// 560, first and last firmware page at 564 and 566, each file's start page
// and page count from 568, the part name at 608, the register table at 640,
// and the parameter block at 0xA00 when the page holds it.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "drivesim/config.h"
#include "firmware_boot.h"
#include "flash_array.h"

namespace drivesim::detail {

inline constexpr std::size_t kConfigPageBytes = 4096;
inline constexpr std::uint8_t kConfigPageParam = 3;

// With downloaded firmware running, its identity page gives the identity
// ('S': the IDENTIFY image at 76; 'U': the USB identity from 100 to 292) and
// the firmware header at 0x300.
std::vector<std::uint8_t> configPage(const DriveConfig& config, const BootedFirmware* booted = nullptr);

// Puts the part of the configuration page that lies at `address` ..
// `address` + out.size() into `out`; the bytes beyond the page stay.
void overlayConfigPage(const DriveConfig& config, const BootedFirmware* booted, std::uint32_t address,
                       std::span<std::uint8_t> out);

// The loader header page of one channel, `pageBytes` long.
std::vector<std::uint8_t> loaderHeaderPage(const DriveConfig& config, std::uint8_t channel, std::size_t pageBytes);

// With `loaderHeader` set: programs the header into page 0 of each loader
// block (the first four) on every channel, at the first chip enable.
void programLoaderHeaders(const DriveConfig& config, FlashArray& flash);

}  // namespace drivesim::detail
