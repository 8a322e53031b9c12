#pragma once
// Fleetburn's main window: the tool bar, the settings pages, the port board,
// the bottom bar and the status bar. The window shows the settings pages'
// state and hands every operator action to the station core; it holds no
// device logic. Its start-up (the constructor's steps and FormCreate),
// FormShow and shutdown follow the station's life cycle.

#include <QAbstractButton>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMainWindow>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollArea>
#include <QSpinBox>
#include <QTabWidget>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <QTreeWidget>
#include <array>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "board_geometry.h"
#include "platform/prompt.h"
#include "port_panel.h"
#include "wait_paint_box.h"
#include "station/wait_bar.h"
#include "station/board_layout.h"
#include "station/hotplug.h"
#include "station/port_board.h"
#include "station/port_scan.h"
#include "station/port_stop.h"
#include "station/result_log.h"
#include "station/run_engine.h"
#include "station/start_checks.h"
#include "station/settings_io.h"
#include "station/settings_pages.h"
#include "station/startup.h"
#include "station/title_form.h"

namespace fleetburn::ui {

class TMainForm : public QMainWindow, private BoardView, private ScanView, private RunView {
  Q_OBJECT

 public:
  TMainForm(platform::prompt::Prompt& prompt, FileDialogs& dialogs, QWidget* parent = nullptr);
  ~TMainForm() override;

  // The constructor's steps after the window is built, then FormCreate:
  // support files, settings, the hub port walk, the board, the lock state,
  // the command line and the port buffers. Anything but Ready ends the
  // program before the window shows; nothing is saved at its end then.
  StartupStatus Start(std::string_view commandLine);

  // The serial number dialog as it was closed before the window showed;
  // the first show applies its result.
  void setTitleForm(const fleetburn::TTitleForm* form) { titleForm_ = form; }

  const CommandLineOptions& commandLineOptions() const { return commandLine_; }
  StationSettings& settings() { return settings_; }
  SettingsPages& pages() { return pages_; }
  const SettingsPageState& pageState() const { return state_; }
  int RowsPerColumn() const { return rowsPerColumn_; }
  const std::vector<PortPanel*>& portPanels() const { return panels_; }
  // The device scan and the board it draws (the board once start-up built it).
  PortScanner& scanner() { return *scanner_; }
  PortBoard* board() { return board_.get(); }
  // The device tree's notices restarting the rescan timer (once started).
  HotplugRescan* hotplug() { return hotplug_.get(); }
  // The per-port run states the watchdogs and the abort button decide.
  PortRunControl& runControl() { return runControl_; }
  // The production run START starts (once start-up built the board).
  RunEngine* runEngine() { return engine_.get(); }
  const ResultLogState& resultLog() const { return resultLog_; }
  // What the program ends with: 1 when an unattended run could not start.
  int exitCode() const { return exitCode_; }
  // The local time the run's files are named and dated by (before Start).
  void setWallClock(std::function<devlib::LocalTime()> clock) { wallClock_ = std::move(clock); }
  // The wait animation a run starts and stops.
  WaitBar& waitBar() { return *waitBar_; }

  // The widgets into the page state, and the page state into the widgets
  // (with their signals blocked: showing never sets off a handler).
  void ReadPages();
  void ShowPages();

  // Tool bar.
  QToolBar* ToolBar1 = nullptr;
  QToolButton* PinSBtn = nullptr;
  QToolButton* SpeedButton2 = nullptr;
  QToolButton* SpeedButton8 = nullptr;
  QToolButton* ResetPlugInCounter = nullptr;
  QToolButton* SpeedButton9 = nullptr;
  QToolButton* SpeedButton6 = nullptr;
  QLabel* ProdModalPanel = nullptr;

  // Settings pages.
  QTabWidget* PageControl1 = nullptr;
  QWidget* TabSheet1 = nullptr;
  QWidget* TabSheet2 = nullptr;
  QWidget* TabSheet6 = nullptr;
  QWidget* TabSheet3 = nullptr;
  QWidget* TabSheet4 = nullptr;
  QWidget* TabSheet18 = nullptr;
  QWidget* TabSheet5 = nullptr;

