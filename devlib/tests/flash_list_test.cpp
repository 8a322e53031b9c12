#include "devlib/flash_list.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "devlib/flash_geometry.h"
#include "platform/debug.h"
#include "platform/paths.h"
#include "testsupport/flash_list_builder.h"

namespace devlib::test {
namespace {

namespace fs = std::filesystem;
using testsupport::FlashListBuilder;
using testsupport::FlashPartSpec;

// The parts of the worked examples: TVA (16 sectors per page, 128 pages,
// 4096 blocks, 2 planes, MLC, Samsung class) and TVB (8, 128, 8192, 1 plane).
FlashPartSpec Tva() {
  return {.uni = "TVA",
          .part = "TV64G2A",
          .sectorsPerPage = 16,
          .pagesPerBlock = 128,
          .blocks = 4096,
          .planes = 2,
          .mlc = true,
          .makerClass = 1,
          .chipEnables = 2,
          .eccMode = 2,
          .flashId = {161, 33, 34, 35, 36}};
}

FlashPartSpec Tvb() {
  return {.uni = "TVB",
          .part = "TV32G1B",
          .sectorsPerPage = 8,
          .pagesPerBlock = 128,
          .blocks = 8192,
          .planes = 1,
          .mlc = false,
          .makerClass = 1,
          .chipEnables = 1,
          .eccMode = 1,
          .flashId = {162, 51, 52, 53, 54}};
}

// A directory of its own that stands in for the program's directory.
class FlashListFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "flash-list-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    directory_ = pattern;
    platform::paths::setProgramDirectory(directory_);
  }
  void TearDown() override {
    platform::paths::setProgramDirectory({});
    std::error_code error;
    fs::remove_all(directory_, error);
  }

  void Write(const std::string& text, const std::string& name = "Flash.ini") {
    std::ofstream stream(directory_ / name, std::ios::binary | std::ios::trunc);
    stream << text;
  }
  FlashListLoadResult Load(const FlashListBuilder& list) {
    list.writeTo(directory_ / "Flash.ini");
    return LoadFlashList("Flash.ini", table_);
  }
  FlashListLoadResult Load(const std::string& text) {
    Write(text);
    return LoadFlashList("Flash.ini", table_);
  }

  fs::path directory_;
  FlashTable table_;
};

TEST(FlashListToken, TakesOneRunOfLettersAndDigitsAfterBlanks) {
  struct Case {
    std::string text;
    FlashTokenStatus status;
    std::string token;
    std::size_t consumed;
  };
  const std::vector<Case> cases = {
      {"TVA TV64G2A", FlashTokenStatus::Found, "TVA", 3},
      {"  \tTV64G2A 6730", FlashTokenStatus::Found, "TV64G2A", 10},
      {"AB-12", FlashTokenStatus::Found, "AB", 2},
      {"-12", FlashTokenStatus::Missing, "", 0},
      {"   ", FlashTokenStatus::Missing, "", 3},
      {"", FlashTokenStatus::Missing, "", 0},
      {"  _X", FlashTokenStatus::Missing, "", 2},
      {"AB_CD", FlashTokenStatus::Found, "AB", 2},
      {"T.1", FlashTokenStatus::Found, "T", 1},
      {"0x1A4A rest", FlashTokenStatus::Found, "0x1A4A", 6},
      {"\xC3\xA9t\xC3\xA9", FlashTokenStatus::Missing, "", 0},
      {std::string(79, '7'), FlashTokenStatus::Found, std::string(79, '7'), 79},
      {" " + std::string(80, '7') + " 1", FlashTokenStatus::TooLong, "", 81},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("text '" + c.text + "'");
    std::string token = "stale";
    std::size_t consumed = 99;
    EXPECT_EQ(ReadFlashListToken(c.text, token, consumed), c.status);
    EXPECT_EQ(token, c.token);
    EXPECT_EQ(consumed, c.consumed);
  }
}

