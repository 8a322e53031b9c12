// The controller's own USB interface (chip type 10): the 12-byte vendor block
// FF 04 ... arrives as a SCSI command and carries its data phase itself. It
// has no ATA behind it and translates no ATA PASS-THROUGH.

#include <algorithm>
#include <variant>

#include "bytes.h"
#include "front_end.h"
#include "wire_entry.h"

namespace drivesim::detail {
namespace {

using bytes::hex;

constexpr std::uint8_t kUsbBlock = 0x04;

class OwnUsbFrontEnd final : public FrontEndDevice {
 public:
  OwnUsbFrontEnd(const DriveConfig& config, WireLog& wire, LbaStore& store, TolvaneController& controller)
      : config_(config), wire_(wire), store_(store), controller_(controller) {}

  ScsiResult scsi(std::span<const std::uint8_t> cdb, const HostData& host, const CommandFaults&) override {
    // The interface is the controller's own: while it restarts, nothing answers.
    if (!controller_.responsive()) {
      return checkCondition(sense::kNotReady, sense::kNotReadyCause, sense::kBecomingReady, "the controller is restarting");
    }
    switch (cdb[0]) {
      case kInquiry:
        // A drive that re-enumerates after a run-mode switch is not there yet.
        if (controller_.takeReenumerationAttempt()) {
          return checkCondition(sense::kNotReady, sense::kNotReadyCause, sense::kBecomingReady,
                                "INQUIRY while the drive re-enumerates");
        }
        return inquiry(cdb, host, identity());
      case kReadCapacity10: return readCapacity10(cdb, host, config_.sectorCount);
      case kRead10:
      case kWrite10: return blockTransfer(cdb, host);
      case kVendorBlock: return vendorBlock(cdb, host);
      default: return invalidOpcode(cdb[0]);
    }
  }

  AtaResult ata(const platform::storage::AtaCommand& command, const CommandFaults&) override {
    wire_.record(received(Layer::Ata, taskFileBytes(command), command.direction, command.useDma, command.data,
                          "refused: the controller's USB interface takes no ATA pass-through"));
    return ataFailed(command, kErrorAbort);
  }

  CommandKey classifyScsi(std::span<const std::uint8_t> cdb, const HostData& host) const override {
    CommandKey key;
    key.scsi = true;
    key.dataIn = host.in();
    key.scsiOpcode = cdb[0];
    if (cdb[0] == kVendorBlock && cdb.size() >= 3) key.subOp = cdb[2];
    if (cdb[0] == kVendorBlock) addFlashAddress(key, cdb);
    return key;
  }

  CommandKey classifyAta(const platform::storage::AtaCommand& command) const override {
    CommandKey key;
    key.dataIn = command.direction == platform::storage::Direction::In && !command.data.empty();
    return key;
  }

  bool onUsb() const override { return true; }

 private:
  // The loader answers with its own identity: the first 8 characters of its
  // text are the vendor, the rest the product. Downloaded USB firmware
  // answers from its INQUIRY image.
  InquiryIdentity identity() const {
    const BootedFirmware* booted = controller_.booted();
    if (booted != nullptr && booted->mode == 'U') {
      const auto image = booted->inquiryImage();
      const auto text = [&image](std::size_t at, std::size_t length) {
        return std::string(image.begin() + static_cast<std::ptrdiff_t>(at),
                           image.begin() + static_cast<std::ptrdiff_t>(at + length));
      };
      return {text(8, 8), text(16, 16), text(32, 4), config_.bridgeKey, (image[1] & 0x80) != 0};
    }
    if (controller_.runState() != RunState::Firmware) {
      const std::string& text = config_.usbLoaderInquiry;
      return {text.substr(0, std::min<std::size_t>(8, text.size())), text.size() > 8 ? text.substr(8) : "",
              config_.inquiryRevision, config_.bridgeKey, config_.removable};
    }
    return {config_.inquiryVendor, config_.inquiryProduct, config_.inquiryRevision, config_.bridgeKey,
            config_.removable};
  }

  ScsiResult blockTransfer(std::span<const std::uint8_t> cdb, const HostData& host) {
    const auto checked = blockIo(cdb, host, config_.sectorCount);
    if (const auto* refusal = std::get_if<ScsiResult>(&checked)) return *refusal;
    const BlockIo io = std::get<BlockIo>(checked);
    if (io.write) {
      if (const auto bad = store_.write(io.lba, host.data)) {
        return checkCondition(sense::kMediumError, sense::kWriteError, 0,
                              "WRITE (10): write fault at " + std::to_string(*bad));
      }
    } else if (io.count != 0) {
      if (const auto bad = store_.read(io.lba, host.data)) {
        return checkCondition(sense::kMediumError, sense::kUnrecoveredReadError, 0,
                              "READ (10): read error at " + std::to_string(*bad));
      }
    }
    return good(io.count == 0 ? 0 : host.data.size(), std::string(io.write ? "WRITE (10) " : "READ (10) ") +
                                                          std::to_string(io.count) + " at " + std::to_string(io.lba));
  }

  ScsiResult vendorBlock(std::span<const std::uint8_t> cdb, const HostData& host) {
    VendorBlock block{};
    if (!cdbHolds(cdb, block.size())) return invalidField("vendor block of " + std::to_string(cdb.size()) + " bytes");
    if (cdb[1] != kUsbBlock) return invalidField("vendor block byte 1 " + hex(cdb[1]));
    std::copy_n(cdb.begin(), block.size(), block.begin());
    const std::uint8_t subOp = block[2];
    if (config_.refusesVendorMode) return checkCondition(sense::kAbortedCommand, 0, 0, "vendor block refused");
    const auto phase = controller_.dataPhaseOf(subOp, ReplyPath::Usb);
    if (!phase) return invalidField("sub-op " + hex(subOp) + " not served");
    const bool fits = *phase == DataPhase::None ? host.none() : (*phase == DataPhase::In ? host.in() : host.out());
    if (!fits) return invalidField("sub-op " + hex(subOp) + " with the wrong data phase");
    const auto data = *phase == DataPhase::None ? std::span<std::uint8_t>{} : host.data;
    if (!controller_.execute(block, data, ReplyPath::Usb)) {
      return checkCondition(sense::kAbortedCommand, 0, 0, "sub-op " + hex(subOp) + " failed");
    }
    return good(data.size(), "vendor block " + hex(subOp));
  }

  const DriveConfig& config_;
  WireLog& wire_;
  LbaStore& store_;
  TolvaneController& controller_;
};

}  // namespace

std::unique_ptr<FrontEndDevice> makeOwnUsb(const DriveConfig& config, WireLog& wire, LbaStore& store,
                                           TolvaneController& controller) {
  return std::make_unique<OwnUsbFrontEnd>(config, wire, store, controller);
}

}  // namespace drivesim::detail
