#pragma once
// The wait panel's paint box: the bar picture drawn at the wait bar's offset,
// over what the earlier frames drew (nothing is erased between frames).

#include <QPixmap>
#include <QWidget>

namespace fleetburn::ui {

inline constexpr int kPaintBoxWidth = 145;
inline constexpr int kPaintBoxHeight = 17;
inline constexpr int kWaitPictureWidth = 177;

class WaitPaintBox : public QWidget {
  Q_OBJECT

 public:
  explicit WaitPaintBox(QWidget* parent = nullptr);

  // One frame: the picture with its top-left corner at (x, 0).
  void DrawWaitStep(int x);
  // The offset of the last frame drawn, and the frames drawn so far.
  int lastOffset() const { return lastOffset_; }
  int frames() const { return frames_; }
  // A new run begins on a clean box.
  void clear();

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QPixmap picture_;  // Image1: the bar that slides
  QPixmap canvas_;   // what the frames drew
  int lastOffset_ = 0;
  int frames_ = 0;
};

}  // namespace fleetburn::ui
