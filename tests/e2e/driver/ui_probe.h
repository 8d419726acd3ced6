// Looking at another process's windows: finding the program's main window,
// its message boxes and file dialogs, and reading their contents. Every read
// that has to go through the other process's window thread is bounded, so a
// hung program shows up as a failed read, not as a hung driver.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace VantriDriver {

// Which process's windows count.
struct Target {
    std::wstring title = L"Vantri4 Flash [4.00.20160918]";
    bool titleIsPrefix = false;
    std::wstring image; // file name of the process image, e.g. Vantri4FlashEmu.exe; empty: any
    DWORD pid = 0;      // 0: any
};

inline constexpr DWORD kSendTimeoutMs = 3000;

std::wstring ClassOf(HWND window);
// WM_GETTEXT through the window's own thread: a control of another process
// answers with its real text. Empty when the window does not answer in time.
std::wstring TextOf(HWND window);
DWORD ProcessOf(HWND window);
std::wstring ImageNameOf(DWORD pid);

// The target's unowned #32770 windows whose title matches.
std::vector<HWND> MainWindowCandidates(const Target& target);

// Windows owned by `main` of dialog class: message boxes carry the static
// text control 0xFFFF, file dialogs do not.
std::vector<HWND> MessageBoxesOf(HWND main);
std::vector<HWND> FileDialogsOf(HWND main);

struct BoxReport {
    std::wstring caption;
    std::wstring text;
    std::vector<std::string> buttons; // "ok", "yes", "no", "cancel", ... in id order
    std::string icon;                 // error, question, warning, information, none, unknown
    std::string kind;                 // error, information, question, other
    long long style = -1;             // the box's style, -1 when it could not be seen
};

BoxReport ReadBox(HWND box);

// The edit control that takes a file dialog's file name.
HWND FileNameEdit(HWND dialog);

// The names in a file dialog's file-type list (combo box 1136), in order.
std::vector<std::wstring> FileTypeNames(HWND dialog);

// Every top-level window of the process (or of all processes when pid is 0),
// as a JSON array, for the message of a failed wait.
std::string DescribeWindows(DWORD pid);

} // namespace VantriDriver
