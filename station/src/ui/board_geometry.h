#pragma once
// Where the port panels stand on the board: the template panel's designed
// geometry, the grid the panels fill column by column, and the size the
// scroll box's content takes to show them all. Plain values, no widgets.

#include <span>
#include <vector>

namespace fleetburn::ui {

struct Rect {
  int left = 0;
  int top = 0;
  int width = 0;
  int height = 0;
  int right() const { return left + width; }
  int bottom() const { return top + height; }
  bool operator==(const Rect&) const = default;
};

struct Size {
  int width = 0;
  int height = 0;
  bool operator==(const Size&) const = default;
};

// The designed template panel and its controls, each relative to the panel.
struct PanelTemplate {
  Rect panel{8, 8, 249, 129};
  int captionPixelSize = 16;  // bold
  Rect snEdit{53, 2, 193, 24};
  Rect wwnEdit{90, 30, 154, 24};
  Rect detailButton{229, 85, 17, 19};
  Rect gauge{195, 106, 50, 13};
  Rect secondGauge{143, 106, 50, 13};
  Rect cycleCounter{107, 102, 44, 20};
};

// Panels per column: the scroll box's height over the panel's, at least 1.
int RowsPerColumn(int scrollBoxHeight, int panelHeight);

// Panel `index` of a board with `rowsPerColumn` rows: down a column first,
// then the next column to the right.
Rect PanelRect(int index, int rowsPerColumn, int panelWidth, int panelHeight);

// The content a scroll box needs to reach every panel: the largest right
// and bottom edges (0 x 0 without panels).
Size ContentSize(std::span<const Rect> panels);

// The panels of a board of `portCount` ports.
std::vector<Rect> BoardRects(int portCount, int rowsPerColumn, int panelWidth, int panelHeight);

}  // namespace fleetburn::ui
