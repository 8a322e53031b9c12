// The hardware checks against the emulated controller: each passes on a good
// drive and fails, with the result list or detail it leaves and the report
// made from it, on each injected fault.

#include "devlib/controller_tests.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "devlib/controller_access.h"
#include "devlib/failure_report.h"
#include "devlib/flash_params.h"
#include "devlib/port_io.h"
#include "drivesim/config.h"
#include "ram_code_line.h"
#include "platform/paths.h"
#include "testsupport/ram_code_images.h"

namespace devlib::testing {
namespace {

using Bytes = std::vector<std::uint8_t>;
using drivesim::DriveConfig;
using drivesim::FaultRule;
constexpr int kPort = 1;
constexpr std::array<std::uint8_t, 5> kId{0x98, 0xD7, 0x94, 0x32, 0x76};

// The part the drives carry: 4 channels, 2 banks on chip enables 0 and 1.
FlashParams Part() {
  FlashParams p;
  p.setting.typeWord = 0x224A;
  p.setting.channels = 4;
  p.setting.banks = 2;
  p.setting.chipEnables = 2;
  p.geometry.bankMap = {0, 1, 0, 0, 0, 0, 0, 0};
  p.geometry.sectorsPerPage = 16;
  p.resPercentage = 68;
  p.flashId = kId;
  p.checkFlashMask = 31;
  return p;
}

Bytes Slice(const Bytes& bytes, std::size_t from, std::size_t count) {
  return Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(from),
               bytes.begin() + static_cast<std::ptrdiff_t>(from + count));
}

class ControllerTests : public RamCodeLineTest, public ::testing::WithParamInterface<PortPath> {
 protected:
  void SetUp() override {
    RamCodeLineTest::SetUp();
    PublishFlashParams(Part());
  }
  // A fresh drive on the port, in loader state, with the faults given.
  drivesim::Drive& Drive(DriveConfig config = DriveFor(GetParam(), kPort),
                         const std::vector<FaultRule>& faults = {}) {
    config.path += "#" + std::to_string(++drives_);
    config.runState = drivesim::RunState::Loader;
    drivesim::Drive& drive = line_->addDrive(config);
    for (const FaultRule& rule : faults) drive.injectFault(rule);
    WirePort(kPort, config.path, GetParam());
    // The worker turns vendor mode on before an item's first vendor command.
    EXPECT_TRUE(SetVendorMode(kPort, true));
    return drive;
  }
  // A sub-op that fails on the way, after `skip` that pass; `times` -1: every one.
  FaultRule Fails(std::uint8_t subOp, int skip = 0, int times = 1) const {
    FaultRule rule;
    rule.kind = drivesim::FaultKind::TransportFailure;
    rule.match.subOp = subOp;
    // Behind a bridge or on a SATA port the command sector counts, not its data phase.
    if (GetParam() != PortPath::OwnUsb) rule.match.phase = drivesim::TunnelPhase::CommandSector;
    rule.skip = skip;
    rule.times = times;
    return rule;
  }
  // The vendor blocks of one sub-op the controller received.
  static std::vector<Bytes> Received(drivesim::Drive& drive, std::uint8_t subOp) {
    std::vector<Bytes> found;
    for (const auto& entry : drive.wire().entries(drivesim::Layer::Controller)) {
      if (entry.command.at(2) == subOp) found.push_back(entry.command);
    }
    return found;
  }

