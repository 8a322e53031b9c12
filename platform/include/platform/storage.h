#pragma once
// Storage pass-through: the one way a command block reaches a drive.
//
// A backend opens a device path and hands back a Device that carries SCSI
// command blocks and ATA task files. The real backend speaks SG_IO; the
// emulated backend (drivesim) routes each command to an emulated drive. The
// backend in force is process-wide and is chosen once at start-up.

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <stop_token>
#include <string_view>

namespace platform::storage {

enum class Direction { None, In, Out };

// How the device is shared while open. The ATA pass-through of the original
// programs opened without sharing; on Linux an exclusive open fails on a
// mounted disk, so the real backend treats both alike.
enum class Sharing { Shared, Exclusive };

inline constexpr std::size_t kSenseBytes = 32;

struct ScsiCommand {
  std::span<const std::uint8_t> cdb{};  // 6 to 16 bytes
  Direction direction = Direction::None;
  std::span<std::uint8_t> data{};  // transferred whole: filled on In, sent on Out
  std::uint32_t timeoutSeconds = 0;
  std::stop_token stop{};  // a request to stop ends a command that has not been sent
};

struct ScsiOutcome {
  bool transportOk = false;   // reached the target and came back without a host or driver error
  bool timedOut = false;      // the time-out ran out before the target answered
  int osError = 0;            // errno of a failed call, 0 otherwise
  std::uint8_t scsiStatus = 0;  // SAM status byte (0 GOOD, 2 CHECK CONDITION)
  std::uint8_t hostStatus = 0;  // raw, for diagnostics
  std::uint8_t driverStatus = 0;
  std::array<std::uint8_t, kSenseBytes> sense{};
  std::size_t senseLength = 0;
  std::size_t transferred = 0;  // bytes actually moved
};

// One ATA register set. On the way in `features` and `command` are those
// registers; on the way back they hold the error and status registers.
struct AtaRegisters {
  std::uint8_t features = 0;
  std::uint8_t count = 0;
  std::uint8_t lbaLow = 0;
  std::uint8_t lbaMid = 0;
  std::uint8_t lbaHigh = 0;
  std::uint8_t device = 0;
  std::uint8_t command = 0;

  friend bool operator==(const AtaRegisters&, const AtaRegisters&) = default;
};

inline constexpr std::uint8_t kAtaStatusErr = 0x01;

struct AtaCommand {
  AtaRegisters current{};
  AtaRegisters previous{};  // high-order bytes of a 48-bit command
  bool extended = false;  // 48-bit command: `previous` is sent too
  Direction direction = Direction::None;
  bool useDma = false;
  std::span<std::uint8_t> data{};
  std::uint32_t timeoutSeconds = 0;
  std::stop_token stop{};
};

struct AtaOutcome {
  bool transportOk = false;  // the command reached the device and registers came back
  bool timedOut = false;
  int osError = 0;
  AtaRegisters current{};   // features = error register, command = status register
  AtaRegisters previous{};  // returned high-order bytes of a 48-bit command
  std::size_t transferred = 0;
};

// Facts about an open device that the library decides on, in place of the
// text of its path.
struct DeviceTraits {
  bool onUsb = false;  // the device is attached through USB
};

class Device {
 public:
  virtual ~Device() = default;
  virtual ScsiOutcome scsi(const ScsiCommand& command) = 0;
  virtual AtaOutcome ata(const AtaCommand& command) = 0;
  virtual DeviceTraits traits() const = 0;
};

struct OpenOutcome {
  std::unique_ptr<Device> device{};  // empty when the open failed
  int osError = 0;
};

class Backend {
 public:
  virtual ~Backend() = default;
  virtual OpenOutcome open(std::string_view path, Sharing sharing) = 0;
};

// The backend in force. Without an installed one it is the real Linux backend.
void installBackend(std::shared_ptr<Backend> backend);
std::shared_ptr<Backend> currentBackend();

// Opens through the backend in force.
OpenOutcome open(std::string_view path, Sharing sharing);

}  // namespace platform::storage
