// A whole line at once: 50 ports driven from 50 threads, as the station's
// workers do. Each port's drive must see its own commands, complete and in
// the order its worker sent them, whatever the other ports do meanwhile.

#include <gtest/gtest.h>

#include <filesystem>
#include <thread>
#include <vector>

#include "devlib/standard_commands.h"
#include "devlib/vendor_commands.h"
#include "devlib/vendor_protocol.h"
#include "drivesim/scenario.h"
#include "emulated_port.h"

namespace devlib::testing {
namespace {

using drivesim::Layer;
using Bytes = std::vector<std::uint8_t>;

constexpr int kRounds = 20;
constexpr std::uint32_t kRegisterBase = 0x0002'0100;

PortPath PathOf(const drivesim::Drive& drive) {
  return drive.config().frontEnd == drivesim::FrontEnd::OwnUsb ? PortPath::OwnUsb : PortPath::Bridge;
}

// One worker's conversation with its drive; returns the first failure, or an empty text.
std::string RunPort(int port, bool tunnelled) {
  if (tunnelled && SendSetFeatures(port, 0xDC, 0x4B) != kCommandOk) return "vendor mode";
  for (int round = 0; round < kRounds; ++round) {
    const auto value = static_cast<std::uint8_t>(port * 5 + round);
    const std::uint32_t address = kRegisterBase + static_cast<std::uint32_t>(round);
    if (SendWriteRegister(port, address, value) != kCommandOk) return "register write";
    std::uint8_t back = 0;
    if (SendReadRegister(port, address, back) != kCommandOk || back != value) return "register read";
    Bytes sector(512, value);
    if (WriteLbaSectors(port, sector, 1, static_cast<std::uint32_t>(round)) != kCommandOk) return "LBA write";
    Bytes read(512);
    if (ReadLbaSectors(port, read, 1, static_cast<std::uint32_t>(round)) != kCommandOk || read != Bytes(512, value))
      return "LBA read";
  }
  return {};
}

class WholeLine : public EmulatedLineTest {
 protected:
  void SetUp() override {
    EmulatedLineTest::SetUp();
    const auto load = drivesim::loadScenario(std::filesystem::path(TOLVANE_SCENARIO_DIR) / "line50.ini");
    ASSERT_TRUE(load.line) << load.error;
    line_ = load.line;
    platform::storage::installBackend(line_);
    InitPortIoTable(ProgramKind::Fleetburn);
    drives_ = line_->drives();
    ASSERT_EQ(drives_.size(), static_cast<std::size_t>(kFleetburnPortCount));
    for (int port = 0; port < kFleetburnPortCount; ++port) {
      const drivesim::DriveConfig& config = drives_[static_cast<std::size_t>(port)]->config();
      WirePort(port, config.path, PathOf(*drives_[static_cast<std::size_t>(port)]));
      // Bridges of chip types 1 and 14 cannot carry UDMA: their ports use opcode set 1.
      if (config.frontEnd == drivesim::FrontEnd::Bridge && (config.bridgeChipType == 1 || config.bridgeChipType == 14)) {
        PortIo(port)->opcodeSet = 1;
      }
    }
  }

  std::vector<drivesim::Drive*> drives_;
};

TEST_F(WholeLine, FiftyPortsInParallelEachSeeTheirOwnCommandsInOrder) {
  std::vector<std::string> failures(kFleetburnPortCount);
  {
    std::vector<std::jthread> workers;
    for (int port = 0; port < kFleetburnPortCount; ++port) {
      workers.emplace_back([&, port] {
        failures[static_cast<std::size_t>(port)] =
            RunPort(port, PathOf(*drives_[static_cast<std::size_t>(port)]) != PortPath::OwnUsb);
      });
    }
  }

  for (int port = 0; port < kFleetburnPortCount; ++port) {
    drivesim::Drive& drive = *drives_[static_cast<std::size_t>(port)];
    SCOPED_TRACE("port " + std::to_string(port));
    EXPECT_EQ(failures[static_cast<std::size_t>(port)], "");

    // The controller saw this worker's register writes, all of them, in order,
    // and no other port's.
    std::vector<std::uint8_t> written;
    for (const auto& entry : drive.wire().entries(Layer::Controller)) {
      if (entry.command.size() >= 8 && entry.command[2] == 0x85) written.push_back(entry.command[7]);
    }
    ASSERT_EQ(written.size(), static_cast<std::size_t>(kRounds));
    for (int round = 0; round < kRounds; ++round) {
      EXPECT_EQ(written[static_cast<std::size_t>(round)], static_cast<std::uint8_t>(port * 5 + round));
      EXPECT_EQ(drive.registerByte(kRegisterBase + static_cast<std::uint32_t>(round)),
                static_cast<std::uint8_t>(port * 5 + round));
      EXPECT_EQ(drive.userSectors(static_cast<std::uint64_t>(round), 1),
                Bytes(512, static_cast<std::uint8_t>(port * 5 + round)));
    }
  }
}

}  // namespace
}  // namespace devlib::testing
