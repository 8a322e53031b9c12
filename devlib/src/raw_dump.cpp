#include "devlib/raw_dump.h"

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>

#include "devlib/flash_params.h"
#include "devlib/port_io.h"

namespace devlib {
namespace {

std::atomic<bool> rawDumpFlag{false};

}  // namespace

void SetRawDumpFlag() { rawDumpFlag.store(true); }
bool RawDumpFlag() { return rawDumpFlag.load(); }

bool WriteDebugDump(std::string_view fileName, std::span<const std::uint8_t> data) {
  if (CurrentFlashParams()->dumpDebugFile == 0 && !RawDumpFlag()) return false;
  const std::filesystem::path target{std::string(fileName)};
  std::filesystem::path partial = target;
  partial += ".part";
  bool written = false;
  {
    const std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(partial.c_str(), "wb"), &std::fclose);
    if (!file) return false;
    written = std::fwrite(data.data(), 1, data.size(), file.get()) == data.size() && std::fflush(file.get()) == 0;
  }
  std::error_code error;
  if (written) std::filesystem::rename(partial, target, error);
  if (!written || error) {
    std::filesystem::remove(partial, error);
    return false;
  }
  return true;
}

bool WriteDebugDump(int port, std::string_view fileName, std::span<const std::uint8_t> data) {
  if (CurrentProgramKind() == ProgramKind::Blockprobe || PortIo(port) == nullptr) {
    return WriteDebugDump(fileName, data);
  }
  if (CurrentFlashParams()->dumpDebugFile == 0 && !RawDumpFlag()) return false;
  char folder[16];
  std::snprintf(folder, sizeof folder, "Port%02d", port + 1);
  std::error_code error;
  std::filesystem::create_directories(folder, error);
  if (error) return false;
  return WriteDebugDump((std::filesystem::path(folder) / std::string(fileName)).string(), data);
}

}  // namespace devlib
