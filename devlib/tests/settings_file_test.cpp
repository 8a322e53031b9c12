#include "devlib/settings_file.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <limits>
#include <ostream>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "platform/clock.h"
#include "platform/debug.h"
#include "platform/paths.h"
#include "testsupport/settings_file_builder.h"

namespace devlib {
namespace {

using testsupport::LineEnd;
using testsupport::ScratchDirectory;
using testsupport::SettingsFileBuilder;

std::string IdentifyKey(int entry) {
  char key[24];
  std::snprintf(key, sizeof key, "IdentiyData%3.3d", entry);
  return key;
}

std::string IdentifyValue(char flag, int entry) {
  char value[8];
  std::snprintf(value, sizeof value, "%c%04X", flag, entry);
  return value;
}

// The record as a missing file leaves it, written out field by field.
SettingsRecord DefaultRecord() {
  SettingsRecord r;
  r.ProductModel = "KW";
  r.TimeOut = 1200000;
  r.ItemEnable[1] = 1;
  r.CheckFlashMask = 31;
  r.DownloadType = 1;
  r.DiskLabel = "SSD Disk";
  r.CheckSnLengthValue = 12;
  r.SerialNum = "KW_0123456789";
  r.FirmwareVer = "12345678";
  r.ModelNum = "Tolvane KWFAXX SSD";
  r.SNMinLength = 12;
  r.VID = "2E57";
  r.PID = "4B57";
  r.VendorName = "Tolvane";
  r.ProductName = "Tolvane KWFAXX";
  r.ManufString = "Tolvane";
  r.ProductString = "Tolvane KWFAXX SSD";
  r.EncryptionString = "ZIvudiz";
  r.OUI = "000000";
  r.UID = "000000000";
  r.ExtFlashFile = "Flash.ini";
  r.FlashUniName = "WBG";
  r.Channel = 8;
  r.Bank = 2;
  r.DrvCurrent = 1;
  r.DefPercentage = 48;
  r.ResPercentage = 68;
  r.Bch16ReadErrorThreshold = 13;
  r.Bch24ReadErrorThreshold = 20;
  r.Bch16EccErrorCopyThreshold = 4;
  r.Bch24EccErrorCopyThreshold = 15;
  r.WearLevelFrequency = 128;
  r.ScrambleEnable = 1;
  r.RemapEnable = 1;
  r.SecurityCounter = 5;
  r.DirtyDepth = 40;
  r.InterleaveWay = 4;
  r.EnTrimCmd = 1;
  r.TMC0 = 17;
  r.TMC1 = 17;
  r.UseLaterBad = 1;
  return r;
}

// A station's file with every key away from its default.
std::string FullFixture() {
  SettingsFileBuilder b(LineEnd::CrLf);
  b.section("Setting")
      .key("ShowTitle", 2)
      .key("EnDumpFreeBlockInfo", 1)
      .key("EnUpdateFirmwareMode", 1)
      .key("LogPath", "logs")
      .key("ProductModel", "Model X200")
      .key("MPVersion", 3)
      .key("TimeOut", 45)
      .key("ConnectDevNum", 16)
      .key("EnBarCode", 1)
      .key("EnSaveDefectTable", 1)
      .key("KeepEraseCount", 1)
      .key("EnBarCodeWWN", 1)
      .key("EnCustomizeIdentify", 1)
      .key("EnNoCheckBridge", 1)
      .key("SataBusMode", 1)
      .blank();
  b.section("TestItems")
      .key("EnFlashModule", 0)
      .key("CheckFlashMask", 7)
      .key("EnSataTest", 1)
      .key("EnFlashTest", 1)
      .key("EnDramTest", 1)
      .key("EnPreFormat", 1)
      .key("EnDownload", 1)
      .key("DownloadType", 3)
      .key("EnRWTest", 1)
      .key("EnCheckTables", 1)
      .key("EnSetMaxLBA", 1)
      .key("SetMaxLBAValue", "8589934592")
      .key("EnFormat", 1)
      .key("DiskLabel", "FACTORY")
      .key("DiskFormat", 1)
      .key("EnCopyImage", 1)
      .key("CopyImagePath", "D:\\images\\base.img")
      .key("EnGenImage", 1)
      .key("EnCheckTemperature", 1)
      .key("CheckMaxTemperatureValue", 70)
      .key("EnWTestFullMP", 1)
      .key("EnCheckSnLength", 1)
      .key("CheckSnLengthValue", 16)
      .blank();
  b.section("DeviceSetting")
      .key("SerialNum", "SN20240001")
      .key("FirmwareVer", "FW2.1.0")
      .key("ModelNum", "Line Model 512G")
      .key("SNAutoInc", 1)
      .key("SNDecimal", 0)
      .key("SNMinLength", 10)
      .key("SNErrReuse", 1)
      .key("VID", "ABCD")
      .key("PID", "1234")
      .key("VendorName", "Acme")
      .key("ProductName", "Acme Drive")
      .key("ManufString", "Acme Corp")
      .key("ProductString", "Acme Drive 512G")
      .key("EncryptionEnable", 1)
      .key("EncryptionString", "Secret99")
      .key("IDE_UDMA5", 1)
      .key("OUI", "00AABB")
      .key("UID", "987654321")
      .key("UIDAutoInc", 1)
      .key("UIDDecimal", 1);
  for (int entry = 0; entry < kIdentifyDataEntries; ++entry) {
    b.key(IdentifyKey(entry), IdentifyValue(entry % 2 == 0 ? 'Z' : 'X', entry));
  }
  b.blank();
  b.section("FlashSetting")
      .key("ExtFlashFile", "Parts.ini")
      .key("Capacity", 3)
      .key("FlashUniName", "ABCDEFGHIJKLMNOPQRSTUV")
      .key("Channel", 4)
      .key("Bank", 8)
      .key("DrvCurrent", 2)
      .blank();
  b.section("FwSetting")
      .key("DefPercentage", 50)
      .key("ResPercentage", 900)
      .key("Bch16ReadErrorThreshold", 10)
      .key("Bch24ReadErrorThreshold", 18)
      .key("Bch16EccErrorCopyThreshold", 3)
      .key("Bch24EccErrorCopyThreshold", 12)
      .key("WearLevelFrequency", 64)
      .key("ScrambleEnable", 0)
      .key("RemapEnable", 0)
      .key("UsbRemovable", 1)
      .key("UsbLedP14", 1)
      .key("SecurityCounter", 9)
      .key("DirtyDepth", 1000)
      .key("InterleaveWay", 2)
      .key("LEDControl", 3)
      .key("EnSkipEraseGood", 1)
      .key("EnEarlyBad", 1)
      .key("EnEraseReBuildBad", 1)
      .key("EnTrimCmd", 0)
      .key("EnThermalSensor", 1)
      .key("EnSizeAlignment", 1)
      .key("UpdateFirmwareA2B", 1)
      .key("EnModifyTMCvalue", 1)
      .key("TMC0", 21)
      .key("TMC1", 22)
      .key("EnScrambleRandomSeed", 1)
      .key("EnWriteProtect", 1)
      .key("EnSecurityErase", 1)
      .key("SEStartLatency", 5)
      .blank();
  b.section("RDSetting")
      .key("EnableGetPutTable", 1)
      .key("TableIn", "in.txt")
      .key("TableOut", "out.txt")
      .key("LaterTableIn", "later_in.txt")
      .key("LaterTableOut", "later_out.txt")
      .key("DumpDebugFile", 1);
  return b.text();
}

SettingsRecord FullFixtureRecord() {
  SettingsRecord r;
  r.ShowTitle = 2;
  r.EnDumpFreeBlockInfo = 1;
  r.EnUpdateFirmwareMode = 1;
  r.ProductModel = "Model X200";
  r.MPVersion = 3;
  r.TimeOut = 45 * 60000;
  r.ConnectDevNum = 16;
  r.EnBarCode = 1;
  r.KeepEraseCount = 1;
  r.EnBarCodeWWN = 1;
  r.EnCustomizeIdentify = 1;
  for (int item : {2, 3, 4, 5, 6, 8, 9, 10, 11, 12, 13, 14}) r.ItemEnable[static_cast<std::size_t>(item)] = 1;
  r.CheckFlashMask = 7;
  r.DownloadType = 3;
  r.SetMaxLBAValue = 8589934592ULL;
  r.DiskLabel = "FACTORY";
  r.DiskFormat = 1;
  r.CopyImagePath = "D:\\images\\base.img";
  r.EnGenImage = 1;
  r.CheckMaxTemperatureValue = 70;
  r.EnCheckSnLength = 1;
  r.CheckSnLengthValue = 16;
  r.SerialNum = "SN20240001";
  r.FirmwareVer = "FW2.1.0";
  r.ModelNum = "Line Model 512G";
  r.SNAutoInc = 1;
  r.SNMinLength = 10;
  r.SNErrReuse = 1;
  r.VID = "ABCD";
  r.PID = "1234";
  r.VendorName = "Acme";
  r.ProductName = "Acme Drive";
  r.ManufString = "Acme Corp";
  r.ProductString = "Acme Drive 512G";
  r.EncryptionEnable = 1;
  r.EncryptionString = "Secret99";
  r.IDE_UDMA5 = 1;
  r.OUI = "00AABB";
  r.UID = "987654321";
  r.UIDAutoInc = 1;
  r.UIDDecimal = 1;
  r.ExtFlashFile = "Parts.ini";
  r.Capacity = 3;
  r.FlashUniName = "ABCDEFGHIJKLMNOPQRSTUV";
  r.Channel = 4;
  r.Bank = 8;
  r.DrvCurrent = 2;
  r.DefPercentage = 50;
  r.ResPercentage = 900;
  r.Bch16ReadErrorThreshold = 10;
  r.Bch24ReadErrorThreshold = 18;
  r.Bch16EccErrorCopyThreshold = 3;
  r.Bch24EccErrorCopyThreshold = 12;
  r.WearLevelFrequency = 64;
  r.UsbRemovable = 1;
  r.UsbLedP14 = 1;
  r.SecurityCounter = 9;
  r.DirtyDepth = 1000;
  r.InterleaveWay = 2;
  r.LEDControl = 3;
  r.EnSkipEraseGood = 1;
  r.EnEarlyBad = 1;
  r.UseLaterBad = 1;
  r.EnEraseReBuildBad = 1;
  r.EnThermalSensor = 1;
  r.EnSizeAlignment = 1;
  r.UpdateFirmwareA2B = 1;
  r.EnModifyTMCvalue = 1;
  r.TMC0 = 21;
  r.TMC1 = 22;
  r.EnableGetPutTable = 1;
  r.TableIn = "in.txt";
  r.TableOut = "out.txt";
  r.LaterTableIn = "later_in.txt";
  r.LaterTableOut = "later_out.txt";
  return r;
}

// The option switches the settings file feeds, side by side for comparison.
auto OptionSwitches(const FlashParams& p) {
  return std::tuple(p.dumpDebugFile, p.enSaveDefectTable, p.enNoCheckBridge, p.sataBusMode, p.enScrambleRandomSeed,
                    p.writeProtectByte, p.checkFlashMask, p.ideUdma5, p.usbLedP14, p.usbRemovable, p.dirtyDepth,
                    p.firmwareModeByte);
}

class SettingsFile : public ::testing::Test {
 protected:
  void SetUp() override { platform::paths::setProgramDirectory(scratch.path()); }
  void TearDown() override { platform::paths::setProgramDirectory({}); }

