// The identity collection and the check items after it, against emulated
// drives on the fast clock, each with the port's work session open as the
// worker holds it.

#include "station/worker_checks.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <stop_token>
#include <string>
#include <utility>
#include <vector>

#include "devlib/bad_block_tables.h"
#include "devlib/drive_state.h"
#include "devlib/flash_geometry.h"
#include "devlib/flash_params.h"
#include "devlib/port_io.h"
#include "devlib/standard_commands.h"
#include "drivesim/config.h"
#include "drivesim/faults.h"
#include "platform/debug.h"
#include "ram_code_line.h"
#include "station/run_snapshot.h"
#include "station/test_items.h"

namespace fleetburn {
namespace {

using devlib::testing::PortPath;
using Bytes = std::vector<std::uint8_t>;

constexpr int kPort = 4;

// The emulated flash: 16 sectors per page, 128 pages per block, 4096 blocks,
// two planes; 4 channels of 2 banks on chip enables 0 and 1.
constexpr std::uint16_t kTypeWord = 0x124A;

devlib::FlashParams EmulatedPart() {
  devlib::FlashParams p;
  p.setting.typeWord = kTypeWord;
  p.setting.channels = 4;
  p.setting.banks = 2;
  p.setting.chipEnables = 2;
  p.setting.eccMode = 2;
  devlib::DecodeFlashGeometry(p.setting, p.geometry);
  p.resPercentage = 68;
  return p;
}

std::uint32_t Le32At(const Bytes& bytes, std::size_t at) {
  return std::uint32_t{bytes[at]} | std::uint32_t{bytes[at + 1]} << 8 | std::uint32_t{bytes[at + 2]} << 16 |
         std::uint32_t{bytes[at + 3]} << 24;
}

// A collection that holds only the one text an item reads.
enum class Text { Model, Firmware, Serial, Vendor, Product };
CollectedIdentity Collected(Text which, std::string text) {
  CollectedIdentity identity;
  switch (which) {
    case Text::Model:
      identity.model = std::move(text);
      break;
    case Text::Firmware:
      identity.firmware = std::move(text);
      break;
    case Text::Serial:
      identity.serial = std::move(text);
      break;
    case Text::Vendor:
      identity.vendor = std::move(text);
      break;
    case Text::Product:
      identity.product = std::move(text);
      break;
  }
  return identity;
}

std::string Padded(std::string text, std::size_t length) {
  text.resize(length, ' ');
  return text;
}

class CheckItems : public devlib::testing::RamCodeLineTest {
 protected:
  void SetUp() override {
    RamCodeLineTest::SetUp();
    devlib::PublishFlashParams(EmulatedPart());
  }
  void TearDown() override {
    work_ = devlib::PortWork{};
    RamCodeLineTest::TearDown();
  }

  // Puts a drive on the port and opens the port's work session on it.
  drivesim::Drive& Attach(PortPath path, const std::function<void(drivesim::DriveConfig&)>& configure = {}) {
    work_ = devlib::PortWork{};
    drivesim::DriveConfig config = devlib::testing::DriveFor(path, kPort);
    if (configure) configure(config);
    drivesim::Drive& drive = line_->addDrive(config);
    devlib::testing::WirePort(kPort, config.path, path);
    work_ = devlib::BeginPortWork(kPort, stop_.get_token());
    EXPECT_TRUE(work_);
    return drive;
  }

  ItemContext Context() { return ItemContext{kPort, run_, record_, buffer_, downloadModel_}; }
  ItemOutcome Run(int item) { return RunCheckItem(item, Context(), identity_); }

  RunSnapshot run_;
  PortRecord record_;
  Bytes buffer_ = Bytes(64 * 1024);
  std::string downloadModel_;
  CollectedIdentity identity_;

