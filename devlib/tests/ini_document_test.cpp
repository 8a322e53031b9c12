#include "devlib/ini_document.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <limits>
#include <ostream>
#include <string>
#include <vector>

#include "testsupport/settings_file_builder.h"

namespace devlib {
namespace {

using testsupport::LineEnd;
using testsupport::ScratchDirectory;
using testsupport::SettingsFileBuilder;

IniDocument LoadedFrom(const ScratchDirectory& scratch, const std::string& bytes) {
  const auto path = scratch / "loaded.ini";
  SettingsFileBuilder::writeFile(path, bytes);
  IniDocument ini;
  EXPECT_TRUE(ini.LoadIniText(path));
  return ini;
}

// A Windows-written file with the cases the getters must tell apart.
std::string GetterFixture() {
  return SettingsFileBuilder(LineEnd::CrLf)
      .section("Setting")
      .key("EnBarCodeWWN", "1")
      .key("EnBarCode", "0")
      .spacedKey("Spaced", "  ", "7")
      .spacedKey("Tabbed", "\t", "8")
      .key("Blank", " 5")
      .key("Mixed", "12abc")
      .key("Word", "abc")
      .key("Empty", "")
      .key("Huge", "99999999999999999999")
      .key("Name", "Tolvane KWFAXX")
      .key("Equals", "a=b")
      .blank()
      .key("AfterBlank", "3")
      .line("  Indented=4")
      .section("TestItems")
      .key("NextSection", "9")
      .section("setting")
      .key("Lower", "1")
      .section("Setting")
      .key("Second", "2")
      .section("DeviceSetting")
      .key("UIDAutoInc", "1")
      .key("UID", "123")
      .key("Big", "6000000000")
      .section("Only")
      .key("EnBarCodeWWN", "1")
      .text();
}

struct IntCase {
  const char* name;
  const char* section;
  const char* key;
  std::int32_t defaultValue;
  std::int32_t expected;
};

void PrintTo(const IntCase& c, std::ostream* out) { *out << c.name; }

constexpr std::int32_t kInt32Max = std::numeric_limits<std::int32_t>::max();

class IniIntGetter : public ::testing::TestWithParam<IntCase> {};

TEST_P(IniIntGetter, ReadsTheKeysValueOrTheDefault) {
  const ScratchDirectory scratch;
  const IniDocument ini = LoadedFrom(scratch, GetterFixture());
  const IntCase& c = GetParam();
  EXPECT_EQ(ini.GetIniInt(c.section, c.key, c.defaultValue), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, IniIntGetter,
    ::testing::Values(IntCase{"ShorterKeyBelowLongerOne", "Setting", "EnBarCode", 7, 0},
                      IntCase{"LongerKeyAboveShorterOne", "Setting", "EnBarCodeWWN", 7, 1},
                      IntCase{"OnlyALongerKeyPresent", "Only", "EnBarCode", 5, 5},
                      IntCase{"ShortKeyBelowItsLongerNames", "DeviceSetting", "UID", 0, 123},
                      IntCase{"BlanksBeforeEquals", "Setting", "Spaced", 0, 7},
                      IntCase{"TabBeforeEquals", "Setting", "Tabbed", 0, 8},
                      IntCase{"BlankAfterEqualsReadsZero", "Setting", "Blank", 9, 0},
                      IntCase{"DigitsBeforeLetters", "Setting", "Mixed", 0, 12},
                      IntCase{"NoDigitsReadsZero", "Setting", "Word", 9, 0},
                      IntCase{"EmptyValueGivesDefault", "Setting", "Empty", 42, 42},
                      IntCase{"LongDigitRunSaturates", "Setting", "Huge", 0, kInt32Max},
                      IntCase{"SixtyFourBitValueSaturates", "DeviceSetting", "Big", 0, kInt32Max},
                      IntCase{"KeyAfterBlankLineInItsSection", "Setting", "AfterBlank", 0, 3},
                      IntCase{"IndentedKeyIsNoKey", "Setting", "Indented", 6, 6},
                      IntCase{"NextSectionEndsTheSearch", "Setting", "NextSection", 6, 6},
                      IntCase{"MissingSection", "Nowhere", "EnBarCode", 11, 11},
                      IntCase{"SectionNamesAreCaseSensitive", "setting", "Lower", 0, 1},
                      IntCase{"OtherCaseSectionIsNotSearched", "Setting", "Lower", 6, 6},
                      IntCase{"OnlyTheFirstSectionOfANameCounts", "Setting", "Second", 6, 6}),
    [](const auto& testCase) { return std::string(testCase.param.name); });

TEST(IniInt64Getter, ReadsValuesAbove32BitsAndSaturates) {
  const ScratchDirectory scratch;
  const IniDocument ini = LoadedFrom(scratch, GetterFixture());
  EXPECT_EQ(ini.GetIniInt64("DeviceSetting", "Big", 0), 6000000000ULL);
  EXPECT_EQ(ini.GetIniInt64("Setting", "Huge", 0), std::numeric_limits<std::uint64_t>::max());
  EXPECT_EQ(ini.GetIniInt64("Setting", "Empty", 1ULL << 40), 1ULL << 40);
  EXPECT_EQ(ini.GetIniInt64("Setting", "Missing", 5), 5U);
}

struct StringCase {
  const char* name;
  const char* section;
  const char* key;
  const char* defaultValue;
  std::size_t size;
  const char* expected;
};

void PrintTo(const StringCase& c, std::ostream* out) { *out << c.name; }

class IniStringGetter : public ::testing::TestWithParam<StringCase> {};

TEST_P(IniStringGetter, CopiesAtMostSizeLessOneCharacters) {
  const ScratchDirectory scratch;
  const IniDocument ini = LoadedFrom(scratch, GetterFixture());
  const StringCase& c = GetParam();
  EXPECT_EQ(ini.GetIniString(c.section, c.key, c.defaultValue, c.size), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, IniStringGetter,
    ::testing::Values(StringCase{"WholeValueWithoutCarriageReturn", "Setting", "Name", "x", 80, "Tolvane KWFAXX"},
                      StringCase{"ValueCutToTheBuffer", "Setting", "Name", "x", 8, "Tolvane"},
                      StringCase{"EmptyValueIsEmptyNotTheDefault", "Setting", "Empty", "dflt", 10, ""},
                      StringCase{"MissingKeyGivesTheDefault", "Setting", "Missing", "dflt", 10, "dflt"},
                      StringCase{"LongDefaultCutToTheBuffer", "Setting", "Missing", "ABCDEFGHIJ", 6, "ABCDE"},
                      StringCase{"BufferOfOneHoldsNothing", "Setting", "Name", "x", 1, ""},
                      StringCase{"BufferOfNoneHoldsNothing", "Setting", "Missing", "dflt", 0, ""},
                      StringCase{"ValueHoldingEquals", "Setting", "Equals", "", 10, "a=b"},
                      StringCase{"LeadingBlankKept", "Setting", "Blank", "", 10, " 5"}),
    [](const auto& testCase) { return std::string(testCase.param.name); });

TEST(IniLastLine, IsReadWithoutLineEndWhenItHoldsAnEquals) {
  const ScratchDirectory scratch;
  EXPECT_EQ(LoadedFrom(scratch, "[A]\r\nTail=5").GetIniInt("A", "Tail", 0), 5);
  EXPECT_EQ(LoadedFrom(scratch, "[A]\nTail=5\r").GetIniInt("A", "Tail", 0), 5);
  EXPECT_EQ(LoadedFrom(scratch, "[A]").GetIniInt("A", "Tail", 4), 4);
}

struct SetterCase {
  const char* name;
  std::string before;
  const char* section;
  const char* key;
  const char* value;
  std::string after;  // the rebuilt text, LF line ends
};

void PrintTo(const SetterCase& c, std::ostream* out) { *out << c.name; }

class IniSetter : public ::testing::TestWithParam<SetterCase> {};

TEST_P(IniSetter, RebuildsTheTextWithTheKeySet) {
  const ScratchDirectory scratch;
  IniDocument ini = LoadedFrom(scratch, GetParam().before);
  const SetterCase& c = GetParam();
  ASSERT_TRUE(ini.SetIniString(c.section, c.key, c.value));
  EXPECT_EQ(ini.text(), c.after);
  EXPECT_EQ(ini.GetIniString(c.section, c.key, "<missing>", 100), c.value);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, IniSetter,
    ::testing::Values(
        SetterCase{"ReplacesInPlace", "[A]\nk=1\nm=2\n", "A", "k", "9", "[A]\nk=9\nm=2\n"},
        SetterCase{"ReplacesASpacedKeyLine", "[A]\nk  =1\nm=2\n", "A", "k", "9", "[A]\nk=9\nm=2\n"},
        SetterCase{"NewKeyBeforeTheBlankLineOfTheNextSection", "[A]\na=1\n\n[B]\nb=2\n", "A", "c", "3",
                   "[A]\na=1\nc=3\n\n[B]\nb=2\n"},
        SetterCase{"NewKeyStaysInItsSectionWithoutBlankLine", "[A]\na=1\n[B]\nb=2\n", "A", "c", "3",
                   "[A]\na=1\nc=3\n[B]\nb=2\n"},
        SetterCase{"KeyAfterInnerBlankLineReplacedInPlace", "[A]\na=1\n\nc=0\n\n[B]\n", "A", "c", "3",
                   "[A]\na=1\n\nc=3\n\n[B]\n"},
        SetterCase{"NewKeyAfterTheLastKeyPastAnInnerBlankLine", "[A]\na=1\n\nb=2\n\n[B]\n", "A", "c", "3",
                   "[A]\na=1\n\nb=2\nc=3\n\n[B]\n"},
        SetterCase{"NewKeyBeforeTrailingBlankLines", "[A]\na=1\n\n\n", "A", "c", "3", "[A]\na=1\nc=3\n\n\n"},
        SetterCase{"NewSectionAfterABlankLine", "[A]\na=1\n", "B", "b", "2", "[A]\na=1\n\n[B]\nb=2\n"},
        SetterCase{"EmptyText", "", "S", "k", "v", "[S]\nk=v\n"},
        SetterCase{"FinalHeaderWithoutLineEndIsDropped", "[A]\na=1\n[B]", "A", "c", "3", "[A]\na=1\nc=3\n"},
        SetterCase{"KeyOfADroppedFinalHeaderGetsANewSection", "[A]\na=1\n[B]", "B", "x", "1",
                   "[A]\na=1\n\n[B]\nx=1\n"},
        SetterCase{"FinalKeyLineGainsItsLineEnd", "[A]\na=1", "A", "b", "2", "[A]\na=1\nb=2\n"},
        SetterCase{"ShorterKeyLeavesTheLongerOne", "[Setting]\nEnBarCodeWWN=1\n", "Setting", "EnBarCode", "0",
                   "[Setting]\nEnBarCodeWWN=1\nEnBarCode=0\n"},
        SetterCase{"LongerKeyLeavesTheShorterOne", "[D]\nUID=12\nUIDDecimal=0\n", "D", "UIDAutoInc", "1",
                   "[D]\nUID=12\nUIDDecimal=0\nUIDAutoInc=1\n"},
        SetterCase{"CrLfTextRebuiltWithoutCarriageReturns", "[A]\r\na=1\r\nb=2\r\n", "A", "a", "5",
                   "[A]\na=5\nb=2\n"},
        SetterCase{"OnlyTheFirstSectionOfANameIsSet", "[A]\na=1\n[A]\na=2\n", "A", "a", "3", "[A]\na=3\n[A]\na=2\n"},
        SetterCase{"OtherCaseSectionIsNotTheSection", "[a]\nx=1\n", "A", "x", "2", "[a]\nx=1\n\n[A]\nx=2\n"},
        SetterCase{"TextWithoutAnyLine", "junk", "A", "k", "v", "\n[A]\nk=v\n"}),
    [](const auto& testCase) { return std::string(testCase.param.name); });

struct RefusedCase {
  const char* name;
  std::string section;
  std::string key;
  std::string value;
};

void PrintTo(const RefusedCase& c, std::ostream* out) { *out << c.name; }

class IniRefusedSetter : public ::testing::TestWithParam<RefusedCase> {};

TEST_P(IniRefusedSetter, LeavesTheTextAsItWas) {
  const ScratchDirectory scratch;
  IniDocument ini = LoadedFrom(scratch, "[A]\na=1\n");
  const RefusedCase& c = GetParam();
  EXPECT_FALSE(ini.SetIniString(c.section, c.key, c.value));
  EXPECT_EQ(ini.text(), "[A]\na=1\n");
}

INSTANTIATE_TEST_SUITE_P(Cases, IniRefusedSetter,
                         ::testing::Values(RefusedCase{"LineFeedInValue", "A", "a", "x\n[B]"},
                                           RefusedCase{"CarriageReturnInValue", "A", "a", "x\ry"},
                                           RefusedCase{"LineFeedInSection", "A]\n[B", "a", "1"},
                                           RefusedCase{"LineFeedInKey", "A", "a\nb", "1"},
                                           RefusedCase{"EmptyKey", "A", "", "1"},
                                           RefusedCase{"EqualsInKey", "A", "a=b", "1"},
                                           RefusedCase{"KeyLookingLikeAHeader", "A", "[B]", "1"}),
                         [](const auto& testCase) { return std::string(testCase.param.name); });

TEST(IniNumberSetters, WriteSignedAndUnsignedDecimal) {
  IniDocument ini;
  ASSERT_TRUE(ini.SetIniInt("A", "minus", -5));
  ASSERT_TRUE(ini.SetIniInt64("A", "max", std::numeric_limits<std::uint64_t>::max()));
  EXPECT_EQ(ini.text(), "[A]\nminus=-5\nmax=18446744073709551615\n");
  EXPECT_EQ(ini.GetIniInt64("A", "max", 0), std::numeric_limits<std::uint64_t>::max());
}

TEST(IniLoad, UnreadableFileLeavesAnEmptyText) {
  const ScratchDirectory scratch;
  IniDocument ini = LoadedFrom(scratch, "[A]\na=1\n");
  EXPECT_FALSE(ini.LoadIniText(scratch / "missing.ini"));
  EXPECT_EQ(ini.text(), "");
  EXPECT_EQ(ini.GetIniInt("A", "a", 7), 7);

  ini = LoadedFrom(scratch, "[A]\na=1\n");
  EXPECT_FALSE(ini.LoadIniText(scratch.path()));
  EXPECT_EQ(ini.text(), "");

  ini = LoadedFrom(scratch, "[A]\na=1\n");
  EXPECT_FALSE(ini.LoadIniText("/dev/zero"));
  EXPECT_EQ(ini.text(), "");
}

TEST(IniSave, WritesTheCurrentTextWithCrLf) {
  const ScratchDirectory scratch;
  IniDocument ini = LoadedFrom(scratch, "[A]\na=1\n\n[B]\nb=2");
  const auto copy = scratch / "copy.ini";
  ASSERT_TRUE(ini.SaveIniText(copy));
  EXPECT_EQ(SettingsFileBuilder::readFile(copy), "[A]\r\na=1\r\n\r\n[B]\r\nb=2");

  ASSERT_TRUE(ini.SetIniString("B", "c", "3"));
  ASSERT_TRUE(ini.SaveIniText(copy));
  EXPECT_EQ(SettingsFileBuilder::readFile(copy), "[A]\r\na=1\r\n\r\n[B]\r\nb=2\r\nc=3\r\n");
}

TEST(IniSave, ReportsAFailureAndLeavesNoTemporaryFile) {
  const ScratchDirectory scratch;
  IniDocument ini;
  ASSERT_TRUE(ini.SetIniString("A", "a", "1"));
  EXPECT_FALSE(ini.SaveIniText(scratch / "no-such-directory" / "x.ini"));

  const auto occupied = scratch / "occupied";
  std::filesystem::create_directory(occupied);
  SettingsFileBuilder::writeFile(occupied / "inside", "keep");
  EXPECT_FALSE(ini.SaveIniText(occupied));
  EXPECT_EQ(SettingsFileBuilder::readFile(occupied / "inside"), "keep");
  std::vector<std::string> left;
  for (const auto& entry : std::filesystem::directory_iterator(scratch.path())) {
    left.push_back(entry.path().filename().string());
  }
  EXPECT_EQ(left, std::vector<std::string>{"occupied"});
}

TEST(IniSave, ReplacesAnExistingFileWhole) {
  const ScratchDirectory scratch;
  const auto path = scratch / "settings.ini";
  SettingsFileBuilder::writeFile(path, std::string(5000, 'x'));
  IniDocument ini;
  ASSERT_TRUE(ini.SetIniString("A", "a", "1"));
  ASSERT_TRUE(ini.SaveIniText(path));
  EXPECT_EQ(SettingsFileBuilder::readFile(path), "[A]\r\na=1\r\n");
}

TEST(IniLargeFile, RoundTripsPastSixteenKilobytes) {
  const ScratchDirectory scratch;
  SettingsFileBuilder builder(LineEnd::CrLf);
  for (int section = 0; section < 40; ++section) {
    builder.section("Section" + std::to_string(section));
    for (int key = 0; key < 40; ++key) {
      builder.key("Key" + std::to_string(key), "value " + std::to_string(section * 100 + key) + std::string(10, '.'));
    }
    builder.blank();
  }
  ASSERT_GT(builder.text().size(), 2u * 16384);
  const auto path = scratch / "large.ini";
  builder.writeTo(path);

  IniDocument ini;
  ASSERT_TRUE(ini.LoadIniText(path));
  EXPECT_EQ(ini.GetIniString("Section39", "Key39", "", 100), "value 3939..........");
  const auto copy = scratch / "copy.ini";
  ASSERT_TRUE(ini.SaveIniText(copy));
  EXPECT_EQ(SettingsFileBuilder::readFile(copy), builder.text());

  ASSERT_TRUE(ini.SetIniString("Section39", "Added", std::string(3000, 'y')));
  ASSERT_TRUE(ini.SetIniString("Section0", "Key0", "first"));
  ASSERT_TRUE(ini.SaveIniText(copy));
  IniDocument reloaded;
  ASSERT_TRUE(reloaded.LoadIniText(copy));
  EXPECT_EQ(reloaded.GetIniString("Section39", "Added", "", 4000), std::string(3000, 'y'));
  EXPECT_EQ(reloaded.GetIniString("Section0", "Key0", "", 100), "first");
  EXPECT_EQ(reloaded.GetIniString("Section10", "Key20", "", 100), "value 1020..........");
}

}  // namespace
}  // namespace devlib
