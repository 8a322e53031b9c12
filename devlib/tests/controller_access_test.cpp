// The controller access operations against the recording fake backend: the
// command sequences they send, the waits they take on the fast clock and the
// rules they apply on the host side.

#include "devlib/controller_access.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include "devlib/flash_params.h"
#include "devlib/standard_commands.h"
#include "devlib/vendor_protocol.h"
#include "platform/clock.h"
#include "port_fixture.h"
#include "testsupport/stop_once_stuck.h"

namespace devlib::test {
namespace {

using devlib::test::PrintTo;  // lets GoogleTest name the table rows

using testsupport::AnswerTransportFailure;
using testsupport::AnswerWithData;
using testsupport::RecordedCommand;
using testsupport::ScriptedAnswer;
using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t k64K = 64 * 1024;

std::string Hex(std::uint8_t byte) {
  char text[3];
  std::snprintf(text, sizeof text, "%02X", byte);
  return text;
}

// What one recorded command was, in a line a reader can compare: vendor
// blocks (sub-op and bytes 3.. up to the last one set) on either carrier,
// their data phases, and the standard commands by name.
std::string Describe(const RecordedCommand& c) {
  const auto vendorBlock = [](std::span<const std::uint8_t> block) {
    std::size_t last = 2;
    for (std::size_t i = 3; i < 12; ++i) {
      if (block[i] != 0) last = i;
    }
    std::string text = "vendor";
    for (std::size_t i = 2; i <= last; ++i) text += " " + Hex(block[i]);
    return text;
  };
  const auto& cdb = c.cdb;
  if (cdb.size() == 12 && cdb[0] == 0xFF) return vendorBlock(cdb);
  if (cdb.size() == 12 && cdb[0] == 0xA1) {
    switch (cdb[9]) {
      case 0x88:
      case 0x8F:
      case 0xC5:
        if (cdb[5] == kCommandSectorTag && c.dataOut.size() == 512) return vendorBlock(c.dataOut);
        return "data out " + std::to_string(cdb[4]);
      case 0x86:
      case 0x8A:
      case 0xC4: return "data in " + std::to_string(cdb[4]);
      case 0xEF: return "set features " + Hex(cdb[3]) + " " + Hex(cdb[4]);
      case 0xE7: return "flush";
      case 0xEC: return "identify";
      default: break;
    }
  }
  if (!cdb.empty() && cdb[0] == 0x28) return "read10";
  if (!cdb.empty() && cdb[0] == 0x2A) return "write10";
  if (!cdb.empty() && cdb[0] == 0x25) return "read capacity";
  return "other " + testsupport::HexBytes(cdb);
}

using Trace = std::vector<std::string>;

Bytes Filled(std::size_t size, std::uint8_t value) { return Bytes(size, value); }

std::uint16_t WordOf(const Bytes& bytes, std::size_t word) {
  return static_cast<std::uint16_t>(bytes[2 * word] | bytes[2 * word + 1] << 8);
}

std::uint32_t U32At(const Bytes& bytes, std::size_t offset) {
  return static_cast<std::uint32_t>(bytes[offset] | bytes[offset + 1] << 8 | bytes[offset + 2] << 16 |
                                    bytes[offset + 3] << 24);
}

class ControllerAccess : public PortTest {
 protected:
  void SetUp() override {
    PortTest::SetUp();
    savedParams_ = *CurrentFlashParams();
    UseGeometry(8);
  }
  void TearDown() override {
    PublishFlashParams(savedParams_);
    PortTest::TearDown();
  }

  void UseGeometry(std::uint8_t sectorsPerPage, std::string_view dateCode = "", bool dumps = false) {
    FlashParams params = savedParams_;
    params.geometry.sectorsPerPage = sectorsPerPage;
    params.firmwareDateCode.assign(dateCode);
    params.dumpDebugFile = dumps ? 1 : 0;
    PublishFlashParams(params);
  }

  Trace Sequence() const {
    Trace trace;
    for (const auto& command : Sent()) trace.push_back(Describe(command));
    return trace;
  }

  // Attaches the port to a drive of its own, so that answers a case left
  // queued never reach the next one.
  void AttachNew(Link link) {
    path_ = kDrivePath + "#" + std::to_string(++drives_);
    Attach(link, true, kPort, path_);
  }
  void Queue(ScriptedAnswer answer) { storage->queueAnswer(path_, std::move(answer)); }
  void QueueOk(int count = 1) {
    for (int i = 0; i < count; ++i) Queue({});
  }
  // A status reply by the reply rule of the port's path; the tunnel's
  // command sector is answered first.
  void QueueStatus(Link link, std::uint8_t status) {
    if (link == Link::UsbPath) {
      Queue(AnswerWithData({status}));
      return;
    }
    QueueOk();
    Queue(AnswerWithData({0xE5, status}));
  }

  static std::uint64_t Now() { return platform::clock::tickMs(); }

