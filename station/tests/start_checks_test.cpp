// START's checks: each refusal with its message, the capacity refusal's
// cleared results, the RD page's modes, a run without items, and the
// download list built from the bin files.

#include "station/start_checks.h"

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <string>

#include "testsupport/settings_file_builder.h"

namespace fleetburn {
namespace {

constexpr std::size_t kDownload = 6;

// A station about to start: channels, banks, a serial length and the SATA
// bin that pass, Download on, three attached and active ports.
struct Station {
  Station() {
    record.Channel = 4;
    record.Bank = 2;
    record.SNMinLength = 12;
    record.ItemEnable[kDownload] = 1;
    pages.SataBinChk = true;
    pages.FunCheckListBox = {{"Flash Module Test", true}, {"Download", true}, {"Disk Format", false}};
    bins.SataBinName = "SATA_A.bin";
    bins.UsbBinName = "USB_A.bin";
    for (const char* name : {"Init.bin", "SATA_A.bin", "USB_A.bin"}) Write(name, 4096);
    for (std::size_t port = 0; port < 3; ++port) {
      table[port].hubState = 1;
      table[port].active = 1;
    }
  }

  void Write(const char* name, std::size_t bytes) const {
    std::ofstream(dir / name, std::ios::binary) << std::string(bytes, '\x5a');
  }

  StartCheck Check() {
    const StartInputs inputs{record, pages,   bins, specialMode, activePage, dir.path(), flashGB, pagesPerBlock,
                             4,      ntfsOn};
    return CheckStart(inputs, table, 3);
  }

