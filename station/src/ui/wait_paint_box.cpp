#include "wait_paint_box.h"

#include <QLinearGradient>
#include <QPainter>

namespace fleetburn::ui {

namespace {

// A bar of blocks fading in from the left, so that its movement shows.
QPixmap WaitPicture() {
  QPixmap picture(kWaitPictureWidth, kPaintBoxHeight);
  picture.fill(Qt::white);
  QPainter painter(&picture);
  QLinearGradient fade(0, 0, kWaitPictureWidth, 0);
  fade.setColorAt(0.0, QColor(0xE8, 0xF0, 0xFF));
  fade.setColorAt(1.0, QColor(0x00, 0x3C, 0xB4));
  constexpr int kBlock = 11;
  for (int left = 1; left + kBlock - 2 < kWaitPictureWidth; left += kBlock) {
    painter.fillRect(left, 2, kBlock - 2, kPaintBoxHeight - 4, fade);
  }
  return picture;
}

}  // namespace

WaitPaintBox::WaitPaintBox(QWidget* parent)
    : QWidget(parent), picture_(WaitPicture()), canvas_(kPaintBoxWidth, kPaintBoxHeight) {
  setObjectName(QStringLiteral("PaintBox1"));
  setFixedSize(kPaintBoxWidth, kPaintBoxHeight);
  clear();
}

void WaitPaintBox::DrawWaitStep(int x) {
  QPainter painter(&canvas_);
  painter.drawPixmap(x, 0, picture_);
  lastOffset_ = x;
  ++frames_;
  update();
}

void WaitPaintBox::clear() {
  canvas_.fill(Qt::white);
  frames_ = 0;
  update();
}

void WaitPaintBox::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.drawPixmap(0, 0, canvas_);
}

}  // namespace fleetburn::ui
