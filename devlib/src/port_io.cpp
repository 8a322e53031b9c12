#include "devlib/port_io.h"

#include <utility>

#include "devlib/debug_print.h"
#include "devlib/flash_params.h"

namespace devlib {
namespace {

// The table is rebuilt only while no work session is open: a worker's record
// cannot go away under it. Sessions open and close under tableLock, so that
// the check and the rebuild cannot interleave with a session starting.
std::mutex tableLock;
int openSessions = 0;  // guarded by tableLock
std::unique_ptr<PortIoRecord[]> portTable;
int portCount = 0;
std::atomic<ProgramKind> programKind{ProgramKind::Fleetburn};
std::atomic<std::uint8_t> vendorOpcodeSet{kStartOpcodeSet};
constexpr std::uint8_t kForcedOpcodeSet = 1;

}  // namespace

namespace detail {

// The one place that reads and writes a record's guarded transport state.
struct PortTransportAccess {
  static std::shared_ptr<const PortTransport> Current(const PortIoRecord& record) {
    std::lock_guard lock(record.transportLock_);
    return record.transport_;
  }

  // Publishes `change` applied to a copy of the transport in force, unless a
  // worker is alive on the port.
  template <typename Change>
  static bool Write(int port, Change change) {
    PortIoRecord* record = PortIo(port);
    if (record == nullptr) {
      DebugPrint("Transport of port %d not written: no such port\n", port);
      return false;
    }
    std::lock_guard lock(record->transportLock_);
    if (record->workerAlive_) {
      DebugPrint("Transport of port %d not written: its worker is still alive\n", port);
      return false;
    }
    auto next = std::make_shared<PortTransport>(*record->transport_);
    change(*next);
    record->transport_ = std::move(next);
    return true;
  }

  // Marks the worker alive and fixes its stop token into the transport.
  static bool Open(PortIoRecord& record, std::stop_token stop) {
    std::lock_guard lock(record.transportLock_);
    if (record.workerAlive_) return false;
    auto next = std::make_shared<PortTransport>(*record.transport_);
    next->stop = std::move(stop);
    record.transport_ = std::move(next);
    record.workerAlive_ = true;
    return true;
  }

  static void Close(PortIoRecord& record) {
    std::lock_guard lock(record.transportLock_);
    auto next = std::make_shared<PortTransport>(*record.transport_);
    next->stop = {};
    record.transport_ = std::move(next);
    record.workerAlive_ = false;
  }

  static bool Alive(const PortIoRecord& record) {
    std::lock_guard lock(record.transportLock_);
    return record.workerAlive_;
  }
};

}  // namespace detail

using detail::PortTransportAccess;

std::shared_ptr<const PortTransport> PortIoRecord::Transport() const { return PortTransportAccess::Current(*this); }

std::stop_token PortIoRecord::Stop() const { return Transport()->stop; }

bool InitPortIoTable(ProgramKind kind) {
  std::lock_guard lock(tableLock);
  if (openSessions > 0) {
    DebugPrint("Port table not rebuilt: %d workers are still alive\n", openSessions);
    return false;
  }
  portCount = kind == ProgramKind::Fleetburn ? kFleetburnPortCount : kBlockprobeSlotCount;
  portTable = std::make_unique<PortIoRecord[]>(static_cast<std::size_t>(portCount));
  programKind = kind;
  vendorOpcodeSet = kStartOpcodeSet;
  ClearPortFlashParams();
  return true;
}

ProgramKind CurrentProgramKind() { return programKind; }

int PortIoCount() { return portCount; }

PortIoRecord* PortIo(int port) {
  if (port < 0 || port >= portCount) return nullptr;
  return &portTable[static_cast<std::size_t>(port)];
}

std::shared_ptr<const PortTransport> PortTransportOf(int port) {
  const PortIoRecord* record = PortIo(port);
  return record == nullptr ? nullptr : record->Transport();
}

std::stop_token PortStop(int port) {
  const PortIoRecord* record = PortIo(port);
  return record == nullptr ? std::stop_token{} : record->Stop();
}

bool SetPortTransport(int port, std::string_view devicePath, std::uint8_t usbPath, std::uint8_t nativeAta) {
  return PortTransportAccess::Write(port, [&](PortTransport& transport) {
    transport.devicePath = devicePath;
    transport.usbPath = usbPath;
    transport.nativeAta = nativeAta;
  });
}

bool SetPortPath(int port, std::string_view devicePath) {
  return PortTransportAccess::Write(port, [&](PortTransport& transport) { transport.devicePath = devicePath; });
}

bool SetPortTransportFlags(int port, std::uint8_t usbPath, std::uint8_t nativeAta) {
  return PortTransportAccess::Write(port, [&](PortTransport& transport) {
    transport.usbPath = usbPath;
    transport.nativeAta = nativeAta;
  });
}

PortWork BeginPortWork(int port, std::stop_token stop) {
  std::lock_guard lock(tableLock);
  PortIoRecord* record = PortIo(port);
  if (record == nullptr) {
    DebugPrint("Work on port %d refused: no such port\n", port);
    return {};
  }
  if (!PortTransportAccess::Open(*record, std::move(stop))) {
    DebugPrint("Work on port %d refused: its worker is still alive\n", port);
    return {};
  }
  ++openSessions;
  return PortWork(port);
}

bool PortWorkerAlive(int port) {
  const PortIoRecord* record = PortIo(port);
  return record != nullptr && PortTransportAccess::Alive(*record);
}

PortWork::PortWork(PortWork&& other) noexcept : port_(std::exchange(other.port_, -1)) {}

PortWork& PortWork::operator=(PortWork&& other) noexcept {
  if (this != &other) {
    End();
    port_ = std::exchange(other.port_, -1);
  }
  return *this;
}

PortWork::~PortWork() { End(); }

void PortWork::End() {
  if (port_ < 0) return;
  std::lock_guard lock(tableLock);
  PortTransportAccess::Close(*PortIo(port_));
  --openSessions;
  port_ = -1;
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