  // "Test Items".
  QComboBox* ConnectionChkCmbox = nullptr;
  QListWidget* FunCheckListBox = nullptr;
  QCheckBox* UpdateFirmwareChk = nullptr;
  QLineEdit* INIFileEdit = nullptr;
  QPushButton* INILoadBtn = nullptr;
  QPushButton* INISaveBtn = nullptr;
  QTabWidget* PageControl2 = nullptr;
  std::array<QCheckBox*, 5> CheckID{};
  QCheckBox* SataBinChk = nullptr;
  QCheckBox* UsbBinChk = nullptr;
  QSpinBox* SNMinLengthSpin = nullptr;
  QRadioButton* SNDecimal = nullptr;
  QRadioButton* SNHexadecimal = nullptr;
  QGroupBox* SATAGroupBox = nullptr;
  QGroupBox* USBGroupBox = nullptr;
  QGroupBox* CommonGroupBox = nullptr;
  QLabel* SataBinLabel = nullptr;
  QLabel* UsbBinLabel = nullptr;
  QGroupBox* FormatGroupBox = nullptr;
  QComboBox* FmtTypeComboBox = nullptr;
  QLineEdit* VolumeLabeledEdit = nullptr;
  QCheckBox* CopyImageCheckBox = nullptr;
  QLineEdit* ImagePathEdit = nullptr;
  QPushButton* GenImageBn = nullptr;
  QLineEdit* CheckMaxTemperatureValue = nullptr;
  QLineEdit* QCCheckMaxTemperatureValue = nullptr;
  QLineEdit* MaxLBAValue = nullptr;
  QLineEdit* IDEMA_Capacity = nullptr;
  QLineEdit* LBA_Capacity = nullptr;
  QLineEdit* RWTestPercentageValue = nullptr;
  QLineEdit* RWTestPercentageCycle = nullptr;
  QLineEdit* WTestFullCycle = nullptr;
  QLineEdit* RWTestFullCycle = nullptr;
  QRadioButton* SnCheckPatternRB = nullptr;
  QRadioButton* SnCheckBarcodeRB = nullptr;
  QLineEdit* SnCheckValueLd = nullptr;
  QLineEdit* SnCheckMaskLd = nullptr;
  QRadioButton* LaterChk = nullptr;
  QRadioButton* EarlyChk = nullptr;
  QRadioButton* EraseChk = nullptr;
  QCheckBox* KeepPreviousEraseCountChk = nullptr;
  QCheckBox* SkipEraseGoodChkBox = nullptr;

  // "Flash Setting".
  QComboBox* FlashVendorCmbx = nullptr;
  QComboBox* FlashCodeCmBx = nullptr;
  QComboBox* FlashChanCmBx = nullptr;
  QComboBox* FlashBankCmBx = nullptr;
  QComboBox* DrvCurrentCmBx = nullptr;
  QComboBox* CapacityCmBx = nullptr;
  QPlainTextEdit* FlashDetailMemo = nullptr;
  QLineEdit* CapacityEdit = nullptr;
  QLineEdit* CapacityEdit2 = nullptr;

  // "Dram Setting" (never shown).
  QComboBox* DramVendorCmbx = nullptr;
  QComboBox* DramCodeCmBx = nullptr;

  // "Device Setting".
  QLineEdit* VendorIDEdit = nullptr;
  QLineEdit* ProductIDEdit = nullptr;
  QLineEdit* VendorNameEdit = nullptr;
  QLineEdit* ProductNameEdit = nullptr;
  QLineEdit* ManufStrEdit = nullptr;
  QLineEdit* ProdStrEdit = nullptr;
  QLineEdit* FirmwareVerEdit = nullptr;
  QLineEdit* ModelNumEdit = nullptr;
  QLabel* SerialNumEditLabel = nullptr;
  QLineEdit* SerialNumEdit = nullptr;
  QCheckBox* SNIncChk = nullptr;
  QGroupBox* GroupBox7 = nullptr;
  QPushButton* BnKeyFile = nullptr;
  QLineEdit* LeEncryption = nullptr;

