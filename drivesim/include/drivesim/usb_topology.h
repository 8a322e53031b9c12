#pragma once
// The USB tree a line's drives sit in: the hub interfaces of the host (root
// hubs, and hub interfaces that are listed but are not root hubs), hubs
// plugged into ports, and on the ports the drives of the line, other USB
// devices, failure states and injected faults.
//
// A description only: the Line resolves it against its drives into what the
// emulated device tree serves (device_tree.h). Stated in a few lines:
//
//   UsbTopology t;
//   t.rootHub("r1", 4);
//   t.hub("h1", {"r1", 2}, 7);
//   t.drive({"h1", 1}, drivePath);
//   t.port({"r1", 3}).status = platform::devices::PortStatus::OverCurrent;
//
// Texts the host reads are generated the way the operating system shapes
// them, unless given:
//   root hub path     \\?\usb#root_hub30#4&<8 hex>&0#{f18a0e88-c30c-11d0-8815-00a0c906bed8}
//   nested hub path   \\?\usb#vid_xxxx&pid_yyyy#5&<8 hex>&0&<port>#{f18a0e88-...}; its connection
//                     name is the path without its leading \\?\ (four characters)
//   instance id       usb\vid_xxxx&pid_yyyy\<serial>, or usb\vid_xxxx&pid_yyyy\5&<8 hex>&0&<port>
//                     for a device without a serial string; a hub interface's id is its path
//                     without the leading \\?\ and the class GUID, '#' read as '\'
//   driver key        {36fc9e60-c465-11cf-8056-444553540000}\NNNN
//   disk id           from a disk path \\?\usbstor#A#B#{guid}: usbstor\A\B; from any other path
//                     usbstor\disk&ven_<vendor>&prod_<product>&rev_<revision>\<serial>&0 of the
//                     drive's INQUIRY texts
// all in lower case. The <8 hex> tell apart the children of different parents.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "drivesim/config.h"
#include "platform/devices.h"

namespace drivesim {

// A downstream port: the name of its hub and the port number from 1.
struct PortRef {
  std::string hub{};
  int port = 0;

  friend bool operator==(const PortRef&, const PortRef&) = default;
};

// What a USB device tells the host about itself. Zero IDs and an unset serial
// take the defaults of what sits on the port (for a drive: the IDs of its
// front end and its IDENTIFY serial).
struct UsbDeviceSpec {
  std::uint16_t vendorId = 0;
  std::uint16_t productId = 0;
  std::uint8_t deviceClass = 0;         // a hub's is always 9
  std::optional<std::string> serial{};  // "" : the device has no serial string
  std::vector<std::uint16_t> languages{0x0409};  // string descriptor 0; empty: no strings at all
  std::string manufacturer{};  // string 1; empty: none (a drive: its INQUIRY vendor)
  std::string product{};       // string 2; empty: none (a drive: its INQUIRY product)
  std::string instanceId{};    // empty: generated
  std::string driverKey{};     // empty: generated
};

struct HubSpec {
  std::string name{};          // what ports refer to; unique
  std::optional<PortRef> at{};  // none: a hub interface of the host
  int ports = 4;
  bool rootHub = true;     // a hub interface of the host only: false lists it without walking it
  std::string path{};      // a hub interface of the host only; empty: generated
  UsbDeviceSpec device{};  // a hub on a port: its IDs (its strings are not used)
  bool nodeInfoFails = false;  // the hub's node information cannot be read
  bool openFails = false;      // the hub cannot be opened
};

// One port. At most one of `drive` and a plain `device`: with a drive,
// `device` overrides what the drive's USB front end reports.
struct PortSpec {
  PortRef at{};
  std::string drive{};  // path of the line's drive on this port
  std::optional<UsbDeviceSpec> device{};
  // A failure the port reports in place of what sits on it, which then does
  // not enumerate (no device node, no disk). Only the failure statuses.
  std::optional<platform::devices::PortStatus> status{};
  bool connectionInfoFails = false;  // the port's connection information cannot be read
  bool diskWithoutParent = false;    // the drive's disk is listed without its owning device
};

// What a description does wrong, and where.
struct TopologyProblem {
  std::string what{};  // empty: nothing
  bool inPort = false;  // ports()[index], else hubs()[index]
  std::size_t index = 0;

  explicit operator bool() const { return !what.empty(); }
};

class UsbTopology {
 public:
  // A root hub of the host; the walk starts from it.
  HubSpec& rootHub(std::string name, int ports, std::string path = {});
  // A hub interface of the host that is listed but is not a root hub.
  HubSpec& hubInterface(std::string name, int ports, std::string path = {});
  // A hub plugged into a port.
  HubSpec& hub(std::string name, PortRef at, int ports);
  // The line's drive with this path on a port.
  PortSpec& drive(PortRef at, std::string drivePath);
  // A USB device other than a drive (its IDs must be given).
  PortSpec& device(PortRef at, UsbDeviceSpec device);
  // The port's entry, made empty when there is none: statuses and faults.
  PortSpec& port(const PortRef& at);

  // In the order described; references stay valid while more are added.
  const std::deque<HubSpec>& hubs() const { return hubs_; }
  const std::deque<PortSpec>& ports() const { return ports_; }
  HubSpec* findHub(std::string_view name);

  // One root hub with a port for each drive, in this order.
  static UsbTopology oneRootHub(const std::vector<std::string>& drivePaths);

  // Checks the description against the drives it names: `driveAt` gives the
  // line's drive on a path, or null. A hub must be described after the hub it
  // is plugged into.
  TopologyProblem check(const std::function<const DriveConfig*(std::string_view path)>& driveAt) const;

 private:
  std::deque<HubSpec> hubs_;
  std::deque<PortSpec> ports_;
};

}  // namespace drivesim
