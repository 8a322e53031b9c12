#pragma once
// What one emulated drive is: how it reaches the host, who it says it is,
// what state its controller starts in, its flash and the faults it carries.

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace drivesim {

// How the drive reaches the host: the controller's own USB interface (chip
// type 10), a USB-to-SATA bridge, or a native SATA port.
enum class FrontEnd { OwnUsb, Bridge, SataPort };

// The bus the host lists a disk on: the front end's (a SATA port is IDE, the
// USB front ends USB), or SCSI or SBP2 in its place.
enum class HostBus { ByFrontEnd, Scsi, Sbp2 };

// What runs in the controller.
enum class RunState { Firmware, Loader, GdpRamCode, TstRamCode, GdpARamCode };

// The flash part's geometry as its type word encodes it: sectors per page in
// bits 0-2 (4, 8, 16), pages per block in bits 3-5 (64, 128, 256, 512),
// blocks per chip enable in bits 6-8 (2048, 4096, 8192, 16384, 1024), the
// plane exponent in bits 9-10.
struct FlashGeometry {
  std::uint8_t sectorsPerPage = 0;
  std::uint16_t pagesPerBlock = 0;
  std::uint16_t blocks = 0;
  std::uint8_t planes = 0;

  std::size_t pageBytes() const { return std::size_t{sectorsPerPage} * 512; }
  friend bool operator==(const FlashGeometry&, const FlashGeometry&) = default;
};

// Nothing for an index the encoding leaves undefined.
std::optional<FlashGeometry> decodeFlashTypeWord(std::uint16_t typeWord);

// The maker class of a type word's top four bits: 0 Micron, 1 Samsung,
// 2 Toshiba, 3 Hynix, 4 Intel, 5 Mira.
inline std::uint8_t makerClass(std::uint16_t typeWord) { return static_cast<std::uint8_t>(typeWord >> 12); }

// The chip-enable numbers a drive answers on: for group bases 0, 4, 8, ...
// the chip enables 0 .. chipEnables - 1 of each group, until `banks` of them
// are counted. Empty when either count is 0.
std::vector<std::uint8_t> chipEnableIds(std::uint8_t banks, std::uint8_t chipEnables);

// The work a RAM code runs in the background and reports through the status
// poll (sub-op 0x00): operations 1..4 (sub-ops 0x01..0x04 of the GDP codes)
// and the DRAM check (sub-op 0x05 of the TST code).
enum class Job { Operation1, Operation2, Operation3, Operation4, DramCheck };

struct JobBehaviour {
  int busyPolls = 0;                        // status polls answering busy (0xAA) after the start
  std::uint32_t busyMs = 0;                 // busy until this much virtual time has passed, too
  std::optional<std::uint8_t> finalStatus{};  // in place of the job's own (14, 12, 10, 18, 21)
  bool stuckBusy = false;                   // answers busy for ever
};

// A register that reads back wrong: `readsAs`, or a failed read when empty.
struct RegisterFault {
  std::uint32_t address = 0;
  std::optional<std::uint8_t> readsAs{};
};

// The n-th write into the test memory (counted from 1) stores one byte with
// the bits of `mask` flipped.
struct TestMemoryFlip {
  int write = 1;
  std::uint32_t offset = 0;  // from the start of that write
  std::uint8_t mask = 0x01;
};

// A sector whose 16-bit word `word` reads back XORed with `mask`; the store keeps it intact.
struct SectorCorruption {
  std::uint64_t lba = 0;
  std::uint16_t word = 0;  // 0 .. 255
  std::uint16_t mask = 0x0001;
};

// The flash ID one chip enable of one channel answers in place of `flashId`.
struct FlashIdAt {
  std::uint8_t channel = 0;
  std::uint8_t chipEnable = 0;
  std::array<std::uint8_t, 5> id{};
};

// Bad blocks and the flash tables the RAM code's preformat builds.
// A bad block of one channel and bank index (0 .. banks x planes - 1, as the
// firmware's bad-block list counts them). `type` is what went wrong with a
// block that went bad in use: 1 Ecc Over, 3 Prog Fail, 4 Erase Fail, 5 Ecc
// Fail; factory bad blocks leave it 0.
struct BadBlock {
  std::uint8_t channel = 0;
  std::uint8_t bank = 0;
  std::uint16_t block = 0;
  std::uint8_t type = 0;
};

// The table pages a fault can spoil: the first byte of the signature of one
// channel's part is flipped wherever the preformat writes that page.
enum class TablePage { Defect, EarlyBad, Remap, System, Later };
struct TableDamage {
  TablePage page = TablePage::Defect;
  std::uint8_t channel = 0;
};

// Faults the test RAM code's flash interface steps (sub-op 0x01) find: the
// step (1..3), how many of that step's commands fail (0: every one), and the
// entry the result block (sub-op 0x02) then lists: channel, bank and failure
// code (1..11).
struct FlashTestFault {
  std::uint8_t step = 1;
  int commands = 0;
  std::uint8_t channel = 0;
  std::uint8_t bank = 0;
  std::uint8_t code = 1;
};

// A DRAM cell that holds `stuckAt` whatever is written: a DRAM check whose
// range covers it ends with status 20 unless the pattern puts that very
// value there.
struct DramCellFault {
  std::uint32_t address = 0;
  std::uint8_t stuckAt = 0;
};

struct DriveConfig {
  std::string path;
  FrontEnd frontEnd = FrontEnd::OwnUsb;

  // The USB side: chip type of the bridge (10 for the own controller) and the
  // four bytes it reports at INQUIRY offset 36..39.
  int bridgeChipType = 10;
  std::string bridgeKey = "FA4X";
  bool bridgeCarriesUdma = true;  // false: SAT UDMA protocols are refused
  bool removable = true;          // INQUIRY RMB on the USB front ends
  std::string inquiryVendor = "Tolvane";
  std::string inquiryProduct = "KWFA4X USB SSD";
  std::string inquiryRevision = "1.00";
  // INQUIRY vendor and product (bytes 8..31) of the own USB interface while no
  // firmware runs; "Tolvane Flash CR Loader" for the other loader form.
  std::string usbLoaderInquiry = "Generic ZIR USB Loader";

  // The drive behind the front end.
  std::uint64_t sectorCount = 234441648;  // 120 GB
  std::string model = "Tolvane KWFA4X SATA SSD";
  std::string loaderModel = "Generic ZIR SATA Loader Loader Device";  // IDENTIFY model while no firmware runs
  std::string serial = "TV0000000001";
  std::string firmwareRevision = "A4X10001";
  std::uint64_t worldWideName = 0x5001a4c000000001;
  std::uint8_t temperature = 40;  // degrees Celsius, S.M.A.R.T. attribute 194
  bool smartTemperatureAttribute = true;  // false: the attribute table has no entry 194
  // IDENTIFY words 60-61 and 100-103 in place of the ones the sector count gives.
  std::optional<std::uint32_t> identifyLba28Sectors{};
  std::optional<std::uint64_t> identifyLba48Sectors{};

  // The controller.
  RunState runState = RunState::Firmware;  // the state it powers up in
  std::string firmwareDateCode = "120105";  // "100811", "110222", "110224", "110225": the older page read
  std::uint32_t unresponsiveMs = 0;  // after a run-mode switch or a RAM-code start, every command fails this long
  // After a run-mode switch the drive re-enumerates: this many INQUIRY commands
  // (own USB) or firmware signature reads (tunnel) fail before one answers.
  int reenumerationAttempts = 0;
  bool stuckInLoader = false;  // a switch to the firmware is taken, but the loader keeps running
  std::vector<std::uint16_t> loaderBlocks{0, 1, 2, 3};
  std::uint16_t eraseCountBlocks = 2048;  // entries per erase-count table
  std::uint16_t headerSequence = 1;       // loader header sequence number
  int busyPolls = 0;                      // status polls answering busy after a job without an entry in `jobs`
  std::map<Job, JobBehaviour> jobs;
  // Operation 1 with option 0x10 erases the loader blocks (first chip enable,
  // every channel). With this set, operation 1 without 0x10 and without the
  // erase option 0x01 checks the defect tables (page 1 of a loader block,
  // channel 0) and ends with status 15 in place of 14 when there are none.
  bool initChecksDefectTables = false;
  std::string gdpATag = "GDP_A";  // image tag at 0x304 that marks the GDP_A RAM code
  std::vector<RegisterFault> registerFaults;
  std::optional<TestMemoryFlip> testMemoryFlip{};

  // The flash: the part's type word and how many of it the drive carries.
  std::uint16_t flashTypeWord = 0x224a;  // 16 sectors per page, 128 pages per block, 4096 blocks, 2 planes
  std::uint8_t flashChannels = 4;
  std::uint8_t flashBanks = 2;
  std::uint8_t flashChipEnables = 2;
  std::array<std::uint8_t, 5> flashId{0x98, 0xd7, 0x94, 0x32, 0x76};
  std::vector<FlashIdAt> flashIdsAt;

  // The user data.
  std::vector<std::uint64_t> lbaReadErrors;   // a read that covers one of these fails
  std::vector<std::uint64_t> lbaWriteErrors;  // a write that covers one of these fails and stores nothing
  std::vector<SectorCorruption> corruptedSectors;

  // What tells drives apart on a diagnostic drive list: the host bus the disk
  // is listed on (by the front end unless given), its mounted volume, a hard
  // disk, and drives of other makers or that fail identification.
  HostBus hostBus = HostBus::ByFrontEnd;
  std::string volumeTag;           // the mounted volume ("E"); empty: none
  std::uint16_t rotationRate = 1;  // IDENTIFY word 217: 1 non-rotating, else rpm
  bool refusesVendorMode = false;  // SET FEATURES DCh and every vendor block are refused
  bool foreignSignature = false;   // the firmware signature sector is not E5 'K' 'W'
  bool identifyFails = false;      // IDENTIFY DEVICE is aborted

  // A firmware download the host writes into the loader blocks (page 8 on)
  // is booted on a switch to run mode 2 or 3 and at power-up; its identity
  // page then stands in for the identity above in IDENTIFY (SATA firmware),
  // INQUIRY (USB firmware), the configuration page and the date code. A
  // download that fails the boot checks leaves the loader running.
  //
  // What the firmware keeps of its download: the configuration page it serves
  // at memory address 0 (parameter 3) and the loader header on page 0 of the
  // loader blocks. Both also carry the identity, flash and loader-block
  // values above. The USB identity belongs to the own USB interface; the
  // other front ends run SATA firmware, whose page holds the IDENTIFY image.
  std::uint16_t usbVendorId = 0x3a8e;  // the own USB interface's device descriptor
  std::uint16_t usbProductId = 0x0a4f;
  std::string usbManufacturer;  // string descriptors 1 and 2; empty: the INQUIRY vendor and product
  std::string usbProduct;
  std::string flashPartName = "TH58TEG7DDJTA20";  // the loader header's part name
  bool bch24 = true;             // the firmware's ECC mode: BCH 24, else BCH 16
  bool flashExtraMode = false;   // the part's extra mode (parameter flags 0x20)
  std::uint8_t drvCurrent = 2;   // 0..5: 2 to 12 mA
  std::uint16_t resPercentage = 68;  // per mille of blocks in reserve
  // Parameter byte 32. The host's percentage decoder takes DefPercentage from
  // the same byte, so this is the drive's DefPercentage too.
  std::uint8_t readErrorThreshold = 20;
  std::uint8_t eccCopyThreshold = 16;
  std::uint8_t wearLevelFrequency = 8;
  std::uint8_t securityCounter = 3;
  std::uint8_t optionBitsA = 0x10;  // 0x10 scramble, 0x20 remap
  std::uint8_t optionBitsB = 0x00;
  std::uint8_t featureByte = 0x48;
  std::array<std::uint8_t, 7> registerSet2{0x11, 0x11, 0x11, 0x00, 0x9b, 0xf9, 0x54};  // TMC0 and TMC1 first
  std::array<std::uint16_t, 4> layoutWords{33, 1, 32, 0};
  // The loader header on page 0 of every loader block (the first four), on
  // every channel at the first chip enable; off, the blocks hold only what
  // is put there (flashpage bytes go over the header when both are given).
  bool loaderHeader = false;
  std::vector<std::uint16_t> loaderFilePages{2, 33, 38};  // download files' page counts, the first at page 8

  // --- Bad blocks and the preformat's tables ---
  std::vector<BadBlock> factoryBadBlocks;
  std::vector<BadBlock> laterBadBlocks;  // grown bad, in the order they went bad
  // The flash holds the tables of an earlier preformat that kept the later
  // tables (factory bad blocks early, grown ones in the later tables).
  bool tablesBuilt = false;
  // The units of the later-table blocks the system page names: bank index 0,
  // and every other bank index (on its own chip enable).
  std::array<std::uint16_t, 2> laterTableUnits{0x10, 0x11};
  // More bad blocks than this on one channel and bank index fail the
  // preformat with status 11 and a record per such die in the error block.
  std::optional<std::uint16_t> preformatBadBlockLimit{};
  std::vector<TableDamage> damagedTables;
  bool loaderListFails = false;  // sub-op 0x07 fails

  // --- The flash interface test's steps and the DRAM check ---
  std::vector<FlashTestFault> flashTestFaults;
  std::vector<DramCellFault> dramCellFaults;

  // --- The user data as the host's block device, and its volume ---
  // A raw disk image holding the user data (made sparse and grown to the
  // drive's size, never cut); empty: the data stays in memory.
  std::string imageFile;
  bool systemDisk = false;  // holds the running system: not opened for writing, its volume never found
  bool rescanBusy = false;  // re-reading the partition table fails as busy
  // Volume queries that find nothing after the partition table was read.
  std::uint32_t volumeAppearsAfter = 0;
  bool volumeNeverAppears = false;
  bool volumeLockFails = false;

  // The real time each command costs, spent after the command as a device
  // would: off by default, so that commands cost nothing.
  struct Latency {
    std::chrono::microseconds perCommand{0};
    std::uint64_t bytesPerSecond = 0;  // 0: the data moves at no cost
    // What a drive on the line costs: 0.5 ms a command, data at 40 MB/s.
    static Latency device() { return {std::chrono::microseconds(500), 40'000'000}; }
    std::chrono::microseconds of(std::size_t bytes) const;
  };
  Latency latency{};

  static DriveConfig ownUsb(std::string path);
  static DriveConfig bridge(std::string path, int chipType, std::string key);
  // The key that a bridge chip of this type reports ("q204" for type 7);
  // empty for an unknown type.
  static std::string keyOfChipType(int chipType);
  static DriveConfig sataPort(std::string path);
};

}  // namespace drivesim
