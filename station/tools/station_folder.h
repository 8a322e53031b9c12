#pragma once
// A station folder for an emulated line: the flash part list with the part
// the emulated drives carry, the RAM code images, the download files named
// as the station looks for them, the settings with the caller's test items,
// and an empty log folder. The images are synthetic ones, made the way the
// emulated controller checks them.

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>

namespace fleetburn::tools {

// A key of the settings' [TestItems] section.
struct TestItemKey {
  std::string_view name;
  std::int64_t value = 0;
};

// Writes the folder (made when missing); empty when it is done, else why not.
std::string MakeStationFolder(const std::filesystem::path& folder, std::span<const TestItemKey> testItems);

}  // namespace fleetburn::tools
