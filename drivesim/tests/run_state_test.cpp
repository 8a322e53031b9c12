// Run-state switches and RAM code on each path: what the drive says it is
// afterwards, what happens to vendor mode, and the time it takes to come back.

#include <string>

#include "drivesim/drive.h"
#include "platform/clock.h"
#include "vendor_host.h"

namespace drivesim::test {
namespace {

class RunStateTest : public LineTest, public ::testing::WithParamInterface<HostPath> {
 protected:
  Drive& addDrive(RunState state = RunState::Firmware, std::uint32_t unresponsiveMs = 0) {
    DriveConfig config = configFor(GetParam());
    config.runState = state;
    config.unresponsiveMs = unresponsiveMs;
    return line->addDrive(config);
  }

  // The identity text the host compares: INQUIRY bytes 8..30 on the own USB
  // interface, the IDENTIFY model (36 characters) behind ATA.
  std::string identity(Device& device) {
    if (GetParam() == HostPath::OwnUsb) {
      Bytes data(40);
      const auto o = scsi(device, {0x12, 0, 0, 0, 40, 0}, Direction::In, data);
      EXPECT_EQ(o.scsiStatus, 0);
      return std::string(data.begin() + 8, data.begin() + 31);
    }
    Bytes data(kSector);
    if (GetParam() == HostPath::Bridge) {
      scsi(device, {0xa1, 0x08, 0x0b, 0, 1, 0, 0, 0, 0xe0, 0xec, 0, 0}, Direction::In, data);
    } else {
      ata(device, {0, 1, 0, 0, 0, 0xe0, 0xec}, Direction::In, data);
    }
    std::string model;
    for (int i = 0; i < 36; ++i) model += static_cast<char>(data[(54 + i) ^ 1]);
    return model;
  }

  // The signature sector a tunnel read tagged 0xFF returns with nothing pending.
  Bytes signature(Device& device) {
    Bytes data(kSector);
    if (GetParam() == HostPath::Bridge) {
      scsi(device, tunnelCdb(kSet2, false, 1, 0xff), Direction::In, data);
    } else {
      ata(device, tunnelRegisters(kSet2.read, 1, 0xff), Direction::In, data, true);
    }
    return Bytes(data.begin(), data.begin() + 3);
  }

  std::string firmwareIdentity() const {
    const std::string model = "Tolvane KWFA4X SATA SSD";
    return GetParam() == HostPath::OwnUsb ? "Tolvane KWFA4X USB SSD " : model + std::string(36 - model.size(), ' ');
  }
  std::string loaderIdentity() const {
    // The host compares 36 characters of the model.
    return GetParam() == HostPath::OwnUsb ? "Generic ZIR USB Loader " : std::string("Generic ZIR SATA Loader Loader Device", 36);
  }

  platform::clock::ScopedFastClock clock;
};

TEST_P(RunStateTest, LoaderAndFirmwareSwitchesChangeTheIdentityAndDropVendorMode) {
  Drive& drive = addDrive();
  auto device = open(devicePathOf(GetParam()));
  VendorHost host(*device, GetParam());
  EXPECT_EQ(identity(*device), firmwareIdentity());

  ASSERT_TRUE(host.vendorMode(true));
  drive.wire().clear();
  ASSERT_TRUE(host.switchRunMode(0, 0));
  EXPECT_EQ(drive.runState(), RunState::Loader);
  EXPECT_FALSE(drive.vendorMode()) << "a switch leaves vendor mode";
  const auto blocks = drive.wire().entries(Layer::Controller);
  ASSERT_EQ(blocks.size(), 2u);
  EXPECT_EQ(blocks[0].command[2], 0x81);
  EXPECT_EQ(blocks[0].command[3], host.tunnelled() ? 1 : 0);
  EXPECT_EQ(blocks[1].command[2], 0x83);
  EXPECT_EQ(blocks[1].note, "set run mode 0 (loader)");
  EXPECT_EQ(identity(*device), loaderIdentity());
  if (host.tunnelled()) {
    ASSERT_TRUE(host.vendorMode(true));
    EXPECT_EQ(signature(*device), (Bytes{0xe5, 'L', 'D'}));
  }

  for (const std::uint8_t mode : {2, 3}) {
    ASSERT_TRUE(host.vendorMode(true));
    ASSERT_TRUE(host.switchRunMode(mode, 1)) << "mode " << int{mode};
    EXPECT_EQ(drive.runState(), RunState::Firmware);
    EXPECT_EQ(identity(*device), firmwareIdentity());
    if (host.tunnelled()) {
      ASSERT_TRUE(host.vendorMode(true));
      EXPECT_EQ(signature(*device), (Bytes{0xe5, 'K', 'W'}));
    }
    ASSERT_TRUE(host.vendorMode(true));
    ASSERT_TRUE(host.switchRunMode(0, 0));
  }
}

TEST_P(RunStateTest, SetRunModeNeedsASessionStartAndAKnownMode) {
  Drive& drive = addDrive();
  auto device = open(devicePathOf(GetParam()));
  VendorHost host(*device, GetParam());
  ASSERT_TRUE(host.vendorMode(true));
  EXPECT_FALSE(host.send(0x83, {0})) << "no session start before";
  EXPECT_EQ(drive.runState(), RunState::Firmware);

  ASSERT_TRUE(host.send(0x81, {1}));
  EXPECT_FALSE(host.send(0x83, {1})) << "mode 1 is no run mode";
  EXPECT_EQ(drive.runState(), RunState::Firmware);

  ASSERT_TRUE(host.switchRunMode(0, 0));
  ASSERT_TRUE(host.vendorMode(true));
  EXPECT_FALSE(host.send(0x83, {2})) << "one session start serves one switch";
  EXPECT_EQ(drive.runState(), RunState::Loader);
}

TEST_P(RunStateTest, RamCodeIsStoredReadBackAndStartedByItsMagic) {
  struct ImageCase {
    const char* magic;
    const char* tag;
    RunState state;
  };
  const ImageCase cases[] = {{"GDP_", "", RunState::GdpRamCode},
                             {"GDP_", "GDP_A", RunState::GdpARamCode},
                             {"TST_", "", RunState::TstRamCode}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.magic) + c.tag);
    Drive& drive = addDrive(RunState::Loader);
    auto device = open(devicePathOf(GetParam()));
    VendorHost host(*device, GetParam());
    ASSERT_TRUE(host.vendorMode(true));
    const Bytes image = ramCodeImage(c.magic, c.tag);
    Bytes out = image;
    ASSERT_TRUE(host.send(0x87, {3, 0x40, 0, 0, 0}, Direction::Out, out));
    EXPECT_EQ(drive.memory(0x40000000, image.size()), image);

