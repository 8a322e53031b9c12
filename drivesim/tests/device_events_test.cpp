// Plugging and unplugging drives, devices and hubs: what the tree shows at
// once, and the notices its subscribers hear, in order, until they leave.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "drivesim/line.h"
#include "platform/clock.h"
#include "topology_test_support.h"

namespace drivesim::test {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

// r (3 ports): 1 drive 1, 2 hub h, 3 a device other than a drive
//   h (2 ports): 1 drive 2, 2 drive 3
class PlugEvents : public ::testing::Test {
 protected:
  void SetUp() override {
    for (int n = 1; n <= 3; ++n) line->addDrive(usbDrive(n));
    UsbTopology topology;
    topology.rootHub("r", 3);
    topology.hub("h", {"r", 2}, 2);
    topology.drive({"r", 1}, usbDiskPath(1));
    topology.drive({"h", 1}, usbDiskPath(2));
    topology.drive({"h", 2}, usbDiskPath(3));
    topology.device({"r", 3}, UsbDeviceSpec{.vendorId = 0x2e1f, .productId = 0xc31c, .serial = "K1"});
    ASSERT_EQ(line->setTopology(topology), "");
    for (const VisitedPort& port : walkRootHubs(*tree)) {
      if (port.info.status == pd::PortStatus::DeviceConnected) idAt[port.hubPath == rootPath() ? "r" : "h"].push_back(port.instanceId);
    }
    ASSERT_EQ(idAt["r"].size(), 3u);
    ASSERT_EQ(idAt["h"].size(), 2u);
    subscription = tree->subscribe(recorder.callback());
  }

  std::string rootPath() { return tree->listHubInterfaces().at(0).path; }
  std::vector<std::string> heard() {
    tree->waitForDelivery();
    return describe(recorder.take());
  }
  Drive& drive(int n) { return *line->drive(usbDiskPath(n)); }
  static std::string disk(int n) {
    return "usbstor\\disk&ven_tolvane&prod_kwfa4x&rev_1.00\\tv000000000" + std::to_string(n) + "&0";
  }

