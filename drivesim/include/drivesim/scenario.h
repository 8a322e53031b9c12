#pragma once
// Scenario files: a small INI-like text that describes the drives of a line.
//
//   # comment
//   [drive]
//   path = \\?\usbstor#disk&ven_tolvane&prod_ssd#0001
//   frontend = own-usb | bridge | sata
//   chip = 7                 bridge chip type
//   key = q204               four characters, or 0x and eight hex digits
//   udma = yes | no
//   vendor / product / revision = INQUIRY texts of the USB front end
//   sectors = 234441648      decimal or 0x hex
//   model / serial / firmware = IDENTIFY texts
//   state = firmware | loader
//   flashid = 98D7943276     ten hex digits
//   temperature = 40
//
// A key missing from a section keeps the default of its front end.

#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

#include "drivesim/line.h"

namespace drivesim {

struct ScenarioLoad {
  std::shared_ptr<Line> line;  // empty when the file could not be loaded
  std::string error;           // why, naming the line of the file
};

ScenarioLoad parseScenario(std::string_view text);
ScenarioLoad loadScenario(const std::filesystem::path& file);

// TOLVANE_SIM names a scenario file: loads it and installs its line as the
// storage backend. An unset or empty variable gives an empty line and no error.
ScenarioLoad installFromEnvironment();

}  // namespace drivesim
