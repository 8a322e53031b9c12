#include "station/run_records.h"

#include <array>
#include <memory>
#include <span>
#include <vector>

#include "devlib/flash_params.h"
#include "devlib/port_buffers.h"
#include "platform/debug.h"
#include "station/port_record.h"

namespace fleetburn {

LogTime LogTimeOf(const devlib::LocalTime& time) {
  return LogTime{time.year, time.month, time.day, time.hour, time.minute, time.second};
}

bool WriteRunEnd(ResultLogState& log, const RunEnd& end, const devlib::SettingsRecord& counters,
                 platform::prompt::Prompt& prompt) {
  // The details stay mapped while the reports read them.
  std::array<std::shared_ptr<devlib::PortBuffers>, kPortSlots> held;
  std::array<std::span<const std::uint8_t>, kPortSlots> details{};
  for (const int port : end.activePorts) {
    const PortRecord& record = PortTable[static_cast<std::size_t>(port)];
    if (end.stopped[static_cast<std::size_t>(port)]) continue;
    held[static_cast<std::size_t>(port)] = devlib::MappedPortBuffers(port);
    if (held[static_cast<std::size_t>(port)] == nullptr) continue;
    details[static_cast<std::size_t>(port)] = held[static_cast<std::size_t>(port)]->PortErrorBuffers(
        devlib::DetailTable::First, static_cast<int>(record.errorCode));
  }
  const std::shared_ptr<const devlib::FlashParams> part = devlib::CurrentFlashParams();
  RunRecordsInput input;
  input.records = PortTable;
  input.portCount = PortCount;
  input.activePorts = end.activePorts;
  input.errorDetails = details;
  input.flashParams = part.get();
  input.checkList = end.run.checkList;
  input.totalTestCount = counters.TotalTestCount;
  input.startTime = LogTimeOf(end.start);
  input.endTime = LogTimeOf(end.end);
  input.singleExecuteResult = end.singleExecuteResult;
  const RunRecordsResult written = WriteRunRecords(log, input);
  for (const ErrorReport& report : written.reports) ApplyErrorReport(report, PortTable[static_cast<std::size_t>(report.port)]);
  if (written.logWritten) return true;
  platform::debug::output("fleetburn: " + written.failure + " " + written.detail + "; the run's rows:\n" + written.rows,
                          platform::debug::Level::Warning);
  prompt.message(written.failure);
  return false;
}

}  // namespace fleetburn
