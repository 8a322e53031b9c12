#pragma once
// The run's elapsed time as the bottom bar shows it: "1 Hour 2 Min 5 Sec",
// each part only when its number is not 0 (nothing for 0 seconds). Taken
// from a steady clock, so a run across midnight or a month's end reads right.

#include <chrono>
#include <string>

namespace fleetburn {

std::string ElapsedTimeText(std::chrono::seconds elapsed);

}  // namespace fleetburn
