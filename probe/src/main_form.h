#pragma once
// Blockprobe's main window: the drive list, the Scan button and the pages of
// the selected drive.

#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QWidget>
#include <string>
#include <vector>

#include "probe/info_pages.h"

namespace blockprobe {

class TSplashForm;

// An invisible spot that reports presses with the keys held.
class TipShape : public QWidget {
  Q_OBJECT

 public:
  explicit TipShape(QWidget* parent);

 signals:
  void pressed(Qt::KeyboardModifiers modifiers);

 protected:
  void mousePressEvent(QMouseEvent* event) override;
};

class TMainForm : public QWidget {
  Q_OBJECT

 public:
  // `oemBrand` is the build's brand text (empty in the plain build).
  explicit TMainForm(const std::string& oemBrand, QWidget* parent = nullptr);
  ~TMainForm() override;

  // Rebuilds the drive list and fills the pages of its first drive.
  void FormShow();
  void ScanBnClick();
  void DeviceListChange();
  void UpdateInfo();
  void GetTolvaneDevice();

  // What the last fill showed, as the texts were built.
  const InfoPages& shownPages() const { return pages_; }

  QComboBox* DeviceList;
  QPushButton* ScanBn;
  QTabWidget* PageControl1;
  QWidget* TabSheet1;
  QWidget* TabSheet2;
  QWidget* TabSheet3;
  QWidget* TabSheet4;
  QWidget* TabSheet5;
  QWidget* TabSheet6;

  // "SSD Info"
  QLineEdit *FlashmodelEdit, *ChannelEdit, *CapacityEdit, *DriverEdit, *ResPerEdit, *EccReadEdit, *EccCopyEdit,
      *WearLevelingEdit, *BankMapEdit, *FwEdit, *SupportEdit1, *SupportEdit2;
  QLineEdit *FlashInfoEdit, *FlashTypeEdit, *BlockCeEdit, *PageBlockEdit, *CeEdit;
  QPlainTextEdit* SSDInfoMemo;
  QPlainTextEdit* DpdFTLMemo;
  TipShape* SpecialTipShape;

  // "erase count"
  QPlainTextEdit* EraseMemo;
  QLabel* DiagramImage;
  QLineEdit *AeraseEdit, *MeraseEdit;

  // "Device Info"
  QLineEdit *ModelNameEdit, *SNEdit, *FwVersionEdit, *DiskHeadEdit, *ChsEdit, *TotalSectorEdit, *MultiwordDMAmodeEdit,
      *MultiwordDMAEdit, *UltraDMAModeEdit, *UltraDMAEdit, *SMARTfeatureEdit, *SecurityModeEdit, *WWNEdit;
  QLineEdit *CapEdit, *TotalLBAEdit, *VIDEdit, *PIDEdit, *VendorNameEdit, *ProductNameEdit, *ManufacturStringEdit,
      *ProductStringEdit, *SNUSBEdit;

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  void FormCreate(bool brandOnly);
  void SpecialTipShapeMouseDown(Qt::KeyboardModifiers modifiers);
  QWidget* buildSsdInfoPage();
  QWidget* buildEraseCountPage();
  QWidget* buildDeviceInfoPage();
  QLineEdit* addEdit(const char* name);
  void clearFields();
  void showPages(const InfoPages& pages);

  TSplashForm* splash_;
  std::vector<QLineEdit*> edits_;  // every edit a fill clears, named explicitly
  std::vector<QPlainTextEdit*> memos_;
  InfoPages pages_;
  bool shownOnce_ = false;
};

}  // namespace blockprobe
