// The single-instance guard: a second holder of the name learns that it is
// taken, other names are free, and the name is free again once released.

#include "platform/instance_guard.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

namespace platform {
namespace {

class InstanceGuardTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/instance_guard_XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    directory_ = pattern;
    setenv("TOLVANE_LOCK_DIR", directory_.c_str(), 1);
  }
  void TearDown() override {
    unsetenv("TOLVANE_LOCK_DIR");
    std::filesystem::remove_all(directory_);
  }
  std::filesystem::path directory_;
};

TEST_F(InstanceGuardTest, SecondHolderOfANameFindsItTaken) {
  InstanceGuard first("KWUtil");
  EXPECT_FALSE(first.alreadyRunning());
  InstanceGuard second("KWUtil");
  EXPECT_TRUE(second.alreadyRunning());
  InstanceGuard other("Other");
  EXPECT_FALSE(other.alreadyRunning());
  EXPECT_TRUE(std::filesystem::exists(directory_ / "KWUtil.lock"));
}

TEST_F(InstanceGuardTest, NameIsFreeOnceReleased) {
  { InstanceGuard first("KWUtil"); }
  InstanceGuard again("KWUtil");
  EXPECT_FALSE(again.alreadyRunning());
}

TEST_F(InstanceGuardTest, AnotherProcessFindsItTaken) {
  InstanceGuard first("KWUtil");
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    InstanceGuard second("KWUtil");
    ::_exit(second.alreadyRunning() ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST_F(InstanceGuardTest, UnwritableDirectoryRunsAsTheFirstInstance) {
  setenv("TOLVANE_LOCK_DIR", (directory_ / "missing").c_str(), 1);
  InstanceGuard first("KWUtil");
  InstanceGuard second("KWUtil");
  EXPECT_FALSE(first.alreadyRunning());
  EXPECT_FALSE(second.alreadyRunning());
}

}  // namespace
}  // namespace platform
