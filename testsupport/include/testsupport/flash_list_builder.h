#pragma once
// Flash part list files for tests, built from parts stated as geometry, so
// that a test says "16 sectors per page, 2 planes" instead of a type word.
//
//   FlashListBuilder list;
//   list.vendor("VendorA").part({.uni = "TVA", .part = "TV64G2A", .sectorsPerPage = 16, ...});
//   list.writeTo(directory / "Flash.ini");

#include <array>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace testsupport {

struct FlashPartSpec {
  std::string uni{};
  std::string part{};
  int sectorsPerPage = 8;   // 4, 8 or 16
  int pagesPerBlock = 128;  // 64, 128, 256 or 512
  int blocks = 4096;        // 1024, 2048, 4096, 8192 or 16384
  int planes = 1;           // 1, 2, 4 or 8
  bool mlc = false;
  int makerClass = 1;  // 0 Micron, 1 Samsung, 2 Toshiba, 3 Hynix, 4 Intel, 5 Mira
  int chipEnables = 1;
  int eccMode = 1;
  std::array<int, 5> flashId{};
  int firmwareOption7 = 0;  // token 11 bits 0-7
  bool halfPages = false;   // token 11 bits 16-23
  int extraMode = 0;        // token 12
  int option13 = 0;
  int dieOffset = 0;
  int option15 = 0;
  // A type word written as it stands, for sizes the geometry fields cannot say.
  std::optional<std::uint32_t> rawTypeWord{};
  std::string trailingTokens{};  // written after the 15 tokens
};

namespace flash_list_detail {

inline int IndexOf(std::string_view what, int value, std::initializer_list<int> values) {
  int index = 0;
  for (const int candidate : values) {
    if (candidate == value) return index;
    ++index;
  }
  throw std::invalid_argument(std::string(what) + " " + std::to_string(value) + " has no type word index");
}

}  // namespace flash_list_detail

inline std::uint16_t FlashTypeWordOf(int sectorsPerPage, int pagesPerBlock, int blocks, int planes, bool mlc,
                                     int makerClass) {
  using flash_list_detail::IndexOf;
  const int word = IndexOf("sectors per page", sectorsPerPage, {4, 8, 16}) |
                   (IndexOf("pages per block", pagesPerBlock, {64, 128, 256, 512}) << 3) |
                   (IndexOf("blocks", blocks, {2048, 4096, 8192, 16384, 1024}) << 6) |
                   (IndexOf("planes", planes, {1, 2, 4, 8}) << 9) | ((mlc ? 1 : 0) << 11) | ((makerClass & 0xF) << 12);
  return static_cast<std::uint16_t>(word);
}

inline std::uint32_t FlashTypeWordOf(const FlashPartSpec& spec) {
  if (spec.rawTypeWord) return *spec.rawTypeWord;
  return FlashTypeWordOf(spec.sectorsPerPage, spec.pagesPerBlock, spec.blocks, spec.planes, spec.mlc, spec.makerClass);
}

// The record text: uni part typeWord ce ecc id0..id4 opt11 opt12 opt13 dieOffset opt15.
inline std::string FlashRecord(const FlashPartSpec& spec) {
  std::string text = spec.uni + " " + spec.part + " " + std::to_string(FlashTypeWordOf(spec)) + " " +
                     std::to_string(spec.chipEnables) + " " + std::to_string(spec.eccMode);
  for (const int id : spec.flashId) text += " " + std::to_string(id);
  const long option11 = (spec.firmwareOption7 & 0xFF) | (spec.halfPages ? 1L << 16 : 0L);
  text += " " + std::to_string(option11) + " " + std::to_string(spec.extraMode) + " " + std::to_string(spec.option13) +
          " " + std::to_string(spec.dieOffset) + " " + std::to_string(spec.option15);
  if (!spec.trailingTokens.empty()) text += " " + spec.trailingTokens;
  return text;
}

class FlashListBuilder {
 public:
  // A vendor listed in [Vendor]; with `ownSection` false its section is left out.
  FlashListBuilder& vendor(std::string name, bool ownSection = true) {
    vendors_.push_back(Vendor{std::move(name), ownSection, {}});
    return *this;
  }
  // Parts and records go to the vendor added last.
  FlashListBuilder& part(const FlashPartSpec& spec) { return record(FlashRecord(spec)); }
  FlashListBuilder& record(std::string text) {
    if (vendors_.empty()) throw std::logic_error("a part needs a vendor first");
    vendors_.back().records.push_back(std::move(text));
    return *this;
  }
  // Whether each list ends with a "NameNN=No" key (else it just stops).
  FlashListBuilder& endMarkers(bool on) {
    endMarkers_ = on;
    return *this;
  }

  std::string text(std::string_view lineEnd = "\r\n") const {
    std::string out;
    const auto line = [&](const std::string& content) { out += content + std::string(lineEnd); };
    line("[Vendor]");
    for (std::size_t i = 0; i < vendors_.size(); ++i) line(Key(i) + "=" + vendors_[i].name);
    if (endMarkers_) line(Key(vendors_.size()) + "=No");
    for (const Vendor& v : vendors_) {
      if (!v.ownSection) continue;
      line("");
      line("[" + v.name + "]");
      for (std::size_t i = 0; i < v.records.size(); ++i) line(Key(i) + "=" + v.records[i]);
      if (endMarkers_) line(Key(v.records.size()) + "=No");
    }
    return out;
  }

  void writeTo(const std::filesystem::path& file, std::string_view lineEnd = "\r\n") const {
    std::ofstream stream(file, std::ios::binary | std::ios::trunc);
    const std::string content = text(lineEnd);
    stream.write(content.data(), static_cast<std::streamsize>(content.size()));
    if (!stream.flush()) throw std::runtime_error("cannot write " + file.string());
  }

 private:
  struct Vendor {
    std::string name;
    bool ownSection = true;
    std::vector<std::string> records;
  };

  static std::string Key(std::size_t index) {
    std::string number = std::to_string(index);
    if (number.size() < 2) number.insert(0, "0");
    return "Name" + number;
  }

  std::vector<Vendor> vendors_;
  bool endMarkers_ = true;
};

}  // namespace testsupport
