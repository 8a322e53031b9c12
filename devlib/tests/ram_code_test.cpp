// RAM code images: the parameter block the host writes (both variants, as
// golden bytes), the table area size and super-page shift, the load sequence
// against the emulated controller, damaged or missing images, a load that
// fails part way, and the RAM code erase.

#include "devlib/ram_code.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

#include "devlib/controller_access.h"
#include "devlib/drive_state.h"
#include "devlib/flash_params.h"
#include "devlib/port_io.h"
#include "drivesim/config.h"
#include "emulated_port.h"
#include "platform/paths.h"
#include "testsupport/ram_code_images.h"

namespace devlib::testing {
namespace {

using Bytes = std::vector<std::uint8_t>;
using drivesim::Layer;
using drivesim::RunState;
using testsupport::ImageDamage;
constexpr int kPort = 2;
constexpr std::uint32_t kWindow = 0x40000000;

template <typename Case>
  requires requires(const Case& c) { std::string(c.name); }
void PrintTo(const Case& c, std::ostream* out) {
  *out << c.name;
}

// A fixed part and port whose parameter block is spelt out byte by byte below.
FlashParams GoldenPart() {
  FlashParams p;
  p.setting.typeWord = 0x224A;  // maker class 2
  p.setting.halfPages = 1;
  p.setting.extraMode = 1;
  p.setting.channels = 4;
  p.setting.banks = 2;
  p.setting.eccMode = 2;
  p.setting.layoutByte = 0x21;
  p.setting.chipEnables = 2;
  p.drvCurrent = 3;
  p.resPercentage = 324;
  p.defPercentage = 15;
  for (const std::size_t o : {0u, 3u, 4u, 5u, 7u, 9u, 13u}) p.firmwareOptions[o] = 1;
  p.geometry.bankMap = {0, 1, 2, 3, 0, 0, 0, 0};
  p.geometry.sectorsPerPage = 16;
  p.geometry.blockValue = 4096;
  p.geometry.pagesPerBlock = 128;
  p.geometry.planes = 2;
  p.geometry.halfPlaneBlocks = 1024;
  p.dirtyDepth = 50;
  p.token14 = 0x0102;
  p.featureByte = 0x48;
  p.loaderFileTable.files[0].startPage = 8;
  p.registerSet1 = {1, 2, 3, 4, 5, 6, 7};
  p.registerSet2 = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77};
  p.readErrorThresholdBch24 = 20;
  p.readErrorThresholdBch16 = 10;
  p.eccCopyThresholdBch24 = 16;
  p.eccCopyThresholdBch16 = 8;
  p.wearLevelFrequency = 8;
  p.securityCounter = 3;
  p.writeProtectByte = 0xC5;
  return p;
}

void GoldenPort(PortIoRecord& record) {
  record.loaderBlocks = {2, 3, 0x10, 0x11};
  record.layoutValue = 0x00010045;
  record.modeByte = 0x07;
  record.layoutWords = {33, 1, 32, 0};
}

Bytes Head() {
  Bytes b(40, 0);
  const std::pair<std::size_t, std::uint8_t> set[] = {
      {0, 0x4A}, {1, 0x22}, {2, 0x22},  {3, 4},  {4, 2},  {5, 1},  {6, 3},     {7, 0x21},  {8, 0x44},
      {9, 0x39}, {10, 0x22}, {11, 2},   {16, 2}, {18, 3}, {20, 0x10}, {22, 0x11}, {24, 64}, {26, 0x01}};
  for (const auto& [at, value] : set) b[at] = value;
  return b;
}

Bytes RamCodeBlock() {
  Bytes b = Head();
  b.resize(0x78, 0);
  b[32] = 15;
  for (std::size_t i = 0; i < 4; ++i) b[40 + i] = static_cast<std::uint8_t>(i);
  for (std::size_t i = 0; i < 24; ++i) b[48 + i] = static_cast<std::uint8_t>(32 * i);
  // Table-size block: 0x930000 bytes, the layout value, file 1 at page 8,
  // DirtyDepth 50 kept to 40, token 14, the mode and feature bytes.
  const std::pair<std::size_t, std::uint8_t> sizes[] = {{74, 0x93}, {76, 0x45}, {78, 0x01}, {80, 8},   {82, 40},
                                                        {86, 0x02}, {87, 0x01}, {88, 0x07}, {89, 0x48}};
  for (const auto& [at, value] : sizes) b[at] = value;
  return b;
}

Bytes FirmwareBlock() {
  Bytes b = Head();
  b.resize(0x78, 0xEE);  // 112..119 keep the page's bytes
  std::fill(b.begin() + 40, b.begin() + 112, std::uint8_t{0});
  b[32] = 20;
  b[33] = 16;
  b[34] = 8;
  b[35] = 3;
  b[36] = 0xC5;
  for (std::size_t i = 0; i < 4; ++i) b[40 + i] = static_cast<std::uint8_t>(i);
  const std::size_t g = 48;
  const std::pair<std::size_t, std::uint8_t> geometry[] = {
      {0, 2},     {1, 2},     {2, 1},     {3, 7},     {4, 10},    {5, 4},     {6, 6},     {7, 8},
      {8, 0x07},  {9, 1},     {10, 1},    {11, 1},    {16, 1},    {17, 2},    {18, 3},    {19, 4},
      {20, 5},    {21, 6},    {22, 7},    {23, 0x48}, {24, 0x11}, {25, 0x22}, {26, 0x33}, {27, 0x44},
      {28, 0x55}, {29, 0x66}, {30, 0x77}, {31, 0x04}, {32, 33},   {34, 1},    {36, 0x44}, {37, 0x01},
      {38, 8},    {42, 0x02}, {43, 0x01}, {44, 32},   {48, 0x20}, {49, 0x03}, {52, 32}};
  for (const auto& [at, value] : geometry) b[g + at] = value;
  return b;
}

// What the controller should hold after a load of `file`: its first 0xFC00
// bytes, 0x66 past its end, and the golden block where the image is patched.
Bytes Expected(const Bytes& file, bool patched) {
  Bytes image(kRamCodeImageSize, 0x66);
  std::copy_n(file.begin(), std::min(file.size(), image.size()), image.begin());
  if (patched) {
    const Bytes block = RamCodeBlock();
    std::copy(block.begin(), block.end(), image.begin() + 0xA00);
  }
  return image;
}

std::size_t Count(drivesim::Drive& drive, std::uint8_t subOp) {
  const auto entries = drive.wire().entries(Layer::Controller);
  return static_cast<std::size_t>(
      std::count_if(entries.begin(), entries.end(), [subOp](const auto& e) { return e.command.at(2) == subOp; }));
}

class RamCode : public EmulatedLineTest {
 protected:
  void SetUp() override {
    EmulatedLineTest::SetUp();
    InitPortIoTable(ProgramKind::Fleetburn);
    previousParams_ = *CurrentFlashParams();
    PublishFlashParams(GoldenPart());
    previousDirectory_ = std::filesystem::current_path();
    directory_ = std::filesystem::temp_directory_path() / ("ram-code-" + std::to_string(::getpid()));
    std::filesystem::create_directories(program());
    std::filesystem::current_path(directory_);
    platform::paths::setProgramDirectory(program());
    testsupport::WriteRamCodeImages(program(), directory_);
  }
  void TearDown() override {
    platform::paths::setProgramDirectory({});
    std::filesystem::current_path(previousDirectory_);
    std::filesystem::remove_all(directory_);
    PublishFlashParams(previousParams_);
    EmulatedLineTest::TearDown();
  }
  std::filesystem::path program() const { return directory_ / "program"; }
  drivesim::Drive& Drive(int port = kPort, PortPath path = PortPath::OwnUsb) {
    return AttachConfigured(DriveFor(path, port), port, path);
  }
  drivesim::Drive& AttachConfigured(const drivesim::DriveConfig& config, int port = kPort,
                                    PortPath path = PortPath::OwnUsb) {
    drivesim::Drive& drive = line_->addDrive(config);
    WirePort(port, drive.config().path, path);
    GoldenPort(*PortIo(port));
    // Behind a bridge the callers switch vendor mode on before their first vendor command.
    EXPECT_TRUE(SetVendorMode(port, true));
    return drive;
  }
  Bytes image_ = Bytes(kRamCodeImageSize);
  FlashParams previousParams_;
  std::filesystem::path previousDirectory_, directory_;
};

// The golden block reaches the controller on every path, and each image
// starts the RAM code its magic and tag name.
class RamCodeOnPath : public RamCode, public ::testing::WithParamInterface<PortPath> {};

TEST_P(RamCodeOnPath, EachImageLoadsWithTheGoldenBlockAndStarts) {
  drivesim::Drive& drive = Drive(kPort, GetParam());
  std::uint8_t option = 0xFF;
  ASSERT_TRUE(LoadRamCode(kPort, image_, option, 0));
  EXPECT_EQ(option, 0x02) << "a half-page part";
  EXPECT_EQ(drive.runState(), RunState::GdpRamCode);
  EXPECT_EQ(drive.memory(kWindow + 0xA00, 0x78), RamCodeBlock());
  EXPECT_EQ(drive.memory(kWindow, kRamCodeImageSize),
            Expected(testsupport::RamCodeImageBytes(testsupport::kGdpMagic, testsupport::kGdpTag), true));
  EXPECT_EQ(Bytes(image_.begin() + 0xA00, image_.begin() + 0xA78), RamCodeBlock()) << "the buffer keeps what went";

  ASSERT_TRUE(LoadTestRamCode(kPort, image_, 0));
  EXPECT_EQ(drive.runState(), RunState::TstRamCode);
  EXPECT_EQ(drive.memory(kWindow + 0xA00, 0x78), RamCodeBlock()) << "satatest.bin is patched alike";

  option = 0;
  ASSERT_TRUE(LoadRamCodeA(kPort, image_, option, 0));
  EXPECT_EQ(option, 0x02);
  EXPECT_EQ(drive.runState(), RunState::GdpARamCode);
}

INSTANTIATE_TEST_SUITE_P(Paths, RamCodeOnPath,
                         ::testing::Values(PortPath::OwnUsb, PortPath::Bridge, PortPath::NativeSata),
                         [](const auto& testCase) { return std::string(PortPathName(testCase.param)); });

TEST_F(RamCode, OptionByteStaysClearForAWholePagePart) {
  FlashParams p = GoldenPart();
  p.setting.halfPages = 0;
  PublishFlashParams(p);
  Drive();
  std::uint8_t option = 0xFF;
  ASSERT_TRUE(LoadRamCode(kPort, image_, option, 0));
  EXPECT_EQ(option, 0);
}

// Each port's block carries its own record, never another port's.
TEST_F(RamCode, EachPortSendsItsOwnRecord) {
  drivesim::Drive& first = Drive(kPort);
  drivesim::Drive& second = Drive(kPort + 1);
  PortIo(kPort + 1)->loaderBlocks = {5, 6, 7, 8};
  PortIo(kPort + 1)->modeByte = 0x03;
  std::uint8_t option = 0;
  Bytes otherImage(kRamCodeImageSize);
  ASSERT_TRUE(LoadRamCode(kPort + 1, otherImage, option, 0));
  ASSERT_TRUE(LoadRamCode(kPort, image_, option, 0));
  EXPECT_EQ(first.memory(kWindow + 0xA00, 0x78), RamCodeBlock());
  const Bytes other = second.memory(kWindow + 0xA00, 0x78);
  EXPECT_EQ(Bytes(other.begin() + 16, other.begin() + 24), (Bytes{5, 0, 6, 0, 7, 0, 8, 0}));
  EXPECT_EQ(other[88], 0x03);
}

TEST_F(RamCode, FirmwarePagesGetTheFirmwareTail) {
  Drive();
  Bytes page(0x1000, 0xEE);
  ASSERT_TRUE(FillFirmwareParams(kPort, page));
  ASSERT_TRUE(FillFirmwareGeometry(kPort, page));
  EXPECT_EQ(Bytes(page.begin() + 0xA00, page.begin() + 0xA78), FirmwareBlock());
  EXPECT_TRUE(std::all_of(page.begin(), page.begin() + 0xA00, [](std::uint8_t b) { return b == 0xEE; }));
  EXPECT_TRUE(std::all_of(page.begin() + 0xA78, page.end(), [](std::uint8_t b) { return b == 0xEE; }));

  Bytes small(0xA40);
  EXPECT_FALSE(FillFirmwareParams(kPort, small)) << "a page without room for the block";
  EXPECT_FALSE(FillFirmwareGeometry(kPort, small));
  EXPECT_FALSE(FillFirmwareParams(999, page)) << "no such port";
}

TEST(TableAreaSizeTest, VersionElevenSizing) {
  const struct Case {
    const char* name;
    std::uint8_t channels;
    std::uint8_t sectorsPerPage;
    std::uint16_t resPercentage;
    std::uint32_t layoutValue;
    std::uint32_t size;
  } cases[] = {
      // 4 767 744 in 16 KiB units, then a multiple of 32 KiB
      {"worked example", 8, 4, 68, 0, 0x490000},
      {"only the low half of the layout value counts", 8, 4, 68, 0x12340000, 0x490000},
      {"no page size leaves the 16 KiB units", 8, 0, 68, 0, 4767744},
      {"no channels: nothing but the fixed part", 0, 4, 68, 0, 0x304000},
      // Fewer reserve blocks than the tables take, and more early-bad entries
      // than the reserve holds, count as none rather than wrap.
      {"reserve under three blocks", 8, 4, 2, 0, 0x360000},
      {"more early-bad entries than reserve", 8, 4, 68, 20000, 0x360000},
      {"early-bad entries that would wrap the sum", 8, 4, 68, 0xFFFF, 0x360000},
      {"reserve above the whole", 8, 4, 1500, 0, 0x1EF8000},
  };
  for (const Case& c : cases) {
    FlashParams p;
    p.setting.banks = 2;
    p.setting.channels = c.channels;
    p.geometry.sectorsPerPage = c.sectorsPerPage;
    p.geometry.blockValue = 2048;
    p.geometry.pagesPerBlock = 128;
    p.resPercentage = c.resPercentage;
    EXPECT_EQ(TableAreaSize(p, c.layoutValue), c.size) << c.name;
  }
}

// The super-page shift (geometry byte 6) over the reserve, the unit size,
// planes and counts that could divide by zero or search for ever.
TEST_F(RamCode, SuperPageShift) {
  Drive();
  const struct Case {
    const char* name;
    std::uint8_t channels;
    std::uint8_t banks;
    std::uint8_t planes;
    std::uint16_t blockValue;
    std::uint16_t resPercentage;
    std::uint8_t largeUnit;
    std::uint8_t shift;
  } cases[] = {
      {"reserve 68", 8, 2, 1, 8192, 68, 0, 8},
      {"reserve 63 halts at k = 16", 1, 1, 1, 8192, 63, 0, 8},
      {"reserve 62 goes on to k = 32", 1, 1, 1, 8192, 62, 0, 7},
      {"reserve 125 capped by the 68 rule", 1, 1, 1, 8192, 125, 0, 8},
      {"two planes", 8, 2, 2, 8192, 68, 0, 7},
      {"small unit", 8, 2, 1, 16384, 68, 0, 8},
      {"large unit", 8, 2, 1, 16384, 68, 1, 9},
      {"reserve 1 on a small part stays at 0", 8, 2, 1, 1024, 1, 0, 0},
      {"no reserve ends the search", 8, 2, 1, 8192, 0, 0, 0},
      {"no channels", 0, 2, 1, 8192, 68, 0, 0},
      {"no blocks", 8, 2, 1, 0, 68, 0, 0},
  };
  for (const Case& c : cases) {
    FlashParams p = GoldenPart();
    p.setting.channels = c.channels;
    p.setting.banks = c.banks;
    p.geometry.planes = c.planes;
    p.geometry.blockValue = c.blockValue;
    p.geometry.halfPlaneBlocks = static_cast<std::uint16_t>(c.blockValue / 2 / c.planes);
    p.resPercentage = c.resPercentage;
    p.largeUnitFlag = c.largeUnit;
    PublishFlashParams(p);
    Bytes page(0x1000);
    ASSERT_TRUE(FillFirmwareGeometry(kPort, page)) << c.name;
    EXPECT_EQ(page[0xA00 + 48 + 6], c.shift) << c.name;
  }
}

// Geometry byte 31 and word 48 from the maker class and the extra-mode flag.
TEST_F(RamCode, MakerClassBits) {
  Drive();
  const struct Case {
    int makerClass;
    bool extraMode;
    std::uint8_t bits;
    std::uint16_t word48;
  } cases[] = {{0, false, 0x01, 512}, {1, false, 0x02, 800}, {2, false, 0x04, 800}, {3, false, 0x02, 800},
               {3, true, 0x04, 800},  {4, true, 0x01, 512},  {5, false, 0, 800},    {6, true, 0, 800}};
  for (const Case& c : cases) {
    FlashParams p = GoldenPart();
    p.setting.typeWord = static_cast<std::uint16_t>(c.makerClass << 12 | 0x024A);
    p.setting.extraMode = c.extraMode ? 1 : 0;
    PublishFlashParams(p);
    Bytes page(0x1000);
    ASSERT_TRUE(FillFirmwareGeometry(kPort, page));
    const std::size_t g = 0xA00 + 48;
    EXPECT_EQ(page[g + 31], c.bits) << "class " << c.makerClass << " extra " << c.extraMode;
    EXPECT_EQ(page[g + 48] | page[g + 49] << 8, c.word48) << "class " << c.makerClass;
  }
}

// Head bytes 9 and 10 from the option record, the bank count and the maker class.
TEST_F(RamCode, OptionBits) {
  Drive();
  const struct Case {
    const char* name;
    std::uint8_t banks;
    int makerClass;
    std::vector<std::size_t> options;
    std::uint8_t bitsA, bitsB;
  } cases[] = {
      {"two banks without option 3", 2, 1, {}, 0x00, 0x00},
      {"two banks with option 3", 2, 1, {3}, 0x08, 0x00},
      {"four banks whatever option 3 holds", 4, 1, {}, 0x08, 0x00},
      {"one bank with option 3", 1, 1, {3}, 0x00, 0x00},
      {"remap on class 2", 1, 2, {5}, 0x20, 0x00},
      {"remap on class 1", 1, 1, {5}, 0x00, 0x00},
      {"option 7 under scramble", 1, 1, {4, 7}, 0x10, 0x00},
      {"option 7 alone", 1, 1, {7}, 0x80, 0x00},
      {"plain A bits", 1, 1, {0, 1, 2, 6}, 0x47, 0x00},
      {"B bits", 1, 1, {8, 9, 10, 11, 12, 13}, 0x00, 0x3F},
  };
  for (const Case& c : cases) {
    FlashParams p = GoldenPart();
    p.setting.banks = c.banks;
    p.setting.typeWord = static_cast<std::uint16_t>(c.makerClass << 12 | 0x024A);
    p.firmwareOptions = {};
    for (const std::size_t o : c.options) p.firmwareOptions[o] = 1;
    PublishFlashParams(p);
    Bytes head(40, 0xEE);
    ASSERT_TRUE(FillParamHead(kPort, head));
    EXPECT_EQ(head[9], c.bitsA) << c.name;
    EXPECT_EQ(head[10], c.bitsB) << c.name;
  }
}

// Image files as they come: what the controller holds afterwards, whether it
// was patched, and whether the load got as far as a running RAM code.
TEST_F(RamCode, DamagedImages) {
  const struct Case {
    const char* name;
    ImageDamage damage;
    bool sent;     // written to the controller
    bool patched;  // its parameter block filled
    bool started;  // the controller runs it
  } cases[] = {
      {"short: the tail is 0x66", ImageDamage::Short, true, true, true},
      {"long: read only as far as an image goes", ImageDamage::Long, true, true, true},
      {"wrong magic: sent unchanged, not started", ImageDamage::WrongMagic, true, false, false},
      {"empty tag: the library does not look at it", ImageDamage::ZeroTag, true, true, true},
      {"truncated before the magic", ImageDamage::Truncated, true, false, false},
      {"empty file", ImageDamage::Empty, false, false, false},
  };
  int port = kPort;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    drivesim::Drive& drive = Drive(++port);
    const Bytes file = testsupport::DamagedRamCodeImage(c.damage);
    testsupport::WriteImageFile(program() / "GDP.bin", file);
    std::uint8_t option = 0xFF;
    EXPECT_EQ(LoadRamCode(port, image_, option, 0), c.started);
    EXPECT_EQ(option, c.started ? 0x02 : 0x00);
    EXPECT_EQ(Count(drive, 0x87), c.sent ? 1u : 0u);
    if (c.sent) {
      EXPECT_EQ(drive.memory(kWindow, kRamCodeImageSize), Expected(file, c.patched));
    }
    EXPECT_EQ(drive.runState(), c.started ? RunState::GdpRamCode : RunState::Loader);
  }
}

