#include "platform/udev_devices.h"
#include "udev_backend.h"

namespace platform::devices::udev {
namespace {

class UdevDeviceTree final : public DeviceTree {
 public:
  std::vector<UsbDisk> listUsbDisks() override { return udev::listUsbDisks(); }
  std::optional<DeviceNumber> deviceNumber(const std::string& devicePath) override {
    return deviceNumberOf(devicePath);
  }
  std::vector<HubInterface> listHubInterfaces() override { return listRootHubs(); }
  std::unique_ptr<Hub> openHub(const std::string& pathOrName) override { return openUsbHub(pathOrName); }
  std::optional<std::string> findDeviceIdByDriverKey(const std::string& driverKey) override {
    return deviceIdByDriverKey(driverKey);
  }
  std::unique_ptr<Subscription> subscribe(std::function<void(const DeviceEvent&)> callback) override {
    return subscribeToDevices(std::move(callback));
  }
  std::vector<DiskInterface> listDiskInterfaces() override { return listDisks(); }
  bool rescan() override { return rescanScsiHosts(); }
};

}  // namespace

std::shared_ptr<DeviceTree> makeDeviceTree() { return std::make_shared<UdevDeviceTree>(); }

}  // namespace platform::devices::udev
