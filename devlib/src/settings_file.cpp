#include "devlib/settings_file.h"

#include <algorithm>
#include <cstdio>
#include <limits>
#include <string_view>
#include <type_traits>
#include <utility>

#include "devlib/debug_print.h"
#include "platform/paths.h"

namespace devlib {
namespace {

constexpr std::uint64_t kNoLimit = std::numeric_limits<std::uint64_t>::max();

// The file holds the watchdog in minutes, the record in milliseconds; more
// minutes than this do not fit the record.
constexpr std::uint64_t kMsPerMinute = 60000;
constexpr std::uint64_t kMaxTimeOutMinutes = std::numeric_limits<std::uint32_t>::max() / kMsPerMinute;
constexpr std::uint32_t kTimeOutForZeroMs = 300000;

constexpr std::string_view kIdentifyKeyStem = "IdentiyData";

enum class ValueType { Int, Int64, Text, IdentifyTable };

// Where a key's value is kept. Numbers read from the file are cut to the
// field's width before they are stored, as a plain assignment would, unless
// the key has a range.
struct Field {
  std::uint64_t widthMask = kNoLimit;
  std::uint64_t usedBits = kNoLimit;  // numbers packed into a byte with others
  std::size_t textSize = 0;           // texts: bytes of the field with the terminator
  void (*storeNumber)(SettingsRecord&, FlashParams&, std::uint64_t) = nullptr;
  std::uint64_t (*loadNumber)(const SettingsRecord&) = nullptr;  // null: never written
  void (*storeText)(SettingsRecord&, std::string_view) = nullptr;
  std::string_view (*loadText)(const SettingsRecord&) = nullptr;
};

// A value outside its documented range is brought to the nearer end, with a
// debug line.
struct Range {
  std::uint64_t min = 0;
  std::uint64_t max = kNoLimit;
};

struct SettingKey {
  std::string_view section;
  std::string_view key;
  ValueType type = ValueType::Int;
  std::uint64_t defaultNumber = 0;
  std::string_view defaultText;
  Field field;
  Range range;
  void (*afterRead)(SettingsRecord&) = nullptr;
};

template <typename Owner, auto Member>
using MemberOf = std::remove_cvref_t<decltype(std::declval<Owner&>().*Member)>;

template <auto Member>
constexpr Field RecordNumber() {
  using T = MemberOf<SettingsRecord, Member>;
  Field field;
  field.widthMask = std::numeric_limits<T>::max();
  field.storeNumber = [](SettingsRecord& settings, FlashParams&, std::uint64_t value) {
    settings.*Member = static_cast<T>(value);
  };
  field.loadNumber = [](const SettingsRecord& settings) -> std::uint64_t { return settings.*Member; };
  return field;
}

// A record field whose value the library also keeps among its option switches.
template <auto Member, auto Copy>
constexpr Field RecordNumberWithCopy() {
  using T = MemberOf<SettingsRecord, Member>;
  static_assert(std::is_same_v<T, MemberOf<FlashParams, Copy>>);
  Field field = RecordNumber<Member>();
  field.storeNumber = [](SettingsRecord& settings, FlashParams& options, std::uint64_t value) {
    settings.*Member = static_cast<T>(value);
    options.*Copy = static_cast<T>(value);
  };
  return field;
}

template <int Item>
constexpr Field ItemEnable() {
  static_assert(Item >= 1 && Item < kItemEnableCount);
  Field field;
  field.widthMask = std::numeric_limits<std::uint8_t>::max();
  field.storeNumber = [](SettingsRecord& settings, FlashParams&, std::uint64_t value) {
    settings.ItemEnable[Item] = static_cast<std::uint8_t>(value);
  };
  field.loadNumber = [](const SettingsRecord& settings) -> std::uint64_t { return settings.ItemEnable[Item]; };
  return field;
}

template <auto Option>
constexpr Field OptionSwitch() {
  using T = MemberOf<FlashParams, Option>;
  Field field;
  field.widthMask = std::numeric_limits<T>::max();
  field.storeNumber = [](SettingsRecord&, FlashParams& options, std::uint64_t value) {
    options.*Option = static_cast<T>(value);
  };
  return field;
}

// EnWriteProtect (bit 7), EnSecurityErase (bit 6) and SEStartLatency (bits
// 0-5) share the security byte; each keeps to its own bits.
template <int Shift, std::uint8_t Bits>
constexpr Field SecurityByteBits() {
  Field field;
  field.usedBits = Bits;
  field.storeNumber = [](SettingsRecord&, FlashParams& options, std::uint64_t value) {
    options.writeProtectByte = static_cast<std::uint8_t>(options.writeProtectByte | ((value & Bits) << Shift));
  };
  return field;
}

constexpr Field TimeOutMinutes() {
  Field field;
  field.storeNumber = [](SettingsRecord& settings, FlashParams&, std::uint64_t minutes) {
    settings.TimeOut = minutes == 0 ? kTimeOutForZeroMs : static_cast<std::uint32_t>(minutes * kMsPerMinute);
  };
  field.loadNumber = [](const SettingsRecord& settings) -> std::uint64_t {
    return settings.TimeOut / kMsPerMinute;
  };
  return field;
}

template <auto Member>
constexpr Field RecordText() {
  using T = MemberOf<SettingsRecord, Member>;
  Field field;
  field.textSize = T::kCapacity + 1;
  field.storeText = [](SettingsRecord& settings, std::string_view value) { (settings.*Member).assignTruncated(value); };
  field.loadText = [](const SettingsRecord& settings) { return (settings.*Member).view(); };
  return field;
}

// With the decimal flag set, a serial number or UID holding anything but
// digits becomes all zeros of the same length.
template <std::size_t N>
void ZeroUnlessDecimal(FixedText<N>& text) {
  const std::string_view value = text.view();
  if (std::all_of(value.begin(), value.end(), [](char c) { return c >= '0' && c <= '9'; })) return;
  std::fill_n(text.data(), value.size(), '0');
}

void ApplySerialDecimal(SettingsRecord& settings) {
  if (settings.SNDecimal != 0) ZeroUnlessDecimal(settings.SerialNum);
}

void ApplyUidDecimal(SettingsRecord& settings) {
  if (settings.UIDDecimal != 0) ZeroUnlessDecimal(settings.UID);
}

constexpr SettingKey Int(std::string_view section, std::string_view key, std::uint64_t defaultValue, Field field,
                         Range range = {}, void (*afterRead)(SettingsRecord&) = nullptr) {
  return SettingKey{section, key, ValueType::Int, defaultValue, {}, field, range, afterRead};
}

constexpr SettingKey Int64(std::string_view section, std::string_view key, std::uint64_t defaultValue,
                           Field field) {
  return SettingKey{section, key, ValueType::Int64, defaultValue, {}, field, {}, nullptr};
}

constexpr SettingKey Text(std::string_view section, std::string_view key, std::string_view defaultValue,
                          Field field) {
  return SettingKey{section, key, ValueType::Text, 0, defaultValue, field, {}, nullptr};
}

// "IdentiyData000" .. "IdentiyData255", kept in the option table.
constexpr SettingKey IdentifyTable(std::string_view section) {
  return SettingKey{section, kIdentifyKeyStem, ValueType::IdentifyTable, 0, "XXXXX", {}, {}, nullptr};
}

using S = SettingsRecord;
using P = FlashParams;

// Every key of the file, in the order it is read.
constexpr SettingKey kSettingKeys[] = {
    Int("Setting", "ShowTitle", 0, RecordNumber<&S::ShowTitle>()),
    Int("Setting", "EnDumpFreeBlockInfo", 0, RecordNumber<&S::EnDumpFreeBlockInfo>()),
    Int("Setting", "EnUpdateFirmwareMode", 0, RecordNumber<&S::EnUpdateFirmwareMode>()),
    Text("Setting", "ProductModel", "KW", RecordText<&S::ProductModel>()),
    Int("Setting", "MPVersion", 0, RecordNumber<&S::MPVersion>()),
    Int("Setting", "TimeOut", 20, TimeOutMinutes(), {0, kMaxTimeOutMinutes}),
    Int("Setting", "ConnectDevNum", 0, RecordNumber<&S::ConnectDevNum>()),
    Int("Setting", "EnBarCode", 0, RecordNumber<&S::EnBarCode>()),
    Int("Setting", "EnSaveDefectTable", 0, OptionSwitch<&P::enSaveDefectTable>()),
    Int("Setting", "KeepEraseCount", 0, RecordNumber<&S::KeepEraseCount>()),
    Int("Setting", "EnBarCodeWWN", 0, RecordNumber<&S::EnBarCodeWWN>()),
    Int("Setting", "EnCustomizeIdentify", 0, RecordNumber<&S::EnCustomizeIdentify>()),
    Int("Setting", "EnNoCheckBridge", 0, OptionSwitch<&P::enNoCheckBridge>()),
    Int("Setting", "SataBusMode", 2, OptionSwitch<&P::sataBusMode>()),

    Int("TestItems", "EnFlashModule", 1, ItemEnable<1>()),
    Int("TestItems", "CheckFlashMask", 31, RecordNumberWithCopy<&S::CheckFlashMask, &P::checkFlashMask>()),
    Int("TestItems", "EnSataTest", 0, ItemEnable<2>()),
    Int("TestItems", "EnFlashTest", 0, ItemEnable<3>()),
    Int("TestItems", "EnDramTest", 0, ItemEnable<4>()),
    Int("TestItems", "EnPreFormat", 0, ItemEnable<5>()),
    Int("TestItems", "EnDownload", 0, ItemEnable<6>()),
    Int("TestItems", "DownloadType", 1, RecordNumber<&S::DownloadType>()),
    Int("TestItems", "EnRWTest", 0, ItemEnable<8>()),
    Int("TestItems", "EnCheckTables", 0, ItemEnable<9>()),
    Int("TestItems", "EnSetMaxLBA", 0, ItemEnable<10>()),
    Int64("TestItems", "SetMaxLBAValue", 0, RecordNumber<&S::SetMaxLBAValue>()),
    Int("TestItems", "EnFormat", 0, ItemEnable<11>()),
    Text("TestItems", "DiskLabel", "SSD Disk", RecordText<&S::DiskLabel>()),
    Int("TestItems", "DiskFormat", 0, RecordNumber<&S::DiskFormat>()),
    Int("TestItems", "EnCopyImage", 0, ItemEnable<12>()),
    Text("TestItems", "CopyImagePath", "", RecordText<&S::CopyImagePath>()),
    Int("TestItems", "EnGenImage", 0, RecordNumber<&S::EnGenImage>()),
    Int("TestItems", "EnCheckTemperature", 0, ItemEnable<13>()),
    Int("TestItems", "CheckMaxTemperatureValue", 0, RecordNumber<&S::CheckMaxTemperatureValue>()),
    Int("TestItems", "EnWTestFullMP", 0, ItemEnable<14>()),
    Int("TestItems", "EnCheckSnLength", 0, RecordNumber<&S::EnCheckSnLength>()),
    Int("TestItems", "CheckSnLengthValue", 12, RecordNumber<&S::CheckSnLengthValue>(), {0, 20}),

    Text("DeviceSetting", "SerialNum", "KW_0123456789", RecordText<&S::SerialNum>()),
    Text("DeviceSetting", "FirmwareVer", "12345678", RecordText<&S::FirmwareVer>()),
    Text("DeviceSetting", "ModelNum", "Tolvane KWFAXX SSD", RecordText<&S::ModelNum>()),
    Int("DeviceSetting", "SNAutoInc", 0, RecordNumber<&S::SNAutoInc>()),
    Int("DeviceSetting", "SNDecimal", 0, RecordNumber<&S::SNDecimal>(), {}, ApplySerialDecimal),
    Int("DeviceSetting", "SNMinLength", 12, RecordNumber<&S::SNMinLength>(), {0, 20}),
    Int("DeviceSetting", "SNErrReuse", 0, RecordNumber<&S::SNErrReuse>()),
    Text("DeviceSetting", "VID", "2E57", RecordText<&S::VID>()),
    Text("DeviceSetting", "PID", "4B57", RecordText<&S::PID>()),
    Text("DeviceSetting", "VendorName", "Tolvane", RecordText<&S::VendorName>()),
    Text("DeviceSetting", "ProductName", "Tolvane KWFAXX", RecordText<&S::ProductName>()),
    Text("DeviceSetting", "ManufString", "Tolvane", RecordText<&S::ManufString>()),
    Text("DeviceSetting", "ProductString", "Tolvane KWFAXX SSD", RecordText<&S::ProductString>()),
    Int("DeviceSetting", "EncryptionEnable", 0, RecordNumber<&S::EncryptionEnable>()),
    Text("DeviceSetting", "EncryptionString", "ZIvudiz", RecordText<&S::EncryptionString>()),
    Int("DeviceSetting", "IDE_UDMA5", 0, RecordNumberWithCopy<&S::IDE_UDMA5, &P::ideUdma5>()),
    Text("DeviceSetting", "OUI", "000000", RecordText<&S::OUI>()),
    Text("DeviceSetting", "UID", "000000000", RecordText<&S::UID>()),
    Int("DeviceSetting", "UIDAutoInc", 0, RecordNumber<&S::UIDAutoInc>()),
    Int("DeviceSetting", "UIDDecimal", 0, RecordNumber<&S::UIDDecimal>(), {}, ApplyUidDecimal),
    IdentifyTable("DeviceSetting"),

    Text("FlashSetting", "ExtFlashFile", "Flash.ini", RecordText<&S::ExtFlashFile>()),
    Int("FlashSetting", "Capacity", 0, RecordNumber<&S::Capacity>()),
    Text("FlashSetting", "FlashUniName", "WBG", RecordText<&S::FlashUniName>()),
    Int("FlashSetting", "Channel", 8, RecordNumber<&S::Channel>(), {1, 8}),
    Int("FlashSetting", "Bank", 2, RecordNumber<&S::Bank>(), {1, 8}),
    Int("FlashSetting", "DrvCurrent", 1, RecordNumber<&S::DrvCurrent>()),

    Int("FwSetting", "DefPercentage", 48, RecordNumber<&S::DefPercentage>()),
    Int("FwSetting", "ResPercentage", 68, RecordNumber<&S::ResPercentage>(), {0, 1000}),
    Int("FwSetting", "Bch16ReadErrorThreshold", 13, RecordNumber<&S::Bch16ReadErrorThreshold>()),
    Int("FwSetting", "Bch24ReadErrorThreshold", 20, RecordNumber<&S::Bch24ReadErrorThreshold>()),
    Int("FwSetting", "Bch16EccErrorCopyThreshold", 4, RecordNumber<&S::Bch16EccErrorCopyThreshold>()),
    Int("FwSetting", "Bch24EccErrorCopyThreshold", 15, RecordNumber<&S::Bch24EccErrorCopyThreshold>()),
    Int("FwSetting", "WearLevelFrequency", 128, RecordNumber<&S::WearLevelFrequency>()),
    Int("FwSetting", "ScrambleEnable", 1, RecordNumber<&S::ScrambleEnable>()),
    Int("FwSetting", "RemapEnable", 1, RecordNumber<&S::RemapEnable>()),
    Int("FwSetting", "UsbRemovable", 0, RecordNumberWithCopy<&S::UsbRemovable, &P::usbRemovable>()),
    Int("FwSetting", "UsbLedP14", 0, RecordNumberWithCopy<&S::UsbLedP14, &P::usbLedP14>()),
    Int("FwSetting", "SecurityCounter", 5, RecordNumber<&S::SecurityCounter>()),
    Int("FwSetting", "DirtyDepth", 40, RecordNumberWithCopy<&S::DirtyDepth, &P::dirtyDepth>()),
    Int("FwSetting", "InterleaveWay", 4, RecordNumber<&S::InterleaveWay>()),
    Int("FwSetting", "LEDControl", 0, RecordNumber<&S::LEDControl>()),
    Int("FwSetting", "EnSkipEraseGood", 0, RecordNumber<&S::EnSkipEraseGood>()),
    Int("FwSetting", "EnEarlyBad", 0, RecordNumber<&S::EnEarlyBad>()),
    Int("FwSetting", "EnEraseReBuildBad", 0, RecordNumber<&S::EnEraseReBuildBad>()),
    Int("FwSetting", "EnTrimCmd", 1, RecordNumber<&S::EnTrimCmd>()),
    Int("FwSetting", "EnThermalSensor", 0, RecordNumber<&S::EnThermalSensor>()),
    Int("FwSetting", "EnSizeAlignment", 0, RecordNumber<&S::EnSizeAlignment>()),
    Int("FwSetting", "UpdateFirmwareA2B", 0, RecordNumber<&S::UpdateFirmwareA2B>()),
    Int("FwSetting", "EnModifyTMCvalue", 0, RecordNumber<&S::EnModifyTMCvalue>()),
    Int("FwSetting", "TMC0", 17, RecordNumber<&S::TMC0>()),
    Int("FwSetting", "TMC1", 17, RecordNumber<&S::TMC1>()),
    Int("FwSetting", "EnScrambleRandomSeed", 0, OptionSwitch<&P::enScrambleRandomSeed>()),
    Int("FwSetting", "EnWriteProtect", 0, SecurityByteBits<7, 0x01>()),
    Int("FwSetting", "EnSecurityErase", 0, SecurityByteBits<6, 0x01>()),
    Int("FwSetting", "SEStartLatency", 0, SecurityByteBits<0, 0x3F>()),

    Int("RDSetting", "EnableGetPutTable", 0, RecordNumber<&S::EnableGetPutTable>()),
    Text("RDSetting", "TableIn", "", RecordText<&S::TableIn>()),
    Text("RDSetting", "TableOut", "", RecordText<&S::TableOut>()),
    Text("RDSetting", "LaterTableIn", "", RecordText<&S::LaterTableIn>()),
    Text("RDSetting", "LaterTableOut", "", RecordText<&S::LaterTableOut>()),
    Int("RDSetting", "DumpDebugFile", 0, OptionSwitch<&P::dumpDebugFile>()),
};

enum class WriteWhen {
  Always,
  Nonzero,                // the key's own value
  NotEmpty,               // the key's own text
  CopyImageEnabled,       // ItemEnable[12]
  TemperatureCheckOn,     // ItemEnable[13]
  EncryptionUnguarded,    // EncryptionEnable set and the guard file absent
  CustomIdentify,         // EnCustomizeIdentify set
  GetPutTableEnabled,     // EnableGetPutTable set
};

struct WrittenKey {
  std::string_view section;
  std::string_view key;
  WriteWhen when = WriteWhen::Always;
};

// The keys written back, in the order they are written. Every setting the
// settings pages can change is among them, so that a change survives the
// next start.
constexpr WrittenKey kWriteOrder[] = {
    {"Setting", "ProductModel"},
    {"Setting", "MPVersion"},
    {"Setting", "TimeOut"},
    {"Setting", "ConnectDevNum"},
    {"Setting", "EnBarCode"},
    {"Setting", "KeepEraseCount"},
    {"Setting", "EnBarCodeWWN"},

    {"TestItems", "EnFlashModule"},
    {"TestItems", "CheckFlashMask"},
    {"TestItems", "EnSataTest"},
    {"TestItems", "EnFlashTest"},
    {"TestItems", "EnDramTest"},
    {"TestItems", "EnPreFormat"},
    {"TestItems", "EnDownload"},
    {"TestItems", "DownloadType"},
    {"TestItems", "EnRWTest"},
    {"TestItems", "EnCheckTables"},
    {"TestItems", "EnSetMaxLBA"},
    {"TestItems", "SetMaxLBAValue"},
    {"TestItems", "EnFormat"},
    {"TestItems", "DiskFormat"},
    {"TestItems", "DiskLabel"},
    {"TestItems", "EnCopyImage"},
    {"TestItems", "CopyImagePath", WriteWhen::CopyImageEnabled},
    {"TestItems", "EnCheckTemperature"},
    {"TestItems", "CheckMaxTemperatureValue", WriteWhen::TemperatureCheckOn},

    {"DeviceSetting", "ModelNum"},
    {"DeviceSetting", "FirmwareVer"},
    {"DeviceSetting", "SerialNum"},
    {"DeviceSetting", "SNAutoInc"},
    {"DeviceSetting", "SNDecimal"},
    {"DeviceSetting", "SNMinLength"},
    {"DeviceSetting", "SNErrReuse"},
    {"DeviceSetting", "VID"},
    {"DeviceSetting", "PID"},
    {"DeviceSetting", "VendorName"},
    {"DeviceSetting", "ProductName"},
    {"DeviceSetting", "ManufString"},
    {"DeviceSetting", "ProductString"},
    {"DeviceSetting", "IDE_UDMA5", WriteWhen::Nonzero},
    {"DeviceSetting", "EncryptionString", WriteWhen::EncryptionUnguarded},
    {"DeviceSetting", "OUI"},
    {"DeviceSetting", "UID"},
    {"DeviceSetting", "UIDAutoInc"},
    {"DeviceSetting", "UIDDecimal"},
    {"DeviceSetting", kIdentifyKeyStem, WriteWhen::CustomIdentify},

    {"FlashSetting", "ExtFlashFile", WriteWhen::NotEmpty},
    {"FlashSetting", "Capacity"},
    {"FlashSetting", "FlashUniName"},
    {"FlashSetting", "Channel"},
    {"FlashSetting", "Bank"},
    {"FlashSetting", "DrvCurrent"},

    {"FwSetting", "DefPercentage"},
    {"FwSetting", "ResPercentage"},
    {"FwSetting", "Bch16ReadErrorThreshold"},
    {"FwSetting", "Bch24ReadErrorThreshold"},
    {"FwSetting", "Bch16EccErrorCopyThreshold"},
    {"FwSetting", "Bch24EccErrorCopyThreshold"},
    {"FwSetting", "WearLevelFrequency"},
    {"FwSetting", "ScrambleEnable"},
    {"FwSetting", "RemapEnable"},
    {"FwSetting", "UsbRemovable"},
    {"FwSetting", "UsbLedP14"},
    {"FwSetting", "SecurityCounter"},
    {"FwSetting", "DirtyDepth"},
    {"FwSetting", "EnEarlyBad"},
    {"FwSetting", "EnEraseReBuildBad"},
    {"FwSetting", "EnTrimCmd"},
    {"FwSetting", "EnThermalSensor", WriteWhen::Nonzero},

    {"RDSetting", "TableIn", WriteWhen::GetPutTableEnabled},
    {"RDSetting", "TableOut", WriteWhen::GetPutTableEnabled},
    {"RDSetting", "LaterTableIn", WriteWhen::GetPutTableEnabled},
    {"RDSetting", "LaterTableOut", WriteWhen::GetPutTableEnabled},
};

constexpr const SettingKey* FindSettingKey(std::string_view section, std::string_view key) {
  for (const SettingKey& row : kSettingKeys) {
    if (row.section == section && row.key == key) return &row;
  }
  return nullptr;
}

constexpr bool KeysAreDistinct() {
  for (const SettingKey& row : kSettingKeys) {
    if (FindSettingKey(row.section, row.key) != &row) return false;
  }
  return true;
}

// Each written key is a known key that can be taken from the record.
constexpr bool WrittenKeysAreWritable() {
  for (const WrittenKey& written : kWriteOrder) {
    const SettingKey* row = FindSettingKey(written.section, written.key);
    if (row == nullptr) return false;
    if (row->type == ValueType::Text && row->field.loadText == nullptr) return false;
    if ((row->type == ValueType::Int || row->type == ValueType::Int64) && row->field.loadNumber == nullptr) {
      return false;
    }
  }
  return true;
}

// A value brought into its range is stored whole.
constexpr bool RangesFitTheirFields() {
  for (const SettingKey& row : kSettingKeys) {
    if (row.range.max != kNoLimit && row.range.max > (row.field.widthMask & row.field.usedBits)) return false;
  }
  return true;
}

static_assert(KeysAreDistinct());
static_assert(WrittenKeysAreWritable());
static_assert(RangesFitTheirFields());

int Length(std::string_view text) { return static_cast<int>(text.size()); }

std::string IdentifyKey(int entry) {
  char key[24];
  std::snprintf(key, sizeof key, "%.*s%3.3d", Length(kIdentifyKeyStem), kIdentifyKeyStem.data(), entry);
  return key;
}

// A value that does not start with a digit reads as 0; say so, as a damaged
// or hand-edited file is the likely cause.
void ReportNoNumber(const IniDocument& ini, const SettingKey& row) {
  const std::string value = ini.GetIniString(row.section, row.key, "", std::string::npos);
  if (value.empty() || (value.front() >= '0' && value.front() <= '9')) return;
  DebugPrint("Settings: [%.*s] %.*s=%.40s is no number; 0 is read", Length(row.section), row.section.data(),
             Length(row.key), row.key.data(), value.c_str());
}

void ReadNumber(const IniDocument& ini, const SettingKey& row, SettingsRecord& settings, FlashParams& options) {
  ReportNoNumber(ini, row);
  // Defaults and digit runs are never negative.
  const std::uint64_t read =
      row.type == ValueType::Int64
          ? ini.GetIniInt64(row.section, row.key, row.defaultNumber)
          : static_cast<std::uint64_t>(
                ini.GetIniInt(row.section, row.key, static_cast<std::int32_t>(row.defaultNumber)));
  // The range judges the whole number read; what it lets through fits the
  // field, so only keys without a range are cut to the field's width.
  std::uint64_t value = read;
  if (value < row.range.min || value > row.range.max) {
    value = std::clamp(value, row.range.min, row.range.max);
    DebugPrint("Settings: [%.*s] %.*s=%llu is outside %llu..%llu; %llu is used", Length(row.section),
               row.section.data(), Length(row.key), row.key.data(), static_cast<unsigned long long>(read),
               static_cast<unsigned long long>(row.range.min), static_cast<unsigned long long>(row.range.max),
               static_cast<unsigned long long>(value));
  }
  value &= row.field.widthMask;
  if ((value & ~row.field.usedBits) != 0) {
    DebugPrint("Settings: [%.*s] %.*s=%llu does not fit; only %llu is used", Length(row.section),
               row.section.data(), Length(row.key), row.key.data(), static_cast<unsigned long long>(read),
               static_cast<unsigned long long>(value & row.field.usedBits));
  }
  row.field.storeNumber(settings, options, value);
}

void ReportCutText(std::string_view section, std::string_view key, std::size_t length, std::size_t kept) {
  DebugPrint("Settings: [%.*s] %.*s is %zu characters long; the first %zu are kept", Length(section),
             section.data(), Length(key), key.data(), length, kept);
}

void ReadText(const IniDocument& ini, const SettingKey& row, SettingsRecord& settings) {
  const std::string value = ini.GetIniString(row.section, row.key, row.defaultText, std::string::npos);
  const std::size_t capacity = row.field.textSize - 1;
  if (value.size() > capacity) ReportCutText(row.section, row.key, value.size(), capacity);
  row.field.storeText(settings, value);
}

void ReadIdentifyTable(const IniDocument& ini, const SettingKey& row, FlashParams& options) {
  for (int entry = 0; entry < kIdentifyDataEntries; ++entry) {
    const std::string key = IdentifyKey(entry);
    auto& field = options.identifyData[static_cast<std::size_t>(entry)];
    const std::string value = ini.GetIniString(row.section, key, row.defaultText, std::string::npos);
    if (value.size() > field.kCapacity) ReportCutText(row.section, key, value.size(), field.kCapacity);
    field.assignTruncated(value);
  }
}

// LEDControl in the high nibble, InterleaveWay in the low one.
std::uint8_t FirmwareModeByte(const SettingsRecord& settings) {
  if (settings.LEDControl > 0x0F || settings.InterleaveWay > 0x0F) {
    DebugPrint("Settings: LEDControl=%u and InterleaveWay=%u share one byte; only their low 4 bits are used",
               settings.LEDControl, settings.InterleaveWay);
  }
  return static_cast<std::uint8_t>((settings.LEDControl & 0x0F) << 4 | (settings.InterleaveWay & 0x0F));
}

bool CanOpenForReading(const std::filesystem::path& path) {
  std::FILE* file = std::fopen(path.c_str(), "r");
  if (file == nullptr) return false;
  std::fclose(file);
  return true;
}

bool ShouldWrite(WriteWhen when, const SettingKey& row, const SettingsRecord& settings, bool guardPresent) {
  switch (when) {
    case WriteWhen::Always:
      return true;
    case WriteWhen::Nonzero:
      return row.field.loadNumber(settings) != 0;
    case WriteWhen::NotEmpty:
      return !row.field.loadText(settings).empty();
    case WriteWhen::CopyImageEnabled:
      return settings.ItemEnable[12] != 0;
    case WriteWhen::TemperatureCheckOn:
      return settings.ItemEnable[13] != 0;
    case WriteWhen::EncryptionUnguarded:
      return settings.EncryptionEnable != 0 && !guardPresent;
    case WriteWhen::CustomIdentify:
      return settings.EnCustomizeIdentify != 0;
    case WriteWhen::GetPutTableEnabled:
      return settings.EnableGetPutTable != 0;
  }
  return false;
}

bool SetKey(IniDocument& ini, std::string_view section, std::string_view key, std::string_view value) {
  if (ini.SetIniString(section, key, value)) return true;
  DebugPrint("Settings: [%.*s] %.*s is not written: its value holds a line break", Length(section), section.data(),
             Length(key), key.data());
  return false;
}

bool WriteKey(IniDocument& ini, const SettingKey& row, const SettingsRecord& settings, const FlashParams& options) {
  switch (row.type) {
    case ValueType::Int:
      // Every field written as int is at most 16 bits wide, or minutes that
      // fit 32 bits signed.
      return ini.SetIniInt(row.section, row.key, static_cast<std::int32_t>(row.field.loadNumber(settings)));
    case ValueType::Int64:
      return ini.SetIniInt64(row.section, row.key, row.field.loadNumber(settings));
    case ValueType::Text:
      return SetKey(ini, row.section, row.key, row.field.loadText(settings));
    case ValueType::IdentifyTable: {
      bool allSet = true;
      for (int entry = 0; entry < kIdentifyDataEntries; ++entry) {
        allSet = SetKey(ini, row.section, IdentifyKey(entry),
                        options.identifyData[static_cast<std::size_t>(entry)].view()) &&
                 allSet;
      }
      return allSet;
    }
  }
  return false;
}

}  // namespace

void ReadToolSettings(IniDocument& ini, const std::string& path, SettingsRecord& settings, FlashParams& options) {
  const std::filesystem::path file = platform::paths::resolve(path);
  if (!ini.LoadIniText(file)) DebugPrint("Settings: %s cannot be read; the defaults are used", file.c_str());

  options.writeProtectByte = 0;
  for (const SettingKey& row : kSettingKeys) {
    switch (row.type) {
      case ValueType::Int:
      case ValueType::Int64:
        ReadNumber(ini, row, settings, options);
        break;
      case ValueType::Text:
        ReadText(ini, row, settings);
        break;
      case ValueType::IdentifyTable:
        ReadIdentifyTable(ini, row, options);
        break;
    }
    if (row.afterRead != nullptr) row.afterRead(settings);
  }
  // No key: every load starts from "Factory + New BB"; the pages may change it.
  settings.UseLaterBad = 1;
  options.firmwareModeByte = FirmwareModeByte(settings);
  options.firmwareOptions[kFirmwareOptionUsbLedP14] = options.usbLedP14;
}

bool WriteToolSettings(IniDocument& ini, const std::string& path, const SettingsRecord& settings,
                       const FlashParams& options, const std::string& encryptionGuardFile) {
  const bool guardPresent = CanOpenForReading(platform::paths::resolve(encryptionGuardFile));
  bool allKeysSet = true;
  for (const WrittenKey& written : kWriteOrder) {
    const SettingKey& row = *FindSettingKey(written.section, written.key);
    if (!ShouldWrite(written.when, row, settings, guardPresent)) continue;
    allKeysSet = WriteKey(ini, row, settings, options) && allKeysSet;
  }
  const std::filesystem::path file = platform::paths::resolve(path);
  const bool saved = ini.SaveIniText(file);
  if (!saved) DebugPrint("Settings: %s could not be saved", file.c_str());
  return allKeysSet && saved;
}

}  // namespace devlib
