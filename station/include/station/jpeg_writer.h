#pragma once
// JPEG pictures of the station's window captures, through libjpeg.

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>

namespace fleetburn {

inline constexpr int kJpegQuality = 75;  // the encoder's default

// Writes a `width` x `height` picture of 8-bit RGB pixels, row by row.
// False, with the reason in `error` and no file left behind, when the
// picture is empty or does not match its size, or the file cannot be written.
bool WriteJpegFile(const std::filesystem::path& file, std::span<const std::uint8_t> rgb, int width, int height,
                   std::string& error);

}  // namespace fleetburn
