// Arrival and removal notices of the udev device tree, from uevents that
// umockdev synthesises. The waits below end as soon as the monitor thread has
// handed the notice over; the limit is only there so that a lost notice fails
// instead of hanging.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/debug.h"
#include "platform/udev_devices.h"
#include "testsupport/umockdev_usb_tree.h"

namespace platform::devices::udev {
namespace {

using umockdev_tree::FakeController;
using umockdev_tree::FakeDisk;
using umockdev_tree::FakeRootHub;
using umockdev_tree::FakeUsbDevice;
using umockdev_tree::FakeUsbTree;
using umockdev_tree::UmockdevUsbTree;

constexpr auto kLostNoticeLimit = std::chrono::seconds(10);

struct Notice {
  EventKind kind = EventKind::Arrival;
  std::string id;
  bool isDisk = false;

  friend bool operator==(const Notice&, const Notice&) = default;
  friend std::ostream& operator<<(std::ostream& out, const Notice& notice) {
    return out << (notice.kind == EventKind::Arrival ? "arrival " : "removal ") << notice.id
               << (notice.isDisk ? " (disk)" : "");
  }
};

Notice arrival(std::string id, bool isDisk = false) { return Notice{EventKind::Arrival, std::move(id), isDisk}; }
Notice removal(std::string id, bool isDisk = false) { return Notice{EventKind::Removal, std::move(id), isDisk}; }

// The notices one subscription received, in order.
class NoticeLog {
 public:
  std::function<void(const DeviceEvent&)> callback() {
    return [this](const DeviceEvent& event) { record(event); };
  }

  void record(const DeviceEvent& event) {
    std::lock_guard lock(mutex_);
    notices_.push_back(Notice{event.kind, event.deviceId, event.isDisk});
    changed_.notify_all();
  }

  // Waits until `notice` has come; returns everything received until then.
  std::vector<Notice> until(const Notice& notice) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, kLostNoticeLimit,
                      [&] { return std::find(notices_.begin(), notices_.end(), notice) != notices_.end(); });
    return notices_;
  }

  std::vector<Notice> all() {
    std::lock_guard lock(mutex_);
    return notices_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Notice> notices_;
};

class UdevMonitor : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(UmockdevUsbTree::underUmockdev()) << "run this test through umockdev-wrapper"; }

  void addRootHub() { tree_.add(FakeUsbTree{.controllers = {FakeController{.highSpeed = FakeRootHub{.ports = 4}}}}); }

  UmockdevUsbTree tree_;
  std::shared_ptr<DeviceTree> devices_ = makeDeviceTree();
};

FakeUsbDevice diskDevice(int port, const std::string& disk, unsigned minor, unsigned sg) {
  return FakeUsbDevice{.port = port, .vendorId = 0x0bda, .productId = 0x9210, .serial = "S" + disk,
                       .disk = FakeDisk{.name = disk, .minor = minor, .sg = sg, .partitions = 1}};
}

FakeUsbDevice plainDevice(int port) { return FakeUsbDevice{.port = port, .vendorId = 0x046d, .productId = 0xc077}; }

TEST_F(UdevMonitor, PlugAndUnplugOfAUsbDiskReachTheCallback) {
  addRootHub();
  NoticeLog log;
  const std::unique_ptr<Subscription> subscription = devices_->subscribe(log.callback());
  ASSERT_NE(subscription, nullptr);

  tree_.plug("usb1", diskDevice(2, "sdb", 16, 1));
  EXPECT_EQ(log.until(arrival("sdb", true)), (std::vector<Notice>{arrival("1-2"), arrival("sdb", true)}))
      << "interfaces, SCSI devices, the SCSI generic node and partitions say nothing";

  tree_.unplug("1-2");
  EXPECT_EQ(log.until(removal("1-2")), (std::vector<Notice>{arrival("1-2"), arrival("sdb", true),
                                                            removal("sdb", true), removal("1-2")}));
}

