#include "platform/devices.h"

#include <mutex>

#include "platform/udev_devices.h"

namespace platform::devices {
namespace {

std::mutex treeMutex;
std::shared_ptr<DeviceTree> installedTree;

}  // namespace

void installDeviceTree(std::shared_ptr<DeviceTree> tree) {
  std::lock_guard lock(treeMutex);
  installedTree = std::move(tree);
}

std::shared_ptr<DeviceTree> currentDeviceTree() {
  std::lock_guard lock(treeMutex);
  if (!installedTree) installedTree = udev::makeDeviceTree();
  return installedTree;
}

}  // namespace platform::devices
