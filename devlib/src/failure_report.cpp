#include "devlib/failure_report.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>

#include "byte_fields.h"

namespace devlib {
namespace {

[[gnu::format(printf, 2, 3)]] void Append(std::string& text, const char* format, ...) {
  char line[256];
  std::va_list args;
  va_start(args, format);
  const int length = std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  if (length > 0) text.append(line, std::min<std::size_t>(static_cast<std::size_t>(length), sizeof line - 1));
}

constexpr std::uint8_t kEndMark = 0xFF;
constexpr std::size_t kDetailFirstEntry = 4;
constexpr std::size_t kDetailEntryBytes = 4;
constexpr std::size_t kRecordBytes = 16;
constexpr int kSramFailure = 10;

struct FlashTestLine {
  int code;
  int error;
  const char* what;  // the line is "<what>. Ch#cc, Bank#bb"; none: the SRAM line
};

constexpr FlashTestLine kFlashTestLines[] = {
    {1, 44, "Flash RESET fail"},
    {2, 45, "ReadFlashID fail"},
    {3, 46, "2nd ReadFlashID fail"},
    {4, 47, "Flash Erase fail"},
    {5, 48, "Flash Prog fail when turn on ECC"},
    {6, 49, "Flash Prog fail when turn off ECC"},
    {7, 50, "Flash ECC fail"},
    {8, 51, "Flash SpareBytes fail"},
    {9, 52, "Flash 2nd Erase fail"},
    {10, 53, nullptr},
    {11, 54, "ECC Test fail"},
};

// A channel or bank beyond what 32 counters hold is left uncounted.
void Count(FailureReport& report, int channel, int bank, int channels, std::uint32_t amount) {
  const int index = channel + bank * channels;
  if (index < 0 || static_cast<std::size_t>(index) >= kBadChCeCounters) return;
  report.badChCe[static_cast<std::size_t>(index)] += amount;
}

template <typename Line>
void ListBadChCe(FailureReport& report, int channels, Line line) {
  bool first = true;
  for (std::size_t index = 0; index < kBadChCeCounters; ++index) {
    if (report.badChCe[index] == 0) continue;
    if (first) report.text += "\r\nBad CH/CE:\r\n";
    first = false;
    const int i = static_cast<int>(index);
    line(i % channels, i / channels, report.badChCe[index]);
    report.badChCeIndices.push_back(i);
  }
}

const char* PageName(unsigned value) {
  switch (value) {
    case 0: return "Code Page";
    case 1: return "Def Page";
    case 2: return "Remap Page";
    default: return "";
  }
}

}  // namespace

FailureReport FormatFlashTestReport(std::span<const std::uint8_t> detail, int channels) {
  channels = std::max(channels, 1);
  FailureReport report;
  bool first = true;
  for (std::size_t at = kDetailFirstEntry; at + kDetailEntryBytes <= detail.size(); at += kDetailEntryBytes) {
    const std::uint8_t channel = detail[at];
    const std::uint8_t bank = detail[at + 1];
    const std::uint8_t code = detail[at + 2];
    if (channel == kEndMark || bank == kEndMark || code == kEndMark) break;
    if (first) report.text += "Flash Interface Test Fail\r\n";
    first = false;
    // Looked up by value: a code the table does not know has no line and
    // sets no error code, whatever its value.
    const auto line = std::find_if(std::begin(kFlashTestLines), std::end(kFlashTestLines),
                                   [&](const FlashTestLine& l) { return l.code == code; });
    if (line != std::end(kFlashTestLines)) {
      if (line->what == nullptr) {
        report.text += "Test SRAM Memory Fail\r\n";
      } else {
        Append(report.text, "%s. Ch#%2.2X, Bank#%2.2X\r\n", line->what, unsigned{channel}, unsigned{bank});
      }
      report.errorCode = line->error;
    }
    // Every code but the SRAM failure counts against its channel and bank.
    if (code != kSramFailure) Count(report, channel, bank, channels, 1);
  }
  ListBadChCe(report, channels, [&](int channel, int bank, std::uint32_t) {
    Append(report.text, "CH#%d, BK#%d\r\n", channel, bank);
  });
  return report;
}

FailureReport FormatTableBuildReport(std::span<const std::uint8_t> records, int recordCount, const FlashParams& params) {
  const int channels = std::max<int>(params.setting.channels, 1);
  FailureReport report;
  bool overRatioHeadDone = false;
  std::size_t at = 0;
  for (int n = 0; n < recordCount && at + kRecordBytes <= records.size(); ++n) {
    const auto record = records.subspan(at, kRecordBytes);
    const std::uint8_t code = record[0];
    const unsigned channel = record[1];
    const unsigned bank = record[2];
    const unsigned die = record[3];
    const std::uint16_t value = detail::GetLittleEndian16(record, 4);
    switch (code) {
      case 1:
        Append(report.text, "%s %s. Ch#%2.2X\r\n", PageName(value), "Does Not Exist", channel);
        report.errorCode = 36;
        break;
      case 2:
        Append(report.text, "%s %s. Ch#%2.2X\r\n", PageName(value), "Is ECC Fail", channel);
        report.errorCode = 37;
        break;
      case 3: {
        if (!overRatioHeadDone) report.text += "Number of bad block is over defect ratio:\r\n";
        overRatioHeadDone = true;
        const unsigned halfPlane = params.geometry.halfPlaneBlocks;
        const unsigned ratio = halfPlane == 0 ? 0 : static_cast<unsigned>(std::uint32_t{value} * 1000 / halfPlane);
        Append(report.text, "Ch#%2.2X, Bank#%2.2X, Die#%2.2X, BadBlockNum: %d, BadBlockNumRatio(1/1000): %d\r\n",
               channel, bank, die, int{value}, static_cast<int>(ratio));
        Count(report, static_cast<int>(channel), static_cast<int>(bank), channels, value);
        report.errorCode = 38;
        break;
      }
      case 4:
        report.text += "Number of free block is too large.\r\n";
        report.errorCode = 39;
        break;
      case 5:
        Append(report.text, "Total bad block number (%d) is over (MaxFreeBlcokNum-25)\r\n", int{value});
        report.errorCode = 40;
        break;
      case 6:
        report.text += "Build Table Fail.\r\n";
        report.errorCode = 41;
        break;
      case 7:
        Append(report.text, "Ch#%2.2X, Bank#%2.2X, BlockNo#%4.4X\r\n", channel, bank, unsigned{value});
        break;
      case 0x80:
        Append(report.text, "Flash Setting - Ch:%2.2X , Bank:%2.2X\r\n", unsigned{params.setting.channels},
               unsigned{params.setting.banks});
        break;
      case 0x81:
        Append(report.text, "Scan Result -  Ch:%2.2X , Bank:%2.2X\r\n", unsigned{record[6 + 7]},
               unsigned{record[6 + 8]});
        break;
      case 0x82: {
        const auto& id = params.flashId;
        Append(report.text, "Flash Setting - ID: %2.2X %2.2X %2.2X %2.2X %2.2X\r\n", unsigned{id[0]}, unsigned{id[1]},
               unsigned{id[2]}, unsigned{id[3]}, unsigned{id[4]});
        break;
      }
      case 0x83:
        Append(report.text, "Scan Result -  ID: %2.2X %2.2X %2.2X %2.2X %2.2X (Ch#%2.2X, Bank#%2.2X)\r\n",
               unsigned{record[6]}, unsigned{record[7]}, unsigned{record[8]}, unsigned{record[9]},
               unsigned{record[10]}, channel, bank);
        break;
      default:
        break;
    }
    // The flash module test's head records are one byte longer.
    at += kRecordBytes + (code == 0x80 || code == 0x82 ? 1 : 0);
  }
  ListBadChCe(report, channels, [&](int channel, int bank, std::uint32_t count) {
    Append(report.text, "Ch#%d, CE#%d, BadBlockNum: %d\r\n", channel, bank, static_cast<int>(count));
  });
  return report;
}

}  // namespace devlib
