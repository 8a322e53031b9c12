#include "main_form.h"

#include <QApplication>
#include <QCloseEvent>
#include <QCursor>
#include <QScreen>
#include <QSignalBlocker>
#include <QStatusBar>
#include <QVBoxLayout>
#include <cstdlib>
#include <ctime>
#include <exception>

#include "devlib/port_buffers.h"
#include "devlib/port_io.h"
#include "main_form_bindings.h"
#include "platform/debug.h"
#include "platform/paths.h"
#include "station/port_record.h"

namespace fleetburn::ui {

namespace {

QString Q(const std::string& text) { return QString::fromStdString(text); }
std::string S(const QString& text) { return text.toStdString(); }

constexpr QSize kDesignedSize{1083, 833};
constexpr int kAutoTestInterval = 200;  // ms

}  // namespace

TMainForm::TMainForm(platform::prompt::Prompt& prompt, FileDialogs& dialogs, QWidget* parent)
    : QMainWindow(parent),
      prompt_(prompt),
      dialogs_(dialogs),
      settings_(prompt),
      pages_(settings_, prompt, state_),
      watchdogs_(runControl_,
                 [this](int timerId) {
                   QMetaObject::invokeMethod(
                       this,
                       [this, timerId] {
                         if (engine_ != nullptr) engine_->WMTimer(timerId);
                       },
                       Qt::QueuedConnection);
                 }),
      scanner_(std::make_unique<PortScanner>(
          settings_.record(), prompt,
          // The scan's apply phase runs on the GUI thread, queued: posting never waits.
          guiPost(), static_cast<ScanView*>(this))),
      // Frames are drawn on the GUI thread, whichever thread the bar's timer uses.
      waitBar_(std::make_unique<WaitBar>(
          [this](int x) { QMetaObject::invokeMethod(this, [this, x] { PaintBox1->DrawWaitStep(x); }, Qt::QueuedConnection); },
          [this](bool shown) {
            QMetaObject::invokeMethod(
                this,
                [this, shown] {
                  if (shown) {
                    PaintBox1->clear();
                    WaitPanel->raise();
                  }
                  WaitPanel->setVisible(shown);
                },
                Qt::QueuedConnection);
          },
          kStationTimeLine)),
      bindings_(std::make_unique<Bindings>()) {
  // The pages' view of the settings load, with the widgets read before a
  // copy into the record and shown after every change of the pages.
  const SettingsView core = MakeSettingsView(pages_);
  settings_.setView(SettingsView{[this, core](const devlib::SettingsRecord& record) {
                                   core.settingsToControls(record);
                                   ShowPages();
                                 },
                                 [this, core](devlib::SettingsRecord& record) {
                                   ReadPages();
                                   core.controlsToSettings(record);
                                   ShowPages();
                                 },
                                 [this, core] {
                                   core.afterLoadIni();
                                   ShowPages();
                                 }});
  setObjectName("MainForm");
  setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                 Qt::WindowCloseButtonHint);
  resize(kDesignedSize);
  if (const QScreen* screen = QApplication::primaryScreen()) {
    move(screen->availableGeometry().center() - QPoint(width() / 2, height() / 2));
  }

  buildToolBar();
  auto* central = new QWidget(this);
  auto* column = new QVBoxLayout(central);
  column->setContentsMargins(4, 4, 4, 0);
  column->setSpacing(4);

  PageControl1 = new QTabWidget(central);
  PageControl1->setObjectName("PageControl1");
  struct Page {
    QWidget*& member;
    const char* name;
    const char* caption;
    QWidget* (TMainForm::*build)();
  };
  const Page pages[] = {{TabSheet1, "TabSheet1", "Test Items", &TMainForm::buildTestItemsPage},
                        {TabSheet2, "TabSheet2", "Flash Setting", &TMainForm::buildFlashPage},
                        {TabSheet6, "TabSheet6", "Dram Setting", &TMainForm::buildDramPage},
                        {TabSheet3, "TabSheet3", "Device Setting", &TMainForm::buildDevicePage},
                        {TabSheet4, "TabSheet4", "F/W Setting", &TMainForm::buildFirmwarePage},
                        {TabSheet18, "TabSheet18", "Identify Setting", &TMainForm::buildIdentifyPage},
                        {TabSheet5, "TabSheet5", "RD", &TMainForm::buildRdPage}};
  for (const Page& page : pages) {
    page.member = (this->*page.build)();
    page.member->setObjectName(page.name);
    PageControl1->addTab(page.member, page.caption);
  }
  PageControl1->setTabVisible(PageControl1->indexOf(TabSheet6), false);
  PageControl1->setFixedHeight(296);
  column->addWidget(PageControl1);

