// The defect table text: the writer against hand-written files, the reader
// back to images built byte by byte here, the version conversions, damaged
// files, and a round trip over generated tables.

#include "devlib/table_text.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "devlib/flash_params.h"
#include "platform/paths.h"

namespace devlib::testing {
namespace {

using Bytes = std::vector<std::uint8_t>;

FlashParams Params(std::uint8_t sectorsPerPage) {
  FlashParams p;
  p.geometry.sectorsPerPage = sectorsPerPage;
  return p;
}

// A table image put together byte by byte, one part per channel.
class Image {
 public:
  Image(unsigned channels, std::size_t partBytes) : bytes_(channels * partBytes, 0), partBytes_(partBytes) {}
  Image& Channel(unsigned c) {
    at_ = c * partBytes_;
    const std::uint8_t signature[16] = {0xE9, 0x86, 0xAA, 0x55, 'K', 'W', 'F', 'A', '3', 'X', '-', 'V', '0', '0', '1', 0};
    std::copy(std::begin(signature), std::end(signature), bytes_.begin() + static_cast<std::ptrdiff_t>(at_));
    at_ += 16;
    return *this;
  }
  Image& Bank(std::uint8_t bank) { return Raw(0xFB, 0xA0, bank, 0); }
  Image& Entry(std::uint16_t block, std::uint8_t value, std::uint8_t kind) {
    return Raw(static_cast<std::uint8_t>(block & 0xFF), static_cast<std::uint8_t>(block >> 8), value, kind);
  }
  Image& End() { return Raw(0xFE, 0xD1, 0, 0); }
  Image& Raw(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d) {
    bytes_[at_] = a;
    bytes_[at_ + 1] = b;
    bytes_[at_ + 2] = c;
    bytes_[at_ + 3] = d;
    at_ += 4;
    return *this;
  }
  const Bytes& bytes() const { return bytes_; }
  std::size_t sectors() const { return bytes_.size() / 512; }

