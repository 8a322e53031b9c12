// The main window's caption for each kind of OEM brand.

#include "probe/window_text.h"

#include <gtest/gtest.h>

namespace blockprobe {
namespace {

TEST(MainWindowCaptionTest, FollowsTheBrand) {
  const struct {
    const char* brand;
    const char* caption;
    bool brandOnly;
  } cases[] = {
      {"", "Tolvane A4x Utility B.1.18", false},
      {"Marlowen", "Marlowen Quenfar Utility B.1.18", true},
      {"Acme", "Tolvane A4x Utility B.1.18 Acme", false},
      {"marlowen", "Tolvane A4x Utility B.1.18 marlowen", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.brand);
    EXPECT_EQ(MainWindowCaption(c.brand), c.caption);
    EXPECT_EQ(IsBrandWord(c.brand), c.brandOnly);
  }
}

}  // namespace
}  // namespace blockprobe
