#include "devlib/port_io.h"

#include <gtest/gtest.h>

#include <ostream>
#include <set>

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
  PortIo(0)->devicePath = "left over";
  PortIo(0)->opcodeSet = 0;
  SetVendorOpcodeSet(0);

  InitPortIoTable(GetParam().kind);
  EXPECT_EQ(VendorOpcodeSet(), 2);
  for (int port = 0; port < GetParam().ports; ++port) {
    EXPECT_TRUE(PortIo(port)->devicePath.empty()) << port;
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

}  // namespace
}  // namespace devlib
