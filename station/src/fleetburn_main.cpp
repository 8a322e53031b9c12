// Fleetburn, the production station: one instance per computer, never run
// from a network drive; the main window's start-up, the serial number dialog
// when the settings ask for it, then the message loop. TOLVANE_SIM names an
// emulated line to work on in place of the drives attached to this computer.
//
// Two options exist for the station's own process tests and are not meant
// for the line:
//   --test-network-prefix=PATH  a program directory under PATH counts as
//                               lying on a network file system;
//   --test-close-after-start    the window closes as soon as it has shown,
//                               as if the operator pressed Close;
//   --test-wall-clock=YYYY-MM-DDTHH:MM:SS
//                               the local time stands still there, so that
//                               the run's files have known names and times.

#include <QApplication>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "devlib/fat32_format.h"
#include "devlib/port_io.h"
#include "drivesim/scenario.h"
#include "platform/instance_guard.h"
#include "platform/paths.h"
#include "platform/prompt.h"
#include "station/startup.h"
#include "ui/main_form.h"
#include "ui/qt_file_dialogs.h"
#include "ui/qt_prompt.h"
#include "ui/title_dialog.h"

namespace {

constexpr std::string_view kNetworkPrefixOption = "--test-network-prefix=";
constexpr std::string_view kCloseAfterStartOption = "--test-close-after-start";
constexpr std::string_view kWallClockOption = "--test-wall-clock=";

struct TestHooks {
  std::string networkPrefix;
  bool closeAfterStart = false;
  std::optional<devlib::LocalTime> wallClock;
};

std::optional<devlib::LocalTime> ParseWallClock(std::string_view text) {
  devlib::LocalTime time;
  char separator = 0;
  const std::string value(text);
  if (std::sscanf(value.c_str(), "%d-%d-%d%c%d:%d:%d", &time.year, &time.month, &time.day, &separator, &time.hour,
                  &time.minute, &time.second) != 7 ||
      separator != 'T') {
    return std::nullopt;
  }
  return time;
}

// The test options, and the rest of the command line as one text (the
// station looks for its keywords anywhere in it).
std::string SplitCommandLine(int argc, char** argv, TestHooks& hooks) {
  std::string commandLine;
  for (int k = 1; k < argc; ++k) {
    const std::string_view argument = argv[k];
    if (argument.starts_with(kNetworkPrefixOption)) {
      hooks.networkPrefix = argument.substr(kNetworkPrefixOption.size());
    } else if (argument == kCloseAfterStartOption) {
      hooks.closeAfterStart = true;
    } else if (argument.starts_with(kWallClockOption)) {
      hooks.wallClock = ParseWallClock(argument.substr(kWallClockOption.size()));
    } else {
      if (!commandLine.empty()) commandLine += ' ';
      commandLine += argument;
    }
  }
  return commandLine;
}

// Whether `path` is `prefix` or lies below it, component by component.
bool LiesUnder(const std::filesystem::path& path, const std::filesystem::path& prefix) {
  const std::filesystem::path whole = path.lexically_normal();
  const std::filesystem::path top = prefix.lexically_normal();
  auto inPath = whole.begin();
  for (auto inTop = top.begin(); inTop != top.end(); ++inTop, ++inPath) {
    if (inTop->empty()) continue;  // the trailing separator of "dir/"
    if (inPath == whole.end() || *inPath != *inTop) return false;
  }
  return true;
}

fleetburn::FilesystemClassifier ClassifierFor(const TestHooks& hooks) {
  if (hooks.networkPrefix.empty()) return fleetburn::IsNetworkFilesystem;
  return [prefix = std::filesystem::path(hooks.networkPrefix)](const std::filesystem::path& path) {
    return LiesUnder(path, prefix) || fleetburn::IsNetworkFilesystem(path);
  };
}

}  // namespace

int main(int argc, char** argv) {
  // Before any window or drive is touched.
  const platform::InstanceGuard guard(std::string(fleetburn::kInstanceName));
  TestHooks hooks;
  const std::string commandLine = SplitCommandLine(argc, argv, hooks);
  const fleetburn::StartupStatus early =
      fleetburn::CheckBeforeWindow(guard, platform::paths::programDirectory(), ClassifierFor(hooks));
  if (early != fleetburn::StartupStatus::Ready) return fleetburn::ExitCode(early);

  QApplication application(argc, argv);
  application.setApplicationName("Fleetburn");
  const fleetburn::CommandLineOptions keywords = fleetburn::ParseCommandLine(commandLine, 0);
  const bool unattended = keywords.autoExecute || keywords.autoExecuteQuit;
  std::shared_ptr<platform::prompt::Prompt> prompt;
  if (unattended) {
    prompt = std::make_shared<fleetburn::ui::UnattendedPrompt>();
  } else {
    prompt = std::make_shared<fleetburn::ui::QtPrompt>();
  }
  platform::prompt::installPrompt(prompt);

  const drivesim::ScenarioLoad load = drivesim::installFromEnvironment();
  const char* scenario = std::getenv("TOLVANE_SIM");
  if (scenario != nullptr && *scenario != '\0' && !load.line) {
    std::fprintf(stderr, "fleetburn: scenario %s: %s\n", scenario, load.error.c_str());
    return 1;
  }
  devlib::InitPortIoTable(devlib::ProgramKind::Fleetburn);

  try {
    fleetburn::ui::QtFileDialogs dialogs;
    fleetburn::ui::TMainForm form(*prompt, dialogs);
    dialogs.setParent(&form);
    if (hooks.wallClock) form.setWallClock([time = *hooks.wallClock] { return time; });
    const fleetburn::StartupStatus status = form.Start(commandLine);
    if (status != fleetburn::StartupStatus::Ready) return fleetburn::ExitCode(status);

    fleetburn::ui::TTitleForm title(form.settings().record().ShowTitle);
    if (form.settings().record().ShowTitle != 0 && !unattended) {
      title.exec();
      form.setTitleForm(&title.form());
    }
    form.show();
    if (hooks.closeAfterStart) QTimer::singleShot(0, &form, &QWidget::close);
    QApplication::exec();
    return form.exitCode();
  } catch (const std::exception& error) {
    prompt->message(error.what());
    return 1;
  }
  return 0;
}
