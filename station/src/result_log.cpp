#include "station/result_log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <optional>
#include <system_error>
#include <utility>

#include "devlib/failure_report.h"
#include "platform/paths.h"
#include "station/test_items.h"

namespace fleetburn {
namespace {

constexpr int kFlashInterfaceItem = 3;
constexpr int kPreformatItem = 5;
constexpr int kDownloadItem = 6;

std::string Formatted(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Formatted(const char* format, ...) {
  std::va_list args;
  va_start(args, format);
  std::va_list again;
  va_copy(again, args);
  const int length = std::vsnprintf(nullptr, 0, format, args);
  va_end(args);
  std::string text(static_cast<std::size_t>(std::max(length, 0)), '\0');
  std::vsnprintf(text.data(), text.size() + 1, format, again);
  va_end(again);
  return text;
}

// A log field as the row shows it: no character of it can end the field or
// the line.
std::string LogField(std::string_view text) {
  std::string field(text);
  for (char& c : field) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = ' ';
  }
  return field;
}

std::string ErrnoText(int error) { return std::error_code(error, std::generic_category()).message(); }

// A file written with plain system calls, so that it can be synced before
// the run is called done.
class LogFile {
 public:
  LogFile() = default;
  ~LogFile() { close(); }
  LogFile(const LogFile&) = delete;
  LogFile& operator=(const LogFile&) = delete;

  // `flags` for open(2); false with the reason kept when it cannot be opened.
  bool open(const std::filesystem::path& path, int flags) {
    close();
    path_ = path;
    fd_ = ::open(path.c_str(), flags | O_CLOEXEC, 0644);
    if (fd_ < 0) fail("cannot be opened");
    return fd_ >= 0;
  }

  bool isOpen() const { return fd_ >= 0; }

  std::optional<std::uintmax_t> size() {
    struct stat status {};
    if (::fstat(fd_, &status) != 0) {
      fail("cannot be measured");
      return std::nullopt;
    }
    return static_cast<std::uintmax_t>(status.st_size);
  }

