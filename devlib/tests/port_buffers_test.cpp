// The per-port work buffers: their sizes and layout, the detail texts by error
// code, mapping at start-up and on first use, what they cost in resident
// memory, giving the memory back, and ports asking for their buffers at once.

#include "devlib/port_buffers.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace devlib {
namespace {

constexpr std::size_t kMiB = 1024 * 1024;

// A value of /proc/self/status in bytes ("VmRSS:   1234 kB").
std::size_t StatusBytes(const std::string& key) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(key + ":", 0) == 0) return std::stoull(line.substr(key.size() + 1)) * 1024;
  }
  ADD_FAILURE() << key << " not found";
  return 0;
}

std::size_t ResidentBytes() { return StatusBytes("VmRSS"); }

// Writes every page of the span.
void Touch(std::span<std::uint8_t> bytes, std::uint8_t value) {
  const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  for (std::size_t at = 0; at < bytes.size(); at += page) bytes[at] = value;
}

class PortBuffersTest : public ::testing::Test {
 protected:
  void SetUp() override {
    FreePortBuffers();
    InitPortIoTable(ProgramKind::Fleetburn);
  }
  void TearDown() override { FreePortBuffers(); }
};

struct LayoutCase {
  const char* name;
  ProgramKind kind;
  std::size_t extra;
};

class Layout : public PortBuffersTest, public ::testing::WithParamInterface<LayoutCase> {};

TEST_P(Layout, BuffersHaveTheirSizesAndNeverOverlap) {
  InitPortIoTable(GetParam().kind);
  const auto buffers = PortBuffersOf(3);
  ASSERT_TRUE(buffers);
  EXPECT_EQ(buffers->kind(), GetParam().kind);
  EXPECT_EQ(buffers->workBuffer1().size(), 65536u);
  EXPECT_EQ(buffers->workBuffer2().size(), 65536u);
  EXPECT_EQ(buffers->workBuffer3().size(), 4194304u);
  EXPECT_EQ(buffers->workBuffer4().size(), 8388608u);
  EXPECT_EQ(buffers->extraBuffer().size(), GetParam().extra);

  std::vector<std::span<std::uint8_t>> parts{buffers->workBuffer1(), buffers->workBuffer2(), buffers->workBuffer3(),
                                             buffers->workBuffer4()};
  if (!buffers->extraBuffer().empty()) parts.push_back(buffers->extraBuffer());
  for (int table = 0; table < kDetailTableCount; ++table) {
    for (int code = 0; code < kErrorCodeCount; ++code) {
      const auto detail = buffers->PortErrorBuffers(static_cast<DetailTable>(table), code);
      ASSERT_EQ(detail.size(), kErrorDetailSize) << "table " << table << " code " << code;
      parts.push_back(detail);
    }
  }
  std::sort(parts.begin(), parts.end(), [](auto a, auto b) { return a.data() < b.data(); });
  std::size_t total = 0;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    total += parts[i].size();
    if (i + 1 < parts.size()) {
      EXPECT_LE(parts[i].data() + parts[i].size(), parts[i + 1].data()) << "part " << i << " runs into the next";
    }
  }
  EXPECT_EQ(total, 12713984u + GetParam().extra + 2u * 59 * 2048);
  EXPECT_LE(total, buffers->mappedBytes());
  for (const auto& part : parts) {
    EXPECT_TRUE(std::all_of(part.begin(), part.end(), [](std::uint8_t b) { return b == 0; }))
        << "fresh buffers are zero";
  }
}

INSTANTIATE_TEST_SUITE_P(Programs, Layout,
                         ::testing::Values(LayoutCase{"Fleetburn", ProgramKind::Fleetburn, 0},
                                           LayoutCase{"Blockprobe", ProgramKind::Blockprobe, 65536}),
                         [](const auto& testCase) { return std::string(testCase.param.name); });

TEST_F(PortBuffersTest, DetailOfTheLastErrorCodeIsReachableAndOthersOutsideAreEmpty) {
  const auto buffers = PortBuffersOf(0);
  ASSERT_TRUE(buffers);
  const auto last = buffers->PortErrorBuffers(DetailTable::First, 58);
  ASSERT_EQ(last.size(), kErrorDetailSize);
  std::fill(last.begin(), last.end(), std::uint8_t{0x58});
  const auto second = buffers->PortErrorBuffers(DetailTable::Second, 58);
  ASSERT_EQ(second.size(), kErrorDetailSize);
  EXPECT_EQ(second[0], 0) << "the second table has a text of its own";
  EXPECT_EQ(buffers->PortErrorBuffers(DetailTable::Second, 0)[0], 0);

  struct Outside {
    int table;
    int code;
  };
  for (const Outside o : {Outside{0, 59}, Outside{1, 59}, Outside{0, -1}, Outside{0, 1000}, Outside{2, 5},
                          Outside{-1, 5}}) {
    EXPECT_TRUE(buffers->PortErrorBuffers(static_cast<DetailTable>(o.table), o.code).empty())
        << "table " << o.table << " code " << o.code;
  }
}

