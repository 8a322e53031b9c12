// The configuration read: the decoders on pages built here byte by byte, and
// LoadDeviceConfig against emulated drives on the three paths.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "devlib/controller_access.h"
#include "devlib/device_config.h"
#include "devlib/flash_geometry.h"
#include "devlib/vendor_protocol.h"
#include "drivesim/scenario.h"
#include "emulated_port.h"

namespace devlib::testing {
namespace {

using Bytes = std::vector<std::uint8_t>;

template <typename Case>
  requires requires(const Case& c) { std::string(c.name); }
void PrintTo(const Case& c, std::ostream* out) {
  *out << c.name;
}

constexpr std::size_t kParam = 0xA00;
constexpr std::size_t kGeom = 0xA30;

void Put16(Bytes& page, std::size_t at, std::uint16_t value) {
  page[at] = static_cast<std::uint8_t>(value);
  page[at + 1] = static_cast<std::uint8_t>(value >> 8);
}
void PutText(Bytes& page, std::size_t at, std::string_view text) {
  std::copy(text.begin(), text.end(), page.begin() + static_cast<std::ptrdiff_t>(at));
}
std::uint16_t Get16(const Bytes& page, std::size_t at) {
  return static_cast<std::uint16_t>(page[at] | page[at + 1] << 8);
}

// A configuration page whose every decoded byte is distinct.
Bytes ConfigFixture() {
  Bytes page(kConfigPageBytes, 0);
  Put16(page, kParam + 0, 0x1089);
  page[kParam + 2] = 0x20;
  page[kParam + 3] = 8;
  page[kParam + 4] = 4;
  page[kParam + 5] = 1;
  page[kParam + 6] = 3;
  page[kParam + 7] = 0x1D;
  page[kParam + 8] = 0x2C;
  page[kParam + 9] = 0x30;
  page[kParam + 11] = 2;
  for (std::size_t i = 0; i < 4; ++i) Put16(page, kParam + 16 + 2 * i, static_cast<std::uint16_t>(0x0100 + 7 * i));
  page[kParam + 26] = 0x01;
  page[kParam + 32] = 21;
  page[kParam + 33] = 17;
  page[kParam + 34] = 9;
  page[kParam + 35] = 6;
  page[kGeom + 23] = 0x5B;
  for (std::size_t i = 0; i < 7; ++i) page[kGeom + 24 + i] = static_cast<std::uint8_t>(0xA1 + i);
  Put16(page, kGeom + 40, 0x1313);
  Put16(page, kGeom + 42, 0x1414);
  Put16(page, kGeom + 44, 0x2222);
  Put16(page, kGeom + 46, 0x3333);
  for (std::size_t i = 0; i < kFirmwareHeaderCopySize; ++i) page[0x300 + i] = static_cast<std::uint8_t>('A' + i % 26);
  PutText(page, 0x306, "110224");
  page[0x333] = 'Z';  // past the header
  return page;
}

// The values a part selection would leave, none of them what a page carries.
FlashParams Selected() {
  FlashParams p;
  p.setting.typeWord = 0x224A;
  p.setting.channels = 4;
  p.setting.banks = 2;
  p.setting.chipEnables = 2;
  p.setting.eccMode = 2;
  p.setting.partName = "SELECTED-PART";
  DecodeFlashGeometry(p.setting, p.geometry);
  p.readErrorThresholdBch16 = 40;
  p.readErrorThresholdBch24 = 41;
  p.eccCopyThresholdBch16 = 42;
  p.eccCopyThresholdBch24 = 43;
  p.drvCurrent = 1;
  p.resPercentage = 10;
  p.defPercentage = 5;
  p.firmwareDateCode = "999999";
  p.loaderFileTable.fileCount = 2;
  p.loaderFileTable.files[0] = {.startPage = 100, .pageCount = 1};
  p.loaderFileTable.files[1] = {.startPage = 101, .pageCount = 1};
  return p;
}

// --- decoders --------------------------------------------------------------------------

TEST(ConfigDecoders, FirmwareParamsTakeEveryFieldOfThePage) {
  const Bytes page = ConfigFixture();
  PortIoRecord record;
  FlashParams params = Selected();
  ASSERT_TRUE(LoadFirmwareParamsFromConfig(record, params, page));

  EXPECT_EQ(params.setting.typeWord, 0x1089);
  EXPECT_EQ(params.setting.channels, 8);
  EXPECT_EQ(params.setting.banks, 4);
  EXPECT_EQ(params.setting.chipEnables, 2);
  EXPECT_EQ(params.setting.eccMode, 2);
  EXPECT_EQ(params.setting.extraMode, 1);
  EXPECT_EQ(params.setting.layoutByte, 0x1D);
  EXPECT_EQ(params.readErrorThresholdBch24, 21);
  EXPECT_EQ(params.eccCopyThresholdBch24, 17);
  EXPECT_EQ(params.readErrorThresholdBch16, 40) << "the other pair stays";
  EXPECT_EQ(params.eccCopyThresholdBch16, 42);
  EXPECT_EQ(params.wearLevelFrequency, 9);
  EXPECT_EQ(params.securityCounter, 6);
  EXPECT_EQ(params.firmwareOptions[kFirmwareOptionScramble], 1);
  EXPECT_EQ(params.firmwareOptions[kFirmwareOptionRemap], 1);
  EXPECT_EQ(params.token13, 0x1313);
  EXPECT_EQ(params.token14, 0x1414);
  EXPECT_EQ(params.registerSet2, (std::array<std::uint8_t, 7>{0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7}));
  EXPECT_EQ(params.featureByte, 0x5B);
  EXPECT_TRUE(std::equal(params.firmwareHeader.begin(), params.firmwareHeader.end(), page.begin() + 0x300));
  EXPECT_EQ(params.firmwareDateCode.view(), "110224");
  EXPECT_EQ(record.layoutWords, (std::array<std::uint16_t, 4>{0, 0, 0x2222, 0x3333}));
  // Not this decoder's: the percentages, the part name, the loader blocks.
  EXPECT_EQ(params.drvCurrent, 1);
  EXPECT_EQ(params.setting.partName.view(), "SELECTED-PART");
  EXPECT_EQ(record.loaderBlocks, (std::array<std::uint16_t, 4>{}));
}

TEST(ConfigDecoders, BchSixteenPageFillsTheBchSixteenThresholds) {
  Bytes page = ConfigFixture();
  page[kParam + 5] = 0;
  PortIoRecord record;
  FlashParams params = Selected();
  ASSERT_TRUE(LoadFirmwareParamsFromConfig(record, params, page));
  EXPECT_EQ(params.setting.eccMode, 0);
  EXPECT_EQ(params.readErrorThresholdBch16, 21);
  EXPECT_EQ(params.eccCopyThresholdBch16, 17);
  EXPECT_EQ(params.readErrorThresholdBch24, 41);
  EXPECT_EQ(params.eccCopyThresholdBch24, 43);
}

// A page sets the extra mode and the scramble and remap options; it never clears them.
struct SetOnlyCase {
  const char* name;
  std::uint8_t flags, options;
  std::uint8_t before;  // extra mode and both options
  std::uint8_t after;
};

class SetOnlyFlags : public ::testing::TestWithParam<SetOnlyCase> {};

TEST_P(SetOnlyFlags, AreSetByThePageAndKeptOtherwise) {
  const SetOnlyCase& c = GetParam();
  Bytes page = ConfigFixture();
  page[kParam + 2] = c.flags;
  page[kParam + 9] = c.options;
  PortIoRecord record;
  FlashParams params = Selected();
  params.setting.extraMode = c.before;
  params.firmwareOptions[kFirmwareOptionScramble] = c.before;
  params.firmwareOptions[kFirmwareOptionRemap] = c.before;
  ASSERT_TRUE(LoadFirmwareParamsFromConfig(record, params, page));
  EXPECT_EQ(params.setting.extraMode, c.after);
  EXPECT_EQ(params.firmwareOptions[kFirmwareOptionScramble], c.after);
  EXPECT_EQ(params.firmwareOptions[kFirmwareOptionRemap], c.after);
}

INSTANTIATE_TEST_SUITE_P(Flags, SetOnlyFlags,
                         ::testing::Values(SetOnlyCase{"pageSets", 0x20, 0x30, 0, 1},
                                           SetOnlyCase{"pageClearKeepsSet", 0x00, 0x00, 1, 1},
                                           SetOnlyCase{"bothClear", 0x00, 0x00, 0, 0},
                                           SetOnlyCase{"otherBitsSetNothing", 0xDF, 0xCF, 0, 0}));

struct CountCase {
  const char* name;
  std::uint8_t channels, banks, chipEnables, files;
  std::uint8_t keptChannels, keptBanks, keptChipEnables, keptFiles;
};

class PageCounts : public ::testing::TestWithParam<CountCase> {};

TEST_P(PageCounts, AreKeptToTheTablesTheyIndex) {
  const CountCase& c = GetParam();
  Bytes page = ConfigFixture();
  page[kParam + 3] = c.channels;
  page[kParam + 4] = c.banks;
  page[kParam + 11] = c.chipEnables;
  page[kLoaderFileCountOffset] = c.files;
  for (std::size_t i = 0; i < kLoaderFileSlots; ++i) {
    Put16(page, kLoaderFileTableOffset + 4 * i, static_cast<std::uint16_t>(10 + i));
  }
  PutText(page, 600, "XXXXXXXX");  // what lies after the table is no file

  PortIoRecord record;
  FlashParams params = Selected();
  ASSERT_TRUE(LoadFirmwareParamsFromConfig(record, params, page));
  EXPECT_EQ(params.setting.channels, c.keptChannels);
  EXPECT_EQ(params.setting.banks, c.keptBanks);
  EXPECT_EQ(params.setting.chipEnables, c.keptChipEnables);
  FlashSetting setting;
  ASSERT_TRUE(LoadFlashSettingFromConfig(setting, page));
  EXPECT_EQ(setting.channels, c.keptChannels);
  EXPECT_EQ(setting.banks, c.keptBanks);
  EXPECT_EQ(setting.chipEnables, c.keptChipEnables);
  LoaderFileTable table;
  ASSERT_TRUE(LoadFileTableFromConfig(table, page));
  EXPECT_EQ(table.fileCount, c.keptFiles);
  for (std::size_t i = 0; i < kLoaderFileSlots; ++i) {
    EXPECT_EQ(table.files[i].startPage, i < c.keptFiles ? 10 + i : 0) << i;
  }
}

INSTANTIATE_TEST_SUITE_P(Counts, PageCounts,
                         ::testing::Values(CountCase{"withinTheTables", 8, 8, 8, 8, 8, 8, 8, 8},
                                           CountCase{"justAbove", 9, 9, 9, 9, 8, 8, 8, 8},
                                           CountCase{"allOnes", 255, 255, 255, 255, 8, 8, 8, 8},
                                           CountCase{"small", 1, 2, 1, 3, 1, 2, 1, 3}));

TEST(ConfigDecoders, FlashSettingTakesThePartNameAndTheHead) {
  Bytes page = ConfigFixture();
  PutText(page, kLoaderPartNameOffset, "K9GBG08U0M-PCB0");
  FlashSetting setting;
  setting.halfPages = 1;
  ASSERT_TRUE(LoadFlashSettingFromConfig(setting, page));
  EXPECT_EQ(setting.partName.view(), "K9GBG08U0M-PCB0");
  EXPECT_EQ(setting.typeWord, 0x1089);
  EXPECT_EQ(setting.channels, 8);
  EXPECT_EQ(setting.banks, 4);
  EXPECT_EQ(setting.chipEnables, 2);
  EXPECT_EQ(setting.eccMode, 2);
  EXPECT_EQ(setting.extraMode, 1);
  EXPECT_EQ(setting.layoutByte, 0x1D);
  EXPECT_EQ(setting.halfPages, 1) << "not on the page";

  // All 32 bytes used: no terminator on the page, the field keeps 31 characters.
  PutText(page, kLoaderPartNameOffset, "ABCDEFGHIJKLMNOPQRSTUVWXYZ012345");
  ASSERT_TRUE(LoadFlashSettingFromConfig(setting, page));
  EXPECT_EQ(setting.partName.view(), "ABCDEFGHIJKLMNOPQRSTUVWXYZ01234");
}

TEST(ConfigDecoders, PercentagesShareByteThirtyTwoWithTheReadErrorThreshold) {
  const Bytes page = ConfigFixture();
  FlashParams params = Selected();
  ASSERT_TRUE(LoadPercentagesFromConfig(params, page));
  EXPECT_EQ(params.drvCurrent, 3);
  EXPECT_EQ(params.resPercentage, 0x012C);
  EXPECT_EQ(params.defPercentage, 21);
  EXPECT_EQ(params.readErrorThresholdBch24, 41) << "only the percentages";
}

TEST(ConfigDecoders, LoaderBlocksAndFileTable) {
  Bytes page = ConfigFixture();
  page[kLoaderFileCountOffset] = 3;
  const std::uint16_t files[] = {8, 4, 12, 65, 77, 75};
  for (std::size_t i = 0; i < 6; ++i) Put16(page, kLoaderFileTableOffset + 2 * i, files[i]);
  Put16(page, kLoaderFileTableOffset + 12, 0x5555);  // past the count

  PortIoRecord record;
  ASSERT_TRUE(LoadLoaderBlocksFromConfig(record, page));
  EXPECT_EQ(record.loaderBlocks, (std::array<std::uint16_t, 4>{0x0100, 0x0107, 0x010E, 0x0115}));

  LoaderFileTable table = Selected().loaderFileTable;
  table.files[5] = {.startPage = 9, .pageCount = 9};
  ASSERT_TRUE(LoadFileTableFromConfig(table, page));
  LoaderFileTable expected;
  expected.fileCount = 3;
  expected.files[0] = {.startPage = 8, .pageCount = 4};
  expected.files[1] = {.startPage = 12, .pageCount = 65};
  expected.files[2] = {.startPage = 77, .pageCount = 75};
  EXPECT_EQ(table, expected) << "entries past the count are cleared";
}

struct HeaderCase {
  const char* name;
  std::string bytes;
  bool header;
};

class LoaderHeaderText : public ::testing::TestWithParam<HeaderCase> {};

TEST_P(LoaderHeaderText, IsTheTextWithItsTerminator) {
  const std::string& bytes = GetParam().bytes;
  EXPECT_EQ(IsLoaderHeader(Bytes(bytes.begin(), bytes.end())), GetParam().header);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, LoaderHeaderText,
    ::testing::Values(HeaderCase{"exact", std::string("LDBK BLOCKS V30\0", 16), true},
                      HeaderCase{"followedByMore", std::string("LDBK BLOCKS V30\0xyz", 19), true},
                      HeaderCase{"noTerminator", "LDBK BLOCKS V30X", false},
                      HeaderCase{"otherVersion", std::string("LDBK BLOCKS V31\0", 16), false},
                      HeaderCase{"configText", std::string("LDBK CONFIG V30\0", 16), false},
                      HeaderCase{"tooShort", "LDBK BLOCKS V30", false}));

TEST(ConfigDecoders, ShortPagesAreRefusedAndChangeNothing) {
  const Bytes full = ConfigFixture();
  const Bytes shortPage(full.begin(), full.begin() + 0xA6F);
  PortIoRecord record;
  FlashParams params = Selected();
  EXPECT_FALSE(LoadFirmwareParamsFromConfig(record, params, shortPage));
  EXPECT_FALSE(LoadLoaderBlocksFromConfig(record, shortPage));
  EXPECT_FALSE(LoadFlashSettingFromConfig(params.setting, shortPage));
  EXPECT_FALSE(LoadPercentagesFromConfig(params, shortPage));
  EXPECT_FALSE(LoadFileTableFromConfig(params.loaderFileTable, Bytes(full.begin(), full.begin() + 599)));
  EXPECT_EQ(params, Selected());
  EXPECT_EQ(record.loaderBlocks, (std::array<std::uint16_t, 4>{}));
  EXPECT_EQ(record.layoutWords, (std::array<std::uint16_t, 4>{}));
}

// --- against the emulated drives ---------------------------------------------------------

constexpr const char* kDriveKeys =
    "flashtype = 0x1089\nchannels = 8\nbanks = 4\nces = 2\nserial = TV0000004711\n"
    "model = Tolvane KWFA4X 256G\nvendor = Tolvane\nproduct = KWFA4X Portable\nusbvid = 0x1e3d\n"
    "usbpid = 0x6025\nusbmanufacturer = Tolvane Storage\nusbproduct = KWFA4X Portable SSD\n"
    "partname = K9GBG08U0M-PCB0\necc = bch16\nextramode = yes\ndrvcurrent = 4\nrespercentage = 291\n"
    "readthreshold = 13\ncopythreshold = 11\nwearlevel = 7\nsecuritycounter = 5\noptionsa = 0x30\n"
    "featurebyte = 0x5b\nregset2 = 2122130499F556\nlayoutwords = 513 770 1027 1284\nloaderfiles = 4 65 75\n";

// The drive a scenario section describes, with the front end of `path`.
drivesim::DriveConfig ScenarioDrive(PortPath path, const std::string& devicePath, const std::string& extra) {
  const char* frontEnd = path == PortPath::OwnUsb ? "own-usb" : path == PortPath::Bridge ? "bridge\nchip = 7" : "sata";
  const auto load = drivesim::parseScenario("[drive]\npath = " + devicePath + "\nfrontend = " + frontEnd + "\n" +
                                            kDriveKeys + extra);
  EXPECT_TRUE(load.line) << load.error;
  if (!load.line) return {};
  return load.line->drives().at(0)->config();
}

std::string AtaText(const Bytes& page, std::size_t at, std::size_t length) {
  std::string text;
  for (std::size_t i = 0; i < length; ++i) text += static_cast<char>(page[at + (i ^ 1)]);
  return text;
}

std::string DescriptorText(const Bytes& page, std::size_t at) {
  std::string text;
  for (std::size_t i = 0; 2 * i + 2 < page[at]; ++i) text += static_cast<char>(page[at + 2 + 2 * i]);
  return text;
}

class DeviceConfigOnDrive : public EmulatedLineTest {
 protected:
  void SetUp() override {
    EmulatedLineTest::SetUp();
    InitPortIoTable(ProgramKind::Fleetburn);
    saved_ = *CurrentFlashParams();
    PublishFlashParams(Selected());
  }
  void TearDown() override {
    PublishFlashParams(saved_);
    EmulatedLineTest::TearDown();
  }

