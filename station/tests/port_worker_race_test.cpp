// A port's worker reading its drive while the main thread rescans and writes
// the port's record, as the station does on a hot-plug during a run. The
// worker must keep reaching its own drive, and the main thread's writes must
// wait for the worker to end.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "devlib/port_io.h"
#include "devlib/standard_commands.h"
#include "devlib/vendor_protocol.h"
#include "emulated_port.h"
#include "platform/debug.h"
#include "station/port_record.h"

namespace fleetburn {
namespace {

using devlib::testing::PortPath;
using Bytes = std::vector<std::uint8_t>;

constexpr int kPort = 3;
constexpr int kReadsWhileWriting = 200;

class PortWorkerRace : public devlib::testing::EmulatedLineTest {
 protected:
  void SetUp() override {
    EmulatedLineTest::SetUp();
    ASSERT_TRUE(devlib::InitPortIoTable(devlib::ProgramKind::Fleetburn));
  }
  void TearDown() override {
    PortTable.fill(PortRecord{});
    EmulatedLineTest::TearDown();
  }
};

TEST_F(PortWorkerRace, TheWorkerKeepsItsDriveAndTheMainThreadsWritesWaitForItsEnd) {
  const std::string path = Attach(kPort, PortPath::OwnUsb).config().path;
  ASSERT_TRUE(SetPortDevicePath(kPort, path));
  Bytes pattern(512, 0xA5);
  ASSERT_EQ(devlib::WriteLbaSectors(kPort, pattern, 1, 0), devlib::kCommandOk);

  std::stop_source stop;
  devlib::PortWork work = devlib::BeginPortWork(kPort, stop.get_token());
  ASSERT_TRUE(work);
  std::atomic<int> reads{0};
  std::atomic<int> badReads{0};
  std::jthread worker([&, session = std::move(work)]() mutable {
    const devlib::PortWork held = std::move(session);  // ends when the worker does
    Bytes sector(512);
    while (!stop.stop_requested()) {
      const bool read = devlib::ReadLbaSectors(kPort, sector, 1, 0) == devlib::kCommandOk && sector == pattern;
      if (!read && !stop.stop_requested()) ++badReads;  // the stop itself ends the read in flight
      ++reads;
    }
  });

  platform::debug::CaptureSink debug;
  int writes = 0;
  int acceptedWrites = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  // At least one round of writes, however fast the worker reads.
  do {
    acceptedWrites += ClearPortRecord(kPort) ? 1 : 0;
    acceptedWrites += SetPortDevicePath(kPort, "elsewhere") ? 1 : 0;
    writes += 2;
  } while (reads < kReadsWhileWriting && std::chrono::steady_clock::now() < deadline);
  EXPECT_FALSE(devlib::InitPortIoTable(devlib::ProgramKind::Fleetburn));
  stop.request_stop();
  worker.join();

  EXPECT_GE(reads, kReadsWhileWriting) << "the worker never got going";
  EXPECT_EQ(badReads, 0) << "the worker lost its drive";
  EXPECT_GT(writes, 0);
  EXPECT_EQ(acceptedWrites, 0) << "a write went through while the worker was alive";
  EXPECT_TRUE(debug.contains("Transport of port 3 not written: its worker is still alive"));
  EXPECT_EQ(PortTable[kPort].devicePath, path) << "a refused write leaves the station's record as well";
  EXPECT_FALSE(devlib::PortWorkerAlive(kPort));
  EXPECT_TRUE(ClearPortRecord(kPort)) << "accepted once the worker ended";
  EXPECT_EQ(devlib::PortTransportOf(kPort)->devicePath, "");
  EXPECT_TRUE(SetPortDevicePath(kPort, path));
  EXPECT_EQ(devlib::PortTransportOf(kPort)->devicePath, path);
}

}  // namespace
}  // namespace fleetburn
