// START and the production run, as the window takes part in them: the
// freeze, the checks, what the run captures from the pages, the thaw, the
// end-of-run save and the unattended runs' end.

#include <QApplication>
#include <QImage>
#include <QStatusBar>
#include <QTimer>
#include <cstdio>
#include <ctime>
#include <vector>

#include "devlib/drive_state.h"
#include "devlib/firmware_download.h"
#include "devlib/flash_geometry.h"
#include "devlib/flash_params.h"
#include "main_form.h"
#include "platform/debug.h"
#include "platform/paths.h"
#include "station/jpeg_writer.h"
#include "station/port_record.h"
#include "station/run_records.h"
#include "station/run_worker.h"
#include "station/table_mode.h"

namespace fleetburn::ui {
namespace {

QString Q(const std::string& text) { return QString::fromStdString(text); }

devlib::LocalTime LocalNow() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  return devlib::LocalTime{local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                           local.tm_min,         local.tm_sec,     0};
}

int CheckedEntries(const std::vector<CheckListEntry>& entries) {
  int checked = 0;
  for (const CheckListEntry& entry : entries) checked += entry.checked ? 1 : 0;
  return checked;
}

}  // namespace

void TMainForm::startRunEngine() {
  std::string logDir = platform::paths::resolve(settings_.LogDir()).string();
  if (!logDir.empty() && logDir.back() != '/') logDir += '/';
  if (!wallClock_) wallClock_ = LocalNow;
  const devlib::LocalTime today = wallClock_();
  resultLog_ = ChooseResultLog(logDir, LogDate{today.year, today.month, today.day});
  engine_ = std::make_unique<RunEngine>(RunEngineParts{
      .scanner = *scanner_,
      .board = board_.get(),
      .control = runControl_,
      .watchdogs = watchdogs_,
      .settings = settings_.record(),
      .prompt = prompt_,
      .gui = guiPost(),
      .nextTurn = [this](std::function<void()> task) { QTimer::singleShot(1, this, std::move(task)); },
      .view = static_cast<RunView*>(this),
      .worker = RunPortWorker,
      .writeRecords =
          [this](const RunEnd& end) {
            if (WriteRunEnd(resultLog_, end, settings_.record(), prompt_)) return true;
            // Kept in sight until the next START: this run's rows are in the debug output only.
            statusBar()->showMessage(Q(std::string(kLogOpenFailure) + " The run's rows went to the debug output."));
            return false;
          },
      .saveCounters =
          [this] {
            const std::filesystem::path counters = platform::paths::resolve(settings_.LogDir() + kVadidLogName);
            if (!SaveYieldCounters(settings_.record(), counters)) {
              platform::debug::output("fleetburn: the counters could not be written to " + counters.string(),
                                      platform::debug::Level::Warning);
            }
          },
      .wallClock = wallClock_,
  });
}

void TMainForm::ExecuteBtnClick() {
  if (engine_ == nullptr || engine_->running() || RunInProgress) return;
  statusBar()->clearMessage();
  freezeForRun(true);
  ReadPages();
  pages_.ControlsToSettings();
  ShowPages();

  const std::shared_ptr<const devlib::FlashParams> part = devlib::CurrentFlashParams();
  const StartInputs inputs{settings_.record(),
                           state_,
                           pages_.firmwareFiles(),
                           pages_.specialMode(),
                           PageControl1->tabText(PageControl1->currentIndex()).toStdString(),
                           platform::paths::programDirectory(),
                           devlib::ComputeRawCapacityGB(part->setting, part->geometry),
                           part->geometry.pagesPerBlock,
                           part->geometry.sectorsPerPage,
                           [](int port) { return !devlib::IsLoaderDevice(port) && devlib::HasNtfsPartition(port); }};
  const StartCheck check = CheckStart(inputs, PortTable, PortCount);
  switch (check.verdict) {
    case StartVerdict::Refused:
      prompt_.message(check.message);
      if (board_ != nullptr) board_->UpdateDrawPanel(PortTable, PortCount, settings_.record());
      freezeForRun(false);
      // Nobody is there to put it right: an unattended line must not wait.
      if (commandLine_.autoExecuteQuit) quitUnattended(1);
      return;
    case StartVerdict::NoRun:
      if (!check.message.empty()) prompt_.message(check.message);
      freezeForRun(false);
      if (commandLine_.autoExecuteQuit) {
        platform::debug::output("fleetburn: START found nothing to run; the unattended run ends");
        quitUnattended(0);
      }
      return;
    case StartVerdict::Run:
      break;
  }
  TableModeFlag = check.tableMode;
  ClaimNewFlag = check.claimNew;
  if (check.downloadList != nullptr) devlib::PublishDownloadFileList(check.downloadList);
  engine_->RunProduction(captureRun(check), [this](RunOutcome outcome) { afterRun(outcome); });
}

