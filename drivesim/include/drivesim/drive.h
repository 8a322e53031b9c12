#pragma once
// One emulated drive: its front end, the ATA device behind it, the controller
// and the user-data store, guarded by one mutex of its own.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <stop_token>
#include <string>
#include <vector>

#include "drivesim/config.h"
#include "drivesim/faults.h"
#include "drivesim/wire_log.h"
#include "platform/storage.h"

namespace drivesim {

// One page of the flash array.
struct FlashPageRef {
  std::uint8_t channel = 0;
  std::uint8_t chipEnable = 0;
  std::uint16_t block = 0;
  std::uint16_t page = 0;
  friend bool operator==(const FlashPageRef&, const FlashPageRef&) = default;
};

// What a USB device tells the host about itself in its descriptors.
struct UsbIdentity {
  std::uint16_t vendorId = 0;
  std::uint16_t productId = 0;
  std::string manufacturer;  // string descriptors 1, 2 and 3; empty: none
  std::string product;
  std::string serial;

  friend bool operator==(const UsbIdentity&, const UsbIdentity&) = default;
};

namespace detail {
struct DriveModel;
struct Interruption;
}

class Drive {
 public:
  explicit Drive(DriveConfig config);
  ~Drive();
  Drive(const Drive&) = delete;
  Drive& operator=(const Drive&) = delete;

  const DriveConfig& config() const { return config_; }
  WireLog& wire();

  void injectFault(FaultRule rule);
  void clearFaults();

  // Unplugging fails the command in flight, every later one and every open;
  // plugging back powers the drive up afresh: handles opened before stay dead.
  void unplug();
  void plug();
  bool plugged() const;
  // Tells `watcher` the plug state at once and after every change (true:
  // plugged in), under the drive's lock: it must not call the drive.
  void watchPlug(std::function<void(bool plugged)> watcher);

  // The USB identity of a downloaded firmware running behind the
  // controller's own USB interface (its 'U' identity page); none while the
  // identity the drive came with stands (another firmware, the loader, or a
  // bridge, whose descriptors are the bridge's own).
  std::optional<UsbIdentity> firmwareUsbIdentity() const;
  // Tells `watcher` that identity at once and after every change: the drive
  // has reset and comes back to the host as the device it now reports. Called
  // under the drive's lock: it must not call the drive.
  void watchUsbIdentity(std::function<void(const std::optional<UsbIdentity>&)> watcher);

  bool vendorMode() const;
  RunState runState() const;
  std::uint8_t registerByte(std::uint32_t address) const;
  std::vector<std::uint8_t> memory(std::uint32_t address, std::size_t length) const;
  // What the medium holds (the configured read faults do not apply).
  std::vector<std::uint8_t> userSectors(std::uint64_t lba, std::uint32_t count) const;
  std::size_t storedSectorCount() const;  // sectors ever written
  std::size_t storedDataBytes() const;    // memory the user data takes; chunks all 0xFF take none
  // The erase-count table the firmware answers for a channel and bank index:
  // an 8-byte header (bank, channel, u16 entry count n at 4), then n 32-bit counts.
  std::vector<std::uint8_t> eraseCountTable(std::uint8_t channel, std::uint8_t bank) const;
  std::uint64_t nativeMaxAddress() const;   // last LBA of the medium
  std::uint64_t currentMaxAddress() const;  // last LBA the host may address
  std::optional<std::uint8_t> bridgeOption() const;
  std::optional<std::uint8_t> pendingSubOp() const;  // tunnelled command awaiting its data phase

  // One flash page (page bytes of the geometry; 0xFF where nothing is
  // programmed); empty where the drive has no chip or the page lies beyond the flash.
  std::vector<std::uint8_t> flashPage(std::uint8_t channel, std::uint8_t chipEnable, std::uint16_t block,
                                      std::uint16_t page) const;
  // Puts bytes into a flash page at `offset`, as if programmed there before the
  // drive came to the line (loader header pages, say); the rest of the page is
  // kept. False where flashPage() would be empty or the bytes overrun the page.
  bool putFlashBytes(std::uint8_t channel, std::uint8_t chipEnable, std::uint16_t block, std::uint16_t page,
                     std::size_t offset, std::span<const std::uint8_t> bytes);
  // Pages the host programmed a second time without erasing their block, in
  // the order tried (per channel of a write); each such write failed and
  // changed nothing.
  std::vector<FlashPageRef> reprogrammedPages() const;

  // The host side, called by the handles that the Line opens. `generation`
  // tells a handle opened before an unplug from one opened after it.
  struct OpenResult {
    bool opened = false;
    int osError = 0;
    std::uint64_t generation = 0;
  };
  OpenResult hostOpen();
  platform::storage::ScsiOutcome hostScsi(const platform::storage::ScsiCommand& command, std::uint64_t generation);
  platform::storage::AtaOutcome hostAta(const platform::storage::AtaCommand& command, std::uint64_t generation);
  platform::storage::DeviceTraits traits() const;

  // The host's block I/O on the user data, as the system's disk node of the
  // drive offers it: whole sectors below the sectors the host may address,
  // with the medium's faults. An open takes the open faults as hostOpen does.
  struct BlockOpen {
    bool opened = false;
    std::string error;
    std::uint64_t generation = 0;
    std::uint64_t sectors = 0;
  };
  BlockOpen hostBlockOpen();
  bool hostBlockRead(std::uint64_t lba, std::span<std::uint8_t> out, std::uint64_t generation);
  bool hostBlockWrite(std::uint64_t lba, std::span<const std::uint8_t> in, std::uint64_t generation);

 private:
  bool reachable(std::uint64_t generation) const;
  void unplugLocked();
  std::optional<detail::Interruption> interrupt(const FaultRule& rule, std::unique_lock<std::mutex>& lock,
                                                const std::stop_token& stop, std::uint32_t timeoutSeconds,
                                                std::uint64_t generation);

  const DriveConfig config_;
  mutable std::mutex mutex_;
  std::stop_source unplugged_;  // requested when the drive is pulled; ends hanging commands
  std::function<void(bool)> plugWatcher_;
  std::function<void(const std::optional<UsbIdentity>&)> identityWatcher_;
  std::optional<UsbIdentity> announcedIdentity_;  // as last told to the watcher
  std::optional<UsbIdentity> firmwareUsbIdentityLocked() const;
  void announceUsbIdentityLocked();
  std::unique_ptr<detail::DriveModel> model_;
};

}  // namespace drivesim