    Bytes back(image.size(), 0);
    ASSERT_TRUE(host.send(0x86, {3, 0x40, 0, 0, 0}, Direction::In, back));
    EXPECT_EQ(back, image);

    ASSERT_TRUE(host.send(0x82, {}));
    EXPECT_EQ(drive.runState(), c.state);
    EXPECT_FALSE(drive.vendorMode());
    EXPECT_EQ(identity(*device), loaderIdentity()) << "RAM codes answer with the loader's identity";
  }
}

TEST_P(RunStateTest, RunWithoutAnImageFailsAndKeepsTheLoader) {
  Drive& drive = addDrive(RunState::Loader);
  auto device = open(devicePathOf(GetParam()));
  VendorHost host(*device, GetParam());
  ASSERT_TRUE(host.vendorMode(true));
  Bytes image = ramCodeImage("XYZ_");
  ASSERT_TRUE(host.send(0x87, {3, 0x40, 0, 0, 0}, Direction::Out, image));
  EXPECT_FALSE(host.send(0x82, {}));
  EXPECT_EQ(drive.runState(), RunState::Loader);
}

// The host waits 500 ms after a switch or a RAM-code start before it turns
// vendor mode on again; a drive that takes 400 ms to restart serves it.
TEST_P(RunStateTest, UnresponsiveWindowEndsOnTheVirtualClock) {
  Drive& drive = addDrive(RunState::Firmware, 400);
  auto device = open(devicePathOf(GetParam()));
  VendorHost host(*device, GetParam());
  ASSERT_TRUE(host.vendorMode(true));
  ASSERT_TRUE(host.switchRunMode(0, 0));

  platform::clock::sleepMs(399);
  Bytes info(kSector);
  EXPECT_FALSE(host.vendorMode(true) && host.send(0x80, {}, Direction::In, info)) << "still restarting at 399 ms";
  EXPECT_FALSE(drive.vendorMode());
  platform::clock::sleepMs(1);
  ASSERT_TRUE(host.vendorMode(true));
  ASSERT_TRUE(host.send(0x80, {}, Direction::In, info));
  EXPECT_EQ(info[0], 1) << "the loader runs";

  Bytes image = ramCodeImage("GDP_");
  ASSERT_TRUE(host.send(0x87, {3, 0x40, 0, 0, 0}, Direction::Out, image));
  ASSERT_TRUE(host.send(0x82, {}));
  EXPECT_FALSE(host.vendorMode(true) && host.status().has_value()) << "a RAM-code start restarts it too";
  platform::clock::sleepMs(500);
  ASSERT_TRUE(host.vendorMode(true));
  EXPECT_EQ(host.status(), 0);
}

TEST_P(RunStateTest, ControllerInfoCarriesTheRunStateAndTheHeaderSequence) {
  DriveConfig config = configFor(GetParam());
  config.runState = RunState::Loader;
  config.headerSequence = 0x1234;
  line->addDrive(config);
  auto device = open(devicePathOf(GetParam()));
  VendorHost host(*device, GetParam());
  ASSERT_TRUE(host.vendorMode(true));
  Bytes info(kSector);
  ASSERT_TRUE(host.send(0x80, {}, Direction::In, info));
  EXPECT_EQ(info[0], 1);
  EXPECT_EQ(info[44], 0x34);
  EXPECT_EQ(info[45], 0x12);
}

INSTANTIATE_TEST_SUITE_P(Paths, RunStateTest, ::testing::Values(HostPath::OwnUsb, HostPath::Bridge, HostPath::Sata),
                         [](const auto& p) { return std::string(hostPathName(p.param)); });

}  // namespace
}  // namespace drivesim::test
