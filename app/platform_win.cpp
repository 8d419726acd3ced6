#include <new>

#include "app/program_win.h"

#include <commctrl.h>

#include "resources/resource.h"

namespace Vantri {

namespace {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "Windows wide text is UTF-16");

const wchar_t* Wide(const char16_t* text)
{
    return reinterpret_cast<const wchar_t*>(text);
}

UINT BoxStyle(BoxKind kind)
{
    switch (kind) {
    case BoxKind::Error:
        return MB_OK | MB_ICONERROR;
    case BoxKind::Information:
        return MB_OK | MB_ICONINFORMATION;
    case BoxKind::Question:
        return MB_YESNO | MB_ICONQUESTION;
    }
    return MB_OK;
}

BoxAnswer Answer(int result)
{
    switch (result) {
    case IDYES:
        return BoxAnswer::Yes;
    case IDNO:
        return BoxAnswer::No;
    case IDOK:
        return BoxAnswer::Ok;
    default:
        return BoxAnswer::None;
    }
}

// What travels to a pool thread: the pool passes one pointer, and the worker
// needs the procedure and its context.
struct WorkRecord {
    WorkItemProc proc;
    std::uintptr_t context;
};

DWORD WINAPI RunWorkRecord(LPVOID parameter)
{
    const WorkRecord record = *static_cast<WorkRecord*>(parameter);
    delete static_cast<WorkRecord*>(parameter);
    return record.proc(record.context);
}

class Win32Platform final : public AppPlatform {
public:
    WindowRef MainWindow() override { return g_mainWindow; }

    BoxAnswer ShowBox(BoxKind kind, const char16_t* caption, const char16_t* text) override
    {
        return Answer(MessageBoxW(g_mainWindow, Wide(text), Wide(caption), BoxStyle(kind)));
    }

    void EnableControl(int id, bool enable) override { EnableWindow(GetDlgItem(g_mainWindow, id), enable); }
    void ShowControl(int id) override { ShowWindow(GetDlgItem(g_mainWindow, id), SW_SHOWNORMAL); }
    void SetControlText(int id, const char16_t* text) override { SetDlgItemTextW(g_mainWindow, id, Wide(text)); }

    std::uint32_t ProgressPosition() override
    {
        return static_cast<std::uint32_t>(SendDlgItemMessageW(g_mainWindow, IDC_PROGRESS, PBM_GETPOS, 0, 0));
    }

    void SetProgressPosition(std::uint32_t position) override
    {
        SendDlgItemMessageW(g_mainWindow, IDC_PROGRESS, PBM_SETPOS, position, 0);
    }

    void DestroyWindow(WindowRef window) override { ::DestroyWindow(static_cast<HWND>(window)); }
    void PostQuit(int exitCode) override { PostQuitMessage(exitCode); }

    bool PostToMainWindow(std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam) override
    {
        return PostMessageW(g_mainWindow, message, wParam, lParam) != FALSE;
    }

    // The record belongs to the worker once queued; if the pool refuses it,
    // it is still ours to free. Every worker blocks on report reads for as
    // long as its transfer lasts (a whole image, minutes at the adapter's
    // pace), so each is marked as long: the pool's documented hint to create
    // a new thread rather than wait for a busy one, so that all adapters
    // start together instead of one after another.
    bool QueueWorkItem(WorkItemProc proc, std::uintptr_t context) override
    {
        auto* record = new (std::nothrow) WorkRecord{proc, context};
        if (!record)
            return false;
        if (QueueUserWorkItem(RunWorkRecord, record, WT_EXECUTELONGFUNCTION))
            return true;
        delete record;
        return false;
    }

    // A resource is mapped with the module and never freed; its bytes stay
    // valid for the life of the process.
    std::span<const std::uint8_t> FirmwareResource() override
    {
        HRSRC found = FindResourceW(g_instance, MAKEINTRESOURCEW(IDR_FIRMWARE), L"DATA");
        if (!found)
            return {};
        const DWORD size = SizeofResource(g_instance, found);
        HGLOBAL loaded = LoadResource(g_instance, found);
        const void* bytes = loaded ? LockResource(loaded) : nullptr;
        if (!bytes)
            return {};
        return {static_cast<const std::uint8_t*>(bytes), size};
    }
};

Win32Platform s_platform;

} // namespace

AppPlatform& WindowsPlatform()
{
    return s_platform;
}

} // namespace Vantri
