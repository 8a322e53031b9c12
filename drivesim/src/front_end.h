#pragma once
// How a drive meets the host: the controller's own USB interface, a
// USB-to-SATA bridge, or a native SATA port. Each takes SCSI commands and
// ATA task files and hands them down to the layers behind it.

#include <cstdint>
#include <memory>
#include <optional>
#include <span>

#include "ata_device.h"
#include "ata_result.h"
#include "controller.h"
#include "drivesim/config.h"
#include "drivesim/wire_log.h"
#include "fault_injector.h"
#include "lba_store.h"
#include "scsi_target.h"

namespace drivesim::detail {

// Faults that a layer below the front end acts out.
struct CommandFaults {
  std::optional<std::uint8_t> ataError;
};

class FrontEndDevice {
 public:
  virtual ~FrontEndDevice() = default;
  virtual ScsiResult scsi(std::span<const std::uint8_t> cdb, const HostData& host, const CommandFaults& faults) = 0;
  virtual AtaResult ata(const platform::storage::AtaCommand& command, const CommandFaults& faults) = 0;
  virtual CommandKey classifyScsi(std::span<const std::uint8_t> cdb, const HostData& host) const = 0;
  virtual CommandKey classifyAta(const platform::storage::AtaCommand& command) const = 0;
  virtual bool onUsb() const = 0;
  virtual std::optional<std::uint8_t> bridgeOption() const { return std::nullopt; }
};

std::unique_ptr<FrontEndDevice> makeOwnUsb(const DriveConfig& config, WireLog& wire, LbaStore& store,
                                           TolvaneController& controller);
std::unique_ptr<FrontEndDevice> makeBridge(const DriveConfig& config, WireLog& wire, AtaDevice& ata);
std::unique_ptr<FrontEndDevice> makeSataPort(AtaDevice& ata);

// What bridges and the SATA port share: SCSI commands that an ATA device
// serves behind a translator.
ScsiResult translateBlockIo(AtaDevice& ata, std::span<const std::uint8_t> cdb, const HostData& host,
                            const CommandFaults& faults);
CommandKey keyOfAtaCommand(const AtaDevice& ata, const platform::storage::AtaCommand& command);
CommandKey keyOfTranslatedScsi(const AtaDevice& ata, std::span<const std::uint8_t> cdb, const HostData& host);

}  // namespace drivesim::detail