 private:
  Bytes bytes_;
  std::size_t partBytes_;
  std::size_t at_ = 0;
};

constexpr std::size_t kPart8 = 8 * 512;

std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteFile(const std::filesystem::path& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

class TableTextFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    directory_ = std::filesystem::temp_directory_path() / ("table-text-" + std::to_string(::getpid()));
    std::filesystem::create_directories(directory_);
    platform::paths::setProgramDirectory(directory_);
  }
  void TearDown() override {
    platform::paths::setProgramDirectory({});
    std::filesystem::remove_all(directory_);
  }
  std::filesystem::path directory_;
};

std::filesystem::path Golden(const char* name) { return std::filesystem::path(TOLVANE_TABLE_GOLDEN_DIR) / name; }

// The images behind the hand-written files. Kind 8 is written as 9 and so
// reads back as 9.
Image V21Image(std::uint8_t lastKind) {
  Image image(2, kPart8);
  image.Channel(0).Bank(2).Entry(0x0123, 0x4A, 3).Entry(0x0FFE, 0xF0, lastKind).Bank(5).Entry(0x1000, 0, 0).End();
  image.Channel(1).End();
  return image;
}
Image V13Image() {
  Image image(1, kPart8);
  image.Channel(0).Bank(0).Entry(0x0005, 0x00, 1).Entry(0xABCD, 0xBD, 7).End();
  return image;
}

struct GoldenCase {
  const char* file;
  int version;
  Image written;  // what the writer is given
  Image read;     // what the reader gives back
};

std::vector<GoldenCase> GoldenCases() {
  return {{"defect_v21.txt", 21, V21Image(8), V21Image(9)}, {"defect_v13.txt", 13, V13Image(), V13Image()}};
}

TEST_F(TableTextFiles, WriterGivesTheHandWrittenFilesByteForByte) {
  for (const GoldenCase& c : GoldenCases()) {
    SCOPED_TRACE(c.file);
    const std::filesystem::path out = directory_ / c.file;
    ASSERT_TRUE(WriteTableText(c.written.bytes(), c.written.sectors(), out, c.version, Params(8)));
    EXPECT_EQ(ReadFile(out), ReadFile(Golden(c.file)));
  }
}

TEST_F(TableTextFiles, ReaderGivesTheImagesOfTheHandWrittenFiles) {
  for (const GoldenCase& c : GoldenCases()) {
    SCOPED_TRACE(c.file);
    Bytes image(c.read.bytes().size(), 0x5A);
    ASSERT_TRUE(ReadTableText(image, c.read.sectors(), Golden(c.file), c.version, Params(8)));
    EXPECT_EQ(image, c.read.bytes());
  }
}

TEST(TableText, TheExampleEntryAndKindNine) {
  Image image(1, kPart8);
  image.Channel(0).Bank(2).Entry(0x0123, 0x4A, 3).Entry(0x0001, 0x09, 8).Entry(0x0002, 0xFF, 200).End();
  const auto text = FormatTableText(image.bytes(), image.sectors(), 12, Params(8));
  ASSERT_TRUE(text);
  EXPECT_EQ(*text, "V#12\r\nC#00\r\nB#02U#0123,4:,3U#0001,09,9U#0002,??,9\r\n");
}

TEST(TableText, VersionLineOnlyForItsCodes) {
  Image image(1, kPart8);
  image.Channel(0).End();
  for (const auto& [version, first] : std::vector<std::pair<int, std::string>>{
           {11, "V#11\r\n"}, {12, "V#12\r\n"}, {20, "V#20\r\n"}, {21, "V#21\r\n"}, {30, "V#30\r\n"},
           {0, "\r\n"}, {13, "\r\n"}, {22, "\r\n"}, {-1, "\r\n"}}) {
    const auto text = FormatTableText(image.bytes(), image.sectors(), version, Params(8));
    ASSERT_TRUE(text);
    EXPECT_EQ(*text, first + "C#00\r\n") << version;
  }
}

TEST(TableText, ChannelsWithoutTheTableWriteOnlyTheirLineEnd) {
  Image image(3, kPart8);
  image.Channel(0).End();
  image.Channel(2).Entry(7, 0x10, 1).End();
  Bytes bytes = image.bytes();
  bytes[kPart8] = 0xFF;  // channel 1: erased
  const auto text = FormatTableText(bytes, image.sectors(), 21, Params(8));
  ASSERT_TRUE(text);
  EXPECT_EQ(*text, "V#21\r\nC#00\r\n\r\nC#02U#0007,10,1\r\n");
}

TEST(TableText, TheWriterStaysInsideEachPart) {
  // No end marker: the walk ends with the part, and channel 1 is read as its own.
  Image image(2, kPart8);
  image.Channel(0);
  Bytes bytes = image.bytes();
  for (std::size_t at = 16; at < kPart8; at += 4) bytes[at] = 0x01;
  Image second(2, kPart8);
  second.Channel(1).Entry(0x0203, 0x45, 6).End();
  std::copy(second.bytes().begin() + kPart8, second.bytes().end(), bytes.begin() + kPart8);
  const auto text = FormatTableText(bytes, 16, 21, Params(8));
  ASSERT_TRUE(text);
  EXPECT_EQ(std::count(text->begin(), text->end(), 'U'), static_cast<long>((kPart8 - 16) / 4) + 1);
  EXPECT_TRUE(text->ends_with("\r\nC#01U#0203,45,6\r\n"));
}

TEST(TableText, WriterRefusesWhatTheFormatCannotHold) {
  Image image(1, kPart8);
  image.Channel(0).Bank(12).End();
  EXPECT_FALSE(FormatTableText(image.bytes(), image.sectors(), 21, Params(8)));
  EXPECT_FALSE(FormatTableText(image.bytes(), image.sectors() + 1, 21, Params(8)));  // more sectors than bytes
  EXPECT_FALSE(FormatTableText(image.bytes(), image.sectors(), 21, Params(0)));
}

TEST_F(TableTextFiles, AFailedWriteLeavesTheExistingFile) {
  const std::filesystem::path file = directory_ / "kept.txt";
  WriteFile(file, "what was there\r\n");
  Image image(1, kPart8);
  image.Channel(0).Bank(12).End();
  EXPECT_FALSE(WriteTableText(image.bytes(), image.sectors(), file, 21, Params(8)));
  EXPECT_EQ(ReadFile(file), "what was there\r\n");
  EXPECT_FALSE(WriteTableText(image.bytes(), image.sectors(), directory_ / "no-such-folder" / "t.txt", 21, Params(8)));
  EXPECT_FALSE(WriteTableText(image.bytes(), image.sectors(), "", 21, Params(8)));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(directory_), std::filesystem::directory_iterator()), 1);
}

TEST_F(TableTextFiles, NamesWithoutALeadingSlashAreInTheProgramDirectory) {
  Image image(1, kPart8);
  image.Channel(0).End();
  ASSERT_TRUE(WriteTableText(image.bytes(), image.sectors(), "relative.txt", 21, Params(8)));
  EXPECT_EQ(ReadFile(directory_ / "relative.txt"), "V#21\r\nC#00\r\n");
  Bytes back(image.bytes().size());
  EXPECT_TRUE(ReadTableText(back, image.sectors(), "relative.txt", 21, Params(8)));
  EXPECT_EQ(back, image.bytes());
}

