// Drives that answer GOOD but move fewer bytes than asked, into a buffer that
// still holds the previous drive's answer. A vendor read must fail rather
// than pass those bytes off as the drive's; a standard command whose answer
// may be short by design succeeds with the bytes past its answer zeroed.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <ostream>
#include <span>
#include <string>
#include <vector>

#include "devlib/standard_commands.h"
#include "devlib/vendor_commands.h"
#include "devlib/vendor_protocol.h"
#include "emulated_port.h"
#include "platform/debug.h"

namespace devlib::testing {
namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr int kPort = 5;
constexpr std::uint8_t kPreviousAnswer = 0x5A;
constexpr std::uint32_t kMemoryAddress = 0x0002'0000;

using Send = int (*)(int port, std::span<std::uint8_t> buffer);

int ReadMemory(int port, std::span<std::uint8_t> buffer) { return ReadMemoryBlock(port, 0, kMemoryAddress, buffer, 1); }
int ReadCapacity(int port, std::span<std::uint8_t> buffer) { return SendReadCapacity(port, buffer, 1); }
int ReadFirstSector(int port, std::span<std::uint8_t> buffer) { return ReadLbaSectors(port, buffer, 1, 0); }
int Identify(int port, std::span<std::uint8_t> buffer) { return SendIdentifyDevice(port, buffer, 1); }

drivesim::FaultMatch OnSubOp(std::uint8_t subOp) {
  drivesim::FaultMatch match;
  match.subOp = subOp;
  return match;
}
drivesim::FaultMatch OnScsi(std::uint8_t opcode) {
  drivesim::FaultMatch match;
  match.scsiOpcode = opcode;
  return match;
}
drivesim::FaultMatch OnAta(std::uint8_t command) {
  drivesim::FaultMatch match;
  match.ataCommand = command;
  return match;
}

struct ShortCase {
  const char* name;
  PortPath path;
  drivesim::FaultMatch match;
  std::size_t moved;
  Send send;
  std::size_t asked;      // bytes the command asks for
  bool succeeds;          // with the tail zeroed; otherwise it fails and says so
  std::uint8_t opcode;    // of the block that came back short
};

void PrintTo(const ShortCase& c, std::ostream* out) { *out << c.name; }

class ShortTransfer : public EmulatedLineTest, public ::testing::WithParamInterface<ShortCase> {};

TEST_P(ShortTransfer, NeverPassesTheEarlierBytesOffAsTheDrives) {
  const ShortCase& c = GetParam();
  ASSERT_TRUE(InitPortIoTable(ProgramKind::Fleetburn));
  drivesim::Drive& drive = Attach(kPort, c.path);
  if (c.path != PortPath::OwnUsb) {
    ASSERT_EQ(SendSetFeatures(kPort, 0xDC, 0x4B), kCommandOk);
  }
  Bytes whole(c.asked);
  ASSERT_EQ(c.send(kPort, whole), kCommandOk) << "the whole answer, for comparison";

  drivesim::FaultRule rule;
  rule.kind = drivesim::FaultKind::ShortReply;
  rule.match = c.match;
  rule.replyBytes = c.moved;
  drive.injectFault(rule);
  Bytes buffer(c.asked, kPreviousAnswer);
  platform::debug::CaptureSink debug;
  const int result = c.send(kPort, buffer);

  if (!c.succeeds) {
    EXPECT_EQ(result, kCommandFailed);
    char line[96];
    std::snprintf(line, sizeof line, "Port %d: command %02X asked for %zu bytes and moved %zu", kPort, c.opcode,
                  c.asked, c.moved);
    EXPECT_TRUE(debug.contains(line)) << line;
    return;
  }
  EXPECT_EQ(result, kCommandOk);
  EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(c.moved)),
            Bytes(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(c.moved)));
  EXPECT_EQ(Bytes(buffer.begin() + static_cast<std::ptrdiff_t>(c.moved), buffer.end()), Bytes(c.asked - c.moved, 0))
      << "the bytes past the answer are zeroed";
}

INSTANTIATE_TEST_SUITE_P(
    Commands, ShortTransfer,
    ::testing::Values(
        ShortCase{"VendorReadOnTheUsbPath", PortPath::OwnUsb, OnSubOp(0x86), 100, ReadMemory, 512, false, 0xFF},
        ShortCase{"TunnelReadThroughABridge", PortPath::Bridge, OnSubOp(0x86), 100, ReadMemory, 512, false, 0xA1},
        ShortCase{"TunnelReadOnASataPort", PortPath::NativeSata, OnSubOp(0x86), 100, ReadMemory, 512, false, 0xA1},
        ShortCase{"InquiryShort", PortPath::OwnUsb, OnScsi(0x12), 20, InquiryDevice, kInquiryLength, true, 0x12},
        ShortCase{"ReadCapacityShort", PortPath::OwnUsb, OnScsi(0x25), 4, ReadCapacity, 512, true, 0x25},
        ShortCase{"LbaReadShort", PortPath::OwnUsb, OnScsi(0x28), 256, ReadFirstSector, 512, false, 0x28},
        ShortCase{"LbaReadShortThroughABridge", PortPath::Bridge, OnScsi(0x28), 256, ReadFirstSector, 512, false,
                  0x28},
        ShortCase{"IdentifyShortThroughABridge", PortPath::Bridge, OnAta(0xEC), 256, Identify, 512, false, 0xA1}),
    [](const auto& row) { return std::string(row.param.name); });

}  // namespace
}  // namespace devlib::testing
