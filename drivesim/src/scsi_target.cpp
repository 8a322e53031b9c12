#include "scsi_target.h"

#include <algorithm>

#include "bytes.h"
#include "lba_store.h"

namespace drivesim::detail {

ScsiResult good(std::size_t transferred, std::string note) {
  ScsiResult result;
  result.transferred = transferred;
  result.note = std::move(note);
  return result;
}

ScsiResult checkCondition(std::uint8_t key, std::uint8_t asc, std::uint8_t ascq, std::string note) {
  ScsiResult result;
  result.status = kCheckCondition;
  result.sense[0] = 0x70;  // current error, fixed format
  result.sense[2] = key;
  result.sense[7] = 10;  // additional length
  result.sense[12] = asc;
  result.sense[13] = ascq;
  result.senseLength = 18;
  result.note = "check condition: " + std::move(note);
  return result;
}

ScsiResult invalidOpcode(std::uint8_t opcode) {
  return checkCondition(sense::kIllegalRequest, sense::kInvalidOpcode, 0, "invalid opcode " + bytes::hex(opcode));
}

ScsiResult invalidField(std::string why) {
  return checkCondition(sense::kIllegalRequest, sense::kInvalidField, 0, "invalid field: " + std::move(why));
}

bool cdbHolds(std::span<const std::uint8_t> cdb, std::size_t length) { return cdb.size() >= length; }

ScsiResult inquiry(std::span<const std::uint8_t> cdb, const HostData& host, const InquiryIdentity& identity) {
  if (!cdbHolds(cdb, 6)) return invalidField("INQUIRY CDB of " + std::to_string(cdb.size()) + " bytes");
  if ((cdb[1] & 0x01) != 0 || cdb[2] != 0) return invalidField("INQUIRY vital product data");
  if (!host.in() && !host.none()) return invalidField("INQUIRY with a data-out phase");
  std::array<std::uint8_t, 40> data{};
  data[1] = identity.removable ? 0x80 : 0x00;
  data[2] = 0x06;  // SPC-4
  data[3] = 0x02;  // response data format
  data[4] = static_cast<std::uint8_t>(data.size() - 5);
  bytes::putPadded(std::span(data).subspan(8, 8), identity.vendor);
  bytes::putPadded(std::span(data).subspan(16, 16), identity.product);
  bytes::putPadded(std::span(data).subspan(32, 4), identity.revision);
  std::copy_n(identity.key.begin(), std::min<std::size_t>(identity.key.size(), 4), data.begin() + 36);

  const std::size_t allocation = bytes::be16(cdb, 3);
  const std::size_t length = std::min({allocation, data.size(), host.in() ? host.data.size() : 0});
  std::copy_n(data.begin(), length, host.data.begin());
  return good(length, "INQUIRY");
}

ScsiResult readCapacity10(std::span<const std::uint8_t> cdb, const HostData& host, std::uint64_t sectors) {
  if (!cdbHolds(cdb, 10)) return invalidField("READ CAPACITY CDB of " + std::to_string(cdb.size()) + " bytes");
  if (!host.in()) return invalidField("READ CAPACITY without a data-in phase");
  std::array<std::uint8_t, 8> data{};
  const std::uint64_t last = sectors == 0 ? 0 : sectors - 1;
  bytes::putBe32(data, 0, static_cast<std::uint32_t>(std::min<std::uint64_t>(last, 0xffffffff)));
  bytes::putBe32(data, 4, kSectorBytes);
  const std::size_t length = std::min(data.size(), host.data.size());
  std::copy_n(data.begin(), length, host.data.begin());
  return good(length, "READ CAPACITY (10): last LBA " + std::to_string(last));
}

std::variant<BlockIo, ScsiResult> blockIo(std::span<const std::uint8_t> cdb, const HostData& host,
                                          std::uint64_t sectors) {
  const bool write = cdb[0] == kWrite10;
  const char* name = write ? "WRITE (10)" : "READ (10)";
  if (cdb.size() != 10 && cdb.size() != 12) {
    return invalidField(std::string(name) + " CDB of " + std::to_string(cdb.size()) + " bytes");
  }
  const BlockIo io{bytes::be32(cdb, 2), bytes::be16(cdb, 7), write};
  const std::size_t bytes = std::size_t{io.count} * kSectorBytes;
  const bool spanFits = io.count == 0 ? host.none() : (write ? host.out() : host.in()) && host.data.size() == bytes;
  if (!spanFits) {
    return invalidField(std::string(name) + " of " + std::to_string(io.count) + " sectors with " +
                        std::to_string(host.data.size()) + " data bytes");
  }
  if (io.lba + io.count > sectors) {
    return checkCondition(sense::kIllegalRequest, sense::kLbaOutOfRange, 0,
                          std::string(name) + " at " + std::to_string(io.lba) + " beyond the medium");
  }
  return io;
}

}  // namespace drivesim::detail
