#include "station/run_worker.h"

#include "station/port_worker.h"

namespace fleetburn {

PortRecord RunPortWorker(WorkerStart& start) {
  return PortWorkerThread(
      start.port, start.run, start.record, start.stop,
      [&start](const WorkerShow& show) { start.show(PortShow{show.record, show.caption, show.gauge}); },
      start.buffers);
}

}  // namespace fleetburn
