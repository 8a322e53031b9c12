#pragma once
// The drive as an ATA device: IDENTIFY, SET FEATURES and vendor mode,
// S.M.A.R.T., the max address, DMA reads and writes on the user data, and
// the vendor tunnel.

#include <cstdint>
#include <optional>
#include <string>

#include "ata_data.h"
#include "ata_result.h"
#include "controller.h"
#include "drivesim/config.h"
#include "drivesim/wire_log.h"
#include "lba_store.h"
#include "tunnel.h"

namespace drivesim::detail {

class AtaDevice {
 public:
  AtaDevice(const DriveConfig& config, LbaStore& store, TolvaneController& controller, WireLog& wire);

  // `forcedError` answers the command with ERR and that error register
  // instead of running it (an injected fault).
  AtaResult execute(const platform::storage::AtaCommand& command, std::optional<std::uint8_t> forcedError = {});

  // Whether the command goes to the tunnel decoder as things stand.
  bool tunnels(std::uint8_t command) const;

  // The identity texts in force: the loader and the RAM codes report the
  // loader's model; downloaded SATA firmware its IDENTIFY image's texts.
  std::string modelText() const;
  std::string firmwareText() const;

  std::uint64_t nativeSectors() const { return nativeSectors_; }
  std::uint64_t currentSectors() const { return currentSectors_; }
  std::optional<std::uint8_t> pendingSubOp() const { return tunnel_.pendingSubOp(); }
  void powerOn() { tunnel_.reset(); }

 private:
  struct Answer {
    AtaResult result;
    std::string note;
  };
  using Command = platform::storage::AtaCommand;
  Answer dispatch(const Command& c);
  Answer identify(const Command& c);
  const BootedFirmware* bootedSata() const;
  DataSector bootedIdentify(const BootedFirmware& booted) const;
  Answer setFeatures(const Command& c);
  Answer smart(const Command& c);
  Answer readNativeMax(const Command& c, bool extended);
  Answer setMax(const Command& c, bool extended);
  Answer transfer(const Command& c, bool write, bool extended);

  const DriveConfig& config_;
  LbaStore& store_;
  TolvaneController& controller_;
  WireLog& wire_;
  TunnelDecoder tunnel_;
  std::uint64_t nativeSectors_;
  std::uint64_t currentSectors_;  // sectors up to and including the current max address
};

}  // namespace drivesim::detail
