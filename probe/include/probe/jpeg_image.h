#pragma once
// JPEG pictures decoded with libjpeg into 8-bit RGB.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace blockprobe {

struct RgbImage {
  int width = 0;
  int height = 0;
  std::vector<std::uint8_t> pixels;  // rows top to bottom, three bytes a pixel
};

struct JpegDecode {
  std::optional<RgbImage> image{};  // nothing when the data is no JPEG picture
  std::string error{};              // libjpeg's reason
};

// Refuses pictures beyond 8192 pixels a side, so damaged sizes cannot ask for
// huge buffers.
JpegDecode DecodeJpeg(std::span<const std::uint8_t> data);

}  // namespace blockprobe
