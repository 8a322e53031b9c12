// The diagram picture decodes; damaged pictures give a reason, never a crash.

#include "probe/jpeg_image.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <vector>

namespace blockprobe {
namespace {

std::vector<std::uint8_t> ShippedDiagram() {
  std::ifstream file(TOLVANE_PROBE_RESOURCES "/erase_count_diagram.jpg", std::ios::binary);
  return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

TEST(DecodeJpegTest, ShippedDiagramDecodesToRgb) {
  const std::vector<std::uint8_t> data = ShippedDiagram();
  ASSERT_FALSE(data.empty());
  const JpegDecode decoded = DecodeJpeg(data);
  ASSERT_TRUE(decoded.image.has_value()) << decoded.error;
  EXPECT_EQ(decoded.image->width, 360);
  EXPECT_EQ(decoded.image->height, 240);
  ASSERT_EQ(decoded.image->pixels.size(), 360u * 240u * 3u);
  // The corner is the white background.
  EXPECT_GT(decoded.image->pixels[0], 240);
}

TEST(DecodeJpegTest, DamagedDataIsRefused) {
  const std::vector<std::uint8_t> whole = ShippedDiagram();
  ASSERT_GT(whole.size(), 64u);
  std::vector<std::uint8_t> noMarker = whole;
  noMarker[0] = 0x00;
  std::vector<std::uint8_t> hugeSize = whole;
  // The frame header's height and width (SOF0: FF C0, length, precision, height, width).
  for (std::size_t i = 0; i + 8 < hugeSize.size(); ++i) {
    if (hugeSize[i] == 0xFF && (hugeSize[i + 1] == 0xC0 || hugeSize[i + 1] == 0xC2)) {
      hugeSize[i + 5] = 0xFF;
      hugeSize[i + 6] = 0xFF;
      break;
    }
  }
  const struct {
    const char* name;
    std::vector<std::uint8_t> data;
  } cases[] = {
      {"empty", {}},
      {"headerOnly", std::vector<std::uint8_t>(whole.begin(), whole.begin() + 20)},
      {"notAJpeg", std::vector<std::uint8_t>(100, 0x42)},
      {"noStartMarker", noMarker},
      {"sizeBeyondTheLimit", hugeSize},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const JpegDecode decoded = DecodeJpeg(c.data);
    EXPECT_FALSE(decoded.image.has_value());
    EXPECT_FALSE(decoded.error.empty());
  }
}

// A picture cut short still decodes (libjpeg fills the missing rows), at its full size.
TEST(DecodeJpegTest, TruncatedPictureKeepsItsSize) {
  std::vector<std::uint8_t> data = ShippedDiagram();
  data.resize(data.size() / 2);
  const JpegDecode decoded = DecodeJpeg(data);
  ASSERT_TRUE(decoded.image.has_value()) << decoded.error;
  EXPECT_EQ(decoded.image->pixels.size(), 360u * 240u * 3u);
}

}  // namespace
}  // namespace blockprobe
