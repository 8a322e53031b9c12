#include "platform/private_profile.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "platform/debug.h"
#include "scratch_folder.h"

namespace platform::profile {
namespace {

constexpr std::string_view kFile =
    "; written by hand\r\n"
    "[Setting]\r\n"
    "  LogPath =  D:\\logs  \r\n"
    "Quoted=\"  two words \"\r\n"
    "Single='x'\r\n"
    "Count=42abc\r\n"
    "Negative=-7\r\n"
    "NoDigits=abc\r\n"
    "Huge=99999999999999999999999\r\n"
    "Empty=\r\n"
    "\r\n"
    "[setting]\r\n"
    "LogPath=second section of the same name\r\n"
    "[Vendor]\n"            // LF only
    "Name00=VendorA\n"
    "Name00=a later duplicate\n"
    ";Name01=commented out\n";

TEST(ProfileRead, FollowsTheServicesRules) {
  const auto document = ProfileDocument::parse(kFile);
  struct Case {
    const char* section;
    const char* key;
    const char* expected;
  };
  const Case cases[] = {
      {"Setting", "LogPath", "D:\\logs"},       // blanks around name and value trimmed
      {"SETTING", "logpath", "D:\\logs"},       // names without regard to case; the first section wins
      {"Setting", "Quoted", "  two words "},    // one pair of quotes removed, what is inside kept
      {"Setting", "Single", "x"},
      {"Setting", "Empty", ""},                 // present but empty: not the default
      {"Vendor", "Name00", "VendorA"},          // the first key of a name wins
      {"Vendor", "Name01", "fallback"},         // a comment is no key
      {"Vendor", "LogPath", "fallback"},        // keys belong to their own section only
      {"Missing", "LogPath", "fallback"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(document.readString(c.section, c.key, "fallback"), c.expected) << c.section << "/" << c.key;
  }
}

TEST(ProfileRead, ADefaultLosesOnlyItsTrailingBlanks) {
  const auto document = ProfileDocument::parse(kFile);
  const std::pair<const char*, const char*> cases[] = {
      {"  abc  ", "  abc"}, {"abc", "abc"}, {"\tabc\t", "\tabc"}, {"   ", ""}, {"", ""}};
  for (const auto& [fallback, expected] : cases) {
    EXPECT_EQ(document.readString("Setting", "Missing", fallback), expected) << "'" << fallback << "'";
  }
}

TEST(ProfileRead, Numbers) {
  const auto document = ProfileDocument::parse(kFile);
  EXPECT_EQ(document.readInt("Setting", "Count", 5), 42);
  EXPECT_EQ(document.readInt("Setting", "Negative", 5), -7);
  EXPECT_EQ(document.readInt("Setting", "NoDigits", 5), 0);
  EXPECT_EQ(document.readInt("Setting", "Empty", 5), 0);
  EXPECT_EQ(document.readInt("Setting", "Missing", 5), 5);
  EXPECT_EQ(document.readInt("Setting", "Huge", 5), std::numeric_limits<std::int64_t>::max());
}

TEST(ProfileWrite, ChangesOnlyWhatItWrites) {
  struct Case {
    const char* name;
    const char* before;
    const char* section;
    const char* key;
    const char* value;
    const char* after;
  };
  const Case cases[] = {
      {"replaces in place", "[A]\nx=1\ny=2\n", "a", "X", "9", "[A]\r\nx=9\r\ny=2\r\n"},
      {"adds after the section's last key", "[A]\nx=1\n\n[B]\nz=3\n", "A", "y", "2",
       "[A]\r\nx=1\r\ny=2\r\n\r\n[B]\r\nz=3\r\n"},
      {"adds to an empty section", "[A]\n[B]\n", "A", "y", "2", "[A]\r\ny=2\r\n[B]\r\n"},
      {"appends a new section", "[A]\nx=1\n", "TestRecord", "TotalTestCount", "10",
       "[A]\r\nx=1\r\n[TestRecord]\r\nTotalTestCount=10\r\n"},
      {"starts an empty file", "", "TestRecord", "NumberOfPass", "0", "[TestRecord]\r\nNumberOfPass=0\r\n"},
  };
  for (const auto& c : cases) {
    auto document = ProfileDocument::parse(c.before);
    document.writeString(c.section, c.key, c.value);
    EXPECT_EQ(document.text(), c.after) << c.name;
  }
}

TEST(ProfileWrite, ErasingASectionTakesOutEveryOneOfItsNameAndNothingElse) {
  auto document = ProfileDocument::parse("; top\n[Style]\nPortPanel0=a\n[Main]\nLeft=1\n[style]\nPortPanel9=b\n");
  document.eraseSection("STYLE");
  EXPECT_EQ(document.text(), "; top\r\n[Main]\r\nLeft=1\r\n");
  document.eraseSection("Missing");
  EXPECT_EQ(document.text(), "; top\r\n[Main]\r\nLeft=1\r\n");
}

TEST(ProfileFile, MissingFileGivesDefaultsAndWriteCreatesIt) {
  const auto file = std::filesystem::temp_directory_path() /
                    ("profile-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + ".log");
  std::filesystem::remove(file);
  EXPECT_EQ(readInt("TestRecord", "TotalTestCount", 0, file), 0);
  ASSERT_TRUE(writeString("TestRecord", "TotalTestCount", "12", file));
  ASSERT_TRUE(writeString("TestRecord", "NumberOfPass", "11", file));
  EXPECT_EQ(readInt("TestRecord", "TotalTestCount", 0, file), 12);
  EXPECT_EQ(readInt("TestRecord", "NumberOfPass", 0, file), 11);
  std::ifstream stream(file, std::ios::binary);
  const std::string text((std::istreambuf_iterator<char>(stream)), std::istreambuf_iterator<char>());
  EXPECT_EQ(text, "[TestRecord]\r\nTotalTestCount=12\r\nNumberOfPass=11\r\n");
  EXPECT_FALSE(std::filesystem::exists(file.string() + ".tmp"));
  std::filesystem::remove(file);
}

TEST(ProfileFile, UnwritableDestinationFails) {
  const auto file = std::filesystem::path("/nonexistent-directory/VADID.log");
  EXPECT_FALSE(writeString("TestRecord", "TotalTestCount", "1", file));
}

class ProfileWriters : public platform::scratch::ScratchFolder {
 protected:
  static constexpr int kKeysEach = 50;

  // Writer w's keys, each with a value of its own.
  static bool writeKeys(int w, const std::filesystem::path& file) {
    bool all = true;
    for (int k = 0; k < kKeysEach; ++k) {
      const std::string key = "W" + std::to_string(w) + "K" + std::to_string(k);
      all = writeString("Style", key, std::to_string(w * 1000 + k), file) && all;
    }
    return all;
  }

  // Every writer's keys are in the file, in the one section, and nothing else is there.
  void expectAllKeys(int writers) const {
    const auto document = ProfileDocument::load(file());
    for (int w = 0; w < writers; ++w) {
      for (int k = 0; k < kKeysEach; ++k) {
        const std::string key = "W" + std::to_string(w) + "K" + std::to_string(k);
        EXPECT_EQ(document.readInt("Style", key, -1), w * 1000 + k) << key;
      }
    }
    EXPECT_EQ(platform::scratch::readFile(file()).rfind("[Style]\r\n", 0), 0u);
    EXPECT_EQ(platform::scratch::folderEntries(dir_), std::vector<std::string>{"Style.cs"});
  }

  std::filesystem::path file() const { return dir_ / "Style.cs"; }
};

TEST_F(ProfileWriters, ThreadsWritingDifferentKeysAllLand) {
  constexpr int kThreads = 8;
  std::vector<std::thread> threads;
  std::vector<char> written(kThreads, 0);
  for (int w = 0; w < kThreads; ++w) {
    threads.emplace_back([this, w, &written] { written[w] = writeKeys(w, file()); });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(std::count(written.begin(), written.end(), 1), kThreads);
  expectAllKeys(kThreads);
}

TEST_F(ProfileWriters, ProcessesWritingDifferentKeysAllLand) {
  constexpr int kProcesses = 4;
  std::vector<pid_t> children;
  for (int w = 0; w < kProcesses; ++w) {
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) ::_exit(writeKeys(w, file()) ? 0 : 1);
    children.push_back(child);
  }
  for (const pid_t child : children) {
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  expectAllKeys(kProcesses);
}

TEST_F(ProfileWriters, AFolderThatCannotBeWrittenKeepsTheOldFile) {
  ASSERT_TRUE(writeString("Style", "PortPanel1", "1,2,3,4", file()));
  const std::string before = platform::scratch::readFile(file());
  if (!makeReadOnly()) GTEST_SKIP() << "the folder cannot be made read-only here";
  const debug::CaptureSink output;
  EXPECT_FALSE(writeString("Style", "PortPanel2", "5,6,7,8", file()));
  EXPECT_TRUE(output.contains("Style.cs")) << ::testing::PrintToString(output.lines());
  EXPECT_EQ(platform::scratch::readFile(file()), before);
  EXPECT_EQ(platform::scratch::folderEntries(dir_), std::vector<std::string>{"Style.cs"});
}

}  // namespace
}  // namespace platform::profile
