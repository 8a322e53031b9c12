#pragma once
// How the settings pages turn their texts into record values and back: the
// integer conversion that never throws, the bounded text copies and the
// decimal texts the edits show. Private to the pages' sources.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "devlib/fixed_text.h"
#include "station/port_record.h"

namespace fleetburn::page_values {

// A serial number is at least this long while the USB firmware file is chosen.
inline constexpr int kUsbSerialMinLength = 12;

// The text of the conversion error, for the text that is no number.
std::string NotAnIntegerText(std::string_view text);

// An integer text (blanks around it allowed, an optional sign, decimal
// digits) as the nearest value of minimum..maximum; nothing when the text is
// no integer at all.
std::optional<std::uint64_t> ParseClamped(std::string_view text, std::uint64_t minimum, std::uint64_t maximum);

// Collects the first text of one copy that is no number, so that the copy
// goes on and names it once at its end.
class NumberErrors {
 public:
  // Into `field` the value of `text` kept to minimum..maximum; a text that
  // is no number leaves `field` as it was and is remembered.
  template <typename T>
  void copy(std::string_view text, T& field, std::uint64_t minimum, std::uint64_t maximum) {
    if (const auto value = ParseClamped(text, minimum, maximum)) {
      field = static_cast<T>(*value);
    } else if (!first_) {
      first_ = std::string(text);
    }
  }
  const std::optional<std::string>& first() const { return first_; }

 private:
  std::optional<std::string> first_;
};

// The longest start of `text` of at most `maxChars` characters (UTF-8).
std::string_view CharPrefix(std::string_view text, std::size_t maxChars);

template <std::size_t N>
void CopyText(devlib::FixedText<N>& field, std::string_view text) {
  AssignUtf8Truncated(field, text);
}

template <typename T>
std::string Decimal(T value) {
  return std::to_string(value);
}

}  // namespace fleetburn::page_values
