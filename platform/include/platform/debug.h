#pragma once
// Debug output: the programs' trace of what they send and what went wrong.

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform::debug {

enum class Level { Info, Warning, Error };

// The port index the writing thread works for (none for a thread that works
// for no port), and the text exactly as it was written. Sinks are called
// from any thread, at the same time, with no lock held.
using Sink = std::function<void(Level, std::optional<int> port, std::string_view text)>;

// Writes one text to the sink in force (standard error until another is
// installed; there a port's lines begin with "[Pnn] ", nn the port number).
void output(std::string_view text, Level level = Level::Info);

// Installs a sink; an empty one puts standard error back. Returns the old
// sink. A call already in the old sink finishes there, on a copy that stays
// alive until the call returns.
Sink installSink(Sink sink);

// Tags what the calling thread writes with `portIndex` for the lifetime of
// the object, then puts back the tag it had.
class ScopedPort {
 public:
  explicit ScopedPort(int portIndex);
  ~ScopedPort();
  ScopedPort(const ScopedPort&) = delete;
  ScopedPort& operator=(const ScopedPort&) = delete;

 private:
  std::optional<int> previous_;
};

struct CapturedLine {
  std::optional<int> port;
  std::string text;

  bool operator==(const CapturedLine&) const = default;
};

// Collects every text written while it lives, from any thread.
class CaptureSink {
 public:
  CaptureSink();
  ~CaptureSink();
  CaptureSink(const CaptureSink&) = delete;
  CaptureSink& operator=(const CaptureSink&) = delete;

  std::vector<std::string> lines() const;
  // The texts with the port each came from.
  std::vector<CapturedLine> entries() const;
  bool contains(std::string_view fragment) const;

 private:
  struct Store;
  // Shared with the installed sink, so that a late call still has it.
  std::shared_ptr<Store> store_;
  Sink previous_;
};

}  // namespace platform::debug
