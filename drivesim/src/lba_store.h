#pragma once
// The drive's user data, kept sparse in chunks of 128 sectors (64 KiB): a
// chunk never written reads as zeros, and a chunk written whole with 0xFF
// bytes is kept as a mark in a run of such chunks, so that erasing a whole
// drive costs no memory. Other chunks hold their bytes and which of their
// sectors were written.
//
// Faults of the medium: a read error or a write fault at chosen LBAs, and
// sectors of which one word reads back changed (the store keeps them intact).
//
// With an image file the bytes live there instead, at their LBA's offset, so
// that standard tools can read the drive's data; the file is made sparse and
// grown to the drive's size, never cut. Chunks written whole with 0xFF are
// still kept as marks: their place in the file becomes a hole (zeros).

#include <bitset>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "drivesim/config.h"

namespace drivesim::detail {

inline constexpr std::size_t kSectorBytes = 512;

class LbaStore {
 public:
  static constexpr std::size_t kChunkSectors = 128;
  static constexpr std::size_t kChunkBytes = kChunkSectors * kSectorBytes;

  explicit LbaStore(const DriveConfig& config);
  ~LbaStore();
  LbaStore(const LbaStore&) = delete;
  LbaStore& operator=(const LbaStore&) = delete;

  // Why the image file cannot hold the data; empty when it can, or when the
  // data stays in memory. While it is set every host read and write fails.
  const std::string& imageError() const { return imageError_; }

  // A host read; `out` holds whole sectors. On a read error nothing is
  // copied and the failing LBA comes back.
  std::optional<std::uint64_t> read(std::uint64_t lba, std::span<std::uint8_t> out) const;
  // What the medium holds, without the faults.
  void readStored(std::uint64_t lba, std::span<std::uint8_t> out) const;
  // A host write of whole sectors. On a write fault nothing is stored and the
  // failing LBA comes back.
  std::optional<std::uint64_t> write(std::uint64_t lba, std::span<const std::uint8_t> in);

  std::size_t storedSectors() const;  // sectors ever written
  std::size_t heldDataBytes() const { return fileBacked() ? 0 : chunks_.size() * kChunkBytes; }

 private:
  struct DataChunk {
    std::vector<std::uint8_t> bytes;
    std::bitset<kChunkSectors> written;
  };

  bool fileBacked() const { return imageFd_ >= 0 || !imageError_.empty(); }
  void openImage(const std::string& file);
  bool readAll(std::uint64_t lba, std::span<std::uint8_t> out) const;
  bool loadPiece(std::uint64_t chunk, std::size_t firstSector, std::span<std::uint8_t> part) const;
  bool putInFile(std::uint64_t chunk, std::size_t firstSector, std::span<const std::uint8_t> part);
  bool inOnesRun(std::uint64_t chunk) const;
  void addOnesChunk(std::uint64_t chunk);
  void removeOnesChunk(std::uint64_t chunk);
  DataChunk* materialise(std::uint64_t chunk);
  bool storeInChunk(std::uint64_t chunk, std::size_t firstSector, std::span<const std::uint8_t> part);

  std::uint64_t sectorCount_;
  int imageFd_ = -1;
  std::string imageError_;

  std::vector<std::uint64_t> readErrors_;
  std::vector<std::uint64_t> writeErrors_;
  std::vector<SectorCorruption> corruptions_;
  std::map<std::uint64_t, std::uint64_t> onesRuns_;  // first chunk -> last chunk of a run written all 0xFF
  std::unordered_map<std::uint64_t, DataChunk> chunks_;
};

}  // namespace drivesim::detail
