#include "drivesim/wire_log.h"

#include <algorithm>
#include <utility>

namespace drivesim {

std::vector<WireEntry> WireLog::entries() const {
  std::lock_guard lock(mutex_);
  return entries_;
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
}

std::uint64_t WireLog::record(WireEntry entry) {
  std::lock_guard lock(mutex_);
  entries_.push_back(std::move(entry));
  return firstId_ + entries_.size() - 1;
}

void WireLog::annotate(std::uint64_t id, std::string note) {
  std::lock_guard lock(mutex_);
  // An entry cleared away in the meantime keeps no note.
  if (id < firstId_ || id - firstId_ >= entries_.size()) return;
  entries_[id - firstId_].note = std::move(note);
}

}  // namespace drivesim
