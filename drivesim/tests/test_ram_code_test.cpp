// The test RAM code's flash interface steps, their result block and the DRAM
// check, clean and with the faults a drive can carry, on each path.

#include <optional>
#include <string>

#include "drivesim/drive.h"
#include "drivesim/scenario.h"
#include "platform/clock.h"
#include "vendor_host.h"

namespace drivesim::test {
namespace {

class TestRamCode : public LineTest, public ::testing::WithParamInterface<HostPath> {
 protected:
  // A drive in loader state running the test RAM code.
  VendorHost& attach(DriveConfig config) {
    config.runState = RunState::Loader;
    drive = &line->addDrive(config);
    device = open(config.path);
    host.emplace(*device, GetParam());
    EXPECT_TRUE(host->vendorMode(true));
    EXPECT_TRUE(loadRamCode(*host, ramCodeImage("TST_")));
    return *host;
  }
  DriveConfig config() const { return configFor(GetParam()); }

  // Reply bytes 0 and 1 of a step; nothing when the command fails.
  std::optional<std::pair<std::uint8_t, std::uint8_t>> step(std::uint8_t number, std::uint16_t block) {
    Bytes reply(kSector, 0x77);
    if (!host->send(0x01, {number, static_cast<std::uint8_t>(block >> 8), static_cast<std::uint8_t>(block)},
                    Direction::In, reply)) {
      return std::nullopt;
    }
    return std::pair{reply[0], reply[1]};
  }
  Bytes resultBlock() {
    Bytes reply(kSector, 0x77);
    EXPECT_TRUE(host->send(0x02, {}, Direction::In, reply));
    return reply;
  }
  // The DRAM check over 64 MiB at 0x20000 with one pattern sector; then its final status.
  std::optional<std::uint8_t> dramCheck(Bytes pattern, std::uint32_t length = 0x4000000) {
    if (!host->send(0x05,
                    {0, 0x00, 0x02, 0x00, 0x00, static_cast<std::uint8_t>(length >> 24),
                     static_cast<std::uint8_t>(length >> 16), static_cast<std::uint8_t>(length >> 8),
                     static_cast<std::uint8_t>(length)},
                    Direction::Out, pattern)) {
      return std::nullopt;
    }
    return host->status();
  }
  static Bytes alternating() {
    Bytes pattern(kSector);
    for (std::size_t i = 0; i < pattern.size(); ++i) pattern[i] = i % 2 == 0 ? 0x00 : 0xff;
    return pattern;
  }

