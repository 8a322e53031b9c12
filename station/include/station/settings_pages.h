#pragma once
// The settings pages of the station's main window as plain values, and what
// the station does with them: the copies between the pages and the settings
// record, the test item check list and its option sub-pages, the flash part
// selection, the page actions (key filters, length limits, the IDEMA ratio,
// the firmware file check, the table files) and the settings lock.
//
// The window holds one SettingsPageState. Before it calls an action it reads
// its widgets into the state; afterwards it shows the state again, with its
// widgets' signals blocked, so that showing never sets off another action.
// The actions the window's edits would set off when their text is set (the
// length limits, the VID/PID copy, the FAT32 label check) are run here by
// SettingsToControls itself.

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/prompt.h"
#include "station/settings_io.h"
#include "station/startup.h"

namespace fleetburn {

// --- What the pages show ----------------------------------------------------

struct ComboState {
  std::vector<std::string> items;
  int index = -1;  // -1: no selection
};

struct CheckListEntry {
  std::string text;
  bool checked = false;
};

struct SpinState {
  int minimum = 1;
  int maximum = 20;
  int value = 1;
};

// One row of the identify list: caption = the four identity characters,
// subItem = the entry number "%3.3d".
struct IdentifyItem {
  std::string caption;
  std::string subItem;
  bool checked = false;
};

// The maximum lengths of the edits (what the window gives its line edits).
// Where an edit would take more than its record field holds, the field's
// size decides.
namespace edit_limits {
inline constexpr int VendorIDEdit = 4;
inline constexpr int ProductIDEdit = 4;
inline constexpr int VendorNameEdit = 8;
inline constexpr int ProductNameEdit = 16;
inline constexpr int ManufStrEdit = 16;
inline constexpr int ProdStrEdit = 24;
inline constexpr int FirmwareVerEdit = 8;
inline constexpr int ModelNumEdit = 40;
inline constexpr int SerialNumEdit = 20;
inline constexpr int SnCheckValueLd = 20;
inline constexpr int SnCheckMaskLd = 20;
inline constexpr int OUILEdit = 6;
inline constexpr int UIDLEdit = 9;
inline constexpr int LeEncryption = 24;
inline constexpr int IdentifyCaption = 4;
}  // namespace edit_limits

// The items of the fixed combo boxes.
std::vector<std::string> ChannelItems();       // "1".."8"
std::vector<std::string> BankItems();          // "1".."8"
std::vector<std::string> DriveCurrentItems();  // " 2 mA" .. " 16 mA"

struct SettingsPageState {
  // Window frame.
  std::string caption;                     // the main window's title
  std::array<std::string, 3> StatusBar{};  // panels 0 (flash), 1 (firmware files), 2 (RAM codes)
  bool pagesEnabled = true;                // every page of PageControl1
  bool INISaveBtnEnabled = true;
  bool SpeedButton8Down = false;           // the lock button shows pressed while locked
  bool TabSheet5Visible = false;           // "RD"

  // "Test Items".
  std::string ProdModalPanel;
  bool ProdModalPanelVisible = true;
  ComboState ConnectionChkCmbox;
  std::vector<CheckListEntry> FunCheckListBox;
  int FunCheckListBoxIndex = -1;           // the selected entry
  std::string visibleSubPage;              // caption of the PageControl2 tab shown; empty: none
  bool UpdateFirmwareChkVisible = false;

  // OP_FlashModule.
  std::array<bool, 5> CheckID{};           // CheckID1..CheckID5
  // OP_Download.
  bool SataBinChk = false;
  bool UsbBinChk = false;
  bool UsbBinChkVisible = false;
  SpinState SNMinLengthSpin{1, 20, 1};
  std::string SerialNumEditLabel = "Serial Number (20) ";
  bool SNDecimal = true;                   // the SNDecimal radio; false: SNHexadecimal
  bool SATAGroupBoxVisible = false;
  bool USBGroupBoxVisible = false;
  bool CommonGroupBoxVisible = false;
  // OP_Format.
  ComboState FmtTypeComboBox{{"FAT32"}, 0};
  bool FormatGroupBoxVisible = false;
  std::string VolumeLabeledEdit;
  // OP_CopyImage.
  bool CopyImageCheckBox = false;
  std::string ImagePathEdit;
  bool GenImageBnVisible = false;
  // OP_CheckTemperature, OP_QCCheckTemperature, OP_SetMaxLBA.
  std::string CheckMaxTemperatureValue;
  std::string QCCheckMaxTemperatureValue;
  std::string MaxLBAValue;
  // OP_CheckIDEMACapacity, OP_CheckLBACapacity, OP_RWTestPercentage,
  // OP_WTestFull, OP_RWTestFull.
  std::string IDEMA_Capacity;
  std::string LBA_Capacity;
  std::string RWTestPercentageValue;
  std::string RWTestPercentageCycle;
  std::string WTestFullCycle;
  std::string RWTestFullCycle;
  // OP_CheckSN.
  bool SnCheckPatternRB = true;            // false: SnCheckBarcodeRB
  std::string SnCheckValueLd;
  std::string SnCheckMaskLd;
  // OP_PFormat.
  bool LaterChk = false;                   // "Factory + New BB"
  bool EarlyChk = false;                   // "Factory Default BB"
  bool EraseChk = false;                   // "Erase Search"
  bool KeepPreviousEraseCountChk = false;
  bool SkipEraseGoodChkBox = false;
  bool SkipEraseGoodChkBoxVisible = false;

