#pragma once
// The per-port I/O records: what the library knows about the drive behind each
// port index, and the process-wide choices that commands depend on.

#include <array>
#include <atomic>
#include <cstdint>
#include <stop_token>
#include <string>

namespace devlib {

// Which program runs decides the size of the port table and the form of the
// LBA read and write commands on SATA-path ports.
enum class ProgramKind { Fleetburn, Blockprobe };

inline constexpr int kFleetburnPortCount = 50;
inline constexpr int kBlockprobeSlotCount = 12;

// The tunnel opcode set that a port starts with and that the process-wide
// selector holds after start-up.
inline constexpr std::uint8_t kStartOpcodeSet = 2;

struct PortIoRecord {
  std::string devicePath;        // the record's own copy; empty = no device on the port
  std::uint8_t usbPath = 0;      // 1: the controller's own USB interface takes the vendor block as a SCSI command
  std::uint8_t nativeAta = 0;    // 1: commands go through ATA pass-through
  std::array<std::uint16_t, 4> loaderBlocks{};
  std::uint8_t loaderBlockCount = 0;
  std::uint32_t layoutValue = 0;
  std::array<std::uint16_t, 4> layoutWords{};
  std::uint8_t modeByte = 0;
  // The tunnel opcode set this port's commands use. Per port, so that one
  // port's firmware download switching sets never changes another port's.
  std::atomic<std::uint8_t> opcodeSet{kStartOpcodeSet};
  std::atomic<bool> forceOpcodeSet1{false};
  // Ends this port's commands and waits early when a stop is requested.
  std::stop_token stop;
};

// Builds a fresh table for the program (50 ports or 12 slots), resets the
// opcode selector and records the program kind. Called once at start-up,
// before any worker runs.
void InitPortIoTable(ProgramKind kind);

ProgramKind CurrentProgramKind();
int PortIoCount();

// The port's record, or nullptr when the index lies outside the table.
PortIoRecord* PortIo(int port);

// The process-wide tunnel opcode selector. Commands never read it directly.
std::uint8_t VendorOpcodeSet();
void SetVendorOpcodeSet(std::uint8_t opcodeSet);

// Copies the process-wide selector into the port's record, as the settings
// application and the path choice do. False when the port does not exist.
bool ApplyVendorOpcodeSet(int port);

}  // namespace devlib