  testsupport::ScratchDirectory dir;
  devlib::SettingsRecord record;
  SettingsPageState pages;
  FirmwareFileChoice bins;
  bool specialMode = false;
  std::string activePage = "Test Items";
  std::uint32_t flashGB = 64;
  std::uint16_t pagesPerBlock = 128;
  std::function<bool(int)> ntfsOn = [](int) { return false; };
  PortRecordTable table{};
};

struct RefusalCase {
  const char* name;
  std::function<void(Station&)> arrange;
  std::string message;  // "@" stands for the program's directory
};

TEST(StartChecks, EachRefusalHasItsMessage) {
  const RefusalCase cases[] = {
      {"capacity choice of another size", [](Station& s) { s.pages.CapacityCmBx.index = 7; },
       "Please make sure the Flash parameter selection!"},
      {"three channels", [](Station& s) { s.record.Channel = 3; },
       "Please check total channel's number, only support 1, 2, 4 and 8 channel"},
      {"sixteen banks", [](Station& s) { s.record.Bank = 16; },
       "Please check total bank's number, only support 1, 2, 4 and 8 bank"},
      {"SATA bin missing", [](Station& s) { std::filesystem::remove(s.dir / "SATA_A.bin"); },
       "<WARNING> Can't find file : @/SATA_A.bin"},
      {"USB bin missing",
       [](Station& s) {
         s.pages.UsbBinChk = true;
         std::filesystem::remove(s.dir / "USB_A.bin");
       },
       "<WARNING> Can't find file : @/USB_A.bin"},
      {"both bins with a short serial",
       [](Station& s) {
         s.pages.UsbBinChk = true;
         s.record.SNMinLength = 11;
       },
       "When mptool download SATA and USB codes to flash simultaneously, the length of SN is'nt less than 12"},
      {"NTFS from the second port on", [](Station& s) { s.ntfsOn = [](int port) { return port >= 1; }; },
       "Please remove the #2 SSD's disk partition (NTFS) before initialize the SSD."},
      {"no bin box", [](Station& s) { s.pages.SataBinChk = false; }, "At lease one bin file needed!"},
      {"both bins on small blocks",
       [](Station& s) {
         s.pages.UsbBinChk = true;
         s.pagesPerBlock = 64;
       },
       "The Block Page number of flash is too small, then MP can't download SATA and USB codes simultaneously"},
  };
  for (const RefusalCase& c : cases) {
    SCOPED_TRACE(c.name);
    Station station;
    c.arrange(station);
    const StartCheck check = station.Check();
    std::string expected = c.message;
    if (const auto at = expected.find('@'); at != std::string::npos) expected.replace(at, 1, station.dir.path().string());
    EXPECT_EQ(check.verdict, StartVerdict::Refused);
    EXPECT_EQ(check.message, expected);
    EXPECT_EQ(check.downloadList, nullptr);
  }
}

TEST(StartChecks, ChannelsAndBanksAreNotCheckedInSpecialMode) {
  Station station;
  station.record.Channel = 3;
  station.record.Bank = 16;
  station.specialMode = true;
  EXPECT_EQ(station.Check().verdict, StartVerdict::Run);
}

TEST(StartChecks, TheCapacityRefusalClearsTheCheckListItemsOfAttachedPorts) {
  Station station;
  station.pages.CapacityCmBx.index = 7;  // 128 G against a 64 GB part
  station.table[2].hubState = 0;
  for (std::size_t port = 0; port < 3; ++port) {
    station.table[port].itemResult[1] = 1;   // Flash Module Test, listed
    station.table[port].itemResult[6] = -1;  // Download, listed
    station.table[port].itemResult[13] = 1;  // Check Temperature, not listed
    station.table[port].finalResult = -1;
  }
  ASSERT_EQ(station.Check().verdict, StartVerdict::Refused);
  for (std::size_t port = 0; port < 2; ++port) {
    SCOPED_TRACE(port);
    EXPECT_EQ(station.table[port].itemResult[1], 0);
    EXPECT_EQ(station.table[port].itemResult[6], 0);
    EXPECT_EQ(station.table[port].itemResult[13], 1);
    EXPECT_EQ(station.table[port].finalResult, 0);
  }
  EXPECT_EQ(station.table[2].itemResult[6], -1) << "a port with nothing attached keeps its results";

  Station matching;
  matching.pages.CapacityCmBx.index = 6;  // 64 G
  EXPECT_EQ(matching.Check().verdict, StartVerdict::Run);
}

TEST(StartChecks, OnlyAnActivePortIsAskedForPartitions) {
  Station station;
  station.table[0].active = 0;
  std::vector<int> asked;
  station.ntfsOn = [&asked](int port) {
    asked.push_back(port);
    return false;
  };
  EXPECT_EQ(station.Check().verdict, StartVerdict::Run);
  EXPECT_EQ(asked, (std::vector<int>{1, 2}));
}

TEST(StartChecks, TheRdPageChoosesClaimNewOrTableModeAndSkipsTheItemChecks) {
  struct Case {
    const char* page;
    bool claimNew, getDef;
    bool expectClaimNew, expectTableMode;
  };
  const Case cases[] = {
      {"RD", true, true, true, false},
      {"RD", false, true, false, true},
      {"RD", false, false, false, false},
      {"Test Items", true, true, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.page) + (c.claimNew ? " claim" : "") + (c.getDef ? " get" : ""));
    Station station;
    station.activePage = c.page;
    station.pages.ClaimNewChk = c.claimNew;
    station.pages.GetDefTabChk = c.getDef;
    station.pages.SataBinChk = false;  // the item checks would refuse a normal run
    station.record.SNMinLength = 1;
    const StartCheck check = station.Check();
    EXPECT_EQ(check.claimNew, c.expectClaimNew);
    EXPECT_EQ(check.tableMode, c.expectTableMode);
    const bool rdMode = c.expectClaimNew || c.expectTableMode;
    EXPECT_EQ(check.verdict, rdMode ? StartVerdict::Run : StartVerdict::Refused);
  }
}

TEST(StartChecks, NoItemEnabledStartsNoRun) {
  Station station;
  station.record.ItemEnable.fill(0);
  const StartCheck check = station.Check();
  EXPECT_EQ(check.verdict, StartVerdict::NoRun);
  EXPECT_EQ(check.message, "");
}

TEST(StartChecks, AnItemWithoutDownloadOrCheckTablesKeepsTheLastList) {
  Station station;
  station.record.ItemEnable[kDownload] = 0;
  station.record.ItemEnable[13] = 1;
  station.pages.SataBinChk = false;  // no bin is needed then
  const StartCheck check = station.Check();
  EXPECT_EQ(check.verdict, StartVerdict::Run);
  EXPECT_EQ(check.downloadList, nullptr);
}

TEST(StartChecks, TheDownloadListHoldsInitThenTheCheckedBins) {
  struct Case {
    bool sata, usb;
    std::vector<std::string> names;
  };
  const Case cases[] = {
      {true, false, {"Init.bin", "SATA_A.bin"}},
      {false, true, {"Init.bin", "USB_A.bin"}},
      {true, true, {"Init.bin", "SATA_A.bin", "USB_A.bin"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.names.back() + (c.names.size() == 3 ? " both" : ""));
    Station station;
    station.pages.SataBinChk = c.sata;
    station.pages.UsbBinChk = c.usb;
    const StartCheck check = station.Check();
    ASSERT_EQ(check.verdict, StartVerdict::Run) << check.message;
    ASSERT_NE(check.downloadList, nullptr);
    ASSERT_EQ(check.downloadList->files.size(), c.names.size());
    for (std::size_t k = 0; k < c.names.size(); ++k) {
      EXPECT_EQ(check.downloadList->files[k].name, station.dir / c.names[k]);
      EXPECT_EQ(check.downloadList->files[k].sizeKB, 4u);
    }
  }
}

TEST(StartChecks, AMissingInitBinEndsStartWithoutARun) {
  Station station;
  std::filesystem::remove(station.dir / "Init.bin");
  const StartCheck check = station.Check();
  EXPECT_EQ(check.verdict, StartVerdict::NoRun);
  EXPECT_EQ(check.message, "Can't open: " + (station.dir / "Init.bin").string());
  EXPECT_EQ(check.downloadList, nullptr);
}

}  // namespace
}  // namespace fleetburn
