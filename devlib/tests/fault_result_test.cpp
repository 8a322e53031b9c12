// Each fault the emulated drive can show gives the command result the
// library promises: never success, and no real wait for a time-out.

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <future>
#include <string>
#include <thread>

#include "devlib/standard_commands.h"
#include "devlib/vendor_commands.h"
#include "devlib/vendor_protocol.h"
#include "emulated_port.h"
#include "platform/debug.h"

namespace devlib::testing {
namespace {

using drivesim::FaultKind;
using drivesim::FaultRule;
using drivesim::Layer;
using drivesim::TunnelPhase;

constexpr int kPort = 5;
constexpr std::uint32_t kRegister = 0x0002'0040;
constexpr std::uint8_t kUntouched = 0x3C;

struct FaultCase {
  const char* name;
  PortPath path;
  FaultRule rule;
  int expected;                     // result of the register read
  std::uint64_t minVirtualMs = 0;   // virtual time the command must have taken
};

FaultRule Rule(FaultKind kind) {
  FaultRule rule;
  rule.kind = kind;
  return rule;
}
FaultRule OnPhase(FaultKind kind, TunnelPhase phase) {
  FaultRule rule = Rule(kind);
  rule.match.phase = phase;
  return rule;
}
FaultRule Sense(std::uint8_t key) {
  FaultRule rule = Rule(FaultKind::CheckCondition);
  rule.senseKey = key;
  rule.asc = key == 0x01 ? 0x00 : 0x24;
  return rule;
}
FaultRule Delay(std::uint32_t ms) {
  FaultRule rule = Rule(FaultKind::Delay);
  rule.delayMs = ms;
  return rule;
}

class RegisterReadFault : public EmulatedLineTest, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(RegisterReadFault, GivesTheNamedResult) {
  const FaultCase& c = GetParam();
  InitPortIoTable(c.path == PortPath::NativeSata ? ProgramKind::Blockprobe : ProgramKind::Fleetburn);
  drivesim::Drive& drive = Attach(kPort, c.path);
  if (c.path != PortPath::OwnUsb) {
    ASSERT_EQ(SendSetFeatures(kPort, 0xDC, 0x4B), kCommandOk);
  }
  drive.injectFault(c.rule);

