#pragma once
// A folder of the test's own, what it holds, and a way to make it read-only,
// for the tests of whole-file saves.

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace platform::scratch {

inline std::string readFile(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

inline void writeFile(const std::filesystem::path& file, const std::string& text) {
  std::ofstream(file, std::ios::binary) << text;
}

// The names in a folder, sorted: a temporary left behind shows here.
inline std::vector<std::string> folderEntries(const std::filesystem::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

class ScratchFolder : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string dir = ::testing::TempDir() + "scratch_folder_XXXXXX";
    ASSERT_NE(::mkdtemp(dir.data()), nullptr);
    dir_ = dir;
  }
  void TearDown() override {
    if (mounted_) ::umount2(dir_.c_str(), MNT_DETACH);
    std::filesystem::permissions(dir_, std::filesystem::perms::owner_all);
    std::filesystem::remove_all(dir_);
  }

  // Nothing can be created in the folder any more: its mode keeps others
  // out, a read-only mount of it keeps out root. False where neither holds.
  bool makeReadOnly() {
    std::filesystem::permissions(dir_, std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec);
    if (::access(dir_.c_str(), W_OK) != 0) return true;
    if (::mount(dir_.c_str(), dir_.c_str(), nullptr, MS_BIND, nullptr) != 0) return false;
    mounted_ = true;
    return ::mount(nullptr, dir_.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) == 0;
  }

  std::filesystem::path dir_;

 private:
  bool mounted_ = false;
};

}  // namespace platform::scratch
