#include "station/table_mode.h"

#include <charconv>
#include <system_error>

#include "devlib/claim_new.h"
#include "devlib/controller_tests.h"
#include "devlib/table_files.h"
#include "platform/clock.h"

namespace fleetburn {
namespace {

constexpr std::uint64_t kInitPauseMs = 300;

std::filesystem::path TableFile(const std::string& name, const std::filesystem::path& programDirectory) {
  const std::filesystem::path path(name);
  if (path.is_absolute() || name.find(":\\") != std::string::npos) return path;
  return programDirectory / path;
}

int VersionCode(const std::string& binFormatCode) {
  int code = 0;
  const char* first = binFormatCode.data();
  while (first != binFormatCode.data() + binFormatCode.size() && *first == ' ') ++first;
  std::from_chars(first, binFormatCode.data() + binFormatCode.size(), code);
  return code;
}

}  // namespace

TableRequest ChooseTableOperation(const SettingsPageState& pages, const std::filesystem::path& programDirectory,
                                  const std::string& binFormatCode, bool specialMode) {
  TableRequest request;
  request.versionCode = VersionCode(binFormatCode);
  request.specialMode = specialMode;
  const struct {
    bool checked;
    TableOperation operation;
    const std::string& name;
  } boxes[] = {
      {pages.GetDefTabChk, TableOperation::GetDefTable, pages.TableInEdit},
      {pages.PutDefTabChk, TableOperation::PutDefTable, pages.TableOutEdit},
      {pages.GetLaterTabChk, TableOperation::GetLaterTable, pages.LaterTableInEdit},
      {pages.PutLaterTabChk, TableOperation::PutLaterTable, pages.LaterTableOutEdit},
  };
  for (const auto& box : boxes) {
    if (!box.checked) continue;
    request.operation = box.operation;
    request.file = TableFile(box.name, programDirectory);
    break;
  }
  return request;
}

std::string RunTableOperation(int port, std::span<std::uint8_t> buffer, const TableRequest& request,
                              const std::function<void(std::string_view)>& console, std::stop_token stop) {
  if (request.operation == TableOperation::None) return {};
  if (!request.specialMode && !devlib::FlashModuleTest(port, buffer, 0)) {
    return "Check Flash Module Fail. Please choose a correct flash module";
  }
  if (!devlib::CheckLoaderBlocks(port, buffer, 0)) return "Get Block Fail.";
  switch (request.operation) {
    case TableOperation::GetDefTable:
      // A failed read keeps a file of that name as it was.
      return devlib::GetDefTable(port, buffer, request.file, request.versionCode) ? "Get Def. Table O.K."
                                                                                  : "Get Def. Table Fail";
    case TableOperation::PutDefTable: {
      std::error_code error;
      if (!std::filesystem::exists(request.file, error) ||
          !devlib::PutDefTable(port, buffer, request.file, request.versionCode)) {
        return "Put Def. Table Fail";
      }
      if (!platform::clock::sleepMs(kInitPauseMs, stop)) return "Put Def. Table Fail";
      if (!devlib::RunInitOperation(port, buffer, 0, 0)) {
        if (console) console("\n<WARNING> Defect table doesn't exist\n");
        return "Put Def. Table Fail";
      }
      return "Put Def. Table O.K.";
    }
    case TableOperation::GetLaterTable:
      return devlib::GetLaterTable(port, buffer, request.file, request.versionCode) == 1 ? "Get Later Table O.K."
                                                                                         : "Get Later Table Fail";
    case TableOperation::PutLaterTable:
      return devlib::PutLaterTable(port, buffer, request.file) ? "Put Later Table O.K." : "Put Later Table Fail";
    case TableOperation::None:
      break;
  }
  return {};
}

}  // namespace fleetburn
