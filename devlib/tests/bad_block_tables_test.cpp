// The preformat, the table check, the table read and the bad-block count
// against the emulated drive, whose RAM code builds the tables with its own
// encoder: the counts read back are the bad blocks the drive was given.

#include "devlib/bad_block_tables.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "devlib/controller_access.h"
#include "devlib/drive_state.h"
#include "devlib/flash_geometry.h"
#include "devlib/flash_params.h"
#include "devlib/port_buffers.h"
#include "devlib/port_io.h"
#include "drivesim/config.h"
#include "ram_code_line.h"
#include "platform/debug.h"
#include "platform/paths.h"
#include "testsupport/ram_code_images.h"

namespace devlib::testing {
namespace {

using Bytes = std::vector<std::uint8_t>;
using drivesim::BadBlock;
using drivesim::TableDamage;
using drivesim::TablePage;
constexpr int kPort = 3;

// A Samsung part: 16 sectors per page, 128 pages per block, 4096 blocks, two
// planes; 4 channels, 2 banks on chip enables 0 and 1: bank indices 0..3.
constexpr std::uint16_t kTypeWord = 0x124A;
constexpr unsigned kChannels = 4, kBanks = 2;

FlashParams Part(std::uint16_t typeWord = kTypeWord) {
  FlashParams p;
  p.setting.typeWord = typeWord;
  p.setting.channels = kChannels;
  p.setting.banks = kBanks;
  p.setting.chipEnables = 2;
  p.setting.eccMode = 2;
  DecodeFlashGeometry(p.setting, p.geometry);
  p.resPercentage = 68;
  return p;
}

const std::vector<BadBlock> kFactory = {{.channel = 0, .bank = 0, .block = 5, .type = 0},
                                        {.channel = 0, .bank = 2, .block = 7, .type = 0},
                                        {.channel = 1, .bank = 3, .block = 0x123, .type = 0},
                                        {.channel = 3, .bank = 1, .block = 40, .type = 0}};
const std::vector<BadBlock> kGrown = {{.channel = 0, .bank = 1, .block = 9, .type = 4},
                                      {.channel = 1, .bank = 3, .block = 0x44, .type = 3},
                                      {.channel = 0, .bank = 3, .block = 0x55, .type = 1},
                                      {.channel = 2, .bank = 0, .block = 0x66, .type = 5},
                                      {.channel = 2, .bank = 2, .block = 0x67, .type = 4}};

using Counters = std::vector<BadBlockCounterRow>;

// What the count must give: a factory block early, a grown one by its type
// (or early too, when the preformat did not keep the later tables).
Counters Expected(const std::vector<BadBlock>& factory, const std::vector<BadBlock>& grown, bool keptLater) {
  const std::map<int, int> column = {{4, 1}, {3, 2}, {5, 3}, {1, 4}};
  Counters rows(kStationCounterRows, BadBlockCounterRow{});
  for (const BadBlock& b : factory) rows[(b.bank % kBanks) * kChannels + b.channel][0] += 1;
  for (const BadBlock& b : grown) {
    rows[(b.bank % kBanks) * kChannels + b.channel][static_cast<std::size_t>(keptLater ? column.at(b.type) : 0)] += 1;
  }
  return rows;
}

drivesim::FaultRule OnSubOp(std::uint8_t subOp, int skip = 0) {
  drivesim::FaultRule rule;
  rule.kind = drivesim::FaultKind::TransportFailure;
  rule.match.subOp = subOp;
  rule.skip = skip;
  return rule;
}

class BadBlockTables : public RamCodeLineTest {
 protected:
  void SetUp() override {
    RamCodeLineTest::SetUp();
    PublishFlashParams(Part());
  }

