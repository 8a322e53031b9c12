#pragma once
// The device tree of an emulated line: its USB topology as the host sees it,
// with the line's drives as USB disks, and arrival and removal notices when
// drives, devices or hubs are plugged and unplugged.
//
// A drive's device is present while the drive is plugged in, the port holding
// it reports no failure and every hub above it is plugged in. Notices come on
// a thread of the tree's own, in the order the changes happened: on arrival
// the USB device, then its disk; on removal the disk, then its device, the
// devices behind a hub before the hub. A subscriber hears only of changes
// made after it subscribed.
//
// String descriptor 0 comes back as the language IDs, two bytes each, low
// byte first.

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "drivesim/usb_topology.h"
#include "platform/devices.h"

namespace drivesim {

class Drive;
class Line;

namespace detail {
struct UsbModel;
class TreeState;
}  // namespace detail

class EmulatedDeviceTree final : public platform::devices::DeviceTree {
 public:
  EmulatedDeviceTree();
  ~EmulatedDeviceTree() override;
  EmulatedDeviceTree(const EmulatedDeviceTree&) = delete;
  EmulatedDeviceTree& operator=(const EmulatedDeviceTree&) = delete;

  std::vector<platform::devices::UsbDisk> listUsbDisks() override;
  // Disk numbers from 1 (0 is the system's own disk), by the order the line's drives were added.
  std::optional<platform::devices::DeviceNumber> deviceNumber(const std::string& devicePath) override;
  // The hub interfaces of the host as described, then the hubs on ports.
  std::vector<platform::devices::HubInterface> listHubInterfaces() override;
  // By interface path or connection name, with or without a leading \\?\ or \\.\ and in any case.
  std::unique_ptr<platform::devices::Hub> openHub(const std::string& pathOrName) override;
  std::optional<std::string> findDeviceIdByDriverKey(const std::string& driverKey) override;
  std::unique_ptr<platform::devices::Subscription> subscribe(
      std::function<void(const platform::devices::DeviceEvent&)> callback) override;
  // Every present drive of the line in the order added, opened and classified
  // by its path; the bus by its front end (a SATA port is IDE, the USB front
  // ends USB) unless the drive names another, the volume tag its own.
  std::vector<DiskInterface> listDiskInterfaces() override;
  // The tree is live: nothing to ask.
  bool rescan() override { return true; }

  // Pulls out what sits on the port: a drive, another device, or a hub with
  // everything behind it (its drives are unplugged with it). False when
  // nothing sits there or it is out already.
  bool unplugPort(const PortRef& at);
  // Plugs it back; a hub brings back the drives that went out with it.
  bool plugPort(const PortRef& at);

  // Returns once every notice of the changes made so far has reached the
  // subscribers. Never call it from a subscriber's callback.
  void waitForDelivery();

 private:
  friend class Line;
  // The drives of the line in the order added, placed by `model`. `arrived`,
  // when set, is a drive just added to a running line: its device and disk
  // are announced.
  void describe(detail::UsbModel model, std::vector<std::shared_ptr<Drive>> drives, const Drive* arrived);

  std::shared_ptr<detail::TreeState> state_;
};

}  // namespace drivesim
