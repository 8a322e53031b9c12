#include "main_form.h"

#include <QFile>
#include <QGridLayout>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QImage>
#include <QMouseEvent>
#include <QPixmap>
#include <QScreen>
#include <QTimer>
#include <QVBoxLayout>

#include "devlib/port_buffers.h"
#include "devlib/raw_dump.h"
#include "platform/debug.h"
#include "platform/prompt.h"
#include "probe/drive_list.h"
#include "probe/jpeg_image.h"
#include "probe/window_text.h"
#include "splash_form.h"

// The pictures are compiled into this library; a static library's resources
// are registered by hand.
static void RegisterProbeResources() { Q_INIT_RESOURCE(probe); }

namespace blockprobe {
namespace {

constexpr int kClientWidth = 1043;
constexpr int kClientHeight = 577;
constexpr int kSmartPage = 3;
const char* const kDiagramResource = ":/probe/erase_count_diagram.jpg";

QString Latin1(std::string_view text) { return QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size())); }

// An edit shows its text on one line; the text keeps its line ends for the reports.
QString OnOneLine(const std::string& text) {
  QString shown = Latin1(text);
  shown.remove(QLatin1Char('\r'));
  shown.remove(QLatin1Char('\n'));
  return shown;
}

void ShowLines(QPlainTextEdit* memo, const std::vector<std::string>& lines) {
  for (const std::string& line : lines) memo->appendPlainText(Latin1(line));
}

QPlainTextEdit* NewMemo(const char* name, QWidget* parent) {
  auto* memo = new QPlainTextEdit(parent);
  memo->setObjectName(name);
  memo->setReadOnly(true);
  memo->setLineWrapMode(QPlainTextEdit::NoWrap);
  QFont fixed("DejaVu Sans Mono");
  fixed.setStyleHint(QFont::Monospace);
  fixed.setPointSize(8);
  memo->setFont(fixed);
  return memo;
}

QPixmap DiagramPicture() {
  RegisterProbeResources();
  QFile file(kDiagramResource);
  if (!file.open(QIODevice::ReadOnly)) {
    platform::debug::output("erase count diagram: no picture in the program", platform::debug::Level::Warning);
    return {};
  }
  const QByteArray bytes = file.readAll();
  const JpegDecode decoded =
      DecodeJpeg(std::span(reinterpret_cast<const std::uint8_t*>(bytes.constData()), static_cast<std::size_t>(bytes.size())));
  if (!decoded.image) {
    platform::debug::output("erase count diagram: " + decoded.error, platform::debug::Level::Warning);
    return {};
  }
  const RgbImage& image = *decoded.image;
  const QImage view(image.pixels.data(), image.width, image.height, image.width * 3, QImage::Format_RGB888);
  return QPixmap::fromImage(view.copy());
}

}  // namespace

TipShape::TipShape(QWidget* parent) : QWidget(parent) { setFixedSize(23, 22); }

void TipShape::mousePressEvent(QMouseEvent* event) {
  emit pressed(event->modifiers());
  QWidget::mousePressEvent(event);
}

TMainForm::TMainForm(const std::string& oemBrand, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowCloseButtonHint),
      splash_(nullptr) {
  setObjectName("MainForm");
  setWindowTitle(Latin1(MainWindowCaption(oemBrand)));
  // A slot whose buffers cannot be mapped now tries again when first used.
  devlib::AllocPortBuffers();
  setFixedSize(kClientWidth, kClientHeight);
  QFont font = this->font();
  font.setPointSize(8);
  setFont(font);

  DeviceList = new QComboBox(this);
  DeviceList->setObjectName("DeviceList");
  ScanBn = new QPushButton("Scan", this);
  ScanBn->setObjectName("ScanBn");
  PageControl1 = new QTabWidget(this);
  PageControl1->setObjectName("PageControl1");

  auto* top = new QHBoxLayout;
  top->addWidget(DeviceList, 1);
  top->addWidget(ScanBn);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(8, 8, 8, 8);
  layout->addLayout(top);
  layout->addWidget(PageControl1, 1);

  TabSheet1 = buildSsdInfoPage();
  TabSheet2 = buildEraseCountPage();
  // The bad-block, S.M.A.R.T. and read/write pages.
  TabSheet3 = new QWidget;
  TabSheet4 = new QWidget;
  TabSheet5 = buildDeviceInfoPage();
  TabSheet6 = new QWidget;
  const std::pair<QWidget*, const char*> pages[] = {{TabSheet1, "SSD Info"},       {TabSheet2, "erase count"},
                                                    {TabSheet3, "bad block info"}, {TabSheet4, "S.M.A.R.T info"},
                                                    {TabSheet5, "Device Info"},    {TabSheet6, "Random read/write"}};
  int index = 0;
  for (const auto& [page, caption] : pages) {
    page->setObjectName(QString("TabSheet%1").arg(++index));
    PageControl1->addTab(page, caption);
  }

  connect(ScanBn, &QPushButton::clicked, this, &TMainForm::ScanBnClick);
  // Only a user's choice refills the pages, not the list's own selection.
  connect(DeviceList, &QComboBox::activated, this, &TMainForm::DeviceListChange);
  connect(SpecialTipShape, &TipShape::pressed, this, &TMainForm::SpecialTipShapeMouseDown);

  splash_ = new TSplashForm(this);
  FormCreate(IsBrandWord(oemBrand));
  if (const QScreen* screen = QGuiApplication::primaryScreen()) {
    move(screen->availableGeometry().center() - rect().center());
  }
}

