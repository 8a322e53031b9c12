#include "sat.h"

#include "bytes.h"

namespace drivesim::detail {
namespace {

using platform::storage::AtaCommand;
using platform::storage::Direction;

// Byte 2.
constexpr std::uint8_t kCheckConditionFlag = 0x20;
constexpr std::uint8_t kToHost = 0x08;
constexpr std::uint8_t kLengthInBlocks = 0x04;
constexpr std::uint8_t kLengthField = 0x03;  // 0 none, 1 features, 2 sector count, 3 the transport's length

constexpr std::uint8_t kAtaStatusReturn = 0x09;
constexpr std::uint8_t kAscqPassThroughInformation = 0x1d;

std::size_t cdbLength(std::uint8_t opcode) { return opcode == kAtaPassThrough12 ? 12 : 16; }

bool movesIn(std::uint8_t p) { return p == protocol::kPioIn || p == protocol::kUdmaIn; }
bool movesOut(std::uint8_t p) { return p == protocol::kPioOut || p == protocol::kUdmaOut; }

}  // namespace

bool isSat(std::span<const std::uint8_t> cdb) {
  return !cdb.empty() && (cdb[0] == kAtaPassThrough12 || cdb[0] == kAtaPassThrough16);
}

std::optional<AtaCommand> satTaskFile(std::span<const std::uint8_t> cdb) {
  if (!isSat(cdb) || !cdbHolds(cdb, cdbLength(cdb[0]))) return std::nullopt;
  AtaCommand ata;
  auto& r = ata.current;
  if (cdb[0] == kAtaPassThrough12) {
    r = {cdb[3], cdb[4], cdb[5], cdb[6], cdb[7], cdb[8], cdb[9]};
    return ata;
  }
  r = {cdb[4], cdb[6], cdb[8], cdb[10], cdb[12], cdb[13], cdb[14]};
  ata.extended = (cdb[1] & 0x01) != 0;
  if (ata.extended) ata.previous = {cdb[3], cdb[5], cdb[7], cdb[9], cdb[11], 0, 0};
  return ata;
}

std::variant<SatRequest, ScsiResult> parseSat(std::span<const std::uint8_t> cdb, const HostData& host) {
  const auto taskFile = satTaskFile(cdb);
  if (!taskFile) return invalidField("ATA PASS-THROUGH CDB of " + std::to_string(cdb.size()) + " bytes");
  SatRequest request{.ata = *taskFile,
                     .protocol = static_cast<std::uint8_t>((cdb[1] >> 1) & 0x0f),
                     .checkCondition = (cdb[2] & kCheckConditionFlag) != 0};
  const std::uint8_t p = request.protocol;
  const std::uint8_t lengthField = cdb[2] & kLengthField;
  const bool toHost = (cdb[2] & kToHost) != 0;

  if (p == protocol::kNonData) {
    if (lengthField != 0 || !host.none()) return invalidField("non-data protocol with a data phase");
  } else if (movesIn(p) || movesOut(p) || p == protocol::kDma) {
    const bool in = p == protocol::kDma ? toHost : movesIn(p);
    if (lengthField == 0 || toHost != in || !(in ? host.in() : host.out())) {
      return invalidField("protocol " + std::to_string(p) + " does not match the data phase");
    }
    if (lengthField != 3) {
      const auto& r = request.ata.current;
      const std::size_t units = lengthField == 1 ? r.features : r.count;
      const std::size_t bytes = (cdb[2] & kLengthInBlocks) != 0 ? units * 512 : units;
      if (bytes != host.data.size()) {
        return invalidField("transfer length " + std::to_string(bytes) + " for a span of " +
                            std::to_string(host.data.size()));
      }
    }
  } else {
    return invalidField("protocol " + std::to_string(p));
  }
  request.ata.direction = host.none() ? Direction::None : host.direction;
  request.ata.useDma = p == protocol::kDma || p == protocol::kUdmaIn || p == protocol::kUdmaOut;
  request.ata.data = host.none() ? std::span<std::uint8_t>{} : host.data;
  return request;
}

ScsiResult satAnswer(const SatRequest& request, const AtaResult& result) {
  if (!result.failed() && !request.checkCondition) return good(result.transferred, "");
  ScsiResult answer;
  answer.status = kCheckCondition;
  answer.transferred = result.transferred;
  auto& s = answer.sense;
  s[0] = 0x72;  // current error, descriptor format
  if (result.failed()) {
    s[1] = sense::kAbortedCommand;
  } else {
    s[1] = sense::kRecoveredError;
    s[3] = kAscqPassThroughInformation;
  }
  s[7] = 14;
  auto* d = &s[8];
  const auto& low = result.current;
  const auto& high = result.previous;
  d[0] = kAtaStatusReturn;
  d[1] = 12;
  d[2] = request.ata.extended ? 0x01 : 0x00;
  d[3] = low.features;
  d[4] = high.count;
  d[5] = low.count;
  d[6] = high.lbaLow;
  d[7] = low.lbaLow;
  d[8] = high.lbaMid;
  d[9] = low.lbaMid;
  d[10] = high.lbaHigh;
  d[11] = low.lbaHigh;
  d[12] = low.device;
  d[13] = low.command;
  answer.senseLength = 22;
  return answer;
}

}  // namespace drivesim::detail
