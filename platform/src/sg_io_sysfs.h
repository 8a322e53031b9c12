#pragma once
// Whether a device node sits behind USB, read from sysfs rather than from the
// text of the node's path.

#include <filesystem>

namespace platform::storage::sgio {

enum class NodeKind { Block, Character };

// Resolves <sysfsRoot>/dev/{block,char}/<major>:<minor> and walks its
// canonical path up to the root: a USB root hub directory ("usb1") or an
// ancestor whose subsystem is the usb bus means the device is on USB.
// Anything that cannot be resolved counts as not on USB.
bool isOnUsb(const std::filesystem::path& sysfsRoot, NodeKind kind, unsigned major, unsigned minor);

// The same for an open descriptor; regular files and the like are not on USB.
bool isOnUsb(const std::filesystem::path& sysfsRoot, int fd);

}  // namespace platform::storage::sgio