 private:
  std::stop_source stop_;
  devlib::PortWork work_;
};

void ExpectFailedWithDetail(const ItemOutcome& outcome, std::uint32_t errorCode) {
  EXPECT_FALSE(outcome.passed);
  EXPECT_EQ(outcome.errorCode, errorCode);
  EXPECT_TRUE(outcome.copyDetail);
}

// --- the identity collection ------------------------------------------------------------

TEST_F(CheckItems, SataPathTakesTheIdentifyTextsAndWritesTheSerialOverTheRecords) {
  Attach(PortPath::Bridge, [](drivesim::DriveConfig& config) {
    config.model = "Tolvane KW SSD 128G";
    config.firmwareRevision = "A4X10007";
    config.serial = "TV4711";
  });
  record_.serialNumber.assign("ASSIGNED0123456789ABCDEF");
  const CollectedIdentity identity = CollectIdentity(kPort, record_, buffer_);
  EXPECT_EQ(identity.model, Padded("Tolvane KW SSD 128G", 40));
  EXPECT_EQ(identity.firmware, "A4X10007");
  EXPECT_EQ(identity.serial, Padded("TV4711", 20));
  EXPECT_EQ(identity.vendor, "") << "a SATA-path drive names no vendor";
  EXPECT_EQ(identity.product, "");
  EXPECT_EQ(record_.serialNumber.view(), Padded("TV4711", 20) + "CDEF") << "only the beginning is written over";
}

TEST_F(CheckItems, UsbPathTakesTheInquiryTextsAndTheDescriptorSerial) {
  Attach(PortPath::OwnUsb, [](drivesim::DriveConfig& config) {
    config.inquiryVendor = "Tolvane";
    config.inquiryProduct = "KWFA4X USB SSD";
    config.inquiryRevision = "1.07";
  });
  record_.usbSerial = "USB0000000000000004711";  // longer than a drive serial number
  record_.serialNumber.assign("ASSIGNED01");
  const CollectedIdentity identity = CollectIdentity(kPort, record_, buffer_);
  EXPECT_EQ(identity.model, "Tolvane KWFA4X USB SSD  ");
  EXPECT_EQ(identity.vendor, "Tolvane ");
  EXPECT_EQ(identity.product, "KWFA4X USB SSD  ");
  EXPECT_EQ(identity.firmware, "1.07    ");
  EXPECT_EQ(identity.serial, "USB00000000000000047");
  EXPECT_EQ(record_.serialNumber.view(), "ASSIGNED01") << "a descriptor serial from before the download is not written";
}

TEST_F(CheckItems, AFailedCollectionCollectsNothingAndKeepsTheRecordsSerial) {
  const struct {
    const char* name;
    PortPath path;
  } cases[] = {{"identifyAborted", PortPath::Bridge}, {"inquiryRefused", PortPath::OwnUsb}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    drivesim::Drive& drive = Attach(c.path, [](drivesim::DriveConfig& config) { config.identifyFails = true; });
    drivesim::FaultRule inquiry;
    inquiry.kind = drivesim::FaultKind::CheckCondition;
    inquiry.match.scsiOpcode = 0x12;
    inquiry.times = -1;
    if (c.path == PortPath::OwnUsb) drive.injectFault(inquiry);
    record_.usbSerial = "USB4711";
    record_.serialNumber.assign("ASSIGNED01");
    const CollectedIdentity identity = CollectIdentity(kPort, record_, buffer_);
    EXPECT_EQ(identity.model, "");
    EXPECT_EQ(identity.firmware, "");
    EXPECT_EQ(identity.serial, "");
    EXPECT_EQ(identity.vendor, "");
    EXPECT_EQ(record_.serialNumber.view(), "ASSIGNED01");
  }
}

TEST(IdentityNeeded, OneOfTheItemsFifteenToTwentySeven) {
  const struct {
    std::vector<int> enabled;
    bool needed;
  } cases[] = {{{}, false},   {{15}, true},         {{20}, true},    {{27}, true},
               {{28}, false}, {{14, 13, 1}, false}, {{26, 28}, true}};
  for (const auto& c : cases) {
    devlib::SettingsRecord settings;
    for (const int item : c.enabled) settings.ItemEnable[static_cast<std::size_t>(item)] = 1;
    EXPECT_EQ(IdentityNeeded(settings), c.needed) << ::testing::PrintToString(c.enabled);
  }
}

// --- the identity checks ----------------------------------------------------------------

struct TextCase {
  const char* name;
  int item;
  CollectedIdentity identity;
  std::string downloadModel;
  std::function<void(devlib::SettingsRecord&)> settings;
  bool passed;
};

TEST_F(CheckItems, IdentityTextsAgainstTheSettings) {
  const std::string model40 = Padded("Tolvane KW SSD 128G", 40);
  const auto firmware = [](const char* text) {
    return [text](devlib::SettingsRecord& s) { s.FirmwareVer.assign(text); };
  };
  const auto vendor = [](const char* text) { return [text](devlib::SettingsRecord& s) { s.VendorName.assign(text); }; };
  const auto product = [](const char* text) {
    return [text](devlib::SettingsRecord& s) { s.ProductName.assign(text); };
  };
  const auto none = [](devlib::SettingsRecord&) {};
  std::string differsAt23 = model40;
  differsAt23[23] = 'X';
  std::string differsAt24 = model40;
  differsAt24[24] = 'X';
  const TextCase cases[] = {
      {"modelEqual", 15, Collected(Text::Model, model40), "Tolvane KW SSD 128G", none, true},
      {"modelDiffersAtTheLastComparedCharacter", 15, Collected(Text::Model, differsAt23), "Tolvane KW SSD 128G", none,
       false},
      {"modelDiffersAfterTheFirst24", 15, Collected(Text::Model, differsAt24), "Tolvane KW SSD 128G", none, true},
      {"modelShortOfThePadding", 15, Collected(Text::Model, "Tolvane KW SSD 128G"), "Tolvane KW SSD 128G", none, false},
      {"modelOfAnotherDrive", 15, Collected(Text::Model, Padded("Tolvane KW SSD 256G", 40)), "Tolvane KW SSD 128G",
       none, false},
      {"usbModelOf24", 15, Collected(Text::Model, "Tolvane KWFA4X USB SSD  "), "Tolvane KWFA4X USB SSD", none, true},
      {"nothingCollected", 15, {}, "Tolvane KW SSD 128G", none, false},
      {"firmwareEqual", 16, Collected(Text::Firmware, "A4X10007"), "", firmware("A4X10007"), true},
      {"firmwarePaddedSetting", 16, Collected(Text::Firmware, "1.07    "), "", firmware("1.07"), true},
      {"firmwareDiffers", 16, Collected(Text::Firmware, "A4X10008"), "", firmware("A4X10007"), false},
      {"firmwareLongerSettingComparesEight", 16, Collected(Text::Firmware, "A4X10007"), "", firmware("A4X100079"),
       true},
      {"vendorPrefix", 17, Collected(Text::Vendor, "Tolvane "), "", vendor("Tolvane"), true},
      {"vendorDiffers", 17, Collected(Text::Vendor, "Tolvano "), "", vendor("Tolvane"), false},
      {"vendorShorter", 17, Collected(Text::Vendor, "Tol"), "", vendor("Tolvane"), false},
      {"productPrefix", 18, Collected(Text::Product, "KWFA4X USB SSD  "), "", product("KWFA4X USB"), true},
      {"productDiffers", 18, Collected(Text::Product, "KWFA4X USB SSD  "), "", product("KWFA5X"), false},
  };
  for (const TextCase& c : cases) {
    SCOPED_TRACE(c.name);
    run_.settings = {};
    c.settings(run_.settings);
    downloadModel_ = c.downloadModel;
    identity_ = c.identity;
    const ItemOutcome outcome = Run(c.item);
    EXPECT_EQ(outcome.passed, c.passed);
    if (!c.passed) ExpectFailedWithDetail(outcome, 0);
  }
}

struct SerialCase {
  const char* name;
  bool pattern;
  const char* value;  // SnCheckValue, or the port's barcode serial
  const char* mask;
  std::string serial;
  bool passed;
};

TEST_F(CheckItems, SerialNumberCheckComparesWhereTheMaskHasHashes) {
  const SerialCase cases[] = {
      {"patternAB12", true, "AB12", "####", "AB12XYZ", true},
      {"patternAB13", true, "AB12", "####", "AB13XYZ", false},
      {"secondCharacterSkipped", true, "AB12", "#-##", "AX12", true},
      {"skippingStopsAtTheMask", true, "AB12", "#-##", "AX13", false},
      {"positionsBeyondTheMaskSkipped", true, "AB12", "##", "AB99", true},
      {"emptyMaskComparesAll", true, "AB12", "", "AB12", true},
      {"emptyMaskFindsTheDifference", true, "AB12", "", "AB1", false},
      {"barcodePaddedTo20", false, "BC123", "####################", Padded("BC123", 20), true},
      {"barcodeAgainstAShortSerial", false, "BC123", "####################", "BC123", false},
      {"barcodeMaskedToFive", false, "BC123", "#####", "BC123", true},
      {"barcodeDiffers", false, "BC123", "#####", "BC124", false},
      {"barcodeLastPositionCompared", false, "BC123", "####################", Padded("BC123", 19) + "Z", false},
      {"barcodeBeyondPosition19NotCompared", false, "BC123", "", Padded("BC123", 20) + "TAIL", true},
  };
  for (const SerialCase& c : cases) {
    SCOPED_TRACE(c.name);
    run_.settings = {};
    run_.settings.SnCheckPattern = c.pattern ? 1 : 0;
    run_.settings.SnCheckMask.assign(c.mask);
    run_.barcodeSerials = {};
    if (c.pattern) {
      run_.settings.SnCheckValue.assign(c.value);
      run_.barcodeSerials[kPort].assign("AB12XYZ");  // not read in pattern mode
    } else {
      run_.settings.SnCheckValue.assign("ZZZZ");  // not read in barcode mode
      run_.barcodeSerials[kPort].assign(c.value);
    }
    identity_ = Collected(Text::Serial, c.serial);
    const ItemOutcome outcome = Run(20);
    EXPECT_EQ(outcome.passed, c.passed);
    if (!c.passed) ExpectFailedWithDetail(outcome, 0);
  }
}

// --- the capacity checks ----------------------------------------------------------------

struct CapacityCase {
  const char* name;
  int item;
  PortPath path;
  std::uint64_t sectors;
  std::uint16_t setting;  // IdemaCapacity (item 19) or LbaCapacity (item 21)
  bool capacityReadFails;
  bool passed;
};

TEST_F(CheckItems, CapacityChecksCountSectors) {
  const CapacityCase cases[] = {
      {"idema128OnABridge", 19, PortPath::Bridge, 250'069'680, 128, false, true},
      {"idema128OnTheOwnUsbInterface", 19, PortPath::OwnUsb, 250'069'680, 128, false, true},
      {"idemaOneSectorShort", 19, PortPath::OwnUsb, 250'069'679, 128, false, false},
      {"idemaOneSectorOver", 19, PortPath::Bridge, 250'069'681, 128, false, false},
      {"idema512", 19, PortPath::Bridge, 1'000'215'216, 512, false, true},
      // 2199 GB is 4,295,776,464 sectors, which wraps in 32 bits to 809,168.
      {"idemaBeyond32BitsNeverMatchesTheWrappedValue", 19, PortPath::Bridge, 809'168, 2199, false, false},
      {"lbaEqual", 21, PortPath::Bridge, 60'000, 60'000, false, true},
      {"lbaOnTheOwnUsbInterfaceIsACount", 21, PortPath::OwnUsb, 60'000, 60'000, false, true},
      {"lbaDiffers", 21, PortPath::Bridge, 60'001, 60'000, false, false},
      {"lbaUnreadableIsNoMatchForZero", 21, PortPath::OwnUsb, 60'000, 0, true, false},
  };
  for (const CapacityCase& c : cases) {
    SCOPED_TRACE(c.name);
    drivesim::Drive& drive = Attach(c.path, [&](drivesim::DriveConfig& config) { config.sectorCount = c.sectors; });
    if (c.capacityReadFails) {
      drivesim::FaultRule rule;
      rule.kind = drivesim::FaultKind::CheckCondition;
      rule.match.scsiOpcode = 0x25;
      rule.times = -1;
      drive.injectFault(rule);
    }
    run_.settings = {};
    (c.item == 19 ? run_.settings.IdemaCapacity : run_.settings.LbaCapacity) = c.setting;
    const ItemOutcome outcome = Run(c.item);
    EXPECT_EQ(outcome.passed, c.passed);
    if (!c.passed) ExpectFailedWithDetail(outcome, 0);
  }
}

// --- the read/write items and the erase -------------------------------------------------

TEST_F(CheckItems, PartialReadWriteTestPassesAndFailsWithTheFailureRecord) {
  Attach(PortPath::Bridge, [](drivesim::DriveConfig& config) { config.sectorCount = 1'000'000; });
  EXPECT_TRUE(Run(22).passed);

  Attach(PortPath::Bridge, [](drivesim::DriveConfig& config) {
    config.sectorCount = 1'000'000;
    config.lbaWriteErrors = {0};
  });
  ExpectFailedWithDetail(Run(22), 0);
  EXPECT_EQ(Le32At(buffer_, 0), devlib::kLbaWriteFailureKind);
}

TEST_F(CheckItems, EraseAllDataWritesOnesOverTheDrive) {
  drivesim::Drive& drive = Attach(PortPath::OwnUsb, [](drivesim::DriveConfig& config) { config.sectorCount = 1000; });
  EXPECT_TRUE(Run(26).passed);
  EXPECT_EQ(drive.userSectors(0, 1000), Bytes(1000 * 512, 0xFF));

  Attach(PortPath::OwnUsb, [](drivesim::DriveConfig& config) {
    config.sectorCount = 1000;
    config.lbaWriteErrors = {700};
  });
  ExpectFailedWithDetail(Run(26), 0);
}

TEST_F(CheckItems, ItemsWithoutTheirOperationFailAndSaySo) {
  Attach(PortPath::Bridge);
  for (const int item : {23, 24, 25}) {
    SCOPED_TRACE(item);
    platform::debug::CaptureSink debug;
    const ItemOutcome outcome = Run(item);
    EXPECT_FALSE(outcome.passed);
    EXPECT_EQ(outcome.errorCode, 0u);
    EXPECT_FALSE(outcome.copyDetail) << "nothing ran, so the work buffer tells nothing";
    EXPECT_TRUE(debug.contains(std::string(TestItemTable[static_cast<std::size_t>(item)].itemName) + " not available"));
  }
}

// --- the QC checks ----------------------------------------------------------------------

struct TablesCase {
  const char* name;
  std::vector<drivesim::BadBlock> grown;
  std::vector<drivesim::TableDamage> damage;
  std::uint16_t limit;
  std::optional<std::uint32_t> errorCode;  // none: passes
  devlib::BadBlockCounterRow totals;       // what the failure record holds
};

TEST_F(CheckItems, QcCheckTablesAgainstTheBadBlockLimit) {
  const std::vector<drivesim::BadBlock> twoGrown = {{.channel = 1, .bank = 3, .block = 0x44, .type = 3},
                                                    {.channel = 2, .bank = 0, .block = 0x66, .type = 1}};
  const TablesCase cases[] = {
      {"onlyEarlyBadBlocks", {}, {}, 0, std::nullopt, {}},
      {"oneGrownOverLimit0", {{.channel = 0, .bank = 1, .block = 9, .type = 4}}, {}, 0, 33, {2, 1, 0, 0, 0}},
      {"twoGrownWithinLimit2", twoGrown, {}, 2, std::nullopt, {}},
      {"twoGrownOverLimit1", twoGrown, {}, 1, 33, {2, 0, 1, 0, 1}},
      {"defectTableMissing", {}, {{.page = drivesim::TablePage::Defect, .channel = 0}}, 0, 27, {}},
  };
  for (const TablesCase& c : cases) {
    SCOPED_TRACE(c.name);
    Attach(PortPath::OwnUsb, [&](drivesim::DriveConfig& config) {
      config.flashTypeWord = kTypeWord;
      config.loaderHeader = true;
      config.tablesBuilt = true;
      config.factoryBadBlocks = {{.channel = 0, .bank = 0, .block = 5, .type = 0},
                                 {.channel = 3, .bank = 1, .block = 40, .type = 0}};
      config.laterBadBlocks = c.grown;
      config.damagedTables = c.damage;
    });
    run_.settings = {};
    run_.settings.QCBadBlockLimit = c.limit;
    buffer_.assign(buffer_.size(), 0x5A);
    const ItemOutcome outcome = Run(27);
    EXPECT_EQ(outcome.passed, !c.errorCode.has_value());
    if (!c.errorCode) continue;
    ExpectFailedWithDetail(outcome, *c.errorCode);
    if (*c.errorCode == 33) {
      EXPECT_EQ(buffer_[0], 0xBB);
      for (std::size_t i = 0; i < c.totals.size(); ++i) EXPECT_EQ(Le32At(buffer_, 1 + 4 * i), c.totals[i]) << i;
    } else {
      EXPECT_EQ(buffer_[0], devlib::kDefectTableMissing);
    }
  }
}

TEST_F(CheckItems, CheckTablesWithItsOwnCodeAndNoGrownBadBlockAllowed) {
  const auto attach = [&](std::vector<drivesim::BadBlock> grown, std::vector<drivesim::TableDamage> damage) {
    Attach(PortPath::OwnUsb, [&](drivesim::DriveConfig& config) {
      config.flashTypeWord = kTypeWord;
      config.loaderHeader = true;
      config.tablesBuilt = true;
      config.factoryBadBlocks = {{.channel = 2, .bank = 2, .block = 7, .type = 0}};
      config.laterBadBlocks = std::move(grown);
      config.damagedTables = std::move(damage);
    });
  };
  attach({}, {});
  EXPECT_TRUE(CheckTablesWithinLimit(Context(), 9, 0).passed) << "only the first total is not 0";
  attach({{.channel = 0, .bank = 0, .block = 11, .type = 5}}, {});
  ExpectFailedWithDetail(CheckTablesWithinLimit(Context(), 9, 0), 33);
  attach({}, {{.page = drivesim::TablePage::EarlyBad, .channel = 1}});
  ExpectFailedWithDetail(CheckTablesWithinLimit(Context(), 9, 0), 9);
}

TEST_F(CheckItems, QcCheckTablesThatCannotReadEveryBadBlockListFails) {
  drivesim::Drive& drive = Attach(PortPath::OwnUsb, [&](drivesim::DriveConfig& config) {
    config.flashTypeWord = kTypeWord;
    config.loaderHeader = true;
    config.tablesBuilt = true;
    config.laterBadBlocks = {{.channel = 1, .bank = 0, .block = 21, .type = 4}};
  });
  drivesim::FaultRule rule;
  rule.kind = drivesim::FaultKind::TransportFailure;
  rule.match.subOp = 0x00;  // the bad-block lists; channel 1 of bank index 0 comes second
  rule.skip = 1;
  drive.injectFault(rule);
  run_.settings = {};
  platform::debug::CaptureSink debug;
  ExpectFailedWithDetail(Run(27), 27);
  EXPECT_TRUE(debug.contains("the bad blocks could not all be counted"));
}

struct TemperatureCase {
  const char* name;
  PortPath path;
  std::uint8_t raw;
  std::uint8_t limit;
  bool readFails;
  bool passed;
  std::int8_t temperature;
};

TEST_F(CheckItems, QcCheckTemperatureTakesTheQcLimit) {
  const TemperatureCase cases[] = {
      {"atTheLimit", PortPath::Bridge, 45, 45, false, true, 45},
      {"aboveTheLimit", PortPath::Bridge, 45, 44, false, false, 45},
      {"smartReadFails", PortPath::Bridge, 30, 60, true, false, 0},
      {"ownUsbInterfaceCarriesNoSmart", PortPath::OwnUsb, 90, 44, false, true, 0},
  };
  for (const TemperatureCase& c : cases) {
    SCOPED_TRACE(c.name);
    drivesim::Drive& drive = Attach(c.path, [&](drivesim::DriveConfig& config) { config.temperature = c.raw; });
    if (c.readFails) {
      drivesim::FaultRule rule;
      rule.kind = drivesim::FaultKind::AtaError;
      rule.match.ataCommand = 0xB0;
      drive.injectFault(rule);
    }
    run_.settings = {};
    run_.settings.QCCheckMaxTemperatureValue = c.limit;
    run_.settings.CheckMaxTemperatureValue = 100;  // item 13's limit, not this item's
    record_.temperature = 77;
    platform::debug::CaptureSink debug;
    const ItemOutcome outcome = Run(28);
    EXPECT_EQ(outcome.passed, c.passed);
    if (!c.passed) ExpectFailedWithDetail(outcome, 0);
    EXPECT_EQ(record_.temperature, c.temperature);
    EXPECT_EQ(debug.contains("carries no S.M.A.R.T."), c.path == PortPath::OwnUsb);
  }
}

}  // namespace
}  // namespace fleetburn