  platform::clock::ScopedFastClock clock_;
  FlashParams savedParams_;
  std::string path_;
  int drives_ = 0;
};

// --- thin wrappers -------------------------------------------------------------------

struct WrapperCase {
  const char* name;
  std::function<bool(int port, std::span<std::uint8_t> buffer)> call;
  Trace usbTrace;  // what the USB path sends
};

const WrapperCase kWrappers[] = {
    {"WriteRamCode sets the window bit",
     [](int p, auto b) { return WriteRamCode(p, b, 4, 0x00001200); }, {"vendor 87 03 40 00 12"}},
    {"ReadRamCode sets the window bit", [](int p, auto b) { return ReadRamCode(p, b, 4, 0x40000200); },
     {"vendor 86 03 40 00 02"}},
    {"WriteRegister", [](int p, auto) { return WriteRegister(p, 0x00020005, 0x05); },
     {"vendor 85 00 02 00 05 05"}},
    {"WritePages",
     [](int p, auto b) {
       return WritePages(p, {.channel = 2, .chipEnable = 1, .block = 0x0102, .page = 3, .bch24 = 1, .extra = 4}, b, 4);
     },
     {"vendor 8A 02 01 01 02 00 03 01 04"}},
    {"ReadInfoBlock", [](int p, auto b) { return ReadInfoBlock(p, b, 2); }, {"vendor 05"}},
    {"ReadFlashId", [](int p, auto b) { return ReadFlashId(p, 3, 1, b, 1); }, {"vendor 88 03 01"}},
    {"ReadLoaderList", [](int p, auto b) { return ReadLoaderList(p, b, 1); }, {"vendor 07"}},
    {"EraseBlock", [](int p, auto) { return EraseBlock(p, 8, 0, 0x0203); }, {"vendor 8B 08 00 02 03"}},
    {"ReadTestResult", [](int p, auto b) { return ReadTestResult(p, b); }, {"vendor 02"}},
    {"RunDramCheck", [](int p, auto b) { return RunDramCheck(p, b, 0x20000, 0x4000000); },
     {"vendor 05 00 00 02 00 00 04"}},
    {"WriteEraseCounts", [](int p, auto b) { return WriteEraseCounts(p, b, 4, 2, 1); }, {"vendor 08 02 01"}},
    {"ReadEraseCounts", [](int p, auto b) { return ReadEraseCounts(p, b, 4, 2, 1); }, {"vendor 01 02 01"}},
    {"ReadBadBlockList", [](int p, auto b) { return ReadBadBlockList(p, b, 4, 3, 1); }, {"vendor 00 03 01"}},
    {"ReadFailureReport", [](int p, auto b) { return ReadFailureReport(p, b); }, {"vendor 06"}},
    {"ReadControllerInfo",
     [](int p, auto) {
       ControllerInfo info{};
       return ReadControllerInfo(p, info);
     },
     {"vendor 80"}},
    {"WriteLbaBuffer", [](int p, auto b) { return WriteLbaBuffer(p, b, 2, 100); }, {"write10"}},
};

class Wrapper : public ControllerAccess, public ::testing::WithParamInterface<WrapperCase> {
 protected:
  Bytes buffer_ = Bytes(4 * 512, 0x5A);
};

TEST_P(Wrapper, SendsItsBlockAndAnswersTrueOnSuccess) {
  AttachNew(Link::UsbPath);
  EXPECT_TRUE(GetParam().call(kPort, buffer_));
  EXPECT_EQ(Sequence(), GetParam().usbTrace);
}

TEST_P(Wrapper, AnswersFalseWhenTheCommandFails) {
  AttachNew(Link::Bridge);
  storage->setDefaultAnswer(AnswerTransportFailure(EIO));
  EXPECT_FALSE(GetParam().call(kPort, buffer_));
}

TEST_P(Wrapper, UnknownPortSendsNothing) {
  for (const int port : {-1, 50, 255}) EXPECT_FALSE(GetParam().call(port, buffer_)) << port;
  EXPECT_TRUE(storage->opens().empty());
}

INSTANTIATE_TEST_SUITE_P(Operations, Wrapper, ::testing::ValuesIn(kWrappers), [](const auto& testCase) {
  std::string name = testCase.param.name;
  for (char& c : name) {
    if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
  }
  return name;
});

TEST_F(ControllerAccess, ReadFailureReportClearsByteZeroEvenWhenTheReadFails) {
  AttachNew(Link::UsbPath);
  Bytes buffer(4 * 512, 0x77);
  Queue(AnswerTransportFailure(EIO));
  EXPECT_FALSE(ReadFailureReport(kPort, buffer));
  EXPECT_EQ(buffer[0], 0x00);
}

TEST_F(ControllerAccess, ControllerInfoKeepsTheFirst104Bytes) {
  AttachNew(Link::UsbPath);
  Bytes sector(512);
  for (std::size_t i = 0; i < sector.size(); ++i) sector[i] = static_cast<std::uint8_t>(i + 1);
  Queue(AnswerWithData(sector));
  ControllerInfo info{};
  ASSERT_TRUE(ReadControllerInfo(kPort, info));
  EXPECT_TRUE(std::equal(info.begin(), info.end(), sector.begin()));
}

TEST_F(ControllerAccess, FlashTestStepPassesOnlyOnResultFF) {
  struct Case {
    const char* name;
    ScriptedAnswer reply;
    bool passed;
    std::uint8_t result;
  };
  const Case cases[] = {
      {"result FF", AnswerWithData({0x01, 0xFF}), true, 0xFF},
      {"result 12", AnswerWithData({0x01, 0x12}), false, 0x12},
      {"no result counts as FF", AnswerWithData({0x00, 0x12}), true, 0xFF},
      {"failed command", AnswerTransportFailure(EIO), false, 0x77},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    AttachNew(Link::UsbPath);
    storage->clearRecords();
    Queue(c.reply);
    std::uint8_t result = 0x77;
    EXPECT_EQ(RunFlashTestStep(kPort, 3, 0x0260, result), c.passed);
    EXPECT_EQ(result, c.result);
    EXPECT_EQ(Sequence(), Trace{"vendor 01 03 02 60"});
  }
}

// --- mode switches -------------------------------------------------------------------

TEST_F(ControllerAccess, VendorModeIsSetFeaturesDcOnTheSataPathOnly) {
  AttachNew(Link::Bridge);
  EXPECT_TRUE(SetVendorMode(kPort, true));
  EXPECT_TRUE(SetVendorMode(kPort, false));
  EXPECT_EQ(Sequence(), (Trace{"set features DC 4B", "set features DC 57"}));
  const Bytes on{0xA1, 0x06, 0x00, 0xDC, 0x4B, 0x00, 0x00, 0x00, 0xE0, 0xEF, 0x00, 0x00};
  EXPECT_EQ(Sent()[0].cdb, on);

  Queue(AnswerTransportFailure(EIO));
  EXPECT_FALSE(SetVendorMode(kPort, true));

  storage->clearRecords();
  AttachNew(Link::UsbPath);
  EXPECT_TRUE(SetVendorMode(kPort, true));
  EXPECT_TRUE(Sent().empty());
}

TEST_F(ControllerAccess, SwitchRunModeStartsTheSessionSetsTheModeWaitsAndTurnsVendorModeOn) {
  AttachNew(Link::Bridge);
  ASSERT_TRUE(SwitchRunMode(kPort, 2, 7));
  // The tunnel sends session start with 1 whatever the argument.
  EXPECT_EQ(Sequence(), (Trace{"vendor 81 01", "vendor 83 02", "set features DC 4B"}));
  EXPECT_EQ(Now(), 500u);

  storage->clearRecords();
  AttachNew(Link::UsbPath);
  ASSERT_TRUE(SwitchRunMode(kPort, kLoaderRunMode, 0));
  EXPECT_EQ(Sequence(), (Trace{"vendor 81", "vendor 83"}));
  EXPECT_EQ(Now(), 1000u);
}

TEST_F(ControllerAccess, SwitchRunModeStopsAtTheFirstFailedStep) {
  struct Case {
    const char* name;
    int failingCommand;  // index of the first command that fails
    Trace sent;
  };
  const Case cases[] = {
      {"session start fails", 0, {"vendor 81 05"}},
      {"run mode fails", 1, {"vendor 81 05", "vendor 83 03"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    AttachNew(Link::UsbPath);
    storage->clearRecords();
    QueueOk(c.failingCommand);
    Queue(AnswerTransportFailure(EIO));
    const std::uint64_t before = Now();
    EXPECT_FALSE(SwitchRunMode(kPort, 3, 5));
    EXPECT_EQ(Sequence(), c.sent);
    EXPECT_EQ(Now(), before) << "no wait after a failed step";
  }
}

TEST_F(ControllerAccess, SwitchRunModeIgnoresAFailedVendorModeSwitch) {
  AttachNew(Link::Bridge);
  QueueOk(2);
  Queue(AnswerTransportFailure(EIO));
  EXPECT_TRUE(SwitchRunMode(kPort, 2, 1));
  EXPECT_EQ(Sequence().size(), 3u);
}

TEST_F(ControllerAccess, RunRamCodeStartsThenWaitsAndTurnsVendorModeOn) {
  AttachNew(Link::Bridge);
  ASSERT_TRUE(RunRamCode(kPort));
  EXPECT_EQ(Sequence(), (Trace{"vendor 82", "set features DC 4B"}));
  EXPECT_EQ(Now(), 500u);

  storage->clearRecords();
  Queue(AnswerTransportFailure(EIO));
  EXPECT_FALSE(RunRamCode(kPort));
  EXPECT_EQ(Sequence(), Trace{"vendor 82"});
  EXPECT_EQ(Now(), 500u);
}

// --- operation status polls -----------------------------------------------------------

struct PollCase {
  const char* name;
  Link link;
  int operation;
  bool wait;
  bool startFails;
  std::vector<int> statuses;  // -1: the poll fails
  bool result;
  std::uint8_t status;  // starts as 0x77
  std::uint64_t waitedMs;
};

const PollCase kPolls[] = {
    {"busy three times then done", Link::UsbPath, 1, true, false, {0xAA, 0xAA, 0xAA, 14}, true, 14, 3030},
    {"done at once", Link::UsbPath, 3, true, false, {10}, true, 10, 30},
    {"failure status is final", Link::UsbPath, 4, true, false, {0xAA, 20}, true, 20, 1030},
    {"busy without the wait flag", Link::UsbPath, 1, false, false, {0xAA}, false, 0xAA, 30},
    {"done without the wait flag", Link::UsbPath, 2, false, false, {12}, true, 12, 30},
    {"poll fails", Link::UsbPath, 1, true, false, {0xAA, -1}, false, 0xAA, 1030},
    {"start fails", Link::UsbPath, 1, true, true, {}, false, 0x77, 0},
    {"tunnelled busy then done", Link::Bridge, 4, true, false, {0xAA, 18}, true, 18, 1030},
};

class OperationPoll : public ControllerAccess, public ::testing::WithParamInterface<PollCase> {};

TEST_P(OperationPoll, PollsUntilAFinalStatusOnTheFastClock) {
  const PollCase& c = GetParam();
  AttachNew(c.link);
  if (c.startFails) {
    Queue(AnswerTransportFailure(EIO));
  } else {
    QueueOk();
  }
  for (const int status : c.statuses) {
    if (status < 0) {
      if (c.link == Link::Bridge) QueueOk();
      Queue(AnswerTransportFailure(EIO));
    } else {
      QueueStatus(c.link, static_cast<std::uint8_t>(status));
    }
  }
  std::uint8_t status = 0x77;
  EXPECT_EQ(RunOperationAndWait(kPort, c.operation, 0x42, status, c.wait), c.result);
  EXPECT_EQ(status, c.status);
  EXPECT_EQ(Now(), c.waitedMs);

  Trace expected{"vendor " + Hex(static_cast<std::uint8_t>(c.operation)) + " 42"};
  for (std::size_t i = 0; i < c.statuses.size(); ++i) {
    expected.push_back("vendor 00");
    if (c.link == Link::Bridge) expected.push_back("data in 1");
  }
  EXPECT_EQ(Sequence(), expected);
}

INSTANTIATE_TEST_SUITE_P(Statuses, OperationPoll, ::testing::ValuesIn(kPolls), [](const auto& testCase) {
  std::string name = testCase.param.name;
  for (char& c : name) {
    if (c == ' ') c = '_';
  }
  return name;
});

TEST_F(ControllerAccess, TunnelledStatusWithoutSignatureFailsThePoll) {
  AttachNew(Link::Bridge);
  QueueOk(2);
  Queue(AnswerWithData({0xE4, 14}));
  std::uint8_t status = 0x77;
  EXPECT_FALSE(RunOperationAndWait(kPort, 1, 0, status, true));
  EXPECT_EQ(status, 0x77);
}

TEST_F(ControllerAccess, OperationNumbersOutsideOneToFourSendNothing) {
  AttachNew(Link::UsbPath);
  std::uint8_t status = 0;
  for (const int operation : {0, 5, -1, 0x81}) {
    EXPECT_FALSE(RunOperationAndWait(kPort, operation, 0, status, true)) << operation;
  }
  EXPECT_TRUE(storage->opens().empty());
}

// Runs `operation` on a worker thread while the drive answers busy for ever,
// requests the port's stop once the worker has sent 40 commands, and checks
// that the worker gives up with false.
void ExpectStopEndsBusyWait(int port, testsupport::FakeStorage& storage, const std::function<bool()>& operation) {
  testsupport::StopOnceStuck stuck([sent = 0](auto) mutable { return ++sent == 40; },
                                   [&storage] { storage.setDefaultAnswer(AnswerTransportFailure(EIO)); });
  const PortWork work = BeginPortWork(port, stuck.stopToken());
  EXPECT_EQ(stuck.run(operation), false);
}

TEST_F(ControllerAccess, StopRequestEndsAnOperationThatStaysBusy) {
  AttachNew(Link::UsbPath);
  storage->setDefaultAnswer(AnswerWithData({0xAA}));
  ExpectStopEndsBusyWait(kPort, *storage, [] {
    std::uint8_t status = 0;
    return RunOperationAndWait(kPort, 1, 0, status, true);
  });
}

TEST_F(ControllerAccess, StopRequestEndsADramWaitThatStaysBusy) {
  AttachNew(Link::UsbPath);
  storage->setDefaultAnswer(AnswerWithData({0xAA}));
  ExpectStopEndsBusyWait(kPort, *storage, [] {
    std::uint8_t status = 0;
    return WaitDramStatus(kPort, status, true);
  });
}

TEST_F(ControllerAccess, StopRequestedBeforeTheFirstPollEndsTheOperation) {
  AttachNew(Link::UsbPath);
  std::stop_source stopSource;
  stopSource.request_stop();
  const PortWork work = BeginPortWork(kPort, stopSource.get_token());
  std::uint8_t status = 0x77;
  EXPECT_FALSE(RunOperationAndWait(kPort, 1, 0, status, true));
  EXPECT_FALSE(SwitchRunMode(kPort, 2, 0));
  EXPECT_FALSE(RunRamCode(kPort));
  for (const auto& command : Sent()) EXPECT_TRUE(command.stopRequested);
}

// A clock on which the n-th wait (sleeps of no time, as the fake device
// takes, do not count) first requests the port's stop: a wait that watches
// the port's stop token ends there with false; every other sleep passes at
// once.
class StopAtSleepClock final : public platform::clock::Clock {
 public:
  StopAtSleepClock(std::stop_source source, int stopAt) : source_(std::move(source)), stopAt_(stopAt) {}
  std::uint64_t nowMs() override { return 0; }
  bool sleepMs(std::uint64_t ms, std::stop_token stop) override {
    if (ms > 0 && ++sleeps_ == stopAt_) source_.request_stop();
    return !stop.stop_requested();
  }

 private:
  std::stop_source source_;
  int stopAt_;
  int sleeps_ = 0;
};

TEST_F(ControllerAccess, EveryWaitEndsAtAStopRequestBeforeTheNextCommand) {
  struct Case {
    const char* name;
    Link link;
    int stopAtSleep;
    std::vector<ScriptedAnswer> answers;
    std::function<bool()> call;
    Trace sent;
  };
  const auto operation = [] {
    std::uint8_t status = 0;
    return RunOperationAndWait(kPort, 1, 0, status, true);
  };
  const auto dramWait = [] {
    std::uint8_t status = 0;
    return WaitDramStatus(kPort, status, true);
  };
  const Case cases[] = {
      {"first poll of an operation", Link::UsbPath, 1, {}, operation, {"vendor 01"}},
      {"next poll of a busy operation", Link::UsbPath, 2, {{}, AnswerWithData({0xAA})}, operation,
       {"vendor 01", "vendor 00"}},
      {"next poll of a busy DRAM check", Link::Bridge, 1, {{}, AnswerWithData({0xE5, 0xAA})}, dramWait,
       {"vendor 00", "data in 1"}},
      {"settling after a run-mode switch", Link::Bridge, 1, {}, [] { return SwitchRunMode(kPort, 2, 0); },
       {"vendor 81 01", "vendor 83 02"}},
      {"settling after a RAM-code start", Link::Bridge, 1, {}, [] { return RunRamCode(kPort); }, {"vendor 82"}},
      {"settling after a flush", Link::Bridge, 1, {},
       [] {
         Bytes buffer(512);
         return WriteVerifyLbaPattern(kPort, buffer, 1, 0);
       },
       {"write10", "flush"}},
  };
  const auto previousClock = platform::clock::current();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    AttachNew(c.link);
    for (const auto& answer : c.answers) Queue(answer);
    std::stop_source stopSource;
    const PortWork work = BeginPortWork(kPort, stopSource.get_token());
    platform::clock::install(std::make_shared<StopAtSleepClock>(stopSource, c.stopAtSleep));
    const bool result = c.call();
    platform::clock::install(previousClock);
    EXPECT_FALSE(result);
    EXPECT_EQ(Sequence(), c.sent);
    storage->clearRecords();
  }
}

TEST_F(ControllerAccess, DramWaitSwitchesVendorModeOffAndOnBetweenPolls) {
  AttachNew(Link::Bridge);
  QueueStatus(Link::Bridge, 0xAA);
  QueueOk(2);
  QueueStatus(Link::Bridge, 0xAA);
  QueueOk(2);
  QueueStatus(Link::Bridge, 21);
  std::uint8_t status = 0;
  ASSERT_TRUE(WaitDramStatus(kPort, status, true));
  EXPECT_EQ(status, 21);
  EXPECT_EQ(Now(), 600u);
  const Trace poll{"vendor 00", "data in 1"};
  const Trace toggle{"set features DC 57", "set features DC 4B"};
  Trace expected;
  for (int i = 0; i < 2; ++i) {
    expected.insert(expected.end(), poll.begin(), poll.end());
    expected.insert(expected.end(), toggle.begin(), toggle.end());
  }
  expected.insert(expected.end(), poll.begin(), poll.end());
  EXPECT_EQ(Sequence(), expected);
}

TEST_F(ControllerAccess, DramWaitWithoutTheWaitFlagGivesUpOnBusy) {
  AttachNew(Link::Bridge);
  QueueStatus(Link::Bridge, 0xAA);
  std::uint8_t status = 0;
  EXPECT_FALSE(WaitDramStatus(kPort, status, false));
  EXPECT_EQ(Sequence(), (Trace{"vendor 00", "data in 1"}));
  EXPECT_EQ(Now(), 0u);
}

// --- bus interface test ---------------------------------------------------------------

Bytes CountingWords(unsigned start) {
  Bytes bytes(kBusTestBytes);
  for (std::size_t k = 0; k < kBusTestBytes / 2; ++k) {
    const auto value = static_cast<std::uint16_t>(start + k);
    bytes[2 * k] = static_cast<std::uint8_t>(value);
    bytes[2 * k + 1] = static_cast<std::uint8_t>(value >> 8);
  }
  return bytes;
}

struct BusCase {
  const char* name;
  int faultyPass;  // -1: none
  enum class Fault { None, FlippedBit, WriteFails, ReadFails } fault;
  bool result;
  std::size_t commands;
};

TEST_F(ControllerAccess, BusTestRoundWritesAndReadsTenCountingPasses) {
  using Fault = BusCase::Fault;
  const BusCase cases[] = {
      {"all passes clean", -1, Fault::None, true, 20},
      {"bit flipped in pass 7", 7, Fault::FlippedBit, false, 16},
      {"write fails in pass 0", 0, Fault::WriteFails, false, 1},
      {"read fails in pass 9", 9, Fault::ReadFails, false, 20},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    AttachNew(Link::UsbPath);
    storage->clearRecords();
    for (int pass = 0; pass < kBusTestPasses; ++pass) {
      const bool faulty = pass == c.faultyPass;
      Queue(faulty && c.fault == Fault::WriteFails ? AnswerTransportFailure(EIO) : ScriptedAnswer{});
      Bytes readBack = CountingWords(4096 + 11 * static_cast<unsigned>(pass));
      if (faulty && c.fault == Fault::FlippedBit) readBack[2 * 1000 + 1] ^= 0x04;
      Queue(faulty && c.fault == Fault::ReadFails ? AnswerTransportFailure(EIO) : AnswerWithData(readBack));
    }
    Bytes buffer(kBusTestBytes);
    EXPECT_EQ(BusTestRound(kPort, buffer, 1), c.result);

    const auto sent = Sent();
    ASSERT_EQ(sent.size(), c.commands);
    for (std::size_t i = 0; i < sent.size(); ++i) {
      const bool write = i % 2 == 0;
      EXPECT_EQ(Describe(sent[i]), write ? "vendor 04 01 B0 02 10" : "vendor 03 01 B0 02 10") << i;
      EXPECT_EQ(sent[i].length, kBusTestBytes);
      if (write) {
        EXPECT_EQ(sent[i].dataOut, CountingWords(4096 + 11 * static_cast<unsigned>(i / 2))) << "pass " << i / 2;
      }
    }
  }
}

TEST_F(ControllerAccess, BusTestRefusesABufferUnder32K) {
  AttachNew(Link::UsbPath);
  Bytes small(kBusTestBytes - 1);
  EXPECT_FALSE(BusTestRound(kPort, small, 0));
  EXPECT_TRUE(storage->opens().empty()) << "a buffer under 32 KiB is refused unsent";
}

// --- flash pages ----------------------------------------------------------------------

TEST_F(ControllerAccess, BlockPagesOfAllChannelsAreReadOneChannelAfterAnother) {
  UseGeometry(4);
  AttachNew(Link::UsbPath);
  constexpr std::size_t kPage = 4 * 512;
  for (int channel = 0; channel < 8; ++channel) {
    Queue(AnswerWithData(Filled(kPage, static_cast<std::uint8_t>(0x10 + channel))));
  }
  Bytes buffer(8 * kPage + 16, 0xEE);
  const FlashPageAddress address{.channel = kAllChannels, .chipEnable = 1, .block = 0x0345, .page = 0x0006,
                                 .bch24 = 1, .extra = 2};
  ASSERT_TRUE(ReadBlockPages(kPort, address, buffer));

  Trace expected;
  for (int channel = 0; channel < 8; ++channel) {
    expected.push_back("vendor 89 " + Hex(static_cast<std::uint8_t>(channel)) + " 01 03 45 00 06 01 02");
  }
  EXPECT_EQ(Sequence(), expected);
  for (const auto& command : Sent()) EXPECT_EQ(command.length, kPage);
  for (int channel = 0; channel < 8; ++channel) {
    EXPECT_EQ(Bytes(buffer.begin() + channel * kPage, buffer.begin() + (channel + 1) * kPage),
              Filled(kPage, static_cast<std::uint8_t>(0x10 + channel)))
        << "channel " << channel;
  }
  EXPECT_EQ(buffer[8 * kPage], 0xEE) << "nothing written past the eight pages";
}

TEST_F(ControllerAccess, BlockPagesStopAtTheFirstFailedChannel) {
  UseGeometry(4);
  AttachNew(Link::UsbPath);
  QueueOk(3);
  Queue(AnswerTransportFailure(EIO));
  Bytes buffer(8 * 4 * 512);
  EXPECT_FALSE(ReadBlockPages(kPort, {.channel = kAllChannels}, buffer));
  EXPECT_EQ(Sent().size(), 4u);
}

TEST_F(ControllerAccess, BlockPageOfOneChannelLandsAtThatChannelsPlace) {
  UseGeometry(4);
  AttachNew(Link::UsbPath);
  constexpr std::size_t kPage = 4 * 512;
  Queue(AnswerWithData(Filled(kPage, 0x33)));
  Bytes buffer(8 * kPage, 0xEE);
  ASSERT_TRUE(ReadBlockPages(kPort, {.channel = 5, .block = 7}, buffer));
  EXPECT_EQ(Sequence(), Trace{"vendor 89 05 00 00 07"});
  EXPECT_EQ(buffer[5 * kPage], 0x33);
  EXPECT_EQ(buffer[5 * kPage - 1], 0xEE);
  EXPECT_EQ(buffer[6 * kPage], 0xEE);
}

TEST_F(ControllerAccess, BlockPagesThatDoNotFitTheBufferAreRefusedUnsent) {
  struct Case {
    const char* name;
    std::uint8_t sectorsPerPage;
    std::uint8_t channel;
    std::size_t bufferSize;
  };
  const Case cases[] = {
      {"32 sectors per page on 8 channels exceed 64 KiB", 32, kAllChannels, k64K},
      {"eight pages one byte short", 4, kAllChannels, 8 * 2048 - 1},
      {"channel 7 beyond the buffer", 4, 7, 7 * 2048},
      {"no geometry", 0, kAllChannels, k64K},
  };
  AttachNew(Link::UsbPath);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    UseGeometry(c.sectorsPerPage);
    Bytes buffer(c.bufferSize);
    EXPECT_FALSE(ReadBlockPages(kPort, {.channel = c.channel}, buffer));
  }
  EXPECT_TRUE(storage->opens().empty());
}

// A physical page reply: each 16 KiB step holds one channel, the plane-0
// page at +0 and the plane-1 page at +p, filled with base + step and
// base + 0x10 + step.
Bytes PhysicalReply(std::size_t sectors, std::size_t pageBytes, std::uint8_t base) {
  Bytes reply(sectors * 512, 0x00);
  for (std::size_t step = 0; step * 16384 < reply.size(); ++step) {
    std::fill_n(reply.begin() + step * 16384, pageBytes, static_cast<std::uint8_t>(base + step));
    std::fill_n(reply.begin() + step * 16384 + pageBytes, pageBytes, static_cast<std::uint8_t>(base + 0x10 + step));
  }
  return reply;
}

struct PhysicalCase {
  const char* name;
  const char* dateCode;
  std::uint16_t planeSelector;
  Trace sent;
  std::vector<std::uint8_t> channelFill;  // what each channel's place holds afterwards
};

const PhysicalCase kPhysical[] = {
    {"newer firmware, even plane", "120101", 4,
     {"vendor 04 0F 02 01 23 00 05 01", "vendor 04 F0 02 01 23 00 05 01"}, {0x10, 0x11, 0x30, 0x31}},
    {"newer firmware, odd plane", "", 5,
     {"vendor 04 0F 02 01 23 00 05 01", "vendor 04 F0 02 01 23 00 05 01"}, {0x20, 0x21, 0x40, 0x41}},
    {"older firmware, even plane", "110222", 0,
     {"vendor 04 08 02 01 23 00 05 01", "vendor 8C 03 B0 03"}, {0x10, 0x11, 0x30, 0x31}},
    {"older firmware, odd plane", "100811", 1,
     {"vendor 04 08 02 01 23 00 05 01", "vendor 8C 03 B0 03"}, {0x20, 0x21, 0x40, 0x41}},
};

class PhysicalPage : public ControllerAccess, public ::testing::WithParamInterface<PhysicalCase> {};

TEST_P(PhysicalPage, ReadsBothHalvesAndGathersThePlanePages) {
  const PhysicalCase& c = GetParam();
  UseGeometry(8, c.dateCode);
  AttachNew(Link::UsbPath);
  constexpr std::size_t kPage = 8 * 512;
  constexpr std::size_t kSectors = 64;  // two channels of 16 KiB per read
  Queue(AnswerWithData(PhysicalReply(kSectors, kPage, 0x10)));
  Queue(AnswerWithData(PhysicalReply(kSectors, kPage, 0x30)));
  Bytes buffer(k64K, 0xEE);
  const FlashPageAddress address{.channel = kAllChannels, .chipEnable = 2, .block = 0x0123, .page = 5, .bch24 = 1};
  ASSERT_TRUE(ReadFlashPage(kPort, address, c.planeSelector, buffer, kSectors));
  EXPECT_EQ(Sequence(), c.sent);
  for (const auto& command : Sent()) EXPECT_EQ(command.length, kSectors * 512);
  for (std::size_t channel = 0; channel < c.channelFill.size(); ++channel) {
    EXPECT_EQ(Bytes(buffer.begin() + channel * kPage, buffer.begin() + (channel + 1) * kPage),
              Filled(kPage, c.channelFill[channel]))
        << "channel " << channel;
  }
  EXPECT_EQ(Bytes(buffer.begin() + 4 * kPage, buffer.end()), Filled(k64K - 4 * kPage, 0)) << "the rest is zeroed";
}

INSTANTIATE_TEST_SUITE_P(Firmware, PhysicalPage, ::testing::ValuesIn(kPhysical), [](const auto& testCase) {
  std::string name = testCase.param.name;
  for (char& c : name) {
    if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
  }
  return name;
});

TEST_F(ControllerAccess, PhysicalPageOfSixteenSectorPagesFillsTheWhole64K) {
  UseGeometry(16, "120101");
  AttachNew(Link::UsbPath);
  constexpr std::size_t kPage = 16 * 512;
  Queue(AnswerWithData(PhysicalReply(128, kPage, 0x50)));
  Queue(AnswerWithData(PhysicalReply(128, kPage, 0x70)));
  Bytes buffer(k64K);
  ASSERT_TRUE(ReadFlashPage(kPort, {.channel = kAllChannels}, 1, buffer, 128));
  for (std::size_t channel = 0; channel < 8; ++channel) {
    const auto fill = static_cast<std::uint8_t>((channel < 4 ? 0x60 + channel : 0x80 + channel - 4));
    EXPECT_EQ(buffer[channel * kPage], fill) << channel;
    EXPECT_EQ(buffer[(channel + 1) * kPage - 1], fill) << channel;
  }
}

TEST_F(ControllerAccess, PhysicalPageReadFailureIsReportedWithAZeroedBuffer) {
  struct Case {
    const char* name;
    int failingRead;
    std::size_t commands;
  };
  const Case cases[] = {{"first read fails", 0, 1}, {"second read fails", 1, 2}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    AttachNew(Link::UsbPath);
    storage->clearRecords();
    if (c.failingRead == 1) Queue(AnswerWithData(PhysicalReply(64, 4096, 0x10)));
    Queue(AnswerTransportFailure(EIO));
    Bytes buffer(k64K, 0xEE);
    EXPECT_FALSE(ReadFlashPage(kPort, {.channel = kAllChannels}, 0, buffer, 64));
    EXPECT_EQ(Sent().size(), c.commands);
    EXPECT_EQ(buffer, Filled(k64K, 0));
  }
}

TEST_F(ControllerAccess, PhysicalPagesBeyond64KAreRefusedUnsent) {
  struct Case {
    const char* name;
    std::uint8_t sectorsPerPage;
    std::size_t sectors;
    std::uint16_t planeSelector;
    std::size_t bufferSize;
  };
  const Case cases[] = {
      {"32 sectors per page, eight channels", 32, 256, 0, k64K},
      {"reply over 64 KiB", 16, 129, 0, k64K},
      {"buffer under 64 KiB", 8, 64, 0, k64K - 512},
      {"no geometry", 0, 64, 0, k64K},
      {"no sectors", 8, 0, 0, k64K},
  };
  AttachNew(Link::UsbPath);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    UseGeometry(c.sectorsPerPage);
    Bytes buffer(c.bufferSize);
    EXPECT_FALSE(ReadFlashPage(kPort, {.channel = kAllChannels}, c.planeSelector, buffer, c.sectors));
  }
  EXPECT_TRUE(storage->opens().empty());
}

TEST_F(ControllerAccess, LoaderHeaderIsFoundInTheFirstBlockThatCarriesIt) {
  UseGeometry(4);
  AttachNew(Link::UsbPath);
  constexpr std::size_t kPage = 4 * 512;
  Bytes header(kPage, 0);
  const char text[] = "LDBK BLOCKS V30";
  std::copy(std::begin(text), std::end(text), header.begin());
  for (std::size_t i = 0; i < kLoaderHeaderTableSize; ++i) header[560 + i] = static_cast<std::uint8_t>(3 + i);
  Bytes almost = header;
  almost[15] = '!';  // the terminator belongs to the text

  QueueOk(8);                             // block 0: blank
  Queue(AnswerWithData(almost));          // block 1: a near miss
  QueueOk(7);
  Queue(AnswerWithData(header));          // block 2: the header on channel 0
  Bytes buffer(8 * kPage);
  LoaderHeaderTable table{};
  std::uint8_t fileCount = 0;
  ASSERT_TRUE(ReadLoaderHeaderInfo(kPort, buffer, table, fileCount));
  EXPECT_EQ(fileCount, 3);
  EXPECT_TRUE(std::equal(table.begin(), table.end(), header.begin() + 560));

  const auto trace = Sequence();
  ASSERT_EQ(trace.size(), 24u);
  EXPECT_EQ(trace[0], "vendor 89");
  EXPECT_EQ(trace[8], "vendor 89 00 00 00 01");
  EXPECT_EQ(trace[16], "vendor 89 00 00 00 02");
  EXPECT_EQ(trace[23], "vendor 89 07 00 00 02");
}

TEST_F(ControllerAccess, NoLoaderHeaderInBlocksZeroToThree) {
  UseGeometry(4);
  AttachNew(Link::UsbPath);
  Queue(AnswerTransportFailure(EIO));  // block 0 cannot be read: the next block is tried
  Bytes buffer(8 * 4 * 512);
  LoaderHeaderTable table{};
  std::uint8_t fileCount = 0x77;
  EXPECT_FALSE(ReadLoaderHeaderInfo(kPort, buffer, table, fileCount));
  EXPECT_EQ(fileCount, 0x77);
  EXPECT_EQ(Sent().size(), 1u + 3 * 8);
}

// --- maximum LBA ----------------------------------------------------------------------

Bytes IdentifyWith(std::uint32_t words60, std::uint64_t words100) {
  Bytes identify(512, 0);
  const auto put = [&](std::size_t word, std::uint16_t value) {
    identify[2 * word] = static_cast<std::uint8_t>(value);
    identify[2 * word + 1] = static_cast<std::uint8_t>(value >> 8);
  };
  put(60, static_cast<std::uint16_t>(words60));
  put(61, static_cast<std::uint16_t>(words60 >> 16));
  for (std::size_t i = 0; i < 4; ++i) put(100 + i, static_cast<std::uint16_t>(words100 >> (16 * i)));
  return identify;
}

TEST_F(ControllerAccess, MaxLbaFromIdentifyTakesThe28Or48BitCount) {
  struct Case {
    const char* name;
    std::optional<Bytes> identify;  // nullopt: the command fails
    std::uint64_t count;
  };
  const Case cases[] = {
      {"28-bit count", IdentifyWith(0x0DF9'4BB0, 0x0DF9'4BB0), 0x0DF9'4BB0},
      {"28-bit count, 48-bit words ignored", IdentifyWith(0x0000'2000, 0x1234'5678), 0x2000},
      {"48-bit count below 2 TiB", IdentifyWith(0x0FFF'FFFF, 0x3A38'6030), 0x3A38'6030},
      {"48-bit count of 4 TB kept whole", IdentifyWith(0x0FFF'FFFF, 7'814'037'168ULL), 7'814'037'168ULL},
      {"no 48-bit count", IdentifyWith(0x0FFF'FFFF, 0), 0},
      {"48-bit words all ones", IdentifyWith(0x0FFF'FFFF, 0xFFFF'FFFF), 0},
      {"blank IDENTIFY of ones", IdentifyWith(0x0FFF'FFFF, ~0ULL), 0},
      {"IDENTIFY fails", std::nullopt, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    AttachNew(Link::Bridge);
    storage->clearRecords();
    Queue(c.identify ? AnswerWithData(*c.identify) : AnswerTransportFailure(EIO));
    EXPECT_EQ(ReadMaxLbaFromIdentify(kPort), c.count);
    EXPECT_EQ(Sequence(), Trace{"identify"});
  }
}

TEST_F(ControllerAccess, MaxLbaAndSectorCountOnEachPath) {
  struct Case {
    const char* name;
    Link link;
    ScriptedAnswer answer;
    std::uint64_t maxLba;
    std::uint64_t sectorCount;
  };
  const Case cases[] = {
      {"USB: the last LBA, the count one more", Link::UsbPath, AnswerWithData({0x00, 0x00, 0x1F, 0xFF, 0, 0, 2, 0}),
       0x1FFF, 0x2000},
      {"USB: one-sector drive", Link::UsbPath, AnswerWithData({0, 0, 0, 0, 0, 0, 2, 0}), 0, 1},
      {"USB: failed read is 0 for both", Link::UsbPath, AnswerTransportFailure(EIO), 0, 0},
      {"SATA: the IDENTIFY count for both", Link::Bridge, AnswerWithData(IdentifyWith(0x2000, 0)), 0x2000, 0x2000},
      {"SATA: 48-bit count", Link::NativeAta, AnswerWithData(IdentifyWith(0x0FFF'FFFF, 0x2'0000'0000ULL)),
       0x2'0000'0000ULL, 0x2'0000'0000ULL},
      {"SATA: failed IDENTIFY", Link::Bridge, AnswerTransportFailure(EIO), 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    AttachNew(c.link);
    storage->clearRecords();
    Queue(c.answer);
    Queue(c.answer);
    EXPECT_EQ(ReadMaxLba(kPort), c.maxLba);
    EXPECT_EQ(ReadSectorCount(kPort), c.sectorCount);
    const Trace expected(2, c.link == Link::UsbPath ? "read capacity" : c.link == Link::Bridge ? "identify" : "ata");
    if (c.link != Link::NativeAta) {
      EXPECT_EQ(Sequence(), expected);
    } else {
      ASSERT_EQ(Sent().size(), 2u);
      EXPECT_EQ(Sent()[0].current.command, 0xEC);
    }
  }
  EXPECT_EQ(ReadMaxLba(50), 0u);
  EXPECT_EQ(ReadSectorCount(-1), 0u);
}

// --- LBA patterns ---------------------------------------------------------------------

Bytes Pattern(std::size_t sectors, std::uint32_t lba) {
  Bytes bytes(sectors * 512);
  FillLbaPattern(bytes, sectors, lba);
  return bytes;
}

TEST_F(ControllerAccess, LbaPatternWordsCountFromLbaTimes256AndWrap) {
  const Bytes bytes = Pattern(2, 0x1234);
  EXPECT_EQ(WordOf(bytes, 0), 0x3400);
  EXPECT_EQ(WordOf(bytes, 0xFF), 0x34FF);
  EXPECT_EQ(WordOf(bytes, 0x100), 0x3500);
  const Bytes wrapped = Pattern(1, 0xFF);
  EXPECT_EQ(WordOf(wrapped, 0), 0xFF00);
  EXPECT_EQ(WordOf(wrapped, 0xFF), 0xFFFF);
  EXPECT_EQ(WordOf(Pattern(2, 0xFF), 0x100), 0x0000);
}

TEST_F(ControllerAccess, WriteVerifyPassesWhenTheReadBackMatches) {
  AttachNew(Link::Bridge);
  constexpr std::uint32_t kLba = 0x0001'0203;
  QueueOk(2);
  Queue(AnswerWithData(Pattern(4, kLba)));
  Bytes buffer(4 * 512);
  EXPECT_TRUE(WriteVerifyLbaPattern(kPort, buffer, 4, kLba));
  EXPECT_EQ(Sequence(), (Trace{"write10", "flush", "read10"}));
  EXPECT_EQ(Sent()[0].dataOut, Pattern(4, kLba));
  EXPECT_EQ(Now(), 10u);
}

TEST_F(ControllerAccess, WriteVerifyRecordsTheFirstMismatch) {
  AttachNew(Link::UsbPath);  // FLUSH CACHE has no meaning here and is not sent
  constexpr std::uint32_t kLba = 77;
  Bytes corrupt = Pattern(2, kLba);
  corrupt[2 * 300] ^= 0x01;
  corrupt[2 * 400] ^= 0x01;
  QueueOk();
  Queue(AnswerWithData(corrupt));
  Bytes buffer(2 * 512);
  EXPECT_FALSE(WriteVerifyLbaPattern(kPort, buffer, 2, kLba));
  EXPECT_EQ(Sequence(), (Trace{"write10", "read10"}));
  EXPECT_EQ(U32At(buffer, 0), kLbaMismatchKind);
  EXPECT_EQ(U32At(buffer, 4), kLba);
  EXPECT_EQ(U32At(buffer, 8), static_cast<std::uint16_t>(kLba * 256 + 300));
  EXPECT_EQ(U32At(buffer, 12), static_cast<std::uint16_t>((kLba * 256 + 300) ^ 0x01));
  EXPECT_EQ(U32At(buffer, 16), 300u);
}

TEST_F(ControllerAccess, WriteVerifyStopsAtAFailedStep) {
  struct Case {
    const char* name;
    int failingCommand;
    Trace sent;
    std::optional<std::uint32_t> recordKind;  // the transfer's failure record
  };
  const Case cases[] = {
      {"write fails", 0, {"write10"}, kLbaWriteFailureKind},
      {"flush fails", 1, {"write10", "flush"}, std::nullopt},
      {"read fails", 2, {"write10", "flush", "read10"}, kLbaReadFailureKind},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    AttachNew(Link::Bridge);
    storage->clearRecords();
    QueueOk(c.failingCommand);
    Queue(AnswerTransportFailure(EIO));
    Bytes buffer(512, 0xEE);
    EXPECT_FALSE(WriteVerifyLbaPattern(kPort, buffer, 1, 0x0BAD));
    EXPECT_EQ(Sequence(), c.sent);
    if (c.recordKind) {
      EXPECT_EQ(U32At(buffer, 0), *c.recordKind);
      EXPECT_EQ(U32At(buffer, 4), 0x0BADu);
    }
  }
}

TEST_F(ControllerAccess, VerifyZeroesTheBufferBeforeTheRead) {
  AttachNew(Link::UsbPath);
  Queue(AnswerWithData(Pattern(1, 5)));
  Bytes buffer = Pattern(1, 5);
  buffer.resize(1024, 0xEE);
  EXPECT_TRUE(VerifyLbaPattern(kPort, buffer, 1, 5));
  EXPECT_EQ(Sequence(), Trace{"read10"});
  EXPECT_EQ(buffer[600], 0xEE) << "only the sectors read are zeroed";
}

TEST_F(ControllerAccess, PatternAndOnesWritesFillOnlyTheSectorsWritten) {
  AttachNew(Link::UsbPath);
  Bytes buffer(3 * 512, 0x11);
  EXPECT_TRUE(WriteLbaOnes(kPort, buffer, 2, 9));
  EXPECT_TRUE(WriteLbaPattern(kPort, buffer, 2, 9));
  const auto sent = Sent();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0].dataOut, Filled(2 * 512, 0xFF));
  EXPECT_EQ(sent[1].dataOut, Pattern(2, 9));
  EXPECT_EQ(buffer[2 * 512], 0x11);

  EXPECT_FALSE(WriteLbaPattern(kPort, buffer, 4, 9)) << "four sectors do not fit three";
  EXPECT_FALSE(WriteVerifyLbaPattern(kPort, buffer, 4, 9));
  EXPECT_EQ(Sent().size(), 2u);
}

// --- ports and dumps ------------------------------------------------------------------

TEST_F(ControllerAccess, UnknownPortsGetFalseWithoutACommand) {
  Bytes buffer(k64K);
  std::uint8_t status = 0;
  LoaderHeaderTable table{};
  for (const int port : {-1, 50, 1000}) {
    SCOPED_TRACE(port);
    EXPECT_FALSE(SetVendorMode(port, true));
    EXPECT_FALSE(SwitchRunMode(port, 0, 0));
    EXPECT_FALSE(RunRamCode(port));
    EXPECT_FALSE(RunOperationAndWait(port, 1, 0, status, true));
    EXPECT_FALSE(WaitDramStatus(port, status, true));
    EXPECT_FALSE(BusTestRound(port, buffer, 0));
    EXPECT_FALSE(ReadBlockPages(port, {.channel = kAllChannels}, buffer));
    EXPECT_FALSE(ReadFlashPage(port, {.channel = kAllChannels}, 0, buffer, 64));
    EXPECT_FALSE(ReadLoaderHeaderInfo(port, buffer, table, status));
    EXPECT_FALSE(WriteVerifyLbaPattern(port, buffer, 1, 0));
    EXPECT_FALSE(VerifyLbaPattern(port, buffer, 1, 0));
    EXPECT_EQ(ReadMaxLbaFromIdentify(port), 0u);
    EXPECT_EQ(ReadMaxLbaFromCapacity(port), 0u);
  }
  EXPECT_TRUE(storage->opens().empty());
  EXPECT_EQ(Now(), 0u);
}

class RawDumps : public ControllerAccess {
 protected:
  void SetUp() override {
    ControllerAccess::SetUp();
    previousDirectory_ = std::filesystem::current_path();
    directory_ = std::filesystem::temp_directory_path() /
                 ("ctrl-dumps-" + std::to_string(::getpid()) + "-" +
                  ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(directory_);
    std::filesystem::create_directories(directory_);
    std::filesystem::current_path(directory_);
  }
  void TearDown() override {
    std::filesystem::current_path(previousDirectory_);
    std::filesystem::remove_all(directory_);
    ControllerAccess::TearDown();
  }

  // Each port's dumps go into a folder of its own.
  std::optional<Bytes> Dump(const char* name) const {
    char folder[16];
    std::snprintf(folder, sizeof folder, "Port%02d", kPort + 1);
    std::ifstream file(directory_ / folder / name, std::ios::binary);
    if (!file) return std::nullopt;
    return Bytes(std::istreambuf_iterator<char>(file), {});
  }

  std::filesystem::path previousDirectory_;
  std::filesystem::path directory_;
};

TEST_F(RawDumps, RamCodeTransfersAreDumpedWhenTheSwitchIsOn) {
  UseGeometry(8, "", true);
  AttachNew(Link::UsbPath);
  Bytes image(4 * 512);
  for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<std::uint8_t>(i * 3);
  Bytes buffer = image;
  buffer.resize(8 * 512, 0xEE);
  ASSERT_TRUE(WriteRamCode(kPort, buffer, 4, 0));
  EXPECT_EQ(Dump("11_RCO.raw"), image) << "exactly the sectors written";

  Queue(AnswerWithData(Bytes(2 * 512, 0x6B)));
  ASSERT_TRUE(ReadRamCode(kPort, buffer, 2, 0));
  EXPECT_EQ(Dump("12_RCI.raw"), Bytes(2 * 512, 0x6B));
}

TEST_F(RawDumps, NothingIsDumpedWhenTheSwitchIsOffOrTheTransferFails) {
  AttachNew(Link::UsbPath);
  Bytes buffer(4 * 512, 0x01);
  ASSERT_TRUE(WriteRamCode(kPort, buffer, 4, 0));
  ASSERT_TRUE(ReadRamCode(kPort, buffer, 4, 0));
  EXPECT_FALSE(Dump("11_RCO.raw"));
  EXPECT_FALSE(Dump("12_RCI.raw"));

  UseGeometry(8, "", true);
  Queue(AnswerTransportFailure(EIO));
  Queue(AnswerTransportFailure(EIO));
  EXPECT_FALSE(WriteRamCode(kPort, buffer, 4, 0));
  EXPECT_FALSE(ReadRamCode(kPort, buffer, 4, 0));
  EXPECT_FALSE(Dump("11_RCO.raw"));
  EXPECT_FALSE(Dump("12_RCI.raw"));
}

}  // namespace
}  // namespace devlib::test
