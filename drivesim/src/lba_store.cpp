#include "lba_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <iterator>
#include <system_error>

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
    : sectorCount_(config.sectorCount),
      readErrors_(config.lbaReadErrors),
      writeErrors_(config.lbaWriteErrors),
      corruptions_(config.corruptedSectors) {
  if (!config.imageFile.empty()) openImage(config.imageFile);
}

LbaStore::~LbaStore() {
  if (imageFd_ >= 0) ::close(imageFd_);
}

void LbaStore::openImage(const std::string& file) {
  const auto failed = [&](const std::string& what) {
    imageError_ = file + ": " + what;
    if (imageFd_ >= 0) ::close(imageFd_);
    imageFd_ = -1;
  };
  imageFd_ = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (imageFd_ < 0) return failed(std::system_category().message(errno));
  struct stat status {};
  if (::fstat(imageFd_, &status) != 0) return failed(std::system_category().message(errno));
  if (!S_ISREG(status.st_mode)) return failed("not a regular file");
  const auto bytes = static_cast<std::uint64_t>(status.st_size);
  if (bytes / kSectorBytes >= sectorCount_) return;
  if (::ftruncate(imageFd_, static_cast<off_t>(sectorCount_ * kSectorBytes)) != 0) {
    failed(std::system_category().message(errno));
  }
}

std::optional<std::uint64_t> LbaStore::read(std::uint64_t lba, std::span<std::uint8_t> out) const {
  const std::uint64_t sectors = out.size() / kSectorBytes;
  if (const auto bad = firstIn(readErrors_, lba, sectors)) return bad;
  if (!readAll(lba, out)) return lba;
  for (const auto& c : corruptions_) {
    if (c.lba < lba || c.lba - lba >= sectors || c.word >= kSectorBytes / 2) continue;
    const std::size_t at = static_cast<std::size_t>(c.lba - lba) * kSectorBytes + 2u * c.word;
    out[at] ^= static_cast<std::uint8_t>(c.mask);
    out[at + 1] ^= static_cast<std::uint8_t>(c.mask >> 8);
  }
  return std::nullopt;
}

void LbaStore::readStored(std::uint64_t lba, std::span<std::uint8_t> out) const {
  if (!readAll(lba, out)) std::fill(out.begin(), out.end(), std::uint8_t{0});
}

bool LbaStore::readAll(std::uint64_t lba, std::span<std::uint8_t> out) const {
  if (!imageError_.empty()) return false;
  std::size_t offset = 0;
  while (offset + kSectorBytes <= out.size()) {
    const std::uint64_t chunk = lba / kChunkSectors;
    const std::size_t first = static_cast<std::size_t>(lba % kChunkSectors);
    const std::size_t sectors = std::min(kChunkSectors - first, (out.size() - offset) / kSectorBytes);
    if (!loadPiece(chunk, first, out.subspan(offset, sectors * kSectorBytes))) return false;
    lba += sectors;
    offset += sectors * kSectorBytes;
  }
  return true;
}

bool LbaStore::loadPiece(std::uint64_t chunk, std::size_t firstSector, std::span<std::uint8_t> part) const {
  if (inOnesRun(chunk)) {
    std::fill(part.begin(), part.end(), kOnes);
    return true;
  }
  if (!fileBacked()) {
    if (const auto found = chunks_.find(chunk); found != chunks_.end()) {
      const auto from = found->second.bytes.begin() + static_cast<std::ptrdiff_t>(firstSector * kSectorBytes);
      std::copy_n(from, part.size(), part.begin());
    } else {
      std::fill(part.begin(), part.end(), std::uint8_t{0});
    }
    return true;
  }
  std::size_t done = 0;
  const std::uint64_t at = (chunk * kChunkSectors + firstSector) * kSectorBytes;
  while (done < part.size()) {
    const ssize_t got = ::pread(imageFd_, part.data() + done, part.size() - done, static_cast<off_t>(at + done));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return false;
    if (got == 0) break;  // past the end of a file cut since: nothing written there
    done += static_cast<std::size_t>(got);
  }
  std::fill(part.begin() + static_cast<std::ptrdiff_t>(done), part.end(), std::uint8_t{0});
  return true;
}

