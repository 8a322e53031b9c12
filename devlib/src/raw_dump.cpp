#include "devlib/raw_dump.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>

#include "devlib/flash_params.h"
#include "devlib/port_io.h"
#include "platform/atomic_file.h"

namespace devlib {
namespace {

std::atomic<bool> rawDumpFlag{false};

bool DumpsOn() { return CurrentFlashParams()->dumpDebugFile != 0 || RawDumpFlag(); }

}  // namespace

void SetRawDumpFlag() { rawDumpFlag.store(true); }
bool RawDumpFlag() { return rawDumpFlag.load(); }

bool WriteDebugDump(std::string_view fileName, std::span<const std::uint8_t> data) {
  if (!DumpsOn()) return false;
  // Two workers dumping the same name each leave a whole file, never a mix.
  // A dump that cannot be written is skipped without a word.
  const std::string_view bytes(reinterpret_cast<const char*>(data.data()), data.size());
  return platform::files::saveFileAtomically(std::string(fileName), bytes).empty();
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
