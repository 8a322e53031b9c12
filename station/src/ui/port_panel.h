#pragma once
// One port's panel on the port board: its result caption, the serial number
// and unique ID edits, the detail button, two gauges and the cycle counter.
// The board model drives it through plain setters; the button and the mouse
// tell which port they belong to.

#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QString>

#include "board_geometry.h"

namespace fleetburn::ui {

class PortPanel : public QFrame {
  Q_OBJECT

 public:
  // Object names are the control names with the port index appended
  // ("PortPanel0", "PortLEdit0", ...); the labels show port number index + 1.
  PortPanel(int portIndex, const PanelTemplate& layout, QWidget* parent);

  int portIndex() const { return portIndex_; }

  void setCaption(const QString& text);
  QString caption() const;
  void setBackground(const QColor& colour);
  QColor background() const;
  void setSerialText(const QString& text);
  void setUidText(const QString& text);
  void setGauge(int percent);
  void setGaugeVisible(bool visible);
  void setCounterText(const QString& text);
  void setShown(bool shown);

  QLineEdit* PortLEdit = nullptr;
  QLineEdit* PortLEditWWN = nullptr;
  QPushButton* PortBitBtn = nullptr;
  QProgressBar* PortCGuage = nullptr;
  QProgressBar* PortCGuageP = nullptr;
  QLabel* PortCycleCounterLabel = nullptr;

 signals:
  void detailRequested(int portIndex);  // the "?" button
  void pressed(int portIndex);          // any mouse button down on the panel
  void released(int portIndex);

 protected:
  void mousePressEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;

 private:
  QLineEdit* addLabelledEdit(const QString& name, const QString& label, const Rect& at);

  int portIndex_;
  QLabel* caption_ = nullptr;
};

}  // namespace fleetburn::ui
