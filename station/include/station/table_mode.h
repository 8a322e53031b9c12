#pragma once
// The RD page's table mode: one defect or later table operation on the first
// active port of the line, chosen by the first checked of the page's four
// boxes, with the file named beside it.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <span>
#include <stop_token>
#include <string>
#include <string_view>

#include "station/settings_pages.h"

namespace fleetburn {

enum class TableOperation { None, GetDefTable, PutDefTable, GetLaterTable, PutLaterTable };

struct TableRequest {
  TableOperation operation = TableOperation::None;
  std::filesystem::path file;
  int versionCode = 0;       // the number in the selected firmware's format code
  bool specialMode = false;  // skips the flash module test
};

// The first checked box in page order, its file taken from the program's
// directory unless it names a whole path (also an old "X:\" one).
TableRequest ChooseTableOperation(const SettingsPageState& pages, const std::filesystem::path& programDirectory,
                                  const std::string& binFormatCode, bool specialMode);

// The operation on `port`, under the caller's work session; the message to
// show, empty when nothing was to be done. `console` gets the lines the
// operation writes to the standard output.
std::string RunTableOperation(int port, std::span<std::uint8_t> buffer, const TableRequest& request,
                              const std::function<void(std::string_view)>& console, std::stop_token stop = {});

}  // namespace fleetburn
