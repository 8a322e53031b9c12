// The wait bar on the fast clock: frames every 10 ms while a run is in
// progress, the offsets from -240 to 0 and round again, nothing after stop.

#include <gtest/gtest.h>

#include <mutex>
#include <vector>

#include "platform/clock.h"
#include "station/wait_bar.h"

namespace fleetburn {
namespace {

class WaitBarTest : public ::testing::Test {
 protected:
  void Elapse(std::uint64_t ms) {
    const platform::clock::ScopedTimeLine bind("station");
    platform::clock::sleepMs(ms);
  }
  std::vector<int> Frames() {
    const std::lock_guard lock(mutex);
    return frames;
  }

  platform::clock::ScopedFastClock clock;
  std::mutex mutex;
  std::vector<int> frames;
  std::vector<bool> shown;
  WaitBar bar{[this](int x) {
                const std::lock_guard lock(mutex);
                frames.push_back(x);
              },
              [this](bool visible) { shown.push_back(visible); }};
};

TEST(WaitBarOffsets, Run121StepsFromMinus240ToZeroThenStartAgain) {
  int x = kWaitBarStart;
  std::vector<int> seen{x};
  while (seen.size() < 122) seen.push_back(x = NextWaitBarOffset(x));
  EXPECT_EQ(seen[1], -238);
  EXPECT_EQ(seen[120], 0);
  EXPECT_EQ(seen[121], -240);
}

TEST_F(WaitBarTest, NothingRunsBeforeARun) {
  Elapse(1000);
  EXPECT_TRUE(Frames().empty());
  EXPECT_FALSE(bar.running());
}

TEST_F(WaitBarTest, DrawsAFrameEvery10MsWhileARunIsInProgress) {
  bar.start();
  EXPECT_EQ(shown, std::vector<bool>{true});
  EXPECT_EQ(Frames(), std::vector<int>{-240}) << "the first frame at once";
  Elapse(9);
  EXPECT_EQ(Frames().size(), 1u);
  Elapse(1);
  EXPECT_EQ(Frames(), (std::vector<int>{-240, -238}));
  Elapse(1200);
  const std::vector<int> drawn = Frames();
  ASSERT_EQ(drawn.size(), 122u);
  EXPECT_EQ(drawn[120], 0);
  EXPECT_EQ(drawn[121], -240);
}

TEST_F(WaitBarTest, StopHidesThePanelAndNoFrameFollows) {
  bar.start();
  Elapse(50);
  bar.stop();
  const std::size_t drawn = Frames().size();
  EXPECT_EQ(shown, (std::vector<bool>{true, false}));
  EXPECT_FALSE(bar.running());
  Elapse(1000);
  EXPECT_EQ(Frames().size(), drawn);

  bar.start();  // the next run starts from the left again
  EXPECT_EQ(Frames().back(), -240);
}

}  // namespace
}  // namespace fleetburn
