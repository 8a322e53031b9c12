#pragma once
// The run engine's worker: the port worker on the thread the engine started.

#include "station/port_record.h"
#include "station/run_engine.h"

namespace fleetburn {

PortRecord RunPortWorker(WorkerStart& start);

}  // namespace fleetburn
