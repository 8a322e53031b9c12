// The capture's JPEG pictures: what is written decodes to the picture given,
// and a picture that cannot be written leaves no file.

#include <gtest/gtest.h>

#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <jpeglib.h>
#include <unistd.h>

#include "station/jpeg_writer.h"

namespace fleetburn {
namespace {

namespace fs = std::filesystem;

struct Decoded {
  int width = 0, height = 0;
  std::vector<std::uint8_t> rgb;
};

Decoded Decode(const fs::path& file) {
  Decoded picture;
  std::FILE* in = std::fopen(file.c_str(), "rb");
  if (in == nullptr) return picture;
  jpeg_decompress_struct info{};
  jpeg_error_mgr errors{};
  info.err = jpeg_std_error(&errors);
  jpeg_create_decompress(&info);
  jpeg_stdio_src(&info, in);
  jpeg_read_header(&info, TRUE);
  info.out_color_space = JCS_RGB;
  jpeg_start_decompress(&info);
  picture.width = static_cast<int>(info.output_width);
  picture.height = static_cast<int>(info.output_height);
  picture.rgb.resize(static_cast<std::size_t>(picture.width) * static_cast<std::size_t>(picture.height) * 3);
  while (info.output_scanline < info.output_height) {
    JSAMPLE* row = picture.rgb.data() + static_cast<std::size_t>(info.output_scanline) * picture.width * 3;
    jpeg_read_scanlines(&info, &row, 1);
  }
  jpeg_finish_decompress(&info);
  jpeg_destroy_decompress(&info);
  std::fclose(in);
  return picture;
}

class JpegWriter : public ::testing::Test {
 protected:
  void SetUp() override {
    directory = fs::temp_directory_path() / ("jpeg-writer-" + std::to_string(::getpid()));
    fs::create_directories(directory);
  }
  void TearDown() override { fs::remove_all(directory); }
  fs::path directory;
};

TEST_F(JpegWriter, APictureComesBackAsItWasGivenWithinTheCompressionsError) {
  // Two colour blocks side by side: red on the left, lime on the right.
  const int width = 48, height = 16;
  std::vector<std::uint8_t> rgb(static_cast<std::size_t>(width * height * 3));
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      std::uint8_t* pixel = &rgb[static_cast<std::size_t>((y * width + x) * 3)];
      pixel[0] = x < width / 2 ? 255 : 0;
      pixel[1] = x < width / 2 ? 0 : 255;
      pixel[2] = 0;
    }
  }
  std::string error;
  const fs::path file = directory / "Image_1211093000.jpg";
  ASSERT_TRUE(WriteJpegFile(file, rgb, width, height, error)) << error;
  const Decoded picture = Decode(file);
  ASSERT_EQ(picture.width, width);
  ASSERT_EQ(picture.height, height);
  for (const int x : {2, width - 3}) {
    SCOPED_TRACE(x);
    const std::uint8_t* pixel = &picture.rgb[static_cast<std::size_t>((8 * width + x) * 3)];
    const std::uint8_t* given = &rgb[static_cast<std::size_t>((8 * width + x) * 3)];
    for (int c = 0; c < 3; ++c) EXPECT_LE(std::abs(pixel[c] - given[c]), 24) << "channel " << c;
  }
}

TEST_F(JpegWriter, APictureThatCannotBeWrittenLeavesNoFile) {
  std::string error;
  const std::vector<std::uint8_t> pixel(3, 0x80);
  EXPECT_FALSE(WriteJpegFile(directory / "empty.jpg", {}, 0, 0, error));
  EXPECT_FALSE(WriteJpegFile(directory / "short.jpg", pixel, 2, 1, error));
  EXPECT_FALSE(WriteJpegFile(directory / "missing" / "a.jpg", pixel, 1, 1, error));
  EXPECT_FALSE(error.empty());
  EXPECT_TRUE(fs::is_empty(directory));
}

}  // namespace
}  // namespace fleetburn