  StyleScrollBox = new QScrollArea(central);
  StyleScrollBox->setObjectName("StyleScrollBox");
  StyleScrollBox->setWidgetResizable(false);
  StyleScrollBox->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  StyleScrollBox->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  boardContent = new QWidget;
  boardContent->setObjectName("StyleScrollBoxContent");
  boardContent->resize(0, 0);
  StyleScrollBox->setWidget(boardContent);
  column->addWidget(StyleScrollBox, 1);

  column->addWidget(buildBottomPanel());
  setCentralWidget(central);

  auto* bar = new QStatusBar(this);
  bar->setObjectName("StatusBar");
  const int stretches[] = {3, 2, 3};
  for (int panel = 0; panel < 3; ++panel) {
    StatusBarPanels[panel] = new QLabel(bar);
    StatusBarPanels[panel]->setObjectName("StatusBarPanel" + QString::number(panel));
    bar->addWidget(StatusBarPanels[panel], stretches[panel]);
  }
  setStatusBar(bar);

  AutoTestTimer = new QTimer(this);
  AutoTestTimer->setObjectName("AutoTestTimer");
  AutoTestTimer->setSingleShot(true);
  AutoTestTimer->setInterval(kAutoTestInterval);
  connect(AutoTestTimer, &QTimer::timeout, this, &TMainForm::AutoTestTimerTimer);

  bindHandlers();
  bindKeyFilters();
  ShowPages();
}

TMainForm::~TMainForm() = default;

StartupStatus TMainForm::Start(std::string_view commandLine) {
  state_.caption = ShowCaptionString("SATA");
  supportFiles_ = CheckSupportFiles(prompt_);
  pages_.setSupportFiles(supportFiles_);
  devlib::SetVendorOpcodeSet(2);

  if (!settings_.LoadStartupSettings()) return StartupStatus::SettingsLoadFailed;

  supportFiles_ = CheckSupportFiles(prompt_);
  pages_.setSupportFiles(supportFiles_);

  // The first rescan takes the scan table over whole; its device phases go
  // on while the window shows. The port check is on the walk's total, before
  // the window loops over the ports.
  PortTable.fill(PortRecord{});
  scanner_->setSupportFilesOk(supportFiles_.SupportFilesOk);
  scanner_->RefreshPorts(true);
  if (CheckPortCount(static_cast<std::size_t>(std::max(scanner_->WalkedPortCount(), 0)), prompt_) !=
      StartupStatus::Ready) {
    scanner_->stopDevicePhases();
    return StartupStatus::TooManyPorts;
  }
  const int walked = PortCount;
  buildBoard(walked);
  board_ = std::make_unique<PortBoard>(walked, static_cast<BoardView*>(this));
  scanner_->attachBoard(board_.get());
  if (std::filesystem::exists(styleFile())) {
    Geometry window{x(), y(), width(), height()};
    RestoreStyle(styleFile(), layout_, window);
    placePanels();
    setGeometry(window.left, window.top, window.width, window.height);
  }
  // A scan that found no disk has ended already: the board's first drawing.
  if (!scanner_->scanning()) board_->UpdateDrawPanel(PortTable, PortCount, settings_.record());
  pages_.setPortCount(walked);
  WaitPanel->hide();
  WaitPanel->raise();

  pages_.SpeedButton8Click(false);
  std::srand(static_cast<unsigned>(std::time(nullptr)));
  for (int port = 0; port < walked; ++port) PortTimerIds[static_cast<std::size_t>(port)] = port + 1;

  // FormCreate.
  PageControl1->setCurrentIndex(0);
  commandLine_ = ParseCommandLine(commandLine, state_.FunCheckListBox.size());
  std::vector<bool> checked;
  for (const CheckListEntry& entry : state_.FunCheckListBox) checked.push_back(entry.checked);
  ApplyCheckListChanges(commandLine_, checked);
  for (std::size_t entry = 0; entry < checked.size(); ++entry) state_.FunCheckListBox[entry].checked = checked[entry];
  if (!devlib::AllocPortBuffers()) {
    platform::debug::output("fleetburn: some port buffers could not be mapped; those ports map them when they start",
                            platform::debug::Level::Warning);
  }
  hotplug_ = std::make_unique<HotplugRescan>(*scanner_, guiPost(), [this] { return RunInProgress; });
  if (!hotplug_->RegisterUsbNotification()) {
    platform::debug::output("fleetburn: the device tree gives no plug notices; press Refresh after plugging a drive",
                            platform::debug::Level::Warning);
  }
  startRunEngine();
  ShowPages();
  started_ = true;
  return StartupStatus::Ready;
}

