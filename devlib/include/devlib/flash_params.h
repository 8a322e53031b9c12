#pragma once
// The flash and firmware values that every device operation reads: the
// geometry of the selected flash part, its counts and identity, the firmware
// options and the library's option switches taken from the settings file.

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "devlib/fixed_text.h"

namespace devlib {

struct FlashGeometry {
  std::uint16_t blockValue = 0;       // blocks per bank
  std::uint16_t halfPlaneBlocks = 0;  // (blockValue / 2) / planes
  std::uint16_t pagesPerBlock = 0;    // already halved when the half-pages flag is set
  std::uint8_t planes = 0;
  std::uint8_t sectorsPerPage = 0;
  std::array<std::uint8_t, 8> bankMap{};  // chip-enable id of each bank

  bool operator==(const FlashGeometry&) const = default;
};

struct FlashSetting {
  std::uint16_t typeWord = 0;
  std::uint8_t channels = 0;
  std::uint8_t banks = 0;
  std::uint8_t chipEnables = 0;
  std::uint8_t eccMode = 0;  // 2 = BCH 24, any other value BCH 16
  std::uint8_t halfPages = 0;
  std::uint8_t extraMode = 0;
  std::uint16_t rawCapacityGB = 0;
  std::uint8_t layoutByte = 0;
  FixedText<32> partName;

  bool operator==(const FlashSetting&) const = default;
};

inline constexpr int kIdentifyDataEntries = 256;

// The firmware option record: 14 option bytes that the parameter block
// packs into its option bits A (options 0-7) and B (options 8-13). Positions
// the host fills: 4 ScrambleEnable, 5 RemapEnable, 7 byte 0 of flash list
// token 11, 9 UsbLedP14, 10 always 0, 11 set at the run's start, 13 the part
// flag of the corrections by part number. Options 0-3, 6, 8 and 12 come only
// from a drive's configuration page; option 3 counts only with two banks.
using FirmwareOptions = std::array<std::uint8_t, 14>;
inline constexpr std::size_t kFirmwareOptionScramble = 4;
inline constexpr std::size_t kFirmwareOptionRemap = 5;
inline constexpr std::size_t kFirmwareOptionFromList = 7;  // byte 0 of flash list token 11
inline constexpr std::size_t kFirmwareOptionUsbLedP14 = 9;
inline constexpr std::size_t kFirmwareOptionCleared = 10;
inline constexpr std::size_t kFirmwareOptionRunStart = 11;
inline constexpr std::size_t kFirmwareOptionPartFlag = 13;
inline constexpr std::size_t kFirmwareHeaderCopySize = 51;

// Where the download files lie in the loader blocks, as a loader header lists
// them; its table has room for 8 files.
inline constexpr std::size_t kLoaderFileSlots = 8;
struct LoaderFileEntry {
  std::uint16_t startPage = 0;
  std::uint16_t pageCount = 0;

  bool operator==(const LoaderFileEntry&) const = default;
};
struct LoaderFileTable {
  std::uint8_t fileCount = 0;  // never above kLoaderFileSlots
  std::array<LoaderFileEntry, kLoaderFileSlots> files{};

  bool operator==(const LoaderFileTable&) const = default;
};

struct FlashParams {
  FlashGeometry geometry;
  std::uint16_t token13 = 0;
  std::uint16_t token14 = 0;
  std::uint8_t token15 = 0;
  std::array<std::uint8_t, 7> registerSet1{};
  std::array<std::uint8_t, 7> registerSet2{};
  FirmwareOptions firmwareOptions{};
  FlashSetting setting;

  std::uint8_t drvCurrent = 0;
  std::uint8_t readErrorThresholdBch16 = 0;
  std::uint8_t readErrorThresholdBch24 = 0;
  std::uint8_t eccCopyThresholdBch16 = 0;
  std::uint8_t eccCopyThresholdBch24 = 0;
  std::uint8_t defPercentage = 0;
  std::uint16_t resPercentage = 0;  // per mille
  std::uint8_t wearLevelFrequency = 0;
  std::uint8_t securityCounter = 0;
  std::uint16_t dirtyDepth = 0;
  std::uint8_t firmwareModeByte = 0;  // LEDControl << 4 | InterleaveWay
  std::uint8_t featureByte = 0;
  std::array<std::uint8_t, 5> flashId{};  // maker, device, 3rd, 4th, 5th byte
  std::uint8_t writeProtectByte = 0;      // EnWriteProtect bit 7, EnSecurityErase bit 6, SEStartLatency
  std::array<std::uint8_t, kFirmwareHeaderCopySize> firmwareHeader{};
  // The six-character date code of the firmware on the drive last read; it
  // decides how physical pages are read.
  FixedText<7> firmwareDateCode;

  // Identity written into firmware pages.
  std::uint16_t vid = 0;
  std::uint16_t pid = 0;
  FixedText<10> vendorName;
  FixedText<18> productName;
  FixedText<18> manufString;
  FixedText<26> productString;
  FixedText<10> firmwareVer;
  FixedText<42> modelNum;
  FixedText<24> encryptionString;
  FixedText<8> oui;
  // "IdentiyData%3.3d": 'Z' and up to four hex digits set IDENTIFY word n.
  std::array<FixedText<6>, kIdentifyDataEntries> identifyData;

  // Option switches taken from the settings file.
  std::uint8_t dumpDebugFile = 0;
  std::uint8_t enSaveDefectTable = 0;
  std::uint8_t largeUnitFlag = 0;
  std::uint8_t checkFlashMask = 0;
  std::uint8_t enScrambleRandomSeed = 0;
  std::uint8_t enNoCheckBridge = 0;
  std::uint8_t sataBusMode = 0;
  std::uint8_t ideUdma5 = 0;
  std::uint8_t usbRemovable = 0;
  std::uint8_t usbLedP14 = 0;
  std::uint8_t opcodeSetSelector = 0;
  // The firmware files of the download, full paths; file 1 is the SATA file.
  std::vector<std::string> downloadFiles;
  LoaderFileTable loaderFileTable;

  bool operator==(const FlashParams&) const = default;
};

// Whose flash parameters an operation uses:
// - The process-wide values are the part selected: what the settings load and
//   the flash selection publish, on the main thread while no port works.
// - Each port has its own values. StartPortFlashParams gives a port the part
//   selected as its work starts; after that only the port's own configuration
//   read (LoadDeviceConfig) replaces them, and a selection published later
//   changes nothing on that port.
// - Every operation on a port reads ParamsOfPort(port), never the
//   process-wide values, and what it changes goes into that port's values.
//   The switches that belong to no port (the dump switch, EnNoCheckBridge
//   for the bridge identification of a scan) are read from the part selected.
// All values are immutable snapshots: a reader never sees one half-written.

// The part selected.
std::shared_ptr<const FlashParams> CurrentFlashParams();
void PublishFlashParams(FlashParams params);
// Applies a selected part: publishes it, sets the process-wide tunnel opcode
// selector from its opcodeSetSelector (the bus mode) and copies the selector
// into every port's record, where a port forced to opcode set 1 keeps set 1.
void ApplyFlashSelection(FlashParams params);

// The port's own values, else the part selected when its work started, else
// the part selected now (a port that has not started, or an index outside
// the port table).
std::shared_ptr<const FlashParams> ParamsOfPort(int port);
// The port's work starts: its values become the part selected now.
void StartPortFlashParams(int port);
// The port's own values; nullptr takes it back to what its work started with.
void ReplacePortFlashParams(int port, std::shared_ptr<const FlashParams> params);
// Every port back to the part selected, as a fresh port table has it.
void ClearPortFlashParams();

}  // namespace devlib