  drivesim::DriveConfig Config() {
    drivesim::DriveConfig config = DriveFor(PortPath::OwnUsb, kPort);
    config.flashTypeWord = kTypeWord;
    config.flashChannels = kChannels;
    config.flashBanks = kBanks;
    config.flashChipEnables = 2;
    config.loaderHeader = true;
    config.factoryBadBlocks = kFactory;
    config.laterBadBlocks = kGrown;
    return config;
  }
  drivesim::Drive& Drive(const drivesim::DriveConfig& config) {
    drivesim::Drive& drive = line_->addDrive(config);
    WirePort(kPort, config.path, PortPath::OwnUsb);
    return drive;
  }
  // A drive whose tables an earlier preformat (keeping the later tables) built.
  drivesim::Drive& Preformatted(drivesim::DriveConfig config) {
    config.tablesBuilt = true;
    return Drive(config);
  }
  void ToFirmware() { ASSERT_TRUE(SwitchRunMode(kPort, 2, 0)); }

  // The option bits operation 3 was started with, last first.
  std::vector<std::uint8_t> StartedWith(drivesim::Drive& drive, std::uint8_t subOp) {
    std::vector<std::uint8_t> options;
    for (const auto& entry : drive.wire().entries(drivesim::Layer::Controller)) {
      if (entry.command.at(2) == subOp && entry.note.starts_with("start operation")) options.push_back(entry.command[3]);
    }
    return options;
  }

  BadBlockCount Count(Counters& counters, BadBlockCounterRow& totals, std::string* legend = nullptr) {
    counters.assign(kStationCounterRows, BadBlockCounterRow{});
    totals.fill(0);
    return CountBadBlocks(kPort, buffer_, counters, totals, legend);
  }

