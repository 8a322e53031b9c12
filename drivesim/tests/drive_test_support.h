#pragma once
// Builders for the bytes the host sends, and a fixture that serves a line of
// emulated drives as the storage backend.

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "drivesim/line.h"
#include "platform/storage.h"

namespace drivesim::test {

using Bytes = std::vector<std::uint8_t>;
using platform::storage::AtaCommand;
using platform::storage::AtaOutcome;
using platform::storage::AtaRegisters;
using platform::storage::Device;
using platform::storage::Direction;
using platform::storage::ScsiCommand;
using platform::storage::ScsiOutcome;

inline constexpr std::size_t kSector = 512;
inline constexpr const char* kUsbPath = "\\\\?\\usbstor#disk&ven_tolvane&prod_ssd&rev_1.00#0001#{53f56307}";
inline constexpr const char* kBridgePath = "\\\\?\\usbstor#disk&ven_usb&prod_bridge&rev_0100#0002#{53f56307}";
inline constexpr const char* kSataPath = "/dev/sdc";

class LineTest : public ::testing::Test {
 protected:
  LineTest() : line(std::make_shared<Line>()) { platform::storage::installBackend(line); }
  ~LineTest() override { platform::storage::installBackend(nullptr); }

  std::unique_ptr<Device> open(const std::string& path) {
    auto opened = platform::storage::open(path, platform::storage::Sharing::Exclusive);
    EXPECT_TRUE(opened.device) << "open " << path << ": errno " << opened.osError;
    return std::move(opened.device);
  }

  std::shared_ptr<Line> line;
};

inline ScsiOutcome scsi(Device& device, const Bytes& cdb, Direction direction = Direction::None,
                        std::span<std::uint8_t> data = {}, std::stop_token stop = {}, std::uint32_t timeout = 10) {
  return device.scsi(ScsiCommand{.cdb = cdb, .direction = direction, .data = data, .timeoutSeconds = timeout,
                                 .stop = std::move(stop)});
}

inline AtaOutcome ata(Device& device, AtaRegisters registers, Direction direction = Direction::None,
                      std::span<std::uint8_t> data = {}, bool dma = false) {
  AtaCommand command;
  command.current = registers;
  command.direction = direction;
  command.useDma = dma;
  command.data = data;
  command.timeoutSeconds = 10;
  return device.ata(command);
}

inline AtaOutcome ata48(Device& device, AtaRegisters current, AtaRegisters previous,
                        Direction direction = Direction::None, std::span<std::uint8_t> data = {}) {
  AtaCommand command;
  command.current = current;
  command.previous = previous;
  command.extended = true;
  command.direction = direction;
  command.useDma = direction != Direction::None;
  command.data = data;
  command.timeoutSeconds = 10;
  return device.ata(command);
}

inline bool ataFailed(const AtaOutcome& outcome) {
  return (outcome.current.command & platform::storage::kAtaStatusErr) != 0;
}

// Sense key and additional sense code of fixed- or descriptor-format sense.
inline std::uint8_t senseKey(const ScsiOutcome& o) { return o.sense[0] >= 0x72 ? o.sense[1] : o.sense[2] & 0x0f; }
inline std::uint8_t senseCode(const ScsiOutcome& o) { return o.sense[0] >= 0x72 ? o.sense[2] : o.sense[12]; }
inline std::uint8_t senseQualifier(const ScsiOutcome& o) { return o.sense[0] >= 0x72 ? o.sense[3] : o.sense[13]; }

// The 12-byte vendor block: FF, the path marker (04 on USB, E5 tunnelled), the sub-op, parameters from byte 3.
inline Bytes vendorBlock(std::uint8_t marker, std::uint8_t subOp, std::initializer_list<std::uint8_t> params = {}) {
  Bytes block(12, 0);
  block[0] = 0xff;
  block[1] = marker;
  block[2] = subOp;
  std::size_t at = 3;
  for (auto p : params) block[at++] = p;
  return block;
}

inline Bytes address(std::uint32_t a) {
  return {static_cast<std::uint8_t>(a >> 24), static_cast<std::uint8_t>(a >> 16), static_cast<std::uint8_t>(a >> 8),
          static_cast<std::uint8_t>(a)};
}

// The vendor opcodes and SAT protocol bytes of one tunnel opcode set.
struct OpcodeSet {
  const char* name;
  std::uint8_t write, read;
  std::uint8_t writeProtocol, readProtocol;  // CDB byte 1
};
inline constexpr OpcodeSet kSet1{"set1", 0x8f, 0x8a, 0x0a, 0x08};
inline constexpr OpcodeSet kSet2{"set2", 0x88, 0x86, 0x16, 0x14};
inline constexpr OpcodeSet kOtherSet{"other", 0xc5, 0xc4, 0x0a, 0x08};

// ATA PASS-THROUGH (12) carrying one tunnel command.
inline Bytes tunnelCdb(const OpcodeSet& set, bool write, std::uint8_t sectors, std::uint8_t tag) {
  return {0xa1, write ? set.writeProtocol : set.readProtocol, static_cast<std::uint8_t>(write ? 0x03 : 0x0b), 0,
          sectors, tag, 0x34, 0x12, 0xe0, write ? set.write : set.read, 0, 0};
}

inline Bytes setFeaturesCdb(std::uint8_t feature, std::uint8_t value) {
  return {0xa1, 0x06, 0x00, feature, value, 0, 0, 0, 0xe0, 0xef, 0, 0};
}

inline AtaRegisters tunnelRegisters(std::uint8_t opcode, std::uint8_t sectors, std::uint8_t tag) {
  return {0, sectors, tag, 0x34, 0x12, 0xe0, opcode};
}

inline AtaRegisters setFeatures(std::uint8_t feature, std::uint8_t value) {
  return {feature, value, 0, 0, 0, 0xe0, 0xef};
}

// One 512-byte command sector holding the vendor block.
inline Bytes commandSector(const Bytes& block) {
  Bytes sector(kSector, 0);
  std::copy(block.begin(), block.end(), sector.begin());
  return sector;
}

// Names parameterised cases by their `name` field.
struct CaseName {
  template <typename P>
  std::string operator()(const ::testing::TestParamInfo<P>& p) const {
    return p.param.name;
  }
};

inline std::uint16_t word(const Bytes& data, int index) {
  return static_cast<std::uint16_t>(data[2 * index] | data[2 * index + 1] << 8);
}

}  // namespace drivesim::test
