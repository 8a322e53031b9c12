#include "platform/atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <system_error>
#include <utility>

namespace platform::files {
namespace {

// A stale temporary of a crashed process may hold a name; the next is tried.
constexpr int kNameAttempts = 100;

std::string osText(int error) { return std::system_category().message(error); }

std::string failed(const std::filesystem::path& path, std::string_view what, int error) {
  return path.string() + ": " + std::string(what) + ": " + osText(error);
}

class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  // Closes now, so that a failing close is seen; 0 or the error.
  int close() {
    const int result = ::close(std::exchange(fd_, -1));
    return result == 0 ? 0 : errno;
  }

 private:
  int fd_;
};

int openRetrying(const char* path, int flags, mode_t mode = 0) {
  int fd = -1;
  do {
    fd = ::open(path, flags | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

// 0 or the error.
int writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written < 0 && errno == EINTR) continue;
    if (written < 0) return errno;
    if (written == 0) return EIO;
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
  return 0;
}

// A new file beside `file`, created here and by no one else, as `name`; its
// descriptor, or -1 with errno set. The mode is the one a plain new file
// gets, so the saved file stays readable to others as before.
int createTemporary(const std::filesystem::path& file, std::filesystem::path& name) {
  static std::atomic<unsigned> serial{0};
  const std::string stem = file.filename().string() + "." + std::to_string(::getpid()) + "-";
  int fd = -1;
  for (int attempt = 0; attempt < kNameAttempts && fd < 0; ++attempt) {
    name = file;
    name.replace_filename(stem + std::to_string(serial.fetch_add(1)) + ".part");
    fd = openRetrying(name.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0666);
    if (fd < 0 && errno != EEXIST) break;
  }
  return fd;
}

}  // namespace

std::string saveFileAtomically(const std::filesystem::path& file, std::string_view content) {
  if (file.filename().empty()) return file.string() + ": names no file";
  const std::filesystem::path folder = file.has_parent_path() ? file.parent_path() : ".";
  // Opened first, so that a folder that cannot be synced fails the save
  // before anything is changed.
  Descriptor folderFd(openRetrying(folder.c_str(), O_RDONLY | O_DIRECTORY));
  if (!folderFd.valid()) return failed(folder, "the folder cannot be opened", errno);

  std::filesystem::path temporary;
  Descriptor fd(createTemporary(file, temporary));
  if (!fd.valid()) return failed(file, "no temporary file can be created beside it", errno);
  int error = writeAll(fd.get(), content);
  if (error == 0 && ::fsync(fd.get()) != 0) error = errno;
  const int closeError = fd.close();
  if (error == 0) error = closeError;
  if (error == 0 && ::rename(temporary.c_str(), file.c_str()) != 0) error = errno;
  if (error != 0) {
    ::unlink(temporary.c_str());
    return failed(file, "cannot be saved", error);
  }
  // A file system that cannot sync folders answers EINVAL; its renames are
  // as lasting as it makes them.
  if (::fsync(folderFd.get()) != 0 && errno != EINVAL) {
    return failed(file, "was replaced, but its folder could not be synced", errno);
  }
  return {};
}

}  // namespace platform::files
