#pragma once
// A text field of fixed capacity, as the settings record and the flash
// parameters store them: N bytes with the terminator, so at most N - 1
// characters. Assigning never writes past the field.

#include <algorithm>
#include <array>
#include <cstddef>
#include <string>
#include <string_view>

namespace devlib {

template <std::size_t N>
class FixedText {
  static_assert(N >= 1);

 public:
  static constexpr std::size_t kCapacity = N - 1;

  constexpr FixedText() = default;
  // Literal defaults of the record; longer literals do not compile.
  template <std::size_t M>
  constexpr FixedText(const char (&text)[M]) {  // NOLINT: implicit on purpose
    static_assert(M <= N, "default text longer than its field");
    for (std::size_t i = 0; i + 1 < M; ++i) bytes_[i] = text[i];
  }

  // Stores the text when it fits; a longer text is refused and the field
  // keeps its value.
  bool assign(std::string_view text) {
    if (text.size() > kCapacity) return false;
    set(text);
    return true;
  }
  // Stores at most the first kCapacity characters (what a bounded copy does).
  void assignTruncated(std::string_view text) { set(text.substr(0, std::min(text.size(), kCapacity))); }

  std::string_view view() const { return std::string_view(bytes_.data()); }
  std::string str() const { return std::string(view()); }
  const char* c_str() const { return bytes_.data(); }
  std::size_t size() const { return view().size(); }
  bool empty() const { return bytes_[0] == '\0'; }

  // The raw field, for code that edits characters in place.
  char* data() { return bytes_.data(); }

  friend bool operator==(const FixedText& a, const FixedText& b) { return a.view() == b.view(); }

 private:
  void set(std::string_view text) {
    bytes_.fill('\0');
    text.copy(bytes_.data(), text.size());
  }

  std::array<char, N> bytes_{};
};

}  // namespace devlib
