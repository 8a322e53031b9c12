#include "devlib/flash_list.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <system_error>
#include <utility>

#include "devlib/debug_print.h"
#include "devlib/flash_geometry.h"
#include "platform/paths.h"
#include "platform/private_profile.h"

namespace devlib {
namespace {

constexpr std::string_view kVendorSection = "Vendor";
constexpr std::string_view kListEnd = "No";

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

bool IsLetterOrDigit(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

std::string KeyName(int index) {
  char key[16];
  std::snprintf(key, sizeof key, "Name%2.2d", index);
  return key;
}

std::optional<std::uint32_t> ParseListNumber(std::string_view text) {
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    text.remove_prefix(2);
    base = 16;
  }
  if (text.empty()) return std::nullopt;
  std::uint32_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  if (error != std::errc{} || end != text.data() + text.size()) return std::nullopt;
  return value;
}

FlashTokenStatus NextToken(FlashRecordCursor& cursor) {
  cursor.rest.remove_prefix(std::min(cursor.consumed, cursor.rest.size()));
  return ReadFlashListToken(cursor.rest, cursor.token, cursor.consumed);
}

std::string MissingToken(int index) {
  return "token " + std::to_string(index) + " is missing (only letters and digits make a token, blanks separate them)";
}

// Reads the tokens of one record in order. The first failure is kept and
// every later read gives nothing. A byte token above 255 is no failure of
// the record: its low byte is kept, and the part is marked unusable.
class RecordParser {
 public:
  explicit RecordParser(std::string_view record) : cursor_{record} {}

  void word(FixedText<kFlashNameSize>& field) {
    if (!next()) return;
    switch (ReadFlashListWord(cursor_, field)) {
      case FlashTokenStatus::Found:
        return;
      case FlashTokenStatus::Missing:
        problem_ = MissingToken(index_);
        return;
      case FlashTokenStatus::TooLong:
        problem_ = tokenName() + " is longer than " + std::to_string(kFlashNameSize - 1) + " characters";
        return;
    }
  }

  std::uint32_t number() {
    if (!next()) return 0;
    std::uint32_t value = 0;
    switch (ReadFlashListNumber(cursor_, value)) {
      case FlashNumberStatus::Converted:
        return value;
      case FlashNumberStatus::NoToken:
        problem_ = MissingToken(index_);
        break;
      case FlashNumberStatus::TooLong:
        problem_ = tokenName() + " is longer than " + std::to_string(kFlashTokenLimit) + " characters";
        break;
      case FlashNumberStatus::NotANumber:
        problem_ = tokenName() + ": '" + cursor_.token + "' is not a valid integer value";
        break;
    }
    return 0;
  }

  std::uint8_t byte() {
    const std::uint32_t value = number();
    if (value > 0xFF && unusable_.empty()) {
      unusable_ = tokenName() + ": " + std::to_string(value) + " does not fit in a byte";
    }
    return static_cast<std::uint8_t>(value);
  }

  const std::string& problem() const { return problem_; }
  const std::string& unusable() const { return unusable_; }

 private:
  bool next() {
    ++index_;
    return problem_.empty();
  }
  std::string tokenName() const { return "token " + std::to_string(index_); }

