// The RAM codes' background jobs: busy status polls, busy time on the
// virtual clock, the final status of each job, injected statuses and a job
// that never ends, on each path's reply rule.

#include <optional>
#include <string>
#include <vector>

#include "drivesim/drive.h"
#include "platform/clock.h"
#include "vendor_host.h"

namespace drivesim::test {
namespace {

struct JobCase {
  const char* name;
  Job job;
  std::uint8_t subOp;
  const char* magic;  // the RAM code that runs the job
  std::uint8_t finalStatus;
};

constexpr JobCase kJobs[] = {
    {"operation1", Job::Operation1, 0x01, "GDP_", 14},
    {"operation3", Job::Operation3, 0x03, "GDP_", 10},
    {"operation4", Job::Operation4, 0x04, "GDP_", 18},
    {"dramCheck", Job::DramCheck, 0x05, "TST_", 21},
};

struct EngineCase {
  JobCase job;
  HostPath path;
};

std::vector<EngineCase> engineCases() {
  std::vector<EngineCase> cases;
  for (const auto& job : kJobs) {
    for (const auto path : {HostPath::OwnUsb, HostPath::Bridge, HostPath::Sata}) cases.push_back({job, path});
  }
  return cases;
}

class OperationEngine : public LineTest, public ::testing::WithParamInterface<EngineCase> {
 protected:
  // A drive in loader state with the job's RAM code started.
  VendorHost& start(DriveConfig config) {
    config.runState = RunState::Loader;
    drive = &line->addDrive(config);
    device = open(config.path);
    host.emplace(*device, GetParam().path);
    EXPECT_TRUE(host->vendorMode(true));
    EXPECT_TRUE(loadRamCode(*host, ramCodeImage(GetParam().job.magic)));
    return *host;
  }
  DriveConfig config() const { return configFor(GetParam().path); }

  // Starts the job: operations take option bits, the DRAM check one sector of address and length.
  bool startJob() {
    if (GetParam().job.job != Job::DramCheck) return host->send(GetParam().job.subOp, {0x10});
    Bytes sector(kSector, 0);
    return host->send(0x05, {0, 0x00, 0x02, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00}, Direction::Out, sector);
  }