  bool write(std::string_view text) {
    while (!text.empty()) {
      const ssize_t written = ::write(fd_, text.data(), text.size());
      if (written < 0 && errno == EINTR) continue;
      if (written <= 0) {
        fail("cannot be written");
        return false;
      }
      text.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
  }

  bool sync() {
    if (::fsync(fd_) == 0) return true;
    fail("cannot be synced");
    return false;
  }

  // Syncs and closes; false when either failed.
  bool finish() {
    const bool synced = sync();
    const bool closed = ::close(std::exchange(fd_, -1)) == 0;
    if (synced && !closed) fail("cannot be closed");
    return synced && closed;
  }

  void close() {
    if (fd_ >= 0) ::close(std::exchange(fd_, -1));
  }

  const std::string& reason() const { return reason_; }

 private:
  void fail(const char* what) { reason_ = path_.string() + " " + what + ": " + ErrnoText(errno); }

  int fd_ = -1;
  std::filesystem::path path_;
  std::string reason_;
};

// The day's log for appending: the existing file as it is, or a new one
// with the header. False when it can be neither opened nor created.
bool OpenOrCreate(LogFile& file, const std::string& name, const std::string& header) {
  const std::filesystem::path path = platform::paths::resolve(name);
  if (file.open(path, O_WRONLY | O_APPEND)) return true;
  if (errno != ENOENT) return false;  // there, but not for us to write
  if (!file.open(path, O_WRONLY | O_APPEND | O_CREAT | O_EXCL)) return false;
  return file.write(header);
}

// Creates the report under `name`, or, when that name is taken (the same
// port and serial in the same minute), under the first free "(n)" form.
bool CreateReportFile(LogFile& file, const std::string& logDir, const std::string& name, std::filesystem::path& path) {
  const std::string stem = name.substr(0, name.size() - 4);  // without ".txt"
  for (int n = 0; n <= kLastLogNumber; ++n) {
    const std::string candidate = n == 0 ? name : stem + "(" + std::to_string(n) + ").txt";
    path = platform::paths::resolve(logDir + candidate);
    if (file.open(path, O_WRONLY | O_CREAT | O_EXCL)) return true;
    if (errno != EEXIST) return false;
  }
  return false;
}

// The report of a port with code 3 or 5 from its failure detail.
devlib::FailureReport FormatReport(int errorCode, std::span<const std::uint8_t> detail,
                                   const devlib::FlashParams& params) {
  if (errorCode == kFlashInterfaceItem) return devlib::FormatFlashTestReport(detail, params.setting.channels);
  const int recordCount = detail.empty() ? 0 : detail[0];
  return devlib::FormatTableBuildReport(detail.subspan(detail.empty() ? 0 : 1), recordCount, params);
}

// The report's text as the file holds it: up to a zero, at most the limit.
std::string_view ReportText(const std::string& text) {
  std::string_view view(text);
  view = view.substr(0, std::min(view.find('\0'), kErrorReportLimit));
  return view;
}

ErrorReport WriteErrorReport(const std::string& logDir, const LogTime& end, int port, const PortRecord& record,
                             std::span<const std::uint8_t> detail, const devlib::FlashParams& params) {
  const devlib::FailureReport formatted = FormatReport(static_cast<int>(record.errorCode), detail, params);
  ErrorReport report;
  report.port = port;
  report.shownItem = formatted.errorCode ? static_cast<std::uint32_t>(*formatted.errorCode) : record.shownItem;
  report.failKind = static_cast<std::uint32_t>(formatted.badChCeIndices.size());
  report.subError = formatted.badChCeIndices.empty() ? record.subError
                                                     : static_cast<std::uint32_t>(formatted.badChCeIndices.back());
  LogFile file;
  if (CreateReportFile(file, logDir, ErrorDumpFileName(end, port, record.serialNumber.view()), report.path)) {
    report.written = file.write(ReportText(formatted.text)) && file.finish();
  }
  return report;
}

std::vector<int> LoggedPorts(const RunRecordsInput& input) {
  const int ports = std::clamp(input.portCount, 0, static_cast<int>(input.records.size()));
  std::vector<int> logged;
  for (int port : input.activePorts) {
    if (port >= 0 && port < ports) logged.push_back(port);
  }
  std::sort(logged.begin(), logged.end());
  logged.erase(std::unique(logged.begin(), logged.end()), logged.end());
  return logged;
}

}  // namespace

std::string LogTimeText(const LogTime& t) {
  return Formatted("%04d/%02d/%02d %02d:%02d:%02d", t.year, t.month, t.day, t.hour, t.minute, t.second);
}

std::string ResultLogState::PathOf(int number) const { return LogNamePattern + Formatted("_%03d.txt", number); }

ResultLogState ChooseResultLog(const std::string& logDir, const LogDate& startupDate) {
  ResultLogState log;
  log.LogDir = logDir;
  log.LogNamePattern = logDir + Formatted("%04d%02d%02d", startupDate.year, startupDate.month, startupDate.day);
  std::error_code error;
  int number = 0;
  while (number <= kLastLogNumber && std::filesystem::exists(platform::paths::resolve(log.PathOf(number)), error)) {
    ++number;
  }
  if (number > 0) {
    --number;  // the last existing file
    const std::filesystem::path last = platform::paths::resolve(log.PathOf(number));
    const std::uintmax_t size = std::filesystem::file_size(last, error);
    if (!error && std::ifstream(last, std::ios::binary).is_open() && size >= log.LogSizeLimit) ++number;
  }
  log.LogNumber = number;
  log.LogPath = log.PathOf(number);
  return log;
}

std::vector<int> LogColumnItems(std::span<const CheckListEntry> checkList) {
  std::vector<int> items;
  for (int item = kFirstTestItem; item <= kLastTestItem; ++item) {
    const std::string_view name = TestItemOf(item).itemName;
    for (const CheckListEntry& entry : checkList) {
      if (entry.text == name) items.push_back(item);
    }
  }
  return items;
}

std::string ResultLogHeader(std::span<const int> columnItems) {
  std::string header = "  No.\t Port.\t     StartTime \t EndTime \tSerialNumber\tWWN\t";
  for (int item : columnItems) header += TestItemOf(item).logColumn;
  header += "Result\t\r\n";
  return header;
}

int RunningNumber(std::uint32_t totalTestCount, int activeCount, int position) {
  const long long before = static_cast<long long>(totalTestCount) - activeCount;
  return static_cast<int>(std::max(before, 0LL) + position);
}

std::string ResultLogRow(int runningNumber, int port, const PortRecord& record, const LogTime& start,
                         const LogTime& end, std::span<const int> columnItems) {
  std::string row = Formatted("%06d\t%06d\t", runningNumber, port + 1);
  row += LogTimeText(start) + "\t" + LogTimeText(end) + "\t";
  row += LogField(record.serialNumber.view()) + "\t" + LogField(record.uniqueId.view()) + "\t";
  for (int item : columnItems) {
    const bool inList = item >= 0 && static_cast<std::size_t>(item) < record.itemResult.size();
    row += ResultWord(inList ? record.itemResult[static_cast<std::size_t>(item)] : kResultNotRun);
    row += '\t';
  }
  row += ResultWord(record.finalResult);
  row += "\t\r\n";
  return row;
}

std::string FileNameSafe(std::string_view text) {
  std::string safe(text);
  for (char& c : safe) {
    const bool allowed = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                         std::strchr("._()-", c) != nullptr;
    if (!allowed || c == '\0') c = '_';
  }
  return safe;
}

std::string ErrorDumpFileName(const LogTime& end, int port, std::string_view serialNumber) {
  return Formatted("Error_%04d%02d%02d%02d%02d_%02d", end.year, end.month, end.day, end.hour, end.minute, port + 1) +
         "_" + FileNameSafe(serialNumber) + ".txt";
}

std::filesystem::path CaptureImagePath(const std::string& logDir, const LogTime& end) {
  return platform::paths::resolve(
      logDir + Formatted("Image_%02d%02d%02d%02d%02d.jpg", end.month, end.day, end.hour, end.minute, end.second));
}

RunRecordsResult WriteRunRecords(ResultLogState& log, const RunRecordsInput& input) {
  RunRecordsResult result;
  const std::vector<int> columns = LogColumnItems(input.checkList);
  const std::string header = ResultLogHeader(columns);
  const std::vector<int> ports = LoggedPorts(input);

  for (std::size_t i = 0; i < ports.size(); ++i) {
    const int port = ports[i];
    const PortRecord& record = input.records[static_cast<std::size_t>(port)];
    const int number = RunningNumber(input.totalTestCount, static_cast<int>(ports.size()), static_cast<int>(i) + 1);
    result.rows += ResultLogRow(number, port, record, input.startTime, input.endTime, columns);
    if (input.collectFailedDownloads && record.itemResult[kDownloadItem] == kResultFail &&
        !record.serialNumber.empty()) {
      result.failedDownloadSerials.push_back(record.serialNumber.str());
    }
  }

  LogFile single;
  bool singleOk = false;
  if (input.singleExecuteResult) {
    singleOk = single.open(platform::paths::resolve(log.LogDir + kSingleExecuteResultName),
                           O_WRONLY | O_CREAT | O_TRUNC) &&
               single.write(header);
  }

  LogFile day;
  bool dayOk = OpenOrCreate(day, log.LogPath, header);
  if (dayOk) {
    const std::optional<std::uintmax_t> size = day.size();
    dayOk = size.has_value();
    if (dayOk && *size >= log.LogSizeLimit) {
      day.close();
      ++log.LogNumber;
      log.LogPath = log.PathOf(log.LogNumber);
      dayOk = OpenOrCreate(day, log.LogPath, header);
    }
  }
  dayOk = dayOk && day.write(result.rows) && day.finish();
  if (dayOk) {
    result.logWritten = true;
  } else {
    result.failure = kLogOpenFailure;
    result.detail = day.reason();
  }
  if (input.singleExecuteResult) {
    result.singleExecuteWritten = singleOk && (!dayOk || single.write(result.rows)) && single.finish();
  }

  for (int port : ports) {
    const PortRecord& record = input.records[static_cast<std::size_t>(port)];
    if (record.errorCode != kFlashInterfaceItem && record.errorCode != kPreformatItem) continue;
    const std::size_t slot = static_cast<std::size_t>(port);
    if (slot >= input.errorDetails.size() || input.errorDetails[slot].empty() || input.flashParams == nullptr) continue;
    result.reports.push_back(
        WriteErrorReport(log.LogDir, input.endTime, port, record, input.errorDetails[slot], *input.flashParams));
  }
  return result;
}

void ApplyErrorReport(const ErrorReport& report, PortRecord& record) {
  record.shownItem = report.shownItem;
  record.subError = report.subError;
  record.failKind = report.failKind;
}

std::deque<std::string> SnReuseQueue::Unread() const {
  std::deque<std::string> unread;
  const int end = std::clamp(count, 0, static_cast<int>(kCapacity));
  for (int i = std::clamp(readIndex, 0, end); i < end; ++i) {
    unread.push_back(entries[static_cast<std::size_t>(i)].str());
  }
  return unread;
}

void SnReuseQueue::MarkRead(std::size_t taken) {
  const int end = std::clamp(count, 0, static_cast<int>(kCapacity));
  readIndex = static_cast<int>(std::min<std::size_t>(static_cast<std::size_t>(std::clamp(readIndex, 0, end)) + taken,
                                                     static_cast<std::size_t>(end)));
}

std::vector<std::string> SnReuseQueue::Requeue(std::span<const std::string> collected) {
  std::vector<std::string> order(collected.begin(), collected.end());
  for (std::string& unread : Unread()) order.push_back(std::move(unread));

  SnReuseQueue next;
  std::vector<std::string> left;
  for (const std::string& serial : order) {
    const auto at = static_cast<std::size_t>(next.count);
    if (at < kCapacity && next.entries[at].assign(serial)) {
      ++next.count;
    } else {
      left.push_back(serial);
    }
  }
  *this = next;
  return left;
}

}  // namespace fleetburn
