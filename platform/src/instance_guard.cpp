#include "platform/instance_guard.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/debug.h"

namespace platform {

std::filesystem::path InstanceGuard::lockDirectory() {
  for (const char* variable : {"TOLVANE_LOCK_DIR", "XDG_RUNTIME_DIR"}) {
    const char* value = std::getenv(variable);
    if (value != nullptr && *value != '\0') return value;
  }
  return "/tmp";
}

InstanceGuard::InstanceGuard(const std::string& name) {
  const std::filesystem::path file = lockDirectory() / (name + ".lock");
  fd_ = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd_ < 0) {
    debug::output("instance guard " + file.string() + ": " + std::strerror(errno), debug::Level::Warning);
    return;
  }
  // flock locks belong to the open file description, so a second guard of
  // this process conflicts with the first just as another process would.
  if (::flock(fd_, LOCK_EX | LOCK_NB) == 0) return;
  if (errno == EWOULDBLOCK) {
    state_ = State::AlreadyRunning;
  } else {
    debug::output("instance guard " + file.string() + ": " + std::strerror(errno), debug::Level::Warning);
  }
  ::close(fd_);
  fd_ = -1;
}

InstanceGuard::~InstanceGuard() {
  if (fd_ >= 0) ::close(fd_);
}

}  // namespace platform
