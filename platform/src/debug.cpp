#include "platform/debug.h"

#include <cstdio>

namespace platform::debug {
namespace {

std::mutex sinkMutex;
Sink installedSink;

void writeToStandardError(Level, std::string_view text) {
  std::fwrite(text.data(), 1, text.size(), stderr);
  if (text.empty() || text.back() != '\n') std::fputc('\n', stderr);
}

}  // namespace

void output(std::string_view text, Level level) {
  std::lock_guard lock(sinkMutex);
  if (installedSink) {
    installedSink(level, text);
  } else {
    writeToStandardError(level, text);
  }
}

Sink installSink(Sink sink) {
  std::lock_guard lock(sinkMutex);
  Sink previous = std::move(installedSink);
  installedSink = std::move(sink);
  return previous;
}

CaptureSink::CaptureSink() {
  previous_ = installSink([this](Level, std::string_view text) {
    std::lock_guard lock(mutex_);
    lines_.emplace_back(text);
  });
}

CaptureSink::~CaptureSink() { installSink(std::move(previous_)); }

std::vector<std::string> CaptureSink::lines() const {
  std::lock_guard lock(mutex_);
  return lines_;
}

bool CaptureSink::contains(std::string_view fragment) const {
  std::lock_guard lock(mutex_);
  for (const auto& line : lines_) {
    if (line.find(fragment) != std::string::npos) return true;
  }
  return false;
}

}  // namespace platform::debug
