// A settings file loaded into the pages and saved from them comes back as it
// was: the pages neither lose nor invent a value. The changes they do make
// on purpose are listed, each with its reason, in RoundTripChanges.

#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "settings_pages_fixture.h"

namespace fleetburn {
namespace {

using testing::SettingsPagesTest;
using testsupport::LineEnd;
using testsupport::SettingsFileBuilder;

// Every key of the settings file with a value other than its default, as
// the station writes it (the keys in the order of the station's own files).
SettingsFileBuilder EveryKeySet(LineEnd lineEnd = LineEnd::CrLf) {
  SettingsFileBuilder file(lineEnd);
  file.section("Setting")
      .key("ShowTitle", 2)
      .key("EnDumpFreeBlockInfo", 1)
      .key("EnUpdateFirmwareMode", 1)
      .key("ProductModel", "KW-X2")
      .key("MPVersion", 0)
      .key("TimeOut", 30)
      .key("ConnectDevNum", 4)
      .key("EnBarCode", 1)
      .key("EnSaveDefectTable", 1)
      .key("KeepEraseCount", 1)
      .key("EnBarCodeWWN", 1)
      .key("EnCustomizeIdentify", 1)
      .key("EnNoCheckBridge", 1)
      .key("SataBusMode", 1)
      .key("LogPath", "log")
      .blank();
  file.section("TestItems")
      .key("EnFlashModule", 1)
      .key("CheckFlashMask", 21)
      .key("EnSataTest", 1)
      .key("EnFlashTest", 1)
      .key("EnDramTest", 1)
      .key("EnPreFormat", 1)
      .key("EnDownload", 1)
      .key("DownloadType", 3)
      .key("EnRWTest", 1)
      .key("EnCheckTables", 1)
      .key("EnSetMaxLBA", 1)
      .key("SetMaxLBAValue", 250069680)
      .key("EnFormat", 1)
      .key("DiskLabel", "FLEET DISK")
      .key("DiskFormat", 0)
      .key("EnCopyImage", 1)
      .key("CopyImagePath", "images/base.img")
      .key("EnGenImage", 1)
      .key("EnCheckTemperature", 1)
      .key("CheckMaxTemperatureValue", 70)
      .key("EnWTestFullMP", 1)
      .key("EnCheckSnLength", 1)
      .key("CheckSnLengthValue", 14)
      .blank();
  file.section("DeviceSetting")
      .key("SerialNum", "00001234567890")
      .key("FirmwareVer", "FW010203")
      .key("ModelNum", "Tolvane KWFA4X SSD 64GB")
      .key("SNAutoInc", 1)
      .key("SNDecimal", 1)
      .key("SNMinLength", 14)
      .key("SNErrReuse", 1)
      .key("VID", "1A2B")
      .key("PID", "3C4D")
      .key("VendorName", "Fleet")
      .key("ProductName", "Fleet Disk 64")
      .key("ManufString", "Fleet Maker")
      .key("ProductString", "Fleet Disk 64GB SSD")
      .key("EncryptionEnable", 1)
      .key("EncryptionString", "key-text-12345")
      .key("IDE_UDMA5", 1)
      .key("OUI", "00A0B0")
      .key("UID", "000000042")
      .key("UIDAutoInc", 1)
      .key("UIDDecimal", 1);
  for (int entry = 0; entry < devlib::kIdentifyDataEntries; ++entry) {
    char key[24];
    std::snprintf(key, sizeof key, "IdentiyData%3.3d", entry);
    const char* value = entry == 0 ? "Z0040" : entry == 83 ? "Z7400" : entry == 200 ? "XAB" : "XXXXX";
    file.key(key, value);
  }
  file.blank();
  file.section("FlashSetting")
      .key("ExtFlashFile", "Flash.ini")
      .key("Capacity", 0)
      .key("FlashUniName", "TVA")
      .key("Channel", 4)
      .key("Bank", 2)
      .key("DrvCurrent", 5)
      .blank();
  file.section("FwSetting")
      .key("DefPercentage", 40)
      .key("ResPercentage", 534)
      .key("Bch16ReadErrorThreshold", 12)
      .key("Bch24ReadErrorThreshold", 21)
      .key("Bch16EccErrorCopyThreshold", 5)
      .key("Bch24EccErrorCopyThreshold", 16)
      .key("WearLevelFrequency", 100)
      .key("ScrambleEnable", 0)
      .key("RemapEnable", 0)
      .key("UsbRemovable", 1)
      .key("UsbLedP14", 1)
      .key("SecurityCounter", 6)
      .key("DirtyDepth", 30)
      .key("InterleaveWay", 2)
      .key("LEDControl", 1)
      .key("EnSkipEraseGood", 1)
      .key("EnEarlyBad", 1)
      .key("EnEraseReBuildBad", 0)
      .key("EnTrimCmd", 0)
      .key("EnThermalSensor", 1)
      .key("EnSizeAlignment", 1)
      .key("UpdateFirmwareA2B", 1)
      .key("EnModifyTMCvalue", 1)
      .key("TMC0", 18)
      .key("TMC1", 19)
      .key("EnScrambleRandomSeed", 1)
      .key("EnWriteProtect", 1)
      .key("EnSecurityErase", 1)
      .key("SEStartLatency", 7)
      .blank();
  file.section("RDSetting")
      .key("EnableGetPutTable", 1)
      .key("TableIn", "tables/def_in.txt")
      .key("TableOut", "tables/def_out.txt")
      .key("LaterTableIn", "tables/later_in.txt")
      .key("LaterTableOut", "tables/later_out.txt")
      .key("DumpDebugFile", 1);
  return file;
}

// The file a station writes when it starts without a settings file.
std::string DefaultsFile(const std::filesystem::path& directory) {
  platform::prompt::ScriptedPrompt quiet;
  StationSettings fresh(quiet);
  const std::string name = (directory / "written-defaults.ini").string();
  EXPECT_TRUE(fresh.LoadSettingsFromIni(name));
  EXPECT_TRUE(fresh.SaveSettingsToIni(name));
  return SettingsFileBuilder::readFile(name);
}

// The line "key=value" of `text` with another value.
std::string WithValue(std::string text, std::string_view key, std::string_view value) {
  const std::string start = "\n" + std::string(key) + "=";
  const std::size_t at = text.find(start);
  if (at == std::string::npos) {
    ADD_FAILURE() << "no key " << key;
    return text;
  }
  const std::size_t from = at + start.size();
  text.replace(from, text.find('\r', from) - from, value);
  return text;
}

std::string WithCrLf(std::string_view text) {
  std::string out;
  for (const char c : text) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

class RoundTrip : public SettingsPagesTest {
 protected:
  // Loads `source` with the pages wired in (the load copies the record into
  // the pages), copies the pages back and saves; the text saved.
  std::string throughThePages(const std::string& source) {
    SettingsFileBuilder::writeFile(dir / "source.ini", source);
    EXPECT_TRUE(settings.LoadSettingsFromIni((dir / "source.ini").string()));
    pages.ControlsToSettings();
    EXPECT_TRUE(settings.SaveSettingsToIni((dir / "copy.ini").string()));
    return SettingsFileBuilder::readFile(dir / "copy.ini");
  }
};

struct FileCase {
  const char* name;
  std::function<std::string(const std::filesystem::path&)> text;
  // What the save makes of the text where it differs by design.
  std::function<std::string(std::string)> saved = [](std::string asLoaded) { return asLoaded; };
  // The serial number once the part is applied, when that changes it: the
  // library keeps exactly SNMinLength characters, the last ones.
  const char* appliedSerial = nullptr;
};

std::ostream& operator<<(std::ostream& out, const FileCase& c) { return out << c.name; }

class RoundTripFiles : public RoundTrip, public ::testing::WithParamInterface<FileCase> {};

TEST_P(RoundTripFiles, ComeBackByteIdentical) {
  const std::string source = GetParam().text(dir.path());
  EXPECT_EQ(throughThePages(source), GetParam().saved(source));
  EXPECT_TRUE(prompt.take().empty());
}

// "Load INI", then "Save INI" under another name: the flash selection is
// applied on the way, and the file still comes back as it was.
TEST_P(RoundTripFiles, ComeBackThroughTheIniButtons) {
  const std::string source = GetParam().text(dir.path());
  SettingsFileBuilder::writeFile(dir / "source.ini", source);
  testing::ScriptedFileDialogs dialogs;
  dialogs.answer(dir / "source.ini");
  dialogs.answer(dir / "copy.ini");
  settings.INILoadBtnClick(dialogs);
  settings.INISaveBtnClick(dialogs);
  std::string expected = GetParam().saved(source);
  if (GetParam().appliedSerial != nullptr) expected = WithValue(expected, "SerialNum", GetParam().appliedSerial);
  EXPECT_EQ(SettingsFileBuilder::readFile(dir / "copy.ini"), expected);
  EXPECT_TRUE(prompt.take().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Files, RoundTripFiles,
    ::testing::Values(FileCase{"Defaults", DefaultsFile, [](std::string text) { return text; }, "W_0123456789"},
                      FileCase{"EveryKeySet", [](const std::filesystem::path&) { return EveryKeySet().text(); }},
                      FileCase{"Locked",
                               [](const std::filesystem::path& directory) {
                                 return WithValue(DefaultsFile(directory), "MPVersion", "1");
                               },
                               [](std::string text) { return text; }, "W_0123456789"},
                      // The settings file's line end is CR LF: the save writes it so.
                      FileCase{"LfLineEnds",
                               [](const std::filesystem::path&) { return EveryKeySet(LineEnd::Lf).text(); },
                               [](std::string text) { return WithCrLf(text); }}));

// ---- The changes the pages make on purpose ----------------------------------------

struct Change {
  const char* why;
  std::vector<std::pair<const char*, const char*>> loaded;  // key and value in the file loaded
  std::vector<std::pair<const char*, const char*>> saved;   // what they are saved as
  std::size_t messages = 0;
};

std::ostream& operator<<(std::ostream& out, const Change& c) { return out << c.why; }

class RoundTripChanges : public RoundTrip, public ::testing::WithParamInterface<Change> {};

TEST_P(RoundTripChanges, AreTheNamedOnes) {
  std::string source = DefaultsFile(dir.path());
  std::string expected = source;
  for (const auto& [key, value] : GetParam().loaded) {
    source = WithValue(source, key, value);
    expected = WithValue(expected, key, value);
  }
  for (const auto& [key, value] : GetParam().saved) expected = WithValue(expected, key, value);
  EXPECT_EQ(throughThePages(source), expected);
  EXPECT_EQ(prompt.take().size(), GetParam().messages);
}

INSTANTIATE_TEST_SUITE_P(
    Named, RoundTripChanges,
    ::testing::Values(
        Change{"Preformat forces Download", {{"EnPreFormat", "1"}, {"EnDownload", "0"}}, {{"EnDownload", "1"}}},
        Change{"an enable is saved as 0 or 1", {{"EnFlashModule", "2"}}, {{"EnFlashModule", "1"}}},
        Change{"the USB firmware file needs serial numbers of 12 characters at least",
               {{"DownloadType", "2"}, {"SNMinLength", "4"}},
               {{"SNMinLength", "12"}}},
        Change{"the serial minimum length spin starts at 1", {{"SNMinLength", "0"}}, {{"SNMinLength", "1"}}},
        Change{"only the two firmware file bits are kept", {{"DownloadType", "7"}}, {{"DownloadType", "3"}}},
        Change{"only the five flash ID boxes are kept", {{"CheckFlashMask", "255"}}, {{"CheckFlashMask", "31"}}},
        Change{"the Preformat choices are radio buttons: the last one set wins",
               {{"EnEarlyBad", "1"}, {"EnEraseReBuildBad", "1"}},
               {{"EnEarlyBad", "0"}}},
        Change{"an unlisted part selects the first part, with a warning",
               {{"FlashUniName", "NOPE"}},
               {{"FlashUniName", "WBG"}},
               1},
        Change{"a drive current code not in the list selects the first", {{"DrvCurrent", "9"}}, {{"DrvCurrent", "0"}}},
        Change{"VID and PID edits keep 4 characters", {{"VID", "12345"}, {"PID", "ABCDE"}},
               {{"VID", "1234"}, {"PID", "ABCD"}}},
        Change{"the vendor name edit keeps 8 characters", {{"VendorName", "VENDORXYZ"}}, {{"VendorName", "VENDORXY"}}},
        Change{"the model, firmware and serial edits keep 40, 8 and 20 characters",
               {{"ModelNum", "0123456789012345678901234567890123456789X"},
                {"FirmwareVer", "123456789"},
                {"SerialNum", "KW_012345678901234567"}},
               {{"ModelNum", "0123456789012345678901234567890123456789"},
                {"FirmwareVer", "12345678"},
                {"SerialNum", "KW_01234567890123456"}}},
        Change{"a FAT32 label keeps 11 characters, with its message",
               {{"DiskLabel", "A LONG LABEL"}},
               {{"DiskLabel", "A LONG LABE"}},
               1}));

}  // namespace
}  // namespace fleetburn
