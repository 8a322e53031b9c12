// The small actions of the settings pages: key filters, length limits, the
// VID/PID copy, the FAT32 label check, the RD page's table files, the
// reserved-block ratio from an IDEMA capacity and the firmware file check.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>

#include "devlib/device_helpers.h"
#include "page_values.h"
#include "platform/paths.h"
#include "station/settings_pages.h"

namespace fleetburn {
namespace {

constexpr char32_t kBlank = U' ';

constexpr const char* kFat32LabelMessage = "FAT32 only support Volume label 11 characters!";
constexpr std::size_t kFat32LabelLength = 11;
constexpr std::size_t kIdLength = 4;

constexpr const char* kTableFileExtension = ".txt";
constexpr const char* kDefTableFilter = "Def. Table (*.txt)|*.txt";
constexpr const char* kLaterTableFilter = "Later Table (*.txt)|*.txt";

constexpr const char* kNoIdemaCapacity = "Please input a IDEMA capacity";
constexpr const char* kZeroIdemaCapacity = "Please input a correct IDEMA capacity(not equal to 0)";
constexpr std::uint64_t kIdemaLbaPerGB = 1953504;
constexpr std::uint64_t kIdemaLbaBase = 21168;
constexpr std::uint16_t kDefaultResPercentage = 68;
constexpr std::uint16_t kMaxResPercentage = 1000;

constexpr const char* kFirmwareNamePattern = "SYS_WXYZ.bin";
constexpr std::size_t kFirmwareSideAt = 4;  // 'S' for the SATA file, 'U' for the USB file
constexpr std::uint64_t kFirmwareVersionAt = 774;
constexpr std::size_t kFirmwareVersionLength = 6;
constexpr std::uint64_t kFirmwareFormatAt = 809;
constexpr std::size_t kFirmwareFormatLength = 2;

bool IsControl(char32_t key) { return key < kBlank; }
bool IsDigit(char32_t key) { return key >= U'0' && key <= U'9'; }

std::optional<char32_t> HexKey(char32_t key) {
  if (IsControl(key) || IsDigit(key) || (key >= U'A' && key <= U'F')) return key;
  if (key >= U'a' && key <= U'f') return key - U'a' + U'A';
  return std::nullopt;
}

std::optional<char32_t> DigitKey(char32_t key) {
  if (IsControl(key) || IsDigit(key)) return key;
  return std::nullopt;
}

// A firmware file's text at `offset`, up to its first zero byte; empty when
// the file ends before it.
std::string FileText(const std::filesystem::path& file, std::uint64_t offset, std::size_t length) {
  const std::optional<std::string> bytes = devlib::ReadFileBytes(file, offset, length);
  if (!bytes) return {};
  return bytes->substr(0, bytes->find('\0'));
}

std::string CorruptFileText(const std::filesystem::path& file) {
  return "The " + file.string() + " is a corrupt file, please check it.";
}

std::string IdemaLimitText(unsigned maxGB) {
  return "Please input a correct IDEMA capacity(less than or equal to " + std::to_string(maxGB) + ")";
}

struct EditLimit {
  std::string SettingsPageState::*text;
  int limit;
};

EditLimit LimitOf(LengthLimitedEdit edit) {
  switch (edit) {
    case LengthLimitedEdit::ModelNumEdit: return {&SettingsPageState::ModelNumEdit, edit_limits::ModelNumEdit};
    case LengthLimitedEdit::FirmwareVerEdit: return {&SettingsPageState::FirmwareVerEdit, edit_limits::FirmwareVerEdit};
    case LengthLimitedEdit::SerialNumEdit: return {&SettingsPageState::SerialNumEdit, edit_limits::SerialNumEdit};
    case LengthLimitedEdit::ManufStrEdit: return {&SettingsPageState::ManufStrEdit, edit_limits::ManufStrEdit};
    case LengthLimitedEdit::VendorNameEdit: return {&SettingsPageState::VendorNameEdit, edit_limits::VendorNameEdit};
    case LengthLimitedEdit::ProdStrEdit: return {&SettingsPageState::ProdStrEdit, edit_limits::ProdStrEdit};
  }
  return {&SettingsPageState::ModelNumEdit, edit_limits::ModelNumEdit};
}

}  // namespace

// --- Key filters ---------------------------------------------------------------

std::optional<char32_t> StringAEditKeyPress(char32_t key) { return HexKey(key); }

std::optional<char32_t> SerialNumEditKeyPress(char32_t key, const devlib::SettingsRecord& record) {
  return record.SNDecimal == 0 ? HexKey(key) : DigitKey(key);
}

std::optional<char32_t> NumeralKeyPress(char32_t key) { return DigitKey(key); }

std::optional<char32_t> ModelNumEditKeyPress(char32_t key) {
  if (key == U'\\') return std::nullopt;
  return key;
}

// --- Length limits -------------------------------------------------------------

std::optional<int> SettingsPages::StringEditChange(LengthLimitedEdit edit) {
  const EditLimit limit = LimitOf(edit);
  std::string& text = state_.*limit.text;
  const auto max = static_cast<std::size_t>(limit.limit);
  if (text.size() <= max) return std::nullopt;
  text = std::string(Utf8Prefix(text, max));
  return limit.limit - 1;
}

void SettingsPages::VendorIDEditChange(int tag) {
  std::string& text = tag == 0 ? state_.VendorIDEdit : state_.ProductIDEdit;
  if (!text.empty() && text.size() > kIdLength) text = std::string(Utf8Prefix(text, kIdLength));
  if (tag == 0) {
    page_values::CopyText(settings_.record().VID, text);
  } else {
    page_values::CopyText(settings_.record().PID, text);
  }
}

void SettingsPages::FFsFmtChange() {
  if (state_.FmtTypeComboBox.index != 0 || state_.VolumeLabeledEdit.size() <= kFat32LabelLength) return;
  state_.VolumeLabeledEdit = std::string(Utf8Prefix(state_.VolumeLabeledEdit, kFat32LabelLength));
  prompt_.message(kFat32LabelMessage);
}

// --- RD page -------------------------------------------------------------------

void SettingsPages::RDPageClick() { state_.RebuildCloseChkEnabled = state_.ClaimNewChk; }

namespace {

FileDialogRequest TableFileRequest(const char* filter) {
  return {kTableFileExtension, filter, platform::paths::programDirectory()};
}

template <std::size_t N>
void TakeTableFile(const std::optional<std::filesystem::path>& chosen, std::string& edit, devlib::FixedText<N>& field) {
  if (!chosen) return;
  edit = chosen->string();
  page_values::CopyText(field, edit);
}

}  // namespace

void SettingsPages::GetDefTabBtnClick(FileDialogs& dialogs) {
  TakeTableFile(dialogs.saveFile(TableFileRequest(kDefTableFilter)), state_.TableInEdit, settings_.record().TableIn);
}

void SettingsPages::PutDefTabBtnClick(FileDialogs& dialogs) {
  TakeTableFile(dialogs.openFile(TableFileRequest(kDefTableFilter)), state_.TableOutEdit, settings_.record().TableOut);
}

void SettingsPages::GetLaterTabBtnClick(FileDialogs& dialogs) {
  TakeTableFile(dialogs.saveFile(TableFileRequest(kLaterTableFilter)), state_.LaterTableInEdit,
                settings_.record().LaterTableIn);
}

// The later table is read from the file chosen here, so it is chosen with
// an open dialog, as the defect table's is.
void SettingsPages::PutLaterTabBtnClick(FileDialogs& dialogs) {
  TakeTableFile(dialogs.openFile(TableFileRequest(kLaterTableFilter)), state_.LaterTableOutEdit,
                settings_.record().LaterTableOut);
}

// --- Reserved-block ratio ------------------------------------------------------

void SettingsPages::CalcIDEMAToRatioBnClick() {
  if (state_.IDEMAEdit.empty()) {
    prompt_.message(kNoIdemaCapacity);
    return;
  }
  const std::optional<std::uint64_t> parsed = page_values::ParseClamped(state_.IDEMAEdit, 0, UINT32_MAX);
  if (!parsed) {
    prompt_.message(page_values::NotAnIntegerText(state_.IDEMAEdit));
    return;
  }
  const std::uint64_t gigabytes = *parsed;
  if (gigabytes == 0) {
    prompt_.message(kZeroIdemaCapacity);
    return;
  }

  // 64-bit arithmetic: the sector count of the largest parts does not fit 32 bits.
  const std::shared_ptr<const devlib::FlashParams> current = devlib::CurrentFlashParams();
  const devlib::FlashParams& params = *current;
  const std::uint64_t channels = params.setting.channels;
  const std::uint64_t banks = params.setting.banks;
  const std::uint64_t blocks = params.geometry.blockValue;
  const std::uint64_t pagesPerBlock = params.geometry.pagesPerBlock;
  const std::uint64_t sectorsPerPage = params.geometry.sectorsPerPage;
  const auto maxGB = static_cast<std::uint16_t>(channels * banks * (blocks / 1024) * pagesPerBlock *
                                                (sectorsPerPage * 512 / 1024) / 1024);
  const std::uint64_t sectors = channels * banks * pagesPerBlock * sectorsPerPage * blocks;
  if (gigabytes > maxGB || sectors == 0) {
    prompt_.message(IdemaLimitText(maxGB));
    return;
  }

  const std::uint64_t lba = gigabytes * kIdemaLbaPerGB + kIdemaLbaBase;
  const auto ratio = static_cast<float>(100.0 - (100.0 * static_cast<double>(lba)) / static_cast<double>(sectors));
  const double perMille = std::trunc(static_cast<double>(ratio) * 10.0);
  const auto kept = static_cast<std::uint16_t>(std::clamp(perMille, 0.0, static_cast<double>(kMaxResPercentage)));
  state_.IDEMARatio = std::to_string(kept);
  settings_.record().ResPercentage = kept;
  FlashInfoChange();
}

void SettingsPages::RestoreReservedRatioClick() {
  state_.IDEMAEdit.clear();
  state_.IDEMARatio.clear();
  settings_.record().ResPercentage = kDefaultResPercentage;
  FlashInfoChange();
}

// --- Firmware files ------------------------------------------------------------

void SettingsPages::BinFileChkClick() {
  std::string name = kFirmwareNamePattern;
  ChangeGlobalParameter();
  firmwareFiles_.SataBinVersion.clear();
  firmwareFiles_.UsbBinVersion.clear();
  devlib::BuildProductModelCode(name, *devlib::CurrentFlashParams());
  bool found = false;
  std::string status;

  // Reads one firmware file's version and format code, and checks its sum.
  const auto readFile = [&](const std::string& fileName, std::string& version) {
    const std::filesystem::path path = platform::paths::resolve(fileName);
    std::error_code error;
    if (!std::filesystem::exists(path, error)) {
      status += (found ? " / " : "") + fileName;
      found = true;
      return;
    }
    version = FileText(path, kFirmwareVersionAt, kFirmwareVersionLength);
    if (!specialMode_ && !devlib::CheckBinFileSum(path)) prompt_.message(CorruptFileText(path));
    firmwareFiles_.BinFormatCode = FileText(path, kFirmwareFormatAt, kFirmwareFormatLength);
  };

  if (state_.SataBinChk) {
    firmwareFiles_.SataBinName = name;
    readFile(name, firmwareFiles_.SataBinVersion);
    if (!firmwareFiles_.SataBinVersion.empty()) {
      status = name + " (" + firmwareFiles_.SataBinVersion + ")";
      found = true;
    }
  }
  if (state_.UsbBinChk) {
    std::string usbName = name;
    usbName[kFirmwareSideAt] = 'U';
    firmwareFiles_.UsbBinName = usbName;
    readFile(usbName, firmwareFiles_.UsbBinVersion);
    if (!firmwareFiles_.UsbBinVersion.empty()) {
      status += (found ? " / " : "") + usbName + " (" + firmwareFiles_.UsbBinVersion + ")";
      found = true;
    }
  }

  SpinState& spin = state_.SNMinLengthSpin;
  if (state_.UsbBinChk) {
    spin.minimum = page_values::kUsbSerialMinLength;
    spin.value = std::max(spin.value, page_values::kUsbSerialMinLength);
    state_.SerialNumEditLabel = "Serial Number (12-20) ";
  } else {
    spin.minimum = 1;
    state_.SerialNumEditLabel = "Serial Number (20) ";
  }
  state_.StatusBar[1] = found ? status : std::string();
  state_.caption = ShowCaptionString(pathWord_);
  state_.SATAGroupBoxVisible = state_.SataBinChk;
  state_.USBGroupBoxVisible = state_.UsbBinChk;
  state_.CommonGroupBoxVisible = found;
}

}  // namespace fleetburn
