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
// A dump is written whole or not at all: a file that cannot be written in
// full leaves nothing behind (and no earlier dump of that name is lost).
bool WriteDebugDump(std::string_view fileName, std::span<const std::uint8_t> data);

// A port's dump: Fleetburn keeps each port's dumps apart, in the folder
// "PortNN" (port index + 1) of the current directory; Blockprobe writes them
// in the current directory itself.
bool WriteDebugDump(int port, std::string_view fileName, std::span<const std::uint8_t> data);
// The same with the file name made from a printf format (at most 31 characters).
bool WriteDebugDumpNamed(int port, std::span<const std::uint8_t> data, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// The raw-dump flag: off at start, and once set it stays set until the program ends.
void SetRawDumpFlag();
bool RawDumpFlag();

}  // namespace devlib
