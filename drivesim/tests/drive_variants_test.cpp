// The drives a diagnostic drive list must tell apart: hard disks, drives of
// other makers, drives that refuse vendor mode or fail IDENTIFY, the bus they
// are listed on and their volume; and the disk interfaces of the line's tree.

#include <gtest/gtest.h>

#include <string>

#include "drive_test_support.h"
#include "drivesim/scenario.h"

namespace drivesim::test {
namespace {

using BusKind = platform::devices::DeviceTree::BusKind;

constexpr const char* kHead = "[drive]\npath = /dev/sdc\nfrontend = sata\n";

TEST(DriveVariantKeys, ReachTheDrive) {
  const ScenarioLoad load = parseScenario(std::string(kHead) +
                                          "bus = scsi\nvolume = E\nrotation = 7200\nvendormode = refuses\n"
                                          "signature = foreign\nidentify = fails\n"
                                          "[drive]\npath = /dev/sdd\nfrontend = own-usb\nbus = sbp2\n"
                                          "vendormode = accepts\nsignature = own\nidentify = answers\n");
  ASSERT_TRUE(load.line) << load.error;
  const DriveConfig& c = load.line->drive("/dev/sdc")->config();
  EXPECT_EQ(c.hostBus, HostBus::Scsi);
  EXPECT_EQ(c.volumeTag, "E");
  EXPECT_EQ(c.rotationRate, 7200);
  EXPECT_TRUE(c.refusesVendorMode);
  EXPECT_TRUE(c.foreignSignature);
  EXPECT_TRUE(c.identifyFails);
  const DriveConfig& d = load.line->drive("/dev/sdd")->config();
  EXPECT_EQ(d.hostBus, HostBus::Sbp2);
  EXPECT_EQ(d.volumeTag, "");
  EXPECT_EQ(d.rotationRate, 1);
  EXPECT_FALSE(d.refusesVendorMode);
  EXPECT_FALSE(d.foreignSignature);
  EXPECT_FALSE(d.identifyFails);
}

struct BadKey {
  const char* line;
  const char* inError;
};

TEST(DriveVariantKeys, BadValuesNameTheLine) {
  const BadKey cases[] = {
      {"bus = ide\n", "scsi or sbp2"},
      {"rotation = 65536\n", "from 0 to 65535"},
      {"vendormode = sometimes\n", "accepts or refuses"},
      {"signature = theirs\n", "own or foreign"},
      {"identify = no\n", "answers or fails"},
  };
  for (const BadKey& c : cases) {
    SCOPED_TRACE(c.line);
    const ScenarioLoad load = parseScenario(std::string(kHead) + c.line);
    EXPECT_FALSE(load.line);
    EXPECT_NE(load.error.find("line 4"), std::string::npos) << load.error;
    EXPECT_NE(load.error.find(c.inError), std::string::npos) << load.error;
  }
}

class DriveVariants : public LineTest {
 protected:
  std::unique_ptr<Device> sata(const std::function<void(DriveConfig&)>& change) {
    DriveConfig config = DriveConfig::sataPort(kSataPath);
    change(config);
    line->addDrive(config);
    return open(kSataPath);
  }

