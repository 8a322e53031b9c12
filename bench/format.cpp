// Formats large sparse images with our FAT32 formatter and with mkfs.fat in
// the same run, checks both with fsck.fat -n, and prints how long ours took
// against mkfs.fat and the bytes each wrote.
//
//   bench_format [--dir DIR] [--keep] [SIZE...]     SIZE: 512M, 64G, 2T, ... (default 64G 2T)
//
// Exit status: 0 both formats clean at every size, 1 otherwise, 77 when
// mkfs.fat or fsck.fat is missing.

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "devlib/disk_layout.h"
#include "devlib/fat32_format.h"
#include "platform/block_io.h"
#include "platform/debug.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr std::uint64_t kSectorBytes = 512;

std::optional<std::string> FindTool(const std::string& name) {
  std::string path = std::getenv("PATH") != nullptr ? std::getenv("PATH") : "";
  path += ":/usr/sbin:/sbin";
  std::stringstream dirs(path);
  for (std::string dir; std::getline(dirs, dir, ':');) {
    if (dir.empty()) continue;
    const fs::path candidate = fs::path(dir) / name;
    if (access(candidate.c_str(), X_OK) == 0) return candidate.string();
  }
  return std::nullopt;
}

std::optional<std::uint64_t> ParseSize(const std::string& text) {
  char* end = nullptr;
  const unsigned long long value = std::strtoull(text.c_str(), &end, 10);
  if (end == text.c_str() || value == 0) return std::nullopt;
  const std::string unit(end);
  if (unit == "M") return value << 20;
  if (unit == "G") return value << 30;
  if (unit == "T") return value << 40;
  return std::nullopt;
}

bool MakeSparseFile(const fs::path& path, std::uint64_t bytes) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) return false;
  const bool ok = ftruncate(fd, static_cast<off_t>(bytes)) == 0;
  close(fd);
  return ok;
}

bool SyncFile(const fs::path& path) {
  const int fd = open(path.c_str(), O_RDONLY);
  if (fd < 0) return false;
  const bool ok = fsync(fd) == 0;
  close(fd);
  return ok;
}

// Copies the data extents of [offset, offset + length) into a file of its
// own, keeping the holes, so that fsck.fat can check a partition of a sparse
// disk image without reading terabytes of zeros.
bool CutOutSparse(const fs::path& image, std::uint64_t offset, std::uint64_t length, const fs::path& out) {
  const int in = open(image.c_str(), O_RDONLY);
  if (in < 0) return false;
  const int to = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  bool ok = to >= 0 && ftruncate(to, static_cast<off_t>(length)) == 0;
  std::vector<char> buffer(1 << 20);
  off_t at = static_cast<off_t>(offset);
  const auto end = static_cast<off_t>(offset + length);
  while (ok && at < end) {
    const off_t data = lseek(in, at, SEEK_DATA);
    if (data < 0 || data >= end) break;  // ENXIO: no data after `at`
    const off_t hole = std::min(lseek(in, data, SEEK_HOLE), end);
    for (off_t pos = data; ok && pos < hole;) {
      const auto chunk = static_cast<std::size_t>(std::min<off_t>(hole - pos, static_cast<off_t>(buffer.size())));
      const ssize_t got = pread(in, buffer.data(), chunk, pos);
      ok = got > 0 && pwrite(to, buffer.data(), static_cast<std::size_t>(got),
                             pos - static_cast<off_t>(offset)) == got;
      pos += got > 0 ? got : 0;
    }
    at = hole;
  }
  close(in);
  if (to >= 0) close(to);
  return ok;
}

struct ToolRun {
  bool ok = false;
  std::uint64_t bytesWritten = 0;  // what the process handed to its write calls
};

// Runs the tool with its output discarded; reads the process's write count
// before it is reaped.
ToolRun RunCounted(const std::vector<std::string>& argv) {
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return {};
  siginfo_t info{};
  while (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) != 0 && errno == EINTR) {
  }
  ToolRun run;
  std::ifstream io("/proc/" + std::to_string(pid) + "/io");
  for (std::string key; io >> key;) {
    std::uint64_t value = 0;
    io >> value;
    if (key == "wchar:") run.bytesWritten = value;
  }
  int status = 0;
  waitpid(pid, &status, 0);
  run.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  return run;
}

// fsck.fat -n finds nothing to say beyond its banner and the summary line.
bool FsckClean(const std::string& fsck, const fs::path& image) {
  const std::string command = fsck + " -n '" + image.string() + "' 2>&1";
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return false;
  int lines = 0;
  for (char line[512]; std::fgets(line, sizeof line, pipe) != nullptr;) {
    if (std::strchr(line, '\n') != nullptr) ++lines;
  }
  const int status = pclose(pipe);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 && lines == 2;
}

