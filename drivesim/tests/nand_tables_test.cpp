// The GDP RAM code's preformat and what the firmware answers from its tables:
// the table pages in flash byte for byte, later-table pages one per grown bad
// block, the firmware's bad-block lists, the page read by bank index, kept
// and dropped erase counts, and the faults (too many bad blocks, a spoilt
// signature, a failing loader list).

#include <optional>
#include <string>
#include <vector>

#include "drivesim/drive.h"
#include "drivesim/scenario.h"
#include "platform/clock.h"
#include "vendor_host.h"

namespace drivesim::test {
namespace {

// 4 sectors per page (2 KiB), 64 pages per block, 2048 blocks, two planes, a
// Samsung part; two channels, two banks on chip enables 0 and 1, so bank
// indices 0..3.
constexpr std::uint16_t kTypeWord = 0x1200;
constexpr std::size_t kPage = 4 * kSector;

Bytes signature(std::initializer_list<std::uint8_t> kind) {
  Bytes s(kind);
  for (const char c : std::string("KWFA3X-V001")) s.push_back(static_cast<std::uint8_t>(c));
  s.push_back(0);
  return s;
}
const Bytes kDefect = signature({0xe9, 0x86, 0xaa, 0x55});
const Bytes kEarly = signature({0x45, 0x79, 0xaa, 0x55});
const Bytes kRemap = signature({0x9e, 0x68, 0x55, 0xaa});
const Bytes kLater = signature({0xe8, 0xdc, 0x55, 0xaa});
const Bytes kSystem = signature({'S', 'Y', 'S', 'P'});

// A page part: the bytes, then zeros to the page size.
Bytes part(const Bytes& head, const Bytes& body) {
  Bytes p = head;
  p.insert(p.end(), body.begin(), body.end());
  p.resize(kPage, 0);
  return p;
}

class Preformat : public LineTest {
 protected:
  DriveConfig baseConfig() {
    DriveConfig config = configFor(HostPath::OwnUsb);
    config.runState = RunState::Loader;
    config.flashTypeWord = kTypeWord;
    config.flashChannels = 2;
    config.flashBanks = 2;
    config.flashChipEnables = 2;
    config.factoryBadBlocks = {{.channel = 0, .bank = 0, .block = 5, .type = 0},
                               {.channel = 0, .bank = 2, .block = 7, .type = 0},
                               {.channel = 1, .bank = 3, .block = 0x123, .type = 0}};
    config.laterBadBlocks = {{.channel = 0, .bank = 1, .block = 9, .type = 4},
                             {.channel = 1, .bank = 3, .block = 0x44, .type = 3},
                             {.channel = 0, .bank = 3, .block = 0x55, .type = 1}};
    return config;
  }

  void attach(const DriveConfig& config) {
    drive = &line->addDrive(config);
    device = open(config.path);
    host.emplace(*device, HostPath::OwnUsb);
    ASSERT_TRUE(loadRamCode(*host, ramCodeImage("GDP_")));
  }

  // Starts operation 3 and polls until the status leaves busy.
  std::optional<std::uint8_t> preformat(std::uint8_t options) {
    if (!host->send(0x03, {options})) return std::nullopt;
    for (int poll = 0; poll < 100; ++poll) {
      const auto status = host->status();
      if (!status || *status != 0xaa) return status;
    }
    return std::nullopt;
  }

  Bytes errorBlock() {
    Bytes block(4 * kSector, 0x77);
    EXPECT_TRUE(host->send(0x06, {}, Direction::In, block));
    return block;
  }

  void toFirmware() { ASSERT_TRUE(host->switchRunMode(2, 0)); }

  // The firmware's bad-block list of a channel and bank index.
  Bytes badBlockList(std::uint8_t channel, std::uint8_t bank) {
    Bytes list(64 * kSector, 0x77);
    EXPECT_TRUE(host->send(0x00, {channel, bank}, Direction::In, list));
    return list;
  }

