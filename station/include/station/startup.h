#pragma once
// The station's start-up steps that need no window: the checks that end it
// early, the command-line keywords, the RAM code images beside the program,
// the caption and the exit code that main() returns.

#include <cstddef>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/instance_guard.h"
#include "platform/prompt.h"

namespace fleetburn {

// The name of the one station that may run on this computer.
inline constexpr std::string_view kInstanceName = "KWMP";

// --- Network drives --------------------------------------------------------

// Whether a file system, by its statfs type and, for FUSE, its mount type
// ("fuse.sshfs"), reaches its files over the network.
bool IsNetworkFilesystemType(unsigned long statfsType, std::string_view mountType);

// The mount type ("ext4", "fuse.sshfs") of the mount that holds `path`, from
// the text of /proc/self/mountinfo; empty when no mount holds it.
std::string MountTypeFromMountInfo(std::string_view mountInfo, const std::filesystem::path& path);

// Whether `path` lies on a network file system. A path whose file system
// cannot be asked for counts as local.
bool IsNetworkFilesystem(const std::filesystem::path& path);

using FilesystemClassifier = std::function<bool(const std::filesystem::path&)>;

// --- Command line ----------------------------------------------------------

// What the command line asks for. The keywords are searched for anywhere in
// the whole line, case-sensitive.
struct CommandLineOptions {
  bool clearInitFunc = false;           // "ClearInitFunc": uncheck every test item first
  std::vector<std::size_t> initFuncs;   // "InitFunc<j>": test items to check, in ascending order
  bool autoExecute = false;             // "AutoExecute" (also found in "AutoExecuteQuit")
  bool autoExecuteQuit = false;         // "AutoExecuteQuit"
  bool captureAppImage = false;         // "CaptureAppImage"
  bool singleExecuteResult = false;     // "SingleExecuteResult"
};

// `itemCount` is the number of entries of the test-item check list. An
// "InitFunc<j>" counts only when no further digit follows it, so "InitFunc12"
// checks item 12 and not item 1.
CommandLineOptions ParseCommandLine(std::string_view commandLine, std::size_t itemCount);

// The check-list changes onto `checked`: the clear first, wherever it stood
// on the line, then the items to check.
void ApplyCheckListChanges(const CommandLineOptions& options, std::vector<bool>& checked);

// --- Support files ---------------------------------------------------------

struct SupportFiles {
  bool SupportFilesOk = true;            // both images present and sound: START may run
  std::string gdpTag;          // the 6-byte tag text of GDP.bin, empty when missing
  std::string testTag;         // the same of satatest.bin
};

// GDP.bin, then satatest.bin, beside the program: each one's tag text, and a
// message through `prompt` for one that is missing or corrupt (an empty tag,
// or shorter than a whole image). Either kind leaves `ok` false.
SupportFiles CheckSupportFiles(platform::prompt::Prompt& prompt);

// --- Caption ---------------------------------------------------------------

// The main window's caption; `pathWord` is "SATA" or "USB".
std::string ShowCaptionString(std::string_view pathWord);

// --- Start-up status -------------------------------------------------------

enum class StartupStatus {
  Ready,               // start-up went through; a normal close ends with 0
  SecondInstance,      // another station holds "KWMP"
  NetworkDrive,        // the program lies on a network file system
  TooManyPorts,        // more hub ports than the station has room for
  SettingsLoadFailed,  // the settings or the flash list could not be loaded
  LogDirectoryFailed,  // the log directory cannot be created
};

// What main() returns for a start-up that ended with `status`.
int ExitCode(StartupStatus status);

// The checks before any window is made, in order: the instance guard, then
// the drive the program lies on. Neither shows a message.
StartupStatus CheckBeforeWindow(const platform::InstanceGuard& guard, const std::filesystem::path& programDirectory,
                                const FilesystemClassifier& isNetworkFilesystem = IsNetworkFilesystem);

// TooManyPorts when `portCount` exceeds the station's ports, after showing
// PortLimitText through `prompt`; Ready otherwise.
StartupStatus CheckPortCount(std::size_t portCount, platform::prompt::Prompt& prompt);

// The message for more hub ports than `limit`.
std::string PortLimitText(std::size_t limit);

}  // namespace fleetburn
