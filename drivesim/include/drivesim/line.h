#pragma once
// The emulated production line: the drives by device path, served as the
// storage backend.

#include <map>
#include <memory>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <vector>

#include "drivesim/drive.h"
#include "platform/storage.h"

namespace drivesim {

class Line : public platform::storage::Backend {
 public:
  // A drive added on a path that is taken replaces the one there, as if
  // another drive were plugged in: the old one is unplugged but stays valid.
  Drive& addDrive(DriveConfig config);
  Drive* drive(std::string_view path);
  std::vector<Drive*> drives();  // in the order added

  platform::storage::OpenOutcome open(std::string_view path, platform::storage::Sharing sharing) override;

 private:
  std::shared_mutex mutex_;
  std::vector<std::shared_ptr<Drive>> drives_;
  std::vector<std::shared_ptr<Drive>> replaced_;
  std::map<std::string, std::shared_ptr<Drive>, std::less<>> byPath_;
};

}  // namespace drivesim
