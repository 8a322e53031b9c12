// The copies between the settings pages and the settings record, the test
// item check list and its option sub-pages.

#include "station/settings_pages.h"

#include <algorithm>
#include <cstdio>
#include <limits>
#include <utility>

#include "page_values.h"
#include "station/test_items.h"

namespace fleetburn {
namespace {

using page_values::CopyText;
using page_values::Decimal;

constexpr std::uint64_t kByteMax = 0xFF;
constexpr std::uint64_t kWordMax = 0xFFFF;
constexpr std::uint64_t kSetMaxLbaMax = std::numeric_limits<std::uint64_t>::max();
// The ranges of the spin edits of the option sub-pages.
constexpr std::uint64_t kIdemaCapacityMin = 1;
constexpr std::uint64_t kIdemaCapacityMax = 512;
constexpr std::uint64_t kCycleMin = 1;
constexpr std::uint64_t kCycleMax = 100;

constexpr const char* kDontCare = "Don't Care";
constexpr const char* kDownloadEntry = "Download";

// The items the check list always shows, then those shown only while their
// enable is set.
constexpr std::array<int, 8> kListedItems = {1, 2, 3, 4, 5, 6, 8, 9};
constexpr std::array<int, 3> kOptionalItems = {10, 11, 13};
constexpr int kPreformatItem = 5;
constexpr int kDownloadItem = 6;
constexpr int kFormatItem = 11;
constexpr int kCopyImageItem = 12;

// Check-list entry -> the sub-page it shows.
constexpr std::array<std::pair<std::string_view, std::string_view>, 7> kSubPageOfEntry = {{
    {"Flash Module Test", "OP_FlashModule"},
    {"Preformat", "OP_PFormat"},
    {"Download", "OP_Download"},
    {"Disk Format", "OP_Format"},
    {"Copy Image", "OP_CopyImage"},
    {"Check Temperature", "OP_CheckTemperature"},
    {"Set Max LBA", "OP_SetMaxLBA"},
}};

std::vector<std::string> NumberItems() {
  std::vector<std::string> items;
  for (int value = 1; value <= 8; ++value) items.push_back(std::to_string(value));
  return items;
}

std::string_view ItemName(int number) { return TestItemTable[static_cast<std::size_t>(number)].itemName; }

// A combo index into a record byte; no selection keeps the record's value.
void CopyComboIndex(const ComboState& combo, std::uint8_t& field) {
  if (combo.index >= 0) field = static_cast<std::uint8_t>(std::min(combo.index, 0xFF));
}

int ComboIndexOf(const ComboState& combo, int value) {
  return value >= 0 && value < static_cast<int>(combo.items.size()) ? value : -1;
}

std::uint8_t Flag(bool on) { return on ? 1 : 0; }

}  // namespace

std::vector<std::string> ChannelItems() { return NumberItems(); }
std::vector<std::string> BankItems() { return NumberItems(); }
std::vector<std::string> DriveCurrentItems() {
  std::vector<std::string> items;
  for (int code = 0; code < 8; ++code) items.push_back(" " + std::to_string(2 * code + 2) + " mA");
  return items;
}

SettingsPages::SettingsPages(StationSettings& settings, platform::prompt::Prompt& prompt, SettingsPageState& state)
    : settings_(settings), prompt_(prompt), state_(state), settingsUnlocked_(!settings.locked()) {
  state_.caption = ShowCaptionString(pathWord_);
}

void SettingsPages::setPortCount(int portCount) {
  portCount_ = std::max(portCount, 0);
  fillConnectionItems();
}

void SettingsPages::setPathWord(std::string word) {
  pathWord_ = std::move(word);
  state_.caption = ShowCaptionString(pathWord_);
}

void SettingsPages::fillConnectionItems() {
  const int stored = settings_.record().ConnectDevNum;
  const int count = std::max(portCount_, stored);
  std::vector<std::string> items{kDontCare};
  for (int port = 1; port <= count; ++port) items.push_back(std::to_string(port));
  state_.ConnectionChkCmbox.items = std::move(items);
  state_.ConnectionChkCmbox.index = ComboIndexOf(state_.ConnectionChkCmbox, stored);
}

void SettingsPages::SettingsToControls() {
  if (inSettingsToControls_) return;
  inSettingsToControls_ = true;
  const devlib::SettingsRecord& r = settings_.record();
  SettingsPageState& s = state_;

  // Product model; connect check; the firmware update box stays hidden.
  s.ProdModalPanel = r.ProductModel.str();
  s.ProdModalPanelVisible = r.ProductModel.view() != "KW";
  fillConnectionItems();
  s.UpdateFirmwareChkVisible = false;

  // The check list.
  const int keptIndex = s.FunCheckListBoxIndex;
  s.FunCheckListBox.clear();
  for (const int item : kListedItems) s.FunCheckListBox.push_back({std::string(ItemName(item)), false});
  for (const int item : kOptionalItems) {
    if (r.ItemEnable[static_cast<std::size_t>(item)] != 0) {
      s.FunCheckListBox.push_back({std::string(ItemName(item)), false});
    }
  }
  for (CheckListEntry& entry : s.FunCheckListBox) {
    for (int n = kFirstTestItem; n <= kLastTestItem; ++n) {
      if (entry.text == ItemName(n)) entry.checked = r.ItemEnable[static_cast<std::size_t>(n)] != 0;
    }
  }
  s.FunCheckListBoxIndex = keptIndex < static_cast<int>(s.FunCheckListBox.size()) ? keptIndex : -1;

  // Flash ID compare boxes; firmware file boxes.
  for (std::size_t k = 0; k < s.CheckID.size(); ++k) s.CheckID[k] = (r.CheckFlashMask >> k) & 1;
  s.SataBinChk = (r.DownloadType & 1) != 0;
  s.UsbBinChk = (r.DownloadType & 2) != 0;
  s.UsbBinChkVisible = true;
  // The serial length's lower bound follows the USB box at once, so that the
  // value below is not held to the bound of the file loaded before.
  s.SNMinLengthSpin.minimum = s.UsbBinChk ? page_values::kUsbSerialMinLength : 1;

  // Format; the label edit's change check runs as its text is set.
  s.FmtTypeComboBox.index = ComboIndexOf(s.FmtTypeComboBox, r.DiskFormat);
  s.FormatGroupBoxVisible = r.ItemEnable[kFormatItem] != 0;
  s.VolumeLabeledEdit = r.DiskLabel.str();
  FFsFmtChange();

  // Copy image, temperature limit, maximum LBA.
  s.CopyImageCheckBox = r.ItemEnable[kCopyImageItem] != 0;
  s.ImagePathEdit = r.CopyImagePath.str();
  s.GenImageBnVisible = r.EnGenImage != 0;
  s.CheckMaxTemperatureValue = Decimal(r.CheckMaxTemperatureValue);
  s.MaxLBAValue = Decimal(r.SetMaxLBAValue);

  // Model, firmware and serial texts, kept to their lengths as they are set.
  s.ModelNumEdit = r.ModelNum.str();
  StringEditChange(LengthLimitedEdit::ModelNumEdit);
  s.FirmwareVerEdit = r.FirmwareVer.str();
  StringEditChange(LengthLimitedEdit::FirmwareVerEdit);
  s.SerialNumEdit = r.SerialNum.str();
  StringEditChange(LengthLimitedEdit::SerialNumEdit);

  // Serial options.
  s.SNIncChk = r.SNAutoInc != 0;
  s.SNDecimal = r.SNDecimal != 0;
  s.SNMinLengthSpin.value = std::clamp<int>(r.SNMinLength, s.SNMinLengthSpin.minimum, s.SNMinLengthSpin.maximum);

  // Device strings; VID and PID reach the record as their texts are set.
  s.VendorIDEdit = r.VID.str();
  VendorIDEditChange(0);
  s.ProductIDEdit = r.PID.str();
  VendorIDEditChange(1);
  s.VendorNameEdit = r.VendorName.str();
  StringEditChange(LengthLimitedEdit::VendorNameEdit);
  s.ProductNameEdit = r.ProductName.str();
  s.ManufStrEdit = r.ManufString.str();
  StringEditChange(LengthLimitedEdit::ManufStrEdit);
  s.ProdStrEdit = r.ProductString.str();
  StringEditChange(LengthLimitedEdit::ProdStrEdit);

  // Encryption.
  s.EncryptionVisible = r.EncryptionEnable != 0;
  s.LeEncryption = r.EncryptionString.str();

  // Identify page.
  s.OUILEdit = r.OUI.str();
  s.UIDLEdit = r.UID.str();
  s.UIDIncChk = r.UIDAutoInc != 0;
  s.UIDDecimal = r.UIDDecimal != 0;
  if (r.EnCustomizeIdentify != 0) {
    s.IdentifyListViewVisible = true;
    s.IdentifyListView.clear();
    const auto& entries = settings_.options().identifyData;
    for (int i = 0; i < devlib::kIdentifyDataEntries; ++i) {
      const std::string_view entry = entries[static_cast<std::size_t>(i)].view();
      const std::string_view text = entry.empty() ? entry : entry.substr(1);
      std::array<char, 8> number{};
      std::snprintf(number.data(), number.size(), "%3.3d", i);
      s.IdentifyListView.push_back({std::string(page_values::CharPrefix(text, edit_limits::IdentifyCaption)),
                                    number.data(), !entry.empty() && entry.front() == 'Z'});
    }
  }

  // Flash selection and capacity.
  flashSelectionToControls();
  s.CapacityCmBx.index = ComboIndexOf(s.CapacityCmBx, r.Capacity);

  // Ratios and thresholds.
  s.DefBlkRatioEdit = Decimal(r.DefPercentage);
  s.ResBlkRatioEdit = Decimal(r.ResPercentage);
  s.Bch16RdErrThldEdit = Decimal(r.Bch16ReadErrorThreshold);
  s.Bch24RdErrThldEdit = Decimal(r.Bch24ReadErrorThreshold);
  s.Bch16EccErrCpyThldEdit = Decimal(r.Bch16EccErrorCopyThreshold);
  s.Bch24EccErrCpyThldEdit = Decimal(r.Bch24EccErrorCopyThreshold);
  s.WearLevFreqEdit = Decimal(r.WearLevelFrequency);
  s.firmwarePanelsEnabled = specialMode_;

  // F/W check boxes; the feature boxes are never set from the record.
  s.ScrambleChk = r.ScrambleEnable != 0;
  s.RemapChk = r.RemapEnable != 0;
  s.SMARTChk = s.SecurityChk = s.SlumberChk = s.InterleaveChk = s.ParalMemChk = s.SecurityEraseChk = false;

  // Preformat radio buttons, set in this order: checking one clears the others.
  s.LaterChk = r.UseLaterBad != 0;
  if (r.EnEarlyBad != 0) {
    s.LaterChk = false;
    s.EarlyChk = true;
  } else {
    s.EarlyChk = false;
  }
  if (r.EnEraseReBuildBad != 0) {
    s.LaterChk = s.EarlyChk = false;
    s.EraseChk = true;
  } else {
    s.EraseChk = false;
  }
  s.KeepPreviousEraseCountChk = r.KeepEraseCount != 0;
  s.SkipEraseGoodChkBox = s.SkipEraseGoodChkBoxVisible = r.EnSkipEraseGood != 0;
  s.ThermalSensorCB = r.EnThermalSensor != 0;

  // RD paths and tab.
  s.TableInEdit = r.TableIn.str();
  s.TableOutEdit = r.TableOut.str();
  s.LaterTableInEdit = r.LaterTableIn.str();
  s.LaterTableOutEdit = r.LaterTableOut.str();
  s.TabSheet5Visible = r.EnableGetPutTable != 0 || specialMode_;

  // The OP_ values.
  s.IDEMA_Capacity = Decimal(r.IdemaCapacity);
  s.SnCheckPatternRB = r.SnCheckPattern != 0;
  s.SnCheckValueLd = r.SnCheckValue.str();
  s.SnCheckMaskLd = r.SnCheckMask.str();
  s.LBA_Capacity = Decimal(r.LbaCapacity);
  s.RWTestPercentageValue = Decimal(r.RWTestPercentageValue);
  s.RWTestPercentageCycle = Decimal(r.RWTestPercentageCycle);
  s.QCCheckMaxTemperatureValue = Decimal(r.QCCheckMaxTemperatureValue);
  s.WTestFullCycle = Decimal(r.WTestFullCycle);
  s.RWTestFullCycle = Decimal(r.RWTestFullCycle);
  inSettingsToControls_ = false;
}

void SettingsPages::ControlsToSettings() {
  devlib::SettingsRecord& r = settings_.record();
  const SettingsPageState& s = state_;
  page_values::NumberErrors numbers;

  CopyComboIndex(s.ConnectionChkCmbox, r.ConnectDevNum);
  FunCheckListBoxClickCheck();

  // The flash ID compare mask also goes to the library at once.
  std::uint8_t mask = 0;
  for (std::size_t k = 0; k < s.CheckID.size(); ++k) mask |= static_cast<std::uint8_t>(Flag(s.CheckID[k]) << k);
  r.CheckFlashMask = mask;
  settings_.options().checkFlashMask = mask;
  if (devlib::CurrentFlashParams()->checkFlashMask != mask) {
    devlib::FlashParams published = *devlib::CurrentFlashParams();
    published.checkFlashMask = mask;
    devlib::ApplyFlashSelection(std::move(published));
  }
  r.DownloadType = static_cast<std::uint8_t>(Flag(s.SataBinChk) | Flag(s.UsbBinChk) << 1);

  CopyComboIndex(s.FmtTypeComboBox, r.DiskFormat);
  CopyText(r.DiskLabel, s.VolumeLabeledEdit);
  r.ItemEnable[kCopyImageItem] = Flag(s.CopyImageCheckBox);
  CopyText(r.CopyImagePath, s.ImagePathEdit);
  numbers.copy(s.CheckMaxTemperatureValue, r.CheckMaxTemperatureValue, 0, kByteMax);
  numbers.copy(s.MaxLBAValue, r.SetMaxLBAValue, 0, kSetMaxLbaMax);

  CopyText(r.ModelNum, s.ModelNumEdit);
  CopyText(r.FirmwareVer, s.FirmwareVerEdit);
  CopyText(r.SerialNum, s.SerialNumEdit);
  r.SNAutoInc = Flag(s.SNIncChk);
  r.SNDecimal = Flag(s.SNDecimal);
  r.SNMinLength = static_cast<std::uint8_t>(
      std::clamp(s.SNMinLengthSpin.value, s.SNMinLengthSpin.minimum, s.SNMinLengthSpin.maximum));

  CopyText(r.VendorName, s.VendorNameEdit);
  CopyText(r.ProductName, s.ProductNameEdit);
  CopyText(r.ManufString, s.ManufStrEdit);
  CopyText(r.ProductString, s.ProdStrEdit);
  CopyText(r.EncryptionString, s.LeEncryption);

  CopyText(r.OUI, s.OUILEdit);
  CopyText(r.UID, s.UIDLEdit);
  r.UIDAutoInc = Flag(s.UIDIncChk);
  r.UIDDecimal = Flag(s.UIDDecimal);
  if (r.EnCustomizeIdentify != 0) {
    auto& entries = settings_.options().identifyData;
    const std::size_t count = std::min<std::size_t>(s.IdentifyListView.size(), entries.size());
    for (std::size_t i = 0; i < count; ++i) {
      const IdentifyItem& item = s.IdentifyListView[i];
      std::string entry(1, item.checked ? 'Z' : 'X');
      entry += page_values::CharPrefix(item.caption, edit_limits::IdentifyCaption);
      CopyText(entries[i], entry);
    }
  }

  // Flash selection.
  if (const int row = selectedFlashRow(); row >= 0) {
    r.FlashUniName = settings_.flashTable().entries[static_cast<std::size_t>(row)].uniName;
  }
  if (s.FlashChanCmBx.index >= 0) r.Channel = static_cast<std::uint8_t>(selectedChannel());
  if (s.FlashBankCmBx.index >= 0) r.Bank = static_cast<std::uint8_t>(selectedBank());
  CopyComboIndex(s.DrvCurrentCmBx, r.DrvCurrent);
  CopyComboIndex(s.CapacityCmBx, r.Capacity);

  // Thresholds, wear level, scramble and remap.
  numbers.copy(s.Bch16RdErrThldEdit, r.Bch16ReadErrorThreshold, 0, kByteMax);
  numbers.copy(s.Bch24RdErrThldEdit, r.Bch24ReadErrorThreshold, 0, kByteMax);
  numbers.copy(s.Bch16EccErrCpyThldEdit, r.Bch16EccErrorCopyThreshold, 0, kByteMax);
  numbers.copy(s.Bch24EccErrCpyThldEdit, r.Bch24EccErrorCopyThreshold, 0, kByteMax);
  if (!s.WearLevFreqEdit.empty()) numbers.copy(s.WearLevFreqEdit, r.WearLevelFrequency, 0, kByteMax);
  r.ScrambleEnable = Flag(s.ScrambleChk);
  r.RemapEnable = Flag(s.RemapChk);

  // Preformat options.
  r.KeepEraseCount = Flag(s.KeepPreviousEraseCountChk);
  r.UseLaterBad = Flag(s.LaterChk);
  r.EnEarlyBad = Flag(s.EarlyChk);
  r.EnEraseReBuildBad = Flag(s.EraseChk);

  // RD paths.
  CopyText(r.TableIn, s.TableInEdit);
  CopyText(r.TableOut, s.TableOutEdit);
  CopyText(r.LaterTableIn, s.LaterTableInEdit);
  CopyText(r.LaterTableOut, s.LaterTableOutEdit);

  // The OP_ values.
  numbers.copy(s.IDEMA_Capacity, r.IdemaCapacity, kIdemaCapacityMin, kIdemaCapacityMax);
  r.SnCheckPattern = Flag(s.SnCheckPatternRB);
  CopyText(r.SnCheckValue, s.SnCheckValueLd);
  CopyText(r.SnCheckMask, s.SnCheckMaskLd);
  numbers.copy(s.LBA_Capacity, r.LbaCapacity, 0, kWordMax);
  numbers.copy(s.RWTestPercentageValue, r.RWTestPercentageValue, kCycleMin, kCycleMax);
  numbers.copy(s.RWTestPercentageCycle, r.RWTestPercentageCycle, kCycleMin, kCycleMax);
  numbers.copy(s.QCCheckMaxTemperatureValue, r.QCCheckMaxTemperatureValue, 0, kByteMax);
  numbers.copy(s.WTestFullCycle, r.WTestFullCycle, kCycleMin, kCycleMax);
  numbers.copy(s.RWTestFullCycle, r.RWTestFullCycle, kCycleMin, kCycleMax);

  if (numbers.first()) prompt_.message(page_values::NotAnIntegerText(*numbers.first()));
}

void SettingsPages::FunCheckListBoxClickCheck() {
  auto& enables = settings_.record().ItemEnable;
  for (CheckListEntry& entry : state_.FunCheckListBox) {
    for (int n = kFirstTestItem; n <= kLastTestItem; ++n) {
      if (entry.text == ItemName(n)) enables[static_cast<std::size_t>(n)] = Flag(entry.checked);
    }
    // Download cannot be left out while Preformat is on, which stands
    // before it in the list.
    if (entry.text == kDownloadEntry) {
      entry.checked = entry.checked || enables[kPreformatItem] == 1;
      enables[kDownloadItem] = Flag(entry.checked);
    }
  }
  BinFileChkClick();
}

void SettingsPages::SubPageControl() {
  state_.visibleSubPage.clear();
  const int index = state_.FunCheckListBoxIndex;
  if (index < 0 || index >= static_cast<int>(state_.FunCheckListBox.size())) return;
  const std::string& selected = state_.FunCheckListBox[static_cast<std::size_t>(index)].text;
  for (const auto& [entry, page] : kSubPageOfEntry) {
    if (selected == entry) state_.visibleSubPage = std::string(page);
  }
}

void SettingsPages::AfterLoadIni() {
  FlashInfoChange();
  SpeedButton8Click(false);
  FunCheckListBoxClickCheck();
}

SettingsView MakeSettingsView(SettingsPages& pages) {
  SettingsView view;
  // Only a completed load fills the pages this way, so a locking file is
  // seen here, once per load.
  view.settingsToControls = [&pages](const devlib::SettingsRecord& record) {
    if (record.MPVersion != 0) pages.LockFromLoad();
    pages.SettingsToControls();
  };
  view.controlsToSettings = [&pages](devlib::SettingsRecord&) { pages.ControlsToSettings(); };
  view.afterLoadIni = [&pages] { pages.AfterLoadIni(); };
  return view;
}

}  // namespace fleetburn
