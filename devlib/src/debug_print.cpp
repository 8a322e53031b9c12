#include "devlib/debug_print.h"

#include <cstdarg>
#include <cstdio>
#include <string_view>

#include "platform/debug.h"

namespace devlib {

void DebugPrint(const char* format, ...) {
  char text[kDebugTextSize];
  va_list arguments;
  va_start(arguments, format);
  const int wanted = std::vsnprintf(text, sizeof text, format, arguments);
  va_end(arguments);
  if (wanted < 0) return;
  const std::size_t length = static_cast<std::size_t>(wanted) < sizeof text ? static_cast<std::size_t>(wanted)
                                                                             : sizeof text - 1;
  platform::debug::output(std::string_view(text, length));
}

}  // namespace devlib
