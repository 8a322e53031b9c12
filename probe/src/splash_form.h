#pragma once
// The waiting window: shown while the slower reads of a page fill run.

#include <QDialog>

namespace blockprobe {

class TSplashForm : public QDialog {
  Q_OBJECT

 public:
  explicit TSplashForm(QWidget* parent = nullptr);

  // Shows the window and paints it at once, without running the event loop,
  // so that no click reaches the main window while the fill goes on.
  void showWaiting();
  void closeWaiting();
};

}  // namespace blockprobe
