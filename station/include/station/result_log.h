#pragma once
// What a production run leaves in the log directory: the day's result log
// (one row per active port and run), SingleExecuteResult.log of the last
// run, the error reports of ports that failed the Flash Interface Test or
// the Preformat item, and the name of the window capture. The texts are
// byte-exact (TAB-separated, CR LF), as the tools that read them expect.
//
// Times are plain values: the caller takes them from its clock.

#include <array>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "devlib/fixed_text.h"
#include "devlib/flash_params.h"
#include "station/port_record.h"
#include "station/settings_pages.h"

namespace fleetburn {

inline constexpr std::uintmax_t kLogSizeLimit = 83000;
inline constexpr int kLastLogNumber = 99999;
inline constexpr const char* kLogOpenFailure = "Fail to open/create log file!";
inline constexpr const char* kLogOpenFailureCaption = "Error";
inline constexpr const char* kSingleExecuteResultName = "SingleExecuteResult.log";
inline constexpr std::size_t kErrorReportLimit = 8192;

struct LogDate {
  int year = 0;
  int month = 0;
  int day = 0;
};

struct LogTime {
  int year = 0;
  int month = 0;
  int day = 0;
  int hour = 0;
  int minute = 0;
  int second = 0;
};

// "2024/01/05 10:20:30", as the rows show a time.
std::string LogTimeText(const LogTime& time);

// The main form's result log: the day's name and the file rows go to.
struct ResultLogState {
  std::string LogDir;          // with its trailing separator
  std::string LogNamePattern;  // LogDir and the start-up date: the name up to "_%03d.txt"
  std::string LogPath;         // the file of LogNumber
  std::uintmax_t LogSizeLimit = kLogSizeLimit;
  int LogNumber = 0;

  // The name of running number `number` (at least three digits).
  std::string PathOf(int number) const;
};

// The result log at start-up: the last existing file of the start-up date
// in `logDir`, or the next number when that one has reached the size limit
// (a last file that cannot be read is kept); "_000" in a directory without
// one. The date does not change while the program runs.
ResultLogState ChooseResultLog(const std::string& logDir, const LogDate& startupDate);

// The item behind each log column, in column order: for each item 1 to 28,
// one column per check-list entry (checked or not) whose text is the item's
// name. An item without an entry has no column; "Write Test (Full)" names
// items 14 and 24, so each of its entries gives two.
std::vector<int> LogColumnItems(std::span<const CheckListEntry> checkList);

// The header line for those columns, CR LF included.
std::string ResultLogHeader(std::span<const int> columnItems);

// The running number of the port at `position` (1, 2, ...) among the run's
// `activeCount` active ports: the yield total less the active count, not
// below 0, plus the position.
int RunningNumber(std::uint32_t totalTestCount, int activeCount, int position);

// One port's row, CR LF included. TAB, CR, LF and other control characters
// in the serial number and the unique ID become blanks, so that a drive's or
// a scanner's text cannot break the row apart.
std::string ResultLogRow(int runningNumber, int port, const PortRecord& record, const LogTime& start,
                         const LogTime& end, std::span<const int> columnItems);

// A serial number as it goes into a file name: every character but letters,
// digits and "._()-" becomes "_", so that no serial leads out of the log
// directory or makes a name the file system refuses.
std::string FileNameSafe(std::string_view text);

// "Error_YYYYMMDDhhmm_pp_<serial>.txt": the minute of the run's end, port
// index + 1 and the serial number.
std::string ErrorDumpFileName(const LogTime& end, int port, std::string_view serialNumber);

// "Image_MMDDhhmmss.jpg" in the log directory: where the window capture of
// the run ending at `end` goes.
std::filesystem::path CaptureImagePath(const std::string& logDir, const LogTime& end);

// What the end of a run reads. The records are the caller's copy; only the
// ports in `activePorts` (slot indices) are logged, in ascending slot order.
struct RunRecordsInput {
  std::span<const PortRecord> records;  // index = port
  int portCount = 0;
  std::span<const int> activePorts;
  // Per port, the failure detail of its error code (the port buffers'
  // PortErrorBuffers(First, errorCode)). A port with code 3 or 5 and an empty
  // detail gets no report: an aborted port's Preformat detail was never
  // written in this run.
  std::span<const std::span<const std::uint8_t>> errorDetails;
  // The run's flash part (channels, banks, flash ID) the reports read; none: no reports.
  const devlib::FlashParams* flashParams = nullptr;
  std::span<const CheckListEntry> checkList;
  std::uint32_t totalTestCount = 0;  // the yield total after the run's ports were counted
  LogTime startTime;
  LogTime endTime;
  bool singleExecuteResult = false;  // command line "SingleExecuteResult"
  bool collectFailedDownloads = false;  // [DeviceSetting] SNErrReuse
};

// One error report, and what its formatter makes the port's caption show.
struct ErrorReport {
  int port = 0;
  std::filesystem::path path;
  bool written = false;
  std::uint32_t shownItem = 0;
  std::uint32_t subError = 0;
  std::uint32_t failKind = 0;
};

struct RunRecordsResult {
  bool logWritten = false;
  // Empty, or kLogOpenFailure when the result log could not be opened,
  // created or written; `detail` then says which file and why.
  std::string failure;
  std::string detail;
  // The run's rows as they were (or were to be) appended, without the
  // header: the caller puts them on the debug output when the log failed.
  std::string rows;
  bool singleExecuteWritten = false;
  std::vector<ErrorReport> reports;
  // With collectFailedDownloads: the serial numbers of the ports whose
  // Download item failed, in slot order.
  std::vector<std::string> failedDownloadSerials;
};

// The end of a run, on the main thread once every worker has ended: the
// header for SingleExecuteResult.log when asked; the result log opened for
// appending, or created with the header when it does not exist; a log of
// the size limit or more rolls over to the next number (checked once per
// run, before the rows); the rows appended to both files, which are synced
// before this returns; then the error reports of the ports with code 3 or
// 5. A log that fails costs only its rows, which come back in the result:
// the reports are written and the serials collected all the same.
RunRecordsResult WriteRunRecords(ResultLogState& log, const RunRecordsInput& input);

// Puts what the report's formatter found into the port's caption fields.
void ApplyErrorReport(const ErrorReport& report, PortRecord& record);

// Serial numbers of failed downloads, to be handed out again before fresh
// ones: `count` entries, of which those from `readIndex` on are unread.
struct SnReuseQueue {
  static constexpr std::size_t kCapacity = 50;
  std::array<devlib::FixedText<40>, kCapacity> entries{};
  int count = 0;
  int readIndex = 0;

  // The unread entries, first first.
  std::deque<std::string> Unread() const;
  // `taken` more entries have been handed out.
  void MarkRead(std::size_t taken);
  // After a run: the collected serials in their order, then the entries
  // still unread; read index 0. Returns the serials that found no place
  // (beyond the capacity, or too long for an entry), so that the caller can
  // report them.
  std::vector<std::string> Requeue(std::span<const std::string> collected);
};

}  // namespace fleetburn
