#pragma once
// The fill of the information pages for one listed drive, in the order the
// window shows it: vendor mode, the loader and configuration checks (each
// reported through the prompt in force), the "SSD Info" texts, one of the
// two "Device Info" groups, the erase counts and the parameter block dump.
// The window shows the waiting window around the slower reads.

#include <functional>
#include <string>
#include <vector>

#include "probe/info_text.h"

namespace blockprobe {

struct InfoPages {
  SsdInfoView ssd;
  bool usbGroup = false;  // the drive's slot is on the USB path: `usb` is filled, else `sata`
  SataInfoView sata;
  UsbInfoView usb;
  EraseCountView eraseCount;
  std::vector<std::string> paramBlockDump;  // DpdFTLMemo
};

struct FillSteps {
  std::function<void()> showWaiting;
  std::function<void()> closeWaiting;
};

// Everything the pages show for the drive in `slot`. A slot without a drive
// gives empty pages.
InfoPages FillInfoPages(int slot, const FillSteps& steps);

// The erase-count page alone (the first read failing leaves it empty).
EraseCountView GetEraseCount(int slot, std::span<std::uint8_t> buffer, const devlib::FlashParams& params);

}  // namespace blockprobe