RunRequest TMainForm::captureRun(const StartCheck& check) {
  const devlib::SettingsRecord& record = settings_.record();
  auto run = std::make_shared<RunSnapshot>();
  run->settings = record;
  run->checkList = state_.FunCheckListBox;
  run->checkedEntries = CheckedEntries(state_.FunCheckListBox);
  run->eraseChk = state_.EraseChk;
  run->laterChk = state_.LaterChk;
  run->rebuildCloseChk = state_.RebuildCloseChk;
  run->claimNew = check.claimNew;
  run->logDir = resultLog_.LogDir;
  run->barcodeSerials = BarcodeSerials;
  const TableRequest table = ChooseTableOperation(state_, platform::paths::programDirectory(),
                                                  pages_.firmwareFiles().BinFormatCode, pages_.specialMode());
  run->tableVersion = table.versionCode;

  RunRequest request;
  request.run = std::move(run);
  request.tableMode = check.tableMode;
  request.table = table;
  request.identifiers = IdentifierRules{.snAutoInc = state_.SNIncChk,
                                        .uidAutoInc = state_.UIDIncChk,
                                        .snDecimal = state_.SNDecimal,
                                        .uidDecimal = state_.UIDDecimal,
                                        .barcodeSerials = record.EnBarCode != 0,
                                        .barcodeUids = record.EnBarCodeWWN != 0,
                                        .reuseSerials = record.SNErrReuse != 0,
                                        .claimNew = check.claimNew,
                                        .downloadEnabled = record.ItemEnable[6] != 0};
  request.singleExecuteResult = commandLine_.singleExecuteResult;
  request.captureAppImage = commandLine_.captureAppImage;
  return request;
}

void TMainForm::afterRun(const RunOutcome& outcome) {
  ReadPages();
  if (!settings_.SaveSettingsAfterRun()) {
    platform::debug::output("fleetburn: the settings could not be saved to " + settings_.SettingsFileName(),
                            platform::debug::Level::Warning);
  }
  freezeForRun(false);
  ExecuteBtn->setEnabled(outcome.result != 0);
  if (ExecuteBtn->isVisible() && ExecuteBtn->isEnabled()) ExecuteBtn->setFocus();
  if (closeAfterRun_ || outcome.closeProgram || commandLine_.autoExecuteQuit) {
    QTimer::singleShot(0, this, &QWidget::close);
  }
}

void TMainForm::freezeForRun(bool frozen) {
  RunInProgress = frozen;
  if (!frozen) pages_.SpeedButton8Click(false);  // the lock as it stood, not what the freeze undid
  ShowPages();
  // The thaw enables START; a run's end then sets it by the run's result.
  ExecuteBtn->setEnabled(!frozen);
}

void TMainForm::applyRunFreeze() {
  // The lock button too: unlocking mid-run would let the pages change what
  // the run reads.
  for (QWidget* widget :
       std::initializer_list<QWidget*>{INIFileEdit, INILoadBtn, SpeedButton8, StyleScrollBox, BottomPanel}) {
    widget->setEnabled(!RunInProgress);
  }
  if (!RunInProgress) return;  // the pages and Save INI as the lock has them
  INISaveBtn->setEnabled(false);
  for (int page = 0; page < PageControl1->count(); ++page) PageControl1->widget(page)->setEnabled(false);
}

void TMainForm::quitUnattended(int exitCode) {
  exitCode_ = exitCode;
  QTimer::singleShot(0, this, &QWidget::close);
}

void TMainForm::showWait(bool shown) {
  if (shown) {
    waitBar_->start();
  } else {
    waitBar_->stop();
    WaitPanel->hide();  // now, not when the bar's own notice comes: the capture follows at once
  }
}

void TMainForm::showElapsed(const std::string& text) { ElapsedTime->setText(Q(text)); }

void TMainForm::showNextIdentifiers(const std::string& serial, const std::string& uid) {
  // The edits hold the numbers the record advanced to, so that the save at
  // the run's end keeps them.
  state_.SerialNumEdit = serial;
  state_.UIDLEdit = uid;
  ShowPages();
}

void TMainForm::capture(const devlib::LocalTime& end) {
  QWidget* shown = QApplication::activeWindow() != nullptr ? QApplication::activeWindow() : this;
  const QImage image = shown->grab().toImage().convertToFormat(QImage::Format_RGB888);
  std::vector<std::uint8_t> rgb;
  const auto rowBytes = static_cast<std::size_t>(image.width()) * 3;
  rgb.reserve(rowBytes * static_cast<std::size_t>(image.height()));
  for (int y = 0; y < image.height(); ++y) {
    const std::uint8_t* row = image.constScanLine(y);
    rgb.insert(rgb.end(), row, row + rowBytes);
  }
  const std::filesystem::path file = CaptureImagePath(resultLog_.LogDir, LogTimeOf(end));
  std::string error;
  if (!WriteJpegFile(file, rgb, image.width(), image.height(), error)) {
    platform::debug::output("fleetburn: the window capture " + file.string() + " could not be written: " + error,
                            platform::debug::Level::Warning);
  }
}

}  // namespace fleetburn::ui
