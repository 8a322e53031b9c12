#include "platform/devices.h"

#include "platform/installed.h"
#include "platform/udev_devices.h"

namespace platform::devices {
namespace {

Installed<DeviceTree>& treeInForce() {
  static Installed<DeviceTree> tree([]() -> std::shared_ptr<DeviceTree> { return udev::makeDeviceTree(); });
  return tree;
}

}  // namespace

void installDeviceTree(std::shared_ptr<DeviceTree> tree) { treeInForce().install(std::move(tree)); }

std::shared_ptr<DeviceTree> currentDeviceTree() { return treeInForce().current(); }

}  // namespace platform::devices
