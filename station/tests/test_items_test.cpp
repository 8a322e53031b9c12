#include "station/test_items.h"

#include <gtest/gtest.h>

namespace fleetburn {
namespace {

TEST(TestItemTable, EveryRowCarriesItsOwnNumberAndFitsItsFields) {
  for (std::size_t row = 0; row < TestItemTable.size(); ++row) {
    const TestItem& item = TestItemTable[row];
    EXPECT_EQ(item.number, row);
    EXPECT_LE(item.code.size(), 3u) << row;
    EXPECT_LT(item.failText.size(), 32u) << row;
    EXPECT_LT(item.itemName.size(), 32u) << row;
    EXPECT_LT(item.logColumn.size(), 16u) << row;
    if (!item.logColumn.empty()) {
      EXPECT_EQ(item.logColumn.back(), '\t') << row;
    }
  }
}

TEST(TestItemTable, NamesMatchTheItemsThatBearThem) {
  struct Case {
    std::string_view name;
    std::vector<int> numbers;
  };
  const Case cases[] = {
      {"Flash Module Test", {1}},
      {"Preformat", {5}},
      {"Write Test (Full)", {14, 24}},  // two rows share the name
      {"QC Check Temperature", {28}},
      {"Check Chip", {}},               // a row past the test items
      {"preformat", {}},                // exact comparison
      {"", {}},                         // rows without a name never match
  };
  for (const Case& c : cases) EXPECT_EQ(ItemNumbersNamed(c.name), c.numbers) << c.name;
}

TEST(TestItemTable, CodesOutsideTheTableGiveTheEmptyRow) {
  EXPECT_EQ(TestItemOf(kErrorTimeout).failText, "Timeout");
  EXPECT_EQ(TestItemOf(kErrorNone).failText, "No Error");
  EXPECT_EQ(TestItemOf(40).failText, "");
  EXPECT_EQ(TestItemOf(40).code, "C05");
  for (int outside : {-1, 59, 255}) {
    EXPECT_EQ(TestItemOf(outside).failText, "") << outside;
    EXPECT_EQ(TestItemOf(outside).code, "") << outside;
  }
}

TEST(ResultWords, EachResultValueHasItsWord) {
  EXPECT_EQ(ResultWord(kResultRunning), "Running");
  EXPECT_EQ(ResultWord(kResultPass), "Pass");
  EXPECT_EQ(ResultWord(kResultNotRun), "----");
  EXPECT_EQ(ResultWord(kResultFail), "Fail");
  EXPECT_EQ(ResultWord(7), "----");
}

}  // namespace
}  // namespace fleetburn
