#include "station/port_worker.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <utility>

#include "devlib/debug_print.h"
#include "devlib/drive_state.h"
#include "devlib/port_io.h"
#include "devlib/transport.h"
#include "station/test_items.h"
#include "station/worker_checks.h"
#include "worker_items.h"

namespace fleetburn {
namespace {

// IDENTIFY texts, in bytes of the sector.
constexpr std::size_t kIdentifySerialAt = 20;  // words 10 to 19
constexpr std::size_t kIdentifySerialLength = 20;
constexpr std::size_t kIdentifyModelAt = 54;  // words 27 to 46
constexpr std::size_t kIdentifyModelLength = 40;

constexpr std::uint8_t kBridgeOptionChipType = 7;
// Preformat's record in the second detail table: its first sector stays zero.
constexpr std::size_t kPreformatRecordZeroBytes = 512;

// An ATA text of the sector: byte pairs swapped, cut at its first zero byte,
// trailing blanks dropped.
std::string IdentifyText(std::span<const std::uint8_t> sector, std::size_t at, std::size_t length) {
  std::array<std::uint8_t, kIdentifyModelLength> bytes{};
  std::copy_n(sector.begin() + static_cast<std::ptrdiff_t>(at), length, bytes.begin());
  devlib::SwapBytePairs(bytes, length);
  std::string text(reinterpret_cast<const char*>(bytes.data()), length);
  text = text.substr(0, text.find('\0'));
  text.erase(text.find_last_not_of(' ') + 1);
  return text;
}

enum class Step { Item, Rebuild, LoaderBlocks, Identity };
struct OrderEntry {
  Step step;
  int item;
};

// The order in which the worker runs its steps.
constexpr std::array<OrderEntry, 29> kOrder{{
    {Step::Item, 1},          {Step::Rebuild, 0},  {Step::Item, 2},  {Step::Item, 3},  {Step::Item, 4},
    {Step::LoaderBlocks, 0},  {Step::Item, 5},     {Step::Item, 6},  {Step::Item, 8},  {Step::Item, 9},
    {Step::Item, 10},         {Step::Item, 11},    {Step::Item, 12}, {Step::Item, 13}, {Step::Identity, 0},
    {Step::Item, 15},         {Step::Item, 16},    {Step::Item, 17}, {Step::Item, 18}, {Step::Item, 19},
    {Step::Item, 20},         {Step::Item, 21},    {Step::Item, 22}, {Step::Item, 23}, {Step::Item, 24},
    {Step::Item, 25},         {Step::Item, 26},    {Step::Item, 27}, {Step::Item, 28},
}};

class PortWorker {
 public:
  PortWorker(int port, std::shared_ptr<const RunSnapshot> run, PortRecord start, std::stop_token stop,
             const WorkerPublish& publish, std::shared_ptr<devlib::PortBuffers> buffers)
      : port_(port),
        run_(std::move(run)),
        settings_(run_->settings),
        record_(std::move(start)),
        stop_(std::move(stop)),
        publish_(publish),
        buffers_(std::move(buffers)),
        buffer_(buffers_->workBuffer1()),
        downloadModel_(settings_.ModelNum.str()) {}

  PortRecord Run() {
    if (!PreSteps()) return record_;
    if (!failed_) {
      for (const OrderEntry& entry : kOrder) {
        const Next next = RunStep(entry);
        if (next == Next::Stopped) return record_;
        if (next == Next::End) break;
      }
    }
    return End();
  }

 private:
  enum class Next { Continue, End, Stopped };

  bool Stopped() const { return stop_.stop_requested(); }

  void Show(bool ended = false) {
    if (publish_) publish_(WorkerShow{record_, caption_, PanelColour::Yellow, gauge_, ended});
  }

  ItemContext Context() { return ItemContext{port_, *run_, record_, buffer_, downloadModel_}; }

  void Fail(int code, bool copyDetail) {
    record_.errorCode = static_cast<std::uint32_t>(code);
    record_.shownItem = static_cast<std::uint32_t>(code);
    failed_ = true;
    if (!copyDetail) return;
    const std::span<std::uint8_t> detail = buffers_->PortErrorBuffers(devlib::DetailTable::First, code);
    std::copy_n(buffer_.begin(), std::min(detail.size(), buffer_.size()), detail.begin());
  }

  // The drive's own serial number and model, on a SATA-path drive that runs its firmware.
  void KeepDriveIdentity() {
    const auto transport = devlib::PortTransportOf(port_);
    if (settings_.EnUpdateFirmwareMode == 0 || transport == nullptr || transport->usbPath != 0) return;
    if (devlib::IsLoaderDevice(port_) || !devlib::GetIdentifyData(port_, buffer_, 1)) return;
    const std::string serial = IdentifyText(buffer_, kIdentifySerialAt, kIdentifySerialLength);
    if (!serial.empty()) AssignUtf8Truncated(record_.serialNumber, serial);
    const std::string model = IdentifyText(buffer_, kIdentifyModelAt, kIdentifyModelLength);
    if (!model.empty()) downloadModel_ = model;
  }

