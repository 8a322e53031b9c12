#pragma once
// What every emulated SCSI target shares: status and sense, INQUIRY, READ
// CAPACITY (10) and the checks of READ (10) / WRITE (10).
//
// A data span that does not match what a command moves is refused with
// CHECK CONDITION, ILLEGAL REQUEST, INVALID FIELD IN CDB; nothing moves.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <variant>

#include "platform/storage.h"

namespace drivesim::detail {

namespace sense {
inline constexpr std::uint8_t kRecoveredError = 0x01;
inline constexpr std::uint8_t kNotReady = 0x02;
inline constexpr std::uint8_t kMediumError = 0x03;
inline constexpr std::uint8_t kIllegalRequest = 0x05;
inline constexpr std::uint8_t kAbortedCommand = 0x0b;
inline constexpr std::uint8_t kNotReadyCause = 0x04;
inline constexpr std::uint8_t kBecomingReady = 0x01;
inline constexpr std::uint8_t kWriteError = 0x0c;
inline constexpr std::uint8_t kUnrecoveredReadError = 0x11;
inline constexpr std::uint8_t kInvalidOpcode = 0x20;
inline constexpr std::uint8_t kLbaOutOfRange = 0x21;
inline constexpr std::uint8_t kInvalidField = 0x24;
}  // namespace sense

inline constexpr std::uint8_t kGood = 0x00;
inline constexpr std::uint8_t kCheckCondition = 0x02;

struct ScsiResult {
  std::uint8_t status = kGood;
  std::array<std::uint8_t, platform::storage::kSenseBytes> sense{};
  std::size_t senseLength = 0;
  std::size_t transferred = 0;
  std::string note;  // for the wire log
};

// The data phase the host offers for one command.
struct HostData {
  platform::storage::Direction direction = platform::storage::Direction::None;
  std::span<std::uint8_t> data;

  bool in() const { return direction == platform::storage::Direction::In && !data.empty(); }
  bool out() const { return direction == platform::storage::Direction::Out && !data.empty(); }
  bool none() const { return direction == platform::storage::Direction::None || data.empty(); }
};

ScsiResult good(std::size_t transferred, std::string note);
// Fixed-format sense.
ScsiResult checkCondition(std::uint8_t key, std::uint8_t asc, std::uint8_t ascq, std::string note);
ScsiResult invalidOpcode(std::uint8_t opcode);
ScsiResult invalidField(std::string why);

// The CDB is at least `length` bytes long (a longer one is read as far as its opcode goes).
bool cdbHolds(std::span<const std::uint8_t> cdb, std::size_t length);

struct InquiryIdentity {
  std::string vendor, product, revision;
  std::string key;  // bytes 36..39, zeros when empty
  bool removable = false;
};
ScsiResult inquiry(std::span<const std::uint8_t> cdb, const HostData& host, const InquiryIdentity& identity);

ScsiResult readCapacity10(std::span<const std::uint8_t> cdb, const HostData& host, std::uint64_t sectors);

struct BlockIo {
  std::uint64_t lba = 0;
  std::uint32_t count = 0;
  bool write = false;
};
// A READ (10) or WRITE (10) that fits the medium and the data span, or the refusal.
std::variant<BlockIo, ScsiResult> blockIo(std::span<const std::uint8_t> cdb, const HostData& host,
                                          std::uint64_t sectors);

inline constexpr std::uint8_t kInquiry = 0x12;
inline constexpr std::uint8_t kReadCapacity10 = 0x25;
inline constexpr std::uint8_t kRead10 = 0x28;
inline constexpr std::uint8_t kWrite10 = 0x2a;
inline constexpr std::uint8_t kVendorBlock = 0xff;

}  // namespace drivesim::detail
