#pragma once
// Pieces of the udev device tree shared by its source files: owning handles
// for libudev objects, attribute reading, and the operations the tree object
// forwards to.
//
// Every operation makes its own udev context, so that the tree can be used
// from several threads at once (a libudev context is not thread-safe).

#include <libudev.h>
#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/devices.h"

namespace platform::devices::udev {

struct ContextRelease {
  void operator()(::udev* context) const { udev_unref(context); }
};
struct DeviceRelease {
  void operator()(udev_device* device) const { udev_device_unref(device); }
};
struct EnumerateRelease {
  void operator()(udev_enumerate* enumerate) const { udev_enumerate_unref(enumerate); }
};
struct MonitorRelease {
  void operator()(udev_monitor* monitor) const { udev_monitor_unref(monitor); }
};

using Context = std::unique_ptr<::udev, ContextRelease>;
using Device = std::unique_ptr<udev_device, DeviceRelease>;
using Enumerate = std::unique_ptr<udev_enumerate, EnumerateRelease>;
using Monitor = std::unique_ptr<udev_monitor, MonitorRelease>;

Context newContext();  // empty when udev cannot be had
Device deviceAt(::udev* context, const std::string& syspath);  // empty when there is none

// A null `devtype` matches any device type of the subsystem.
bool isA(udev_device* device, const char* subsystem, const char* devtype);
std::string textOf(const char* text);  // "" for a missing text
std::optional<std::string> attribute(udev_device* device, const char* name);
std::optional<unsigned long> numberAttribute(udev_device* device, const char* name, int base);

// Syspaths of the devices of one subsystem and device type (null: any), below `parent`
// (the parent included) when one is given, in udev's order.
std::vector<std::string> devicesOf(::udev* context, const char* subsystem, const char* devtype,
                                   udev_device* parent = nullptr);

// A file of sysfs read whole, without the trailing newline for text.
std::optional<std::vector<std::uint8_t>> readFileBytes(const std::string& path);
std::optional<std::string> readFileText(const std::string& path);

// The kernel's own 32-bit packing of a device number, stable while attached.
std::uint32_t packedDeviceNumber(dev_t number);

// The USB mass-storage disk this block device is, when it is one.
std::optional<UsbDisk> describeUsbDisk(::udev* context, udev_device* disk);

std::vector<UsbDisk> listUsbDisks();
std::optional<DeviceNumber> deviceNumberOf(const std::string& devicePath);

std::vector<HubInterface> listRootHubs();
std::unique_ptr<Hub> openUsbHub(const std::string& pathOrName);
std::optional<std::string> deviceIdByDriverKey(const std::string& driverKey);

std::unique_ptr<Subscription> subscribeToDevices(std::function<void(const DeviceEvent&)> callback);

std::vector<DeviceTree::DiskInterface> listDisks();
bool rescanScsiHosts();

}  // namespace platform::devices::udev
