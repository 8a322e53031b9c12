#include "board_geometry.h"

#include <algorithm>

namespace fleetburn::ui {

int RowsPerColumn(int scrollBoxHeight, int panelHeight) {
  if (panelHeight <= 0) return 1;
  return std::max(1, scrollBoxHeight / panelHeight);
}

Rect PanelRect(int index, int rowsPerColumn, int panelWidth, int panelHeight) {
  return {(index / rowsPerColumn) * panelWidth, (index % rowsPerColumn) * panelHeight, panelWidth, panelHeight};
}

Size ContentSize(std::span<const Rect> panels) {
  Size size;
  for (const Rect& panel : panels) {
    size.width = std::max(size.width, panel.right());
    size.height = std::max(size.height, panel.bottom());
  }
  return size;
}

std::vector<Rect> BoardRects(int portCount, int rowsPerColumn, int panelWidth, int panelHeight) {
  std::vector<Rect> rects;
  for (int index = 0; index < portCount; ++index) {
    rects.push_back(PanelRect(index, rowsPerColumn, panelWidth, panelHeight));
  }
  return rects;
}

}  // namespace fleetburn::ui
