// A small stand-in with the same shape as the program's window (buttons 2-5,
// progress bar 1001, status 1002, modeless dialog, a plain GetMessage loop)
// and boxes of every kind, so that the driver can be checked on its own.
#include <windows.h>
#include <commctrl.h>
#include <commdlg.h>

#include <cstdint>
#include <cwchar>
#include <vector>

namespace {

constexpr UINT_PTR kTimer = 1;
HWND g_main = nullptr;
int g_progress = 0;

class TemplateBuilder {
public:
    void Words(std::initializer_list<std::uint16_t> words)
    {
        for (auto w : words) {
            bytes_.push_back(static_cast<std::uint8_t>(w & 0xFF));
            bytes_.push_back(static_cast<std::uint8_t>(w >> 8));
        }
    }
    void Dword(std::uint32_t value) { Words({static_cast<std::uint16_t>(value), static_cast<std::uint16_t>(value >> 16)}); }
    void Text(const wchar_t* text)
    {
        for (; *text; ++text) {
            Words({static_cast<std::uint16_t>(*text)});
        }
        Words({0});
    }
    void Align()
    {
        while (bytes_.size() % 4) {
            bytes_.push_back(0);
        }
    }
    void Item(DWORD style, short x, short y, short cx, short cy, WORD id, const wchar_t* className, const wchar_t* text)
    {
        Align();
        Dword(style | WS_CHILD);
        Dword(0);
        Words({static_cast<std::uint16_t>(x), static_cast<std::uint16_t>(y), static_cast<std::uint16_t>(cx),
               static_cast<std::uint16_t>(cy), id});
        Text(className);
        Text(text);
        Words({0});
    }
    const DLGTEMPLATE* Get()
    {
        Align();
        return reinterpret_cast<const DLGTEMPLATE*>(bytes_.data());
    }

private:
    std::vector<std::uint8_t> bytes_;
};

void Lock()
{
    for (int id = 2; id <= 5; ++id) {
        EnableWindow(GetDlgItem(g_main, id), FALSE);
    }
    ShowWindow(GetDlgItem(g_main, 1001), SW_SHOWNORMAL);
}

void Ask()
{
    Lock();
    if (MessageBoxW(g_main, L"Proceed from [1.0] to [2.0]?\n\nReady?", L"Fixture Question",
                    MB_YESNO | MB_ICONQUESTION) == IDNO) {
        DestroyWindow(g_main);
        return;
    }
    SetDlgItemTextW(g_main, 1002, L"Working ...\n");
    SetTimer(g_main, kTimer, 30, nullptr);
}

void Tick()
{
    g_progress += 10;
    SendDlgItemMessageW(g_main, 1001, PBM_SETPOS, static_cast<WPARAM>(g_progress), 0);
    if (g_progress >= 100) {
        KillTimer(g_main, kTimer);
        MessageBoxW(g_main, L"All done!\n\nIt is now safe.", L"Fixture Done", MB_OK | MB_ICONINFORMATION);
        DestroyWindow(g_main);
    }
}

void Save()
{
    Lock();
    wchar_t path[MAX_PATH] = L"Fixture.vtcb";
    OPENFILENAMEW dialog{};
    dialog.lStructSize = sizeof dialog;
    dialog.hwndOwner = g_main;
    dialog.lpstrFilter = L"Fixture files (*.vtcb)\0*.vtcb\0";
    dialog.lpstrFile = path;
    dialog.nMaxFile = MAX_PATH;
    dialog.Flags = OFN_OVERWRITEPROMPT | OFN_NOCHANGEDIR;
    if (GetSaveFileNameW(&dialog)) {
        HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            DWORD written = 0;
            WriteFile(file, "fixture", 7, &written, nullptr);
            CloseHandle(file);
        }
        MessageBoxW(g_main, path, L"Fixture Saved", MB_OK | MB_ICONINFORMATION);
    }
    DestroyWindow(g_main);
}

INT_PTR CALLBACK FixtureProc(HWND window, UINT message, WPARAM wParam, LPARAM)
{
    switch (message) {
    case WM_CLOSE: DestroyWindow(window); return TRUE;
    case WM_DESTROY: PostQuitMessage(0); return TRUE;
    case WM_TIMER: Tick(); return TRUE;
    case WM_COMMAND:
        if (HIWORD(wParam) != 0) {
            return FALSE;
        }
        switch (LOWORD(wParam)) {
        case 2: Ask(); break;
        case 3:
            MessageBoxW(window, L"It failed.", L"Fixture Error", MB_OK | MB_ICONERROR);
            DestroyWindow(window);
            break;
        case 4: Save(); break;
        case 5: MessageBoxW(window, L"Should never open: the button is disabled.", L"Fixture Disabled", MB_OK); break;
        }
        return FALSE;
    }
    return FALSE;
}

} // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int)
{
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&controls);

    TemplateBuilder t;
    t.Dword(WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_SETFONT | DS_CENTER);
    t.Dword(0);
    t.Words({6, 0, 0, 300, 160});
    t.Words({0, 0});
    t.Text(L"Fixture");
    t.Words({8});
    t.Text(L"MS Shell Dlg");
    t.Item(WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON, 10, 100, 60, 20, 2, L"Button", L"Ask");
    t.Item(WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON, 80, 100, 60, 20, 3, L"Button", L"Fail");
    t.Item(WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON, 150, 100, 60, 20, 4, L"Button", L"Save");
    t.Item(WS_VISIBLE | WS_TABSTOP | WS_DISABLED | BS_PUSHBUTTON, 220, 100, 60, 20, 5, L"Button", L"Off");
    t.Item(WS_BORDER, 10, 60, 280, 9, 1001, L"msctls_progress32", L"");
    t.Item(WS_VISIBLE | SS_CENTER, 10, 75, 280, 8, 1002, L"Static", L"Please choose an option.");

    g_main = CreateDialogIndirectParamW(instance, t.Get(), nullptr, FixtureProc, 0);
    ShowWindow(g_main, SW_SHOWNORMAL);
    SetWindowTextA(g_main, "Vantri4 Driver Fixture [1.0]");

    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        // Characters reaching the window are shown, so that a check can see
        // what the keys it sent turned into.
        if (message.message == WM_CHAR && (message.hwnd == g_main || IsChild(g_main, message.hwnd))) {
            wchar_t text[32];
            std::swprintf(text, 32, L"char %u\n", static_cast<unsigned>(message.wParam));
            SetDlgItemTextW(g_main, 1002, text);
        }
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return 0;
}
