#include "platform/sg_io.h"

#include <fcntl.h>
#include <scsi/sg.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <string>
#include <utility>

#include "sg_io_ata.h"
#include "sg_io_sysfs.h"

namespace platform::storage::sgio {
namespace {

constexpr std::size_t kMaxCdbBytes = 16;
constexpr unsigned kHostTimedOut = 0x03;      // DID_TIME_OUT
constexpr unsigned kDriverErrorMask = 0x07;   // above it: the sense flag and retry hints, not errors
constexpr unsigned kDriverTimedOut = 0x06;    // DRIVER_TIMEOUT
// UINT_MAX would mean "no time-out at all".
constexpr std::uint64_t kLongestTimeoutMs = UINT_MAX - 1;

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  FileDescriptor(FileDescriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  FileDescriptor& operator=(FileDescriptor&&) = delete;
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }

 private:
  int fd_;
};

int realIoctl(int fd, unsigned long request, void* argument) { return ::ioctl(fd, request, argument); }

unsigned timeoutMs(std::uint32_t seconds) {
  return static_cast<unsigned>(std::min(std::uint64_t{seconds} * 1000, kLongestTimeoutMs));
}

int dataDirection(Direction direction, std::span<const std::uint8_t> data) {
  if (!movesData(direction, data)) return SG_DXFER_NONE;
  return direction == Direction::In ? SG_DXFER_FROM_DEV : SG_DXFER_TO_DEV;
}

std::uint8_t saturatedByte(unsigned value) { return static_cast<std::uint8_t>(std::min(value, 0xffu)); }

// Fills in what the kernel reported for a command that was carried.
void readBack(const sg_io_hdr_t& header, ScsiOutcome& outcome) {
  // `masked_status` is the status shifted right by one; only a driver that
  // leaves `status` empty needs it shifted back.
  outcome.scsiStatus = header.status != 0 ? header.status : static_cast<std::uint8_t>(header.masked_status << 1);
  // Saturated, so that a host or driver code above a byte never reads as 0.
  outcome.hostStatus = saturatedByte(header.host_status);
  outcome.driverStatus = saturatedByte(header.driver_status);
  outcome.senseLength = std::min<std::size_t>(header.sb_len_wr, kSenseBytes);

  const std::int64_t moved = std::int64_t{header.dxfer_len} - header.resid;
  outcome.transferred = static_cast<std::size_t>(std::clamp<std::int64_t>(moved, 0, header.dxfer_len));

  const unsigned driverError = header.driver_status & kDriverErrorMask;
  outcome.timedOut = header.host_status == kHostTimedOut || driverError == kDriverTimedOut;
  outcome.transportOk = header.host_status == 0 && driverError == 0;
}

class SgDevice final : public Device {
 public:
  SgDevice(FileDescriptor fd, IoctlFunction ioctl, DeviceTraits traits)
      : fd_(std::move(fd)), ioctl_(std::move(ioctl)), traits_(traits) {}

  ScsiOutcome scsi(const ScsiCommand& command) override {
    ScsiOutcome outcome;
    if (command.cdb.empty() || command.cdb.size() > kMaxCdbBytes || command.data.size() > UINT_MAX) {
      outcome.osError = EINVAL;
      return outcome;
    }
    if (command.stop.stop_requested()) {
      outcome.osError = ECANCELED;
      return outcome;
    }

    std::array<unsigned char, kMaxCdbBytes> cdb{};
    std::copy(command.cdb.begin(), command.cdb.end(), cdb.begin());
    const bool moves = movesData(command.direction, command.data);

    sg_io_hdr_t header{};
    header.interface_id = 'S';
    header.dxfer_direction = dataDirection(command.direction, command.data);
    header.cmd_len = static_cast<unsigned char>(command.cdb.size());
    header.cmdp = cdb.data();
    header.mx_sb_len = kSenseBytes;
    header.sbp = outcome.sense.data();
    header.dxfer_len = moves ? static_cast<unsigned>(command.data.size()) : 0;
    header.dxferp = moves ? command.data.data() : nullptr;
    header.timeout = timeoutMs(command.timeoutSeconds);

    errno = 0;
    if (ioctl_(fd_.get(), SG_IO, &header) != 0) {
      outcome.osError = errno != 0 ? errno : EIO;
      outcome.timedOut = outcome.osError == ETIMEDOUT;
      outcome.sense = {};
      return outcome;
    }
    readBack(header, outcome);
    return outcome;
  }

  AtaOutcome ata(const AtaCommand& command) override {
    const auto cdb = ataPassThroughCdb(command);
    const bool moves = movesData(command.direction, command.data);
    const ScsiCommand carrier{.cdb = cdb,
                              .direction = moves ? command.direction : Direction::None,
                              .data = moves ? command.data : std::span<std::uint8_t>{},
                              .timeoutSeconds = command.timeoutSeconds,
                              .stop = command.stop};
    return ataOutcomeFrom(scsi(carrier), command.extended);
  }

  DeviceTraits traits() const override { return traits_; }

 private:
  FileDescriptor fd_;
  IoctlFunction ioctl_;
  DeviceTraits traits_;
};

class SgBackend final : public Backend {
 public:
  SgBackend(IoctlFunction ioctl, std::filesystem::path sysfsRoot)
      : ioctl_(ioctl ? std::move(ioctl) : IoctlFunction(realIoctl)), sysfsRoot_(std::move(sysfsRoot)) {}

  // Both sharing modes open alike: an exclusive open fails on a mounted disk.
  OpenOutcome open(std::string_view path, Sharing) override {
    // A NUL inside the path would open a different, shorter path.
    if (path.find('\0') != std::string_view::npos) return {nullptr, EINVAL};
    const std::string node(path);
    FileDescriptor fd(::open(node.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC));
    if (fd.get() < 0) return {nullptr, errno};
    const DeviceTraits traits{.onUsb = isOnUsb(sysfsRoot_, fd.get())};
    return {std::make_unique<SgDevice>(std::move(fd), ioctl_, traits), 0};
  }

 private:
  IoctlFunction ioctl_;
  std::filesystem::path sysfsRoot_;
};

}  // namespace

std::shared_ptr<Backend> makeBackend(IoctlFunction ioctl, std::filesystem::path sysfsRoot) {
  return std::make_shared<SgBackend>(std::move(ioctl), std::move(sysfsRoot));
}

}  // namespace platform::storage::sgio
