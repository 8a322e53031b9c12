#include "devlib/flash_geometry.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "platform/debug.h"
#include "platform/paths.h"
#include "testsupport/flash_list_builder.h"

namespace devlib::test {
namespace {

namespace fs = std::filesystem;
using testsupport::FlashTypeWordOf;
using Bank8 = std::array<std::uint8_t, 8>;

const FlashTable& FixtureTable() {
  static const FlashTable table = [] {
    FlashTable loaded;
    platform::paths::setProgramDirectory(TOLVANE_FLASH_FIXTURE_DIR);
    const FlashListLoadResult result = LoadFlashList("Flash.ini", loaded);
    platform::paths::setProgramDirectory({});
    EXPECT_TRUE(result.ok) << result.reason;
    return loaded;
  }();
  return table;
}

int Row(const std::string& uni) {
  const int row = FindFlashEntry(FixtureTable(), uni);
  EXPECT_EQ(FixtureTable().entries[static_cast<std::size_t>(row)].uniName.view(), uni);
  return row;
}

// The station's settings as a fresh settings file gives them.
SettingsRecord StationSettings() {
  SettingsRecord s;
  s.Channel = 8;
  s.Bank = 2;
  s.DrvCurrent = 1;
  s.DefPercentage = 48;
  s.ResPercentage = 68;
  s.Bch16ReadErrorThreshold = 13;
  s.Bch24ReadErrorThreshold = 20;
  s.Bch16EccErrorCopyThreshold = 4;
  s.Bch24EccErrorCopyThreshold = 15;
  s.WearLevelFrequency = 128;
  s.ScrambleEnable = 1;
  s.RemapEnable = 1;
  s.SecurityCounter = 5;
  s.DirtyDepth = 40;
  s.EnTrimCmd = 1;
  s.TMC0 = 17;
  s.TMC1 = 17;
  s.SerialNum = "KW_0123456789";
  s.SNMinLength = 12;
  s.FirmwareVer = "12345678";
  s.ModelNum = "Tolvane KWFAXX SSD";
  s.VID = "1D6B";
  s.PID = "0105";
  s.VendorName = "Tolvane";
  s.ProductName = "Tolvane KWFAXX";
  s.ManufString = "Tolvane";
  s.ProductString = "Tolvane KWFAXX SSD";
  s.EncryptionString = "ZIvudiz";
  s.OUI = "000000";
  s.UID = "000000000";
  s.FlashUniName = "TVA";
  return s;
}

FlashSetting Setting(std::uint16_t typeWord, int ce, int channels, int banks, int halfPages = 0, int extraMode = 0) {
  FlashSetting s;
  s.typeWord = typeWord;
  s.chipEnables = static_cast<std::uint8_t>(ce);
  s.channels = static_cast<std::uint8_t>(channels);
  s.banks = static_cast<std::uint8_t>(banks);
  s.halfPages = static_cast<std::uint8_t>(halfPages);
  s.extraMode = static_cast<std::uint8_t>(extraMode);
  return s;
}

TEST(FlashTypeWord, DecodesEachFieldOfTheWord) {
  struct Case {
    std::uint16_t word;
    FlashTypeFields fields;
  };
  const std::vector<Case> cases = {
      // The worked examples.
      {0x1081, {8, 64, 8192, 1, false, 1}},
      {6730, {16, 128, 4096, 2, true, 1}},
      {4233, {8, 128, 8192, 1, false, 1}},
      // Every index of every field.
      {FlashTypeWordOf(4, 512, 16384, 8, false, 0), {4, 512, 16384, 8, false, 0}},
      {FlashTypeWordOf(16, 256, 1024, 4, true, 5), {16, 256, 1024, 4, true, 5}},
      {FlashTypeWordOf(8, 64, 2048, 1, false, 3), {8, 64, 2048, 1, false, 3}},
      {0x0003, {0, 64, 2048, 1, false, 0}},
      {0x0007, {0, 64, 2048, 1, false, 0}},
      {0x0020, {4, 0, 2048, 1, false, 0}},
      {0x0038, {4, 0, 2048, 1, false, 0}},
      {0x0140, {4, 64, 0, 1, false, 0}},
      {0x01C0, {4, 64, 0, 1, false, 0}},
      {0xF000, {4, 64, 2048, 1, false, 15}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "word 0x" << std::hex << c.word);
    const FlashTypeFields f = DecodeFlashTypeWord(c.word);
    EXPECT_EQ(f.sectorsPerPage, c.fields.sectorsPerPage);
    EXPECT_EQ(f.pagesPerBlock, c.fields.pagesPerBlock);
    EXPECT_EQ(f.blockValue, c.fields.blockValue);
    EXPECT_EQ(f.planes, c.fields.planes);
    EXPECT_EQ(f.mlc, c.fields.mlc);
    EXPECT_EQ(f.makerClass, c.fields.makerClass);
  }
  EXPECT_EQ(FlashMakerName(0), "Micron");
  EXPECT_EQ(FlashMakerName(2), "Toshiba");
  EXPECT_EQ(FlashMakerName(5), "Mira");
  EXPECT_EQ(FlashMakerName(6), "");
}

TEST(FlashGeometryDecode, GivesTheGeometryOfTheWorkedExample) {
  FlashGeometry g;
  ASSERT_TRUE(DecodeFlashGeometry(Setting(0x1081, 1, 8, 2), g));
  EXPECT_EQ(g.sectorsPerPage, 8);
  EXPECT_EQ(g.pagesPerBlock, 64);
  EXPECT_EQ(g.blockValue, 8192);
  EXPECT_EQ(g.planes, 1);
  EXPECT_EQ(g.halfPlaneBlocks, 4096);

  // Half pages halve the pages per block before anything else uses them.
  const std::uint16_t word = FlashTypeWordOf(16, 256, 4096, 2, true, 1);
  ASSERT_TRUE(DecodeFlashGeometry(Setting(word, 2, 8, 2, 1), g));
  EXPECT_EQ(g.pagesPerBlock, 128);
  EXPECT_EQ(g.halfPlaneBlocks, 1024);
}

TEST(FlashGeometryDecode, BuildsABoundedBankMap) {
  struct Case {
    int banks;
    int ce;
    Bank8 map;
    bool supported;
  };
  const std::vector<Case> cases = {
      {4, 2, {0, 1, 4, 5, 0, 0, 0, 0}, true},       {2, 1, {0, 4, 0, 0, 0, 0, 0, 0}, true},
      {8, 4, {0, 1, 2, 3, 4, 5, 6, 7}, true},       {8, 1, {0, 4, 8, 12, 16, 20, 24, 28}, true},
      {8, 8, {0, 1, 2, 3, 4, 5, 6, 7}, true},       {1, 1, {0, 0, 0, 0, 0, 0, 0, 0}, true},
      {8, 0, {0, 0, 0, 0, 0, 0, 0, 0}, false},  // no chip enable: nothing to count, and no endless loop
      {9, 1, {0, 4, 8, 12, 16, 20, 24, 28}, false}, {255, 2, {0, 1, 4, 5, 8, 9, 12, 13}, false},
      {8, 3, {0, 1, 2, 4, 5, 6, 8, 9}, false},  // stops at the bank count, not at a whole group
      {3, 2, {0, 1, 4, 0, 0, 0, 0, 0}, false},      {0, 1, {0, 0, 0, 0, 0, 0, 0, 0}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.banks << " banks, " << c.ce << " CE");
    FlashGeometry g;
    g.bankMap.fill(0xEE);
    EXPECT_EQ(DecodeFlashGeometry(Setting(6730, c.ce, 8, c.banks), g), c.supported);
    EXPECT_EQ(g.bankMap, c.map);
  }
}

TEST(FlashGeometryDecode, NamesWhatMakesASettingUnusable) {
  struct Case {
    FlashSetting setting;
    std::string problem;
  };
  const std::vector<Case> cases = {
      {Setting(6730, 2, 8, 2), ""},
      {Setting(6730, 1, 1, 1), ""},
      {Setting(6730, 8, 8, 8), ""},
      {Setting(6730, 0, 8, 2), "the chip enable count is 0"},
      {Setting(6730, 9, 8, 2), "the chip enable count 9 is above 8"},
      {Setting(0x1A4B, 2, 8, 2), "type word 0x1A4B: sectors per page index 3 is not supported"},
      {Setting(0x1A62, 2, 8, 2), "type word 0x1A62: pages per block index 4 is not supported"},
      {Setting(0x1B4A, 2, 8, 2), "type word 0x1B4A: block index 5 is not supported"},
      {Setting(6730, 2, 0, 2), "0 channels are not supported (1 to 8)"},
      {Setting(6730, 2, 9, 2), "9 channels are not supported (1 to 8)"},
      {Setting(6730, 2, 8, 0), "0 banks are not supported (1 to 8)"},
      {Setting(6730, 1, 8, 9), "9 banks are not supported (1 to 8)"},
      {Setting(6730, 2, 8, 3), "3 banks are not a multiple of 2 chip enables"},
      {Setting(6730, 4, 8, 2), "2 banks are not a multiple of 4 chip enables"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.problem);
    EXPECT_EQ(FlashSettingProblem(c.setting), c.problem);
  }
  EXPECT_EQ(FlashPartProblem(6730, 2), "");
  EXPECT_EQ(FlashPartProblem(0x1A4B, 2), "type word 0x1A4B: sectors per page index 3 is not supported");
}

FlashParams ParamsOf(const FlashSetting& setting, std::uint16_t resPercentage) {
  FlashParams p;
  p.setting = setting;
  p.resPercentage = resPercentage;
  DecodeFlashGeometry(setting, p.geometry);
  return p;
}

TEST(FlashCapacityFormula, MatchesTheWorkedExamples) {
  struct Case {
    std::string name;
    FlashParams params;
    FlashCapacity capacity;
  };
  const std::uint16_t tva = 6730;
  const std::uint16_t huge = FlashTypeWordOf(16, 512, 16384, 1, true, 1);
  const std::vector<Case> cases = {
      {"TVA, 8 channels, 2 banks, 68 per mille",
       ParamsOf(Setting(tva, 2, 8, 2), 68),
       {125108224, 1024, 2048, 138, 1910}},
      {"TVA with half pages",
       ParamsOf(Setting(tva, 2, 8, 2, 1), 68),
       {1908ull * 16 * 2 * 64 * 16, 1024, 2048, 138, 1910}},
      {"TVB, 4 channels, 1 bank",
       ParamsOf(Setting(4233, 1, 4, 1), 68),
       {3814ull * 8 * 1 * 128 * 8, 4096, 4096, 278, 3818}},
      {"no reserve", ParamsOf(Setting(tva, 2, 8, 2), 0), {2047ull * 16 * 2 * 128 * 16, 1024, 2048, 0, 2048}},
      {"reserve of 1000 per mille", ParamsOf(Setting(tva, 2, 8, 2), 1000), {0, 1024, 2048, 2048, 0}},
      {"reserve above 1000 is taken as 1000", ParamsOf(Setting(tva, 2, 8, 2), 1500), {0, 1024, 2048, 2048, 0}},
      {"fewer usable blocks than kept back", ParamsOf(Setting(0x0000, 1, 1, 1), 990), {0, 1024, 1024, 1013, 11}},
      {"beyond 32 bits", ParamsOf(Setting(huge, 8, 8, 8), 0), {8192ull * 16 * 8 * 512 * 16, 8192, 8192, 0, 8192}},
      {"no channels", ParamsOf(Setting(tva, 2, 0, 2), 68), {0, 1024, 2048, 138, 1910}},
      {"unsupported page size", ParamsOf(Setting(0x1A4B, 2, 8, 2), 68), {0, 1024, 2048, 138, 1910}},
      {"nothing decoded", FlashParams{}, {0, 0, 0, 0, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const FlashCapacity got = ComputeFlashCapacity(c.params);
    EXPECT_EQ(got.sectors, c.capacity.sectors);
    EXPECT_EQ(got.halfPlaneBlocks, c.capacity.halfPlaneBlocks);
    EXPECT_EQ(got.totalBlocks, c.capacity.totalBlocks);
    EXPECT_EQ(got.reservedBlocks, c.capacity.reservedBlocks);
    EXPECT_EQ(got.usableBlocks, c.capacity.usableBlocks);
    EXPECT_EQ(GetFlashCapacity(c.params), c.capacity.sectors);
  }
}

TEST(FlashCapacityFormula, ThePublishedParametersGiveTheCapacity) {
  PublishFlashParams(ParamsOf(Setting(6730, 2, 8, 2), 68));
  EXPECT_EQ(GetFlashCapacity(), 125108224u);
  PublishFlashParams(FlashParams{});
  EXPECT_EQ(GetFlashCapacity(), 0u);
}

TEST(FlashCapacityFormula, LargeUnitFlagComparesInSinglePrecision) {
  struct Case {
    std::uint64_t sectors;
    std::uint8_t flag;
  };
  // clang-format off
  const std::vector<Case> cases = {
      {0, 0},
      {125108224, 0},
      {419430400, 0},  // 200 GiB exactly
      {419430401, 0},  // rounds down to 200 GiB
      {419430416, 0},  // half way: rounds to the even neighbour, 200 GiB
      {419430417, 1},
      {419430432, 1},
      {8589934592ull, 1},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.sectors);
    EXPECT_EQ(LargeUnitFlag(c.sectors), c.flag);
  }
}

TEST(FlashCapacityFormula, RawCapacityInGigabytes) {
  struct Case {
    FlashSetting setting;
    std::uint16_t gigabytes;
  };
  const std::vector<Case> cases = {
      {Setting(6730, 2, 8, 2), 64},
      {Setting(4233, 1, 4, 1), 16},
      {Setting(0x1081, 1, 1, 1), 2},
      {Setting(0x1081, 1, 1, 1, 1), 1},  // half pages
      {Setting(FlashTypeWordOf(4, 64, 1024, 1, false, 0), 1, 1, 1), 0},
      {Setting(FlashTypeWordOf(16, 512, 16384, 1, true, 1), 8, 8, 8), 4096},
      {Setting(0x1A4B, 2, 8, 2), 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "word 0x" << std::hex << c.setting.typeWord);
    FlashGeometry g;
    DecodeFlashGeometry(c.setting, g);
    EXPECT_EQ(ComputeRawCapacityGB(c.setting, g), c.gigabytes);
  }
}

TEST(FlashLayoutByte, CombinesMakerModeDieSpanAndPageCount) {
  struct Case {
    std::string name;
    FlashSetting setting;
    std::uint16_t dieOffset;
    std::uint8_t layout;
  };
  const auto word = [](int ppb, int blocks, int planes, int maker) {
    return FlashTypeWordOf(8, ppb, blocks, planes, true, maker);
  };
  const std::vector<Case> cases = {
      {"Samsung, 4096 blocks, 128 pages", Setting(word(128, 4096, 1, 1), 1, 8, 2), 0, 0x19},
      {"Toshiba without extra mode", Setting(word(128, 4096, 1, 2), 1, 8, 2), 0, 0x09},
      {"Toshiba with extra mode", Setting(word(128, 4096, 1, 2), 1, 8, 2, 0, 1), 0, 0x19},
      {"die offset 1024 on two planes", Setting(word(256, 4096, 2, 1), 1, 8, 2), 1024, 0x16},
      {"die offset not a power of two", Setting(word(128, 4096, 2, 1), 1, 8, 2), 3000, 0x11},
      {"16384 blocks, 512 pages", Setting(word(512, 16384, 1, 1), 1, 8, 2), 0, 0x13},
      {"1024 blocks, 64 pages", Setting(word(64, 1024, 1, 3), 1, 8, 2), 0, 0x10},
      {"2048 blocks, 64 pages halved", Setting(word(64, 2048, 1, 1), 1, 8, 2, 1), 0, 0x17},
      {"unsupported sizes", Setting(0x01E0 | 0x1000, 1, 8, 2), 0, 0x10},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FlashGeometry g;
    DecodeFlashGeometry(c.setting, g);
    EXPECT_EQ(ComputeLayoutByte(c.setting, g, c.dieOffset), c.layout);
  }
  EXPECT_EQ(ComputeLayoutByte(Setting(0x1000, 1, 8, 2), FlashGeometry{}, 0), 0x10);
}

TEST(FlashUnitNumbers, FollowTheLiteralFormulas) {
  struct Case {
    std::string name;
    FlashSetting setting;
    std::uint16_t halfPlaneBlocks;
    std::uint16_t value;
    std::uint16_t unit;   // BlockToUnit(value)
    std::uint16_t block;  // UnitToBlock(value)
  };
  const FlashSetting samsung = Setting(6730, 2, 8, 2);
  const FlashSetting toshiba = Setting(0x2A4A, 2, 8, 2);
  const FlashSetting toshibaExtra = Setting(0x2A4A, 2, 8, 2, 0, 1);
  const std::vector<Case> cases = {
      {"Samsung", samsung, 1024, 10, 5, 20},
      {"Samsung, 16 bits kept", samsung, 1024, 40000, 20000, 14464},
      {"Toshiba with extra mode", toshibaExtra, 1024, 3001, 1500, 6002},
      // Not inverse to each other: UnitToBlock(5) is 10, and BlockToUnit(10) is 10 again.
      {"Toshiba, q 6, small", toshiba, 6, 5, 5, 10},
      {"Toshiba, q 6, block 10", toshiba, 6, 10, 10, 20},
      {"Toshiba, q 6, second group", toshiba, 6, 13, 7, 26},
      {"Toshiba, q 1024", toshiba, 1024, 3000, 1976, 6000},
      {"Toshiba, block group kept to 8 bits", toshiba, 64, 40000, 3648, 14464},
      {"Toshiba, unit group kept to 8 bits", toshiba, 100, 30000, 15000, 8800},
      {"Toshiba, no half-plane blocks", toshiba, 0, 77, 77, 77},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FlashGeometry g;
    g.halfPlaneBlocks = c.halfPlaneBlocks;
    EXPECT_EQ(BlockToUnit(c.value, c.setting, g), c.unit);
    EXPECT_EQ(UnitToBlock(c.value, c.setting, g), c.block);
  }
}

TEST(FlashNumericHelpers, PowersOfTwoAndTrailingZeros) {
  struct Case {
    std::uint32_t value;
    bool power;
    int exponent;
    std::uint8_t trailingZeros;
  };
  const std::vector<Case> cases = {
      {0, false, -1, 0},
      {1, true, 0, 0},
      {2, true, 1, 1},
      {3, false, -1, 0},
      {6, false, -1, 1},
      {12, false, -1, 2},
      {1024, true, 10, 10},
      {0x80000000u, true, 31, 31},
      {0xFFFFFFFFu, false, -1, 0},
      {0x80000001u, false, -1, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value);
    int exponent = -1;
    EXPECT_EQ(Log2Exact(c.value, exponent), c.power);
    EXPECT_EQ(exponent, c.exponent);
    EXPECT_EQ(CountTrailingZeros(c.value), c.trailingZeros);
  }
}

TEST(FlashNumericHelpers, DeviceWordsAreLittleEndian) {
  const std::array<std::uint8_t, 4> bytes = {0x78, 0x56, 0x34, 0x12};
  EXPECT_EQ(ToHost16(std::span<const std::uint8_t, 2>(bytes.data(), 2)), 0x5678);
  EXPECT_EQ(ToHost32(std::span<const std::uint8_t, 4>(bytes)), 0x12345678u);
  std::array<std::uint8_t, 6> out{};
  ToDevice16(std::span<std::uint8_t, 2>(out.data(), 2), 0xA1B2);
  ToDevice32(std::span<std::uint8_t, 4>(out.data() + 2, 4), 0xC1D2E3F4);
  EXPECT_EQ(out, (std::array<std::uint8_t, 6>{0xB2, 0xA1, 0xF4, 0xE3, 0xD2, 0xC1}));
}

TEST(FlashTextHelpers, ReadNonBlankSkipsLineEndsAndSpacesButNotTabs) {
  std::istringstream stream("\r\n  \tA B\r\n\n");
  EXPECT_EQ(ReadNonBlank(stream), '\t');
  EXPECT_EQ(ReadNonBlank(stream), 'A');
  EXPECT_EQ(ReadNonBlank(stream), 'B');
  EXPECT_EQ(ReadNonBlank(stream), std::nullopt);
  EXPECT_EQ(ReadNonBlank(stream), std::nullopt);
}

TEST(FlashTextHelpers, BoundedLengthReadsNoFurtherThanTheLimit) {
  const char unterminated[3] = {'a', 'b', 'c'};
  EXPECT_EQ(BoundedLength(unterminated, 3), 3u);
  EXPECT_EQ(BoundedLength("abc", 5), 3u);
  EXPECT_EQ(BoundedLength("abcdef", 4), 4u);
  EXPECT_EQ(BoundedLength("", 4), 0u);
  EXPECT_EQ(BoundedLength("abc", 0), 0u);
  EXPECT_EQ(BoundedLength(nullptr, 4), 0u);
}

TEST(FlashFileHelpers, SizesOfFilesAndOfWhatIsNoFile) {
  std::string pattern = (fs::temp_directory_path() / "flash-size-XXXXXX").string();
  ASSERT_NE(mkdtemp(pattern.data()), nullptr);
  const fs::path directory = pattern;
  struct Case {
    std::size_t bytes;
    std::uint64_t kilobytes;
  };
  for (const Case& c : std::vector<Case>{{0, 0}, {1, 1}, {1024, 1}, {1025, 2}, {811, 1}, {65536, 64}}) {
    SCOPED_TRACE(c.bytes);
    const fs::path file = directory / ("f" + std::to_string(c.bytes));
    std::ofstream(file, std::ios::binary) << std::string(c.bytes, 'x');
    EXPECT_EQ(GetFileSize(file), c.bytes);
    EXPECT_EQ(GetFileSizeKB(file), c.kilobytes);
  }
  EXPECT_EQ(GetFileSize(directory / "missing"), 0u);
  EXPECT_EQ(GetFileSizeKB(directory / "missing"), 0u);
  EXPECT_EQ(GetFileSize(directory), 0u);
  fs::remove_all(directory);
}

// ---- Applying a flash list row and the settings ----

TEST(FlashSettingDecode, AppliesTheTvaRowAndTheSettings) {
  FlashParams params;
  params.sataBusMode = 2;
  params.usbLedP14 = 1;
  params.checkFlashMask = 31;
  params.vid = 0x1111;
  SettingsRecord settings = StationSettings();
  const FlashDecodeResult result = DecodeFlashSetting(params, settings, FixtureTable(), Row("TVA"));
  ASSERT_TRUE(result.ok) << result.message;

  const FlashSetting& s = params.setting;
  EXPECT_EQ(s.typeWord, 0x1A4A);
  EXPECT_EQ(s.channels, 8);
  EXPECT_EQ(s.banks, 2);
  EXPECT_EQ(s.chipEnables, 2);
  EXPECT_EQ(s.eccMode, 2);
  EXPECT_EQ(s.halfPages, 0);
  EXPECT_EQ(s.extraMode, 0);
  EXPECT_EQ(s.partName.view(), "TV64G2A");
  EXPECT_EQ(s.rawCapacityGB, 64);
  EXPECT_EQ(s.layoutByte, 0x15);

  const FlashGeometry& g = params.geometry;
  EXPECT_EQ(g.blockValue, 4096);
  EXPECT_EQ(g.halfPlaneBlocks, 1024);
  EXPECT_EQ(g.pagesPerBlock, 128);
  EXPECT_EQ(g.planes, 2);
  EXPECT_EQ(g.sectorsPerPage, 16);
  EXPECT_EQ(g.bankMap, (Bank8{0, 1, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(GetFlashCapacity(params), 125108224u);
  EXPECT_EQ(params.largeUnitFlag, 0);

  EXPECT_EQ(params.flashId, (std::array<std::uint8_t, 5>{161, 33, 34, 35, 36}));
  EXPECT_EQ(params.featureByte, 0x49);
  EXPECT_EQ(params.registerSet1, (std::array<std::uint8_t, 7>{0x00, 0x00, 0x00, 0x00, 0x9B, 0x39, 0x54}));
  // Every Samsung part takes 0x21 in the first two bytes of set 2.
  EXPECT_EQ(params.registerSet2, (std::array<std::uint8_t, 7>{0x21, 0x21, 0x11, 0x00, 0x9B, 0xF9, 0x54}));
  std::array<std::uint8_t, 14> options{};
  options[4] = 1;  // ScrambleEnable; RemapEnable is cleared for this maker
  EXPECT_EQ(params.firmwareOptions, options);

  EXPECT_EQ(params.defPercentage, 48);
  EXPECT_EQ(params.resPercentage, 68);
  EXPECT_EQ(params.readErrorThresholdBch16, 13);
  EXPECT_EQ(params.readErrorThresholdBch24, 20);
  EXPECT_EQ(params.eccCopyThresholdBch16, 4);
  EXPECT_EQ(params.eccCopyThresholdBch24, 15);
  EXPECT_EQ(params.wearLevelFrequency, 128);
  EXPECT_EQ(params.securityCounter, 5);
  EXPECT_EQ(params.dirtyDepth, 40);
  EXPECT_EQ(params.drvCurrent, 1);

  EXPECT_EQ(params.vid, 0x1D6B);
  EXPECT_EQ(params.pid, 0x0105);
  EXPECT_EQ(params.firmwareVer.view(), "12345678");
  EXPECT_EQ(params.modelNum.view(), "Tolvane KWFAXX SSD");
  EXPECT_EQ(params.vendorName.view(), "Tolvane");
  EXPECT_EQ(params.productName.view(), "Tolvane KWFAXX");
  EXPECT_EQ(params.manufString.view(), "Tolvane");
  EXPECT_EQ(params.productString.view(), "Tolvane KWFAXX SSD");
  EXPECT_EQ(params.encryptionString.view(), "ZIvudiz");
  EXPECT_EQ(params.oui.view(), "000000");

  // The switches of the settings load stay; the opcode set follows the bus mode.
  EXPECT_EQ(params.sataBusMode, 2);
  EXPECT_EQ(params.opcodeSetSelector, 2);
  EXPECT_EQ(params.usbLedP14, 1);
  EXPECT_EQ(params.checkFlashMask, 31);

  EXPECT_EQ(settings.SerialNum.view(), "W_0123456789");
  EXPECT_EQ(settings.UID.view(), "000000000");
  EXPECT_EQ(settings.DrvCurrent, 1);
}

TEST(FlashSettingDecode, TakesTheRowOptionsAndClearsTheUnusedOnes) {
  FlashTable table;
  table.FlashVendorCount = 1;
  table.FlashVendorNames[0] = "V";
  table.FlashEntryCount = 1;
  table.FlashVendorStart[1] = 1;
  FlashListEntry& e = table.entries[0];
  e.uniName = "OPT";
  e.partName = "TV64G2H";
  e.typeWord = 0x10000 + 6730;
  e.ceCount = 2;
  e.eccMode = 1;
  e.option11 = {0x5A, 0x77, 1};
  e.option12 = 0x0103;  // low byte: the extra mode
  e.option13 = 9;
  e.dieOffset = 1024;
  e.option15 = 0x44;

  FlashParams params;
  params.firmwareOptions[10] = 9;
  params.token13 = 9;
  SettingsRecord settings = StationSettings();
  ASSERT_TRUE(DecodeFlashSetting(params, settings, table, 0).ok);
  EXPECT_EQ(params.setting.typeWord, 6730);
  EXPECT_EQ(params.setting.eccMode, 1);
  EXPECT_EQ(params.firmwareOptions[7], 0x5A);
  EXPECT_EQ(params.firmwareOptions[10], 0);
  EXPECT_EQ(params.token13, 0);
  EXPECT_EQ(params.token14, 1024);
  EXPECT_EQ(params.token15, 0x44);
  EXPECT_EQ(params.setting.halfPages, 1);
  EXPECT_EQ(params.setting.extraMode, 3);
  EXPECT_EQ(params.geometry.pagesPerBlock, 64);
  // Die span 1024 x 2 per plane gives bits 2-3 = 1; 64 pages give 0.
  EXPECT_EQ(params.setting.layoutByte, 0x14);
  EXPECT_EQ(params.setting.rawCapacityGB, 32);
}

TEST(FlashSettingDecode, FeatureByteFollowsTheFirmwareSwitches) {
  struct Case {
    int trim, thermal, alignment;
    std::uint8_t feature;
  };
  const std::vector<Case> cases = {
      {0, 0, 0, 0x48}, {1, 0, 0, 0x49}, {0, 1, 0, 0x4A}, {0, 0, 1, 0x58}, {1, 1, 1, 0x5B},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.trim << c.thermal << c.alignment);
    FlashParams params;
    params.featureByte = 0xFF;
    SettingsRecord settings = StationSettings();
    settings.EnTrimCmd = static_cast<std::uint8_t>(c.trim);
    settings.EnThermalSensor = static_cast<std::uint8_t>(c.thermal);
    settings.EnSizeAlignment = static_cast<std::uint8_t>(c.alignment);
    ASSERT_TRUE(DecodeFlashSetting(params, settings, FixtureTable(), Row("TVB")).ok);
    EXPECT_EQ(params.featureByte, c.feature);
  }
}

TEST(FlashSettingDecode, DirtyDepthIsKeptBetween10And40) {
  for (const auto& [given, kept] :
       std::vector<std::pair<int, int>>{{5, 10}, {60, 40}, {25, 25}, {0, 10}, {10, 10}, {40, 40}, {65535, 40}}) {
    SCOPED_TRACE(given);
    FlashParams params;
    SettingsRecord settings = StationSettings();
    settings.DirtyDepth = static_cast<std::uint16_t>(given);
    ASSERT_TRUE(DecodeFlashSetting(params, settings, FixtureTable(), Row("TVA")).ok);
    EXPECT_EQ(params.dirtyDepth, kept);
    EXPECT_EQ(settings.DirtyDepth, given);
  }
}

TEST(FlashSettingDecode, SerialNumberAndUidGetTheirExactLength) {
  struct Case {
    std::string serial;
    int minLength;
    std::string normalised;
    std::string uid;
    std::string uidNormalised;
  };
  const std::vector<Case> cases = {
      {"ABC", 6, "000ABC", "12345", "000012345"},
      {"0123456789AB", 4, "89AB", "0123456789A", "23456789A"},
      {"KW_0123456789", 12, "W_0123456789", "000000000", "000000000"},
      {"KW_0123456789", 13, "KW_0123456789", "", "000000000"},
      {"ABC", 30, "00000000000000000ABC", "ABCDEF012", "ABCDEF012"},  // at most the 20 characters of IDENTIFY
      {"ABC", 255, "00000000000000000ABC", "1", "000000001"},
      {"", 3, "000", "1", "000000001"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.serial + " / " + std::to_string(c.minLength));
    FlashParams params;
    SettingsRecord settings = StationSettings();
    settings.SerialNum.assign(c.serial);
    settings.SNMinLength = static_cast<std::uint8_t>(c.minLength);
    settings.UID.assign(c.uid);
    ASSERT_TRUE(DecodeFlashSetting(params, settings, FixtureTable(), Row("TVA")).ok);
    EXPECT_EQ(settings.SerialNum.view(), c.normalised);
    EXPECT_EQ(settings.UID.view(), c.uidNormalised);
  }
}

TEST(FlashSettingDecode, UsbIdsAreHexadecimalOrKeepTheirValue) {
  struct Case {
    std::string text;
    std::uint16_t id;
  };
  const std::vector<Case> cases = {
      {"1D6B", 0x1D6B}, {"abcd", 0xABCD}, {"7", 0x0007},     {"", 0x4321},
      {"XYZ", 0x4321},  {"12G4", 0x4321}, {"12345", 0x4321}, {"-1", 0x4321},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("'" + c.text + "'");
    FlashParams params;
    params.vid = 0x4321;
    params.pid = 0x4321;
    SettingsRecord settings = StationSettings();
    settings.VID.assign(c.text);
    settings.PID.assign(c.text);
    platform::debug::CaptureSink debug;
    ASSERT_TRUE(DecodeFlashSetting(params, settings, FixtureTable(), Row("TVA")).ok);
    EXPECT_EQ(params.vid, c.id);
    EXPECT_EQ(params.pid, c.id);
    if (c.id == 0x4321 && !c.text.empty()) {
      EXPECT_TRUE(debug.contains("VID '" + c.text + "' is not a hexadecimal ID"));
    }
  }
}

TEST(FlashSettingDecode, TmcValuesReplaceTheRegisterBytesAfterTheCorrections) {
  FlashParams params;
  SettingsRecord settings = StationSettings();
  settings.EnModifyTMCvalue = 1;
  settings.TMC0 = 0x17;
  settings.TMC1 = 0x18;
  ASSERT_TRUE(DecodeFlashSetting(params, settings, FixtureTable(), Row("K9GBG")).ok);
  EXPECT_EQ(params.registerSet2[0], 0x17);
  EXPECT_EQ(params.registerSet2[1], 0x18);
}

TEST(FlashSettingDecode, LargeUnitFlagFollowsTheCapacity) {
  FlashParams params;
  SettingsRecord settings = StationSettings();
  settings.Bank = 8;  // 1909 x 16 x 8 x 128 x 16 sectors: above 200 GiB
  ASSERT_TRUE(DecodeFlashSetting(params, settings, FixtureTable(), Row("TVA")).ok);
  EXPECT_EQ(GetFlashCapacity(params), 500432896u);
  EXPECT_EQ(params.largeUnitFlag, 1);
  EXPECT_EQ(params.geometry.bankMap, (Bank8{0, 1, 4, 5, 8, 9, 12, 13}));

  settings.Bank = 2;
  ASSERT_TRUE(DecodeFlashSetting(params, settings, FixtureTable(), Row("TVA")).ok);
  EXPECT_EQ(params.largeUnitFlag, 0);
}

TEST(FlashSettingDecode, RefusesRowsItCannotUseAndChangesNothing) {
  FlashTable zeroCe = FixtureTable();
  zeroCe.entries[0].ceCount = 0;
  FlashTable badWord = FixtureTable();
  badWord.entries[2].typeWord = 0x1A4B;

  struct Case {
    std::string name;
    const FlashTable* table;
    int row;
    int channels;
    int banks;
    std::string message;
  };
  const FlashTable& fixture = FixtureTable();
  const std::vector<Case> cases = {
      {"row before the list", &fixture, -1, 8, 2, "flash part row -1: no such row in the flash list"},
      {"row after the list", &fixture, 13, 8, 2, "flash part row 13: no such row in the flash list"},
      {"empty list", nullptr, 0, 8, 2, "flash part row 0: no such row in the flash list"},
      {"no chip enable", &zeroCe, 0, 8, 2, "flash part [VendorA] Name00 (TVA): the chip enable count is 0"},
      {"unsupported sizes", &badWord, 2, 8, 2,
       "flash part [VendorB] Name00 (TVB): type word 0x1A4B: sectors per page index 3 is not supported"},
      {"no channels", &fixture, 0, 0, 2, "flash part [VendorA] Name00 (TVA): 0 channels are not supported (1 to 8)"},
      {"nine channels", &fixture, 0, 9, 2, "(TVA): 9 channels are not supported (1 to 8)"},
      {"no banks", &fixture, 2, 8, 0, "flash part [VendorB] Name00 (TVB): 0 banks are not supported (1 to 8)"},
      {"nine banks", &fixture, 2, 8, 9, "(TVB): 9 banks are not supported (1 to 8)"},
      {"banks not a multiple", &fixture, 0, 8, 3, "(TVA): 3 banks are not a multiple of 2 chip enables"},
  };
  const FlashTable empty;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FlashParams params;
    params.vid = 0x1234;
    params.sataBusMode = 1;
    params.downloadFiles = {"/opt/SYS_SSTB.bin"};
    const FlashParams paramsBefore = params;
    SettingsRecord settings = StationSettings();
    settings.SNMinLength = 4;
    settings.Channel = static_cast<std::uint8_t>(c.channels);
    settings.Bank = static_cast<std::uint8_t>(c.banks);
    const SettingsRecord settingsBefore = settings;
    platform::debug::CaptureSink debug;
    const FlashDecodeResult result = DecodeFlashSetting(params, settings, c.table ? *c.table : empty, c.row);
    EXPECT_FALSE(result.ok);
    EXPECT_NE(result.message.find(c.message), std::string::npos) << result.message;
    EXPECT_TRUE(debug.contains(c.message));
    EXPECT_TRUE(params == paramsBefore);
    EXPECT_TRUE(settings == settingsBefore);
  }
}

// ---- Corrections by part number ----

struct QuirkCase {
  std::string name{};
  int maker = 0;
  std::string part{};
  int extraMode = 0;
  int scrambleSeed = 0;
  std::string downloadFile{};
  std::uint8_t feature = 0x49;  // before: trim, 0x08, 0x40
  std::uint8_t partFlag = 0;    // option 13
  std::array<std::uint8_t, 7> set1 = {0x00, 0x00, 0x00, 0x00, 0x9B, 0x39, 0x54};
  std::array<std::uint8_t, 7> set2 = {0x11, 0x11, 0x11, 0x00, 0x9B, 0xF9, 0x54};
  std::uint8_t bch24Copy = 7;
  std::uint8_t remap = 0;
};

void PrintTo(const QuirkCase& c, std::ostream* out) { *out << c.name; }

class PartQuirks : public ::testing::TestWithParam<QuirkCase> {};

TEST_P(PartQuirks, ApplyToTheNamedPartsOnly) {
  const QuirkCase& c = GetParam();
  FlashSetting setting = Setting(FlashTypeWordOf(16, 128, 4096, 2, true, c.maker), 2, 8, 2, 0, c.extraMode);
  setting.partName.assign(c.part);
  FlashParams params = ParamsOf(setting, 68);
  params.featureByte = 0x49;
  params.registerSet1 = {0x00, 0x00, 0x00, 0x00, 0x9B, 0x39, 0x54};
  params.registerSet2 = {0x11, 0x11, 0x11, 0x00, 0x9B, 0xF9, 0x54};
  params.eccCopyThresholdBch24 = 7;
  params.firmwareOptions[5] = 1;  // RemapEnable
  params.enScrambleRandomSeed = static_cast<std::uint8_t>(c.scrambleSeed);
  if (!c.downloadFile.empty()) params.downloadFiles = {c.downloadFile, "/opt/station/SYS_USTB.bin"};

  ApplyPartQuirks(params);
  EXPECT_EQ(params.featureByte, c.feature);
  EXPECT_EQ(params.firmwareOptions[13], c.partFlag);
  EXPECT_EQ(params.registerSet1, c.set1);
  EXPECT_EQ(params.registerSet2, c.set2);
  EXPECT_EQ(params.eccCopyThresholdBch24, c.bch24Copy);
  EXPECT_EQ(params.firmwareOptions[5], c.remap);
}

constexpr std::array<std::uint8_t, 7> kSet2Samsung = {0x21, 0x21, 0x11, 0x00, 0x9B, 0xF9, 0x54};
constexpr std::array<std::uint8_t, 7> kSet1Stdb = {0x00, 0x00, 0x00, 0x00, 0x9B, 0xF9, 0xF4};
constexpr std::array<std::uint8_t, 7> kSet2Stdb = {0x11, 0x11, 0x11, 0x00, 0x9B, 0xF9, 0xF4};

// One row per rule of the list.
// clang-format off
INSTANTIATE_TEST_SUITE_P(ByRule, PartQuirks, ::testing::Values(
    QuirkCase{.name = "SamsungU0F", .maker = 1, .part = "K9GBG08U0F", .feature = 0x29, .set2 = kSet2Samsung},
    QuirkCase{.name = "SamsungU0A", .maker = 1, .part = "K9GBG08U0A",
              .feature = 0x29, .partFlag = 1, .set2 = kSet2Samsung},
    QuirkCase{.name = "SamsungLCG", .maker = 1, .part = "K9LCG08U0A",
              .feature = 0x29, .partFlag = 1, .set2 = kSet2Samsung},
    QuirkCase{.name = "SamsungHDG", .maker = 1, .part = "K9HDG08U1A",
              .feature = 0x29, .partFlag = 1, .set2 = kSet2Samsung, .bch24Copy = 15},
    QuirkCase{.name = "SamsungPFG", .maker = 1, .part = "K9PFG08U5M", .set2 = kSet2Samsung, .bch24Copy = 15},
    QuirkCase{.name = "SamsungExtraMode", .maker = 1, .part = "K9ZZZ08U0Z",
              .extraMode = 1, .feature = 0x29, .set2 = kSet2Samsung},
    QuirkCase{.name = "SamsungOther", .maker = 1, .part = "K9GBG08U0B", .set2 = kSet2Samsung},
    QuirkCase{.name = "SamsungNameOnHynix", .maker = 3, .part = "K9GBG08U0A"},
    QuirkCase{.name = "HynixListed", .maker = 3, .part = "H27UBG8T2A", .feature = 0x69, .partFlag = 1},
    QuirkCase{.name = "HynixVEA", .maker = 3, .part = "H27UDG8VEAXYZ", .feature = 0x69, .partFlag = 1},
    QuirkCase{.name = "HynixMYR", .maker = 3, .part = "H27UCG8T2MYR", .partFlag = 1},
    QuirkCase{.name = "HynixMYRShort", .maker = 3, .part = "H27UCG8T2MY"},
    QuirkCase{.name = "HynixExtraMode", .maker = 3, .part = "H27XXXX", .extraMode = 1, .feature = 0x69},
    QuirkCase{.name = "HynixNameOnSamsung", .maker = 1, .part = "H27UBG8T2A", .set2 = kSet2Samsung},
    QuirkCase{.name = "IntelE", .maker = 4, .part = "JS29F64G08AAME1", .partFlag = 1},
    QuirkCase{.name = "IntelF", .maker = 4, .part = "JS29F64G08AAMF1"},
    QuirkCase{.name = "IntelShortName", .maker = 4, .part = "JS29F64G08AAM"},
    QuirkCase{.name = "IntelSeed", .maker = 4, .part = "JS29F64G08AAMF1", .scrambleSeed = 1, .partFlag = 1},
    QuirkCase{.name = "MicronSeed", .maker = 0, .part = "MT29F64G08CBACA", .scrambleSeed = 1, .partFlag = 1},
    QuirkCase{.name = "SamsungSeed", .maker = 1, .part = "K9GBG08U0B", .scrambleSeed = 1, .set2 = kSet2Samsung},
    QuirkCase{.name = "MicronCBAAA", .maker = 0, .part = "MT29F64G08CBAAA", .partFlag = 1},
    QuirkCase{.name = "MicronCBABA", .maker = 0, .part = "MT29F64G08CBABA", .partFlag = 1},
    QuirkCase{.name = "MicronCBACA", .maker = 0, .part = "MT29F64G08CBACA"},
    QuirkCase{.name = "ToshibaG7D2E", .maker = 2, .part = "TH58TEG7D2EBA8C", .set2 = kSet2Samsung, .remap = 1},
    QuirkCase{.name = "ToshibaOther", .maker = 2, .part = "TH58TEG7D2HBA8C", .remap = 1},
    QuirkCase{.name = "StdbFirmware", .maker = 5, .part = "MIRA1",
              .downloadFile = "/opt/station/SYS_STDB.bin", .set1 = kSet1Stdb, .set2 = kSet2Stdb},
    QuirkCase{.name = "StdbFirmwareWindowsPath", .maker = 5, .part = "MIRA1",
              .downloadFile = "C:\\KW\\SYS_STDBX.bin", .set1 = kSet1Stdb, .set2 = kSet2Stdb},
    QuirkCase{.name = "StdbDirectoryOnly", .maker = 5, .part = "MIRA1", .downloadFile = "/opt/SYS_STDB/SYS_SSTB.bin"},
    QuirkCase{.name = "StdbLowerCase", .maker = 5, .part = "MIRA1", .downloadFile = "/opt/sys_stdb.bin"}),
    [](const auto& testCase) { return testCase.param.name; });
// clang-format on

// Rows of any content and settings of any value: the decoder either applies
// them or refuses them with a message, never crashes, loops or divides by 0.
TEST(FlashSettingDecode, SurvivesArbitraryRowsAndSettings) {
  std::mt19937 random(7411);
  const auto byte = [&random] { return static_cast<std::uint8_t>(random() & 0xFF); };
  const auto small = [&random](int bound) {
    return static_cast<std::uint8_t>(random() % static_cast<unsigned>(bound));
  };
  platform::debug::CaptureSink quiet;
  FlashTable table;
  table.FlashVendorCount = 1;
  table.FlashVendorNames[0] = "V";
  table.FlashEntryCount = 16;
  table.FlashVendorStart[1] = 16;
  int applied = 0;
  for (int round = 0; round < 20000; ++round) {
    FlashListEntry& e = table.entries[static_cast<std::size_t>(round % 16)];
    // Half the rows have sizes the controller supports, so that the applied
    // path is taken often enough.
    e.typeWord = static_cast<std::uint32_t>(random());
    if (round % 2 == 0) e.typeWord = (e.typeWord & ~0x1FFu) | small(3) | (small(4) << 3) | (small(5) << 6);
    e.ceCount = round % 3 == 0 ? byte() : small(9);
    e.eccMode = byte();
    e.option11 = {byte(), byte(), byte()};
    e.option12 = static_cast<std::uint16_t>(random());
    e.dieOffset = static_cast<std::uint16_t>(random());
    e.partName.assign(std::string("K9GBG08U0A", small(11)));

    FlashParams params;
    params.enScrambleRandomSeed = small(2);
    SettingsRecord settings = StationSettings();
    settings.Channel = round % 3 == 1 ? byte() : small(9);
    settings.Bank = round % 3 == 2 ? byte() : small(9);
    settings.ResPercentage = static_cast<std::uint16_t>(random());
    settings.DirtyDepth = static_cast<std::uint16_t>(random());
    settings.SNMinLength = byte();
    const FlashDecodeResult result = DecodeFlashSetting(params, settings, table, round % 18 - 1);
    if (!result.ok) {
      ASSERT_FALSE(result.message.empty());
      continue;
    }
    ++applied;
    ASSERT_GE(params.setting.channels, 1);
    ASSERT_LE(params.setting.channels, 8);
    ASSERT_EQ(params.setting.banks % params.setting.chipEnables, 0);
    ASSERT_LE(settings.SerialNum.size(), 20u);
    const FlashCapacity capacity = ComputeFlashCapacity(params);
    ASSERT_LE(capacity.reservedBlocks, capacity.totalBlocks);
    ASSERT_GE(params.dirtyDepth, 10);
    ASSERT_LE(params.dirtyDepth, 40);
    for (std::size_t n = params.setting.banks; n < 8; ++n) ASSERT_EQ(params.geometry.bankMap[n], 0);

    const auto unit = static_cast<std::uint16_t>(random());
    BlockToUnit(unit, params.setting, params.geometry);
    UnitToBlock(unit, params.setting, params.geometry);
  }
  EXPECT_GT(applied, 100);

  // The formulas themselves take any geometry, decoded or not.
  for (int round = 0; round < 20000; ++round) {
    FlashParams params;
    params.setting = Setting(static_cast<std::uint16_t>(random()), byte(), byte(), byte(), small(2), small(2));
    params.geometry = {static_cast<std::uint16_t>(random()),
                       static_cast<std::uint16_t>(random()),
                       static_cast<std::uint16_t>(random() % 3 ? random() : 0),
                       small(3) == 0 ? std::uint8_t{0} : byte(),
                       small(4) == 0 ? std::uint8_t{0} : byte(),
                       {}};
    params.resPercentage = static_cast<std::uint16_t>(random());
    const FlashCapacity capacity = ComputeFlashCapacity(params);
    ASSERT_LE(capacity.reservedBlocks, capacity.totalBlocks);
    ComputeLayoutByte(params.setting, params.geometry, static_cast<std::uint16_t>(random()));
    ComputeRawCapacityGB(params.setting, params.geometry);
    BlockToUnit(static_cast<std::uint16_t>(random()), params.setting, params.geometry);
    UnitToBlock(static_cast<std::uint16_t>(random()), params.setting, params.geometry);
    ApplyPartQuirks(params);
  }
}

}  // namespace
}  // namespace devlib::test
