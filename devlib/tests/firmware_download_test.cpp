// The firmware download: the download file list and its page counts, the
// table checks and the layout values they give, the loader header, and the
// whole download against the emulated drive, which boots what was written
// and answers with the identity the download put into it. Damaged or missing
// files are refused before anything reaches the drive.

#include "devlib/firmware_download.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "devlib/bad_block_tables.h"
#include "devlib/controller_access.h"
#include "devlib/device_helpers.h"
#include "devlib/flash_geometry.h"
#include "devlib/flash_params.h"
#include "devlib/port_io.h"
#include "devlib/standard_commands.h"
#include "devlib/table_text.h"
#include "devlib/vendor_protocol.h"
#include "drivesim/config.h"
#include "ram_code_line.h"
#include "platform/debug.h"
#include "platform/paths.h"
#include "testsupport/firmware_images.h"
#include "testsupport/ram_code_images.h"
#include "ata_text.h"

namespace devlib::testing {
namespace {

using Bytes = std::vector<std::uint8_t>;
using drivesim::Layer;
using testsupport::FirmwareBinOptions;
using testsupport::FirmwareDamage;

// A Samsung part: 8 sectors per page (4 KiB pages), 128 pages per block,
// 4096 blocks, two planes; 8 channels, one bank.
constexpr std::uint16_t kTypeWord = 0x1249;
constexpr std::uint16_t kOnePlaneTypeWord = 0x1049;
constexpr std::uint16_t kSmallPageTypeWord = 0x1248;  // 2 KiB pages
constexpr std::size_t kPageBytes = 4096;
constexpr std::size_t kChannels = 8;
constexpr std::uint8_t kSectorsPerPage = 8;
constexpr std::array<std::uint16_t, 4> kLoaderBlocks{0, 1, 2, 3};
constexpr std::uint8_t kModeByte = 0x23;

const DriveIdentity kIdentity{"TV7SERIAL0042", "123456789", "Tolvane DL7 Model"};

std::uint16_t Le16(std::span<const std::uint8_t> b, std::size_t at) {
  return static_cast<std::uint16_t>(b[at] | (b[at + 1] << 8));
}
std::uint32_t Le32(std::span<const std::uint8_t> b, std::size_t at) {
  return static_cast<std::uint32_t>(Le16(b, at)) | (static_cast<std::uint32_t>(Le16(b, at + 2)) << 16);
}
std::string Text(std::span<const std::uint8_t> b, std::size_t at, std::size_t n) {
  return std::string(b.begin() + static_cast<std::ptrdiff_t>(at), b.begin() + static_cast<std::ptrdiff_t>(at + n));
}
std::string Trimmed(std::string s) { return s.substr(0, s.find_last_not_of(' ') + 1); }

FlashParams Part(std::uint16_t typeWord = kTypeWord) {
  FlashParams p;
  p.setting.typeWord = typeWord;
  p.setting.channels = kChannels;
  p.setting.banks = 1;
  p.setting.chipEnables = 1;
  p.setting.eccMode = 2;
  p.setting.partName.assign("K9TEST08U0M-DL7");
  DecodeFlashGeometry(p.setting, p.geometry);
  p.resPercentage = 68;
  p.firmwareModeByte = kModeByte;
  p.modelNum.assign("Part Model Of The Selection");
  p.firmwareVer.assign("FW7DL001");
  p.oui.assign("5001A4");
  p.vid = 0x3A8E;
  p.pid = 0x0A4F;
  p.vendorName.assign("TOLVANE");
  p.productName.assign("DL7 USB DRIVE");
  p.manufString.assign("Tolvane");
  p.productString.assign("DL7 USB Drive");
  return p;
}

// The table store as the RAM code leaves it: every channel's part signed.
Bytes SignedStore(bool remap) {
  Bytes store(kTableStoreSize, 0);
  const std::vector<TableKind> kinds = remap ? std::vector{TableKind::Defect, TableKind::EarlyBad, TableKind::Remap,
                                                           TableKind::System}
                                             : std::vector{TableKind::Defect, TableKind::EarlyBad, TableKind::System};
  for (std::size_t slot = 0; slot < kinds.size(); ++slot) {
    for (std::size_t c = 0; c < kChannels; ++c) {
      const std::size_t at = slot * kTableStoreSlot + c * kPageBytes;
      const TableSignature& s = SignatureOf(kinds[slot]);
      std::copy(s.begin(), s.end(), store.begin() + static_cast<std::ptrdiff_t>(at));
      if (kinds[slot] == TableKind::EarlyBad) {
        store[at + 16] = 0x00;
        store[at + 17] = 0xFE;
      }
    }
  }
  return store;
}

void PutWords(Bytes& store, std::size_t at, std::initializer_list<std::uint16_t> words) {
  for (const std::uint16_t w : words) {
    store[at] = static_cast<std::uint8_t>(w & 0xFF);
    store[at + 1] = static_cast<std::uint8_t>(w >> 8);
    at += 2;
  }
}

class DownloadBase : public RamCodeLineTest {
 protected:
  void SetUp() override {
    RamCodeLineTest::SetUp();
    previousList_ = CurrentDownloadFileList();
    PublishFlashParams(Part());
  }
  void TearDown() override {
    PublishDownloadFileList(previousList_);
    RamCodeLineTest::TearDown();
  }

