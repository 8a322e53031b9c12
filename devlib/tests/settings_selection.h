#pragma once
// The station's settings file and flash part list in the program's directory,
// loaded, and the part they name applied as a flash selection does: the way
// the flash parameters of a run come to be.

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>

#include "devlib/flash_geometry.h"
#include "devlib/flash_list.h"
#include "devlib/flash_params.h"
#include "devlib/ini_document.h"
#include "devlib/settings_file.h"
#include "devlib/settings_record.h"
#include "testsupport/flash_list_builder.h"
#include "testsupport/settings_file_builder.h"

namespace devlib::testing {

// Writes `settings` as the settings file and a flash part list "Flash.ini"
// of the one part `part` into `programDirectory`, reads them back, decodes
// the part that the settings' FlashUniName names and applies it.
inline void ApplySettingsFile(const std::filesystem::path& programDirectory, const testsupport::FlashPartSpec& part,
                              const testsupport::SettingsFileBuilder& settings) {
  testsupport::FlashListBuilder list;
  list.vendor("VendorK").part(part);
  list.writeTo(programDirectory / "Flash.ini");
  settings.writeTo(programDirectory / kSettingsFileName);

  IniDocument ini;
  SettingsRecord record;
  FlashParams options;
  ReadToolSettings(ini, kSettingsFileName, record, options);
  FlashTable table;
  ASSERT_TRUE(LoadFlashList(record.ExtFlashFile.view(), table).ok);
  const std::optional<int> row = FindFlashEntry(table, record.FlashUniName.view());
  ASSERT_TRUE(row.has_value());
  const FlashDecodeResult decoded = DecodeFlashSetting(options, record, table, *row);
  ASSERT_TRUE(decoded.ok) << decoded.message;
  ApplyFlashSelection(options);
}

}  // namespace devlib::testing