  FlashRecordCursor cursor_;
  int index_ = 0;
  std::string problem_;
  std::string unusable_;
};

// Reads the 15 tokens of one part record into `entry`, with what makes the
// part unusable; the reason when the record cannot be read. Tokens after the
// 15th are not read.
std::string ParseFlashRecord(std::string_view record, FlashListEntry& entry) {
  RecordParser parser(record);
  parser.word(entry.uniName);
  parser.word(entry.partName);
  entry.typeWord = parser.number();
  entry.ceCount = parser.byte();
  entry.eccMode = parser.byte();
  for (auto& idByte : entry.flashId) idByte = parser.byte();
  // Only bits 0-23 of token 11 mean something; the fields after it keep the
  // low bits the list defines for them.
  const std::uint32_t option11 = parser.number();
  entry.option11 = {static_cast<std::uint8_t>(option11), static_cast<std::uint8_t>(option11 >> 8),
                    static_cast<std::uint8_t>(option11 >> 16)};
  entry.option12 = static_cast<std::uint16_t>(parser.number());
  entry.option13 = static_cast<std::uint16_t>(parser.number());
  entry.dieOffset = static_cast<std::uint16_t>(parser.number());
  entry.option15 = static_cast<std::uint8_t>(parser.number());
  if (!parser.problem().empty()) return parser.problem();
  const std::string unusable = parser.unusable().empty()
                                   ? FlashPartProblem(static_cast<std::uint16_t>(entry.typeWord), entry.ceCount)
                                   : parser.unusable();
  entry.problem.assignTruncated(unusable);
  return {};
}

// The first token of a record, to name the row in a message.
std::string LeadingToken(std::string_view record) {
  std::string token;
  std::size_t consumed = 0;
  return ReadFlashListToken(record, token, consumed) == FlashTokenStatus::Found ? token : std::string();
}

}  // namespace

std::string FlashFileFormatMessage(std::string_view fileName) {
  const std::string_view format(kFlashFileFormatMessage);
  const auto mark = format.find("%s");
  return std::string(format.substr(0, mark)) + std::string(fileName) + std::string(format.substr(mark + 2));
}

FlashTokenStatus ReadFlashListToken(std::string_view text, std::string& token, std::size_t& consumed) {
  std::size_t position = 0;
  while (position < text.size() && IsBlank(text[position])) ++position;
  const std::size_t start = position;
  while (position < text.size() && IsLetterOrDigit(text[position])) ++position;
  consumed = position;
  const std::size_t length = position - start;
  token.clear();
  if (length == 0) return FlashTokenStatus::Missing;
  if (length > kFlashTokenLimit) return FlashTokenStatus::TooLong;
  token.assign(text.substr(start, length));
  return FlashTokenStatus::Found;
}

FlashTokenStatus ReadFlashListWord(FlashRecordCursor& cursor, FixedText<kFlashNameSize>& field) {
  const FlashTokenStatus status = NextToken(cursor);
  if (status != FlashTokenStatus::Found) return status;
  return field.assign(cursor.token) ? FlashTokenStatus::Found : FlashTokenStatus::TooLong;
}

FlashNumberStatus ReadFlashListNumber(FlashRecordCursor& cursor, std::uint32_t& value) {
  switch (NextToken(cursor)) {
    case FlashTokenStatus::Found:
      break;
    case FlashTokenStatus::Missing:
      return FlashNumberStatus::NoToken;
    case FlashTokenStatus::TooLong:
      return FlashNumberStatus::TooLong;
  }
  const auto number = ParseListNumber(cursor.token);
  if (!number) return FlashNumberStatus::NotANumber;
  value = *number;
  return FlashNumberStatus::Converted;
}

int FindFlashEntry(const FlashTable& table, std::string_view name) {
  constexpr int kNoMatch = 0;
  if (name.empty()) return kNoMatch;
  const int count = std::clamp(table.FlashEntryCount, 0, kFlashTableRows);
  for (int row = 0; row < count; ++row) {
    if (table.entries[static_cast<std::size_t>(row)].uniName.view() == name) return row;
  }
  return kNoMatch;
}

std::string DescribeFlashRow(std::string_view vendor, int keyIndex, std::string_view uniName) {
  std::string text = "[" + std::string(vendor) + "] " + KeyName(keyIndex);
  if (!uniName.empty()) text += " (" + std::string(uniName) + ")";
  return text;
}

std::string DescribeFlashRow(const FlashTable& table, int row) {
  const int vendors = std::clamp(table.FlashVendorCount, 0, kFlashVendorLimit);
  for (int v = 0; v < vendors; ++v) {
    const auto first = table.FlashVendorStart[static_cast<std::size_t>(v)];
    const auto end = table.FlashVendorStart[static_cast<std::size_t>(v) + 1];
    if (row >= first && row < end && row < kFlashTableRows) {
      return DescribeFlashRow(table.FlashVendorNames[static_cast<std::size_t>(v)].view(), row - first,
                              table.entries[static_cast<std::size_t>(row)].uniName.view());
    }
  }
  return "row " + std::to_string(row);
}

FlashListLoadResult LoadFlashList(std::string_view fileName, FlashTable& table) {
  const std::filesystem::path path = platform::paths::resolve(fileName);
  const auto fail = [&](std::string reason) {
    DebugPrint("flash list %s: %s\n", path.c_str(), reason.c_str());
    return FlashListLoadResult{false, std::move(reason), FlashFileFormatMessage(fileName)};
  };

  std::error_code error;
  if (!std::filesystem::is_regular_file(path, error)) return fail("the file cannot be read");
  const auto document = platform::profile::ProfileDocument::load(path);

  // Parsed aside, so that a bad file leaves the loaded list as it was.
  auto next = std::make_unique<FlashTable>();

  int vendorCount = 0;
  for (;; ++vendorCount) {
    const std::string key = KeyName(vendorCount);
    const std::string vendor = document.readString(kVendorSection, key, kListEnd);
    if (vendor == kListEnd) break;
    if (vendorCount == kFlashVendorLimit) {
      return fail("[Vendor] names more than " + std::to_string(kFlashVendorLimit) + " vendors");
    }
    if (!next->FlashVendorNames[static_cast<std::size_t>(vendorCount)].assign(vendor)) {
      return fail("[Vendor] " + key + ": the vendor name '" + vendor + "' is longer than " +
                  std::to_string(kFlashVendorNameSize - 1) + " characters");
    }
  }
  if (vendorCount == 0) return fail("[Vendor] names no vendor");

  int row = 0;
  for (int v = 0; v < vendorCount; ++v) {
    const std::string vendor = next->FlashVendorNames[static_cast<std::size_t>(v)].str();
    for (int keyIndex = 0;; ++keyIndex) {
      const std::string record = document.readString(vendor, KeyName(keyIndex), kListEnd);
      if (record == kListEnd) break;
      const std::string where = DescribeFlashRow(vendor, keyIndex, LeadingToken(record));
      if (row == kFlashTableRows)
        return fail(where + ": the list holds more than " + std::to_string(kFlashTableRows) + " parts");
      if (record.size() > kFlashRecordLimit) {
        return fail(where + ": the record is longer than " + std::to_string(kFlashRecordLimit) + " characters");
      }
      FlashListEntry& entry = next->entries[static_cast<std::size_t>(row)];
      if (auto problem = ParseFlashRecord(record, entry); !problem.empty()) return fail(where + ": " + problem);
      if (!entry.problem.empty()) {
        DebugPrint("flash list %s: %s: %s; choosing this part is refused\n", path.c_str(), where.c_str(),
                   entry.problem.c_str());
      }
      ++row;
    }
    next->FlashVendorStart[static_cast<std::size_t>(v) + 1] = row;
  }

  next->FlashVendorCount = vendorCount;
  next->FlashEntryCount = row;
  table = *next;
  return FlashListLoadResult{true, {}, {}};
}

}  // namespace devlib
