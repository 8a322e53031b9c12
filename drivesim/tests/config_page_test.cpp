// The firmware's configuration page and the loader header: what a host reads
// back agrees with the drive's own answers (IDENTIFY, INQUIRY, USB
// descriptors) and with what the scenario gave it.

#include <algorithm>
#include <optional>
#include <string>

#include "drivesim/drive.h"
#include "drivesim/scenario.h"
#include "platform/clock.h"
#include "topology_test_support.h"
#include "vendor_host.h"

namespace drivesim::test {
namespace {

constexpr std::size_t kPageBytes = 4096;
constexpr std::size_t kParam = 0xa00;
constexpr std::size_t kGeometry = 0xa30;

// A drive whose page values all differ from the defaults and from each other.
DriveConfig distinctConfig(HostPath path) {
  DriveConfig c = configFor(path);
  c.serial = "TV0000004711";
  c.model = "Tolvane KWFA4X 256G";
  c.firmwareRevision = "A4X20217";
  c.inquiryVendor = "Tolvane";
  c.inquiryProduct = "KWFA4X Portable";
  c.firmwareDateCode = "110224";
  c.flashTypeWord = 0x1089;  // Samsung, 8 sectors per page, 128 pages, 8192 blocks, 1 plane
  c.flashChannels = 8;
  c.flashBanks = 4;
  c.flashChipEnables = 2;
  c.loaderBlocks = {6, 9, 12, 15};
  c.usbVendorId = 0x1e3d;
  c.usbProductId = 0x6025;
  c.usbManufacturer = "Tolvane Storage";
  c.usbProduct = "KWFA4X Portable SSD";
  c.bch24 = false;
  c.flashExtraMode = true;
  c.drvCurrent = 4;
  c.resPercentage = 0x0123;
  c.readErrorThreshold = 13;
  c.eccCopyThreshold = 11;
  c.wearLevelFrequency = 7;
  c.securityCounter = 5;
  c.optionBitsA = 0x30;
  c.optionBitsB = 0x02;
  c.featureByte = 0x5b;
  c.registerSet2 = {0x21, 0x22, 0x13, 0x04, 0x9b, 0xf5, 0x56};
  c.layoutWords = {0x0201, 0x0302, 0x0403, 0x0504};
  return c;
}

std::uint16_t le16(const Bytes& b, std::size_t at) { return static_cast<std::uint16_t>(b[at] | b[at + 1] << 8); }
std::string text(const Bytes& b, std::size_t at, std::size_t n) {
  return std::string(b.begin() + static_cast<std::ptrdiff_t>(at), b.begin() + static_cast<std::ptrdiff_t>(at + n));
}

// A string descriptor's characters, by its length byte.
std::optional<std::string> descriptorText(const Bytes& b, std::size_t at) {
  if (b[at] < 2 || b[at] % 2 != 0 || b[at + 1] != 3) return std::nullopt;
  std::string out;
  for (std::size_t i = 0; i < (b[at] - 2u) / 2; ++i) {
    if (b[at + 3 + 2 * i] != 0) return std::nullopt;
    out += static_cast<char>(b[at + 2 + 2 * i]);
  }
  return out;
}

class ConfigPage : public LineTest, public ::testing::WithParamInterface<HostPath> {
 protected:
  VendorHost& attach(const DriveConfig& config) {
    drive = &line->addDrive(config);
    device = open(config.path);
    host.emplace(*device, GetParam());
    EXPECT_TRUE(host->vendorMode(true));
    return *host;
  }
  // Memory read 0x86: parameter, address, sectors.
  std::optional<Bytes> readMemory(std::uint8_t param, std::uint32_t at, std::size_t sectors) {
    Bytes data(sectors * kSector, 0x77);
    const Bytes a = address(at);
    if (!host->send(0x86, {param, a[0], a[1], a[2], a[3]}, Direction::In, data)) return std::nullopt;
    return data;
  }
  Bytes identify() {
    Bytes data(kSector);
    if (GetParam() == HostPath::Bridge) {
      EXPECT_EQ(scsi(*device, {0xa1, 0x08, 0x0b, 0, 1, 0, 0, 0, 0xe0, 0xec, 0, 0}, Direction::In, data).scsiStatus, 0);
    } else {
      EXPECT_FALSE(ataFailed(ata(*device, {0, 1, 0, 0, 0, 0xe0, 0xec}, Direction::In, data)));
    }
    return data;
  }