void TMainForm::buildBoard(int portCount) {
  // The window is not shown yet: its layout is worked out now, so that the
  // scroll box has the height it will show with.
  layout()->activate();
  centralWidget()->layout()->activate();
  rowsPerColumn_ = ui::RowsPerColumn(StyleScrollBox->maximumViewportSize().height(), template_.panel.height);
  const std::vector<Rect> rects = BoardRects(portCount, rowsPerColumn_, template_.panel.width, template_.panel.height);
  for (int port = 0; port < portCount; ++port) {
    auto* panel = new PortPanel(port, template_, boardContent);
    const Rect& at = rects[static_cast<std::size_t>(port)];
    panel->setGeometry(at.left, at.top, at.width, at.height);
    panels_.push_back(panel);
  }
  const Size content = ContentSize(rects);
  boardContent->resize(content.width, content.height);
  layout_ = BoardLayout{};
  for (const Rect& at : rects) layout_.panels.push_back({at.left, at.top, at.width, at.height});
  layout_.raiseScrollRanges();
  for (PortPanel* panel : panels_) {
    connect(panel, &PortPanel::pressed, this, &TMainForm::panelPressed);
    connect(panel, &PortPanel::released, this, &TMainForm::panelReleased);
    connect(panel, &PortPanel::detailRequested, this, &TMainForm::MyBitBtnClick);
  }
}

void TMainForm::placePanels() {
  for (std::size_t port = 0; port < panels_.size() && port < layout_.panels.size(); ++port) {
    const Geometry& at = layout_.panels[port];
    panels_[port]->setGeometry(at.left, at.top, at.width, at.height);
  }
  boardContent->resize(layout_.scrollWidth, layout_.scrollHeight);
}

std::filesystem::path TMainForm::styleFile() const { return platform::paths::resolve(kStyleFileName); }

void TMainForm::SpeedButton2Click() {
  if (ResetLayoutClick(layout_, PinSBtn->isChecked(), StyleScrollBox->maximumViewportSize().height())) placePanels();
}

void TMainForm::ResetYieldBtnClick() {
  if (board_ == nullptr) return;
  const std::filesystem::path log = platform::paths::resolve(settings_.LogDir() + kVadidLogName);
  if (!board_->ResetYieldBtnClick(settings_.record(), log)) {
    platform::debug::output("fleetburn: the reset counters could not be written to " + log.string(),
                            platform::debug::Level::Warning);
  }
}

void TMainForm::SpeedButton9Click() {
  if (engine_ != nullptr) engine_->SpeedButton9Click();
}

void TMainForm::MyBitBtnClick(int port) {
  switch (fleetburn::MyBitBtnClick(port, scanner_->PresentCount())) {
    case DetailChoice::ErrorDialog:
      platform::debug::output("fleetburn: port " + std::to_string(port + 1) + ": the error dialog");
      break;
    case DetailChoice::DetailDialog:
      platform::debug::output("fleetburn: port " + std::to_string(port + 1) + ": the detail dialog");
      break;
    case DetailChoice::Nothing:
      break;
  }
}

void TMainForm::panelPressed(int) { dragFrom_ = QCursor::pos(); }

void TMainForm::panelReleased(int port) {
  if (port < 0 || static_cast<std::size_t>(port) >= layout_.panels.size()) return;
  const QPoint by = QCursor::pos() - dragFrom_;
  if (by.isNull()) return;
  Geometry to = layout_.panels[static_cast<std::size_t>(port)];
  to.left += by.x();
  to.top += by.y();
  if (MovePanel(layout_, port, to, PinSBtn->isChecked())) placePanels();
}

