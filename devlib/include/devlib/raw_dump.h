#pragma once
// Raw dumps of device buffers, for looking at what a drive was sent and
// answered. Written only when the dump switch is on: the settings' DumpDebugFile
// (Fleetburn) or the raw-dump flag (Blockprobe's special mode).

#include <cstdint>
#include <span>
#include <string_view>

namespace devlib {

// Writes the bytes as they are, without a header, to the file of that name in
// the current directory. True when the file was written; false when dumps are
// off or the file could not be written. A failed dump never fails the
// operation that asked for it.
bool WriteDebugDump(std::string_view fileName, std::span<const std::uint8_t> data);

// The raw-dump flag: off at start, and once set it stays set until the program ends.
void SetRawDumpFlag();
bool RawDumpFlag();

}  // namespace devlib