TEST_F(TableTextFiles, LfOnlyFilesRead) {
  Image expected(2, kPart8);
  expected.Channel(0).Bank(1).Entry(0x00AB, 0x12, 2).End();
  expected.Channel(1).Bank(0).Entry(0x0010, 0x9F, 5).End();
  Bytes image(expected.bytes().size());
  ASSERT_TRUE(ReadTableText(image, expected.sectors(), Golden("defect_v12_lf.txt"), 12, Params(8)));
  EXPECT_EQ(image, expected.bytes());
}

TEST(TableText, AChannelLineClosesTheOneBefore) {
  Bytes image(2 * kPart8, 0x77);
  ASSERT_TRUE(ParseTableText(image, 16, "V#21\r\nC#00\r\nB#00U#0001,00,1\r\nC#01\r\n", 21, Params(8)));
  Image expected(2, kPart8);
  expected.Channel(0).Bank(0).Entry(1, 0, 1).End();
  expected.Channel(1).End();
  EXPECT_EQ(image, expected.bytes());
  EXPECT_EQ(image[kPart8], 0xE9);
}

TEST(TableText, AnEmptyFirstLineKeepsChannelZero) {
  Bytes image(kPart8);
  ASSERT_TRUE(ParseTableText(image, 8, "\r\nC#00\r\nB#01U#0042,00,2\r\n", 21, Params(8)));
  Image expected(1, kPart8);
  expected.Channel(0).Bank(1).Entry(0x42, 0, 2).End();
  EXPECT_EQ(image, expected.bytes());
}

TEST(TableText, AFileWithoutItsVersionLineIsVersionZero) {
  Bytes image(2 * kPart8);
  // Version 0: no conversion, even when 21 is asked for on 8-sector pages.
  ASSERT_TRUE(ParseTableText(image, 16, "C#00\nB#00U#0001,00,1\nC#01\n", 21, Params(8)));
  Image expected(2, kPart8);
  expected.Channel(0).Bank(0).Entry(1, 0, 1).End();
  expected.Channel(1).End();
  EXPECT_EQ(image, expected.bytes());
}

TEST(TableText, Version21AskedAs12KeepsEachChannelsOwnKinds) {
  Bytes image(2 * kPart8);
  ASSERT_TRUE(ParseTableText(image, 16, "V#21\r\nC#00\r\nB#00U#0001,00,0U#0002,00,1\r\nC#01\r\nB#00U#0003,00,0U#0004,00,1\r\n",
                             12, Params(8)));
  Image expected(2, kPart8);
  expected.Channel(0).Bank(0).Entry(1, 0, 0).End();
  expected.Channel(1).Bank(0).Entry(4, 0, 1).End();
  EXPECT_EQ(image, expected.bytes());
}

struct ConversionCase {
  const char* name;
  unsigned channels;
  std::string text;  // version-12 body after "V#12\r\n"
  Image expected;
};

std::vector<ConversionCase> ConversionCases() {
  std::vector<ConversionCase> cases;
  {
    // Partner duplication and the text sort; bank 0 empty, bank 1 not.
    Image e(2, kPart8);
    e.Channel(0).Bank(1).Entry(0x0010, 0x01, 1).Entry(0x0020, 0xA5, 2).Entry(0x00FF, 0x33, 3).Bank(3).Entry(5, 0, 4).End();
    e.Channel(1).Bank(1).Entry(0x0010, 0x01, 1).Entry(0x0020, 0xA5, 2).Entry(0x00FF, 0x33, 3).Bank(3).Entry(5, 0, 4).End();
    cases.push_back({"partners and sort", 2, "C#00\r\nB#01U#00FF,33,3U#0010,01,1\r\nC#01\r\nB#01U#0020,:5,2\r\nB#03U#0005,00,4\r\n",
                     e});
  }
  {
    // All eight banks used: the end marker still closes the channel.
    Image e(2, kPart8);
    std::string text = "C#00";
    e.Channel(0);
    for (std::uint8_t b = 0; b < 8; ++b) {
      text += "\r\nB#0" + std::to_string(b) + "U#000" + std::to_string(b) + ",00,0";
      e.Bank(b).Entry(b, 0, 0);
    }
    e.End();
    e.Channel(1);
    for (std::uint8_t b = 0; b < 8; ++b) e.Bank(b).Entry(b, 0, 0);
    e.End();
    cases.push_back({"eight banks", 2, text + "\r\nC#01\r\n", e});
  }
  {
    // Three channels: the last has no partner.
    Image e(3, kPart8);
    e.Channel(0).End();
    e.Channel(1).End();
    e.Channel(2).Bank(0).Entry(0x0ABC, 0xEF, 6).End();
    cases.push_back({"odd channel count", 3, "C#00\r\nC#01\r\nC#02\r\nB#00U#0ABC,>?,6\r\n", e});
  }
  return cases;
}