  std::string Write(const std::string& name, const std::string& bytes) {
    const auto path = scratch / name;
    SettingsFileBuilder::writeFile(path, bytes);
    return path.string();
  }
  std::string Read(const std::string& path) { return SettingsFileBuilder::readFile(path); }

  // Reads into fresh values, as the station does at start-up.
  void Load(IniDocument& ini, const std::string& path, SettingsRecord& settings, FlashParams& options) {
    settings = SettingsRecord{};
    options = FlashParams{};
    ReadToolSettings(ini, path, settings, options);
  }

  platform::clock::ScopedFastClock fastClock;
  ScratchDirectory scratch;
};

TEST_F(SettingsFile, MissingFileGivesEveryDefault) {
  IniDocument ini;
  SettingsRecord settings;
  FlashParams options;
  Load(ini, (scratch / "missing.ini").string(), settings, options);
  EXPECT_EQ(settings, DefaultRecord());

  FlashParams expected;
  expected.sataBusMode = 2;
  expected.checkFlashMask = 31;
  expected.dirtyDepth = 40;
  expected.firmwareModeByte = 0x04;
  EXPECT_EQ(OptionSwitches(options), OptionSwitches(expected));
  for (const auto& entry : options.identifyData) EXPECT_EQ(entry.view(), "XXXXX");
}

TEST_F(SettingsFile, DefaultsWrittenToANewFileMatchTheGoldenFile) {
  IniDocument ini;
  SettingsRecord settings;
  FlashParams options;
  Load(ini, (scratch / "missing.ini").string(), settings, options);
  const auto written = scratch / "new.ini";
  ASSERT_TRUE(WriteToolSettings(ini, written.string(), settings, options));
  const std::string golden =
      SettingsFileBuilder::readFile(std::filesystem::path(TOLVANE_SETTINGS_GOLDEN_DIR) / "DODEVUDU.ini");
  ASSERT_FALSE(golden.empty());
  EXPECT_EQ(Read(written.string()), golden);
}

TEST_F(SettingsFile, NameWithoutDirectoryIsTheProgramsFile) {
  IniDocument ini;
  SettingsRecord settings = DefaultRecord();
  ASSERT_TRUE(WriteToolSettings(ini, kSettingsFileName, settings, FlashParams{}));
  EXPECT_TRUE(std::filesystem::exists(scratch / "DODEVUDU.ini"));
  settings.ProductModel = "Edited";
  ASSERT_TRUE(WriteToolSettings(ini, "dodevudu.INI", settings, FlashParams{}));
  FlashParams options;
  Load(ini, "DODEVUDU.ini", settings, options);
  EXPECT_EQ(settings.ProductModel.view(), "Edited");
}

TEST_F(SettingsFile, FullFileReadsIntoEveryField) {
  IniDocument ini;
  SettingsRecord settings;
  FlashParams options;
  Load(ini, Write("full.ini", FullFixture()), settings, options);
  EXPECT_EQ(settings, FullFixtureRecord());

  FlashParams expected;
  expected.dumpDebugFile = 1;
  expected.enSaveDefectTable = 1;
  expected.enNoCheckBridge = 1;
  expected.sataBusMode = 1;
  expected.enScrambleRandomSeed = 1;
  expected.writeProtectByte = 0x80 | 0x40 | 5;
  expected.checkFlashMask = 7;
  expected.ideUdma5 = 1;
  expected.usbLedP14 = 1;
  expected.usbRemovable = 1;
  expected.dirtyDepth = 1000;
  expected.firmwareModeByte = 0x32;
  EXPECT_EQ(OptionSwitches(options), OptionSwitches(expected));
  for (int entry = 0; entry < kIdentifyDataEntries; ++entry) {
    EXPECT_EQ(options.identifyData[static_cast<std::size_t>(entry)].view(),
              IdentifyValue(entry % 2 == 0 ? 'Z' : 'X', entry));
  }
}

TEST_F(SettingsFile, FullFileWrittenAndReadBackIsEqual) {
  IniDocument ini;
  SettingsRecord settings;
  FlashParams options;
  Load(ini, Write("full.ini", FullFixture()), settings, options);
  PublishFlashParams(options);
  const auto copy = (scratch / "copy.ini").string();
  ASSERT_TRUE(WriteToolSettings(ini, copy, settings, options));

  IniDocument fresh;
  SettingsRecord again;
  FlashParams againOptions;
  Load(fresh, copy, again, againOptions);
  EXPECT_EQ(again, settings);
  EXPECT_EQ(OptionSwitches(againOptions), OptionSwitches(options));
  EXPECT_EQ(againOptions.identifyData, options.identifyData);
}

// Every value the writer owns, moved away from the fixture's; the values it
// does not write stay as loaded.
void ChangeEveryWrittenField(SettingsRecord& r) {
  r.ProductModel = "Changed Model";
  r.MPVersion = 0;
  r.TimeOut = 10 * 60000;
  r.ConnectDevNum = 4;
  r.EnBarCode = 0;
  r.KeepEraseCount = 0;
  r.EnBarCodeWWN = 0;
  r.ItemEnable = {};
  r.ItemEnable[1] = 1;
  r.ItemEnable[12] = 1;  // keeps CopyImagePath written
  r.ItemEnable[13] = 1;  // keeps CheckMaxTemperatureValue written
  r.ItemEnable[14] = 1;  // not written
  r.CheckFlashMask = 31;
  r.DownloadType = 2;
  r.SetMaxLBAValue = 123456789012345ULL;
  r.DiskFormat = 2;
  r.DiskLabel = "NEWLABEL";
  r.CopyImagePath = "E:\\other.img";
  r.CheckMaxTemperatureValue = 75;
  r.ModelNum = "Other Model";
  r.FirmwareVer = "FW3";
  r.SerialNum = "XY-99";
  r.SNAutoInc = 0;
  r.SNMinLength = 15;
  r.SNErrReuse = 0;
  r.VID = "0F0F";
  r.PID = "F0F0";
  r.VendorName = "Other";
  r.ProductName = "Other Drive";
  r.ManufString = "Other Corp";
  r.ProductString = "Other Drive 1T";
  r.IDE_UDMA5 = 2;
  r.EncryptionString = "NewSecret";
  r.OUI = "112233";
  r.UID = "ABC";
  r.UIDAutoInc = 0;
  r.UIDDecimal = 0;
  r.ExtFlashFile = "Other.ini";
  r.Capacity = 5;
  r.FlashUniName = "OTHERPART";
  r.Channel = 2;
  r.Bank = 4;
  r.DrvCurrent = 3;
  r.DefPercentage = 40;
  r.ResPercentage = 1000;
  r.Bch16ReadErrorThreshold = 1;
  r.Bch24ReadErrorThreshold = 2;
  r.Bch16EccErrorCopyThreshold = 3;
  r.Bch24EccErrorCopyThreshold = 4;
  r.WearLevelFrequency = 200;
  r.ScrambleEnable = 1;
  r.RemapEnable = 1;
  r.UsbRemovable = 0;
  r.UsbLedP14 = 0;
  r.SecurityCounter = 7;
  r.DirtyDepth = 2000;
  r.EnEarlyBad = 0;
  r.EnEraseReBuildBad = 0;
  r.EnTrimCmd = 1;
  r.EnThermalSensor = 2;
  r.TableIn = "a.txt";
  r.TableOut = "b.txt";
  r.LaterTableIn = "c.txt";
  r.LaterTableOut = "d.txt";
}

TEST_F(SettingsFile, EveryChangedSettingSurvivesASave) {
  IniDocument ini;
  SettingsRecord settings;
  FlashParams options;
  Load(ini, Write("full.ini", FullFixture()), settings, options);
  ChangeEveryWrittenField(settings);
  for (int entry = 0; entry < kIdentifyDataEntries; ++entry) {
    options.identifyData[static_cast<std::size_t>(entry)].assign(IdentifyValue('Z', 255 - entry));
  }
  PublishFlashParams(options);
  const auto copy = (scratch / "copy.ini").string();
  ASSERT_TRUE(WriteToolSettings(ini, copy, settings, options));

  IniDocument fresh;
  SettingsRecord again;
  FlashParams againOptions;
  Load(fresh, copy, again, againOptions);
  EXPECT_EQ(again, settings);
  EXPECT_EQ(againOptions.identifyData, options.identifyData);
  EXPECT_EQ(againOptions.checkFlashMask, 31);
  EXPECT_EQ(againOptions.dirtyDepth, 2000);
  EXPECT_EQ(againOptions.ideUdma5, 2);
}

// The Copy Image switch of the pages, turned either way, is what the next
// start reads, together with the path written while it is on.
TEST_F(SettingsFile, CopyImageSwitchSurvivesASave) {
  for (const bool on : {true, false}) {
    SCOPED_TRACE(on ? "switched on" : "switched off");
    IniDocument ini;
    SettingsRecord settings;
    FlashParams options;
    const std::string loaded = SettingsFileBuilder(LineEnd::CrLf)
                                   .section("TestItems")
                                   .key("EnCopyImage", on ? 0 : 1)
                                   .key("CopyImagePath", "old.img")
                                   .text();
    Load(ini, Write("loaded.ini", loaded), settings, options);
    settings.ItemEnable[12] = on ? 1 : 0;
    settings.CopyImagePath = "new.img";
    const auto saved = (scratch / "saved.ini").string();
    ASSERT_TRUE(WriteToolSettings(ini, saved, settings, options));

    IniDocument fresh;
    SettingsRecord again;
    FlashParams againOptions;
    Load(fresh, saved, again, againOptions);
    EXPECT_EQ(again.ItemEnable[12], on ? 1 : 0);
    EXPECT_EQ(again.CopyImagePath.view(), on ? "new.img" : "old.img");
  }
}

TEST_F(SettingsFile, HandEditedWindowsFileReadsWithDefaultsForWhatIsMissing) {
  const std::string text = SettingsFileBuilder(LineEnd::CrLf)
                               .section("FwSetting")
                               .spacedKey("ScrambleEnable", " ", "0")
                               .key("SomethingNew", "1")
                               .spacedKey("DefPercentage", "\t  ", "55")
                               .key("SecurityCounter", " 9")
                               .blank()
                               .key("RemapEnable", "0")
                               .blank()
                               .blank()
                               .section("Setting")
                               .key("TimeOut", "30")
                               .line("a remark without equals sign")
                               .key("EnBarCodeWWN", "1")
                               .key("ProductModel", "Bench Model  ")
                               .section("DeviceSetting")
                               .line("  VID=1111")
                               .key("UIDDecimal", "0")
                               .key("UID", "12")
                               .key("SerialNum", "ABC")
                               .section("Unknown")
                               .key("Channel", "1")
                               .text();
  IniDocument ini;
  SettingsRecord settings;
  FlashParams options;
  Load(ini, Write("edited.ini", text), settings, options);

  SettingsRecord expected = DefaultRecord();
  expected.ScrambleEnable = 0;
  expected.DefPercentage = 55;
  expected.RemapEnable = 0;
  expected.TimeOut = 30 * 60000;
  expected.EnBarCodeWWN = 1;
  expected.ProductModel = "Bench Model  ";
  expected.SecurityCounter = 0;  // a blank after '=' is no number
  expected.UID = "12";
  expected.SerialNum = "ABC";
  EXPECT_EQ(settings, expected);
}

struct FileLine {
  const char* section;
  const char* key;
  std::string value;
};

struct ConversionCase {
  const char* name;
  std::vector<FileLine> lines;  // lines of one section stand together
  std::function<std::string(const SettingsRecord&, const FlashParams&)> stored;
  std::string expected;
  const char* message;  // a debug line holds this; null: no debug line
};

void PrintTo(const ConversionCase& c, std::ostream* out) { *out << c.name; }

std::string FileOf(const std::vector<FileLine>& lines) {
  SettingsFileBuilder b(LineEnd::Lf);
  std::string section;
  for (const FileLine& line : lines) {
    if (line.section != section) b.section(section = line.section);
    b.key(line.key, line.value);
  }
  return b.text();
}

template <typename Number>
std::string Text(Number n) {
  return std::to_string(n);
}

auto TimeOut = [](const SettingsRecord& s, const FlashParams&) { return Text(s.TimeOut); };
auto SerialNum = [](const SettingsRecord& s, const FlashParams&) { return s.SerialNum.str(); };
auto SecurityByte = [](const SettingsRecord&, const FlashParams& p) { return Text(p.writeProtectByte); };
auto ModeByte = [](const SettingsRecord&, const FlashParams& p) { return Text(p.firmwareModeByte); };

class SettingsConversion : public SettingsFile, public ::testing::WithParamInterface<ConversionCase> {};

TEST_P(SettingsConversion, StoresTheConvertedValue) {
  const ConversionCase& c = GetParam();
  IniDocument ini;
  SettingsRecord settings;
  FlashParams options;
  const std::string path = Write("conversion.ini", FileOf(c.lines));
  const platform::debug::CaptureSink capture;
  Load(ini, path, settings, options);
  EXPECT_EQ(c.stored(settings, options), c.expected);
  if (c.message == nullptr) {
    EXPECT_TRUE(capture.lines().empty()) << capture.lines().front();
  } else {
    EXPECT_TRUE(capture.contains(c.message)) << c.message;
  }
}

const std::string kLongModel(100, 'M');

INSTANTIATE_TEST_SUITE_P(
    Cases, SettingsConversion,
    ::testing::Values(
        ConversionCase{"TimeOutMissing", {}, TimeOut, "1200000", nullptr},
        ConversionCase{"TimeOutZero", {{"Setting", "TimeOut", "0"}}, TimeOut, "300000", nullptr},
        ConversionCase{"TimeOutSeven", {{"Setting", "TimeOut", "7"}}, TimeOut, "420000", nullptr},
        ConversionCase{"TimeOutLargestThatFits", {{"Setting", "TimeOut", "71582"}}, TimeOut, "4294920000", nullptr},
        ConversionCase{"TimeOutBeyondIsClamped", {{"Setting", "TimeOut", "71583"}}, TimeOut, "4294920000",
                       "[Setting] TimeOut=71583 is outside 0..71582"},
        ConversionCase{"TimeOutHugeIsClamped", {{"Setting", "TimeOut", "99999999999"}}, TimeOut, "4294920000",
                       "TimeOut=2147483647"},
        ConversionCase{"CheckSnLengthValueAboveTwenty",
                       {{"TestItems", "CheckSnLengthValue", "35"}},
                       [](const SettingsRecord& s, const FlashParams&) { return Text(s.CheckSnLengthValue); },
                       "20",
                       "CheckSnLengthValue=35"},
        ConversionCase{"CheckSnLengthValueBeyondAByteIsClamped",
                       {{"TestItems", "CheckSnLengthValue", "300"}},
                       [](const SettingsRecord& s, const FlashParams&) { return Text(s.CheckSnLengthValue); },
                       "20",
                       "CheckSnLengthValue=300"},
        ConversionCase{"SnMinLengthAboveTwenty",
                       {{"DeviceSetting", "SNMinLength", "25"}},
                       [](const SettingsRecord& s, const FlashParams&) { return Text(s.SNMinLength); },
                       "20",
                       "SNMinLength=25"},
        ConversionCase{"ResPercentageAboveAThousand",
                       {{"FwSetting", "ResPercentage", "1500"}},
                       [](const SettingsRecord& s, const FlashParams&) { return Text(s.ResPercentage); },
                       "1000",
                       "ResPercentage=1500"},
        ConversionCase{"ResPercentageBeyondSixteenBitsIsClamped",
                       {{"FwSetting", "ResPercentage", "65636"}},
                       [](const SettingsRecord& s, const FlashParams&) { return Text(s.ResPercentage); },
                       "1000",
                       "ResPercentage=65636 is outside 0..1000; 1000 is used"},
        ConversionCase{"ChannelBeyondAByteIsClamped",
                       {{"FlashSetting", "Channel", "300"}},
                       [](const SettingsRecord& s, const FlashParams&) { return Text(s.Channel); },
                       "8",
                       "Channel=300 is outside 1..8; 8 is used"},
        ConversionCase{"ChannelZero",
                       {{"FlashSetting", "Channel", "0"}},
                       [](const SettingsRecord& s, const FlashParams&) { return Text(s.Channel); },
                       "1",
                       "Channel=0"},
        ConversionCase{"BankNine",
                       {{"FlashSetting", "Bank", "9"}},
                       [](const SettingsRecord& s, const FlashParams&) { return Text(s.Bank); },
                       "8",
                       "Bank=9"},
        ConversionCase{"BankInRange",
                       {{"FlashSetting", "Bank", "3"}},
                       [](const SettingsRecord& s, const FlashParams&) { return Text(s.Bank); },
                       "3",
                       nullptr},
        ConversionCase{"NotANumberReadsZero",
                       {{"Setting", "SataBusMode", "abc"}},
                       [](const SettingsRecord&, const FlashParams& p) { return Text(p.sataBusMode); },
                       "0",
                       "[Setting] SataBusMode=abc is no number; 0 is read"},
        ConversionCase{"BlankBeforeTheNumberReadsZero",
                       {{"FwSetting", "SecurityCounter", " 9"}},
                       [](const SettingsRecord& s, const FlashParams&) { return Text(s.SecurityCounter); },
                       "0",
                       "SecurityCounter= 9 is no number"},
        ConversionCase{"EmptyValueGivesTheDefault",
                       {{"FwSetting", "SecurityCounter", ""}},
                       [](const SettingsRecord& s, const FlashParams&) { return Text(s.SecurityCounter); },
                       "5",
                       nullptr},
        ConversionCase{"TrailingJunkAfterDigits",
                       {{"FlashSetting", "DrvCurrent", "3mA"}},
                       [](const SettingsRecord& s, const FlashParams&) { return Text(s.DrvCurrent); },
                       "3",
                       nullptr},
        ConversionCase{"ByteFieldTruncated",
                       {{"FlashSetting", "DrvCurrent", "300"}},
                       [](const SettingsRecord& s, const FlashParams&) { return Text(s.DrvCurrent); },
                       "44",
                       nullptr},
        ConversionCase{"DirtyDepthTruncatedToSixteenBitsAndCopied",
                       {{"FwSetting", "DirtyDepth", "70000"}},
                       [](const SettingsRecord& s, const FlashParams& p) {
                         return Text(s.DirtyDepth) + "/" + Text(p.dirtyDepth);
                       },
                       "4464/4464",
                       nullptr},
        ConversionCase{"SetMaxLbaValueFullSixtyFourBits",
                       {{"TestItems", "SetMaxLBAValue", "18446744073709551615"}},
                       [](const SettingsRecord& s, const FlashParams&) { return Text(s.SetMaxLBAValue); },
                       "18446744073709551615",
                       nullptr},
        ConversionCase{"DecimalSerialWithLettersBecomesZeros",
                       {{"DeviceSetting", "SerialNum", "AB12"}, {"DeviceSetting", "SNDecimal", "1"}},
                       SerialNum,
                       "0000",
                       nullptr},
        ConversionCase{"DecimalSerialOfDigitsKept",
                       {{"DeviceSetting", "SerialNum", "0123"}, {"DeviceSetting", "SNDecimal", "1"}},
                       SerialNum,
                       "0123",
                       nullptr},
        ConversionCase{"HexadecimalSerialKept",
                       {{"DeviceSetting", "SerialNum", "AB12"}, {"DeviceSetting", "SNDecimal", "0"}},
                       SerialNum,
                       "AB12",
                       nullptr},
        ConversionCase{"DecimalUidWithLettersBecomesZeros",
                       {{"DeviceSetting", "UID", "12X4"}, {"DeviceSetting", "UIDDecimal", "1"}},
                       [](const SettingsRecord& s, const FlashParams&) { return s.UID.str(); },
                       "0000",
                       nullptr},
        ConversionCase{"LongTextCutToItsField",
                       {{"Setting", "ProductModel", kLongModel}},
                       [](const SettingsRecord& s, const FlashParams&) { return s.ProductModel.str(); },
                       std::string(79, 'M'),
                       "[Setting] ProductModel is 100 characters long; the first 79 are kept"},
        ConversionCase{"PartNameHoldsThirtyOneCharacters",
                       {{"FlashSetting", "FlashUniName", std::string(40, 'P')}},
                       [](const SettingsRecord& s, const FlashParams&) { return s.FlashUniName.str(); },
                       std::string(31, 'P'),
                       "FlashUniName is 40 characters long"},
        ConversionCase{"IdentifyEntry",
                       {{"DeviceSetting", "IdentiyData007", "Z1234"}, {"DeviceSetting", "IdentiyData255", "Z123456"}},
                       [](const SettingsRecord&, const FlashParams& p) {
                         return p.identifyData[7].str() + "/" + p.identifyData[255].str() + "/" +
                                p.identifyData[8].str();
                       },
                       "Z1234/Z1234/XXXXX",
                       "IdentiyData255 is 7 characters long"},
        ConversionCase{"SecurityByteFromItsThreeKeys",
                       {{"FwSetting", "EnWriteProtect", "1"},
                        {"FwSetting", "EnSecurityErase", "1"},
                        {"FwSetting", "SEStartLatency", "5"}},
                       SecurityByte,
                       Text(0xC5),
                       nullptr},
        ConversionCase{"SecurityLatencyKeepsToItsBits", {{"FwSetting", "SEStartLatency", "64"}}, SecurityByte, "0",
                       "SEStartLatency=64 does not fit; only 0 is used"},
        ConversionCase{"SecurityFlagKeepsToItsBit", {{"FwSetting", "EnWriteProtect", "3"}}, SecurityByte,
                       Text(0x80), "EnWriteProtect=3"},
        ConversionCase{"SecurityEraseKeepsToItsBit", {{"FwSetting", "EnSecurityErase", "2"}}, SecurityByte, "0",
                       "EnSecurityErase=2"},
        ConversionCase{"ModeByteFromLedAndInterleave",
                       {{"FwSetting", "InterleaveWay", "2"}, {"FwSetting", "LEDControl", "3"}},
                       ModeByte,
                       Text(0x32),
                       nullptr},
        ConversionCase{"ModeByteKeepsTheNibbles",
                       {{"FwSetting", "InterleaveWay", "20"}, {"FwSetting", "LEDControl", "17"}},
                       ModeByte,
                       Text(0x14),
                       "only their low 4 bits are used"},
        ConversionCase{"FactoryAndNewBadBlocksAtEveryLoad",
                       {{"FwSetting", "EnEarlyBad", "1"}},
                       [](const SettingsRecord& s, const FlashParams&) {
                         return Text(s.EnEarlyBad) + "/" + Text(s.UseLaterBad);
                       },
                       "1/1",
                       nullptr},
        ConversionCase{"CopiesOfTheRecordsSwitches",
                       {{"TestItems", "CheckFlashMask", "7"},
                        {"DeviceSetting", "IDE_UDMA5", "1"},
                        {"FwSetting", "UsbRemovable", "1"},
                        {"FwSetting", "UsbLedP14", "2"}},
                       [](const SettingsRecord&, const FlashParams& p) {
                         return Text(p.checkFlashMask) + "/" + Text(p.ideUdma5) + "/" + Text(p.usbRemovable) + "/" +
                                Text(p.usbLedP14);
                       },
                       "7/1/1/2",
                       nullptr},
        ConversionCase{"OptionSwitchesOutsideTheRecord",
                       {{"Setting", "EnSaveDefectTable", "1"},
                        {"Setting", "EnNoCheckBridge", "1"},
                        {"Setting", "SataBusMode", "0"},
                        {"FwSetting", "EnScrambleRandomSeed", "1"},
                        {"RDSetting", "DumpDebugFile", "1"}},
                       [](const SettingsRecord&, const FlashParams& p) {
                         return Text(p.enSaveDefectTable) + "/" + Text(p.enNoCheckBridge) + "/" +
                                Text(p.sataBusMode) + "/" + Text(p.enScrambleRandomSeed) + "/" +
                                Text(p.dumpDebugFile);
                       },
                       "1/1/0/1/1",
                       nullptr},
        ConversionCase{"WholeKeyNamesOnly",
                       {{"Setting", "EnBarCodeWWN", "1"}, {"Setting", "EnBarCode", "0"},
                        {"DeviceSetting", "UIDAutoInc", "1"}},
                       [](const SettingsRecord& s, const FlashParams&) {
                         return Text(s.EnBarCode) + "/" + Text(s.EnBarCodeWWN) + "/" + s.UID.str();
                       },
                       "0/1/000000000",
                       nullptr}),
    [](const auto& testCase) { return std::string(testCase.param.name); });

// A key with a range keeps the value read from the file inside it, judged on
// the whole value before it is stored in the field's width: 260 or 65536
// are above the range, not the 4 or 0 that a byte or a word would keep. A
// negative value reads as 0 (no digit) and an over-long digit run as the
// largest 32-bit number.
TEST_F(SettingsFile, RangesAreCheckedOnTheWholeValueRead) {
  const char* const values[] = {"260", "256", "65536", "21", "20", "-1", "0", "99999999999"};
  constexpr std::size_t kValues = std::size(values);
  struct ClampedKey {
    const char* section;
    const char* key;
    std::function<std::uint64_t(const SettingsRecord&)> stored;
    std::array<std::uint64_t, kValues> expected;
  };
  const ClampedKey keys[] = {
      {"TestItems", "CheckSnLengthValue", [](const SettingsRecord& s) { return s.CheckSnLengthValue; },
       {20, 20, 20, 20, 20, 0, 0, 20}},
      {"DeviceSetting", "SNMinLength", [](const SettingsRecord& s) { return s.SNMinLength; },
       {20, 20, 20, 20, 20, 0, 0, 20}},
      {"FlashSetting", "Channel", [](const SettingsRecord& s) { return s.Channel; }, {8, 8, 8, 8, 8, 1, 1, 8}},
      {"FlashSetting", "Bank", [](const SettingsRecord& s) { return s.Bank; }, {8, 8, 8, 8, 8, 1, 1, 8}},
      {"FwSetting", "ResPercentage", [](const SettingsRecord& s) { return s.ResPercentage; },
       {260, 256, 1000, 21, 20, 0, 0, 1000}},
      {"Setting", "TimeOut", [](const SettingsRecord& s) { return s.TimeOut / 60000; },
       {260, 256, 65536, 21, 20, 5, 5, 71582}},
  };
  for (const ClampedKey& k : keys) {
    for (std::size_t v = 0; v < kValues; ++v) {
      SCOPED_TRACE(std::string(k.key) + "=" + values[v]);
      IniDocument ini;
      SettingsRecord settings;
      FlashParams options;
      const platform::debug::CaptureSink quiet;
      Load(ini, Write("clamped.ini", FileOf({{k.section, k.key, values[v]}})), settings, options);
      EXPECT_EQ(k.stored(settings), k.expected[v]);
    }
  }
}

TEST_F(SettingsFile, TimeOutRoundTripsThroughMinutes) {
  struct Case {
    const char* minutes;
    const char* savedAs;
  };
  for (const Case c : {Case{"0", "5"}, Case{"7", "7"}, Case{"71582", "71582"}, Case{"99999", "71582"}}) {
    SCOPED_TRACE(c.minutes);
    IniDocument ini;
    SettingsRecord settings;
    FlashParams options;
    Load(ini, Write("in.ini", FileOf({{"Setting", "TimeOut", c.minutes}})), settings, options);
    const auto out = (scratch / "out.ini").string();
    ASSERT_TRUE(WriteToolSettings(ini, out, settings, options));
    IniDocument written;
    ASSERT_TRUE(written.LoadIniText(out));
    EXPECT_EQ(written.GetIniString("Setting", "TimeOut", "", 20), c.savedAs);
  }
}

// What the loaded file held for each key the writer may leave alone.
std::string ConditionalFixture() {
  return SettingsFileBuilder(LineEnd::CrLf)
      .section("Setting")
      .key("KeepEraseCount", 1)
      .blank()
      .section("TestItems")
      .key("EnFlashModule", 1)
      .key("EnCopyImage", 1)
      .key("CopyImagePath", "old.img")
      .key("EnCheckTemperature", 1)
      .key("CheckMaxTemperatureValue", 60)
      .blank()
      .section("DeviceSetting")
      .key("EncryptionEnable", 1)
      .key("EncryptionString", "OldSecret")
      .key("IDE_UDMA5", 1)
      .key("IdentiyData000", "ZOLD0")
      .blank()
      .section("FlashSetting")
      .key("ExtFlashFile", "Old.ini")
      .blank()
      .section("FwSetting")
      .key("WearLevelFrequency", 99)
      .key("EnEarlyBad", 1)
      .key("EnEraseReBuildBad", 1)
      .key("EnThermalSensor", 1)
      .blank()
      .section("RDSetting")
      .key("EnableGetPutTable", 1)
      .key("TableIn", "old_in.txt")
      .key("TableOut", "old_out.txt")
      .key("LaterTableIn", "old_later_in.txt")
      .key("LaterTableOut", "old_later_out.txt")
      .text();
}

struct ConditionalCase {
  const char* name;
  std::function<void(SettingsRecord&)> change;
  bool guardFile;
  const char* section;
  const char* key;
  const char* inWrittenFile;
};

void PrintTo(const ConditionalCase& c, std::ostream* out) { *out << c.name; }

class SettingsConditionalWrite : public SettingsFile, public ::testing::WithParamInterface<ConditionalCase> {};

TEST_P(SettingsConditionalWrite, WritesTheKeyOnlyUnderItsCondition) {
  const ConditionalCase& c = GetParam();
  IniDocument ini;
  SettingsRecord settings;
  FlashParams options;
  Load(ini, Write("loaded.ini", ConditionalFixture()), settings, options);
  if (c.guardFile) Write("pc.ini", "");
  c.change(settings);
  const auto out = (scratch / "out.ini").string();
  ASSERT_TRUE(WriteToolSettings(ini, out, settings, options));
  IniDocument written;
  ASSERT_TRUE(written.LoadIniText(out));
  EXPECT_EQ(written.GetIniString(c.section, c.key, "<missing>", 300), c.inWrittenFile);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SettingsConditionalWrite,
    ::testing::Values(
        ConditionalCase{"CopyImagePathKeptWhileCopyIsOff",
                        [](SettingsRecord& s) {
                          s.ItemEnable[12] = 0;
                          s.CopyImagePath = "new.img";
                        },
                        false, "TestItems", "CopyImagePath", "old.img"},
        ConditionalCase{"CopyImagePathWrittenWhileCopyIsOn", [](SettingsRecord& s) { s.CopyImagePath = "new.img"; },
                        false, "TestItems", "CopyImagePath", "new.img"},
        ConditionalCase{"TemperatureLimitKeptWhileCheckIsOff",
                        [](SettingsRecord& s) {
                          s.ItemEnable[13] = 0;
                          s.CheckMaxTemperatureValue = 80;
                        },
                        false, "TestItems", "CheckMaxTemperatureValue", "60"},
        ConditionalCase{"TemperatureLimitWrittenWhileCheckIsOn",
                        [](SettingsRecord& s) { s.CheckMaxTemperatureValue = 80; }, false, "TestItems",
                        "CheckMaxTemperatureValue", "80"},
        ConditionalCase{"TemperatureCheckWrittenWhenCleared", [](SettingsRecord& s) { s.ItemEnable[13] = 0; }, false,
                        "TestItems", "EnCheckTemperature", "0"},
        ConditionalCase{"FlashModuleWrittenWhenCleared", [](SettingsRecord& s) { s.ItemEnable[1] = 0; }, false,
                        "TestItems", "EnFlashModule", "0"},
        ConditionalCase{"KeepEraseCountWrittenWhenCleared", [](SettingsRecord& s) { s.KeepEraseCount = 0; }, false,
                        "Setting", "KeepEraseCount", "0"},
        ConditionalCase{"EarlyBadWrittenWhenCleared", [](SettingsRecord& s) { s.EnEarlyBad = 0; }, false,
                        "FwSetting", "EnEarlyBad", "0"},
        ConditionalCase{"EraseSearchWrittenWhenCleared", [](SettingsRecord& s) { s.EnEraseReBuildBad = 0; }, false,
                        "FwSetting", "EnEraseReBuildBad", "0"},
        ConditionalCase{"WearLevelFrequencyWritten", [](SettingsRecord& s) { s.WearLevelFrequency = 7; }, false,
                        "FwSetting", "WearLevelFrequency", "7"},
        ConditionalCase{"EncryptionWrittenWithoutGuardFile",
                        [](SettingsRecord& s) { s.EncryptionString = "NewSecret"; }, false, "DeviceSetting",
                        "EncryptionString", "NewSecret"},
        ConditionalCase{"EncryptionKeptWhileGuardFileExists",
                        [](SettingsRecord& s) { s.EncryptionString = "NewSecret"; }, true, "DeviceSetting",
                        "EncryptionString", "OldSecret"},
        ConditionalCase{"EncryptionKeptWhileDisabled",
                        [](SettingsRecord& s) {
                          s.EncryptionEnable = 0;
                          s.EncryptionString = "NewSecret";
                        },
                        false, "DeviceSetting", "EncryptionString", "OldSecret"},
        ConditionalCase{"UdmaKeptWhenCleared", [](SettingsRecord& s) { s.IDE_UDMA5 = 0; }, false, "DeviceSetting",
                        "IDE_UDMA5", "1"},
        ConditionalCase{"ThermalSensorKeptWhenCleared", [](SettingsRecord& s) { s.EnThermalSensor = 0; }, false,
                        "FwSetting", "EnThermalSensor", "1"},
        ConditionalCase{"FlashListFileKeptWhenEmpty", [](SettingsRecord& s) { s.ExtFlashFile = ""; }, false,
                        "FlashSetting", "ExtFlashFile", "Old.ini"},
        ConditionalCase{"FlashListFileWritten", [](SettingsRecord& s) { s.ExtFlashFile = "New.ini"; }, false,
                        "FlashSetting", "ExtFlashFile", "New.ini"},
        ConditionalCase{"IdentifyEntriesKeptWhileNotCustomised", [](SettingsRecord&) {}, false, "DeviceSetting",
                        "IdentiyData000", "ZOLD0"}),
    [](const auto& testCase) { return std::string(testCase.param.name); });

TEST_F(SettingsFile, TablePathsWrittenOnlyWhileGetPutTableIsOn) {
  const char* const keys[] = {"TableIn", "TableOut", "LaterTableIn", "LaterTableOut"};
  for (const bool enabled : {false, true}) {
    SCOPED_TRACE(enabled);
    IniDocument ini;
    SettingsRecord settings;
    FlashParams options;
    Load(ini, Write("loaded.ini", ConditionalFixture()), settings, options);
    settings.EnableGetPutTable = enabled ? 1 : 0;
    settings.TableIn = "new_in.txt";
    settings.TableOut = "new_out.txt";
    settings.LaterTableIn = "new_later_in.txt";
    settings.LaterTableOut = "new_later_out.txt";
    const auto out = (scratch / "out.ini").string();
    ASSERT_TRUE(WriteToolSettings(ini, out, settings, options));
    IniDocument written;
    ASSERT_TRUE(written.LoadIniText(out));
    for (const char* key : keys) {
      const std::string value = written.GetIniString("RDSetting", key, "", 300);
      EXPECT_EQ(value.substr(0, 4), enabled ? "new_" : "old_") << key;
    }
  }
}

TEST_F(SettingsFile, CustomisedIdentifyWritesAllEntriesFromThePublishedTable) {
  IniDocument ini;
  SettingsRecord settings;
  FlashParams options;
  Load(ini, Write("loaded.ini", ConditionalFixture()), settings, options);
  settings.EnCustomizeIdentify = 1;
  for (int entry = 0; entry < kIdentifyDataEntries; ++entry) {
    options.identifyData[static_cast<std::size_t>(entry)].assign(IdentifyValue('Z', entry));
  }
  PublishFlashParams(options);
  const auto out = (scratch / "out.ini").string();
  ASSERT_TRUE(WriteToolSettings(ini, out, settings, options));
  IniDocument written;
  ASSERT_TRUE(written.LoadIniText(out));
  for (int entry = 0; entry < kIdentifyDataEntries; ++entry) {
    EXPECT_EQ(written.GetIniString("DeviceSetting", IdentifyKey(entry), "<missing>", 6), IdentifyValue('Z', entry))
        << entry;
  }
}

TEST_F(SettingsFile, SavingUnderANewNameCarriesTheLoadedFilesOtherKeys) {
  IniDocument ini;
  SettingsRecord settings;
  FlashParams options;
  Load(ini, Write("full.ini", FullFixture()), settings, options);
  settings.ProductModel = "Saved As";
  const auto other = (scratch / "other.ini").string();
  ASSERT_TRUE(WriteToolSettings(ini, other, settings, options));

  IniDocument written;
  ASSERT_TRUE(written.LoadIniText(other));
  EXPECT_EQ(written.GetIniString("Setting", "ProductModel", "", 80), "Saved As");
  EXPECT_EQ(written.GetIniString("Setting", "LogPath", "", 80), "logs");
  EXPECT_EQ(written.GetIniInt("Setting", "ShowTitle", 0), 2);
  EXPECT_EQ(written.GetIniInt("FwSetting", "InterleaveWay", 0), 2);
  EXPECT_EQ(written.GetIniInt("FwSetting", "TMC1", 0), 22);
  EXPECT_EQ(Read((scratch / "full.ini").string()), FullFixture());
}

TEST_F(SettingsFile, FailedSaveIsReported) {
  IniDocument ini;
  const SettingsRecord settings = DefaultRecord();
  const platform::debug::CaptureSink capture;
  EXPECT_FALSE(WriteToolSettings(ini, (scratch / "missing-directory" / "x.ini").string(), settings, FlashParams{}));
  EXPECT_TRUE(capture.contains("could not be saved"));
}

TEST_F(SettingsFile, TextWithALineBreakIsRefusedAndTheRestStillSaved) {
  IniDocument ini;
  SettingsRecord settings = DefaultRecord();
  ASSERT_TRUE(settings.ProductModel.assign("two\nlines"));
  settings.ModelNum = "Still Saved";
  const auto out = (scratch / "out.ini").string();
  const platform::debug::CaptureSink capture;
  EXPECT_FALSE(WriteToolSettings(ini, out, settings, FlashParams{}));
  EXPECT_TRUE(capture.contains("[Setting] ProductModel is not written"));

  IniDocument written;
  ASSERT_TRUE(written.LoadIniText(out));
  EXPECT_EQ(written.GetIniString("Setting", "ProductModel", "<missing>", 80), "<missing>");
  EXPECT_EQ(written.GetIniString("DeviceSetting", "ModelNum", "", 80), "Still Saved");
}

// What must hold after reading any text, however damaged.
void ExpectReadableSettings(const SettingsRecord& s, const FlashParams& p) {
  EXPECT_GE(s.Channel, 1);
  EXPECT_LE(s.Channel, 8);
  EXPECT_GE(s.Bank, 1);
  EXPECT_LE(s.Bank, 8);
  EXPECT_LE(s.CheckSnLengthValue, 20);
  EXPECT_LE(s.SNMinLength, 20);
  EXPECT_LE(s.ResPercentage, 1000);
  EXPECT_GT(s.TimeOut, 0u);
  EXPECT_EQ(s.TimeOut % 60000, 0u);
  EXPECT_EQ(s.UseLaterBad, 1);
  EXPECT_EQ(p.firmwareModeByte, ((s.LEDControl & 0x0F) << 4) | (s.InterleaveWay & 0x0F));
  const auto digitsOnly = [](std::string_view text) { return text.find_first_not_of("0123456789") == text.npos; };
  if (s.SNDecimal != 0) {
    EXPECT_TRUE(digitsOnly(s.SerialNum.view())) << s.SerialNum.str();
  }
  if (s.UIDDecimal != 0) {
    EXPECT_TRUE(digitsOnly(s.UID.view())) << s.UID.str();
  }
}

class SettingsRobustness : public SettingsFile {
 protected:
  // The engine and the settings file on one input: whatever the bytes, the
  // engine sets and reads back, saves and reloads the same text, and the
  // settings read, written and read again are the same.
  void Feed(const std::string& label, const std::string& bytes) {
    SCOPED_TRACE(label);
    const std::string path = Write("damaged.ini", bytes);

    IniDocument ini;
    ASSERT_TRUE(ini.LoadIniText(path));
    const std::string serial = ini.GetIniString("DeviceSetting", "SerialNum", "<none>", 1000);
    const std::int32_t channel = ini.GetIniInt("FlashSetting", "Channel", -1);
    const std::uint64_t maxLba = ini.GetIniInt64("TestItems", "SetMaxLBAValue", 1);
    ASSERT_TRUE(ini.SetIniString("Setting", "ProductModel", "Probe"));
    ASSERT_TRUE(ini.SetIniString("Brand New", "Key", "v"));
    EXPECT_EQ(ini.GetIniString("Setting", "ProductModel", "", 100), "Probe");
    EXPECT_EQ(ini.GetIniString("Brand New", "Key", "", 100), "v");
    EXPECT_EQ(ini.GetIniString("DeviceSetting", "SerialNum", "<none>", 1000), serial);
    EXPECT_EQ(ini.GetIniInt("FlashSetting", "Channel", -1), channel);
    EXPECT_EQ(ini.GetIniInt64("TestItems", "SetMaxLBAValue", 1), maxLba);
    const std::string saved = (scratch / "engine.ini").string();
    ASSERT_TRUE(ini.SaveIniText(saved));
    IniDocument reloaded;
    ASSERT_TRUE(reloaded.LoadIniText(saved));
    EXPECT_EQ(reloaded.text(), ini.text());

    IniDocument settingsIni;
    SettingsRecord settings;
    FlashParams options;
    Load(settingsIni, path, settings, options);
    ExpectReadableSettings(settings, options);
    PublishFlashParams(options);
    const std::string written = (scratch / "written.ini").string();
    ASSERT_TRUE(WriteToolSettings(settingsIni, written, settings, options));
    IniDocument fresh;
    SettingsRecord again;
    FlashParams againOptions;
    Load(fresh, written, again, againOptions);
    EXPECT_EQ(again, settings);
    EXPECT_EQ(againOptions.identifyData, options.identifyData);
    EXPECT_EQ(OptionSwitches(againOptions), OptionSwitches(options));
  }

