#include "station/worker_checks.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string_view>

#include "devlib/bad_block_tables.h"
#include "devlib/debug_print.h"
#include "devlib/drive_state.h"
#include "devlib/port_io.h"
#include "devlib/standard_commands.h"
#include "devlib/vendor_protocol.h"
#include "station/test_items.h"

namespace fleetburn {
namespace {

constexpr std::size_t kModelChars = 40;
constexpr std::size_t kFirmwareChars = 8;
constexpr std::size_t kSerialChars = 20;
constexpr std::size_t kComparedModelChars = 24;
constexpr std::size_t kIdentifySize = 512;

// Where the texts stand in the IDENTIFY data (16-bit words) and the INQUIRY data (bytes).
constexpr std::size_t kIdentifySerialWord = 10;
constexpr std::size_t kIdentifyFirmwareWord = 23;
constexpr std::size_t kIdentifyModelWord = 27;
constexpr std::size_t kInquiryVendorAt = 8, kInquiryVendorChars = 8;
constexpr std::size_t kInquiryProductAt = 16, kInquiryProductChars = 16;
constexpr std::size_t kInquiryRevisionAt = 32, kInquiryRevisionChars = 4;

// The IDEMA formula: sectors of a drive of `gigabytes` GB.
constexpr std::uint64_t kIdemaSectorsPerGb = 1953504;
constexpr std::uint64_t kIdemaSectorsBase = 21168;

constexpr std::uint8_t kBadBlockRecordMark = 0xBB;

// The characters before the first zero byte.
std::string TextOf(std::span<const std::uint8_t> bytes) {
  const auto end = std::find(bytes.begin(), bytes.end(), std::uint8_t{0});
  return std::string(bytes.begin(), end);
}

// An ATA string of `chars` characters from word `word` on, in reading order.
std::string IdentifyText(std::span<const std::uint8_t> identify, std::size_t word, std::size_t chars) {
  std::array<std::uint8_t, kModelChars> text{};
  const auto field = identify.subspan(word * 2, chars);
  std::copy(field.begin(), field.end(), text.begin());
  devlib::SwapBytePairs(text, chars);
  return TextOf(std::span(text).first(chars));
}

// `text` cut or padded with spaces to `length`.
std::string Padded(std::string_view text, std::size_t length) {
  std::string padded(text.substr(0, std::min(text.size(), length)));
  padded.resize(length, ' ');
  return padded;
}

char CharAt(std::string_view text, std::size_t i) { return i < text.size() ? text[i] : '\0'; }

// True when `collected` holds `expected` at each of its positions.
bool MatchesAt(std::string_view collected, std::string_view expected) {
  for (std::size_t i = 0; i < expected.size(); ++i) {
    if (CharAt(collected, i) != expected[i]) return false;
  }
  return true;
}

// The masked serial number compare: only positions whose mask character is
// '#' are compared. An empty mask compares every position, so that a check
// left without a mask cannot pass without looking at the serial number.
bool SerialMatches(std::string_view serial, std::string_view expected, std::string_view mask) {
  for (std::size_t i = 0; i < expected.size(); ++i) {
    const bool compared = mask.empty() || CharAt(mask, i) == '#';
    if (compared && CharAt(serial, i) != expected[i]) return false;
  }
  return true;
}

void WriteSerialOver(devlib::FixedText<50>& field, std::string_view serial) {
  if (serial.empty()) return;
  std::string text(field.view());
  if (text.size() < serial.size()) text.resize(serial.size());
  text.replace(0, serial.size(), serial);
  field.assignTruncated(text);
}

void PutLe32(std::span<std::uint8_t> at, std::uint32_t value) {
  for (std::size_t i = 0; i < 4; ++i) at[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

bool OnOwnUsbInterface(int port) {
  const auto transport = devlib::PortTransportOf(port);
  return transport && transport->usbPath != 0;
}

ItemOutcome Passed(bool passed) { return ItemOutcome{.passed = passed}; }

ItemOutcome IdemaCapacityCheck(const ItemContext& context) {
  const std::uint64_t expected =
      std::uint64_t{context.run.settings.IdemaCapacity} * kIdemaSectorsPerGb + kIdemaSectorsBase;
  // The library's sector count stops at 32 bits: a larger size can never be
  // confirmed, and a value wrapped to 32 bits would match a drive of another size.
  if (expected > std::numeric_limits<std::uint32_t>::max()) {
    devlib::DebugPrint("Port %d: IDEMA capacity %u GB is beyond a 32-bit sector count", context.port + 1,
                       unsigned{context.run.settings.IdemaCapacity});
    return Passed(false);
  }
  const std::uint32_t sectors = devlib::GetLbaSectorCount(context.port);
  if (sectors != expected) {
    devlib::DebugPrint("Port %d: %u sectors, IDEMA capacity expects %llu", context.port + 1, sectors,
                       static_cast<unsigned long long>(expected));
  }
  return Passed(sectors == expected);
}

ItemOutcome LbaCapacityCheck(const ItemContext& context) {
  const std::uint32_t sectors = devlib::GetLbaSectorCount(context.port);
  // 0 is what an unreadable size gives; it confirms nothing.
  return Passed(sectors != 0 && sectors == context.run.settings.LbaCapacity);
}

ItemOutcome SerialNumberCheck(const ItemContext& context, const CollectedIdentity& identity) {
  const devlib::SettingsRecord& settings = context.run.settings;
  const std::string_view mask = settings.SnCheckMask.view();
  if (settings.SnCheckPattern != 0) return Passed(SerialMatches(identity.serial, settings.SnCheckValue.view(), mask));
  const std::string barcode =
      Padded(context.run.barcodeSerials[static_cast<std::size_t>(context.port)].view(), kSerialChars);
  return Passed(SerialMatches(identity.serial, barcode, mask));
}

// Items whose operation the station does not have yet: they fail rather than pass unchecked.
ItemOutcome NotAvailable(int item, const ItemContext& context) {
  const std::string_view name = TestItemTable[static_cast<std::size_t>(item)].itemName;
  devlib::DebugPrint("Port %d: %.*s not available", context.port + 1, static_cast<int>(name.size()), name.data());
  return ItemOutcome{.passed = false, .errorCode = 0, .copyDetail = false};
}

}  // namespace

CollectedIdentity CollectIdentity(int port, PortRecord& record, std::span<std::uint8_t> buffer) {
  CollectedIdentity identity;
  if (!devlib::PortTransportOf(port) || buffer.size() < kIdentifySize) return identity;
  // After a download the loader may still be answering: the checks are of
  // what the drive's own firmware says.
  devlib::EnsureFirmwareRunning(port, buffer);
  if (OnOwnUsbInterface(port)) {
    if (devlib::InquiryDevice(port, buffer) != devlib::kCommandOk) return identity;
    identity.model = TextOf(buffer.subspan(kInquiryVendorAt, kComparedModelChars));
    identity.vendor = TextOf(buffer.subspan(kInquiryVendorAt, kInquiryVendorChars));
    identity.product = TextOf(buffer.subspan(kInquiryProductAt, kInquiryProductChars));
    identity.firmware = Padded(TextOf(buffer.subspan(kInquiryRevisionAt, kInquiryRevisionChars)), kFirmwareChars);
    // The INQUIRY data has no serial number: the one the drive's USB device
    // descriptor gave at the scan stands in. It may be older than this run's
    // download, so it is compared but never written over the record's.
    const std::string_view usbSerial = record.usbSerial;
    identity.serial = std::string(usbSerial.substr(0, std::min(usbSerial.size(), kSerialChars)));
    identity.serial.resize(std::min(identity.serial.find('\0'), identity.serial.size()));
    return identity;
  }
  if (!devlib::GetIdentifyData(port, buffer, 1)) return identity;
  identity.model = IdentifyText(buffer, kIdentifyModelWord, kModelChars);
  identity.firmware = IdentifyText(buffer, kIdentifyFirmwareWord, kFirmwareChars);
  identity.serial = IdentifyText(buffer, kIdentifySerialWord, kSerialChars);
  WriteSerialOver(record.serialNumber, identity.serial);
  return identity;
}

bool IdentityNeeded(const devlib::SettingsRecord& settings) {
  // Items 15 to 27.
  const auto first = settings.ItemEnable.begin() + kFirstCheckItem;
  const auto end = settings.ItemEnable.begin() + kLastCheckItem;
  return std::any_of(first, end, [](std::uint8_t enable) { return enable != 0; });
}

ItemOutcome CheckTablesWithinLimit(const ItemContext& context, std::uint32_t tablesErrorCode,
                                   std::uint32_t badBlockLimit) {
  const ItemOutcome tablesMissing{.passed = false, .errorCode = tablesErrorCode, .copyDetail = true};
  if (!devlib::CheckTables(context.port, context.buffer)) return tablesMissing;
  devlib::EnsureFirmwareRunning(context.port, context.buffer);
  std::array<devlib::BadBlockCounterRow, devlib::kStationCounterRows> counters{};
  devlib::BadBlockCounterRow totals{};
  const devlib::BadBlockCount count = devlib::CountBadBlocks(context.port, context.buffer, counters, totals, nullptr);
  // Lists that could not be read count as empty: a count short of them vouches for nothing.
  if (!count.complete()) {
    devlib::DebugPrint("Port %d: the bad blocks could not all be counted", context.port + 1);
    return tablesMissing;
  }
  std::uint64_t grown = 0;
  for (std::size_t i = 1; i < totals.size(); ++i) grown += totals[i];
  if (grown <= badBlockLimit) return Passed(true);
  context.buffer[0] = kBadBlockRecordMark;
  for (std::size_t i = 0; i < totals.size(); ++i) PutLe32(context.buffer.subspan(1 + 4 * i, 4), totals[i]);
  return ItemOutcome{.passed = false, .errorCode = kErrorBadBlockOver, .copyDetail = true};
}

ItemOutcome CheckTemperatureWithin(const ItemContext& context, std::uint8_t limit) {
  if (OnOwnUsbInterface(context.port)) {
    context.record.temperature = 0;
    devlib::DebugPrint("Port %d: the controller's own USB interface carries no S.M.A.R.T.; temperature not checked",
                       context.port + 1);
    return Passed(true);
  }
  return Passed(devlib::CheckTemperature(context.port, context.buffer, limit, context.record.temperature));
}

ItemOutcome RunCheckItem(int item, const ItemContext& context, const CollectedIdentity& identity) {
  const devlib::SettingsRecord& settings = context.run.settings;
  switch (item) {
    case 15:
      return Passed(MatchesAt(identity.model, Padded(context.downloadModel, kComparedModelChars)));
    case 16:
      return Passed(MatchesAt(identity.firmware, Padded(settings.FirmwareVer.view(), kFirmwareChars)));
    case 17:
      return Passed(MatchesAt(identity.vendor, settings.VendorName.view()));
    case 18:
      return Passed(MatchesAt(identity.product, settings.ProductName.view()));
    case 19:
      return IdemaCapacityCheck(context);
    case 20:
      return SerialNumberCheck(context, identity);
    case 21:
      return LbaCapacityCheck(context);
    case 22:
      return Passed(devlib::RWTestPartial(context.port, context.buffer));
    case 23:
    case 24:
    case 25:
      return NotAvailable(item, context);
    case 26:
      return Passed(devlib::EraseAllData(context.port));
    case 27:
      return CheckTablesWithinLimit(context, 27, settings.QCBadBlockLimit);
    case 28:
      return CheckTemperatureWithin(context, settings.QCCheckMaxTemperatureValue);
    default:
      devlib::DebugPrint("Port %d: item %d is no check item", context.port + 1, item);
      return ItemOutcome{.passed = false, .errorCode = 0, .copyDetail = false};
  }
}

}  // namespace fleetburn
