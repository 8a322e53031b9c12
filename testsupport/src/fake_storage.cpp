#include "testsupport/fake_storage.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "platform/clock.h"

namespace testsupport {

using platform::storage::AtaCommand;
using platform::storage::AtaOutcome;
using platform::storage::DeviceTraits;
using platform::storage::Direction;
using platform::storage::ScsiCommand;
using platform::storage::ScsiOutcome;

ScriptedAnswer AnswerWithData(std::vector<std::uint8_t> data) {
  ScriptedAnswer answer;
  answer.dataIn = std::move(data);
  return answer;
}

ScriptedAnswer AnswerCheckCondition(std::uint8_t senseKey, std::uint8_t asc, std::uint8_t ascq) {
  ScriptedAnswer answer;
  answer.scsi.scsiStatus = 0x02;
  answer.scsi.sense[0] = 0x70;
  answer.scsi.sense[2] = senseKey;
  answer.scsi.sense[7] = 10;
  answer.scsi.sense[12] = asc;
  answer.scsi.sense[13] = ascq;
  answer.scsi.senseLength = 18;
  return answer;
}

ScriptedAnswer AnswerTransportFailure(int osError) {
  ScriptedAnswer answer;
  answer.scsi.transportOk = false;
  answer.scsi.osError = osError;
  answer.ata.transportOk = false;
  answer.ata.osError = osError;
  return answer;
}

ScriptedAnswer AnswerAtaStatus(std::uint8_t status, std::uint8_t error) {
  ScriptedAnswer answer;
  answer.ata.current.command = status;
  answer.ata.current.features = error;
  return answer;
}

namespace {

// Fills a data-in buffer the way a device moves a whole transfer.
void FillDataIn(std::span<std::uint8_t> data, const std::vector<std::uint8_t>& scripted) {
  const std::size_t copied = std::min(data.size(), scripted.size());
  std::copy_n(scripted.begin(), copied, data.begin());
  std::fill(data.begin() + static_cast<std::ptrdiff_t>(copied), data.end(), std::uint8_t{0});
}

std::vector<std::uint8_t> PayloadOf(Direction direction, std::span<const std::uint8_t> data) {
  if (direction != Direction::Out) return {};
  return {data.begin(), data.end()};
}

}  // namespace

class FakeStorage::FakeDevice final : public platform::storage::Device {
 public:
  FakeDevice(FakeStorage& owner, std::string path, DeviceTraits traits)
      : owner_(owner), path_(std::move(path)), traits_(traits) {}
  ~FakeDevice() override { owner_.closed(); }
  FakeDevice(const FakeDevice&) = delete;
  FakeDevice& operator=(const FakeDevice&) = delete;

  ScsiOutcome scsi(const ScsiCommand& command) override {
    RecordedCommand recorded = RecordCommon(CommandKind::Scsi, command);
    recorded.cdb.assign(command.cdb.begin(), command.cdb.end());
    owner_.record(std::move(recorded));
    return Answer(command, &ScriptedAnswer::scsi);
  }

  AtaOutcome ata(const AtaCommand& command) override {
    RecordedCommand recorded = RecordCommon(CommandKind::Ata, command);
    recorded.current = command.current;
    recorded.previous = command.previous;
    recorded.extended = command.extended;
    recorded.useDma = command.useDma;
    owner_.record(std::move(recorded));
    return Answer(command, &ScriptedAnswer::ata);
  }

  DeviceTraits traits() const override { return traits_; }

 private:
  template <typename Command>
  RecordedCommand RecordCommon(CommandKind kind, const Command& command) const {
    RecordedCommand recorded;
    recorded.kind = kind;
    recorded.path = path_;
    recorded.direction = command.direction;
    recorded.length = command.data.size();
    recorded.timeoutSeconds = command.timeoutSeconds;
    recorded.stopRequested = command.stop.stop_requested();
    recorded.dataOut = PayloadOf(command.direction, command.data);
    return recorded;
  }

  // A stop request ends the command before it is sent; otherwise the next
  // scripted answer spends its time, fills the data and gives its outcome.
  template <typename Command, typename Outcome>
  Outcome Answer(const Command& command, Outcome ScriptedAnswer::*outcomeOf) {
    if (command.stop.stop_requested()) {
      Outcome cancelled;
      cancelled.transportOk = false;
      cancelled.osError = ECANCELED;
      return cancelled;
    }
    const ScriptedAnswer answer = owner_.takeAnswer(path_);
    platform::clock::sleepMs(answer.spendMs);
    if (command.direction == Direction::In) FillDataIn(command.data, answer.dataIn);
    Outcome outcome = answer.*outcomeOf;
    outcome.transferred = answer.transferred.value_or(command.data.size());
    return outcome;
  }

