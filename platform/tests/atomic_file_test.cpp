#include "platform/atomic_file.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "scratch_folder.h"

namespace platform::files {
namespace {

namespace fs = std::filesystem;
using platform::scratch::folderEntries;
using platform::scratch::readFile;
using platform::scratch::writeFile;

class AtomicSave : public platform::scratch::ScratchFolder {
 protected:
  void SetUp() override {
    ScratchFolder::SetUp();
    file_ = dir_ / "VADID.log";
  }

  fs::path file_;
};

TEST_F(AtomicSave, ReplacesTheFileWholeAndLeavesNothingElse) {
  writeFile(file_, std::string(5000, 'x'));
  ASSERT_EQ(saveFileAtomically(file_, "[TestRecord]\r\nTotalTestCount=1\r\n"), "");
  EXPECT_EQ(readFile(file_), "[TestRecord]\r\nTotalTestCount=1\r\n");
  ASSERT_EQ(saveFileAtomically(dir_ / "new.txt", ""), "");
  EXPECT_EQ(readFile(dir_ / "new.txt"), "");
  EXPECT_EQ(folderEntries(dir_), (std::vector<std::string>{"VADID.log", "new.txt"}));

  // Readable to others just as a file made the plain way.
  writeFile(dir_ / "plain", "");
  EXPECT_EQ(fs::status(file_).permissions(), fs::status(dir_ / "plain").permissions());
}

TEST_F(AtomicSave, AFileWithoutAFolderGoesIntoTheCurrentOne) {
  const fs::path previous = fs::current_path();
  fs::current_path(dir_);
  const std::string refused = saveFileAtomically("here.txt", "text");
  fs::current_path(previous);
  ASSERT_EQ(refused, "");
  EXPECT_EQ(readFile(dir_ / "here.txt"), "text");
}

// Every failure says why, keeps what was there and leaves no temporary.
TEST_F(AtomicSave, AFailedSaveKeepsTheOldFile) {
  writeFile(file_, "old");
  EXPECT_NE(saveFileAtomically(dir_ / "missing" / "x.log", "new"), "");
  fs::create_directory(dir_ / "taken");  // the name is a folder: the rename fails
  EXPECT_NE(saveFileAtomically(dir_ / "taken", "new"), "");
  EXPECT_TRUE(fs::is_directory(dir_ / "taken"));
  EXPECT_NE(saveFileAtomically(dir_ / "", "new"), "");
  EXPECT_EQ(readFile(file_), "old");
  EXPECT_EQ(folderEntries(dir_), (std::vector<std::string>{"VADID.log", "taken"}));
}

TEST_F(AtomicSave, AFolderThatCannotBeWrittenKeepsTheOldFile) {
  writeFile(file_, "old");
  if (!makeReadOnly()) GTEST_SKIP() << "the folder cannot be made read-only here";
  const std::string refused = saveFileAtomically(file_, "new");
  EXPECT_NE(refused.find("VADID.log"), std::string::npos) << refused;
  EXPECT_EQ(readFile(file_), "old");
  EXPECT_EQ(folderEntries(dir_), std::vector<std::string>{"VADID.log"});
}

// Under a file size limit the write comes up short. Exits 0 when the save
// failed, the old file is whole and no temporary is left.
void SaveUnderSizeLimit(const fs::path& file) {
  std::signal(SIGXFSZ, SIG_IGN);
  rlimit limit{};
  limit.rlim_cur = limit.rlim_max = 4096;
  ::setrlimit(RLIMIT_FSIZE, &limit);
  const bool refused = !saveFileAtomically(file, std::string(64 * 1024, 'n')).empty();
  const bool kept = readFile(file) == "old";
  const bool alone = folderEntries(file.parent_path()) == std::vector<std::string>{file.filename().string()};
  std::exit(refused && kept && alone ? 0 : 1);
}

// In a child process, so the limit does not reach the other tests.
TEST_F(AtomicSave, AShortWriteKeepsTheOldFile) {
  writeFile(file_, "old");
  EXPECT_EXIT(SaveUnderSizeLimit(file_), ::testing::ExitedWithCode(0), "");
}

// Writers racing on one file, with a reader looking on: every look finds one
// writer's content whole, never a mix or a cut one.
TEST_F(AtomicSave, SavesAtOnceLeaveOneWholeFile) {
  constexpr int kWriters = 4;
  constexpr int kRounds = 20;
  constexpr std::size_t kBytes = 256 * 1024;
  const auto whole = [](const std::string& text) {
    return text.size() == kBytes && std::all_of(text.begin(), text.end(), [&text](char c) { return c == text[0]; });
  };
  writeFile(file_, std::string(kBytes, '-'));
  std::atomic<bool> writing{true};
  std::atomic<int> failures{0};
  std::atomic<int> broken{0};
  std::thread reader([&] {
    while (writing.load()) {
      if (!whole(readFile(file_))) broken.fetch_add(1);
    }
  });
  std::vector<std::thread> writers;
  for (int w = 0; w < kWriters; ++w) {
    writers.emplace_back([&, w] {
      const std::string content(kBytes, static_cast<char>('a' + w));
      for (int round = 0; round < kRounds; ++round) {
        if (!saveFileAtomically(file_, content).empty()) failures.fetch_add(1);
      }
    });
  }
  for (auto& writer : writers) writer.join();
  writing.store(false);
  reader.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(broken.load(), 0);
  const std::string last = readFile(file_);
  EXPECT_TRUE(whole(last));
  EXPECT_NE(last[0], '-');
  EXPECT_EQ(folderEntries(dir_), std::vector<std::string>{"VADID.log"});
}

}  // namespace
}  // namespace platform::files
