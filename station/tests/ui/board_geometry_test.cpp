// Where the port panels stand: rows per column from the scroll box, the grid
// filled column by column, and the content size that reaches every panel.

#include "ui/board_geometry.h"

#include <gtest/gtest.h>

namespace fleetburn::ui {
namespace {

TEST(BoardGeometry, RowsPerColumnIsTheScrollBoxOverThePanelAndAtLeastOne) {
  const struct {
    int scrollHeight;
    int panelHeight;
    int rows;
  } cases[] = {{387, 129, 3}, {400, 129, 3}, {386, 129, 2}, {128, 129, 1}, {0, 129, 1}, {129, 129, 1}};
  for (const auto& c : cases) {
    EXPECT_EQ(RowsPerColumn(c.scrollHeight, c.panelHeight), c.rows) << c.scrollHeight;
  }
}

TEST(BoardGeometry, TwelvePortsInThreeRowsFillFourColumnsDownFirst) {
  const PanelTemplate layout;
  const std::vector<Rect> rects = BoardRects(12, 3, layout.panel.width, layout.panel.height);
  ASSERT_EQ(rects.size(), 12u);
  // Port 7 (index 6): column 2, row 0.
  EXPECT_EQ(rects[6], (Rect{2 * 249, 0, 249, 129}));
  EXPECT_EQ(rects[0], (Rect{0, 0, 249, 129}));
  EXPECT_EQ(rects[2], (Rect{0, 2 * 129, 249, 129}));
  EXPECT_EQ(rects[3], (Rect{249, 0, 249, 129}));
  EXPECT_EQ(rects[11], (Rect{3 * 249, 2 * 129, 249, 129}));
  EXPECT_EQ(ContentSize(rects), (Size{4 * 249, 3 * 129}));
}

TEST(BoardGeometry, ScrollBoxLowerThanAPanelPutsEveryPanelInOneRow) {
  const int rows = RowsPerColumn(100, 129);
  const std::vector<Rect> rects = BoardRects(5, rows, 249, 129);
  for (int index = 0; index < 5; ++index) {
    EXPECT_EQ(rects[static_cast<std::size_t>(index)], (Rect{index * 249, 0, 249, 129})) << index;
  }
  EXPECT_EQ(ContentSize(rects), (Size{5 * 249, 129}));
}

TEST(BoardGeometry, ContentReachesThePanelFurthestOutEvenWhenMoved) {
  const Rect moved[] = {{0, 0, 249, 129}, {700, 40, 249, 129}, {10, 500, 249, 129}};
  EXPECT_EQ(ContentSize(moved), (Size{949, 629}));
  EXPECT_EQ(ContentSize({}), (Size{0, 0}));
}

}  // namespace
}  // namespace fleetburn::ui
