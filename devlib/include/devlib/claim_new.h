#pragma once
// The loader block check and the two short RAM-code operations of the
// station's repair modes: the rebuild (operation 4) and the init operation
// (operation 1).

#include <cstdint>
#include <span>

namespace devlib {

// "GDP.bin", then the RAM code's loader list: the port record gets the
// distinct loader blocks the list names (up to its 0xFFFF end) first, in
// list order, and 0xFFFF in the places left. True when there are four; otherwise the RAM code's error block is
// read into `buffer` (at least the 0xFC00 bytes of an image).
bool CheckLoaderBlocks(int port, std::span<std::uint8_t> buffer, std::uint32_t ramAddress);

// The loader block check, "GDP_A.bin" (with `a2b`) or "GDP.bin", then
// operation 4 polled to its end: true on final status 18.
bool RebuildDevice(int port, std::span<std::uint8_t> buffer, std::uint32_t ramAddress, bool a2b);

// "GDP.bin", then operation 1 with the load's option byte | `optionBits`,
// read once: true on status 14 (still busy is a failure).
bool RunInitOperation(int port, std::span<std::uint8_t> buffer, std::uint8_t optionBits, std::uint32_t ramAddress);

}  // namespace devlib
