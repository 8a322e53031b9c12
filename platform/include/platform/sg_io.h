#pragma once
// The real storage backend: Linux SG_IO on a whole-disk node or /dev/sgN.
// SCSI command blocks go as they are; ATA task files go as SAT ATA
// PASS-THROUGH with CK_COND, so that the returned registers come back in the
// sense data.

#include <filesystem>
#include <functional>
#include <memory>

#include "platform/storage.h"

namespace platform::storage::sgio {

// The ioctl call, replaceable so that tests can check what is encoded and
// feed back what a kernel would answer.
using IoctlFunction = std::function<int(int fd, unsigned long request, void* argument)>;

// `sysfsRoot` is where the device tree is read to tell whether an opened node
// sits behind USB; tests point it at a tree of their own.
std::shared_ptr<Backend> makeBackend(IoctlFunction ioctl = {}, std::filesystem::path sysfsRoot = "/sys");

}  // namespace platform::storage::sgio
