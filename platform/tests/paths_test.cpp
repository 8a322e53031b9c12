#include "platform/paths.h"

#include <gtest/gtest.h>

#include <fstream>

namespace platform::paths {
namespace {

class ProgramDirectory : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = std::filesystem::temp_directory_path() /
            ("paths-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "-" +
             ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(root_ / "Logs");
    std::ofstream(root_ / "DODEVUDU.ini") << "x";
    std::ofstream(root_ / "Logs" / "VADID.log") << "x";
    setProgramDirectory(root_);
  }
  void TearDown() override {
    setProgramDirectory({});
    std::filesystem::remove_all(root_);
  }
  std::filesystem::path root_;
};

TEST_F(ProgramDirectory, NamesMapIntoTheProgramsDirectory) {
  struct Case {
    const char* name;
    std::filesystem::path expected;
  };
  const Case cases[] = {
      {"DODEVUDU.ini", root_ / "DODEVUDU.ini"},
      {"dodevudu.INI", root_ / "DODEVUDU.ini"},        // differs only in case
      {"logs\\vadid.log", root_ / "Logs" / "VADID.log"},  // Windows separators, every component
      {"c:\\pc.ini", root_ / "pc.ini"},                // drive letter: program directory, file need not exist
      {"D:\\images\\disk.img", root_ / "images" / "disk.img"},
      {"Missing.ini", root_ / "Missing.ini"},
      {"/etc/hostname", "/etc/hostname"},              // an absolute Linux path stays
  };
  for (const auto& c : cases) EXPECT_EQ(resolve(c.name), c.expected) << c.name;
}

TEST(ProgramDirectoryDefault, IsTheExecutablesDirectory) {
  EXPECT_EQ(programDirectory(), std::filesystem::read_symlink("/proc/self/exe").parent_path());
}

}  // namespace
}  // namespace platform::paths
