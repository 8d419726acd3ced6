#include "tests/e2e/driver/ui_probe.h"

#include <cstdio>
#include <cstdint>

#include "tests/e2e/driver/box_style_hook.h"
#include "tests/e2e/driver/json_line.h"

namespace VantriDriver {

namespace {

template <typename Accept>
std::vector<HWND> TopLevelWindows(Accept accept)
{
    struct Walk {
        Accept* accept;
        std::vector<HWND> found;
    } walk{&accept, {}};
    EnumWindows(
        [](HWND window, LPARAM param) -> BOOL {
            auto& w = *reinterpret_cast<Walk*>(param);
            if ((*w.accept)(window)) {
                w.found.push_back(window);
            }
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&walk));
    return walk.found;
}

bool IsDialogClass(HWND window)
{
    return ClassOf(window) == L"#32770";
}

std::wstring FileNameOnly(const std::wstring& path)
{
    const auto slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

bool SameTextIgnoringCase(const std::wstring& a, const std::wstring& b)
{
    return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()), TRUE) ==
           CSTR_EQUAL;
}

bool InTarget(HWND window, const Target& target)
{
    const DWORD pid = ProcessOf(window);
    if (target.pid && pid != target.pid) {
        return false;
    }
    return target.image.empty() || SameTextIgnoringCase(ImageNameOf(pid), target.image);
}

std::string IconOfStyle(long long style)
{
    if (style < 0) {
        return "unknown";
    }
    switch (style & MB_ICONMASK) {
    case 0: return "none";
    case MB_ICONERROR: return "error";
    case MB_ICONQUESTION: return "question";
    case MB_ICONWARNING: return "warning";
    case MB_ICONINFORMATION: return "information";
    default: return "other";
    }
}

std::string KindOf(const std::string& icon, const std::vector<std::string>& buttons)
{
    using Buttons = std::vector<std::string>;
    if (icon == "error" && buttons == Buttons{"ok"}) {
        return "error";
    }
    if (icon == "information" && buttons == Buttons{"ok"}) {
        return "information";
    }
    if (icon == "question" && buttons == Buttons{"yes", "no"}) {
        return "question";
    }
    return "other";
}

HWND ChildWithId(HWND parent, const wchar_t* className, int id)
{
    for (HWND child = FindWindowExW(parent, nullptr, className, nullptr); child;
         child = FindWindowExW(parent, child, className, nullptr)) {
        if (GetDlgCtrlID(child) == id) {
            return child;
        }
    }
    return nullptr;
}

HWND FirstVisibleEdit(HWND parent)
{
    struct Search {
        HWND found = nullptr;
    } search;
    EnumChildWindows(
        parent,
        [](HWND child, LPARAM param) -> BOOL {
            auto& s = *reinterpret_cast<Search*>(param);
            if (IsWindowVisible(child) && ClassOf(child) == L"Edit") {
                s.found = child;
                return FALSE;
            }
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
}

} // namespace

std::wstring ClassOf(HWND window)
{
    wchar_t name[256] = {};
    GetClassNameW(window, name, 256);
    return name;
}

std::wstring TextOf(HWND window)
{
    DWORD_PTR length = 0;
    if (!SendMessageTimeoutW(window, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, kSendTimeoutMs, &length)) {
        return {};
    }
    std::wstring text(length + 1, L'\0');
    DWORD_PTR copied = 0;
    if (!SendMessageTimeoutW(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()), SMTO_ABORTIFHUNG,
                             kSendTimeoutMs, &copied)) {
        return {};
    }
    text.resize(copied);
    return text;
}

DWORD ProcessOf(HWND window)
{
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    return pid;
}

std::wstring ImageNameOf(DWORD pid)
{
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    if (!process) {
        return {};
    }
    wchar_t path[MAX_PATH * 2] = {};
    DWORD size = MAX_PATH * 2;
    const BOOL ok = QueryFullProcessImageNameW(process, 0, path, &size);
    CloseHandle(process);
    return ok ? FileNameOnly(path) : std::wstring{};
}

std::vector<HWND> MainWindowCandidates(const Target& target)
{
    return TopLevelWindows([&](HWND window) {
        if (!IsDialogClass(window) || GetWindow(window, GW_OWNER) || !InTarget(window, target)) {
            return false;
        }
        const std::wstring title = TextOf(window);
        return target.titleIsPrefix ? title.starts_with(target.title) : title == target.title;
    });
}

std::vector<HWND> MessageBoxesOf(HWND main)
{
    return TopLevelWindows([&](HWND window) {
        return window != main && GetWindow(window, GW_OWNER) == main && IsDialogClass(window) &&
               IsWindowVisible(window) && GetDlgItem(window, 0xFFFF);
    });
}

std::vector<HWND> FileDialogsOf(HWND main)
{
    return TopLevelWindows([&](HWND window) {
        return window != main && GetWindow(window, GW_OWNER) == main && IsDialogClass(window) &&
               IsWindowVisible(window) && !GetDlgItem(window, 0xFFFF) && FileNameEdit(window);
    });
}

BoxReport ReadBox(HWND box)
{
    BoxReport report;
    report.caption = TextOf(box);
    report.text = TextOf(GetDlgItem(box, 0xFFFF));
    static const struct {
        int id;
        const char* name;
    } kButtons[] = {{IDOK, "ok"},         {IDCANCEL, "cancel"},     {IDABORT, "abort"},  {IDRETRY, "retry"},
                    {IDIGNORE, "ignore"}, {IDYES, "yes"},           {IDNO, "no"},        {IDTRYAGAIN, "tryagain"},
                    {IDCONTINUE, "continue"}};
    for (const auto& button : kButtons) {
        const HWND control = GetDlgItem(box, button.id);
        if (control && IsWindowVisible(control)) {
            report.buttons.push_back(button.name);
        }
    }
    const auto noted = reinterpret_cast<ULONG_PTR>(GetPropW(box, kBoxStyleProperty));
    if (noted & kBoxStyleMarker) {
        report.style = static_cast<long long>(noted & 0xFFFFFFFFu);
    }
    report.icon = IconOfStyle(report.style);
    report.kind = KindOf(report.icon, report.buttons);
    return report;
}

HWND FileNameEdit(HWND dialog)
{
    // The explorer-style dialog keeps the name in ComboBoxEx32 1148 ->
    // ComboBox 1148 -> Edit 1148; older layouts have a plain edit.
    if (HWND comboEx = ChildWithId(dialog, L"ComboBoxEx32", 1148)) {
        if (HWND combo = ChildWithId(comboEx, L"ComboBox", 1148)) {
            if (HWND edit = FindWindowExW(combo, nullptr, L"Edit", nullptr)) {
                return edit;
            }
        }
    }
    return FirstVisibleEdit(dialog);
}

std::vector<std::wstring> FileTypeNames(HWND dialog)
{
    std::vector<std::wstring> names;
    const HWND list = GetDlgItem(dialog, 1136);
    DWORD_PTR count = 0;
    if (!list || !SendMessageTimeoutW(list, CB_GETCOUNT, 0, 0, SMTO_ABORTIFHUNG, kSendTimeoutMs, &count)) {
        return names;
    }
    for (WPARAM i = 0; i < count; ++i) {
        DWORD_PTR length = 0;
        if (!SendMessageTimeoutW(list, CB_GETLBTEXTLEN, i, 0, SMTO_ABORTIFHUNG, kSendTimeoutMs, &length) ||
            length == static_cast<DWORD_PTR>(CB_ERR)) {
            break;
        }
        // The system copies the text across processes for this message, as
        // it does for WM_GETTEXT.
        std::wstring name(length + 1, L'\0');
        DWORD_PTR copied = 0;
        if (!SendMessageTimeoutW(list, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(name.data()), SMTO_ABORTIFHUNG,
                                 kSendTimeoutMs, &copied)) {
            break;
        }
        name.resize(copied == static_cast<DWORD_PTR>(CB_ERR) ? 0 : copied);
        names.push_back(name);
    }
    return names;
}

std::string DescribeWindows(DWORD pid)
{
    std::vector<std::string> entries;
    for (HWND window : TopLevelWindows([&](HWND w) { return !pid || ProcessOf(w) == pid; })) {
        char handle[32];
        std::snprintf(handle, sizeof handle, "%llu", static_cast<unsigned long long>(reinterpret_cast<ULONG_PTR>(window)));
        char owner[32];
        std::snprintf(owner, sizeof owner, "%llu",
                      static_cast<unsigned long long>(reinterpret_cast<ULONG_PTR>(GetWindow(window, GW_OWNER))));
        std::string entry = "{\"hwnd\":";
        entry += handle;
        entry += ",\"owner\":";
        entry += owner;
        entry += ",\"pid\":" + std::to_string(ProcessOf(window));
        entry += ",\"class\":" + JsonQuoted(Utf8(ClassOf(window)));
        entry += ",\"title\":" + JsonQuoted(Utf8(TextOf(window)));
        entry += std::string(",\"visible\":") + (IsWindowVisible(window) ? "true" : "false");
        entry += "}";
        entries.push_back(entry);
    }
    return JsonArray(entries);
}

} // namespace VantriDriver
