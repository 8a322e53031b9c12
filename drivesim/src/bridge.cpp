// A USB-to-SATA bridge of a given chip type: answers INQUIRY with its own
// identity and key, translates ATA PASS-THROUGH and block reads and writes
// onto the drive behind it. Chip type 7 takes its option block FF 04 32 <value>.

#include <variant>

#include "bytes.h"
#include "front_end.h"
#include "sat.h"
#include "wire_entry.h"

namespace drivesim::detail {
namespace {

using bytes::hex;
using platform::storage::Direction;

constexpr int kOptionChipType = 7;
constexpr std::uint8_t kOptionSubOp = 0x32;

class BridgeFrontEnd final : public FrontEndDevice {
 public:
  BridgeFrontEnd(const DriveConfig& config, WireLog& wire, AtaDevice& ata) : config_(config), wire_(wire), ata_(ata) {}

  ScsiResult scsi(std::span<const std::uint8_t> cdb, const HostData& host, const CommandFaults& faults) override {
    switch (cdb[0]) {
      case kInquiry:
        return inquiry(cdb, host, {config_.inquiryVendor, config_.inquiryProduct, config_.inquiryRevision,
                                   config_.bridgeKey, config_.removable});
      case kReadCapacity10: return readCapacity10(cdb, host, ata_.currentSectors());
      case kRead10:
      case kWrite10: return translateBlockIo(ata_, cdb, host, faults);
      case kAtaPassThrough12:
      case kAtaPassThrough16: return passThrough(cdb, host, faults);
      case kVendorBlock: return optionBlock(cdb, host);
      default: return invalidOpcode(cdb[0]);
    }
  }

  AtaResult ata(const platform::storage::AtaCommand& command, const CommandFaults& faults) override {
    wire_.record(received(Layer::Bridge, taskFileBytes(command), command.direction, command.useDma, command.data,
                          "task file to the drive"));
    return ata_.execute(command, faults.ataError);
  }

  CommandKey classifyScsi(std::span<const std::uint8_t> cdb, const HostData& host) const override {
    CommandKey key = keyOfTranslatedScsi(ata_, cdb, host);
    if (cdb[0] == kVendorBlock && cdb.size() >= 3) key.subOp = cdb[2];
    return key;
  }

  CommandKey classifyAta(const platform::storage::AtaCommand& command) const override {
    return keyOfAtaCommand(ata_, command);
  }

  bool onUsb() const override { return true; }
  std::optional<std::uint8_t> bridgeOption() const override { return option_; }

 private:
  ScsiResult passThrough(std::span<const std::uint8_t> cdb, const HostData& host, const CommandFaults& faults) {
    const auto parsed = parseSat(cdb, host);
    if (const auto* refusal = std::get_if<ScsiResult>(&parsed)) return *refusal;
    const SatRequest& request = std::get<SatRequest>(parsed);
    const bool udma = request.protocol == protocol::kUdmaIn || request.protocol == protocol::kUdmaOut;
    if (udma && !config_.bridgeCarriesUdma) {
      return invalidField("UDMA protocol " + std::to_string(request.protocol) + " on a bridge without UDMA");
    }
    wire_.record(received(Layer::Bridge, {cdb.begin(), cdb.end()}, request.ata.direction, request.ata.useDma,
                          request.ata.data,
                          "ATA " + hex(request.ata.current.command) + ", protocol " + std::to_string(request.protocol)));
    ScsiResult answer = satAnswer(request, ata_.execute(request.ata, faults.ataError));
    answer.note = "ATA PASS-THROUGH to " + hex(request.ata.current.command);
    return answer;
  }

  ScsiResult optionBlock(std::span<const std::uint8_t> cdb, const HostData& host) {
    const bool isOption = config_.bridgeChipType == kOptionChipType && cdbHolds(cdb, 12) && cdb[1] == 0x04 &&
                          cdb[2] == kOptionSubOp;
    if (!isOption) return invalidOpcode(cdb[0]);
    if (!host.none()) return invalidField("bridge option with a data phase");
    option_ = cdb[3];
    wire_.record(received(Layer::Bridge, {cdb.begin(), cdb.end()}, Direction::None, false, {},
                          "bridge option " + hex(cdb[3])));
    return good(0, "bridge option");
  }

  const DriveConfig& config_;
  WireLog& wire_;
  AtaDevice& ata_;
  std::optional<std::uint8_t> option_;
};

}  // namespace

std::unique_ptr<FrontEndDevice> makeBridge(const DriveConfig& config, WireLog& wire, AtaDevice& ata) {
  return std::make_unique<BridgeFrontEnd>(config, wire, ata);
}

}  // namespace drivesim::detail
