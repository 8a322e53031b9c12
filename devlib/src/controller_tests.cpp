#include "devlib/controller_tests.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <memory>
#include <random>

#include "byte_fields.h"
#include "devlib/controller_access.h"
#include "devlib/flash_params.h"
#include "devlib/port_io.h"
#include "devlib/ram_code.h"
#include "platform/clock.h"

namespace devlib {
namespace {

constexpr std::size_t kSector = 512;
constexpr std::size_t kFlashIdBytes = 5;
constexpr std::size_t kIdReplyBytes = 10;  // what of an ID reply fills an entry from its byte 6
constexpr std::uint8_t kListComparing = 0x82;
constexpr std::uint8_t kListMatched = 0x80;
constexpr std::size_t kInfoChannels = 7;
constexpr std::size_t kInfoBanks = 8;
constexpr std::uint64_t kModuleSettleMs = 1000;

constexpr std::uint16_t kInterfaceTestBlock = 602;
constexpr int kRandomBlocks = 10;
constexpr int kRandomBlockSpan = 1536;
constexpr int kRandomBlockBase = 256;
constexpr int kDrawAttempts = 1000;
constexpr std::uint8_t kDetailEnd = 0xFF;

constexpr std::uint32_t kDramRegisters = 0x20000;
constexpr std::uint32_t kDramRegisterCount = 32;
constexpr std::uint32_t kDramLength = 0x4000000;
constexpr std::uint32_t kDramPattern = 0xFF00FF00;
constexpr std::uint8_t kDramPassed = 21;

bool Fits(std::span<std::uint8_t> buffer) { return buffer.size() >= kControllerTestBufferSize; }

// Ten distinct blocks. Each call has its own generator, seeded with the time
// in seconds and the port, so ports that start together test different
// blocks and no generator is shared between workers.
std::array<std::uint16_t, kRandomBlocks> DrawBlocks(int port) {
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(
      std::chrono::system_clock::now().time_since_epoch());
  std::seed_seq seed{static_cast<std::uint32_t>(seconds.count()), static_cast<std::uint32_t>(port)};
  std::minstd_rand generator(seed);
  std::array<std::uint16_t, kRandomBlocks> blocks{};
  for (int attempt = 0; attempt < kDrawAttempts; ++attempt) {
    for (auto& block : blocks) block = static_cast<std::uint16_t>(generator() % kRandomBlockSpan + kRandomBlockBase);
    std::array<std::uint16_t, kRandomBlocks> sorted = blocks;
    std::sort(sorted.begin(), sorted.end());
    if (std::adjacent_find(sorted.begin(), sorted.end()) == sorted.end()) break;
  }
  return blocks;
}

}  // namespace

bool AutoDetectFlash(int port, std::span<std::uint8_t> buffer, std::uint32_t ramAddress) {
  if (!Fits(buffer)) return false;
  std::uint8_t option = 0;
  if (!LoadRamCode(port, buffer, option, ramAddress)) return false;
  return ReadInfoBlock(port, buffer.first(kSector), 1);
}

bool FlashModuleTest(int port, std::span<std::uint8_t> buffer, std::uint32_t ramAddress) {
  const PortIoRecord* record = PortIo(port);
  if (record == nullptr || !Fits(buffer)) return false;
  std::uint8_t option = 0;
  if (!LoadRamCode(port, buffer, option, ramAddress)) return false;
  const std::shared_ptr<const FlashParams> params = ParamsOfPort(port);
  const int channels = std::min<int>(params->setting.channels, kChannelSlots);
  const int banks = std::min<int>(params->setting.banks, static_cast<int>(params->geometry.bankMap.size()));

  std::uint8_t count = 1;
  buffer[kModuleCountAt] = count;
  buffer[kModuleCodeAt] = kListComparing;
  std::array<std::uint8_t, kSector> reply{};
  int idsRead = 0;
  for (int bank = 0; bank < banks; ++bank) {
    for (int channel = 0; channel < channels; ++channel) {
      const std::size_t entry = kModuleFirstEntryAt + kModuleEntryBytes * (count - 1u);
      if (!ReadFlashId(port, static_cast<std::uint8_t>(channel), params->geometry.bankMap[bank], reply, 1)) continue;
      ++idsRead;
      std::copy_n(reply.begin(), kIdReplyBytes, buffer.begin() + static_cast<std::ptrdiff_t>(entry + 6));
      bool matches = true;
      for (std::size_t k = 0; k < kFlashIdBytes; ++k) {
        if ((params->checkFlashMask >> k & 1) != 0 && reply[k] != params->flashId[k]) matches = false;
      }
      if (matches) continue;
      buffer[entry] = kModuleIdMismatch;
      buffer[entry + 1] = static_cast<std::uint8_t>(channel);
      buffer[entry + 2] = static_cast<std::uint8_t>(bank);
      buffer[kModuleCountAt] = ++count;
    }
  }
  if (!platform::clock::sleepMs(kModuleSettleMs, record->Stop())) return false;
  if (idsRead == 0) {
    // Not one ID could be read, so nothing was compared: the scan found no
    // flash, which the list shows as counts of 0 against the configured ones.
    buffer[kModuleCodeAt] = kListMatched;
    buffer[kModuleFirstEntryAt] = kModuleCountMismatch;
    std::fill_n(buffer.begin() + kModuleInfoAt, kSector, std::uint8_t{0});
    buffer[kModuleCountAt] = ++count;
    return false;
  }
  if (count == 1) {
    buffer[kModuleCodeAt] = kListMatched;
    const std::span<std::uint8_t> info = buffer.subspan(kModuleInfoAt, kSector);
    if (ReadInfoBlock(port, info, 1) && (info[kInfoChannels] != params->setting.channels ||
                                         info[kInfoBanks] != params->setting.banks)) {
      buffer[kModuleFirstEntryAt] = kModuleCountMismatch;
      buffer[kModuleCountAt] = ++count;
    }
  }
  return count == 1;
}

bool BusInterfaceTest(int port, std::span<std::uint8_t> buffer, std::uint32_t ramAddress) {
  if (!Fits(buffer) || !LoadTestRamCode(port, buffer, ramAddress)) return false;
  return BusTestRound(port, buffer.first(kBusTestBytes), 0) && BusTestRound(port, buffer.first(kBusTestBytes), 1);
}

bool FlashInterfaceTest(int port, std::span<std::uint8_t> buffer, char& result, std::uint8_t& stepValue,
                        std::uint32_t ramAddress) {
  if (!Fits(buffer) || !LoadTestRamCode(port, buffer, ramAddress)) return false;
  result = 0;
  if (!RunFlashTestStep(port, 1, kInterfaceTestBlock, stepValue)) {
    result = kInterfaceStep1Failed;
  } else if (!RunFlashTestStep(port, 2, kInterfaceTestBlock, stepValue)) {
    result = kInterfaceStep2Failed;
  } else {
    const std::array<std::uint16_t, kRandomBlocks> blocks = DrawBlocks(port);
    const bool passed = std::any_of(blocks.begin(), blocks.end(),
                                    [&](std::uint16_t block) { return RunFlashTestStep(port, 3, block, stepValue); });
    if (!passed) result = kInterfaceNoBlockPassed;
  }
  if (result == 0) return true;
  // The buffer still holds the image and the step replies: a result block
  // that cannot be read must leave an empty list, not those bytes.
  const std::span<std::uint8_t> detail = buffer.first(kSector);
  std::fill(detail.begin(), detail.end(), kDetailEnd);
  if (!ReadTestResult(port, detail)) std::fill(detail.begin(), detail.end(), kDetailEnd);
  return false;
}

bool DramTest(int port, std::span<std::uint8_t> buffer, std::uint32_t ramAddress) {
  if (!Fits(buffer) || !LoadTestRamCode(port, buffer, ramAddress)) return false;
  const std::span<std::uint8_t> pattern = buffer.first(kSector);
  for (std::size_t at = 0; at < kSector; at += 4) detail::PutLittleEndian32(pattern, at, kDramPattern);
  for (std::uint32_t j = 0; j < kDramRegisterCount; ++j) WriteRegister(port, kDramRegisters + j, static_cast<std::uint8_t>(j));
  for (std::uint32_t j = 0; j < kDramRegisterCount; ++j) {
    std::uint8_t value = 0;
    if (!ReadRegister(port, kDramRegisters + j, value) || value != j) return false;
  }
  if (!RunDramCheck(port, pattern, kDramRegisters, kDramLength)) return false;
  std::uint8_t status = 0;
  if (!WaitDramStatus(port, status, true)) return false;
  return status == kDramPassed;
}

}  // namespace devlib