TMainForm::~TMainForm() = default;

QLineEdit* TMainForm::addEdit(const char* name) {
  auto* edit = new QLineEdit;
  edit->setObjectName(name);
  edit->setReadOnly(true);
  edits_.push_back(edit);
  return edit;
}

QWidget* TMainForm::buildSsdInfoPage() {
  auto* page = new QWidget;
  auto* setting = new QGroupBox("Setting", page);
  auto* settingLayout = new QVBoxLayout(setting);
  const std::pair<QLineEdit**, const char*> settingEdits[] = {
      {&FlashmodelEdit, "FlashmodelEdit"}, {&ChannelEdit, "ChannelEdit"},       {&CapacityEdit, "CapacityEdit"},
      {&DriverEdit, "DriverEdit"},         {&ResPerEdit, "ResPerEdit"},         {&EccReadEdit, "EccReadEdit"},
      {&EccCopyEdit, "EccCopyEdit"},       {&WearLevelingEdit, "WearLevelingEdit"}, {&BankMapEdit, "BankMapEdit"},
      {&FwEdit, "FwEdit"},                 {&SupportEdit1, "SupportEdit1"},     {&SupportEdit2, "SupportEdit2"}};
  for (const auto& [member, name] : settingEdits) settingLayout->addWidget(*member = addEdit(name));
  SpecialTipShape = new TipShape(setting);
  SpecialTipShape->setObjectName("SpecialTipShape");
  settingLayout->addWidget(SpecialTipShape, 0, Qt::AlignLeft | Qt::AlignBottom);

  auto* flash = new QGroupBox("Flash", page);
  auto* flashLayout = new QVBoxLayout(flash);
  const std::pair<QLineEdit**, const char*> flashEdits[] = {{&FlashInfoEdit, "FlashInfoEdit"},
                                                            {&FlashTypeEdit, "FlashTypeEdit"},
                                                            {&BlockCeEdit, "BlockCeEdit"},
                                                            {&PageBlockEdit, "PageBlockEdit"},
                                                            {&CeEdit, "CeEdit"}};
  for (const auto& [member, name] : flashEdits) flashLayout->addWidget(*member = addEdit(name));
  SSDInfoMemo = NewMemo("SSDInfoMemo", flash);
  memos_.push_back(SSDInfoMemo);
  flashLayout->addWidget(SSDInfoMemo);

  auto* dump = new QGroupBox("Parameter block", page);
  auto* dumpLayout = new QVBoxLayout(dump);
  DpdFTLMemo = NewMemo("DpdFTLMemo", dump);
  memos_.push_back(DpdFTLMemo);
  dumpLayout->addWidget(DpdFTLMemo);

  auto* layout = new QGridLayout(page);
  layout->addWidget(setting, 0, 0, 2, 1);
  layout->addWidget(flash, 0, 1);
  layout->addWidget(dump, 1, 1);
  layout->setColumnStretch(0, 1);
  layout->setColumnStretch(1, 1);
  return page;
}

