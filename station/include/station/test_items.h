#pragma once
// One number for every step a port can fail: the row of TestItemTable, the
// position of the step's result in the port's result list, the index of its
// enable in the settings record (items 1 to 28) and the port's error code
// when that step fails first.

#include <array>
#include <cstdint>
#include <string_view>
#include <vector>

namespace fleetburn {

inline constexpr int kTestItemRows = 59;
inline constexpr int kFirstTestItem = 1;
inline constexpr int kLastTestItem = 28;

// Error codes that no test item bears.
inline constexpr int kErrorNone = 0;
inline constexpr int kErrorLoaderBlock = 30;
inline constexpr int kErrorTimeout = 31;
inline constexpr int kErrorBadBlockOver = 33;
inline constexpr int kErrorAborted = 5;  // the abort button's code: Preformat's row
inline constexpr int kErrorEraseCount = 56;
inline constexpr int kErrorSnLength = 58;

struct TestItem {
  std::uint16_t number;
  std::string_view code;       // shown as "(code)" after the fail text; empty in row 0
  std::string_view failText;   // the port's failure text for this error code
  std::string_view itemName;   // the check-list entry and the panel caption while it runs
  std::string_view logColumn;  // result-log column header, with its trailing TAB; empty: no column
};

extern const std::array<TestItem, kTestItemRows> TestItemTable;

// Values of a port's per-item result.
inline constexpr std::int32_t kResultRunning = 2;
inline constexpr std::int32_t kResultPass = 1;
inline constexpr std::int32_t kResultNotRun = 0;
inline constexpr std::int32_t kResultFail = -1;

// The row of an error code or item number; row 29 (no texts) for a number
// outside 0..58.
const TestItem& TestItemOf(int number);

// The item numbers 1 to 28 whose item name is exactly `name`, ascending
// ("Write Test (Full)" names two).
std::vector<int> ItemNumbersNamed(std::string_view name);

// The result-log word of a result value: "Running", "Pass", "----" or
// "Fail"; any other value is logged as "----".
std::string_view ResultWord(std::int32_t result);

}  // namespace fleetburn
