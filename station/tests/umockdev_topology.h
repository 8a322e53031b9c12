#pragma once
// A topology of the fake device tree's notation (testsupport/fake_device_tree.h)
// as a umockdev USB tree: each root hub a controller of its own (so root hub k
// is bus k and the kernel's device names are the notation's names), each
// device a USB disk behind its port, with the IDs and serial the notation
// gives it. Only what sysfs can show is stated: hubs that cannot be opened,
// hub interfaces that are not root hubs, unreadable ports and the failure
// statuses other than over-current and enumeration failure have no form there.

#include <optional>
#include <string>

#include "testsupport/fake_device_tree.h"
#include "testsupport/umockdev_usb_tree.h"

namespace fleetburn::testing {

namespace tree = platform::devices::umockdev_tree;

class UmockdevTopology {
 public:
  // The tree, or nothing when the topology holds what sysfs cannot show.
  static std::optional<tree::FakeUsbTree> of(const testsupport::FakeTopology& topology) {
    UmockdevTopology converter;
    tree::FakeUsbTree result;
    for (const testsupport::FakeHubInterface& entry : topology.interfaces) {
      if (!entry.rootHub || !entry.hub->opens || entry.hub->nodeInfoFails) return std::nullopt;
      tree::FakeRootHub root{.ports = static_cast<int>(entry.hub->ports.size())};
      if (!converter.describe(*entry.hub, root.devices, root.portStates)) return std::nullopt;
      result.controllers.push_back(tree::FakeController{.highSpeed = std::move(root)});
    }
    return result;
  }

 private:
  bool describe(const testsupport::FakeHub& hub, std::vector<tree::FakeUsbDevice>& devices,
                std::vector<tree::FakePort>& states) {
    using platform::devices::PortStatus;
    for (std::size_t index = 0; index < hub.ports.size(); ++index) {
      const testsupport::FakePort& port = hub.ports[index];
      const int number = static_cast<int>(index) + 1;
      if (port.connectionInfoFails) return false;
      if (port.hub) {
        if (!port.hub->opens || port.hub->nodeInfoFails) return false;
        tree::FakeUsbDevice child{.port = number,
                                  .vendorId = 0x05e3,
                                  .productId = 0x0608,
                                  .hubPorts = static_cast<int>(port.hub->ports.size())};
        if (!describe(*port.hub, child.children, child.portStates)) return false;
        devices.push_back(std::move(child));
      } else if (port.device) {
        const testsupport::FakeUsbDevice& fake = *port.device;
        devices.push_back(tree::FakeUsbDevice{
            .port = number,
            .vendorId = fake.vendorId,
            .productId = fake.productId,
            .serial = fake.serials.empty() ? std::string() : fake.serials.at(fake.languages.front()),
            .disk = nextDisk()});
      } else if (port.status == PortStatus::OverCurrent) {
        states.push_back(tree::FakePort{.number = number, .overCurrentCount = 1});
      } else if (port.status == PortStatus::EnumerationFailed) {
        states.push_back(tree::FakePort{.number = number, .connectType = "hardwired"});
      } else if (port.status != PortStatus::NoDevice) {
        return false;
      }
    }
    return true;
  }

  // sdb, sdc, ... sdz, sdaa, ...; each with its SCSI generic node.
  tree::FakeDisk nextDisk() {
    const unsigned n = ++disks_;
    std::string name = "sd";
    if (n >= 26) name += static_cast<char>('a' + n / 26 - 1);
    name += static_cast<char>('a' + n % 26);
    return tree::FakeDisk{.name = name, .minor = 16 * n, .sg = n};
  }

  unsigned disks_ = 0;
};

}  // namespace fleetburn::testing
