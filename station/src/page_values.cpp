#include "page_values.h"

#include <limits>

namespace fleetburn::page_values {
namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

}  // namespace

std::string NotAnIntegerText(std::string_view text) { return "'" + std::string(text) + "' is not a valid integer value"; }

std::optional<std::uint64_t> ParseClamped(std::string_view text, std::uint64_t minimum, std::uint64_t maximum) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  bool negative = false;
  if (!text.empty() && (text.front() == '-' || text.front() == '+')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (text.empty()) return std::nullopt;
  // The magnitude saturates: any number beyond the range is taken as its end.
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  std::uint64_t magnitude = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    const auto digit = static_cast<std::uint64_t>(c - '0');
    magnitude = magnitude > (kMax - digit) / 10 ? kMax : magnitude * 10 + digit;
  }
  if (negative && magnitude != 0) return minimum;
  if (magnitude < minimum) return minimum;
  if (magnitude > maximum) return maximum;
  return magnitude;
}

std::string_view CharPrefix(std::string_view text, std::size_t maxChars) {
  std::size_t chars = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const bool startsCharacter = (static_cast<unsigned char>(text[i]) & 0xC0) != 0x80;
    if (startsCharacter && chars++ == maxChars) return text.substr(0, i);
  }
  return text;
}

}  // namespace fleetburn::page_values
