#include "title_dialog.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QSignalBlocker>
#include <QVBoxLayout>

#include "key_filter.h"

namespace fleetburn::ui {
namespace {

std::string S(const QLineEdit* edit) { return edit->text().toStdString(); }

}  // namespace

TTitleForm::TTitleForm(int showTitle, QWidget* parent) : QDialog(parent), form_(showTitle) {
  setObjectName("TitleForm");
  setWindowTitle("Serial Number Information");
  setWindowFlags(windowFlags() & ~Qt::WindowContextHelpButtonHint);
  QFont large = font();
  large.setPixelSize(16);
  setFont(large);

  auto* column = new QVBoxLayout(this);
  column->setContentsMargins(14, 14, 14, 14);
  column->setSpacing(10);

  // ShowTitle 1: a work order and a serial number.
  auto* pair = new QGridLayout;
  WOEditLabel = new QLabel(" W/O", this);
  WOEdit = new QLineEdit(this);
  WOEdit->setObjectName("WOEdit");
  SNEditLabel = new QLabel(" S/N", this);
  SNEdit = new QLineEdit(this);
  SNEdit->setObjectName("SNEdit");
  WOEdit->setMinimumWidth(220);
  pair->addWidget(WOEditLabel, 0, 0);
  pair->addWidget(WOEdit, 0, 1);
  pair->addWidget(SNEditLabel, 1, 0);
  pair->addWidget(SNEdit, 1, 1);
  column->addLayout(pair);

  // ShowTitle 2: three short fields joined by "-".
  auto* three = new QHBoxLayout;
  const auto field = [this, three](const char* name, int tag) {
    auto* edit = new QLineEdit(this);
    edit->setObjectName(name);
    edit->setProperty("Tag", tag);
    edit->setFixedWidth(tag == 1 ? 70 : 110);
    edit->installEventFilter(new KeyPressFilter([](char32_t key) { return AlphaNumKeyPress(key); }, edit));
    connect(edit, &QLineEdit::textChanged, this, [edit, tag](const QString& text) {
      const QString cut = QString::fromStdString(Edit1Change(tag, text.toStdString()));
      if (cut != text) {
        const QSignalBlocker blocker(edit);
        edit->setText(cut);
      }
    });
    three->addWidget(edit);
    return edit;
  };
  const auto dash = [this, three](const char* name) {
    auto* label = new QLabel("-", this);
    label->setObjectName(name);
    three->addWidget(label);
    return label;
  };
  Edit1 = field("Edit1", 0);
  Label1 = dash("Label1");
  Edit2 = field("Edit2", 1);
  Label2 = dash("Label2");
  Edit3 = field("Edit3", 2);
  three->addStretch(1);
  column->addLayout(three);

  SNChkBx = new QCheckBox("Auto Increase", this);
  SNChkBx->setObjectName("SNChkBx");
  column->addWidget(SNChkBx);

  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  OKBtn = new QPushButton("OK", this);
  OKBtn->setObjectName("OKBtn");
  OKBtn->setDefault(true);
  CancelBtn = new QPushButton("Cancel", this);
  CancelBtn->setObjectName("CancelBtn");
  buttons->addWidget(OKBtn);
  buttons->addWidget(CancelBtn);
  column->addLayout(buttons);

  const TitleFormLayout& shown = form_.layout();
  WOEditLabel->setVisible(shown.WOEditVisible);
  WOEdit->setVisible(shown.WOEditVisible);
  SNEditLabel->setVisible(shown.SNEditVisible);
  SNEdit->setVisible(shown.SNEditVisible);
  Edit1->setVisible(shown.Edit1Visible);
  Edit2->setVisible(shown.Edit2Visible);
  Edit3->setVisible(shown.Edit3Visible);
  Label1->setVisible(shown.Label1Visible);
  Label2->setVisible(shown.Label2Visible);

  connect(OKBtn, &QPushButton::clicked, this, &TTitleForm::OKBtnClick);
  connect(CancelBtn, &QPushButton::clicked, this, &TTitleForm::CancelBtnClick);
}

void TTitleForm::OKBtnClick() {
  form_.WOEdit = S(WOEdit);
  form_.SNEdit = S(SNEdit);
  form_.Edit1 = S(Edit1);
  form_.Edit2 = S(Edit2);
  form_.Edit3 = S(Edit3);
  form_.SNChkBx = SNChkBx->isChecked();
  form_.OKBtnClick();
  accept();
}

void TTitleForm::CancelBtnClick() {
  form_.CancelBtnClick();
  reject();
}

}  // namespace fleetburn::ui
