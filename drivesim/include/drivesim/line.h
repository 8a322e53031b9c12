#pragma once
// The emulated production line: the drives by device path, served as the
// storage backend, and the USB tree they sit in, served as the device tree.

#include <map>
#include <memory>
#include <optional>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <vector>

#include "drivesim/device_tree.h"
#include "drivesim/drive.h"
#include "drivesim/usb_topology.h"
#include "platform/storage.h"

namespace drivesim {

class Line : public platform::storage::Backend {
 public:
  Line();
  ~Line() override;

  // A drive added on a path that is taken replaces the one there, as if
  // another drive were plugged in: the old one is unplugged but stays valid.
  Drive& addDrive(DriveConfig config);
  Drive* drive(std::string_view path);
  std::vector<Drive*> drives();  // in the order added

  // Places the drives in this USB tree. Until a tree is set, every drive on a
  // USB front end has a port of its own on one root hub, in the order added
  // (UsbTopology::oneRootHub). On an error (a drive the line does not have, a
  // port taken twice, ...) the line keeps the tree it had.
  std::string setTopology(UsbTopology topology);
  UsbTopology topology();  // the one in force

  std::shared_ptr<EmulatedDeviceTree> deviceTree() const { return tree_; }

  platform::storage::OpenOutcome open(std::string_view path, platform::storage::Sharing sharing) override;

 private:
  UsbTopology topologyLocked() const;
  const DriveConfig* configAtLocked(std::string_view path) const;
  void describeLocked(const Drive* arrived);

  std::shared_mutex mutex_;
  std::vector<std::shared_ptr<Drive>> drives_;
  std::vector<std::shared_ptr<Drive>> replaced_;
  std::map<std::string, std::shared_ptr<Drive>, std::less<>> byPath_;
  std::optional<UsbTopology> topology_;  // none: one root hub for all
  const std::shared_ptr<EmulatedDeviceTree> tree_;
};

// Serves the line as the storage backend, its tree as the device tree and its
// drives' user data as the block devices.
void installLine(const std::shared_ptr<Line>& line);

}  // namespace drivesim
