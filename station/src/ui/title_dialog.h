#pragma once
// The serial number dialog ("Serial Number Information") that start-up shows
// when the setting ShowTitle is on. The fields, their key filter, length
// limits and the text handed over are the station core's TTitleForm.

#include <QCheckBox>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "station/title_form.h"

namespace fleetburn::ui {

class TTitleForm : public QDialog {
  Q_OBJECT

 public:
  explicit TTitleForm(int showTitle, QWidget* parent = nullptr);

  // The dialog's result as the main window's first show takes it.
  const fleetburn::TTitleForm& form() const { return form_; }

  void OKBtnClick();
  void CancelBtnClick();

  QPushButton* OKBtn = nullptr;
  QPushButton* CancelBtn = nullptr;
  QLabel* WOEditLabel = nullptr;
  QLineEdit* WOEdit = nullptr;
  QLabel* SNEditLabel = nullptr;
  QLineEdit* SNEdit = nullptr;
  QLineEdit* Edit1 = nullptr;
  QLineEdit* Edit2 = nullptr;
  QLineEdit* Edit3 = nullptr;
  QLabel* Label1 = nullptr;
  QLabel* Label2 = nullptr;
  QCheckBox* SNChkBx = nullptr;

 private:
  fleetburn::TTitleForm form_;
};

}  // namespace fleetburn::ui