  drivesim::Drive& AttachScenario(int port, PortPath path, const std::string& extra = "loaderheader = yes\n",
                                  const std::string& partName = {}) {
    drivesim::DriveConfig config = ScenarioDrive(path, DriveFor(path, port).path, extra);
    if (!partName.empty()) config.flashPartName = partName;
    drivesim::Drive& drive = line_->addDrive(config);
    WirePort(port, config.path, path);
    EXPECT_TRUE(SetVendorMode(port, true));
    drive.wire().clear();
    return drive;
  }

  FlashParams saved_;
};

class OnEachPath : public DeviceConfigOnDrive, public ::testing::WithParamInterface<PortPath> {};

TEST_P(OnEachPath, DecodesTheDrivesValuesAndLeavesThePageInTheBuffer) {
  constexpr int kPort = 3;
  drivesim::Drive& drive = AttachScenario(kPort, GetParam());
  Bytes buffer(2 * kConfigPageBytes, 0x77);
  ASSERT_TRUE(LoadDeviceConfig(kPort, buffer, 1));

  EXPECT_EQ(*CurrentFlashParams(), Selected()) << "the part selected stays";
  const std::shared_ptr<const FlashParams> mine = ParamsOfPort(kPort);
  const FlashParams& p = *mine;
  EXPECT_EQ(p.setting.typeWord, 0x1089);
  EXPECT_EQ(p.setting.channels, 8);
  EXPECT_EQ(p.setting.banks, 4);
  EXPECT_EQ(p.setting.chipEnables, 2);
  EXPECT_EQ(p.setting.eccMode, 0);
  EXPECT_EQ(p.setting.extraMode, 1);
  EXPECT_EQ(p.setting.layoutByte, 0x1D);
  EXPECT_EQ(p.setting.partName.view(), "K9GBG08U0M-PCB0");
  EXPECT_EQ(p.geometry.sectorsPerPage, 8);
  EXPECT_EQ(p.geometry.pagesPerBlock, 128);
  EXPECT_EQ(p.geometry.blockValue, 8192);
  EXPECT_EQ(p.geometry.planes, 1);
  EXPECT_EQ(p.geometry.bankMap, (std::array<std::uint8_t, 8>{0, 1, 4, 5, 0, 0, 0, 0}));
  EXPECT_EQ(p.drvCurrent, 4);
  EXPECT_EQ(p.resPercentage, 291);
  EXPECT_EQ(p.defPercentage, 13);
  EXPECT_EQ(p.readErrorThresholdBch16, 13);
  EXPECT_EQ(p.eccCopyThresholdBch16, 11);
  EXPECT_EQ(p.readErrorThresholdBch24, 41);
  EXPECT_EQ(p.wearLevelFrequency, 7);
  EXPECT_EQ(p.securityCounter, 5);
  EXPECT_EQ(p.firmwareOptions[kFirmwareOptionScramble], 1);
  EXPECT_EQ(p.firmwareOptions[kFirmwareOptionRemap], 1);
  EXPECT_EQ(p.featureByte, 0x5B);
  EXPECT_EQ(p.registerSet2, (std::array<std::uint8_t, 7>{0x21, 0x22, 0x13, 0x04, 0x99, 0xF5, 0x56}));
  EXPECT_EQ(std::string(p.firmwareHeader.begin(), p.firmwareHeader.begin() + 4), "KWSS");
  EXPECT_EQ(p.firmwareDateCode.view(), drive.config().firmwareDateCode);
  LoaderFileTable files;
  files.fileCount = 3;
  files.files[0] = {.startPage = 8, .pageCount = 4};
  files.files[1] = {.startPage = 12, .pageCount = 65};
  files.files[2] = {.startPage = 77, .pageCount = 75};
  EXPECT_EQ(p.loaderFileTable, files);
  const PortIoRecord& record = *PortIo(kPort);
  EXPECT_EQ(record.loaderBlocks, (std::array<std::uint16_t, 4>{0, 1, 2, 3}));
  EXPECT_EQ(record.layoutWords[2], 1027);
  EXPECT_EQ(record.layoutWords[3], 1284);

  // The configuration page stays; nothing else was written into the buffer.
  EXPECT_EQ(std::string(buffer.begin() + 0x300, buffer.begin() + 0x304), "KWSS");
  EXPECT_TRUE(std::all_of(buffer.begin() + kConfigPageBytes, buffer.end(), [](std::uint8_t b) { return b == 0x77; }));
  if (GetParam() == PortPath::OwnUsb) {
    EXPECT_EQ(Get16(buffer, 100), 0x1E3D);
    EXPECT_EQ(Get16(buffer, 102), 0x6025);
    EXPECT_EQ(std::string(buffer.begin() + 118, buffer.begin() + 126), "Tolvane ");
    EXPECT_EQ(std::string(buffer.begin() + 126, buffer.begin() + 142), "KWFA4X Portable ");
    EXPECT_EQ(DescriptorText(buffer, 158), "Tolvane Storage");
    EXPECT_EQ(DescriptorText(buffer, 192), "KWFA4X Portable SSD");
    EXPECT_EQ(DescriptorText(buffer, 242), "TV0000004711");
  } else {
    EXPECT_EQ(AtaText(buffer, 96, 20), "TV0000004711        ");
    EXPECT_EQ(AtaText(buffer, 130, 40), "Tolvane KWFA4X 256G                     ");
  }

  // The page once, then the loader header from block 0 (unit 0, all channels of the newer firmware).
  const auto reads = drive.wire().entries(drivesim::Layer::Controller);
  ASSERT_GE(reads.size(), 3u);
  EXPECT_EQ(Bytes(reads[0].command.begin() + 2, reads[0].command.begin() + 8), (Bytes{0x86, 3, 0, 0, 0, 0}));
  EXPECT_EQ(reads[0].length, kConfigPageBytes);
  EXPECT_EQ(reads[1].command[2], 0x04);
  EXPECT_EQ(reads[1].command[3], 15);
  EXPECT_EQ(reads[1].command[5], 0) << "unit";
  EXPECT_EQ(reads[1].command[6], 0) << "unit";
  EXPECT_EQ(reads.size(), 3u) << "the first header found ends the search";
}

INSTANTIATE_TEST_SUITE_P(Paths, OnEachPath, ::testing::Values(PortPath::OwnUsb, PortPath::Bridge, PortPath::NativeSata),
                         [](const auto& p) { return std::string(PortPathName(p.param)); });

TEST_F(DeviceConfigOnDrive, OlderFirmwareHeaderIsReadWithTheDrivesOwnDateCode) {
  constexpr int kPort = 0;
  drivesim::Drive& drive = AttachScenario(kPort, PortPath::OwnUsb, "loaderheader = yes\ndatecode = 110222\n");
  Bytes buffer(kConfigPageBytes);
  ASSERT_TRUE(LoadDeviceConfig(kPort, buffer, 0));
  EXPECT_EQ(ParamsOfPort(kPort)->setting.partName.view(), "K9GBG08U0M-PCB0");
  EXPECT_EQ(ParamsOfPort(kPort)->firmwareDateCode.view(), "110222");
  const auto reads = drive.wire().entries(drivesim::Layer::Controller);
  ASSERT_EQ(reads.size(), 3u);
  EXPECT_EQ(reads[1].command[3], 8) << "the older firmware's selector";
  EXPECT_EQ(reads[2].command[2], 0x8C) << "and its memory window";
}

TEST_F(DeviceConfigOnDrive, NoLoaderHeaderStillDecodesThePage) {
  constexpr int kPort = 1;
  drivesim::Drive& drive = AttachScenario(kPort, PortPath::Bridge, "");
  Bytes buffer(kConfigPageBytes);
  ASSERT_TRUE(LoadDeviceConfig(kPort, buffer, 0));
  const std::shared_ptr<const FlashParams> mine = ParamsOfPort(kPort);
  const FlashParams& p = *mine;
  EXPECT_EQ(p.setting.typeWord, 0x1089) << "from the page";
  EXPECT_EQ(p.wearLevelFrequency, 7);
  const FlashParams selected = Selected();
  EXPECT_EQ(p.setting.partName, selected.setting.partName) << "the header's fields keep the selection's";
  EXPECT_EQ(p.drvCurrent, selected.drvCurrent);
  EXPECT_EQ(p.resPercentage, selected.resPercentage);
  EXPECT_EQ(p.defPercentage, selected.defPercentage);
  EXPECT_EQ(p.loaderFileTable, selected.loaderFileTable);
  // Page 0 of each of the four loader blocks was tried, two reads each.
  EXPECT_EQ(drive.wire().entries(drivesim::Layer::Controller).size(), 1u + 4 * 2);
}

TEST_F(DeviceConfigOnDrive, ValuesOfOneDriveNeverReachTheNext) {
  AttachScenario(0, PortPath::OwnUsb);
  AttachScenario(1, PortPath::NativeSata, "");
  Bytes buffer(kConfigPageBytes);
  ASSERT_TRUE(LoadDeviceConfig(0, buffer, 0));
  ASSERT_TRUE(LoadDeviceConfig(1, buffer, 0));
  EXPECT_EQ(ParamsOfPort(1)->setting.partName.view(), "SELECTED-PART") << "not the first drive's";
  EXPECT_EQ(ParamsOfPort(1)->drvCurrent, 1);
  EXPECT_EQ(ParamsOfPort(0)->setting.partName.view(), "K9GBG08U0M-PCB0") << "each port keeps its own";
  EXPECT_EQ(*CurrentFlashParams(), Selected());

  // A read starts from the part the port's work started with; a part
  // selected meanwhile reaches the port when its work starts again.
  FlashParams second = Selected();
  second.setting.partName = "SECOND-SELECTION";
  second.drvCurrent = 2;
  StartPortFlashParams(1);
  PublishFlashParams(second);
  ASSERT_TRUE(LoadDeviceConfig(1, buffer, 0));
  EXPECT_EQ(ParamsOfPort(1)->setting.partName.view(), "SELECTED-PART");
  StartPortFlashParams(1);
  ASSERT_TRUE(LoadDeviceConfig(1, buffer, 0));
  EXPECT_EQ(ParamsOfPort(1)->setting.partName.view(), "SECOND-SELECTION");
  EXPECT_EQ(ParamsOfPort(1)->drvCurrent, 2);
}

TEST_F(DeviceConfigOnDrive, PortsReadAtOnceKeepTheirOwnValues) {
  constexpr int kPorts = 8;
  const char* names[kPorts] = {"PART-0", "PART-1", "PART-2", "PART-3", "PART-4", "PART-5", "PART-6", "PART-7"};
  for (int port = 0; port < kPorts; ++port) {
    AttachScenario(port, port % 2 == 0 ? PortPath::OwnUsb : PortPath::Bridge, "loaderheader = yes\n", names[port]);
  }
  std::array<int, kPorts> results{};  // one element per thread
  {
    std::vector<std::jthread> workers;
    for (int port = 0; port < kPorts; ++port) {
      workers.emplace_back([&results, port] {
        Bytes buffer(kConfigPageBytes);
        results[static_cast<std::size_t>(port)] = LoadDeviceConfig(port, buffer, 0) ? 1 : 0;
      });
    }
  }
  for (int port = 0; port < kPorts; ++port) {
    EXPECT_EQ(results[static_cast<std::size_t>(port)], 1) << port;
    EXPECT_EQ(ParamsOfPort(port)->setting.partName.view(), names[port]) << port;
  }
  EXPECT_EQ(*CurrentFlashParams(), Selected()) << "no drive read becomes the part selected";
}

struct ReadFailureCase {
  const char* name;
  PortPath path;
  drivesim::FaultKind kind;
};

class ReadFailure : public DeviceConfigOnDrive, public ::testing::WithParamInterface<ReadFailureCase> {};

TEST_P(ReadFailure, GivesFalseAndTakesThePortBackToItsStart) {
  constexpr int kPort = 4;
  drivesim::Drive& drive = AttachScenario(kPort, GetParam().path);
  StartPortFlashParams(kPort);
  Bytes buffer(kConfigPageBytes);
  ASSERT_TRUE(LoadDeviceConfig(kPort, buffer, 0));
  FlashParams later = Selected();
  later.setting.partName = "SELECTED-LATER";
  PublishFlashParams(later);
  const auto published = CurrentFlashParams();
  drivesim::FaultRule rule;
  rule.kind = GetParam().kind;
  rule.match.subOp = 0x86;
  drive.injectFault(rule);
  EXPECT_FALSE(LoadDeviceConfig(kPort, buffer, 0));
  EXPECT_EQ(*ParamsOfPort(kPort), Selected()) << "the part the port started with, not the drive's";
  EXPECT_EQ(CurrentFlashParams(), published) << "nothing published";
}

INSTANTIATE_TEST_SUITE_P(
    Faults, ReadFailure,
    ::testing::Values(ReadFailureCase{"ownUsbTransport", PortPath::OwnUsb, drivesim::FaultKind::TransportFailure},
                      ReadFailureCase{"ownUsbCheckCondition", PortPath::OwnUsb, drivesim::FaultKind::CheckCondition},
                      ReadFailureCase{"bridgeTransport", PortPath::Bridge, drivesim::FaultKind::TransportFailure},
                      ReadFailureCase{"sataAtaError", PortPath::NativeSata, drivesim::FaultKind::AtaError}),
    [](const auto& p) { return std::string(p.param.name); });

TEST_F(DeviceConfigOnDrive, ShortBufferOrUnknownPortSendsNothing) {
  constexpr int kPort = 2;
  drivesim::Drive& drive = AttachScenario(kPort, PortPath::OwnUsb);
  Bytes small(kConfigPageBytes - 1);
  EXPECT_FALSE(LoadDeviceConfig(kPort, small, 0));
  Bytes buffer(kConfigPageBytes);
  EXPECT_FALSE(LoadDeviceConfig(kFleetburnPortCount, buffer, 0));
  EXPECT_FALSE(LoadDeviceConfig(-1, buffer, 0));
  EXPECT_TRUE(drive.wire().entries().empty());
  EXPECT_EQ(*ParamsOfPort(kPort), Selected());
  EXPECT_EQ(*CurrentFlashParams(), Selected());
}

}  // namespace
}  // namespace devlib::testing