TEST_F(UdevMonitor, DisksOffUsbSayNothingDisksPresentBeforeSayTheirRemoval) {
  addRootHub();
  tree_.plug("usb1", diskDevice(1, "sdb", 16, 1));
  NoticeLog log;
  const std::unique_ptr<Subscription> subscription = devices_->subscribe(log.callback());
  ASSERT_NE(subscription, nullptr);

  tree_.add(FakeUsbTree{.sataDisks = {FakeDisk{.name = "sda", .minor = 0, .sg = 0}}});
  tree_.unplug("sda");
  tree_.unplug("1-1");
  // Notices come in the order of the events: by the last one, the SATA disk's
  // have been looked at.
  EXPECT_EQ(log.until(removal("1-1")), (std::vector<Notice>{removal("sdb", true), removal("1-1")}));
}

TEST_F(UdevMonitor, NoNoticeAfterTheSubscriptionIsGone) {
  addRootHub();
  NoticeLog dropped;
  NoticeLog kept;
  std::unique_ptr<Subscription> early = devices_->subscribe(dropped.callback());
  const std::unique_ptr<Subscription> late = devices_->subscribe(kept.callback());
  ASSERT_NE(early, nullptr);
  ASSERT_NE(late, nullptr);

  tree_.plug("usb1", plainDevice(1));
  ASSERT_EQ(dropped.until(arrival("1-1")), std::vector<Notice>{arrival("1-1")});
  const auto before = std::chrono::steady_clock::now();
  early.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(2)) << "the monitor thread ends at once";

  tree_.plug("usb1", plainDevice(2));
  EXPECT_EQ(kept.until(arrival("1-2")), (std::vector<Notice>{arrival("1-1"), arrival("1-2")}));
  EXPECT_EQ(dropped.all(), std::vector<Notice>{arrival("1-1")});
}

TEST_F(UdevMonitor, CallbackMayDropItsOwnSubscription) {
  addRootHub();
  NoticeLog witness;
  const std::unique_ptr<Subscription> watching = devices_->subscribe(witness.callback());
  // Shared with the callback, which may still be winding down when the test ends.
  struct SelfDropping {
    std::mutex mutex;
    std::condition_variable called;
    std::unique_ptr<Subscription> subscription;
    int calls = 0;
  };
  const auto shared = std::make_shared<SelfDropping>();
  {
    std::lock_guard lock(shared->mutex);
    shared->subscription = devices_->subscribe([shared](const DeviceEvent&) {
      std::lock_guard inner(shared->mutex);
      ++shared->calls;
      shared->subscription.reset();
      shared->called.notify_all();
    });
    ASSERT_NE(shared->subscription, nullptr);
  }

  // Each subscription has its own monitor: wait for this one's first notice
  // before the next plug, or the witness may see both before it sees one.
  tree_.plug("usb1", plainDevice(1));
  {
    std::unique_lock lock(shared->mutex);
    ASSERT_TRUE(shared->called.wait_for(lock, kLostNoticeLimit, [&] { return shared->calls > 0; }));
  }
  tree_.plug("usb1", plainDevice(2));
  witness.until(arrival("1-2"));
  std::lock_guard lock(shared->mutex);
  EXPECT_EQ(shared->calls, 1);
  EXPECT_EQ(shared->subscription, nullptr);
}

TEST_F(UdevMonitor, ThrowingCallbackIsReportedAndNoticesGoOn) {
  addRootHub();
  platform::debug::CaptureSink captured;
  NoticeLog log;
  bool thrown = false;
  const std::unique_ptr<Subscription> subscription = devices_->subscribe([&](const DeviceEvent& event) {
    if (!thrown) {
      thrown = true;
      throw std::runtime_error("station busy");
    }
    log.record(event);
  });
  ASSERT_NE(subscription, nullptr);

  tree_.plug("usb1", plainDevice(1));
  tree_.plug("usb1", plainDevice(2));
  EXPECT_EQ(log.until(arrival("1-2")), std::vector<Notice>{arrival("1-2")});
  EXPECT_TRUE(captured.contains("station busy"));
}

TEST_F(UdevMonitor, NoSubscriptionWithoutACallback) { EXPECT_EQ(devices_->subscribe({}), nullptr); }

}  // namespace
}  // namespace platform::devices::udev
