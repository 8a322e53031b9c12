// A firmware download in the loader blocks: the loader boots it (header
// texts, file table, end markers) and the drive then answers with the
// identity the download carries; the loader's header sequence; operation 1
// erasing the loader blocks or checking the defect tables; one program per
// page between erases; flash faults at a chosen block and page.

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "drivesim/drive.h"
#include "platform/clock.h"
#include "topology_test_support.h"
#include "vendor_host.h"

namespace drivesim::test {
namespace {

// 8 sectors per page (4 KiB), 64 pages per block, 2048 blocks, two planes;
// two channels on chip enables 0 and 1.
constexpr std::uint16_t kTypeWord = 0x0201;
constexpr std::size_t kPage = 8 * kSector;
constexpr std::uint16_t kLoaderBlocks[] = {0, 1, 2, 3};

void putText(Bytes& page, std::size_t at, const std::string& text) {
  std::copy(text.begin(), text.end(), page.begin() + static_cast<std::ptrdiff_t>(at));
}

void putLe16(Bytes& page, std::size_t at, std::uint16_t value) {
  page[at] = static_cast<std::uint8_t>(value);
  page[at + 1] = static_cast<std::uint8_t>(value >> 8);
}

// ATA string order, blank-padded: character i at byte i XOR 1 of the field.
void putAtaText(Bytes& page, std::size_t at, std::size_t bytes, const std::string& text) {
  for (std::size_t i = 0; i < bytes; ++i) page[at + (i ^ 1)] = static_cast<std::uint8_t>(i < text.size() ? text[i] : ' ');
}

void putStringDescriptor(Bytes& page, std::size_t at, const std::string& text) {
  page[at] = static_cast<std::uint8_t>(2 * text.size() + 2);
  page[at + 1] = 3;
  for (std::size_t i = 0; i < text.size(); ++i) {
    page[at + 2 + 2 * i] = static_cast<std::uint8_t>(text[i]);
    page[at + 3 + 2 * i] = 0;
  }
}

struct FileSpan {
  std::uint16_t start, pages;
};

// A download as the host leaves it: Init (pages 8-9), the SATA bin (10-12,
// its identity page 11) and the USB bin (13-14, identity page 13).
struct Download {
  std::uint16_t sequence = 4;
  std::vector<FileSpan> files{{8, 2}, {10, 3}, {13, 2}};
  std::map<std::uint16_t, Bytes> pages;  // by page number, channel 0's copy

  Download() {
    pages[0] = header();
    for (std::uint16_t p = 8; p <= 14; ++p) {
      Bytes page(kPage);
      for (std::size_t i = 0; i < kPage; ++i) page[i] = static_cast<std::uint8_t>(i * 7 + p);
      pages[p] = page;
    }
    putText(pages[8], 0x300, "INT");
    sataIdentity(pages[11]);
    usbIdentity(pages[13]);
    for (const FileSpan& f : files) endMarker(static_cast<std::uint16_t>(f.start + f.pages - 1));
  }

  Bytes header() const {
    Bytes page(kPage, 0);
    putText(page, 0, "LDBK BLOCKS V30");
    putText(page, 16, "A4X V2 ");
    page[25] = 8;
    putLe16(page, 26, 64);
    putText(page, 512, "LDBK CONFIG V30");
    putLe16(page, 528, sequence);
    page[560] = static_cast<std::uint8_t>(files.size());
    putLe16(page, 564, 8);
    putLe16(page, 566, 14);
    for (std::size_t i = 0; i < files.size(); ++i) {
      putLe16(page, 568 + 4 * i, files[i].start);
      putLe16(page, 570 + 4 * i, files[i].pages);
    }
    return page;
  }

  static void firmwareHeader(Bytes& page, char mode, const std::string& dateCode) {
    std::fill(page.begin() + 0x300, page.begin() + 0x333, std::uint8_t{' '});
    putText(page, 0x300, "KWSS");
    putText(page, 0x306, dateCode);
    page[0x30d] = static_cast<std::uint8_t>(mode);
  }

