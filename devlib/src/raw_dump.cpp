#include "devlib/raw_dump.h"

#include <atomic>
#include <cstdio>
#include <memory>
#include <string>

#include "devlib/flash_params.h"

namespace devlib {
namespace {

std::atomic<bool> rawDumpFlag{false};

}  // namespace

void SetRawDumpFlag() { rawDumpFlag.store(true); }
bool RawDumpFlag() { return rawDumpFlag.load(); }

bool WriteDebugDump(std::string_view fileName, std::span<const std::uint8_t> data) {
  if (CurrentFlashParams()->dumpDebugFile == 0 && !RawDumpFlag()) return false;
  const std::string name(fileName);
  const std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(name.c_str(), "wb"), &std::fclose);
  if (!file) return false;
  const bool written = std::fwrite(data.data(), 1, data.size(), file.get()) == data.size();
  return written && std::fflush(file.get()) == 0;
}

}  // namespace devlib
