#include "app/running_workers.h"

#include <atomic>

namespace Vantri {

namespace {
std::atomic<std::uint32_t> s_running{0};
} // namespace

bool QueueCountedWorker(WorkItemProc proc, std::uintptr_t context)
{
    // Counted before queueing: the worker may finish before the queue call
    // has even returned.
    s_running.fetch_add(1);
    if (Platform().QueueWorkItem(proc, context))
        return true;
    WorkerFinished();
    return false;
}

void WorkerFinished()
{
    if (s_running.fetch_sub(1) == 1)
        s_running.notify_all();
}

std::uint32_t RunningWorkers()
{
    return s_running.load();
}

void WaitForRunningWorkers()
{
    for (std::uint32_t n = s_running.load(); n != 0; n = s_running.load())
        s_running.wait(n);
}

} // namespace Vantri