  static void Publish(FlashParams params) { PublishFlashParams(std::move(params)); }

  void SetLoaderBlocks(int port, std::size_t count = kLoaderBlocks.size()) {
    PortIoRecord* record = PortIo(port);
    record->loaderBlocks = kLoaderBlocks;
    record->loaderBlockCount = static_cast<std::uint8_t>(count);
  }

  std::filesystem::path File(const std::string& name) const { return directory_ / name; }

  void WriteFiles() {
    testsupport::DownloadFileSet files = testsupport::WriteDownloadFileSet(directory_, kPageBytes, kSataName, kUsbName);
    init_ = std::move(files.init);
    sata_ = std::move(files.sata);
    usb_ = std::move(files.usb);
  }

  void PublishList(bool withUsb) {
    std::vector<std::filesystem::path> names{"Init.bin", kSataName};
    if (withUsb) names.emplace_back(kUsbName);
    const std::optional<DownloadFileList> list = BuildDownloadFileList(names, kSectorsPerPage);
    ASSERT_TRUE(list.has_value());
    PublishDownloadFileList(std::make_shared<const DownloadFileList>(*list));
    EXPECT_EQ(CurrentFlashParams()->loaderFileTable, LoaderFileTableOf(*list));
  }

  drivesim::DriveConfig Config(PortPath path, int port) {
    drivesim::DriveConfig config = DriveFor(path, port);
    config.flashTypeWord = kTypeWord;
    config.flashChannels = kChannels;
    config.flashBanks = 1;
    config.flashChipEnables = 1;
    config.loaderBlocks = {kLoaderBlocks.begin(), kLoaderBlocks.end()};
    config.loaderHeader = true;
    config.headerSequence = 41;
    config.tablesBuilt = true;
    config.factoryBadBlocks = {{.channel = 0, .bank = 0, .block = 5, .type = 0},
                               {.channel = 3, .bank = 1, .block = 40, .type = 0}};
    return config;
  }
  drivesim::Drive& Add(const drivesim::DriveConfig& config, int port, PortPath path) {
    drivesim::Drive& drive = line_->addDrive(config);
    WirePort(port, config.path, path);
    SetLoaderBlocks(port);
    // As the station leaves a drive before its download: vendor commands taken.
    EXPECT_TRUE(SetVendorMode(port, true));
    return drive;
  }

  static std::vector<drivesim::WireEntry> Sent(drivesim::Drive& drive, std::uint8_t subOp) {
    std::vector<drivesim::WireEntry> found;
    for (const auto& e : drive.wire().entries(Layer::Controller)) {
      if (e.command.size() > 2 && e.command[2] == subOp) found.push_back(e);
    }
    return found;
  }

  static constexpr const char* kSataName = "SYS_SIAA.bin";
  static constexpr const char* kUsbName = "SYS_UIAA.bin";
  Bytes init_, sata_, usb_;
  Bytes buffer_ = Bytes(64 * 1024, 0);

