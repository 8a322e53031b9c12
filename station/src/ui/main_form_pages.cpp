// The main window's widgets, page by page, and what each control is bound
// to: the page state member it shows and the handler its signal runs.

#include <QFormLayout>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QVBoxLayout>
#include <map>
#include <string_view>

#include "key_filter.h"
#include "main_form.h"
#include "main_form_bindings.h"

namespace fleetburn::ui {
namespace {

template <class W, class... Args>
W* Make(QWidget* parent, const char* name, Args&&... args) {
  auto* widget = new W(std::forward<Args>(args)..., parent);
  widget->setObjectName(name);
  return widget;
}

QLineEdit* Edit(QWidget* parent, const char* name, int maxLength = 0, bool readOnly = false) {
  auto* edit = Make<QLineEdit>(parent, name);
  if (maxLength > 0) edit->setMaxLength(maxLength);
  edit->setReadOnly(readOnly);
  return edit;
}

QFormLayout* Form(QWidget* parent) {
  auto* form = new QFormLayout(parent);
  form->setLabelAlignment(Qt::AlignRight | Qt::AlignVCenter);
  form->setFieldGrowthPolicy(QFormLayout::AllNonFixedFieldsGrow);
  return form;
}

QGroupBox* Group(QWidget* parent, const char* name, const char* title) {
  auto* group = Make<QGroupBox>(parent, name, QString::fromLatin1(title));
  return group;
}

}  // namespace

void TMainForm::buildToolBar() {
  ToolBar1 = new QToolBar(this);
  ToolBar1->setObjectName("ToolBar1");
  ToolBar1->setMovable(false);
  ToolBar1->setFloatable(false);
  auto* buttons = new QWidget(ToolBar1);
  buttons->setObjectName("ToolBar1Buttons");
  auto* row = new QHBoxLayout(buttons);
  row->setContentsMargins(2, 2, 2, 2);
  row->setSpacing(2);
  const auto button = [&](const char* name, const char* text, const char* hint) {
    auto* tool = Make<QToolButton>(buttons, name);
    tool->setText(QString::fromLatin1(text));
    tool->setToolTip(QString::fromLatin1(hint));
    tool->setFixedSize(30, 30);
    QFont small = tool->font();
    small.setPixelSize(10);
    tool->setFont(small);
    row->addWidget(tool);
    return tool;
  };
  PinSBtn = button("PinSBtn", "Pin", "Pin the port board layout");
  PinSBtn->setCheckable(true);
  PinSBtn->setChecked(true);
  SpeedButton2 = button("SpeedButton2", "Grid", "Reset Layout");
  SpeedButton8 = button("SpeedButton8", "Lock", "Lock or unlock the settings");
  SpeedButton8->setCheckable(true);
  ResetPlugInCounter = button("ResetPlugInCounter", "0", "Reset the plug-in counter");
  ResetPlugInCounter->hide();
  SpeedButton9 = button("SpeedButton9", "Abort", "Abort the run");
  SpeedButton9->hide();
  SpeedButton6 = button("SpeedButton6", "", "");
  SpeedButton6->hide();
  for (int spare = 1; spare <= 5; ++spare) {
    const QByteArray name = "SpareSpeedButton" + QByteArray::number(spare);
    button(name.constData(), "", "")->hide();
  }
  row->addStretch(1);
  ToolBar1->addWidget(buttons);
  addToolBar(Qt::TopToolBarArea, ToolBar1);
}

QWidget* TMainForm::buildTestItemsPage() {
  auto* page = new QWidget;
  auto* row = new QHBoxLayout(page);
  row->setContentsMargins(6, 6, 6, 6);

  FunCheckListBox = Make<QListWidget>(page, "FunCheckListBox");
  FunCheckListBox->setFixedWidth(200);
  row->addWidget(FunCheckListBox);

  PageControl2 = Make<QTabWidget>(page, "PageControl2");
  buildSubPages();
  row->addWidget(PageControl2, 1);

  auto* side = new QWidget(page);
  side->setFixedWidth(250);
  auto* column = new QVBoxLayout(side);
  column->setContentsMargins(0, 0, 0, 0);
  auto* connect = Group(side, "ConnectGroupBox", "Connect Check");
  auto* connectForm = Form(connect);
  ConnectionChkCmbox = Make<QComboBox>(connect, "ConnectionChkCmbox");
  connectForm->addRow("Drives", ConnectionChkCmbox);
  column->addWidget(connect);
  auto* file = Group(side, "SettingFileGroupBox", "Setting File");
  auto* fileGrid = new QGridLayout(file);
  INIFileEdit = Edit(file, "INIFileEdit", 0, true);
  INILoadBtn = Make<QPushButton>(file, "INILoadBtn", QStringLiteral("Load INI"));
  INISaveBtn = Make<QPushButton>(file, "INISaveBtn", QStringLiteral("Save INI"));
  fileGrid->addWidget(INIFileEdit, 0, 0, 1, 2);
  fileGrid->addWidget(INILoadBtn, 1, 0);
  fileGrid->addWidget(INISaveBtn, 1, 1);
  column->addWidget(file);
  UpdateFirmwareChk = Make<QCheckBox>(side, "UpdateFirmwareChk", QStringLiteral("Keep previous S/N, Model"));
  column->addWidget(UpdateFirmwareChk);
  column->addStretch(1);
  row->addWidget(side);

  Bindings& b = *bindings_;
  b.combos.push_back({ConnectionChkCmbox, &SettingsPageState::ConnectionChkCmbox});
  b.visible.push_back({UpdateFirmwareChk, &SettingsPageState::UpdateFirmwareChkVisible});
  b.enabled.push_back({INISaveBtn, &SettingsPageState::INISaveBtnEnabled});
  return page;
}

void TMainForm::buildSubPages() {
  Bindings& b = *bindings_;
  std::map<std::string_view, QWidget*> pages;
  for (const std::string_view caption : kSubPageCaptions) {
    auto* page = new QWidget;
    page->setObjectName(QString::fromLatin1(caption.data(), static_cast<qsizetype>(caption.size())));
    PageControl2->addTab(page, page->objectName());
    pages[caption] = page;
  }
  const auto numeric = [&](QWidget* page, const char* label, QLineEdit*& edit, const char* name,
                           std::string SettingsPageState::*member) {
    auto* form = qobject_cast<QFormLayout*>(page->layout());
    if (form == nullptr) form = Form(page);
    edit = Edit(page, name);
    edit->setMaximumWidth(160);
    form->addRow(QString::fromLatin1(label), edit);
    b.texts.push_back({edit, member});
  };

  {  // OP_Download
    QWidget* page = pages["OP_Download"];
    auto* grid = new QGridLayout(page);
    SataBinChk = Make<QCheckBox>(page, "SataBinChk", QStringLiteral("SATA F/W"));
    UsbBinChk = Make<QCheckBox>(page, "UsbBinChk", QStringLiteral("USB F/W"));
    grid->addWidget(SataBinChk, 0, 0);
    grid->addWidget(UsbBinChk, 0, 1);
    SATAGroupBox = Group(page, "SATAGroupBox", "SATA firmware file");
    SataBinLabel = Make<QLabel>(SATAGroupBox, "SataBinLabel");
    (new QVBoxLayout(SATAGroupBox))->addWidget(SataBinLabel);
    USBGroupBox = Group(page, "USBGroupBox", "USB firmware file");
    UsbBinLabel = Make<QLabel>(USBGroupBox, "UsbBinLabel");
    (new QVBoxLayout(USBGroupBox))->addWidget(UsbBinLabel);
    grid->addWidget(SATAGroupBox, 1, 0);
    grid->addWidget(USBGroupBox, 1, 1);
    CommonGroupBox = Group(page, "CommonGroupBox", "Serial Number");
    auto* common = new QGridLayout(CommonGroupBox);
    SNMinLengthSpin = Make<QSpinBox>(CommonGroupBox, "SNMinLengthSpin");
    SNDecimal = Make<QRadioButton>(CommonGroupBox, "SNDecimal", QStringLiteral("Decimal"));
    SNHexadecimal = Make<QRadioButton>(CommonGroupBox, "SNHexadecimal", QStringLiteral("Hexadecimal"));
    common->addWidget(new QLabel("Minimum length", CommonGroupBox), 0, 0);
    common->addWidget(SNMinLengthSpin, 0, 1);
    common->addWidget(SNDecimal, 1, 0);
    common->addWidget(SNHexadecimal, 1, 1);
    grid->addWidget(CommonGroupBox, 2, 0, 1, 2);
    grid->setRowStretch(3, 1);
    b.checks.push_back({SataBinChk, &SettingsPageState::SataBinChk});
    b.checks.push_back({UsbBinChk, &SettingsPageState::UsbBinChk});
    b.checks.push_back({SNDecimal, &SettingsPageState::SNDecimal});
    b.inverseRadios.push_back({SNHexadecimal, &SettingsPageState::SNDecimal});
    b.visible.push_back({UsbBinChk, &SettingsPageState::UsbBinChkVisible});
    b.visible.push_back({SATAGroupBox, &SettingsPageState::SATAGroupBoxVisible});
    b.visible.push_back({USBGroupBox, &SettingsPageState::USBGroupBoxVisible});
    b.visible.push_back({CommonGroupBox, &SettingsPageState::CommonGroupBoxVisible});
  }
  {  // OP_Format
    QWidget* page = pages["OP_Format"];
    auto* column = new QVBoxLayout(page);
    FormatGroupBox = Group(page, "FormatGroupBox", "Disk Format");
    auto* form = Form(FormatGroupBox);
    FmtTypeComboBox = Make<QComboBox>(FormatGroupBox, "FmtTypeComboBox");
    VolumeLabeledEdit = Edit(FormatGroupBox, "VolumeLabeledEdit", 39);
    form->addRow("File system", FmtTypeComboBox);
    form->addRow("Volume label", VolumeLabeledEdit);
    column->addWidget(FormatGroupBox);
    column->addStretch(1);
    b.combos.push_back({FmtTypeComboBox, &SettingsPageState::FmtTypeComboBox});
    b.texts.push_back({VolumeLabeledEdit, &SettingsPageState::VolumeLabeledEdit});
    b.visible.push_back({FormatGroupBox, &SettingsPageState::FormatGroupBoxVisible});
  }
  {  // OP_CopyImage
    QWidget* page = pages["OP_CopyImage"];
    auto* form = Form(page);
    CopyImageCheckBox = Make<QCheckBox>(page, "CopyImageCheckBox", QStringLiteral("Copy Image"));
    ImagePathEdit = Edit(page, "ImagePathEdit", 259);
    GenImageBn = Make<QPushButton>(page, "GenImageBn", QStringLiteral("GenImage"));
    form->addRow(CopyImageCheckBox);
    form->addRow("Image file", ImagePathEdit);
    form->addRow(GenImageBn);
    b.checks.push_back({CopyImageCheckBox, &SettingsPageState::CopyImageCheckBox});
    b.texts.push_back({ImagePathEdit, &SettingsPageState::ImagePathEdit});
    b.visible.push_back({GenImageBn, &SettingsPageState::GenImageBnVisible});
  }
  {  // OP_PFormat
    QWidget* page = pages["OP_PFormat"];
    auto* column = new QVBoxLayout(page);
    auto* bad = Group(page, "BadBlockGroupBox", "Bad Blocks");
    auto* radios = new QVBoxLayout(bad);
    LaterChk = Make<QRadioButton>(bad, "LaterChk", QStringLiteral("Factory + New BB"));
    EarlyChk = Make<QRadioButton>(bad, "EarlyChk", QStringLiteral("Factory Default BB"));
    EraseChk = Make<QRadioButton>(bad, "EraseChk", QStringLiteral("Erase Search"));
    radios->addWidget(LaterChk);
    radios->addWidget(EarlyChk);
    radios->addWidget(EraseChk);
    column->addWidget(bad);
    KeepPreviousEraseCountChk =
        Make<QCheckBox>(page, "KeepPreviousEraseCountChk", QStringLiteral("Keep previous erase counts"));
    SkipEraseGoodChkBox = Make<QCheckBox>(page, "SkipEraseGoodChkBox", QStringLiteral("Skip erasing good blocks"));
    column->addWidget(KeepPreviousEraseCountChk);
    column->addWidget(SkipEraseGoodChkBox);
    column->addStretch(1);
    b.checks.push_back({LaterChk, &SettingsPageState::LaterChk});
    b.checks.push_back({EarlyChk, &SettingsPageState::EarlyChk});
    b.checks.push_back({EraseChk, &SettingsPageState::EraseChk});
    b.checks.push_back({KeepPreviousEraseCountChk, &SettingsPageState::KeepPreviousEraseCountChk});
    b.checks.push_back({SkipEraseGoodChkBox, &SettingsPageState::SkipEraseGoodChkBox});
    b.visible.push_back({SkipEraseGoodChkBox, &SettingsPageState::SkipEraseGoodChkBoxVisible});
  }
  {  // OP_FlashModule
    QWidget* page = pages["OP_FlashModule"];
    auto* column = new QVBoxLayout(page);
    auto* ids = Group(page, "CheckIDGroupBox", "Flash ID bytes to compare");
    auto* grid = new QGridLayout(ids);
    const char* texts[] = {"Maker ID", "Device ID", "3rd ID", "4th ID", "5th ID"};
    for (int k = 0; k < 5; ++k) {
      const QByteArray name = "CheckID" + QByteArray::number(k + 1);
      CheckID[static_cast<std::size_t>(k)] = Make<QCheckBox>(ids, name.constData(), QString::fromLatin1(texts[k]));
      grid->addWidget(CheckID[static_cast<std::size_t>(k)], k / 3, k % 3);
    }
    column->addWidget(ids);
    column->addStretch(1);
  }
  numeric(pages["OP_CheckIDEMACapacity"], "IDEMA capacity (GB)", IDEMA_Capacity, "IDEMA_Capacity",
          &SettingsPageState::IDEMA_Capacity);
  numeric(pages["OP_RWTestPercentage"], "Percentage", RWTestPercentageValue, "RWTestPercentageValue",
          &SettingsPageState::RWTestPercentageValue);
  numeric(pages["OP_RWTestPercentage"], "Cycles", RWTestPercentageCycle, "RWTestPercentageCycle",
          &SettingsPageState::RWTestPercentageCycle);
  numeric(pages["OP_CheckTemperature"], "Max temperature", CheckMaxTemperatureValue, "CheckMaxTemperatureValue",
          &SettingsPageState::CheckMaxTemperatureValue);
  numeric(pages["OP_CheckLBACapacity"], "LBA capacity (GB)", LBA_Capacity, "LBA_Capacity",
          &SettingsPageState::LBA_Capacity);
  {  // OP_CheckSN
    QWidget* page = pages["OP_CheckSN"];
    auto* form = Form(page);
    auto* source = new QWidget(page);
    auto* radios = new QHBoxLayout(source);
    radios->setContentsMargins(0, 0, 0, 0);
    SnCheckPatternRB = Make<QRadioButton>(source, "SnCheckPatternRB", QStringLiteral("Pattern"));
    SnCheckBarcodeRB = Make<QRadioButton>(source, "SnCheckBarcodeRB", QStringLiteral("Barcode"));
    radios->addWidget(SnCheckPatternRB);
    radios->addWidget(SnCheckBarcodeRB);
    radios->addStretch(1);
    SnCheckValueLd = Edit(page, "SnCheckValueLd", edit_limits::SnCheckValueLd);
    SnCheckMaskLd = Edit(page, "SnCheckMaskLd", edit_limits::SnCheckMaskLd);
    form->addRow("Check against", source);
    form->addRow("Value", SnCheckValueLd);
    form->addRow("Mask", SnCheckMaskLd);
    b.checks.push_back({SnCheckPatternRB, &SettingsPageState::SnCheckPatternRB});
    b.inverseRadios.push_back({SnCheckBarcodeRB, &SettingsPageState::SnCheckPatternRB});
    b.texts.push_back({SnCheckValueLd, &SettingsPageState::SnCheckValueLd});
    b.texts.push_back({SnCheckMaskLd, &SettingsPageState::SnCheckMaskLd});
  }
  numeric(pages["OP_QCCheckTemperature"], "Max temperature", QCCheckMaxTemperatureValue, "QCCheckMaxTemperatureValue",
          &SettingsPageState::QCCheckMaxTemperatureValue);
  numeric(pages["OP_WTestFull"], "Cycles", WTestFullCycle, "WTestFullCycle", &SettingsPageState::WTestFullCycle);
  numeric(pages["OP_RWTestFull"], "Cycles", RWTestFullCycle, "RWTestFullCycle", &SettingsPageState::RWTestFullCycle);
  numeric(pages["OP_SetMaxLBA"], "Max LBA", MaxLBAValue, "MaxLBAValue", &SettingsPageState::MaxLBAValue);
}

QWidget* TMainForm::buildFlashPage() {
  auto* page = new QWidget;
  auto* row = new QHBoxLayout(page);
  row->setContentsMargins(6, 6, 6, 6);
  auto* part = Group(page, "FlashPartGroupBox", "Flash");
  auto* form = Form(part);
  FlashVendorCmbx = Make<QComboBox>(part, "FlashVendorCmbx");
  FlashCodeCmBx = Make<QComboBox>(part, "FlashCodeCmBx");
  FlashCodeCmBx->setMinimumWidth(300);
  FlashChanCmBx = Make<QComboBox>(part, "FlashChanCmBx");
  FlashBankCmBx = Make<QComboBox>(part, "FlashBankCmBx");
  DrvCurrentCmBx = Make<QComboBox>(part, "DrvCurrentCmBx");
  CapacityCmBx = Make<QComboBox>(part, "CapacityCmBx");
  CapacityCmBx->hide();
  form->addRow("Vendor", FlashVendorCmbx);
  form->addRow("Flash type", FlashCodeCmBx);
  form->addRow("Channel", FlashChanCmBx);
  form->addRow("Bank", FlashBankCmBx);
  form->addRow("Drive current", DrvCurrentCmBx);
  row->addWidget(part, 3);

  auto* detail = Group(page, "FlashDetailGroupBox", "Flash Detail");
  auto* column = new QVBoxLayout(detail);
  FlashDetailMemo = Make<QPlainTextEdit>(detail, "FlashDetailMemo");
  FlashDetailMemo->setReadOnly(true);
  FlashDetailMemo->setLineWrapMode(QPlainTextEdit::NoWrap);
  column->addWidget(FlashDetailMemo);
  auto* capacity = new QFormLayout;
  CapacityEdit = Edit(detail, "CapacityEdit", 0, true);
  CapacityEdit2 = Edit(detail, "CapacityEdit2", 0, true);
  capacity->addRow("(1K=1000)", CapacityEdit);
  capacity->addRow("(1K=1024)", CapacityEdit2);
  column->addWidget(new QLabel("Capacity (GB)", detail));
  column->addLayout(capacity);
  row->addWidget(detail, 2);

  Bindings& b = *bindings_;
  b.combos.push_back({FlashVendorCmbx, &SettingsPageState::FlashVendorCmbx});
  b.combos.push_back({FlashCodeCmBx, &SettingsPageState::FlashCodeCmBx});
  b.combos.push_back({FlashChanCmBx, &SettingsPageState::FlashChanCmBx});
  b.combos.push_back({FlashBankCmBx, &SettingsPageState::FlashBankCmBx});
  b.combos.push_back({DrvCurrentCmBx, &SettingsPageState::DrvCurrentCmBx});
  b.combos.push_back({CapacityCmBx, &SettingsPageState::CapacityCmBx});
  b.texts.push_back({CapacityEdit, &SettingsPageState::CapacityEdit});
  b.texts.push_back({CapacityEdit2, &SettingsPageState::CapacityEdit2});
  return page;
}

QWidget* TMainForm::buildDramPage() {
  auto* page = new QWidget;
  auto* form = Form(page);
  DramVendorCmbx = Make<QComboBox>(page, "DramVendorCmbx");
  DramCodeCmBx = Make<QComboBox>(page, "DramCodeCmBx");
  form->addRow("Vendor", DramVendorCmbx);
  form->addRow("Type ", DramCodeCmBx);
  return page;
}

QWidget* TMainForm::buildDevicePage() {
  auto* page = new QWidget;
  auto* row = new QHBoxLayout(page);
  row->setContentsMargins(6, 6, 6, 6);
  Bindings& b = *bindings_;
  const auto text = [&](QFormLayout* form, QWidget* parent, const char* label, QLineEdit*& edit, const char* name,
                        int maxLength, std::string SettingsPageState::*member) {
    edit = Edit(parent, name, maxLength);
    form->addRow(QString::fromLatin1(label), edit);
    b.texts.push_back({edit, member});
  };

  auto* usb = Group(page, "UsbIdentityGroupBox", "USB Identity");
  auto* usbForm = Form(usb);
  text(usbForm, usb, "VID", VendorIDEdit, "VendorIDEdit", edit_limits::VendorIDEdit, &SettingsPageState::VendorIDEdit);
  text(usbForm, usb, "PID", ProductIDEdit, "ProductIDEdit", edit_limits::ProductIDEdit,
       &SettingsPageState::ProductIDEdit);
  text(usbForm, usb, "Vendor Name", VendorNameEdit, "VendorNameEdit", edit_limits::VendorNameEdit,
       &SettingsPageState::VendorNameEdit);
  text(usbForm, usb, "Product Name", ProductNameEdit, "ProductNameEdit", edit_limits::ProductNameEdit,
       &SettingsPageState::ProductNameEdit);
  text(usbForm, usb, "Manufacturer String", ManufStrEdit, "ManufStrEdit", edit_limits::ManufStrEdit,
       &SettingsPageState::ManufStrEdit);
  text(usbForm, usb, "Product String", ProdStrEdit, "ProdStrEdit", edit_limits::ProdStrEdit,
       &SettingsPageState::ProdStrEdit);
  row->addWidget(usb, 1);

  auto* drive = Group(page, "DriveIdentityGroupBox", "Drive Identity");
  auto* driveForm = Form(drive);
  text(driveForm, drive, "Firmware Version", FirmwareVerEdit, "FirmwareVerEdit", edit_limits::FirmwareVerEdit,
       &SettingsPageState::FirmwareVerEdit);
  text(driveForm, drive, "Model Number", ModelNumEdit, "ModelNumEdit", edit_limits::ModelNumEdit,
       &SettingsPageState::ModelNumEdit);
  SerialNumEditLabel = Make<QLabel>(drive, "SerialNumEditLabel");
  SerialNumEdit = Edit(drive, "SerialNumEdit", edit_limits::SerialNumEdit);
  driveForm->addRow(SerialNumEditLabel, SerialNumEdit);
  b.texts.push_back({SerialNumEdit, &SettingsPageState::SerialNumEdit});
  SNIncChk = Make<QCheckBox>(drive, "SNIncChk", QStringLiteral("Auto Increase"));
  driveForm->addRow("", SNIncChk);
  b.checks.push_back({SNIncChk, &SettingsPageState::SNIncChk});

  GroupBox7 = Group(drive, "GroupBox7", "Encryption");
  auto* encryption = new QHBoxLayout(GroupBox7);
  LeEncryption = Edit(GroupBox7, "LeEncryption", edit_limits::LeEncryption);
  BnKeyFile = Make<QPushButton>(GroupBox7, "BnKeyFile", QStringLiteral("KeyFiles"));
  encryption->addWidget(new QLabel("Encryption String(24)", GroupBox7));
  encryption->addWidget(LeEncryption, 1);
  encryption->addWidget(BnKeyFile);
  driveForm->addRow(GroupBox7);
  b.texts.push_back({LeEncryption, &SettingsPageState::LeEncryption});
  b.visible.push_back({GroupBox7, &SettingsPageState::EncryptionVisible});
  row->addWidget(drive, 1);
  return page;
}

QWidget* TMainForm::buildFirmwarePage() {
  auto* page = new QWidget;
  auto* row = new QHBoxLayout(page);
  row->setContentsMargins(6, 6, 6, 6);
  Bindings& b = *bindings_;

  auto* ratioGroup = Group(page, "RatioPanel", "Block Ratios and Thresholds");
  RatioPanel = ratioGroup;
  auto* grid = new QGridLayout(ratioGroup);
  struct Field {
    const char* label;
    QLineEdit*& edit;
    const char* name;
    std::string SettingsPageState::*member;
  };
  const Field fields[] = {
      {"Defect block ratio ", DefBlkRatioEdit, "DefBlkRatioEdit", &SettingsPageState::DefBlkRatioEdit},
      {"Reserved block ratio ", ResBlkRatioEdit, "ResBlkRatioEdit", &SettingsPageState::ResBlkRatioEdit},
      {"Wear level frequency ", WearLevFreqEdit, "WearLevFreqEdit", &SettingsPageState::WearLevFreqEdit},
      {"BCH16 read error threshold", Bch16RdErrThldEdit, "Bch16RdErrThldEdit", &SettingsPageState::Bch16RdErrThldEdit},
      {"BCH24 read error threshold", Bch24RdErrThldEdit, "Bch24RdErrThldEdit", &SettingsPageState::Bch24RdErrThldEdit},
      {"BCH16 ECC copy threshold", Bch16EccErrCpyThldEdit, "Bch16EccErrCpyThldEdit",
       &SettingsPageState::Bch16EccErrCpyThldEdit},
      {"BCH24 ECC copy threshold", Bch24EccErrCpyThldEdit, "Bch24EccErrCpyThldEdit",
       &SettingsPageState::Bch24EccErrCpyThldEdit},
  };
  int line = 0;
  for (const Field& field : fields) {
    field.edit = Edit(ratioGroup, field.name);
    field.edit->setMaximumWidth(90);
    grid->addWidget(new QLabel(QString::fromLatin1(field.label), ratioGroup), line % 4, (line / 4) * 2);
    grid->addWidget(field.edit, line % 4, (line / 4) * 2 + 1);
    b.texts.push_back({field.edit, field.member});
    ++line;
  }
  grid->setRowStretch(4, 1);
  row->addWidget(ratioGroup, 3);

  auto* right = new QWidget(page);
  auto* column = new QVBoxLayout(right);
  column->setContentsMargins(0, 0, 0, 0);
  auto* idema = Group(right, "IDEMAGroupBox", "Reserved Ratio from IDEMA Capacity");
  auto* idemaGrid = new QGridLayout(idema);
  IDEMAEdit = Edit(idema, "IDEMAEdit");
  IDEMARatio = Edit(idema, "IDEMARatio", 0, true);
  CalcIDEMAToRatioBn = Make<QPushButton>(idema, "CalcIDEMAToRatioBn", QStringLiteral("Set"));
  RestoreReservedRatio = Make<QPushButton>(idema, "RestoreReservedRatio", QStringLiteral("Restore default value"));
  idemaGrid->addWidget(new QLabel("IDEMA capacity (GB)", idema), 0, 0);
  idemaGrid->addWidget(IDEMAEdit, 0, 1);
  idemaGrid->addWidget(CalcIDEMAToRatioBn, 0, 2);
  idemaGrid->addWidget(new QLabel("Reserved ratio (per mille)", idema), 1, 0);
  idemaGrid->addWidget(IDEMARatio, 1, 1);
  idemaGrid->addWidget(RestoreReservedRatio, 2, 0, 1, 3);
  column->addWidget(idema);
  ThermalSensorCB = Make<QCheckBox>(right, "ThermalSensorCB", QStringLiteral("Thermal Sensor"));
  column->addWidget(ThermalSensorCB);

  // The feature panel and the security-erase panel stay hidden; the
  // special mode only enables them.
  FeaturePanel = Make<QWidget>(right, "FeaturePanel");
  auto* features = new QGridLayout(FeaturePanel);
  struct Box {
    QCheckBox*& box;
    const char* name;
    const char* text;
    bool SettingsPageState::*member;
  };
  const Box boxes[] = {{SMARTChk, "SMARTChk", "SMART", &SettingsPageState::SMARTChk},
                       {SecurityChk, "SecurityChk", "Security", &SettingsPageState::SecurityChk},
                       {SlumberChk, "SlumberChk", "Slumber", &SettingsPageState::SlumberChk},
                       {InterleaveChk, "InterleaveChk", "Interleave", &SettingsPageState::InterleaveChk},
                       {ScrambleChk, "ScrambleChk", "Scramble", &SettingsPageState::ScrambleChk},
                       {RemapChk, "RemapChk", "Remap", &SettingsPageState::RemapChk},
                       {ParalMemChk, "ParalMemChk", "Parallel Memory", &SettingsPageState::ParalMemChk}};
  int k = 0;
  for (const Box& box : boxes) {
    box.box = Make<QCheckBox>(FeaturePanel, box.name, QString::fromLatin1(box.text));
    features->addWidget(box.box, k / 4, k % 4);
    b.checks.push_back({box.box, box.member});
    ++k;
  }
  FeaturePanel->hide();
  SecurityErasePanel = Make<QWidget>(right, "SecurityErasePanel");
  SecurityEraseChk = Make<QCheckBox>(SecurityErasePanel, "SecurityEraseChk", QStringLiteral("Security Erase"));
  (new QHBoxLayout(SecurityErasePanel))->addWidget(SecurityEraseChk);
  SecurityErasePanel->hide();
  column->addWidget(FeaturePanel);
  column->addWidget(SecurityErasePanel);
  column->addStretch(1);
  row->addWidget(right, 2);

  b.checks.push_back({ThermalSensorCB, &SettingsPageState::ThermalSensorCB});
  b.checks.push_back({SecurityEraseChk, &SettingsPageState::SecurityEraseChk});
  b.texts.push_back({IDEMAEdit, &SettingsPageState::IDEMAEdit});
  b.texts.push_back({IDEMARatio, &SettingsPageState::IDEMARatio});
  b.enabled.push_back({RatioPanel, &SettingsPageState::firmwarePanelsEnabled});
  b.enabled.push_back({FeaturePanel, &SettingsPageState::firmwarePanelsEnabled});
  b.enabled.push_back({SecurityErasePanel, &SettingsPageState::firmwarePanelsEnabled});
  return page;
}

QWidget* TMainForm::buildIdentifyPage() {
  auto* page = new QWidget;
  auto* row = new QHBoxLayout(page);
  row->setContentsMargins(6, 6, 6, 6);
  Bindings& b = *bindings_;
  auto* uid = Group(page, "UidGroupBox", "World Wide Name / Unique ID");
  auto* form = Form(uid);
  OUILEdit = Edit(uid, "OUILEdit", edit_limits::OUILEdit);
  UIDLEdit = Edit(uid, "UIDLEdit", edit_limits::UIDLEdit);
  UIDIncChk = Make<QCheckBox>(uid, "UIDIncChk", QStringLiteral("Auto Increase"));
  auto* radix = new QWidget(uid);
  auto* radios = new QHBoxLayout(radix);
  radios->setContentsMargins(0, 0, 0, 0);
  UIDDecimal = Make<QRadioButton>(radix, "UIDDecimal", QStringLiteral("Decimal"));
  UIDHexadecimal = Make<QRadioButton>(radix, "UIDHexadecimal", QStringLiteral("Hexadecimal"));
  radios->addWidget(UIDDecimal);
  radios->addWidget(UIDHexadecimal);
  radios->addStretch(1);
  form->addRow("OUI", OUILEdit);
  form->addRow("UID", UIDLEdit);
  form->addRow("", UIDIncChk);
  form->addRow("Counting", radix);
  uid->setFixedWidth(420);
  row->addWidget(uid, 0, Qt::AlignTop | Qt::AlignLeft);

  IdentifyListView = Make<QTreeWidget>(page, "IdentifyListView");
  IdentifyListView->setColumnCount(2);
  IdentifyListView->setHeaderLabels({"Identify text", "Entry"});
  IdentifyListView->setRootIsDecorated(false);
  IdentifyListView->header()->setSectionResizeMode(0, QHeaderView::Stretch);
  row->addWidget(IdentifyListView, 1);

  b.texts.push_back({OUILEdit, &SettingsPageState::OUILEdit});
  b.texts.push_back({UIDLEdit, &SettingsPageState::UIDLEdit});
  b.checks.push_back({UIDIncChk, &SettingsPageState::UIDIncChk});
  b.checks.push_back({UIDDecimal, &SettingsPageState::UIDDecimal});
  b.inverseRadios.push_back({UIDHexadecimal, &SettingsPageState::UIDDecimal});
  b.visible.push_back({IdentifyListView, &SettingsPageState::IdentifyListViewVisible});
  return page;
}

QWidget* TMainForm::buildRdPage() {
  auto* page = new QWidget;
  auto* grid = new QGridLayout(page);
  grid->setContentsMargins(8, 8, 8, 8);
  Bindings& b = *bindings_;
  struct Line {
    QCheckBox*& box;
    const char* boxName;
    const char* boxText;
    bool SettingsPageState::*boxMember;
    QLineEdit*& edit;
    const char* editName;
    std::string SettingsPageState::*editMember;
    QPushButton*& button;
    const char* buttonName;
    const char* buttonText;
  };
  const Line lines[] = {
      {GetDefTabChk, "GetDefTabChk", "Get Def. Table", &SettingsPageState::GetDefTabChk, TableInEdit, "TableInEdit",
       &SettingsPageState::TableInEdit, GetDefTabBtn, "GetDefTabBtn", "Save To"},
      {PutDefTabChk, "PutDefTabChk", "Put Def. Table", &SettingsPageState::PutDefTabChk, TableOutEdit, "TableOutEdit",
       &SettingsPageState::TableOutEdit, PutDefTabBtn, "PutDefTabBtn", "Put From"},
      {GetLaterTabChk, "GetLaterTabChk", "Get Later Table", &SettingsPageState::GetLaterTabChk, LaterTableInEdit,
       "LaterTableInEdit", &SettingsPageState::LaterTableInEdit, GetLaterTabBtn, "GetLaterTabBtn", "Save To"},
      {PutLaterTabChk, "PutLaterTabChk", "Put Later Table", &SettingsPageState::PutLaterTabChk, LaterTableOutEdit,
       "LaterTableOutEdit", &SettingsPageState::LaterTableOutEdit, PutLaterTabBtn, "PutLaterTabBtn", "Put From"},
  };
  int row = 0;
  for (const Line& line : lines) {
    line.box = Make<QCheckBox>(page, line.boxName, QString::fromLatin1(line.boxText));
    line.edit = Edit(page, line.editName, 259);
    line.button = Make<QPushButton>(page, line.buttonName, QString::fromLatin1(line.buttonText));
    grid->addWidget(line.box, row, 0);
    grid->addWidget(line.edit, row, 1);
    grid->addWidget(line.button, row, 2);
    b.checks.push_back({line.box, line.boxMember});
    b.texts.push_back({line.edit, line.editMember});
    ++row;
  }
  ClaimNewChk = Make<QCheckBox>(page, "ClaimNewChk", QStringLiteral("Claim New"));
  RebuildCloseChk = Make<QCheckBox>(page, "RebuildCloseChk", QStringLiteral("Close AP after Rebuild "));
  grid->addWidget(ClaimNewChk, row, 0);
  grid->addWidget(RebuildCloseChk, row, 1);
  grid->setRowStretch(row + 1, 1);
  grid->setColumnStretch(1, 1);
  b.checks.push_back({ClaimNewChk, &SettingsPageState::ClaimNewChk});
  b.checks.push_back({RebuildCloseChk, &SettingsPageState::RebuildCloseChk});
  b.enabled.push_back({RebuildCloseChk, &SettingsPageState::RebuildCloseChkEnabled});
  return page;
}

QWidget* TMainForm::buildBottomPanel() {
  BottomPanel = new QWidget;
  BottomPanel->setObjectName("BottomPanel");
  auto* row = new QHBoxLayout(BottomPanel);
  row->setContentsMargins(2, 4, 2, 4);
  RefreshBtn = Make<QPushButton>(BottomPanel, "RefreshBtn", QStringLiteral("Refresh"));
  ExecuteBtn = Make<QPushButton>(BottomPanel, "ExecuteBtn", QStringLiteral("START"));
  CloseBtn = Make<QPushButton>(BottomPanel, "CloseBtn", QStringLiteral("Close"));
  QFont strong = ExecuteBtn->font();
  strong.setBold(true);
  ExecuteBtn->setFont(strong);
  for (QPushButton* button : {RefreshBtn, ExecuteBtn, CloseBtn}) {
    button->setMinimumSize(96, 32);
    row->addWidget(button);
  }
  WaitPanel = Make<QFrame>(BottomPanel, "WaitPanel");
  WaitPanel->setFrameShape(QFrame::Panel);
  PaintBox1 = new WaitPaintBox(WaitPanel);
  auto* waitRow = new QHBoxLayout(WaitPanel);
  waitRow->setContentsMargins(2, 2, 2, 2);
  waitRow->addWidget(PaintBox1);
  WaitPanel->hide();
  row->addWidget(WaitPanel);
  row->addSpacing(16);
  YieldEdit = Edit(BottomPanel, "YieldEdit", 0, true);
  YieldEdit->setFixedWidth(110);
  ResetYieldBtn = Make<QPushButton>(BottomPanel, "ResetYieldBtn", QStringLiteral("Reset"));
  ElapsedTime = Edit(BottomPanel, "ElapsedTime", 0, true);
  ElapsedTime->setFixedWidth(110);
  row->addWidget(new QLabel("Pass/Total", BottomPanel));
  row->addWidget(YieldEdit);
  row->addWidget(ResetYieldBtn);
  row->addSpacing(16);
  row->addWidget(new QLabel("ElapsedTime", BottomPanel));
  row->addWidget(ElapsedTime);
  row->addStretch(1);
  ProdModalPanel = Make<QLabel>(BottomPanel, "ProdModalPanel");
  ProdModalPanel->setFrameShape(QFrame::Panel);
  ProdModalPanel->setFrameShadow(QFrame::Sunken);
  ProdModalPanel->setMinimumWidth(160);
  QFont bold = ProdModalPanel->font();
  bold.setBold(true);
  ProdModalPanel->setFont(bold);
  ProdModalPanel->setAlignment(Qt::AlignCenter);
  row->addWidget(ProdModalPanel);
  bindings_->visible.push_back({ProdModalPanel, &SettingsPageState::ProdModalPanelVisible});
  return BottomPanel;
}

void TMainForm::bindKeyFilters() {
  const KeyFilter hexadecimal = [](char32_t key) { return StringAEditKeyPress(key); };
  const KeyFilter numeral = [](char32_t key) { return NumeralKeyPress(key); };
  const KeyFilter model = [](char32_t key) { return ModelNumEditKeyPress(key); };
  const KeyFilter serial = [this](char32_t key) { return SerialNumEditKeyPress(key, settings_.record()); };
  for (QLineEdit* edit : {VendorIDEdit, ProductIDEdit}) AttachKeyFilter(edit, hexadecimal, &showing_);
  AttachKeyFilter(SerialNumEdit, serial, &showing_);
  for (QLineEdit* edit : {VendorNameEdit, ProductNameEdit, ModelNumEdit}) AttachKeyFilter(edit, model, &showing_);
  for (QLineEdit* edit : {CheckMaxTemperatureValue, QCCheckMaxTemperatureValue, MaxLBAValue, IDEMAEdit}) {
    AttachKeyFilter(edit, numeral, &showing_);
  }
}

void TMainForm::bindHandlers() {
  connect(SpeedButton2, &QToolButton::clicked, this, &TMainForm::SpeedButton2Click);
  connect(SpeedButton9, &QToolButton::clicked, this, &TMainForm::SpeedButton9Click);
  connect(RefreshBtn, &QPushButton::clicked, this, [this] { Handle([this] { scanner_->RefreshBtnClick(); }); });
  connect(ExecuteBtn, &QPushButton::clicked, this, &TMainForm::ExecuteBtnClick);
  connect(ResetYieldBtn, &QPushButton::clicked, this, &TMainForm::ResetYieldBtnClick);
  connect(ConnectionChkCmbox, &QComboBox::currentIndexChanged, this,
          [this](int index) { Handle([this, index] { scanner_->ConnectionChkCmboxChange(index); }); });
  connect(FunCheckListBox, &QListWidget::itemChanged, this,
          [this] { Handle([this] { pages_.FunCheckListBoxClickCheck(); }); });
  connect(FunCheckListBox, &QListWidget::currentRowChanged, this,
          [this] { Handle([this] { pages_.SubPageControl(); }); });
  for (QCheckBox* box : {SataBinChk, UsbBinChk}) {
    connect(box, &QCheckBox::clicked, this, [this] { Handle([this] { pages_.BinFileChkClick(); }); });
  }
  connect(FlashVendorCmbx, &QComboBox::activated, this, [this] { Handle([this] { pages_.UpdateFlashList(true); }); });
  for (QComboBox* combo : {FlashCodeCmBx, FlashChanCmBx, FlashBankCmBx}) {
    connect(combo, &QComboBox::activated, this, [this] { Handle([this] { pages_.FlashInfoChange(); }); });
  }

  const std::pair<QLineEdit*, LengthLimitedEdit> limited[] = {
      {ModelNumEdit, LengthLimitedEdit::ModelNumEdit},     {FirmwareVerEdit, LengthLimitedEdit::FirmwareVerEdit},
      {SerialNumEdit, LengthLimitedEdit::SerialNumEdit},   {ManufStrEdit, LengthLimitedEdit::ManufStrEdit},
      {VendorNameEdit, LengthLimitedEdit::VendorNameEdit}, {ProdStrEdit, LengthLimitedEdit::ProdStrEdit}};
  for (const auto& [edit, which] : limited) {
    connect(edit, &QLineEdit::textChanged, this, [this, edit = edit, which = which] {
      std::optional<int> caret;
      Handle([&] { caret = pages_.StringEditChange(which); });
      if (caret) edit->setCursorPosition(*caret);
    });
  }
  connect(VendorIDEdit, &QLineEdit::textChanged, this, [this] { Handle([this] { pages_.VendorIDEditChange(0); }); });
  connect(ProductIDEdit, &QLineEdit::textChanged, this, [this] { Handle([this] { pages_.VendorIDEditChange(1); }); });
  connect(FmtTypeComboBox, &QComboBox::activated, this, [this] { Handle([this] { pages_.FFsFmtChange(); }); });
  connect(VolumeLabeledEdit, &QLineEdit::textChanged, this, [this] { Handle([this] { pages_.FFsFmtChange(); }); });

  for (QCheckBox* box : {GetDefTabChk, PutDefTabChk, ClaimNewChk, GetLaterTabChk, PutLaterTabChk}) {
    connect(box, &QCheckBox::clicked, this, [this] { Handle([this] { pages_.RDPageClick(); }); });
  }
  connect(GetDefTabBtn, &QPushButton::clicked, this,
          [this] { Handle([this] { pages_.GetDefTabBtnClick(dialogs_); }); });
  connect(PutDefTabBtn, &QPushButton::clicked, this,
          [this] { Handle([this] { pages_.PutDefTabBtnClick(dialogs_); }); });
  connect(GetLaterTabBtn, &QPushButton::clicked, this,
          [this] { Handle([this] { pages_.GetLaterTabBtnClick(dialogs_); }); });
  connect(PutLaterTabBtn, &QPushButton::clicked, this,
          [this] { Handle([this] { pages_.PutLaterTabBtnClick(dialogs_); }); });
  connect(CalcIDEMAToRatioBn, &QPushButton::clicked, this,
          [this] { Handle([this] { pages_.CalcIDEMAToRatioBnClick(); }); });
  connect(RestoreReservedRatio, &QPushButton::clicked, this,
          [this] { Handle([this] { pages_.RestoreReservedRatioClick(); }); });

  connect(SpeedButton8, &QToolButton::clicked, this, [this] { Handle([this] { pages_.SpeedButton8Click(true); }); });
  connect(INILoadBtn, &QPushButton::clicked, this, [this] { Handle([this] { settings_.INILoadBtnClick(dialogs_); }); });
  connect(INISaveBtn, &QPushButton::clicked, this, [this] { Handle([this] { settings_.INISaveBtnClick(dialogs_); }); });
  connect(CloseBtn, &QPushButton::clicked, this, &TMainForm::CloseBtnClick);
}

}  // namespace fleetburn::ui