  platform::clock::ScopedFastClock clock;
  Drive* drive = nullptr;
  std::unique_ptr<Device> device;
  std::optional<VendorHost> host;
};

using Reply = std::pair<std::uint8_t, std::uint8_t>;

TEST_P(TestRamCode, StepsPassAndTheResultBlockIsEmptyOnACleanDrive) {
  attach(config());
  for (std::uint8_t s = 1; s <= 3; ++s) EXPECT_EQ(step(s, 602), (Reply{1, 0xff})) << "step " << int{s};
  const Bytes result = resultBlock();
  EXPECT_EQ(Bytes(result.begin() + 4, result.begin() + 8), (Bytes{0xff, 0xff, 0xff, 0xff}));
  EXPECT_FALSE(step(4, 602)) << "no fourth step";
  EXPECT_FALSE(step(0, 602));
}

TEST_P(TestRamCode, FaultsFailTheirStepForTheirCommandsAndListOnce) {
  DriveConfig c = config();
  c.flashTestFaults = {{.step = 3, .commands = 2, .channel = 0, .bank = 1, .code = 4},
                       {.step = 3, .commands = 1, .channel = 2, .bank = 0, .code = 10},
                       {.step = 1, .commands = 0, .channel = 3, .bank = 1, .code = 1}};
  attach(c);
  EXPECT_EQ(step(2, 602), (Reply{1, 0xff}));
  EXPECT_EQ(step(3, 300), (Reply{1, 4})) << "the first fault's code";
  EXPECT_EQ(step(3, 301), (Reply{1, 4}));
  EXPECT_EQ(step(3, 302), (Reply{1, 0xff})) << "both step-3 faults spent";
  EXPECT_EQ(step(1, 602), (Reply{1, 1}));
  EXPECT_EQ(step(1, 602), (Reply{1, 1})) << "commands 0: every one";
  const Bytes result = resultBlock();
  EXPECT_EQ(Bytes(result.begin() + 4, result.begin() + 20),
            (Bytes{0, 1, 4, 0, 2, 0, 10, 0, 3, 1, 1, 0, 0xff, 0xff, 0xff, 0xff}));

  ASSERT_TRUE(loadRamCode(*host, ramCodeImage("TST_")));
  EXPECT_EQ(resultBlock()[4], 0xff) << "a new start clears the results";
  EXPECT_EQ(step(3, 300), (Reply{1, 4})) << "and the counts";
}

TEST_P(TestRamCode, DramCheckFailsWhereACellDoesNotHoldThePattern) {
  const struct {
    const char* name;
    std::vector<DramCellFault> cells;
    std::uint8_t status;
  } cases[] = {
      {"clean", {}, 21},
      {"cellStuckLowUnderAnFF", {{.address = 0x20001, .stuckAt = 0x00}}, 20},
      {"cellStuckAtWhatThePatternPutsThere", {{.address = 0x20201, .stuckAt = 0xff}}, 21},
      {"cellBelowTheRange", {{.address = 0x1ffff, .stuckAt = 0x55}}, 21},
      {"lastCellOfTheRange", {{.address = 0x401ffff, .stuckAt = 0x00}}, 20},
      {"cellPastTheRange", {{.address = 0x4020000, .stuckAt = 0x55}}, 21},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.name);
    DriveConfig c = config();
    c.path += k.name;
    c.dramCellFaults = k.cells;
    attach(c);
    EXPECT_EQ(dramCheck(alternating()), k.status);
  }
}

TEST_P(TestRamCode, DramCheckRefusesAnEmptyRange) {
  attach(config());
  EXPECT_FALSE(dramCheck(alternating(), 0));
}

INSTANTIATE_TEST_SUITE_P(Paths, TestRamCode,
                         ::testing::Values(HostPath::OwnUsb, HostPath::Bridge, HostPath::Sata),
                         [](const auto& p) { return std::string(hostPathName(p.param)); });

TEST(TestRamCodeScenario, FlashTestFaultsAndDramCellsAreRead) {
  const ScenarioLoad load = parseScenario(
      "[drive]\npath = /dev/sdc\nfrontend = sata\n"
      "flashtestfault = 3 0 1 4 commands 9\n"
      "flashtestfault = 1 2 0 10\n"
      "dramcell = 0x20001 stuck 0x00\n");
  ASSERT_TRUE(load.line) << load.error;
  const DriveConfig& c = load.line->drive("/dev/sdc")->config();
  ASSERT_EQ(c.flashTestFaults.size(), 2u);
  EXPECT_EQ(c.flashTestFaults[0].step, 3);
  EXPECT_EQ(c.flashTestFaults[0].commands, 9);
  EXPECT_EQ(c.flashTestFaults[0].bank, 1);
  EXPECT_EQ(c.flashTestFaults[0].code, 4);
  EXPECT_EQ(c.flashTestFaults[1].commands, 0);
  EXPECT_EQ(c.flashTestFaults[1].channel, 2);
  ASSERT_EQ(c.dramCellFaults.size(), 1u);
  EXPECT_EQ(c.dramCellFaults[0].address, 0x20001u);
  EXPECT_EQ(c.dramCellFaults[0].stuckAt, 0);

  for (const char* bad : {"flashtestfault = 4 0 0 1\n", "flashtestfault = 1 0 0 12\n", "flashtestfault = 1 0 0 0\n",
                          "flashtestfault = 1 0 0 1 times 3\n", "dramcell = 0x20001 0x00\n"}) {
    const ScenarioLoad refused = parseScenario(std::string("[drive]\npath = /dev/sdc\nfrontend = sata\n") + bad);
    EXPECT_FALSE(refused.line) << bad;
    EXPECT_NE(refused.error.find("line 4"), std::string::npos) << refused.error;
  }
}

}  // namespace
}  // namespace drivesim::test
