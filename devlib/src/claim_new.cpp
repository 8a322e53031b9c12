#include "devlib/claim_new.h"

#include <algorithm>
#include <array>

#include "byte_fields.h"
#include "devlib/controller_access.h"
#include "devlib/port_io.h"
#include "devlib/ram_code.h"

namespace devlib {
namespace {

constexpr std::uint16_t kListEnd = 0xFFFF;
constexpr int kRebuildOperation = 4;
constexpr std::uint8_t kRebuildPassed = 18;
constexpr int kInitOperation = 1;
constexpr std::uint8_t kInitPassed = 14;

}  // namespace

bool CheckLoaderBlocks(int port, std::span<std::uint8_t> buffer, std::uint32_t ramAddress) {
  PortIoRecord* record = PortIo(port);
  if (record == nullptr) return false;
  std::uint8_t option = 0;
  if (!LoadRamCode(port, buffer, option, ramAddress)) return false;
  std::array<std::uint8_t, 512> list{};
  if (!ReadLoaderList(port, list, 1)) return false;
  record->loaderBlockCount = 0;
  for (std::size_t i = 0; i < record->loaderBlocks.size(); ++i) record->loaderBlocks[i] = kListEnd;
  for (std::size_t i = 0; i < record->loaderBlocks.size(); ++i) {
    const std::uint16_t block = detail::GetLittleEndian16(list, 2 * i);
    if (block == kListEnd) break;
    // Kept side by side, so the first loaderBlockCount entries are the
    // blocks found and a later duplicate is compared with all of them.
    const auto known = record->loaderBlocks.begin() + record->loaderBlockCount;
    if (std::find(record->loaderBlocks.begin(), known, block) != known) continue;
    record->loaderBlocks[record->loaderBlockCount] = block;
    ++record->loaderBlockCount;
  }
  if (record->loaderBlockCount == record->loaderBlocks.size()) return true;
  ReadFailureReport(port, buffer);
  return false;
}

bool RebuildDevice(int port, std::span<std::uint8_t> buffer, std::uint32_t ramAddress, bool a2b) {
  if (!CheckLoaderBlocks(port, buffer, ramAddress)) return false;
  std::uint8_t option = 0;
  const bool loaded = a2b ? LoadRamCodeA(port, buffer, option, ramAddress) : LoadRamCode(port, buffer, option, ramAddress);
  if (!loaded) return false;
  std::uint8_t status = 0;
  if (!RunOperationAndWait(port, kRebuildOperation, option, status, true)) return false;
  return status == kRebuildPassed;
}

bool RunInitOperation(int port, std::span<std::uint8_t> buffer, std::uint8_t optionBits, std::uint32_t ramAddress) {
  std::uint8_t option = 0;
  if (!LoadRamCode(port, buffer, option, ramAddress)) return false;
  std::uint8_t status = 0;
  if (!RunOperationAndWait(port, kInitOperation, static_cast<std::uint8_t>(option | optionBits), status, false)) {
    return false;
  }
  return status == kInitPassed;
}

}  // namespace devlib