TEST(FlashListToken, ReadersMoveOnByWhatTheLastTokenConsumed) {
  FlashRecordCursor cursor{"TVA  TV64G2A\t6730 x"};
  FixedText<kFlashNameSize> uni;
  FixedText<kFlashNameSize> part;
  std::uint32_t word = 0;
  EXPECT_EQ(ReadFlashListWord(cursor, uni), FlashTokenStatus::Found);
  EXPECT_EQ(ReadFlashListWord(cursor, part), FlashTokenStatus::Found);
  EXPECT_EQ(ReadFlashListNumber(cursor, word), FlashNumberStatus::Converted);
  EXPECT_EQ(uni.view(), "TVA");
  EXPECT_EQ(part.view(), "TV64G2A");
  EXPECT_EQ(word, 6730u);
  EXPECT_EQ(ReadFlashListNumber(cursor, word), FlashNumberStatus::NotANumber);
  EXPECT_EQ(cursor.token, "x");
  EXPECT_EQ(ReadFlashListNumber(cursor, word), FlashNumberStatus::NoToken);
  EXPECT_EQ(word, 6730u);

  // The '-' ends the part name and is where the next token is looked for.
  FlashRecordCursor dashed{"TVX AB-12 6730"};
  EXPECT_EQ(ReadFlashListWord(dashed, uni), FlashTokenStatus::Found);
  EXPECT_EQ(ReadFlashListWord(dashed, part), FlashTokenStatus::Found);
  EXPECT_EQ(part.view(), "AB");
  EXPECT_EQ(ReadFlashListNumber(dashed, word), FlashNumberStatus::NoToken);

  const std::string wideText = std::string(32, 'N') + " 1";
  FlashRecordCursor wide{wideText};
  EXPECT_EQ(ReadFlashListWord(wide, uni), FlashTokenStatus::TooLong);
  EXPECT_EQ(uni.view(), "TVX");
}

