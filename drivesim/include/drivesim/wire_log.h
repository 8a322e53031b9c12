#pragma once
// What each layer of an emulated drive received, in arrival order.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "platform/storage.h"

namespace drivesim {

enum class Layer { Scsi, Ata, Bridge, Tunnel, Controller };

struct WireEntry {
  Layer layer = Layer::Scsi;
  // Scsi, Bridge: the CDB. Ata: features, count, LBA low, mid, high, device,
  // command, then for a 48-bit command the same seven of the high-order set.
  // Tunnel, Controller: the 12-byte vendor block.
  std::vector<std::uint8_t> command;
  platform::storage::Direction direction = platform::storage::Direction::None;
  bool dma = false;
  std::size_t length = 0;              // bytes of the data phase
  std::vector<std::uint8_t> dataOut;   // what the host sent
  std::string note;                    // what the layer did with it
};

// The log is bounded, so that a whole-drive erase or a long run cannot fill
// memory: past a number of entries the oldest go; past a number of data-out
// bytes the oldest entries let go of their payload (their command and length
// stay). Tests read what they caused right after causing it.
class WireLog {
 public:
  static constexpr std::size_t kMaxEntries = 65536;
  static constexpr std::size_t kMaxDataOutBytes = 16u << 20;

  std::vector<WireEntry> entries() const;
  std::vector<WireEntry> entries(Layer layer) const;
  void clear();

  // Appends an entry and returns its id, under which the layer adds its note
  // once it knows what it did.
  std::uint64_t record(WireEntry entry);
  void annotate(std::uint64_t id, std::string note);

 private:
  mutable std::mutex mutex_;
  std::deque<WireEntry> entries_;
  std::size_t dataOutBytes_ = 0;  // held in entries_
  std::uint64_t firstId_ = 0;     // id of entries_[0]
  std::uint64_t firstPayloadId_ = 0;  // entries before this id hold no payload
};

}  // namespace drivesim
