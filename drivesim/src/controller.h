#pragma once
// The Tolvane controller: what runs in it, its registers and memory, the
// flash array, and the vendor sub-operations each run state serves.

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "drivesim/config.h"
#include "drivesim/wire_log.h"
#include "firmware_boot.h"
#include "flash_array.h"
#include "nand_tables.h"
#include "sparse_memory.h"

namespace drivesim::detail {

using VendorBlock = std::array<std::uint8_t, 12>;

// Status and register replies are [value, ...] on the controller's own USB
// interface and [0xE5, value, ...] when tunnelled.
enum class ReplyPath { Usb, Tunnel };

enum class DataPhase { None, In, Out };

class TolvaneController {
 public:
  TolvaneController(const DriveConfig& config, WireLog& wire);

  // The data phase of a sub-op, or nothing when the code running now does not serve it.
  std::optional<DataPhase> dataPhaseOf(std::uint8_t subOp, ReplyPath path) const;

  // Runs one vendor block with its data phase (filled on data-in, read on
  // data-out). False when the sub-op is not served or fails.
  bool execute(const VendorBlock& block, std::span<std::uint8_t> data, ReplyPath path);

  RunState runState() const { return runState_; }
  // Another maker's firmware: its signature sector is not the controller's.
  bool foreignFirmware() const { return config_.foreignSignature; }
  bool vendorMode() const { return vendorMode_; }
  void setVendorMode(bool on) { vendorMode_ = on; }
  std::uint8_t registerByte(std::uint32_t address) const;
  const SparseMemory& memory() const { return memory_; }
  FlashArray& flash() { return flash_; }
  const FlashArray& flash() const { return flash_; }

  // False while the controller restarts after a run-mode switch or a RAM-code
  // start (the drive's `unresponsiveMs`, on the virtual clock).
  bool responsive() const;

  // After a run-mode switch the drive re-enumerates for the configured number
  // of attempts: true (and one attempt used) while an INQUIRY or a signature
  // read is still to fail.
  bool takeReenumerationAttempt();

  // What sub-op 0x01 of the firmware answers for a channel and bank index: the
  // table written with sub-op 0x08, else `eraseCountBlocks` counts of its own.
  std::vector<std::uint8_t> eraseCountTable(std::uint8_t channel, std::uint8_t bank) const;

  // Back to the state the controller powers up in; flash contents stay.
  void powerOn();

  // What the tables in flash say about the bad blocks (built by the preformat).
  const BadBlockBook& badBlockBook() const { return badBlocks_; }

  // The downloaded firmware running now; none while the built-in firmware
  // (with the configured identity) or no firmware runs.
  const BootedFirmware* booted() const {
    return runState_ == RunState::Firmware && booted_ ? &*booted_ : nullptr;
  }
  // Pages the host programmed again without erasing their block (each such write failed).
  const std::vector<PageAddress>& reprogramAttempts() const { return reprogramAttempts_; }

 private:
  struct Request {
    const VendorBlock& block;
    std::span<std::uint8_t> data;
    ReplyPath path;
    std::string& note;
  };
  using Handler = bool (TolvaneController::*)(const Request&);
  struct SubOp {
    std::uint8_t code;
    DataPhase phase;
    Handler handler;
  };
  std::optional<SubOp> find(std::uint8_t code, ReplyPath path) const;

  // Served in every state.
  bool controllerInfo(const Request& r);
  bool sessionStart(const Request& r);
  bool runRamCode(const Request& r);
  bool setRunMode(const Request& r);
  bool readRegister(const Request& r);
  bool writeRegister(const Request& r);
  bool readMemory(const Request& r);
  bool writeMemory(const Request& r);
  bool readFlashId(const Request& r);
  bool readFlashPages(const Request& r);
  bool writeFlashPages(const Request& r);
  bool eraseBlock(const Request& r);
  bool readMemoryWindow(const Request& r);
  // RAM codes.
  bool readStatus(const Request& r);
  bool startOperation(const Request& r);
  bool flashIdReport(const Request& r);
  bool failureReport(const Request& r);
  bool loaderList(const Request& r);
  bool writeEraseCounts(const Request& r);
  bool flashTestStep(const Request& r);
  bool testResult(const Request& r);
  bool dramCheck(const Request& r);
  bool readTestMemory(const Request& r);
  bool writeTestMemory(const Request& r);
  // Firmware.
  bool badBlockList(const Request& r);
  bool readEraseCounts(const Request& r);
  bool smartBlock(const Request& r);
  bool readPhysicalPage(const Request& r);

  void reply(const Request& r, std::uint8_t value) const;
  // The checked page address of a flash sub-op, or nothing (and the note says why).
  std::optional<PageAddress> flashTransfer(const Request& r, const char* what) const;
  void startJob(Job job);
  void restarted();
  // The firmware a switch to run mode 2 or 3 (or a power-up) starts: the
  // download in the loader blocks when there is one, else the built-in one.
  // A download that fails the boot checks leaves the loader running.
  RunState enterFirmware(std::uint8_t runMode, std::string& note);
  void operationOneStarted(std::uint8_t options, std::string& note);
  bool olderFirmware() const;
  std::vector<std::uint8_t> physicalPageImage(std::uint8_t firstChannel, std::uint8_t channels,
                                              const PageAddress& unit) const;

  const DriveConfig& config_;
  WireLog& wire_;
  RunState runState_;
  bool vendorMode_ = false;
  std::map<std::uint32_t, std::uint8_t> registers_;
  SparseMemory memory_;
  FlashArray flash_;
  std::map<std::pair<std::uint8_t, std::uint8_t>, std::vector<std::uint8_t>> eraseCounts_;  // by channel, bank
  bool sessionOpen_ = false;  // a session start (0x81) awaits its run-mode switch (0x83)
  std::optional<std::uint64_t> unresponsiveUntilMs_;
  int reenumerationLeft_ = 0;

  struct RunningJob {
    int pollsLeft = 0;
    std::uint64_t busyUntilMs = 0;
    bool stuck = false;
    std::uint8_t finalStatus = 0;
  };
  std::optional<RunningJob> job_;
  std::uint8_t status_ = 0;  // final status of the last job
  int testMemoryWrites_ = 0;
  // The flash interface steps each fault has failed so far, and the entries
  // of the result block in the order the faults first showed.
  std::vector<int> flashTestFaultHits_;
  std::vector<std::size_t> flashTestFailures_;
  void clearFlashTestResults();
  // The DRAM check's outcome for its range and pattern sector.
  std::uint8_t dramCheckStatus(std::uint32_t address, std::uint32_t length, std::span<const std::uint8_t> pattern) const;

  // The last physical page read of the firmware: the reply image and how much
  // of it the first read handed over; the second read goes on from there.
  std::vector<std::uint8_t> pageImage_;
  std::size_t pageImageSent_ = 0;

  // The preformat's bookkeeping (kept in flash, so a power cycle keeps it)
  // and the error block of the last RAM-code operation (sub-op 0x06).
  BadBlockBook badBlocks_;
  std::optional<BootedFirmware> booted_;
  std::vector<PageAddress> reprogramAttempts_;
  std::vector<std::uint8_t> errorBlock_;
  void preformatStarted(std::uint8_t options);
};

}  // namespace drivesim::detail
