// The failure report texts: each code's line, the end of the list, the bad
// CH/CE list, and records that would run past the buffer.

#include "devlib/failure_report.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace devlib {
namespace {

using Bytes = std::vector<std::uint8_t>;

struct Entry {
  std::uint8_t channel, bank, code;
};

// A flash interface failure detail: four head bytes, the entries, the end mark.
Bytes Detail(const std::vector<Entry>& entries, bool endMark = true) {
  Bytes detail(4, 0);
  for (const Entry& e : entries) detail.insert(detail.end(), {e.channel, e.bank, e.code, 0});
  if (endMark) detail.insert(detail.end(), {0xFF, 0xFF, 0xFF, 0xFF});
  return detail;
}

TEST(FlashTestReport, ResetAndSramOnChannel0Bank1) {
  const FailureReport report = FormatFlashTestReport(Detail({{0, 1, 1}, {0, 1, 10}}), 8);
  EXPECT_EQ(report.text,
            "Flash Interface Test Fail\r\n"
            "Flash RESET fail. Ch#00, Bank#01\r\n"
            "Test SRAM Memory Fail\r\n"
            "\r\nBad CH/CE:\r\n"
            "CH#0, BK#1\r\n");
  EXPECT_EQ(report.errorCode, 53);
  EXPECT_EQ(report.badChCeIndices, std::vector<int>{8});
  EXPECT_EQ(report.badChCe[8], 1u) << "the SRAM failure counts nothing";
}

TEST(FlashTestReport, EveryCodeHasItsLineAndError) {
  const struct {
    std::uint8_t code;
    int error;
    const char* line;
  } cases[] = {
      {1, 44, "Flash RESET fail. Ch#03, Bank#02\r\n"},
      {2, 45, "ReadFlashID fail. Ch#03, Bank#02\r\n"},
      {3, 46, "2nd ReadFlashID fail. Ch#03, Bank#02\r\n"},
      {4, 47, "Flash Erase fail. Ch#03, Bank#02\r\n"},
      {5, 48, "Flash Prog fail when turn on ECC. Ch#03, Bank#02\r\n"},
      {6, 49, "Flash Prog fail when turn off ECC. Ch#03, Bank#02\r\n"},
      {7, 50, "Flash ECC fail. Ch#03, Bank#02\r\n"},
      {8, 51, "Flash SpareBytes fail. Ch#03, Bank#02\r\n"},
      {9, 52, "Flash 2nd Erase fail. Ch#03, Bank#02\r\n"},
      {11, 54, "ECC Test fail. Ch#03, Bank#02\r\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(int{c.code});
    const FailureReport report = FormatFlashTestReport(Detail({{3, 2, c.code}}), 4);
    EXPECT_EQ(report.text, std::string("Flash Interface Test Fail\r\n") + c.line + "\r\nBad CH/CE:\r\nCH#3, BK#2\r\n");
    EXPECT_EQ(report.errorCode, c.error);
  }
}

TEST(FlashTestReport, ListEnds) {
  const struct {
    const char* name;
    Bytes detail;
    std::string text;
    std::optional<int> error;
  } cases[] = {
      {"firstEntryEnds", Detail({}), "", std::nullopt},
      {"bankEndMark", Detail({{0, 0xFF, 1}}), "", std::nullopt},
      {"noEndMarkStopsAtTheBufferEnd", Detail({{1, 0, 4}}, false),
       "Flash Interface Test Fail\r\nFlash Erase fail. Ch#01, Bank#00\r\n\r\nBad CH/CE:\r\nCH#1, BK#0\r\n", 47},
      {"emptyDetail", Bytes{}, "", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const FailureReport report = FormatFlashTestReport(c.detail, 4);
    EXPECT_EQ(report.text, c.text);
    EXPECT_EQ(report.errorCode, c.error);
  }
}

// A code the table has no line for adds no line and leaves the error code,
// but counts against its channel and bank like every code except 10.
TEST(FlashTestReport, CodesWithoutALineStillCount) {
  for (const std::uint8_t code : {std::uint8_t{12}, std::uint8_t{0}, std::uint8_t{0x33}, std::uint8_t{0xFE}}) {
    SCOPED_TRACE(int{code});
    const FailureReport report = FormatFlashTestReport(Detail({{1, 2, code}}), 4);
    EXPECT_EQ(report.text, "Flash Interface Test Fail\r\n\r\nBad CH/CE:\r\nCH#1, BK#2\r\n");
    EXPECT_EQ(report.errorCode, std::nullopt);
    EXPECT_EQ(report.badChCe[9], 1u);
    EXPECT_EQ(report.badChCeIndices, std::vector<int>{9});
  }
  // After a code with a line, its error code stays the last one set.
  const FailureReport mixed = FormatFlashTestReport(Detail({{0, 0, 4}, {0, 0, 12}}), 4);
  EXPECT_EQ(mixed.text,
            "Flash Interface Test Fail\r\nFlash Erase fail. Ch#00, Bank#00\r\n\r\nBad CH/CE:\r\nCH#0, BK#0\r\n");
  EXPECT_EQ(mixed.errorCode, 47);
  EXPECT_EQ(mixed.badChCe[0], 2u);
}

// Channel 7, bank 7 of 8 channels is counter 63: beyond the 32 counters, it
// is reported but not counted; zero channels do not divide by zero.
TEST(FlashTestReport, CountersStayInBounds) {
  const FailureReport far = FormatFlashTestReport(Detail({{7, 7, 2}}), 8);
  EXPECT_EQ(far.text, "Flash Interface Test Fail\r\nReadFlashID fail. Ch#07, Bank#07\r\n");
  EXPECT_TRUE(far.badChCeIndices.empty());
  const FailureReport noChannels = FormatFlashTestReport(Detail({{1, 0, 2}}), 0);
  EXPECT_EQ(noChannels.badChCeIndices, std::vector<int>{1});
}

Bytes Record(std::uint8_t code, std::uint8_t channel, std::uint8_t bank, std::uint8_t die, std::uint16_t value,
             const Bytes& data = {}) {
  Bytes record{code, channel, bank, die, static_cast<std::uint8_t>(value & 0xFF), static_cast<std::uint8_t>(value >> 8)};
  record.insert(record.end(), data.begin(), data.end());
  record.resize(16, 0);
  return record;
}

FlashParams Part() {
  FlashParams params;
  params.setting.channels = 4;
  params.setting.banks = 2;
  params.geometry.halfPlaneBlocks = 2000;
  params.flashId = {0x98, 0xD7, 0x94, 0x32, 0x76};
  return params;
}

TEST(TableBuildReport, EveryCodeHasItsText) {
  const struct {
    const char* name;
    Bytes record;
    std::string text;
    std::optional<int> error;
  } cases[] = {
      {"codePageMissing", Record(1, 2, 0, 0, 0), "Code Page Does Not Exist. Ch#02\r\n", 36},
      {"defPageEcc", Record(2, 1, 0, 0, 1), "Def Page Is ECC Fail. Ch#01\r\n", 37},
      {"remapPageMissing", Record(1, 3, 0, 0, 2), "Remap Page Does Not Exist. Ch#03\r\n", 36},
      {"overRatio", Record(3, 1, 1, 0, 50),
       "Number of bad block is over defect ratio:\r\n"
       "Ch#01, Bank#01, Die#00, BadBlockNum: 50, BadBlockNumRatio(1/1000): 25\r\n"
       "\r\nBad CH/CE:\r\nCh#1, CE#1, BadBlockNum: 50\r\n",
       38},
      {"freeBlocks", Record(4, 0, 0, 0, 0), "Number of free block is too large.\r\n", 39},
      {"totalBad", Record(5, 0, 0, 0, 321), "Total bad block number (321) is over (MaxFreeBlcokNum-25)\r\n", 40},
      {"buildFail", Record(6, 0, 0, 0, 0), "Build Table Fail.\r\n", 41},
      {"blockNumber", Record(7, 2, 1, 0, 0x1A2B), "Ch#02, Bank#01, BlockNo#1A2B\r\n", std::nullopt},
      {"scanChannels", Record(0x81, 0, 0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 4, 2}), "Scan Result -  Ch:04 , Bank:02\r\n",
       std::nullopt},
      {"scanId", Record(0x83, 1, 0, 0, 0, {0xEC, 0xD7, 0x14, 0x76, 0x44}),
       "Scan Result -  ID: EC D7 14 76 44 (Ch#01, Bank#00)\r\n", std::nullopt},
      {"unknownCode", Record(0x42, 0, 0, 0, 0), "", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const FailureReport report = FormatTableBuildReport(c.record, 1, Part());
    EXPECT_EQ(report.text, c.text);
    EXPECT_EQ(report.errorCode, c.error);
  }
}

// The flash module test's list: head records 0x80 and 0x82 are 17 bytes long.
TEST(TableBuildReport, HeadRecordsStepOneByteMore) {
  Bytes list = Record(0x80, 0, 0, 0, 0);
  list.push_back(0);
  Bytes id = Record(0x82, 0, 0, 0, 0);
  id.push_back(0);
  list.insert(list.end(), id.begin(), id.end());
  const Bytes bad = Record(3, 0, 1, 0, 20);
  list.insert(list.end(), bad.begin(), bad.end());
  const Bytes bad2 = Record(3, 2, 0, 1, 10);
  list.insert(list.end(), bad2.begin(), bad2.end());
  const FailureReport report = FormatTableBuildReport(list, 4, Part());
  EXPECT_EQ(report.text,
            "Flash Setting - Ch:04 , Bank:02\r\n"
            "Flash Setting - ID: 98 D7 94 32 76\r\n"
            "Number of bad block is over defect ratio:\r\n"
            "Ch#00, Bank#01, Die#00, BadBlockNum: 20, BadBlockNumRatio(1/1000): 10\r\n"
            "Ch#02, Bank#00, Die#01, BadBlockNum: 10, BadBlockNumRatio(1/1000): 5\r\n"
            "\r\nBad CH/CE:\r\n"
            "Ch#2, CE#0, BadBlockNum: 10\r\n"
            "Ch#0, CE#1, BadBlockNum: 20\r\n");
  EXPECT_EQ(report.badChCeIndices, (std::vector<int>{2, 4}));
}

// The flash module test's result list as the test leaves it: byte 0 = 1 +
// entries, the head code at byte 1, entry k at 18 + 16k (code, channel, bank,
// the bytes read from +6). It is formatted from byte 1.
Bytes ModuleList(std::uint8_t headCode, const std::vector<Bytes>& entries) {
  Bytes list(18 + 16 * entries.size() + 512, 0);
  list[0] = static_cast<std::uint8_t>(1 + entries.size());
  list[1] = headCode;
  for (std::size_t k = 0; k < entries.size(); ++k) {
    std::copy(entries[k].begin(), entries[k].end(), list.begin() + static_cast<std::ptrdiff_t>(18 + 16 * k));
  }
  return list;
}

TEST(TableBuildReport, FlashModuleLists) {
  Bytes countReport(16, 0);  // the info block read into entry 0 + 6: channels at [7], banks at [8]
  countReport[0] = 0x81;
  countReport[6 + 7] = 2;
  countReport[6 + 8] = 1;
  const struct {
    const char* name;
    Bytes list;
    std::string text;
  } cases[] = {
      {"idMismatches",
       ModuleList(0x82, {Record(0x83, 1, 0, 0, 0, {0xEC, 0xD7, 0x14, 0x76, 0x44}),
                         Record(0x83, 3, 1, 0, 0, {0, 0, 0, 0, 0})}),
       "Flash Setting - ID: 98 D7 94 32 76\r\n"
       "Scan Result -  ID: EC D7 14 76 44 (Ch#01, Bank#00)\r\n"
       "Scan Result -  ID: 00 00 00 00 00 (Ch#03, Bank#01)\r\n"},
      {"countMismatch", ModuleList(0x80, {countReport}),
       "Flash Setting - Ch:04 , Bank:02\r\n"
       "Scan Result -  Ch:02 , Bank:01\r\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const FailureReport report = FormatTableBuildReport(std::span(c.list).subspan(1), c.list[0], Part());
    EXPECT_EQ(report.text, c.text);
    EXPECT_EQ(report.errorCode, std::nullopt);
  }
}

TEST(TableBuildReport, CountAndBufferBoundTheRecords) {
  Bytes two = Record(6, 0, 0, 0, 0);
  const Bytes second = Record(4, 0, 0, 0, 0);
  two.insert(two.end(), second.begin(), second.end());
  EXPECT_EQ(FormatTableBuildReport(two, 1, Part()).text, "Build Table Fail.\r\n");
  EXPECT_EQ(FormatTableBuildReport(std::span(two).first(20), 2, Part()).text, "Build Table Fail.\r\n")
      << "a record cut by the buffer's end is not read";
  FlashParams noGeometry = Part();
  noGeometry.geometry.halfPlaneBlocks = 0;
  EXPECT_NE(FormatTableBuildReport(Record(3, 0, 0, 0, 7), 1, noGeometry).text.find("BadBlockNumRatio(1/1000): 0"),
            std::string::npos);
}

}  // namespace
}  // namespace devlib
