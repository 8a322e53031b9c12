#pragma once
// Raw dumps of device buffers, for looking at what a drive was sent and
// answered. Written only when the dump switch (DumpDebugFile) is on.

#include <cstdint>
#include <span>
#include <string_view>

namespace devlib {

// Writes the bytes as they are, without a header, to the file of that name in
// the current directory. True when the file was written; false when dumps are
// off or the file could not be written. A failed dump never fails the
// operation that asked for it.
bool WriteDebugDump(std::string_view fileName, std::span<const std::uint8_t> data);

}  // namespace devlib