const char* Verdict(bool clean) { return clean ? "clean" : "NOT CLEAN"; }

bool BenchOneSize(const std::string& sizeText, std::uint64_t bytes, const fs::path& dir, bool keep,
                  const std::string& mkfs, const std::string& fsck) {
  const fs::path ours = dir / ("bench-ours-" + sizeText + ".img");
  const fs::path oursPartition = dir / ("bench-ours-" + sizeText + "-partition.img");
  const fs::path theirs = dir / ("bench-mkfs-" + sizeText + ".img");
  if (!MakeSparseFile(ours, bytes)) {
    std::printf("%s: cannot create %s\n", sizeText.c_str(), ours.c_str());
    return false;
  }

  platform::block::OpenResult opened = platform::block::openBlockDevice(ours.string());
  if (!opened.device) {
    std::printf("%s: cannot open %s: %s\n", sizeText.c_str(), ours.c_str(), opened.error.c_str());
    return false;
  }
  const std::uint64_t partitionSectors = devlib::PartitionSectors(opened.device->geometry());
  const Clock::time_point oursStart = Clock::now();
  const bool oursFormatted =
      devlib::FormatFat32Volume(*opened.device, 0, "BENCH", devlib::kFat32StartSector) == 1;
  const Clock::duration oursTime = Clock::now() - oursStart;
  const std::uint64_t oursBytes = opened.device->bytesWritten();
  opened.device.reset();

  // mkfs.fat gets the partition as a file of its own; its time includes
  // the fsync that our formatter's flush does too.
  bool theirsFormatted = MakeSparseFile(theirs, partitionSectors * kSectorBytes);
  const Clock::time_point theirsStart = Clock::now();
  const ToolRun run = RunCounted({mkfs, "-F", "32", "-h", "63", "-n", "BENCH", theirs.string()});
  theirsFormatted = theirsFormatted && run.ok && SyncFile(theirs);
  const Clock::duration theirsTime = Clock::now() - theirsStart;

  const bool oursClean = oursFormatted &&
                         CutOutSparse(ours, devlib::kFat32StartSector * kSectorBytes,
                                      partitionSectors * kSectorBytes, oursPartition) &&
                         FsckClean(fsck, oursPartition);
  const bool theirsClean = theirsFormatted && FsckClean(fsck, theirs);

  const double ratio = std::chrono::duration<double>(oursTime).count() /
                       std::max(std::chrono::duration<double>(theirsTime).count(), 1e-9);
  std::printf("%s: our time / mkfs.fat's = %.3f; bytes written: ours %llu, mkfs.fat %llu; fsck.fat -n: ours %s, "
              "mkfs.fat %s\n",
              sizeText.c_str(), ratio, static_cast<unsigned long long>(oursBytes),
              static_cast<unsigned long long>(run.bytesWritten), Verdict(oursClean), Verdict(theirsClean));
  std::fflush(stdout);
  if (!keep) {
    std::error_code ignored;
    fs::remove(ours, ignored);
    fs::remove(oursPartition, ignored);
    fs::remove(theirs, ignored);
  }
  return oursClean && theirsClean;
}

}  // namespace

int main(int argc, char** argv) {
  fs::path dir = fs::temp_directory_path();
  bool keep = false;
  std::vector<std::string> sizes;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--dir" && i + 1 < argc) {
      dir = argv[++i];
    } else if (arg == "--keep") {
      keep = true;
    } else if (ParseSize(arg)) {
      sizes.push_back(arg);
    } else {
      std::fprintf(stderr, "usage: bench_format [--dir DIR] [--keep] [SIZE...]  (SIZE like 512M, 64G, 2T)\n");
      return 2;
    }
  }
  if (sizes.empty()) sizes = {"64G", "2T"};

  const std::optional<std::string> mkfs = FindTool("mkfs.fat");
  const std::optional<std::string> fsck = FindTool("fsck.fat");
  if (!mkfs || !fsck) {
    std::fprintf(stderr, "bench_format: mkfs.fat and fsck.fat (dosfstools) are needed\n");
    return 77;
  }
  // The formatter's trace is not what this run is about.
  platform::debug::installSink([](platform::debug::Level, std::optional<int>, std::string_view) {});

  bool allClean = true;
  for (const std::string& size : sizes) {
    allClean = BenchOneSize(size, *ParseSize(size), dir, keep, *mkfs, *fsck) && allClean;
  }
  return allClean ? 0 : 1;
}
