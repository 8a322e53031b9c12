// The behaviour of the settings pages: the test item check list and its
// sub-pages, the flash selection and its texts, the page actions, the lock
// and the "Load INI" and "Save INI" buttons with the pages wired in.

#include <algorithm>
#include <array>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "devlib/device_helpers.h"
#include "settings_pages_fixture.h"
#include "testsupport/firmware_images.h"

namespace fleetburn {
namespace {

using testing::SettingsPagesTest;
using testsupport::SettingsFileBuilder;

std::vector<std::string> EntryTexts(const SettingsPageState& state) {
  std::vector<std::string> texts;
  for (const CheckListEntry& entry : state.FunCheckListBox) texts.push_back(entry.text);
  return texts;
}

CheckListEntry* Entry(SettingsPageState& state, std::string_view text) {
  for (CheckListEntry& entry : state.FunCheckListBox) {
    if (entry.text == text) return &entry;
  }
  return nullptr;
}

const std::vector<std::string> kAlwaysListed = {"Flash Module Test", "Bus Interface Test", "Flash Interface Test",
                                                "Dram Test",         "Preformat",          "Download",
                                                "R/W Test",          "Check Tables"};

// ---- Check list -----------------------------------------------------------------

TEST_F(SettingsPagesTest, TheCheckListHoldsTheFixedItemsCheckedByTheirEnables) {
  ASSERT_TRUE(load(SettingsFileBuilder()
                       .section("TestItems")
                       .key("EnFlashModule", 0)
                       .key("EnDramTest", 1)
                       .key("EnCheckTables", 1)
                       .key("EnWTestFullMP", 1)
                       .key("EnCopyImage", 1)));
  EXPECT_EQ(EntryTexts(state), kAlwaysListed);
  std::string checked;
  for (const CheckListEntry& entry : state.FunCheckListBox) checked += entry.checked ? '1' : '0';
  EXPECT_EQ(checked, "00010001");
}

TEST_F(SettingsPagesTest, OptionalItemsAreListedAfterTheOthersWhileTheirEnableIsSet) {
  ASSERT_TRUE(load(SettingsFileBuilder().section("TestItems").key("EnFormat", 0)));
  EXPECT_EQ(Entry(state, "Disk Format"), nullptr);
  EXPECT_FALSE(state.FormatGroupBoxVisible);

  ASSERT_TRUE(load(SettingsFileBuilder()
                       .section("TestItems")
                       .key("EnCheckTemperature", 1)
                       .key("EnFormat", 1)
                       .key("EnSetMaxLBA", 1)));
  std::vector<std::string> expected = kAlwaysListed;
  expected.insert(expected.end(), {"Set Max LBA", "Disk Format", "Check Temperature"});
  EXPECT_EQ(EntryTexts(state), expected);
  ASSERT_NE(Entry(state, "Disk Format"), nullptr);
  EXPECT_TRUE(Entry(state, "Disk Format")->checked);
  EXPECT_TRUE(state.FormatGroupBoxVisible);
}

TEST_F(SettingsPagesTest, TheCheckListSetsTheEnablesOfItsEntriesOnly) {
  ASSERT_TRUE(load(SettingsFileBuilder().section("TestItems").key("EnWTestFullMP", 1).key("EnDownload", 1)));
  settings.record().ItemEnable[20] = 1;
  Entry(state, "Flash Module Test")->checked = false;
  Entry(state, "R/W Test")->checked = true;
  Entry(state, "Download")->checked = false;
  pages.FunCheckListBoxClickCheck();
  const auto& enables = settings.record().ItemEnable;
  EXPECT_EQ(enables[1], 0);
  EXPECT_EQ(enables[8], 1);
  EXPECT_EQ(enables[6], 0);
  EXPECT_EQ(enables[14], 1);  // not listed: left alone
  EXPECT_EQ(enables[20], 1);
}

TEST_F(SettingsPagesTest, PreformatForcesDownload) {
  ASSERT_TRUE(loadDefaults());
  Entry(state, "Preformat")->checked = true;
  Entry(state, "Download")->checked = false;
  pages.FunCheckListBoxClickCheck();
  EXPECT_TRUE(Entry(state, "Download")->checked);
  EXPECT_EQ(settings.record().ItemEnable[5], 1);
  EXPECT_EQ(settings.record().ItemEnable[6], 1);

  Entry(state, "Preformat")->checked = false;
  Entry(state, "Download")->checked = false;
  pages.FunCheckListBoxClickCheck();
  EXPECT_FALSE(Entry(state, "Download")->checked);
  EXPECT_EQ(settings.record().ItemEnable[6], 0);
}

// The check list also checks the firmware files, as its click does.
TEST_F(SettingsPagesTest, TheCheckListChecksTheFirmwareFiles) {
  ASSERT_TRUE(loadDefaults());
  state.StatusBar[1].clear();
  pages.FunCheckListBoxClickCheck();
  EXPECT_FALSE(state.StatusBar[1].empty());
  EXPECT_EQ(pages.firmwareFiles().SataBinName, state.StatusBar[1]);
}

struct SubPageCase {
  const char* entry;
  const char* page;
};

std::ostream& operator<<(std::ostream& out, const SubPageCase& c) { return out << c.entry; }

class SubPages : public SettingsPagesTest, public ::testing::WithParamInterface<SubPageCase> {};

TEST_P(SubPages, TheSelectedEntryShowsItsPage) {
  ASSERT_TRUE(load(SettingsFileBuilder()
                       .section("TestItems")
                       .key("EnSetMaxLBA", 1)
                       .key("EnFormat", 1)
                       .key("EnCheckTemperature", 1)));
  const std::vector<std::string> texts = EntryTexts(state);
  const auto found = std::find(texts.begin(), texts.end(), GetParam().entry);
  ASSERT_NE(found, texts.end());
  state.visibleSubPage = "OP_CheckSN";
  state.FunCheckListBoxIndex = static_cast<int>(found - texts.begin());
  pages.SubPageControl();
  EXPECT_EQ(state.visibleSubPage, GetParam().page);
}

INSTANTIATE_TEST_SUITE_P(EveryEntry, SubPages,
                         ::testing::Values(SubPageCase{"Flash Module Test", "OP_FlashModule"},
                                           SubPageCase{"Bus Interface Test", ""},
                                           SubPageCase{"Flash Interface Test", ""}, SubPageCase{"Dram Test", ""},
                                           SubPageCase{"Preformat", "OP_PFormat"},
                                           SubPageCase{"Download", "OP_Download"}, SubPageCase{"R/W Test", ""},
                                           SubPageCase{"Check Tables", ""}, SubPageCase{"Set Max LBA", "OP_SetMaxLBA"},
                                           SubPageCase{"Disk Format", "OP_Format"},
                                           SubPageCase{"Check Temperature", "OP_CheckTemperature"}));

TEST_F(SettingsPagesTest, NoSelectedEntryShowsNoSubPage) {
  ASSERT_TRUE(loadDefaults());
  state.visibleSubPage = "OP_Download";
  state.FunCheckListBoxIndex = -1;
  pages.SubPageControl();
  EXPECT_EQ(state.visibleSubPage, "");
}

// ---- Flash selection ----------------------------------------------------------------

TEST_F(SettingsPagesTest, TheCombosSelectTheSettingsPartPassingOverEmptyVendors) {
  ASSERT_TRUE(load(SettingsFileBuilder().section("FlashSetting").key("FlashUniName", "HYX").key("Channel", 4)));
  EXPECT_EQ(state.FlashVendorCmbx.items, (std::vector<std::string>{"VendorA", "Blank", "VendorC"}));
  EXPECT_EQ(state.FlashVendorCmbx.index, 2);
  EXPECT_EQ(state.FlashCodeCmBx.items,
            (std::vector<std::string>{"HYX  /  HY32G1 (1CE)", "BIG  /  BG4T8 (4CE)"}));
  EXPECT_EQ(state.FlashCodeCmBx.index, 0);
  EXPECT_EQ(state.FlashChanCmBx.index, 3);
  EXPECT_EQ(state.FlashBankCmBx.index, 1);
  EXPECT_EQ(state.DrvCurrentCmBx.index, 1);
  EXPECT_EQ(state.DrvCurrentCmBx.items[0], " 2 mA");
  EXPECT_EQ(state.DrvCurrentCmBx.items[7], " 16 mA");
  EXPECT_TRUE(prompt.take().empty());
}

TEST_F(SettingsPagesTest, AnUnlistedPartSelectsTheFirstRowWithOneWarning) {
  ASSERT_TRUE(load(SettingsFileBuilder().section("FlashSetting").key("FlashUniName", "NOPE")));
  EXPECT_EQ(state.FlashVendorCmbx.index, 0);
  EXPECT_EQ(state.FlashCodeCmBx.index, 0);
  pages.SettingsToControls();
  const std::vector<std::string> messages = prompt.take();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_NE(messages[0].find("NOPE"), std::string::npos);

  pages.ControlsToSettings();
  EXPECT_EQ(settings.record().FlashUniName.str(), "WBG");
}

TEST_F(SettingsPagesTest, ChoosingAVendorListsItsPartsAndAppliesTheFirst) {
  ASSERT_TRUE(loadDefaults());
  state.FlashVendorCmbx.index = 2;
  pages.UpdateFlashList(true);
  EXPECT_EQ(state.FlashCodeCmBx.index, 0);
  EXPECT_EQ(settings.record().FlashUniName.str(), "HYX");
  EXPECT_EQ(devlib::CurrentFlashParams()->setting.partName.str(), "HY32G1");

  state.FlashVendorCmbx.index = 1;
  pages.UpdateFlashList(true);
  EXPECT_TRUE(state.FlashCodeCmBx.items.empty());
  EXPECT_EQ(state.FlashCodeCmBx.index, -1);
  EXPECT_EQ(settings.record().FlashUniName.str(), "HYX");

  state.FlashVendorCmbx.index = -1;
  pages.UpdateFlashList(true);
  EXPECT_EQ(prompt.take(), std::vector<std::string>{"Please select a valid Flash Vendor!"});
}

TEST_F(SettingsPagesTest, WithoutAVendorChoiceThePreferredPartIsSelected) {
  ASSERT_TRUE(loadDefaults());
  state.FlashVendorCmbx.index = 2;
  pages.setPreferredFlashPart(1);
  pages.UpdateFlashList(false);
  EXPECT_EQ(state.FlashCodeCmBx.index, 1);
  EXPECT_EQ(settings.record().FlashUniName.str(), "WBG");  // nothing applied yet
}

struct FlashTextCase {
  const char* name;
  int vendor;
  int part;
  int bankItem;
  const char* statusPanel0;
  std::array<const char*, 3> memo;
  const char* capacity;
  const char* capacity2;
  int largeUnit;
};

std::ostream& operator<<(std::ostream& out, const FlashTextCase& c) { return out << c.name; }

class FlashTexts : public SettingsPagesTest, public ::testing::WithParamInterface<FlashTextCase> {};

TEST_P(FlashTexts, ShowThePartApplied) {
  const FlashTextCase& c = GetParam();
  ASSERT_TRUE(loadDefaults());
  pages.setSupportFiles({true, "GDP001", "TST002"});
  state.FlashVendorCmbx.index = c.vendor;
  pages.UpdateFlashList(false);
  state.FlashCodeCmBx.index = c.part;
  state.FlashBankCmBx.index = c.bankItem;
  pages.FlashInfoChange();

  EXPECT_EQ(state.StatusBar[0], c.statusPanel0);
  EXPECT_EQ(state.StatusBar[2], "GDP.bin(GDP001) / SataTest (TST002)");
  EXPECT_EQ(state.FlashDetailMemo, (std::vector<std::string>{c.memo[0], c.memo[1], c.memo[2]}));
  EXPECT_EQ(state.CapacityEdit, c.capacity);
  EXPECT_EQ(state.CapacityEdit2, c.capacity2);
  EXPECT_EQ(devlib::CurrentFlashParams()->largeUnitFlag, c.largeUnit);
  // The selection became the settings, and the pages show them again.
  const devlib::FlashListEntry& row = settings.flashTable().entries[static_cast<std::size_t>(
      settings.flashTable().FlashVendorStart[static_cast<std::size_t>(c.vendor)] + c.part)];
  EXPECT_EQ(settings.record().FlashUniName, row.uniName);
  EXPECT_EQ(devlib::CurrentFlashParams()->setting.partName, row.partName);
  EXPECT_EQ(state.FlashCodeCmBx.index, c.part);
  EXPECT_TRUE(prompt.take().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Parts, FlashTexts,
    ::testing::Values(
        FlashTextCase{"SLC",
                      0,
                      0,
                      1,
                      "Flash: WBG(0x124A), Channel: 8, Bank: 2",
                      {"Type: SLC, Die: 2", "TotalBlock: 4096, BlockPage: 128", "PerPageSize: 8192 DieOffset: 0"},
                      "64.06",
                      "59.66",
                      0},
        FlashTextCase{"MLC with a die offset",
                      0,
                      1,
                      1,
                      "Flash: TVA(0x2A4A), Channel: 8, Bank: 2",
                      {"Type: MLC, Die: 2", "TotalBlock: 4096, BlockPage: 128", "PerPageSize: 8192 DieOffset: 3"},
                      "64.06",
                      "59.66",
                      0},
        FlashTextCase{"large",
                      2,
                      1,
                      7,
                      "Flash: BIG(0x2ADA), Channel: 8, Bank: 8",
                      {"Type: MLC, Die: 2", "TotalBlock: 16384, BlockPage: 512", "PerPageSize: 8192 DieOffset: 0"},
                      "4099.55",
                      "3818.00",
                      1}));

TEST_F(SettingsPagesTest, ARefusedPartIsNamedOnceAndNotApplied) {
  ASSERT_TRUE(loadDefaults());
  pages.FlashInfoChange();
  ASSERT_EQ(devlib::CurrentFlashParams()->setting.partName.str(), "WB64G2A");
  prompt.take();

  state.FlashBankCmBx.index = 0;  // one bank for a part of two chip enables
  pages.FlashInfoChange();
  pages.ControlsToSettings();
  const std::vector<std::string> messages = prompt.take();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_NE(messages[0].find("WBG"), std::string::npos);
  EXPECT_EQ(devlib::CurrentFlashParams()->setting.banks, 2);
}

// ---- Page actions ------------------------------------------------------------------

struct KeyCase {
  const char* filter;
  char32_t key;
  std::optional<char32_t> result;
};

std::ostream& operator<<(std::ostream& out, const KeyCase& c) {
  return out << c.filter << " " << static_cast<unsigned>(c.key);
}

std::optional<char32_t> Filtered(const KeyCase& c) {
  devlib::SettingsRecord decimal;
  decimal.SNDecimal = 1;
  devlib::SettingsRecord hexadecimal;
  const std::string_view filter = c.filter;
  if (filter == "hex") return StringAEditKeyPress(c.key);
  if (filter == "serial decimal") return SerialNumEditKeyPress(c.key, decimal);
  if (filter == "serial hex") return SerialNumEditKeyPress(c.key, hexadecimal);
  if (filter == "numeral") return NumeralKeyPress(c.key);
  return ModelNumEditKeyPress(c.key);
}

class KeyFilters : public ::testing::TestWithParam<KeyCase> {};

TEST_P(KeyFilters, PassChangeOrDropTheKey) { EXPECT_EQ(Filtered(GetParam()), GetParam().result); }

constexpr std::nullopt_t kDropped = std::nullopt;

INSTANTIATE_TEST_SUITE_P(
    Table, KeyFilters,
    ::testing::Values(KeyCase{"hex", U'c', U'C'}, KeyCase{"hex", U'F', U'F'}, KeyCase{"hex", U'7', U'7'},
                      KeyCase{"hex", U'g', kDropped}, KeyCase{"hex", U' ', kDropped}, KeyCase{"hex", U'\b', U'\b'},
                      KeyCase{"hex", U'\x7F', kDropped}, KeyCase{"hex", U'\u00E9', kDropped},
                      KeyCase{"serial decimal", U'5', U'5'}, KeyCase{"serial decimal", U'a', kDropped},
                      KeyCase{"serial decimal", U'\r', U'\r'}, KeyCase{"serial hex", U'a', U'A'},
                      KeyCase{"serial hex", U'Z', kDropped}, KeyCase{"numeral", U'9', U'9'},
                      KeyCase{"numeral", U'-', kDropped}, KeyCase{"numeral", U'\x03', U'\x03'},
                      KeyCase{"model", U'\\', kDropped}, KeyCase{"model", U'/', U'/'},
                      KeyCase{"model", U'\u00E9', U'\u00E9'}));

struct LengthCase {
  LengthLimitedEdit edit;
  std::string SettingsPageState::*text;
  std::size_t limit;
};

std::ostream& operator<<(std::ostream& out, const LengthCase& c) { return out << c.limit; }

class LengthLimits : public SettingsPagesTest, public ::testing::WithParamInterface<LengthCase> {};

TEST_P(LengthLimits, CutALongerTextAndPlaceTheCaret) {
  const LengthCase& c = GetParam();
  state.*c.text = std::string(c.limit, 'x');
  EXPECT_EQ(pages.StringEditChange(c.edit), std::nullopt);
  EXPECT_EQ(state.*c.text, std::string(c.limit, 'x'));

  state.*c.text = std::string(c.limit, 'y') + "zz";
  EXPECT_EQ(pages.StringEditChange(c.edit), static_cast<int>(c.limit) - 1);
  EXPECT_EQ(state.*c.text, std::string(c.limit, 'y'));
}

INSTANTIATE_TEST_SUITE_P(
    EveryEdit, LengthLimits,
    ::testing::Values(LengthCase{LengthLimitedEdit::ModelNumEdit, &SettingsPageState::ModelNumEdit, 40},
                      LengthCase{LengthLimitedEdit::FirmwareVerEdit, &SettingsPageState::FirmwareVerEdit, 8},
                      LengthCase{LengthLimitedEdit::SerialNumEdit, &SettingsPageState::SerialNumEdit, 20},
                      LengthCase{LengthLimitedEdit::ManufStrEdit, &SettingsPageState::ManufStrEdit, 16},
                      // The field holds 9 characters: the edit keeps 8, as the INQUIRY vendor text.
                      LengthCase{LengthLimitedEdit::VendorNameEdit, &SettingsPageState::VendorNameEdit, 8},
                      LengthCase{LengthLimitedEdit::ProdStrEdit, &SettingsPageState::ProdStrEdit, 24}));

TEST_F(SettingsPagesTest, ALengthLimitNeverCutsInsideACharacter) {
  state.FirmwareVerEdit = "1234567\xC3\xA9";
  pages.StringEditChange(LengthLimitedEdit::FirmwareVerEdit);
  EXPECT_EQ(state.FirmwareVerEdit, "1234567");
}

TEST_F(SettingsPagesTest, TheIdEditsKeepFourCharactersAndReachTheRecord) {
  ASSERT_TRUE(loadDefaults());
  state.VendorIDEdit = "12345";
  pages.VendorIDEditChange(0);
  EXPECT_EQ(state.VendorIDEdit, "1234");
  EXPECT_EQ(settings.record().VID.str(), "1234");
  state.ProductIDEdit = "AB";
  pages.VendorIDEditChange(1);
  EXPECT_EQ(settings.record().PID.str(), "AB");
  EXPECT_EQ(settings.record().VID.str(), "1234");
}

TEST_F(SettingsPagesTest, AFat32LabelKeepsElevenCharacters) {
  ASSERT_TRUE(loadDefaults());
  state.FmtTypeComboBox.index = 0;
  state.VolumeLabeledEdit = "ELEVEN_CHAR";
  pages.FFsFmtChange();
  EXPECT_EQ(state.VolumeLabeledEdit, "ELEVEN_CHAR");
  EXPECT_TRUE(prompt.take().empty());

  state.VolumeLabeledEdit = "TWELVE_CHARS";
  pages.FFsFmtChange();
  EXPECT_EQ(state.VolumeLabeledEdit, "TWELVE_CHAR");
  EXPECT_EQ(prompt.take(), std::vector<std::string>{"FAT32 only support Volume label 11 characters!"});

  state.FmtTypeComboBox.index = -1;
  state.VolumeLabeledEdit = "TWELVE_CHARS";
  pages.FFsFmtChange();
  EXPECT_EQ(state.VolumeLabeledEdit, "TWELVE_CHARS");
}

TEST_F(SettingsPagesTest, TheLoadCutsALongFat32LabelWithItsMessage) {
  ASSERT_TRUE(load(SettingsFileBuilder().section("TestItems").key("DiskLabel", "A LONG LABEL")));
  EXPECT_EQ(state.VolumeLabeledEdit, "A LONG LABE");
  EXPECT_EQ(prompt.take(), std::vector<std::string>{"FAT32 only support Volume label 11 characters!"});
  pages.ControlsToSettings();
  EXPECT_EQ(settings.record().DiskLabel.str(), "A LONG LABE");
}

TEST_F(SettingsPagesTest, TheLoadKeepsTheEditsToTheirLengths) {
  ASSERT_TRUE(load(SettingsFileBuilder()
                       .section("DeviceSetting")
                       .key("VendorName", "VENDORXYZ")
                       .key("VID", "ABCDE")
                       .key("FirmwareVer", "123456789")));
  EXPECT_EQ(state.VendorNameEdit, "VENDORXY");
  EXPECT_EQ(state.VendorIDEdit, "ABCD");
  EXPECT_EQ(settings.record().VID.str(), "ABCD");
  EXPECT_EQ(state.FirmwareVerEdit, "12345678");
}

TEST_F(SettingsPagesTest, ClaimNewEnablesCloseAfterRebuild) {
  state.ClaimNewChk = true;
  pages.RDPageClick();
  EXPECT_TRUE(state.RebuildCloseChkEnabled);
  state.ClaimNewChk = false;
  pages.RDPageClick();
  EXPECT_FALSE(state.RebuildCloseChkEnabled);
}

struct TableButtonCase {
  const char* button;
  void (SettingsPages::*click)(FileDialogs&);
  bool saveDialog;
  const char* filter;
  std::string SettingsPageState::*edit;
  std::function<std::string(const devlib::SettingsRecord&)> field;
};

std::ostream& operator<<(std::ostream& out, const TableButtonCase& c) { return out << c.button; }

class TableButtons : public SettingsPagesTest, public ::testing::WithParamInterface<TableButtonCase> {};

TEST_P(TableButtons, TakeTheChosenFile) {
  const TableButtonCase& c = GetParam();
  ASSERT_TRUE(loadDefaults());
  testing::ScriptedFileDialogs dialogs;
  dialogs.answer(std::filesystem::path("/tables/chosen.txt"));
  (pages.*c.click)(dialogs);
  ASSERT_EQ(dialogs.asked.size(), 1u);
  EXPECT_EQ(dialogs.asked[0].save, c.saveDialog);
  EXPECT_EQ(dialogs.asked[0].request.defaultExtension, ".txt");
  EXPECT_EQ(dialogs.asked[0].request.filter, c.filter);
  EXPECT_EQ(dialogs.asked[0].request.initialDirectory, dir.path());
  EXPECT_EQ(state.*c.edit, "/tables/chosen.txt");
  EXPECT_EQ(c.field(settings.record()), "/tables/chosen.txt");

  (pages.*c.click)(dialogs);  // cancelled
  EXPECT_EQ(state.*c.edit, "/tables/chosen.txt");
}

INSTANTIATE_TEST_SUITE_P(
    EveryButton, TableButtons,
    ::testing::Values(
        TableButtonCase{"GetDefTabBtn", &SettingsPages::GetDefTabBtnClick, true, "Def. Table (*.txt)|*.txt",
                        &SettingsPageState::TableInEdit, [](const devlib::SettingsRecord& r) { return r.TableIn.str(); }},
        TableButtonCase{"PutDefTabBtn", &SettingsPages::PutDefTabBtnClick, false, "Def. Table (*.txt)|*.txt",
                        &SettingsPageState::TableOutEdit,
                        [](const devlib::SettingsRecord& r) { return r.TableOut.str(); }},
        TableButtonCase{"GetLaterTabBtn", &SettingsPages::GetLaterTabBtnClick, true, "Later Table (*.txt)|*.txt",
                        &SettingsPageState::LaterTableInEdit,
                        [](const devlib::SettingsRecord& r) { return r.LaterTableIn.str(); }},
        TableButtonCase{"PutLaterTabBtn", &SettingsPages::PutLaterTabBtnClick, false, "Later Table (*.txt)|*.txt",
                        &SettingsPageState::LaterTableOutEdit,
                        [](const devlib::SettingsRecord& r) { return r.LaterTableOut.str(); }}));

// The fixture part WBG with 8 channels and 2 banks: 4096 blocks of 128 pages
// of 16 sectors, 64 GB at most.
class IdemaRatio : public SettingsPagesTest {
 protected:
  void SetUp() override {
    SettingsPagesTest::SetUp();
    ASSERT_TRUE(loadDefaults());
    pages.FlashInfoChange();
    prompt.take();
  }
};

TEST_F(IdemaRatio, RefusesAMissingZeroOrTooLargeCapacity) {
  const std::array<std::pair<const char*, const char*>, 4> cases = {{
      {"", "Please input a IDEMA capacity"},
      {"0", "Please input a correct IDEMA capacity(not equal to 0)"},
      {"65", "Please input a correct IDEMA capacity(less than or equal to 64)"},
      {"6x", "'6x' is not a valid integer value"},
  }};
  for (const auto& [text, message] : cases) {
    state.IDEMAEdit = text;
    pages.CalcIDEMAToRatioBnClick();
    EXPECT_EQ(prompt.take(), std::vector<std::string>{message}) << text;
    EXPECT_EQ(settings.record().ResPercentage, 68) << text;
    EXPECT_EQ(state.IDEMARatio, "") << text;
  }
}

TEST_F(IdemaRatio, SetsTheReservedRatioAndAppliesIt) {
  const std::array<std::pair<const char*, int>, 2> cases = {{{"64", 68}, {"32", 534}}};
  for (const auto& [text, perMille] : cases) {
    state.IDEMAEdit = text;
    pages.CalcIDEMAToRatioBnClick();
    EXPECT_EQ(state.IDEMARatio, std::to_string(perMille));
    EXPECT_EQ(settings.record().ResPercentage, perMille);
    EXPECT_EQ(state.ResBlkRatioEdit, std::to_string(perMille));
    EXPECT_EQ(devlib::CurrentFlashParams()->resPercentage, perMille);
  }
  EXPECT_TRUE(prompt.take().empty());

  pages.RestoreReservedRatioClick();
  EXPECT_EQ(state.IDEMAEdit, "");
  EXPECT_EQ(state.IDEMARatio, "");
  EXPECT_EQ(settings.record().ResPercentage, 68);
  EXPECT_EQ(state.ResBlkRatioEdit, "68");
}

TEST_F(SettingsPagesTest, TheIdemaRatioOfTheLargestGeometryDoesNotOverflow) {
  ASSERT_TRUE(loadDefaults());
  devlib::FlashParams params;
  params.setting.channels = 8;
  params.setting.banks = 8;
  params.geometry.blockValue = 16384;
  params.geometry.pagesPerBlock = 256;
  params.geometry.sectorsPerPage = 16;
  devlib::PublishFlashParams(params);
  state.IDEMAEdit = "2048";
  pages.CalcIDEMAToRatioBnClick();
  EXPECT_TRUE(prompt.take().empty());
  EXPECT_EQ(state.IDEMARatio, "68");
}

// ---- Firmware files ------------------------------------------------------------

class FirmwareFiles : public SettingsPagesTest {
 protected:
  void SetUp() override {
    SettingsPagesTest::SetUp();
    ASSERT_TRUE(loadDefaults());
    pages.FlashInfoChange();
    prompt.take();
    std::string name = "SYS_WXYZ.bin";
    devlib::BuildProductModelCode(name, *devlib::CurrentFlashParams());
    sataName = name;
    name[4] = 'U';
    usbName = name;
  }
  void writeBin(const std::string& name, const std::string& version, char mode) {
    testsupport::FirmwareBinOptions options;
    options.version = version;
    options.mode = mode;
    options.formatCode = mode == 'U' ? "22" : "11";
    testsupport::WriteFirmwareFile(dir / name, testsupport::FirmwareBinBytes(options));
  }
  void check(bool sata, bool usb) {
    state.SataBinChk = sata;
    state.UsbBinChk = usb;
    pages.BinFileChkClick();
  }

  std::string sataName;
  std::string usbName;
};

TEST_F(FirmwareFiles, APresentFileShowsItsNameAndVersion) {
  writeBin(sataName, "B29021", 'S');
  check(true, false);
  EXPECT_EQ(state.StatusBar[1], sataName + " (B29021)");
  EXPECT_EQ(pages.firmwareFiles().SataBinName, sataName);
  EXPECT_EQ(pages.firmwareFiles().SataBinVersion, "B29021");
  EXPECT_EQ(pages.firmwareFiles().BinFormatCode, "11");
  EXPECT_TRUE(state.SATAGroupBoxVisible);
  EXPECT_FALSE(state.USBGroupBoxVisible);
  EXPECT_TRUE(state.CommonGroupBoxVisible);
  EXPECT_TRUE(prompt.take().empty());
}

TEST_F(FirmwareFiles, AMissingFileShowsItsNameOnly) {
  check(false, true);
  EXPECT_EQ(state.StatusBar[1], usbName);
  EXPECT_EQ(pages.firmwareFiles().UsbBinVersion, "");
  EXPECT_TRUE(state.CommonGroupBoxVisible);

  writeBin(usbName, "U10203", 'U');
  check(true, true);
  EXPECT_EQ(state.StatusBar[1], sataName + " / " + usbName + " (U10203)");
  EXPECT_EQ(pages.firmwareFiles().BinFormatCode, "22");
}

TEST_F(FirmwareFiles, NoFileCheckedShowsNothing) {
  check(false, false);
  EXPECT_EQ(state.StatusBar[1], "");
  EXPECT_FALSE(state.CommonGroupBoxVisible);
  EXPECT_EQ(state.caption, ShowCaptionString("SATA"));
}

TEST_F(FirmwareFiles, ACorruptFileIsNamedButKept) {
  testsupport::FirmwareBinOptions options;
  options.version = "B29021";
  testsupport::WriteFirmwareFile(
      dir / sataName,
      testsupport::DamagedFirmware(testsupport::FirmwareBinBytes(options), testsupport::FirmwareDamage::WrongSum));
  check(true, false);
  EXPECT_EQ(prompt.take(),
            std::vector<std::string>{"The " + (dir / sataName).string() + " is a corrupt file, please check it."});
  EXPECT_EQ(state.StatusBar[1], sataName + " (B29021)");

  pages.setSpecialMode(true);
  check(true, false);
  EXPECT_TRUE(prompt.take().empty());
}

TEST_F(FirmwareFiles, AFileTooShortForItsHeaderIsCorruptAndHasNoVersion) {
  testsupport::WriteFirmwareFile(dir / sataName, std::vector<std::uint8_t>(700, 0x20));
  check(true, false);
  EXPECT_EQ(prompt.take().size(), 1u);
  EXPECT_EQ(pages.firmwareFiles().SataBinVersion, "");
  EXPECT_EQ(pages.firmwareFiles().BinFormatCode, "");
  EXPECT_EQ(state.StatusBar[1], "");
}

TEST_F(FirmwareFiles, TheUsbFileRaisesTheSerialMinimumLength) {
  state.SNMinLengthSpin.value = 8;
  check(false, true);
  EXPECT_EQ(state.SNMinLengthSpin.minimum, 12);
  EXPECT_EQ(state.SNMinLengthSpin.value, 12);
  EXPECT_EQ(state.SerialNumEditLabel, "Serial Number (12-20) ");
  check(true, false);
  EXPECT_EQ(state.SNMinLengthSpin.minimum, 1);
  EXPECT_EQ(state.SNMinLengthSpin.value, 12);
  EXPECT_EQ(state.SerialNumEditLabel, "Serial Number (20) ");
}

TEST_F(SettingsPagesTest, ASataFileAfterAUsbFileKeepsItsShorterSerialLength) {
  ASSERT_TRUE(load(SettingsFileBuilder().section("TestItems").key("DownloadType", 2)));
  pages.FunCheckListBoxClickCheck();
  ASSERT_EQ(state.SNMinLengthSpin.minimum, 12);
  ASSERT_TRUE(load(SettingsFileBuilder()
                       .section("TestItems")
                       .key("DownloadType", 1)
                       .section("DeviceSetting")
                       .key("SNMinLength", 5)));
  EXPECT_EQ(state.SNMinLengthSpin.value, 5);
  pages.ControlsToSettings();
  EXPECT_EQ(settings.record().SNMinLength, 5);
}

TEST_F(FirmwareFiles, TheCaptionNamesThePath) {
  pages.setPathWord("USB");
  check(true, false);
  EXPECT_EQ(state.caption, ShowCaptionString("USB"));
}

// ---- The lock ----------------------------------------------------------------------

struct LockStep {
  const char* name;
  bool lockedBefore;
  bool fromLockButton;
  std::optional<std::string> typed;  // what the password prompt is answered with
  bool asksPassword;
  bool lockedAfter;
  bool pagesEnabled;
  bool saveEnabled;
  bool buttonDown;
};

std::ostream& operator<<(std::ostream& out, const LockStep& c) { return out << c.name; }

class LockStates : public SettingsPagesTest, public ::testing::WithParamInterface<LockStep> {};

TEST_P(LockStates, FollowTheTable) {
  const LockStep& step = GetParam();
  ASSERT_TRUE(loadDefaults());
  if (step.lockedBefore) pages.SpeedButton8Click(true);
  ASSERT_EQ(pages.SettingsUnlocked(), !step.lockedBefore);
  prompt.questions.clear();
  prompt.answer(step.typed);

  pages.SpeedButton8Click(step.fromLockButton);

  ASSERT_EQ(prompt.questions.size(), step.asksPassword ? 1u : 0u);
  if (step.asksPassword) {
    EXPECT_EQ(prompt.questions[0].caption, "Please Input the Password");
    EXPECT_EQ(prompt.questions[0].label, "Password");
    EXPECT_TRUE(prompt.questions[0].secret);
  }
  EXPECT_EQ(pages.SettingsUnlocked(), !step.lockedAfter);
  EXPECT_EQ(state.pagesEnabled, step.pagesEnabled);
  EXPECT_EQ(state.INISaveBtnEnabled, step.saveEnabled);
  EXPECT_EQ(state.SpeedButton8Down, step.buttonDown);
  EXPECT_TRUE(prompt.take().empty());
}

const std::string kRight(SettingsPassword());

INSTANTIATE_TEST_SUITE_P(
    Table, LockStates,
    ::testing::Values(LockStep{"UnlockedReapply", false, false, std::nullopt, false, false, true, true, false},
                      LockStep{"UnlockedButtonLocksWithoutPrompt", false, true, std::nullopt, false, true, false,
                               false, true},
                      LockStep{"LockedReapply", true, false, std::nullopt, false, true, false, false, true},
                      LockStep{"LockedRightPassword", true, true, kRight, true, false, true, true, false},
                      LockStep{"LockedWrongPassword", true, true, kRight + "x", true, true, false, false, true},
                      LockStep{"LockedEmptyPassword", true, true, std::string(), true, true, false, false, true},
                      LockStep{"LockedCancelled", true, true, std::nullopt, true, true, false, false, true}));

TEST_F(SettingsPagesTest, AFileWithAnMPVersionLocksAndOnlyThePasswordUnlocks) {
  ASSERT_TRUE(load(SettingsFileBuilder().section("Setting").key("MPVersion", 1)));
  EXPECT_FALSE(pages.SettingsUnlocked());
  pages.SpeedButton8Click(false);
  EXPECT_FALSE(state.pagesEnabled);

  ASSERT_TRUE(load(SettingsFileBuilder().section("Setting").key("MPVersion", 0)));
  EXPECT_FALSE(pages.SettingsUnlocked());

  prompt.answer(kRight);
  pages.SpeedButton8Click(true);
  EXPECT_TRUE(pages.SettingsUnlocked());
  ASSERT_TRUE(load(SettingsFileBuilder().section("Setting").key("MPVersion", 0)));
  EXPECT_TRUE(pages.SettingsUnlocked());
  ASSERT_TRUE(load(SettingsFileBuilder().section("Setting").key("MPVersion", 2)));
  EXPECT_FALSE(pages.SettingsUnlocked());
}

TEST_F(SettingsPagesTest, PagesMadeAfterALockingLoadStartLocked) {
  ASSERT_TRUE(load(SettingsFileBuilder().section("Setting").key("MPVersion", 1)));
  SettingsPageState laterState;
  SettingsPages later(settings, prompt, laterState);
  EXPECT_FALSE(later.SettingsUnlocked());
}

// ---- Load INI and Save INI --------------------------------------------------------

class IniButtons : public SettingsPagesTest {
 protected:
  void SetUp() override {
    SettingsPagesTest::SetUp();
    ASSERT_TRUE(settings.LoadStartupSettings());
    prompt.take();
  }
  testing::ScriptedFileDialogs dialogs;
};

TEST_F(IniButtons, LoadIniShowsAndAppliesTheChosenFile) {
  SettingsFileBuilder()
      .section("TestItems")
      .key("EnFormat", 1)
      .section("FlashSetting")
      .key("FlashUniName", "TVA")
      .key("Channel", 4)
      .writeTo(dir / "other.ini");
  dialogs.answer(dir / "other.ini");
  state.pagesEnabled = false;  // as the window may show them during a run
  settings.INILoadBtnClick(dialogs);

  EXPECT_EQ(settings.SettingsFileName(), (dir / "other.ini").string());
  EXPECT_EQ(state.FlashCodeCmBx.index, 1);
  EXPECT_EQ(state.StatusBar[0], "Flash: TVA(0x2A4A), Channel: 4, Bank: 2");
  EXPECT_EQ(devlib::CurrentFlashParams()->setting.partName.str(), "TV64G2A");
  EXPECT_EQ(devlib::CurrentFlashParams()->setting.channels, 4);
  EXPECT_NE(Entry(state, "Disk Format"), nullptr);
  EXPECT_TRUE(state.pagesEnabled);
  EXPECT_TRUE(prompt.take().empty());
}

TEST_F(IniButtons, LoadIniOfALockingFileDisablesThePages) {
  SettingsFileBuilder().section("Setting").key("MPVersion", 3).writeTo(dir / "locked.ini");
  dialogs.answer(dir / "locked.ini");
  settings.INILoadBtnClick(dialogs);
  EXPECT_FALSE(pages.SettingsUnlocked());
  EXPECT_FALSE(state.pagesEnabled);
  EXPECT_FALSE(state.INISaveBtnEnabled);
  EXPECT_TRUE(state.SpeedButton8Down);
}

TEST_F(IniButtons, LoadIniRefusesTheFlashListAndChangesNothing) {
  const SettingsPageState before = state;
  dialogs.answer(dir / "Flash.ini");
  settings.INILoadBtnClick(dialogs);
  EXPECT_EQ(prompt.take(), std::vector<std::string>{kFlashFileRefusal});
  EXPECT_EQ(settings.SettingsFileName(), (dir / devlib::kSettingsFileName).string());
  EXPECT_EQ(state.FlashVendorCmbx.items, before.FlashVendorCmbx.items);
  EXPECT_EQ(state.StatusBar, before.StatusBar);
}

TEST_F(IniButtons, SaveIniWritesThePages) {
  state.ModelNumEdit = "Edited Model";
  state.FlashCodeCmBx.index = 1;
  dialogs.answer(dir / "saved.ini");
  settings.INISaveBtnClick(dialogs);
  const std::string text = SettingsFileBuilder::readFile(dir / "saved.ini");
  EXPECT_NE(text.find("ModelNum=Edited Model\r\n"), std::string::npos);
  EXPECT_NE(text.find("FlashUniName=TVA\r\n"), std::string::npos);
  EXPECT_EQ(settings.SettingsFileName(), (dir / "saved.ini").string());
}

TEST_F(IniButtons, ACancelledSaveKeepsTheCopiedPagesButWritesNothing) {
  state.ModelNumEdit = "Edited Model";
  settings.INISaveBtnClick(dialogs);
  EXPECT_EQ(settings.record().ModelNum.str(), "Edited Model");
  EXPECT_FALSE(std::filesystem::exists(dir / devlib::kSettingsFileName));
}

}  // namespace
}  // namespace fleetburn
