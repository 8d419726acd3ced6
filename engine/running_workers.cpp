#include "engine/running_workers.h"

#include <atomic>

namespace Vantri {

namespace {

// The workers at work, and in its top bit whether the program has stopped
// for good: one word, so that a stop and a worker's start cannot cross.
std::atomic<std::uint32_t> s_running{0};
constexpr std::uint32_t kStopped = 0x80000000u;
// What the system was last asked to hold off. Main thread only; whether
// anything is at work is the count's to say.
SystemHold s_held = SystemHold::None;
// Main thread only. After our yes to the end of the session, the system
// may end it at any moment: a write started now would be cut off.
bool s_sessionEndAgreed = false;
bool s_lastRefusalWasSessionEnd = false;

void Hold(SystemHold hold)
{
    if (hold == s_held)
        return;
    s_held = hold;
    Platform().HoldOffSystem(hold);
}

} // namespace

bool QueueCountedWorker(WorkItemProc proc, std::uintptr_t context, WorkerKind kind, RefusedWorkerHandler refused)
{
    s_lastRefusalWasSessionEnd = kind == WorkerKind::Writes && s_sessionEndAgreed;
    if (s_lastRefusalWasSessionEnd) {
        refused(context);
        return false;
    }
    // Counted before queueing: the worker may finish before the queue call
    // has even returned.
    if (s_running.fetch_add(1) & kStopped) {
        s_running.fetch_sub(1);
        refused(context);
        return false;
    }
    // Held before the worker exists, so no report of it goes out unguarded.
    if (kind == WorkerKind::Writes)
        Hold(SystemHold::SleepAndSessionEnd);
    else if (s_held == SystemHold::None)
        Hold(SystemHold::Sleep);
    if (Platform().QueueWorkItem(proc, context))
        return true;
    WorkerFinished();
    ReleaseHoldWhenIdle();
    refused(context);
    return false;
}

bool LastRefusalWasSessionEnd()
{
    return s_lastRefusalWasSessionEnd;
}

void WorkerFinished()
{
    if (s_running.fetch_sub(1) == 1)
        s_running.notify_all();
}

std::uint32_t RunningWorkers()
{
    return s_running.load() & ~kStopped;
}

bool StopIfIdle()
{
    std::uint32_t idle = 0;
    return s_running.compare_exchange_strong(idle, kStopped) || idle == kStopped;
}

bool SessionMayEnd()
{
    return RunningWorkers() == 0 || s_held != SystemHold::SleepAndSessionEnd;
}

void SetSessionEndAgreed(bool agreed)
{
    s_sessionEndAgreed = agreed;
}

void ReleaseHoldWhenIdle()
{
    if (RunningWorkers() == 0)
        Hold(SystemHold::None);
}

void WaitForRunningWorkers()
{
    for (std::uint32_t n = s_running.load(); (n & ~kStopped) != 0; n = s_running.load())
        s_running.wait(n);
}

void ResetHold()
{
    s_running.fetch_and(~kStopped);
    s_held = SystemHold::None;
    s_sessionEndAgreed = false;
    s_lastRefusalWasSessionEnd = false;
}

} // namespace Vantri
