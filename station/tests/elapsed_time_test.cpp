// The elapsed-time text of the bottom bar.

#include "station/elapsed_time.h"

#include <gtest/gtest.h>

namespace fleetburn {
namespace {

TEST(ElapsedTime, ShowsOnlyTheNonZeroParts) {
  const struct {
    long long seconds;
    const char* text;
  } cases[] = {
      {0, ""},
      {59, "59 Sec"},
      {60, "1 Min "},
      {3600, "1 Hour "},
      {3725, "1 Hour 2 Min 5 Sec"},
      {90061, "25 Hour 1 Min 1 Sec"},  // a run over a day keeps counting hours
      {-5, ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ElapsedTimeText(std::chrono::seconds(c.seconds)), c.text) << c.seconds;
  }
}

}  // namespace
}  // namespace fleetburn
