// The library's commands against the emulated drive on each path: what the
// drive receives on the wire and what its state holds afterwards.

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "devlib/standard_commands.h"
#include "devlib/vendor_commands.h"
#include "devlib/vendor_protocol.h"
#include "emulated_port.h"

namespace devlib::testing {
namespace {

using drivesim::Layer;
using drivesim::WireEntry;
using platform::storage::Direction;
using Bytes = std::vector<std::uint8_t>;

constexpr int kPort = 3;
constexpr std::uint32_t kRegister = 0x0002'0010;

Bytes Pattern(std::size_t length, std::uint8_t seed) {
  Bytes bytes(length);
  for (std::size_t i = 0; i < length; ++i) bytes[i] = static_cast<std::uint8_t>(seed + i * 7);
  return bytes;
}

std::vector<WireEntry> EntriesWithCommand(drivesim::Drive& drive, Layer layer, const Bytes& command) {
  std::vector<WireEntry> found;
  for (const auto& entry : drive.wire().entries(layer)) {
    if (entry.command == command) found.push_back(entry);
  }
  return found;
}

// The vendor block for writing kRegister, as the drive sees it on each carrier.
Bytes RegisterWriteBlock(std::uint8_t pathMark) {
  return {0xFF, pathMark, 0x85, 0x00, 0x02, 0x00, 0x10, 0x5A, 0, 0, 0, 0};
}

class RoundTrip : public EmulatedLineTest, public ::testing::WithParamInterface<PortPath> {
 protected:
  void SetUp() override {
    EmulatedLineTest::SetUp();
    InitPortIoTable(GetParam() == PortPath::NativeSata ? ProgramKind::Blockprobe : ProgramKind::Fleetburn);
    drive_ = &Attach(kPort, GetParam());
  }
  bool Tunnelled() const { return GetParam() != PortPath::OwnUsb; }

  drivesim::Drive* drive_ = nullptr;
};

TEST_P(RoundTrip, VendorModeFollowsSetFeaturesOnTheSataPathOnly) {
  ASSERT_EQ(SendSetFeatures(kPort, 0xDC, 0x4B), kCommandOk);
  EXPECT_EQ(drive_->vendorMode(), Tunnelled());
  if (!Tunnelled()) {
    EXPECT_TRUE(drive_->wire().entries().empty()) << "SET FEATURES has no meaning on the own USB interface";
    return;
  }
  ASSERT_EQ(SendSetFeatures(kPort, 0xDC, 0x57), kCommandOk);
  EXPECT_FALSE(drive_->vendorMode());
}

TEST_P(RoundTrip, RegisterWriteThenReadBack) {
  if (Tunnelled()) {
    ASSERT_EQ(SendSetFeatures(kPort, 0xDC, 0x4B), kCommandOk);
  }
  drive_->wire().clear();

  ASSERT_EQ(SendWriteRegister(kPort, kRegister, 0x5A), kCommandOk);
  EXPECT_EQ(drive_->registerByte(kRegister), 0x5A);

  std::uint8_t value = 0;
  ASSERT_EQ(SendReadRegister(kPort, kRegister, value), kCommandOk);
  EXPECT_EQ(value, 0x5A);

  // The controller saw exactly the vendor block the path carries.
  const Bytes block = RegisterWriteBlock(Tunnelled() ? 0xE5 : 0x04);
  EXPECT_EQ(EntriesWithCommand(*drive_, Layer::Controller, block).size(), 1u);
  if (!Tunnelled()) {
    const auto sent = EntriesWithCommand(*drive_, Layer::Scsi, block);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].direction, Direction::None);
    EXPECT_EQ(sent[0].length, 0u);
    return;
  }
  // Tunnelled: one command sector written with the set-2 UDMA opcode, whose
  // first 12 bytes are the block and the rest zeros; no data phase.
  const auto ata = drive_->wire().entries(Layer::Ata);
  ASSERT_GE(ata.size(), 1u);
  const Bytes commandSector{0x00, 0x01, 0xFF, 0x34, 0x12, 0xE0, 0x88};
  EXPECT_EQ(ata[0].command, commandSector);
  EXPECT_EQ(ata[0].direction, Direction::Out);
  EXPECT_TRUE(ata[0].dma);
  ASSERT_EQ(ata[0].dataOut.size(), 512u);
  EXPECT_TRUE(std::equal(block.begin(), block.end(), ata[0].dataOut.begin()));
  EXPECT_TRUE(std::all_of(ata[0].dataOut.begin() + 12, ata[0].dataOut.end(), [](auto b) { return b == 0; }));
  // The read: a command sector, then one data-in sector tagged with the sub-op.
  ASSERT_EQ(ata.size(), 3u);
  const Bytes readPhase{0x00, 0x01, 0x84, 0x34, 0x12, 0xE0, 0x86};
  EXPECT_EQ(ata[2].command, readPhase);
  EXPECT_EQ(ata[2].direction, Direction::In);
}

