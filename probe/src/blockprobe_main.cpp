// Blockprobe: one instance at a time; the main window and its waiting window,
// then the message loop. TOLVANE_SIM names an emulated line to examine in
// place of the drives attached to this computer.

#include <QApplication>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>

#include "devlib/port_io.h"
#include "drivesim/scenario.h"
#include "main_form.h"
#include "platform/instance_guard.h"
#include "platform/prompt.h"
#include "qt_prompt.h"

#ifndef BLOCKPROBE_OEM_BRAND
#define BLOCKPROBE_OEM_BRAND ""
#endif

int main(int argc, char** argv) {
  // Before any window or drive is touched.
  const platform::InstanceGuard guard("KWUtil");
  if (guard.alreadyRunning()) return 0;

  QApplication application(argc, argv);
  application.setApplicationName("Blockprobe");
  platform::prompt::installPrompt(std::make_shared<blockprobe::QtPrompt>());
  try {
    const drivesim::ScenarioLoad load = drivesim::installFromEnvironment();
    const char* scenario = std::getenv("TOLVANE_SIM");
    if (scenario != nullptr && *scenario != '\0' && !load.line) {
      std::fprintf(stderr, "blockprobe: scenario %s: %s\n", scenario, load.error.c_str());
      return 1;
    }
    devlib::InitPortIoTable(devlib::ProgramKind::Blockprobe);
    blockprobe::TMainForm form(BLOCKPROBE_OEM_BRAND);
    form.show();
    QApplication::exec();
  } catch (const std::exception& error) {
    platform::prompt::showMessage(error.what());
  }
  return 0;
}
