// Each port works with its own flash parameters: two drives of different
// flash parts on one emulated line, and the configuration read of one of
// them never changes what the other port's operations send.

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "devlib/bad_block_tables.h"
#include "devlib/controller_access.h"
#include "devlib/controller_tests.h"
#include "devlib/device_config.h"
#include "devlib/drive_state.h"
#include "devlib/firmware_download.h"
#include "devlib/flash_geometry.h"
#include "devlib/flash_params.h"
#include "devlib/port_io.h"
#include "devlib/ram_code.h"
#include "drivesim/config.h"
#include "ram_code_line.h"
#include "testsupport/flash_list_builder.h"

namespace devlib::testing {
namespace {

using Bytes = std::vector<std::uint8_t>;
using drivesim::Layer;
using testsupport::FlashTypeWordOf;

// The part selected, and the drive on port B that carries it: 4 KiB pages,
// 8 channels, one bank.
constexpr int kPortA = 7;
constexpr int kPortB = 3;
const std::uint16_t kSelectedTypeWord = FlashTypeWordOf(8, 128, 4096, 2, false, 1);
constexpr std::uint8_t kSelectedChannels = 8;
constexpr std::size_t kSelectedPageBytes = 4096;
// Port A's drive: 8 KiB pages, one plane, 2 channels, 4 banks on 2 chip
// enables, and an older firmware that reads physical pages another way.
const std::uint16_t kOtherTypeWord = FlashTypeWordOf(16, 128, 4096, 1, false, 1);

FlashParams SelectedPart() {
  FlashParams p;
  p.setting.typeWord = kSelectedTypeWord;
  p.setting.channels = kSelectedChannels;
  p.setting.banks = 1;
  p.setting.chipEnables = 1;
  p.setting.partName.assign("SELECTED-PART");
  DecodeFlashGeometry(p.setting, p.geometry);
  p.resPercentage = 68;
  return p;
}

std::vector<drivesim::WireEntry> SentWith(drivesim::Drive& drive, std::uint8_t subOp) {
  std::vector<drivesim::WireEntry> found;
  for (const drivesim::WireEntry& e : drive.wire().entries(Layer::Controller)) {
    if (e.command.size() > 2 && e.command[2] == subOp) found.push_back(e);
  }
  return found;
}

std::uint16_t Le16(std::span<const std::uint8_t> bytes, std::size_t at) {
  return static_cast<std::uint16_t>(bytes[at] | (bytes[at + 1] << 8));
}

class TwoPartsOnOneLine : public RamCodeLineTest {
 protected:
  void SetUp() override {
    RamCodeLineTest::SetUp();
    PublishFlashParams(SelectedPart());

    drivesim::DriveConfig a = DriveFor(PortPath::OwnUsb, kPortA);
    a.flashTypeWord = kOtherTypeWord;
    a.flashChannels = 2;
    a.flashBanks = 4;
    a.flashChipEnables = 2;
    a.firmwareDateCode = "110222";
    a.loaderHeader = true;
    a.flashPartName = "OTHER-PART";
    driveA_ = &Add(a, kPortA);

    drivesim::DriveConfig b = DriveFor(PortPath::OwnUsb, kPortB);
    b.flashTypeWord = kSelectedTypeWord;
    b.flashChannels = kSelectedChannels;
    b.flashBanks = 1;
    b.flashChipEnables = 1;
    driveB_ = &Add(b, kPortB);

    StartPortFlashParams(kPortA);
    StartPortFlashParams(kPortB);
    Bytes page(kConfigPageBytes);
    ASSERT_TRUE(LoadDeviceConfig(kPortA, page, 0));
    ASSERT_EQ(ParamsOfPort(kPortA)->setting.partName.view(), "OTHER-PART");
    ASSERT_EQ(ParamsOfPort(kPortA)->geometry.sectorsPerPage, 16);
    driveB_->wire().clear();
  }

