#pragma once
// Debug output: the programs' trace of what they send and what went wrong.

#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace platform::debug {

enum class Level { Info, Warning, Error };

using Sink = std::function<void(Level, std::string_view)>;

// Writes one text to the sink in force (standard error until another is installed).
void output(std::string_view text, Level level = Level::Info);

// Installs a sink; an empty one puts standard error back. Returns the old sink.
Sink installSink(Sink sink);

// Collects every text written while it lives, from any thread.
class CaptureSink {
 public:
  CaptureSink();
  ~CaptureSink();
  CaptureSink(const CaptureSink&) = delete;
  CaptureSink& operator=(const CaptureSink&) = delete;

  std::vector<std::string> lines() const;
  bool contains(std::string_view fragment) const;

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
  Sink previous_;
};

}  // namespace platform::debug
