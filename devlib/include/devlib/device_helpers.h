#pragma once
// Small helpers of the library: the product model code that names firmware
// files, file checks, serial number stepping and text helpers.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "devlib/flash_params.h"

namespace devlib {

// Writes characters 4..7 of `text` (at least 8 characters): 'S', the flash
// class letter, the geometry letter and the channel/bank layout letter of the
// part in `params`. A letter whose table has no matching row is left as it was.
bool BuildProductModelCode(std::span<char> text, const FlashParams& params);

// `length` bytes at `offset`; nothing when the file cannot be opened or ends
// before them.
std::optional<std::string> ReadFileBytes(const std::filesystem::path& file, std::uint64_t offset, std::size_t length);

// True when the byte before the last is 0xA5 and all the other bytes sum to 0
// modulo 256; false for a file that cannot be read or is shorter than 2 bytes.
bool CheckBinFileSum(const std::filesystem::path& file);

// Step a serial number held in `text` (up to its first NUL or LF) by one, in
// place: hexadecimal (upper-cased first; F carries) or decimal (9 carries). A
// character that is no digit becomes '0' and stops the carry; all-F or all-9
// wraps to zeros.
void IncrementHexSerial(std::span<char> text);
void IncrementDecimalSerial(std::span<char> text);

// Characters before the first NUL or LF.
std::size_t LineLength(std::string_view text);

// 0..15 for a hexadecimal digit; any other character gives (c - '0') kept to 8 bits.
std::uint8_t HexDigitValue(char c);

// (byte + index) XOR 0xFF, kept to 8 bits.
std::uint8_t EncodeKeyByte(std::uint8_t byte, int index);

}  // namespace devlib