  char InterestingByte() {
    static constexpr char kBytes[] = {'\n', '\r', '=', '[', ']', '\0', ' ', '\t', '0', '9', 'Z', '\x1A', '\xFF'};
    return kBytes[std::uniform_int_distribution<std::size_t>(0, sizeof kBytes - 1)(random)];
  }
  char AnyByte() {
    if (std::bernoulli_distribution(0.5)(random)) return InterestingByte();
    return static_cast<char>(std::uniform_int_distribution<int>(0, 255)(random));
  }

  std::mt19937 random{20240611u};
  const platform::debug::CaptureSink quiet;  // damaged input is reported; keep it off the test output
};

std::string SmallFixture() {
  return SettingsFileBuilder(LineEnd::CrLf)
      .section("Setting")
      .key("ProductModel", "Model")
      .key("TimeOut", 45)
      .key("EnBarCodeWWN", 1)
      .key("EnCustomizeIdentify", 1)
      .blank()
      .section("DeviceSetting")
      .key("SerialNum", "AB12")
      .key("SNDecimal", 1)
      .key("UID", "12")
      .key("IdentiyData001", "Z0012")
      .blank()
      .section("FlashSetting")
      .key("FlashUniName", "PART")
      .key("Channel", 300)
      .key("Bank", 0)
      .blank()
      .section("FwSetting")
      .key("ResPercentage", 70000)
      .key("SEStartLatency", 99)
      .key("InterleaveWay", 20)
      .text();
}

TEST_F(SettingsRobustness, EveryTruncationOfASmallFile) {
  const std::string small = SmallFixture();
  for (std::size_t length = 0; length <= small.size() && !HasFailure(); ++length) {
    Feed("truncated to " + std::to_string(length), small.substr(0, length));
  }
}

TEST_F(SettingsRobustness, RandomByteFlips) {
  const std::string full = FullFixture();
  for (int round = 0; round < 60 && !HasFailure(); ++round) {
    std::string bytes = full;
    const int flips = std::uniform_int_distribution<int>(1, 16)(random);
    for (int flip = 0; flip < flips; ++flip) {
      bytes[std::uniform_int_distribution<std::size_t>(0, bytes.size() - 1)(random)] = AnyByte();
    }
    Feed("flip round " + std::to_string(round), bytes);
  }
}

TEST_F(SettingsRobustness, BinaryGarbage) {
  for (int round = 0; round < 60 && !HasFailure(); ++round) {
    std::string bytes(std::uniform_int_distribution<std::size_t>(0, 3000)(random), '\0');
    for (char& byte : bytes) byte = AnyByte();
    Feed("garbage round " + std::to_string(round), bytes);
  }
}

// Lines made of the file's own sections and keys with damaged values, so
// that the garbage reaches the conversions.
TEST_F(SettingsRobustness, KnownKeysWithDamagedValues) {
  static const char* const kSections[] = {"Setting", "TestItems", "DeviceSetting", "FlashSetting",
                                          "FwSetting", "RDSetting", "setting", "Setting "};
  static const char* const kKeys[] = {"TimeOut",     "Channel",          "Bank",           "ResPercentage",
                                      "SerialNum",   "SNDecimal",        "UID",            "UIDDecimal",
                                      "ProductModel", "SetMaxLBAValue",  "SEStartLatency", "InterleaveWay",
                                      "LEDControl",  "EnCustomizeIdentify", "IdentiyData100", "CheckSnLengthValue",
                                      "EnBarCode",   "EnBarCodeWWN",     "EncryptionEnable", "ExtFlashFile"};
  static const char* const kValues[] = {"",   "0",  "1",    "255", "256", "65536", "99999999999999999999999",
                                        " 7", "7 ", "-3",   "0x10", "AB12", "Z00FF", "12abc", "="};
  const auto pick = [this](const auto& list) {
    return list[std::uniform_int_distribution<std::size_t>(0, std::size(list) - 1)(random)];
  };
  for (int round = 0; round < 80 && !HasFailure(); ++round) {
    SettingsFileBuilder b(std::bernoulli_distribution(0.5)(random) ? LineEnd::CrLf : LineEnd::Lf);
    const int lines = std::uniform_int_distribution<int>(0, 60)(random);
    for (int line = 0; line < lines; ++line) {
      switch (std::uniform_int_distribution<int>(0, 5)(random)) {
        case 0:
          b.section(pick(kSections));
          break;
        case 1:
          b.blank();
          break;
        case 2:
          b.spacedKey(pick(kKeys), std::string(std::uniform_int_distribution<std::size_t>(0, 3)(random), ' '),
                      pick(kValues));
          break;
        default:
          b.key(pick(kKeys), pick(kValues));
          break;
      }
    }
    Feed("keys round " + std::to_string(round), b.text());
  }
}

TEST_F(SettingsRobustness, VeryLongLines) {
  const std::string megabyte(1 << 20, 'L');
  Feed("long value", SettingsFileBuilder().section("Setting").key("ProductModel", megabyte).text());
  Feed("long header", SettingsFileBuilder().section(std::string(200000, 'H')).key("TimeOut", 3).text());
  Feed("long digit run", SettingsFileBuilder().section("Setting").key("TimeOut", std::string(100000, '9')).text());
  Feed("one line without end", megabyte);
  SettingsFileBuilder blanks;
  blanks.section("FlashSetting");
  for (int line = 0; line < 10000; ++line) blanks.blank();
  blanks.key("Channel", 3);
  Feed("many blank lines inside a section", blanks.text());
}

}  // namespace
}  // namespace devlib