TEST_F(PortBuffersTest, PortsOutsideTheTableHaveNoBuffers) {
  EXPECT_FALSE(PortBuffersOf(-1));
  EXPECT_FALSE(PortBuffersOf(50));
  EXPECT_TRUE(PortBuffersOf(49));
  InitPortIoTable(ProgramKind::Blockprobe);
  EXPECT_FALSE(PortBuffersOf(12)) << "Blockprobe has 12 device slots";
  EXPECT_TRUE(PortBuffersOf(11));
}

TEST_F(PortBuffersTest, MappedOnFirstUseAndTheSameUntilFreed) {
  EXPECT_FALSE(MappedPortBuffers(4)) << "nothing before the port asks";
  const auto first = PortBuffersOf(4);
  ASSERT_TRUE(first);
  EXPECT_EQ(PortBuffersOf(4), first);
  EXPECT_EQ(MappedPortBuffers(4), first);
  EXPECT_FALSE(MappedPortBuffers(5));

  first->workBuffer1()[0] = 0x77;
  FreePortBuffers(4);
  EXPECT_FALSE(MappedPortBuffers(4));
  EXPECT_EQ(first->workBuffer1()[0], 0x77) << "a holder keeps its buffers after the port is freed";
  const auto again = PortBuffersOf(4);
  ASSERT_TRUE(again);
  EXPECT_NE(again, first);
  EXPECT_EQ(again->workBuffer1()[0], 0) << "a freed port starts with fresh buffers";
}

// The start-up maps every port of the table in force and costs no memory;
// done again for the other program, it keeps nothing of the first layout.
TEST_F(PortBuffersTest, StartUpMapsEveryPortOfTheTableInForce) {
  const std::size_t before = ResidentBytes();
  ASSERT_TRUE(AllocPortBuffers());
  const std::size_t after = ResidentBytes();
  EXPECT_LT(after - std::min(after, before), 10 * kMiB);
  for (int port = 0; port < kFleetburnPortCount; ++port) {
    const auto buffers = MappedPortBuffers(port);
    ASSERT_TRUE(buffers) << port;
    EXPECT_EQ(buffers->kind(), ProgramKind::Fleetburn);
  }
  const auto kept = MappedPortBuffers(3);
  kept->workBuffer2()[0] = 0x33;
  ASSERT_TRUE(AllocPortBuffers());
  EXPECT_EQ(MappedPortBuffers(3), kept) << "a port already mapped keeps its buffers";

  InitPortIoTable(ProgramKind::Blockprobe);
  ASSERT_TRUE(AllocPortBuffers());
  for (int slot = 0; slot < kBlockprobeSlotCount; ++slot) {
    const auto buffers = MappedPortBuffers(slot);
    ASSERT_TRUE(buffers) << slot;
    EXPECT_EQ(buffers->kind(), ProgramKind::Blockprobe);
    EXPECT_EQ(buffers->workBuffer2()[0], 0) << slot;
  }
  InitPortIoTable(ProgramKind::Fleetburn);
  for (int port = 0; port < kFleetburnPortCount; ++port) {
    EXPECT_FALSE(MappedPortBuffers(port)) << "port " << port << " still holds the first layout";
  }
  EXPECT_EQ(kept->workBuffer2()[0], 0x33) << "a holder keeps its buffers";
}

TEST_F(PortBuffersTest, ATableBuiltForTheOtherProgramGetsItsLayout) {
  const auto fleetburn = PortBuffersOf(2);
  ASSERT_TRUE(fleetburn);
  InitPortIoTable(ProgramKind::Blockprobe);
  EXPECT_FALSE(MappedPortBuffers(2));
  const auto blockprobe = PortBuffersOf(2);
  ASSERT_TRUE(blockprobe);
  EXPECT_EQ(blockprobe->kind(), ProgramKind::Blockprobe);
  EXPECT_EQ(blockprobe->extraBuffer().size(), kExtraBufferSize);
}

TEST_F(PortBuffersTest, FiftyPortsInUseStayFarBelowTheirMappedSize) {
  const std::size_t before = ResidentBytes();
  std::vector<std::shared_ptr<PortBuffers>> held;
  std::size_t mapped = 0;
  for (int port = 0; port < kFleetburnPortCount; ++port) {
    auto buffers = PortBuffersOf(port);
    ASSERT_TRUE(buffers) << port;
    // A little of every buffer, as a port that ran one item leaves it.
    for (auto part : {buffers->workBuffer1(), buffers->workBuffer2(), buffers->workBuffer3(), buffers->workBuffer4(),
                      buffers->PortErrorBuffers(DetailTable::First, 7)}) {
      part[0] = static_cast<std::uint8_t>(port + 1);
    }
    mapped += buffers->mappedBytes();
    held.push_back(std::move(buffers));
  }
  EXPECT_GT(mapped, 600 * kMiB);
  const std::size_t after = ResidentBytes();
  EXPECT_LT(after, 100 * kMiB);
  EXPECT_LT(after - std::min(after, before), 10 * kMiB);
}

