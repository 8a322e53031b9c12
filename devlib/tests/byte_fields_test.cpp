#include "byte_fields.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace devlib::detail {
namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t kBufferBytes = 8;
constexpr std::uint8_t kUntouched = 0xCC;

enum class Field { Little16, Little32, Big16, Big32 };

struct FieldCase {
  const char* name;
  Field field;
  std::size_t offset;
  std::uint32_t value;
  Bytes bytes;  // what lands at the offset, in buffer order
};

void PrintTo(const FieldCase& c, std::ostream* out) { *out << c.name; }

using Buffer = std::array<std::uint8_t, kBufferBytes>;

Buffer Untouched() {
  Buffer buffer{};
  buffer.fill(kUntouched);
  return buffer;
}

void Put(Field field, std::span<std::uint8_t> buffer, std::size_t offset, std::uint32_t value) {
  switch (field) {
    case Field::Little16: PutLittleEndian16(buffer, offset, static_cast<std::uint16_t>(value)); return;
    case Field::Little32: PutLittleEndian32(buffer, offset, value); return;
    case Field::Big16: PutBigEndian16(buffer, offset, static_cast<std::uint16_t>(value)); return;
    case Field::Big32: PutBigEndian32(buffer, offset, value); return;
  }
}

// None for a field the library only writes.
std::optional<std::uint32_t> Get(Field field, std::span<const std::uint8_t> buffer, std::size_t offset) {
  switch (field) {
    case Field::Little16: return GetLittleEndian16(buffer, offset);
    case Field::Little32: return GetLittleEndian32(buffer, offset);
    case Field::Big32: return GetBigEndian32(buffer, offset);
    case Field::Big16: return std::nullopt;
  }
  return std::nullopt;
}

class ByteFieldTest : public ::testing::TestWithParam<FieldCase> {};

TEST_P(ByteFieldTest, WritesOnlyItsBytesInItsOrderAndReadsThemBack) {
  const FieldCase& c = GetParam();
  Buffer expected = Untouched();
  std::copy(c.bytes.begin(), c.bytes.end(), expected.begin() + static_cast<std::ptrdiff_t>(c.offset));

  Buffer buffer = Untouched();
  Put(c.field, buffer, c.offset, c.value);
  EXPECT_EQ(buffer, expected);

  const std::optional<std::uint32_t> read = Get(c.field, expected, c.offset);
  if (read) {
    EXPECT_EQ(*read, c.value);
  }
}

// Each width and order at the start, at an odd offset and flush with the end.
INSTANTIATE_TEST_SUITE_P(
    Fields, ByteFieldTest,
    ::testing::Values(FieldCase{"Little16AtStart", Field::Little16, 0, 0x1234, {0x34, 0x12}},
                      FieldCase{"Little16AtOdd", Field::Little16, 3, 0xA55A, {0x5A, 0xA5}},
                      FieldCase{"Little16AtEnd", Field::Little16, 6, 0xFF01, {0x01, 0xFF}},
                      FieldCase{"Little32AtStart", Field::Little32, 0, 0x12345678, {0x78, 0x56, 0x34, 0x12}},
                      FieldCase{"Little32AtOdd", Field::Little32, 1, 0xAA550000, {0x00, 0x00, 0x55, 0xAA}},
                      FieldCase{"Little32AtEnd", Field::Little32, 4, 0xF1E2D3C4, {0xC4, 0xD3, 0xE2, 0xF1}},
                      FieldCase{"Big16AtStart", Field::Big16, 0, 0x1234, {0x12, 0x34}},
                      FieldCase{"Big16AtOdd", Field::Big16, 5, 0x00FF, {0x00, 0xFF}},
                      FieldCase{"Big16AtEnd", Field::Big16, 6, 0xFF01, {0xFF, 0x01}},
                      FieldCase{"Big32AtStart", Field::Big32, 0, 0x12345678, {0x12, 0x34, 0x56, 0x78}},
                      FieldCase{"Big32AtOdd", Field::Big32, 3, 0x0000FFFE, {0x00, 0x00, 0xFF, 0xFE}},
                      FieldCase{"Big32AtEnd", Field::Big32, 4, 0xF1E2D3C4, {0xF1, 0xE2, 0xD3, 0xC4}}),
    [](const ::testing::TestParamInfo<FieldCase>& row) { return std::string(row.param.name); });

TEST(PutText, CopiesTheCharactersWithoutTerminatorOrPadding) {
  Buffer buffer = Untouched();
  PutText(buffer, 2, "FAT");
  EXPECT_EQ(buffer, (Buffer{kUntouched, kUntouched, 'F', 'A', 'T', kUntouched, kUntouched, kUntouched}));
}

}  // namespace
}  // namespace devlib::detail
