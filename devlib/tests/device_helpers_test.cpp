// The model code letters, the file checks and the serial and text helpers.

#include "devlib/device_helpers.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <unistd.h>

namespace devlib {
namespace {

FlashParams Part(std::uint16_t typeWord, const char* name, std::uint8_t planes = 2) {
  FlashParams params;
  params.setting.typeWord = typeWord;
  params.setting.partName.assign(name);
  params.setting.channels = 4;
  params.setting.banks = 2;
  params.geometry.planes = planes;
  return params;
}

std::string ModelCode(const FlashParams& params) {
  std::string text = "KW40????";
  EXPECT_TRUE(BuildProductModelCode(text, params));
  return text;
}

TEST(ProductModelCode, FlashClassLetter) {
  FlashParams extraHynix = Part(0x3000, "H27UXXXXXX");
  extraHynix.setting.extraMode = 1;
  FlashParams seededIntel = Part(0x4000, "JS29F00000");
  seededIntel.enScrambleRandomSeed = 1;
  FlashParams extraSamsung = Part(0x1000, "K9XXXXXXXX");
  extraSamsung.setting.extraMode = 1;
  const struct {
    const char* name;
    FlashParams params;
    char letter;
  } cases[] = {
      {"micron", Part(0x0123, "MT29F64G08CBAAB"), 'I'},
      {"micronCbaaa", Part(0x0123, "MT29F64G08CBAAA"), 'R'},
      {"micronCbaba", Part(0x0123, "MT29F64G08CBABA"), 'R'},
      {"intel", Part(0x4123, "JS29F64G08AAMD1"), 'I'},
      {"intelE", Part(0x4123, "JS29F64G08AAME1"), 'R'},
      {"intelSeeded", seededIntel, 'R'},
      {"samsung", Part(0x1123, "K9XXXXXXXX"), 'S'},
      {"samsungListed", Part(0x1123, "K9GBG08U0A"), 'M'},
      {"samsungExtra", extraSamsung, 'M'},
      {"hynixListed", Part(0x3123, "H27UCG8U5A"), 'N'},
      {"hynixOther", Part(0x3123, "H27UAG8T2M"), 'S'},
      {"hynixExtra", extraHynix, 'N'},
      {"toshiba", Part(0x2123, "TH58TEG7DDJTA20"), 'T'},
      {"toshibaListed", Part(0x2123, "TH58NVG6H2HTA20"), 'P'},
      {"otherMaker", Part(0x5123, "X"), 'T'},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string code = ModelCode(c.params);
    EXPECT_EQ(code.substr(0, 6), std::string("KW40S") + c.letter);
  }
}

TEST(ProductModelCode, GeometryAndLayoutLetters) {
  // Type word bits: 0-2 page size (2 << i KB), 3-5 pages (64 << i), 6-8 block unit (1 << i) x 1024 / planes.
  const auto word = [](unsigned block, unsigned pages, unsigned size) {
    return static_cast<std::uint16_t>(0x2000 | block << 6 | pages << 3 | size);
  };
  FlashParams offset = Part(word(2, 1, 1), "P", 2);
  offset.token14 = 5;
  FlashParams layoutOnly = Part(word(7, 1, 1), "P", 2);
  layoutOnly.setting.channels = 8;
  layoutOnly.setting.banks = 2;
  const struct {
    const char* name;
    FlashParams params;
    const char* last2;
  } cases[] = {
      {"oneDie", Part(word(1, 1, 1), "P", 1), "EF"},   // 2048 blocks, 128 pages, 4 KB
      {"twoDies", Part(word(2, 1, 2), "P", 2), "NF"},  // 4096/2 = 2048, 128 pages, 8 KB
      {"dieOffset", offset, "OF"},                      // 2048, 128, 4 KB, offset
      {"noRowKeepsTheCharacter", layoutOnly, "?B"},
      {"noPlanes", Part(word(1, 1, 0), "P", 0), "?F"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(ModelCode(c.params).substr(6), c.last2);
  }
  std::string shortText = "KW40";
  EXPECT_FALSE(BuildProductModelCode(shortText, Part(0x2000, "P")));
}

class TempFile : public ::testing::Test {
 protected:
  void TearDown() override { std::filesystem::remove(path_); }
  void Write(const std::vector<unsigned char>& bytes) {
    std::ofstream(path_, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                 static_cast<std::streamsize>(bytes.size()));
  }
  // Per process: the tests of this file run side by side.
  std::filesystem::path path_ =
      std::filesystem::temp_directory_path() / ("device_helpers_test-" + std::to_string(::getpid()) + ".bin");
};

TEST_F(TempFile, ReadFileBytesNeedsTheWholeRange) {
  std::vector<unsigned char> bytes(800, 0);
  for (std::size_t i = 0; i < 6; ++i) bytes[774 + i] = static_cast<unsigned char>("120105"[i]);
  Write(bytes);
  EXPECT_EQ(ReadFileBytes(path_, 774, 6), "120105");
  EXPECT_EQ(ReadFileBytes(path_, 796, 6), std::nullopt) << "the file ends before the range does";
  EXPECT_EQ(ReadFileBytes(path_.string() + ".missing", 0, 1), std::nullopt);
}

TEST_F(TempFile, BinFileSum) {
  const auto withSum = [](std::vector<unsigned char> body) {
    unsigned sum = 0;
    for (unsigned char b : body) sum += b;
    body.push_back(0xA5);
    body.push_back(static_cast<unsigned char>((256 - sum % 256) % 256));
    return body;
  };
  const struct {
    const char* name;
    std::vector<unsigned char> bytes;
    bool good;
  } cases[] = {
      {"good", withSum({1, 2, 3, 250}), true},
      {"goodEmptyBody", withSum({}), true},
      {"wrongSum", [&] { auto b = withSum({1, 2, 3}); b[0] ^= 1; return b; }(), false},
      {"noMark", [&] { auto b = withSum({1, 2, 3}); b[3] = 0xA4; return b; }(), false},
      {"oneByte", {0xA5}, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Write(c.bytes);
    EXPECT_EQ(CheckBinFileSum(path_), c.good);
  }
  std::filesystem::remove(path_);
  EXPECT_FALSE(CheckBinFileSum(path_));
}

TEST(SerialNumbers, StepByOneInPlace) {
  const struct {
    const char* before;
    const char* hex;
    const char* decimal;
  } cases[] = {
      {"ABF", "AC0", "AB0"},      {"199", "19A", "200"},  {"9", "A", "0"},       {"F", "0", "0"},
      {"abf", "AC0", "ab0"},      {"TV0009", "TV000A", "TV0010"}, {"X", "0", "0"},
      {"FFF", "000", "FF0"},      {"999", "99A", "000"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.before);
    std::string hex = c.before;
    IncrementHexSerial(hex);
    EXPECT_EQ(hex, c.hex);
    std::string decimal = c.before;
    IncrementDecimalSerial(decimal);
    EXPECT_EQ(decimal, c.decimal);
  }
  std::string line = "A19\nZZ";
  IncrementDecimalSerial(line);
  EXPECT_EQ(line, "A20\nZZ") << "the number ends at the line end";
}

TEST(TextHelpers, LineLengthHexDigitsAndKeyBytes) {
  EXPECT_EQ(LineLength("abc\ndef"), 3u);
  EXPECT_EQ(LineLength(std::string_view("ab\0cd", 5)), 2u);
  EXPECT_EQ(LineLength("abc"), 3u);
  const std::pair<char, int> digits[] = {{'0', 0}, {'9', 9}, {'A', 10}, {'f', 15}, {'G', 23}, {' ', 0xF0}};
  for (const auto& [c, value] : digits) EXPECT_EQ(HexDigitValue(c), value) << c;
  EXPECT_EQ(EncodeKeyByte(0x00, 0), 0xFF);
  EXPECT_EQ(EncodeKeyByte(0xFE, 3), 0xFE);  // 0x101 kept to 8 bits is 0x01, XOR 0xFF
}

}  // namespace
}  // namespace devlib
