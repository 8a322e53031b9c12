#include "station/jpeg_writer.h"

#include <csetjmp>
#include <cstdio>
#include <memory>
#include <system_error>
#include <vector>

// libjpeg's header needs size_t and FILE declared before it.
#include <jpeglib.h>

namespace fleetburn {
namespace {

constexpr int kLargestSide = 65500;  // JPEG's own bound

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

// Every object with a destructor lives outside the function that may longjmp.
bool encodeInto(std::FILE* out, std::span<const std::uint8_t> rgb, int width, int height, jpeg_compress_struct& info,
                ErrorManager& errors) {
  info.err = jpeg_std_error(&errors.base);
  errors.base.error_exit = jumpBack;
  if (setjmp(errors.jump) != 0) {
    jpeg_destroy_compress(&info);
    return false;
  }
  jpeg_create_compress(&info);
  jpeg_stdio_dest(&info, out);
  info.image_width = static_cast<JDIMENSION>(width);
  info.image_height = static_cast<JDIMENSION>(height);
  info.input_components = 3;
  info.in_color_space = JCS_RGB;
  jpeg_set_defaults(&info);
  jpeg_set_quality(&info, kJpegQuality, TRUE);
  jpeg_start_compress(&info, TRUE);
  const std::size_t stride = static_cast<std::size_t>(width) * 3;
  while (info.next_scanline < info.image_height) {
    // libjpeg reads the row; its signature predates const.
    auto* row = const_cast<JSAMPLE*>(rgb.data() + static_cast<std::size_t>(info.next_scanline) * stride);
    jpeg_write_scanlines(&info, &row, 1);
  }
  jpeg_finish_compress(&info);
  jpeg_destroy_compress(&info);
  return true;
}

}  // namespace

bool WriteJpegFile(const std::filesystem::path& file, std::span<const std::uint8_t> rgb, int width, int height,
                   std::string& error) {
  if (width <= 0 || height <= 0 || width > kLargestSide || height > kLargestSide ||
      rgb.size() != static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 3) {
    error = "the picture is empty or does not match its size";
    return false;
  }
  std::FILE* out = std::fopen(file.c_str(), "wb");
  if (out == nullptr) {
    error = std::error_code(errno, std::generic_category()).message();
    return false;
  }
  jpeg_compress_struct info{};
  ErrorManager errors{};
  const bool encoded = encodeInto(out, rgb, width, height, info, errors);
  const bool closed = std::fclose(out) == 0;
  if (encoded && closed) return true;
  error = encoded ? "the file could not be written" : errors.message;
  std::error_code ignored;
  std::filesystem::remove(file, ignored);
  return false;
}

}  // namespace fleetburn
