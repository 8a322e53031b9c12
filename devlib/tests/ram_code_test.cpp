// RAM code images: the parameter block the host writes (both variants, as
// golden bytes), the table area size, the load sequence against the emulated
// controller, and damaged or missing images.

#include "devlib/ram_code.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <filesystem>
#include <vector>

#include "devlib/flash_params.h"
#include "devlib/port_io.h"
#include "drivesim/config.h"
#include "emulated_port.h"
#include "platform/paths.h"
#include "testsupport/ram_code_images.h"

namespace devlib::testing {
namespace {

using Bytes = std::vector<std::uint8_t>;
constexpr int kPort = 2;

// A fixed part and port whose parameter block is spelt out byte by byte below.
FlashParams GoldenPart() {
  FlashParams p;
  p.setting.typeWord = 0x224A;
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
      {0, 0x4A}, {1, 0x22}, {2, 0x22}, {3, 4},  {4, 2},  {5, 1},     {6, 3},  {7, 0x21},
      {8, 0x44}, {9, 0x39}, {10, 0x22}, {11, 2}, {16, 2}, {18, 3},   {20, 0x10}, {22, 0x11},
      {24, 64},  {26, 0x01}};
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
  const std::pair<std::size_t, std::uint8_t> sizes[] = {{74, 0x93}, {76, 0x45}, {78, 0x01}, {80, 8},
                                                        {82, 40},   {86, 0x02}, {87, 0x01}, {88, 0x07}, {89, 0x48}};
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

class RamCode : public EmulatedLineTest {
 protected:
  void SetUp() override {
    EmulatedLineTest::SetUp();
    InitPortIoTable(ProgramKind::Fleetburn);
    previousParams_ = *CurrentFlashParams();
    PublishFlashParams(GoldenPart());
    previousDirectory_ = std::filesystem::current_path();
    directory_ = std::filesystem::temp_directory_path() / ("ram-code-" + std::to_string(::getpid()));
    std::filesystem::create_directories(directory_ / "program");
    std::filesystem::current_path(directory_);
    platform::paths::setProgramDirectory(directory_ / "program");
    testsupport::WriteRamCodeImages(directory_ / "program", directory_);
  }
  void TearDown() override {
    platform::paths::setProgramDirectory({});
    std::filesystem::current_path(previousDirectory_);
    std::filesystem::remove_all(directory_);
    PublishFlashParams(previousParams_);
    EmulatedLineTest::TearDown();
  }
  drivesim::Drive& Drive() {
    drivesim::Drive& drive = Attach(kPort, PortPath::OwnUsb);
    GoldenPort(*PortIo(kPort));
    return drive;
  }
  Bytes image_ = Bytes(kRamCodeImageSize);
  FlashParams previousParams_;
  std::filesystem::path previousDirectory_, directory_;
};

TEST_F(RamCode, LoadWritesTheGoldenParameterBlockAndStartsTheImage) {
  drivesim::Drive& drive = Drive();
  std::uint8_t option = 0xFF;
  ASSERT_TRUE(LoadRamCode(kPort, image_, option, 0));
  EXPECT_EQ(option, 0x02) << "a half-page part";
  EXPECT_EQ(drive.runState(), drivesim::RunState::GdpRamCode);
  EXPECT_EQ(drive.memory(0x40000000 + 0xA00, 0x78), RamCodeBlock());
  // Everything else of the image went as the file holds it.
  const Bytes file = testsupport::RamCodeImageBytes("GDP_", "GDP110");
  EXPECT_EQ(drive.memory(0x40000000, 0xA00), Bytes(file.begin(), file.begin() + 0xA00));
}

TEST_F(RamCode, EachImageEndsInItsOwnRunState) {
  drivesim::Drive& drive = Drive();
  ASSERT_TRUE(LoadTestRamCode(kPort, image_, 0));
  EXPECT_EQ(drive.runState(), drivesim::RunState::TstRamCode);
  std::uint8_t option = 0;
  ASSERT_TRUE(LoadRamCodeA(kPort, image_, option, 0));
  EXPECT_EQ(drive.runState(), drivesim::RunState::GdpARamCode);
}

TEST_F(RamCode, FirmwarePagesGetTheFirmwareTail) {
  Drive();
  Bytes page(0x1000, 0xEE);
  ASSERT_TRUE(FillFirmwareParams(kPort, page));
  ASSERT_TRUE(FillFirmwareGeometry(kPort, page));
  EXPECT_EQ(Bytes(page.begin() + 0xA00, page.begin() + 0xA78), FirmwareBlock());
  EXPECT_EQ(page[0x9FF], 0xEE);
  EXPECT_EQ(page[0xA78], 0xEE);

  FlashParams noReserve = GoldenPart();
  noReserve.resPercentage = 0;
  PublishFlashParams(noReserve);
  Bytes untouched(0x1000, 0xEE);
  EXPECT_FALSE(FillFirmwareGeometry(kPort, untouched)) << "no reserve: the shift search would never end";
  EXPECT_EQ(untouched, Bytes(0x1000, 0xEE));
}

TEST(TableAreaSizeTest, VersionElevenSizing) {
  FlashParams p;
  p.setting.banks = 2;
  p.setting.channels = 8;
  p.geometry.sectorsPerPage = 4;
  p.geometry.blockValue = 2048;
  p.geometry.pagesPerBlock = 128;
  p.resPercentage = 68;
  EXPECT_EQ(TableAreaSize(p, 0), 4784128u);  // 4 767 744 in 16 KiB units, then a multiple of 32 KiB
  p.geometry.sectorsPerPage = 0;
  EXPECT_EQ(TableAreaSize(p, 0), 4767744u) << "no page size: the 16 KiB units stand";
}

// Option bit 0x08: more than two banks, or two with option 3.
TEST_F(RamCode, BankOptionBit) {
  Drive();
  const struct {
    std::uint8_t banks;
    bool option3;
    bool bit;
  } cases[] = {{2, false, false}, {2, true, true}, {4, false, true}, {1, true, false}};
  for (const auto& c : cases) {
    FlashParams p = GoldenPart();
    p.setting.banks = c.banks;
    p.firmwareOptions[3] = c.option3 ? 1 : 0;
    PublishFlashParams(p);
    Bytes head(40);
    ASSERT_TRUE(FillParamHead(kPort, head));
    EXPECT_EQ((head[9] & 0x08) != 0, c.bit) << int{c.banks} << " banks, option 3 " << c.option3;
  }
}

TEST_F(RamCode, ImageFilesAsTheyCome) {
  drivesim::Drive& drive = Drive();
  // A short image loads, its tail 0x66.
  testsupport::WriteImageFile(directory_ / "program" / "GDP.bin", testsupport::RamCodeImageBytes("GDP_", "GDP110", 40000));
  std::uint8_t option = 0;
  ASSERT_TRUE(LoadRamCode(kPort, image_, option, 0));
  EXPECT_EQ(drive.memory(0x40000000 + 40000, 24512), Bytes(24512, 0x66));
  // An image without a known magic goes unchanged (and is not started by the controller).
  testsupport::WriteImageFile(directory_ / "program" / "GDP.bin", testsupport::RamCodeImageBytes("XXXX", "GDP110"));
  EXPECT_FALSE(LoadRamCode(kPort, image_, option, 0));
  const Bytes file = testsupport::RamCodeImageBytes("XXXX", "GDP110");
  EXPECT_EQ(drive.memory(0x40000000 + 0xA00, 0x78), Bytes(file.begin() + 0xA00, file.begin() + 0xA78));
  // An empty file and a missing one send nothing.
  testsupport::WriteImageFile(directory_ / "program" / "GDP.bin", {});
  EXPECT_FALSE(WriteRamCodeImage(kPort, image_, "GDP.bin", 0));
  std::filesystem::remove(directory_ / "program" / "GDP.bin");
  EXPECT_FALSE(WriteRamCodeImage(kPort, image_, "GDP.bin", 0));
  Bytes small(100);
  EXPECT_FALSE(WriteRamCodeImage(kPort, small, "satatest.bin", 0)) << "a buffer under 0xFC00 bytes";
}

// The memory read (vendor sub-op 0x86) that reads the image back.
drivesim::FaultRule ReadBackFault(drivesim::FaultKind kind) {
  drivesim::FaultRule rule;
  rule.kind = kind;
  rule.match.subOp = 0x86;
  return rule;
}

TEST_F(RamCode, AFailedOrDifferentReadBackStopsBeforeTheStart) {
  drivesim::Drive& drive = Drive();
  drive.injectFault(ReadBackFault(drivesim::FaultKind::ShortReply));
  std::uint8_t option = 0;
  EXPECT_FALSE(LoadRamCode(kPort, image_, option, 0));
  EXPECT_EQ(drive.runState(), drivesim::RunState::Loader) << "the image was never started";
  drive.injectFault(ReadBackFault(drivesim::FaultKind::TransportFailure));
  EXPECT_FALSE(LoadRamCode(kPort, image_, option, 0));
  EXPECT_EQ(drive.runState(), drivesim::RunState::Loader);
  EXPECT_TRUE(LoadRamCode(kPort, image_, option, 0)) << "the next load goes through";
}

TEST_F(RamCode, EraseOperationPassesOnStatus14Only) {
  drivesim::DriveConfig config = DriveFor(PortPath::OwnUsb, kPort);
  config.jobs[drivesim::Job::Operation1] = drivesim::JobBehaviour{};
  line_->addDrive(config);
  WirePort(kPort, config.path, PortPath::OwnUsb);
  GoldenPort(*PortIo(kPort));
  EXPECT_TRUE(RunEraseOperation(kPort, image_, 0));

  drivesim::DriveConfig failing = DriveFor(PortPath::OwnUsb, kPort + 1);
  drivesim::JobBehaviour fails;
  fails.finalStatus = 15;
  failing.jobs[drivesim::Job::Operation1] = fails;
  line_->addDrive(failing);
  WirePort(kPort + 1, failing.path, PortPath::OwnUsb);
  EXPECT_FALSE(RunEraseOperation(kPort + 1, image_, 0));

  drivesim::DriveConfig slow = DriveFor(PortPath::OwnUsb, kPort + 2);
  drivesim::JobBehaviour busy;
  busy.busyPolls = 3;
  slow.jobs[drivesim::Job::Operation1] = busy;
  line_->addDrive(slow);
  WirePort(kPort + 2, slow.path, PortPath::OwnUsb);
  EXPECT_FALSE(RunEraseOperation(kPort + 2, image_, 0)) << "one poll only: still busy is no pass";
}

}  // namespace
}  // namespace devlib::testing