  platform::clock::ScopedFastClock clock;
  std::shared_ptr<Line> line = std::make_shared<Line>();
  std::shared_ptr<EmulatedDeviceTree> tree = line->deviceTree();
  std::map<std::string, std::vector<std::string>> idAt;  // instance ids of the connected ports, by hub
  EventRecorder recorder;
  std::unique_ptr<pd::Subscription> subscription;
};

TEST_F(PlugEvents, UnplugThenPlugADrive) {
  const std::string usb = idAt["r"][0];
  drive(1).unplug();
  // The tree shows it at once, before any notice is delivered.
  EXPECT_EQ(tree->listUsbDisks().size(), 2u);
  EXPECT_EQ(tree->openHub(rootPath())->connectionInfo(1)->status, pd::PortStatus::NoDevice);
  EXPECT_THAT(heard(), ElementsAre("-disk " + disk(1), "-usb " + usb));
  drive(1).unplug();  // already out: nothing more
  EXPECT_THAT(heard(), IsEmpty());
  drive(1).plug();
  EXPECT_THAT(heard(), ElementsAre("+usb " + usb, "+disk " + disk(1)));
  EXPECT_EQ(tree->listUsbDisks().size(), 3u);
}

TEST_F(PlugEvents, AnUnplugInTheMiddleOfACommand) {
  FaultRule unplug;
  unplug.kind = FaultKind::Unplug;
  drive(1).injectFault(unplug);
  auto opened = line->open(usbDiskPath(1), platform::storage::Sharing::Shared);
  ASSERT_NE(opened.device, nullptr);
  const std::vector<std::uint8_t> testUnitReady(6, 0);
  const auto outcome = opened.device->scsi({.cdb = testUnitReady, .timeoutSeconds = 5});
  EXPECT_FALSE(outcome.transportOk);
  EXPECT_THAT(heard(), ElementsAre("-disk " + disk(1), "-usb " + idAt["r"][0]));
}

TEST_F(PlugEvents, AHubTakesEverythingBehindItAndBringsItBack) {
  drive(3).unplug();  // out before the hub goes: it stays out after the hub returns
  EXPECT_THAT(heard(), ElementsAre("-disk " + disk(3), "-usb " + idAt["h"][1]));

  ASSERT_TRUE(tree->unplugPort({"r", 2}));
  EXPECT_THAT(heard(), ElementsAre("-disk " + disk(2), "-usb " + idAt["h"][0], "-usb " + idAt["r"][1]));
  EXPECT_FALSE(drive(2).plugged());
  EXPECT_EQ(line->open(usbDiskPath(2), platform::storage::Sharing::Shared).device, nullptr);
  EXPECT_EQ(tree->listHubInterfaces().size(), 1u);
  EXPECT_EQ(tree->listUsbDisks().size(), 1u);
  EXPECT_FALSE(tree->unplugPort({"r", 2}));

  // A drive plugged back behind a hub that is out stays invisible.
  drive(3).plug();
  EXPECT_THAT(heard(), IsEmpty());
  EXPECT_EQ(tree->listUsbDisks().size(), 1u);

  ASSERT_TRUE(tree->plugPort({"r", 2}));
  // The hub and what is plugged in behind it at once, then the drive it brought back.
  EXPECT_THAT(heard(), ElementsAre("+usb " + idAt["r"][1], "+usb " + idAt["h"][1], "+disk " + disk(3),
                                   "+usb " + idAt["h"][0], "+disk " + disk(2)));
  EXPECT_TRUE(drive(2).plugged());
  EXPECT_NE(line->open(usbDiskPath(2), platform::storage::Sharing::Shared).device, nullptr);
  EXPECT_EQ(tree->listUsbDisks().size(), 3u);
  EXPECT_FALSE(tree->plugPort({"r", 2}));
}

TEST_F(PlugEvents, AnOpenHubDiesWithItsPort) {
  const auto name = tree->openHub(rootPath())->connectionName(2);
  ASSERT_TRUE(name.has_value());
  const auto hub = tree->openHub(*name);
  ASSERT_NE(hub, nullptr);
  ASSERT_TRUE(tree->unplugPort({"r", 2}));
  EXPECT_FALSE(hub->portCount().has_value());
  EXPECT_FALSE(hub->connectionInfo(1).has_value());
  EXPECT_EQ(tree->openHub(*name), nullptr);
  ASSERT_TRUE(tree->plugPort({"r", 2}));
  EXPECT_EQ(hub->portCount(), 2);
}

TEST_F(PlugEvents, ADeviceOtherThanADrive) {
  ASSERT_TRUE(tree->unplugPort({"r", 3}));
  EXPECT_THAT(heard(), ElementsAre("-usb " + idAt["r"][2]));
  EXPECT_FALSE(tree->findDeviceIdByDriverKey(tree->openHub(rootPath())->driverKey(3).value_or("")).has_value());
  EXPECT_FALSE(tree->unplugPort({"r", 3}));
  ASSERT_TRUE(tree->plugPort({"r", 3}));
  EXPECT_THAT(heard(), ElementsAre("+usb " + idAt["r"][2]));
}

TEST_F(PlugEvents, PortsWithNothingToPull) {
  EXPECT_FALSE(tree->unplugPort({"h", 3}));
  EXPECT_FALSE(tree->unplugPort({"x", 1}));
  EXPECT_FALSE(tree->plugPort({"r", 1}));  // in already
  EXPECT_THAT(heard(), IsEmpty());
}

TEST_F(PlugEvents, AReplacedDriveLeavesAndTheNewOneArrives) {
  DriveConfig other = usbDrive(1);
  line->addDrive(other);
  EXPECT_THAT(heard(), ElementsAre("-disk " + disk(1), "-usb " + idAt["r"][0], "+usb " + idAt["r"][0],
                                   "+disk " + disk(1)));
}

TEST_F(PlugEvents, NoticesStopWhenTheSubscriptionEnds) {
  EventRecorder second;
  auto other = tree->subscribe(second.callback());
  drive(2).unplug();
  tree->waitForDelivery();
  EXPECT_EQ(second.take().size(), 2u);
  EXPECT_EQ(recorder.take().size(), 2u);
  subscription.reset();
  drive(2).plug();
  tree->waitForDelivery();
  EXPECT_THAT(recorder.take(), IsEmpty());
  EXPECT_EQ(second.take().size(), 2u);
  other.reset();
  drive(2).unplug();
  tree->waitForDelivery();
  EXPECT_THAT(second.take(), IsEmpty());
}

TEST_F(PlugEvents, ACallbackMayEndItsOwnSubscription) {
  std::unique_ptr<pd::Subscription> self;
  std::atomic<int> calls = 0;
  self = tree->subscribe([&](const pd::DeviceEvent&) {
    ++calls;
    self.reset();
  });
  drive(1).unplug();  // two notices: only the first reaches it
  tree->waitForDelivery();
  EXPECT_EQ(calls.load(), 1);
  EXPECT_EQ(recorder.take().size(), 2u);
}

TEST_F(PlugEvents, ASubscriberHearsNothingOfWhatCameBefore) {
  subscription.reset();
  drive(1).unplug();
  EventRecorder late;
  auto lateSubscription = tree->subscribe(late.callback());
  drive(1).plug();
  tree->waitForDelivery();
  EXPECT_THAT(describe(late.take()), ElementsAre("+usb " + idAt["r"][0], "+disk " + disk(1)));
}

TEST_F(PlugEvents, NoticesComeOnTheTreesOwnThread) {
  std::thread::id deliveredOn;
  std::mutex mutex;
  auto watch = tree->subscribe([&](const pd::DeviceEvent&) {
    std::lock_guard lock(mutex);
    deliveredOn = std::this_thread::get_id();
  });
  drive(1).unplug();
  tree->waitForDelivery();
  std::lock_guard lock(mutex);
  EXPECT_NE(deliveredOn, std::thread::id{});
  EXPECT_NE(deliveredOn, std::this_thread::get_id());
}

TEST(DefaultTreeEvents, ADriveAddedToARunningLineArrives) {
  auto line = std::make_shared<Line>();
  line->addDrive(usbDrive(1));
  EventRecorder recorder;
  auto subscription = line->deviceTree()->subscribe(recorder.callback());
  line->addDrive(DriveConfig::sataPort("/dev/sdc"));  // not on USB: no notice
  line->addDrive(usbDrive(2));
  line->deviceTree()->waitForDelivery();
  const auto events = recorder.take();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].kind, pd::EventKind::Arrival);
  EXPECT_FALSE(events[0].isDisk);
  EXPECT_EQ(events[0].deviceId, line->deviceTree()->listUsbDisks().at(1).parentUsbDeviceId);
  EXPECT_TRUE(events[1].isDisk);
}

TEST(TreeLifetime, HubsAndSubscriptionsMayOutliveTheLine) {
  std::unique_ptr<pd::Subscription> subscription;
  std::unique_ptr<pd::Hub> hub;
  Drive* drive = nullptr;
  {
    auto line = std::make_shared<Line>();
    drive = &line->addDrive(usbDrive(1));
    subscription = line->deviceTree()->subscribe([](const pd::DeviceEvent&) {});
    hub = line->deviceTree()->openHub(line->deviceTree()->listHubInterfaces().at(0).path);
    ASSERT_NE(hub, nullptr);
  }
  // The open hub keeps the tree and its drives; a drive still tells it of an unplug.
  ASSERT_EQ(hub->connectionInfo(1)->status, pd::PortStatus::DeviceConnected);
  drive->unplug();
  EXPECT_EQ(hub->connectionInfo(1)->status, pd::PortStatus::NoDevice);
  hub.reset();
  subscription.reset();
}

}  // namespace
}  // namespace drivesim::test