TEST_P(RoundTrip, LbaWriteThenReadBack) {
  constexpr std::uint32_t kLba = 123456;
  const Bytes data = Pattern(8 * 512, 0x31);
  Bytes buffer = data;
  ASSERT_EQ(WriteLbaSectors(kPort, buffer, 8, kLba), kCommandOk);
  EXPECT_EQ(drive_->userSectors(kLba, 8), data);
  EXPECT_EQ(drive_->userSectors(kLba + 8, 1), Bytes(512, 0)) << "nothing written past the transfer";

  Bytes back(8 * 512);
  ASSERT_EQ(ReadLbaSectors(kPort, back, 8, kLba), kCommandOk);
  EXPECT_EQ(back, data);
}

TEST_P(RoundTrip, RamCodeStartsAndReportsOperationStatus) {
  if (Tunnelled()) {
    ASSERT_EQ(SendSetFeatures(kPort, 0xDC, 0x4B), kCommandOk);
  }
  Bytes image = RamCodeImage("GDP_");
  ASSERT_EQ(WriteMemoryBlock(kPort, 3, 0x4000'0000, image, 126), kCommandOk);
  EXPECT_EQ(drive_->memory(0x4000'0000, image.size()), image);
  ASSERT_EQ(SendRunRamCode(kPort), kCommandOk);
  EXPECT_EQ(drive_->runState(), drivesim::RunState::GdpRamCode);
  if (Tunnelled()) {
    EXPECT_FALSE(drive_->vendorMode()) << "a RAM-code start leaves vendor mode";
    ASSERT_EQ(SendSetFeatures(kPort, 0xDC, 0x4B), kCommandOk);
  }

  ASSERT_EQ(SendStartOperation1(kPort, 0), kCommandOk);
  std::uint8_t status = 0;
  int polls = 0;
  do {
    ASSERT_EQ(SendReadStatus(kPort, status), kCommandOk);
    ++polls;
  } while (status == 0xAA && polls < 20);
  EXPECT_EQ(status, 14);
  EXPECT_EQ(polls, drive_->config().busyPolls + 1);
}

INSTANTIATE_TEST_SUITE_P(Paths, RoundTrip,
                         ::testing::Values(PortPath::OwnUsb, PortPath::Bridge, PortPath::NativeSata),
                         [](const auto& testCase) { return PortPathName(testCase.param); });

TEST_F(EmulatedLineTest, BlockprobeAddressesBeyond28BitsWithTheExtendedCommands) {
  InitPortIoTable(ProgramKind::Blockprobe);
  drivesim::DriveConfig config = DriveFor(PortPath::NativeSata, 1);
  config.sectorCount = 0x2'0000'0000;  // 8 TiB
  line_->addDrive(config);
  WirePort(1, config.path, PortPath::NativeSata);
  drivesim::Drive& drive = *line_->drive(config.path);

  constexpr std::uint32_t kHighLba = 0x1000'0004;  // would wrap to LBA 4 in 28 bits
  const Bytes data = Pattern(2 * 512, 0x77);
  Bytes buffer = data;
  ASSERT_EQ(WriteLbaSectors(1, buffer, 2, kHighLba), kCommandOk);
  EXPECT_EQ(drive.userSectors(kHighLba, 2), data);
  EXPECT_EQ(drive.userSectors(4, 2), Bytes(2 * 512, 0)) << "the write must not land at LBA mod 2^28";

  const auto ata = drive.wire().entries(Layer::Ata);
  ASSERT_FALSE(ata.empty());
  EXPECT_EQ(ata.back().command.at(6), 0x35) << "WRITE DMA EXT";
  EXPECT_TRUE(ata.back().dma);
}

}  // namespace
}  // namespace devlib::testing
