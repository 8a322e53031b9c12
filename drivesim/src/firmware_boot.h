#pragma once
// What the loader finds in its blocks: the header a download leaves on
// page 0, the defect tables on page 1, and the downloaded firmware from
// page 8 on, which it boots in place of the built-in firmware.
//
// Everything is read on channel 0 at the first chip enable of the bank map.
// A download is there when page 8 of a loader block is programmed. To boot
// it the loader takes the first loader block whose page 0 carries both
// header texts ("LDBK BLOCKS V30" at 0, "LDBK CONFIG V30" at 512, each with
// its 0 byte), reads the file table (count at 560, first and last firmware
// page at 564 / 566, per file the start page and page count from 568), checks
// that the last page of every file ends with 55 AA EC 31, and runs file 1
// (run mode 2) or file 2 (run mode 3). The first page of that file with
// "KWSS" at 0x300 and the mode 'S' or 'U' at 0x30D gives the identity:
//   'S': the IDENTIFY DEVICE image at 76 (512 bytes);
//   'U': the INQUIRY image at 110 (36 bytes: vendor at 118, product at 126,
//        revision at 142), USB vendor / product ID at 100 / 102, string
//        descriptors at 158 (manufacturer), 192 (product), 242 (serial);
// and in both the firmware date code at 0x306.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "drivesim/config.h"
#include "flash_array.h"

namespace drivesim::detail {

inline constexpr std::uint16_t kFirstFirmwarePage = 8;

struct BootedFirmware {
  std::uint16_t loaderBlock = 0;
  std::size_t file = 0;      // in the file table
  std::uint16_t page = 0;    // of the identity page
  char mode = 'S';
  std::vector<std::uint8_t> identityPage;  // the "KWSS" page as downloaded

  std::string dateCode() const;
  // 'S' firmware: the IDENTIFY image and the texts in it (blanks trimmed).
  std::array<std::uint8_t, 512> identifyImage() const;
  std::string model() const;
  std::string serial() const;
  std::string firmwareRevision() const;
  // 'U' firmware.
  std::array<std::uint8_t, 36> inquiryImage() const;
  std::uint16_t usbVendorId() const;
  std::uint16_t usbProductId() const;
  // A string descriptor at 158, 192 or 242; what its length byte holds, at
  // most `most` characters, as 8-bit characters.
  std::string usbString(std::size_t at, std::size_t most) const;
};

struct BootOutcome {
  std::optional<BootedFirmware> firmware;  // none: the loader keeps running
  std::string note;                        // what booted, or which check failed
};

// Whether page 8 of a loader block holds a download.
bool downloadPresent(const DriveConfig& config, const FlashArray& flash);

// Boots the download for run mode 2 or 3.
BootOutcome bootDownload(const DriveConfig& config, const FlashArray& flash, std::uint8_t runMode);

// The highest header sequence (u16 at 528) among the loader blocks whose
// page 0 carries both header texts; none when no block does.
std::optional<std::uint16_t> newestHeaderSequence(const DriveConfig& config, const FlashArray& flash);

// Whether page 1 of a loader block starts with the defect-table signature.
bool defectTablesPresent(const DriveConfig& config, const FlashArray& flash);

// Erases every configured loader block on every channel at the first chip enable.
void eraseLoaderBlocks(const DriveConfig& config, FlashArray& flash);

// The file count of the header the loader boots from (the loader's mode
// value); 0 without one.
std::uint8_t loaderFileCount(const DriveConfig& config, const FlashArray& flash);

}  // namespace drivesim::detail
