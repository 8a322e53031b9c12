// The hardware checks against the emulated controller: each passes on a good
// drive and fails, with the result it leaves, on each injected fault.

#include "devlib/controller_tests.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <vector>

#include "devlib/flash_params.h"
#include "devlib/port_io.h"
#include "drivesim/config.h"
#include "emulated_port.h"
#include "platform/paths.h"
#include "testsupport/ram_code_images.h"

namespace devlib::testing {
namespace {

using Bytes = std::vector<std::uint8_t>;
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

drivesim::FaultRule OnSubOp(std::uint8_t subOp, int skip = 0, int times = 1) {
  drivesim::FaultRule rule;
  rule.kind = drivesim::FaultKind::TransportFailure;
  rule.match.subOp = subOp;
  rule.skip = skip;
  rule.times = times;
  return rule;
}

class ControllerTests : public EmulatedLineTest {
 protected:
  void SetUp() override {
    EmulatedLineTest::SetUp();
    InitPortIoTable(ProgramKind::Fleetburn);
    previousParams_ = *CurrentFlashParams();
    PublishFlashParams(Part());
    directory_ = std::filesystem::temp_directory_path() / ("controller-tests-" + std::to_string(::getpid()));
    std::filesystem::create_directories(directory_);
    platform::paths::setProgramDirectory(directory_);
    testsupport::WriteRamCodeImages(directory_, directory_);
  }
  void TearDown() override {
    platform::paths::setProgramDirectory({});
    std::filesystem::remove_all(directory_);
    PublishFlashParams(previousParams_);
    EmulatedLineTest::TearDown();
  }
  drivesim::Drive& Drive(drivesim::DriveConfig config = DriveFor(PortPath::OwnUsb, kPort)) {
    config.flashId = kId;
    drivesim::Drive& drive = line_->addDrive(config);
    WirePort(kPort, config.path, PortPath::OwnUsb);
    return drive;
  }
  Bytes buffer_ = Bytes(kControllerTestBufferSize);
  FlashParams previousParams_;
  std::filesystem::path directory_;
};

TEST_F(ControllerTests, FlashModuleTestPassesOnAGoodDrive) {
  Drive();
  EXPECT_TRUE(FlashModuleTest(kPort, buffer_, 0));
  EXPECT_EQ(buffer_[kModuleCountAt], 1);
  EXPECT_EQ(buffer_[kModuleCodeAt], 0x80);
  EXPECT_EQ(buffer_[kModuleInfoAt + 7], 4) << "the flash ID report of the count check";
}

TEST_F(ControllerTests, FlashModuleTestListsEachMismatchingId) {
  drivesim::DriveConfig config = DriveFor(PortPath::OwnUsb, kPort);
  config.flashIdsAt = {{.channel = 1, .chipEnable = 0, .id = {0xEC, 0xD7, 0x14, 0x76, 0x44}},
                       {.channel = 2, .chipEnable = 1, .id = {0x98, 0xD7, 0x94, 0x32, 0x77}}};
  Drive(config);
  EXPECT_FALSE(FlashModuleTest(kPort, buffer_, 0));
  EXPECT_EQ(buffer_[kModuleCountAt], 3);
  EXPECT_EQ(buffer_[kModuleCodeAt], 0x82) << "no count check after a mismatch";
  EXPECT_EQ(Bytes(buffer_.begin() + 18, buffer_.begin() + 21), (Bytes{0x83, 1, 0}));
  EXPECT_EQ(Bytes(buffer_.begin() + 24, buffer_.begin() + 29), (Bytes{0xEC, 0xD7, 0x14, 0x76, 0x44}));
  EXPECT_EQ(Bytes(buffer_.begin() + 34, buffer_.begin() + 37), (Bytes{0x83, 2, 1}));
  EXPECT_EQ(buffer_[40 + 4], 0x77);

  // CheckFlashMask 0 lets every ID that reads match; bit 4 alone catches only the 5th byte.
  FlashParams none = Part();
  none.checkFlashMask = 0;
  PublishFlashParams(none);
  EXPECT_TRUE(FlashModuleTest(kPort, buffer_, 0));
  FlashParams fifth = Part();
  fifth.checkFlashMask = 0x10;
  PublishFlashParams(fifth);
  EXPECT_FALSE(FlashModuleTest(kPort, buffer_, 0));
  EXPECT_EQ(buffer_[kModuleCountAt], 3);
}

TEST_F(ControllerTests, FlashModuleTestChecksTheCountsFound) {
  Drive();
  FlashParams twoChannels = Part();
  twoChannels.setting.channels = 2;  // the drive reports four
  PublishFlashParams(twoChannels);
  EXPECT_FALSE(FlashModuleTest(kPort, buffer_, 0));
  EXPECT_EQ(buffer_[kModuleCountAt], 2);
  EXPECT_EQ(buffer_[kModuleCodeAt], 0x80);
  EXPECT_EQ(buffer_[kModuleFirstEntryAt], 0x81);
}

TEST_F(ControllerTests, FlashModuleTestSkipsFailedReads) {
  drivesim::Drive& drive = Drive();
  drive.injectFault(OnSubOp(0x88, 0, 3));  // three ID reads fail
  drive.injectFault(OnSubOp(0x05));        // and the count check's report
  EXPECT_TRUE(FlashModuleTest(kPort, buffer_, 0));
  EXPECT_EQ(buffer_[kModuleCountAt], 1);
}

TEST_F(ControllerTests, BusInterfaceTest) {
  Drive();
  EXPECT_TRUE(BusInterfaceTest(kPort, buffer_, 0));
  drivesim::DriveConfig flipping = DriveFor(PortPath::OwnUsb, kPort);
  flipping.testMemoryFlip = drivesim::TestMemoryFlip{.write = 13, .offset = 1000, .mask = 0x04};
  Drive(flipping);
  EXPECT_FALSE(BusInterfaceTest(kPort, buffer_, 0)) << "a bus bit that flips in the second mode's third round";
}

TEST_F(ControllerTests, FlashInterfaceTestNamesTheStepThatFailed) {
  const struct {
    const char* name;
    int skip, times;
    char result;
  } cases[] = {
      {"pass", 0, 0, 0},
      {"step1", 0, 1, 0x40},
      {"step2", 1, 1, 0x41},
      {"onlyTheTenthRandomBlockPasses", 2, 9, 0},
      {"noRandomBlockPasses", 2, 10, 0x42},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    drivesim::Drive& drive = Drive();
    if (c.times > 0) drive.injectFault(OnSubOp(0x01, c.skip, c.times));
    char result = 0x7F;
    buffer_.assign(buffer_.size(), 0x11);
    EXPECT_EQ(FlashInterfaceTest(kPort, buffer_, result, 0), c.result == 0);
    EXPECT_EQ(result, c.result);
    if (c.result != 0) {
      EXPECT_EQ(buffer_[4], 0xFF) << "the result block was read: its list ends at once";
    }
  }
}

TEST_F(ControllerTests, DramTest) {
  drivesim::JobBehaviour slow;
  slow.busyPolls = 3;
  drivesim::JobBehaviour status20;
  status20.finalStatus = 20;
  drivesim::DriveConfig good = DriveFor(PortPath::OwnUsb, kPort);
  drivesim::DriveConfig busy = good;
  busy.jobs[drivesim::Job::DramCheck] = slow;
  drivesim::DriveConfig badCell = good;
  badCell.jobs[drivesim::Job::DramCheck] = status20;
  drivesim::DriveConfig badRegister = good;
  badRegister.registerFaults = {{.address = 0x20005, .readsAs = 0x55}};
  const struct {
    const char* name;
    drivesim::DriveConfig config;
    bool passes;
  } cases[] = {{"good", good, true}, {"busyFirst", busy, true}, {"cellFails", badCell, false},
               {"registerFails", badRegister, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Drive(c.config);
    EXPECT_EQ(DramTest(kPort, buffer_, 0), c.passes);
  }
}

TEST_F(ControllerTests, AutoDetectReadsTheFlashIdReport) {
  Drive();
  ASSERT_TRUE(AutoDetectFlash(kPort, buffer_, 0));
  EXPECT_EQ(Bytes(buffer_.begin(), buffer_.begin() + 5), Bytes(kId.begin(), kId.end()));
  EXPECT_EQ(buffer_[8], 2);
}

TEST_F(ControllerTests, NoImageNoTest) {
  Drive();
  std::filesystem::remove(directory_ / "satatest.bin");
  std::filesystem::remove(directory_ / "GDP.bin");
  char result = 0x7F;
  EXPECT_FALSE(FlashInterfaceTest(kPort, buffer_, result, 0));
  EXPECT_EQ(result, 0x7F) << "untouched when the load fails";
  EXPECT_FALSE(BusInterfaceTest(kPort, buffer_, 0));
  EXPECT_FALSE(DramTest(kPort, buffer_, 0));
  EXPECT_FALSE(FlashModuleTest(kPort, buffer_, 0));
  Bytes small(1024);
  EXPECT_FALSE(AutoDetectFlash(kPort, small, 0));
}

}  // namespace
}  // namespace devlib::testing