TEST(TableText, Version12AskedAs21IsRebuiltByPairsAndBanks) {
  for (const ConversionCase& c : ConversionCases()) {
    SCOPED_TRACE(c.name);
    Bytes image(c.channels * kPart8);
    ASSERT_TRUE(ParseTableText(image, c.channels * 8, "V#12\r\n" + c.text, 21, Params(8)));
    EXPECT_EQ(image, c.expected.bytes());
  }
}

TEST(TableText, Version12AskedAs21IsReadDirectlyOnOtherPageSizes) {
  const std::size_t part = 4 * 512;
  Bytes image(2 * part);
  ASSERT_TRUE(ParseTableText(image, 8, "V#12\r\nC#00\r\nB#00U#0001,00,1\r\nC#01\r\n", 21, Params(4)));
  Image expected(2, part);
  expected.Channel(0).Bank(0).Entry(1, 0, 1).End();
  expected.Channel(1).End();
  EXPECT_EQ(image, expected.bytes());
}

struct DamagedCase {
  const char* name;
  std::string text;
  int requested = 21;
};

std::string ManyEntries(std::size_t count) {
  std::string text = "V#21\r\nC#00\r\nB#00";
  for (std::size_t i = 0; i < count; ++i) text += "U#0001,00,1";
  return text + "\r\nC#01\r\n";
}

// Version 12, both channels of a pair with `count` entries in bank 0: the
// conversion gives each channel twice as many.
std::string PairEntries(std::size_t count) {
  std::string entries;
  for (std::size_t i = 0; i < count; ++i) entries += "U#0001,00,1";
  return "V#12\r\nC#00\r\nB#00" + entries + "\r\nC#01\r\nB#00" + entries + "\r\n";
}

TEST(TableText, DamagedFilesAreRefusedAndTheImageStays) {
  // Two channels of 8-sector pages: a part holds 1020 entries after the
  // signature and before the end marker, bank markers included.
  const std::vector<DamagedCase> cases = {
      {"empty", ""},
      {"version line only", "V#21\r\n"},
      {"no line end at all", "V#21"},
      {"wrong header", "X#21\r\nC#00\r\nC#01\r\n"},
      {"a version line of letters", "V#\r\nC#00\r\nC#01\r\n"},
      {"a version line too long", "V#210\r\nC#00\r\nC#01\r\n"},
      {"version not a number", "V#2x\r\nC#00\r\nC#01\r\n"},
      {"cut inside an entry", "V#21\r\nC#00\r\nB#00U#01"},
      {"cut after an entry", "V#21\r\nC#00\r\nC#01\r\nB#00U#0123,00,1"},
      {"a channel missing", "V#21\r\nC#00\r\nB#00U#0123,00,1\r\n"},
      {"channels out of order", "V#21\r\nC#01\r\nC#00\r\n"},
      {"a channel twice", "V#21\r\nC#00\r\nC#00\r\nC#01\r\n"},
      {"a channel beyond the image", "V#21\r\nC#00\r\nC#01\r\nC#02\r\n"},
      {"a channel that is no digit", "V#21\r\nC#0x\r\nC#01\r\n"},
      {"a damaged channel line", "V#21\r\nC#10\r\nC#01\r\n"},
      {"bank 8", "V#21\r\nC#00\r\nB#08U#0001,00,1\r\nC#01\r\n"},
      {"a bank that is no digit", "V#21\r\nC#00\r\nB#0bU#0001,00,1\r\nC#01\r\n"},
      {"a block that is not hex", "V#21\r\nC#00\r\nB#00U#01G3,00,1\r\nC#01\r\n"},
      {"a blank inside a block", "V#21\r\nC#00\r\nB#00U#01 23,00,1\r\nC#01\r\n"},
      {"a value character out of range", "V#21\r\nC#00\r\nB#00U#0123,@0,1\r\nC#01\r\n"},
      {"a value character past F", "V#21\r\nC#00\r\nB#00U#0123,0G,1\r\nC#01\r\n"},
      {"a kind that is no digit", "V#21\r\nC#00\r\nB#00U#0123,00,x\r\nC#01\r\n"},
      {"a missing comma", "V#21\r\nC#00\r\nB#00U#0123 00,1\r\nC#01\r\n"},
      {"a field before any channel", "V#21\r\nB#00\r\nC#00\r\nC#01\r\n"},
      {"an entry before any channel", "V#21\r\nU#0001,00,1\r\nC#00\r\nC#01\r\n"},
      {"a stray letter", "V#21\r\nC#00\r\nZ\r\nC#01\r\n"},
      {"more entries than the part holds", ManyEntries(1019)},
      {"a conversion entry without its bank", "V#12\r\nC#00\r\nU#0001,00,1\r\nC#01\r\n"},
      {"a conversion too large for the part", PairEntries(510)},
  };
  for (const DamagedCase& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes image(2 * kPart8, 0x5A);
    std::string why;
    EXPECT_FALSE(ParseTableText(image, 16, c.text, c.requested, Params(8), &why));
    EXPECT_FALSE(why.empty());
    EXPECT_TRUE(std::all_of(image.begin(), image.end(), [](std::uint8_t b) { return b == 0x5A; }));
  }
  // The most the part holds is still taken.
  Bytes image(2 * kPart8);
  EXPECT_TRUE(ParseTableText(image, 16, ManyEntries(1018), 21, Params(8)));
  EXPECT_TRUE(ParseTableText(image, 16, PairEntries(510), 12, Params(8)));
  EXPECT_TRUE(ParseTableText(image, 16, PairEntries(509), 21, Params(8)));
}