bool LbaStore::putInFile(std::uint64_t chunk, std::size_t firstSector, std::span<const std::uint8_t> part) {
  std::size_t done = 0;
  const std::uint64_t at = (chunk * kChunkSectors + firstSector) * kSectorBytes;
  while (done < part.size()) {
    const ssize_t put = ::pwrite(imageFd_, part.data() + done, part.size() - done, static_cast<off_t>(at + done));
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    done += static_cast<std::size_t>(put);
  }
  return true;
}

std::optional<std::uint64_t> LbaStore::write(std::uint64_t lba, std::span<const std::uint8_t> in) {
  if (const auto bad = firstIn(writeErrors_, lba, in.size() / kSectorBytes)) return bad;
  if (!imageError_.empty()) return lba;
  std::size_t offset = 0;
  while (offset + kSectorBytes <= in.size()) {
    const std::uint64_t chunk = lba / kChunkSectors;
    const std::size_t first = static_cast<std::size_t>(lba % kChunkSectors);
    const std::size_t sectors = std::min(kChunkSectors - first, (in.size() - offset) / kSectorBytes);
    if (!storeInChunk(chunk, first, in.subspan(offset, sectors * kSectorBytes))) return lba;
    lba += sectors;
    offset += sectors * kSectorBytes;
  }
  return std::nullopt;
}

bool LbaStore::storeInChunk(std::uint64_t chunk, std::size_t firstSector, std::span<const std::uint8_t> part) {
  const bool ones = allOnes(part);
  if (ones && part.size() == kChunkBytes) {
    // In the file the chunk becomes a hole; where holes cannot be made, the bytes go in.
    const bool marked = !fileBacked() || ::fallocate(imageFd_, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE,
                                                     static_cast<off_t>(chunk * kChunkBytes),
                                                     static_cast<off_t>(kChunkBytes)) == 0;
    if (marked) {
      chunks_.erase(chunk);
      addOnesChunk(chunk);
      return true;
    }
  }
  if (ones && inOnesRun(chunk)) return true;  // nothing changes
  DataChunk* data = materialise(chunk);
  if (data == nullptr) return false;
  if (fileBacked()) {
    if (!putInFile(chunk, firstSector, part)) return false;
  } else {
    std::copy(part.begin(), part.end(), data->bytes.begin() + static_cast<std::ptrdiff_t>(firstSector * kSectorBytes));
  }
  for (std::size_t s = firstSector; s < firstSector + part.size() / kSectorBytes; ++s) data->written.set(s);
  return true;
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
// run, zeros and unwritten when it was never written. With an image file the
// bytes go there (the part of the chunk that lies on the drive); nullptr when
// the file takes them not.
LbaStore::DataChunk* LbaStore::materialise(std::uint64_t chunk) {
  if (const auto found = chunks_.find(chunk); found != chunks_.end()) return &found->second;
  DataChunk data;
  if (inOnesRun(chunk)) {
    if (fileBacked()) {
      const std::uint64_t first = chunk * kChunkSectors;
      const std::uint64_t onDrive =
          first < sectorCount_ ? std::min<std::uint64_t>(kChunkSectors, sectorCount_ - first) : 0;
      const std::vector<std::uint8_t> ones(static_cast<std::size_t>(onDrive) * kSectorBytes, kOnes);
      if (!putInFile(chunk, 0, ones)) return nullptr;
    } else {
      data.bytes.assign(kChunkBytes, kOnes);
    }
    removeOnesChunk(chunk);
    data.written.set();
  } else if (!fileBacked()) {
    data.bytes.assign(kChunkBytes, 0);
  }
  return &chunks_.emplace(chunk, std::move(data)).first->second;
}

}  // namespace drivesim::detail