  platform::clock::ScopedFastClock clock;
  Drive* drive = nullptr;
  std::unique_ptr<Device> device;
  std::optional<VendorHost> host;
};

TEST_P(OperationEngine, BusyForTheConfiguredPollsThenTheJobsFinalStatus) {
  DriveConfig c = config();
  c.jobs[GetParam().job.job] = JobBehaviour{.busyPolls = 3};
  VendorHost& h = start(c);
  ASSERT_TRUE(startJob());
  for (int poll = 0; poll < 3; ++poll) EXPECT_EQ(h.status(), 0xaa) << "poll " << poll;
  EXPECT_EQ(h.status(), GetParam().job.finalStatus);
  EXPECT_EQ(h.status(), GetParam().job.finalStatus) << "the final status stays";
}

TEST_P(OperationEngine, BusyUntilTheVirtualTimeHasPassed) {
  DriveConfig c = config();
  c.jobs[GetParam().job.job] = JobBehaviour{.busyMs = 2500};
  VendorHost& h = start(c);
  ASSERT_TRUE(startJob());
  platform::clock::sleepMs(30);
  EXPECT_EQ(h.status(), 0xaa);
  platform::clock::sleepMs(2000);
  EXPECT_EQ(h.status(), 0xaa);
  platform::clock::sleepMs(470);
  EXPECT_EQ(h.status(), GetParam().job.finalStatus);
}

TEST_P(OperationEngine, InjectedFinalStatusReplacesTheJobsOwn) {
  DriveConfig c = config();
  c.jobs[GetParam().job.job] = JobBehaviour{.busyPolls = 1, .finalStatus = 20};
  VendorHost& h = start(c);
  ASSERT_TRUE(startJob());
  EXPECT_EQ(h.status(), 0xaa);
  EXPECT_EQ(h.status(), 20);
}

TEST_P(OperationEngine, StuckJobAnswersBusyForEver) {
  DriveConfig c = config();
  c.jobs[GetParam().job.job] = JobBehaviour{.stuckBusy = true};
  VendorHost& h = start(c);
  ASSERT_TRUE(startJob());
  for (int poll = 0; poll < 200; ++poll) {
    ASSERT_EQ(h.status(), 0xaa) << "poll " << poll;
    platform::clock::sleepMs(1000);
  }
}

TEST_P(OperationEngine, ARestartedRamCodeForgetsTheJob) {
  DriveConfig c = config();
  c.jobs[GetParam().job.job] = JobBehaviour{.stuckBusy = true};
  VendorHost& h = start(c);
  ASSERT_TRUE(startJob());
  ASSERT_EQ(h.status(), 0xaa);
  ASSERT_TRUE(h.send(0x82, {}));
  ASSERT_TRUE(h.vendorMode(true));
  EXPECT_EQ(h.status(), 0);
}

INSTANTIATE_TEST_SUITE_P(Jobs, OperationEngine, ::testing::ValuesIn(engineCases()), [](const auto& p) {
  return std::string(p.param.job.name) + "_" + hostPathName(p.param.path);
});

class OperationDefaults : public LineTest, public ::testing::WithParamInterface<HostPath> {
 protected:
  platform::clock::ScopedFastClock clock;
};

// Callers that poll once, 30 ms after the start, need operation 1 done by then.
TEST_P(OperationDefaults, OperationOneIsDoneAtTheFirstPollAndTheDefaultCountAppliesToTheOthers) {
  DriveConfig config = configFor(GetParam());
  config.runState = RunState::Loader;
  config.busyPolls = 2;
  config.jobs[Job::Operation1] = JobBehaviour{};
  Drive& drive = line->addDrive(config);
  auto device = open(config.path);
  VendorHost host(*device, GetParam());
  ASSERT_TRUE(host.vendorMode(true));
  ASSERT_TRUE(loadRamCode(host, ramCodeImage("GDP_")));
  drive.wire().clear();

  ASSERT_TRUE(host.send(0x01, {0x00}));
  EXPECT_EQ(host.status(), 14);

  ASSERT_TRUE(host.send(0x03, {0x40}));
  EXPECT_EQ(host.status(), 0xaa);
  EXPECT_EQ(host.status(), 0xaa);
  EXPECT_EQ(host.status(), 10);

  // The controller saw the starts and the polls in order, with their option bits.
  std::vector<std::pair<std::uint8_t, std::uint8_t>> seen;
  for (const auto& e : drive.wire().entries(Layer::Controller)) seen.emplace_back(e.command[2], e.command[3]);
  const std::vector<std::pair<std::uint8_t, std::uint8_t>> expected{{0x01, 0x00}, {0x00, 0}, {0x03, 0x40},
                                                                    {0x00, 0},    {0x00, 0}, {0x00, 0}};
  EXPECT_EQ(seen, expected);
  const auto entries = drive.wire().entries(Layer::Controller);
  EXPECT_EQ(entries[3].note, "status 0xaa");
  EXPECT_EQ(entries[5].note, "status 0x0a");
}

TEST_P(OperationDefaults, DefaultConfigurationHasNoBusyPolls) {
  DriveConfig config = configFor(GetParam());
  config.runState = RunState::Loader;
  line->addDrive(config);
  auto device = open(config.path);
  VendorHost host(*device, GetParam());
  ASSERT_TRUE(host.vendorMode(true));
  ASSERT_TRUE(loadRamCode(host, ramCodeImage("GDP_")));
  for (const auto& [op, status] : {std::pair{0x01, 14}, std::pair{0x03, 10}, std::pair{0x04, 18}}) {
    ASSERT_TRUE(host.send(static_cast<std::uint8_t>(op), {0}));
    EXPECT_EQ(host.status(), status) << "operation " << op;
  }
}

// The firmware and the loader run no jobs: the sub-ops are not served.
TEST_P(OperationDefaults, NoJobsWithoutARamCode) {
  DriveConfig config = configFor(GetParam());
  config.runState = RunState::Loader;
  line->addDrive(config);
  auto device = open(config.path);
  VendorHost host(*device, GetParam());
  ASSERT_TRUE(host.vendorMode(true));
  EXPECT_FALSE(host.send(0x01, {0}));
  EXPECT_FALSE(host.status().has_value());
}

INSTANTIATE_TEST_SUITE_P(Paths, OperationDefaults,
                         ::testing::Values(HostPath::OwnUsb, HostPath::Bridge, HostPath::Sata),
                         [](const auto& p) { return std::string(hostPathName(p.param)); });

// The status byte stands where the path's reply rule puts it.
class StatusReply : public LineTest {};

TEST_F(StatusReply, UsbGivesTheValueFirstTunnelGivesTheSignatureFirst) {
  for (const auto path : {HostPath::OwnUsb, HostPath::Sata}) {
    DriveConfig config = configFor(path);
    config.runState = RunState::Loader;
    line->addDrive(config);
    auto device = open(config.path);
    VendorHost host(*device, path);
    ASSERT_TRUE(host.vendorMode(true));
    ASSERT_TRUE(loadRamCode(host, ramCodeImage("GDP_")));
    ASSERT_TRUE(host.send(0x04, {0}));
    Bytes reply(kSector, 0x77);
    ASSERT_TRUE(host.send(0x00, {}, Direction::In, reply));
    if (path == HostPath::OwnUsb) {
      EXPECT_EQ(reply[0], 18);
      EXPECT_EQ(reply[1], 0);
    } else {
      EXPECT_EQ(reply[0], 0xe5);
      EXPECT_EQ(reply[1], 18);
    }
    EXPECT_EQ(reply[2], 0) << "the rest of the reply is zeros";
  }
}

}  // namespace
}  // namespace drivesim::test
