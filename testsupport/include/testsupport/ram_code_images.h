#pragma once
// Synthetic RAM code images for tests (the real ones are not ours to ship):
// 0xFC00 bytes of a counting pattern with the magic at 0x300 and a tag at
// 0x304, valid or damaged, written where the programs look for them.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

namespace testsupport {

inline constexpr std::size_t kRamCodeImageBytes = 0xFC00;
inline constexpr std::size_t kRamCodeMagicAt = 0x300;
inline constexpr std::size_t kRamCodeTagAt = 0x304;
inline constexpr std::size_t kRamCodeTagBytes = 6;
inline constexpr std::uint8_t kRamCodeOverrunFill = 0x5C;  // bytes past 0xFC00 of a long image

// The magic and tag of each image, as the emulated controller tells them apart.
inline constexpr std::string_view kGdpMagic = "GDP_";
inline constexpr std::string_view kTestMagic = "TST_";
inline constexpr std::string_view kGdpTag = "GDP110";
inline constexpr std::string_view kTestTag = "TST110";
inline constexpr std::string_view kGdpATag = "GDP_A";

// `size` bytes: the pattern up to 0xFC00, then the overrun fill.
inline std::vector<std::uint8_t> RamCodeImageBytes(std::string_view magic, std::string_view tag,
                                                   std::size_t size = kRamCodeImageBytes) {
  std::vector<std::uint8_t> image(kRamCodeImageBytes);
  for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<std::uint8_t>(i * 7 + 3);
  for (std::size_t i = 0; i < 4 && i < magic.size(); ++i) {
    image[kRamCodeMagicAt + i] = static_cast<std::uint8_t>(magic[i]);
  }
  for (std::size_t i = 0; i < kRamCodeTagBytes; ++i) {
    image[kRamCodeTagAt + i] = i < tag.size() ? static_cast<std::uint8_t>(tag[i]) : 0;
  }
  image.resize(size, kRamCodeOverrunFill);
  return image;
}

enum class ImageDamage {
  Short,       // 40 000 bytes: magic and parameter block there, the tail missing
  Long,        // 1 KiB more than an image holds
  WrongMagic,  // "GDQ_" at 0x300
  ZeroTag,     // the tag text empty (byte 0x304 is 0)
  Truncated,   // ends before the magic
  Empty,       // no bytes at all
};
inline constexpr std::size_t kShortImageBytes = 40000;
inline constexpr std::size_t kLongImageBytes = kRamCodeImageBytes + 0x400;
inline constexpr std::size_t kTruncatedImageBytes = 0x2F0;

inline const char* ImageDamageName(ImageDamage damage) {
  switch (damage) {
    case ImageDamage::Short: return "Short";
    case ImageDamage::Long: return "Long";
    case ImageDamage::WrongMagic: return "WrongMagic";
    case ImageDamage::ZeroTag: return "ZeroTag";
    case ImageDamage::Truncated: return "Truncated";
    case ImageDamage::Empty: return "Empty";
  }
  return "?";
}

// The image of `magic` and `tag`, damaged as `damage` says.
inline std::vector<std::uint8_t> DamagedRamCodeImage(ImageDamage damage, std::string_view magic = kGdpMagic,
                                                     std::string_view tag = kGdpTag) {
  switch (damage) {
    case ImageDamage::Short: return RamCodeImageBytes(magic, tag, kShortImageBytes);
    case ImageDamage::Long: return RamCodeImageBytes(magic, tag, kLongImageBytes);
    case ImageDamage::WrongMagic: return RamCodeImageBytes("GDQ_", tag);
    case ImageDamage::ZeroTag: return RamCodeImageBytes(magic, "");
    case ImageDamage::Truncated: return RamCodeImageBytes(magic, tag, kTruncatedImageBytes);
    case ImageDamage::Empty: return {};
  }
  return {};
}

inline void WriteImageFile(const std::filesystem::path& file, const std::vector<std::uint8_t>& bytes) {
  std::ofstream(file, std::ios::binary | std::ios::trunc)
      .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// GDP.bin and satatest.bin into `programDirectory`, GDP_A.bin into `currentDirectory`.
inline void WriteRamCodeImages(const std::filesystem::path& programDirectory,
                               const std::filesystem::path& currentDirectory) {
  WriteImageFile(programDirectory / "GDP.bin", RamCodeImageBytes(kGdpMagic, kGdpTag));
  WriteImageFile(programDirectory / "satatest.bin", RamCodeImageBytes(kTestMagic, kTestTag));
  WriteImageFile(currentDirectory / "GDP_A.bin", RamCodeImageBytes(kGdpMagic, kGdpATag));
}

// All three into one directory (a test that runs there as the current one).
inline void WriteRamCodeImages(const std::filesystem::path& directory) { WriteRamCodeImages(directory, directory); }

}  // namespace testsupport
