// The ATA device as a SATA port shows it: task files straight in.

#include <string>

#include "drive_test_support.h"

namespace drivesim::test {
namespace {

class AtaDeviceTest : public LineTest {
 protected:
  Drive& addDrive(std::uint64_t sectors = 1'000'000) {
    auto config = DriveConfig::sataPort(kSataPath);
    config.sectorCount = sectors;
    config.serial = "SER123";
    config.firmwareRevision = "FW1.2";
    config.model = "Tolvane Model X";
    config.worldWideName = 0x5001a4c0'12345678;
    config.temperature = 45;
    return line->addDrive(config);
  }

  Bytes identify(Device& device) {
    Bytes data(kSector);
    const auto outcome = ata(device, {0, 1, 0, 0, 0, 0xe0, 0xec}, Direction::In, data);
    EXPECT_TRUE(outcome.transportOk);
    EXPECT_FALSE(ataFailed(outcome));
    return data;
  }
};

std::string ataString(const Bytes& data, int firstWord, int words) {
  std::string text;
  for (int w = firstWord; w < firstWord + words; ++w) {
    text += static_cast<char>(data[2 * w + 1]);
    text += static_cast<char>(data[2 * w]);
  }
  return text;
}

TEST_F(AtaDeviceTest, IdentifyCarriesTheDrivesIdentityInAtaStringOrder) {
  addDrive();
  auto device = open(kSataPath);
  const Bytes data = identify(*device);
  EXPECT_EQ(ataString(data, 10, 10), "SER123              ");
  EXPECT_EQ(ataString(data, 23, 4), "FW1.2   ");
  EXPECT_EQ(ataString(data, 27, 20), "Tolvane Model X                         ");
  EXPECT_EQ(word(data, 108), 0x5001);
  EXPECT_EQ(word(data, 109), 0xa4c0);
  EXPECT_EQ(word(data, 110), 0x1234);
  EXPECT_EQ(word(data, 111), 0x5678);
  EXPECT_NE(word(data, 83) & 0x0400, 0) << "48-bit addressing";
  EXPECT_EQ(word(data, 217), 1) << "non-rotating";
  unsigned sum = 0;
  for (auto b : data) sum += b;
  EXPECT_EQ(data[510], 0xa5);
  EXPECT_EQ(sum & 0xff, 0u) << "integrity checksum";
}

struct CapacityCase {
  std::uint64_t sectors;
  std::uint32_t words60;
  std::uint64_t words100;
};

class IdentifyCapacity : public AtaDeviceTest, public ::testing::WithParamInterface<CapacityCase> {};

TEST_P(IdentifyCapacity, TwentyEightBitCountIsClampedAndFortyEightBitCountIsWhole) {
  addDrive(GetParam().sectors);
  auto device = open(kSataPath);
  const Bytes data = identify(*device);
  EXPECT_EQ(std::uint32_t{word(data, 60)} | std::uint32_t{word(data, 61)} << 16, GetParam().words60);
  std::uint64_t words100 = 0;
  for (int i = 0; i < 4; ++i) words100 |= std::uint64_t{word(data, 100 + i)} << (16 * i);
  EXPECT_EQ(words100, GetParam().words100);
}

INSTANTIATE_TEST_SUITE_P(Sizes, IdentifyCapacity,
                         ::testing::Values(CapacityCase{1'000'000, 1'000'000, 1'000'000},
                                           CapacityCase{0x0fffffff, 0x0fffffff, 0x0fffffff},
                                           CapacityCase{234441648, 234441648, 234441648},
                                           CapacityCase{0x123456789a, 0x0fffffff, 0x123456789a}));

struct LoaderModelCase {
  const char* name;
  const char* configured;  // nothing: the default
  const char* reported;
};

class LoaderModel : public AtaDeviceTest, public ::testing::WithParamInterface<LoaderModelCase> {};

TEST_P(LoaderModel, LoaderStateReportsTheLoaderModel) {
  auto config = DriveConfig::sataPort(kSataPath);
  config.runState = RunState::Loader;
  if (GetParam().configured != nullptr) config.loaderModel = GetParam().configured;
  line->addDrive(config);
  auto device = open(kSataPath);
  EXPECT_EQ(ataString(identify(*device), 27, 20).substr(0, 37), GetParam().reported);
}

INSTANTIATE_TEST_SUITE_P(
    Models, LoaderModel,
    ::testing::Values(LoaderModelCase{"generic", nullptr, "Generic ZIR SATA Loader Loader Device"},
                      LoaderModelCase{"tolvane", "Tolvane KWFA4X SATA SSD Loader Device",
                                      "Tolvane KWFA4X SATA SSD Loader Device"}),
    CaseName{});

struct FeatureCase {
  const char* name;
  std::uint8_t feature, value;
  bool vendorModeBefore, vendorModeAfter;
};

class SetFeatures : public AtaDeviceTest, public ::testing::WithParamInterface<FeatureCase> {};

TEST_P(SetFeatures, VendorModeFollowsFeatureDcOnly) {
  Drive& drive = addDrive();
  auto device = open(kSataPath);
  if (GetParam().vendorModeBefore) {
    ASSERT_FALSE(ataFailed(ata(*device, setFeatures(0xdc, 0x4b))));
  }
  const auto outcome = ata(*device, setFeatures(GetParam().feature, GetParam().value));
  EXPECT_FALSE(ataFailed(outcome));
  EXPECT_EQ(drive.vendorMode(), GetParam().vendorModeAfter);
}

INSTANTIATE_TEST_SUITE_P(Features, SetFeatures,
                         ::testing::Values(FeatureCase{"on", 0xdc, 0x4b, false, true},
                                           FeatureCase{"off", 0xdc, 0x57, true, false},
                                           FeatureCase{"otherValueKeepsOn", 0xdc, 0x10, true, true},
                                           FeatureCase{"otherFeatureKeepsOff", 0x02, 0x4b, false, false},
                                           FeatureCase{"otherFeatureKeepsOn", 0x82, 0x00, true, true}),
                         CaseName{});

TEST_F(AtaDeviceTest, SmartReadDataHoldsTheTemperatureAndAChecksum) {
  addDrive();
  auto device = open(kSataPath);
  Bytes data(kSector);
  ASSERT_FALSE(ataFailed(ata(*device, {0xd0, 1, 0, 0x4f, 0xc2, 0, 0xb0}, Direction::In, data)));
  bool found = false;
  for (std::size_t at = 2; at + 12 <= 362; at += 12) {
    if (data[at] == 194) {
      EXPECT_EQ(data[at + 5], 45);
      found = true;
    }
  }
  EXPECT_TRUE(found);
  unsigned sum = 0;
  for (auto b : data) sum += b;
  EXPECT_EQ(sum & 0xff, 0u);
}

struct RefusedCase {
  const char* name;
  AtaRegisters registers;
};

class Refused : public AtaDeviceTest, public ::testing::WithParamInterface<RefusedCase> {};

TEST_P(Refused, AbortsWithErrAndAbrt) {
  addDrive();
  auto device = open(kSataPath);
  Bytes data(kSector);
  const auto outcome = ata(*device, GetParam().registers, Direction::In, data);
  EXPECT_TRUE(outcome.transportOk);
  EXPECT_EQ(outcome.current.command, 0x51);
  EXPECT_EQ(outcome.current.features, 0x04);
}

INSTANTIATE_TEST_SUITE_P(Commands, Refused,
                         ::testing::Values(RefusedCase{"unknownCommand", {0, 1, 0, 0, 0, 0xe0, 0x20}},
                                           RefusedCase{"smartWithoutSignature", {0xd0, 1, 0, 0, 0, 0, 0xb0}},
                                           RefusedCase{"smartOtherFeature", {0xd9, 1, 0, 0x4f, 0xc2, 0, 0xb0}}),
                         CaseName{});

TEST_F(AtaDeviceTest, FlushCacheTakesAnyDeviceByte) {
  addDrive();
  auto device = open(kSataPath);
  EXPECT_FALSE(ataFailed(ata(*device, {0, 0, 0, 0, 0xe0, 0, 0xe7})));
  EXPECT_FALSE(ataFailed(ata(*device, {0, 0, 0, 0, 0, 0xe0, 0xe7})));
}

TEST_F(AtaDeviceTest, ReadNativeMaxGivesTheLastLbaIn28Bits) {
  addDrive(0x0abcdef0);
  auto device = open(kSataPath);
  const auto outcome = ata(*device, {0, 0, 0, 0, 0, 0xe0, 0xf8});
  ASSERT_FALSE(ataFailed(outcome));
  EXPECT_EQ(outcome.current.lbaLow, 0xef);
  EXPECT_EQ(outcome.current.lbaMid, 0xde);
  EXPECT_EQ(outcome.current.lbaHigh, 0xbc);
  EXPECT_EQ(outcome.current.device, 0xea);
}

struct NativeMaxExtCase {
  const char* name;
  bool extended;
  std::uint8_t device;
};

class ReadNativeMaxExt : public AtaDeviceTest, public ::testing::WithParamInterface<NativeMaxExtCase> {};

TEST_P(ReadNativeMaxExt, AcceptedWithOrWithoutExtendAndLbaBits) {
  addDrive(0x123456789a);
  auto device = open(kSataPath);
  AtaCommand command;
  command.current = {0, 0, 0, 0, 0, GetParam().device, 0x27};
  command.extended = GetParam().extended;
  const auto outcome = device->ata(command);
  ASSERT_FALSE(ataFailed(outcome));
  EXPECT_EQ(outcome.current.lbaLow, 0x99);
  EXPECT_EQ(outcome.current.lbaMid, 0x78);
  EXPECT_EQ(outcome.current.lbaHigh, 0x56);
  EXPECT_EQ(outcome.previous.lbaLow, 0x34);
  EXPECT_EQ(outcome.previous.lbaMid, 0x12);
  EXPECT_EQ(outcome.previous.lbaHigh, 0x00);
}

INSTANTIATE_TEST_SUITE_P(Forms, ReadNativeMaxExt,
                         ::testing::Values(NativeMaxExtCase{"plain", false, 0x00}, NativeMaxExtCase{"lbaBit", false, 0x40},
                                           NativeMaxExtCase{"extended", true, 0xe0}),
                         CaseName{});

TEST_F(AtaDeviceTest, SetMaxAddressMovesTheCurrentMaxThatIdentifyAndReadsFollow) {
  Drive& drive = addDrive(0x10000000);
  auto device = open(kSataPath);
  // LBA 0x0FFFFFFE: bits 24-27 in the device low nibble.
  ASSERT_FALSE(ataFailed(ata(*device, {0, 1, 0xfe, 0xff, 0xff, 0xef, 0xf9})));
  EXPECT_EQ(drive.currentMaxAddress(), 0x0ffffffeu);
  EXPECT_EQ(drive.nativeMaxAddress(), 0x0fffffffu);
  Bytes data = identify(*device);
  EXPECT_EQ(std::uint32_t{word(data, 60)} | std::uint32_t{word(data, 61)} << 16, 0x0fffffffu);

  ASSERT_FALSE(ataFailed(ata(*device, {0, 1, 0xe7, 0x03, 0, 0xe0, 0xf9})));  // LBA 999
  data = identify(*device);
  EXPECT_EQ(word(data, 60), 1000);
  Bytes sector(kSector);
  const auto beyond = ata(*device, {0, 1, 0xe8, 0x03, 0, 0xe0, 0xc8}, Direction::In, sector, true);
  EXPECT_EQ(beyond.current.features, 0x10) << "IDNF past the current max";
  EXPECT_FALSE(ataFailed(ata(*device, {0, 1, 0xe7, 0x03, 0, 0xe0, 0xc8}, Direction::In, sector, true)));
  const auto native = ata(*device, {0, 0, 0, 0, 0, 0xe0, 0xf8});
  EXPECT_EQ(native.current.lbaLow, 0xff) << "native max stays";
}

TEST_F(AtaDeviceTest, SetMaxAddressExtAndRefusalBeyondTheMedium) {
  Drive& drive = addDrive(0x200000000);
  auto device = open(kSataPath);
  // LBA 0x1_0000_0010, laid out as the 16-byte pass-through lays it out.
  ASSERT_FALSE(ataFailed(ata48(*device, {0, 1, 0x10, 0, 0, 0xe0, 0x37}, {0, 0, 0x00, 0x01, 0})));
  EXPECT_EQ(drive.currentMaxAddress(), 0x100000010u);
  const Bytes data = identify(*device);
  EXPECT_EQ(word(data, 100), 0x0011);
  EXPECT_EQ(word(data, 102), 0x0001);

  const auto beyond = ata48(*device, {0, 1, 0, 0, 0, 0xe0, 0x37}, {0, 0, 0, 0x02, 0});
  EXPECT_EQ(beyond.current.features, 0x10);
  EXPECT_EQ(drive.currentMaxAddress(), 0x100000010u);
}

struct TransferCase {
  const char* name;
  std::uint8_t write, read;
  bool extended;
  std::uint64_t lba;
  std::uint32_t sectors;
};

class DmaTransfer : public AtaDeviceTest, public ::testing::WithParamInterface<TransferCase> {};

TEST_P(DmaTransfer, WritesOnlyTheSectorsItNamesAndReadsThemBack) {
  const auto& c = GetParam();
  Drive& drive = addDrive(0x300000000);
  auto device = open(kSataPath);
  Bytes out(std::size_t{c.sectors} * kSector);
  for (std::size_t i = 0; i < out.size(); ++i) out[i] = static_cast<std::uint8_t>(i * 7 + 1);

  auto send = [&](std::uint8_t command, Direction direction, Bytes& data) {
    const std::uint8_t count = static_cast<std::uint8_t>(c.sectors);
    AtaRegisters low{0, count, static_cast<std::uint8_t>(c.lba), static_cast<std::uint8_t>(c.lba >> 8),
                     static_cast<std::uint8_t>(c.lba >> 16), 0xe0, command};
    if (!c.extended) {
      low.device = static_cast<std::uint8_t>(0xe0 | ((c.lba >> 24) & 0x0f));
      return ata(*device, low, direction, data, true);
    }
    low.device = 0x40;
    return ata48(*device, low,
                 {0, static_cast<std::uint8_t>(c.sectors >> 8), static_cast<std::uint8_t>(c.lba >> 24),
                  static_cast<std::uint8_t>(c.lba >> 32), static_cast<std::uint8_t>(c.lba >> 40)},
                 direction, data);
  };
  ASSERT_FALSE(ataFailed(send(c.write, Direction::Out, out)));
  EXPECT_EQ(drive.storedSectorCount(), c.sectors);
  EXPECT_EQ(drive.userSectors(c.lba, c.sectors), out);
  EXPECT_EQ(drive.userSectors(c.lba + c.sectors, 1), Bytes(kSector, 0)) << "the next sector stays unwritten";

  Bytes in(out.size(), 0xee);
  const auto outcome = send(c.read, Direction::In, in);
  ASSERT_FALSE(ataFailed(outcome));
  EXPECT_EQ(outcome.transferred, in.size());
  EXPECT_EQ(in, out);
}

INSTANTIATE_TEST_SUITE_P(Commands, DmaTransfer,
                         ::testing::Values(TransferCase{"dma28", 0xca, 0xc8, false, 0x0123456, 3},
                                           TransferCase{"dma28CountZeroIs256", 0xca, 0xc8, false, 77, 256},
                                           TransferCase{"dma48AboveFourGiB", 0x35, 0x25, true, 0x1'2345'6789, 2},
                                           TransferCase{"dma48LongRun", 0x35, 0x25, true, 5000, 300}),
                         CaseName{});

TEST_F(AtaDeviceTest, NeverWrittenSectorsReadAsZeros) {
  Drive& drive = addDrive();
  auto device = open(kSataPath);
  Bytes in(2 * kSector, 0xee);
  ASSERT_FALSE(ataFailed(ata(*device, {0, 2, 0x10, 0, 0, 0xe0, 0xc8}, Direction::In, in, true)));
  EXPECT_EQ(in, Bytes(2 * kSector, 0));
  EXPECT_EQ(drive.storedSectorCount(), 0u);
}

TEST_F(AtaDeviceTest, TransfersOutOfRangeOrWithAWrongSpanChangeNothing) {
  Drive& drive = addDrive(1000);
  auto device = open(kSataPath);
  Bytes two(2 * kSector, 0x5a);
  const auto pastEnd = ata(*device, {0, 2, 0xe7, 0x03, 0, 0xe0, 0xca}, Direction::Out, two, true);  // LBA 999..1000
  EXPECT_EQ(pastEnd.current.features, 0x10);
  Bytes one(kSector, 0x5a);
  const auto shortSpan = ata(*device, {0, 2, 0, 0, 0, 0xe0, 0xca}, Direction::Out, one, true);
  EXPECT_EQ(shortSpan.current.features, 0x04);
  EXPECT_EQ(drive.storedSectorCount(), 0u);
}

}  // namespace
}  // namespace drivesim::test
