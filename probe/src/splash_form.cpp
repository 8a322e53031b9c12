#include "splash_form.h"

#include <QGuiApplication>
#include <QScreen>

#include "probe/window_text.h"

namespace blockprobe {

TSplashForm::TSplashForm(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint) {
  setObjectName("SplashForm");
  setWindowTitle(QString::fromLatin1(kWaitingCaption.data(), static_cast<int>(kWaitingCaption.size())));
  setFixedSize(250, 59);
}

void TSplashForm::showWaiting() {
  if (const QScreen* screen = QGuiApplication::primaryScreen()) {
    move(screen->availableGeometry().center() - rect().center());
  }
  show();
  repaint();
}

void TSplashForm::closeWaiting() { hide(); }

}  // namespace blockprobe