  std::uint8_t value = kUntouched;
  const auto before = platform::clock::tickMs();
  EXPECT_EQ(SendReadRegister(kPort, kRegister, value), c.expected);
  EXPECT_GE(platform::clock::tickMs() - before, c.minVirtualMs);
  if (c.expected != kCommandOk) {
    EXPECT_EQ(value, kUntouched) << "a failed read leaves the caller's byte";
  }
}

INSTANTIATE_TEST_SUITE_P(
    Faults, RegisterReadFault,
    ::testing::Values(
        FaultCase{"UsbTransportFailure", PortPath::OwnUsb, Rule(FaultKind::TransportFailure), kCommandFailed},
        FaultCase{"UsbIllegalRequest", PortPath::OwnUsb, Sense(0x05), kCommandFailed},
        FaultCase{"UsbMediumError", PortPath::OwnUsb, Sense(0x03), kCommandFailed},
        FaultCase{"UsbRecoveredErrorPasses", PortPath::OwnUsb, Sense(0x01), kCommandOk},
        FaultCase{"UsbOpenFailure", PortPath::OwnUsb, Rule(FaultKind::OpenFailure), kCommandFailed},
        FaultCase{"UsbTimeoutTakesItsFull300s", PortPath::OwnUsb, Rule(FaultKind::Timeout), kCommandFailed, 300'000},
        FaultCase{"TunnelBadSignature", PortPath::Bridge, OnPhase(FaultKind::BadSignature, TunnelPhase::DataPhase),
                  kCommandBadSignature},
        FaultCase{"TunnelZeroedReply", PortPath::Bridge, OnPhase(FaultKind::ZeroReply, TunnelPhase::DataPhase),
                  kCommandBadSignature},
        FaultCase{"TunnelCommandSectorAborted", PortPath::Bridge,
                  OnPhase(FaultKind::AtaError, TunnelPhase::CommandSector), kCommandFailed},
        FaultCase{"TunnelDataPhaseAborted", PortPath::Bridge, OnPhase(FaultKind::AtaError, TunnelPhase::DataPhase),
                  kCommandFailed},
        FaultCase{"TunnelCheckCondition", PortPath::Bridge, Sense(0x04), kCommandFailed},
        FaultCase{"TunnelTimeoutTakes10s", PortPath::Bridge, Rule(FaultKind::Timeout), kCommandFailed, 10'000},
        FaultCase{"SataDeviceError", PortPath::NativeSata, OnPhase(FaultKind::AtaError, TunnelPhase::DataPhase),
                  kCommandFailed},
        FaultCase{"SataBadSignature", PortPath::NativeSata, OnPhase(FaultKind::BadSignature, TunnelPhase::DataPhase),
                  kCommandBadSignature},
        FaultCase{"SataAnswerJustInTime", PortPath::NativeSata, Delay(10'900), kCommandOk, 10'900},
        FaultCase{"SataAnswerAfterItsTimeout", PortPath::NativeSata, Delay(11'000), kCommandFailed, 11'000},
        FaultCase{"SataTransportFailure", PortPath::NativeSata, Rule(FaultKind::TransportFailure), kCommandFailed},
        FaultCase{"SataUnplugged", PortPath::NativeSata, Rule(FaultKind::Unplug), kCommandFailed}),
    [](const auto& testCase) { return std::string(testCase.param.name); });

TEST_F(EmulatedLineTest, FailedCommandSectorSendsNoDataPhase) {
  InitPortIoTable(ProgramKind::Fleetburn);
  drivesim::Drive& drive = Attach(kPort, PortPath::Bridge);
  ASSERT_EQ(SendSetFeatures(kPort, 0xDC, 0x4B), kCommandOk);
  drive.injectFault(OnPhase(FaultKind::AtaError, TunnelPhase::CommandSector));
  drive.wire().clear();

  std::uint8_t value = 0;
  EXPECT_EQ(SendReadRegister(kPort, kRegister, value), kCommandFailed);
  EXPECT_EQ(drive.wire().entries(Layer::Ata).size(), 1u) << "only the command sector reached the drive";
}

TEST_F(EmulatedLineTest, LateAnswerOnNativeAtaIsReportedAsTimeout) {
  InitPortIoTable(ProgramKind::Blockprobe);
  drivesim::Drive& drive = Attach(kPort, PortPath::NativeSata);
  drive.injectFault(Delay(11'000));
  platform::debug::CaptureSink debug;

  EXPECT_EQ(SendSetFeatures(kPort, 0xDC, 0x4B), kCommandFailed);
  EXPECT_TRUE(drive.vendorMode()) << "the drive did switch: only the host gave up on it";
  EXPECT_TRUE(debug.contains("Timeout = 11 sec"));
}

TEST_F(EmulatedLineTest, UnplugInTheMiddleFailsEveryLaterCommand) {
  InitPortIoTable(ProgramKind::Fleetburn);
  drivesim::Drive& drive = Attach(kPort, PortPath::Bridge);
  ASSERT_EQ(SendSetFeatures(kPort, 0xDC, 0x4B), kCommandOk);
  FaultRule unplug = OnPhase(FaultKind::Unplug, TunnelPhase::DataPhase);
  drive.injectFault(unplug);

  std::uint8_t value = 0;
  EXPECT_EQ(SendReadRegister(kPort, kRegister, value), kCommandFailed);
  EXPECT_FALSE(drive.plugged());
  EXPECT_EQ(SendWriteRegister(kPort, kRegister, 1), kCommandFailed);
  std::vector<std::uint8_t> sector(512);
  EXPECT_EQ(ReadLbaSectors(kPort, sector, 1, 0), kCommandFailed);
}

TEST_F(EmulatedLineTest, HangingCommandEndsWhenThePortIsStoppedOrUnplugged) {
  struct Case {
    const char* name;
    std::function<void(drivesim::Drive&, std::stop_source&)> end;
  };
  const Case cases[] = {
      {"stopped", [](drivesim::Drive&, std::stop_source& stop) { stop.request_stop(); }},
      {"unplugged", [](drivesim::Drive& drive, std::stop_source&) { drive.unplug(); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    InitPortIoTable(ProgramKind::Fleetburn);
    line_ = std::make_shared<drivesim::Line>();
    platform::storage::installBackend(line_);
    drivesim::Drive& drive = Attach(kPort, PortPath::OwnUsb);
    drive.injectFault(Rule(FaultKind::Hang));
    std::stop_source stop;
    const PortWork work = BeginPortWork(kPort, stop.get_token());

    auto result = std::async(std::launch::async, [] {
      std::uint8_t value = 0;
      return SendReadRegister(kPort, kRegister, value);
    });
    EXPECT_EQ(result.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout) << "the command hangs";
    c.end(drive, stop);
    ASSERT_EQ(result.wait_for(std::chrono::seconds(10)), std::future_status::ready) << "the command went on hanging";
    EXPECT_EQ(result.get(), kCommandFailed);
  }
}

// The station's watchdog in small: a timer on the port's time line stops the
// port's worker, which hangs in a vendor read, at exactly its virtual time.
TEST_F(EmulatedLineTest, WatchdogOnThePortsLineEndsAHungCommandAtItsVirtualTime) {
  InitPortIoTable(ProgramKind::Fleetburn);
  drivesim::Drive& drive = Attach(kPort, PortPath::OwnUsb);
  drive.injectFault(Rule(FaultKind::Hang));
  std::stop_source stop;
  const PortWork work = BeginPortWork(kPort, stop.get_token());
  const std::string line = "port " + std::to_string(kPort);
  const std::uint64_t start = platform::clock::nowMs(line);

  std::uint64_t firedAt = 0;
  const platform::clock::Timer watchdog = platform::clock::startTimer(line, 60'000, [&] {
    firedAt = platform::clock::nowMs(line);
    stop.request_stop();
  });
  std::stop_source giveUp;
  auto waiter = std::async(std::launch::async, [&] {
    platform::clock::waitUntil(line, start + 60'000, giveUp.get_token());
    return platform::clock::nowMs(line);
  });
  auto worker = std::async(std::launch::async, [&] {
    const platform::clock::ScopedTimeLine bind(line);
    std::uint8_t value = kUntouched;
    return SendReadRegister(kPort, kRegister, value);
  });
  if (worker.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
    drive.unplug();
    giveUp.request_stop();
    worker.wait();
    FAIL() << "the watchdog did not end the hung command";
  }
  EXPECT_EQ(worker.get(), kCommandFailed);
  EXPECT_EQ(firedAt, start + 60'000);
  EXPECT_EQ(waiter.get(), start + 60'000);
}

TEST_F(EmulatedLineTest, StoppedPortSendsNothing) {
  InitPortIoTable(ProgramKind::Fleetburn);
  drivesim::Drive& drive = Attach(kPort, PortPath::OwnUsb);
  std::stop_source stop;
  stop.request_stop();
  const PortWork work = BeginPortWork(kPort, stop.get_token());

  std::uint8_t value = 0;
  EXPECT_EQ(SendReadRegister(kPort, kRegister, value), kCommandFailed);
  EXPECT_TRUE(drive.wire().entries(Layer::Controller).empty());
}

}  // namespace
}  // namespace devlib::testing