  // "Flash Setting".
  ComboState FlashVendorCmbx;
  ComboState FlashCodeCmBx;
  ComboState FlashChanCmBx{ChannelItems(), -1};
  ComboState FlashBankCmBx{BankItems(), -1};
  ComboState DrvCurrentCmBx{DriveCurrentItems(), -1};
  ComboState CapacityCmBx;                 // hidden
  std::vector<std::string> FlashDetailMemo;
  std::string CapacityEdit;                // "(1K=1000)"
  std::string CapacityEdit2;               // "(1K=1024)"

  // "Device Setting".
  std::string VendorIDEdit;
  std::string ProductIDEdit;
  std::string VendorNameEdit;
  std::string ProductNameEdit;
  std::string ManufStrEdit;
  std::string ProdStrEdit;
  std::string FirmwareVerEdit;
  std::string ModelNumEdit;
  std::string SerialNumEdit;
  bool SNIncChk = false;
  bool EncryptionVisible = false;          // GroupBox7, BnKeyFile and LeEncryption
  std::string LeEncryption;

  // "F/W Setting".
  bool firmwarePanelsEnabled = false;      // the option panels, until the special mode
  std::string DefBlkRatioEdit;
  std::string ResBlkRatioEdit;
  std::string Bch16RdErrThldEdit;
  std::string Bch24RdErrThldEdit;
  std::string Bch16EccErrCpyThldEdit;
  std::string Bch24EccErrCpyThldEdit;
  std::string WearLevFreqEdit;
  bool ScrambleChk = false;
  bool RemapChk = false;
  bool ThermalSensorCB = false;
  bool SMARTChk = false;
  bool SecurityChk = false;
  bool SlumberChk = false;
  bool InterleaveChk = false;
  bool ParalMemChk = false;
  bool SecurityEraseChk = false;
  std::string IDEMAEdit;
  std::string IDEMARatio;

  // "Identify Setting".
  std::string OUILEdit;
  std::string UIDLEdit;
  bool UIDIncChk = false;
  bool UIDDecimal = true;                  // false: UIDHexadecimal
  bool IdentifyListViewVisible = false;
  std::vector<IdentifyItem> IdentifyListView;

  // "RD".
  std::string TableInEdit;
  std::string TableOutEdit;
  std::string LaterTableInEdit;
  std::string LaterTableOutEdit;
  bool GetDefTabChk = false;
  bool PutDefTabChk = false;
  bool ClaimNewChk = false;
  bool GetLaterTabChk = false;
  bool PutLaterTabChk = false;
  bool RebuildCloseChk = false;            // "Close AP after Rebuild "
  bool RebuildCloseChkEnabled = false;
};

// The captions of PageControl2's sub-pages, in order.
inline constexpr std::array<std::string_view, 14> kSubPageCaptions = {
    "OP_Download",         "OP_Format",           "OP_CopyImage",    "OP_PFormat",
    "OP_FlashModule",      "OP_CheckIDEMACapacity", "OP_RWTestPercentage", "OP_CheckTemperature",
    "OP_CheckLBACapacity", "OP_CheckSN",          "OP_QCCheckTemperature", "OP_WTestFull",
    "OP_RWTestFull",       "OP_SetMaxLBA"};

// --- Key filters -------------------------------------------------------------
// The key a typed character becomes, or nothing when it is dropped. Control
// characters below the blank always pass.

std::optional<char32_t> StringAEditKeyPress(char32_t key);  // hexadecimal, a-f upper-cased
std::optional<char32_t> SerialNumEditKeyPress(char32_t key, const devlib::SettingsRecord& record);
std::optional<char32_t> NumeralKeyPress(char32_t key);
std::optional<char32_t> ModelNumEditKeyPress(char32_t key);  // drops only '\'

// The edits whose text length StringEditChange keeps.
enum class LengthLimitedEdit { ModelNumEdit, FirmwareVerEdit, SerialNumEdit, ManufStrEdit, VendorNameEdit, ProdStrEdit };

// The firmware files the Download item writes, as BinFileChkClick chose and
// read them; the run reads them at START.
struct FirmwareFileChoice {
  std::string SataBinName;
  std::string UsbBinName;
  std::string SataBinVersion;
  std::string UsbBinVersion;
  std::string BinFormatCode;
};

// --- The pages' behaviour -----------------------------------------------------

class SettingsPages {
 public:
  // `settings` holds the record, the flash part list and the loaded option
  // switches; `supportFiles` the RAM code tags the status bar shows.
  SettingsPages(StationSettings& settings, platform::prompt::Prompt& prompt, SettingsPageState& state);

