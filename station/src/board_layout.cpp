#include "station/board_layout.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <system_error>

#include "platform/private_profile.h"

namespace fleetburn {
namespace {

constexpr std::string_view kStyleSection = "Style";
constexpr std::string_view kMainSection = "Main";
constexpr std::string_view kPanelKeyPrefix = "PortPanel";
constexpr std::size_t kLongestWord = 11;

std::string PanelKey(std::size_t port) { return std::string(kPanelKeyPrefix) + std::to_string(port); }

bool OnBoard(const Geometry& g) {
  return g.left >= 0 && g.top >= 0 && g.width > 0 && g.height > 0 && g.width <= kBoardExtentLimit - g.left &&
         g.height <= kBoardExtentLimit - g.top;
}

bool Blank(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

// The next blank-separated token of `text`, or an empty view at the end.
std::string_view NextToken(std::string_view& text) {
  std::size_t start = 0;
  while (start < text.size() && Blank(text[start])) ++start;
  std::size_t end = start;
  while (end < text.size() && !Blank(text[end])) ++end;
  const std::string_view token = text.substr(start, end - start);
  text.remove_prefix(end);
  return token;
}

std::optional<int> WholeInt(std::string_view token) {
  if (!token.empty() && token.front() == '+') token.remove_prefix(1);
  int value = 0;
  const auto [end, error] = std::from_chars(token.data(), token.data() + token.size(), value);
  if (error != std::errc() || end != token.data() + token.size() || token.empty()) return std::nullopt;
  return value;
}

}  // namespace

int RowsPerColumn(int boardHeight, int panelHeight) {
  if (panelHeight <= 0 || boardHeight <= 0) return 0;
  return boardHeight / panelHeight;
}

Geometry GridGeometry(int port, int rowsPerColumn, int panelWidth, int panelHeight) {
  const int rows = std::max(rowsPerColumn, 1);
  return {(port / rows) * panelWidth, (port % rows) * panelHeight, panelWidth, panelHeight};
}

void BoardLayout::raiseScrollRanges() {
  scrollWidth = 0;
  scrollHeight = 0;
  for (const Geometry& g : panels) {
    scrollWidth = std::max(scrollWidth, g.left + g.width);
    scrollHeight = std::max(scrollHeight, g.top + g.height);
  }
}

BoardLayout BuiltLayout(int panelCount, int boardHeight) {
  BoardLayout layout;
  const int rows = std::max(RowsPerColumn(boardHeight), 1);
  for (int port = 0; port < panelCount; ++port) layout.panels.push_back(GridGeometry(port, rows));
  layout.raiseScrollRanges();
  return layout;
}

bool ResetLayoutClick(BoardLayout& layout, bool pinned, int boardHeight) {
  const int rows = RowsPerColumn(boardHeight);
  if (pinned || rows == 0) return false;
  const BoardLayout before = layout;
  for (std::size_t port = 0; port < layout.panels.size(); ++port) {
    layout.panels[port] = GridGeometry(static_cast<int>(port), rows);
  }
  layout.raiseScrollRanges();
  return layout.panels != before.panels;
}

bool MovePanel(BoardLayout& layout, int port, Geometry to, bool pinned) {
  if (pinned || port < 0 || static_cast<std::size_t>(port) >= layout.panels.size()) return false;
  Geometry& panel = layout.panels[static_cast<std::size_t>(port)];
  to.width = panel.width;
  to.height = panel.height;
  to.left = std::clamp(to.left, 0, kBoardExtentLimit - to.width);
  to.top = std::clamp(to.top, 0, kBoardExtentLimit - to.height);
  if (to == panel) return false;
  panel = to;
  layout.raiseScrollRanges();
  return true;
}

std::string PanelLayoutText(const Geometry& g) {
  return "Left " + std::to_string(g.left) + " Top " + std::to_string(g.top) + " Width " + std::to_string(g.width) +
         " Height " + std::to_string(g.height);
}

std::optional<Geometry> ParsePanelLayout(std::string_view value) {
  int numbers[4] = {};
  for (int& number : numbers) {
    const std::string_view word = NextToken(value);
    if (word.empty() || word.size() > kLongestWord) return std::nullopt;
    const std::optional<int> parsed = WholeInt(NextToken(value));
    if (!parsed) return std::nullopt;
    number = *parsed;
  }
  const Geometry geometry{numbers[0], numbers[1], numbers[2], numbers[3]};
  if (!OnBoard(geometry)) return std::nullopt;
  return geometry;
}

bool SaveStyle(const std::filesystem::path& file, const BoardLayout& layout, const Geometry& window) {
  platform::profile::ProfileDocument document = platform::profile::ProfileDocument::load(file);
  document.eraseSection(kStyleSection);
  for (std::size_t port = 0; port < layout.panels.size(); ++port) {
    document.writeString(kStyleSection, PanelKey(port), PanelLayoutText(layout.panels[port]));
  }
  document.writeString(kMainSection, "Left", std::to_string(window.left));
  document.writeString(kMainSection, "Top", std::to_string(window.top));
  document.writeString(kMainSection, "Width", std::to_string(window.width));
  document.writeString(kMainSection, "Height", std::to_string(window.height));
  return document.save(file);
}

bool RestoreStyle(const std::filesystem::path& file, BoardLayout& layout, Geometry& window) {
  std::error_code error;
  if (!std::filesystem::is_regular_file(file, error)) return false;
  const platform::profile::ProfileDocument document = platform::profile::ProfileDocument::load(file);
  for (std::size_t port = 0; port < layout.panels.size(); ++port) {
    const std::string value = document.readString(kStyleSection, PanelKey(port), "NULL");
    if (value == "NULL") continue;
    if (const std::optional<Geometry> placed = ParsePanelLayout(value)) layout.panels[port] = *placed;
  }
  layout.raiseScrollRanges();

  const auto read = [&document](std::string_view key, int fallback, int lowest, int keep) {
    const std::int64_t value = document.readInt(kMainSection, key, fallback);
    return value < lowest || value > kBoardExtentLimit ? keep : static_cast<int>(value);
  };
  const Geometry designed = window;
  window.left = read("Left", 0, -kBoardExtentLimit, designed.left);
  window.top = read("Top", 0, -kBoardExtentLimit, designed.top);
  window.width = read("Width", kDefaultMainWidth, 1, designed.width);
  window.height = read("Height", kDefaultMainHeight, 1, designed.height);
  return true;
}

}  // namespace fleetburn
