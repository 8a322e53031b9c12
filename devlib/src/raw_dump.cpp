#include "devlib/raw_dump.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>

#include "devlib/flash_params.h"
#include "devlib/port_io.h"

namespace devlib {
namespace {

std::atomic<bool> rawDumpFlag{false};
// Each write gets its own temporary name, so two workers dumping the same
// name never write into one file.
std::atomic<unsigned> dumpSequence{0};

bool DumpsOn() { return CurrentFlashParams()->dumpDebugFile != 0 || RawDumpFlag(); }

}  // namespace

void SetRawDumpFlag() { rawDumpFlag.store(true); }
bool RawDumpFlag() { return rawDumpFlag.load(); }

bool WriteDebugDump(std::string_view fileName, std::span<const std::uint8_t> data) {
  if (!DumpsOn()) return false;
  const std::filesystem::path target{std::string(fileName)};
  std::filesystem::path partial = target;
  partial += "." + std::to_string(dumpSequence.fetch_add(1)) + ".part";
  std::FILE* file = std::fopen(partial.c_str(), "wb");
  if (file == nullptr) return false;
  bool written = std::fwrite(data.data(), 1, data.size(), file) == data.size();
  written = std::fclose(file) == 0 && written;
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
  if (!DumpsOn()) return false;
  char folder[16];
  std::snprintf(folder, sizeof folder, "Port%02d", port + 1);
  std::error_code error;
  std::filesystem::create_directories(folder, error);
  if (error) return false;
  return WriteDebugDump((std::filesystem::path(folder) / std::string(fileName)).string(), data);
}

bool WriteDebugDumpNamed(int port, std::span<const std::uint8_t> data, const char* format, ...) {
  char name[32];
  va_list arguments;
  va_start(arguments, format);
  std::vsnprintf(name, sizeof name, format, arguments);
  va_end(arguments);
  return WriteDebugDump(port, name, data);
}

}  // namespace devlib
