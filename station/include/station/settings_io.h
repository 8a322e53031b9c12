#pragma once
// Fleetburn's settings: which settings file is loaded and saved, the load
// sequence (settings file, log directory, flash part list, yield counters)
// with its messages, the "Load INI" and "Save INI" buttons, and the lookups
// the settings pages select their entries with. No widgets: the window reads
// the texts and the lock state from here, and hands in its page copies as a
// SettingsView.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "devlib/flash_list.h"
#include "devlib/flash_params.h"
#include "devlib/ini_document.h"
#include "devlib/settings_record.h"
#include "platform/prompt.h"

namespace fleetburn {

inline constexpr const char* kVadidLogName = "VADID.log";
inline constexpr const char* kSettingsFileFilter = "EEPROM INI file(*.ini)|*.ini";
inline constexpr const char* kSettingsFileExtension = ".ini";
inline constexpr const char* kFlashFileRefusal =
    "The file is a setting file for flash, please choose a correct setting file for MP tool";
inline constexpr const char* kLogDirectoryFailure = "Cannot create log directory.";

// What an open or save dialog is asked to show.
struct FileDialogRequest {
  std::string defaultExtension;
  std::string filter;
  std::filesystem::path initialDirectory;
};

// The window's file dialogs; nothing when the user cancels.
class FileDialogs {
 public:
  virtual ~FileDialogs() = default;
  virtual std::optional<std::filesystem::path> openFile(const FileDialogRequest& request) = 0;
  virtual std::optional<std::filesystem::path> saveFile(const FileDialogRequest& request) = 0;
};

// The settings pages as the load and the buttons need them. An empty
// callback does nothing (no pages yet, or a test without them).
struct SettingsView {
  // Fills the pages from a record that has loaded completely.
  std::function<void(const devlib::SettingsRecord&)> settingsToControls;
  // Copies the pages into the record.
  std::function<void(devlib::SettingsRecord&)> controlsToSettings;
  // After "Load INI": re-applies the flash selection, the lock state and the
  // test item check list.
  std::function<void()> afterLoadIni;
};

// "pass / total" as the yield edit shows it.
std::string YieldText(std::uint32_t numberOfPass, std::uint32_t totalTestCount);

// The first of the table's first `count` rows whose uni name equals `name`
// exactly, else 0: a name not in the list selects the first part.
int FindFlashEntryByName(const devlib::FlashTable& table, int count, std::string_view name);

// The first element equal to `value`, else 0.
int IndexOfValue(std::span<const std::int32_t> values, std::int32_t value);

// The log directory a [Setting] LogPath value names, with its trailing
// separator: "log" is the directory "log" beside the program; any other
// value names a directory as written (a relative one lies in the program's
// directory once resolved), and gets a separator unless it ends in one.
// An empty value stays empty: the program's directory itself.
std::string LogDirectoryFor(std::string_view logPath);

// Writes the yield counters as [TestRecord] TotalTestCount and NumberOfPass
// into `vadidLog`. False when either could not be written.
bool SaveYieldCounters(const devlib::SettingsRecord& counters, const std::filesystem::path& vadidLog);

class StationSettings {
 public:
  explicit StationSettings(platform::prompt::Prompt& prompt, SettingsView view = {});
  // The pages, once they exist (they are made with these settings).
  void setView(SettingsView view) { view_ = std::move(view); }

  // Start-up: a cleared record and DODEVUDU.ini beside the program. False
  // when the program cannot go on (see LoadSettingsFromIni).
  bool LoadStartupSettings();

  // The load sequence. A missing settings file is reported, then its
  // defaults apply. A missing or unloadable flash part list, or a log
  // directory that cannot be created, is reported and gives false; the
  // state then stays as it was before the call, and nothing is written.
  bool LoadSettingsFromIni(const std::string& path);

  // Writes the record under `name`; a name without a directory, or with a
  // drive letter, lies in the program's directory. False when it could not
  // be written.
  bool SaveSettingsToIni(const std::string& name);

  // The end of a run: the pages into the record, then the current file.
  bool SaveSettingsAfterRun();

  // The window's end: the pages into the record, the current file, also
  // DODEVUDU.ini beside the program when the current file is another one,
  // then the counters into VADID.log in the log directory. Writes nothing
  // unless a load has succeeded, so a start-up that failed leaves every file
  // as it was.
  void SaveSettingsAtExit();

  void ShowYield();

  void INILoadBtnClick(FileDialogs& dialogs);
  void INISaveBtnClick(FileDialogs& dialogs);

  devlib::SettingsRecord& record() { return state_.record; }
  const devlib::SettingsRecord& record() const { return state_.record; }
  devlib::FlashParams& options() { return state_.options; }
  const devlib::FlashParams& options() const { return state_.options; }
  const devlib::FlashTable& flashTable() const { return state_.flashTable; }
  const std::string& SettingsFileName() const { return settingsFileName_; }
  const std::string& LogDir() const { return state_.logDir; }
  // Locked by a loaded file with a nonzero MPVersion; no later load unlocks.
  bool locked() const { return state_.locked; }

  // The texts of INIFileEdit, VolumeLabeledEdit and YieldEdit.
  const std::string& iniFileText() const { return state_.iniFileText; }
  const std::string& volumeLabelText() const { return state_.volumeLabelText; }
  const std::string& yieldText() const { return yieldText_; }

  // Where the dialogs open; the program's directory while empty.
  void setDialogDirectory(std::filesystem::path directory) { dialogDirectory_ = std::move(directory); }

 private:
  // Everything one load sets; it takes effect only when the load succeeds.
  struct LoadedState {
    devlib::SettingsRecord record{};
    devlib::FlashParams options{};
    devlib::IniDocument ini{};
    devlib::FlashTable flashTable{};
    std::string logDir;
    std::string iniFileText;
    std::string volumeLabelText;
    bool locked = false;
  };

  FileDialogRequest dialogRequest() const;
  bool isFlashListFile(const std::filesystem::path& chosen) const;

  platform::prompt::Prompt& prompt_;
  SettingsView view_;
  LoadedState state_;
  std::string settingsFileName_;
  std::string yieldText_;
  bool loaded_ = false;
  std::filesystem::path dialogDirectory_;
};

}  // namespace fleetburn