  // "F/W Setting".
  QWidget* FeaturePanel = nullptr;
  QWidget* RatioPanel = nullptr;
  QWidget* SecurityErasePanel = nullptr;
  QLineEdit* DefBlkRatioEdit = nullptr;
  QLineEdit* ResBlkRatioEdit = nullptr;
  QLineEdit* Bch16RdErrThldEdit = nullptr;
  QLineEdit* Bch24RdErrThldEdit = nullptr;
  QLineEdit* Bch16EccErrCpyThldEdit = nullptr;
  QLineEdit* Bch24EccErrCpyThldEdit = nullptr;
  QLineEdit* WearLevFreqEdit = nullptr;
  QCheckBox* ScrambleChk = nullptr;
  QCheckBox* RemapChk = nullptr;
  QCheckBox* ThermalSensorCB = nullptr;
  QCheckBox* SMARTChk = nullptr;
  QCheckBox* SecurityChk = nullptr;
  QCheckBox* SlumberChk = nullptr;
  QCheckBox* InterleaveChk = nullptr;
  QCheckBox* ParalMemChk = nullptr;
  QCheckBox* SecurityEraseChk = nullptr;
  QLineEdit* IDEMAEdit = nullptr;
  QLineEdit* IDEMARatio = nullptr;
  QPushButton* CalcIDEMAToRatioBn = nullptr;
  QPushButton* RestoreReservedRatio = nullptr;

  // "Identify Setting".
  QLineEdit* OUILEdit = nullptr;
  QLineEdit* UIDLEdit = nullptr;
  QCheckBox* UIDIncChk = nullptr;
  QRadioButton* UIDDecimal = nullptr;
  QRadioButton* UIDHexadecimal = nullptr;
  QTreeWidget* IdentifyListView = nullptr;

  // "RD".
  QLineEdit* TableInEdit = nullptr;
  QLineEdit* TableOutEdit = nullptr;
  QLineEdit* LaterTableInEdit = nullptr;
  QLineEdit* LaterTableOutEdit = nullptr;
  QPushButton* GetDefTabBtn = nullptr;
  QPushButton* PutDefTabBtn = nullptr;
  QPushButton* GetLaterTabBtn = nullptr;
  QPushButton* PutLaterTabBtn = nullptr;
  QCheckBox* GetDefTabChk = nullptr;
  QCheckBox* PutDefTabChk = nullptr;
  QCheckBox* ClaimNewChk = nullptr;
  QCheckBox* GetLaterTabChk = nullptr;
  QCheckBox* PutLaterTabChk = nullptr;
  QCheckBox* RebuildCloseChk = nullptr;

  // Port board.
  QScrollArea* StyleScrollBox = nullptr;
  QWidget* boardContent = nullptr;  // no layout: the panels stand where the board puts them

  // Bottom bar and status bar.
  QWidget* BottomPanel = nullptr;
  QPushButton* RefreshBtn = nullptr;
  QPushButton* ExecuteBtn = nullptr;
  QPushButton* CloseBtn = nullptr;
  QFrame* WaitPanel = nullptr;
  WaitPaintBox* PaintBox1 = nullptr;
  QLineEdit* YieldEdit = nullptr;
  QPushButton* ResetYieldBtn = nullptr;
  QLineEdit* ElapsedTime = nullptr;
  std::array<QLabel*, 3> StatusBarPanels{};

  QTimer* AutoTestTimer = nullptr;