  static AtaOutcome identify(Device& device, Bytes& data) {
    return ata(device, {0, 1, 0, 0, 0, 0xe0, 0xec}, Direction::In, data);
  }
  // Vendor mode on, then the firmware signature sector.
  static Bytes signature(Device& device) {
    EXPECT_FALSE(ataFailed(ata(device, setFeatures(0xdc, 0x4b))));
    Bytes sector(kSector, 0xee);
    EXPECT_FALSE(ataFailed(ata(device, tunnelRegisters(kSet2.read, 1, 0xff), Direction::In, sector, true)));
    return sector;
  }
};

TEST_F(DriveVariants, RotationRateIsWord217AndTheChecksumStillHolds) {
  for (const std::uint16_t rate : {std::uint16_t{1}, std::uint16_t{7200}}) {
    auto device = sata([rate](DriveConfig& c) { c.rotationRate = rate; });
    Bytes data(kSector);
    ASSERT_FALSE(ataFailed(identify(*device, data)));
    EXPECT_EQ(word(data, 217), rate);
    unsigned sum = 0;
    for (auto b : data) sum += b;
    EXPECT_EQ(sum & 0xff, 0u);
  }
}

TEST_F(DriveVariants, IdentifyFailsWithAbort) {
  auto device = sata([](DriveConfig& c) { c.identifyFails = true; });
  Bytes data(kSector, 0xee);
  const AtaOutcome outcome = identify(*device, data);
  EXPECT_TRUE(outcome.transportOk);
  EXPECT_TRUE(ataFailed(outcome));
  EXPECT_EQ(outcome.current.features, 0x04) << "ABRT";
}

TEST_F(DriveVariants, RefusedVendorModeLeavesTheTunnelShut) {
  auto device = sata([](DriveConfig& c) { c.refusesVendorMode = true; });
  const AtaOutcome on = ata(*device, setFeatures(0xdc, 0x4b));
  EXPECT_TRUE(ataFailed(on));
  EXPECT_EQ(on.current.features, 0x04);
  EXPECT_FALSE(line->drive(kSataPath)->vendorMode());
  Bytes sector(kSector);
  EXPECT_TRUE(ataFailed(ata(*device, tunnelRegisters(kSet2.read, 1, 0xff), Direction::In, sector, true)));
  EXPECT_FALSE(ataFailed(ata(*device, setFeatures(0x02, 0)))) << "other features still taken";
}

TEST_F(DriveVariants, OwnUsbInterfaceRefusingVendorModeRefusesVendorBlocks) {
  for (const bool refuses : {false, true}) {
    DriveConfig config = DriveConfig::ownUsb(kUsbPath);
    config.refusesVendorMode = refuses;
    line->addDrive(config);
    auto device = open(kUsbPath);
    Bytes reply(kSector);
    const ScsiOutcome outcome = scsi(*device, vendorBlock(0x04, 0x80), Direction::In, reply);
    EXPECT_TRUE(outcome.transportOk);
    EXPECT_EQ(outcome.scsiStatus, refuses ? 2 : 0) << refuses;
  }
}

TEST_F(DriveVariants, ForeignFirmwareAnswersAnotherSignature) {
  const Bytes own = signature(*sata([](DriveConfig&) {}));
  EXPECT_EQ(Bytes(own.begin(), own.begin() + 3), (Bytes{0xe5, 'K', 'W'}));
  const Bytes foreign = signature(*sata([](DriveConfig& c) { c.foreignSignature = true; }));
  EXPECT_EQ(foreign, Bytes(kSector, 0));
}

// ---------------------------------------------------------------------------
// The disk interfaces of the line's tree.

TEST_F(LineTest, DiskInterfacesListThePresentDrivesWithTheirBusAndVolume) {
  line->addDrive(DriveConfig::ownUsb(kUsbPath));
  line->addDrive(DriveConfig::bridge(kBridgePath, 7, DriveConfig::keyOfChipType(7)));
  DriveConfig sataDrive = DriveConfig::sataPort(kSataPath);
  sataDrive.volumeTag = "E";
  line->addDrive(sataDrive);
  DriveConfig scsiDrive = DriveConfig::sataPort("\\\\?\\scsi#disk&ven_tolvane#1");
  scsiDrive.hostBus = HostBus::Scsi;
  line->addDrive(scsiDrive);
  DriveConfig sbp2Drive = DriveConfig::ownUsb("\\\\?\\sbp2#tolvane#2");
  sbp2Drive.hostBus = HostBus::Sbp2;
  line->addDrive(sbp2Drive);
  DriveConfig gone = DriveConfig::sataPort("/dev/sdq");
  line->addDrive(gone).unplug();

  struct Expected {
    std::string path;
    BusKind bus;
    std::string volumeTag;
  };
  const std::vector<Expected> expected = {
      {kUsbPath, BusKind::Usb, ""},
      {kBridgePath, BusKind::Usb, ""},
      {kSataPath, BusKind::Ide, "E"},
      {"\\\\?\\scsi#disk&ven_tolvane#1", BusKind::Scsi, ""},
      {"\\\\?\\sbp2#tolvane#2", BusKind::Sbp2, ""},
  };
  const auto disks = line->deviceTree()->listDiskInterfaces();
  ASSERT_EQ(disks.size(), expected.size());
  for (std::size_t i = 0; i < disks.size(); ++i) {
    SCOPED_TRACE(expected[i].path);
    EXPECT_EQ(disks[i].openPath, expected[i].path);
    EXPECT_EQ(disks[i].busKind, expected[i].bus);
    EXPECT_EQ(disks[i].volumeTag, expected[i].volumeTag);
  }
  EXPECT_TRUE(line->deviceTree()->rescan());
}

TEST_F(LineTest, DiskInterfacesFollowThePlugState) {
  Drive& usb = line->addDrive(DriveConfig::ownUsb(kUsbPath));
  Drive& sata = line->addDrive(DriveConfig::sataPort(kSataPath));
  const auto paths = [this] {
    std::vector<std::string> out;
    for (const auto& disk : line->deviceTree()->listDiskInterfaces()) out.push_back(disk.openPath);
    return out;
  };
  usb.unplug();
  EXPECT_EQ(paths(), std::vector<std::string>{kSataPath});
  usb.plug();
  sata.unplug();
  EXPECT_EQ(paths(), std::vector<std::string>{kUsbPath});
  // A drive plugged in behind a port that is pulled out is not there either.
  ASSERT_TRUE(line->deviceTree()->unplugPort(line->topology().ports().at(0).at));
  EXPECT_TRUE(paths().empty());
}

}  // namespace
}  // namespace drivesim::test
