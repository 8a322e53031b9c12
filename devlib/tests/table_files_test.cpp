// The table operations against the emulated drive, whose preformat wrote
// the defect and later tables with its own encoder: get, put and get again
// give the same tables and files and keep what else the loader blocks
// hold; a damaged file or a failing drive changes nothing it should not.

#include "devlib/table_files.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "devlib/claim_new.h"
#include "devlib/flash_geometry.h"
#include "devlib/flash_params.h"
#include "devlib/port_buffers.h"
#include "devlib/port_io.h"
#include "drivesim/config.h"
#include "ram_code_line.h"
#include "platform/paths.h"
#include "testsupport/ram_code_images.h"

namespace devlib::testing {
namespace {

using Bytes = std::vector<std::uint8_t>;
using drivesim::BadBlock;
constexpr int kPort = 2;
constexpr unsigned kChannels = 4;
constexpr std::size_t kPart = 16 * 512;
constexpr std::uint16_t kPagesPerBlock = 128;
constexpr std::uint8_t kReadPages = 0x89, kWritePages = 0x8A, kErase = 0x8B, kOperation1 = 0x01;

// Samsung parts of 16 sectors per page, 128 pages per block, 4096 blocks.
constexpr std::uint16_t kOnePlane = 0x104A;
constexpr std::uint16_t kTwoPlanes = 0x124A;

struct Shape {
  const char* name;
  std::uint16_t typeWord;
  std::uint8_t banks;
  std::uint8_t chipEnables;
  std::uint16_t dieOffset;  // token 14
  unsigned planes() const { return typeWord == kTwoPlanes ? 2 : 1; }
};

const Shape kIdentity{"two planes, banks on chip enables 0 1", kTwoPlanes, 2, 2, 0};

const std::vector<BadBlock> kFactory = {{.channel = 0, .bank = 0, .block = 5, .type = 0},
                                        {.channel = 0, .bank = 1, .block = 7, .type = 0},
                                        {.channel = 1, .bank = 3, .block = 0x123, .type = 0},
                                        {.channel = 3, .bank = 1, .block = 40, .type = 0}};
const std::vector<BadBlock> kGrown = {{.channel = 0, .bank = 1, .block = 9, .type = 4},
                                      {.channel = 1, .bank = 3, .block = 0x44, .type = 3},
                                      {.channel = 0, .bank = 3, .block = 0x55, .type = 1},
                                      {.channel = 2, .bank = 0, .block = 0x66, .type = 5},
                                      {.channel = 2, .bank = 0, .block = 0x68, .type = 3},
                                      {.channel = 2, .bank = 2, .block = 0x67, .type = 4}};

// The bad blocks a shape's bank indices can hold.
std::vector<BadBlock> Within(const std::vector<BadBlock>& blocks, const Shape& shape) {
  std::vector<BadBlock> kept;
  for (const BadBlock& b : blocks) {
    if (b.bank < shape.banks * shape.planes()) kept.push_back(b);
  }
  return kept;
}

FlashParams PartOf(const Shape& shape) {
  FlashParams p;
  p.setting.typeWord = shape.typeWord;
  p.setting.channels = kChannels;
  p.setting.banks = shape.banks;
  p.setting.chipEnables = shape.chipEnables;
  p.setting.eccMode = 2;
  DecodeFlashGeometry(p.setting, p.geometry);
  p.token14 = shape.dieOffset;
  return p;
}

std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}
void WriteFile(const std::filesystem::path& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

// Flash pages by channel, chip enable, block and page.
using PageKey = std::tuple<unsigned, unsigned, unsigned, unsigned>;
using Pages = std::map<PageKey, Bytes>;

class TableFiles : public RamCodeLineTest {
 protected:

  // A drive of the shape whose tables an earlier preformat built, with
  // remap tables, and firmware pages in its loader blocks; the port knows
  // its loader blocks.
  drivesim::Drive& Preformatted(const Shape& shape) {
    PublishFlashParams(PartOf(shape));
    drivesim::DriveConfig config = DriveFor(PortPath::OwnUsb, kPort);
    config.flashTypeWord = shape.typeWord;
    config.flashChannels = kChannels;
    config.flashBanks = shape.banks;
    config.flashChipEnables = shape.chipEnables;
    config.loaderHeader = true;
    config.optionBitsA = 0x30;  // scramble and remap
    config.tablesBuilt = true;
    config.factoryBadBlocks = Within(kFactory, shape);
    config.laterBadBlocks = Within(kGrown, shape);
    drivesim::Drive& drive = line_->addDrive(config);
    WirePort(kPort, config.path, PortPath::OwnUsb);
    for (const std::uint16_t block : config.loaderBlocks) {
      for (std::uint8_t channel = 0; channel < kChannels; ++channel) {
        for (const std::uint16_t page : firmwarePages_) {
          Bytes bytes(kPart);
          for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i * 7 + page + channel + block);
          EXPECT_TRUE(drive.putFlashBytes(channel, 0, block, page, 0, bytes));
        }
      }
    }
    EXPECT_TRUE(CheckLoaderBlocks(kPort, buffer_, 0));
    drive.wire().clear();
    return drive;
  }

  // Every page of the loader blocks that holds anything: the header, the
  // tables and the firmware pages.
  Pages LoaderPages(drivesim::Drive& drive) {
    Pages pages;
    for (const std::uint16_t block : drive.config().loaderBlocks) {
      for (unsigned channel = 0; channel < kChannels; ++channel) {
        for (std::uint16_t page = 0; page < kPagesPerBlock; ++page) {
          Bytes bytes = drive.flashPage(static_cast<std::uint8_t>(channel), 0, block, page);
          if (std::all_of(bytes.begin(), bytes.end(), [](std::uint8_t b) { return b == 0xFF; })) continue;
          pages[{channel, 0, block, page}] = std::move(bytes);
        }
      }
    }
    return pages;
  }

  int Sent(drivesim::Drive& drive, std::uint8_t subOp) {
    int count = 0;
    for (const auto& entry : drive.wire().entries(drivesim::Layer::Controller)) {
      if (entry.command.size() > 2 && entry.command[2] == subOp) ++count;
    }
    return count;
  }
  // Nothing was written, erased or re-initialised.
  void ExpectNothingChanged(drivesim::Drive& drive, const Pages& before) {
    EXPECT_EQ(Sent(drive, kWritePages), 0);
    EXPECT_EQ(Sent(drive, kErase), 0);
    EXPECT_EQ(Sent(drive, kOperation1), 0);
    EXPECT_TRUE(LoaderPages(drive) == before);
  }

  // The files besides the RAM code images (temporary files included).
  std::vector<std::string> TextFiles() {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(directory_)) {
      if (entry.path().extension() != ".bin") names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  std::span<std::uint8_t> LaterSlot(unsigned group, unsigned plane) {
    return PortBuffersOf(kPort)->workBuffer3().subspan((group * 4 + plane) * 64 * 1024, kChannels * kPart);
  }

  Bytes buffer_ = Bytes(64 * 1024);
  std::vector<std::uint16_t> firmwarePages_{8, 9, 40, 80};
};

// ---- Defect tables ----

TEST_F(TableFiles, GetDefTableWritesTheDrivesDefectTables) {
  Preformatted(kIdentity);
  ASSERT_TRUE(GetDefTable(kPort, buffer_, "defect.txt", 21));
  // Factory bad blocks: kind 1 (marked by the maker), value 0.
  EXPECT_EQ(ReadFile(directory_ / "defect.txt"),
            "V#21\r\n"
            "C#00\r\nB#00U#0005,00,1\r\nB#01U#0007,00,1\r\n"
            "C#01\r\nB#03U#0123,00,1\r\n"
            "C#02\r\n"
            "C#03\r\nB#01U#0028,00,1\r\n");
}

TEST_F(TableFiles, DefectTablesComeBackWholeAndTheOtherPagesStay) {
  for (int version : {21, 13}) {
    SCOPED_TRACE(version);
    drivesim::Drive& drive = Preformatted(kIdentity);
    const Pages before = LoaderPages(drive);
    ASSERT_TRUE(GetDefTable(kPort, buffer_, "first.txt", version));
    ASSERT_TRUE(PutDefTable(kPort, buffer_, "first.txt", version));
    EXPECT_TRUE(drive.reprogrammedPages().empty());
    ASSERT_TRUE(GetDefTable(kPort, buffer_, "second.txt", version));
    EXPECT_EQ(ReadFile(directory_ / "second.txt"), ReadFile(directory_ / "first.txt"));

    // Pages 1..4 and the firmware pages as they were; page 0 is the new
    // header, which still names the firmware files.
    const Pages after = LoaderPages(drive);
    for (const auto& [key, bytes] : before) {
      const auto [channel, ce, block, page] = key;
      SCOPED_TRACE(::testing::Message() << "channel " << channel << " block " << block << " page " << page);
      ASSERT_TRUE(after.contains(key));
      if (page == 0) {
        const Bytes& header = after.at(key);
        EXPECT_TRUE(std::equal(bytes.begin() + 560, bytes.begin() + 600, header.begin() + 560));
        EXPECT_EQ(header[528] | header[529] << 8, 120);
        EXPECT_EQ(std::string(header.begin(), header.begin() + 15), "LDBK BLOCKS V30");
        continue;
      }
      EXPECT_TRUE(after.at(key) == bytes);
    }
    EXPECT_EQ(after.size(), before.size());
    // The RAM code finds its defect tables again.
    EXPECT_TRUE(RunInitOperation(kPort, buffer_, 0, 0));
    line_ = std::make_shared<drivesim::Line>();
    platform::storage::installBackend(line_);
  }
}

TEST_F(TableFiles, AnEditedDefectTableReachesEveryLoaderBlock) {
  drivesim::Drive& drive = Preformatted(kIdentity);
  WriteFile(directory_ / "edited.txt",
            "V#21\r\nC#00\r\nB#04U#0ABC,:?,3\r\nC#01\r\nC#02\r\nB#00U#0001,12,2U#0002,00,1\r\nC#03\r\n");
  ASSERT_TRUE(PutDefTable(kPort, buffer_, "edited.txt", 21));
  for (const std::uint16_t block : drive.config().loaderBlocks) {
    const Bytes part0 = drive.flashPage(0, 0, block, 1);
    const Bytes expected0 = {0xE9, 0x86, 0xAA, 0x55, 'K', 'W', 'F', 'A', '3', 'X', '-', 'V', '0', '0', '1', 0,
                             0xFB, 0xA0, 4, 0, 0xBC, 0x0A, 0xAF, 3, 0xFE, 0xD1, 0, 0};
    EXPECT_TRUE(std::equal(expected0.begin(), expected0.end(), part0.begin())) << block;
    const Bytes part2 = drive.flashPage(2, 0, block, 1);
    const Bytes expected2 = {0xFB, 0xA0, 0, 0, 0x01, 0x00, 0x12, 2, 0x02, 0x00, 0x00, 1, 0xFE, 0xD1, 0, 0};
    EXPECT_TRUE(std::equal(expected2.begin(), expected2.end(), part2.begin() + 16)) << block;
    const Bytes part3 = drive.flashPage(3, 0, block, 1);
    EXPECT_EQ(part3[16], 0xFE);
    EXPECT_EQ(part3[17], 0xD1);
  }
}

TEST_F(TableFiles, DamagedDefectFilesChangeNothing) {
  const std::string good = "V#21\r\nC#00\r\nB#00U#0005,00,1\r\nC#01\r\nC#02\r\nC#03\r\n";
  std::string oversized = "V#21\r\nC#00\r\nB#00";
  for (int i = 0; i < 2100; ++i) oversized += "U#0005,00,1";
  oversized += "\r\nC#01\r\nC#02\r\nC#03\r\n";
  const std::vector<std::pair<const char*, std::string>> cases = {
      {"truncated", good.substr(0, good.size() - 9)},
      {"truncated inside an entry", good.substr(0, 20)},
      {"wrong header", "VERSION 21\r\n" + good.substr(6)},
      {"oversized", oversized},
      {"non-numeric block", "V#21\r\nC#00\r\nB#00U#00X5,00,1\r\nC#01\r\nC#02\r\nC#03\r\n"},
      {"non-numeric kind", "V#21\r\nC#00\r\nB#00U#0005,00,k\r\nC#01\r\nC#02\r\nC#03\r\n"},
      {"value out of range", "V#21\r\nC#00\r\nB#00U#0005,0Z,1\r\nC#01\r\nC#02\r\nC#03\r\n"},
      {"bank out of range", "V#21\r\nC#00\r\nB#09U#0005,00,1\r\nC#01\r\nC#02\r\nC#03\r\n"},
      {"channel beyond the drive", good + "C#04\r\n"},
  };
  drivesim::Drive& drive = Preformatted(kIdentity);
  const Pages before = LoaderPages(drive);
  for (const auto& [name, text] : cases) {
    SCOPED_TRACE(name);
    WriteFile(directory_ / "damaged.txt", text);
    EXPECT_FALSE(PutDefTable(kPort, buffer_, "damaged.txt", 21));
    ExpectNothingChanged(drive, before);
  }
  EXPECT_FALSE(PutDefTable(kPort, buffer_, "missing.txt", 21));
  ExpectNothingChanged(drive, before);
  // The good file is taken.
  WriteFile(directory_ / "damaged.txt", good);
  EXPECT_TRUE(PutDefTable(kPort, buffer_, "damaged.txt", 21));
}

TEST_F(TableFiles, AFailedGetKeepsTheUsersFile) {
  drivesim::Drive& drive = Preformatted(kIdentity);
  WriteFile(directory_ / "kept.txt", "the operator's file\r\n");
  drivesim::FaultRule rule;
  rule.kind = drivesim::FaultKind::TransportFailure;
  rule.match.subOp = kReadPages;
  rule.match.page = 1;
  drive.injectFault(rule);
  EXPECT_FALSE(GetDefTable(kPort, buffer_, "kept.txt", 21));
  EXPECT_EQ(ReadFile(directory_ / "kept.txt"), "the operator's file\r\n");

  // The later tables: a failed read of a table page, or no system page.
  rule.match.page = 2;
  drive.clearFaults();
  drive.injectFault(rule);
  EXPECT_EQ(GetLaterTable(kPort, buffer_, "kept.txt", 21), 0);
  EXPECT_EQ(ReadFile(directory_ / "kept.txt"), "the operator's file\r\n");
  drive.clearFaults();
  const Bytes noSignature(16, 0xFF);
  std::vector<Bytes> systemPages;
  for (const std::uint16_t block : drive.config().loaderBlocks) {
    systemPages.push_back(drive.flashPage(0, 0, block, 4));
    EXPECT_TRUE(drive.putFlashBytes(0, 0, block, 4, 0, noSignature));
  }
  EXPECT_EQ(GetLaterTable(kPort, buffer_, "kept.txt", 21), 0);
  EXPECT_EQ(ReadFile(directory_ / "kept.txt"), "the operator's file\r\n");
  EXPECT_EQ(TextFiles(), std::vector<std::string>{"kept.txt"});

  // A file that cannot be created fails the get.
  EXPECT_FALSE(GetDefTable(kPort, buffer_, "no-such-folder/defect.txt", 21));
  for (std::size_t b = 0; b < systemPages.size(); ++b) {
    EXPECT_TRUE(drive.putFlashBytes(0, 0, drive.config().loaderBlocks[b], 4, 0, systemPages[b]));
  }
  EXPECT_EQ(GetLaterTable(kPort, buffer_, "", 21), 1);
  EXPECT_EQ(GetLaterTable(kPort, buffer_, "no-such-folder/later.txt", 21), 0);
}

TEST_F(TableFiles, AFailedPutWriteIsReported) {
  drivesim::Drive& drive = Preformatted(kIdentity);
  ASSERT_TRUE(GetDefTable(kPort, buffer_, "defect.txt", 21));
  drivesim::FaultRule rule;
  rule.kind = drivesim::FaultKind::TransportFailure;
  rule.match.subOp = kWritePages;
  rule.match.page = 1;
  drive.injectFault(rule);
  EXPECT_FALSE(PutDefTable(kPort, buffer_, "defect.txt", 21));
}

TEST_F(TableFiles, AnOperationOneThatFailsAfterItsErasePutsThePagesBack) {
  drivesim::Drive& drive = Preformatted(kIdentity);
  const Pages before = LoaderPages(drive);
  ASSERT_TRUE(GetDefTable(kPort, buffer_, "defect.txt", 21));
  drive.wire().clear();
  drivesim::FaultRule rule;  // the status polls of operation 1
  rule.kind = drivesim::FaultKind::TransportFailure;
  rule.match.subOp = 0x00;
  rule.times = -1;
  drive.injectFault(rule);
  EXPECT_FALSE(PutDefTable(kPort, buffer_, "defect.txt", 21));
  EXPECT_EQ(Sent(drive, kOperation1), 1) << "the operation started, and erased the loader blocks";
  EXPECT_TRUE(LoaderPages(drive) == before);
}

// ---- Later tables ----

TEST_F(TableFiles, GetLaterTableWritesTheNewestTables) {
  Preformatted(kIdentity);
  ASSERT_EQ(GetLaterTable(kPort, buffer_, "later.txt", 20), 1);
  // Units 0x10 (bank index 0) and 0x11 (the others); grown blocks by bank
  // index: 0 -> group 0 plane 0; 2 -> group 0, the other unit; 1 and 3 ->
  // group 1, which both planes of it read.
  EXPECT_EQ(ReadFile(directory_ / "later.txt"),
            "V#20\r\n"
            "B#00\r\nD#00\r\nS#0010\r\n"
            "C#00T#0000,\r\nC#01T#0000,\r\nC#02T#0002,U#0066,5U#0068,3\r\nC#03T#0000,\r\n"
            "B#00\r\nD#01\r\nS#0011\r\n"
            "C#00T#0000,\r\nC#01T#0000,\r\nC#02T#0001,U#0067,4\r\nC#03T#0000,\r\n"
            "\r\n"
            "B#01\r\nD#00\r\nS#0011\r\n"
            "C#00T#0002,U#0009,4U#0055,1\r\nC#01T#0001,U#0044,3\r\nC#02T#0000,\r\nC#03T#0000,\r\n"
            "B#01\r\nD#01\r\nS#0011\r\n"
            "C#00T#0002,U#0009,4U#0055,1\r\nC#01T#0001,U#0044,3\r\nC#02T#0000,\r\nC#03T#0000,\r\n"
            "\r\n");
  // The newest part of each channel in slot group x 4 + plane.
  const auto slot = LaterSlot(1, 0);
  EXPECT_EQ(slot[0], 0xE8);
  EXPECT_EQ(slot[16], 2);
  EXPECT_EQ(slot[32] | slot[33] << 8, 0x09);
  EXPECT_EQ(slot[36] | slot[37] << 8, 0x55);
}

TEST_F(TableFiles, ACountPastItsPartIsCutToThePart) {
  drivesim::Drive& drive = Preformatted(kIdentity);
  // Channel 0's newest table of group 0 plane 0 claims 0xFFFF entries.
  Bytes part(kPart, 0);
  const std::uint8_t signature[16] = {0xE8, 0xDC, 0x55, 0xAA, 'K', 'W', 'F', 'A', '3', 'X', '-', 'V', '0', '0', '1', 0};
  std::copy(std::begin(signature), std::end(signature), part.begin());
  part[16] = 0xFF;
  part[17] = 0xFF;
  ASSERT_TRUE(drive.putFlashBytes(0, 0, 0x20, 3, 0, part));
  ASSERT_EQ(GetLaterTable(kPort, buffer_, "later.txt", 21), 1);
  std::string entries;
  for (std::size_t i = 0; i < (kPart - 32) / 4; ++i) entries += "U#0000,0";
  EXPECT_NE(ReadFile(directory_ / "later.txt").find("S#0010\r\nC#00T#07F8," + entries + "\r\nC#01T#0000,\r\n"),
            std::string::npos);
}

TEST_F(TableFiles, GetLaterTableWithoutAFileFillsTheSlots) {
  Preformatted(kIdentity);
  ASSERT_EQ(GetLaterTable(kPort, buffer_, "", 21), 1);
  EXPECT_EQ(LaterSlot(0, 0)[2 * kPart + 16], 2);
  EXPECT_TRUE(TextFiles().empty());
}

// What a slot's parts say (the bytes they leave unused aside): per channel
// whether it carries the table, and its entries' blocks and types.
struct ChannelTable {
  bool present = false;
  std::vector<std::pair<unsigned, unsigned>> entries;
  friend bool operator==(const ChannelTable&, const ChannelTable&) = default;
};
std::vector<ChannelTable> TablesOf(std::span<const std::uint8_t> slot) {
  const std::uint8_t signature[16] = {0xE8, 0xDC, 0x55, 0xAA, 'K', 'W', 'F', 'A', '3', 'X', '-', 'V', '0', '0', '1', 0};
  std::vector<ChannelTable> tables(kChannels);
  for (unsigned c = 0; c < kChannels; ++c) {
    const auto part = slot.subspan(c * kPart, kPart);
    if (!std::equal(std::begin(signature), std::end(signature), part.begin())) continue;
    tables[c].present = true;
    const unsigned count = part[16] | part[17] << 8;
    for (unsigned e = 0; e < count; ++e) tables[c].entries.emplace_back(part[32 + 4 * e] | part[33 + 4 * e] << 8, part[34 + 4 * e]);
  }
  return tables;
}

const std::vector<Shape> kShapes = {
    {"one plane, banks on chip enables 0 1", kOnePlane, 2, 2, 0},
    kIdentity,
    {"two planes, die offset 0x40", kTwoPlanes, 2, 2, 0x40},
    {"one plane, die offset 0x40", kOnePlane, 2, 2, 0x40},
    {"two planes, banks on chip enables 0 4", kTwoPlanes, 2, 1, 0},
    {"two planes, die offset 0x40, banks on chip enables 0 4", kTwoPlanes, 2, 1, 0x40},
    {"two planes, four banks on chip enables 0 1 4 5", kTwoPlanes, 4, 2, 0},
};

TEST_F(TableFiles, LaterTablesComeBackWholeAndTheLoaderBlocksStay) {
  for (const Shape& shape : kShapes) {
    SCOPED_TRACE(shape.name);
    line_ = std::make_shared<drivesim::Line>();
    platform::storage::installBackend(line_);
    drivesim::Drive& drive = Preformatted(shape);
    const Pages before = LoaderPages(drive);
    ASSERT_EQ(GetLaterTable(kPort, buffer_, "first.txt", 21), 1);
    std::vector<std::vector<ChannelTable>> slots;
    for (unsigned i = 0; i < shape.banks; ++i) {
      for (unsigned j = 0; j < shape.planes(); ++j) slots.push_back(TablesOf(LaterSlot(i, j)));
    }
    ASSERT_TRUE(PutLaterTable(kPort, buffer_, "first.txt"));
    EXPECT_TRUE(drive.reprogrammedPages().empty());
    ASSERT_EQ(GetLaterTable(kPort, buffer_, "second.txt", 21), 1);
    EXPECT_EQ(ReadFile(directory_ / "second.txt"), ReadFile(directory_ / "first.txt"));
    std::size_t s = 0;
    for (unsigned i = 0; i < shape.banks; ++i) {
      for (unsigned j = 0; j < shape.planes(); ++j, ++s) {
        EXPECT_EQ(TablesOf(LaterSlot(i, j)), slots[s]) << i << "/" << j;
      }
    }

    // Every programmed page of the loader blocks is back; the system page
    // differs at most in the unit words past the first two.
    const std::size_t sections = std::size_t{shape.banks} * shape.planes();
    const Pages after = LoaderPages(drive);
    EXPECT_EQ(after.size(), before.size());
    for (const auto& [key, bytes] : before) {
      const auto [channel, ce, block, page] = key;
      SCOPED_TRACE(::testing::Message() << "channel " << channel << " block " << block << " page " << page);
      ASSERT_TRUE(after.contains(key));
      Bytes expected = bytes;
      if (page == 4) {
        for (std::size_t w = 2; w < sections; ++w) {
          expected[16 + 4 * w] = after.at(key)[16 + 4 * w];
          expected[17 + 4 * w] = after.at(key)[17 + 4 * w];
        }
      }
      EXPECT_TRUE(after.at(key) == expected);
    }
  }
}

TEST_F(TableFiles, PutLaterTableWritesTheFilesTablesWhereGetReadsThem) {
  drivesim::Drive& drive = Preformatted(kIdentity);
  // Units 0x30, 0x31; entries with the unused byte left erased.
  WriteFile(directory_ / "later.txt",
            "V#21\r\n"
            "B#00\r\nD#00\r\nS#0030\r\nC#00T#0001,U#0123,5\r\nC#01\r\nC#02\r\nC#03T#0000,\r\n"
            "B#00\r\nD#01\r\nS#0031\r\nC#00\r\nC#01\r\nC#02\r\nC#03\r\n\r\n"
            "B#01\r\nD#00\r\nS#0031\r\nC#00\r\nC#01T#0002,U#0456,3U#0457,4\r\nC#02\r\nC#03\r\n"
            "B#01\r\nD#01\r\nS#0031\r\nC#00\r\nC#01T#0002,U#0456,3U#0457,4\r\nC#02\r\nC#03\r\n\r\n");
  ASSERT_TRUE(PutLaterTable(kPort, buffer_, "later.txt"));
  const Bytes system = drive.flashPage(0, 0, 0, 4);
  EXPECT_EQ(system[16] | system[17] << 8, 0x30);
  EXPECT_EQ(system[20] | system[21] << 8, 0x31);
  const Bytes group0 = drive.flashPage(0, 0, 0x60, 1);
  const Bytes expected0 = {0xE8, 0xDC, 0x55, 0xAA, 'K', 'W', 'F', 'A', '3', 'X', '-', 'V', '0', '0', '1', 0,
                           1,    0,    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                           0x23, 0x01, 5,    0xFF, 0xFF};
  EXPECT_TRUE(std::equal(expected0.begin(), expected0.end(), group0.begin()));
  EXPECT_EQ(drive.flashPage(1, 0, 0x60, 1)[0], 0xFF);
  const Bytes group1 = drive.flashPage(1, 1, 0x62, 1);
  EXPECT_EQ(group1[16], 2);
  EXPECT_EQ(group1[32] | group1[33] << 8, 0x456);
  EXPECT_EQ(group1[36] | group1[37] << 8, 0x457);
  EXPECT_EQ(group1[38], 4);
  ASSERT_EQ(GetLaterTable(kPort, buffer_, "back.txt", 21), 1);
  EXPECT_EQ(ReadFile(directory_ / "back.txt"), ReadFile(directory_ / "later.txt"));

  // The same file with LF line ends puts the same tables.
  std::string lf = ReadFile(directory_ / "later.txt");
  std::erase(lf, '\r');
  WriteFile(directory_ / "later-lf.txt", lf);
  ASSERT_TRUE(PutLaterTable(kPort, buffer_, "later-lf.txt"));
  ASSERT_EQ(GetLaterTable(kPort, buffer_, "back-lf.txt", 21), 1);
  EXPECT_EQ(ReadFile(directory_ / "back-lf.txt"), ReadFile(directory_ / "later.txt"));
}

TEST_F(TableFiles, DamagedLaterFilesChangeNothing) {
  drivesim::Drive& drive = Preformatted(kIdentity);
  ASSERT_EQ(GetLaterTable(kPort, buffer_, "good.txt", 21), 1);
  const std::string good = ReadFile(directory_ / "good.txt");
  auto replaced = [&](const std::string& from, const std::string& to) {
    std::string text = good;
    const std::size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return text.replace(at, from.size(), to);
  };
  std::string tooMany = "T#07F9,";
  for (int i = 0; i < 0x7F9; ++i) tooMany += "U#0001,1";
  const std::vector<std::pair<const char*, std::string>> cases = {
      {"truncated", good.substr(0, good.size() / 2)},
      {"truncated at a line end", good.substr(0, good.find("B#01"))},
      {"wrong header", "LATER\r\n" + good.substr(6)},
      {"non-numeric unit", replaced("S#0011", "S#00G1")},
      {"non-numeric count", replaced("T#0002,", "T#00x2,")},
      {"non-numeric type", replaced("U#0066,5", "U#0066,x")},
      {"count larger than its entries", replaced("T#0002,", "T#0003,")},
      {"count smaller than its entries", replaced("T#0002,", "T#0001,")},
      {"oversized", replaced("C#03T#0000,", "C#03" + tooMany)},
      {"bank group beyond the drive", good + "B#02\r\nD#00\r\nS#0011\r\nC#00\r\nC#01\r\nC#02\r\nC#03\r\n\r\n"},
      {"plane beyond the part", replaced("D#01", "D#02")},
      {"channel beyond the drive", replaced("C#03T#0000,\r\nB#00", "C#03T#0000,\r\nC#04\r\nB#00")},
      {"a channel missing", replaced("C#01T#0000,\r\nC#02T#0002", "C#02T#0002")},
      {"a table on a loader block", replaced("S#0010", "S#0001")},
      {"a block beyond the flash", replaced("S#0010", "S#F000")},
      {"one block, two tables", replaced("C#00T#0002,U#0009,4U#0055,1\r\nC#01T#0001,U#0044,3\r\nC#02T#0000,\r\nC#03T#0000,\r\n\r\n",
                                          "C#00T#0000,\r\nC#01T#0001,U#0044,3\r\nC#02T#0000,\r\nC#03T#0000,\r\n\r\n")},
  };
  const Pages before = LoaderPages(drive);
  const Bytes laterBefore = drive.flashPage(2, 0, 0x20, 1);
  for (const auto& [name, text] : cases) {
    SCOPED_TRACE(name);
    WriteFile(directory_ / "damaged.txt", text);
    EXPECT_FALSE(PutLaterTable(kPort, buffer_, "damaged.txt"));
    ExpectNothingChanged(drive, before);
    EXPECT_TRUE(drive.flashPage(2, 0, 0x20, 1) == laterBefore);
  }
  EXPECT_FALSE(PutLaterTable(kPort, buffer_, "missing.txt"));
  EXPECT_FALSE(PutLaterTable(kPort, buffer_, ""));
  ExpectNothingChanged(drive, before);
}

TEST_F(TableFiles, AFailedEraseIsReported) {
  drivesim::Drive& drive = Preformatted(kIdentity);
  ASSERT_EQ(GetLaterTable(kPort, buffer_, "later.txt", 21), 1);
  drivesim::FaultRule rule;
  rule.kind = drivesim::FaultKind::TransportFailure;
  rule.match.subOp = kErase;
  rule.skip = 4;  // the loader blocks erase, the first table block does not
  drive.injectFault(rule);
  EXPECT_FALSE(PutLaterTable(kPort, buffer_, "later.txt"));
}

TEST_F(TableFiles, DumpsAreWrittenWhenAskedFor) {
  Preformatted(kIdentity);
  FlashParams params = PartOf(kIdentity);
  params.dumpDebugFile = 1;
  PublishFlashParams(params);
  ASSERT_TRUE(GetDefTable(kPort, buffer_, "defect.txt", 21));
  ASSERT_TRUE(PutDefTable(kPort, buffer_, "defect.txt", 21));
  ASSERT_EQ(GetLaterTable(kPort, buffer_, "later.txt", 21), 1);
  ASSERT_TRUE(PutLaterTable(kPort, buffer_, "later.txt"));
  const std::filesystem::path folder = directory_ / "Port03";
  // The last page read is the first without the table: group 0 plane 0's
  // block holds two pages, group 1's three.
  for (const char* name : {"02_DTG.raw", "05_DTP.raw", "03_0000003.raw", "03_0101004.raw", "06_LTP.raw", "07_LTP.raw"}) {
    EXPECT_TRUE(std::filesystem::exists(folder / name)) << name;
  }
  EXPECT_EQ(std::filesystem::file_size(folder / "05_DTP.raw"), kChannels * kPart);
}

TEST_F(TableFiles, OperationsNeedTheLoaderBlocksAndABuffer) {
  Preformatted(kIdentity);
  Bytes small(0x8000);
  EXPECT_FALSE(GetDefTable(kPort, small, "x.txt", 21));
  EXPECT_EQ(GetLaterTable(kPort, small, "x.txt", 21), 0);
  PortIo(kPort)->loaderBlockCount = 0;
  EXPECT_FALSE(GetDefTable(kPort, buffer_, "x.txt", 21));
  EXPECT_EQ(GetLaterTable(kPort, buffer_, "x.txt", 21), 0);
  EXPECT_TRUE(TextFiles().empty());
  EXPECT_FALSE(GetDefTable(99, buffer_, "x.txt", 21));
}

}  // namespace
}  // namespace devlib::testing
