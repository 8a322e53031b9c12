#pragma once
// A single-instance guard by name: the first process to take a name holds it
// until it ends; another process (or another guard in this one) asking for
// the same name learns that it is taken.
//
// The name is an exclusive lock on a file "<name>.lock" in the lock
// directory: TOLVANE_LOCK_DIR when set, else the user's runtime directory
// (XDG_RUNTIME_DIR), else /tmp. A lock the system cannot give (the directory
// cannot be written) does not stop the program: it runs as the first instance
// and the reason goes to the debug output.

#include <filesystem>
#include <string>

namespace platform {

class InstanceGuard {
 public:
  enum class State { First, AlreadyRunning };

  explicit InstanceGuard(const std::string& name);
  ~InstanceGuard();
  InstanceGuard(const InstanceGuard&) = delete;
  InstanceGuard& operator=(const InstanceGuard&) = delete;

  State state() const { return state_; }
  bool alreadyRunning() const { return state_ == State::AlreadyRunning; }

  static std::filesystem::path lockDirectory();

 private:
  int fd_ = -1;
  State state_ = State::First;
};

}  // namespace platform
