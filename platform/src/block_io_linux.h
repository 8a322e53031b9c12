#pragma once
// The real block backend: disk nodes, loop devices and image files.

#include <memory>

#include "block_io_system.h"
#include "platform/block_io.h"

namespace platform::block {

std::shared_ptr<Backend> makeLinuxBackend(sys::SystemView view = {});

}  // namespace platform::block