  platform::clock::ScopedFastClock clock;
  Drive* drive = nullptr;
  std::unique_ptr<Device> device;
  std::optional<VendorHost> host;
};

TEST_P(ConfigPage, ParameterBlockAndFirmwareHeaderCarryTheDrivesValues) {
  const DriveConfig c = distinctConfig(GetParam());
  attach(c);
  const auto page = readMemory(3, 0, 8);
  ASSERT_TRUE(page);
  const Bytes& p = *page;

  EXPECT_EQ(text(p, 0x300, 4), "KWSS");
  EXPECT_EQ(text(p, 0x306, 6), "110224");
  EXPECT_EQ(p[0x30d], GetParam() == HostPath::OwnUsb ? 'U' : 'S') << "own USB runs USB firmware";
  EXPECT_EQ(text(p, 0x310, 8), "A4X20217");

  EXPECT_EQ(le16(p, kParam + 0), 0x1089);
  EXPECT_EQ(p[kParam + 2], 0x20) << "extra mode";
  EXPECT_EQ(p[kParam + 3], 8);
  EXPECT_EQ(p[kParam + 4], 4);
  EXPECT_EQ(p[kParam + 5], 0) << "BCH 16";
  EXPECT_EQ(p[kParam + 6], 4);
  // Samsung: bit 4; 8192 blocks in one plane: (13 - 10) << 2; 128 pages: 1.
  EXPECT_EQ(p[kParam + 7], 0x10 | 0x0c | 0x01);
  EXPECT_EQ(p[kParam + 8], 0x23);
  EXPECT_EQ(p[kParam + 26], 0x01);
  EXPECT_EQ(p[kParam + 9], 0x30);
  EXPECT_EQ(p[kParam + 10], 0x02);
  EXPECT_EQ(p[kParam + 11], 2);
  for (std::size_t i = 0; i < 4; ++i) EXPECT_EQ(le16(p, kParam + 16 + 2 * i), c.loaderBlocks[i]) << i;
  EXPECT_EQ(le16(p, kParam + 24), 64);
  EXPECT_EQ(p[kParam + 32], 13);
  EXPECT_EQ(p[kParam + 33], 11);
  EXPECT_EQ(p[kParam + 34], 7);
  EXPECT_EQ(p[kParam + 35], 5);
  EXPECT_EQ(Bytes(p.begin() + kParam + 40, p.begin() + kParam + 48), (Bytes{0, 1, 4, 5, 0, 0, 0, 0})) << "bank map";

  EXPECT_EQ(p[kGeometry + 0], 3) << "log2 channels";
  EXPECT_EQ(p[kGeometry + 1], 2) << "log2 banks, one plane";
  EXPECT_EQ(p[kGeometry + 3], 7) << "log2 pages per block";
  EXPECT_EQ(p[kGeometry + 4], 12) << "log2 blocks per plane";
  EXPECT_EQ(p[kGeometry + 5], 3) << "log2 sectors per page";
  EXPECT_EQ(p[kGeometry + 11], 1);
  EXPECT_EQ(p[kGeometry + 23], 0x5b);
  EXPECT_EQ(Bytes(p.begin() + kGeometry + 24, p.begin() + kGeometry + 31),
            Bytes(c.registerSet2.begin(), c.registerSet2.end()));
  EXPECT_EQ(p[kGeometry + 31], 0x02) << "Samsung";
  EXPECT_EQ(le16(p, kGeometry + 32), 0x0201);
  EXPECT_EQ(le16(p, kGeometry + 34), 0x0302);
  EXPECT_EQ(le16(p, kGeometry + 36), 0x0123);
  EXPECT_EQ(le16(p, kGeometry + 38), 10) << "download file 1 starts after file 0's two pages";
  EXPECT_EQ(le16(p, kGeometry + 44), 0x0403);
  EXPECT_EQ(le16(p, kGeometry + 46), 0x0504);
  EXPECT_EQ(le16(p, kGeometry + 48), 800);
  EXPECT_EQ(le16(p, kGeometry + 52), 0x0200);
}

TEST_P(ConfigPage, IdentityIsWhatTheDriveAnswers) {
  const DriveConfig c = distinctConfig(GetParam());
  attach(c);
  const auto page = readMemory(3, 0, 8);
  ASSERT_TRUE(page);
  const Bytes& p = *page;
  if (GetParam() != HostPath::OwnUsb) {
    const Bytes answered = identify();
    EXPECT_EQ(Bytes(p.begin() + 76, p.begin() + 76 + 512), answered);
    return;
  }
  EXPECT_EQ(le16(p, 100), 0x1e3d);
  EXPECT_EQ(le16(p, 102), 0x6025);
  Bytes inquiry(40);
  ASSERT_EQ(scsi(*device, {0x12, 0, 0, 0, 40, 0}, Direction::In, inquiry).scsiStatus, 0);
  EXPECT_EQ(Bytes(p.begin() + 110, p.begin() + 146), Bytes(inquiry.begin(), inquiry.begin() + 36));
  EXPECT_EQ(text(p, 118, 8), "Tolvane ");
  EXPECT_EQ(text(p, 126, 16), "KWFA4X Portable ");
  EXPECT_EQ(descriptorText(p, 158), "Tolvane Storage");
  EXPECT_EQ(descriptorText(p, 192), "KWFA4X Portable SSD");
  EXPECT_EQ(descriptorText(p, 242), "TV0000004711");

  // The USB tree shows the same descriptor.
  const auto ports = walkRootHubs(*line->deviceTree());
  const auto port = std::find_if(ports.begin(), ports.end(),
                                 [](const VisitedPort& v) { return v.info.descriptor.idVendor != 0; });
  ASSERT_NE(port, ports.end());
  EXPECT_EQ(port->info.descriptor.idVendor, 0x1e3d);
  EXPECT_EQ(port->info.descriptor.idProduct, 0x6025);
  const auto root = line->deviceTree()->openHub(port->hubPath);
  ASSERT_NE(root, nullptr);
  EXPECT_EQ(root->stringDescriptor(port->port, port->info.descriptor.iManufacturer, 0x0409), "Tolvane Storage");
  EXPECT_EQ(root->stringDescriptor(port->port, port->info.descriptor.iProduct, 0x0409), "KWFA4X Portable SSD");
}

// Parameter 3 from address 0 is the page while the firmware runs; other
// parameters, addresses past the page and other run states read memory.
TEST_P(ConfigPage, OnlyTheFirmwareMapsThePageAtAddressZero) {
  DriveConfig c = distinctConfig(GetParam());
  VendorHost& h = attach(c);
  const Bytes page = *readMemory(3, 0, 8);
  Bytes beyond(kSector, 0x5a);
  ASSERT_TRUE(h.send(0x87, {3, 0, 0, 0x10, 0}, Direction::Out, beyond));

  const auto straddling = readMemory(3, 0xe00, 2);
  ASSERT_TRUE(straddling);
  EXPECT_EQ(Bytes(straddling->begin(), straddling->begin() + 512), Bytes(page.begin() + 0xe00, page.end()));
  EXPECT_EQ(Bytes(straddling->begin() + 512, straddling->end()), beyond) << "memory after the page";
  EXPECT_EQ(*readMemory(3, 0xa00, 1), Bytes(page.begin() + 0xa00, page.begin() + 0xc00));
  EXPECT_EQ(*readMemory(2, 0, 8), Bytes(kPageBytes, 0)) << "another parameter";

  ASSERT_TRUE(h.switchRunMode(0, 0));
  ASSERT_TRUE(h.vendorMode(true));
  ASSERT_EQ(drive->runState(), RunState::Loader);
  EXPECT_EQ(*readMemory(3, 0, 8), Bytes(kPageBytes, 0)) << "the loader keeps no page";
}

INSTANTIATE_TEST_SUITE_P(Paths, ConfigPage, ::testing::Values(HostPath::OwnUsb, HostPath::Bridge, HostPath::Sata),
                         [](const auto& p) { return std::string(hostPathName(p.param)); });

// --- the loader header -----------------------------------------------------------------

class LoaderHeader : public LineTest {};

TEST_F(LoaderHeader, OnPageZeroOfEveryLoaderBlockAndChannel) {
  DriveConfig c = distinctConfig(HostPath::OwnUsb);
  c.loaderHeader = true;
  c.flashPartName = "K9GBG08U0M-PCB0";
  c.headerSequence = 0x0102;
  c.loaderFilePages = {4, 65, 75};
  Drive& drive = line->addDrive(c);

  for (const std::uint16_t block : c.loaderBlocks) {
    for (std::uint8_t channel = 0; channel < c.flashChannels; ++channel) {
      const Bytes p = drive.flashPage(channel, 0, block, 0);
      ASSERT_EQ(p.size(), 8u * kSector);
      EXPECT_EQ(text(p, 0, 16), std::string("LDBK BLOCKS V30\0", 16)) << block << "/" << int(channel);
      EXPECT_EQ(text(p, 16, 8), std::string("A4X V2 \0", 8));
      EXPECT_EQ(p[24], channel);
      EXPECT_EQ(p[25], 8);
      EXPECT_EQ(le16(p, 26), 128);
      for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(le16(p, 32 + 4 * i), c.loaderBlocks[i]);
        EXPECT_EQ(le16(p, 34 + 4 * i), 7);
      }
      EXPECT_EQ(text(p, 512, 16), std::string("LDBK CONFIG V30\0", 16));
      EXPECT_EQ(le16(p, 528), 0x0102);
      EXPECT_EQ(p[560], 3);
      EXPECT_EQ(le16(p, 564), 8);
      EXPECT_EQ(le16(p, 566), 8 + 4 + 65 + 75 - 1);
      const std::uint16_t expected[] = {8, 4, 12, 65, 77, 75};
      for (std::size_t i = 0; i < 6; ++i) EXPECT_EQ(le16(p, 568 + 2 * i), expected[i]) << i;
      EXPECT_EQ(text(p, 608, 32), std::string("K9GBG08U0M-PCB0") + std::string(17, '\0'));
      EXPECT_EQ(le16(p, 640), 12);
      EXPECT_EQ(p[644], 0x20);
      EXPECT_EQ(p[645], 0x49);
      EXPECT_EQ(p[660], 1) << "the first group's first value";
      EXPECT_EQ(p[704 - 1], 12) << "the last group's last value";
    }
  }
  EXPECT_EQ(drive.flashPage(0, 1, c.loaderBlocks[0], 0), Bytes(8 * kSector, 0xff)) << "the first chip enable only";
  EXPECT_EQ(drive.flashPage(0, 0, c.loaderBlocks[0], 1), Bytes(8 * kSector, 0xff)) << "page 0 only";
}

TEST_F(LoaderHeader, CarriesTheParameterBlockOfTheConfigurationPage) {
  DriveConfig c = distinctConfig(HostPath::Sata);
  c.loaderHeader = true;
  Drive& drive = line->addDrive(c);
  auto device = open(c.path);
  VendorHost host(*device, HostPath::Sata);
  ASSERT_TRUE(host.vendorMode(true));
  Bytes page(8 * kSector);
  ASSERT_TRUE(host.send(0x86, {3, 0, 0, 0, 0}, Direction::In, page));
  const Bytes header = drive.flashPage(3, 0, c.loaderBlocks[2], 0);
  EXPECT_EQ(Bytes(header.begin() + kParam, header.begin() + kParam + 112),
            Bytes(page.begin() + kParam, page.begin() + kParam + 112));
}

TEST_F(LoaderHeader, AbsentUnlessAskedFor) {
  const DriveConfig c = distinctConfig(HostPath::OwnUsb);
  Drive& drive = line->addDrive(c);
  EXPECT_EQ(drive.flashPage(0, 0, c.loaderBlocks[0], 0), Bytes(8 * kSector, 0xff));
}

TEST_F(LoaderHeader, SmallPagesKeepNoParameterBlock) {
  DriveConfig c = distinctConfig(HostPath::OwnUsb);
  c.flashTypeWord = 0x1088;  // 4 sectors per page
  c.loaderHeader = true;
  Drive& drive = line->addDrive(c);
  const Bytes p = drive.flashPage(0, 0, c.loaderBlocks[0], 0);
  ASSERT_EQ(p.size(), 4u * kSector);
  EXPECT_EQ(text(p, 0, 4), "LDBK");
  EXPECT_EQ(text(p, 608, 4), c.flashPartName.substr(0, 4));
}

// --- scenario keys ----------------------------------------------------------------------

TEST(ConfigPageScenario, KeysSetTheDrivesValues) {
  const auto load = parseScenario(
      "[drive]\npath = /dev/sdb\nfrontend = own-usb\n"
      "usbvid = 0x1e3d\nusbpid = 0x6025\nusbmanufacturer = Tolvane Storage\nusbproduct = KWFA4X Portable SSD\n"
      "partname = TH58TEG8DDKTA20\necc = bch16\nextramode = yes\ndrvcurrent = 5\nrespercentage = 120\n"
      "readthreshold = 14\ncopythreshold = 12\nwearlevel = 9\nsecuritycounter = 6\noptionsa = 0x20\n"
      "optionsb = 0x04\nfeaturebyte = 0x4a\nregset2 = 212113009BF954\nlayoutwords = 40 1 39 2\n"
      "loaderheader = yes\nloaderfiles = 3 60\n"
      "flashpage = all 0 0 0 560 01\n");
  ASSERT_TRUE(load.line) << load.error;
  Drive* drive = load.line->drive("/dev/sdb");
  ASSERT_NE(drive, nullptr);
  const DriveConfig& c = drive->config();
  EXPECT_EQ(c.usbVendorId, 0x1e3d);
  EXPECT_EQ(c.usbProductId, 0x6025);
  EXPECT_EQ(c.usbManufacturer, "Tolvane Storage");
  EXPECT_EQ(c.usbProduct, "KWFA4X Portable SSD");
  EXPECT_EQ(c.flashPartName, "TH58TEG8DDKTA20");
  EXPECT_FALSE(c.bch24);
  EXPECT_TRUE(c.flashExtraMode);
  EXPECT_EQ(c.drvCurrent, 5);
  EXPECT_EQ(c.resPercentage, 120);
  EXPECT_EQ(c.readErrorThreshold, 14);
  EXPECT_EQ(c.eccCopyThreshold, 12);
  EXPECT_EQ(c.wearLevelFrequency, 9);
  EXPECT_EQ(c.securityCounter, 6);
  EXPECT_EQ(c.optionBitsA, 0x20);
  EXPECT_EQ(c.optionBitsB, 0x04);
  EXPECT_EQ(c.featureByte, 0x4a);
  EXPECT_EQ(c.registerSet2, (std::array<std::uint8_t, 7>{0x21, 0x21, 0x13, 0x00, 0x9b, 0xf9, 0x54}));
  EXPECT_EQ(c.layoutWords, (std::array<std::uint16_t, 4>{40, 1, 39, 2}));
  EXPECT_TRUE(c.loaderHeader);
  EXPECT_EQ(c.loaderFilePages, (std::vector<std::uint16_t>{3, 60}));
  // A flashpage line goes over the header the drive was given.
  const Bytes header = drive->flashPage(1, 0, c.loaderBlocks[0], 0);
  EXPECT_EQ(text(header, 0, 4), "LDBK");
  EXPECT_EQ(header[560], 1);
  EXPECT_EQ(le16(header, 568 + 4), 11) << "the rest of the header stays";
}

struct BadKey {
  const char* name;
  const char* line;
  const char* expected;
};

class ConfigPageBadKeys : public ::testing::TestWithParam<BadKey> {};

TEST_P(ConfigPageBadKeys, AreRefusedNamingTheLine) {
  const auto load = parseScenario(std::string("[drive]\npath = /dev/sdb\nfrontend = sata\n") + GetParam().line);
  EXPECT_FALSE(load.line);
  EXPECT_NE(load.error.find("line 4"), std::string::npos) << load.error;
  EXPECT_NE(load.error.find(GetParam().expected), std::string::npos) << load.error;
}

INSTANTIATE_TEST_SUITE_P(
    Keys, ConfigPageBadKeys,
    ::testing::Values(BadKey{"vidTooLarge", "usbvid = 0x10000\n", "0 to 65535"},
                      BadKey{"manufacturerTooLong", "usbmanufacturer = 12345678901234567\n", "at most 16"},
                      BadKey{"partNameTooLong", "partname = 12345678901234567890123456789012\n", "at most 31"},
                      BadKey{"eccWord", "ecc = bch8\n", "bch16 or bch24"},
                      BadKey{"drvCurrentAboveFive", "drvcurrent = 6\n", "0 to 5"},
                      BadKey{"reserveAboveAll", "respercentage = 1001\n", "0 to 1000"},
                      BadKey{"registerSetShort", "regset2 = 2121130098F9\n", "fourteen hex digits"},
                      BadKey{"threeLayoutWords", "layoutwords = 1 2 3\n", "four numbers"},
                      BadKey{"nineFiles", "loaderfiles = 1 1 1 1 1 1 1 1 1\n", "one to eight"},
                      BadKey{"headerWord", "loaderheader = maybe\n", "yes or no"}),
    CaseName{});

}  // namespace
}  // namespace drivesim::test
