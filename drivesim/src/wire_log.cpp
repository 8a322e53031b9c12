#include "drivesim/wire_log.h"

#include <algorithm>
#include <utility>

namespace drivesim {

std::vector<WireEntry> WireLog::entries() const {
  std::lock_guard lock(mutex_);
  return {entries_.begin(), entries_.end()};
}

std::vector<WireEntry> WireLog::entries(Layer layer) const {
  std::lock_guard lock(mutex_);
  std::vector<WireEntry> picked;
  std::copy_if(entries_.begin(), entries_.end(), std::back_inserter(picked),
               [layer](const WireEntry& entry) { return entry.layer == layer; });
  return picked;
}

void WireLog::clear() {
  std::lock_guard lock(mutex_);
  firstId_ += entries_.size();
  entries_.clear();
  dataOutBytes_ = 0;
  firstPayloadId_ = firstId_;
}

std::uint64_t WireLog::record(WireEntry entry) {
  std::lock_guard lock(mutex_);
  dataOutBytes_ += entry.dataOut.size();
  entries_.push_back(std::move(entry));
  const std::uint64_t id = firstId_ + entries_.size() - 1;
  while (entries_.size() > kMaxEntries) {
    dataOutBytes_ -= entries_.front().dataOut.size();
    entries_.pop_front();
    ++firstId_;
  }
  firstPayloadId_ = std::max(firstPayloadId_, firstId_);
  // The newest entry keeps its payload whatever its size.
  while (dataOutBytes_ > kMaxDataOutBytes && firstPayloadId_ < id) {
    auto& payload = entries_[firstPayloadId_ - firstId_].dataOut;
    dataOutBytes_ -= payload.size();
    std::vector<std::uint8_t>().swap(payload);
    ++firstPayloadId_;
  }
  return id;
}

void WireLog::annotate(std::uint64_t id, std::string note) {
  std::lock_guard lock(mutex_);
  // An entry cleared away in the meantime keeps no note.
  if (id < firstId_ || id - firstId_ >= entries_.size()) return;
  entries_[id - firstId_].note = std::move(note);
}

}  // namespace drivesim
