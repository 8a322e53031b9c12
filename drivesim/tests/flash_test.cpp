// The flash array through the vendor sub-ops: geometry from the type word,
// pages by channel or all channels at once, erase, IDs, channels the drive
// does not have, and the firmware's physical page read with its second part.

#include <optional>
#include <string>
#include <vector>

#include "drivesim/drive.h"
#include "platform/clock.h"
#include "vendor_host.h"

namespace drivesim::test {
namespace {

struct TypeWordCase {
  const char* name;
  std::uint16_t word;
  std::optional<FlashGeometry> geometry;
};

class TypeWord : public ::testing::TestWithParam<TypeWordCase> {};

TEST_P(TypeWord, DecodesLikeTheFlashList) { EXPECT_EQ(decodeFlashTypeWord(GetParam().word), GetParam().geometry); }

INSTANTIATE_TEST_SUITE_P(
    Words, TypeWord,
    ::testing::Values(TypeWordCase{"samsung1081", 0x1081, FlashGeometry{8, 64, 8192, 1}},
                      TypeWordCase{"default224a", 0x224a, FlashGeometry{16, 128, 4096, 2}},
                      TypeWordCase{"largest", 0x06da, FlashGeometry{16, 512, 16384, 8}},
                      TypeWordCase{"block1024", 0x0100, FlashGeometry{4, 64, 1024, 1}},
                      TypeWordCase{"sectorIndex3", 0x0003, std::nullopt},
                      TypeWordCase{"pageIndex4", 0x0020, std::nullopt},
                      TypeWordCase{"blockIndex5", 0x0140, std::nullopt}),
    CaseName{});

struct ChipEnableCase {
  const char* name;
  std::uint8_t banks, chipEnables;
  std::vector<std::uint8_t> ids;
};

class ChipEnables : public ::testing::TestWithParam<ChipEnableCase> {};

TEST_P(ChipEnables, FollowTheBankMapGroups) {
  EXPECT_EQ(chipEnableIds(GetParam().banks, GetParam().chipEnables), GetParam().ids);
}

INSTANTIATE_TEST_SUITE_P(
    Counts, ChipEnables,
    ::testing::Values(ChipEnableCase{"banks4ce2", 4, 2, {0, 1, 4, 5}}, ChipEnableCase{"banks2ce1", 2, 1, {0, 4}},
                      ChipEnableCase{"banks8ce4", 8, 4, {0, 1, 2, 3, 4, 5, 6, 7}},
                      ChipEnableCase{"banks8ce1", 8, 1, {0, 4, 8, 12, 16, 20, 24, 28}},
                      ChipEnableCase{"noChipEnables", 4, 0, {}}, ChipEnableCase{"noBanks", 0, 2, {}}),
    CaseName{});

Bytes pageOf(std::size_t bytes, std::uint8_t seed) {
  Bytes page(bytes);
  for (std::size_t i = 0; i < bytes; ++i) page[i] = static_cast<std::uint8_t>(seed + i * 3);
  return page;
}

Bytes erased(std::size_t bytes) { return Bytes(bytes, 0xff); }

// 8 sectors per page (4 KiB), 64 pages per block, 2048 blocks, two planes;
// two channels, chip enables 0 and 1.
constexpr std::uint16_t kTypeWord = 0x0201;
constexpr std::size_t kPage = 8 * kSector;

class FlashAccess : public LineTest, public ::testing::WithParamInterface<HostPath> {
 protected:
  VendorHost& attach(RunState state = RunState::Loader, std::string dateCode = "120105") {
    DriveConfig config = configFor(GetParam());
    config.runState = state;
    config.flashTypeWord = kTypeWord;
    config.flashChannels = 2;
    config.flashBanks = 2;
    config.flashChipEnables = 2;
    config.firmwareDateCode = std::move(dateCode);
    config.flashIdsAt = {{.channel = 1, .chipEnable = 1, .id = {0xec, 0xd7, 0x14, 0x76, 0x44}}};
    drive = &line->addDrive(config);
    device = open(config.path);
    host.emplace(*device, GetParam());
    EXPECT_TRUE(host->vendorMode(true));
    return *host;
  }