TEST_F(RamCode, ImagesAreLookedUpWhereTheyBelong) {
  Drive();
  std::uint8_t option = 0;
  // GDP.bin and satatest.bin beside the program only, GDP_A.bin in the current directory only.
  std::filesystem::rename(program() / "GDP.bin", directory_ / "GDP.bin");
  EXPECT_FALSE(LoadRamCode(kPort, image_, option, 0));
  std::filesystem::rename(directory_ / "GDP_A.bin", program() / "GDP_A.bin");
  EXPECT_FALSE(LoadRamCodeA(kPort, image_, option, 0));
  EXPECT_TRUE(LoadTestRamCode(kPort, image_, 0));
  Bytes small(kRamCodeImageSize - 1);
  EXPECT_FALSE(WriteRamCodeImage(kPort, small, "satatest.bin", 0)) << "a buffer under 0xFC00 bytes";
  EXPECT_FALSE(WriteRamCodeImage(999, image_, "satatest.bin", 0)) << "no such port";
}

// A load that fails at any step gives false; the controller is never told
// to start an image it may not hold.
TEST_F(RamCode, AFailedStepEndsTheLoad) {
  const struct Case {
    const char* name;
    std::uint8_t subOp;
    drivesim::FaultKind kind;
    RunState state;
  } cases[] = {
      {"session start fails", 0x81, drivesim::FaultKind::TransportFailure, RunState::Firmware},
      {"run mode fails", 0x83, drivesim::FaultKind::TransportFailure, RunState::Firmware},
      {"image write fails", 0x87, drivesim::FaultKind::TransportFailure, RunState::Loader},
      {"read-back fails", 0x86, drivesim::FaultKind::TransportFailure, RunState::Loader},
      {"read-back half there", 0x86, drivesim::FaultKind::ShortReply, RunState::Loader},
      {"read-back all zeros", 0x86, drivesim::FaultKind::ZeroReply, RunState::Loader},
      {"read-back with a bad first byte", 0x86, drivesim::FaultKind::BadSignature, RunState::Loader},
      {"start fails", 0x82, drivesim::FaultKind::TransportFailure, RunState::Loader},
  };
  int port = kPort;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    drivesim::Drive& drive = Drive(++port);
    drivesim::FaultRule rule;
    rule.kind = c.kind;
    rule.match.subOp = c.subOp;
    rule.times = -1;
    drive.injectFault(rule);
    std::uint8_t option = 0xFF;
    EXPECT_FALSE(LoadRamCode(port, image_, option, 0));
    EXPECT_EQ(option, 0);
    EXPECT_EQ(Count(drive, 0x82), 0u) << "never started";
    EXPECT_EQ(drive.runState(), c.state);
    drive.clearFaults();
    EXPECT_TRUE(LoadRamCode(port, image_, option, 0)) << "the next load goes through";
  }
}

