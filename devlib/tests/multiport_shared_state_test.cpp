// A whole line through the operations that meet what the ports share: 50
// workers, each on its own port as the station runs them, read their drive's
// configuration, download the firmware with the raw dumps on, and lay out
// their disks, all at once. Every port must end with what its own drive and
// its own work gave it, and with nothing of another port's.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <latch>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <stop_token>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "devlib/claim_new.h"
#include "devlib/controller_access.h"
#include "devlib/device_config.h"
#include "devlib/disk_layout.h"
#include "devlib/firmware_download.h"
#include "devlib/firmware_page.h"
#include "devlib/flash_params.h"
#include "devlib/port_buffers.h"
#include "devlib/port_io.h"
#include "devlib/ram_code.h"
#include "devlib/usb_disk_scan.h"
#include "drivesim/config.h"
#include "drivesim/line.h"
#include "platform/clock.h"
#include "platform/debug.h"
#include "ram_code_line.h"
#include "settings_selection.h"
#include "testsupport/firmware_images.h"
#include "testsupport/flash_list_builder.h"
#include "testsupport/settings_file_builder.h"
#include "ata_text.h"

namespace devlib::testing {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;
using drivesim::Layer;

constexpr int kPorts = kFleetburnPortCount;
// Every part of the line has 4 KiB pages: the download list is built for the part selected.
constexpr int kSectorsPerPage = 8;
constexpr std::size_t kPageBytes = 4096;
constexpr std::uint64_t kCylinder = 255 * 63;
constexpr std::array<std::uint16_t, 4> kLoaderBlocks{0, 1, 2, 3};  // what the emulated drives list
constexpr std::uint16_t kTableBlock = kLoaderBlocks[2];               // the download reads the tables there
constexpr const char* kSataName = "SYS_SMPA.bin";
constexpr const char* kUsbName = "SYS_UMPA.bin";
constexpr int kVersionCode = 11;
constexpr std::uint8_t kWritePagesSubOp = 0x8A;
constexpr std::size_t kUsbSerialDescriptor = 242;  // in a USB firmware page

// The tunnel's ATA commands (CDB byte 9) of the two opcode sets.
constexpr std::array<std::uint8_t, 2> kSet1Commands{0x8F, 0x8A};
constexpr std::array<std::uint8_t, 2> kSet2Commands{0x88, 0x86};

struct LinePart {
  const char* name;  // each drive's loader header names it with the port number after it
  int pagesPerBlock, blocks, planes, makerClass;
  std::uint8_t channels, banks, chipEnables;