  static void sataIdentity(Bytes& page) {
    std::fill(page.begin() + 76, page.begin() + 76 + 512, std::uint8_t{0});
    putLe16(page, 76, 0x0040);
    putAtaText(page, 96, 20, "DL-SERIAL-0042");
    putAtaText(page, 122, 8, "DLREV777");
    putAtaText(page, 130, 40, "Downloaded Model X");
    page[76 + 510] = 0xa5;
    firmwareHeader(page, 'S', "120105");
  }

  static void usbIdentity(Bytes& page) {
    putLe16(page, 100, 0x1234);
    putLe16(page, 102, 0x5678);
    std::fill(page.begin() + 110, page.begin() + 146, std::uint8_t{0});
    page[111] = 0x80;
    putText(page, 118, "DLVENDOR");
    putText(page, 126, "Downloaded Disk ");
    putText(page, 142, "9.87");
    putStringDescriptor(page, 158, "DL Maker");
    putStringDescriptor(page, 192, "DL Product");
    putStringDescriptor(page, 242, "DLUSB01");
    firmwareHeader(page, 'U', "120105");
  }

  void endMarker(std::uint16_t page) {
    Bytes& bytes = pages[page];
    const Bytes marker{0x55, 0xaa, 0xec, 0x31};
    std::copy(marker.begin(), marker.end(), bytes.end() - 4);
  }

  // Every loader block, both channels (byte 24 of the header: the channel).
  void putInto(Drive& drive) const {
    for (const std::uint16_t block : kLoaderBlocks) {
      for (std::uint8_t channel = 0; channel < 2; ++channel) {
        for (const auto& [number, bytes] : pages) {
          Bytes copy = bytes;
          if (number == 0) copy[24] = channel;
          ASSERT_TRUE(drive.putFlashBytes(channel, 0, block, number, 0, copy));
        }
      }
    }
  }
};

DriveConfig flashConfig(DriveConfig config) {
  config.flashTypeWord = kTypeWord;
  config.flashChannels = 2;
  config.flashBanks = 2;
  config.flashChipEnables = 2;
  config.loaderBlocks = {kLoaderBlocks[0], kLoaderBlocks[1], kLoaderBlocks[2], kLoaderBlocks[3]};
  return config;
}

class BootTest : public LineTest {
 protected:
  Drive& attach(HostPath path, RunState state = RunState::Loader, std::function<void(DriveConfig&)> tweak = {}) {
    DriveConfig config = flashConfig(configFor(path));
    config.runState = state;
    if (tweak) tweak(config);
    drive = &line->addDrive(config);
    device = open(config.path);
    host.emplace(*device, path);
    return *drive;
  }

  // Vendor mode, then the switch as the host makes it (argument 1 behind ATA).
  bool switchTo(std::uint8_t mode) { return host->vendorMode(true) && host->switchRunMode(mode, host->tunnelled()); }

  Bytes identify() {
    Bytes data(kSector, 0);
    EXPECT_FALSE(ataFailed(ata(*device, {0, 1, 0, 0, 0, 0xe0, 0xec}, Direction::In, data)));
    return data;
  }

  static std::string ataText(const Bytes& image, int firstWord, int words) {
    std::string text;
    for (int i = 0; i < 2 * words; ++i) text += static_cast<char>(image[(2 * firstWord + i) ^ 1]);
    while (!text.empty() && text.back() == ' ') text.pop_back();
    return text;
  }

  Bytes inquiry() {
    Bytes data(40, 0);
    EXPECT_EQ(scsi(*device, {0x12, 0, 0, 0, 40, 0}, Direction::In, data).scsiStatus, 0);
    return data;
  }

  // The note of the last set-run-mode block.
  std::string runModeNote() const {
    std::string note;
    for (const auto& e : drive->wire().entries(Layer::Controller)) {
      if (e.command.size() > 2 && e.command[2] == 0x83) note = e.note;
    }
    return note;
  }

