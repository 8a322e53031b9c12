#pragma once
// A storage backend for tests: it records every open, every SCSI command and
// every ATA task file exactly as it arrives, and answers each command with the
// next scripted answer of the device's queue (or the default answer).

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <ostream>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/storage.h"

namespace testsupport {

struct RecordedOpen {
  std::string path;
  platform::storage::Sharing sharing = platform::storage::Sharing::Shared;
  bool opened = false;  // false when the path was unknown or its open was scripted to fail
};

enum class CommandKind { Scsi, Ata };

struct RecordedCommand {
  CommandKind kind = CommandKind::Scsi;
  std::string path;
  std::vector<std::uint8_t> cdb;  // SCSI only
  platform::storage::AtaRegisters current;   // ATA only
  platform::storage::AtaRegisters previous;  // ATA only, meaningful when `extended`
  bool extended = false;
  bool useDma = false;
  platform::storage::Direction direction = platform::storage::Direction::None;
  std::size_t length = 0;
  std::uint32_t timeoutSeconds = 0;
  bool stopRequested = false;
  std::vector<std::uint8_t> dataOut;  // the payload of a data-out command
};

struct ScriptedAnswer {
  // SCSI: transportOk and GOOD status unless changed.
  platform::storage::ScsiOutcome scsi = [] {
    platform::storage::ScsiOutcome outcome;
    outcome.transportOk = true;
    return outcome;
  }();
  // ATA: transportOk with status DRDY | DSC unless changed.
  platform::storage::AtaOutcome ata = [] {
    platform::storage::AtaOutcome outcome;
    outcome.transportOk = true;
    outcome.current.command = 0x50;
    return outcome;
  }();
  std::vector<std::uint8_t> dataIn;          // copied to the front of a data-in buffer; the rest is zeroed
  std::optional<std::size_t> transferred;    // default: the whole transfer
  std::uint64_t spendMs = 0;                 // virtual time the device takes to answer
};

// Convenience answers.
ScriptedAnswer AnswerWithData(std::vector<std::uint8_t> data);
ScriptedAnswer AnswerCheckCondition(std::uint8_t senseKey, std::uint8_t asc = 0, std::uint8_t ascq = 0);
ScriptedAnswer AnswerTransportFailure(int osError);
ScriptedAnswer AnswerAtaStatus(std::uint8_t status, std::uint8_t error = 0);

class FakeStorage final : public platform::storage::Backend {
 public:
  // A path that opens; any other path fails to open with ENOENT.
  void addDevice(std::string path, platform::storage::DeviceTraits traits = {});
  // Later opens of the path fail (the drive was pulled).
  void removeDevice(std::string_view path);
  // Answers the device's next command; queued answers are used in order.
  void queueAnswer(std::string_view path, ScriptedAnswer answer);
  // Answers any command with nothing queued.
  void setDefaultAnswer(ScriptedAnswer answer);

  std::vector<RecordedOpen> opens() const;
  std::vector<RecordedCommand> commands() const;
  std::size_t openHandles() const;  // opened and not yet closed
  void clearRecords();

  platform::storage::OpenOutcome open(std::string_view path, platform::storage::Sharing sharing) override;

 private:
  class FakeDevice;
  struct DeviceEntry {
    platform::storage::DeviceTraits traits;
    std::deque<ScriptedAnswer> answers;
  };

  ScriptedAnswer takeAnswer(const std::string& path);
  void record(RecordedCommand command);
  void closed();

  mutable std::mutex mutex_;
  std::map<std::string, DeviceEntry, std::less<>> devices_;
  ScriptedAnswer defaultAnswer_;
  std::vector<RecordedOpen> opens_;
  std::vector<RecordedCommand> commands_;
  std::size_t openHandles_ = 0;
};

// Installs a FakeStorage for its lifetime, then puts the previous backend back.
class ScopedFakeStorage {
 public:
  ScopedFakeStorage();
  ~ScopedFakeStorage();
  ScopedFakeStorage(const ScopedFakeStorage&) = delete;
  ScopedFakeStorage& operator=(const ScopedFakeStorage&) = delete;

  FakeStorage& operator*() { return *storage_; }
  FakeStorage* operator->() { return storage_.get(); }

 private:
  std::shared_ptr<FakeStorage> storage_;
  std::shared_ptr<platform::storage::Backend> previous_;
};

// Bytes as "A1 08 0B" for readable test failures.
std::string HexBytes(std::span<const std::uint8_t> bytes);

// Lets GoogleTest print recorded commands and registers when an expectation fails.
void PrintTo(const RecordedCommand& command, std::ostream* out);

}  // namespace testsupport

namespace platform::storage {
void PrintTo(const AtaRegisters& registers, std::ostream* out);
void PrintTo(Direction direction, std::ostream* out);
}  // namespace platform::storage
