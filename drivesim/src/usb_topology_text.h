#pragma once
// The [hub] and [port] sections of a scenario file (scenario.h lists their keys).

#include <string>
#include <string_view>
#include <vector>

#include "drivesim/line.h"

namespace drivesim::detail {

struct TextSetting {
  std::string key, value;
  int line = 0;
};

struct TextSection {
  std::string kind;  // the name between the brackets
  int line = 0;
  std::vector<TextSetting> settings;
};

bool isTopologySection(std::string_view kind);

// Places the line's drives in the tree the sections describe; nothing when
// there are none. An error names the line of the file.
std::string readTopology(const std::vector<TextSection>& sections, Line& line);

}  // namespace drivesim::detail
