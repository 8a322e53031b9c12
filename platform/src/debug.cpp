#include "platform/debug.h"

#include <cstdio>
#include <mutex>
#include <utility>

namespace platform::debug {
namespace {

// Held only to take or swap the sink in force, never while a sink runs.
std::mutex sinkMutex;
std::shared_ptr<const Sink> installedSink;

thread_local std::optional<int> taggedPort;

std::shared_ptr<const Sink> sinkInForce() {
  std::lock_guard lock(sinkMutex);
  return installedSink;
}

// One write per line, so that lines of parallel ports do not mix.
void writeToStandardError(std::optional<int> port, std::string_view text) {
  std::string line;
  if (port) {
    char prefix[16];
    std::snprintf(prefix, sizeof prefix, "[P%02d] ", *port + 1);
    line = prefix;
  }
  line.append(text);
  if (text.empty() || text.back() != '\n') line.push_back('\n');
  std::fwrite(line.data(), 1, line.size(), stderr);
}

}  // namespace

void output(std::string_view text, Level level) {
  if (const auto sink = sinkInForce()) {
    (*sink)(level, taggedPort, text);
  } else {
    writeToStandardError(taggedPort, text);
  }
}

Sink installSink(Sink sink) {
  std::shared_ptr<const Sink> previous;
  {
    std::lock_guard lock(sinkMutex);
    previous = std::exchange(installedSink, sink ? std::make_shared<const Sink>(std::move(sink)) : nullptr);
  }
  return previous ? *previous : Sink{};
}

ScopedPort::ScopedPort(int portIndex) : previous_(std::exchange(taggedPort, portIndex)) {}

ScopedPort::~ScopedPort() { taggedPort = previous_; }

struct CaptureSink::Store {
  std::mutex mutex;
  std::vector<CapturedLine> lines;
};

CaptureSink::CaptureSink() : store_(std::make_shared<Store>()) {
  previous_ = installSink([store = store_](Level, std::optional<int> port, std::string_view text) {
    std::lock_guard lock(store->mutex);
    store->lines.push_back({port, std::string(text)});
  });
}

CaptureSink::~CaptureSink() { installSink(std::move(previous_)); }

std::vector<std::string> CaptureSink::lines() const {
  std::vector<std::string> texts;
  std::lock_guard lock(store_->mutex);
  texts.reserve(store_->lines.size());
  for (const auto& line : store_->lines) texts.push_back(line.text);
  return texts;
}

std::vector<CapturedLine> CaptureSink::entries() const {
  std::lock_guard lock(store_->mutex);
  return store_->lines;
}

bool CaptureSink::contains(std::string_view fragment) const {
  std::lock_guard lock(store_->mutex);
  for (const auto& line : store_->lines) {
    if (line.text.find(fragment) != std::string::npos) return true;
  }
  return false;
}

}  // namespace platform::debug
