#pragma once
// Fleetburn's port records: one per USB hub port, saying what is attached
// there, how it is reached and what the last run did to it, and the per-port
// tables beside them. Only the main thread writes them; workers send it
// copies of what changed.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "devlib/fixed_text.h"
#include "devlib/hub_walk.h"
#include "devlib/port_io.h"

namespace fleetburn {

inline constexpr std::size_t kPortSlots = devlib::kFleetburnPortCount;
inline constexpr std::size_t kItemResultSlots = 30;  // item numbers 1 to 28; 0 and 29 stay unused

struct PortRecord {
  // What the hub walk found on the port.
  std::uint32_t hubState = 0;  // 1: a USB device is attached
  std::uint32_t active = 0;    // 1: a recognised drive that takes part in runs
  std::uint8_t chipType = 0;   // bridge chip type; 0 = not recognised
  std::uint8_t busType = 0;    // 1 "ide", 2 "scsi", 3 "usbstor" in the device path
  std::uint16_t usbVendorId = 0;
  std::uint16_t usbProductId = 0;
  std::string usbSerial{};
  std::string hubPath{};  // the hub that owns the port, by the path it opens under
  std::string driverKeyName{};
  std::string deviceInstanceId{};
  // The matched disk; the port's PortIoRecord holds the same path.
  std::string devicePath{};
  char driveLetter = 0;
  std::uint32_t capacityMB = 0;

  // The last run.
  std::uint32_t formatDone = 0;
  std::uint32_t errorCode = 0;        // first failed item; 0 = no error
  std::uint32_t flashTestResult = 0;  // result character in the low byte
  std::int32_t countResult = 0;       // 1 passed, -1 failed, 0 nothing left to count
  std::uint32_t shownItem = 0;
  std::uint32_t subError = 0;
  std::uint32_t failKind = 0;  // 0 none, 1 with a sub-error number, 2 or more without
  std::uint8_t flashTestStep = 0;
  devlib::FixedText<50> serialNumber{};
  devlib::FixedText<18> uniqueId{};
  std::int8_t temperature = 0;
  std::uint32_t diskDevInst = 0;
  std::uint32_t usbDevInst = 0;
  std::array<std::int32_t, kItemResultSlots> itemResult{};  // 2 running, 1 pass, -1 fail, 0 not run
  std::int32_t finalResult = 0;                             // 1 passed, -1 failed, 0 not run
};

using PortRecordTable = std::array<PortRecord, kPortSlots>;

// Index = port index = panel index.
extern PortRecordTable PortTable;
// Slot k holds hub port number k + 1 of the last walk.
extern PortRecordTable ScanPortTable;
// Hub ports found by the last walk.
extern int PortCount;

// Watchdog timer of each port: port index + 1.
extern std::array<int, kPortSlots> PortTimerIds;
// Texts typed at the barcode prompts.
extern std::array<devlib::FixedText<40>, kPortSlots> BarcodeSerials;
extern std::array<devlib::FixedText<18>, kPortSlots> BarcodeUids;
// Port index + 1 of the last port whose detail button was pressed.
extern int SelectedPort;
// Active ports of the last scan.
extern int ActivePortCount;

// The longest start of `text` of at most maxBytes bytes that does not end
// inside a UTF-8 sequence.
std::string_view Utf8Prefix(std::string_view text, std::size_t maxBytes);

// Fills a fixed field with as much of the text as fits, cut between characters.
template <std::size_t N>
void AssignUtf8Truncated(devlib::FixedText<N>& field, std::string_view text) {
  field.assignTruncated(Utf8Prefix(text, devlib::FixedText<N>::kCapacity));
}

// Clears ScanPortTable and copies the ports of a hub walk into it.
void CopyHubPortsToScanTable(const devlib::HubPortTable& ports);

// Clears ScanPortTable, walks the hubs and copies what the walk found.
// Returns the walk's port total, which may exceed the slots.
int ScanHubPorts();

// Empties the port's record and its PortIoRecord's device path, so that the
// port answers "no device". False, with both left as they were, when the port
// does not exist or its worker is still alive.
bool ClearPortRecord(int port);

// Gives the port's record and its PortIoRecord the disk's path. False, with
// both left as they were, when the port does not exist or its worker is
// still alive.
bool SetPortDevicePath(int port, const std::string& devicePath);

}  // namespace fleetburn
