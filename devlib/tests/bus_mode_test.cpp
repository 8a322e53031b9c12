// The bus mode of the settings file reaches the tunnel: the settings loaded,
// the selected flash part applied, and a vendor command tunnelled to a drive
// behind a SATA bridge carries the opcodes and SAT protocols of the set the
// bus mode names, unless the bridge forces set 1.

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "devlib/controller_access.h"
#include "devlib/flash_params.h"
#include "devlib/port_io.h"
#include "devlib/usb_disk_scan.h"
#include "devlib/vendor_commands.h"
#include "devlib/vendor_protocol.h"
#include "drivesim/config.h"
#include "emulated_port.h"
#include "platform/paths.h"
#include "settings_selection.h"
#include "testsupport/settings_file_builder.h"

namespace devlib::testing {
namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr int kPort = 9;

// The tunnel CDB bytes of one opcode set: SAT protocol (byte 1) and ATA
// command (byte 9) of the command sector and of the data-in phase.
struct TunnelBytes {
  std::uint8_t outProtocol, outCommand, inProtocol, inCommand;
};
constexpr TunnelBytes kSet1{0x0A, 0x8F, 0x08, 0x8A};
constexpr TunnelBytes kSet2{0x16, 0x88, 0x14, 0x86};

struct BusModeCase {
  const char* name;
  std::optional<int> sataBusMode;  // the settings file's key; none: its default
  int chipType;                    // of the bridge the drive sits behind
  TunnelBytes expected;
};

void PrintTo(const BusModeCase& c, std::ostream* out) { *out << c.name; }

class BusModeToTunnel : public EmulatedLineTest, public ::testing::WithParamInterface<BusModeCase> {
 protected:
  void SetUp() override {
    EmulatedLineTest::SetUp();
    InitPortIoTable(ProgramKind::Fleetburn);
    previousParams_ = *CurrentFlashParams();
    platform::paths::setProgramDirectory(directory_.path());
  }
  void TearDown() override {
    platform::paths::setProgramDirectory({});
    PublishFlashParams(previousParams_);
    EmulatedLineTest::TearDown();
  }

  // The station's settings with this bus mode, the part applied.
  void ApplyBusMode(std::optional<int> sataBusMode) {
    testsupport::SettingsFileBuilder file;
    file.section("Setting");
    if (sataBusMode) file.key("SataBusMode", *sataBusMode);
    file.section("FlashSetting").key("FlashUniName", "TVK").key("Channel", 8).key("Bank", 2);
    devlib::testing::ApplySettingsFile(directory_.path(), {.uni = "TVK", .part = "K9TESTBUS0M", .chipEnables = 2},
                                       file);
  }

  // A drive behind a bridge of `chipType`, its port's path chosen from the
  // bridge as the station's scan does.
  drivesim::Drive& AttachBehindBridge(int chipType) {
    const drivesim::DriveConfig config = drivesim::DriveConfig::bridge(
        "\\\\?\\usbstor#disk&ven_bridge#bus" + std::to_string(chipType), chipType,
        drivesim::DriveConfig::keyOfChipType(chipType));
    drivesim::Drive& drive = line_->addDrive(config);
    WirePort(kPort, config.path, PortPath::OwnUsb);
    EXPECT_EQ(GetBridgeChipType(kPort), chipType);
    EXPECT_TRUE(ApplyBridgePath(kPort, chipType));
    return drive;
  }

  testsupport::ScratchDirectory directory_;

 private:
  FlashParams previousParams_;
};

TEST_P(BusModeToTunnel, TheTunnelCarriesTheOpcodesOfTheSet) {
  const BusModeCase& c = GetParam();
  drivesim::Drive& drive = AttachBehindBridge(c.chipType);
  ApplyBusMode(c.sataBusMode);
  EXPECT_EQ(VendorOpcodeSet(), c.sataBusMode.value_or(2)) << "the process-wide selector follows the bus mode";
  ASSERT_TRUE(SetVendorMode(kPort, true));
  drive.wire().clear();

  Bytes page(8 * 512);
  ASSERT_EQ(ReadMemoryBlock(kPort, 3, 0, page, 8), kCommandOk);
  std::vector<Bytes> tunnel;
  for (const drivesim::WireEntry& e : drive.wire().entries(drivesim::Layer::Bridge)) {
    if (!e.command.empty() && e.command[0] == 0xA1) tunnel.push_back(e.command);
  }
  ASSERT_EQ(tunnel.size(), 2u) << "the command sector, then the data phase";
  EXPECT_EQ(tunnel[0][1], c.expected.outProtocol);
  EXPECT_EQ(tunnel[0][9], c.expected.outCommand);
  EXPECT_EQ(tunnel[1][1], c.expected.inProtocol);
  EXPECT_EQ(tunnel[1][9], c.expected.inCommand);
}

INSTANTIATE_TEST_SUITE_P(
    Settings, BusModeToTunnel,
    ::testing::Values(BusModeCase{"BusMode1", 1, 7, kSet1}, BusModeCase{"BusMode2", 2, 7, kSet2},
                      BusModeCase{"BusModeByDefault", std::nullopt, 7, kSet2},
                      BusModeCase{"BridgeType1KeepsSet1", 2, 1, kSet1},
                      BusModeCase{"BridgeType14KeepsSet1", 2, 14, kSet1}),
    [](const auto& p) { return std::string(p.param.name); });

}  // namespace
}  // namespace devlib::testing
