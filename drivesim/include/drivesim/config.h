#pragma once
// What one emulated drive is: how it reaches the host, who it says it is and
// what state its controller starts in.

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace drivesim {

// How the drive reaches the host: the controller's own USB interface (chip
// type 10), a USB-to-SATA bridge, or a native SATA port.
enum class FrontEnd { OwnUsb, Bridge, SataPort };

// What runs in the controller.
enum class RunState { Firmware, Loader, GdpRamCode, TstRamCode, GdpARamCode };

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

  // The drive behind the front end.
  std::uint64_t sectorCount = 234441648;  // 120 GB
  std::string model = "Tolvane KWFA4X SATA SSD";
  std::string serial = "TV0000000001";
  std::string firmwareRevision = "A4X10001";
  std::uint64_t worldWideName = 0x5001a4c000000001;
  std::uint8_t temperature = 40;  // degrees Celsius, S.M.A.R.T. attribute 194

  // The controller.
  RunState runState = RunState::Firmware;  // the state it powers up in
  std::array<std::uint8_t, 5> flashId{0x98, 0xd7, 0x94, 0x32, 0x76};
  std::uint8_t flashChannels = 4;
  std::uint8_t flashBanks = 2;
  std::uint8_t flashChipEnables = 2;
  std::vector<std::uint16_t> loaderBlocks{0, 1, 2, 3};
  std::uint16_t eraseCountBlocks = 2048;     // entries per erase-count table
  std::uint16_t headerSequence = 1;          // loader header sequence number
  int busyPolls = 2;                         // status polls answering busy after an operation start
  std::string gdpATag = "GDP_A";             // image tag at 0x304 that marks the GDP_A RAM code

  static DriveConfig ownUsb(std::string path);
  static DriveConfig bridge(std::string path, int chipType, std::string key);
  // The key that a bridge chip of this type reports ("q204" for type 7);
  // empty for an unknown type.
  static std::string keyOfChipType(int chipType);
  static DriveConfig sataPort(std::string path);
};

}  // namespace drivesim
