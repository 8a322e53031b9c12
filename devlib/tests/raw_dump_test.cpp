// Raw dumps: where each program puts a port's dumps, and that a dump is
// written whole or not at all.

#include "devlib/raw_dump.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "devlib/flash_params.h"
#include "devlib/port_io.h"

namespace devlib {
namespace {

using Bytes = std::vector<std::uint8_t>;

class RawDumpFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    previous_ = std::filesystem::current_path();
    directory_ = std::filesystem::temp_directory_path() / ("raw-dumps-" + std::to_string(::getpid()));
    std::filesystem::remove_all(directory_);
    std::filesystem::create_directories(directory_);
    std::filesystem::current_path(directory_);
    FlashParams params = *CurrentFlashParams();
    params.dumpDebugFile = 1;
    PublishFlashParams(params);
  }
  void TearDown() override {
    FlashParams params = *CurrentFlashParams();
    params.dumpDebugFile = 0;
    PublishFlashParams(params);
    std::filesystem::current_path(previous_);
    std::filesystem::remove_all(directory_);
  }
  static Bytes Read(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
  }
  std::filesystem::path previous_, directory_;
  const Bytes data_ = Bytes(1000, 0x5A);
};

TEST_F(RawDumpFiles, EachStationPortHasItsFolderTheProbeWritesHere) {
  InitPortIoTable(ProgramKind::Fleetburn);
  ASSERT_TRUE(WriteDebugDump(4, "SB_0000.raw", data_));
  EXPECT_EQ(Read(directory_ / "Port05" / "SB_0000.raw"), data_);
  InitPortIoTable(ProgramKind::Blockprobe);
  ASSERT_TRUE(WriteDebugDump(4, "SB_0000.raw", data_));
  EXPECT_EQ(Read(directory_ / "SB_0000.raw"), data_);
  InitPortIoTable(ProgramKind::Fleetburn);
}

TEST_F(RawDumpFiles, AFailedDumpLeavesNothingAndKeepsWhatWasThere) {
  InitPortIoTable(ProgramKind::Fleetburn);
  std::ofstream("Port01") << "a file where the folder would be";
  EXPECT_FALSE(WriteDebugDump(0, "11_RCO.raw", data_));
  EXPECT_FALSE(WriteDebugDump("missing/11_RCO.raw", data_));
  std::filesystem::create_directory("12_RCI.raw");  // the name is taken by a folder: the rename fails
  EXPECT_FALSE(WriteDebugDump("12_RCI.raw", data_));
  EXPECT_TRUE(std::filesystem::is_directory("12_RCI.raw"));
  for (const auto& entry : std::filesystem::directory_iterator(directory_)) {
    EXPECT_NE(entry.path().extension(), ".part") << entry.path();
  }
}

// Under a file size limit the write comes up short: the earlier dump of that
// name must stay as it was and no partial file be left. Exits 0 when so.
void DumpUnderSizeLimit(const Bytes& earlier) {
  std::signal(SIGXFSZ, SIG_IGN);
  rlimit limit{};
  limit.rlim_cur = limit.rlim_max = 4096;
  setrlimit(RLIMIT_FSIZE, &limit);
  const bool written = WriteDebugDump("01_CP.raw", Bytes(64 * 1024, 0xC3));
  bool partLeft = false;
  for (const auto& entry : std::filesystem::directory_iterator(".")) {
    partLeft = partLeft || entry.path().extension() == ".part";
  }
  std::ifstream in("01_CP.raw", std::ios::binary);
  const bool kept = Bytes(std::istreambuf_iterator<char>(in), {}) == earlier;
  std::exit(!written && !partLeft && kept ? 0 : 1);
}

// In a child process, so the limit does not reach the other tests.
TEST_F(RawDumpFiles, AShortWriteKeepsTheEarlierDump) {
  ASSERT_TRUE(WriteDebugDump("01_CP.raw", data_));
  EXPECT_EXIT(DumpUnderSizeLimit(data_), ::testing::ExitedWithCode(0), "");
}

TEST_F(RawDumpFiles, NothingWithTheSwitchOff) {
  FlashParams params = *CurrentFlashParams();
  params.dumpDebugFile = 0;
  PublishFlashParams(params);
  EXPECT_FALSE(WriteDebugDump("01_CP.raw", data_));
  EXPECT_FALSE(std::filesystem::exists("01_CP.raw"));
}

}  // namespace
}  // namespace devlib
