#include "platform/clock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <latch>
#include <string>
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

// A port's watchdog on virtual time: a worker bound to the port's line polls
// or hangs until its watchdog, a timer on the same line, requests its stop.
struct WatchdogCase {
  const char* name;
  std::function<void(FastClock&, std::stop_token)> work;
};

void PrintTo(const WatchdogCase& c, std::ostream* out) { *out << c.name; }

class FastClockWatchdog : public ::testing::TestWithParam<WatchdogCase> {};

TEST_P(FastClockWatchdog, StopsTheWorkerAtItsExactVirtualTime) {
  const std::string line = "port 3";
  FastClock clock;
  {
    ScopedTimeLine bind(line);
    clock.sleepMs(4'321, {});  // the port has been at work before
  }
  const std::uint64_t start = clock.lineNowMs(line);
  ASSERT_EQ(start, 4'321u);

  std::stop_source stop;
  std::uint64_t firedAt = 0;
  Timer watchdog = clock.startTimer(line, 60'000, [&] {
    firedAt = clock.lineNowMs(line);
    stop.request_stop();
  });
  std::stop_source giveUp;
  auto waiter = std::async(std::launch::async, [&] {
    EXPECT_TRUE(clock.waitUntil(line, start + 60'000, giveUp.get_token()));
    return clock.lineNowMs(line);
  });
  auto worker = std::async(std::launch::async, [&] {
    ScopedTimeLine bind(line);
    GetParam().work(clock, stop.get_token());
  });
  if (worker.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
    stop.request_stop();
    giveUp.request_stop();
    FAIL() << "the watchdog never fired";
  }
  EXPECT_EQ(firedAt, start + 60'000);
  EXPECT_EQ(clock.lineNowMs(line), start + 60'000) << "the line stops at the deadline that stopped the worker";
  EXPECT_EQ(waiter.get(), start + 60'000);
}

INSTANTIATE_TEST_SUITE_P(
    Workers, FastClockWatchdog,
    ::testing::Values(WatchdogCase{"PollingWorker",
                                   [](FastClock& clock, std::stop_token stop) {
                                     std::uint64_t polls = 0;
                                     while (clock.sleepMs(700, stop)) ++polls;
                                     EXPECT_EQ(polls, 60'000u / 700) << "each poll before the deadline ran";
                                   }},
                      WatchdogCase{"HangingWorker",
                                   [](FastClock& clock, std::stop_token stop) { clock.waitUntilStopped(stop); }}),
    [](const auto& testCase) { return std::string(testCase.param.name); });

TEST(FastClockLines, SleepsAndTimersOfOneLineLeaveTheOthersAlone) {
  FastClock clock;
  int fired = 0;
  Timer timer = clock.startTimer("port 2", 10'000, [&] { ++fired; });

  std::jthread([&] {
    ScopedTimeLine bind("port 1");
    EXPECT_TRUE(clock.sleepMs(30'000, {}));
    EXPECT_EQ(clock.nowMs(), 30'000u);
  }).join();
  EXPECT_TRUE(clock.sleepMs(30'000, {})) << "a thread's own line";
  EXPECT_EQ(clock.lineNowMs("port 1"), 30'000u);
  EXPECT_EQ(clock.lineNowMs("port 2"), 0u);
  EXPECT_EQ(fired, 0) << "no sleep on its line yet";

  {
    ScopedTimeLine bind("port 2");
    EXPECT_TRUE(clock.sleepMs(9'999, {}));
    EXPECT_EQ(fired, 0);
    EXPECT_TRUE(clock.sleepMs(1, {}));
    EXPECT_EQ(fired, 1);
  }
  EXPECT_EQ(clock.lineNowMs("port 2"), 10'000u);
  EXPECT_EQ(clock.nowMs(), 30'000u) << "the own line is back in force after the binding";
}

TEST(FastClockLines, InnerBindingGivesBackTheOuterOne) {
  FastClock clock;
  ScopedTimeLine outer("port 1");
  {
    ScopedTimeLine inner("port 2");
    clock.sleepMs(500, {});
  }
  clock.sleepMs(200, {});
  EXPECT_EQ(clock.lineNowMs("port 1"), 200u);
  EXPECT_EQ(clock.lineNowMs("port 2"), 500u);
}

TEST(FastClockLines, LongSleepRunsEachDueTimerInOrderAtItsOwnTime) {
  const std::string line = "port 7";
  FastClock clock;
  std::vector<std::pair<int, std::uint64_t>> runs;
  const auto record = [&](int id) { return [&, id] { runs.emplace_back(id, clock.lineNowMs(line)); }; };
  Timer late = clock.startTimer(line, 3'000, record(3));
  Timer early = clock.startTimer(line, 1'000, record(1));
  Timer middle = clock.startTimer(line, 2'000, record(2));
  Timer tied = clock.startTimer(line, 2'000, record(4));
  Timer beyond = clock.startTimer(line, 5'001, record(5));

  ScopedTimeLine bind(line);
  EXPECT_TRUE(clock.sleepMs(5'000, {}));
  EXPECT_EQ(runs, (std::vector<std::pair<int, std::uint64_t>>{{1, 1'000}, {2, 2'000}, {4, 2'000}, {3, 3'000}}));
  EXPECT_EQ(clock.nowMs(), 5'000u);
}

TEST(FastClockLines, TimerStartedByACallbackFiresInTheSameSleep) {
  FastClock clock;
  std::uint64_t secondAt = 0;
  Timer second;
  Timer first = clock.startTimer("port 1", 100, [&] {
    second = clock.startTimer("port 1", 100, [&] { secondAt = clock.lineNowMs("port 1"); });
  });
  ScopedTimeLine bind("port 1");
  EXPECT_TRUE(clock.sleepMs(1'000, {}));
  EXPECT_EQ(secondAt, 200u);
}

TEST(FastClockTimers, CancelledTimerNeverFires) {
  FastClock clock;
  int fired = 0;
  Timer cancelled = clock.startTimer("port 1", 1'000, [&] { ++fired; });
  cancelled.cancel();
  {
    Timer dropped = clock.startTimer("port 1", 1'000, [&] { ++fired; });
  }
  Timer replaced = clock.startTimer("port 1", 1'000, [&] { ++fired; });
  replaced = clock.startTimer("port 1", 5'000, [&] { fired += 10; });

  ScopedTimeLine bind("port 1");
  clock.sleepMs(2'000, {});
  EXPECT_EQ(fired, 0);
  clock.sleepMs(3'000, {});
  EXPECT_EQ(fired, 10) << "only the timer that took the handle over";
}

TEST(FastClockTimers, CallbackMayCancelItsOwnTimer) {
  FastClock clock;
  int fired = 0;
  Timer timer;
  timer = clock.startTimer("port 1", 10, [&] {
    ++fired;
    timer.cancel();  // must not wait for itself
  });
  ScopedTimeLine bind("port 1");
  EXPECT_TRUE(clock.sleepMs(20, {}));
  EXPECT_EQ(fired, 1);
}

TEST(FastClockTimers, CancelWaitsForACallbackRunningOnAnotherThread) {
  FastClock clock;
  std::latch entered(1);
  std::latch release(1);
  std::atomic<bool> callbackEnded = false;
  Timer timer = clock.startTimer("port 1", 10, [&] {
    entered.count_down();
    release.wait();
    callbackEnded = true;
  });
  std::jthread sleeper([&] {
    ScopedTimeLine bind("port 1");
    clock.sleepMs(20, {});
  });
  entered.wait();
  auto cancelling = std::async(std::launch::async, [&] {
    timer.cancel();
    return callbackEnded.load();
  });
  EXPECT_EQ(cancelling.wait_for(std::chrono::milliseconds(20)), std::future_status::timeout)
      << "cancel returned while its callback was still running";
  release.count_down();
  EXPECT_TRUE(cancelling.get());
}

TEST(FastClockTimers, WaitUntilEndsAtAStopRequest) {
  FastClock clock;
  std::stop_source stop;
  auto waiter = std::async(std::launch::async, [&] { return clock.waitUntil("port 1", 1'000, stop.get_token()); });
  stop.request_stop();
  EXPECT_FALSE(waiter.get());
  EXPECT_TRUE(clock.waitUntil("port 1", 0, {})) << "a time the line has reached";
}

TEST(FastClockTimers, HangWithoutATimerEndsAtItsStopAndMovesNoTime) {
  FastClock clock;
  std::stop_source stop;
  auto hanging = std::async(std::launch::async, [&] {
    ScopedTimeLine bind("port 1");
    clock.waitUntilStopped(stop.get_token());
  });
  EXPECT_EQ(hanging.wait_for(std::chrono::milliseconds(20)), std::future_status::timeout);
  stop.request_stop();
  hanging.get();
  EXPECT_EQ(clock.lineNowMs("port 1"), 0u);
}

TEST(FastClockTimers, TimerStartedWhileTheLineHangsStillFires) {
  FastClock clock;
  std::stop_source stop;
  std::latch hanging(1);
  auto worker = std::async(std::launch::async, [&] {
    ScopedTimeLine bind("port 1");
    hanging.count_down();
    clock.waitUntilStopped(stop.get_token());
    return clock.nowMs();
  });
  hanging.wait();
  Timer watchdog = clock.startTimer("port 1", 60'000, [&] { stop.request_stop(); });
  ASSERT_EQ(worker.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(worker.get(), 60'000u);
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

TEST(SteadyClockTimers, ShortTimerFiresOnWallTimeAndACancelledOneDoesNot) {
  SteadyClock clock;
  std::atomic<int> cancelledFired = 0;
  std::promise<std::uint64_t> fired;
  const std::uint64_t start = clock.nowMs();
  Timer cancelled = clock.startTimer("port 1", 10, [&] { ++cancelledFired; });
  Timer timer = clock.startTimer("port 2", 30, [&] { fired.set_value(clock.nowMs()); });
  cancelled.cancel();

  auto firedAt = fired.get_future();
  ASSERT_EQ(firedAt.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_GE(firedAt.get(), start + 30);
  EXPECT_EQ(cancelledFired, 0) << "its time had passed before the later timer fired";
}

TEST(SteadyClockTimers, ClockGoesWithATimerPendingWithoutFiringIt) {
  std::atomic<int> fired = 0;
  Timer timer;
  {
    SteadyClock clock;
    timer = clock.startTimer("port 1", 60'000, [&] { ++fired; });
  }
  timer.cancel();
  EXPECT_EQ(fired, 0);
}

TEST(SteadyClockTimers, WaitsEndAtTheirTimeOrAtTheStop) {
  SteadyClock clock;
  const std::uint64_t deadline = clock.nowMs() + 20;
  EXPECT_TRUE(clock.waitUntil("port 1", deadline, {}));
  EXPECT_GE(clock.lineNowMs("port 1"), deadline);

  std::stop_source stop;
  std::jthread stopper([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    stop.request_stop();
  });
  EXPECT_FALSE(clock.waitUntil("port 1", clock.nowMs() + 600'000, stop.get_token()));
  clock.waitUntilStopped(stop.get_token());
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
