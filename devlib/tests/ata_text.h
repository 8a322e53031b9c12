#pragma once
// Reading back the identity texts a drive was given.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace devlib::testing {

// An ATA string: byte pairs swapped, trailing blanks dropped.
inline std::string AtaText(std::span<const std::uint8_t> b, std::size_t at, std::size_t n) {
  std::string s;
  for (std::size_t i = 0; i < n; i += 2) {
    s += static_cast<char>(b[at + i + 1]);
    s += static_cast<char>(b[at + i]);
  }
  return s.substr(0, s.find_last_not_of(' ') + 1);
}

}  // namespace devlib::testing