 private:
  std::shared_ptr<const DownloadFileList> previousList_;
};

// --- The download file list ---

struct ListCase {
  const char* name;
  std::vector<std::uint64_t> sizes;  // bytes
  std::uint8_t sectorsPerPage;
  std::vector<std::uint16_t> pages, starts;
};

class DownloadFileListTest : public DownloadBase {};

TEST_F(DownloadFileListTest, PageCountsAndStartPagesFollowTheSizes) {
  const ListCase cases[] = {
      {"16/257/300 KB at 4 KiB pages", {16 * 1024, 257 * 1024, 300 * 1024}, 8, {4, 65, 75}, {8, 12, 77}},
      {"an empty file takes no page", {8 * 1024, 0}, 8, {2, 0}, {8, 10}},
      {"a byte over a page multiple", {4 * 4096 + 1, 4096}, 8, {5, 1}, {8, 13}},
      {"a byte over a KiB", {1025, 3 * 1024}, 8, {1, 1}, {8, 9}},
      {"8 KiB pages", {16 * 1024, 17 * 1024, 8 * 1024}, 16, {2, 3, 1}, {8, 10, 13}},
  };
  for (const ListCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::filesystem::path> names;
    for (std::size_t i = 0; i < c.sizes.size(); ++i) {
      const std::string name = "f" + std::to_string(i) + ".bin";
      testsupport::WriteFirmwareFile(File(name), Bytes(c.sizes[i], 0x11));
      names.emplace_back(name);
    }
    const std::optional<DownloadFileList> list = BuildDownloadFileList(names, c.sectorsPerPage);
    ASSERT_TRUE(list.has_value());
    ASSERT_EQ(list->files.size(), c.sizes.size());
    for (std::size_t i = 0; i < c.sizes.size(); ++i) {
      EXPECT_EQ(list->files[i].name, File(names[i].string()));
      EXPECT_EQ(list->files[i].pageCount, c.pages[i]) << "file " << i;
      EXPECT_EQ(list->files[i].startPage, c.starts[i]) << "file " << i;
      EXPECT_EQ(list->files[i].sizeBytes, c.sizes[i]);
    }
    const LoaderFileTable table = LoaderFileTableOf(*list);
    EXPECT_EQ(table.fileCount, c.sizes.size());
    EXPECT_EQ(table.files[c.sizes.size() - 1].startPage, c.starts.back());
  }
}

TEST_F(DownloadFileListTest, ExampleEndsAtPage151AndAbsoluteNamesStay) {
  testsupport::WriteFirmwareFile(File("a.bin"), Bytes(16 * 1024, 1));
  testsupport::WriteFirmwareFile(File("b.bin"), Bytes(257 * 1024, 1));
  testsupport::WriteFirmwareFile(File("c.bin"), Bytes(300 * 1024, 1));
  const std::optional<DownloadFileList> list = BuildDownloadFileList({"a.bin", File("b.bin"), "c.bin"}, 8);
  ASSERT_TRUE(list.has_value());
  const DownloadFile& last = list->files.back();
  EXPECT_EQ(last.startPage + last.pageCount - 1, 151);
  EXPECT_EQ(list->files[1].name, File("b.bin"));
}

TEST_F(DownloadFileListTest, RefusesWhatCannotBeDownloaded) {
  testsupport::WriteFirmwareFile(File("a.bin"), Bytes(4096, 1));
  struct Refusal {
    const char* name;
    std::vector<std::filesystem::path> names;
    std::uint8_t sectorsPerPage;
  };
  const Refusal cases[] = {
      {"one file", {"a.bin"}, 8},
      {"four files", {"a.bin", "a.bin", "a.bin", "a.bin"}, 8},
      {"a missing file", {"a.bin", "gone.bin"}, 8},
      {"a directory", {"a.bin", directory_}, 8},
      {"no page size", {"a.bin", "a.bin"}, 0},
      {"one sector per page", {"a.bin", "a.bin"}, 1},
  };
  for (const Refusal& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_FALSE(BuildDownloadFileList(c.names, c.sectorsPerPage).has_value());
  }
}

TEST(FirmwareImages, CarryTheFieldsTheStationReadsAndTheirSum) {
  const std::filesystem::path dir = std::filesystem::temp_directory_path() /
                                    ("firmware-images-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  FirmwareBinOptions options;
  options.size = 3 * 4096 + 1;
  options.version = "110222";
  options.formatCode = "21";
  const Bytes good = testsupport::FirmwareBinBytes(options);
  struct Case {
    const char* name;
    Bytes bytes;
    bool sumHolds;
  };
  const Case cases[] = {
      {"valid", good, true},
      {"wrong sum", testsupport::DamagedFirmware(good, FirmwareDamage::WrongSum), false},
      {"wrong mark", testsupport::DamagedFirmware(good, FirmwareDamage::WrongMark), false},
      {"truncated", testsupport::DamagedFirmware(good, FirmwareDamage::Truncated), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::filesystem::path file = dir / "SYS_SIAA.bin";
    testsupport::WriteFirmwareFile(file, c.bytes);
    EXPECT_EQ(CheckBinFileSum(file), c.sumHolds);
  }
  testsupport::WriteFirmwareFile(dir / "SYS_SIAA.bin", good);
  EXPECT_EQ(ReadFileBytes(dir / "SYS_SIAA.bin", 774, 6), "110222");
  EXPECT_EQ(ReadFileBytes(dir / "SYS_SIAA.bin", 809, 2), "21");
  EXPECT_EQ(good.size(), options.size);
  EXPECT_EQ(testsupport::FirmwareBinName('U', "IAA"), "SYS_UIAA.bin");
  std::filesystem::remove_all(dir);
}

// --- The table checks and the layout values ---

class TableStoreTest : public DownloadBase {
 protected:
  static constexpr int kPort = 4;
};

TEST_F(TableStoreTest, SignatureFailuresLeaveCodeChannelAndPart) {
  FlashParams params = Part();
  params.firmwareOptions[kFirmwareOptionRemap] = 1;
  Publish(params);
  struct Case {
    std::size_t slot;
    std::uint8_t code;
  };
  const Case kinds[] = {{0, kDefectSignatureFailed}, {1, kEarlyBadSignatureFailed}, {2, kRemapSignatureFailed}};
  for (const Case& kind : kinds) {
    for (const std::size_t channel : {std::size_t{0}, std::size_t{3}, std::size_t{7}}) {
      SCOPED_TRACE("code " + std::to_string(kind.code) + " channel " + std::to_string(channel));
      Bytes store = SignedStore(true);
      const std::size_t at = kind.slot * kTableStoreSlot + channel * kPageBytes;
      store[at] ^= 0xFF;
      store[at + 100] = 0xAB;  // so the copy shows it is this part
      std::fill(buffer_.begin(), buffer_.end(), std::uint8_t{0});
      EXPECT_FALSE(CheckTableStore(kPort, buffer_, store, {}, 11));
      EXPECT_EQ(buffer_[0], kind.code);
      EXPECT_EQ(buffer_[1], channel);
      EXPECT_TRUE(std::equal(buffer_.begin() + 2, buffer_.begin() + 2 + kPageBytes,
                             store.begin() + static_cast<std::ptrdiff_t>(at)));
    }
  }
  // Without RemapEnable the third slot is the system page; no remap check.
  Publish(Part());
  Bytes store = SignedStore(false);
  EXPECT_TRUE(CheckTableStore(kPort, buffer_, store, {}, 11));
}

TEST_F(TableStoreTest, LayoutWordsComeFromTheLastSignedSystemPage) {
  struct Case {
    const char* name;
    std::uint16_t typeWord;
    bool mark;
    bool anySystemPage;
    std::array<std::uint16_t, 4> expected;
  };
  const Case cases[] = {
      {"two planes", kTypeWord, false, true, {0x21, 0x31, 0x20, 0x30}},
      {"two planes, 0x5451 mark", kTypeWord, true, true, {0x41, 0x31, 0x20, 0x30}},
      {"one plane, one bank", kOnePlaneTypeWord, true, true, {0x41, 1, 0x20, 0}},
      {"no system page signed", kTypeWord, false, false, {0, 0, 0, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Publish(Part(c.typeWord));
    Bytes store = SignedStore(false);
    const std::size_t system = 2 * kTableStoreSlot;
    for (std::size_t ch = 0; ch < kChannels; ++ch) {
      const std::size_t at = system + ch * kPageBytes;
      if (!c.anySystemPage || ch > 3) {
        store[at] = 0;  // unsigned
        PutWords(store, at + 16, {0x77, 0, 0x77});
        continue;
      }
      const bool decides = ch == 3;
      PutWords(store, at + 16, {static_cast<std::uint16_t>(decides ? 0x20 : 0x10), 0,
                                static_cast<std::uint16_t>(decides ? 0x30 : 0x11)});
      if (c.mark) PutWords(store, at + 1024, {0x5451, static_cast<std::uint16_t>(decides ? 0x40 : 0x50)});
    }
    PortIo(kPort)->layoutWords = {9, 9, 9, 9};
    platform::debug::CaptureSink debug;
    ASSERT_TRUE(CheckTableStore(kPort, buffer_, store, {}, 11));
    EXPECT_EQ(PortIo(kPort)->layoutWords, c.expected);
    EXPECT_EQ(debug.contains("No system page signature"), !c.anySystemPage);
  }
}

TEST_F(TableStoreTest, LayoutValueCountsEarlyBadBlocksToTheEndWord) {
  struct Case {
    const char* name;
    bool unterminated;
    std::uint32_t expected;
  };
  // Channel 0: CE 0 with 5 and 7, CE 1 with 9, end, then a word past the end.
  // Channel 1: one block. Channel 2: without an end word, all its words count.
  const Case cases[] = {{"terminated", false, 4}, {"channel 2 without an end", true, 4 + (kPageBytes - 16) / 2}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes store = SignedStore(false);
    const std::size_t early = kTableStoreSlot;
    PutWords(store, early + 16, {0xFB00, 5, 7, 0xFB01, 9, 0xFE00, 11});
    PutWords(store, early + kPageBytes + 16, {0xFB00, 0x123, 0xFEFF});
    if (c.unterminated) {
      for (std::size_t at = early + 2 * kPageBytes + 16; at < early + 3 * kPageBytes; at += 2) {
        PutWords(store, at, {0x0101});
      }
    }
    ASSERT_TRUE(CheckTableStore(kPort, buffer_, store, {}, 11));
    EXPECT_EQ(PortIo(kPort)->layoutValue, c.expected);
  }
}

// --- The loader header ---

// The loader header as it must be in channel `channel`'s copy, built over
// the patched GDP image's first page.
void ExpectHeader(std::span<const std::uint8_t> page, std::size_t channel, std::uint16_t sequence,
                  std::size_t loaderBlocks, const DownloadFileList& list) {
  const Bytes image = testsupport::RamCodeImageBytes(testsupport::kGdpMagic, testsupport::kGdpTag);
  EXPECT_EQ(Text(page, 0, 16), std::string("LDBK BLOCKS V30\0", 16));
  EXPECT_EQ(Text(page, 16, 8), std::string("A4X V2 \0", 8));
  EXPECT_EQ(page[24], channel);
  EXPECT_EQ(page[25], kSectorsPerPage);
  EXPECT_EQ(Le16(page, 26), 128);
  for (std::size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(Le16(page, 32 + 4 * i), i < loaderBlocks ? kLoaderBlocks[i] : 0) << "block " << i;
    EXPECT_EQ(Le16(page, 34 + 4 * i), i < loaderBlocks ? 7 : 0) << "block " << i;
  }
  EXPECT_TRUE(std::equal(page.begin() + 48, page.begin() + 512, image.begin() + 48)) << "bytes 48-511 of the image";
  EXPECT_EQ(Text(page, 512, 16), std::string("LDBK CONFIG V30\0", 16));
  EXPECT_EQ(Le16(page, 528), sequence);
  EXPECT_EQ(Le32(page, 536), 560u);
  EXPECT_EQ(Le32(page, 540), 640u);
  EXPECT_EQ(page[560], list.files.size());
  EXPECT_EQ(Le16(page, 564), 8);
  std::uint16_t pages = 0;
  for (std::size_t i = 0; i < list.files.size(); ++i) {
    EXPECT_EQ(Le16(page, 568 + 4 * i), list.files[i].startPage);
    EXPECT_EQ(Le16(page, 570 + 4 * i), list.files[i].pageCount);
    pages = static_cast<std::uint16_t>(pages + list.files[i].pageCount);
  }
  EXPECT_EQ(Le16(page, 566), 8 + pages - 1);
  EXPECT_EQ(Text(page, 608, 32), std::string("K9TEST08U0M-DL7") + std::string(17, '\0'));
  EXPECT_EQ(Le16(page, 640), 12);
  const std::uint8_t registers[60] = {
      0x20, 0x49, 0x00, 0xB0, 0x21, 0x49, 0x00, 0xB0, 0x22, 0x49, 0x00, 0xB0, 0x23, 0x49, 0x00, 0xB0, 1, 2,  3,  4,
      0x24, 0x49, 0x00, 0xB0, 0x25, 0x49, 0x00, 0xB0, 0x26, 0x49, 0x00, 0xB0, 0x27, 0x49, 0x00, 0xB0, 5, 6,  7,  8,
      0x28, 0x49, 0x00, 0xB0, 0x29, 0x49, 0x00, 0xB0, 0x2A, 0x49, 0x00, 0xB0, 0x2B, 0x49, 0x00, 0xB0, 9, 10, 11, 12};
  EXPECT_TRUE(std::equal(std::begin(registers), std::end(registers), page.begin() + 644)) << "register table";
  EXPECT_TRUE(std::equal(page.begin() + 704, page.begin() + 0x300, image.begin() + 704)) << "bytes from 704";
}

class LoaderHeaderTest : public DownloadBase {
 protected:
  static constexpr int kPort = 6;
};

TEST_F(LoaderHeaderTest, OverlaysTheFieldsOnTheImagePageInEveryChannelCopy) {
  WriteFiles();
  PublishList(true);
  SetLoaderBlocks(kPort, 3);
  Bytes page(kChannels * kPageBytes, 0x5C);
  const Bytes image = testsupport::RamCodeImageBytes(testsupport::kGdpMagic, testsupport::kGdpTag);
  std::copy_n(image.begin(), kPageBytes, page.begin());
  ASSERT_TRUE(BuildLoaderHeader(kPort, page, 0x1234));
  for (std::size_t c = 0; c < kChannels; ++c) {
    SCOPED_TRACE("channel " + std::to_string(c));
    ExpectHeader(std::span<const std::uint8_t>(page).subspan(c * kPageBytes, kPageBytes), c, 0x1234, 3,
                 *CurrentDownloadFileList());
  }
  Bytes small(kChannels * kPageBytes - 1, 0);
  EXPECT_FALSE(BuildLoaderHeader(kPort, small, 1)) << "a page too small for the channels";
}

// --- The whole download on the emulated drive ---

class DownloadTest : public DownloadBase {
 protected:
  static constexpr int kPort = 3;

  // Pages 1, 2 and 4 (3 too with RemapEnable) of the block the tables are
  // read from, per channel.
  static std::vector<Bytes> TablePages(drivesim::Drive& drive, bool remap) {
    std::vector<Bytes> pages;
    for (const std::uint16_t p : LoaderTablePages(remap)) {
      for (std::uint8_t c = 0; c < kChannels; ++c) pages.push_back(drive.flashPage(c, 0, kLoaderBlocks[2], p));
    }
    return pages;
  }

  // Every channel of every loader block holds the same page.
  static Bytes SamePageEverywhere(drivesim::Drive& drive, std::uint16_t page) {
    const Bytes first = drive.flashPage(0, 0, kLoaderBlocks[0], page);
    for (const std::uint16_t block : kLoaderBlocks) {
      for (std::uint8_t c = 0; c < kChannels; ++c) {
        EXPECT_EQ(drive.flashPage(c, 0, block, page), first) << "block " << block << " channel " << int{c};
      }
    }
    return first;
  }

  std::uint16_t ControllerSequence() {
    EXPECT_TRUE(SwitchRunMode(kPort, kLoaderRunMode, 0));
    ControllerInfo info{};
    EXPECT_TRUE(ReadControllerInfo(kPort, info));
    return Le16(info, 44);
  }

  // The firmware pages: the end marker only in each file's last page, the
  // pages without a header as the file holds them.
  void ExpectFirmwarePages(drivesim::Drive& drive, const DownloadFileList& list, const std::vector<Bytes>& files) {
    for (std::size_t k = 0; k < list.files.size(); ++k) {
      const DownloadFile& f = list.files[k];
      for (std::uint16_t i = 0; i < f.pageCount; ++i) {
        SCOPED_TRACE("file " + std::to_string(k) + " page " + std::to_string(i));
        const Bytes page = SamePageEverywhere(drive, static_cast<std::uint16_t>(f.startPage + i));
        const bool last = i + 1 == f.pageCount;
        EXPECT_EQ(std::equal(kFileEndMarker.begin(), kFileEndMarker.end(), page.end() - 4), last);
        Bytes expected(kPageBytes, 0xFF);
        const std::size_t from = std::size_t{i} * kPageBytes;
        std::copy_n(files[k].begin() + static_cast<std::ptrdiff_t>(from),
                    std::min(kPageBytes, files[k].size() - from), expected.begin());
        if (last) std::copy(kFileEndMarker.begin(), kFileEndMarker.end(), expected.end() - 4);
        if (i != 0) {
          EXPECT_EQ(page, expected) << "a page without a header, or of mode 'X', is written as the file holds it";
        } else {
          EXPECT_EQ(Le16(page, 0xA00), kTypeWord) << "the parameter block";
          EXPECT_EQ(page[0xA03], kChannels);
          EXPECT_EQ(Le16(page, 0xA00 + 48 + 38), list.files[0].startPage) << "the first file's start page";
          EXPECT_TRUE(std::equal(page.begin() + 0x300, page.begin() + 0x304, expected.begin() + 0x300));
        }
      }
    }
  }
};

TEST_F(DownloadTest, SataDriveBootsTheDownloadWithTheCustomisedIdentity) {
  WriteFiles();
  FlashParams params = Part();
  params.enSaveDefectTable = 1;
  Publish(params);
  PublishList(false);
  drivesim::Drive& drive = Add(Config(PortPath::NativeSata, kPort), kPort, PortPath::NativeSata);
  const std::uint16_t sequence = ControllerSequence();
  const std::vector<Bytes> tables = TablePages(drive, false);
  Bytes defectImage;  // every channel's defect table, as the report holds them
  for (std::uint8_t c = 0; c < kChannels; ++c) {
    const Bytes part = drive.flashPage(c, 0, kLoaderBlocks[2], kDefectTablePage);
    defectImage.insert(defectImage.end(), part.begin(), part.end());
  }
  drive.wire().clear();

  const std::filesystem::path defectText = File("TV7SERIAL0042_EB.txt");
  ASSERT_TRUE(DownloadFirmware(kPort, buffer_, kIdentity, 0, defectText, 11));
  EXPECT_TRUE(drive.reprogrammedPages().empty()) << "every page programmed once after the erase";

  const DownloadFileList& list = *CurrentDownloadFileList();
  for (const std::uint16_t block : kLoaderBlocks) {
    for (std::uint8_t c = 0; c < kChannels; ++c) {
      SCOPED_TRACE("block " + std::to_string(block) + " channel " + std::to_string(c));
      ExpectHeader(drive.flashPage(c, 0, block, 0), c, static_cast<std::uint16_t>(sequence + 1), 4, list);
    }
  }
  EXPECT_EQ(TablePages(drive, false), tables);
  for (const std::uint16_t block : kLoaderBlocks) {
    std::size_t n = 0;
    for (const std::uint16_t p : LoaderTablePages(false)) {
      for (std::uint8_t c = 0; c < kChannels; ++c, ++n) {
        EXPECT_EQ(drive.flashPage(c, 0, block, p), tables[n]) << "block " << block << " page " << p;
      }
    }
    EXPECT_EQ(drive.flashPage(0, 0, block, kRemapTablePage), Bytes(kPageBytes, 0xFF)) << "page 3 not written";
  }
  for (const auto& read : Sent(drive, 0x89)) {
    EXPECT_NE((read.command[7] << 8) | read.command[8], kRemapTablePage) << "page 3 not read without RemapEnable";
  }
  EXPECT_FALSE(Sent(drive, 0x89).empty());
  ExpectFirmwarePages(drive, list, {init_, sata_});

  const Bytes sataPage = SamePageEverywhere(drive, list.files[1].startPage);
  EXPECT_EQ(AtaText(sataPage, 96, 20), kIdentity.serialNumber);
  EXPECT_EQ(AtaText(sataPage, 130, 40), kIdentity.model);
  EXPECT_EQ(PortIo(kPort)->modeByte, kModeByte);

  const std::optional<std::string> expectedText = FormatTableText(defectImage, kChannels * kSectorsPerPage, 11, params);
  ASSERT_TRUE(expectedText.has_value());
  std::ifstream text(defectText, std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(text), {}), *expectedText);

  ASSERT_TRUE(SwitchRunMode(kPort, 2, 0));
  Bytes identify(512, 0);
  ASSERT_TRUE(ReadIdentifyData(kPort, identify, 1));
  EXPECT_EQ(AtaText(identify, 20, 20), kIdentity.serialNumber);
  EXPECT_EQ(AtaText(identify, 46, 8), "FW7DL001");
  EXPECT_EQ(AtaText(identify, 54, 40), kIdentity.model);
}

TEST_F(DownloadTest, OwnUsbDriveBootsTheUsbFileAndReadsItBack) {
  WriteFiles();
  FlashParams params = Part();
  params.firmwareOptions[kFirmwareOptionRemap] = 1;
  params.dumpDebugFile = 1;
  Publish(params);
  PublishList(true);
  drivesim::DriveConfig config = Config(PortPath::OwnUsb, kPort);
  config.optionBitsA = 0x30;  // remap tables too
  drivesim::Drive& drive = Add(config, kPort, PortPath::OwnUsb);
  const std::vector<Bytes> tables = TablePages(drive, true);

  ASSERT_TRUE(DownloadFirmware(kPort, buffer_, kIdentity, 0, {}, 11));
  EXPECT_TRUE(drive.reprogrammedPages().empty());
  EXPECT_EQ(TablePages(drive, true), tables);
  const DownloadFileList& list = *CurrentDownloadFileList();
  ExpectFirmwarePages(drive, list, {init_, sata_, usb_});
  const Bytes usbPage = SamePageEverywhere(drive, list.files[2].startPage);
  EXPECT_EQ(PortIo(kPort)->modeByte, (kModeByte & 0xF0) | 1) << "the USB page was the last header page";
  EXPECT_EQ(usbPage[242], 2 * kIdentity.serialNumber.size() + 2);
  EXPECT_EQ(usbPage[244], 'T');

  // The read-back dumps hold what the flash holds.
  for (std::size_t k = 0; k < list.files.size(); ++k) {
    const std::filesystem::path dump = directory_ / "Port04" / ("UP0" + std::to_string(k) + "0000.raw");
    std::ifstream in(dump, std::ios::binary);
    ASSERT_TRUE(in) << dump;
    const Bytes got{std::istreambuf_iterator<char>(in), {}};
    Bytes expected;
    for (std::uint16_t i = 0; i < list.files[k].pageCount; ++i) {
      const auto number = static_cast<std::uint16_t>(list.files[k].startPage + i);
      const Bytes page = drive.flashPage(0, 0, kLoaderBlocks[0], number);
      expected.insert(expected.end(), page.begin(), page.end());
    }
    EXPECT_EQ(got, expected) << dump;
  }

  ASSERT_TRUE(SwitchRunMode(kPort, 3, 0));
  Bytes inquiry(kInquiryLength, 0);
  ASSERT_EQ(InquiryDevice(kPort, inquiry), kCommandOk);
  EXPECT_EQ(Trimmed(Text(inquiry, 8, 8)), "TOLVANE");
  EXPECT_EQ(Trimmed(Text(inquiry, 16, 16)), "DL7 USB DRIVE");
}

TEST_F(DownloadTest, TableSignatureFailureWritesNothing) {
  WriteFiles();
  PublishList(false);
  drivesim::DriveConfig config = Config(PortPath::OwnUsb, kPort);
  config.damagedTables = {{.page = drivesim::TablePage::EarlyBad, .channel = 5}};
  drivesim::Drive& drive = Add(config, kPort, PortPath::OwnUsb);
  const Bytes damaged = drive.flashPage(5, 0, kLoaderBlocks[2], kEarlyBadPage);
  const Bytes header = drive.flashPage(0, 0, kLoaderBlocks[0], 0);

  EXPECT_FALSE(DownloadFirmware(kPort, buffer_, kIdentity, 0, {}, 11));
  EXPECT_EQ(buffer_[0], kEarlyBadSignatureFailed);
  EXPECT_EQ(buffer_[1], 5);
  EXPECT_TRUE(std::equal(damaged.begin(), damaged.end(), buffer_.begin() + 2));
  EXPECT_TRUE(Sent(drive, 0x8A).empty());
  EXPECT_TRUE(Sent(drive, 0x01).empty()) << "the RAM code was not re-initialised";
  EXPECT_EQ(drive.flashPage(0, 0, kLoaderBlocks[0], 0), header);
}

TEST_F(DownloadTest, BusyReinitialisationFailsTheDownload) {
  WriteFiles();
  PublishList(false);
  drivesim::DriveConfig config = Config(PortPath::OwnUsb, kPort);
  drivesim::JobBehaviour busy;
  busy.busyPolls = 1;
  config.jobs[drivesim::Job::Operation1] = busy;
  drivesim::Drive& drive = Add(config, kPort, PortPath::OwnUsb);

  EXPECT_FALSE(DownloadFirmware(kPort, buffer_, kIdentity, 0, {}, 11));
  EXPECT_EQ(Sent(drive, 0x01).size(), 1u);
  EXPECT_TRUE(Sent(drive, 0x8A).empty());
}

TEST_F(DownloadTest, OpcodeSetSwitchesPerPort) {
  WriteFiles();
  PublishList(false);
  constexpr int kForced = 1, kPlain = 2, kBystander = 3;
  drivesim::Drive& forced = Add(Config(PortPath::Bridge, kForced), kForced, PortPath::Bridge);
  drivesim::Drive& plain = Add(Config(PortPath::Bridge, kPlain), kPlain, PortPath::Bridge);
  for (const int port : {kForced, kPlain, kBystander}) PortIo(port)->opcodeSet = 1;
  PortIo(kForced)->forceOpcodeSet1 = true;

  ASSERT_TRUE(DownloadFirmware(kForced, buffer_, kIdentity, 0, {}, 11));
  ASSERT_TRUE(DownloadFirmware(kPlain, buffer_, kIdentity, 0, {}, 11));
  EXPECT_EQ(PortIo(kForced)->opcodeSet.load(), 1);
  EXPECT_EQ(PortIo(kPlain)->opcodeSet.load(), 2);
  EXPECT_EQ(PortIo(kBystander)->opcodeSet.load(), 1);
  // The pages after the switch went with each port's own set.
  EXPECT_FALSE(forced.wire().entries(Layer::Ata).back().dma);
  EXPECT_TRUE(plain.wire().entries(Layer::Ata).back().dma);
  EXPECT_TRUE(forced.reprogrammedPages().empty());
  EXPECT_TRUE(plain.reprogrammedPages().empty());
}

struct DamageCase {
  const char* name;
  std::size_t file;  // 0 Init.bin, 1 the SATA bin
  enum Kind { Truncated, ShortTail, WrongHeader, Oversized, Missing } kind;
};

TEST_F(DownloadTest, DamagedFilesAreRefusedBeforeTheDriveIsTouched) {
  const DamageCase cases[] = {
      {"truncated bin", 1, DamageCase::Truncated},   {"truncated Init.bin", 0, DamageCase::Truncated},
      {"bin 50 bytes short, same page count", 1, DamageCase::ShortTail},
      {"bin without KWSS", 1, DamageCase::WrongHeader}, {"Init.bin without INT", 0, DamageCase::WrongHeader},
      {"bin too large", 1, DamageCase::Oversized},   {"bin gone", 1, DamageCase::Missing},
      {"Init.bin gone", 0, DamageCase::Missing},
  };
  drivesim::Drive& drive = Add(Config(PortPath::OwnUsb, kPort), kPort, PortPath::OwnUsb);
  const Bytes header = drive.flashPage(0, 0, kLoaderBlocks[0], 0);
  for (const DamageCase& c : cases) {
    SCOPED_TRACE(c.name);
    WriteFiles();
    const std::filesystem::path file = c.file == 0 ? File("Init.bin") : File(kSataName);
    const Bytes& bytes = c.file == 0 ? init_ : sata_;
    if (c.kind == DamageCase::Oversized) {
      FirmwareBinOptions big;
      big.size = (128 - 8 - 2 + 1) * kPageBytes;  // with Init.bin's 2 pages, one page more than the block
      testsupport::WriteFirmwareFile(file, testsupport::FirmwareBinBytes(big));
    }
    PublishList(false);
    switch (c.kind) {
      case DamageCase::Truncated:
        testsupport::WriteFirmwareFile(file, testsupport::DamagedFirmware(bytes, FirmwareDamage::Truncated));
        break;
      case DamageCase::WrongHeader:
        testsupport::WriteFirmwareFile(file, testsupport::DamagedFirmware(bytes, FirmwareDamage::WrongHeader));
        break;
      case DamageCase::ShortTail:
        testsupport::WriteFirmwareFile(file, Bytes(bytes.begin(), bytes.end() - 50));
        break;
      case DamageCase::Missing: std::filesystem::remove(file); break;
      case DamageCase::Oversized: break;
    }
    drive.wire().clear();
    platform::debug::CaptureSink debug;
    EXPECT_FALSE(DownloadFirmware(kPort, buffer_, kIdentity, 0, {}, 11));
    EXPECT_TRUE(c.kind == DamageCase::Oversized ? debug.contains("a loader block holds 128 pages")
                                                : debug.contains(file.string()));
    EXPECT_TRUE(drive.wire().entries(Layer::Controller).empty()) << "nothing sent to the drive";
    EXPECT_EQ(drive.flashPage(0, 0, kLoaderBlocks[0], 0), header);
  }
}

TEST_F(DownloadTest, RefusedUpFront) {
  WriteFiles();
  drivesim::Drive& drive = Add(Config(PortPath::OwnUsb, kPort), kPort, PortPath::OwnUsb);
  struct Case {
    const char* name;
    std::uint16_t typeWord;
    bool list;
    std::size_t loaderBlocks;
    std::size_t buffer;
  };
  const Case cases[] = {
      {"no download list", kTypeWord, false, 4, 64 * 1024},
      {"2 KiB pages cannot hold the firmware tail", kSmallPageTypeWord, true, 4, 64 * 1024},
      {"no loader blocks known", kTypeWord, true, 0, 64 * 1024},
      {"the tables' loader block unknown", kTypeWord, true, 2, 64 * 1024},
      {"a buffer smaller than the RAM code image", kTypeWord, true, 4, 0xFC00 - 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PublishDownloadFileList(nullptr);
    if (c.list) PublishList(false);
    Publish(Part(c.typeWord));
    SetLoaderBlocks(kPort, c.loaderBlocks);
    drive.wire().clear();
    Bytes buffer(c.buffer, 0);
    EXPECT_FALSE(DownloadFirmware(kPort, buffer, kIdentity, 0, {}, 11));
    EXPECT_TRUE(drive.wire().entries(Layer::Controller).empty());
  }
}

}  // namespace
}  // namespace devlib::testing