void TMainForm::panelChanged(int port, const PanelView& view) {
  if (port < 0 || port >= static_cast<int>(panels_.size())) return;
  PortPanel& panel = *panels_[static_cast<std::size_t>(port)];
  const std::uint32_t rgb = PanelColourRgb(view.colour);
  panel.setBackground(QColor(static_cast<int>((rgb >> 16) & 0xFF), static_cast<int>((rgb >> 8) & 0xFF),
                             static_cast<int>(rgb & 0xFF)));
  panel.setCaption(Q(view.caption));
  panel.setSerialText(Q(view.snText));
  panel.setUidText(Q(view.uidText));
  panel.setGauge(view.gauge);
  panel.setCounterText(Q(view.counterText));
  panel.setShown(view.shown);
}

void TMainForm::yieldChanged(const std::string& text) {
  settings_.ShowYield();  // the pages show the same counters
  YieldEdit->setText(Q(text));
}

void TMainForm::setStartEnabled(bool enabled) { ExecuteBtn->setEnabled(enabled); }

void TMainForm::setCaption(const std::string& caption) {
  state_.caption = caption;
  setWindowTitle(Q(caption));
}

void TMainForm::focusStart() { ExecuteBtn->setFocus(); }

void TMainForm::Handle(const std::function<void()>& action) {
  try {
    ReadPages();
    action();
    ShowPages();
  } catch (const std::exception& error) {
    prompt_.message(error.what());
  }
}

void TMainForm::showEvent(QShowEvent* event) {
  QMainWindow::showEvent(event);
  // Qt shows the window again after a minimise; FormShow belongs to the first time.
  if (shown_ || !started_) return;
  shown_ = true;
  Handle([this] { FormShow(); });
  if (commandLine_.autoExecute) AutoTestTimer->start();
}

void TMainForm::FormShow() {
  if (titleForm_ != nullptr && titleForm_->modalResult() == ModalResult::OK) {
    devlib::SettingsRecord& record = settings_.record();
    ApplyTitleForm(*titleForm_, record);
    state_.SerialNumEdit = record.SerialNum.str();
    state_.SNIncChk = record.SNAutoInc != 0;
  }
  std::error_code error;
  if (std::filesystem::exists(platform::paths::resolve(settings_.record().ExtFlashFile.view()), error)) {
    pages_.FlashInfoChange();
  }
  pages_.FunCheckListBoxClickCheck();
  state_.FunCheckListBoxIndex = state_.FunCheckListBox.empty() ? -1 : 0;
  pages_.SubPageControl();
  SpeedButton9->setVisible(true);
  if (ExecuteBtn->isVisible() && ExecuteBtn->isEnabled()) ExecuteBtn->setFocus();
}

void TMainForm::AutoTestTimerTimer() {
  // The first scan may still be reading the drives: START is decided once it has ended.
  if (scanner_->scanning()) {
    AutoTestTimer->start();
    return;
  }
  if (ExecuteBtn->isEnabled() && commandLine_.autoExecute) {
    ExecuteBtnClick();
    return;
  }
  if (commandLine_.autoExecuteQuit) {
    prompt_.message("START is not enabled: the drives on the line are not what Connect Check asks for.");
    quitUnattended(1);
  }
}

void TMainForm::closeEvent(QCloseEvent* event) {
  // A run in progress is stopped first; its rows, reports and counters are
  // written, and the window closes at its end.
  if (engine_ != nullptr && engine_->running()) {
    event->ignore();
    closeAfterRun_ = true;
    engine_->stopAll();
    return;
  }
  shutdown();
  QMainWindow::closeEvent(event);
}

void TMainForm::CloseBtnClick() { close(); }

Post TMainForm::guiPost() {
  return [this](std::function<void()> task) { QMetaObject::invokeMethod(this, std::move(task), Qt::QueuedConnection); };
}

void TMainForm::resizeEvent(QResizeEvent* event) {
  QMainWindow::resizeEvent(event);
  FormResize();
}

void TMainForm::FormResize() {
  // Before start-up built the board there is nothing to lay out.
  if (started_ && !shutDown_) SpeedButton2Click();
}