  // 0x89 / 0x8A: selector, chip enable, block and page big-endian, BCH-24 flag, extra.
  bool pages(bool write, std::uint8_t selector, std::uint8_t ce, std::uint16_t block, std::uint16_t page, Bytes& data) {
    return host->send(write ? 0x8a : 0x89,
                      {selector, ce, static_cast<std::uint8_t>(block >> 8), static_cast<std::uint8_t>(block),
                       static_cast<std::uint8_t>(page >> 8), static_cast<std::uint8_t>(page), 0, 0},
                      write ? Direction::Out : Direction::In, data);
  }
  Bytes readPages(std::uint8_t selector, std::uint8_t ce, std::uint16_t block, std::uint16_t page, std::size_t bytes) {
    Bytes data(bytes, 0x5a);
    EXPECT_TRUE(pages(false, selector, ce, block, page, data));
    return data;
  }
  bool erase(std::uint8_t selector, std::uint8_t ce, std::uint16_t block) {
    return host->send(0x8b, {selector, ce, static_cast<std::uint8_t>(block >> 8), static_cast<std::uint8_t>(block)});
  }
  Bytes flashId(std::uint8_t channel, std::uint8_t ce) {
    Bytes data(kSector, 0x5a);
    EXPECT_TRUE(host->send(0x88, {channel, ce}, Direction::In, data));
    return Bytes(data.begin(), data.begin() + 6);
  }
  bool physical(std::uint8_t selector, std::uint16_t unit, std::uint16_t page, Bytes& data) {
    return host->send(0x04,
                      {selector, 0, static_cast<std::uint8_t>(unit >> 8), static_cast<std::uint8_t>(unit),
                       static_cast<std::uint8_t>(page >> 8), static_cast<std::uint8_t>(page), 0, 0},
                      Direction::In, data);
  }
  bool window(Bytes& data) { return host->send(0x8c, {3, 0xb0, 0x03, 0x00, 0x00}, Direction::In, data); }

