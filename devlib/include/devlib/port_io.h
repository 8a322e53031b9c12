#pragma once
// The per-port I/O records: what the library knows about the drive behind each
// port index, and the process-wide choices that commands depend on.

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <stop_token>
#include <string>
#include <string_view>

namespace devlib {

// Which program runs decides the size of the port table and the form of the
// LBA read and write commands on SATA-path ports.
enum class ProgramKind { Fleetburn, Blockprobe };

inline constexpr int kFleetburnPortCount = 50;
inline constexpr int kBlockprobeSlotCount = 12;

// The tunnel opcode set that a port starts with and that the process-wide
// selector holds after start-up.
inline constexpr std::uint8_t kStartOpcodeSet = 2;

// How a port's commands reach its drive. A published value never changes:
// a command takes the one in force when it starts and uses only that, so a
// new path written meanwhile cannot reach a command half-way.
struct PortTransport {
  std::string devicePath;      // empty = no device on the port
  std::uint8_t usbPath = 0;    // 1: the controller's own USB interface takes the vendor block as a SCSI command
  std::uint8_t nativeAta = 0;  // 1: commands go through ATA pass-through
  // Ends the port's commands and waits early. Only a work session sets it.
  std::stop_token stop;
};

namespace detail {
struct PortTransportAccess;
}

struct PortIoRecord {
  std::array<std::uint16_t, 4> loaderBlocks{};
  std::uint8_t loaderBlockCount = 0;
  std::uint32_t layoutValue = 0;
  std::array<std::uint16_t, 4> layoutWords{};
  std::uint8_t modeByte = 0;
  // The tunnel opcode set this port's commands use. Per port, so that one
  // port's firmware download switching sets never changes another port's.
  std::atomic<std::uint8_t> opcodeSet{kStartOpcodeSet};
  std::atomic<bool> forceOpcodeSet1{false};

  // The transport in force (never null).
  std::shared_ptr<const PortTransport> Transport() const;
  std::stop_token Stop() const;

 private:
  friend struct detail::PortTransportAccess;
  mutable std::mutex transportLock_;
  std::shared_ptr<const PortTransport> transport_ = std::make_shared<const PortTransport>();
  bool workerAlive_ = false;
};

// Builds a fresh table for the program (50 ports or 12 slots), resets the
// opcode selector and records the program kind. Called at start-up: while a
// work session is open on any port it is refused (false) and the table stays.
bool InitPortIoTable(ProgramKind kind);

ProgramKind CurrentProgramKind();
int PortIoCount();

// The port's record, or nullptr when the index lies outside the table.
PortIoRecord* PortIo(int port);

// The port's transport in force; nullptr when the port does not exist.
std::shared_ptr<const PortTransport> PortTransportOf(int port);
// The stop token of the port's work session; an empty one outside a session.
std::stop_token PortStop(int port);

// Writes of the port's transport, each publishing a new value. Refused (false,
// with a debug line) while a work session is open on the port, and when the
// port does not exist. SetPortPath keeps the flags, SetPortTransportFlags the path.
bool SetPortTransport(int port, std::string_view devicePath, std::uint8_t usbPath, std::uint8_t nativeAta);
bool SetPortPath(int port, std::string_view devicePath);
bool SetPortTransportFlags(int port, std::uint8_t usbPath, std::uint8_t nativeAta);

// A port's work session: while it lives, the port's worker is alive, the
// port's transport carries the session's stop token and cannot be written.
// Ending it (destruction) takes the stop token out again.
class PortWork {
 public:
  PortWork() = default;
  PortWork(PortWork&& other) noexcept;
  PortWork& operator=(PortWork&& other) noexcept;
  PortWork(const PortWork&) = delete;
  PortWork& operator=(const PortWork&) = delete;
  ~PortWork();

  // False for a session that was refused.
  explicit operator bool() const { return port_ >= 0; }
  int port() const { return port_; }

 private:
  friend PortWork BeginPortWork(int port, std::stop_token stop);
  explicit PortWork(int port) : port_(port) {}
  void End();

  int port_ = -1;
};

// Opens the port's work session with the worker's stop token. Refused (an
// empty session, with a debug line) when the port does not exist or its
// worker is still alive.
PortWork BeginPortWork(int port, std::stop_token stop);
bool PortWorkerAlive(int port);

// The process-wide tunnel opcode selector. Commands never read it directly.
std::uint8_t VendorOpcodeSet();
void SetVendorOpcodeSet(std::uint8_t opcodeSet);

// Copies the process-wide selector into the port's record, as the settings
// application and the path choice do; a port forced to opcode set 1 (bridge
// chip types 1 and 14) keeps set 1. False when the port does not exist.
bool ApplyVendorOpcodeSet(int port);

}  // namespace devlib