TEST(FlashListToken, NumbersAreDecimalOrHexadecimalWithThePrefix) {
  struct Case {
    std::string text;
    FlashNumberStatus status;
    std::uint32_t value;
  };
  const std::vector<Case> cases = {
      {"6730", FlashNumberStatus::Converted, 6730},
      {"007", FlashNumberStatus::Converted, 7},
      {"0", FlashNumberStatus::Converted, 0},
      {"0x1A4A", FlashNumberStatus::Converted, 0x1A4A},
      {"0X1a4a", FlashNumberStatus::Converted, 0x1A4A},
      {"4294967295", FlashNumberStatus::Converted, 4294967295u},
      {"0xFFFFFFFF", FlashNumberStatus::Converted, 0xFFFFFFFFu},
      {"4294967296", FlashNumberStatus::NotANumber, 0},
      {"0x100000000", FlashNumberStatus::NotANumber, 0},
      {"67x0", FlashNumberStatus::NotANumber, 0},
      {"0x", FlashNumberStatus::NotANumber, 0},
      {"0xG1", FlashNumberStatus::NotANumber, 0},
      {"1A4A", FlashNumberStatus::NotANumber, 0},
      {"-1", FlashNumberStatus::NoToken, 0},
      {std::string(80, '1'), FlashNumberStatus::TooLong, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("token '" + c.text + "'");
    FlashRecordCursor cursor{c.text};
    std::uint32_t value = 0;
    EXPECT_EQ(ReadFlashListNumber(cursor, value), c.status);
    EXPECT_EQ(value, c.value);
  }
}

TEST(FlashListFixture, LoadsEveryVendorAndPartInFileOrder) {
  platform::paths::setProgramDirectory(TOLVANE_FLASH_FIXTURE_DIR);
  FlashTable table;
  const FlashListLoadResult result = LoadFlashList("Flash.ini", table);
  platform::paths::setProgramDirectory({});
  ASSERT_TRUE(result.ok) << result.reason;

  const std::vector<std::string> vendors = {"VendorA", "VendorE", "VendorB", "Samsung",
                                            "Hynix",   "Toshiba", "Intel",   "Micron"};
  ASSERT_EQ(table.FlashVendorCount, static_cast<int>(vendors.size()));
  for (std::size_t v = 0; v < vendors.size(); ++v) EXPECT_EQ(table.FlashVendorNames[v].view(), vendors[v]);
  EXPECT_TRUE(table.FlashVendorNames[8].empty());
  EXPECT_EQ(table.FlashVendorStart, (std::array<std::int32_t, 11>{0, 2, 2, 3, 7, 9, 11, 12, 13, 0, 0}));
  EXPECT_EQ(table.FlashEntryCount, 13);

  const std::vector<std::string> unis = {"TVA",    "TVH",    "TVB",    "K9GBG", "K9GBF", "K9HDG", "K9XMODE",
                                         "H27MYR", "H27BG8", "TH7D2E", "TOSHX", "IN29E", "MT29F"};
  for (std::size_t r = 0; r < unis.size(); ++r) EXPECT_EQ(table.entries[r].uniName.view(), unis[r]) << r;
  EXPECT_EQ(table.entries[13], FlashListEntry{});

  const FlashListEntry& tva = table.entries[0];
  EXPECT_EQ(tva.partName.view(), "TV64G2A");
  EXPECT_EQ(tva.typeWord, 6730u);
  EXPECT_EQ(tva.ceCount, 2);
  EXPECT_EQ(tva.eccMode, 2);
  EXPECT_EQ(tva.flashId, (std::array<std::uint8_t, 5>{161, 33, 34, 35, 36}));
  EXPECT_EQ(tva.option11, (std::array<std::uint8_t, 3>{0, 0, 0}));

  EXPECT_EQ(table.entries[1].option11, (std::array<std::uint8_t, 3>{0, 0, 1}));  // half pages
  EXPECT_EQ(table.entries[6].option12, 1);                                       // extra mode
  EXPECT_EQ(table.entries[9].dieOffset, 1024);
  EXPECT_EQ(table.entries[10].partName.view(), "TC58NVG6D2GTA00");
  EXPECT_EQ(table.entries[12].typeWord, 2641u);  // the record has a 16th token

  // Each fixture part says its geometry in the record; the builder says it
  // again from the fields, so both must agree.
  EXPECT_EQ(tva.typeWord, testsupport::FlashTypeWordOf(Tva()));
  EXPECT_EQ(table.entries[2].typeWord, testsupport::FlashTypeWordOf(Tvb()));

  EXPECT_EQ(DescribeFlashRow(table, 3), "[Samsung] Name00 (K9GBG)");
  EXPECT_EQ(DescribeFlashRow(table, 2), "[VendorB] Name00 (TVB)");
  EXPECT_EQ(DescribeFlashRow(table, 13), "row 13");
  EXPECT_EQ(DescribeFlashRow(table, -1), "row -1");
}

TEST(FlashListFixture, FindsALoadedRowByItsExactUniName) {
  platform::paths::setProgramDirectory(TOLVANE_FLASH_FIXTURE_DIR);
  FlashTable table;
  ASSERT_TRUE(LoadFlashList("Flash.ini", table).ok);
  platform::paths::setProgramDirectory({});

  // No match selects the first row, as the station's pages expect.
  struct Case {
    std::string name;
    int row;
  };
  const std::vector<Case> cases = {
      {"TVA", 0}, {"TVH", 1}, {"MT29F", 12}, {"TVB", 2}, {"tva", 0}, {"TV64G2A", 0},
      {"TV", 0},  {"TVAX", 0}, {"", 0},      {"WBG", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("name '" + c.name + "'");
    EXPECT_EQ(FindFlashEntry(table, c.name), c.row);
  }
}

TEST(FlashListSearch, LooksOnlyAtLoadedRows) {
  FlashTable table;
  table.entries[0].uniName.assign("TVA");
  table.entries[3].uniName.assign("LATE");
  table.FlashEntryCount = 1;
  EXPECT_EQ(FindFlashEntry(table, "TVA"), 0);
  EXPECT_EQ(FindFlashEntry(table, "LATE"), 0);
  // A cleared row past the list does not match an empty name.
  EXPECT_EQ(FindFlashEntry(table, ""), 0);
  table.FlashEntryCount = 4;
  EXPECT_EQ(FindFlashEntry(table, "LATE"), 3);
  table.FlashEntryCount = -5;
  EXPECT_EQ(FindFlashEntry(table, "LATE"), 0);
  table.FlashEntryCount = 100000;
  EXPECT_EQ(FindFlashEntry(table, "LATE"), 3);
}

TEST_F(FlashListFileTest, EmptyVendorsAndVendorsWithoutASectionOwnNoRows) {
  FlashListBuilder list;
  list.vendor("First").part(Tva()).vendor("Empty").vendor("Absent", false).vendor("Last").part(Tvb());
  const FlashListLoadResult result = Load(list);
  ASSERT_TRUE(result.ok) << result.reason;
  EXPECT_EQ(table_.FlashVendorCount, 4);
  EXPECT_EQ(table_.FlashEntryCount, 2);
  EXPECT_EQ((std::vector<int>(table_.FlashVendorStart.begin(), table_.FlashVendorStart.begin() + 5)),
            (std::vector<int>{0, 1, 1, 1, 2}));
  EXPECT_EQ(table_.entries[1].uniName.view(), "TVB");
}

TEST_F(FlashListFileTest, TheNumberTokensFillTheirFieldsAsTheListDefinesThem) {
  FlashPartSpec spec = Tva();
  spec.rawTypeWord = 65536 + 6730;  // the whole word is kept; its low 16 bits are the type word
  spec.firmwareOption7 = 0x5A;
  spec.extraMode = 70000;  // low 16 bits kept
  spec.option13 = 65537;
  spec.dieOffset = 65536 + 1024;
  spec.option15 = 300;  // low byte kept
  FlashPartSpec half = Tvb();
  half.uni = "HALF";
  half.halfPages = true;
  FlashListBuilder list;
  list.vendor("V").part(spec).part(half).record("WIDE P 6730 2 2 1 2 3 4 5 33489154 0 0 0 0");
  const FlashListLoadResult result = Load(list);
  ASSERT_TRUE(result.ok) << result.reason;

  const FlashListEntry& e = table_.entries[0];
  EXPECT_EQ(e.typeWord, 65536u + 6730u);
  EXPECT_EQ(e.option11, (std::array<std::uint8_t, 3>{0x5A, 0, 0}));
  EXPECT_EQ(e.option12, 70000 & 0xFFFF);
  EXPECT_EQ(e.option13, 1);
  EXPECT_EQ(e.dieOffset, 1024);
  EXPECT_EQ(e.option15, 300 & 0xFF);
  // 65536 in token 11 is the half-pages flag alone.
  EXPECT_EQ(table_.entries[1].option11, (std::array<std::uint8_t, 3>{0, 0, 1}));
  // 0x01FF0102: bits 24 and up mean nothing.
  EXPECT_EQ(table_.entries[2].option11, (std::array<std::uint8_t, 3>{0x02, 0x01, 0xFF}));
}

TEST_F(FlashListFileTest, AcceptsWhatTheFormatAllows) {
  struct Case {
    std::string name;
    FlashListBuilder list;
    int entries;
    std::string lastUni;
  };
  FlashPartSpec sixteen = Tva();
  sixteen.trailingTokens = "0 and-more.text";
  FlashListBuilder sixteenTokens;
  sixteenTokens.vendor("V").part(sixteen);

  FlashPartSpec longest = Tva();
  longest.uni = std::string(31, 'U');
  longest.part = std::string(31, 'P');
  FlashListBuilder longestNames;
  longestNames.vendor(std::string(19, 'V')).part(longest);

  const std::string record15 = "TVA TV64G2A 6730 2 2 161 33 34 35 36 0 0 0 0 0 ";
  FlashListBuilder fullRecord;
  fullRecord.vendor("V").record(record15 + std::string(kFlashRecordLimit - record15.size(), '9'));

  FlashListBuilder hexTypeWord;
  hexTypeWord.vendor("V").record("TVA TV64G2A 0x1A4A 2 2 0xA1 33 34 35 36 0 0 0 0 0");

  FlashListBuilder tenVendors;
  for (int v = 0; v < kFlashVendorLimit; ++v) tenVendors.vendor("V" + std::to_string(v)).part(Tvb());

  FlashListBuilder fullTable;
  for (int v = 0; v < 5; ++v) {
    fullTable.vendor("V" + std::to_string(v));
    for (int p = 0; p < kFlashTableRows / 5; ++p) {
      FlashPartSpec spec = Tvb();
      spec.uni = "P" + std::to_string(v * 100 + p);
      fullTable.part(spec);
    }
  }

  FlashListBuilder noEndMarkers;
  noEndMarkers.vendor("V").part(Tva()).part(Tvb()).endMarkers(false);

  const std::vector<Case> cases = {
      {"16 tokens", sixteenTokens, 1, "TVA"},
      {"names at their limits", longestNames, 1, std::string(31, 'U')},
      {"record of 255 characters", fullRecord, 1, "TVA"},
      {"hexadecimal numbers", hexTypeWord, 1, "TVA"},
      {"10 vendors", tenVendors, 10, "TVB"},
      {"500 parts", fullTable, kFlashTableRows, "P499"},
      {"lists that just stop", noEndMarkers, 2, "TVB"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const FlashListLoadResult result = Load(c.list);
    EXPECT_TRUE(result.ok) << result.reason;
    ASSERT_EQ(table_.FlashEntryCount, c.entries);
    EXPECT_EQ(table_.entries[static_cast<std::size_t>(c.entries - 1)].uniName.view(), c.lastUni);
  }
}

TEST_F(FlashListFileTest, ReadsHandWrittenFilesTheWayTheProfileServiceDoes) {
  const std::string text =
      "; comment\n"
      "[vendor]\n"
      "  name00 =  \"VendorA\"  \n"
      "NAME01=VendorB\n"
      "Name02=\n"
      "\n"
      "[VENDORA]\n"
      "Name00=TVA TV64G2A 6730 2 2 161 33 34 35 36 0 0 0 0 0\n"
      "\n"
      "Name01=TVH TV64G2H 6730 2 2 161 33 34 35 36 65536 0 0 0 0\n"
      "Name03=SKIP SKIPPED 6730 2 2 161 33 34 35 36 0 0 0 0 0\n"
      "[VendorB]\n"
      "Name00=TVB TV32G1B 4233 1 1 162 51 52 53 54 0 0 0 0 0\n"
      "Name01=No\n"
      "Name02=LATE LATE 4233 1 1 162 51 52 53 54 0 0 0 0 0\n"
      "[VendorA]\n"
      "Name00=DUP DUP 4233 1 1 0 0 0 0 0 0 0 0 0 0\n";
  // Name02= is empty, not "No": a third vendor with an empty name and no section.
  const FlashListLoadResult result = Load(text);
  ASSERT_TRUE(result.ok) << result.reason;
  EXPECT_EQ(table_.FlashVendorCount, 3);
  EXPECT_EQ(table_.FlashVendorNames[0].view(), "VendorA");
  EXPECT_EQ(table_.FlashEntryCount, 3);
  EXPECT_EQ(table_.entries[0].uniName.view(), "TVA");
  EXPECT_EQ(table_.entries[1].uniName.view(), "TVH");
  EXPECT_EQ(table_.entries[2].uniName.view(), "TVB");
  EXPECT_EQ(table_.FlashVendorStart[3], 3);
}

// Each damaged list fails the load with a reason, and the table loaded
// before stays as it was.
TEST_F(FlashListFileTest, RefusesADamagedListAndKeepsTheLoadedOne) {
  struct Case {
    std::string name;
    std::string text;
    std::string reason;
  };
  const auto oneVendor = [](const std::string& record) {
    return FlashListBuilder().vendor("VendorA").record(record).text();
  };
  const auto withSpec = [](const FlashPartSpec& spec) {
    return FlashListBuilder().vendor("VendorA").part(spec).text();
  };
  FlashPartSpec longUni = Tva();
  longUni.uni = std::string(32, 'U');
  FlashPartSpec longPart = Tva();
  longPart.part = std::string(32, 'P');

  FlashListBuilder elevenVendors;
  for (int v = 0; v <= kFlashVendorLimit; ++v) elevenVendors.vendor("V" + std::to_string(v));
  FlashListBuilder tooManyParts;
  for (int v = 0; v < 2; ++v) {
    tooManyParts.vendor("V" + std::to_string(v));
    for (int p = 0; p < 251; ++p) tooManyParts.part(Tvb());
  }
  const std::string tail = " 0 0 0 0 0";
  const std::string record15 = "TVA TV64G2A 6730 2 2 161 33 34 35 36 0 0 0 0 0 ";

  const std::vector<Case> cases = {
      {"no vendor", "[Vendor]\r\nName00=No\r\n[No]\r\nName00=" + FlashRecord(Tva()) + "\r\n",
       "[Vendor] names no vendor"},
      {"no [Vendor] section", "[VendorA]\r\nName00=" + FlashRecord(Tva()) + "\r\n", "[Vendor] names no vendor"},
      {"binary garbage", std::string("\x00\xFF[\x01]\n=\x7F", 8), "[Vendor] names no vendor"},
      {"dash in the part name", oneVendor("TVX AB-12 6730 2 2 161 33 34 35 36" + tail),
       "[VendorA] Name00 (TVX): token 3 is missing"},
      {"nine tokens", oneVendor("TVY TV1 6730 2 2 161 33 34 35"), "[VendorA] Name00 (TVY): token 10 is missing"},
      {"comma separators", oneVendor("TVC,TV1,6730,2,2,161,33,34,35,36,0,0,0,0,0"), "token 2 is missing"},
      {"empty record", oneVendor(""), "[VendorA] Name00: token 1 is missing"},
      {"not an integer", oneVendor("TVZ TV2 67x0 2 2 161 33 34 35 36" + tail),
       "(TVZ): token 3: '67x0' is not a valid integer value"},
      {"number above 32 bits", oneVendor("TVZ TV2 6730 2 2 161 33 34 35 36 4294967296 0 0 0 0"),
       "token 11: '4294967296' is not a valid integer value"},
      {"token over 79 characters", oneVendor("TVA TV64G2A " + std::string(80, '6') + " 2 2"),
       "token 3 is longer than 79 characters"},
      {"uni name over 31 characters", withSpec(longUni), "token 1 is longer than 31 characters"},
      {"part name over 31 characters", withSpec(longPart), "token 2 is longer than 31 characters"},
      {"record over 255 characters", oneVendor(record15 + std::string(kFlashRecordLimit + 1 - record15.size(), '9')),
       "(TVA): the record is longer than 255 characters"},
      {"vendor name over 19 characters", FlashListBuilder().vendor(std::string(20, 'V')).text(),
       "[Vendor] Name00: the vendor name '" + std::string(20, 'V') + "' is longer than 19 characters"},
      {"11 vendors", elevenVendors.text(), "[Vendor] names more than 10 vendors"},
      {"501 parts", tooManyParts.text(), "[V1] Name249 (TVB): the list holds more than 500 parts"},
  };

  platform::paths::setProgramDirectory(TOLVANE_FLASH_FIXTURE_DIR);
  FlashTable loaded;
  ASSERT_TRUE(LoadFlashList("Flash.ini", loaded).ok);
  platform::paths::setProgramDirectory(directory_);

  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    table_ = loaded;
    platform::debug::CaptureSink debug;
    const FlashListLoadResult result = Load(c.text);
    EXPECT_FALSE(result.ok);
    EXPECT_NE(result.reason.find(c.reason), std::string::npos) << result.reason;
    EXPECT_EQ(result.userMessage, "Please make sure the flash file Flash.ini format correct!");
    EXPECT_TRUE(debug.contains(c.reason));
    EXPECT_TRUE(table_ == loaded);
  }
}

// One part the controller cannot use costs the list nothing: it loads among
// the others with what is wrong with it, choosing it is refused with the row
// and the reason, and the parts around it are chosen as ever.
TEST_F(FlashListFileTest, AnUnusablePartLoadsAndIsRefusedWhenChosen) {
  struct Case {
    std::string name;
    FlashPartSpec part;
    std::string problem;
  };
  const auto bad = [](auto change) {
    FlashPartSpec spec = Tva();
    spec.uni = "BAD";
    change(spec);
    return spec;
  };
  const std::vector<Case> cases = {
      {"flash ID above a byte", bad([](FlashPartSpec& s) { s.flashId[3] = 256; }), "token 9: 256 does not fit in a byte"},
      // Its low byte, 2, would pass for a usable count.
      {"chip enables above a byte", bad([](FlashPartSpec& s) { s.chipEnables = 258; }),
       "token 4: 258 does not fit in a byte"},
      {"ECC mode above a byte", bad([](FlashPartSpec& s) { s.eccMode = 300; }), "token 5: 300 does not fit in a byte"},
      {"no chip enable", bad([](FlashPartSpec& s) { s.chipEnables = 0; }), "the chip enable count is 0"},
      {"nine chip enables", bad([](FlashPartSpec& s) { s.chipEnables = 9; }), "the chip enable count 9 is above 8"},
      {"sectors per page index 3", bad([](FlashPartSpec& s) { s.rawTypeWord = 0x1A4B; }),
       "type word 0x1A4B: sectors per page index 3 is not supported"},
      {"pages per block index 4", bad([](FlashPartSpec& s) { s.rawTypeWord = 0x1A62; }),
       "type word 0x1A62: pages per block index 4 is not supported"},
      {"block index 5", bad([](FlashPartSpec& s) { s.rawTypeWord = 0x1B4A; }),
       "type word 0x1B4A: block index 5 is not supported"},
      {"block index 7 in the high word", bad([](FlashPartSpec& s) { s.rawTypeWord = 0x11BCA; }),
       "type word 0x1BCA: block index 7 is not supported"},
  };
  SettingsRecord settings;
  settings.Channel = 8;
  settings.Bank = 2;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FlashListBuilder list;
    list.vendor("VendorA").part(Tva()).part(c.part).vendor("VendorB").part(Tvb());
    platform::debug::CaptureSink debug;
    const FlashListLoadResult result = Load(list);
    ASSERT_TRUE(result.ok) << result.reason;
    ASSERT_EQ(table_.FlashEntryCount, 3);
    EXPECT_EQ(table_.entries[1].uniName.view(), "BAD");
    EXPECT_EQ(table_.entries[1].problem.view(), c.problem);
    EXPECT_TRUE(table_.entries[0].problem.empty());
    EXPECT_TRUE(table_.entries[2].problem.empty());
    EXPECT_TRUE(debug.contains("[VendorA] Name01 (BAD): " + c.problem + "; choosing this part is refused"));

    FlashParams params;
    SettingsRecord chosen = settings;
    const FlashDecodeResult refused = DecodeFlashSetting(params, chosen, table_, FindFlashEntry(table_, "BAD"));
    EXPECT_FALSE(refused.ok);
    EXPECT_EQ(refused.message, "flash part [VendorA] Name01 (BAD): " + c.problem);
    EXPECT_TRUE(params == FlashParams{});
    EXPECT_TRUE(chosen == settings);

    for (const char* good : {"TVA", "TVB"}) {
      SettingsRecord goodSettings = settings;
      const FlashDecodeResult applied = DecodeFlashSetting(params, goodSettings, table_, FindFlashEntry(table_, good));
      EXPECT_TRUE(applied.ok) << good << ": " << applied.message;
      EXPECT_EQ(params.setting.partName, table_.entries[static_cast<std::size_t>(FindFlashEntry(table_, good))].partName);
    }
  }
}

TEST_F(FlashListFileTest, AMissingFileFailsWithTheNameTheStationGave) {
  table_.FlashEntryCount = 7;
  const FlashListLoadResult result = LoadFlashList("NoSuch.ini", table_);
  EXPECT_FALSE(result.ok);
  EXPECT_EQ(result.reason, "the file cannot be read");
  EXPECT_EQ(result.userMessage, "Please make sure the flash file NoSuch.ini format correct!");
  EXPECT_EQ(table_.FlashEntryCount, 7);

  // A directory of that name is no list either.
  fs::create_directory(directory_ / "Dir.ini");
  EXPECT_FALSE(LoadFlashList("Dir.ini", table_).ok);
}

TEST_F(FlashListFileTest, FindsTheFileWhateverItsCase) {
  FlashListBuilder list;
  list.vendor("V").part(Tva());
  list.writeTo(directory_ / "FLASH.INI");
  const FlashListLoadResult result = LoadFlashList("Flash.ini", table_);
  ASSERT_TRUE(result.ok) << result.reason;
  EXPECT_EQ(FindFlashEntry(table_, "TVA"), 0);
}

TEST(FlashListMessages, TheUserTextNamesTheFile) {
  EXPECT_EQ(std::string(kFlashFileFormatMessage), "Please make sure the flash file %s format correct!");
  EXPECT_EQ(FlashFileFormatMessage("My Flash.ini"), "Please make sure the flash file My Flash.ini format correct!");
  EXPECT_EQ(DescribeFlashRow("VendorA", 7, "TVA"), "[VendorA] Name07 (TVA)");
  EXPECT_EQ(DescribeFlashRow("V", 123, ""), "[V] Name123");
}

// Damaged copies of a valid list: mutated bytes, cut files and garbage.
// Nothing may crash or hang; a loaded table must hold only usable parts
// within the limits, and a failure must leave the table as it was.
TEST_F(FlashListFileTest, SurvivesDamagedFiles) {
  std::ifstream fixture(fs::path(TOLVANE_FLASH_FIXTURE_DIR) / "Flash.ini", std::ios::binary);
  const std::string valid((std::istreambuf_iterator<char>(fixture)), std::istreambuf_iterator<char>());
  ASSERT_FALSE(valid.empty());
  const std::string alphabet = " \t\r\n=[];-_.0123456789xNoVendorName";

  std::mt19937 random(20240611);
  const auto pick = [&random](std::size_t bound) {
    return std::uniform_int_distribution<std::size_t>(0, bound - 1)(random);
  };
  platform::debug::CaptureSink quiet;
  int loaded = 0;
  for (int round = 0; round < 1500; ++round) {
    std::string text = valid;
    switch (round % 4) {
      case 0:  // a few changed bytes
        for (std::size_t n = 1 + pick(6); n > 0; --n) text[pick(text.size())] = alphabet[pick(alphabet.size())];
        break;
      case 1:  // cut short
        text.resize(pick(text.size() + 1));
        break;
      case 2:  // bytes of any value
        for (std::size_t n = 1 + pick(20); n > 0; --n) text[pick(text.size())] = static_cast<char>(pick(256));
        break;
      default:  // pure garbage
        text.assign(pick(600), '\0');
        for (char& c : text) c = static_cast<char>(pick(256));
        break;
    }
    const FlashTable before = table_;
    const FlashListLoadResult result = Load(text);
    if (!result.ok) {
      EXPECT_FALSE(result.reason.empty());
      ASSERT_TRUE(table_ == before) << "round " << round;
      continue;
    }
    ++loaded;
    ASSERT_GE(table_.FlashVendorCount, 1);
    ASSERT_LE(table_.FlashVendorCount, kFlashVendorLimit);
    ASSERT_LE(table_.FlashEntryCount, kFlashTableRows);
    for (int v = 0; v < table_.FlashVendorCount; ++v) {
      ASSERT_LE(table_.FlashVendorStart[v], table_.FlashVendorStart[v + 1]);
    }
    ASSERT_EQ(table_.FlashVendorStart[table_.FlashVendorCount], table_.FlashEntryCount);
    for (int r = 0; r < table_.FlashEntryCount; ++r) {
      const FlashListEntry& e = table_.entries[r];
      // A part the controller cannot use is loaded marked so.
      if (!FlashPartProblem(static_cast<std::uint16_t>(e.typeWord), e.ceCount).empty()) {
        ASSERT_FALSE(e.problem.empty()) << "round " << round;
      }
      ASSERT_FALSE(e.uniName.empty());
    }
  }
  // Most single-byte damage lands in comments, names or blanks and still loads.
  EXPECT_GT(loaded, 50);
}

}  // namespace
}  // namespace devlib::test
