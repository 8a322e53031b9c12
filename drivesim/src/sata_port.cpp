// A native SATA port: the ATA device takes task files directly, and SCSI
// commands through a translator that behaves as libata's does.

#include <variant>

#include "bytes.h"
#include "front_end.h"
#include "sat.h"

namespace drivesim::detail {
namespace {

class SataPortFrontEnd final : public FrontEndDevice {
 public:
  explicit SataPortFrontEnd(AtaDevice& ata) : ata_(ata) {}

  ScsiResult scsi(std::span<const std::uint8_t> cdb, const HostData& host, const CommandFaults& faults) override {
    switch (cdb[0]) {
      case kInquiry: return inquiry(cdb, host, identity());
      case kReadCapacity10: return readCapacity10(cdb, host, ata_.currentSectors());
      case kRead10:
      case kWrite10: return translateBlockIo(ata_, cdb, host, faults);
      case kAtaPassThrough12:
      case kAtaPassThrough16: return passThrough(cdb, host, faults);
      default: return invalidOpcode(cdb[0]);
    }
  }

  AtaResult ata(const platform::storage::AtaCommand& command, const CommandFaults& faults) override {
    return ata_.execute(command, faults.ataError);
  }

  CommandKey classifyScsi(std::span<const std::uint8_t> cdb, const HostData& host) const override {
    return keyOfTranslatedScsi(ata_, cdb, host);
  }

  CommandKey classifyAta(const platform::storage::AtaCommand& command) const override {
    return keyOfAtaCommand(ata_, command);
  }

  bool onUsb() const override { return false; }

 private:
  // libata: vendor "ATA", the first 16 model characters, and the last four
  // characters of the firmware revision unless they are blank.
  InquiryIdentity identity() const {
    const std::string model = ata_.modelText();
    std::string firmware = ata_.firmwareText();
    firmware.resize(8, ' ');
    std::string revision = firmware.substr(4, 4);
    if (revision == "    ") revision = firmware.substr(0, 4);
    return {"ATA", model.substr(0, 16), revision, "", false};
  }

  ScsiResult passThrough(std::span<const std::uint8_t> cdb, const HostData& host, const CommandFaults& faults) {
    const auto parsed = parseSat(cdb, host);
    if (const auto* refusal = std::get_if<ScsiResult>(&parsed)) return *refusal;
    const SatRequest& request = std::get<SatRequest>(parsed);
    ScsiResult answer = satAnswer(request, ata_.execute(request.ata, faults.ataError));
    answer.note = "ATA PASS-THROUGH to " + bytes::hex(request.ata.current.command);
    return answer;
  }

  AtaDevice& ata_;
};

}  // namespace

std::unique_ptr<FrontEndDevice> makeSataPort(AtaDevice& ata) { return std::make_unique<SataPortFrontEnd>(ata); }

}  // namespace drivesim::detail
