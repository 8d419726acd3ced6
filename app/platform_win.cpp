#include "app/program_win.h"

#include <commctrl.h>
#include <commdlg.h>

#include <cstddef>

#include "base/wide_text_win.h"
#include "engine/system_platform_win.h"
#include "resources/resource.h"

namespace Vantri {

namespace {

// Both file dialogs offer the backup files first, then everything; the list
// ends with an extra terminator.
constexpr wchar_t kBackupFileFilter[] = L"Vantri4 Config Backup\0*.vtcb\0All\0*.*\0\0";

// The record in its full current layout, the reserved and extended-flag
// fields at its end included.
static_assert(offsetof(OPENFILENAMEW, FlagsEx) + sizeof(DWORD) <= sizeof(OPENFILENAMEW));

// Flags 0: no overwrite prompt, no default extension, no initial folder.
OPENFILENAMEW BackupFileDialog(const char16_t* title, std::span<char16_t> fileName)
{
    OPENFILENAMEW dialog{};
    dialog.lStructSize = sizeof(OPENFILENAMEW);
    dialog.hwndOwner = g_mainWindow;
    dialog.lpstrFilter = kBackupFileFilter;
    dialog.lpstrFile = Wide(fileName.data());
    dialog.nMaxFile = static_cast<DWORD>(fileName.size());
    dialog.lpstrTitle = Wide(title);
    dialog.Flags = 0;
    return dialog;
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

class Win32Platform final : public SystemPlatformWin {
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

    // A dialog procedure answers "handled"; the message's own result goes
    // through the window's DWLP_MSGRESULT.
    void SetMessageResult(WindowRef window, std::intptr_t result) override
    {
        SetWindowLongPtrW(static_cast<HWND>(window), DWLP_MSGRESULT, result);
    }

    bool ShowSaveDialog(const char16_t* title, std::span<char16_t> fileName) override
    {
        OPENFILENAMEW dialog = BackupFileDialog(title, fileName);
        return GetSaveFileNameW(&dialog) != FALSE;
    }

    bool ShowOpenDialog(const char16_t* title, std::span<char16_t> fileName) override
    {
        OPENFILENAMEW dialog = BackupFileDialog(title, fileName);
        return GetOpenFileNameW(&dialog) != FALSE;
    }
};

Win32Platform s_platform;

} // namespace

AppPlatform& WindowsPlatform()
{
    return s_platform;
}

} // namespace Vantri
