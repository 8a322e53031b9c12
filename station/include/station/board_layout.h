#pragma once
// Where the port panels stand on the board: the designed grid, the layout
// reset, and the layout file "Style.cs" beside the program ([Style]
// "PortPanel"+index = "Left l Top t Width w Height h", [Main] the window's
// Left, Top, Width and Height). Positions are relative to the board (the
// scroll box's content).

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace fleetburn {

inline constexpr const char* kStyleFileName = "Style.cs";

// The designed template panel and window.
inline constexpr int kTemplatePanelWidth = 249;
inline constexpr int kTemplatePanelHeight = 129;
inline constexpr int kDesignedWindowWidth = 1083;
inline constexpr int kDesignedWindowHeight = 833;
// The window geometry read from a layout file without [Main].
inline constexpr int kDefaultMainWidth = 600;
inline constexpr int kDefaultMainHeight = 600;
// No coordinate or size on the board goes past this.
inline constexpr int kBoardExtentLimit = 32767;

struct Geometry {
  int left = 0;
  int top = 0;
  int width = 0;
  int height = 0;

  bool operator==(const Geometry&) const = default;
};

// Panels per column: the board's height over the template's (integer
// division). Construction makes 0 into 1; the reset leaves 0, meaning "no
// change".
int RowsPerColumn(int boardHeight, int panelHeight = kTemplatePanelHeight);

// Port `port`'s place in a grid of `rowsPerColumn` rows (at least 1).
Geometry GridGeometry(int port, int rowsPerColumn, int panelWidth = kTemplatePanelWidth,
                      int panelHeight = kTemplatePanelHeight);

// The panels of the board and its scroll ranges (the right and bottom edge
// of the farthest panels).
struct BoardLayout {
  std::vector<Geometry> panels;
  int scrollWidth = 0;
  int scrollHeight = 0;

  void raiseScrollRanges();
};

// The layout the constructor builds for `panelCount` panels.
BoardLayout BuiltLayout(int panelCount, int boardHeight);

// The Reset Layout button (and a window resize): the grid again, unless the
// layout is pinned or the board is lower than one panel. False when nothing changed.
bool ResetLayoutClick(BoardLayout& layout, bool pinned, int boardHeight);

// A panel dragged to `to` (unless pinned), kept on the board. False when it
// did not move.
bool MovePanel(BoardLayout& layout, int port, Geometry to, bool pinned);

// "Left l Top t Width w Height h".
std::string PanelLayoutText(const Geometry& geometry);

// The four numbers of a layout value: four pairs of a word (at most 11
// characters, not compared) and a decimal integer. Nothing for a value that
// does not hold them, or whose panel would not lie on the board (negative
// place, empty or oversized).
std::optional<Geometry> ParsePanelLayout(std::string_view value);

// Writes the layout: [Style] emptied, then one key per panel, then [Main].
// False when the file could not be written.
bool SaveStyle(const std::filesystem::path& file, const BoardLayout& layout, const Geometry& window);

// Reads the layout onto the panels built (only when the file exists): a
// panel keeps its built place for "NULL", a missing key, or a value that
// does not parse; a window value that is missing reads as 0, 0, 600, 600,
// and one out of range keeps `window` for that value. False when there is
// no file (nothing changes).
bool RestoreStyle(const std::filesystem::path& file, BoardLayout& layout, Geometry& window);

}  // namespace fleetburn
