#pragma once
// The flash part the emulated drives carry unless told otherwise: 4 channels,
// 2 banks on chip enables 0 and 1, 16-sector pages, 128 pages a block, 4096
// blocks, 2 planes, a Toshiba ID. Once as the flash parameters a test
// publishes, once as the flash part list's row a station folder holds.

#include "devlib/flash_params.h"
#include "testsupport/flash_list_builder.h"

namespace testsupport {

inline devlib::FlashParams EmulatedDrivesPart() {
  devlib::FlashParams p;
  p.setting.typeWord = 0x224A;
  p.setting.channels = 4;
  p.setting.banks = 2;
  p.setting.chipEnables = 2;
  p.geometry.bankMap = {0, 1, 0, 0, 0, 0, 0, 0};
  p.geometry.sectorsPerPage = 16;
  p.geometry.pagesPerBlock = 128;
  p.geometry.blockValue = 4096;
  p.geometry.planes = 2;
  p.geometry.halfPlaneBlocks = 1024;
  p.resPercentage = 68;
  p.flashId = {0x98, 0xD7, 0x94, 0x32, 0x76};
  p.checkFlashMask = 31;
  return p;
}

inline FlashPartSpec EmulatedDrivesPartSpec(std::string uni, std::string part) {
  return FlashPartSpec{.uni = std::move(uni),
                       .part = std::move(part),
                       .sectorsPerPage = 16,
                       .pagesPerBlock = 128,
                       .blocks = 4096,
                       .planes = 2,
                       .makerClass = 2,
                       .chipEnables = 2,
                       .flashId = {0x98, 0xD7, 0x94, 0x32, 0x76}};
}

}  // namespace testsupport
