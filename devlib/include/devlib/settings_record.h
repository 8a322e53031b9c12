#pragma once
// The station's tool settings of a production run, field by field. The
// record starts cleared; loading the settings file fills it (settings_file.h).

#include <array>
#include <cstdint>

#include "devlib/fixed_text.h"

namespace devlib {

// Test item numbers run from 1 to 28; index 0 is unused.
inline constexpr int kItemEnableCount = 29;

struct SettingsRecord {
  // Counters, kept in the counter file, not in the settings file.
  std::uint32_t TotalTestCount = 0;
  std::uint32_t NumberOfPass = 0;

  // Product and run.
  FixedText<80> ProductModel;
  std::uint8_t MPVersion = 0;  // nonzero in a loaded file locks the settings pages
  std::uint8_t ShowTitle = 0;
  std::uint32_t TimeOut = 0;  // per-port watchdog, milliseconds
  std::uint8_t ConnectDevNum = 0;

  // Switches.
  std::uint8_t EnBarCode = 0;
  std::uint8_t EnDumpFreeBlockInfo = 0;
  std::uint8_t EnUpdateFirmwareMode = 0;
  std::uint8_t EnBarCodeWWN = 0;
  std::uint8_t EnCustomizeIdentify = 0;

  std::array<std::uint8_t, kItemEnableCount> ItemEnable{};

  // Checks.
  std::uint8_t EnCheckSnLength = 0;
  std::uint8_t CheckSnLengthValue = 0;  // at most 20
  std::uint8_t CheckFlashMask = 0;      // bits 0-4: compare flash ID bytes 1-5
  std::uint8_t DownloadType = 0;        // bit 0 SATA firmware file, bit 1 USB firmware file

  // Serial number check, set from the settings pages only.
  std::uint8_t SnCheckPattern = 0;
  FixedText<40> SnCheckValue;
  FixedText<40> SnCheckMask;

  // Format and image.
  std::uint8_t DiskFormat = 0;
  FixedText<40> DiskLabel;
  FixedText<260> CopyImagePath;

  std::uint8_t EnGenImage = 0;
  std::uint8_t CheckMaxTemperatureValue = 0;
  std::uint8_t QCCheckMaxTemperatureValue = 0;
  std::uint64_t SetMaxLBAValue = 0;

  // Identity.
  FixedText<22> SerialNum;
  FixedText<10> FirmwareVer;
  FixedText<42> ModelNum;

  std::uint8_t SNAutoInc = 0;
  std::uint8_t SNDecimal = 0;
  std::uint8_t SNErrReuse = 0;
  std::uint8_t SNMinLength = 0;

  FixedText<6> VID;  // hexadecimal text
  FixedText<6> PID;

  FixedText<10> VendorName;
  FixedText<18> ProductName;
  FixedText<18> ManufString;
  FixedText<26> ProductString;

  std::uint8_t EncryptionEnable = 0;
  FixedText<24> EncryptionString;

  FixedText<8> OUI;
  FixedText<12> UID;
  std::uint8_t UIDAutoInc = 0;
  std::uint8_t UIDDecimal = 0;
  std::uint8_t IDE_UDMA5 = 0;

  FixedText<260> ExtFlashFile;

  // Flash. The part's unique name is as wide as the flash list's, so that
  // every listed part can be selected and saved without being cut.
  std::uint8_t Capacity = 0;
  FixedText<32> FlashUniName;
  std::uint8_t Channel = 0;
  std::uint8_t Bank = 0;
  std::uint8_t DrvCurrent = 0;

  // Firmware ratios and thresholds.
  std::uint8_t DefPercentage = 0;
  std::uint16_t ResPercentage = 0;  // per mille
  std::uint8_t Bch16ReadErrorThreshold = 0;
  std::uint8_t Bch24ReadErrorThreshold = 0;
  std::uint8_t Bch16EccErrorCopyThreshold = 0;
  std::uint8_t Bch24EccErrorCopyThreshold = 0;
  std::uint8_t WearLevelFrequency = 0;

  // Firmware switches.
  std::uint8_t ScrambleEnable = 0;
  std::uint8_t RemapEnable = 0;
  std::uint8_t UsbRemovable = 0;
  std::uint8_t UsbLedP14 = 0;
  std::uint8_t SecurityCounter = 0;
  std::uint16_t DirtyDepth = 0;
  std::uint8_t InterleaveWay = 0;
  std::uint8_t LEDControl = 0;

  // Bad blocks: where the bad-block table comes from.
  std::uint8_t EnSkipEraseGood = 0;
  std::uint8_t EnEarlyBad = 0;         // "Factory Default BB"
  std::uint8_t UseLaterBad = 0;        // "Factory + New BB"
  std::uint8_t EnEraseReBuildBad = 0;  // "Erase Search"
  std::uint8_t EnTrimCmd = 0;          // firmware feature bit 0
  std::uint8_t EnThermalSensor = 0;    // bit 1
  std::uint8_t EnSizeAlignment = 0;    // bit 4

  std::uint8_t KeepEraseCount = 0;
  std::uint8_t UpdateFirmwareA2B = 0;
  std::uint8_t EnModifyTMCvalue = 0;
  std::uint8_t TMC0 = 0;
  std::uint8_t TMC1 = 0;

  // Defect and later table files of the RD page.
  std::uint8_t EnableGetPutTable = 0;
  FixedText<260> TableIn;
  FixedText<260> TableOut;
  FixedText<260> LaterTableIn;
  FixedText<260> LaterTableOut;

  // Settings-page values that the settings file does not hold.
  std::uint16_t IdemaCapacity = 0;
  std::uint16_t RWTestPercentageValue = 0;
  std::uint16_t LbaCapacity = 0;
  std::uint16_t RWTestPercentageCycle = 0;
  std::uint16_t WTestFullCycle = 0;
  std::uint16_t RWTestFullCycle = 0;
  std::uint16_t QCBadBlockLimit = 0;

  bool operator==(const SettingsRecord&) const = default;
};

}  // namespace devlib
