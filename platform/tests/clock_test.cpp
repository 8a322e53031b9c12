#include "platform/clock.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

namespace platform::clock {
namespace {

TEST(FastClock, SleepMovesOnlyTheCallingThreadsTime) {
  FastClock clock;
  const auto start = clock.nowMs();
  ASSERT_TRUE(clock.sleepMs(10'000, {}));
  EXPECT_EQ(clock.nowMs() - start, 10'000u);

  std::uint64_t otherThreadSees = 0;
  std::jthread other([&] { otherThreadSees = clock.nowMs(); });
  other.join();
  EXPECT_EQ(otherThreadSees, 0u) << "a sleep on one port must not age another port's commands";
}

TEST(FastClock, ParallelSleepersKeepTheirOwnTimeLines) {
  FastClock clock;
  std::vector<std::uint64_t> seen(16);
  {
    std::vector<std::jthread> threads;
    for (std::size_t i = 0; i < seen.size(); ++i) {
      threads.emplace_back([&, i] {
        for (std::size_t n = 0; n <= i; ++n) clock.sleepMs(1'000, {});
        seen[i] = clock.nowMs();
      });
    }
  }
  for (std::size_t i = 0; i < seen.size(); ++i) EXPECT_EQ(seen[i], (i + 1) * 1'000u);
}

TEST(FastClock, StopRequestEndsTheSleepWithoutTime) {
  FastClock clock;
  std::stop_source stop;
  stop.request_stop();
  EXPECT_FALSE(clock.sleepMs(5'000, stop.get_token()));
  EXPECT_EQ(clock.nowMs(), 0u);
}

TEST(SteadyClock, StopRequestWakesALongSleep) {
  SteadyClock clock;
  std::stop_source stop;
  const auto before = std::chrono::steady_clock::now();
  std::jthread stopper([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    stop.request_stop();
  });
  EXPECT_FALSE(clock.sleepMs(60'000, stop.get_token()));
  EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(10));
}

TEST(SteadyClock, ShortSleepRunsToTheEnd) {
  SteadyClock clock;
  const auto before = clock.nowMs();
  EXPECT_TRUE(clock.sleepMs(5, {}));
  EXPECT_GE(clock.nowMs() - before, 5u);
}

TEST(InstalledClock, ScopedFastClockIsInForceAndRestored) {
  const auto before = current();
  {
    ScopedFastClock fast;
    EXPECT_NE(current(), before);
    const auto start = tickMs();
    EXPECT_TRUE(sleepMs(300'000));
    EXPECT_EQ(tickMs() - start, 300'000u);
  }
  EXPECT_EQ(current(), before);
}

}  // namespace
}  // namespace platform::clock
