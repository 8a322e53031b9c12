#include "port_panel.h"

#include <QMouseEvent>
#include <QPalette>

namespace fleetburn::ui {
namespace {

QRect ToQRect(const Rect& rect) { return QRect(rect.left, rect.top, rect.width, rect.height); }

QString Indexed(const char* name, int index) { return QString::fromLatin1(name) + QString::number(index); }

constexpr int kLabelGap = 1;

}  // namespace

PortPanel::PortPanel(int portIndex, const PanelTemplate& layout, QWidget* parent)
    : QFrame(parent), portIndex_(portIndex) {
  setObjectName(Indexed("PortPanel", portIndex));
  setFrameShape(QFrame::Panel);
  setFrameShadow(QFrame::Raised);
  setAutoFillBackground(true);
  resize(layout.panel.width, layout.panel.height);

  // The caption stands where the designed panel draws it: left-justified in
  // the free band between the edits and the gauges.
  caption_ = new QLabel(this);
  QFont captionFont = caption_->font();
  captionFont.setBold(true);
  captionFont.setPixelSize(layout.captionPixelSize);
  caption_->setFont(captionFont);
  const int captionTop = layout.wwnEdit.bottom() + 2;
  caption_->setGeometry(6, captionTop, layout.detailButton.left - 8, layout.gauge.top - captionTop - 4);
  caption_->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  caption_->setWordWrap(true);

  const QString number = QString::number(portIndex + 1);
  PortLEdit = addLabelledEdit(Indexed("PortLEdit", portIndex), "Port" + number + ":SN", layout.snEdit);
  PortLEditWWN = addLabelledEdit(Indexed("PortLEditWWN", portIndex), "Port" + number + ":WWN UID", layout.wwnEdit);
  QPalette faced = PortLEdit->palette();
  faced.setColor(QPalette::Base, palette().color(QPalette::Button));
  PortLEdit->setPalette(faced);

  PortBitBtn = new QPushButton("?", this);
  PortBitBtn->setObjectName(Indexed("PortBitBtn", portIndex));
  PortBitBtn->setGeometry(ToQRect(layout.detailButton));
  connect(PortBitBtn, &QPushButton::clicked, this, [this] { emit detailRequested(portIndex_); });

  PortCGuage = new QProgressBar(this);
  PortCGuage->setObjectName(Indexed("PortCGuage", portIndex));
  PortCGuage->setGeometry(ToQRect(layout.gauge));
  PortCGuage->setRange(0, 100);
  PortCGuage->setValue(0);
  PortCGuage->setTextVisible(false);

  PortCGuageP = new QProgressBar(this);
  PortCGuageP->setObjectName(Indexed("PortCGuageP", portIndex));
  PortCGuageP->setGeometry(ToQRect(layout.secondGauge));
  PortCGuageP->setRange(0, 100);
  PortCGuageP->setValue(0);
  PortCGuageP->setTextVisible(false);
  QPalette purple = PortCGuageP->palette();
  purple.setColor(QPalette::Highlight, QColor(128, 0, 128));
  PortCGuageP->setPalette(purple);
  PortCGuageP->hide();

  PortCycleCounterLabel = new QLabel(this);
  PortCycleCounterLabel->setObjectName(Indexed("PortCycleCounterLabel", portIndex));
  PortCycleCounterLabel->setGeometry(ToQRect(layout.cycleCounter));

  hide();
}

QLineEdit* PortPanel::addLabelledEdit(const QString& name, const QString& label, const Rect& at) {
  auto* edit = new QLineEdit(this);
  edit->setObjectName(name);
  edit->setGeometry(ToQRect(at));
  edit->setReadOnly(true);
  auto* text = new QLabel(label, this);
  text->setObjectName(name + "Label");
  QFont small = text->font();
  small.setPixelSize(10);
  text->setFont(small);
  text->setGeometry(1, at.top, at.left - kLabelGap - 1, at.height);
  text->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  text->setBuddy(edit);
  return edit;
}

void PortPanel::setCaption(const QString& text) { caption_->setText(text); }

QString PortPanel::caption() const { return caption_->text(); }

void PortPanel::setBackground(const QColor& colour) {
  QPalette shade = palette();
  shade.setColor(QPalette::Window, colour);
  setPalette(shade);
}

QColor PortPanel::background() const { return palette().color(QPalette::Window); }

void PortPanel::setSerialText(const QString& text) { PortLEdit->setText(text); }

void PortPanel::setUidText(const QString& text) { PortLEditWWN->setText(text); }

void PortPanel::setGauge(int percent) { PortCGuage->setValue(percent); }

void PortPanel::setGaugeVisible(bool visible) { PortCGuage->setVisible(visible); }

void PortPanel::setCounterText(const QString& text) { PortCycleCounterLabel->setText(text); }

void PortPanel::setShown(bool shown) { setVisible(shown); }

void PortPanel::mousePressEvent(QMouseEvent* event) {
  emit pressed(portIndex_);
  event->accept();
}

void PortPanel::mouseReleaseEvent(QMouseEvent* event) {
  emit released(portIndex_);
  event->accept();
}

}  // namespace fleetburn::ui
