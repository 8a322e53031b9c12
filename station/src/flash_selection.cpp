// The flash part selection of the "Flash Setting" page: the vendor and part
// combos, the channel, bank and drive current, the part applied to the
// library, and the texts that show it.

#include <array>
#include <charconv>
#include <cstdio>

#include "devlib/flash_geometry.h"
#include "station/settings_pages.h"

namespace fleetburn {
namespace {

// Item i of the channel and bank combos means the value i + 1; item i of the
// drive current combo the code i.
constexpr std::array<std::int32_t, 8> kChannelValues = {1, 2, 3, 4, 5, 6, 7, 8};
constexpr std::array<std::int32_t, 8> kBankValues = {1, 2, 3, 4, 5, 6, 7, 8};
constexpr std::array<std::int32_t, 8> kDriveCurrentCodes = {0, 1, 2, 3, 4, 5, 6, 7};

constexpr const char* kNoVendorSelected = "Please select a valid Flash Vendor!";

std::string PartItemText(const devlib::FlashListEntry& entry) {
  return entry.uniName.str() + "  /  " + entry.partName.str() + " (" + std::to_string(entry.ceCount) + "CE)";
}

std::string UnlistedPartText(std::string_view name, std::string_view first) {
  return "The flash part \"" + std::string(name) + "\" is not in the flash list; the first part (" +
         std::string(first) + ") is selected.";
}

// "%4.2f" in the C locale, whatever locale the window set.
std::string TwoDecimals(float value) {
  std::array<char, 64> text{};
  const auto result = std::to_chars(text.data(), text.data() + text.size(), static_cast<double>(value),
                                    std::chars_format::fixed, 2);
  std::string out(text.data(), result.ptr);
  if (out.size() < 4) out.insert(0, 4 - out.size(), ' ');
  return out;
}

int ValueAt(const std::array<std::int32_t, 8>& values, int index, int fallback) {
  return index >= 0 && index < static_cast<int>(values.size()) ? values[static_cast<std::size_t>(index)] : fallback;
}

}  // namespace

int SettingsPages::selectedFlashRow() const {
  const devlib::FlashTable& table = settings_.flashTable();
  const int vendor = state_.FlashVendorCmbx.index;
  const int part = state_.FlashCodeCmBx.index;
  if (vendor < 0 || vendor >= std::min(table.FlashVendorCount, devlib::kFlashVendorLimit) || part < 0) return -1;
  const int row = table.FlashVendorStart[static_cast<std::size_t>(vendor)] + part;
  if (row >= table.FlashVendorStart[static_cast<std::size_t>(vendor) + 1] || row >= table.FlashEntryCount) return -1;
  return row;
}

int SettingsPages::selectedChannel() const {
  return ValueAt(kChannelValues, state_.FlashChanCmBx.index, settings_.record().Channel);
}

int SettingsPages::selectedBank() const {
  return ValueAt(kBankValues, state_.FlashBankCmBx.index, settings_.record().Bank);
}

void SettingsPages::flashSelectionToControls() {
  const devlib::FlashTable& table = settings_.flashTable();
  devlib::SettingsRecord& record = settings_.record();
  const int vendorCount = std::clamp(table.FlashVendorCount, 0, devlib::kFlashVendorLimit);

  state_.FlashVendorCmbx.items.clear();
  for (int k = 0; k < vendorCount; ++k) {
    state_.FlashVendorCmbx.items.push_back(table.FlashVendorNames[static_cast<std::size_t>(k)].str());
  }

  const std::string_view name = record.FlashUniName.view();
  const int row = devlib::FindFlashEntry(table, name);
  const bool listed = table.FlashEntryCount > 0 && table.entries[static_cast<std::size_t>(row)].uniName.view() == name;
  if (listed) {
    warnedFlashName_.reset();
  } else if (warnedFlashName_ != name) {
    warnedFlashName_ = std::string(name);
    prompt_.message(UnlistedPartText(name, table.entries[0].uniName.view()));
  }

  // The last vendor whose rows start at or before the row, so that empty
  // vendors before it are passed over.
  int vendor = 0;
  while (vendor < vendorCount && table.FlashVendorStart[static_cast<std::size_t>(vendor)] <= row) ++vendor;
  state_.FlashVendorCmbx.index = vendor - 1;
  UpdateFlashList(false);
  if (state_.FlashVendorCmbx.index >= 0) {
    const int part = row - table.FlashVendorStart[static_cast<std::size_t>(state_.FlashVendorCmbx.index)];
    state_.FlashCodeCmBx.index = part < static_cast<int>(state_.FlashCodeCmBx.items.size()) ? part : -1;
  }

  state_.FlashChanCmBx.index = IndexOfValue(kChannelValues, record.Channel);
  state_.FlashBankCmBx.index = IndexOfValue(kBankValues, record.Bank);
  state_.DrvCurrentCmBx.index = IndexOfValue(kDriveCurrentCodes, record.DrvCurrent);
}

void SettingsPages::UpdateFlashList(bool fromVendorCombo) {
  const devlib::FlashTable& table = settings_.flashTable();
  ComboState& parts = state_.FlashCodeCmBx;
  parts.items.clear();
  parts.index = -1;
  const int vendor = state_.FlashVendorCmbx.index;
  if (vendor < 0 || vendor >= std::min(table.FlashVendorCount, devlib::kFlashVendorLimit)) {
    prompt_.message(kNoVendorSelected);
  } else {
    const int first = table.FlashVendorStart[static_cast<std::size_t>(vendor)];
    const int end = std::min(table.FlashVendorStart[static_cast<std::size_t>(vendor) + 1], devlib::kFlashTableRows);
    for (int row = first; row < end; ++row) parts.items.push_back(PartItemText(table.entries[static_cast<std::size_t>(row)]));
    const int wanted = fromVendorCombo ? 0 : preferredFlashPart_;
    parts.index = wanted >= 0 && wanted < static_cast<int>(parts.items.size()) ? wanted : -1;
  }
  if (fromVendorCombo) FlashInfoChange();
}

void SettingsPages::FlashInfoChange() {
  if (inFlashInfoChange_) return;
  const int row = selectedFlashRow();
  if (row < 0) return;
  inFlashInfoChange_ = true;
  const devlib::FlashListEntry& entry = settings_.flashTable().entries[static_cast<std::size_t>(row)];

  std::array<char, 16> typeWord{};
  std::snprintf(typeWord.data(), typeWord.size(), "0x%04X", static_cast<unsigned>(entry.typeWord));
  state_.StatusBar[0] = "Flash: " + entry.uniName.str() + "(" + typeWord.data() + ")" +
                        ", Channel: " + std::to_string(selectedChannel()) + ", Bank: " + std::to_string(selectedBank());
  state_.StatusBar[2] = "GDP.bin(" + supportFiles_.gdpTag + ") / SataTest (" + supportFiles_.testTag + ")";

  ControlsToSettings();
  ChangeGlobalParameter();
  SettingsToControls();

  const std::uint64_t sectors = devlib::GetFlashCapacity();
  const float sectorCount = static_cast<float>(sectors);
  state_.CapacityEdit = TwoDecimals(sectorCount * 512.0f * 1e-9f);
  state_.CapacityEdit2 = TwoDecimals(sectorCount * 512.0f / 1073741824.0f);

  FunCheckListBoxClickCheck();

  // The large-unit flag follows the capacity shown in units of 2^30 bytes.
  const std::uint8_t largeUnit = devlib::LargeUnitFlag(sectors);
  if (devlib::CurrentFlashParams()->largeUnitFlag != largeUnit) {
    devlib::FlashParams published = *devlib::CurrentFlashParams();
    published.largeUnitFlag = largeUnit;
    devlib::ApplyFlashSelection(std::move(published));
  }
  inFlashInfoChange_ = false;
}

void SettingsPages::ChangeGlobalParameter() {
  const devlib::FlashTable& table = settings_.flashTable();
  const int row = devlib::FindFlashEntry(table, settings_.record().FlashUniName.view());

  // The loaded option switches and identify entries, with the part applied.
  devlib::FlashParams params = settings_.options();
  const devlib::FlashDecodeResult result = devlib::DecodeFlashSetting(params, settings_.record(), table, row);
  if (result.ok) {
    devlib::ApplyFlashSelection(std::move(params));
    shownDecodeRefusal_.clear();
  } else if (result.message != shownDecodeRefusal_) {
    shownDecodeRefusal_ = result.message;
    prompt_.message(result.message);
  }

  const devlib::FlashListEntry& entry = table.entries[static_cast<std::size_t>(row)];
  const devlib::FlashTypeFields fields = devlib::DecodeFlashTypeWord(static_cast<std::uint16_t>(entry.typeWord));
  state_.FlashDetailMemo = {
      std::string(fields.mlc ? "Type: MLC," : "Type: SLC,") + " Die: " + std::to_string(fields.planes),
      "TotalBlock: " + std::to_string(fields.blockValue) + ", BlockPage: " + std::to_string(fields.pagesPerBlock),
      "PerPageSize: " + std::to_string(fields.sectorsPerPage * 512) + " DieOffset: " + std::to_string(entry.dieOffset),
  };
}

}  // namespace fleetburn
