// Scenario files: the keys of the controller's knobs and faults, and the
// errors that name the line of a bad one.

#include <gtest/gtest.h>

#include <string>

#include "drivesim/scenario.h"
#include "platform/storage.h"

namespace drivesim {
namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr const char* kHead = "[drive]\npath = /dev/sdc\nfrontend = sata\n";

TEST(ScenarioKeys, EveryControllerKnobReachesTheDrive) {
  const std::string text = std::string(kHead) +
                           "loadermodel = Tolvane KWFA4X SATA SSD Loader Device\n"
                           "identify60 = 0x0FFFFFFF\n"
                           "identify100 = 0\n"
                           "datecode = 110222\n"
                           "unresponsive = 600\n"
                           "sequence = 0x0102\n"
                           "busypolls = 4\n"
                           "op1 = polls 0\n"
                           "op3 = polls 3 status 20\n"
                           "op4 = ms 2500\n"
                           "dram = stuck\n"
                           "registerfault = 0x20005 reads 0x55\n"
                           "registerfault = 0x20007 fails\n"
                           "testmemoryflip = write 8 offset 100 mask 0x10\n"
                           "flashtype = 0x1081\n"
                           "channels = 2\n"
                           "banks = 4\n"
                           "ces = 2\n"
                           "flashidat = 1 4 ECD7147644\n"
                           "lbareaderror = 1234\n"
                           "lbareaderror = 0x10\n"
                           "lbacorrupt = 99 word 3 mask 0x8000\n"
                           "lbacorrupt = 100\n";
  const ScenarioLoad load = parseScenario(text);
  ASSERT_TRUE(load.line) << load.error;
  Drive* drive = load.line->drive("/dev/sdc");
  ASSERT_NE(drive, nullptr);
  const DriveConfig& c = drive->config();
  EXPECT_EQ(c.loaderModel, "Tolvane KWFA4X SATA SSD Loader Device");
  EXPECT_EQ(c.identifyLba28Sectors, 0x0fffffffu);
  EXPECT_EQ(c.identifyLba48Sectors, 0u);
  EXPECT_EQ(c.firmwareDateCode, "110222");
  EXPECT_EQ(c.unresponsiveMs, 600u);
  EXPECT_EQ(c.headerSequence, 0x0102);
  EXPECT_EQ(c.busyPolls, 4);
  ASSERT_EQ(c.jobs.size(), 4u);
  EXPECT_EQ(c.jobs.at(Job::Operation1).busyPolls, 0);
  EXPECT_EQ(c.jobs.at(Job::Operation3).busyPolls, 3);
  EXPECT_EQ(c.jobs.at(Job::Operation3).finalStatus, 20);
  EXPECT_EQ(c.jobs.at(Job::Operation4).busyMs, 2500u);
  EXPECT_FALSE(c.jobs.at(Job::Operation4).stuckBusy);
  EXPECT_TRUE(c.jobs.at(Job::DramCheck).stuckBusy);
  ASSERT_EQ(c.registerFaults.size(), 2u);
  EXPECT_EQ(c.registerFaults[0].address, 0x20005u);
  EXPECT_EQ(c.registerFaults[0].readsAs, 0x55);
  EXPECT_FALSE(c.registerFaults[1].readsAs.has_value());
  ASSERT_TRUE(c.testMemoryFlip.has_value());
  EXPECT_EQ(c.testMemoryFlip->write, 8);
  EXPECT_EQ(c.testMemoryFlip->offset, 100u);
  EXPECT_EQ(c.testMemoryFlip->mask, 0x10);
  EXPECT_EQ(c.flashTypeWord, 0x1081);
  EXPECT_EQ(c.flashChannels, 2);
  EXPECT_EQ(c.flashBanks, 4);
  EXPECT_EQ(c.flashChipEnables, 2);
  ASSERT_EQ(c.flashIdsAt.size(), 1u);
  EXPECT_EQ(c.flashIdsAt[0].channel, 1);
  EXPECT_EQ(c.flashIdsAt[0].chipEnable, 4);
  EXPECT_EQ(c.flashIdsAt[0].id, (std::array<std::uint8_t, 5>{0xec, 0xd7, 0x14, 0x76, 0x44}));
  EXPECT_EQ(c.lbaReadErrors, (std::vector<std::uint64_t>{1234, 16}));
  ASSERT_EQ(c.corruptedSectors.size(), 2u);
  EXPECT_EQ(c.corruptedSectors[0].lba, 99u);
  EXPECT_EQ(c.corruptedSectors[0].word, 3);
  EXPECT_EQ(c.corruptedSectors[0].mask, 0x8000);
  EXPECT_EQ(c.corruptedSectors[1].word, 0);
  EXPECT_EQ(c.corruptedSectors[1].mask, 1);
}

TEST(ScenarioKeys, DriveStateKnobsReachTheDrive) {
  const ScenarioLoad load = parseScenario(
      "[drive]\npath = /dev/sdd\nfrontend = own-usb\n"
      "loaderinquiry = Tolvane Flash CR Loader\n"
      "smarttemperature = no\n"
      "reenumeration = 3\n"
      "stuckinloader = yes\n"
      "lbawriteerror = 77\n"
      "lbawriteerror = 0x100\n");
  ASSERT_TRUE(load.line) << load.error;
  const DriveConfig& c = load.line->drive("/dev/sdd")->config();
  EXPECT_EQ(c.usbLoaderInquiry, "Tolvane Flash CR Loader");
  EXPECT_FALSE(c.smartTemperatureAttribute);
  EXPECT_EQ(c.reenumerationAttempts, 3);
  EXPECT_TRUE(c.stuckInLoader);
  EXPECT_EQ(c.lbaWriteErrors, (std::vector<std::uint64_t>{77, 256}));
}

TEST(ScenarioKeys, FlashPagesPreloadTheLoaderHeaderOnEveryChannel) {
  const std::string text = std::string(kHead) +
                           "flashtype = 0x0201\n"
                           "channels = 3\n"
                           "flashpage = all 0 2 0 0 \"LDBK BLOCKS V30\"\n"
                           "flashpage = all 0 2 0 15 00\n"
                           "flashpage = 1 0 2 0 560 0300010002\n";
  const ScenarioLoad load = parseScenario(text);
  ASSERT_TRUE(load.line) << load.error;
  Drive& drive = *load.line->drive("/dev/sdc");
  for (std::uint8_t channel = 0; channel < 3; ++channel) {
    const Bytes page = drive.flashPage(channel, 0, 2, 0);
    ASSERT_EQ(page.size(), 4096u);
    EXPECT_EQ(std::string(page.begin(), page.begin() + 16), std::string("LDBK BLOCKS V30\0", 16));
    EXPECT_EQ(page[16], 0xff);
    EXPECT_EQ(page[560], channel == 1 ? 3 : 0xff) << "channel " << int{channel};
  }
  EXPECT_EQ(drive.flashPage(1, 0, 2, 0)[564], 2);
}

// INQUIRY into a buffer that still holds an earlier answer.
platform::storage::ScsiOutcome Inquiry(Line& line, Bytes& buffer) {
  const auto opened = line.open("/dev/sdc", platform::storage::Sharing::Shared);
  if (!opened.device) return {};
  const Bytes cdb{0x12, 0, 0, 0, static_cast<std::uint8_t>(buffer.size()), 0};
  platform::storage::ScsiCommand command;
  command.cdb = cdb;
  command.direction = platform::storage::Direction::In;
  command.data = buffer;
  command.timeoutSeconds = 10;
  return opened.device->scsi(command);
}

TEST(ScenarioKeys, AShortReplyAnswersGoodWithOnlyItsBytesMoved) {
  const ScenarioLoad load = parseScenario(std::string(kHead) + "shortreply = scsi 0x12 20\n");
  ASSERT_TRUE(load.line) << load.error;
  for (int time = 0; time < 2; ++time) {
    Bytes buffer(40, 0x5A);
    const platform::storage::ScsiOutcome outcome = Inquiry(*load.line, buffer);
    ASSERT_TRUE(outcome.transportOk);
    EXPECT_EQ(outcome.scsiStatus, 0) << "GOOD";
    EXPECT_EQ(outcome.transferred, 20u) << "every matching command, not just the first";
    EXPECT_EQ(std::string(buffer.begin() + 8, buffer.begin() + 11), "ATA");
    EXPECT_EQ(Bytes(buffer.begin() + 20, buffer.end()), Bytes(20, 0x5A)) << "what never arrived is left as it was";
  }
}

struct BadCase {
  const char* name;
  const char* lines;
  const char* inError;  // a part of the message
  const char* line = "line 4";
};

class ScenarioErrors : public ::testing::TestWithParam<BadCase> {};

TEST_P(ScenarioErrors, NameTheLineAndWhatWasExpected) {
  const ScenarioLoad load = parseScenario(std::string(kHead) + GetParam().lines);
  EXPECT_FALSE(load.line);
  EXPECT_NE(load.error.find(GetParam().line), std::string::npos) << load.error;
  EXPECT_NE(load.error.find(GetParam().inError), std::string::npos) << load.error;
}

INSTANTIATE_TEST_SUITE_P(
    Values, ScenarioErrors,
    ::testing::Values(BadCase{"undefinedTypeWord", "flashtype = 0x0007\n", "type word"},
                      BadCase{"nineChannels", "channels = 9\n", "from 1 to 8"},
                      BadCase{"noChipEnables", "ces = 0\n", "from 1 to 4"},
                      BadCase{"jobWithoutNumber", "op3 = polls\n", "polls N"},
                      BadCase{"jobUnknownWord", "op1 = slow 3\n", "polls N"},
                      BadCase{"statusTooLarge", "op4 = status 256\n", "status from 0 to 255"},
                      BadCase{"registerWithoutVerb", "registerfault = 0x20005\n", "'fails'"},
                      BadCase{"flipWithoutWrite", "testmemoryflip = offset 3\n", "write N"},
                      BadCase{"flipWriteZero", "testmemoryflip = write 0\n", "write N"},
                      BadCase{"corruptWordBeyondSector", "lbacorrupt = 5 word 256\n", "word N"},
                      BadCase{"shortFlashId", "flashidat = 0 0 98D7\n", "ten hex digits"},
                      BadCase{"dateCodeLength", "datecode = 1108\n", "six characters"},
                      BadCase{"flashPageOddHex", "flashpage = 0 0 0 0 0 ABC\n", "hex digits"},
                      BadCase{"flashPageAbsentChannel", "flashpage = 6 0 0 0 0 AB\n", "no chip at channel 6"},
                      BadCase{"flashPageBeyondPage", "flashpage = 0 0 0 0 8191 ABCD\n", "beyond the flash page"},
                      BadCase{"flashPageOpenQuote", "flashpage = 0 0 0 0 0 \"LDBK\n", "quoted text"},
                      BadCase{"loaderInquiryOffOwnUsb", "loaderinquiry = Tolvane Flash CR Loader\n", "own-usb only"},
                      BadCase{"reenumerationNegative", "reenumeration = -1\n", "from 0 to 1000"},
                      BadCase{"smartTemperatureNotYesNo", "smarttemperature = off\n", "yes or no"},
                      BadCase{"shortReplyUnknownKind", "shortreply = disk 0x12 20\n", "scsi, ata or subop"},
                      BadCase{"shortReplyWithoutBytes", "shortreply = subop 0x86\n", "the bytes that arrive"},
                      BadCase{"shortReplyCodeOverAByte", "shortreply = scsi 0x128 20\n", "a code byte"},
                      BadCase{"twiceNotRepeatable", "op1 = stuck\nop1 = stuck\n", "given twice", "line 5"}),
    [](const auto& p) { return std::string(p.param.name); });

}  // namespace
}  // namespace drivesim
