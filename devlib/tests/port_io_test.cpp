#include "devlib/port_io.h"

#include <gtest/gtest.h>

#include <ostream>
#include <set>
#include <stop_token>

#include "platform/debug.h"

namespace devlib {
namespace {

struct TableCase {
  ProgramKind kind;
  int ports;
};

void PrintTo(const TableCase& c, std::ostream* out) {
  *out << (c.kind == ProgramKind::Fleetburn ? "Fleetburn" : "Blockprobe");
}

class PortTable : public ::testing::TestWithParam<TableCase> {};

TEST_P(PortTable, HoldsOneRecordPerPortAndNothingOutside) {
  InitPortIoTable(GetParam().kind);
  EXPECT_EQ(PortIoCount(), GetParam().ports);
  EXPECT_EQ(CurrentProgramKind(), GetParam().kind);
  std::set<const PortIoRecord*> distinct;
  for (int port = 0; port < GetParam().ports; ++port) {
    ASSERT_NE(PortIo(port), nullptr) << port;
    distinct.insert(PortIo(port));
  }
  EXPECT_EQ(distinct.size(), static_cast<std::size_t>(GetParam().ports));
  EXPECT_EQ(PortIo(-1), nullptr);
  EXPECT_EQ(PortIo(GetParam().ports), nullptr);
  EXPECT_EQ(PortIo(255), nullptr);
}

TEST_P(PortTable, StartsEveryPortEmptyOnOpcodeSetTwo) {
  InitPortIoTable(GetParam().kind);
  ASSERT_TRUE(SetPortTransport(0, "left over", 1, 1));
  PortIo(0)->opcodeSet = 0;
  SetVendorOpcodeSet(0);

  InitPortIoTable(GetParam().kind);
  EXPECT_EQ(VendorOpcodeSet(), 2);
  for (int port = 0; port < GetParam().ports; ++port) {
    EXPECT_TRUE(PortTransportOf(port)->devicePath.empty()) << port;
    EXPECT_EQ(PortTransportOf(port)->usbPath, 0) << port;
    EXPECT_EQ(PortIo(port)->opcodeSet, 2) << port;
    EXPECT_FALSE(PortIo(port)->forceOpcodeSet1) << port;
  }
}

INSTANTIATE_TEST_SUITE_P(Programs, PortTable,
                         ::testing::Values(TableCase{ProgramKind::Fleetburn, 50},
                                           TableCase{ProgramKind::Blockprobe, 12}),
                         [](const auto& testCase) {
                           return testCase.param.kind == ProgramKind::Fleetburn ? "Fleetburn" : "Blockprobe";
                         });

TEST(VendorOpcodeSelector, ReachesOnlyThePortItIsAppliedTo) {
  InitPortIoTable(ProgramKind::Fleetburn);
  SetVendorOpcodeSet(1);
  ASSERT_TRUE(ApplyVendorOpcodeSet(4));
  EXPECT_EQ(PortIo(4)->opcodeSet, 1);
  EXPECT_EQ(PortIo(5)->opcodeSet, 2);

  SetVendorOpcodeSet(3);
  EXPECT_EQ(PortIo(4)->opcodeSet, 1) << "a port keeps its copy until the selector is applied again";
  EXPECT_FALSE(ApplyVendorOpcodeSet(50));
  EXPECT_FALSE(ApplyVendorOpcodeSet(-1));
}

// --- transport and work sessions ---------------------------------------------

class PortWorkTest : public ::testing::Test {
 protected:
  static constexpr int kPort = 7;
  void SetUp() override {
    ASSERT_TRUE(InitPortIoTable(ProgramKind::Fleetburn));
    ASSERT_TRUE(SetPortTransport(kPort, "/dev/sg7", 1, 0));
  }
  platform::debug::CaptureSink debug_;
};

TEST_F(PortWorkTest, WritesAreRefusedWhileTheWorkerIsAliveAndAcceptedAfter) {
  const std::shared_ptr<const PortTransport> before = PortTransportOf(kPort);
  {
    std::stop_source stop;
    const PortWork work = BeginPortWork(kPort, stop.get_token());
    ASSERT_TRUE(work);
    EXPECT_TRUE(PortWorkerAlive(kPort));
    EXPECT_FALSE(SetPortTransport(kPort, "/dev/sg9", 0, 1));
    EXPECT_FALSE(SetPortPath(kPort, ""));
    EXPECT_FALSE(SetPortTransportFlags(kPort, 0, 1));
    EXPECT_TRUE(debug_.contains("Transport of port 7 not written: its worker is still alive"));
    const std::shared_ptr<const PortTransport> during = PortTransportOf(kPort);
    EXPECT_EQ(during->devicePath, "/dev/sg7");
    EXPECT_EQ(during->usbPath, 1);
    EXPECT_EQ(during->nativeAta, 0);
    EXPECT_TRUE(SetPortTransportFlags(kPort + 1, 0, 1)) << "another port is not held";
  }
  EXPECT_FALSE(PortWorkerAlive(kPort));
  EXPECT_TRUE(SetPortPath(kPort, "/dev/sg9"));
  EXPECT_TRUE(SetPortTransportFlags(kPort, 0, 1));
  EXPECT_EQ(PortTransportOf(kPort)->devicePath, "/dev/sg9");
  EXPECT_EQ(PortTransportOf(kPort)->nativeAta, 1);
  EXPECT_EQ(before->devicePath, "/dev/sg7") << "a snapshot taken earlier never changes";
  EXPECT_EQ(before->nativeAta, 0);
}

TEST_F(PortWorkTest, TheSessionsStopTokenReachesThePortOnlyWhileItLives) {
  std::stop_source stop;
  {
    const PortWork work = BeginPortWork(kPort, stop.get_token());
    stop.request_stop();
    EXPECT_TRUE(PortStop(kPort).stop_requested());
    EXPECT_TRUE(PortTransportOf(kPort)->stop.stop_requested());
    EXPECT_FALSE(PortStop(kPort + 1).stop_possible());
  }
  EXPECT_FALSE(PortStop(kPort).stop_possible()) << "a finished worker's stop must not end later commands";
  EXPECT_EQ(PortTransportOf(kPort)->devicePath, "/dev/sg7");
}

TEST_F(PortWorkTest, ASecondSessionOnALivePortIsRefused) {
  std::stop_source stop;
  PortWork first = BeginPortWork(kPort, stop.get_token());
  ASSERT_TRUE(first);
  const PortWork second = BeginPortWork(kPort, stop.get_token());
  EXPECT_FALSE(second);
  EXPECT_TRUE(debug_.contains("Work on port 7 refused: its worker is still alive"));
  EXPECT_TRUE(PortWorkerAlive(kPort)) << "the refused session ends nothing";

  PortWork moved = std::move(first);
  EXPECT_TRUE(PortWorkerAlive(kPort)) << "a moved session stays open";
  moved = PortWork{};
  EXPECT_FALSE(PortWorkerAlive(kPort));
  EXPECT_TRUE(BeginPortWork(kPort, stop.get_token())) << "a new worker may start once the old one ended";

  EXPECT_FALSE(BeginPortWork(-1, {}));
  EXPECT_FALSE(BeginPortWork(kFleetburnPortCount, {}));
}

TEST_F(PortWorkTest, TheTableIsNotRebuiltWhileAWorkerIsAlive) {
  PortIo(kPort)->loaderBlockCount = 3;
  const PortIoRecord* record = PortIo(kPort);
  {
    const PortWork work = BeginPortWork(kPort, {});
    EXPECT_FALSE(InitPortIoTable(ProgramKind::Blockprobe));
    EXPECT_TRUE(debug_.contains("Port table not rebuilt"));
    EXPECT_EQ(PortIoCount(), kFleetburnPortCount);
    EXPECT_EQ(CurrentProgramKind(), ProgramKind::Fleetburn);
    EXPECT_EQ(PortIo(kPort), record);
    EXPECT_EQ(record->loaderBlockCount, 3);
    EXPECT_EQ(PortTransportOf(kPort)->devicePath, "/dev/sg7");
  }
  EXPECT_TRUE(InitPortIoTable(ProgramKind::Blockprobe));
  EXPECT_EQ(PortIoCount(), kBlockprobeSlotCount);
  EXPECT_EQ(PortIo(kPort)->loaderBlockCount, 0);
}

TEST_F(PortWorkTest, APortOutsideTheTableHasNoTransport) {
  EXPECT_EQ(PortTransportOf(kFleetburnPortCount), nullptr);
  EXPECT_FALSE(SetPortTransport(-1, "/dev/sg0", 1, 0));
  EXPECT_FALSE(SetPortPath(kFleetburnPortCount, "/dev/sg0"));
  EXPECT_FALSE(PortWorkerAlive(-1));
}

}  // namespace
}  // namespace devlib
