#pragma once
// The port worker: processes one drive from START to its result. It runs on
// its own thread with the port's work session open, works on a copy of the
// port's record and publishes a copy each time something the board shows
// changes; the GUI thread alone writes the port tables.

#include <functional>
#include <memory>
#include <stop_token>
#include <string>

#include "devlib/port_buffers.h"
#include "station/port_board.h"
#include "station/port_record.h"
#include "station/run_snapshot.h"

namespace fleetburn {

// The error code (and shown item) of a failed rebuild in a claim-new run.
inline constexpr int kErrorRebuild = 29;

// What the worker shows of its port at one moment.
struct WorkerShow {
  PortRecord record;  // the worker's record as it stands
  std::string caption;
  PanelColour colour = PanelColour::Yellow;
  int gauge = 0;       // the progress gauge, 0 to 100
  bool ended = false;  // the worker's last show: its results are final
};

using WorkerPublish = std::function<void(const WorkerShow&)>;

// Runs the pre-steps and the enabled test items of `run` on the drive of
// `port`, starting from the port's record `start`, and returns the final
// record. `publish` is called on the worker's thread, in order. When `stop`
// is requested the worker returns at once with the record as it stood (the
// item it was in still running) and publishes nothing more. The caller has
// opened the port's work session and bound the thread to the port's time
// line; `buffers` are the port's own.
PortRecord PortWorkerThread(int port, std::shared_ptr<const RunSnapshot> run, PortRecord start,
                            std::stop_token stop, const WorkerPublish& publish,
                            std::shared_ptr<devlib::PortBuffers> buffers);

}  // namespace fleetburn
