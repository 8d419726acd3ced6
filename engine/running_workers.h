// Workers that are still at an adapter. The program waits for them before it
// ends, so that our own exit never cuts an adapter off mid-image, and while
// they run it holds off the system's sleep and, while one writes, the end of
// the session, so that the PC does not cut one off either.
#pragma once

#include <cstdint>

#include "engine/app_platform.h"

namespace Vantri {

enum class WorkerKind { Reads, Writes };

// The run's failure when its worker cannot start, with the work item's
// context (the flash's job, or 0).
using RefusedWorkerHandler = void (*)(std::uintptr_t context);

// Main thread. Holds off the system for the worker's kind, then queues it and
// counts it as at work until it calls WorkerFinished. When the system
// refuses the work item, or a writer is asked for after the end of the
// session was agreed to, nothing is counted or held, `refused` ends the run
// as that worker's failure, and the answer is false.
bool QueueCountedWorker(WorkItemProc proc, std::uintptr_t context, WorkerKind kind, RefusedWorkerHandler refused);

// Why the last refusal of QueueCountedWorker happened, for the log.
bool LastRefusalWasSessionEnd();

// The worker is done with its adapter: the last step before its final post.
void WorkerFinished();

std::uint32_t RunningWorkers();

// Any thread, for a program about to end at once (the console program on
// Ctrl+C): true when no worker is at an adapter, and from then on none
// starts (QueueCountedWorker refuses every worker). False while one is.
bool StopIfIdle();

// Main thread: the answer to the system's question whether the session may
// end. No while a worker writes to an adapter.
bool SessionMayEnd();

// Main thread: the system has been told the session may end (true), or the
// end it asked about was called off (false). Once agreed, no writer starts.
void SetSessionEndAgreed(bool agreed);

// Main thread: lets the system sleep and end the session again once no
// worker is at work.
void ReleaseHoldWhenIdle();

// Blocks until every counted worker has finished (bounded: each report
// transfer has a time limit).
void WaitForRunningWorkers();

// Starts the next run with no hold (tests run many in one process).
void ResetHold();

} // namespace Vantri