TEST_F(TableTextFiles, MissingAndOversizedFilesAreRefused) {
  Bytes image(kPart8, 0x5A);
  EXPECT_FALSE(ReadTableText(image, 8, directory_ / "none.txt", 21, Params(8)));
  EXPECT_FALSE(ReadTableText(image, 8, "", 21, Params(8)));
  const std::filesystem::path big = directory_ / "big.txt";
  WriteFile(big, "V#21\r\nC#00\r\n" + std::string(5u << 20, ' ') + "\r\n");
  EXPECT_FALSE(ReadTableText(image, 8, big, 21, Params(8)));
  EXPECT_TRUE(std::all_of(image.begin(), image.end(), [](std::uint8_t b) { return b == 0x5A; }));
}

// A valid table: 1..8 channels, bank sections 0..7 in any order, values and
// kinds over their whole range.
Image GeneratedTable(std::mt19937& random, std::uint8_t sectorsPerPage, unsigned& channels) {
  channels = std::uniform_int_distribution<unsigned>(1, 8)(random);
  Image image(channels, std::size_t{sectorsPerPage} * 512);
  for (unsigned c = 0; c < channels; ++c) {
    image.Channel(c);
    const unsigned sections = std::uniform_int_distribution<unsigned>(0, 6)(random);
    for (unsigned s = 0; s < sections; ++s) {
      image.Bank(static_cast<std::uint8_t>(std::uniform_int_distribution<unsigned>(0, 7)(random)));
      const unsigned entries = std::uniform_int_distribution<unsigned>(0, 12)(random);
      for (unsigned e = 0; e < entries; ++e) {
        std::uint16_t block = static_cast<std::uint16_t>(std::uniform_int_distribution<unsigned>(0, 0xFFFF)(random));
        if (block == 0xA0FB || block == 0xD1FE) block = 0x1234;  // the marker words
        image.Entry(block, static_cast<std::uint8_t>(std::uniform_int_distribution<unsigned>(0, 0xFF)(random)),
                    static_cast<std::uint8_t>(std::uniform_int_distribution<unsigned>(0, 7)(random)));
      }
    }
    image.End();
  }
  return image;
}

TEST_F(TableTextFiles, GeneratedTablesComeBackWholeForEveryVersionCode) {
  std::mt19937 random(20261211);
  const std::filesystem::path file = directory_ / "round.txt";
  for (int version : {0, 11, 12, 13, 20, 21, 30}) {
    for (int round = 0; round < 40; ++round) {
      const std::uint8_t spp = std::array<std::uint8_t, 3>{4, 8, 16}[static_cast<std::size_t>(round % 3)];
      unsigned channels = 0;
      const Image table = GeneratedTable(random, spp, channels);
      SCOPED_TRACE(::testing::Message() << "version " << version << " round " << round << " channels " << channels);
      ASSERT_TRUE(WriteTableText(table.bytes(), table.sectors(), file, version, Params(spp)));
      Bytes back(table.bytes().size(), 0x5A);
      ASSERT_TRUE(ReadTableText(back, table.sectors(), file, version, Params(spp)));
      ASSERT_EQ(back, table.bytes());
    }
  }
}

}  // namespace
}  // namespace devlib::testing
