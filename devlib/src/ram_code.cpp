#include "devlib/ram_code.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <fstream>
#include <vector>

#include "byte_fields.h"
#include "devlib/controller_access.h"
#include "devlib/debug_print.h"
#include "platform/paths.h"

namespace devlib {
namespace {

using detail::PutLittleEndian16;
using detail::PutLittleEndian32;

constexpr std::size_t kMagicAt = 0x300;
constexpr std::uint16_t kHeadWord24 = 64;
constexpr std::uint8_t kHalfPageOption = 0x02;

// The count of trailing zero bits; 0 for 0.
std::uint8_t Log2(std::uint32_t value) { return value == 0 ? 0 : static_cast<std::uint8_t>(std::countr_zero(value)); }

int MakerClass(const FlashParams& params) { return params.setting.typeWord >> 12; }

std::uint8_t OptionBitsA(const FlashParams& params) {
  const auto& o = params.firmwareOptions;
  const auto on = [&](std::size_t i) { return o[i] != 0; };
  const int banks = params.setting.banks;
  std::uint8_t bits = 0;
  if (on(0)) bits |= 0x01;
  if (on(1)) bits |= 0x02;
  if (on(2)) bits |= 0x04;
  if (banks > 2 || (banks == 2 && on(3))) bits |= 0x08;
  if (on(4)) bits |= 0x10;
  if (MakerClass(params) == 2 && on(5)) bits |= 0x20;
  if (on(6)) bits |= 0x40;
  if (!on(4) && on(7)) bits |= 0x80;
  return bits;
}

std::uint8_t OptionBitsB(const FlashParams& params) {
  std::uint8_t bits = 0;
  for (std::size_t i = 8; i <= 13; ++i) {
    if (params.firmwareOptions[i] != 0) bits |= static_cast<std::uint8_t>(1u << (i - 8));
  }
  return bits;
}

// The start page of the first download file of the loader header in force.
std::uint16_t FirstFileStartPage(const FlashParams& params) { return params.loaderFileTable.files[0].startPage; }

std::span<std::uint8_t> BlockOf(std::span<std::uint8_t> image) {
  return image.size() < kParamBlockAt + kParamBlockSize ? std::span<std::uint8_t>{}
                                                         : image.subspan(kParamBlockAt, kParamBlockSize);
}

bool IsPatchedImage(std::span<const std::uint8_t> image) {
  return std::memcmp(image.data() + kMagicAt, "GDP_", 4) == 0 || std::memcmp(image.data() + kMagicAt, "TST_", 4) == 0;
}

// The file as the design places it: the two station images beside the
// program, GDP_A.bin in the current directory.
std::filesystem::path ImagePath(std::string_view fileName) {
  if (fileName == "GDP_A.bin") return std::filesystem::path(std::string(fileName));
  return platform::paths::resolve(fileName);
}

// The super-page shift of the firmware geometry block. The search for k ends
// where it could no longer lower the shift (a part without a reserve would
// search for ever); shifts below 0 count as 0.
int SuperPageShift(const FlashParams& params, int banksLog2WithPlanes) {
  const unsigned unit = params.largeUnitFlag != 0 ? 8192 : 4096;
  const unsigned divisor = static_cast<unsigned>(params.setting.channels) << banksLog2WithPlanes;
  const int sa = divisor == 0 ? 0 : Log2(unit / divisor);
  const float reserve = static_cast<float>(params.resPercentage) * 0.001f;
  const int perPlaneLog2 = Log2(params.geometry.halfPlaneBlocks);
  std::uint32_t k = 2;
  int kLog2 = 1;
  while (!(reserve > 1.0f / static_cast<float>(k)) && kLog2 < perPlaneLog2) {
    k *= 2;
    ++kLog2;
  }
  int shift = std::min(sa, std::max(perPlaneLog2 - kLog2, 0));
  if (params.resPercentage >= 68) shift = std::min(shift, std::max(perPlaneLog2 - 4, 0));
  return shift;
}

bool LoadImage(int port, std::span<std::uint8_t> image, std::string_view fileName, std::uint32_t ramAddress) {
  if (!SwitchRunMode(port, kLoaderRunMode, 0)) return false;
  if (!WriteRamCodeImage(port, image, fileName, ramAddress)) return false;
  return RunRamCode(port);
}

}  // namespace

std::uint32_t TableAreaSize(const FlashParams& params, std::uint32_t layoutValue) {
  const std::int64_t b = params.setting.banks;
  const std::int64_t c = params.setting.channels;
  const std::int64_t n = params.geometry.blockValue / 2;
  const std::int64_t p = params.geometry.pagesPerBlock;
  const std::int64_t r = params.resPercentage;
  const std::int64_t w = layoutValue & 0xFFFF;
  const std::int64_t a = b * c;
  const std::int64_t rb = static_cast<std::uint16_t>((r * n) / 1000);
  // A reserve above the whole, or fewer reserve blocks than the tables take,
  // leaves no blocks rather than a negative count that wraps the sum.
  const std::int64_t d = std::max<std::int64_t>(n - rb, 0);
  const std::int64_t m = std::max<std::int64_t>(a * (rb - 3) - w, 0);
  const std::int64_t s1 = a * (8 * n + 5 * d + 5 * rb + 1616);
  const std::int64_t s2 = 160 * m;
  const std::int64_t s3 = 8 * (p * m + 1);
  const std::int64_t s4 = 8 * (a * d + 1);
  const std::uint32_t t = static_cast<std::uint32_t>(s1 + s2 + s3 + s4 + 0x300000);
  std::uint32_t size = (t / 16384 + 1) * 16384;
  const std::uint32_t multiple = params.geometry.sectorsPerPage * 512u * 2u * static_cast<std::uint32_t>(c);
  if (multiple != 0 && size % multiple != 0) size = (size / multiple + 1) * multiple;
  return size;
}

bool FillParamHead(int port, std::span<std::uint8_t> head) {
  const PortIoRecord* record = PortIo(port);
  if (record == nullptr || head.size() < kParamHeadSize) return false;
  const std::shared_ptr<const FlashParams> snapshot = ParamsOfPort(port);
  const FlashParams& params = *snapshot;
  std::fill_n(head.begin(), kParamHeadSize, std::uint8_t{0});
  PutLittleEndian16(head, 0, params.setting.typeWord);
  head[2] = static_cast<std::uint8_t>((params.setting.halfPages != 0 ? 0x02 : 0) |
                                      (params.setting.extraMode != 0 ? 0x20 : 0));
  head[3] = params.setting.channels;
  head[4] = params.setting.banks;
  head[5] = params.setting.eccMode == 2 ? 1 : 0;
  head[6] = params.drvCurrent;
  head[7] = params.setting.layoutByte;
  head[8] = static_cast<std::uint8_t>(params.resPercentage & 0xFF);
  head[9] = OptionBitsA(params);
  head[10] = OptionBitsB(params);
  head[11] = params.setting.chipEnables;
  for (std::size_t i = 0; i < record->loaderBlocks.size(); ++i) {
    PutLittleEndian16(head, 16 + 2 * i, record->loaderBlocks[i]);
  }
  PutLittleEndian16(head, 24, kHeadWord24);
  head[26] = static_cast<std::uint8_t>(params.resPercentage >> 8);
  return true;
}

bool FillRamCodeParams(int port, std::span<std::uint8_t> image) {
  const std::span<std::uint8_t> block = BlockOf(image);
  if (block.empty() || !FillParamHead(port, block)) return false;
  const std::shared_ptr<const FlashParams> params = ParamsOfPort(port);
  block[32] = params->defPercentage;
  std::copy(params->geometry.bankMap.begin(), params->geometry.bankMap.end(), block.begin() + 40);
  for (unsigned i = 0; i < 24; ++i) {
    block[48 + i] = static_cast<std::uint8_t>(2u * params->geometry.sectorsPerPage * i);
  }
  return true;
}

bool FillTableSizeBlock(int port, std::span<std::uint8_t> image, int version) {
  const PortIoRecord* record = PortIo(port);
  const std::span<std::uint8_t> block = BlockOf(image);
  if (record == nullptr || block.empty() || version != 11) return false;
  const std::shared_ptr<const FlashParams> params = ParamsOfPort(port);
  const std::span<std::uint8_t> sizes = block.subspan(kTableSizeBlockAt, 48);
  std::fill(sizes.begin(), sizes.end(), std::uint8_t{0});
  PutLittleEndian32(sizes, 0, TableAreaSize(*params, record->layoutValue));
  PutLittleEndian32(sizes, 4, record->layoutValue);
  PutLittleEndian16(sizes, 8, FirstFileStartPage(*params));
  PutLittleEndian16(sizes, 10, std::clamp<std::uint16_t>(params->dirtyDepth, 10, 40));
  PutLittleEndian16(sizes, 12, params->token13);
  PutLittleEndian16(sizes, 14, params->token14);
  sizes[16] = record->modeByte;
  sizes[17] = params->featureByte;
  return true;
}

bool FillFirmwareParams(int port, std::span<std::uint8_t> page) {
  const std::span<std::uint8_t> block = BlockOf(page);
  if (block.empty() || !FillParamHead(port, block)) return false;
  const std::shared_ptr<const FlashParams> params = ParamsOfPort(port);
  const bool bch24 = params->setting.eccMode == 2;
  block[32] = bch24 ? params->readErrorThresholdBch24 : params->readErrorThresholdBch16;
  block[33] = bch24 ? params->eccCopyThresholdBch24 : params->eccCopyThresholdBch16;
  block[34] = params->wearLevelFrequency;
  block[35] = params->securityCounter;
  block[36] = params->writeProtectByte;
  std::copy(params->geometry.bankMap.begin(), params->geometry.bankMap.end(), block.begin() + 40);
  return true;
}

bool FillFirmwareGeometry(int port, std::span<std::uint8_t> page) {
  const PortIoRecord* record = PortIo(port);
  const std::span<std::uint8_t> block = BlockOf(page);
  if (record == nullptr || block.empty()) return false;
  const std::shared_ptr<const FlashParams> snapshot = ParamsOfPort(port);
  const FlashParams& params = *snapshot;
  const int banksLog2 = Log2(params.setting.banks);
  const int l = banksLog2 + (params.geometry.planes > 1 ? 1 : 0);
  const std::span<std::uint8_t> g = block.subspan(kGeometryBlockAt, kGeometryBlockSize);
  std::fill(g.begin(), g.end(), std::uint8_t{0});
  const std::uint8_t sectorsLog2 = Log2(params.geometry.sectorsPerPage);
  g[0] = Log2(params.setting.channels);
  g[1] = static_cast<std::uint8_t>(l);
  g[2] = 1;
  g[3] = Log2(params.geometry.pagesPerBlock);
  g[4] = Log2(params.geometry.halfPlaneBlocks);
  g[5] = sectorsLog2;
  g[6] = static_cast<std::uint8_t>(SuperPageShift(params, l));
  g[7] = 8;
  g[8] = record->modeByte;
  g[9] = params.token14 != 0 ? 1 : 0;
  g[10] = static_cast<std::uint8_t>(banksLog2);
  g[11] = l + sectorsLog2 >= 7 ? 2 : 1;
  std::copy(params.registerSet1.begin(), params.registerSet1.end(), g.begin() + 16);
  g[23] = params.featureByte;
  std::copy(params.registerSet2.begin(), params.registerSet2.end(), g.begin() + 24);
  const int makerClass = MakerClass(params);
  g[31] = makerClass == 0 || makerClass == 4 ? 0x01
          : makerClass == 1                  ? 0x02
          : makerClass == 2                  ? 0x04
          : makerClass == 3                  ? (params.setting.extraMode != 0 ? 0x04 : 0x02)
                                             : 0x00;
  PutLittleEndian16(g, 32, record->layoutWords[0]);
  PutLittleEndian16(g, 34, record->layoutWords[1]);
  PutLittleEndian16(g, 36, params.resPercentage);
  PutLittleEndian16(g, 38, FirstFileStartPage(params));
  PutLittleEndian16(g, 40, params.token13);
  PutLittleEndian16(g, 42, params.token14);
  PutLittleEndian16(g, 44, record->layoutWords[2]);
  PutLittleEndian16(g, 46, record->layoutWords[3]);
  PutLittleEndian16(g, 48, makerClass == 0 || makerClass == 4 ? 512 : 800);
  PutLittleEndian16(g, 52, static_cast<std::uint16_t>(record->layoutWords[0] - 1));
  return true;
}

bool WriteRamCodeImage(int port, std::span<std::uint8_t> image, std::string_view fileName, std::uint32_t ramAddress) {
  if (image.size() < kRamCodeImageSize || PortIo(port) == nullptr) return false;
  const std::filesystem::path path = ImagePath(fileName);
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    DebugPrint("RAM code %s cannot be opened\n", path.c_str());
    return false;
  }
  std::fill_n(image.begin(), kRamCodeImageSize, kImageFill);
  file.read(reinterpret_cast<char*>(image.data()), static_cast<std::streamsize>(kRamCodeImageSize));
  if (file.gcount() <= 0) {
    DebugPrint("RAM code %s is empty\n", path.c_str());
    return false;
  }
  if (IsPatchedImage(image) && !(FillRamCodeParams(port, image) && FillTableSizeBlock(port, image, 11))) return false;
  if (!WriteRamCode(port, image, kRamCodeSectors, ramAddress)) return false;
  // The controller must hold what was sent before it is started.
  std::vector<std::uint8_t> readBack(kRamCodeImageSize);
  if (!ReadRamCode(port, readBack, kRamCodeSectors, ramAddress)) return false;
  if (!std::equal(readBack.begin(), readBack.end(), image.begin())) {
    DebugPrint("RAM code %s read back differs on port %d\n", path.c_str(), port);
    return false;
  }
  return true;
}

bool LoadRamCode(int port, std::span<std::uint8_t> image, std::uint8_t& optionByte, std::uint32_t ramAddress) {
  optionByte = 0;
  if (!LoadImage(port, image, "GDP.bin", ramAddress)) return false;
  if (ParamsOfPort(port)->setting.halfPages != 0) optionByte = kHalfPageOption;
  return true;
}

bool LoadTestRamCode(int port, std::span<std::uint8_t> image, std::uint32_t ramAddress) {
  return LoadImage(port, image, "satatest.bin", ramAddress);
}

bool LoadRamCodeA(int port, std::span<std::uint8_t> image, std::uint8_t& optionByte, std::uint32_t ramAddress) {
  optionByte = 0;
  if (!LoadImage(port, image, "GDP_A.bin", ramAddress)) return false;
  if (ParamsOfPort(port)->setting.halfPages != 0) optionByte = kHalfPageOption;
  return true;
}

}  // namespace devlib