  FakeStorage& owner_;
  std::string path_;
  DeviceTraits traits_;
};

void FakeStorage::addDevice(std::string path, DeviceTraits traits) {
  std::lock_guard lock(mutex_);
  devices_[std::move(path)].traits = traits;
}

void FakeStorage::removeDevice(std::string_view path) {
  std::lock_guard lock(mutex_);
  if (auto found = devices_.find(path); found != devices_.end()) devices_.erase(found);
}

void FakeStorage::queueAnswer(std::string_view path, ScriptedAnswer answer) {
  std::lock_guard lock(mutex_);
  auto found = devices_.find(path);
  if (found == devices_.end()) found = devices_.emplace(std::string(path), DeviceEntry{}).first;
  found->second.answers.push_back(std::move(answer));
}

void FakeStorage::setDefaultAnswer(ScriptedAnswer answer) {
  std::lock_guard lock(mutex_);
  defaultAnswer_ = std::move(answer);
}

std::vector<RecordedOpen> FakeStorage::opens() const {
  std::lock_guard lock(mutex_);
  return opens_;
}

std::vector<RecordedCommand> FakeStorage::commands() const {
  std::lock_guard lock(mutex_);
  return commands_;
}

std::size_t FakeStorage::openHandles() const {
  std::lock_guard lock(mutex_);
  return openHandles_;
}

void FakeStorage::clearRecords() {
  std::lock_guard lock(mutex_);
  opens_.clear();
  commands_.clear();
}

platform::storage::OpenOutcome FakeStorage::open(std::string_view path, platform::storage::Sharing sharing) {
  std::lock_guard lock(mutex_);
  const auto found = devices_.find(path);
  const bool known = found != devices_.end();
  opens_.push_back({std::string(path), sharing, known});
  if (!known) return {nullptr, ENOENT};
  ++openHandles_;
  return {std::make_unique<FakeDevice>(*this, std::string(path), found->second.traits), 0};
}

ScriptedAnswer FakeStorage::takeAnswer(const std::string& path) {
  std::lock_guard lock(mutex_);
  const auto found = devices_.find(path);
  if (found == devices_.end() || found->second.answers.empty()) return defaultAnswer_;
  ScriptedAnswer answer = std::move(found->second.answers.front());
  found->second.answers.pop_front();
  return answer;
}

void FakeStorage::record(RecordedCommand command) {
  std::lock_guard lock(mutex_);
  commands_.push_back(std::move(command));
}

void FakeStorage::closed() {
  std::lock_guard lock(mutex_);
  --openHandles_;
}

ScopedFakeStorage::ScopedFakeStorage()
    : storage_(std::make_shared<FakeStorage>()), previous_(platform::storage::currentBackend()) {
  platform::storage::installBackend(storage_);
}

ScopedFakeStorage::~ScopedFakeStorage() { platform::storage::installBackend(previous_); }

std::string HexBytes(std::span<const std::uint8_t> bytes) {
  std::string text;
  char digits[4];
  for (const std::uint8_t byte : bytes) {
    std::snprintf(digits, sizeof digits, "%02X", static_cast<unsigned>(byte));
    if (!text.empty()) text += ' ';
    text += digits;
  }
  return text;
}

void PrintTo(const RecordedCommand& command, std::ostream* out) {
  *out << (command.kind == CommandKind::Scsi ? "SCSI " : "ATA ") << command.path << " ";
  if (command.kind == CommandKind::Scsi) {
    *out << "cdb [" << HexBytes(command.cdb) << "]";
  } else {
    PrintTo(command.current, out);
    if (command.extended) {
      *out << " previous ";
      PrintTo(command.previous, out);
    }
    *out << (command.useDma ? " DMA" : " PIO");
  }
  *out << " ";
  platform::storage::PrintTo(command.direction, out);
  *out << " " << command.length << " bytes, " << command.timeoutSeconds << " s";
}

}  // namespace testsupport

namespace platform::storage {

void PrintTo(const AtaRegisters& registers, std::ostream* out) {
  const std::uint8_t bytes[] = {registers.features, registers.count,  registers.lbaLow, registers.lbaMid,
                                registers.lbaHigh,  registers.device, registers.command};
  *out << "{" << testsupport::HexBytes(bytes) << "}";
}

void PrintTo(Direction direction, std::ostream* out) {
  switch (direction) {
    case Direction::None: *out << "none"; return;
    case Direction::In: *out << "in"; return;
    case Direction::Out: *out << "out"; return;
  }
}

}  // namespace platform::storage