QWidget* TMainForm::buildEraseCountPage() {
  auto* page = new QWidget;
  auto* log = new QGroupBox("Log", page);
  auto* logLayout = new QVBoxLayout(log);
  EraseMemo = NewMemo("EraseMemo", log);
  memos_.push_back(EraseMemo);
  logLayout->addWidget(EraseMemo);

  auto* picture = new QGroupBox("schematic diagram", page);
  auto* pictureLayout = new QVBoxLayout(picture);
  DiagramImage = new QLabel(picture);
  DiagramImage->setObjectName("DiagramImage");
  DiagramImage->setPixmap(DiagramPicture());
  pictureLayout->addWidget(DiagramImage, 0, Qt::AlignHCenter);
  auto* unit = new QLabel("Block Unit = 2 Block", picture);
  unit->setObjectName("BlockUnitLabel");
  pictureLayout->addWidget(unit, 0, Qt::AlignHCenter);
  pictureLayout->addStretch(1);
  AeraseEdit = addEdit("AeraseEdit");
  MeraseEdit = addEdit("MeraseEdit");
  AeraseEdit->setParent(picture);
  MeraseEdit->setParent(picture);
  AeraseEdit->hide();
  MeraseEdit->hide();

  auto* layout = new QHBoxLayout(page);
  layout->addWidget(log, 5);
  layout->addWidget(picture, 2);
  return page;
}

QWidget* TMainForm::buildDeviceInfoPage() {
  auto* page = new QWidget;
  auto* sata = new QGroupBox("Tolvane Device Information(SATA) :", page);
  auto* sataLayout = new QVBoxLayout(sata);
  const std::pair<QLineEdit**, const char*> sataEdits[] = {
      {&ModelNameEdit, "ModelNameEdit"},       {&SNEdit, "SNEdit"},
      {&FwVersionEdit, "FwVersionEdit"},       {&DiskHeadEdit, "DiskHeadEdit"},
      {&ChsEdit, "ChsEdit"},                   {&TotalSectorEdit, "TotalSectorEdit"},
      {&MultiwordDMAmodeEdit, "MultiwordDMAmodeEdit"}, {&MultiwordDMAEdit, "MultiwordDMAEdit"},
      {&UltraDMAModeEdit, "UltraDMAModeEdit"}, {&UltraDMAEdit, "UltraDMAEdit"},
      {&SMARTfeatureEdit, "SMARTfeatureEdit"}, {&SecurityModeEdit, "SecurityModeEdit"},
      {&WWNEdit, "WWNEdit"}};
  for (const auto& [member, name] : sataEdits) sataLayout->addWidget(*member = addEdit(name));
  sataLayout->addStretch(1);

  auto* usb = new QGroupBox("Tolvane Device Information(USB) :", page);
  auto* usbLayout = new QGridLayout(usb);
  // Labelled edits: the caption stands above its edit.
  const std::tuple<QLineEdit**, const char*, const char*> usbEdits[] = {
      {&CapEdit, "CapEdit", "Capacity"},
      {&TotalLBAEdit, "TotalLBAEdit", "Total LBA"},
      {&VIDEdit, "VIDEdit", "VID"},
      {&PIDEdit, "PIDEdit", "PID"},
      {&VendorNameEdit, "VendorNameEdit", "Vendor name"},
      {&ProductNameEdit, "ProductNameEdit", "Product name"},
      {&ManufacturStringEdit, "ManufacturStringEdit", "Manufacturer string"},
      {&ProductStringEdit, "ProductStringEdit", "Product string"},
      {&SNUSBEdit, "SNUSBEdit", "Serial number string"}};
  int row = 0;
  for (const auto& [member, name, caption] : usbEdits) {
    *member = addEdit(name);
    auto* label = new QLabel(caption, usb);
    label->setBuddy(*member);
    usbLayout->addWidget(label, row, 0);
    usbLayout->addWidget(*member, row + 1, 0);
    row += 2;
  }
  usbLayout->setRowStretch(row, 1);

  auto* layout = new QHBoxLayout(page);
  layout->addWidget(sata, 3);
  layout->addWidget(usb, 2);
  return page;
}

void TMainForm::FormCreate(bool brandOnly) {
  if (!brandOnly) {
    PageControl1->setCurrentIndex(0);
    return;
  }
  for (int page = 0; page < PageControl1->count(); ++page) PageControl1->setTabVisible(page, page == kSmartPage);
  PageControl1->setCurrentIndex(kSmartPage);
}

void TMainForm::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  if (shownOnce_) return;
  shownOnce_ = true;
  // The first fill runs once the event loop runs, so that it can close the window.
  QTimer::singleShot(0, this, &TMainForm::FormShow);
}

void TMainForm::GetTolvaneDevice() {
  const std::vector<std::string> entries = blockprobe::GetTolvaneDevice();
  DeviceList->clear();
  for (const std::string& entry : entries) DeviceList->addItem(Latin1(entry));
}

void TMainForm::FormShow() {
  GetTolvaneDevice();
  if (DeviceList->count() == 0) return;
  DeviceList->setCurrentIndex(0);
  UpdateInfo();
}

void TMainForm::ScanBnClick() {
  RescanDevices();
  platform::prompt::showMessage(kScanFinishedMessage);
  FormShow();
}