  platform::clock::ScopedFastClock clock;
  Drive* drive = nullptr;
  std::unique_ptr<Device> device;
  std::optional<VendorHost> host;
};

// --- booting the download -------------------------------------------------------------

TEST_F(BootTest, SataFirmwareServesTheDownloadedIdentify) {
  attach(HostPath::Sata);
  Download().putInto(*drive);
  ASSERT_TRUE(switchTo(2));
  EXPECT_EQ(drive->runState(), RunState::Firmware);
  EXPECT_NE(runModeNote().find("file 1 booted"), std::string::npos) << runModeNote();
  const Bytes image = identify();
  EXPECT_EQ(ataText(image, 27, 20), "Downloaded Model X");
  EXPECT_EQ(ataText(image, 10, 10), "DL-SERIAL-0042");
  EXPECT_EQ(ataText(image, 23, 4), "DLREV777");
  const std::uint64_t sectors = drive->config().sectorCount;
  EXPECT_EQ(word(image, 100) | std::uint64_t{word(image, 101)} << 16 | std::uint64_t{word(image, 102)} << 32,
            sectors) << "the medium's capacity";
  unsigned sum = 0;
  for (const auto b : image) sum += b;
  EXPECT_EQ(sum & 0xff, 0u) << "checksum over the changed words";

  // libata's INQUIRY follows the model, and the configuration page carries the image.
  const Bytes scsiInquiry = inquiry();
  EXPECT_EQ(std::string(scsiInquiry.begin() + 16, scsiInquiry.begin() + 32), "Downloaded Model");
  ASSERT_TRUE(host->vendorMode(true));
  Bytes configPage(8 * kSector, 0);
  ASSERT_TRUE(host->send(0x86, {3, 0, 0, 0, 0}, Direction::In, configPage));
  Bytes expected = Download().pages[11];
  EXPECT_EQ(Bytes(configPage.begin() + 96, configPage.begin() + 170), Bytes(expected.begin() + 96, expected.begin() + 170));
}

TEST_F(BootTest, UsbFirmwareServesTheDownloadedInquiry) {
  attach(HostPath::OwnUsb);
  Download().putInto(*drive);
  ASSERT_TRUE(switchTo(3));
  EXPECT_EQ(drive->runState(), RunState::Firmware);
  const Bytes data = inquiry();
  EXPECT_EQ(std::string(data.begin() + 8, data.begin() + 16), "DLVENDOR");
  EXPECT_EQ(std::string(data.begin() + 16, data.begin() + 32), "Downloaded Disk ");
  EXPECT_EQ(std::string(data.begin() + 32, data.begin() + 36), "9.87");
  EXPECT_EQ(data[1] & 0x80, 0x80);

  Bytes configPage(8 * kSector, 0);
  ASSERT_TRUE(host->send(0x86, {3, 0, 0, 0, 0}, Direction::In, configPage));
  EXPECT_EQ(word(Bytes(configPage.begin() + 100, configPage.begin() + 104), 0), 0x1234);
  EXPECT_EQ(word(Bytes(configPage.begin() + 100, configPage.begin() + 104), 1), 0x5678);
  EXPECT_EQ(configPage[158], 2 * 8 + 2);
  EXPECT_EQ(configPage[160], 'D');
}

// --- re-enumeration -------------------------------------------------------------------

// What the host sees of the drive's USB device on its port of the line's one root hub.
struct SeenDevice {
  std::uint16_t vendorId = 0;
  std::uint16_t productId = 0;
  std::string manufacturer, product, serial, instanceId, diskParent;
};

SeenDevice seenOnPort1(pd::DeviceTree& tree) {
  SeenDevice seen;
  const auto hub = tree.openHub(tree.listHubInterfaces().at(0).path);
  EXPECT_TRUE(hub);
  if (!hub) return seen;
  const auto info = hub->connectionInfo(1);
  EXPECT_TRUE(info && info->status == pd::PortStatus::DeviceConnected);
  if (!info) return seen;
  seen.vendorId = info->descriptor.idVendor;
  seen.productId = info->descriptor.idProduct;
  const auto text = [&](std::uint8_t index) {
    return index == 0 ? std::string() : hub->stringDescriptor(1, index, 0).value_or("");
  };
  seen.manufacturer = text(info->descriptor.iManufacturer);
  seen.product = text(info->descriptor.iProduct);
  seen.serial = text(info->descriptor.iSerialNumber);
  if (const auto key = hub->driverKey(1)) seen.instanceId = tree.findDeviceIdByDriverKey(*key).value_or("");
  const auto disks = tree.listUsbDisks();
  if (disks.size() == 1) seen.diskParent = disks[0].parentUsbDeviceId;
  return seen;
}

class Reenumeration : public BootTest {
 protected:
  void SetUp() override {
    attach(HostPath::OwnUsb, RunState::Firmware);
    before = seenOnPort1(*line->deviceTree());
    subscription = line->deviceTree()->subscribe(recorder.callback());
  }
  std::vector<pd::DeviceEvent> heard() {
    line->deviceTree()->waitForDelivery();
    return recorder.take();
  }