  // The ports of the board: ConnectionChkCmbox lists "Don't Care" and 1 up
  // to the larger of `portCount` and the stored ConnectDevNum.
  void setPortCount(int portCount);
  void setSupportFiles(const SupportFiles& files) { supportFiles_ = files; }
  // "SATA" or "USB", as the last scan chose the path.
  void setPathWord(std::string word);
  void setSpecialMode(bool on) { specialMode_ = on; }
  bool specialMode() const { return specialMode_; }
  // The part index within its vendor that UpdateFlashList selects when no
  // vendor was chosen (the flash auto-detect's choice); 0 at start.
  void setPreferredFlashPart(int part) { preferredFlashPart_ = part; }

  // The record into the pages, in the station's order.
  void SettingsToControls();
  // The pages into the record, in the station's order. A numeric text that
  // is no number leaves its field as it was and the copy goes on; the first
  // such text is named once through the prompt ("'%s' is not a valid integer
  // value"). A number outside its control's range is taken as the nearest
  // value in range. Texts are cut to their fields.
  void ControlsToSettings();

  // The check list: the item enables from the entries, Download forced on by
  // Preformat, then BinFileChkClick.
  void FunCheckListBoxClickCheck();
  // Shows the option sub-page of the selected check-list entry.
  void SubPageControl();

  // The flash selection. `fromVendorCombo`: the operator chose a vendor.
  void UpdateFlashList(bool fromVendorCombo);
  void FlashInfoChange();
  void ChangeGlobalParameter();

  // Page actions.
  // Keeps the edit's text within its length; the caret position to set
  // when the text was cut.
  std::optional<int> StringEditChange(LengthLimitedEdit edit);
  // tag 0: VendorIDEdit into VID; tag 1: ProductIDEdit into PID.
  void VendorIDEditChange(int tag);
  void FFsFmtChange();
  void RDPageClick();
  void GetDefTabBtnClick(FileDialogs& dialogs);
  void PutDefTabBtnClick(FileDialogs& dialogs);
  void GetLaterTabBtnClick(FileDialogs& dialogs);
  void PutLaterTabBtnClick(FileDialogs& dialogs);
  void CalcIDEMAToRatioBnClick();
  void RestoreReservedRatioClick();
  void BinFileChkClick();

  // The settings lock. `fromLockButton`: the operator pressed it; any other
  // caller re-applies the lock state. The password is asked through the
  // prompt, masked.
  void SpeedButton8Click(bool fromLockButton);
  bool SettingsUnlocked() const { return settingsUnlocked_; }
  // A settings file with a nonzero MPVersion has loaded: only the password
  // unlocks the pages again. The next SpeedButton8Click shows it.
  void LockFromLoad() { settingsUnlocked_ = false; }

  // After "Load INI": the flash selection applied again, the lock state
  // shown, the check list copied.
  void AfterLoadIni();

  const FirmwareFileChoice& firmwareFiles() const { return firmwareFiles_; }
  SettingsPageState& state() { return state_; }

 private:
  StationSettings& settings_;
  platform::prompt::Prompt& prompt_;
  SettingsPageState& state_;
  SupportFiles supportFiles_;
  FirmwareFileChoice firmwareFiles_;
  std::string pathWord_ = "SATA";
  int portCount_ = 0;
  bool specialMode_ = false;
  bool settingsUnlocked_ = true;
  bool inFlashInfoChange_ = false;
  bool inSettingsToControls_ = false;
  int preferredFlashPart_ = 0;
  std::optional<std::string> warnedFlashName_;  // the unlisted FlashUniName last warned about
  std::string shownDecodeRefusal_;             // the part refusal last shown, so it is not repeated

  void fillConnectionItems();
  void flashSelectionToControls();
  // The flash list row the vendor and part combos select; -1 for none.
  int selectedFlashRow() const;
  int selectedChannel() const;
  int selectedBank() const;
};

// The settings load's view of `pages`: the two copies, the re-apply after
// "Load INI", and the lock that a loaded file with a nonzero MPVersion sets.
// The pages are made with the settings, then handed to them:
//   StationSettings settings(prompt);
//   SettingsPages pages(settings, prompt, state);
//   settings.setView(MakeSettingsView(pages));
SettingsView MakeSettingsView(SettingsPages& pages);

// The password that unlocks the settings pages.
std::string_view SettingsPassword();

}  // namespace fleetburn
