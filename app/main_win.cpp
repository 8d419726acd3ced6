// The program's entry point and its one window's procedure.
#include "app/program_win.h"

#include "engine/main_window.h"
#include "engine/running_workers.h"
#include "resources/resource.h"

HINSTANCE g_instance;
HWND g_mainWindow;

namespace {

INT_PTR CALLBACK MainDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    return Vantri::DispatchMainMessage(window, message, wParam, lParam) ? TRUE : FALSE;
}

// No IsDialogMessage and no accelerators: Tab, Enter and Escape do nothing,
// so Escape never becomes command 2, which is Update Firmware.
void RunMessageLoop()
{
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
}

} // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int)
{
    Vantri::BindPlatform(Vantri::WindowsPlatform());
    g_instance = instance;
    g_mainWindow = CreateDialogParamW(g_instance, MAKEINTRESOURCEW(IDD_MAIN), nullptr, MainDialogProc, 0);
    // Without a window no message could ever end the loop: a process that
    // never ends and shows nothing.
    if (!g_mainWindow)
        return 0;
    Vantri::LogProgramStart();
    ShowWindow(g_mainWindow, SW_SHOWNORMAL);
    char title[Vantri::kTitleBufferSize];
    Vantri::FormatWindowTitle(title);
    SetWindowTextA(g_mainWindow, title);

    RunMessageLoop();
    // Workers still writing when the window went (a failure box with several
    // adapters, or the close box during a flash) finish their adapter first.
    Vantri::WaitForRunningWorkers();
    Vantri::ReleaseHoldWhenIdle();
    return 0;
}
