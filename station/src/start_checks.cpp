#include "station/start_checks.h"

#include <system_error>
#include <vector>

#include "station/test_items.h"

namespace fleetburn {

namespace {

bool PowerOfTwoUpTo8(std::uint8_t count) { return count == 1 || count == 2 || count == 4 || count == 8; }

StartCheck Refused(std::string message) { return {StartVerdict::Refused, std::move(message)}; }

bool Exists(const std::filesystem::path& path) {
  std::error_code error;
  return std::filesystem::is_regular_file(path, error);
}

bool AnyItemEnabled(const devlib::SettingsRecord& record) {
  for (int item = 1; item <= 28; ++item) {
    if (record.ItemEnable[static_cast<std::size_t>(item)] != 0) return true;
  }
  return false;
}

// Every item whose name is an entry of the check list, checked or not.
std::vector<int> CheckListItems(const SettingsPageState& pages) {
  std::vector<int> items;
  for (const CheckListEntry& entry : pages.FunCheckListBox) {
    for (const int item : ItemNumbersNamed(entry.text)) items.push_back(item);
  }
  return items;
}

void ClearAttachedResults(const SettingsPageState& pages, PortRecordTable& table, int portCount) {
  const std::vector<int> items = CheckListItems(pages);
  for (int port = 0; port < portCount && port < static_cast<int>(table.size()); ++port) {
    PortRecord& record = table[static_cast<std::size_t>(port)];
    if (record.hubState == 0) continue;
    for (const int item : items) record.itemResult[static_cast<std::size_t>(item)] = 0;
    record.finalResult = 0;
  }
}

}  // namespace

StartCheck CheckStart(const StartInputs& in, PortRecordTable& table, int portCount) {
  const devlib::SettingsRecord& record = in.record;
  const SettingsPageState& pages = in.pages;

  const int capacity = pages.CapacityCmBx.index;
  if (capacity > 0 && capacity < static_cast<int>(kCapacityChoiceGB.size()) &&
      kCapacityChoiceGB[static_cast<std::size_t>(capacity)] != in.flashCapacityGB) {
    ClearAttachedResults(pages, table, portCount);
    return Refused("Please make sure the Flash parameter selection!");
  }
  if (!in.specialMode) {
    if (!PowerOfTwoUpTo8(record.Channel)) {
      return Refused("Please check total channel's number, only support 1, 2, 4 and 8 channel");
    }
    if (!PowerOfTwoUpTo8(record.Bank)) {
      return Refused("Please check total bank's number, only support 1, 2, 4 and 8 bank");
    }
  }
  const std::filesystem::path sataBin = in.programDirectory / in.bins.SataBinName;
  const std::filesystem::path usbBin = in.programDirectory / in.bins.UsbBinName;
  if (pages.SataBinChk && !Exists(sataBin)) return Refused("<WARNING> Can't find file : " + sataBin.string());
  if (pages.UsbBinChk && !Exists(usbBin)) return Refused("<WARNING> Can't find file : " + usbBin.string());
  if (pages.SataBinChk && pages.UsbBinChk && record.SNMinLength < 12) {
    return Refused(
        "When mptool download SATA and USB codes to flash simultaneously, the length of SN is'nt less than 12");
  }
  for (int port = 0; port < portCount && port < static_cast<int>(table.size()); ++port) {
    if (table[static_cast<std::size_t>(port)].active == 0 || !in.holdsNtfsPartition) continue;
    if (in.holdsNtfsPartition(port)) {
      return Refused("Please remove the #" + std::to_string(port + 1) +
                     " SSD's disk partition (NTFS) before initialize the SSD.");
    }
  }

  StartCheck check;
  if (in.activePageCaption == "RD") {
    if (pages.ClaimNewChk) {
      check.claimNew = true;
    } else if (pages.GetDefTabChk || pages.PutDefTabChk || pages.GetLaterTabChk || pages.PutLaterTabChk) {
      check.tableMode = true;
    }
  }
  if (check.claimNew || check.tableMode) return check;

  if (!AnyItemEnabled(record)) return {StartVerdict::NoRun};
  constexpr std::size_t kDownload = 6, kCheckTables = 9;
  if (record.ItemEnable[kDownload] == 0 && record.ItemEnable[kCheckTables] == 0) return check;

  const int bins = (pages.SataBinChk ? 1 : 0) + (pages.UsbBinChk ? 1 : 0);
  if (bins == 0) return Refused("At lease one bin file needed!");
  std::vector<std::filesystem::path> names{in.programDirectory / "Init.bin"};
  if (bins == 2) {
    names.push_back(sataBin);
    names.push_back(usbBin);
  } else {
    names.push_back(pages.SataBinChk ? sataBin : usbBin);
  }
  if (bins == 2 && in.pagesPerBlock <= 64) {
    return Refused(
        "The Block Page number of flash is too small, then MP can't download SATA and USB codes simultaneously");
  }
  for (const std::filesystem::path& name : names) {
    if (!Exists(name)) return {StartVerdict::NoRun, "Can't open: " + name.string()};
  }
  std::optional<devlib::DownloadFileList> list = devlib::BuildDownloadFileList(names, in.sectorsPerPage);
  if (!list) {
    // The files are there but give no list for this flash part (its page size, their length).
    return {StartVerdict::NoRun, "Can't download: the firmware files give no page list for this flash part"};
  }
  check.downloadList = std::make_shared<const devlib::DownloadFileList>(std::move(*list));
  return check;
}

}  // namespace fleetburn
