// What each workflow hands the main window: the buttons that start it and the
// messages its workers post. The window's dispatch gathers these rows and
// knows nothing else of a workflow.
#pragma once

#include <cstdint>
#include <span>

#include "engine/app_platform.h"

namespace Vantri {

// Handles one message on the main thread. Every message routed to a
// workflow is answered as handled: our private numbers are also the dialog
// manager's (1025 is DM_SETDEFID, 1026 DM_REPOSITION), which must never act
// on them.
using MessageHandler = void (*)(std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam);

struct MessageRoute {
    std::uint32_t first;
    std::uint32_t last;
    MessageHandler handler;
};

using ButtonHandler = void (*)();

struct ButtonRoute {
    int id;
    ButtonHandler handler;
    const char* operation; // as the diagnostics log names it
};

// Starts the workflow's next run from its first state. A run of the program
// performs one workflow; tests and benchmarks run many in one process.
using RunReset = void (*)();

struct WorkflowRoutes {
    std::span<const ButtonRoute> buttons;
    std::span<const MessageRoute> messages;
    RunReset reset;
};

// One per workflow, each defined beside the workflow it routes to.
WorkflowRoutes FlashRoutes();
WorkflowRoutes BackupRoutes();
WorkflowRoutes RestoreRoutes();

} // namespace Vantri
