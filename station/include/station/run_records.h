#pragma once
// The end of a run on disk: the run's rows into the result log (and
// SingleExecuteResult.log), the error reports of its failed ports, whose
// captions then show what the reports found. A log that cannot be written
// is said in the Part's message box, and the rows go to the debug output, so
// that no run's results are lost without a word.

#include "devlib/fat32_format.h"
#include "devlib/settings_record.h"
#include "platform/prompt.h"
#include "station/result_log.h"
#include "station/run_engine.h"

namespace fleetburn {

LogTime LogTimeOf(const devlib::LocalTime& time);

// False when the result log could not be written.
bool WriteRunEnd(ResultLogState& log, const RunEnd& end, const devlib::SettingsRecord& counters,
                 platform::prompt::Prompt& prompt);

}  // namespace fleetburn