  std::uint16_t typeWord() const {
    return testsupport::FlashTypeWordOf(kSectorsPerPage, pagesPerBlock, blocks, planes, false, makerClass);
  }
};

// The part the settings select, and another that a few drives carry.
const LinePart kSelectedPart{"K9MPSEL08U0M", 128, 4096, 2, 1, 4, 1, 1};
const LinePart kOtherPart{"H27MPOTH8T2A", 256, 2048, 1, 3, 2, 2, 2};

// How a port reaches its drive, and which part the drive carries. Ports of
// one kind send the same commands.
struct PortKind {
  const char* name;
  drivesim::FrontEnd frontEnd;
  int chipType;
  const LinePart* part;
};

const PortKind kKinds[] = {
    {"own USB", drivesim::FrontEnd::OwnUsb, 10, &kSelectedPart},
    {"bridge 7", drivesim::FrontEnd::Bridge, 7, &kSelectedPart},
    {"bridge 1 (opcode set 1 forced)", drivesim::FrontEnd::Bridge, 1, &kSelectedPart},
    {"bridge 14 (opcode set 1 forced)", drivesim::FrontEnd::Bridge, 14, &kSelectedPart},
    {"own USB, other part", drivesim::FrontEnd::OwnUsb, 10, &kOtherPart},
    {"bridge 7, other part", drivesim::FrontEnd::Bridge, 7, &kOtherPart},
};

// Of every ten ports: four on the own USB interface, two behind bridge 7,
// one each behind bridges 1 and 14, two with drives of the other part.
std::size_t KindIndexOf(int port) {
  constexpr std::array<std::size_t, 10> kPattern{0, 0, 0, 0, 1, 1, 2, 3, 4, 5};
  return kPattern[static_cast<std::size_t>(port % 10)];
}
const PortKind& KindOf(int port) { return kKinds[KindIndexOf(port)]; }
bool Forced(int port) { return KindOf(port).chipType == 1 || KindOf(port).chipType == 14; }

std::string TwoDigits(int port) { return (port < 10 ? "0" : "") + std::to_string(port); }

// Every drive differs from the others in its part name, reserve, header
// sequence, factory bad block and size, so that a value taken from the
// wrong drive shows.
drivesim::DriveConfig DriveOf(int port) {
  const PortKind& kind = KindOf(port);
  const LinePart& part = *kind.part;
  const std::string number = TwoDigits(port);
  drivesim::DriveConfig config =
      kind.frontEnd == drivesim::FrontEnd::OwnUsb
          ? drivesim::DriveConfig::ownUsb("\\\\?\\usbstor#disk&ven_tolvane&prod_kwfa4x#line" + number)
          : drivesim::DriveConfig::bridge("\\\\?\\usbstor#disk&ven_usb&prod_sata_bridge#line" + number, kind.chipType,
                                          drivesim::DriveConfig::keyOfChipType(kind.chipType));
  config.sectorCount = static_cast<std::uint64_t>(100 + port) * kCylinder + static_cast<std::uint64_t>(port);
  config.flashTypeWord = part.typeWord();
  config.flashChannels = part.channels;
  config.flashBanks = part.banks;
  config.flashChipEnables = part.chipEnables;
  config.flashPartName = std::string(part.name) + "-" + number;
  config.resPercentage = static_cast<std::uint16_t>(100 + port);
  config.headerSequence = static_cast<std::uint16_t>(40 + port);
  config.loaderHeader = true;
  config.tablesBuilt = true;
  config.factoryBadBlocks = {{.channel = static_cast<std::uint8_t>(port % part.channels),
                              .bank = 0,
                              .block = static_cast<std::uint16_t>(8 + port),
                              .type = 0}};
  return config;
}

DriveIdentity IdentityOf(int port) {
  return {"TVMP-LINE-PORT-" + TwoDigits(port), "1234567" + TwoDigits(port), "Tolvane Line Drive " + TwoDigits(port)};
}

std::uint16_t Le16(std::span<const std::uint8_t> b, std::size_t at) {
  return static_cast<std::uint16_t>(b[at] | (b[at + 1] << 8));
}
std::uint32_t Le32(std::span<const std::uint8_t> b, std::size_t at) {
  return static_cast<std::uint32_t>(Le16(b, at)) | (static_cast<std::uint32_t>(Le16(b, at + 2)) << 16);
}
// A USB string descriptor's characters.
std::string DescriptorText(std::span<const std::uint8_t> b, std::size_t at) {
  std::string s;
  for (std::size_t i = 0; 2 * i + 2 < b[at]; ++i) s += static_cast<char>(b[at + 2 + 2 * i]);
  return s;
}
std::string TextAt(std::span<const std::uint8_t> b, std::size_t at, std::size_t n) {
  const auto* begin = reinterpret_cast<const char*>(b.data() + at);
  return std::string(begin, std::find(begin, begin + n, '\0'));
}

Bytes FileBytes(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

// One page of every channel of the drive, channel after channel.
Bytes AllChannels(const drivesim::Drive& drive, std::uint16_t block, std::uint16_t page) {
  Bytes bytes;
  for (std::uint8_t c = 0; c < drive.config().flashChannels; ++c) {
    const Bytes part = drive.flashPage(c, 0, block, page);
    bytes.insert(bytes.end(), part.begin(), part.end());
  }
  return bytes;
}

// The controller's commands of a drive, without their data.
struct SentCommand {
  std::vector<std::uint8_t> command;
  std::size_t length;
  bool operator==(const SentCommand&) const = default;
};
std::vector<SentCommand> ControllerCommands(drivesim::Drive& drive) {
  std::vector<SentCommand> sent;
  for (const drivesim::WireEntry& e : drive.wire().entries(Layer::Controller)) sent.push_back({e.command, e.length});
  return sent;
}

// The opcode set of each tunnelled vendor command a bridge passed on, in order.
std::vector<int> TunnelOpcodeSets(drivesim::Drive& drive) {
  std::vector<int> sets;
  for (const drivesim::WireEntry& e : drive.wire().entries(Layer::Bridge)) {
    if (e.command.size() < 10 || e.command[0] != 0xA1) continue;
    const auto in = [&](const std::array<std::uint8_t, 2>& set) {
      return std::find(set.begin(), set.end(), e.command[9]) != set.end();
    };
    if (in(kSet1Commands)) sets.push_back(1);
    if (in(kSet2Commands)) sets.push_back(2);
  }
  return sets;
}

// What one port's worker runs, in its own buffer: the first step that
// failed, or an empty text.
std::string RunItems(int port, const std::string& diskPath, std::shared_ptr<PortBuffers>& buffers) {
  buffers = PortBuffersOf(port);
  if (!buffers) return "port buffers";
  const std::span<std::uint8_t> buffer = buffers->workBuffer1();
  if (!SetVendorMode(port, true)) return "vendor mode";
  if (!LoadDeviceConfig(port, buffer, 0)) return "configuration read";
  if (!CheckLoaderBlocks(port, buffer, 0)) return "loader blocks";
  if (!DownloadFirmware(port, buffer, IdentityOf(port), 0, {}, kVersionCode)) return "download";
  if (PortBuffersOf(port) != buffers) return "port buffers mapped again";
  if (!PartitionDiskEx(diskPath, port)) return "partition";
  return {};
}

class FiftyPortRun : public RamCodeLineTest {
 protected:
  void SetUp() override {
    RamCodeLineTest::SetUp();
    drivesim::installLine(line_);
    previousList_ = CurrentDownloadFileList();
    for (int port = 0; port < kPorts; ++port) {
      const drivesim::DriveConfig config = DriveOf(port);
      drives_.push_back(&line_->addDrive(config));
      const bool ownUsb = config.frontEnd == drivesim::FrontEnd::OwnUsb;
      WirePort(port, config.path, ownUsb ? PortPath::OwnUsb : PortPath::Bridge);
      ASSERT_TRUE(ApplyBridgePath(port, config.bridgeChipType));
    }

    // As the station starts a run: the settings (bus mode 1, dumps on) and
    // the part applied, then the download list published.
    testsupport::SettingsFileBuilder settings;
    settings.section("Setting").key("SataBusMode", 1);
    settings.section("RDSetting").key("DumpDebugFile", 1);
    settings.section("FlashSetting").key("FlashUniName", "TVM").key("Channel", kSelectedPart.channels).key("Bank", 1);
    ASSERT_NO_FATAL_FAILURE(ApplySettingsFile(directory_,
                                              {.uni = "TVM",
                                               .part = kSelectedPart.name,
                                               .sectorsPerPage = kSectorsPerPage,
                                               .pagesPerBlock = kSelectedPart.pagesPerBlock,
                                               .blocks = kSelectedPart.blocks,
                                               .planes = kSelectedPart.planes,
                                               .makerClass = kSelectedPart.makerClass,
                                               .chipEnables = kSelectedPart.chipEnables,
                                               .eccMode = 2},
                                              settings));
    testsupport::WriteDownloadFileSet(directory_, kPageBytes, kSataName, kUsbName);
    const std::optional<DownloadFileList> list =
        BuildDownloadFileList({"Init.bin", kSataName, kUsbName}, CurrentFlashParams()->geometry.sectorsPerPage);
    ASSERT_TRUE(list.has_value());
    PublishDownloadFileList(std::make_shared<const DownloadFileList>(*list));
    selected_ = CurrentFlashParams();
    ASSERT_EQ(selected_->dumpDebugFile, 1);
    ASSERT_EQ(selected_->opcodeSetSelector, 1);
    for (int port = 0; port < kPorts; ++port) ASSERT_EQ(PortIo(port)->opcodeSet.load(), 1);
    // The workers map their buffers themselves, all at once.
    FreePortBuffers();
  }
  void TearDown() override {
    PublishDownloadFileList(previousList_);
    drivesim::installLine(nullptr);
    RamCodeLineTest::TearDown();
  }

  // Every port's worker at once, each in its own work session on its own
  // time line; returns when all have ended.
  void RunLine() {
    std::vector<std::stop_source> stops(kPorts);
    std::vector<PortWork> sessions;
    for (int port = 0; port < kPorts; ++port) {
      sessions.push_back(BeginPortWork(port, stops[static_cast<std::size_t>(port)].get_token()));
      ASSERT_TRUE(sessions.back()) << "port " << port;
    }
    std::latch start(kPorts);
    std::vector<std::jthread> workers;
    for (int port = 0; port < kPorts; ++port) {
      const auto at = static_cast<std::size_t>(port);
      workers.emplace_back([this, &start, port, at, session = std::move(sessions[at])]() mutable {
        const PortWork work = std::move(session);
        const platform::clock::ScopedTimeLine bind("port " + std::to_string(port));
        const platform::debug::ScopedPort tag(port);
        StartPortFlashParams(port);
        start.arrive_and_wait();  // so that the first uses of the buffers meet
        failures_[at] = RunItems(port, drives_[at]->config().path, buffers_[at]);
      });
    }
  }

  // The checks of one port after the run.

  // Its flash parameters are those its own drive's configuration gave.
  void ExpectOwnParameters(int port) {
    const drivesim::DriveConfig& config = drives_[Index(port)]->config();
    const LinePart& part = *KindOf(port).part;
    const std::shared_ptr<const FlashParams> params = ParamsOfPort(port);
    EXPECT_EQ(params->setting.partName.view(), config.flashPartName);
    EXPECT_EQ(params->setting.typeWord, part.typeWord());
    EXPECT_EQ(params->setting.channels, part.channels);
    EXPECT_EQ(params->setting.banks, part.banks);
    EXPECT_EQ(params->geometry.pagesPerBlock, part.pagesPerBlock);
    EXPECT_EQ(params->resPercentage, config.resPercentage);
  }

  // Its opcode set is what its own download left: set 2, or set 1 where the
  // bridge forces it; behind a bridge, the tunnel went from set 1 to that
  // set once and never back.
  void ExpectOwnOpcodeSet(int port) {
    const int expected = Forced(port) ? 1 : 2;
    EXPECT_EQ(PortIo(port)->opcodeSet.load(), expected);
    drivesim::Drive& drive = *drives_[Index(port)];
    if (drive.config().frontEnd != drivesim::FrontEnd::Bridge) return;
    const std::vector<int> sets = TunnelOpcodeSets(drive);
    ASSERT_FALSE(sets.empty());
    EXPECT_EQ(sets.front(), 1);
    EXPECT_EQ(sets.back(), expected);
    EXPECT_TRUE(std::is_sorted(sets.begin(), sets.end()));
  }

  // Its buffers were mapped once, and hold the last page its read-back took
  // from its own drive.
  void ExpectOwnBuffers(int port) {
    const std::shared_ptr<PortBuffers>& mine = buffers_[Index(port)];
    ASSERT_TRUE(mine);
    EXPECT_EQ(MappedPortBuffers(port), mine);
    const DownloadFile& last = List().files.back();
    const auto lastPage = static_cast<std::uint16_t>(last.startPage + last.pageCount - 1);
    const Bytes lastRead(mine->workBuffer1().begin(), mine->workBuffer1().begin() + kPageBytes);
    EXPECT_EQ(lastRead, drives_[Index(port)]->flashPage(0, 0, kLoaderBlocks[0], lastPage));
  }

  // Its drive got a loader header of its own in every loader block and
  // channel, and firmware pages with its own identity.
  void ExpectOwnLoaderArea(int port) {
    const drivesim::Drive& drive = *drives_[Index(port)];
    const drivesim::DriveConfig& config = drive.config();
    const LinePart& part = *KindOf(port).part;
    for (const std::uint16_t block : kLoaderBlocks) {
      for (std::uint8_t c = 0; c < part.channels; ++c) {
        SCOPED_TRACE("loader block " + std::to_string(block) + ", channel " + std::to_string(c));
        const Bytes header = drive.flashPage(c, 0, block, 0);
        EXPECT_EQ(header[24], c);
        EXPECT_EQ(header[25], kSectorsPerPage);
        EXPECT_EQ(Le16(header, 26), part.pagesPerBlock);
        EXPECT_EQ(Le16(header, 528), config.headerSequence + 1);
        EXPECT_EQ(TextAt(header, kLoaderPartNameOffset, kLoaderPartNameBytes), config.flashPartName);
      }
    }
    const std::string serial = IdentityOf(port).serialNumber;
    const Bytes sataPage = drive.flashPage(0, 0, kLoaderBlocks[0], List().files[1].startPage);
    EXPECT_EQ(AtaText(sataPage, firmware_page::kSerialNumber, firmware_page::kSerialNumberSize), serial);
    const Bytes usbPage = drive.flashPage(0, 0, kLoaderBlocks[0], List().files[2].startPage);
    EXPECT_EQ(DescriptorText(usbPage, kUsbSerialDescriptor), serial);
  }

  // Its raw dumps are in its own folder, whole, and hold its own drive's data.
  void ExpectOwnDumps(int port) {
    const drivesim::Drive& drive = *drives_[Index(port)];
    const LinePart& part = *KindOf(port).part;
    const fs::path folder = DumpFolder(port);
    std::set<std::string> names;
    for (const fs::directory_entry& entry : fs::directory_iterator(folder)) names.insert(entry.path().filename());
    EXPECT_EQ(names, (std::set<std::string>{"01_CP.raw", "10_TP01.raw", "10_TP02.raw", "10_TP04.raw", "10_WT01.raw",
                                            "10_WT02.raw", "10_WT04.raw", "11_RCO.raw", "12_RCI.raw", "UP000000.raw",
                                            "UP010000.raw", "UP020000.raw"}));

    const Bytes store = FileBytes(folder / "01_CP.raw");
    ASSERT_EQ(store.size(), kTableStoreSize);
    const std::vector<std::uint16_t> pages = LoaderTablePages(false);
    for (std::size_t slot = 0; slot < pages.size(); ++slot) {
      char read[16], written[16];
      std::snprintf(read, sizeof read, "10_TP%02X.raw", pages[slot]);
      std::snprintf(written, sizeof written, "10_WT%02X.raw", pages[slot]);
      SCOPED_TRACE(read);
      const Bytes tables = AllChannels(drive, kTableBlock, pages[slot]);
      EXPECT_EQ(FileBytes(folder / read), tables);
      EXPECT_EQ(FileBytes(folder / written), tables);
      const auto inStore = store.begin() + static_cast<std::ptrdiff_t>(slot * kTableStoreSlot);
      EXPECT_TRUE(std::equal(tables.begin(), tables.end(), inStore));
    }

    for (std::size_t k = 0; k < List().files.size(); ++k) {
      const DownloadFile& file = List().files[k];
      const std::string name = "UP0" + std::to_string(k) + "0000.raw";  // file k, loader block 0
      Bytes readBack;
      for (std::uint16_t i = 0; i < file.pageCount; ++i) {
        const Bytes page = drive.flashPage(0, 0, kLoaderBlocks[0], static_cast<std::uint16_t>(file.startPage + i));
        readBack.insert(readBack.end(), page.begin(), page.end());
      }
      EXPECT_EQ(FileBytes(folder / name), readBack) << name;
    }

    // The RAM code image with the parameter block of its own part and
    // reserve (low byte at 8, high byte at 26), and as it was read back.
    const Bytes ramCode = FileBytes(folder / "11_RCO.raw");
    ASSERT_EQ(ramCode.size(), kRamCodeImageSize);
    EXPECT_EQ(FileBytes(folder / "12_RCI.raw"), ramCode);
    EXPECT_EQ(Le16(ramCode, kParamBlockOffset), part.typeWord());
    EXPECT_EQ(ramCode[kParamBlockOffset + 3], part.channels);
    EXPECT_EQ(ramCode[kParamBlockOffset + 8] | ramCode[kParamBlockOffset + 26] << 8, drive.config().resPercentage);
  }

  // Its disk carries a partition table of its own size.
  void ExpectOwnPartitionTable(int port) {
    const drivesim::Drive& drive = *drives_[Index(port)];
    const Bytes sector0 = drive.userSectors(0, 1);
    const auto mbr = ComposeMbr({drive.config().sectorCount, 512, 255, 63}, DiskSignature(port));
    EXPECT_EQ(sector0, Bytes(mbr.begin(), mbr.end()));
  }

  // Its drive saw as many page writes as one download makes.
  void ExpectOneDownloadsPageWrites(int port) {
    std::size_t firmwarePages = 0;
    for (const DownloadFile& f : List().files) firmwarePages += f.pageCount;
    const std::vector<SentCommand> sent = ControllerCommands(*drives_[Index(port)]);
    const auto pageWrites = std::count_if(sent.begin(), sent.end(), [](const SentCommand& c) {
      return c.command.size() > 2 && c.command[2] == kWritePagesSubOp;
    });
    EXPECT_EQ(static_cast<std::size_t>(pageWrites),
              kLoaderBlocks.size() * (1 + LoaderTablePages(false).size() + firmwarePages));
  }

  std::uint32_t DiskSignature(int port) const { return Le32(drives_[Index(port)]->userSectors(0, 1), 440); }
  fs::path DumpFolder(int port) const {
    char name[16];
    std::snprintf(name, sizeof name, "Port%02d", port + 1);
    return directory_ / name;
  }
  static const DownloadFileList& List() { return *CurrentDownloadFileList(); }
  static std::size_t Index(int port) { return static_cast<std::size_t>(port); }

  std::vector<drivesim::Drive*> drives_;
  std::shared_ptr<const FlashParams> selected_;
  std::array<std::string, kPorts> failures_;
  std::array<std::shared_ptr<PortBuffers>, kPorts> buffers_;

 private:
  std::shared_ptr<const DownloadFileList> previousList_;
};

TEST_F(FiftyPortRun, EveryPortEndsWithItsOwnDrivesValuesAndNothingOfAnothers) {
  ASSERT_NO_FATAL_FAILURE(RunLine());
  EXPECT_EQ(CurrentFlashParams(), selected_) << "no port's work published a part";

  std::set<const PortBuffers*> buffers;
  std::set<std::uint32_t> signatures;
  std::set<Bytes> defectTables;
  std::vector<std::vector<SentCommand>> commandsOfKind(std::size(kKinds));
  for (int port = 0; port < kPorts; ++port) {
    SCOPED_TRACE("port " + std::to_string(port) + ", " + KindOf(port).name);
    EXPECT_FALSE(PortWorkerAlive(port));
    EXPECT_EQ(failures_[Index(port)], "");
    if (!failures_[Index(port)].empty()) continue;
    ExpectOwnParameters(port);
    ExpectOwnOpcodeSet(port);
    ExpectOwnBuffers(port);
    ExpectOwnLoaderArea(port);
    ExpectOwnDumps(port);
    ExpectOwnPartitionTable(port);
    ExpectOneDownloadsPageWrites(port);

    // What no two ports may share.
    EXPECT_TRUE(buffers.insert(buffers_[Index(port)].get()).second) << "another port's buffers";
    EXPECT_NE(DiskSignature(port), 0u);
    EXPECT_TRUE(signatures.insert(DiskSignature(port)).second) << "another drive's disk signature";
    defectTables.insert(FileBytes(DumpFolder(port) / "10_TP01.raw"));
    // The drive saw only its own worker's commands: the very commands of
    // the other drives of its kind, none more, none fewer.
    const std::vector<SentCommand> sent = ControllerCommands(*drives_[Index(port)]);
    std::vector<SentCommand>& first = commandsOfKind[KindIndexOf(port)];
    if (first.empty()) {
      first = sent;
    } else {
      EXPECT_TRUE(sent == first) << sent.size() << " commands, " << first.size() << " on the first port of its kind";
    }
  }
  EXPECT_EQ(defectTables.size(), static_cast<std::size_t>(kPorts)) << "the drives' tables tell them apart";
  std::size_t portFolders = 0;
  for (const fs::directory_entry& entry : fs::directory_iterator(directory_)) {
    if (entry.path().filename().string().starts_with("Port")) ++portFolders;
  }
  EXPECT_EQ(portFolders, static_cast<std::size_t>(kPorts)) << "a dump folder of no port";
}

}  // namespace
}  // namespace devlib::testing