void TMainForm::shutdown() {
  if (shutDown_ || !started_) return;
  shutDown_ = true;
  AutoTestTimer->stop();
  hotplug_.reset();  // no notice starts a rescan from here on
  waitBar_->stop();
  scanner_->stopDevicePhases();
  // Workers still alive are stopped and waited for, a bounded time, before
  // any of their buffers is freed.
  engine_.reset();
  if (!SaveStyle(styleFile(), layout_, Geometry{x(), y(), width(), height()})) {
    platform::debug::output("fleetburn: the board layout could not be saved to Style.cs",
                            platform::debug::Level::Warning);
  }
  devlib::FreePortBuffers();
  try {
    settings_.SaveSettingsAtExit();
  } catch (const std::exception& failure) {
    prompt_.message(failure.what());
  }
}

// --- Pages and state --------------------------------------------------------

void TMainForm::ReadPages() {
  const Bindings& b = *bindings_;
  for (const auto& [edit, member] : b.texts) state_.*member = S(edit->text());
  for (const auto& [box, member] : b.checks) state_.*member = box->isChecked();
  for (const auto& [combo, member] : b.combos) (state_.*member).index = combo->currentIndex();
  for (std::size_t k = 0; k < CheckID.size(); ++k) state_.CheckID[k] = CheckID[k]->isChecked();
  state_.SNMinLengthSpin.value = SNMinLengthSpin->value();

  for (int row = 0; row < FunCheckListBox->count() && row < static_cast<int>(state_.FunCheckListBox.size()); ++row) {
    state_.FunCheckListBox[static_cast<std::size_t>(row)].checked =
        FunCheckListBox->item(row)->checkState() == Qt::Checked;
  }
  state_.FunCheckListBoxIndex = FunCheckListBox->currentRow();

  for (int row = 0;
       row < IdentifyListView->topLevelItemCount() && row < static_cast<int>(state_.IdentifyListView.size()); ++row) {
    const QTreeWidgetItem* item = IdentifyListView->topLevelItem(row);
    IdentifyItem& shown = state_.IdentifyListView[static_cast<std::size_t>(row)];
    shown.caption = S(item->text(0));
    shown.checked = item->checkState(0) == Qt::Checked;
  }
}

