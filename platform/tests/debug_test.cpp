#include "platform/debug.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <latch>
#include <memory>
#include <thread>
#include <vector>

namespace platform::debug {
namespace {

// Puts back the sink that was in force before the test.
class DebugOutput : public ::testing::Test {
 protected:
  void TearDown() override { installSink(std::move(previous_)); }

 private:
  Sink previous_ = installSink({});
};

TEST_F(DebugOutput, SlowSinkDoesNotHoldBackAnotherThreadsOutput) {
  std::promise<void> slowEntered;
  std::promise<void> fastArrived;
  const std::shared_future<void> fastSeen = fastArrived.get_future().share();
  bool fastArrivedMeanwhile = false;
  installSink([&](Level, std::optional<int>, std::string_view text) {
    if (text == "slow") {
      slowEntered.set_value();
      fastArrivedMeanwhile = fastSeen.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
    } else if (text == "fast") {
      fastArrived.set_value();
    }
  });

  std::jthread slowWriter([] { output("slow"); });
  slowEntered.get_future().wait();
  std::jthread fastWriter([] { output("fast"); });
  slowWriter.join();
  fastWriter.join();
  EXPECT_TRUE(fastArrivedMeanwhile) << "the second call waited for the first one's sink";
}

TEST_F(DebugOutput, PortTagOfEachThreadReachesTheSinkWithTheTextUnchanged) {
  const CaptureSink capture;
  output("no port");
  std::jthread([] {
    const ScopedPort tag(2);
    output("port 2");
    {
      const ScopedPort inner(5);
      output("port 5");
    }
    output("port 2 again");
  }).join();
  std::jthread([] {
    const ScopedPort tag(49);
    output("port 49\n");
  }).join();
  output("no port again");

  EXPECT_EQ(capture.entries(), (std::vector<CapturedLine>{{std::nullopt, "no port"},
                                                          {2, "port 2"},
                                                          {5, "port 5"},
                                                          {2, "port 2 again"},
                                                          {49, "port 49\n"},
                                                          {std::nullopt, "no port again"}}));
  EXPECT_EQ(capture.lines().front(), "no port");
}

TEST_F(DebugOutput, StandardErrorShowsThePortNumberBeforeAPortsLines) {
  ::testing::internal::CaptureStderr();
  output("scan started");
  {
    const ScopedPort tag(6);
    output("Timeout = 11 sec\n");
  }
  {
    const ScopedPort tag(49);
    output("");
  }
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "scan started\n[P07] Timeout = 11 sec\n[P50] \n");
}

// Counts its live copies; its call waits until released.
struct SinkProbe {
  std::atomic<int> alive = 0;
  std::latch entered{1};
  std::latch release{1};
};

class CountedSink {
 public:
  explicit CountedSink(std::shared_ptr<SinkProbe> probe) : probe_(std::move(probe)) { ++probe_->alive; }
  CountedSink(const CountedSink& other) : probe_(other.probe_) { ++probe_->alive; }
  CountedSink& operator=(const CountedSink&) = delete;
  ~CountedSink() { --probe_->alive; }

  void operator()(Level, std::optional<int>, std::string_view) const {
    probe_->entered.count_down();
    probe_->release.wait();
  }

 private:
  std::shared_ptr<SinkProbe> probe_;
};

TEST_F(DebugOutput, SinkUninstalledDuringACallLivesUntilTheCallReturns) {
  const auto probe = std::make_shared<SinkProbe>();
  installSink(CountedSink(probe));
  std::jthread writer([] { output("in flight"); });
  probe->entered.wait();

  installSink({});  // the returned copy dies here
  EXPECT_GE(probe->alive, 1) << "the sink of the call in flight was destroyed";
  probe->release.count_down();
  writer.join();
  EXPECT_EQ(probe->alive, 0);
}

TEST_F(DebugOutput, CaptureSinksComeAndGoWhileThreadsWrite) {
  installSink([](Level, std::optional<int>, std::string_view) {});  // between the captures
  std::vector<std::jthread> writers;
  for (int port = 0; port < 4; ++port) {
    writers.emplace_back([port](std::stop_token stop) {
      const ScopedPort tag(port);
      while (!stop.stop_requested()) output("busy");
    });
  }
  for (int round = 0; round < 100; ++round) {
    const CaptureSink capture;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (capture.lines().empty() && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
    const auto entries = capture.entries();
    ASSERT_FALSE(entries.empty()) << "round " << round;
    EXPECT_TRUE(std::all_of(entries.begin(), entries.end(),
                            [](const CapturedLine& line) { return line.port && line.text == "busy"; }));
  }
}

}  // namespace
}  // namespace platform::debug