  Bytes buffer_ = Bytes(64 * 1024);
};

TEST(TableSignatures, EachKindHasItsFourBytesThenTheCommonTail) {
  const struct {
    TableKind kind;
    Bytes head;
  } cases[] = {{TableKind::Defect, {0xE9, 0x86, 0xAA, 0x55}}, {TableKind::EarlyBad, {0x45, 0x79, 0xAA, 0x55}},
               {TableKind::Remap, {0x9E, 0x68, 0x55, 0xAA}},  {TableKind::Later, {0xE8, 0xDC, 0x55, 0xAA}},
               {TableKind::System, {'S', 'Y', 'S', 'P'}}};
  for (const auto& c : cases) {
    Bytes part = c.head;
    for (const char ch : std::string("KWFA3X-V001")) part.push_back(static_cast<std::uint8_t>(ch));
    part.push_back(0);
    part.push_back(0x77);
    EXPECT_TRUE(HasTableSignature(part, c.kind));
    EXPECT_FALSE(HasTableSignature(std::span(part).first(15), c.kind)) << "a part shorter than the signature";
    part[15] = '1';
    EXPECT_FALSE(HasTableSignature(part, c.kind)) << "the 0 byte belongs to it";
  }
  EXPECT_FALSE(HasTableSignature(SignatureOf(TableKind::Defect), TableKind::EarlyBad));
}

// Must show: the tables the emulator holds after the preformat, read back,
// give the bad blocks it was given.
TEST_F(BadBlockTables, PreformatThenCountGivesTheDrivesBadBlocks) {
  // Toshiba parts without extra mode address the tables by block, the others
  // by unit.
  const struct {
    const char* name;
    std::uint16_t typeWord;
  } parts[] = {{"Samsung, two planes", kTypeWord}, {"Toshiba, two planes", 0x224A}};
  for (const auto& part : parts) {
    PublishFlashParams(Part(part.typeWord));
    for (const bool later : {true, false}) {
      SCOPED_TRACE(std::string(part.name) + (later ? ", keeping the later tables" : ", a fresh scan"));
      drivesim::DriveConfig config = Config();
      config.flashTypeWord = part.typeWord;
      config.jobs[drivesim::Job::Operation3].busyPolls = 3;
      drivesim::Drive& drive = Drive(config);
      ASSERT_TRUE(
          Preformat(kPort, buffer_, {.erase = true, .later = later, .repair = true, .keepEraseCount = false}, 0));
      EXPECT_EQ(StartedWith(drive, 0x03), (std::vector<std::uint8_t>{static_cast<std::uint8_t>(later ? 0x1D : 0x19)}));
      EXPECT_EQ(StartedWith(drive, 0x01), (std::vector<std::uint8_t>{0x01})) << "the erase";

      ToFirmware();
      ASSERT_TRUE(CheckTables(kPort, buffer_));
      Counters counters;
      BadBlockCounterRow totals{};
      const BadBlockCount count = Count(counters, totals);
      EXPECT_EQ(count.rows, static_cast<int>(kChannels * kBanks));
      EXPECT_TRUE(count.complete());
      EXPECT_FALSE(count.malformed);
      EXPECT_EQ(counters, Expected(kFactory, kGrown, later));
      const BadBlockCounterRow all = later ? BadBlockCounterRow{4, 2, 1, 1, 1} : BadBlockCounterRow{9, 0, 0, 0, 0};
      EXPECT_EQ(totals, all);
    }
  }
}

TEST_F(BadBlockTables, PreformatOptionBitsTakeTheLoadsOptionByte) {
  const struct {
    const char* name;
    PreformatFlags flags;
    bool halfPages;
    std::uint8_t bits;
  } cases[] = {
      {"eraseLaterRepair", {.erase = true, .later = true, .repair = true, .keepEraseCount = false}, false, 0x1D},
      {"onAHalfPagePart", {.erase = true, .later = true, .repair = true, .keepEraseCount = false}, true, 0x1F},
      {"withKeepEraseCount", {.erase = true, .later = true, .repair = true, .keepEraseCount = true}, false, 0x5D},
      {"nothingChosen", {.erase = false, .later = false, .repair = false, .keepEraseCount = false}, false, 0x08},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(PreformatOptionBits(c.halfPages ? 0x02 : 0x00, c.flags), c.bits);
    FlashParams part = Part();
    part.setting.halfPages = c.halfPages ? 1 : 0;
    PublishFlashParams(part);
    drivesim::DriveConfig config = Config();
    config.runState = drivesim::RunState::Firmware;
    drivesim::Drive& drive = Drive(config);
    if (c.flags.keepEraseCount) {
      ASSERT_TRUE(SaveEraseCounts(kPort, buffer_, false));
    }
    ASSERT_TRUE(Preformat(kPort, buffer_, c.flags, 0));
    EXPECT_EQ(StartedWith(drive, 0x03), std::vector<std::uint8_t>{c.bits}) << "seen at the drive";
  }
}

TEST_F(BadBlockTables, KeepEraseCountWritesBackThisDrivesSavedTablesOnce) {
  drivesim::DriveConfig config = Config();
  config.runState = drivesim::RunState::Firmware;
  drivesim::Drive& drive = Drive(config);
  ASSERT_TRUE(SaveEraseCounts(kPort, buffer_, false));
  const Bytes saved = drive.eraseCountTable(2, 3);
  const PreformatFlags keep{.erase = false, .later = true, .repair = false, .keepEraseCount = true};
  ASSERT_TRUE(Preformat(kPort, buffer_, keep, 0));

  // What arrived with sub-op 0x08 for bank index 3 of channel 2 is the table
  // read from there, now kept by the preformat.
  const Bytes kept = drive.eraseCountTable(2, 3);
  ASSERT_EQ(kept.size(), 64u * 1024);
  EXPECT_TRUE(std::equal(saved.begin(), saved.end(), kept.begin()));
  int writes = 0;
  for (const auto& entry : drive.wire().entries(drivesim::Layer::Controller)) writes += entry.command[2] == 0x08;
  EXPECT_EQ(writes, static_cast<int>(kChannels * kBanks * 2));

  buffer_[0] = 0x5A;
  EXPECT_FALSE(Preformat(kPort, buffer_, keep, 0)) << "a save serves one preformat";
  EXPECT_EQ(buffer_[0], 0);

  // The next drive on the port never gets the last one's counts.
  drivesim::DriveConfig next = Config();
  next.path += "-next";
  next.runState = drivesim::RunState::Firmware;
  drivesim::Drive& other = Drive(next);
  EXPECT_FALSE(Preformat(kPort, buffer_, keep, 0));
  EXPECT_EQ(StartedWith(other, 0x03).size(), 0u) << "nothing started";

  other.injectFault(OnSubOp(0x01, 2));
  ASSERT_TRUE(SaveEraseCounts(kPort, buffer_, false));
  EXPECT_FALSE(Preformat(kPort, buffer_, keep, 0)) << "one table could not be read";
}

TEST_F(BadBlockTables, PreformatFailuresLeaveTheErrorBlock) {
  {
    SCOPED_TRACE("too many bad blocks");
    drivesim::DriveConfig config = Config();
    config.preformatBadBlockLimit = 1;
    Drive(config);
    buffer_.assign(buffer_.size(), 0x5A);
    EXPECT_FALSE(Preformat(kPort, buffer_, {}, 0));
    // One record: code 3, channel 1, bank 1, die 1, two bad blocks.
    EXPECT_EQ(Bytes(buffer_.begin(), buffer_.begin() + 7), (Bytes{1, 3, 1, 1, 1, 2, 0}));
  }
  {
    SCOPED_TRACE("another final status");
    drivesim::DriveConfig config = Config();
    config.jobs[drivesim::Job::Operation3].finalStatus = 11;
    Drive(config);
    buffer_.assign(buffer_.size(), 0x5A);
    EXPECT_FALSE(Preformat(kPort, buffer_, {}, 0));
    EXPECT_EQ(buffer_[0], 0) << "an error block without records";
  }
  const struct {
    const char* name;
    drivesim::JobBehaviour erase;
  } erases[] = {{"stillBusyAtTheOnePoll", {.busyPolls = 1, .busyMs = 0, .finalStatus = {}, .stuckBusy = false}},
                {"statusOtherThan14", {.busyPolls = 0, .busyMs = 0, .finalStatus = 15, .stuckBusy = false}}};
  for (const auto& c : erases) {
    SCOPED_TRACE(c.name);
    drivesim::DriveConfig config = Config();
    config.jobs[drivesim::Job::Operation1] = c.erase;
    drivesim::Drive& drive = Drive(config);
    EXPECT_FALSE(Preformat(kPort, buffer_, {.erase = true, .later = true, .repair = false, .keepEraseCount = false}, 0));
    EXPECT_TRUE(StartedWith(drive, 0x03).empty()) << "no preformat after a failed erase";
  }
}

TEST_F(BadBlockTables, CheckTablesNamesTheFirstMissingTable) {
  const struct {
    const char* name;
    std::vector<TableDamage> damage;
    std::uint8_t remapOptions;
    std::optional<std::uint8_t> code;
  } cases[] = {
      {"intact", {}, 0x10, std::nullopt},
      {"defectTable", {{.page = TablePage::Defect, .channel = 0}}, 0x10, 1},
      {"earlyBadListOfChannel3", {{.page = TablePage::EarlyBad, .channel = 3}}, 0x10, 2},
      {"bothTheFirstWins", {{.page = TablePage::EarlyBad, .channel = 0}, {.page = TablePage::Defect, .channel = 2}},
       0x10, 1},
      {"remapTable", {{.page = TablePage::Remap, .channel = 1}}, 0x30, 3},
      {"remapOffIgnoresPage3", {{.page = TablePage::Remap, .channel = 1}}, 0x10, std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    drivesim::DriveConfig config = Config();
    config.damagedTables = c.damage;
    config.optionBitsA = c.remapOptions;
    Preformatted(config);
    buffer_.assign(buffer_.size(), 0x5A);
    EXPECT_EQ(CheckTables(kPort, buffer_), !c.code.has_value());
    if (c.code) {
      EXPECT_EQ(buffer_[0], *c.code);
    }
  }
}

TEST_F(BadBlockTables, CheckTablesThatCannotReadDoesNotPass) {
  {
    SCOPED_TRACE("a failed page read");
    drivesim::Drive& drive = Preformatted(Config());
    // Each page takes two reads: the loader header page, then pages 1 and 2.
    drive.injectFault(OnSubOp(0x04, 4));
    EXPECT_FALSE(CheckTables(kPort, buffer_));
    EXPECT_EQ(buffer_[0], 2);
  }
  {
    SCOPED_TRACE("no configuration");
    drivesim::Drive& drive = Preformatted(Config());
    drive.injectFault(OnSubOp(0x86));
    EXPECT_FALSE(CheckTables(kPort, buffer_));
    EXPECT_EQ(buffer_[0], 1);
  }
  {
    SCOPED_TRACE("no tables at all");
    Drive(Config());
    EXPECT_FALSE(CheckTables(kPort, buffer_));
    EXPECT_EQ(buffer_[0], 1);
  }
}

// The pages read: one round per download file, and one when there are none.
TEST_F(BadBlockTables, CheckTablesReadsOnceForEveryDownloadFileAndAtLeastOnce) {
  for (const std::size_t files : {std::size_t{3}, std::size_t{0}}) {
    SCOPED_TRACE(files);
    drivesim::DriveConfig config = Config();
    config.loaderFilePages.resize(files, 10);
    drivesim::Drive& drive = Preformatted(config);
    ASSERT_TRUE(CheckTables(kPort, buffer_));
    int tableReads = 0;
    for (const auto& entry : drive.wire().entries(drivesim::Layer::Controller)) {
      const bool pageRead = entry.command[2] == 0x04 && entry.command[3] == 15;
      tableReads += pageRead && entry.command[7] == 0 && entry.command[8] >= 1 && entry.command[8] <= 3;
    }
    EXPECT_EQ(tableReads, static_cast<int>(2 * std::max<std::size_t>(files, 1)));
  }
}

TEST_F(BadBlockTables, ReadBadBlockTablesKeepsTheNewestLaterPartAndNothingOfTheLastDrive) {
  Preformatted(Config());
  ASSERT_EQ(ReadBadBlockTables(kPort, buffer_), 1);
  const auto buffers = PortBuffersOf(kPort);
  ASSERT_TRUE(buffers);
  const std::size_t page = 16 * 512;
  // Bank index 3 (group 3, read as plane 1) shares its table block with
  // bank index 1; channel 0 got block 9 on page 1 and 0x55 on page 3, so only
  // the newest page holds both.
  const auto slot = buffers->workBuffer3().subspan((3 * 4 + 1) * 64 * 1024, 64 * 1024);
  EXPECT_TRUE(HasTableSignature(slot, TableKind::Later));
  EXPECT_EQ(slot[16], 2);
  EXPECT_EQ(Bytes(slot.begin() + 32, slot.begin() + 40), (Bytes{9, 0, 4, 0, 0x55, 0, 1, 0}));
  EXPECT_TRUE(HasTableSignature(slot.subspan(page), TableKind::Later));
  EXPECT_EQ(slot[page + 16], 1) << "channel 1: 0x44";
  EXPECT_TRUE(HasTableSignature(buffers->workBuffer2(), TableKind::EarlyBad));

  drivesim::DriveConfig bare = Config();
  bare.path += "-bare";
  bare.loaderHeader = false;
  Preformatted(bare);
  EXPECT_EQ(ReadBadBlockTables(kPort, buffer_), 0) << "no loader header";
  const auto second = buffers->workBuffer2();
  EXPECT_TRUE(std::all_of(second.begin(), second.end(), [](std::uint8_t b) { return b == 0; }));
  const auto third = buffers->workBuffer3();
  EXPECT_TRUE(std::all_of(third.begin(), third.end(), [](std::uint8_t b) { return b == 0; }));
}

TEST_F(BadBlockTables, CountEdgeCases) {
  {
    SCOPED_TRACE("early bad overrides the typed table; the legend");
    drivesim::DriveConfig config = Config();
    config.factoryBadBlocks = {{.channel = 1, .bank = 0, .block = 77, .type = 0}};
    config.laterBadBlocks = {{.channel = 1, .bank = 0, .block = 77, .type = 3}};
    Preformatted(config);
    Counters counters;
    BadBlockCounterRow totals{};
    std::string legend = "x";
    EXPECT_TRUE(Count(counters, totals, &legend).complete());
    EXPECT_EQ(counters[1], (BadBlockCounterRow{2, 0, 0, 0, 0})) << "the list names it twice, early both times";
    EXPECT_EQ(legend, "xErrType 1 (Ecc Over)\r\nErrType 3 (Prog Fail)\r\nErrType 4 (Erase Fail)\r\nErrType 5 (Ecc Fail)\r\n");
  }
  {
    SCOPED_TRACE("in no table: type 99");
    drivesim::DriveConfig config = Config();
    config.damagedTables = {{.page = TablePage::Later, .channel = 2}};
    Preformatted(config);
    platform::debug::CaptureSink debug;
    Counters counters;
    BadBlockCounterRow totals{};
    Count(counters, totals);
    EXPECT_TRUE(debug.contains("err bad block type=99\n"));
    EXPECT_EQ(counters[2], (BadBlockCounterRow{})) << "channel 2's grown blocks are not counted";
    EXPECT_EQ(totals, (BadBlockCounterRow{4, 1, 1, 0, 1}));
  }
  {
    SCOPED_TRACE("a channel without its early-bad list");
    drivesim::DriveConfig config = Config();
    config.damagedTables = {{.page = TablePage::EarlyBad, .channel = 1}};
    Preformatted(config);
    Counters counters;
    BadBlockCounterRow totals{};
    const BadBlockCount count = Count(counters, totals);
    EXPECT_EQ(count.channelsWithoutEarlyList, 0x02);
    EXPECT_FALSE(count.complete());
    EXPECT_EQ(counters[5], (BadBlockCounterRow{})) << "bank index 3 of channel 1 passed over";
  }
  {
    SCOPED_TRACE("a list that cannot be read counts nothing");
    drivesim::Drive& drive = Preformatted(Config());
    drive.injectFault(OnSubOp(0x00, 1));  // channel 1 of bank index 0, right after channel 0's list
    platform::debug::CaptureSink debug;
    Counters counters;
    BadBlockCounterRow totals{};
    const BadBlockCount count = Count(counters, totals);
    EXPECT_EQ(count.unreadLists, 1);
    EXPECT_FALSE(debug.contains("err bad block type")) << "channel 0's block 5 taken for channel 1's";
    EXPECT_FALSE(count.complete());
    EXPECT_EQ(counters, Expected(kFactory, kGrown, true)) << "that list had no entries";
  }
  {
    SCOPED_TRACE("too few counter rows");
    Preformatted(Config());
    Counters counters(kChannels * kBanks - 1);
    BadBlockCounterRow totals{};
    EXPECT_EQ(CountBadBlocks(kPort, buffer_, counters, totals, nullptr).rows, 0);
  }
}

TEST_F(BadBlockTables, AnEarlyListWithoutItsEndIsWalkedNoFurtherThanItsPart) {
  drivesim::Drive& drive = Preformatted(Config());
  // Channel 0's part of page 2 in every loader block: its signature, then
  // block words up to the next channel's part, no end word.
  Bytes words(16 * 512 - 16);
  for (std::size_t i = 0; i < words.size(); i += 2) words[i] = 0x21;
  for (std::uint16_t block = 0; block < 4; ++block) ASSERT_TRUE(drive.putFlashBytes(0, 0, block, 2, 16, words));
  Counters counters;
  BadBlockCounterRow totals{};
  const BadBlockCount count = Count(counters, totals);
  EXPECT_TRUE(count.malformed);
  EXPECT_EQ(count.rows, static_cast<int>(kChannels * kBanks));
}

TEST_F(BadBlockTables, DumpsGoIntoThePortsFolderUnderTheirNames) {
  FlashParams part = Part();
  part.dumpDebugFile = 1;
  PublishFlashParams(part);
  drivesim::DriveConfig config = Config();
  config.runState = drivesim::RunState::Firmware;
  Drive(config);
  ASSERT_TRUE(SaveEraseCounts(kPort, buffer_, false));
  ASSERT_TRUE(Preformat(kPort, buffer_, {.erase = false, .later = true, .repair = false, .keepEraseCount = true}, 0));
  ToFirmware();
  Counters counters;
  BadBlockCounterRow totals{};
  Count(counters, totals);
  for (const char* name : {"99_03_01.raw", "LB_0301002.raw", "SB_0103.raw"}) {
    const auto file = directory_ / "Port04" / name;
    EXPECT_EQ(std::filesystem::exists(file) ? std::filesystem::file_size(file) : 0u, 64u * 1024) << name;
  }
}

}  // namespace
}  // namespace devlib::testing
