#pragma once
// The per-port work buffers: the large buffers that the operations of one
// port read tables, pages and erase counts into, and the failure-detail texts
// that the test items of the port leave behind.
//
// A port's buffers are mapped as zero pages that take memory only where they
// are written, so a table of 50 ports costs nothing until its ports work:
// the programs map every port's at start-up (AllocPortBuffers), and a port
// whose buffers are not mapped yet gets them the first time it asks. They
// live as long as someone holds them: freeing a port drops the table's hold,
// and the memory goes back when the last holder lets go. Each port has its
// own buffers; any number of workers may ask for their own ports' buffers at
// once.

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "devlib/port_io.h"

namespace devlib {

inline constexpr std::size_t kWorkBuffer1Size = 64 * 1024;
inline constexpr std::size_t kWorkBuffer2Size = 64 * 1024;        // bad-block tables
inline constexpr std::size_t kWorkBuffer3Size = 4 * 1024 * 1024;  // later-table pages
inline constexpr std::size_t kWorkBuffer4Size = 8 * 1024 * 1024;  // erase counts, 128 slots of 64 KiB
inline constexpr std::size_t kExtraBufferSize = 64 * 1024;        // Blockprobe's fifth buffer

// Failure details: two tables, each with one 2 048-byte text per error code
// 0..58 (the item numbers of the test item table and the codes set outside
// the items).
enum class DetailTable { First = 0, Second = 1 };
inline constexpr int kDetailTableCount = 2;
inline constexpr int kErrorCodeCount = 59;
inline constexpr std::size_t kErrorDetailSize = 2048;

class PortBuffers {
 public:
  // Maps one port's buffers: four work buffers, Blockprobe's fifth and the
  // detail texts, all zero. Nothing when the memory cannot be had.
  static std::shared_ptr<PortBuffers> Create(ProgramKind kind);

  ~PortBuffers();
  PortBuffers(const PortBuffers&) = delete;
  PortBuffers& operator=(const PortBuffers&) = delete;

  std::span<std::uint8_t> workBuffer1() { return workBuffer1_; }
  std::span<std::uint8_t> workBuffer2() { return workBuffer2_; }
  std::span<std::uint8_t> workBuffer3() { return workBuffer3_; }
  std::span<std::uint8_t> workBuffer4() { return workBuffer4_; }
  // Blockprobe's fifth buffer; empty in Fleetburn.
  std::span<std::uint8_t> extraBuffer() { return extraBuffer_; }

  // The failure-detail tables: the detail text of an error code in one of
  // the two; empty for a code outside 0..58.
  std::span<std::uint8_t> PortErrorBuffers(DetailTable table, int code);

  ProgramKind kind() const { return kind_; }
  std::size_t mappedBytes() const { return length_; }

 private:
  PortBuffers(ProgramKind kind, std::uint8_t* base, std::size_t length);

  ProgramKind kind_;
  std::uint8_t* base_;
  std::size_t length_;
  std::span<std::uint8_t> workBuffer1_, workBuffer2_, workBuffer3_, workBuffer4_, extraBuffer_;
  std::span<std::uint8_t> details_;
};

// Maps the buffers of every port of the port table in force, in the layout
// of its program kind, and lets go of those the table holds beyond its ports
// or in the other program's layout. Called once at start-up. False when some
// port's buffers cannot be mapped; that port tries again when it first asks.
bool AllocPortBuffers();

// The buffers of a port of the port table in force, mapped on the first call
// for the port when AllocPortBuffers did not (in the layout of the table's
// program kind). Nothing for an index outside the table or when the memory
// cannot be had.
std::shared_ptr<PortBuffers> PortBuffersOf(int port);

// The port's buffers when they have been mapped; never maps them.
std::shared_ptr<PortBuffers> MappedPortBuffers(int port);

// Drops the table's hold on one port's buffers, or on every port's.
void FreePortBuffers(int port);
void FreePortBuffers();

// What of a detail the failure form shows as a flash page: the page's bytes
// stored from byte 2 on, cut where the detail ends.
inline constexpr std::size_t kDetailPageOffset = 2;
std::span<const std::uint8_t> DetailPageBytes(std::span<const std::uint8_t> detail, std::size_t pageBytes);

}  // namespace devlib