void TMainForm::ShowPages() {
  const Bindings& b = *bindings_;
  showing_ = true;
  std::vector<std::unique_ptr<QSignalBlocker>> blocked;
  const auto block = [&blocked](QObject* object) { blocked.push_back(std::make_unique<QSignalBlocker>(object)); };
  for (const auto& row : b.texts) block(row.first);
  for (const auto& row : b.checks) block(row.first);
  for (const auto& row : b.inverseRadios) block(row.first);
  for (const auto& row : b.combos) block(row.first);
  for (QCheckBox* box : CheckID) block(box);
  block(SNMinLengthSpin);
  block(FunCheckListBox);
  block(IdentifyListView);
  block(SpeedButton8);
  block(PageControl2);

  setWindowTitle(Q(state_.caption));
  for (std::size_t panel = 0; panel < StatusBarPanels.size(); ++panel) {
    StatusBarPanels[panel]->setText(Q(state_.StatusBar[panel]));
  }
  for (int page = 0; page < PageControl1->count(); ++page) PageControl1->widget(page)->setEnabled(state_.pagesEnabled);
  PageControl1->setTabVisible(PageControl1->indexOf(TabSheet5), state_.TabSheet5Visible);
  SpeedButton8->setChecked(state_.SpeedButton8Down);
  ProdModalPanel->setText(Q(state_.ProdModalPanel));
  INIFileEdit->setText(Q(settings_.iniFileText()));
  YieldEdit->setText(Q(settings_.yieldText()));

  for (const auto& [edit, member] : b.texts) {
    const QString text = Q(state_.*member);
    if (edit->text() != text) edit->setText(text);
  }
  // Radio buttons are set one by one, as the state says, without a group
  // taking the choice back.
  for (const auto& row : b.checks) {
    if (auto* radio = qobject_cast<QRadioButton*>(row.first)) radio->setAutoExclusive(false);
  }
  for (const auto& row : b.inverseRadios) row.first->setAutoExclusive(false);
  for (const auto& [box, member] : b.checks) box->setChecked(state_.*member);
  for (const auto& [radio, member] : b.inverseRadios) radio->setChecked(!(state_.*member));
  for (const auto& row : b.checks) {
    if (auto* radio = qobject_cast<QRadioButton*>(row.first)) radio->setAutoExclusive(true);
  }
  for (const auto& row : b.inverseRadios) row.first->setAutoExclusive(true);
  for (std::size_t k = 0; k < CheckID.size(); ++k) CheckID[k]->setChecked(state_.CheckID[k]);

  for (const auto& [combo, member] : b.combos) {
    const ComboState& shown = state_.*member;
    QStringList items;
    for (const std::string& item : shown.items) items << Q(item);
    QStringList current;
    for (int k = 0; k < combo->count(); ++k) current << combo->itemText(k);
    if (current != items) {
      combo->clear();
      combo->addItems(items);
    }
    combo->setCurrentIndex(shown.index < combo->count() ? shown.index : -1);
  }
  for (const auto& [widget, member] : b.visible) widget->setVisible(state_.*member);
  for (const auto& [widget, member] : b.enabled) widget->setEnabled(state_.*member);

  SNMinLengthSpin->setRange(state_.SNMinLengthSpin.minimum, state_.SNMinLengthSpin.maximum);
  SNMinLengthSpin->setValue(state_.SNMinLengthSpin.value);
  SerialNumEditLabel->setText(Q(state_.SerialNumEditLabel));
  const FirmwareFileChoice& firmware = pages_.firmwareFiles();
  SataBinLabel->setText(
      Q(firmware.SataBinName + (firmware.SataBinVersion.empty() ? "" : " (" + firmware.SataBinVersion + ")")));
  UsbBinLabel->setText(
      Q(firmware.UsbBinName + (firmware.UsbBinVersion.empty() ? "" : " (" + firmware.UsbBinVersion + ")")));

  // The check list keeps its items while only their states change, so the
  // operator's selection and scroll position stay.
  bool sameEntries = FunCheckListBox->count() == static_cast<int>(state_.FunCheckListBox.size());
  for (int row = 0; sameEntries && row < FunCheckListBox->count(); ++row) {
    sameEntries = FunCheckListBox->item(row)->text() == Q(state_.FunCheckListBox[static_cast<std::size_t>(row)].text);
  }
  if (!sameEntries) {
    FunCheckListBox->clear();
    for (const CheckListEntry& entry : state_.FunCheckListBox) {
      auto* item = new QListWidgetItem(Q(entry.text), FunCheckListBox);
      item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable);
    }
  }
  for (int row = 0; row < FunCheckListBox->count(); ++row) {
    FunCheckListBox->item(row)->setCheckState(
        state_.FunCheckListBox[static_cast<std::size_t>(row)].checked ? Qt::Checked : Qt::Unchecked);
  }
  FunCheckListBox->setCurrentRow(state_.FunCheckListBoxIndex);

  int shownSubPage = -1;
  for (int page = 0; page < PageControl2->count(); ++page) {
    const bool visible = PageControl2->tabText(page) == Q(state_.visibleSubPage);
    PageControl2->setTabVisible(page, visible);
    if (visible) shownSubPage = page;
  }
  if (shownSubPage >= 0) PageControl2->setCurrentIndex(shownSubPage);
  PageControl2->setVisible(shownSubPage >= 0);

  QStringList memo;
  for (const std::string& line : state_.FlashDetailMemo) memo << Q(line);
  if (FlashDetailMemo->toPlainText() != memo.join('\n')) FlashDetailMemo->setPlainText(memo.join('\n'));

  bool sameIdentify = IdentifyListView->topLevelItemCount() == static_cast<int>(state_.IdentifyListView.size());
  if (!sameIdentify) {
    IdentifyListView->clear();
    for (std::size_t row = 0; row < state_.IdentifyListView.size(); ++row) {
      auto* item = new QTreeWidgetItem(IdentifyListView);
      item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable | Qt::ItemIsEditable);
    }
  }
  for (int row = 0; row < IdentifyListView->topLevelItemCount(); ++row) {
    const IdentifyItem& shown = state_.IdentifyListView[static_cast<std::size_t>(row)];
    QTreeWidgetItem* item = IdentifyListView->topLevelItem(row);
    item->setText(0, Q(shown.caption));
    item->setText(1, Q(shown.subItem));
    item->setCheckState(0, shown.checked ? Qt::Checked : Qt::Unchecked);
  }
  applyRunFreeze();
  showing_ = false;
}

}  // namespace fleetburn::ui
