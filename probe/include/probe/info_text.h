#pragma once
// The texts of Blockprobe's drive list and information pages. Plain
// functions without Qt, so that the window and the text reports show the
// same bytes. Edit texts keep their line ends ("\r\n" or "\n") as built; the
// window strips them for display. Memos are returned as lists of lines.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "devlib/flash_params.h"

namespace blockprobe {

// ---------------------------------------------------------------------------
// Drive list

// Where the texts sit in 512 bytes of IDENTIFY DEVICE data.
struct AtaTextField {
  std::size_t offset;
  std::size_t length;
};
inline constexpr AtaTextField kAtaSerialField{20, 20};
inline constexpr AtaTextField kAtaFirmwareField{46, 8};
inline constexpr AtaTextField kAtaModelField{54, 40};

// Bus texts of the entry text.
inline constexpr std::string_view kBusTextIdeSata = " IDE / SATA ";
inline constexpr std::string_view kBusTextScsi = " SCSI ";
inline constexpr std::string_view kBusTextUsbSata = " USB / SATA ";
inline constexpr std::string_view kBusTextUsb = " USB ";
inline constexpr std::string_view kBusTextSbp2 = " SBP2 ";

// Fixes one IDENTIFY text in place: swaps every byte pair (a last odd byte
// stays), then leaves the text without leading or trailing blanks,
// left-aligned, with the rest of the field NUL. The text ends at the first
// NUL after the leading blanks.
void FixAtaString(std::span<std::uint8_t> field);

// Removes leading and trailing blanks and control characters.
std::string TrimEntryText(std::string_view text);

// The bytes of a fixed text field up to its first NUL (all of it when there
// is none), trimmed.
std::string FieldText(std::span<const std::uint8_t> field);

// Entry of a drive identified by IDENTIFY (IDE/SATA, SCSI, USB/SATA). The
// model and serial fields are the raw record fields; they are read up to
// their first NUL and trimmed. A non-empty volume tag adds " (" tag ":)".
std::string AtaEntryText(std::string_view busText, std::span<const std::uint8_t> model,
                         std::span<const std::uint8_t> serial, std::string_view volumeTag);

// Entry of a USB or SBP2 drive known by its INQUIRY vendor and product
// fields, read and trimmed like the IDENTIFY texts.
std::string InquiryEntryText(std::string_view busText, std::span<const std::uint8_t> vendor,
                             std::span<const std::uint8_t> product, std::string_view volumeTag);

// ---------------------------------------------------------------------------
// "SSD Info" page

struct SsdInfoView {
  std::string FlashmodelEdit;
  std::string ChannelEdit;
  std::string CapacityEdit;
  std::string DriverEdit;
  std::string ResPerEdit;
  std::string EccReadEdit;
  std::string EccCopyEdit;
  std::string WearLevelingEdit;
  std::string BankMapEdit;
  std::string FwEdit;
  std::string SupportEdit1;
  std::string SupportEdit2;
  std::string FlashInfoEdit;
  std::string FlashTypeEdit;
  std::string BlockCeEdit;
  std::string PageBlockEdit;
  std::string CeEdit;
  std::vector<std::string> SSDInfoMemo;
};

// The page from the flash parameters as the drive's configuration page left
// them and the drive's capacity in MB. The page's text table names maker
// classes 0-5 and drive currents 0-5 (2 mA to 12 mA); the codes 6 and 7 that
// the station also sets show "14 mA" and "16 mA", and any other maker class
// or drive current shows "Unknown". An ECC mode other than 0-2 shows
// "BCH 16", as the controller treats every mode but 2.
SsdInfoView FormatSsdInfo(const devlib::FlashParams& params, std::uint32_t capacityMB);

// ---------------------------------------------------------------------------
// "Device Info" page, SATA group

struct SataInfoView {
  std::string ModelNameEdit;
  std::string SNEdit;
  std::string FwVersionEdit;
  std::string DiskHeadEdit;
  std::string ChsEdit;
  std::string TotalSectorEdit;
  std::string MultiwordDMAmodeEdit;
  std::string MultiwordDMAEdit;
  std::string UltraDMAModeEdit;
  std::string UltraDMAEdit;
  std::string SMARTfeatureEdit;
  std::string SecurityModeEdit;
  std::string WWNEdit;
};

// From IDENTIFY DEVICE data as the drive sends it (texts in ATA byte order).
// A supported-mode pattern that is none of the listed ones leaves its field
// empty; the Ultra DMA fields stay empty unless word 53 says they are valid.
SataInfoView FormatSataInfo(std::span<const std::uint8_t, 512> identify);

// ---------------------------------------------------------------------------
// "Device Info" page, USB group

struct UsbInfoView {
  std::string CapEdit;
  std::string TotalLBAEdit;
  std::string VIDEdit;
  std::string PIDEdit;
  std::string VendorNameEdit;
  std::string ProductNameEdit;
  std::string ManufacturStringEdit;
  std::string ProductStringEdit;
  std::string SNUSBEdit;
};

// CapEdit and TotalLBAEdit.
void FormatUsbCapacity(UsbInfoView& view, std::uint32_t capacityMB, std::uint64_t capacityBytes);
// The identity fields from the drive's configuration page. A field whose
// bytes lie beyond the page's end is left empty or cut at the end.
void FormatUsbIdentity(UsbInfoView& view, std::span<const std::uint8_t> configPage);

// True when the INQUIRY data names the controller's loader.
bool IsProbeLoaderInquiry(std::span<const std::uint8_t> inquiry);

// ---------------------------------------------------------------------------
// "erase count" page

struct EraseCountView {
  std::vector<std::string> EraseMemo;
  std::string AeraseEdit;
  std::string MeraseEdit;
};

// Entries per table that fit, with the 8-byte head, in a 64 KiB read.
inline constexpr std::size_t kMaxEraseCountEntries = 16382;

// Sectors to read for tables of n entries, n taken as at most
// kMaxEraseCountEntries.
std::size_t EraseCountReadSectors(std::size_t entries);

// `tables` holds one table of `entries` counts per (unit, channel), unit
// outer, units = banks x planes; -1 marks a block without a count and shows
// as "X". A missing table or entry shows as "X" too.
EraseCountView FormatEraseCounts(int channels, int banks, int planes, std::size_t entries,
                                 const std::vector<std::vector<std::int32_t>>& tables);

// ---------------------------------------------------------------------------
// Parameter block dump of DpdFTLMemo

// One line per 16 bytes at 0xA00, 0xA10 ... 0xA80 of the configuration page;
// a line whose bytes the page does not hold is left out.
std::vector<std::string> FormatParamBlockDump(std::span<const std::uint8_t> page);

}  // namespace blockprobe
