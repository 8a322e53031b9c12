#include "devlib/device_helpers.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <fstream>
#include <iterator>

namespace devlib {
namespace {

struct GeometryRow {
  char letter;
  std::uint16_t blockUnit;
  std::uint16_t pages;
  std::uint16_t pageKB;
  std::uint8_t dies;
  std::uint8_t dieOffset;
};

constexpr GeometryRow kBlockLetterTable[] = {
    {'A', 1024, 128, 4, 1, 0}, {'B', 1024, 128, 8, 1, 0}, {'C', 1024, 256, 4, 1, 0}, {'D', 1024, 256, 8, 1, 0},
    {'E', 2048, 128, 4, 1, 0}, {'F', 2048, 128, 8, 1, 0}, {'G', 2048, 256, 4, 1, 0}, {'H', 2048, 256, 8, 1, 0},
    {'I', 4096, 128, 4, 1, 0}, {'J', 4096, 128, 8, 1, 0}, {'K', 4096, 256, 4, 1, 0}, {'L', 4096, 256, 8, 1, 0},
    {'M', 2048, 128, 4, 2, 0}, {'N', 2048, 128, 8, 2, 0}, {'O', 2048, 128, 4, 2, 1}, {'P', 2048, 128, 8, 2, 1},
    {'Q', 2048, 64, 4, 2, 0},  {'R', 2048, 256, 4, 2, 0}, {'S', 2048, 256, 8, 2, 0}, {'T', 1024, 128, 8, 2, 0},
    {'U', 1024, 128, 8, 2, 1}, {'V', 1024, 256, 8, 2, 0}, {'W', 4096, 128, 4, 2, 0}, {'X', 2048, 64, 4, 1, 0},
    {'Y', 2048, 64, 8, 1, 0},
};

struct LayoutRow {
  char letter;
  std::uint8_t channels;
  std::uint8_t banks;
};

constexpr LayoutRow kChannelBankLetterTable[] = {
    {'A', 8, 1}, {'B', 8, 2}, {'C', 8, 4}, {'D', 8, 8}, {'E', 4, 1}, {'F', 4, 2}, {'G', 4, 4}, {'H', 4, 8},
    {'I', 2, 1}, {'J', 2, 2}, {'K', 2, 4}, {'L', 2, 8}, {'M', 1, 1}, {'N', 1, 2}, {'O', 1, 4}, {'P', 1, 8},
};

bool NameIsOneOf(std::string_view name, std::initializer_list<std::string_view> names) {
  return std::find(names.begin(), names.end(), name) != names.end();
}

char FlashClassLetter(const FlashParams& params) {
  const std::uint16_t type = params.setting.typeWord;
  const int makerClass = type >> 12;
  const bool extra = params.setting.extraMode != 0;
  const std::string_view name = params.setting.partName.view();
  char letter = 'T';
  if (makerClass == 0 || makerClass == 4) {
    letter = 'I';
  } else if (makerClass == 1 || (makerClass == 3 && !extra)) {
    letter = 'S';
  }
  if (makerClass == 4 && name.size() > 13 && name[13] == 'E') letter = 'R';
  if (makerClass == 0 && name.size() >= 15 && NameIsOneOf(name.substr(10, 5), {"CBAAA", "CBABA"})) letter = 'R';
  if ((makerClass == 4 || makerClass == 0) && params.enScrambleRandomSeed != 0) letter = 'R';
  if (makerClass == 1 && NameIsOneOf(name, {"K9GBG08U0A", "K9LCG08U0A", "K9HDG08U1A", "K9GAG08U0F"})) letter = 'M';
  if (makerClass == 1 && extra) letter = 'M';
  if (makerClass == 3 &&
      NameIsOneOf(name, {"H27UBG8T2A", "H27UCG8U5A", "H27UCG8UDA", "H27UDG8V5A", "H27UDG8VFA", "H27UDG8VEA"})) {
    letter = 'N';
  }
  if (makerClass == 3 && extra) letter = 'N';
  if (makerClass == 2 && NameIsOneOf(name, {"TH58NVG6H2HTA20", "TH58NVG6H2HTAK0"})) letter = 'P';
  return letter;
}

std::optional<char> GeometryLetter(const FlashParams& params) {
  const std::uint16_t type = params.setting.typeWord;
  const unsigned planes = params.geometry.planes;
  if (planes == 0) return std::nullopt;
  const unsigned blockIndex = (type >> 6) & 7;
  const unsigned pageIndex = (type >> 3) & 7;
  const unsigned sizeIndex = type & 7;
  const unsigned blockUnit = (blockIndex > 4 ? 0u : 1u << blockIndex) * 1024 / planes;
  const unsigned pages = 64u << pageIndex;
  const unsigned pageKB = sizeIndex > 5 ? 0 : 2u << sizeIndex;
  const unsigned dieOffset = params.token14 != 0 ? 1 : 0;
  std::optional<char> letter;
  for (const GeometryRow& row : kBlockLetterTable) {
    if (row.blockUnit == blockUnit && row.pages == pages && row.pageKB == pageKB && row.dies == planes &&
        row.dieOffset == dieOffset) {
      letter = row.letter;
    }
  }
  return letter;
}

std::optional<char> LayoutLetter(const FlashParams& params) {
  std::optional<char> letter;
  for (const LayoutRow& row : kChannelBankLetterTable) {
    if (row.channels == params.setting.channels && row.banks == params.setting.banks) letter = row.letter;
  }
  return letter;
}

template <typename Step>
void IncrementSerial(std::span<char> text, Step step) {
  std::size_t end = 0;
  while (end < text.size() && text[end] != '\0' && text[end] != '\n') ++end;
  for (std::size_t i = end; i-- > 0;) {
    if (!step(text[i])) return;
  }
}

}  // namespace

bool BuildProductModelCode(std::span<char> text, const FlashParams& params) {
  if (text.size() < 8) return false;
  text[4] = 'S';
  text[5] = FlashClassLetter(params);
  if (const auto letter = GeometryLetter(params)) text[6] = *letter;
  if (const auto letter = LayoutLetter(params)) text[7] = *letter;
  return true;
}

std::optional<std::string> ReadFileBytes(const std::filesystem::path& file, std::uint64_t offset, std::size_t length) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return std::nullopt;
  in.seekg(static_cast<std::streamoff>(offset));
  std::string bytes(length, '\0');
  if (!in.read(bytes.data(), static_cast<std::streamsize>(length))) return std::nullopt;
  return bytes;
}

