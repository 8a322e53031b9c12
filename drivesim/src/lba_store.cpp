#include "lba_store.h"

#include <algorithm>
#include <iterator>

namespace drivesim::detail {
namespace {

constexpr std::uint8_t kOnes = 0xff;

bool allOnes(std::span<const std::uint8_t> bytes) {
  return std::all_of(bytes.begin(), bytes.end(), [](std::uint8_t b) { return b == kOnes; });
}

// The first of `lbas` inside [lba, lba + sectors), if any.
std::optional<std::uint64_t> firstIn(const std::vector<std::uint64_t>& lbas, std::uint64_t lba, std::uint64_t sectors) {
  for (const std::uint64_t bad : lbas) {
    if (bad >= lba && bad - lba < sectors) return bad;
  }
  return std::nullopt;
}

}  // namespace

LbaStore::LbaStore(const DriveConfig& config)
    : readErrors_(config.lbaReadErrors), writeErrors_(config.lbaWriteErrors), corruptions_(config.corruptedSectors) {}

std::optional<std::uint64_t> LbaStore::read(std::uint64_t lba, std::span<std::uint8_t> out) const {
  const std::uint64_t sectors = out.size() / kSectorBytes;
  if (const auto bad = firstIn(readErrors_, lba, sectors)) return bad;
  readStored(lba, out);
  for (const auto& c : corruptions_) {
    if (c.lba < lba || c.lba - lba >= sectors || c.word >= kSectorBytes / 2) continue;
    const std::size_t at = static_cast<std::size_t>(c.lba - lba) * kSectorBytes + 2u * c.word;
    out[at] ^= static_cast<std::uint8_t>(c.mask);
    out[at + 1] ^= static_cast<std::uint8_t>(c.mask >> 8);
  }
  return std::nullopt;
}

void LbaStore::readStored(std::uint64_t lba, std::span<std::uint8_t> out) const {
  std::size_t offset = 0;
  while (offset + kSectorBytes <= out.size()) {
    const std::uint64_t chunk = lba / kChunkSectors;
    const std::size_t first = static_cast<std::size_t>(lba % kChunkSectors);
    const std::size_t sectors = std::min(kChunkSectors - first, (out.size() - offset) / kSectorBytes);
    const auto part = out.subspan(offset, sectors * kSectorBytes);
    if (const auto found = chunks_.find(chunk); found != chunks_.end()) {
      const auto from = found->second.bytes.begin() + static_cast<std::ptrdiff_t>(first * kSectorBytes);
      std::copy_n(from, part.size(), part.begin());
    } else {
      std::fill(part.begin(), part.end(), inOnesRun(chunk) ? kOnes : std::uint8_t{0});
    }
    lba += sectors;
    offset += part.size();
  }
}

std::optional<std::uint64_t> LbaStore::write(std::uint64_t lba, std::span<const std::uint8_t> in) {
  if (const auto bad = firstIn(writeErrors_, lba, in.size() / kSectorBytes)) return bad;
  std::size_t offset = 0;
  while (offset + kSectorBytes <= in.size()) {
    const std::uint64_t chunk = lba / kChunkSectors;
    const std::size_t first = static_cast<std::size_t>(lba % kChunkSectors);
    const std::size_t sectors = std::min(kChunkSectors - first, (in.size() - offset) / kSectorBytes);
    storeInChunk(chunk, first, in.subspan(offset, sectors * kSectorBytes));
    lba += sectors;
    offset += sectors * kSectorBytes;
  }
  return std::nullopt;
}

void LbaStore::storeInChunk(std::uint64_t chunk, std::size_t firstSector, std::span<const std::uint8_t> part) {
  const bool ones = allOnes(part);
  if (ones && part.size() == kChunkBytes) {
    chunks_.erase(chunk);
    addOnesChunk(chunk);
    return;
  }
  if (ones && inOnesRun(chunk)) return;  // nothing changes
  DataChunk& data = materialise(chunk);
  std::copy(part.begin(), part.end(), data.bytes.begin() + static_cast<std::ptrdiff_t>(firstSector * kSectorBytes));
  for (std::size_t s = firstSector; s < firstSector + part.size() / kSectorBytes; ++s) data.written.set(s);
}

std::size_t LbaStore::storedSectors() const {
  std::size_t sectors = 0;
  for (const auto& [first, last] : onesRuns_) sectors += static_cast<std::size_t>(last - first + 1) * kChunkSectors;
  for (const auto& entry : chunks_) sectors += entry.second.written.count();
  return sectors;
}

bool LbaStore::inOnesRun(std::uint64_t chunk) const {
  auto after = onesRuns_.upper_bound(chunk);
  if (after == onesRuns_.begin()) return false;
  return std::prev(after)->second >= chunk;
}

// Joins the chunk to the runs next to it.
void LbaStore::addOnesChunk(std::uint64_t chunk) {
  if (inOnesRun(chunk)) return;
  std::uint64_t first = chunk;
  std::uint64_t last = chunk;
  const auto after = onesRuns_.upper_bound(chunk);
  if (after != onesRuns_.end() && after->first == chunk + 1) {
    last = after->second;
    onesRuns_.erase(after);
  }
  const auto before = onesRuns_.upper_bound(chunk);
  if (before != onesRuns_.begin() && std::prev(before)->second + 1 == chunk) {
    first = std::prev(before)->first;
    onesRuns_.erase(std::prev(before));
  }
  onesRuns_[first] = last;
}

// Splits the run that holds the chunk around it.
void LbaStore::removeOnesChunk(std::uint64_t chunk) {
  auto run = std::prev(onesRuns_.upper_bound(chunk));
  const std::uint64_t first = run->first;
  const std::uint64_t last = run->second;
  onesRuns_.erase(run);
  if (first < chunk) onesRuns_[first] = chunk - 1;
  if (chunk < last) onesRuns_[chunk + 1] = last;
}

// The chunk with bytes of its own: all 0xFF and written when it stood in a
// run, zeros and unwritten when it was never written.
LbaStore::DataChunk& LbaStore::materialise(std::uint64_t chunk) {
  if (const auto found = chunks_.find(chunk); found != chunks_.end()) return found->second;
  DataChunk data;
  if (inOnesRun(chunk)) {
    removeOnesChunk(chunk);
    data.bytes.assign(kChunkBytes, kOnes);
    data.written.set();
  } else {
    data.bytes.assign(kChunkBytes, 0);
  }
  return chunks_.emplace(chunk, std::move(data)).first->second;
}

}  // namespace drivesim::detail
