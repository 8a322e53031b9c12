// Where the panels stand: the grid of construction and of Reset Layout, a
// drag, and the layout file Style.cs (round trip, damaged values, a file
// written by hand with CR LF, a missing file or [Main]).

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/private_profile.h"
#include "station/board_layout.h"

namespace fleetburn {
namespace {

constexpr int kBoardHeight = 3 * kTemplatePanelHeight + 40;  // three rows

class StyleFile : public ::testing::Test {
 protected:
  void SetUp() override {
    directory = std::filesystem::path(::testing::TempDir()) /
                ("style_" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    std::filesystem::remove_all(directory);
    std::filesystem::create_directories(directory);
    file = directory / kStyleFileName;
  }
  void TearDown() override { std::filesystem::remove_all(directory); }

  void Write(const std::string& text) { std::ofstream(file, std::ios::binary) << text; }
  std::string Read() const {
    std::ifstream in(file, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

  std::filesystem::path directory;
  std::filesystem::path file;
  Geometry window{10, 20, kDesignedWindowWidth, kDesignedWindowHeight};
};

TEST(BoardGrid, TwelvePortsInRowsOfThreeMakeFourColumns) {
  const BoardLayout layout = BuiltLayout(12, kBoardHeight);
  ASSERT_EQ(layout.panels.size(), 12u);
  EXPECT_EQ(layout.panels[6], (Geometry{2 * kTemplatePanelWidth, 0, kTemplatePanelWidth, kTemplatePanelHeight}))
      << "port 7 at column 2, row 0";
  EXPECT_EQ(layout.panels[11], (Geometry{3 * kTemplatePanelWidth, 2 * kTemplatePanelHeight, kTemplatePanelWidth,
                                         kTemplatePanelHeight}));
  EXPECT_EQ(layout.scrollWidth, 4 * kTemplatePanelWidth);
  EXPECT_EQ(layout.scrollHeight, 3 * kTemplatePanelHeight);
}

TEST(BoardGrid, ABoardLowerThanAPanelBuildsOneRow) {
  const BoardLayout layout = BuiltLayout(3, 50);
  EXPECT_EQ(layout.panels[2].left, 2 * kTemplatePanelWidth);
  EXPECT_EQ(layout.panels[2].top, 0);
}

TEST(BoardGrid, ResetLayoutRegridsUnlessPinnedOrTooLow) {
  BoardLayout layout = BuiltLayout(6, kBoardHeight);
  const BoardLayout built = layout;
  ASSERT_TRUE(MovePanel(layout, 0, {700, 300, 0, 0}, false));
  const BoardLayout moved = layout;

  EXPECT_FALSE(ResetLayoutClick(layout, true, kBoardHeight));
  EXPECT_EQ(layout.panels, moved.panels) << "pinned";
  EXPECT_FALSE(ResetLayoutClick(layout, false, kTemplatePanelHeight - 1));
  EXPECT_EQ(layout.panels, moved.panels) << "R = 0";
  EXPECT_TRUE(ResetLayoutClick(layout, false, kBoardHeight));
  EXPECT_EQ(layout.panels, built.panels);

  // A taller board (the window resized) makes longer columns.
  EXPECT_TRUE(ResetLayoutClick(layout, false, 6 * kTemplatePanelHeight));
  EXPECT_EQ(layout.panels[5].left, 0);
  EXPECT_EQ(layout.panels[5].top, 5 * kTemplatePanelHeight);
  EXPECT_EQ(layout.scrollWidth, kTemplatePanelWidth);
}

TEST(BoardGrid, ADragMovesAPanelOnTheBoardOnlyWhileUnpinned) {
  BoardLayout layout = BuiltLayout(2, kBoardHeight);
  EXPECT_FALSE(MovePanel(layout, 1, {500, 500, 0, 0}, true));
  EXPECT_EQ(layout.panels[1].top, kTemplatePanelHeight);
  EXPECT_TRUE(MovePanel(layout, 1, {-40, 900, 0, 0}, false));
  EXPECT_EQ(layout.panels[1], (Geometry{0, 900, kTemplatePanelWidth, kTemplatePanelHeight}))
      << "kept on the board, its size kept";
  EXPECT_EQ(layout.scrollHeight, 900 + kTemplatePanelHeight);
  EXPECT_FALSE(MovePanel(layout, 5, {1, 1, 0, 0}, false)) << "no such panel";
}

TEST_F(StyleFile, RoundTripsEveryPanelAndTheWindow) {
  BoardLayout layout = BuiltLayout(3, kBoardHeight);
  ASSERT_TRUE(MovePanel(layout, 2, {800, 15, 0, 0}, false));
  ASSERT_TRUE(SaveStyle(file, layout, window));
  EXPECT_NE(Read().find("PortPanel2=Left 800 Top 15 Width 249 Height 129\r\n"), std::string::npos) << Read();

  BoardLayout restored = BuiltLayout(3, kBoardHeight);
  Geometry restoredWindow{0, 0, kDesignedWindowWidth, kDesignedWindowHeight};
  ASSERT_TRUE(RestoreStyle(file, restored, restoredWindow));
  EXPECT_EQ(restored.panels, layout.panels);
  EXPECT_EQ(restored.scrollWidth, 800 + kTemplatePanelWidth);
  EXPECT_EQ(restoredWindow, window);
}

TEST_F(StyleFile, SavingEmptiesTheStyleSectionFirst) {
  Write("[Style]\r\nPortPanel7=Left 1 Top 1 Width 1 Height 1\r\n[Other]\r\nKey=kept\r\n");
  ASSERT_TRUE(SaveStyle(file, BuiltLayout(2, kBoardHeight), window));
  EXPECT_EQ(Read().find("PortPanel7"), std::string::npos) << "a panel that is gone";
  EXPECT_EQ(platform::profile::readString("Other", "Key", "", file), "kept");
}

// Values that do not give four numbers of a panel on the board keep the
// built place for that panel only.
TEST_F(StyleFile, ADamagedValueKeepsTheBuiltPlaceOfItsPanel) {
  const char* damaged[] = {
      "Left 10 Top 20 Width 30",                   // truncated
      "Left 10 Top 20 Width 30 Height",            // a number missing
      "Left 10 Top x Width 30 Height 40",          // not a number
      "Left 10 Top 20 Width 0 Height 40",          // no width
      "Left -5 Top 20 Width 30 Height 40",         // off the board
      "Left 10 Top 20 Width 30 Height 99999",      // beyond it
      "Left 10 Top 20 Width 30 Height 9999999999",  // no int
      "Leftwordtoolong 10 Top 20 Width 30 Height 40",
      "",
      "NUL",
  };
  for (const char* value : damaged) {
    SCOPED_TRACE(value);
    Write(std::string("[Style]\r\nPortPanel0=Left 5 Top 6 Width 7 Height 8\r\nPortPanel1=") + value + "\r\n");
    BoardLayout layout = BuiltLayout(2, kBoardHeight);
    const Geometry built = layout.panels[1];
    ASSERT_TRUE(RestoreStyle(file, layout, window));
    EXPECT_EQ(layout.panels[0], (Geometry{5, 6, 7, 8}));
    EXPECT_EQ(layout.panels[1], built);
  }
}

TEST_F(StyleFile, ParsesFourWordsAndNumbersWhateverTheWords) {
  EXPECT_EQ(ParsePanelLayout("a 1 b 2 c 3 d 4"), (Geometry{1, 2, 3, 4}));
  EXPECT_EQ(ParsePanelLayout("  Left   +12\tTop 0 Width 249 Height 129 trailing"), (Geometry{12, 0, 249, 129}));
  EXPECT_EQ(ParsePanelLayout("Left 1.5 Top 0 Width 249 Height 129"), std::nullopt);
}

TEST_F(StyleFile, AFileWrittenByHandWithCrLfReadsFine) {
  Write("; laid out by hand\r\n[style]\r\n  portpanel1 = Left 300 Top 130 Width 249 Height 129  \r\n"
        "PortPanel0=NULL\r\n[MAIN]\r\nLeft=5\r\nTop = 7\r\nWidth=1200\r\nHeight=900\r\n");
  BoardLayout layout = BuiltLayout(2, kBoardHeight);
  const Geometry built = layout.panels[0];
  ASSERT_TRUE(RestoreStyle(file, layout, window));
  EXPECT_EQ(layout.panels[0], built) << "NULL keeps the built place";
  EXPECT_EQ(layout.panels[1], (Geometry{300, 130, 249, 129}));
  EXPECT_EQ(window, (Geometry{5, 7, 1200, 900}));
}

TEST_F(StyleFile, AKeyForAPanelThatIsGoneIsIgnored) {
  Write("[Style]\r\nPortPanel9=Left 1 Top 2 Width 3 Height 4\r\n");
  BoardLayout layout = BuiltLayout(3, kBoardHeight);
  const BoardLayout built = layout;
  ASSERT_TRUE(RestoreStyle(file, layout, window));
  EXPECT_EQ(layout.panels, built.panels);
}

TEST_F(StyleFile, AMissingFileChangesNothing) {
  BoardLayout layout = BuiltLayout(3, kBoardHeight);
  const BoardLayout built = layout;
  const Geometry designed = window;
  EXPECT_FALSE(RestoreStyle(file, layout, window));
  EXPECT_EQ(layout.panels, built.panels);
  EXPECT_EQ(window, designed);
}

TEST_F(StyleFile, AMissingMainSectionReadsAsItsDefaultsAndABadValueKeepsTheWindow) {
  Write("[Style]\r\n");
  BoardLayout none;
  ASSERT_TRUE(RestoreStyle(file, none, window));
  EXPECT_EQ(window, (Geometry{0, 0, kDefaultMainWidth, kDefaultMainHeight}));

  window = Geometry{10, 20, kDesignedWindowWidth, kDesignedWindowHeight};
  Write("[Main]\r\nLeft=40\r\nTop=abc\r\nWidth=-3\r\nHeight=99999999\r\n");
  ASSERT_TRUE(RestoreStyle(file, none, window));
  EXPECT_EQ(window, (Geometry{40, 0, kDesignedWindowWidth, kDesignedWindowHeight}))
      << "a value without digits reads 0, as the profile gives it";
}

}  // namespace
}  // namespace fleetburn
