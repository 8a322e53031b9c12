#pragma once
// SCSI / ATA translation of ATA PASS-THROUGH (12) and (16), as bridges and
// libata do it: the CDB becomes a task file, and the returned registers come
// back as an ATA Status Return descriptor in descriptor-format sense.

#include <cstdint>
#include <optional>
#include <span>
#include <variant>

#include "ata_result.h"
#include "scsi_target.h"

namespace drivesim::detail {

inline constexpr std::uint8_t kAtaPassThrough12 = 0xa1;
inline constexpr std::uint8_t kAtaPassThrough16 = 0x85;

namespace protocol {
inline constexpr std::uint8_t kNonData = 3;
inline constexpr std::uint8_t kPioIn = 4;
inline constexpr std::uint8_t kPioOut = 5;
inline constexpr std::uint8_t kDma = 6;
inline constexpr std::uint8_t kUdmaIn = 10;
inline constexpr std::uint8_t kUdmaOut = 11;
}  // namespace protocol

struct SatRequest {
  platform::storage::AtaCommand ata;
  std::uint8_t protocol = protocol::kNonData;
  bool checkCondition = false;  // CK_COND: return the registers even on success
};

bool isSat(std::span<const std::uint8_t> cdb);
// The task file of a pass-through CDB long enough to hold one, read as it stands.
std::optional<platform::storage::AtaCommand> satTaskFile(std::span<const std::uint8_t> cdb);
std::variant<SatRequest, ScsiResult> parseSat(std::span<const std::uint8_t> cdb, const HostData& host);
ScsiResult satAnswer(const SatRequest& request, const AtaResult& result);

}  // namespace drivesim::detail