  platform::clock::ScopedFastClock clock;
  Drive* drive = nullptr;
  std::unique_ptr<Device> device;
  std::optional<VendorHost> host;
};

TEST_P(FlashAccess, OneChannelPagesWriteReadAndErase) {
  attach();
  Bytes page = pageOf(kPage, 1);
  const Bytes written = page;
  ASSERT_TRUE(pages(true, 1, 0, 100, 5, page));
  EXPECT_EQ(readPages(1, 0, 100, 5, kPage), written);
  EXPECT_EQ(drive->flashPage(1, 0, 100, 5), written);
  EXPECT_EQ(readPages(0, 0, 100, 5, kPage), erased(kPage)) << "the other channel";
  EXPECT_EQ(readPages(1, 1, 100, 5, kPage), erased(kPage)) << "the other chip enable";
  EXPECT_EQ(readPages(1, 0, 100, 4, kPage), erased(kPage)) << "the page before";
  EXPECT_EQ(readPages(1, 0, 100, 5, 2 * kSector), Bytes(written.begin(), written.begin() + 2 * kSector))
      << "a shorter read gives the start of the page";

  Bytes other = pageOf(kPage, 9);
  ASSERT_TRUE(pages(true, 1, 0, 101, 0, other));
  ASSERT_TRUE(erase(1, 0, 100));
  EXPECT_EQ(readPages(1, 0, 100, 5, kPage), erased(kPage));
  EXPECT_EQ(readPages(1, 0, 101, 0, kPage), pageOf(kPage, 9)) << "erase takes its own block only";
}

TEST_P(FlashAccess, SelectorEightMovesEveryChannelInOneTransfer) {
  attach();
  Bytes both(2 * kPage);
  for (std::size_t i = 0; i < both.size(); ++i) both[i] = static_cast<std::uint8_t>(i / kPage + 0x30 + i % 7);
  const Bytes written = both;
  ASSERT_TRUE(pages(true, 8, 1, 7, 3, both));
  EXPECT_EQ(drive->flashPage(0, 1, 7, 3), Bytes(written.begin(), written.begin() + kPage));
  EXPECT_EQ(drive->flashPage(1, 1, 7, 3), Bytes(written.begin() + kPage, written.end()));
  EXPECT_EQ(readPages(8, 1, 7, 3, 2 * kPage), written);
  EXPECT_EQ(readPages(1, 1, 7, 3, kPage), Bytes(written.begin() + kPage, written.end()));

  ASSERT_TRUE(erase(8, 1, 7));
  EXPECT_EQ(drive->flashPage(0, 1, 7, 3), erased(kPage));
  EXPECT_EQ(drive->flashPage(1, 1, 7, 3), erased(kPage));
}

// A host may walk channels 0..7 whatever the drive carries: the channels it
// does not have read as erased flash, and cannot be programmed or erased.
TEST_P(FlashAccess, ChannelsAndChipEnablesTheDriveLacksReadErasedAndRefuseWrites) {
  attach();
  ASSERT_TRUE(drive->putFlashBytes(0, 0, 2, 0, 0, Bytes{'L', 'D', 'B', 'K'}));
  for (std::uint8_t channel = 0; channel < 8; ++channel) {
    const Bytes page = readPages(channel, 0, 2, 0, kPage);
    EXPECT_EQ(page[0], channel == 0 ? 'L' : 0xff) << "channel " << int{channel};
  }
  const Bytes all = readPages(8, 0, 2, 0, 8 * kPage);
  EXPECT_EQ(all[0], 'L');
  EXPECT_EQ(Bytes(all.begin() + kPage, all.end()), erased(7 * kPage)) << "channels 1..7";

  Bytes page = pageOf(kPage, 3);
  EXPECT_FALSE(pages(true, 5, 0, 2, 1, page)) << "channel 5 is absent";
  EXPECT_FALSE(pages(true, 0, 2, 2, 1, page)) << "chip enable 2 is absent with 2 banks of 2";
  EXPECT_FALSE(erase(3, 0, 2));
  Bytes eight(8 * kPage, 0x44);
  EXPECT_TRUE(pages(true, 8, 0, 2, 1, eight)) << "selector 8 programs the channels there are";
  EXPECT_EQ(drive->flashPage(1, 0, 2, 1), Bytes(kPage, 0x44));
  EXPECT_TRUE(drive->flashPage(5, 0, 2, 1).empty());
  EXPECT_FALSE(pages(true, 8, 2, 2, 1, eight)) << "no chip at chip enable 2 on any channel";
}

TEST_P(FlashAccess, AddressesBeyondTheFlashOrTheSelectorFail) {
  attach();
  struct Case {
    const char* name;
    std::uint8_t selector;
    std::uint16_t block, page;
    std::size_t bytes;
  };
  const Case cases[] = {
      {"block2048", 0, 2048, 0, kPage},
      {"page64", 0, 0, 64, kPage},
      {"selector9", 9, 0, 0, kPage},
      {"morethanAPage", 0, 0, 0, kPage + kSector},
      {"moreThanEightPages", 8, 0, 0, 8 * kPage + kSector},
  };
  for (const auto& c : cases) {
    Bytes data(c.bytes, 0);
    EXPECT_FALSE(pages(false, c.selector, 0, c.block, c.page, data)) << c.name;
    EXPECT_FALSE(pages(true, c.selector, 0, c.block, c.page, data)) << c.name;
  }
  EXPECT_FALSE(erase(0, 0, 2048));
  Bytes last(kPage, 1);
  EXPECT_TRUE(pages(true, 0, 0, 2047, 63, last)) << "the last page of the last block";
}

TEST_P(FlashAccess, FlashIdsPerChannelAndChipEnable) {
  attach();
  EXPECT_EQ(flashId(0, 0), (Bytes{0x98, 0xd7, 0x94, 0x32, 0x76, 0}));
  EXPECT_EQ(flashId(1, 0), (Bytes{0x98, 0xd7, 0x94, 0x32, 0x76, 0}));
  EXPECT_EQ(flashId(1, 1), (Bytes{0xec, 0xd7, 0x14, 0x76, 0x44, 0})) << "the configured odd one";
  EXPECT_EQ(flashId(2, 0), (Bytes{0xff, 0xff, 0xff, 0xff, 0xff, 0})) << "no channel 2";
  EXPECT_EQ(flashId(0, 4), (Bytes{0xff, 0xff, 0xff, 0xff, 0xff, 0})) << "no chip enable 4";
}

// The reply of the firmware's physical page read: a 16 KiB step per channel,
// the unit's even block at +0 and its odd block at +page bytes.
struct PhysicalCase {
  const char* name;
  const char* dateCode;
  std::uint8_t allChannels;
};

class PhysicalPage : public FlashAccess {
 protected:
  void preload() {
    for (std::uint8_t channel = 0; channel < 2; ++channel) {
      for (std::uint16_t plane = 0; plane < 2; ++plane) {
        const Bytes page = pageOf(kPage, static_cast<std::uint8_t>(0x10 * (channel + 1) + plane));
        ASSERT_TRUE(drive->putFlashBytes(channel, 0, static_cast<std::uint16_t>(40 + plane), 9, 0, page));
      }
    }
  }
  static Bytes expectedImage() {
    Bytes image(8 * 16384, 0xff);
    for (std::size_t channel = 0; channel < 2; ++channel) {
      for (std::size_t plane = 0; plane < 2; ++plane) {
        const Bytes page = pageOf(kPage, static_cast<std::uint8_t>(0x10 * (channel + 1) + plane));
        std::copy(page.begin(), page.end(), image.begin() + static_cast<std::ptrdiff_t>(channel * 16384 + plane * kPage));
      }
    }
    return image;
  }
};

TEST_P(PhysicalPage, NewerFirmwareServesSelector15ThenTheSecondPartWithF0) {
  attach(RunState::Firmware, "120105");
  preload();
  const Bytes image = expectedImage();
  // 8 sectors per page x 8 sectors: 32 KiB, two channels per read.
  Bytes first(64 * kSector, 0);
  ASSERT_TRUE(physical(15, 20, 9, first));
  EXPECT_EQ(first, Bytes(image.begin(), image.begin() + 32768));
  Bytes second(64 * kSector, 0);
  ASSERT_TRUE(physical(0xf0, 20, 9, second));
  EXPECT_EQ(second, Bytes(image.begin() + 32768, image.begin() + 65536)) << "channels 2 and 3: none there";

  Bytes refused(64 * kSector, 0);
  EXPECT_FALSE(physical(8, 20, 9, refused)) << "selector 8 is the older firmware's";
  Bytes viaWindow(64 * kSector, 0);
  ASSERT_TRUE(window(viaWindow));
  EXPECT_EQ(viaWindow, Bytes(64 * kSector, 0)) << "no page window in newer firmware: plain memory";
}

TEST_P(PhysicalPage, OlderFirmwareServesSelector8ThenTheMemoryWindow) {
  for (const char* dateCode : {"100811", "110222", "110224", "110225"}) {
    SCOPED_TRACE(dateCode);
    attach(RunState::Firmware, dateCode);
    preload();
    const Bytes image = expectedImage();
    Bytes first(128 * kSector, 0);
    ASSERT_TRUE(physical(8, 20, 9, first));
    EXPECT_EQ(first, Bytes(image.begin(), image.begin() + 65536));
    Bytes second(128 * kSector, 0);
    ASSERT_TRUE(window(second));
    EXPECT_EQ(second, Bytes(image.begin() + 65536, image.end()));
    Bytes refused(kSector, 0);
    EXPECT_FALSE(physical(15, 20, 9, refused));
    EXPECT_FALSE(physical(0xf0, 20, 9, refused));
  }
}

TEST_P(PhysicalPage, OneChannelSelectorPutsThatChannelInTheFirstStep) {
  attach(RunState::Firmware);
  preload();
  Bytes reply(64 * kSector, 0);
  ASSERT_TRUE(physical(1, 20, 9, reply));
  EXPECT_EQ(Bytes(reply.begin(), reply.begin() + kPage), pageOf(kPage, 0x20));
  EXPECT_EQ(Bytes(reply.begin() + kPage, reply.begin() + 2 * kPage), pageOf(kPage, 0x21));
  EXPECT_EQ(Bytes(reply.begin() + 2 * kPage, reply.end()), erased(reply.size() - 2 * kPage));
}

TEST_P(PhysicalPage, RefusedBeforeAFirstReadAndBeyondTheFlash) {
  attach(RunState::Firmware);
  Bytes reply(64 * kSector, 0);
  EXPECT_FALSE(physical(0xf0, 20, 9, reply)) << "nothing to continue";
  EXPECT_FALSE(physical(15, 1024, 0, reply)) << "unit 1024 would be blocks 2048 and 2049";
  EXPECT_FALSE(physical(15, 0, 64, reply));
  EXPECT_TRUE(physical(15, 1023, 63, reply));
}

TEST_P(PhysicalPage, NotServedOutsideTheFirmware) {
  attach(RunState::Loader);
  Bytes reply(64 * kSector, 0);
  EXPECT_FALSE(physical(15, 0, 0, reply));
}

INSTANTIATE_TEST_SUITE_P(Paths, FlashAccess, ::testing::Values(HostPath::OwnUsb, HostPath::Bridge, HostPath::Sata),
                         [](const auto& p) { return std::string(hostPathName(p.param)); });
INSTANTIATE_TEST_SUITE_P(Paths, PhysicalPage, ::testing::Values(HostPath::OwnUsb, HostPath::Bridge, HostPath::Sata),
                         [](const auto& p) { return std::string(hostPathName(p.param)); });

TEST(FlashPreload, PutFlashBytesKeepsTheRestOfThePageAndRefusesOverruns) {
  DriveConfig config = DriveConfig::sataPort(kSataPath);
  config.flashTypeWord = kTypeWord;
  config.flashChannels = 1;
  Drive drive(config);
  ASSERT_TRUE(drive.putFlashBytes(0, 0, 3, 0, 0, Bytes{'L', 'D', 'B', 'K'}));
  ASSERT_TRUE(drive.putFlashBytes(0, 0, 3, 0, 560, Bytes{3, 0, 1}));
  const Bytes page = drive.flashPage(0, 0, 3, 0);
  ASSERT_EQ(page.size(), kPage);
  EXPECT_EQ(page[0], 'L');
  EXPECT_EQ(page[4], 0xff);
  EXPECT_EQ(page[560], 3);
  EXPECT_EQ(page[562], 1);
  EXPECT_EQ(page[563], 0xff);
  EXPECT_FALSE(drive.putFlashBytes(0, 0, 3, 0, kPage - 1, Bytes{1, 2}));
  EXPECT_FALSE(drive.putFlashBytes(1, 0, 3, 0, 0, Bytes{1})) << "one channel only";
  EXPECT_FALSE(drive.putFlashBytes(0, 0, 2048, 0, 0, Bytes{1}));
  EXPECT_TRUE(drive.flashPage(0, 0, 0, 64).empty());
}

TEST(FlashPreload, UndefinedTypeWordLeavesTheDriveWithoutFlash) {
  DriveConfig config = DriveConfig::sataPort(kSataPath);
  config.flashTypeWord = 0x0007;
  Drive drive(config);
  EXPECT_FALSE(drive.putFlashBytes(0, 0, 0, 0, 0, Bytes{1}));
  EXPECT_TRUE(drive.flashPage(0, 0, 0, 0).empty());
}

}  // namespace
}  // namespace drivesim::test