bool CheckBinFileSum(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return false;
  const std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  if (bytes.size() < 2) return false;
  const std::size_t mark = bytes.size() - 2;
  unsigned sum = 0;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (i != mark) sum += static_cast<unsigned char>(bytes[i]);
  }
  return static_cast<unsigned char>(bytes[mark]) == 0xA5 && (sum & 0xFF) == 0;
}

void IncrementHexSerial(std::span<char> text) {
  for (char& c : text) {
    if (c == '\0' || c == '\n') break;
    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  }
  IncrementSerial(text, [](char& c) {
    if (c == 'F') {
      c = '0';
      return true;
    }
    if ((c >= '0' && c <= '8') || (c >= 'A' && c <= 'E')) {
      ++c;
    } else if (c == '9') {
      c = 'A';
    } else {
      c = '0';
    }
    return false;
  });
}

void IncrementDecimalSerial(std::span<char> text) {
  IncrementSerial(text, [](char& c) {
    if (c == '9') {
      c = '0';
      return true;
    }
    c = c >= '0' && c <= '8' ? static_cast<char>(c + 1) : '0';
    return false;
  });
}

std::size_t LineLength(std::string_view text) {
  const std::size_t end = text.find_first_of(std::string_view("\0\n", 2));
  return end == std::string_view::npos ? text.size() : end;
}

std::uint8_t HexDigitValue(char c) {
  if (c >= '0' && c <= '9') return static_cast<std::uint8_t>(c - '0');
  if (c >= 'A' && c <= 'F') return static_cast<std::uint8_t>(c - 'A' + 10);
  if (c >= 'a' && c <= 'f') return static_cast<std::uint8_t>(c - 'a' + 10);
  return static_cast<std::uint8_t>(c - '0');
}

std::uint8_t EncodeKeyByte(std::uint8_t byte, int index) {
  return static_cast<std::uint8_t>((byte + index) ^ 0xFF);
}

}  // namespace devlib
