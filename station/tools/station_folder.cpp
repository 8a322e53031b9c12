#include "station_folder.h"

#include <system_error>

#include "devlib/device_helpers.h"
#include "devlib/flash_geometry.h"
#include "devlib/flash_list.h"
#include "devlib/flash_params.h"
#include "devlib/settings_record.h"
#include "testsupport/emulated_drives_part.h"
#include "testsupport/firmware_images.h"
#include "testsupport/flash_list_builder.h"
#include "testsupport/ram_code_images.h"
#include "testsupport/settings_file_builder.h"

namespace fleetburn::tools {
namespace {

namespace fs = std::filesystem;

constexpr const char* kVendor = "Tolvane";
constexpr const char* kPartName = "TV64G2A";
constexpr const char* kUniName = "TVA";
constexpr int kChannels = 4;
constexpr int kBanks = 2;

// The names the station gives the SATA and USB firmware files of the part.
bool BinNames(const fs::path& flashList, std::string& sata, std::string& usb) {
  devlib::FlashTable table;
  if (!devlib::LoadFlashList(flashList.string(), table).ok) return false;
  const int row = devlib::FindFlashEntry(table, kUniName);
  if (row < 0) return false;
  devlib::FlashParams params;
  devlib::SettingsRecord settings;
  settings.Channel = kChannels;
  settings.Bank = kBanks;
  devlib::DecodeFlashSetting(params, settings, table, row);
  sata = "SYS_WXYZ.bin";
  if (!devlib::BuildProductModelCode(sata, params)) return false;
  usb = sata;
  usb[4] = 'U';
  return true;
}

}  // namespace

std::string MakeStationFolder(const fs::path& folder, std::span<const TestItemKey> testItems) {
  std::error_code error;
  fs::create_directories(folder / "log", error);
  if (error) return folder.string() + ": " + error.message();
  testsupport::FlashListBuilder list;
  list.vendor(kVendor).part(testsupport::EmulatedDrivesPartSpec(kUniName, kPartName));
  list.writeTo(folder / "Flash.ini");
  std::string sata, usb;
  if (!BinNames(folder / "Flash.ini", sata, usb)) return "the part list just written does not load";
  testsupport::WriteRamCodeImages(folder);
  testsupport::WriteDownloadFileSet(folder, 16 * 512, sata, usb);

  testsupport::SettingsFileBuilder settings;
  settings.section("Setting")
      .key("TimeOut", 5)
      .section("FlashSetting")
      .key("FlashUniName", kUniName)
      .key("Channel", kChannels)
      .key("Bank", kBanks)
      .section("TestItems");
  for (const TestItemKey& key : testItems) settings.key(key.name, key.value);
  settings.section("DeviceSetting")
      .key("SerialNum", "TVD000000001")
      .key("SNAutoInc", 1)
      .key("UID", "500A0751")
      .key("UIDAutoInc", 1)
      .key("ModelNum", "Tolvane KWFA4X SSD")
      .writeTo(folder / "DODEVUDU.ini");
  return {};
}

}  // namespace fleetburn::tools