 protected:
  void showEvent(QShowEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  // Page building, one function per page.
  void buildToolBar();
  QWidget* buildTestItemsPage();
  void buildSubPages();
  QWidget* buildFlashPage();
  QWidget* buildDramPage();
  QWidget* buildDevicePage();
  QWidget* buildFirmwarePage();
  QWidget* buildIdentifyPage();
  QWidget* buildRdPage();
  QWidget* buildBottomPanel();
  void bindHandlers();
  void bindKeyFilters();

  // The port board of `portCount` panels.
  void buildBoard(int portCount);

  // The panels where `layout_` puts them, the board's size its scroll ranges.
  void placePanels();
  std::filesystem::path styleFile() const;
  void SpeedButton2Click();
  void ResetYieldBtnClick();
  void SpeedButton9Click();
  void MyBitBtnClick(int port);
  void panelPressed(int port);
  void panelReleased(int port);

  // What the board and the scan tell the window.
  void panelChanged(int port, const PanelView& view) override;
  void yieldChanged(const std::string& text) override;
  void setStartEnabled(bool enabled) override;
  void setCaption(const std::string& caption) override;
  void focusStart() override;

  // A handler: the widgets into the state, the action, the state back into
  // the widgets. What the action throws is shown, never let through to Qt.
  void Handle(const std::function<void()>& action);

  // Hands a task to the GUI thread's event loop, queued behind what is there.
  Post guiPost();

  void FormShow();
  // A resized window re-lays out the board unless the layout is pinned.
  void FormResize();
  void AutoTestTimerTimer();

  // The run engine and the day's result log, once the board is built.
  void startRunEngine();
  // START: the checks, then the run; the window stays frozen until its end.
  void ExecuteBtnClick();
  RunRequest captureRun(const StartCheck& check);
  void afterRun(const RunOutcome& outcome);
  // START's freeze and thaw; ShowPages keeps the frozen controls frozen.
  void freezeForRun(bool frozen);
  void applyRunFreeze();
  // An unattended run that cannot start ends the program with exit code 1.
  void quitUnattended(int exitCode);
  // What the run engine tells the window.
  void showWait(bool shown) override;
  void showElapsed(const std::string& text) override;
  void showNextIdentifiers(const std::string& serial, const std::string& uid) override;
  void capture(const devlib::LocalTime& end) override;
  // The Close button: closes the window, which ends the program.
  void CloseBtnClick();
  // The window's end, from the close event while every widget still lives.
  void shutdown();

  platform::prompt::Prompt& prompt_;
  FileDialogs& dialogs_;
  SettingsPageState state_;
  StationSettings settings_;
  SettingsPages pages_;
  CommandLineOptions commandLine_;
  const fleetburn::TTitleForm* titleForm_ = nullptr;
  SupportFiles supportFiles_;
  PanelTemplate template_;
  std::vector<PortPanel*> panels_;
  BoardLayout layout_;
  PortRunControl runControl_;
  PortWatchdogs watchdogs_;
  QPoint dragFrom_;  // the cursor where a panel was pressed
  // The scanner goes first: its device phases end before the board does.
  std::unique_ptr<PortBoard> board_;
  std::unique_ptr<PortScanner> scanner_;
  // Goes before the scanner it rescans with.
  std::unique_ptr<HotplugRescan> hotplug_;
  std::unique_ptr<WaitBar> waitBar_;
  // Goes before the scanner and the board it runs with.
  std::unique_ptr<RunEngine> engine_;
  ResultLogState resultLog_;
  bool TableModeFlag = false;
  bool ClaimNewFlag = false;
  bool closeAfterRun_ = false;  // the window was closed during the run
  std::function<devlib::LocalTime()> wallClock_;
  int exitCode_ = 0;
  int rowsPerColumn_ = 1;
  bool started_ = false;
  bool shown_ = false;
  bool shutDown_ = false;
  bool showing_ = false;  // ShowPages is setting the widgets
  // Set by START from its first step until the window is thawed; plug
  // notices are dropped meanwhile.
  bool RunInProgress = false;

  // What ShowPages and ReadPages copy, control by control.
  struct Bindings;
  std::unique_ptr<Bindings> bindings_;
};

}  // namespace fleetburn::ui
