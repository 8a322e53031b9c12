#pragma once
// The device tree: the USB disks attached to this computer with the USB
// device that owns each, the USB hubs and their ports, and notices of devices
// arriving and leaving.
//
// The real backend reads it from udev; the emulated backend (drivesim) from
// the topology of its scenario. The library decides on the explicit fields
// here (is a root hub, is a hub, the owning device's id), never on the text of
// a Linux path.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace platform::devices {

// One USB mass-storage disk.
struct UsbDisk {
  std::string devicePath;         // what storage::open takes
  std::string diskId;             // the disk's own instance id
  std::string parentUsbDeviceId;  // instance id of the USB device that owns the disk; empty when unknown
  std::uint32_t diskNode = 0;     // stable numbers of the two devices while they stay attached
  std::uint32_t parentNode = 0;
};

// What a device path refers to: the disk's number, and the partition (0 for
// the whole disk).
struct DeviceNumber {
  std::uint32_t deviceType = 0;
  std::uint32_t number = 0;
  std::uint32_t partition = 0;
};

// A hub interface as listed; only root hubs start a port walk.
struct HubInterface {
  std::string path;
  bool rootHub = false;
};

enum class PortStatus {
  NoDevice,
  DeviceConnected,
  EnumerationFailed,
  GeneralFailure,
  OverCurrent,
  NotEnoughPower,
};

struct DeviceDescriptor {
  std::uint16_t idVendor = 0;
  std::uint16_t idProduct = 0;
  std::uint8_t deviceClass = 0;
  std::uint8_t iManufacturer = 0;
  std::uint8_t iProduct = 0;
  std::uint8_t iSerialNumber = 0;
};

struct ConnectionInfo {
  PortStatus status = PortStatus::NoDevice;
  bool isHub = false;
  DeviceDescriptor descriptor;
};

// An open hub. Ports are numbered from 1.
class Hub {
 public:
  virtual ~Hub() = default;
  virtual std::optional<int> portCount() = 0;  // nothing when the hub's node information cannot be read
  virtual std::optional<ConnectionInfo> connectionInfo(int port) = 0;
  // The name under which the hub on this port opens (openHub).
  virtual std::optional<std::string> connectionName(int port) = 0;
  // The key that names the driver instance of the device on this port.
  virtual std::optional<std::string> driverKey(int port) = 0;
  // String descriptor `index` in language `language` (UTF-8); language 0
  // means the device's first language.
  virtual std::optional<std::string> stringDescriptor(int port, std::uint8_t index, std::uint16_t language) = 0;
  virtual std::optional<std::vector<std::uint8_t>> configDescriptor(int port) = 0;
};

enum class EventKind { Arrival, Removal };

struct DeviceEvent {
  EventKind kind = EventKind::Arrival;
  std::string deviceId;  // instance id of the USB device or the disk
  bool isDisk = false;
};

// Delivery stops when the subscription is destroyed; callbacks may come on a
// thread of the backend's own.
class Subscription {
 public:
  virtual ~Subscription() = default;
};

class DeviceTree {
 public:
  // How a disk reaches the computer.
  enum class BusKind { Ide, Scsi, Usb, Sbp2, Other };

  // One whole disk, as the diagnostic utility's drive list walks them.
  struct DiskInterface {
    std::string openPath;  // what storage::open takes
    BusKind busKind = BusKind::Other;
    std::string volumeTag;  // where the disk's first mounted partition is mounted; empty when none
  };

  virtual ~DeviceTree() = default;
  virtual std::vector<UsbDisk> listUsbDisks() = 0;
  virtual std::optional<DeviceNumber> deviceNumber(const std::string& devicePath) = 0;
  virtual std::vector<HubInterface> listHubInterfaces() = 0;
  // Opens a hub by its interface path or by a connection name.
  virtual std::unique_ptr<Hub> openHub(const std::string& pathOrName) = 0;
  // The instance id of the device whose driver key this is.
  virtual std::optional<std::string> findDeviceIdByDriverKey(const std::string& driverKey) = 0;
  virtual std::unique_ptr<Subscription> subscribe(std::function<void(const DeviceEvent&)> callback) = 0;
  // The disks present now, whole disks only, in an order that stays the same
  // while they stay attached.
  virtual std::vector<DiskInterface> listDiskInterfaces() = 0;
  // Asks the system to look for disks again; false when it could not be asked.
  virtual bool rescan() = 0;
};

// The tree in force. Without an installed one it is the real (udev) backend.
void installDeviceTree(std::shared_ptr<DeviceTree> tree);
std::shared_ptr<DeviceTree> currentDeviceTree();

}  // namespace platform::devices
