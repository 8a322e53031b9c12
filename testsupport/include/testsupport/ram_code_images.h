#pragma once
// Synthetic RAM code images for tests (the real ones are not ours to ship):
// 0xFC00 bytes of a counting pattern with the magic at 0x300 and a tag at
// 0x304, valid or damaged, written where the programs look for them.

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

namespace testsupport {

inline constexpr std::size_t kRamCodeImageBytes = 0xFC00;

inline std::vector<std::uint8_t> RamCodeImageBytes(std::string_view magic, std::string_view tag,
                                                   std::size_t size = kRamCodeImageBytes) {
  std::vector<std::uint8_t> image(kRamCodeImageBytes);
  for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<std::uint8_t>(i * 7 + 3);
  for (std::size_t i = 0; i < 4 && i < magic.size(); ++i) image[0x300 + i] = static_cast<std::uint8_t>(magic[i]);
  for (std::size_t i = 0; i < 6; ++i) image[0x304 + i] = i < tag.size() ? static_cast<std::uint8_t>(tag[i]) : 0;
  image.resize(size, 0x5C);
  return image;
}

inline void WriteImageFile(const std::filesystem::path& file, const std::vector<std::uint8_t>& bytes) {
  std::ofstream(file, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// GDP.bin and satatest.bin into `programDirectory`, GDP_A.bin into `currentDirectory`.
inline void WriteRamCodeImages(const std::filesystem::path& programDirectory,
                               const std::filesystem::path& currentDirectory) {
  WriteImageFile(programDirectory / "GDP.bin", RamCodeImageBytes("GDP_", "GDP110"));
  WriteImageFile(programDirectory / "satatest.bin", RamCodeImageBytes("TST_", "TST110"));
  WriteImageFile(currentDirectory / "GDP_A.bin", RamCodeImageBytes("GDP_", "GDP_A"));
}

}  // namespace testsupport
