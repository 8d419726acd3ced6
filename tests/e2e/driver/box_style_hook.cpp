// Runs inside the program under test, on its window thread, as a
// window-procedure hook. It only reads the message-box parameters the box
// was created from and leaves a property behind; it never changes a message.
#include <windows.h>

#include "tests/e2e/driver/box_style_hook.h"

namespace {

HMODULE ThisModule()
{
    HMODULE module = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCWSTR>(&ThisModule), &module);
    return module;
}

bool Readable(const void* address, SIZE_T bytes)
{
    MEMORY_BASIC_INFORMATION info{};
    if (!VirtualQuery(address, &info, sizeof info) || info.State != MEM_COMMIT) {
        return false;
    }
    const DWORD readable = PAGE_READONLY | PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READ |
                           PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;
    const auto* end = static_cast<const char*>(info.BaseAddress) + info.RegionSize;
    return (info.Protect & readable) && !(info.Protect & PAGE_GUARD) &&
           static_cast<const char*>(address) + bytes <= end;
}

bool IsMessageBox(HWND window)
{
    wchar_t className[16] = {};
    GetClassNameW(window, className, 16);
    return lstrcmpW(className, L"#32770") == 0 && GetDlgItem(window, 0xFFFF) != nullptr;
}

// Both Wine and Windows hand a message box's dialog procedure a record that
// begins with the MSGBOXPARAMSW it was created from.
void NoteBoxStyle(HWND window, LPARAM parameter)
{
    const auto* params = reinterpret_cast<const MSGBOXPARAMSW*>(parameter);
    if (!params || !IsMessageBox(window) || !Readable(params, sizeof *params) ||
        params->cbSize != sizeof(MSGBOXPARAMSW)) {
        return;
    }
    const std::uint64_t value = VantriDriver::kBoxStyleMarker | params->dwStyle;
    SetPropW(window, VantriDriver::kBoxStyleProperty, reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(value)));
}

LRESULT CALLBACK ResidentCallWndProc(int code, WPARAM wParam, LPARAM lParam);

// The driver's own hook goes away when the driver exits, and Wine unloads a
// library it loaded for a foreign hook after each call. Pinning the library
// and hooking the thread from inside keeps the notes coming for boxes that
// open between two driver runs.
void StayResident(HWND window)
{
    static HHOOK resident = nullptr;
    if (!resident) {
        HMODULE pinned = nullptr;
        GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                           reinterpret_cast<LPCWSTR>(&ThisModule), &pinned);
        resident = SetWindowsHookExW(WH_CALLWNDPROC, ResidentCallWndProc, ThisModule(), GetCurrentThreadId());
    }
    if (resident) {
        SetPropW(window, VantriDriver::kResidentProperty, reinterpret_cast<HANDLE>(1));
    }
}

void Observe(const CWPSTRUCT& call)
{
    if (call.message == WM_INITDIALOG) {
        NoteBoxStyle(call.hwnd, call.lParam);
    }
}

LRESULT CALLBACK ResidentCallWndProc(int code, WPARAM wParam, LPARAM lParam)
{
    if (code == HC_ACTION) {
        Observe(*reinterpret_cast<const CWPSTRUCT*>(lParam));
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

} // namespace

// The driver's hook. A WM_NULL sent by the driver is the signal to become
// resident and to mark the window it was sent to.
extern "C" __declspec(dllexport) LRESULT CALLBACK VantriDriverCallWndProc(int code, WPARAM wParam, LPARAM lParam)
{
    if (code == HC_ACTION) {
        const auto& call = *reinterpret_cast<const CWPSTRUCT*>(lParam);
        if (call.message == WM_NULL) {
            StayResident(call.hwnd);
        }
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}
