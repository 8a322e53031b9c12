// Every row of the page <-> record map, both ways: what SettingsToControls
// shows for a record value, what ControlsToSettings stores for a control
// value, and what a number out of range or no number at all does.

#include <cstdint>
#include <functional>
#include <limits>
#include <ostream>
#include <string>

#include "settings_pages_fixture.h"

namespace fleetburn {
namespace {

using testing::SettingsPagesTest;
using Record = devlib::SettingsRecord;
using State = SettingsPageState;

// ---- Record into the pages ----------------------------------------------------

struct InCase {
  const char* control;
  std::function<void(Record&)> setRecord;
  std::function<std::string(const State&)> shown;
  std::string expected;
};

std::ostream& operator<<(std::ostream& out, const InCase& c) { return out << c.control; }

std::string Bool(bool value) { return value ? "true" : "false"; }

const InCase kInCases[] = {
    {"ProdModalPanel", [](Record& r) { r.ProductModel.assign("KWX"); },
     [](const State& s) { return s.ProdModalPanel + "|" + Bool(s.ProdModalPanelVisible); }, "KWX|true"},
    {"ProdModalPanel hidden for KW", [](Record& r) { r.ProductModel.assign("KW"); },
     [](const State& s) { return Bool(s.ProdModalPanelVisible); }, "false"},
    {"ProdModalPanel shown when empty", [](Record& r) { r.ProductModel.assign(""); },
     [](const State& s) { return Bool(s.ProdModalPanelVisible); }, "true"},
    {"ConnectionChkCmbox", [](Record& r) { r.ConnectDevNum = 2; },
     [](const State& s) { return std::to_string(s.ConnectionChkCmbox.index); }, "2"},
    {"CheckID1..5", [](Record& r) { r.CheckFlashMask = 0x12; },
     [](const State& s) {
       std::string boxes;
       for (bool b : s.CheckID) boxes += b ? '1' : '0';
       return boxes;
     },
     "01001"},
    {"SataBinChk/UsbBinChk", [](Record& r) { r.DownloadType = 2; },
     [](const State& s) { return Bool(s.SataBinChk) + Bool(s.UsbBinChk) + Bool(s.UsbBinChkVisible); },
     "falsetruetrue"},
    {"SNMinLengthSpin", [](Record& r) { r.SNMinLength = 17; },
     [](const State& s) { return std::to_string(s.SNMinLengthSpin.value); }, "17"},
    {"SNDecimal", [](Record& r) { r.SNDecimal = 0; }, [](const State& s) { return Bool(s.SNDecimal); }, "false"},
    {"FmtTypeComboBox", [](Record& r) { r.DiskFormat = 0; },
     [](const State& s) { return std::to_string(s.FmtTypeComboBox.index); }, "0"},
    {"FmtTypeComboBox without that item", [](Record& r) { r.DiskFormat = 3; },
     [](const State& s) { return std::to_string(s.FmtTypeComboBox.index); }, "-1"},
    {"FormatGroupBox", [](Record& r) { r.ItemEnable[11] = 1; },
     [](const State& s) { return Bool(s.FormatGroupBoxVisible); }, "true"},
    {"VolumeLabeledEdit", [](Record& r) { r.DiskLabel.assign("LABEL"); },
     [](const State& s) { return s.VolumeLabeledEdit; }, "LABEL"},
    {"CopyImageCheckBox", [](Record& r) { r.ItemEnable[12] = 1; },
     [](const State& s) { return Bool(s.CopyImageCheckBox); }, "true"},
    {"ImagePathEdit", [](Record& r) { r.CopyImagePath.assign("img/disk.img"); },
     [](const State& s) { return s.ImagePathEdit; }, "img/disk.img"},
    {"GenImageBn", [](Record& r) { r.EnGenImage = 1; }, [](const State& s) { return Bool(s.GenImageBnVisible); },
     "true"},
    {"CheckMaxTemperatureValue", [](Record& r) { r.CheckMaxTemperatureValue = 71; },
     [](const State& s) { return s.CheckMaxTemperatureValue; }, "71"},
    {"QCCheckMaxTemperatureValue", [](Record& r) { r.QCCheckMaxTemperatureValue = 66; },
     [](const State& s) { return s.QCCheckMaxTemperatureValue; }, "66"},
    {"MaxLBAValue", [](Record& r) { r.SetMaxLBAValue = 18446744073709551615u; },
     [](const State& s) { return s.MaxLBAValue; }, "18446744073709551615"},
    {"IDEMA_Capacity", [](Record& r) { r.IdemaCapacity = 480; }, [](const State& s) { return s.IDEMA_Capacity; },
     "480"},
    {"LBA_Capacity", [](Record& r) { r.LbaCapacity = 60000; }, [](const State& s) { return s.LBA_Capacity; },
     "60000"},
    {"RWTestPercentageValue/Cycle",
     [](Record& r) {
       r.RWTestPercentageValue = 30;
       r.RWTestPercentageCycle = 4;
     },
     [](const State& s) { return s.RWTestPercentageValue + "/" + s.RWTestPercentageCycle; }, "30/4"},
    {"WTestFullCycle", [](Record& r) { r.WTestFullCycle = 9; }, [](const State& s) { return s.WTestFullCycle; }, "9"},
    {"RWTestFullCycle", [](Record& r) { r.RWTestFullCycle = 8; }, [](const State& s) { return s.RWTestFullCycle; },
     "8"},
    {"SnCheckBarcodeRB", [](Record& r) { r.SnCheckPattern = 0; },
     [](const State& s) { return Bool(s.SnCheckPatternRB); }, "false"},
    {"SnCheckValueLd/MaskLd",
     [](Record& r) {
       r.SnCheckValue.assign("KW12");
       r.SnCheckMask.assign("FF00");
     },
     [](const State& s) { return s.SnCheckValueLd + "/" + s.SnCheckMaskLd; }, "KW12/FF00"},
    {"LaterChk", [](Record& r) { r.UseLaterBad = 1; },
     [](const State& s) { return Bool(s.LaterChk) + Bool(s.EarlyChk) + Bool(s.EraseChk); }, "truefalsefalse"},
    {"EarlyChk clears LaterChk",
     [](Record& r) {
       r.UseLaterBad = 1;
       r.EnEarlyBad = 1;
     },
     [](const State& s) { return Bool(s.LaterChk) + Bool(s.EarlyChk) + Bool(s.EraseChk); }, "falsetruefalse"},
    {"EraseChk, set last, wins",
     [](Record& r) {
       r.UseLaterBad = 1;
       r.EnEarlyBad = 1;
       r.EnEraseReBuildBad = 1;
     },
     [](const State& s) { return Bool(s.LaterChk) + Bool(s.EarlyChk) + Bool(s.EraseChk); }, "falsefalsetrue"},
    {"KeepPreviousEraseCountChk", [](Record& r) { r.KeepEraseCount = 1; },
     [](const State& s) { return Bool(s.KeepPreviousEraseCountChk); }, "true"},
    {"SkipEraseGoodChkBox", [](Record& r) { r.EnSkipEraseGood = 1; },
     [](const State& s) { return Bool(s.SkipEraseGoodChkBox) + Bool(s.SkipEraseGoodChkBoxVisible); }, "truetrue"},
    {"FlashChanCmBx/FlashBankCmBx/DrvCurrentCmBx",
     [](Record& r) {
       r.Channel = 4;
       r.Bank = 2;
       r.DrvCurrent = 3;
     },
     [](const State& s) {
       return std::to_string(s.FlashChanCmBx.index) + std::to_string(s.FlashBankCmBx.index) +
              std::to_string(s.DrvCurrentCmBx.index);
     },
     "313"},
    {"DrvCurrentCmBx, a code not in the list", [](Record& r) { r.DrvCurrent = 9; },
     [](const State& s) { return std::to_string(s.DrvCurrentCmBx.index); }, "0"},
    {"VendorIDEdit/ProductIDEdit",
     [](Record& r) {
       r.VID.assign("ABCD");
       r.PID.assign("1234");
     },
     [](const State& s) { return s.VendorIDEdit + "/" + s.ProductIDEdit; }, "ABCD/1234"},
    {"VendorNameEdit..ProdStrEdit",
     [](Record& r) {
       r.VendorName.assign("Vend");
       r.ProductName.assign("Prod");
       r.ManufString.assign("Manu");
       r.ProductString.assign("PStr");
     },
     [](const State& s) { return s.VendorNameEdit + s.ProductNameEdit + s.ManufStrEdit + s.ProdStrEdit; },
     "VendProdManuPStr"},
    {"FirmwareVerEdit/ModelNumEdit/SerialNumEdit",
     [](Record& r) {
       r.FirmwareVer.assign("FW01");
       r.ModelNum.assign("Model X");
       r.SerialNum.assign("000123");
     },
     [](const State& s) { return s.FirmwareVerEdit + "/" + s.ModelNumEdit + "/" + s.SerialNumEdit; },
     "FW01/Model X/000123"},
    {"SNIncChk", [](Record& r) { r.SNAutoInc = 1; }, [](const State& s) { return Bool(s.SNIncChk); }, "true"},
    {"GroupBox7/BnKeyFile/LeEncryption",
     [](Record& r) {
       r.EncryptionEnable = 1;
       r.EncryptionString.assign("secret");
     },
     [](const State& s) { return Bool(s.EncryptionVisible) + s.LeEncryption; }, "truesecret"},
    {"DefBlkRatioEdit/ResBlkRatioEdit",
     [](Record& r) {
       r.DefPercentage = 41;
       r.ResPercentage = 534;
     },
     [](const State& s) { return s.DefBlkRatioEdit + "/" + s.ResBlkRatioEdit; }, "41/534"},
    {"Bch thresholds",
     [](Record& r) {
       r.Bch16ReadErrorThreshold = 1;
       r.Bch24ReadErrorThreshold = 2;
       r.Bch16EccErrorCopyThreshold = 3;
       r.Bch24EccErrorCopyThreshold = 4;
     },
     [](const State& s) {
       return s.Bch16RdErrThldEdit + s.Bch24RdErrThldEdit + s.Bch16EccErrCpyThldEdit + s.Bch24EccErrCpyThldEdit;
     },
     "1234"},
    {"WearLevFreqEdit", [](Record& r) { r.WearLevelFrequency = 200; },
     [](const State& s) { return s.WearLevFreqEdit; }, "200"},
    {"ScrambleChk/RemapChk",
     [](Record& r) {
       r.ScrambleEnable = 0;
       r.RemapEnable = 1;
     },
     [](const State& s) { return Bool(s.ScrambleChk) + Bool(s.RemapChk); }, "falsetrue"},
    {"ThermalSensorCB", [](Record& r) { r.EnThermalSensor = 1; },
     [](const State& s) { return Bool(s.ThermalSensorCB); }, "true"},
    {"OUILEdit/UIDLEdit", [](Record& r) {
       r.OUI.assign("ABCDEF");
       r.UID.assign("123456789");
     },
     [](const State& s) { return s.OUILEdit + "/" + s.UIDLEdit; }, "ABCDEF/123456789"},
    {"UIDIncChk/UIDHexadecimal",
     [](Record& r) {
       r.UIDAutoInc = 1;
       r.UIDDecimal = 0;
     },
     [](const State& s) { return Bool(s.UIDIncChk) + Bool(s.UIDDecimal); }, "truefalse"},
    {"RD paths",
     [](Record& r) {
       r.TableIn.assign("a.txt");
       r.TableOut.assign("b.txt");
       r.LaterTableIn.assign("c.txt");
       r.LaterTableOut.assign("d.txt");
     },
     [](const State& s) { return s.TableInEdit + s.TableOutEdit + s.LaterTableInEdit + s.LaterTableOutEdit; },
     "a.txtb.txtc.txtd.txt"},
    {"TabSheet5", [](Record& r) { r.EnableGetPutTable = 1; }, [](const State& s) { return Bool(s.TabSheet5Visible); },
     "true"},
    {"TabSheet5 hidden", [](Record& r) { r.EnableGetPutTable = 0; },
     [](const State& s) { return Bool(s.TabSheet5Visible); }, "false"},
};

class RecordIntoPages : public SettingsPagesTest, public ::testing::WithParamInterface<InCase> {};

TEST_P(RecordIntoPages, ShowsTheRecordValue) {
  ASSERT_TRUE(loadDefaults());
  GetParam().setRecord(settings.record());
  pages.SettingsToControls();
  EXPECT_EQ(GetParam().shown(state), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(EveryRow, RecordIntoPages, ::testing::ValuesIn(kInCases));

// The feature boxes of the F/W page are never set from the record.
TEST_F(SettingsPagesTest, FeatureBoxesAreAlwaysShownUnchecked) {
  ASSERT_TRUE(loadDefaults());
  state.SMARTChk = state.SecurityChk = state.SlumberChk = true;
  state.InterleaveChk = state.ParalMemChk = state.SecurityEraseChk = true;
  state.UpdateFirmwareChkVisible = true;
  pages.SettingsToControls();
  EXPECT_FALSE(state.SMARTChk || state.SecurityChk || state.SlumberChk || state.InterleaveChk ||
               state.ParalMemChk || state.SecurityEraseChk);
  EXPECT_FALSE(state.UpdateFirmwareChkVisible);
}

// ---- Pages into the record ----------------------------------------------------

struct OutCase {
  const char* control;
  std::function<void(State&)> setControl;
  std::function<std::string(const Record&)> stored;
  std::string expected;
};

std::ostream& operator<<(std::ostream& out, const OutCase& c) { return out << c.control; }

template <typename T>
std::string Num(T value) {
  return std::to_string(value);
}

const OutCase kOutCases[] = {
    {"ConnectionChkCmbox", [](State& s) { s.ConnectionChkCmbox.index = 0; },
     [](const Record& r) { return Num(r.ConnectDevNum); }, "0"},
    {"ConnectionChkCmbox without selection keeps the record",
     [](State& s) { s.ConnectionChkCmbox.index = -1; }, [](const Record& r) { return Num(r.ConnectDevNum); }, "3"},
    {"CheckID2 and CheckID5 only",
     [](State& s) { s.CheckID = {false, true, false, false, true}; },
     [](const Record& r) { return Num(r.CheckFlashMask) + "/" + Num(devlib::CurrentFlashParams()->checkFlashMask); },
     "18/18"},
    {"Both bin boxes", [](State& s) { s.SataBinChk = s.UsbBinChk = true; },
     [](const Record& r) { return Num(r.DownloadType); }, "3"},
    {"No bin box", [](State& s) { s.SataBinChk = s.UsbBinChk = false; },
     [](const Record& r) { return Num(r.DownloadType); }, "0"},
    {"SNMinLengthSpin", [](State& s) { s.SNMinLengthSpin.value = 15; },
     [](const Record& r) { return Num(r.SNMinLength); }, "15"},
    {"SNMinLengthSpin above its maximum", [](State& s) { s.SNMinLengthSpin.value = 25; },
     [](const Record& r) { return Num(r.SNMinLength); }, "20"},
    {"SNHexadecimal", [](State& s) { s.SNDecimal = false; }, [](const Record& r) { return Num(r.SNDecimal); }, "0"},
    {"SNDecimal", [](State& s) { s.SNDecimal = true; }, [](const Record& r) { return Num(r.SNDecimal); }, "1"},
    {"FmtTypeComboBox", [](State& s) { s.FmtTypeComboBox.index = 0; },
     [](const Record& r) { return Num(r.DiskFormat); }, "0"},
    {"FmtTypeComboBox without selection keeps the record", [](State& s) { s.FmtTypeComboBox.index = -1; },
     [](const Record& r) { return Num(r.DiskFormat); }, "5"},
    {"VolumeLabeledEdit", [](State& s) { s.VolumeLabeledEdit = "NEW LABEL"; },
     [](const Record& r) { return r.DiskLabel.str(); }, "NEW LABEL"},
    {"CopyImageCheckBox", [](State& s) { s.CopyImageCheckBox = true; },
     [](const Record& r) { return Num(r.ItemEnable[12]); }, "1"},
    {"ImagePathEdit", [](State& s) { s.ImagePathEdit = "x.img"; },
     [](const Record& r) { return r.CopyImagePath.str(); }, "x.img"},
    {"ImagePathEdit cut to its field", [](State& s) { s.ImagePathEdit = std::string(300, 'p'); },
     [](const Record& r) { return Num(r.CopyImagePath.size()); }, "259"},
    {"ModelNumEdit", [](State& s) { s.ModelNumEdit = "Model Y"; }, [](const Record& r) { return r.ModelNum.str(); },
     "Model Y"},
    {"FirmwareVerEdit", [](State& s) { s.FirmwareVerEdit = "V2"; },
     [](const Record& r) { return r.FirmwareVer.str(); }, "V2"},
    {"SerialNumEdit", [](State& s) { s.SerialNumEdit = "0042"; }, [](const Record& r) { return r.SerialNum.str(); },
     "0042"},
    {"SNIncChk", [](State& s) { s.SNIncChk = true; }, [](const Record& r) { return Num(r.SNAutoInc); }, "1"},
    {"VendorNameEdit cut to its field", [](State& s) { s.VendorNameEdit = "ABCDEFGHIJKLMNOP"; },
     [](const Record& r) { return r.VendorName.str(); }, "ABCDEFGHI"},
    {"ProductNameEdit cut between characters",
     [](State& s) { s.ProductNameEdit = "0123456789abcdef\xC3\xA9z"; },  // the 17th byte starts "é"
     [](const Record& r) { return r.ProductName.str(); }, "0123456789abcdef"},
    {"ManufStrEdit", [](State& s) { s.ManufStrEdit = "Maker"; }, [](const Record& r) { return r.ManufString.str(); },
     "Maker"},
    {"ProdStrEdit", [](State& s) { s.ProdStrEdit = "Product"; },
     [](const Record& r) { return r.ProductString.str(); }, "Product"},
    {"LeEncryption cut to its field", [](State& s) { s.LeEncryption = std::string(24, 'k'); },
     [](const Record& r) { return r.EncryptionString.str(); }, std::string(23, 'k')},
    {"OUILEdit/UIDLEdit",
     [](State& s) {
       s.OUILEdit = "A1B2C3";
       s.UIDLEdit = "000000777";
     },
     [](const Record& r) { return r.OUI.str() + "/" + r.UID.str(); }, "A1B2C3/000000777"},
    {"UIDIncChk/UIDDecimal",
     [](State& s) {
       s.UIDIncChk = true;
       s.UIDDecimal = true;
     },
     [](const Record& r) { return Num(r.UIDAutoInc) + Num(r.UIDDecimal); }, "11"},
    {"FlashChanCmBx/FlashBankCmBx/DrvCurrentCmBx",
     [](State& s) {
       s.FlashChanCmBx.index = 3;
       s.FlashBankCmBx.index = 0;
       s.DrvCurrentCmBx.index = 7;
     },
     [](const Record& r) { return Num(r.Channel) + Num(r.Bank) + Num(r.DrvCurrent); }, "417"},
    {"Flash combos without selection keep the record",
     [](State& s) { s.FlashChanCmBx.index = s.FlashBankCmBx.index = s.DrvCurrentCmBx.index = -1; },
     [](const Record& r) { return Num(r.Channel) + Num(r.Bank) + Num(r.DrvCurrent); }, "821"},
    {"FlashCodeCmBx", [](State& s) { s.FlashCodeCmBx.index = 1; },
     [](const Record& r) { return r.FlashUniName.str(); }, "TVA"},
    {"FlashVendorCmbx and FlashCodeCmBx",
     [](State& s) {
       s.FlashVendorCmbx.index = 2;
       s.FlashCodeCmBx.index = 1;
     },
     [](const Record& r) { return r.FlashUniName.str(); }, "BIG"},
    {"CapacityCmBx", [](State& s) { s.CapacityCmBx = {{"a", "b", "c"}, 2}; },
     [](const Record& r) { return Num(r.Capacity); }, "2"},
    {"ScrambleChk/RemapChk",
     [](State& s) {
       s.ScrambleChk = false;
       s.RemapChk = true;
     },
     [](const Record& r) { return Num(r.ScrambleEnable) + Num(r.RemapEnable); }, "01"},
    {"KeepPreviousEraseCountChk", [](State& s) { s.KeepPreviousEraseCountChk = true; },
     [](const Record& r) { return Num(r.KeepEraseCount); }, "1"},
    {"Preformat radio buttons",
     [](State& s) {
       s.LaterChk = false;
       s.EarlyChk = false;
       s.EraseChk = true;
     },
     [](const Record& r) { return Num(r.UseLaterBad) + Num(r.EnEarlyBad) + Num(r.EnEraseReBuildBad); }, "001"},
    {"RD paths",
     [](State& s) {
       s.TableInEdit = "in.txt";
       s.TableOutEdit = "out.txt";
       s.LaterTableInEdit = "lin.txt";
       s.LaterTableOutEdit = "lout.txt";
     },
     [](const Record& r) { return r.TableIn.str() + r.TableOut.str() + r.LaterTableIn.str() + r.LaterTableOut.str(); },
     "in.txtout.txtlin.txtlout.txt"},
    {"SnCheckPatternRB", [](State& s) { s.SnCheckPatternRB = true; },
     [](const Record& r) { return Num(r.SnCheckPattern); }, "1"},
    {"SnCheckValueLd/MaskLd",
     [](State& s) {
       s.SnCheckValueLd = "KW";
       s.SnCheckMaskLd = "FF";
     },
     [](const Record& r) { return r.SnCheckValue.str() + r.SnCheckMask.str(); }, "KWFF"},
    {"WearLevFreqEdit empty keeps the record", [](State& s) { s.WearLevFreqEdit.clear(); },
     [](const Record& r) { return Num(r.WearLevelFrequency); }, "128"},
    // In-only rows: the pages never write them back.
    {"ResBlkRatioEdit is not copied back", [](State& s) { s.ResBlkRatioEdit = "500"; },
     [](const Record& r) { return Num(r.ResPercentage); }, "68"},
    {"DefBlkRatioEdit is not copied back", [](State& s) { s.DefBlkRatioEdit = "10"; },
     [](const Record& r) { return Num(r.DefPercentage); }, "48"},
    {"ThermalSensorCB is not copied back", [](State& s) { s.ThermalSensorCB = true; },
     [](const Record& r) { return Num(r.EnThermalSensor); }, "0"},
    {"VendorIDEdit reaches the record only through its change",
     [](State& s) { s.VendorIDEdit = "FFFF"; }, [](const Record& r) { return r.VID.str(); }, "2E57"},
};

class PagesIntoRecord : public SettingsPagesTest, public ::testing::WithParamInterface<OutCase> {};

TEST_P(PagesIntoRecord, StoresTheControlValue) {
  ASSERT_TRUE(load(testsupport::SettingsFileBuilder()
                       .section("Setting")
                       .key("ConnectDevNum", 3)
                       .section("TestItems")
                       .key("DiskFormat", 5)));
  GetParam().setControl(state);
  pages.ControlsToSettings();
  EXPECT_EQ(GetParam().stored(settings.record()), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(EveryRow, PagesIntoRecord, ::testing::ValuesIn(kOutCases));

// ---- Numeric edits ----------------------------------------------------------------

struct NumberCase {
  const char* control;
  std::string State::*edit;
  std::function<std::uint64_t(const Record&)> field;
  std::uint64_t minimum;
  std::uint64_t maximum;
};

std::ostream& operator<<(std::ostream& out, const NumberCase& c) { return out << c.control; }

const NumberCase kNumberCases[] = {
    {"CheckMaxTemperatureValue", &State::CheckMaxTemperatureValue,
     [](const Record& r) { return r.CheckMaxTemperatureValue; }, 0, 255},
    {"QCCheckMaxTemperatureValue", &State::QCCheckMaxTemperatureValue,
     [](const Record& r) { return r.QCCheckMaxTemperatureValue; }, 0, 255},
    {"MaxLBAValue", &State::MaxLBAValue, [](const Record& r) { return r.SetMaxLBAValue; }, 0,
     std::numeric_limits<std::uint64_t>::max()},
    {"IDEMA_Capacity", &State::IDEMA_Capacity, [](const Record& r) { return r.IdemaCapacity; }, 1, 512},
    {"LBA_Capacity", &State::LBA_Capacity, [](const Record& r) { return r.LbaCapacity; }, 0, 65535},
    {"RWTestPercentageValue", &State::RWTestPercentageValue, [](const Record& r) { return r.RWTestPercentageValue; },
     1, 100},
    {"RWTestPercentageCycle", &State::RWTestPercentageCycle, [](const Record& r) { return r.RWTestPercentageCycle; },
     1, 100},
    {"WTestFullCycle", &State::WTestFullCycle, [](const Record& r) { return r.WTestFullCycle; }, 1, 100},
    {"RWTestFullCycle", &State::RWTestFullCycle, [](const Record& r) { return r.RWTestFullCycle; }, 1, 100},
    {"Bch16RdErrThldEdit", &State::Bch16RdErrThldEdit, [](const Record& r) { return r.Bch16ReadErrorThreshold; }, 0,
     255},
    {"Bch24RdErrThldEdit", &State::Bch24RdErrThldEdit, [](const Record& r) { return r.Bch24ReadErrorThreshold; }, 0,
     255},
    {"Bch16EccErrCpyThldEdit", &State::Bch16EccErrCpyThldEdit,
     [](const Record& r) { return r.Bch16EccErrorCopyThreshold; }, 0, 255},
    {"Bch24EccErrCpyThldEdit", &State::Bch24EccErrCpyThldEdit,
     [](const Record& r) { return r.Bch24EccErrorCopyThreshold; }, 0, 255},
    {"WearLevFreqEdit", &State::WearLevFreqEdit, [](const Record& r) { return r.WearLevelFrequency; }, 0, 255},
};

class NumericEdit : public SettingsPagesTest, public ::testing::WithParamInterface<NumberCase> {
 protected:
  void SetUp() override {
    SettingsPagesTest::SetUp();
    ASSERT_TRUE(loadDefaults());
    prompt.take();
  }
  std::uint64_t copied(const std::string& text) {
    state.*GetParam().edit = text;
    pages.ControlsToSettings();
    return GetParam().field(settings.record());
  }
};

TEST_P(NumericEdit, TakesANumberInItsRange) {
  const std::uint64_t inRange = GetParam().minimum + 1;
  EXPECT_EQ(copied(std::to_string(inRange)), inRange);
  EXPECT_EQ(copied(" " + std::to_string(GetParam().maximum) + " "), GetParam().maximum);
  EXPECT_TRUE(prompt.take().empty());
}

TEST_P(NumericEdit, TakesANumberOutOfRangeAsTheNearestEnd) {
  EXPECT_EQ(copied("99999999999999999999999"), GetParam().maximum);
  EXPECT_EQ(copied("-5"), GetParam().minimum);
  if (GetParam().maximum < std::numeric_limits<std::uint64_t>::max()) {
    EXPECT_EQ(copied(std::to_string(GetParam().maximum + 1)), GetParam().maximum);
  }
  EXPECT_TRUE(prompt.take().empty());
}

TEST_P(NumericEdit, KeepsTheFieldForATextThatIsNoNumberAndNamesIt) {
  const std::uint64_t before = copied(std::to_string(GetParam().minimum + 2));
  EXPECT_EQ(copied("12x"), before);
  EXPECT_EQ(prompt.take(), std::vector<std::string>{"'12x' is not a valid integer value"});
  // An empty wear level edit is skipped; every other empty edit is no number.
  EXPECT_EQ(copied(""), before);
  const bool skipsEmpty = GetParam().edit == &State::WearLevFreqEdit;
  EXPECT_EQ(prompt.take().size(), skipsEmpty ? 0u : 1u);
}

INSTANTIATE_TEST_SUITE_P(EveryNumber, NumericEdit, ::testing::ValuesIn(kNumberCases));

// A bad text stops nothing: the fields copied after it still are, and only
// the first bad text of the copy is named.
TEST_F(SettingsPagesTest, ATextThatIsNoNumberDoesNotStopTheCopy) {
  ASSERT_TRUE(loadDefaults());
  prompt.take();
  state.CheckMaxTemperatureValue = "";
  state.Bch16RdErrThldEdit = "1,5";
  state.RWTestFullCycle = "77";
  state.LaterTableOutEdit = "last.txt";
  pages.ControlsToSettings();
  EXPECT_EQ(settings.record().CheckMaxTemperatureValue, 0);
  EXPECT_EQ(settings.record().Bch16ReadErrorThreshold, 13);
  EXPECT_EQ(settings.record().RWTestFullCycle, 77);
  EXPECT_EQ(settings.record().LaterTableOut.str(), "last.txt");
  EXPECT_EQ(prompt.take(), std::vector<std::string>{"'' is not a valid integer value"});
}

// ---- Identify entries -----------------------------------------------------------

TEST_F(SettingsPagesTest, IdentifyEntriesGoBothWaysOnlyWithCustomIdentify) {
  ASSERT_TRUE(load(testsupport::SettingsFileBuilder()
                       .section("Setting")
                       .key("EnCustomizeIdentify", 1)
                       .section("DeviceSetting")
                       .key("IdentiyData000", "Z1A2B")
                       .key("IdentiyData005", "XFF")));
  ASSERT_TRUE(state.IdentifyListViewVisible);
  ASSERT_EQ(state.IdentifyListView.size(), 256u);
  EXPECT_EQ(state.IdentifyListView[0].caption, "1A2B");
  EXPECT_EQ(state.IdentifyListView[0].subItem, "000");
  EXPECT_TRUE(state.IdentifyListView[0].checked);
  EXPECT_EQ(state.IdentifyListView[5].caption, "FF");
  EXPECT_EQ(state.IdentifyListView[5].subItem, "005");
  EXPECT_FALSE(state.IdentifyListView[5].checked);
  EXPECT_EQ(state.IdentifyListView[255].subItem, "255");

  state.IdentifyListView[0].checked = false;
  state.IdentifyListView[5] = {"12345", "005", true};
  pages.ControlsToSettings();
  EXPECT_EQ(settings.options().identifyData[0].str(), "X1A2B");
  EXPECT_EQ(settings.options().identifyData[5].str(), "Z1234");

  settings.record().EnCustomizeIdentify = 0;
  state.IdentifyListView[0].checked = true;
  pages.ControlsToSettings();
  EXPECT_EQ(settings.options().identifyData[0].str(), "X1A2B");
}

TEST_F(SettingsPagesTest, TheConnectComboListsEveryPortAndAStoredCountBeyondThem) {
  ASSERT_TRUE(load(testsupport::SettingsFileBuilder().section("Setting").key("ConnectDevNum", 9)));
  pages.setPortCount(4);
  EXPECT_EQ(state.ConnectionChkCmbox.items,
            (std::vector<std::string>{"Don't Care", "1", "2", "3", "4", "5", "6", "7", "8", "9"}));
  EXPECT_EQ(state.ConnectionChkCmbox.index, 9);
  pages.ControlsToSettings();
  EXPECT_EQ(settings.record().ConnectDevNum, 9);

  settings.record().ConnectDevNum = 2;
  pages.SettingsToControls();
  EXPECT_EQ(state.ConnectionChkCmbox.items, (std::vector<std::string>{"Don't Care", "1", "2", "3", "4"}));
  EXPECT_EQ(state.ConnectionChkCmbox.index, 2);
}

}  // namespace
}  // namespace fleetburn
