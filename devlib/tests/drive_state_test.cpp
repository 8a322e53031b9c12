// The drive state operations against the recording fake backend, where the
// exact bytes count: the maximum LBA commands, the loader texts and how far
// they are compared, the S.M.A.R.T. attribute scan and the ATA string order.

#include "devlib/drive_state.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "platform/clock.h"
#include "port_fixture.h"

namespace devlib::test {
namespace {

using devlib::test::PrintTo;  // lets GoogleTest name the table rows

using testsupport::AnswerCheckCondition;
using testsupport::AnswerWithData;
using testsupport::ScriptedAnswer;
using Bytes = std::vector<std::uint8_t>;

const Bytes kIdentifyCdb{0xA1, 0x08, 0x0B, 0x00, 0x01, 0x00, 0x00, 0x00, 0xE0, 0xEC, 0x00, 0x00};
const Bytes kInquiryCdb{0x12, 0x00, 0x00, 0x00, 0x28, 0x00};
const Bytes kReadNativeMaxCdb{0xA1, 0x06, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xF8, 0x00, 0x00};
const Bytes kReadNativeMaxExtCdb{0x85, 0x06, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x27, 0x00};
const Bytes kSmartReadCdb{0xA1, 0x08, 0x0B, 0xD0, 0x01, 0x00, 0x4F, 0xC2, 0x00, 0xB0, 0x00, 0x00};

class DriveStateOnFake : public PortTest {
 protected:
  std::vector<Bytes> SentCdbs() const {
    std::vector<Bytes> cdbs;
    for (const auto& command : Sent()) cdbs.push_back(command.cdb);
    return cdbs;
  }
  void Queue(ScriptedAnswer answer) { storage->queueAnswer(kDrivePath, std::move(answer)); }