TEST_F(PortBuffersTest, AFreedPortGivesItsMemoryBack) {
  auto buffers = PortBuffersOf(9);
  ASSERT_TRUE(buffers);
  const std::size_t before = ResidentBytes();
  for (auto part : {buffers->workBuffer1(), buffers->workBuffer2(), buffers->workBuffer3(), buffers->workBuffer4()}) {
    Touch(part, 0xA5);
  }
  const std::size_t used = ResidentBytes();
  EXPECT_GE(used, before + 12 * kMiB);
  buffers.reset();
  FreePortBuffers(9);
  EXPECT_LE(ResidentBytes(), used - 12 * kMiB);
}

TEST_F(PortBuffersTest, FiftyWorkersTakeTheirOwnPortsAtOnce) {
  std::vector<std::thread> workers;
  for (int port = 0; port < kFleetburnPortCount; ++port) {
    workers.emplace_back([port] {
      const auto buffers = PortBuffersOf(port);
      if (!buffers) return;
      const auto mark = static_cast<std::uint8_t>(port + 1);
      std::fill_n(buffers->workBuffer4().begin(), 4096, mark);
      const auto detail = buffers->PortErrorBuffers(DetailTable::Second, port % kErrorCodeCount);
      std::fill(detail.begin(), detail.end(), mark);
    });
  }
  for (auto& worker : workers) worker.join();
  for (int port = 0; port < kFleetburnPortCount; ++port) {
    const auto buffers = MappedPortBuffers(port);
    ASSERT_TRUE(buffers) << port;
    const auto mark = static_cast<std::uint8_t>(port + 1);
    const auto four = buffers->workBuffer4().first(4096);
    EXPECT_TRUE(std::all_of(four.begin(), four.end(), [mark](std::uint8_t b) { return b == mark; })) << port;
    const auto detail = buffers->PortErrorBuffers(DetailTable::Second, port % kErrorCodeCount);
    EXPECT_TRUE(std::all_of(detail.begin(), detail.end(), [mark](std::uint8_t b) { return b == mark; })) << port;
  }
}

// Run in a child process: with the address space capped just above what the
// process holds, a port's buffers cannot be mapped.
[[noreturn]] void ExitWithBuffersOfACappedProcess() {
  FreePortBuffers();
  InitPortIoTable(ProgramKind::Fleetburn);
  const rlim_t cap = StatusBytes("VmSize") + 4 * kMiB;  // room for small allocations only
  const rlimit limit{cap, cap};
  if (setrlimit(RLIMIT_AS, &limit) != 0) std::_Exit(2);
  const bool none = !AllocPortBuffers() && PortBuffersOf(1) == nullptr &&
                    PortBuffers::Create(ProgramKind::Blockprobe) == nullptr;
  std::_Exit(none ? 0 : 1);
}

TEST(PortBuffersDeathTest, MemoryThatCannotBeHadGivesNoBuffers) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(ExitWithBuffersOfACappedProcess(), ::testing::ExitedWithCode(0), "");
}

struct PageCase {
  const char* name;
  std::size_t detailSize;
  std::size_t pageBytes;
  std::size_t shown;
};

class DetailPage : public ::testing::TestWithParam<PageCase> {};

TEST_P(DetailPage, ShowsThePageFromByteTwoUpToTheEndOfTheDetail) {
  std::vector<std::uint8_t> detail(GetParam().detailSize);
  const auto shown = DetailPageBytes(detail, GetParam().pageBytes);
  EXPECT_EQ(shown.size(), GetParam().shown);
  if (!shown.empty()) {
    EXPECT_EQ(shown.data(), detail.data() + 2);
    EXPECT_LE(shown.data() + shown.size(), detail.data() + detail.size());
  }
}

INSTANTIATE_TEST_SUITE_P(Pages, DetailPage,
                         ::testing::Values(PageCase{"oneSector", 2048, 512, 512},
                                           PageCase{"fitsExactly", 2048, 2046, 2046},
                                           PageCase{"fourSectors", 2048, 2048, 2046},
                                           PageCase{"sixteenSectors", 2048, 16 * 512, 2046},
                                           PageCase{"tooShortForAPage", 2, 512, 0}),
                         [](const auto& testCase) { return std::string(testCase.param.name); });

}  // namespace
}  // namespace devlib
