// Registers and the bus test's memory: what reads back, and the faults that
// make it read back wrong.

#include <optional>
#include <string>

#include "drivesim/drive.h"
#include "platform/clock.h"
#include "vendor_host.h"

namespace drivesim::test {
namespace {

constexpr std::uint32_t kTestMemory = 0xb0021000;

class ControllerMemory : public LineTest, public ::testing::WithParamInterface<HostPath> {
 protected:
  VendorHost& attach(DriveConfig config, const char* ramCode = nullptr) {
    drive = &line->addDrive(config);
    device = open(config.path);
    host.emplace(*device, GetParam());
    EXPECT_TRUE(host->vendorMode(true));
    if (ramCode != nullptr) {
      EXPECT_TRUE(loadRamCode(*host, ramCodeImage(ramCode)));
    }
    return *host;
  }
  DriveConfig loaderConfig() const {
    DriveConfig config = configFor(GetParam());
    config.runState = RunState::Loader;
    return config;
  }

  bool writeRegister(std::uint32_t a, std::uint8_t value) {
    const Bytes b = address(a);
    return host->send(0x85, {b[0], b[1], b[2], b[3], value});
  }

  // BusTestRound's transfers: 64 sectors at the test memory.
  bool testMemory(bool write, std::uint8_t param, std::uint32_t at, Bytes& data) {
    const Bytes b = address(at);
    return host->send(write ? 0x04 : 0x03, {param, b[0], b[1], b[2], b[3]}, write ? Direction::Out : Direction::In,
                      data);
  }

  static Bytes wordsFrom(std::uint16_t start) {
    Bytes data(64 * kSector);
    for (std::size_t k = 0; k < data.size() / 2; ++k) {
      const auto w = static_cast<std::uint16_t>(start + k);
      data[2 * k] = static_cast<std::uint8_t>(w);
      data[2 * k + 1] = static_cast<std::uint8_t>(w >> 8);
    }
    return data;
  }

  platform::clock::ScopedFastClock clock;
  Drive* drive = nullptr;
  std::unique_ptr<Device> device;
  std::optional<VendorHost> host;
};

TEST_P(ControllerMemory, RegistersKeepTheBytesWritten) {
  VendorHost& h = attach(loaderConfig(), "TST_");
  for (std::uint32_t j = 0; j < 16; ++j) ASSERT_TRUE(writeRegister(0x20000 + j, static_cast<std::uint8_t>(j)));
  for (std::uint32_t j = 0; j < 16; ++j) EXPECT_EQ(h.readRegister(0x20000 + j), j);
  EXPECT_EQ(drive->registerByte(0x2000f), 15);
  EXPECT_EQ(h.readRegister(0x30000), 0) << "never written";
}

TEST_P(ControllerMemory, RegisterFaultsGiveAWrongValueOrAFailedRead) {
  DriveConfig config = loaderConfig();
  config.registerFaults = {{.address = 0x20005, .readsAs = 0x55}, {.address = 0x20007}};
  VendorHost& h = attach(config, "TST_");
  for (std::uint32_t j = 0; j < 8; ++j) ASSERT_TRUE(writeRegister(0x20000 + j, static_cast<std::uint8_t>(j)));
  EXPECT_EQ(h.readRegister(0x20004), 4);
  EXPECT_EQ(h.readRegister(0x20005), 0x55);
  EXPECT_EQ(h.readRegister(0x20006), 6);
  EXPECT_FALSE(h.readRegister(0x20007).has_value());
  EXPECT_EQ(drive->registerByte(0x20005), 5) << "the register itself holds what was written";
}

TEST_P(ControllerMemory, TestMemoryReadsBackWhatWasWrittenInBothBusModes) {
  VendorHost& h = attach(loaderConfig(), "TST_");
  (void)h;
  for (const std::uint8_t param : {0, 1}) {
    Bytes out = wordsFrom(static_cast<std::uint16_t>(4096 + 11 * param));
    const Bytes written = out;
    ASSERT_TRUE(testMemory(true, param, kTestMemory, out));
    Bytes in(written.size(), 0);
    ASSERT_TRUE(testMemory(false, param, kTestMemory, in));
    EXPECT_EQ(in, written) << "param " << int{param};
  }
  EXPECT_EQ(drive->memory(kTestMemory, 2), (Bytes{0x0b, 0x10}));
}

struct RefusedTransfer {
  const char* name;
  std::uint8_t param;
  std::uint32_t address;
  std::size_t sectors;
};

TEST_P(ControllerMemory, TestMemoryRefusesOtherParamsAndTransfersOutsideItsWindow) {
  attach(loaderConfig(), "TST_");
  const RefusedTransfer cases[] = {
      {"param2", 2, kTestMemory, 64},
      {"below", 0, kTestMemory - kSector, 1},
      {"runsPastTheEnd", 0, kTestMemory + kSector, 64},
  };
  for (const auto& c : cases) {
    Bytes data(c.sectors * kSector, 0x11);
    EXPECT_FALSE(testMemory(true, c.param, c.address, data)) << c.name;
    EXPECT_FALSE(testMemory(false, c.param, c.address, data)) << c.name;
  }
  Bytes last(kSector, 0x22);
  EXPECT_TRUE(testMemory(true, 0, kTestMemory + 63 * kSector, last)) << "the last sector of the window";
}

// BusTestRound's ten passes: a flip configured for write 8 spoils pass 7 only.
TEST_P(ControllerMemory, FlippedBitLandsInTheChosenWriteOnly) {
  DriveConfig config = loaderConfig();
  config.testMemoryFlip = TestMemoryFlip{.write = 8, .offset = 1001, .mask = 0x04};
  attach(config, "TST_");
  for (int pass = 0; pass < 10; ++pass) {
    Bytes out = wordsFrom(static_cast<std::uint16_t>(4096 + 11 * pass));
    const Bytes written = out;
    ASSERT_TRUE(testMemory(true, 1, kTestMemory, out));
    Bytes in(written.size(), 0);
    ASSERT_TRUE(testMemory(false, 1, kTestMemory, in));
    if (pass != 7) {
      EXPECT_EQ(in, written) << "pass " << pass;
      continue;
    }
    for (std::size_t i = 0; i < in.size(); ++i) {
      EXPECT_EQ(in[i], i == 1001 ? written[i] ^ 0x04 : written[i]) << "byte " << i;
      if (in[i] != (i == 1001 ? written[i] ^ 0x04 : written[i])) break;
    }
  }
}

TEST_P(ControllerMemory, TestMemoryIsTheTstCodesOnly) {
  attach(loaderConfig(), "GDP_");
  Bytes data(64 * kSector, 0);
  EXPECT_FALSE(testMemory(false, 0, kTestMemory, data)) << "0x03 starts operation 3 in the GDP code";
}

INSTANTIATE_TEST_SUITE_P(Paths, ControllerMemory, ::testing::Values(HostPath::OwnUsb, HostPath::Bridge, HostPath::Sata),
                         [](const auto& p) { return std::string(hostPathName(p.param)); });

}  // namespace
}  // namespace drivesim::test
