// Workers that are still talking to an adapter. The program waits for them
// before it ends, so that our own exit never cuts an adapter off mid-image.
#pragma once

#include <cstdint>

#include "app/app_platform.h"

namespace Vantri {

// Queues a worker and counts it as running until it calls WorkerFinished.
// False, and nothing counted, when the system refuses the work item.
bool QueueCountedWorker(WorkItemProc proc, std::uintptr_t context);

// The last thing a counted worker does, after its final post.
void WorkerFinished();

std::uint32_t RunningWorkers();

// Blocks until every counted worker has finished. Each report transfer has a
// time limit in the loader, so the wait is bounded.
void WaitForRunningWorkers();

} // namespace Vantri
