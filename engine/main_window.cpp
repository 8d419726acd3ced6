#include "engine/main_window.h"

#include <cstdio>
#include <optional>
#include <string>
#include <utility>

#include "engine/diagnostics_log.h"
#include "engine/running_workers.h"
#include "engine/workflow.h"
#include "engine/system_messages.h"
#include "engine/workflow_routes.h"
#include "protocol/device_info.h"
#include "resources/resource.h"

namespace Vantri {

namespace {

using SystemHandler = bool (*)(WindowRef window, std::uint32_t message, std::uintptr_t wParam,
                               std::intptr_t lParam);

struct SystemRoute {
    std::uint32_t message;
    SystemHandler handler;
};

constexpr WorkflowRoutes (*kWorkflows[])() = {FlashRoutes, BackupRoutes, RestoreRoutes};

// A run of the program performs one workflow. Once one has started, every
// button command is ignored until the window is gone: the buttons are
// disabled, but any program may post a click to a disabled button, and a
// second start would enumerate again, which closes every device handle
// under the running workers.
bool s_workflowStarted = false;
// When the run's operation was chosen; none before, and once its end is logged.
std::optional<std::uint64_t> s_operationStart;


// Handled, and answered true, so the dialog manager never turns a close
// request into the cancel command: id 2 is also Update Firmware. While an
// adapter is written the window stays: only a program with a window can
// refuse the end of the session, and its reason is the window's to show,
// so the user who closes it mid-image is still told not to unplug.
bool OnClose(WindowRef window, std::uint32_t, std::uintptr_t, std::intptr_t)
{
    if (!SessionMayEnd()) {
        LogLine("close request refused: an adapter is being written");
        return true;
    }
    Platform().DestroyWindow(window);
    return true;
}

bool OnDestroy(WindowRef, std::uint32_t, std::uintptr_t, std::intptr_t)
{
    Platform().PostQuit(0);
    return true;
}

bool StartOnce(int id, std::string_view origin)
{
    if (s_workflowStarted)
        return false;
    for (auto routes : kWorkflows) {
        for (const ButtonRoute& route : routes().buttons) {
            if (route.id == id) {
                s_workflowStarted = true;
                s_operationStart = Platform().NowMs();
                LogLine(std::string("operation: ") + route.operation + (origin.empty() ? "" : " (") +
                        std::string(origin) + (origin.empty() ? "" : ")"));
                route.handler();
                return true;
            }
        }
    }
    return false;
}

// Only a plain click (notification 0) starts a workflow, and only the first.
bool OnCommand(WindowRef, std::uint32_t, std::uintptr_t wParam, std::intptr_t)
{
    const auto notification = static_cast<std::uint16_t>((wParam >> 16) & 0xFFFF);
    const auto id = static_cast<std::uint16_t>(wParam & 0xFFFF);
    if (notification == 0)
        StartOnce(id, {});
    return false;
}

// Shutdown, log-off or a restart asks first. While an adapter is written the
// answer is no: cut off mid-image or mid-region, it would be left without
// firmware or with half its configs. Any other time the session may end.
// Once we have said yes, the end may come at any moment, so from then on
// no write starts: not after a Yes in a question box that was open, nor
// after a download that arrives later.
bool OnQueryEndSession(WindowRef window, std::uint32_t, std::uintptr_t, std::intptr_t)
{
    const bool mayEnd = SessionMayEnd();
    if (mayEnd)
        SetSessionEndAgreed(true);
    Platform().SetMessageResult(window, mayEnd ? 1 : 0);
    return true;
}

// The session ends after all (forced, or after our yes): nothing new starts.
// Workers already at work are the system's to end. An end that was called
// off lets writes start again.
bool OnEndSession(WindowRef, std::uint32_t, std::uintptr_t wParam, std::intptr_t)
{
    if (wParam != 0)
        s_workflowStarted = true;
    SetSessionEndAgreed(wParam != 0);
    return true;
}

constexpr SystemRoute kSystemRoutes[] = {
    {kMessageClose, OnClose},
    {kMessageDestroy, OnDestroy},
    {kMessageCommand, OnCommand},
    {kMessageQueryEndSession, OnQueryEndSession},
    {kMessageEndSession, OnEndSession},
};

constexpr int kButtonsInLockOrder[] = {IDC_UPDATE_FIRMWARE, IDC_FACTORY_RESET, IDC_BACKUP_CONFIGS,
                                       IDC_RESTORE_CONFIGS};

} // namespace

bool DispatchMainMessage(WindowRef window, std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam)
{
    for (const SystemRoute& route : kSystemRoutes) {
        if (route.message == message)
            return route.handler(window, message, wParam, lParam);
    }
    for (auto routes : kWorkflows) {
        for (const MessageRoute& route : routes().messages) {
            if (message >= route.first && message <= route.last) {
                // Before the handler, so the hold is gone by the time a
                // final box waits for the user.
                ReleaseHoldWhenIdle();
                route.handler(message, wParam, lParam);
                return true;
            }
        }
    }
    return false;
}

bool StartWorkflow(int buttonId, std::string_view origin)
{
    return StartOnce(buttonId, origin);
}

void ResetRun()
{
    s_workflowStarted = false;
    s_operationStart.reset();
    ResetHold();
    ResetLog();
    ResetWorkerReports();
    for (auto routes : kWorkflows)
        routes().reset();
}

void LockControls()
{
    for (int id : kButtonsInLockOrder)
        Platform().EnableControl(id, false);
    Platform().ShowControl(IDC_PROGRESS);
}

void SetStatus(std::u16string_view format, std::initializer_list<FormatArg> args)
{
    std::u16string line;
    if (std::optional<std::u16string> text = FormatText(format, args); text && text->size() <= kStatusTextMax) {
        line = std::move(*text);
        line.push_back(u'\n');
    }
    Platform().SetControlText(IDC_STATUS, line.c_str());
}

void FormatWindowTitle(char (&title)[kTitleBufferSize])
{
    std::snprintf(title, sizeof title, "Vantri4 Flash [%s%s]", kCarriedFirmwareVersion, "");
}

void LogProgramStart(std::string_view program)
{
    LogLine(std::string(program) + " " + kCarriedFirmwareVersion + " started");
}

void DestroyMainWindow()
{
    if (s_operationStart)
        LogLine("operation ended after " + std::to_string(Platform().NowMs() - *std::exchange(s_operationStart, {})) +
                " ms");
    Platform().DestroyWindow(Platform().MainWindow());
}

} // namespace Vantri
