#include "station/elapsed_time.h"

namespace fleetburn {

std::string ElapsedTimeText(std::chrono::seconds elapsed) {
  const long long total = elapsed.count() < 0 ? 0 : elapsed.count();
  const long long hours = total / 3600;
  const long long minutes = total / 60 % 60;
  const long long seconds = total % 60;
  std::string text;
  if (hours != 0) text += std::to_string(hours) + " Hour ";
  if (minutes != 0) text += std::to_string(minutes) + " Min ";
  if (seconds != 0) text += std::to_string(seconds) + " Sec";
  return text;
}

}  // namespace fleetburn