  SeenDevice before;
  EventRecorder recorder;
  std::unique_ptr<pd::Subscription> subscription;
};

// The drive resets into the downloaded USB firmware: it leaves the host and
// comes back with the descriptors of the download's identity page.
TEST_F(Reenumeration, BootingADownloadedUsbFirmwareReannouncesTheDriveWithItsNewDescriptors) {
  EXPECT_EQ(before.vendorId, drive->config().usbVendorId);
  Download().putInto(*drive);
  ASSERT_TRUE(switchTo(3));
  ASSERT_EQ(drive->runState(), RunState::Firmware);

  const SeenDevice after = seenOnPort1(*line->deviceTree());
  EXPECT_EQ(after.vendorId, 0x1234);
  EXPECT_EQ(after.productId, 0x5678);
  EXPECT_EQ(after.manufacturer, "DL Maker");
  EXPECT_EQ(after.product, "DL Product");
  EXPECT_EQ(after.serial, "DLUSB01");
  EXPECT_EQ(after.instanceId, "usb\\vid_1234&pid_5678\\dlusb01");
  EXPECT_EQ(after.diskParent, after.instanceId) << "the disk hangs on the device as it came back";

  const std::vector<pd::DeviceEvent> events = heard();
  ASSERT_EQ(events.size(), 4u) << ::testing::PrintToString(describe(events));
  EXPECT_EQ(describe(events[0]).substr(0, 6), "-disk ");
  EXPECT_EQ(describe(events[1]), "-usb " + before.instanceId);
  EXPECT_EQ(describe(events[2]), "+usb " + after.instanceId);
  EXPECT_EQ(describe(events[3]).substr(0, 6), "+disk ");
}

// Back in the loader the built-in identity stands again, with another reset.
TEST_F(Reenumeration, LeavingTheDownloadedFirmwareGivesBackTheDrivesOwnIdentity) {
  Download().putInto(*drive);
  ASSERT_TRUE(switchTo(3));
  heard();
  ASSERT_TRUE(switchTo(0));
  const SeenDevice again = seenOnPort1(*line->deviceTree());
  EXPECT_EQ(again.vendorId, before.vendorId);
  EXPECT_EQ(again.productId, before.productId);
  EXPECT_EQ(again.instanceId, before.instanceId);
  EXPECT_EQ(heard().size(), 4u);
}

// The same firmware again (a run-mode switch without a new download) is no new device.
TEST_F(Reenumeration, ASwitchThatKeepsTheIdentityAnnouncesNothing) {
  ASSERT_TRUE(switchTo(3));
  ASSERT_EQ(drive->runState(), RunState::Firmware) << "the built-in firmware";
  EXPECT_TRUE(heard().empty());
  EXPECT_EQ(seenOnPort1(*line->deviceTree()).vendorId, before.vendorId);
}

// A power cycle boots the download at once: the drive arrives as the new device.
TEST_F(Reenumeration, PluggingBackInArrivesWithTheDownloadedIdentity) {
  Download().putInto(*drive);
  device.reset();
  drive->unplug();
  drive->plug();
  const std::vector<std::string> events = describe(heard());
  ASSERT_EQ(events.size(), 4u) << ::testing::PrintToString(events);
  EXPECT_EQ(events[1], "-usb " + before.instanceId);
  EXPECT_EQ(events[2], "+usb usb\\vid_1234&pid_5678\\dlusb01");
}

// Behind a bridge the USB device is the bridge's: the drive's new firmware does not change it.
TEST_F(BootTest, ABridgedDriveBootingADownloadKeepsTheBridgesDevice) {
  attach(HostPath::Bridge);
  const SeenDevice before = seenOnPort1(*line->deviceTree());
  EventRecorder recorder;
  const auto subscription = line->deviceTree()->subscribe(recorder.callback());
  Download().putInto(*drive);
  ASSERT_TRUE(switchTo(2));
  ASSERT_EQ(drive->runState(), RunState::Firmware);
  line->deviceTree()->waitForDelivery();
  EXPECT_TRUE(recorder.take().empty());
  EXPECT_EQ(seenOnPort1(*line->deviceTree()).instanceId, before.instanceId);
}

// The power-up runs the same boot; the flash outlives the power cycle.
TEST_F(BootTest, PowerCycleBootsTheDownloadAgain) {
  attach(HostPath::Sata, RunState::Firmware);
  EXPECT_EQ(ataText(identify(), 27, 20), drive->config().model) << "nothing downloaded yet";
  Download().putInto(*drive);
  device.reset();
  drive->unplug();
  drive->plug();
  device = open(kSataPath);
  EXPECT_EQ(drive->runState(), RunState::Firmware);
  EXPECT_EQ(ataText(identify(), 27, 20), "Downloaded Model X");
}

TEST_F(BootTest, WithoutDownloadedPagesTheBuiltInFirmwareRuns) {
  attach(HostPath::Sata, RunState::Loader, [](DriveConfig& c) { c.loaderHeader = true; });
  ASSERT_TRUE(switchTo(2));
  EXPECT_EQ(drive->runState(), RunState::Firmware);
  EXPECT_EQ(ataText(identify(), 27, 20), drive->config().model);
}

// The download's date code decides which physical page read the firmware serves.
TEST_F(BootTest, DownloadedDateCodeChoosesTheOlderPageRead) {
  attach(HostPath::Sata);
  Download download;
  putText(download.pages[11], 0x306, "110222");
  download.putInto(*drive);
  ASSERT_TRUE(switchTo(2));
  ASSERT_TRUE(host->vendorMode(true));
  Bytes reply(64 * kSector, 0);
  EXPECT_TRUE(host->send(0x04, {8, 0, 0, 20, 0, 9, 0, 0}, Direction::In, reply)) << "selector 8: older firmware";
  EXPECT_FALSE(host->send(0x04, {15, 0, 0, 20, 0, 9, 0, 0}, Direction::In, reply));
}

struct BrokenCase {
  const char* name;
  std::function<void(Download&)> damage;
  std::uint8_t mode;
  const char* why;  // part of the set-run-mode note
};

class BrokenDownload : public BootTest, public ::testing::WithParamInterface<BrokenCase> {};

TEST_P(BrokenDownload, LeavesTheLoaderRunningAndSaysWhy) {
  attach(HostPath::Sata);
  Download download;
  GetParam().damage(download);
  download.putInto(*drive);
  ASSERT_TRUE(switchTo(GetParam().mode)) << "the switch itself is taken";
  EXPECT_EQ(drive->runState(), RunState::Loader);
  EXPECT_NE(runModeNote().find(GetParam().why), std::string::npos) << runModeNote();
  EXPECT_EQ(ataText(identify(), 27, 20), drive->config().loaderModel);
}

void rebuildHeader(Download& d) { d.pages[0] = d.header(); }

INSTANTIATE_TEST_SUITE_P(
    Checks, BrokenDownload,
    ::testing::Values(
        BrokenCase{"blocksText", [](Download& d) { d.pages[0][5] = 'b'; }, 2, "no loader block carries"},
        BrokenCase{"configText", [](Download& d) { d.pages[0][512 + 14] = '1'; }, 2, "no loader block carries"},
        BrokenCase{"configTextUnterminated", [](Download& d) { d.pages[0][512 + 15] = '!'; }, 2,
                   "no loader block carries"},
        BrokenCase{"noFiles", [](Download& d) { d.files.clear(); rebuildHeader(d); }, 2, "file table: 0 files"},
        BrokenCase{"fileWithoutPages", [](Download& d) { d.files[1].pages = 0; rebuildHeader(d); }, 2,
                   "file 1 (pages 10 + 0) lies outside"},
        BrokenCase{"filePastLastPage", [](Download& d) { d.files[2].pages = 3; rebuildHeader(d); }, 2,
                   "file 2 (pages 13 + 3) lies outside"},
        BrokenCase{"lastPageBeyondBlock", [](Download& d) { putLe16(d.pages[0], 566, 64); }, 2,
                   "do not fit the block"},
        BrokenCase{"initWithoutEndMarker", [](Download& d) { d.pages[9][kPage - 1] = 0; }, 2,
                   "file 0 has no end marker in page 9"},
        BrokenCase{"otherFileWithoutEndMarker", [](Download& d) { d.pages[14][kPage - 4] = 0xff; }, 2,
                   "file 2 has no end marker in page 14"},
        BrokenCase{"markerBeforeTheLastPage",
                   [](Download& d) {
                     d.pages[12][kPage - 4] = 0;
                     d.endMarker(11);
                   },
                   2, "file 1 has no end marker in page 12"},
        BrokenCase{"noIdentityPage", [](Download& d) { d.pages[11][0x300] = 'X'; }, 2, "no KWSS page with mode S or U"},
        BrokenCase{"otherMode", [](Download& d) { d.pages[11][0x30d] = 'X'; }, 2, "no KWSS page with mode S or U"},
        BrokenCase{"modeThreeWithTwoFiles", [](Download& d) { d.files.pop_back(); rebuildHeader(d); }, 3,
                   "run mode 3 needs file 2, the table lists 2"}),
    CaseName{});

// The loader takes the first block whose header passes.
TEST_F(BootTest, HeaderOfALaterLoaderBlockServes) {
  attach(HostPath::Sata);
  Download().putInto(*drive);
  for (const std::uint16_t block : {0, 1}) ASSERT_TRUE(drive->putFlashBytes(0, 0, block, 0, 0, Bytes{'X'}));
  ASSERT_TRUE(switchTo(2));
  EXPECT_EQ(drive->runState(), RunState::Firmware);
  EXPECT_NE(runModeNote().find("loader block 2: file 1 booted"), std::string::npos) << runModeNote();
}

// --- the loader's header sequence (controller info, byte 44) --------------------------

struct SequenceCase {
  const char* name;
  std::vector<std::pair<std::uint16_t, std::uint16_t>> headers;  // block, sequence
  std::optional<std::uint16_t> brokenBlock;                       // its header texts spoilt
  std::uint16_t expected;
};

class HeaderSequence : public BootTest, public ::testing::WithParamInterface<SequenceCase> {};

TEST_P(HeaderSequence, LoaderReportsTheNewestHeader) {
  attach(HostPath::Sata, RunState::Loader, [](DriveConfig& c) { c.headerSequence = 7; });
  for (const auto& [block, sequence] : GetParam().headers) {
    Download d;
    d.sequence = sequence;
    ASSERT_TRUE(drive->putFlashBytes(0, 0, block, 0, 0, d.header()));
  }
  if (GetParam().brokenBlock) {
    ASSERT_TRUE(drive->putFlashBytes(0, 0, *GetParam().brokenBlock, 0, 0, Bytes{'-'}));
  }
  ASSERT_TRUE(host->vendorMode(true));
  Bytes info(kSector, 0);
  ASSERT_TRUE(host->send(0x80, {}, Direction::In, info));
  EXPECT_EQ(word(info, 22), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Blocks, HeaderSequence,
    ::testing::Values(SequenceCase{"blank", {}, std::nullopt, 7},
                      SequenceCase{"one", {{1, 3}}, std::nullopt, 3},
                      SequenceCase{"newestWins", {{0, 5}, {2, 9}, {3, 6}}, std::nullopt, 9},
                      SequenceCase{"spoiltHeaderIgnored", {{0, 5}, {2, 12}}, 2, 5},
                      SequenceCase{"notALoaderBlock", {{9, 30}}, std::nullopt, 7}),
    CaseName{});

TEST_F(BootTest, ControllerInfoFailsWhenInjected) {
  attach(HostPath::Bridge);
  FaultRule rule;
  rule.match.subOp = 0x80;
  drive->injectFault(rule);
  ASSERT_TRUE(host->vendorMode(true));
  Bytes info(kSector, 0);
  EXPECT_FALSE(host->send(0x80, {}, Direction::In, info));
  EXPECT_TRUE(host->send(0x80, {}, Direction::In, info));
}

// --- operation 1 ----------------------------------------------------------------------

struct OperationOneCase {
  const char* name;
  std::uint8_t options;
  bool checks;  // the drive checks the defect tables
  bool defectTables;
  std::optional<JobBehaviour> job;
  std::uint8_t firstPoll;
};

class OperationOne : public BootTest, public ::testing::WithParamInterface<OperationOneCase> {};

const Bytes kDefectSignature{0xe9, 0x86, 0xaa, 0x55, 'K', 'W', 'F', 'A', '3', 'X', '-', 'V', '0', '0', '1', 0};

TEST_P(OperationOne, ErasesTheLoaderBlocksOrChecksTheDefectTables) {
  attach(HostPath::OwnUsb, RunState::Loader, [](DriveConfig& c) {
    c.initChecksDefectTables = GetParam().checks;
    if (GetParam().job) c.jobs[Job::Operation1] = *GetParam().job;
  });
  Download().putInto(*drive);
  if (GetParam().defectTables) {
    ASSERT_TRUE(drive->putFlashBytes(0, 0, 3, 1, 0, kDefectSignature));
  }
  ASSERT_TRUE(drive->putFlashBytes(0, 0, 4, 0, 0, Bytes{0x11}));  // not a loader block
  ASSERT_TRUE(drive->putFlashBytes(1, 1, 2, 0, 0, Bytes{0x22}));  // a loader block on the other chip enable
  ASSERT_TRUE(loadRamCode(*host, ramCodeImage("GDP_")));
  ASSERT_TRUE(host->send(0x01, {GetParam().options}));
  EXPECT_EQ(host->status(), GetParam().firstPoll);

  const bool erased = (GetParam().options & 0x10) != 0;
  for (const std::uint16_t block : kLoaderBlocks) {
    for (std::uint8_t channel = 0; channel < 2; ++channel) {
      for (const std::uint16_t page : {0, 8, 14}) {
        EXPECT_EQ(drive->flashPage(channel, 0, block, page)[0] == 0xff, erased)
            << "block " << block << " channel " << int{channel} << " page " << page;
      }
    }
  }
  EXPECT_EQ(drive->flashPage(0, 0, 4, 0)[0], 0x11);
  EXPECT_EQ(drive->flashPage(1, 1, 2, 0)[0], 0x22);
}

INSTANTIATE_TEST_SUITE_P(
    Options, OperationOne,
    ::testing::Values(
        OperationOneCase{"reinitialise", 0x10, true, false, std::nullopt, 14},
        OperationOneCase{"reinitialiseHalfPage", 0x12, true, true, std::nullopt, 14},
        OperationOneCase{"reinitialiseBusy", 0x10, true, false, JobBehaviour{1, 0, std::nullopt, false}, 0xaa},
        OperationOneCase{"reinitialiseOtherStatus", 0x10, true, false, JobBehaviour{0, 0, 0x20, false}, 0x20},
        OperationOneCase{"checkWithTables", 0x00, true, true, std::nullopt, 14},
        OperationOneCase{"checkWithoutTables", 0x00, true, false, std::nullopt, 15},
        OperationOneCase{"checkHalfPageWithoutTables", 0x02, true, false, std::nullopt, 15},
        OperationOneCase{"checkStatusConfigured", 0x00, true, false, JobBehaviour{0, 0, 14, false}, 14},
        OperationOneCase{"eraseOptionNeedsNoTables", 0x01, true, false, std::nullopt, 14},
        OperationOneCase{"noCheckWithoutTables", 0x00, false, false, std::nullopt, 14},
        OperationOneCase{"reinitialiseWithoutCheck", 0x10, false, true, std::nullopt, 14}),
    CaseName{});

// --- one program per page between erases ----------------------------------------------

class ProgramOnce : public BootTest, public ::testing::WithParamInterface<HostPath> {
 protected:
  bool write(std::uint8_t selector, std::uint16_t block, std::uint16_t page, Bytes data) {
    return host->send(0x8a, {selector, 0, 0, static_cast<std::uint8_t>(block), 0, static_cast<std::uint8_t>(page), 0, 0},
                      Direction::Out, data);
  }
  bool read(std::uint8_t selector, std::uint16_t block, std::uint16_t page, Bytes& data) {
    return host->send(0x89, {selector, 0, 0, static_cast<std::uint8_t>(block), 0, static_cast<std::uint8_t>(page), 0, 0},
                      Direction::In, data);
  }
  bool erase(std::uint8_t selector, std::uint16_t block) {
    return host->send(0x8b, {selector, 0, 0, static_cast<std::uint8_t>(block)});
  }
};

TEST_P(ProgramOnce, SecondProgramWithoutEraseFailsAndChangesNothing) {
  attach(GetParam());
  ASSERT_TRUE(host->vendorMode(true));
  ASSERT_TRUE(write(0, 40, 5, Bytes(kPage, 0x01)));
  EXPECT_TRUE(drive->reprogrammedPages().empty());
  EXPECT_FALSE(write(0, 40, 5, Bytes(kPage, 0x02)));
  EXPECT_EQ(drive->flashPage(0, 0, 40, 5), Bytes(kPage, 0x01));
  EXPECT_EQ(drive->reprogrammedPages(), (std::vector<FlashPageRef>{{0, 0, 40, 5}}));
  EXPECT_TRUE(write(0, 40, 6, Bytes(kPage, 0x03))) << "the next page is still free";

  // All channels at once: one of them programmed already, so neither is written.
  EXPECT_FALSE(write(8, 40, 5, Bytes(2 * kPage, 0x04)));
  EXPECT_EQ(drive->flashPage(1, 0, 40, 5), Bytes(kPage, 0xff));
  EXPECT_EQ(drive->reprogrammedPages().size(), 2u);
  bool noted = false;
  for (const auto& e : drive->wire().entries(Layer::Controller)) {
    noted = noted || e.note.find("programmed again without an erase") != std::string::npos;
  }
  EXPECT_TRUE(noted);

  ASSERT_TRUE(erase(8, 40));
  EXPECT_TRUE(write(8, 40, 5, Bytes(2 * kPage, 0x05)));
  EXPECT_EQ(drive->flashPage(1, 0, 40, 5), Bytes(kPage, 0x05));
}

// Fewer channels than a read of all eight: the missing ones read erased.
TEST_P(ProgramOnce, EightChannelReadWithTwoChannels) {
  attach(GetParam());
  ASSERT_TRUE(host->vendorMode(true));
  Bytes both(2 * kPage);
  for (std::size_t i = 0; i < both.size(); ++i) both[i] = static_cast<std::uint8_t>(i / kPage + 1);
  ASSERT_TRUE(write(8, 41, 0, both));
  Bytes all(8 * kPage, 0);
  ASSERT_TRUE(read(8, 41, 0, all));
  EXPECT_EQ(Bytes(all.begin(), all.begin() + 2 * kPage), both);
  EXPECT_EQ(Bytes(all.begin() + 2 * kPage, all.end()), Bytes(6 * kPage, 0xff));
}

// --- flash faults at a block and page -------------------------------------------------

TEST_P(ProgramOnce, FaultsHitTheirBlockAndPageOnly) {
  attach(GetParam());
  ASSERT_TRUE(host->vendorMode(true));
  FaultRule readFault;
  readFault.match.subOp = 0x89;
  readFault.match.block = 7;
  readFault.match.page = 3;
  readFault.times = -1;
  drive->injectFault(readFault);
  FaultRule writeFault = readFault;
  writeFault.match.subOp = 0x8a;
  writeFault.match.page = 4;
  drive->injectFault(writeFault);

  Bytes data(kPage, 0);
  EXPECT_FALSE(read(0, 7, 3, data));
  EXPECT_FALSE(read(8, 7, 3, data)) << "every selector";
  EXPECT_TRUE(read(0, 7, 2, data));
  EXPECT_TRUE(read(0, 8, 3, data));
  EXPECT_TRUE(write(0, 7, 3, Bytes(kPage, 1))) << "the read fault leaves writes alone";
  EXPECT_FALSE(write(0, 7, 4, Bytes(kPage, 1)));
  EXPECT_EQ(drive->flashPage(0, 0, 7, 4), Bytes(kPage, 0xff));
  EXPECT_TRUE(write(0, 7, 5, Bytes(kPage, 1)));
}

INSTANTIATE_TEST_SUITE_P(Paths, ProgramOnce, ::testing::Values(HostPath::OwnUsb, HostPath::Bridge, HostPath::Sata),
                         [](const auto& p) { return std::string(hostPathName(p.param)); });

}  // namespace
}  // namespace drivesim::test
