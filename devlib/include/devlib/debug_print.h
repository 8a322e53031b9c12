#pragma once
// The library's trace output.

#include <cstddef>

namespace devlib {

inline constexpr std::size_t kDebugTextSize = 1024;

// Formats like printf into a text of kDebugTextSize bytes (longer output is
// cut) and writes it to the debug output.
void DebugPrint(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace devlib
