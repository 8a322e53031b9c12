#include "devlib/port_io.h"

#include <memory>

#include "devlib/flash_params.h"

namespace devlib {
namespace {

// Written once at start-up; workers only read the table layout afterwards.
std::unique_ptr<PortIoRecord[]> portTable;
int portCount = 0;
std::atomic<ProgramKind> programKind{ProgramKind::Fleetburn};
std::atomic<std::uint8_t> vendorOpcodeSet{kStartOpcodeSet};
constexpr std::uint8_t kForcedOpcodeSet = 1;

}  // namespace

void InitPortIoTable(ProgramKind kind) {
  portCount = kind == ProgramKind::Fleetburn ? kFleetburnPortCount : kBlockprobeSlotCount;
  portTable = std::make_unique<PortIoRecord[]>(static_cast<std::size_t>(portCount));
  programKind = kind;
  vendorOpcodeSet = kStartOpcodeSet;
  ClearPortFlashParams();
}

ProgramKind CurrentProgramKind() { return programKind; }

int PortIoCount() { return portCount; }

PortIoRecord* PortIo(int port) {
  if (port < 0 || port >= portCount) return nullptr;
  return &portTable[static_cast<std::size_t>(port)];
}

std::uint8_t VendorOpcodeSet() { return vendorOpcodeSet; }

void SetVendorOpcodeSet(std::uint8_t opcodeSet) { vendorOpcodeSet = opcodeSet; }

bool ApplyVendorOpcodeSet(int port) {
  PortIoRecord* record = PortIo(port);
  if (record == nullptr) return false;
  // Bridge chip types 1 and 14 take set 1 whatever the bus mode says.
  record->opcodeSet = record->forceOpcodeSet1 ? kForcedOpcodeSet : vendorOpcodeSet.load();
  return true;
}

}  // namespace devlib