  // False when the worker was stopped.
  bool PreSteps() {
    record_.finalResult = 0;
    record_.countResult = 0;
    KeepDriveIdentity();
    if (Stopped()) return false;
    caption_ = "Start";
    gauge_ = 0;
    Show();
    if (record_.chipType == kBridgeOptionChipType) devlib::SetBridgeOption(port_, 1);
    if (settings_.KeepEraseCount != 0) {
      if (devlib::IsLoaderDevice(port_)) {
        Fail(kErrorEraseCount, false);
        return !Stopped();
      }
      devlib::SaveEraseCounts(port_, buffer_, settings_.UpdateFirmwareA2B != 0);
    }
    if (Stopped()) return false;
    const int divisor = run_->checkedEntries;
    step_ = divisor > 0 ? 100 / divisor : 0;
    if (settings_.EnCheckSnLength != 0 && record_.serialNumber.size() != settings_.CheckSnLengthValue)
      Fail(kErrorSnLength, false);
    return true;
  }

  Next RunStep(const OrderEntry& entry) {
    switch (entry.step) {
      case Step::Item: return RunItem(entry.item);
      case Step::Rebuild: return run_->claimNew ? Rebuild() : Next::Continue;
      case Step::LoaderBlocks: return LoaderBlocks();
      case Step::Identity: return CollectIdentityStep();
    }
    return Next::Continue;
  }

  bool TakesPart(int item) const {
    if (item <= kLastEarlyItem) return EarlyItemTakesPart(item, settings_);
    return settings_.ItemEnable[static_cast<std::size_t>(item)] != 0;
  }

  Next RunItem(int item) {
    if (Stopped()) return Next::Stopped;
    std::int32_t& result = record_.itemResult[static_cast<std::size_t>(item)];
    if (!TakesPart(item)) {
      result = kResultNotRun;
      return Next::Continue;
    }
    if (failed_) {
      result = kResultFail;
    } else {
      result = kResultRunning;
      caption_ = std::string(TestItemOf(item).itemName);
      Show();
      const ItemOutcome outcome =
          item <= kLastEarlyItem ? RunEarlyItem(item, Context()) : RunCheckItem(item, Context(), identity_);
      if (Stopped()) return Next::Stopped;
      if (outcome.passed) {
        result = kResultPass;
      } else {
        Fail(outcome.errorCode != 0 ? static_cast<int>(outcome.errorCode) : item, outcome.copyDetail);
        if (item == 5) WritePreformatRecord();
        result = kResultFail;
      }
    }
    gauge_ = std::min(100, gauge_ + step_);
    Show();
    // A failing Flash Module Test ends the worker at once.
    return item == 1 && failed_ ? Next::End : Next::Continue;
  }

  void WritePreformatRecord() {
    const std::span<std::uint8_t> record = buffers_->PortErrorBuffers(devlib::DetailTable::Second, 5);
    std::fill_n(record.begin(), kPreformatRecordZeroBytes, std::uint8_t{0});
    const std::size_t rest = record.size() - kPreformatRecordZeroBytes;
    std::copy_n(buffer_.begin(), std::min(rest, buffer_.size()), record.begin() + kPreformatRecordZeroBytes);
  }

  Next Rebuild() {
    if (failed_) return Next::End;
    const ItemOutcome outcome = RebuildStep(Context());
    if (Stopped()) return Next::Stopped;
    if (!outcome.passed) Fail(static_cast<int>(outcome.errorCode), outcome.copyDetail);
    return Next::End;
  }

  Next LoaderBlocks() {
    if (!LoaderBlockCheckNeeded(settings_)) return Next::Continue;
    if (Stopped()) return Next::Stopped;
    EraseBeforeLoaderBlockCheck(Context());
    if (Stopped()) return Next::Stopped;
    if (!failed_) {
      const ItemOutcome outcome = CheckLoaderBlockStep(Context());
      if (Stopped()) return Next::Stopped;
      if (!outcome.passed) Fail(static_cast<int>(outcome.errorCode), outcome.copyDetail);
    }
    return failed_ ? Next::End : Next::Continue;
  }

  Next CollectIdentityStep() {
    if (!IdentityNeeded(settings_)) return Next::Continue;
    if (Stopped()) return Next::Stopped;
    identity_ = CollectIdentity(port_, record_, buffer_);
    if (Stopped()) return Next::Stopped;
    Show();
    return Next::Continue;
  }

  PortRecord End() {
    record_.finalResult = failed_ ? kResultFail : kResultPass;
    record_.countResult = record_.finalResult;
    gauge_ = 100;
    Show(true);
    return record_;
  }

  const int port_;
  const std::shared_ptr<const RunSnapshot> run_;
  const devlib::SettingsRecord& settings_;
  PortRecord record_;
  const std::stop_token stop_;
  const WorkerPublish& publish_;
  const std::shared_ptr<devlib::PortBuffers> buffers_;
  const std::span<std::uint8_t> buffer_;
  std::string downloadModel_;  // the model number this port's Download writes
  CollectedIdentity identity_;
  std::string caption_;
  bool failed_ = false;
  int gauge_ = 0;
  int step_ = 0;
};

}  // namespace

PortRecord PortWorkerThread(int port, std::shared_ptr<const RunSnapshot> run, PortRecord start,
                            std::stop_token stop, const WorkerPublish& publish,
                            std::shared_ptr<devlib::PortBuffers> buffers) {
  if (run == nullptr || buffers == nullptr || buffers->workBuffer1().size() < devlib::kWorkBuffer1Size) {
    devlib::DebugPrint("Port %d: the worker has no run or no work buffer", port + 1);
    start.finalResult = kResultFail;
    start.countResult = kResultFail;
    return start;
  }
  return PortWorker(port, std::move(run), std::move(start), std::move(stop), publish, std::move(buffers)).Run();
}

}  // namespace fleetburn
