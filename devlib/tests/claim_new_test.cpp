// The loader block check, the rebuild and the init operation against the
// emulated controller.

#include "devlib/claim_new.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <filesystem>
#include <vector>

#include "devlib/port_io.h"
#include "drivesim/config.h"
#include "ram_code_line.h"
#include "platform/paths.h"
#include "testsupport/ram_code_images.h"

namespace devlib::testing {
namespace {

using Bytes = std::vector<std::uint8_t>;
constexpr int kPort = 3;

class ClaimNew : public RamCodeLineTest {
 protected:
  drivesim::Drive& Drive(drivesim::DriveConfig config = DriveFor(PortPath::OwnUsb, kPort)) {
    drivesim::Drive& drive = line_->addDrive(config);
    WirePort(kPort, config.path, PortPath::OwnUsb);
    return drive;
  }
  Bytes buffer_ = Bytes(64 * 1024);
};

TEST_F(ClaimNew, LoaderBlocksComeFromTheList) {
  drivesim::DriveConfig config = DriveFor(PortPath::OwnUsb, kPort);
  config.loaderBlocks = {4, 9, 2, 7};
  Drive(config);
  ASSERT_TRUE(CheckLoaderBlocks(kPort, buffer_, 0));
  EXPECT_EQ(PortIo(kPort)->loaderBlockCount, 4);
  EXPECT_EQ(PortIo(kPort)->loaderBlocks, (std::array<std::uint16_t, 4>{4, 9, 2, 7}));
}

TEST_F(ClaimNew, FewerThanFourDistinctBlocksFailBeforeTheRebuildsLoad) {
  const struct {
    const char* name;
    std::vector<std::uint16_t> blocks;
    int count;
    std::array<std::uint16_t, 4> kept;  // the blocks found first, then 0xFFFF
  } cases[] = {{"duplicate", {4, 4, 2, 7}, 3, {4, 2, 7, 0xFFFF}},
               {"twoDuplicates", {4, 4, 2, 2}, 2, {4, 2, 0xFFFF, 0xFFFF}},
               {"short", {4, 9}, 2, {4, 9, 0xFFFF, 0xFFFF}},
               {"endsEarly", {0, 1, 0xFFFF, 3}, 2, {0, 1, 0xFFFF, 0xFFFF}},
               {"none", {}, 0, {0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF}}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    drivesim::DriveConfig config = DriveFor(PortPath::OwnUsb, kPort);
    config.loaderBlocks = c.blocks;
    drivesim::Drive& drive = Drive(config);
    buffer_.assign(buffer_.size(), 0x5A);
    EXPECT_FALSE(RebuildDevice(kPort, buffer_, 0, true));
    EXPECT_EQ(PortIo(kPort)->loaderBlockCount, c.count);
    EXPECT_EQ(PortIo(kPort)->loaderBlocks, c.kept);
    EXPECT_EQ(drive.runState(), drivesim::RunState::GdpRamCode) << "GDP_A.bin was never loaded";
    EXPECT_EQ(buffer_[0], 0) << "the error block was read";
  }
}

TEST_F(ClaimNew, ALoaderListThatCannotBeReadFails) {
  drivesim::DriveConfig config = DriveFor(PortPath::OwnUsb, kPort);
  config.loaderListFails = true;
  Drive(config);
  EXPECT_FALSE(CheckLoaderBlocks(kPort, buffer_, 0));
  EXPECT_FALSE(RebuildDevice(kPort, buffer_, 0, false));
}

TEST_F(ClaimNew, RebuildWantsStatus18InitWants14) {
  drivesim::JobBehaviour slow;
  slow.busyPolls = 4;
  drivesim::JobBehaviour ends14;
  ends14.finalStatus = 14;
  drivesim::DriveConfig good = DriveFor(PortPath::OwnUsb, kPort);
  good.jobs[drivesim::Job::Operation4] = slow;
  drivesim::Drive& drive = Drive(good);
  EXPECT_TRUE(RebuildDevice(kPort, buffer_, 0, false)) << "polled until the status leaves busy";
  EXPECT_TRUE(RebuildDevice(kPort, buffer_, 0, true));
  EXPECT_EQ(drive.runState(), drivesim::RunState::GdpARamCode);
  EXPECT_TRUE(RunInitOperation(kPort, buffer_, 0, 0));

  drivesim::DriveConfig fourteen = DriveFor(PortPath::OwnUsb, kPort);
  fourteen.jobs[drivesim::Job::Operation4] = ends14;
  drivesim::JobBehaviour busyInit;
  busyInit.busyPolls = 1;
  fourteen.jobs[drivesim::Job::Operation1] = busyInit;
  Drive(fourteen);
  EXPECT_FALSE(RebuildDevice(kPort, buffer_, 0, false));
  EXPECT_FALSE(RunInitOperation(kPort, buffer_, 0x04, 0)) << "still busy after the one poll";
}

}  // namespace
}  // namespace devlib::testing
