#include "station/port_record.h"

#include <algorithm>

namespace fleetburn {
namespace {

constexpr std::array<int, kPortSlots> TimerIds() {
  std::array<int, kPortSlots> ids{};
  for (std::size_t port = 0; port < kPortSlots; ++port) ids[port] = static_cast<int>(port) + 1;
  return ids;
}

bool IsContinuationByte(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

PortRecord* RecordOf(int port) {
  if (port < 0 || static_cast<std::size_t>(port) >= kPortSlots) return nullptr;
  return &PortTable[static_cast<std::size_t>(port)];
}

}  // namespace

PortRecordTable PortTable;
PortRecordTable ScanPortTable;
int PortCount = 0;
std::array<int, kPortSlots> PortTimerIds = TimerIds();
std::array<devlib::FixedText<40>, kPortSlots> BarcodeSerials;
std::array<devlib::FixedText<18>, kPortSlots> BarcodeUids;
int SelectedPort = 0;
int ActivePortCount = 0;

std::string_view Utf8Prefix(std::string_view text, std::size_t maxBytes) {
  if (text.size() <= maxBytes) return text;
  // The byte after the cut continues a character: step back to that
  // character's first byte (a sequence has at most three continuation bytes).
  std::size_t cut = maxBytes;
  for (int steps = 0; steps < 3 && cut > 0 && IsContinuationByte(text[cut]); ++steps) --cut;
  if (IsContinuationByte(text[cut])) return text.substr(0, maxBytes);  // not UTF-8: cut the bytes
  return text.substr(0, cut);
}

void CopyHubPortsToScanTable(const devlib::HubPortTable& ports) {
  ScanPortTable.fill(PortRecord{});
  for (std::size_t slot = 0; slot < kPortSlots; ++slot) {
    const devlib::HubPortInfo& port = ports[slot];
    if (!port.present) continue;
    PortRecord& record = ScanPortTable[slot];
    record.hubState = 1;
    record.usbVendorId = port.vendorId;
    record.usbProductId = port.productId;
    record.usbSerial = port.serial;
    record.hubPath = port.hubPath;
    record.driverKeyName = port.driverKeyName;
    record.deviceInstanceId = port.deviceInstanceId;
  }
}

int ScanHubPorts() {
  ScanPortTable.fill(PortRecord{});
  const int total = devlib::EnumerateRootHubs();
  CopyHubPortsToScanTable(devlib::LastHubPortTable());
  return total;
}

// The library's record goes first: while the port's worker is alive it
// refuses, and the station's record must not tell another story.
bool ClearPortRecord(int port) {
  PortRecord* record = RecordOf(port);
  if (record == nullptr || !devlib::SetPortPath(port, "")) return false;
  *record = PortRecord{};
  return true;
}

bool SetPortDevicePath(int port, const std::string& devicePath) {
  PortRecord* record = RecordOf(port);
  if (record == nullptr || !devlib::SetPortPath(port, devicePath)) return false;
  record->devicePath = devicePath;
  return true;
}

}  // namespace fleetburn
