#pragma once
// A topology of the fake device tree's notation (testsupport/fake_device_tree.h)
// stated as the emulated line's USB tree: a drive of the line on every device
// port, each device with the name, IDs and serial the notation gives it.

#include <string>

#include "drivesim/config.h"
#include "drivesim/line.h"
#include "drivesim/usb_topology.h"
#include "testsupport/fake_device_tree.h"

namespace devlib::testing {

inline std::string DrivePath(const std::string& instanceId) {
  return "\\\\?\\usbstor#disk&ven_tolvane&prod_kwfa4x&rev_1.00#" + instanceId +
         "&0#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}";
}

inline std::string ExpectedSerial(const testsupport::FakeUsbDevice& device) {
  return device.serials.empty() ? std::string() : device.serials.at(device.languages.front());
}

class EmulatedTopology {
 public:
  EmulatedTopology(const testsupport::FakeTopology& topology, drivesim::Line& line) : line_(line) {
    int bus = 0;
    for (const testsupport::FakeHubInterface& entry : topology.interfaces) {
      const std::string name = "bus" + std::to_string(++bus);
      const int ports = static_cast<int>(entry.hub->ports.size());
      drivesim::HubSpec& hub = entry.rootHub ? usb_.rootHub(name, ports) : usb_.hubInterface(name, ports);
      describe(hub, *entry.hub, name);
    }
  }

  drivesim::UsbTopology& usb() { return usb_; }

 private:
  void describe(drivesim::HubSpec& spec, const testsupport::FakeHub& hub, const std::string& name) {
    spec.openFails = !hub.opens;
    spec.nodeInfoFails = hub.nodeInfoFails;
    for (std::size_t index = 0; index < hub.ports.size(); ++index) {
      const testsupport::FakePort& port = hub.ports[index];
      const drivesim::PortRef at{name, static_cast<int>(index) + 1};
      if (port.hub) {
        drivesim::HubSpec& child = usb_.hub(port.hub->instanceId, at, static_cast<int>(port.hub->ports.size()));
        child.device.instanceId = port.hub->instanceId;
        describe(child, *port.hub, port.hub->instanceId);
      } else if (port.device) {
        const std::string path = DrivePath(port.device->instanceId);
        line_.addDrive(drivesim::DriveConfig::ownUsb(path));
        drivesim::UsbDeviceSpec device;
        device.vendorId = port.device->vendorId;
        device.productId = port.device->productId;
        device.serial = ExpectedSerial(*port.device);
        device.instanceId = port.device->instanceId;
        usb_.drive(at, path).device = device;
      } else if (port.connectionInfoFails) {
        usb_.port(at).connectionInfoFails = true;
      } else if (port.status != platform::devices::PortStatus::NoDevice) {
        usb_.port(at).status = port.status;
      }
    }
  }

  drivesim::Line& line_;
  drivesim::UsbTopology usb_;
};

}  // namespace devlib::testing
