#include "probe/jpeg_image.h"

#include <csetjmp>
#include <cstdio>

// libjpeg's header needs size_t and FILE declared before it.
#include <jpeglib.h>

namespace blockprobe {
namespace {

constexpr JDIMENSION kLargestSide = 8192;

// libjpeg's default error handler ends the process; this one jumps back.
struct ErrorManager {
  jpeg_error_mgr base;
  std::jmp_buf jump;
  char message[JMSG_LENGTH_MAX];
};

void jumpBack(j_common_ptr info) {
  auto* manager = reinterpret_cast<ErrorManager*>(info->err);
  (*info->err->format_message)(info, manager->message);
  std::longjmp(manager->jump, 1);
}

void ignoreWarning(j_common_ptr, int) {}

// Every object with a destructor lives outside the function that may longjmp.
bool decodeInto(std::span<const std::uint8_t> data, jpeg_decompress_struct& info, ErrorManager& errors,
                RgbImage& image, std::vector<std::uint8_t>& pixels) {
  info.err = jpeg_std_error(&errors.base);
  errors.base.error_exit = jumpBack;
  errors.base.emit_message = ignoreWarning;
  if (setjmp(errors.jump) != 0) {
    jpeg_destroy_decompress(&info);
    return false;
  }
  jpeg_create_decompress(&info);
  jpeg_mem_src(&info, data.data(), static_cast<unsigned long>(data.size()));
  jpeg_read_header(&info, TRUE);
  if (info.image_width == 0 || info.image_height == 0 || info.image_width > kLargestSide ||
      info.image_height > kLargestSide) {
    std::snprintf(errors.message, sizeof errors.message, "picture of %ux%u pixels refused", info.image_width,
                  info.image_height);
    jpeg_destroy_decompress(&info);
    return false;
  }
  info.out_color_space = JCS_RGB;
  jpeg_start_decompress(&info);
  const std::size_t stride = static_cast<std::size_t>(info.output_width) * 3;
  pixels.assign(stride * info.output_height, 0);
  while (info.output_scanline < info.output_height) {
    JSAMPROW row = pixels.data() + stride * info.output_scanline;
    jpeg_read_scanlines(&info, &row, 1);
  }
  image.width = static_cast<int>(info.output_width);
  image.height = static_cast<int>(info.output_height);
  jpeg_finish_decompress(&info);
  jpeg_destroy_decompress(&info);
  return true;
}

}  // namespace

JpegDecode DecodeJpeg(std::span<const std::uint8_t> data) {
  JpegDecode result;
  if (data.empty()) {
    result.error = "no picture data";
    return result;
  }
  jpeg_decompress_struct info{};
  ErrorManager errors{};
  RgbImage image;
  std::vector<std::uint8_t> pixels;
  if (!decodeInto(data, info, errors, image, pixels)) {
    result.error = errors.message;
    return result;
  }
  image.pixels = std::move(pixels);
  result.image = std::move(image);
  return result;
}

}  // namespace blockprobe
