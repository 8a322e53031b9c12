#include "station/settings_io.h"

#include <algorithm>
#include <cctype>
#include <memory>
#include <system_error>

#include "devlib/settings_file.h"
#include "platform/paths.h"
#include "platform/private_profile.h"

namespace fleetburn {
namespace {

constexpr const char* kDefaultLogPath = "log";

bool equalIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

// The file name part of a name given the programs' way (either separator).
std::string fileNamePart(std::string_view name) {
  const std::size_t separator = name.find_last_of("/\\");
  return std::string(separator == std::string_view::npos ? name : name.substr(separator + 1));
}

// The log directory exists, or is made (one level only: a missing parent
// is not made for it).
bool ensureLogDirectory(const std::string& logDir) {
  const std::filesystem::path directory = platform::paths::resolve(logDir);
  std::error_code error;
  if (std::filesystem::is_directory(directory, error)) return true;
  std::filesystem::create_directory(directory, error);
  return !error && std::filesystem::is_directory(directory, error);
}

}  // namespace

std::string YieldText(std::uint32_t numberOfPass, std::uint32_t totalTestCount) {
  return std::to_string(numberOfPass) + " / " + std::to_string(totalTestCount);
}

int FindFlashEntryByName(const devlib::FlashTable& table, int count, std::string_view name) {
  const int rows = std::clamp(count, 0, devlib::kFlashTableRows);
  for (int row = 0; row < rows; ++row) {
    if (table.entries[static_cast<std::size_t>(row)].uniName.view() == name) return row;
  }
  return 0;
}

int IndexOfValue(std::span<const std::int32_t> values, std::int32_t value) {
  const auto found = std::find(values.begin(), values.end(), value);
  return found == values.end() ? 0 : static_cast<int>(found - values.begin());
}

std::string LogDirectoryFor(std::string_view logPath) {
  if (logPath == kDefaultLogPath) return (platform::paths::programDirectory() / "log").string() + "/";
  std::string directory(logPath);
  if (!directory.empty() && directory.back() != '/' && directory.back() != '\\') directory += '/';
  return directory;
}

bool SaveYieldCounters(const devlib::SettingsRecord& counters, const std::filesystem::path& vadidLog) {
  const std::string total = std::to_string(counters.TotalTestCount);
  const std::string pass = std::to_string(counters.NumberOfPass);
  const bool totalWritten = platform::profile::writeString("TestRecord", "TotalTestCount", total, vadidLog);
  return platform::profile::writeString("TestRecord", "NumberOfPass", pass, vadidLog) && totalWritten;
}

StationSettings::StationSettings(platform::prompt::Prompt& prompt, SettingsView view)
    : prompt_(prompt), view_(std::move(view)) {}

bool StationSettings::LoadStartupSettings() {
  state_.record = devlib::SettingsRecord{};
  settingsFileName_ = platform::paths::resolve(devlib::kSettingsFileName).string();
  return LoadSettingsFromIni(settingsFileName_);
}

bool StationSettings::LoadSettingsFromIni(const std::string& path) {
  // Built aside, so that a load that fails half-way changes nothing.
  auto loaded = std::make_unique<LoadedState>(state_);
  loaded->iniFileText = fileNamePart(path);

  const std::filesystem::path file = platform::paths::resolve(path);
  std::error_code error;
  if (!std::filesystem::exists(file, error)) {
    prompt_.message("The " + path + " file cann't be found, and MP will create the file!\n");
  }
  devlib::ReadToolSettings(loaded->ini, path, loaded->record, loaded->options);
  if (loaded->record.MPVersion != 0) loaded->locked = true;

  loaded->logDir = LogDirectoryFor(platform::profile::readString("Setting", "LogPath", kDefaultLogPath, file));
  loaded->volumeLabelText = std::string(loaded->record.DiskLabel.view());

  const std::string flashFile(loaded->record.ExtFlashFile.view());
  if (flashFile.empty()) {
    prompt_.message("Please make sure the flash file " + flashFile + " exist!\n");
    return false;
  }
  if (!devlib::LoadFlashList(flashFile, loaded->flashTable).ok) {
    prompt_.message(devlib::FlashFileFormatMessage(flashFile) + "\n");
    return false;
  }
  if (!ensureLogDirectory(loaded->logDir)) {
    prompt_.message(kLogDirectoryFailure);
    return false;
  }

  const std::filesystem::path counters = platform::paths::resolve(loaded->logDir + kVadidLogName);
  loaded->record.TotalTestCount =
      static_cast<std::uint32_t>(platform::profile::readInt("TestRecord", "TotalTestCount", 0, counters));
  loaded->record.NumberOfPass =
      static_cast<std::uint32_t>(platform::profile::readInt("TestRecord", "NumberOfPass", 0, counters));

  state_ = std::move(*loaded);
  loaded_ = true;
  if (view_.settingsToControls) view_.settingsToControls(state_.record);
  ShowYield();
  return true;
}

bool StationSettings::SaveSettingsToIni(const std::string& name) {
  return devlib::WriteToolSettings(state_.ini, name, state_.record, state_.options);
}

bool StationSettings::SaveSettingsAfterRun() {
  if (view_.controlsToSettings) view_.controlsToSettings(state_.record);
  return SaveSettingsToIni(settingsFileName_);
}

void StationSettings::SaveSettingsAtExit() {
  if (!loaded_) return;
  SaveSettingsAfterRun();
  const std::filesystem::path beside = platform::paths::resolve(devlib::kSettingsFileName);
  if (platform::paths::resolve(settingsFileName_).lexically_normal() != beside.lexically_normal()) {
    SaveSettingsToIni(beside.string());
  }
  SaveYieldCounters(state_.record, platform::paths::resolve(state_.logDir + kVadidLogName));
}

void StationSettings::ShowYield() { yieldText_ = YieldText(state_.record.NumberOfPass, state_.record.TotalTestCount); }

void StationSettings::INILoadBtnClick(FileDialogs& dialogs) {
  const std::optional<std::filesystem::path> chosen = dialogs.openFile(dialogRequest());
  if (!chosen) return;
  if (isFlashListFile(*chosen)) {
    prompt_.message(kFlashFileRefusal);
    return;
  }
  if (LoadSettingsFromIni(chosen->string())) settingsFileName_ = chosen->string();
  if (view_.afterLoadIni) view_.afterLoadIni();
}

void StationSettings::INISaveBtnClick(FileDialogs& dialogs) {
  if (view_.controlsToSettings) view_.controlsToSettings(state_.record);
  const std::optional<std::filesystem::path> chosen = dialogs.saveFile(dialogRequest());
  if (!chosen) return;
  settingsFileName_ = chosen->string();
  SaveSettingsToIni(settingsFileName_);
}

FileDialogRequest StationSettings::dialogRequest() const {
  return {kSettingsFileExtension, kSettingsFileFilter,
          dialogDirectory_.empty() ? platform::paths::programDirectory() : dialogDirectory_};
}

bool StationSettings::isFlashListFile(const std::filesystem::path& chosen) const {
  const std::filesystem::path flashFile = platform::paths::resolve(state_.record.ExtFlashFile.view());
  std::error_code error;
  if (std::filesystem::equivalent(chosen, flashFile, error)) return true;
  return equalIgnoringCase(chosen.lexically_normal().string(), flashFile.lexically_normal().string());
}

}  // namespace fleetburn