  drivesim::Drive& Add(const drivesim::DriveConfig& config, int port) {
    drivesim::Drive& drive = line_->addDrive(config);
    WirePort(port, config.path, PortPath::OwnUsb);
    PortIoRecord& record = *PortIo(port);
    record.loaderBlocks = {0, 1, 2, 3};
    record.loaderBlockCount = 4;
    EXPECT_TRUE(SetVendorMode(port, true));
    return drive;
  }

  drivesim::Drive* driveA_ = nullptr;
  drivesim::Drive* driveB_ = nullptr;
};

TEST_F(TwoPartsOnOneLine, AConfigurationReadChangesOnlyItsOwnPort) {
  EXPECT_EQ(*ParamsOfPort(kPortB), SelectedPart());
  EXPECT_EQ(*CurrentFlashParams(), SelectedPart()) << "the part selected stays";

  Bytes page(kConfigPageBytes);
  ASSERT_TRUE(LoadDeviceConfig(kPortB, page, 0));
  EXPECT_EQ(ParamsOfPort(kPortB)->setting.channels, kSelectedChannels);
  EXPECT_EQ(ParamsOfPort(kPortA)->setting.partName.view(), "OTHER-PART") << "B's read leaves A's values";
}

TEST_F(TwoPartsOnOneLine, ASelectionPublishedLaterWaitsForThePortsNextStart) {
  FlashParams later = SelectedPart();
  later.setting.partName.assign("SELECTED-LATER");
  PublishFlashParams(later);
  EXPECT_EQ(ParamsOfPort(kPortB)->setting.partName.view(), "SELECTED-PART");
  StartPortFlashParams(kPortB);
  EXPECT_EQ(ParamsOfPort(kPortB)->setting.partName.view(), "SELECTED-LATER");
  StartPortFlashParams(kPortA);
  EXPECT_EQ(ParamsOfPort(kPortA)->setting.partName.view(), "SELECTED-LATER") << "a new start drops the drive's read";
}

// The operations on port B that take the flash parameters, each with what it
// must send by the part selected (port A's part would send otherwise).
struct PortOperationCase {
  const char* name;
  std::function<void(drivesim::Drive& drive, Bytes& buffer)> runAndCheck;
};

void PrintTo(const PortOperationCase& c, std::ostream* out) { *out << c.name; }

class OperationOnTheOtherPort : public TwoPartsOnOneLine,
                                public ::testing::WithParamInterface<PortOperationCase> {};

TEST_P(OperationOnTheOtherPort, UsesThatPortsOwnGeometry) {
  Bytes buffer(kRamCodeImageSize + 64 * 1024, 0);
  GetParam().runAndCheck(*driveB_, buffer);
}

const PortOperationCase kPortOperations[] = {
    {"RamCodeParameterBlock",
     [](drivesim::Drive& drive, Bytes& buffer) {
       std::uint8_t option = 0;
       ASSERT_TRUE(LoadRamCode(kPortB, buffer, option, 0));
       const auto writes = SentWith(drive, 0x87);
       ASSERT_EQ(writes.size(), 1u);
       const Bytes& image = writes[0].dataOut;
       ASSERT_GE(image.size(), 0xA00u + 12);
       EXPECT_EQ(Le16(image, 0xA00), kSelectedTypeWord);
       EXPECT_EQ(image[0xA00 + 3], kSelectedChannels);
       EXPECT_EQ(image[0xA00 + 4], 1) << "banks";
     }},
    {"PhysicalPageRead",
     [](drivesim::Drive& drive, Bytes& buffer) {
       ASSERT_TRUE(ReadFlashPage(kPortB, AllChannelsPage(0, 4, 1, false), 0, buffer, 8));
       const auto reads = SentWith(drive, 0x04);
       ASSERT_EQ(reads.size(), 2u) << "both halves through the newer firmware's page read";
       EXPECT_EQ(reads[0].command[3], 15);
       EXPECT_TRUE(SentWith(drive, 0x8C).empty()) << "no older firmware's memory window";
     }},
    {"BlockPageRead",
     [](drivesim::Drive& drive, Bytes& buffer) {
       ASSERT_TRUE(ReadBlockPages(kPortB, AllChannelsPage(0, 4, 1, false), buffer));
       const auto reads = SentWith(drive, 0x89);
       ASSERT_EQ(reads.size(), 8u);
       for (const auto& read : reads) EXPECT_EQ(read.length, kSelectedPageBytes);
     }},
    {"FlashModuleTest",
     [](drivesim::Drive& drive, Bytes& buffer) {
       FlashModuleTest(kPortB, buffer, 0);
       const auto reads = SentWith(drive, 0x88);
       ASSERT_EQ(reads.size(), kSelectedChannels);
       for (std::size_t c = 0; c < reads.size(); ++c) {
         EXPECT_EQ(reads[c].command[3], c) << "channel";
         EXPECT_EQ(reads[c].command[4], 0) << "chip enable";
       }
     }},
    {"EraseCountSave",
     [](drivesim::Drive& drive, Bytes& buffer) {
       SaveEraseCounts(kPortB, buffer, false);
       // The first table sizes the others; then one per bank index (bank x
       // plane) and channel.
       EXPECT_EQ(SentWith(drive, 0x01).size(), 1u + 2 * kSelectedChannels);
     }},
    {"EraseCountsKeptOverAPreformat",
     [](drivesim::Drive& drive, Bytes& buffer) {
       SaveEraseCounts(kPortB, buffer, false);
       ASSERT_TRUE(Preformat(kPortB, buffer, PreformatFlags{.keepEraseCount = true}, 0));
       EXPECT_EQ(SentWith(drive, 0x08).size(), 2 * kSelectedChannels);
     }},
    {"TablePageRead",
     [](drivesim::Drive& drive, Bytes&) {
       Bytes store(kTableStoreSize, 0);
       std::uint8_t option = 0;
       Bytes image(kRamCodeImageSize);
       ASSERT_TRUE(LoadRamCode(kPortB, image, option, 0));
       ASSERT_TRUE(ReadTablePages(kPortB, store));
       const auto reads = SentWith(drive, 0x89);
       ASSERT_EQ(reads.size(), 3u);
       for (const auto& read : reads) EXPECT_EQ(read.length, kSelectedChannels * kSelectedPageBytes);
     }},
    {"LoaderHeader",
     [](drivesim::Drive&, Bytes& buffer) {
       ASSERT_TRUE(BuildLoaderHeader(kPortB, buffer, 1));
       EXPECT_EQ(buffer[25], 8) << "sectors per page";
       EXPECT_EQ(buffer[7 * kSelectedPageBytes + 24], 7) << "the copy of the last of 8 channels";
     }},
};

INSTANTIATE_TEST_SUITE_P(PortB, OperationOnTheOtherPort, ::testing::ValuesIn(kPortOperations),
                         [](const auto& p) { return std::string(p.param.name); });

// Port A reads its configuration again and again while port B builds its
// loader header: B never sees A's part, and nothing races.
TEST_F(TwoPartsOnOneLine, ReadsOnOnePortWhileAnotherWorks) {
  constexpr int kRounds = 20;
  int readsOk = 0;
  int headersOfTheSelectedPart = 0;
  {
    std::jthread reader([&readsOk] {
      Bytes page(kConfigPageBytes);
      for (int i = 0; i < kRounds; ++i) readsOk += LoadDeviceConfig(kPortA, page, 0) ? 1 : 0;
    });
    std::jthread worker([&headersOfTheSelectedPart] {
      Bytes page(kSelectedChannels * kSelectedPageBytes);
      for (int i = 0; i < kRounds; ++i) {
        if (BuildLoaderHeader(kPortB, page, 1) && page[25] == 8) ++headersOfTheSelectedPart;
      }
    });
  }
  EXPECT_EQ(readsOk, kRounds);
  EXPECT_EQ(headersOfTheSelectedPart, kRounds);
}

}  // namespace
}  // namespace devlib::testing