  Bytes buffer_ = Bytes(kControllerTestBufferSize);
  int drives_ = 0;
};

struct ModuleCase {
  const char* name;
  std::function<void(DriveConfig&, FlashParams&)> setUp;
  std::vector<FaultRule> faults;
  bool passes;
  std::uint8_t count, code;
  std::vector<std::pair<std::size_t, Bytes>> listBytes;  // offset, bytes expected there
};

TEST_P(ControllerTests, FlashModuleTest) {
  const std::array<std::uint8_t, 5> otherMaker{0xEC, 0xD7, 0x14, 0x76, 0x44};
  const std::array<std::uint8_t, 5> otherFifth{0x98, 0xD7, 0x94, 0x32, 0x77};
  auto twoMismatches = [&](DriveConfig& d, FlashParams&) {
    d.flashIdsAt = {{.channel = 1, .chipEnable = 0, .id = otherMaker}, {.channel = 2, .chipEnable = 1, .id = otherFifth}};
  };
  const ModuleCase cases[] = {
      {"good", {}, {}, true, 1, 0x80, {{24, {0x98, 0xD7, 0x94, 0x32, 0x76, 0, 0, 4, 2, 2}}}},
      {"twoMismatches",
       twoMismatches,
       {},
       false,
       3,
       0x82,
       {{18, {0x83, 1, 0}}, {24, {0xEC, 0xD7, 0x14, 0x76, 0x44}}, {34, {0x83, 2, 1}}, {40, {0x98, 0xD7, 0x94, 0x32, 0x77}}}},
      {"maskZeroMatchesAnyId",
       [&](DriveConfig& d, FlashParams& p) {
         twoMismatches(d, p);
         p.checkFlashMask = 0;
       },
       {},
       true,
       1,
       0x80,
       {}},
      {"maskOfTheMakerByteOnly",
       [&](DriveConfig& d, FlashParams& p) {
         twoMismatches(d, p);
         p.checkFlashMask = 0x01;
       },
       {},
       false,
       2,
       0x82,
       {{18, {0x83, 1, 0}}}},
      {"moreBanksThanTheDriveHas",  // the third bank's chip enable answers no ID
       [](DriveConfig&, FlashParams& p) {
         p.setting.banks = 3;
         p.geometry.bankMap[2] = 2;
       },
       {},
       false,
       5,
       0x82,
       {{18, {0x83, 0, 2}}, {24, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF}}, {66, {0x83, 3, 2}}}},
      {"countsDiffer",
       [](DriveConfig&, FlashParams& p) { p.setting.channels = 2; },
       {},
       false,
       2,
       0x80,
       {{18, {0x81}}, {24 + 7, {4, 2}}}},
      {"failedIdReadsAreSkipped", {}, {Fails(0x88, 1, 3)}, true, 1, 0x80, {}},
      {"failedCountReadPasses", {}, {Fails(0x05)}, true, 1, 0x80, {}},
      {"noIdReadsChecksNothing",
       {},
       {Fails(0x88, 0, -1)},
       false,
       2,
       0x80,
       {{18, {0x81}}, {24, Bytes(10, 0)}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    DriveConfig config = DriveFor(GetParam(), kPort);
    FlashParams params = Part();
    if (c.setUp) c.setUp(config, params);
    PublishFlashParams(params);
    drivesim::Drive& drive = Drive(config, c.faults);
    buffer_.assign(buffer_.size(), 0x5A);
    EXPECT_EQ(FlashModuleTest(kPort, buffer_, 0), c.passes);
    EXPECT_EQ(buffer_[kModuleCountAt], c.count);
    EXPECT_EQ(buffer_[kModuleCodeAt], c.code);
    for (const auto& [offset, bytes] : c.listBytes) EXPECT_EQ(Slice(buffer_, offset, bytes.size()), bytes) << offset;
    if (!c.faults.empty()) continue;  // the drive does not see what fails on the way
    const auto ids = Received(drive, 0x88);
    ASSERT_EQ(ids.size(), static_cast<std::size_t>(params.setting.channels * params.setting.banks));
    EXPECT_EQ(ids[1][3], 1) << "channels within a bank";
    EXPECT_EQ(ids[params.setting.channels][4], params.geometry.bankMap[1]) << "the bank's chip enable";
    EXPECT_EQ(Received(drive, 0x05).size(), c.code == 0x80 ? 1u : 0u) << "the count check only after every ID matched";
  }
}

// What the station files for a failed flash module test: the list from its
// byte 1 through the table build report.
TEST_P(ControllerTests, FlashModuleFailuresReadAsTheirReport) {
  const struct {
    const char* name;
    std::function<void(DriveConfig&, FlashParams&)> setUp;
    std::vector<FaultRule> faults;
    const char* text;
  } cases[] = {
      {"idMismatch",
       [](DriveConfig& d, FlashParams&) { d.flashIdsAt = {{.channel = 3, .chipEnable = 1, .id = {0xEC, 1, 2, 3, 4}}}; },
       {},
       "Flash Setting - ID: 98 D7 94 32 76\r\n"
       "Scan Result -  ID: EC 01 02 03 04 (Ch#03, Bank#01)\r\n"},
      {"countMismatch",
       [](DriveConfig&, FlashParams& p) { p.setting.banks = 1; },
       {},
       "Flash Setting - Ch:04 , Bank:01\r\n"
       "Scan Result -  Ch:04 , Bank:02\r\n"},
      {"noIdReads",
       {},
       {Fails(0x88, 0, -1)},
       "Flash Setting - Ch:04 , Bank:02\r\n"
       "Scan Result -  Ch:00 , Bank:00\r\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    DriveConfig config = DriveFor(GetParam(), kPort);
    FlashParams params = Part();
    if (c.setUp) c.setUp(config, params);
    PublishFlashParams(params);
    Drive(config, c.faults);
    ASSERT_FALSE(FlashModuleTest(kPort, buffer_, 0));
    const FailureReport report =
        FormatTableBuildReport(std::span(buffer_).subspan(kModuleCodeAt), buffer_[kModuleCountAt], params);
    EXPECT_EQ(report.text, c.text);
    EXPECT_FALSE(report.errorCode.has_value());
  }
}

TEST_P(ControllerTests, BusInterfaceTest) {
  DriveConfig flipping = DriveFor(GetParam(), kPort);
  flipping.testMemoryFlip = drivesim::TestMemoryFlip{.write = 14, .offset = 1000, .mask = 0x04};
  const struct {
    const char* name;
    DriveConfig config;
    std::vector<FaultRule> faults;
    bool passes;
    std::size_t writes, reads;
  } cases[] = {
      {"clean", DriveFor(GetParam(), kPort), {}, true, 20, 20},
      {"bitFlipsInTheSecondModesFourthRound", flipping, {}, false, 14, 14},
      {"failedWrite", DriveFor(GetParam(), kPort), {Fails(0x04, 4)}, false, 4, 4},
      {"failedRead", DriveFor(GetParam(), kPort), {Fails(0x03, 12)}, false, 13, 12},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    drivesim::Drive& drive = Drive(c.config, c.faults);
    EXPECT_EQ(BusInterfaceTest(kPort, buffer_, 0), c.passes);
    const auto writes = Received(drive, 0x04);
    EXPECT_EQ(writes.size(), c.writes);
    EXPECT_EQ(Received(drive, 0x03).size(), c.reads);
    if (writes.size() > 10) {
      EXPECT_EQ(writes[9][3], 0) << "ten rounds in mode 0";
      EXPECT_EQ(writes[10][3], 1) << "then mode 1";
    }
  }
}

struct InterfaceCase {
  const char* name;
  std::vector<drivesim::FlashTestFault> testFaults;
  std::vector<FaultRule> faults;
  char result;
  std::size_t step3Commands;
  Bytes detail;     // the result block's entries from byte 4, with the end mark
  const char* text;  // the report made from it
  std::optional<int> errorCode;
};

TEST_P(ControllerTests, FlashInterfaceTest) {
  using drivesim::FlashTestFault;
  const FlashTestFault resetFails{.step = 1, .commands = 0, .channel = 0, .bank = 1, .code = 1};
  const FlashTestFault eraseFails{.step = 2, .commands = 0, .channel = 2, .bank = 0, .code = 4};
  const FlashTestFault sramFails{.step = 2, .commands = 0, .channel = 0, .bank = 0, .code = 10};
  const InterfaceCase cases[] = {
      {"pass", {}, {}, 0, 1, {}, "", std::nullopt},
      {"step1",
       {resetFails},
       {},
       0x40,
       0,
       {0, 1, 1, 0, 0xFF},
       "Flash Interface Test Fail\r\nFlash RESET fail. Ch#00, Bank#01\r\n\r\nBad CH/CE:\r\nCH#0, BK#1\r\n",
       44},
      {"step2",
       {eraseFails, sramFails},
       {},
       0x41,
       0,
       {2, 0, 4, 0, 0, 0, 10, 0, 0xFF},
       "Flash Interface Test Fail\r\nFlash Erase fail. Ch#02, Bank#00\r\nTest SRAM Memory Fail\r\n"
       "\r\nBad CH/CE:\r\nCH#2, BK#0\r\n",
       53},
      {"step1CommandFails", {}, {Fails(0x01)}, 0x40, 0, {0xFF}, "", std::nullopt},
      {"onlyTheTenthRandomBlockPasses",
       {{.step = 3, .commands = 9, .channel = 1, .bank = 1, .code = 7}},
       {},
       0,
       10,
       {},
       "",
       std::nullopt},
      {"noRandomBlockPasses",
       {{.step = 3, .commands = 10, .channel = 1, .bank = 1, .code = 7}},
       {},
       0x42,
       10,
       {1, 1, 7, 0, 0xFF},
       "Flash Interface Test Fail\r\nFlash ECC fail. Ch#01, Bank#01\r\n\r\nBad CH/CE:\r\nCH#1, BK#1\r\n",
       50},
      {"resultBlockUnreadable", {resetFails}, {Fails(0x02)}, 0x40, 0, {0xFF, 0xFF, 0xFF, 0xFF}, "", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    DriveConfig config = DriveFor(GetParam(), kPort);
    config.flashTestFaults = c.testFaults;
    drivesim::Drive& drive = Drive(config, c.faults);
    char result = 0x7F;
    std::uint8_t stepValue = 0;
    buffer_.assign(buffer_.size(), 0x11);
    EXPECT_EQ(FlashInterfaceTest(kPort, buffer_, result, stepValue, 0), c.result == 0);
    EXPECT_EQ(result, c.result);
    if (c.result == 0) {
      EXPECT_EQ(stepValue, 0xFF);
    }

    const auto steps = Received(drive, 0x01);
    if (!steps.empty()) {
      EXPECT_EQ(Slice(steps[0], 3, 3), (Bytes{1, 0x02, 0x5A})) << "step 1 on block 602";
    }
    if (steps.size() > 1) {
      EXPECT_EQ(Slice(steps[1], 3, 3), (Bytes{2, 0x02, 0x5A})) << "step 2 on block 602";
    }
    std::set<int> blocks;
    for (const Bytes& step : steps) {
      if (step[3] != 3) continue;
      const int block = step[4] << 8 | step[5];
      EXPECT_TRUE(block >= 256 && block <= 1791) << block;
      blocks.insert(block);
    }
    EXPECT_EQ(blocks.size(), c.step3Commands) << "distinct random blocks";

    if (c.faults.empty()) {
      EXPECT_EQ(Received(drive, 0x02).size(), c.result == 0 ? 0u : 1u);
    }
    if (c.result == 0) continue;
    EXPECT_EQ(Slice(buffer_, 4, c.detail.size()), c.detail);
    const FailureReport report = FormatFlashTestReport(std::span(buffer_).first(512), Part().setting.channels);
    EXPECT_EQ(report.text, c.text);
    EXPECT_EQ(report.errorCode, c.errorCode);
  }
}

TEST_P(ControllerTests, DramTest) {
  drivesim::JobBehaviour slow;
  slow.busyPolls = 3;
  drivesim::JobBehaviour status20;
  status20.finalStatus = 20;
  const DriveConfig good = DriveFor(GetParam(), kPort);
  auto with = [&](auto change) {
    DriveConfig c = good;
    change(c);
    return c;
  };
  const struct {
    const char* name;
    DriveConfig config;
    std::vector<FaultRule> faults;
    bool passes;
    std::size_t checks, polls;
  } cases[] = {
      {"good", good, {}, true, 1, 1},
      {"busyThreePolls", with([&](DriveConfig& c) { c.jobs[drivesim::Job::DramCheck] = slow; }), {}, true, 1, 4},
      {"cellStuckLow", with([](DriveConfig& c) { c.dramCellFaults = {{.address = 0x2FFFD, .stuckAt = 0x00}}; }), {},
       false, 1, 1},
      {"cellStuckAtThePatternsByte",
       with([](DriveConfig& c) { c.dramCellFaults = {{.address = 0x2FFFD, .stuckAt = 0xFF}}; }), {}, true, 1, 1},
      {"status20", with([&](DriveConfig& c) { c.jobs[drivesim::Job::DramCheck] = status20; }), {}, false, 1, 1},
      {"registerReadsWrong", with([](DriveConfig& c) { c.registerFaults = {{.address = 0x2001F, .readsAs = 0x55}}; }),
       {}, false, 0, 0},
      {"registerReadFails", with([](DriveConfig& c) { c.registerFaults = {{.address = 0x20000}}; }), {}, false, 0, 0},
      {"checkRefused", good, {Fails(0x05)}, false, 0, 0},
      {"pollFails", with([&](DriveConfig& c) { c.jobs[drivesim::Job::DramCheck] = slow; }), {Fails(0x00, 1)}, false,
       1, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    drivesim::Drive& drive = Drive(c.config, c.faults);
    EXPECT_EQ(DramTest(kPort, buffer_, 0), c.passes);
    EXPECT_EQ(Received(drive, 0x85).size(), 32u);
    EXPECT_EQ(Received(drive, 0x05).size(), c.checks);
    EXPECT_EQ(Received(drive, 0x00).size(), c.polls);
  }
  drivesim::Drive& drive = Drive();
  ASSERT_TRUE(DramTest(kPort, buffer_, 0));
  const auto& entries = drive.wire().entries(drivesim::Layer::Controller);
  const auto check = std::find_if(entries.begin(), entries.end(), [](const auto& e) { return e.command[2] == 0x05; });
  ASSERT_NE(check, entries.end());
  EXPECT_EQ(Slice(check->command, 4, 8), (Bytes{0, 2, 0, 0, 4, 0, 0, 0}));
  ASSERT_EQ(check->dataOut.size(), 512u);
  EXPECT_EQ(Slice(check->dataOut, 508, 4), (Bytes{0x00, 0xFF, 0x00, 0xFF}));
}

TEST_P(ControllerTests, AutoDetectReadsTheFlashIdReport) {
  DriveConfig config = DriveFor(GetParam(), kPort);
  config.flashBanks = 4;
  Drive(config);
  ASSERT_TRUE(AutoDetectFlash(kPort, buffer_, 0));
  EXPECT_EQ(Slice(buffer_, 0, 5), Bytes(kId.begin(), kId.end()));
  EXPECT_EQ(Slice(buffer_, 7, 3), (Bytes{4, 4, 2}));
  Drive(DriveFor(GetParam(), kPort), {Fails(0x05)});
  EXPECT_FALSE(AutoDetectFlash(kPort, buffer_, 0));
}

TEST_P(ControllerTests, NothingRunsWithoutItsImageOrRoom) {
  drivesim::Drive& drive = Drive();
  Bytes small(kControllerTestBufferSize - 1);
  char result = 0x7F;
  std::uint8_t stepValue = 0x7F;
  EXPECT_FALSE(AutoDetectFlash(kPort, small, 0));
  EXPECT_FALSE(FlashModuleTest(kPort, small, 0));
  EXPECT_FALSE(BusInterfaceTest(kPort, small, 0));
  EXPECT_FALSE(FlashInterfaceTest(kPort, small, result, stepValue, 0));
  EXPECT_FALSE(DramTest(kPort, small, 0));
  EXPECT_TRUE(drive.wire().entries(drivesim::Layer::Controller).empty());

  std::filesystem::remove(directory_ / "satatest.bin");
  std::filesystem::remove(directory_ / "GDP.bin");
  EXPECT_FALSE(FlashInterfaceTest(kPort, buffer_, result, stepValue, 0));
  EXPECT_EQ(result, 0x7F) << "untouched when the load fails";
  EXPECT_EQ(stepValue, 0x7F);
  EXPECT_FALSE(BusInterfaceTest(kPort, buffer_, 0));
  EXPECT_FALSE(DramTest(kPort, buffer_, 0));
  EXPECT_FALSE(FlashModuleTest(kPort, buffer_, 0));
  EXPECT_FALSE(AutoDetectFlash(kPort, buffer_, 0));
  EXPECT_TRUE(Received(drive, 0x82).empty()) << "no RAM code started";
  for (const std::uint8_t subOp : {0x01, 0x03, 0x04, 0x05, 0x84, 0x85, 0x88}) {
    EXPECT_TRUE(Received(drive, subOp).empty()) << int{subOp};
  }
  EXPECT_FALSE(FlashModuleTest(99, buffer_, 0)) << "no such port";
}

INSTANTIATE_TEST_SUITE_P(Paths, ControllerTests,
                         ::testing::Values(PortPath::OwnUsb, PortPath::Bridge, PortPath::NativeSata),
                         [](const auto& p) { return std::string(PortPathName(p.param)); });

}  // namespace
}  // namespace devlib::testing
