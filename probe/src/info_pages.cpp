#include "probe/info_pages.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <optional>

#include "devlib/controller_access.h"
#include "devlib/device_config.h"
#include "devlib/drive_state.h"
#include "devlib/flash_params.h"
#include "devlib/port_buffers.h"
#include "devlib/port_io.h"
#include "devlib/standard_commands.h"
#include "devlib/vendor_commands.h"
#include "platform/prompt.h"
#include "probe/window_text.h"

namespace blockprobe {
namespace {

constexpr int kConfigParam = 3;
constexpr std::size_t kConfigSectors = 8;
constexpr std::size_t kSectorBytes = 512;
constexpr std::size_t kInquiryBytes = 40;
constexpr std::size_t kEraseCountHeadBytes = 8;
constexpr std::size_t kEraseCountNumberAt = 4;

bool Succeeded(int result) { return result == 1; }

std::uint16_t Le16(std::span<const std::uint8_t> bytes, std::size_t at) {
  return static_cast<std::uint16_t>(bytes[at] | bytes[at + 1] << 8);
}

// Reads the slot's configuration page; the flash parameters it left, or
// nothing when the page could not be read, so that such a drive shows none
// rather than another drive's.
std::optional<devlib::FlashParams> GetSSDInfo(int slot, std::span<std::uint8_t> buffer) {
  if (!devlib::LoadDeviceConfig(slot, buffer, 1)) return std::nullopt;
  return *devlib::ParamsOfPort(slot);
}

SsdInfoView ShowSSDInfo(int slot, std::span<std::uint8_t> buffer, const devlib::FlashParams& params) {
  devlib::GetIdentifyData(slot, buffer, 1);
  return FormatSsdInfo(params, devlib::GetCapacityMB(slot));
}

SataInfoView ParseInfo(int slot, std::span<std::uint8_t> buffer) {
  std::fill_n(buffer.begin(), kSectorBytes, std::uint8_t{0});
  devlib::GetIdentifyData(slot, buffer, 1);
  return FormatSataInfo(buffer.first<kSectorBytes>());
}

UsbInfoView ParseUSBInfo(int slot, std::span<std::uint8_t> buffer) {
  UsbInfoView view;
  std::array<std::uint8_t, kInquiryBytes> inquiry{};
  if (!Succeeded(devlib::InquiryDevice(slot, inquiry))) return view;
  const bool loader = IsProbeLoaderInquiry(inquiry);
  // The sector count, not READ CAPACITY's last LBA: "Total LBA" counts them.
  const std::uint64_t sectors = devlib::GetLbaSectorCount(slot);
  FormatUsbCapacity(view, static_cast<std::uint32_t>(sectors >> 11), sectors * kSectorBytes);
  if (loader || !devlib::LoadDeviceConfig(slot, buffer, 0)) return view;
  FormatUsbIdentity(view, buffer.first(kConfigSectors * kSectorBytes));
  return view;
}

std::vector<std::string> ParamBlockDump(int slot, std::span<std::uint8_t> buffer) {
  if (devlib::ReadMemoryBlock(slot, kConfigParam, 0, buffer, kConfigSectors) != 1) return {};
  return FormatParamBlockDump(buffer.first(kConfigSectors * kSectorBytes));
}

}  // namespace

EraseCountView GetEraseCount(int slot, std::span<std::uint8_t> buffer, const devlib::FlashParams& params) {
  const int channels = params.setting.channels;
  const int banks = params.setting.banks;
  const int planes = params.geometry.planes;
  if (buffer.size() < 2 * kSectorBytes || !devlib::ReadEraseCounts(slot, buffer.first(2 * kSectorBytes), 2, 0, 0)) {
    return {};
  }
  const std::size_t entries = std::min<std::size_t>(Le16(buffer, kEraseCountNumberAt), kMaxEraseCountEntries);
  const std::size_t sectors = EraseCountReadSectors(entries);
  if (buffer.size() < sectors * kSectorBytes) return {};
  std::vector<std::vector<std::int32_t>> tables;
  for (int unit = 0; unit < banks * planes; ++unit) {
    for (int channel = 0; channel < channels; ++channel) {
      // Unchecked, as the page shows what the drive answers.
      devlib::ReadEraseCounts(slot, buffer.first(sectors * kSectorBytes), sectors, static_cast<std::uint8_t>(channel),
                              static_cast<std::uint8_t>(unit));
      std::vector<std::int32_t>& table = tables.emplace_back(entries);
      for (std::size_t k = 0; k < entries; ++k) {
        std::memcpy(&table[k], buffer.data() + kEraseCountHeadBytes + 4 * k, sizeof(std::int32_t));
      }
    }
  }
  return FormatEraseCounts(channels, banks, planes, entries, tables);
}

InfoPages FillInfoPages(int slot, const FillSteps& steps) {
  InfoPages pages;
  const std::shared_ptr<const devlib::PortTransport> transport = devlib::PortTransportOf(slot);
  const std::shared_ptr<devlib::PortBuffers> buffers = devlib::PortBuffersOf(slot);
  if (transport == nullptr || transport->devicePath.empty() || !buffers) return pages;
  const std::span<std::uint8_t> buffer = buffers->workBuffer1();

  devlib::SwitchVendorMode(slot, true);
  if (devlib::IsLoaderDevice(slot)) platform::prompt::showMessage(kLoaderMessage);
  const std::optional<devlib::FlashParams> read = GetSSDInfo(slot, buffer);
  if (!read) platform::prompt::showMessage(kNoCodeBlockMessage);
  const devlib::FlashParams params = read.value_or(devlib::FlashParams{});
  pages.ssd = ShowSSDInfo(slot, buffer, params);
  pages.usbGroup = transport->usbPath != 0;
  if (pages.usbGroup) {
    pages.usb = ParseUSBInfo(slot, buffer);
  } else {
    pages.sata = ParseInfo(slot, buffer);
  }
  if (steps.showWaiting) steps.showWaiting();
  pages.eraseCount = GetEraseCount(slot, buffer, params);
  pages.paramBlockDump = ParamBlockDump(slot, buffer);
  if (steps.closeWaiting) steps.closeWaiting();
  return pages;
}

}  // namespace blockprobe
