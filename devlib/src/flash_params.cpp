#include "devlib/flash_params.h"

#include <array>
#include <cstddef>
#include <mutex>
#include <utility>

#include "devlib/port_io.h"

namespace devlib {
namespace {

std::mutex& publishMutex() {
  static std::mutex mutex;
  return mutex;
}

std::shared_ptr<const FlashParams>& published() {
  static std::shared_ptr<const FlashParams> params = std::make_shared<const FlashParams>();
  return params;
}

// What one port works with. Each port's worker writes only its own slot; the
// lock keeps a snapshot swap whole for any other reader.
struct PortSlot {
  std::shared_ptr<const FlashParams> start;  // the part selected when the port's work started
  std::shared_ptr<const FlashParams> own;    // the port's configuration read
};

struct PortSlots {
  std::mutex mutex;
  std::array<PortSlot, kFleetburnPortCount> slots;
};

PortSlots& Ports() {
  static PortSlots ports;
  return ports;
}

PortSlot* SlotOf(PortSlots& ports, int port) {
  if (port < 0 || static_cast<std::size_t>(port) >= ports.slots.size()) return nullptr;
  return &ports.slots[static_cast<std::size_t>(port)];
}

}  // namespace

std::shared_ptr<const FlashParams> CurrentFlashParams() {
  std::lock_guard lock(publishMutex());
  return published();
}

void PublishFlashParams(FlashParams params) {
  auto next = std::make_shared<const FlashParams>(std::move(params));
  std::lock_guard lock(publishMutex());
  published() = std::move(next);
}

void ApplyFlashSelection(FlashParams params) {
  const std::uint8_t opcodeSet = params.opcodeSetSelector;
  PublishFlashParams(std::move(params));
  SetVendorOpcodeSet(opcodeSet);
  for (int port = 0; port < PortIoCount(); ++port) ApplyVendorOpcodeSet(port);
}

std::shared_ptr<const FlashParams> ParamsOfPort(int port) {
  {
    PortSlots& ports = Ports();
    std::lock_guard lock(ports.mutex);
    if (const PortSlot* slot = SlotOf(ports, port)) {
      if (slot->own) return slot->own;
      if (slot->start) return slot->start;
    }
  }
  return CurrentFlashParams();
}

void StartPortFlashParams(int port) {
  std::shared_ptr<const FlashParams> selected = CurrentFlashParams();
  PortSlots& ports = Ports();
  std::lock_guard lock(ports.mutex);
  if (PortSlot* slot = SlotOf(ports, port)) *slot = PortSlot{std::move(selected), nullptr};
}

void ReplacePortFlashParams(int port, std::shared_ptr<const FlashParams> params) {
  PortSlots& ports = Ports();
  std::lock_guard lock(ports.mutex);
  if (PortSlot* slot = SlotOf(ports, port)) slot->own = std::move(params);
}

void ClearPortFlashParams() {
  PortSlots& ports = Ports();
  std::lock_guard lock(ports.mutex);
  ports.slots.fill(PortSlot{});
}

}  // namespace devlib