  platform::clock::ScopedFastClock clock_;
};

// --- SetMaxLba ------------------------------------------------------------------------

struct SetMaxCase {
  const char* name;
  Link link;
  std::uint32_t low, high;
  std::vector<ScriptedAnswer> answers;  // after these, every command succeeds
  std::vector<Bytes> sent;
  bool result;
};

class SetMaxLbaCommands : public DriveStateOnFake, public ::testing::WithParamInterface<SetMaxCase> {};

TEST_P(SetMaxLbaCommands, SendsTheFormTheCountNeeds) {
  const SetMaxCase& c = GetParam();
  Attach(c.link);
  for (const auto& answer : c.answers) Queue(answer);
  Bytes buffer(64 * 1024);
  EXPECT_EQ(SetMaxLba(kPort, buffer, c.low, c.high), c.result);
  EXPECT_EQ(SentCdbs(), c.sent);
}

const ScriptedAnswer kOk{};
const ScriptedAnswer kAborted = AnswerCheckCondition(0x0B);

INSTANTIATE_TEST_SUITE_P(
    Counts, SetMaxLbaCommands,
    ::testing::Values(
        SetMaxCase{"largest28BitCount", Link::Bridge, 0x0FFFFFFE, 0, {},
                   {kIdentifyCdb, kReadNativeMaxCdb,
                    {0xA1, 0x06, 0x00, 0x00, 0x01, 0xFD, 0xFF, 0xFF, 0xEF, 0xF9, 0x00, 0x00}},
                   true},
        SetMaxCase{"small28BitCount", Link::Bridge, 1000, 0, {},
                   {kIdentifyCdb, kReadNativeMaxCdb,
                    {0xA1, 0x06, 0x00, 0x00, 0x01, 0xE7, 0x03, 0x00, 0xE0, 0xF9, 0x00, 0x00}},
                   true},
        SetMaxCase{"count0x0FFFFFFFNeeds48Bits", Link::Bridge, 0x0FFFFFFF, 0, {},
                   {kIdentifyCdb, kReadNativeMaxExtCdb,
                    {0x85, 0x07, 0x00, 0x00, 0x00, 0x00, 0x01, 0x0F, 0xFE, 0x00, 0xFF, 0x00, 0xFF, 0xE0, 0x37, 0x00}},
                   true},
        SetMaxCase{"highHalfSet", Link::Bridge, 0, 1, {},
                   {kIdentifyCdb, kReadNativeMaxExtCdb,
                    {0x85, 0x07, 0x00, 0x00, 0x00, 0x00, 0x01, 0xFF, 0xFF, 0x00, 0xFF, 0x00, 0xFF, 0xE0, 0x37, 0x00}},
                   true},
        SetMaxCase{"readFailsNoSet", Link::Bridge, 1000, 0, {kOk, kAborted}, {kIdentifyCdb, kReadNativeMaxCdb},
                   false},
        SetMaxCase{"readExtFailsNoSet", Link::Bridge, 0, 2, {kOk, kAborted}, {kIdentifyCdb, kReadNativeMaxExtCdb},
                   false},
        SetMaxCase{"setFails", Link::Bridge, 1000, 0, {kOk, kOk, kAborted},
                   {kIdentifyCdb, kReadNativeMaxCdb,
                    {0xA1, 0x06, 0x00, 0x00, 0x01, 0xE7, 0x03, 0x00, 0xE0, 0xF9, 0x00, 0x00}},
                   false},
        SetMaxCase{"countZeroRefusedUnsent", Link::Bridge, 0, 0, {}, {}, false},
        SetMaxCase{"usbPathSendsNoMaxCommand", Link::UsbPath, 1000, 0, {}, {kInquiryCdb}, true},
        SetMaxCase{"usbPathLarge", Link::UsbPath, 0, 1, {}, {kInquiryCdb}, true}),
    [](const auto& testCase) { return std::string(testCase.param.name); });

TEST_F(DriveStateOnFake, SetMaxLbaOnANativeAtaPortUsesTheSameTaskFiles) {
  Attach(Link::NativeAta, false);
  Bytes buffer(64 * 1024);
  ASSERT_TRUE(SetMaxLba(kPort, buffer, 0x0FFFFFFE, 0));
  const auto sent = Sent();
  ASSERT_EQ(sent.size(), 3u);
  EXPECT_EQ(sent[1].current.command, 0xF8);
  EXPECT_EQ(sent[2].current.command, 0xF9);
  EXPECT_EQ(sent[2].current.lbaLow, 0xFD);
  EXPECT_EQ(sent[2].current.lbaMid, 0xFF);
  EXPECT_EQ(sent[2].current.lbaHigh, 0xFF);
  EXPECT_EQ(sent[2].current.device, 0xEF);
}

// --- IsLoaderDevice -------------------------------------------------------------------

Bytes InquiryWith(std::string_view identity) {
  Bytes data(40, 0);
  std::copy(identity.begin(), identity.end(), data.begin() + 8);
  return data;
}

Bytes IdentifyWithModel(std::string_view model) {
  Bytes data(512, 0);
  for (std::size_t i = 0; i < model.size() && i < 40; ++i) data[(54 + i) ^ 1] = static_cast<std::uint8_t>(model[i]);
  return data;
}

struct LoaderCase {
  const char* name;
  Link link;
  ScriptedAnswer answer;
  bool loader;
};

class LoaderTexts : public DriveStateOnFake, public ::testing::WithParamInterface<LoaderCase> {};

TEST_P(LoaderTexts, ComparedOverTheirLengthOnly) {
  const LoaderCase& c = GetParam();
  Attach(c.link, c.link != Link::NativeAta);
  Queue(c.answer);
  EXPECT_EQ(IsLoaderDevice(kPort), c.loader);
  const auto sent = Sent();
  ASSERT_EQ(sent.size(), 1u);
  if (c.link == Link::UsbPath) {
    EXPECT_EQ(sent[0].cdb, kInquiryCdb);
  } else if (c.link == Link::Bridge) {
    EXPECT_EQ(sent[0].cdb, kIdentifyCdb);
  } else {
    EXPECT_EQ(sent[0].current.command, 0xEC);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Texts, LoaderTexts,
    ::testing::Values(
        LoaderCase{"usbLoader", Link::UsbPath, AnswerWithData(InquiryWith("Generic ZIR USB Loader  ")), true},
        LoaderCase{"usbTwentyFourthCharacterIgnored", Link::UsbPath,
                   AnswerWithData(InquiryWith("Generic ZIR USB Loader X")), true},
        LoaderCase{"usbTwentyThirdCharacterCounts", Link::UsbPath,
                   AnswerWithData(InquiryWith("Generic ZIR USB LoaderXX")), false},
        LoaderCase{"usbOtherLoaderText", Link::UsbPath, AnswerWithData(InquiryWith("Tolvane Flash CR Loader ")),
                   false},
        LoaderCase{"usbFirmware", Link::UsbPath, AnswerWithData(InquiryWith("Tolvane KWFA4X USB SSD  ")), false},
        LoaderCase{"usbInquiryFails", Link::UsbPath, AnswerCheckCondition(0x02, 0x04, 0x01), false},
        LoaderCase{"sataGeneric", Link::Bridge,
                   AnswerWithData(IdentifyWithModel("Generic ZIR SATA Loader Loader Device")), true},
        LoaderCase{"sataTolvane", Link::Bridge,
                   AnswerWithData(IdentifyWithModel("Tolvane KWFA4X SATA SSD Loader Device")), true},
        LoaderCase{"sataThirtySeventhCharacterIgnored", Link::Bridge,
                   AnswerWithData(IdentifyWithModel("Generic ZIR SATA Loader Loader DevicX")), true},
        LoaderCase{"sataThirtySixthCharacterCounts", Link::Bridge,
                   AnswerWithData(IdentifyWithModel("Generic ZIR SATA Loader Loader DeviXe")), false},
        LoaderCase{"sataFirmware", Link::Bridge, AnswerWithData(IdentifyWithModel("Tolvane KWFA4X SATA SSD")), false},
        LoaderCase{"sataIdentifyFails", Link::Bridge, AnswerCheckCondition(0x0B), false},
        LoaderCase{"nativeAtaTolvane", Link::NativeAta,
                   AnswerWithData(IdentifyWithModel("Tolvane KWFA4X SATA SSD Loader Device")), true},
        LoaderCase{"nativeAtaIdentifyFails", Link::NativeAta, testsupport::AnswerAtaStatus(0x51, 0x04), false}),
    [](const auto& testCase) { return std::string(testCase.param.name); });

// Blockprobe's USB loader answers with a text of its own.
TEST_F(DriveStateOnFake, BlockprobeTableLooksForItsOwnUsbLoaderText) {
  InitPortIoTable(ProgramKind::Blockprobe);
  Attach(Link::UsbPath, true);
  Queue(AnswerWithData(InquiryWith("Tolvane Flash CR Loader ")));
  Queue(AnswerWithData(InquiryWith("Generic ZIR USB Loader  ")));
  EXPECT_TRUE(IsLoaderDevice(kPort));
  EXPECT_FALSE(IsLoaderDevice(kPort));
}

// --- CheckTemperature -----------------------------------------------------------------

struct Attribute {
  int entry;  // 0 .. 30: entry k lies at byte 2 + 12k
  std::uint8_t id;
  std::uint8_t raw;
};

Bytes SmartWith(const std::vector<Attribute>& attributes) {
  Bytes data(512, 0);
  for (const auto& a : attributes) {
    data[2 + 12 * static_cast<std::size_t>(a.entry)] = a.id;
    data[2 + 12 * static_cast<std::size_t>(a.entry) + 5] = a.raw;
  }
  return data;
}

struct TemperatureCase {
  const char* name;
  std::vector<Attribute> attributes;
  std::uint8_t limit;
  bool result;
  std::int8_t temperature;
};

class TemperatureScan : public DriveStateOnFake, public ::testing::WithParamInterface<TemperatureCase> {};

TEST_P(TemperatureScan, FirstAttribute194AmongThirtyEntries) {
  const TemperatureCase& c = GetParam();
  Attach(Link::Bridge);
  Queue({});  // IDENTIFY: no loader
  Queue(AnswerWithData(SmartWith(c.attributes)));
  Bytes buffer(64 * 1024);
  std::int8_t temperature = 99;
  EXPECT_EQ(CheckTemperature(kPort, buffer, c.limit, temperature), c.result);
  EXPECT_EQ(temperature, c.temperature);
  EXPECT_EQ(SentCdbs(), (std::vector<Bytes>{kIdentifyCdb, kSmartReadCdb}));
}

INSTANTIATE_TEST_SUITE_P(
    Tables, TemperatureScan,
    ::testing::Values(
        TemperatureCase{"inTheLastEntry", {{0, 0x09, 77}, {29, 0xC2, 50}}, 45, false, 50},
        TemperatureCase{"beyondTheThirtiethEntry", {{30, 0xC2, 90}}, 45, true, 0},
        TemperatureCase{"firstOneCounts", {{3, 0xC2, 30}, {4, 0xC2, 90}}, 45, true, 30},
        TemperatureCase{"otherAttributesOnly", {{0, 0x09, 200}, {1, 0xBE, 99}}, 45, true, 0},
        TemperatureCase{"belowZero", {{2, 0xC2, 0xF6}}, 0, true, -10},
        TemperatureCase{"atTheLimit", {{2, 0xC2, 45}}, 45, true, 45}),
    [](const auto& testCase) { return std::string(testCase.param.name); });

TEST_F(DriveStateOnFake, TemperatureFailsWhenTheDataCannotBeRead) {
  struct Case {
    const char* name;
    Link link;
    std::vector<Bytes> sent;
  };
  for (const Case& c : {Case{"bridge", Link::Bridge, {kIdentifyCdb, kSmartReadCdb}},
                        Case{"usbPathHasNoSmartCommand", Link::UsbPath, {kInquiryCdb}}}) {
    SCOPED_TRACE(c.name);
    storage->clearRecords();
    Attach(c.link);
    Queue({});
    Queue(AnswerCheckCondition(0x0B));
    Bytes buffer(64 * 1024);
    std::int8_t temperature = 99;
    EXPECT_FALSE(CheckTemperature(kPort, buffer, 200, temperature));
    EXPECT_EQ(temperature, 0);
    EXPECT_EQ(SentCdbs(), c.sent);
  }
}

// --- SwapBytePairs --------------------------------------------------------------------

TEST(SwapBytePairs, SwapsWholeWordsWithinTheLengthAndTheBuffer) {
  struct Case {
    const char* name;
    Bytes bytes;
    std::size_t length;
    Bytes swapped;
  };
  const Case cases[] = {
      {"whole", {'e', 'G', 'e', 'n'}, 4, {'G', 'e', 'n', 'e'}},
      {"oddLengthLeavesTheLastByte", {1, 2, 3, 4, 5}, 5, {2, 1, 4, 3, 5}},
      {"shorterLength", {1, 2, 3, 4}, 2, {2, 1, 3, 4}},
      {"lengthBeyondTheBuffer", {1, 2, 3}, 40, {2, 1, 3}},
      {"nothing", {1, 2}, 0, {1, 2}},
  };
  for (const Case& c : cases) {
    Bytes bytes = c.bytes;
    SwapBytePairs(bytes, c.length);
    EXPECT_EQ(bytes, c.swapped) << c.name;
  }
}

}  // namespace
}  // namespace devlib::test