TEST_F(RamCode, EraseOperationPassesOnStatus14Only) {
  const struct Case {
    const char* name;
    drivesim::JobBehaviour job;
    bool passes;
  } cases[] = {
      {"status 14", drivesim::JobBehaviour{}, true},
      {"another final status", drivesim::JobBehaviour{.busyPolls = 0, .busyMs = 0, .finalStatus = 15, .stuckBusy = false},
       false},
      {"still busy at the one poll", drivesim::JobBehaviour{.busyPolls = 3, .busyMs = 0, .finalStatus = {}, .stuckBusy = false},
       false},
  };
  int port = kPort;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    drivesim::DriveConfig config = DriveFor(PortPath::OwnUsb, ++port);
    config.jobs[drivesim::Job::Operation1] = c.job;
    drivesim::Drive& drive = AttachConfigured(config, port);
    EXPECT_EQ(RunEraseOperation(port, image_, 0), c.passes);
    const auto starts = drive.wire().entries(Layer::Controller);
    const auto op1 = std::find_if(starts.begin(), starts.end(), [](const auto& e) { return e.command.at(2) == 0x01; });
    ASSERT_NE(op1, starts.end());
    EXPECT_EQ(op1->command.at(3), 0x03) << "the half-page option with the erase bit";
    EXPECT_EQ(Count(drive, 0x00), 1u) << "one status poll";
  }

  std::filesystem::remove(program() / "GDP.bin");
  drivesim::Drive& drive = Drive(++port);
  EXPECT_FALSE(RunEraseOperation(port, image_, 0)) << "no RAM code";
  EXPECT_EQ(Count(drive, 0x01), 0u) << "nothing started";
}

}  // namespace
}  // namespace devlib::testing
