#pragma once
// The controller's side of the vendor tunnel: vendor blocks arrive as the
// data of vendor ATA commands while vendor mode is on. A write tagged 0xFF
// carries the command sector; a write or read tagged with the pending
// sub-op is its data phase; a read tagged 0xFF with nothing pending is the
// firmware's signature sector.

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "ata_result.h"
#include "controller.h"
#include "drivesim/faults.h"
#include "drivesim/wire_log.h"

namespace drivesim::detail {

class TunnelDecoder {
 public:
  TunnelDecoder(TolvaneController& controller, WireLog& wire) : controller_(controller), wire_(wire) {}

  static bool isTunnelOpcode(std::uint8_t command);
  // 0x8F, 0x88 and 0xC5 carry data to the drive.
  static bool isTunnelWrite(std::uint8_t command);

  struct Phase {
    std::optional<TunnelPhase> phase;
    std::optional<std::uint8_t> subOp;
  };
  // What a vendor ATA command is, from its registers and data alone.
  static Phase classify(const platform::storage::AtaRegisters& registers, std::span<const std::uint8_t> data);

  // A vendor ATA command while vendor mode is on.
  AtaResult handle(const platform::storage::AtaCommand& command);

  std::optional<std::uint8_t> pendingSubOp() const;
  void reset() { pending_.reset(); }

 private:
  struct Pending {
    VendorBlock block;
    DataPhase phase;
  };
  AtaResult decode(const platform::storage::AtaCommand& command, std::string& note);
  AtaResult commandSector(const platform::storage::AtaCommand& command, std::string& note);
  AtaResult dataPhase(const platform::storage::AtaCommand& command, std::string& note);
  AtaResult signatureSector(const platform::storage::AtaCommand& command, std::string& note);

  TolvaneController& controller_;
  WireLog& wire_;
  std::optional<Pending> pending_;
};

}  // namespace drivesim::detail
