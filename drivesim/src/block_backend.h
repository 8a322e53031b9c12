#pragma once
// The line's drives as the system's block devices: their user data through
// block I/O, and the volume the system makes of the first partition.

#include <memory>

#include "drivesim/line.h"
#include "platform/block_io.h"

namespace drivesim::detail {

std::shared_ptr<platform::block::Backend> makeBlockBackend(std::shared_ptr<Line> line);

}  // namespace drivesim::detail
