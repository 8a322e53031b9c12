#include "devlib/port_buffers.h"

#include <sys/mman.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>

#include "devlib/debug_print.h"

namespace devlib {
namespace {

constexpr std::size_t kDetailsSize = std::size_t{kDetailTableCount} * kErrorCodeCount * kErrorDetailSize;

std::size_t LayoutSize(ProgramKind kind) {
  const std::size_t extra = kind == ProgramKind::Blockprobe ? kExtraBufferSize : 0;
  return kWorkBuffer1Size + kWorkBuffer2Size + kWorkBuffer3Size + extra + kWorkBuffer4Size + kDetailsSize;
}

// One slot per port of the larger table; the port table in force decides
// which of them are in use.
std::mutex tableMutex;
std::array<std::shared_ptr<PortBuffers>, kFleetburnPortCount> table;

bool InTable(int port) { return port >= 0 && port < PortIoCount() && port < kFleetburnPortCount; }

}  // namespace

std::shared_ptr<PortBuffers> PortBuffers::Create(ProgramKind kind) {
  const std::size_t length = LayoutSize(kind);
  // Anonymous pages read as zeros and are committed only when written.
  void* base = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (base == MAP_FAILED) {
    DebugPrint("Port buffers of %zu bytes could not be mapped: %s\n", length, std::strerror(errno));
    return nullptr;
  }
  return std::shared_ptr<PortBuffers>(new PortBuffers(kind, static_cast<std::uint8_t*>(base), length));
}

PortBuffers::PortBuffers(ProgramKind kind, std::uint8_t* base, std::size_t length)
    : kind_(kind), base_(base), length_(length) {
  std::span<std::uint8_t> rest(base, length);
  auto take = [&rest](std::size_t size) {
    const std::span<std::uint8_t> part = rest.first(size);
    rest = rest.subspan(size);
    return part;
  };
  workBuffer1_ = take(kWorkBuffer1Size);
  workBuffer2_ = take(kWorkBuffer2Size);
  workBuffer3_ = take(kWorkBuffer3Size);
  if (kind == ProgramKind::Blockprobe) extraBuffer_ = take(kExtraBufferSize);
  workBuffer4_ = take(kWorkBuffer4Size);
  details_ = take(kDetailsSize);
}

PortBuffers::~PortBuffers() { munmap(base_, length_); }

std::span<std::uint8_t> PortBuffers::PortErrorBuffers(DetailTable detailTable, int code) {
  const int tableIndex = static_cast<int>(detailTable);
  if (code < 0 || code >= kErrorCodeCount || tableIndex < 0 || tableIndex >= kDetailTableCount) return {};
  const std::size_t entry = static_cast<std::size_t>(tableIndex) * kErrorCodeCount + static_cast<std::size_t>(code);
  return details_.subspan(entry * kErrorDetailSize, kErrorDetailSize);
}

bool AllocPortBuffers() {
  std::array<std::shared_ptr<PortBuffers>, kFleetburnPortCount> released;  // unmapped after the lock is let go
  bool allMapped = true;
  std::lock_guard lock(tableMutex);
  const ProgramKind kind = CurrentProgramKind();
  for (int port = 0; port < kFleetburnPortCount; ++port) {
    std::shared_ptr<PortBuffers>& slot = table[static_cast<std::size_t>(port)];
    if (InTable(port) && slot && slot->kind() == kind) continue;
    released[static_cast<std::size_t>(port)].swap(slot);
    if (!InTable(port)) continue;
    slot = PortBuffers::Create(kind);
    allMapped = allMapped && slot != nullptr;
  }
  return allMapped;
}

std::shared_ptr<PortBuffers> PortBuffersOf(int port) {
  std::lock_guard lock(tableMutex);
  if (!InTable(port)) return nullptr;
  std::shared_ptr<PortBuffers>& slot = table[static_cast<std::size_t>(port)];
  // A port table built for the other program since has its own layout.
  if (!slot || slot->kind() != CurrentProgramKind()) slot = PortBuffers::Create(CurrentProgramKind());
  return slot;
}

std::shared_ptr<PortBuffers> MappedPortBuffers(int port) {
  std::lock_guard lock(tableMutex);
  if (!InTable(port)) return nullptr;
  const std::shared_ptr<PortBuffers>& slot = table[static_cast<std::size_t>(port)];
  if (!slot || slot->kind() != CurrentProgramKind()) return nullptr;
  return slot;
}

void FreePortBuffers(int port) {
  std::shared_ptr<PortBuffers> released;  // unmapped after the lock is let go
  {
    std::lock_guard lock(tableMutex);
    if (port < 0 || port >= kFleetburnPortCount) return;
    released.swap(table[static_cast<std::size_t>(port)]);
  }
}

void FreePortBuffers() {
  std::array<std::shared_ptr<PortBuffers>, kFleetburnPortCount> released;
  {
    std::lock_guard lock(tableMutex);
    released.swap(table);
  }
}

std::span<const std::uint8_t> DetailPageBytes(std::span<const std::uint8_t> detail, std::size_t pageBytes) {
  if (detail.size() <= kDetailPageOffset) return {};
  return detail.subspan(kDetailPageOffset, std::min(pageBytes, detail.size() - kDetailPageOffset));
}

}  // namespace devlib