void TMainForm::DeviceListChange() { UpdateInfo(); }

void TMainForm::clearFields() {
  for (QLineEdit* edit : edits_) edit->clear();
  for (QPlainTextEdit* memo : memos_) memo->clear();
}

void TMainForm::UpdateInfo() {
  const int slot = DeviceList->currentIndex();
  clearFields();
  if (slot < 0) return;
  pages_ = FillInfoPages(slot, FillSteps{.showWaiting = [this] { splash_->showWaiting(); },
                                         .closeWaiting = [this] { splash_->closeWaiting(); }});
  showPages(pages_);
}

void TMainForm::showPages(const InfoPages& pages) {
  const SsdInfoView& ssd = pages.ssd;
  const std::pair<QLineEdit*, const std::string*> ssdFields[] = {
      {FlashmodelEdit, &ssd.FlashmodelEdit}, {ChannelEdit, &ssd.ChannelEdit},     {CapacityEdit, &ssd.CapacityEdit},
      {DriverEdit, &ssd.DriverEdit},         {ResPerEdit, &ssd.ResPerEdit},       {EccReadEdit, &ssd.EccReadEdit},
      {EccCopyEdit, &ssd.EccCopyEdit},       {WearLevelingEdit, &ssd.WearLevelingEdit}, {BankMapEdit, &ssd.BankMapEdit},
      {FwEdit, &ssd.FwEdit},                 {SupportEdit1, &ssd.SupportEdit1},   {SupportEdit2, &ssd.SupportEdit2},
      {FlashInfoEdit, &ssd.FlashInfoEdit},   {FlashTypeEdit, &ssd.FlashTypeEdit}, {BlockCeEdit, &ssd.BlockCeEdit},
      {PageBlockEdit, &ssd.PageBlockEdit},   {CeEdit, &ssd.CeEdit}};
  for (const auto& [edit, text] : ssdFields) edit->setText(OnOneLine(*text));
  ShowLines(SSDInfoMemo, ssd.SSDInfoMemo);

  if (pages.usbGroup) {
    const UsbInfoView& usb = pages.usb;
    const std::pair<QLineEdit*, const std::string*> usbFields[] = {
        {CapEdit, &usb.CapEdit},           {TotalLBAEdit, &usb.TotalLBAEdit},
        {VIDEdit, &usb.VIDEdit},           {PIDEdit, &usb.PIDEdit},
        {VendorNameEdit, &usb.VendorNameEdit}, {ProductNameEdit, &usb.ProductNameEdit},
        {ManufacturStringEdit, &usb.ManufacturStringEdit}, {ProductStringEdit, &usb.ProductStringEdit},
        {SNUSBEdit, &usb.SNUSBEdit}};
    for (const auto& [edit, text] : usbFields) edit->setText(OnOneLine(*text));
  } else {
    const SataInfoView& sata = pages.sata;
    const std::pair<QLineEdit*, const std::string*> sataFields[] = {
        {ModelNameEdit, &sata.ModelNameEdit},
        {SNEdit, &sata.SNEdit},
        {FwVersionEdit, &sata.FwVersionEdit},
        {DiskHeadEdit, &sata.DiskHeadEdit},
        {ChsEdit, &sata.ChsEdit},
        {TotalSectorEdit, &sata.TotalSectorEdit},
        {MultiwordDMAmodeEdit, &sata.MultiwordDMAmodeEdit},
        {MultiwordDMAEdit, &sata.MultiwordDMAEdit},
        {UltraDMAModeEdit, &sata.UltraDMAModeEdit},
        {UltraDMAEdit, &sata.UltraDMAEdit},
        {SMARTfeatureEdit, &sata.SMARTfeatureEdit},
        {SecurityModeEdit, &sata.SecurityModeEdit},
        {WWNEdit, &sata.WWNEdit}};
    for (const auto& [edit, text] : sataFields) edit->setText(OnOneLine(*text));
  }

  ShowLines(EraseMemo, pages.eraseCount.EraseMemo);
  AeraseEdit->setText(OnOneLine(pages.eraseCount.AeraseEdit));
  MeraseEdit->setText(OnOneLine(pages.eraseCount.MeraseEdit));
  ShowLines(DpdFTLMemo, pages.paramBlockDump);
}

void TMainForm::SpecialTipShapeMouseDown(Qt::KeyboardModifiers modifiers) {
  if (!modifiers.testFlag(Qt::ControlModifier)) return;
  devlib::SetRawDumpFlag();
  platform::prompt::showMessage(kSpecialModeMessage);
}

}  // namespace blockprobe