  platform::clock::ScopedFastClock clock;
  Drive* drive = nullptr;
  std::unique_ptr<Device> device;
  std::optional<VendorHost> host;
};

TEST_F(Preformat, KeepingTheLaterTablesWritesTheLoaderPagesOfEveryLoaderBlockAndChannel) {
  DriveConfig config = baseConfig();
  config.busyPolls = 3;
  attach(config);
  EXPECT_EQ(preformat(0x0c), 10);

  const Bytes defect0 = part(kDefect, {0xfb, 0xa0, 0, 0, 5, 0, 0, 1, 0xfb, 0xa0, 2, 0, 7, 0, 0, 1, 0xfe, 0xd1, 0, 0});
  const Bytes early0 = part(kEarly, {0x00, 0xfb, 5, 0, 0x02, 0xfb, 7, 0, 0x00, 0xfe});
  const Bytes defect1 = part(kDefect, {0xfb, 0xa0, 3, 0, 0x23, 0x01, 0, 1, 0xfe, 0xd1, 0, 0});
  const Bytes early1 = part(kEarly, {0x03, 0xfb, 0x23, 0x01, 0x00, 0xfe});
  const Bytes system = part(kSystem, {0x10, 0, 0, 0, 0x11, 0});
  for (const std::uint16_t block : {0, 1, 2, 3}) {
    EXPECT_EQ(drive->flashPage(0, 0, block, 1), defect0) << "block " << block;
    EXPECT_EQ(drive->flashPage(0, 0, block, 2), early0) << "block " << block;
    EXPECT_EQ(drive->flashPage(1, 0, block, 1), defect1) << "block " << block;
    EXPECT_EQ(drive->flashPage(1, 0, block, 2), early1) << "block " << block;
    EXPECT_EQ(drive->flashPage(0, 0, block, 3), Bytes(kPage, 0xff)) << "no remap table without remap";
    EXPECT_EQ(drive->flashPage(0, 0, block, 4), system);
    EXPECT_EQ(drive->flashPage(1, 0, block, 4), system);
  }
  EXPECT_EQ(drive->flashPage(0, 1, 0, 1), Bytes(kPage, 0xff)) << "only the first chip enable";
}

// Bank index 0 keeps its later table in block 2 x 0x10 of chip enable 0; the
// others in block 2 x 0x11 of chip enable (index mod 2): indices 1 and 3
// share one. Each grown bad block adds a page with the whole table.
TEST_F(Preformat, LaterTablesGetOnePagePerGrownBadBlockOnTheirBanksBlock) {
  attach(baseConfig());
  EXPECT_EQ(preformat(0x0c), 10);

  const Bytes empty = part(kLater, {});
  EXPECT_EQ(drive->flashPage(0, 0, 0x20, 1), empty);
  EXPECT_EQ(drive->flashPage(1, 0, 0x20, 1), empty);
  EXPECT_EQ(drive->flashPage(0, 0, 0x20, 2), Bytes(kPage, 0xff));
  EXPECT_EQ(drive->flashPage(0, 0, 0x22, 1), empty) << "bank index 2";

  Bytes count1(16, 0);
  count1[0] = 1;
  auto later = [&](Bytes counts, const Bytes& entries) {
    counts.insert(counts.end(), entries.begin(), entries.end());
    return part(kLater, counts);
  };
  // Events of indices 1 and 3, in order: (ch0, 9, type 4), (ch1, 0x44, 3), (ch0, 0x55, 1).
  EXPECT_EQ(drive->flashPage(0, 1, 0x22, 1), later(count1, {9, 0, 4, 0}));
  EXPECT_EQ(drive->flashPage(1, 1, 0x22, 1), empty);
  EXPECT_EQ(drive->flashPage(0, 1, 0x22, 2), later(count1, {9, 0, 4, 0}));
  EXPECT_EQ(drive->flashPage(1, 1, 0x22, 2), later(count1, {0x44, 0, 3, 0}));
  Bytes count2(16, 0);
  count2[0] = 2;
  EXPECT_EQ(drive->flashPage(0, 1, 0x22, 3), later(count2, {9, 0, 4, 0, 0x55, 0, 1, 0}));
  EXPECT_EQ(drive->flashPage(1, 1, 0x22, 3), later(count1, {0x44, 0, 3, 0}));
  EXPECT_EQ(drive->flashPage(0, 1, 0x22, 4), Bytes(kPage, 0xff));
}

TEST_F(Preformat, WithoutKeepingTheLaterTablesTheScanPutsGrownBadBlocksIntoTheEarlyLists) {
  attach(baseConfig());
  EXPECT_EQ(preformat(0x08), 10);
  // Bit 15 marks the blocks the scan found.
  EXPECT_EQ(drive->flashPage(0, 0, 0, 2),
            part(kEarly, {0x00, 0xfb, 5, 0, 0x01, 0xfb, 9, 0x80, 0x02, 0xfb, 7, 0, 0x03, 0xfb, 0x55, 0x80, 0x00, 0xfe}));
  EXPECT_EQ(drive->flashPage(0, 0, 0, 1),
            part(kDefect, {0xfb, 0xa0, 0, 0, 5, 0, 0, 1, 0xfb, 0xa0, 1, 0, 9, 0, 0, 2, 0xfb, 0xa0, 2, 0, 7, 0, 0, 1,
                           0xfb, 0xa0, 3, 0, 0x55, 0, 0, 2, 0xfe, 0xd1, 0, 0}));
  EXPECT_EQ(drive->flashPage(0, 1, 0x22, 1), part(kLater, {})) << "the later tables start empty";
  EXPECT_EQ(drive->flashPage(0, 1, 0x22, 2), Bytes(kPage, 0xff));
}

TEST_F(Preformat, RemapOnWritesTheRemapTableWithReserveBlocks) {
  DriveConfig config = baseConfig();
  config.optionBitsA = 0x30;
  attach(config);
  EXPECT_EQ(preformat(0x0c), 10);
  EXPECT_EQ(drive->flashPage(0, 0, 2, 3),
            part(kRemap, {0xa0, 0xeb, 1, 0, 9, 0, 0xff, 0x07, 0xa0, 0xeb, 3, 0, 0x55, 0, 0xff, 0x07, 0xd1, 0xee, 0, 0}));
}

TEST_F(Preformat, TheFirmwareAnswersEachDiesBadBlocksAndReadsTablesByBankIndex) {
  attach(baseConfig());
  {
    toFirmware();
    const Bytes list = badBlockList(0, 0);
    EXPECT_EQ(list[4], 0) << "no tables yet, no list";
    ASSERT_TRUE(loadRamCode(*host, ramCodeImage("GDP_")));
  }
  EXPECT_EQ(preformat(0x0c), 10);
  toFirmware();

  struct ListCase {
    std::uint8_t channel, bank;
    Bytes head;  // count and entries from byte 4
  };
  const ListCase cases[] = {
      {0, 0, {1, 0, 0, 0, 5, 0, 0, 0}},
      {0, 1, {1, 0, 0, 0, 9, 0, 4, 0}},
      {0, 3, {1, 0, 0, 0, 0x55, 0, 1, 0}},
      {1, 3, {2, 0, 0, 0, 0x23, 1, 0, 0, 0x44, 0, 3, 0}},
      {1, 0, {0, 0, 0, 0}},
  };
  for (const auto& c : cases) {
    const Bytes list = badBlockList(c.channel, c.bank);
    EXPECT_EQ(Bytes(list.begin() + 4, list.begin() + 4 + static_cast<std::ptrdiff_t>(c.head.size())), c.head)
        << "channel " << int{c.channel} << " bank " << int{c.bank};
    EXPECT_EQ(list[4 + c.head.size()], 0);
  }

  // Bank index 3 reaches chip enable 1: unit 0x11 is blocks 0x22 and 0x23,
  // each channel's page at the start of its 16 KiB step.
  Bytes reply(64 * kSector, 0);
  ASSERT_TRUE(host->send(0x04, {15, 3, 0, 0x11, 0, 3, 0, 0}, Direction::In, reply));
  EXPECT_EQ(Bytes(reply.begin(), reply.begin() + kPage), drive->flashPage(0, 1, 0x22, 3));
  EXPECT_EQ(Bytes(reply.begin() + 16 * 1024, reply.begin() + 16 * 1024 + kPage), drive->flashPage(1, 1, 0x22, 3));
}

TEST_F(Preformat, TablesBuiltBeforeTheDriveCameAreThereAtPowerUp) {
  DriveConfig config = baseConfig();
  config.tablesBuilt = true;
  config.runState = RunState::Firmware;
  drive = &line->addDrive(config);
  device = open(config.path);
  host.emplace(*device, HostPath::OwnUsb);
  EXPECT_EQ(drive->flashPage(0, 0, 0, 2), part(kEarly, {0x00, 0xfb, 5, 0, 0x02, 0xfb, 7, 0, 0x00, 0xfe}));
  const Bytes list = badBlockList(0, 1);
  EXPECT_EQ(Bytes(list.begin() + 4, list.begin() + 12), (Bytes{1, 0, 0, 0, 9, 0, 4, 0}));
}

TEST_F(Preformat, KeepsTheEraseCountsWrittenBackOnlyWithOption0x40) {
  for (const std::uint8_t options : {std::uint8_t{0x4c}, std::uint8_t{0x0c}}) {
    SCOPED_TRACE(options);
    DriveConfig config = baseConfig();
    config.path += std::to_string(options);
    attach(config);
    Bytes table(128 * kSector, 0);
    for (std::size_t i = 0; i < table.size(); ++i) table[i] = static_cast<std::uint8_t>(i * 7);
    ASSERT_TRUE(host->send(0x08, {1, 2}, Direction::Out, table));
    EXPECT_EQ(preformat(options), 10);
    const Bytes kept = drive->eraseCountTable(1, 2);
    if (options & 0x40) {
      EXPECT_EQ(kept, table);
    } else {
      EXPECT_NE(kept, table);
      EXPECT_EQ(kept[0], 2) << "the firmware's own table: bank first";
    }
  }
}

TEST_F(Preformat, TooManyBadBlocksOnADieFailWithStatus11AndARecordPerDie) {
  DriveConfig config = baseConfig();
  config.preformatBadBlockLimit = 1;
  attach(config);
  const Bytes before = drive->flashPage(0, 0, 0, 2);
  EXPECT_EQ(preformat(0x0c), 11);
  const Bytes block = errorBlock();
  // Channel 1 bank index 3 has two: bank 1 of die 1.
  EXPECT_EQ(Bytes(block.begin(), block.begin() + 17), (Bytes{1, 3, 1, 1, 1, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(drive->flashPage(0, 0, 0, 2), before) << "nothing written";

  ASSERT_TRUE(loadRamCode(*host, ramCodeImage("GDP_")));
  EXPECT_EQ(errorBlock(), Bytes(4 * kSector, 0)) << "a new RAM code start clears the error block";
}

TEST_F(Preformat, ASpoiltSignatureFlipsTheFirstByteOfThatChannelsPart) {
  DriveConfig config = baseConfig();
  config.damagedTables = {{.page = TablePage::EarlyBad, .channel = 1}, {.page = TablePage::Later, .channel = 0}};
  attach(config);
  EXPECT_EQ(preformat(0x0c), 10);
  EXPECT_EQ(drive->flashPage(0, 0, 0, 2)[0], 0x45);
  EXPECT_EQ(drive->flashPage(1, 0, 0, 2)[0], 0x45 ^ 0xff);
  EXPECT_EQ(drive->flashPage(0, 1, 0x22, 1)[0], 0xe8 ^ 0xff);
  EXPECT_EQ(drive->flashPage(1, 1, 0x22, 1)[0], 0xe8);
}

TEST_F(Preformat, ALoaderListFaultFailsTheCommand) {
  DriveConfig config = baseConfig();
  config.loaderListFails = true;
  attach(config);
  Bytes list(kSector, 0);
  EXPECT_FALSE(host->send(0x07, {}, Direction::In, list));
}

TEST(PreformatScenario, KeysSetTheBadBlocksTablesAndFaults) {
  const auto load = parseScenario(
      "[drive]\npath = d1\nfrontend = own-usb\nfactorybad = 0 1 200\nfactorybad = 1 0 7\nlaterbad = 1 2 300 4\n"
      "tables = built\nlaterunits = 32 33\npreformatlimit = 40\ntabledamage = remap 1\nloaderblocks = 0 256 512\n"
      "loaderlist = fails\n");
  ASSERT_TRUE(load.line) << load.error;
  const DriveConfig& c = load.line->drives().front()->config();
  ASSERT_EQ(c.factoryBadBlocks.size(), 2u);
  EXPECT_EQ(c.factoryBadBlocks[1].channel, 1);
  EXPECT_EQ(c.factoryBadBlocks[1].block, 7);
  ASSERT_EQ(c.laterBadBlocks.size(), 1u);
  EXPECT_EQ(c.laterBadBlocks[0].bank, 2);
  EXPECT_EQ(c.laterBadBlocks[0].type, 4);
  EXPECT_TRUE(c.tablesBuilt);
  EXPECT_EQ(c.laterTableUnits[1], 33);
  EXPECT_EQ(c.preformatBadBlockLimit, 40);
  ASSERT_EQ(c.damagedTables.size(), 1u);
  EXPECT_EQ(c.damagedTables[0].page, TablePage::Remap);
  EXPECT_EQ(c.loaderBlocks, (std::vector<std::uint16_t>{0, 256, 512}));
  EXPECT_TRUE(c.loaderListFails);

  for (const char* bad : {"laterbad = 0 0 5 2", "factorybad = 8 0 5", "tabledamage = boot 0", "tables = maybe"}) {
    const auto refused = parseScenario(std::string("[drive]\npath = d1\nfrontend = own-usb\n") + bad + "\n");
    EXPECT_FALSE(refused.line) << bad;
    EXPECT_NE(refused.error.find("line 4"), std::string::npos) << refused.error;
  }
}

}  // namespace
}  // namespace drivesim::test
