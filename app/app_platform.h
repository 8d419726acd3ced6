// The narrow view of the window and the system that the workflows have: the
// Windows program binds it to the real dialog, message boxes and thread
// pool (app/platform_win.cpp); the native tests bind it to a scripted window.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace Vantri {

// A window as the system names it (an HWND on Windows).
using WindowRef = void*;

enum class BoxKind { Error, Information, Question };
// None: the box could not be shown, so the user has answered nothing.
enum class BoxAnswer { None, Ok, Yes, No };

// Runs on a pool thread; the context is what was given when it was queued.
// The result is ignored, as the pool ignores it.
using WorkItemProc = std::uint32_t (*)(std::uintptr_t context);

class AppPlatform {
public:
    virtual WindowRef MainWindow() = 0;

    // Message boxes are owned by the main window. Texts are null-terminated.
    virtual BoxAnswer ShowBox(BoxKind kind, const char16_t* caption, const char16_t* text) = 0;

    virtual void EnableControl(int id, bool enable) = 0;
    virtual void ShowControl(int id) = 0;
    virtual void SetControlText(int id, const char16_t* text) = 0;
    virtual std::uint32_t ProgressPosition() = 0;
    virtual void SetProgressPosition(std::uint32_t position) = 0;

    virtual void DestroyWindow(WindowRef window) = 0;
    virtual void PostQuit(int exitCode) = 0;

    // Posts to the main window; false once the window is gone. Callable from
    // any thread, never blocks.
    virtual bool PostToMainWindow(std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam) = 0;

    // Posts to `window`, which a worker was handed when it was queued; false
    // once that window is gone. The program's one window is the main window,
    // so by default this is PostToMainWindow for that window and a refusal
    // for any other.
    virtual bool PostToWindow(WindowRef window, std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam)
    {
        return window != nullptr && window == MainWindow() && PostToMainWindow(message, wParam, lParam);
    }

    // Queues on the system thread pool as a long function
    // (WT_EXECUTELONGFUNCTION), whatever the worker: flash, backup, download
    // and restore workers all block on the adapter or the network. False when
    // the system refuses the work item.
    virtual bool QueueWorkItem(WorkItemProc proc, std::uintptr_t context) = 0;

    // The carried firmware image as it lies in the program's resources.
    virtual std::span<const std::uint8_t> FirmwareResource() = 0;

protected:
    ~AppPlatform() = default;
};

// The platform the workflows use. Bound once at start-up, before the window
// exists and before any worker is queued, so workers read a settled value.
AppPlatform& Platform();
void BindPlatform(AppPlatform& platform);

} // namespace Vantri
