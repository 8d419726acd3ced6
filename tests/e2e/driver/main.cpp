// vantri_driver: drives the program's window from another process in the
// same Wine prefix, the way a user would, and reports what it sees as one
// JSON line per action. See docs/testing-under-wine.md for the actions.
#include <windows.h>
#include <commctrl.h>
#include <shellapi.h>

#include <cstdint>
#include <cwchar>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "tests/e2e/driver/box_style_hook.h"
#include "tests/e2e/driver/json_line.h"
#include "tests/e2e/driver/ui_probe.h"

namespace VantriDriver {
namespace {

constexpr int kStatusId = 1002;
constexpr int kProgressId = 1001;
constexpr int kButtonIds[] = {2, 3, 4, 5};
constexpr DWORD kPollMs = 10;

struct Session {
    Target target;
    DWORD timeoutMs = 10000;
    HWND main = nullptr;
};

using Args = std::vector<std::wstring>;

// Microseconds on the system's monotonic clock, which all processes of the
// prefix share: times from two driver runs can be subtracted.
std::int64_t NowUs()
{
    LARGE_INTEGER counter{};
    LARGE_INTEGER frequency{};
    QueryPerformanceCounter(&counter);
    QueryPerformanceFrequency(&frequency);
    return static_cast<std::int64_t>(counter.QuadPart / frequency.QuadPart * 1000000 +
                                     counter.QuadPart % frequency.QuadPart * 1000000 / frequency.QuadPart);
}

template <typename Done>
bool WaitFor(DWORD limitMs, Done done)
{
    const ULONGLONG deadline = GetTickCount64() + limitMs;
    for (;;) {
        if (done()) {
            return true;
        }
        if (GetTickCount64() >= deadline) {
            return false;
        }
        Sleep(kPollMs);
    }
}

std::wstring Unescape(const std::wstring& text)
{
    std::wstring out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == L'\\' && i + 1 < text.size()) {
            const wchar_t next = text[++i];
            out += next == L'n' ? L'\n' : next == L'r' ? L'\r' : next == L't' ? L'\t' : next;
        } else {
            out += text[i];
        }
    }
    return out;
}

std::string Handle(HWND window)
{
    return std::to_string(static_cast<unsigned long long>(reinterpret_cast<ULONG_PTR>(window)));
}

bool Fail(JsonLine& line, std::string_view error)
{
    line.Text("error", error);
    return line.Emit(false);
}

bool FailWithWindows(JsonLine& line, std::string_view error, DWORD pid)
{
    line.Raw("windows", DescribeWindows(pid));
    return Fail(line, error);
}

// The library notes each message box's style from inside the program; see
// box_style_hook.cpp. Without it boxes still read, only their icon is unknown.
bool MakeBoxesReadable(HWND main)
{
    if (GetPropW(main, kResidentProperty)) {
        return true;
    }
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring library = path;
    library.erase(library.find_last_of(L"\\/") + 1);
    library += kHookLibraryName;
    HMODULE module = LoadLibraryW(library.c_str());
    const auto proc = module ? reinterpret_cast<HOOKPROC>(reinterpret_cast<void*>(GetProcAddress(module, kHookProcName))) : nullptr;
    if (!proc) {
        return false;
    }
    HHOOK hook = SetWindowsHookExW(WH_CALLWNDPROC, proc, module, GetWindowThreadProcessId(main, nullptr));
    if (!hook) {
        return false;
    }
    DWORD_PTR ignored = 0;
    SendMessageTimeoutW(main, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, kSendTimeoutMs, &ignored);
    UnhookWindowsHookEx(hook);
    return GetPropW(main, kResidentProperty) != nullptr;
}

bool NeedMain(Session& session, JsonLine& line)
{
    if (session.main && IsWindow(session.main)) {
        return true;
    }
    const auto candidates = MainWindowCandidates(session.target);
    if (candidates.size() == 1) {
        session.main = candidates.front();
        return true;
    }
    FailWithWindows(line, candidates.empty() ? "main window not found" : "several main windows", session.target.pid);
    return false;
}

std::string ButtonStates(HWND main)
{
    std::string out = "{";
    for (const int id : kButtonIds) {
        if (out.size() > 1) {
            out += ',';
        }
        const HWND button = GetDlgItem(main, id);
        out += '"';
        out += std::to_string(id);
        out += "\":";
        out += !button ? "null" : IsWindowEnabled(button) ? "true" : "false";
    }
    return out + "}";
}

long long ProgressPosition(HWND main)
{
    DWORD_PTR position = 0;
    const HWND bar = GetDlgItem(main, kProgressId);
    if (!bar || !SendMessageTimeoutW(bar, PBM_GETPOS, 0, 0, SMTO_ABORTIFHUNG, kSendTimeoutMs, &position)) {
        return -1;
    }
    return static_cast<long long>(position);
}

bool ProgressVisible(HWND main)
{
    const HWND bar = GetDlgItem(main, kProgressId);
    return bar && IsWindowVisible(bar);
}

std::wstring StatusText(HWND main)
{
    const HWND status = GetDlgItem(main, kStatusId);
    return status ? TextOf(status) : std::wstring{};
}

void AddBox(JsonLine& line, const BoxReport& box)
{
    std::vector<std::string> buttons;
    for (const auto& name : box.buttons) {
        buttons.push_back(JsonQuoted(name));
    }
    line.Text("caption", box.caption)
        .Text("text", box.text)
        .Raw("buttons", JsonArray(buttons))
        .Text("icon", box.icon)
        .Text("kind", box.kind)
        .Number("style", box.style);
}

// ---- actions ---------------------------------------------------------------

bool WaitMain(Session& session, const Args&)
{
    JsonLine line("wait-main");
    std::vector<HWND> candidates;
    const bool single = WaitFor(session.timeoutMs, [&] {
        candidates = MainWindowCandidates(session.target);
        return candidates.size() == 1 && IsWindowVisible(candidates.front());
    });
    if (!single) {
        return FailWithWindows(line, candidates.size() > 1 ? "several main windows" : "main window not found",
                               session.target.pid);
    }
    session.main = candidates.front();
    const DWORD pid = ProcessOf(session.main);
    line.Number("pid", pid)
        .Text("image", ImageNameOf(pid))
        .Text("hwnd", Handle(session.main))
        .Text("title", TextOf(session.main))
        .Flag("hook", MakeBoxesReadable(session.main));
    return line.Emit(true);
}

bool State(Session& session, const Args&)
{
    JsonLine line("state");
    if (!NeedMain(session, line)) {
        return false;
    }
    line.Text("title", TextOf(session.main))
        .Text("status", StatusText(session.main))
        .Number("progress", ProgressPosition(session.main))
        .Flag("progress_visible", ProgressVisible(session.main))
        .Raw("buttons", ButtonStates(session.main))
        .Flag("window_enabled", IsWindowEnabled(session.main))
        .Number("boxes", static_cast<std::int64_t>(MessageBoxesOf(session.main).size()));
    return line.Emit(true);
}

bool Click(Session& session, const Args& args)
{
    JsonLine line("click");
    const int id = std::stoi(args.at(0));
    line.Number("id", id);
    if (!NeedMain(session, line)) {
        return false;
    }
    const HWND button = GetDlgItem(session.main, id);
    if (!button) {
        return Fail(line, "no such control");
    }
    line.Text("label", TextOf(button));
    // A posted WM_COMMAND is handled even for a disabled button, which no
    // user could press: report it instead of pressing it.
    if (!IsWindowEnabled(button)) {
        return Fail(line, "disabled");
    }
    if (!IsWindowEnabled(session.main)) {
        return Fail(line, "window disabled");
    }
    // Posted, not sent: the click may open a modal box, and a send would not
    // return until somebody answered it.
    PostMessageW(session.main, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(button));
    return line.Emit(true);
}

bool Command(Session& session, const Args& args)
{
    JsonLine line("command");
    const int id = std::stoi(args.at(0));
    const int code = std::stoi(args.at(1));
    line.Number("id", id).Number("code", code);
    if (!NeedMain(session, line)) {
        return false;
    }
    PostMessageW(session.main, WM_COMMAND, MAKEWPARAM(id, code), reinterpret_cast<LPARAM>(GetDlgItem(session.main, id)));
    return line.Emit(true);
}

bool Box(Session& session, const Args& args)
{
    JsonLine line("box");
    const std::wstring answer = args.at(0);
    if (!NeedMain(session, line)) {
        return false;
    }
    std::vector<HWND> boxes;
    const bool seen = WaitFor(session.timeoutMs, [&] {
        boxes = MessageBoxesOf(session.main);
        return !boxes.empty() || !IsWindow(session.main);
    });
    if (!seen || boxes.empty()) {
        return FailWithWindows(line, seen ? "main window gone without a message box" : "no message box",
                               ProcessOf(session.main));
    }
    line.Number("seen_us", NowUs());
    // Let the box finish its initialisation before reading it.
    Sleep(50);
    const HWND box = boxes.front();
    AddBox(line, ReadBox(box));
    line.Number("open_boxes", static_cast<std::int64_t>(boxes.size()));
    if (answer == L"leave") {
        return line.Emit(true);
    }
    static const std::map<std::wstring, int> kAnswers = {{L"ok", IDOK}, {L"yes", IDYES}, {L"no", IDNO},
                                                         {L"cancel", IDCANCEL}};
    const auto chosen = kAnswers.find(answer);
    if (chosen == kAnswers.end()) {
        return Fail(line, "unknown answer");
    }
    line.Text("answer", answer);
    const HWND button = GetDlgItem(box, chosen->second);
    if (!button || !IsWindowVisible(button)) {
        return Fail(line, "the box has no such button");
    }
    PostMessageW(box, WM_COMMAND, MAKEWPARAM(chosen->second, BN_CLICKED), reinterpret_cast<LPARAM>(button));
    line.Number("answered_us", NowUs());
    if (!WaitFor(session.timeoutMs, [&] { return !IsWindow(box) || !IsWindowVisible(box); })) {
        return Fail(line, "the box stayed open after the answer");
    }
    return line.Emit(true);
}

bool NoBox(Session& session, const Args& args)
{
    JsonLine line("no-box");
    const DWORD ms = static_cast<DWORD>(std::stoul(args.at(0)));
    if (!NeedMain(session, line)) {
        return false;
    }
    std::vector<HWND> boxes;
    WaitFor(ms, [&] {
        boxes = MessageBoxesOf(session.main);
        return !boxes.empty() || !FileDialogsOf(session.main).empty() || !IsWindow(session.main);
    });
    if (!IsWindow(session.main)) {
        return Fail(line, "main window gone");
    }
    if (!boxes.empty()) {
        AddBox(line, ReadBox(boxes.front()));
        return Fail(line, "a message box appeared");
    }
    if (!FileDialogsOf(session.main).empty()) {
        return Fail(line, "a file dialog appeared");
    }
    return line.Emit(true);
}

bool Key(Session& session, const Args& args)
{
    JsonLine line("key");
    static const std::map<std::wstring, UINT> kKeys = {
        {L"escape", VK_ESCAPE}, {L"enter", VK_RETURN}, {L"tab", VK_TAB}, {L"space", VK_SPACE}};
    const auto key = kKeys.find(args.at(0));
    line.Text("key", args.at(0));
    if (key == kKeys.end()) {
        return Fail(line, "unknown key");
    }
    if (!NeedMain(session, line)) {
        return false;
    }
    GUITHREADINFO info{};
    info.cbSize = sizeof info;
    GetGUIThreadInfo(GetWindowThreadProcessId(session.main, nullptr), &info);
    const HWND target = info.hwndFocus ? info.hwndFocus : session.main;
    line.Text("target_class", ClassOf(target)).Number("target_id", target == session.main ? 0 : GetDlgCtrlID(target));
    // Key down and up only: the program's own loop translates the key into
    // its character message, as it would for a real key.
    const UINT scan = MapVirtualKeyW(key->second, MAPVK_VK_TO_VSC);
    const LPARAM down = 1 | (static_cast<LPARAM>(scan) << 16);
    const LPARAM up = down | (LPARAM{1} << 30) | (LPARAM{1} << 31);
    PostMessageW(target, WM_KEYDOWN, key->second, down);
    PostMessageW(target, WM_KEYUP, key->second, up);
    return line.Emit(true);
}

bool Close(Session& session, const Args&)
{
    JsonLine line("close");
    if (!NeedMain(session, line)) {
        return false;
    }
    PostMessageW(session.main, WM_CLOSE, 0, 0);
    return line.Emit(true);
}

bool SysClose(Session& session, const Args&)
{
    JsonLine line("sysclose");
    if (!NeedMain(session, line)) {
        return false;
    }
    // What the caption's close box and Alt+F4 send.
    PostMessageW(session.main, WM_SYSCOMMAND, SC_CLOSE, 0);
    return line.Emit(true);
}

bool FileDialog(Session& session, const Args& args)
{
    JsonLine line("file-dialog");
    const std::wstring& path = args.at(0);
    if (!NeedMain(session, line)) {
        return false;
    }
    std::vector<HWND> dialogs;
    if (!WaitFor(session.timeoutMs, [&] {
            dialogs = FileDialogsOf(session.main);
            return !dialogs.empty();
        })) {
        return FailWithWindows(line, "no file dialog", ProcessOf(session.main));
    }
    Sleep(50);
    const HWND dialog = dialogs.front();
    const HWND edit = FileNameEdit(dialog);
    line.Text("caption", TextOf(dialog)).Text("name_before", TextOf(edit));
    std::vector<std::string> filters;
    for (const auto& name : FileTypeNames(dialog)) {
        filters.push_back(JsonQuoted(Utf8(name)));
    }
    line.Raw("filters", JsonArray(filters));
    if (path == L"leave") {
        return line.Emit(true);
    }
    if (path == L"cancel") {
        PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
    } else {
        DWORD_PTR ignored = 0;
        // WM_SETTEXT's text is copied across by the system; a pointer in any
        // other message (CDM_SETCONTROLTEXT) would not be.
        SendMessageTimeoutW(edit, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(path.c_str()), SMTO_ABORTIFHUNG,
                            kSendTimeoutMs, &ignored);
        line.Text("name", TextOf(edit));
        PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    }
    line.Number("answered_us", NowUs());
    if (!WaitFor(session.timeoutMs, [&] { return !IsWindow(dialog) || !IsWindowVisible(dialog); })) {
        return FailWithWindows(line, "the file dialog stayed open", ProcessOf(session.main));
    }
    return line.Emit(true);
}

bool WaitStatus(Session& session, const Args& args)
{
    JsonLine line("wait-status");
    const std::wstring expected = Unescape(args.at(0));
    if (!NeedMain(session, line)) {
        return false;
    }
    std::wstring status;
    const bool matched = WaitFor(session.timeoutMs, [&] {
        status = StatusText(session.main);
        return status == expected || !IsWindow(session.main);
    });
    line.Text("status", status);
    return matched && status == expected ? line.Emit(true) : Fail(line, "status differs");
}

bool WaitProgress(Session& session, const Args& args)
{
    JsonLine line("wait-progress");
    const long long wanted = std::stoll(args.at(0));
    if (!NeedMain(session, line)) {
        return false;
    }
    long long position = -1;
    const bool reached = WaitFor(session.timeoutMs, [&] {
        position = ProgressPosition(session.main);
        return position >= wanted;
    });
    line.Number("progress", position).Flag("progress_visible", ProgressVisible(session.main));
    return reached ? line.Emit(true) : Fail(line, "progress not reached");
}

// Samples the window until a message box opens or the window goes: what the
// user saw while the work ran.
bool Watch(Session& session, const Args&)
{
    JsonLine line("watch");
    if (!NeedMain(session, line)) {
        return false;
    }
    std::vector<std::string> positions;
    std::vector<std::string> statuses;
    long long last = -2;
    std::wstring lastStatus = L"\x1";
    bool buttonsEverEnabled = false;
    bool barEverHidden = false;
    const bool ended = WaitFor(session.timeoutMs, [&] {
        if (!IsWindow(session.main)) {
            return true;
        }
        // Boxes first, then the sample: what the window showed when the box
        // opened is then always part of the report.
        const bool boxOpen = !MessageBoxesOf(session.main).empty();
        const long long position = ProgressPosition(session.main);
        if (position != last && position >= 0) {
            positions.push_back(std::to_string(position));
            last = position;
        }
        const std::wstring status = StatusText(session.main);
        if (status != lastStatus) {
            statuses.push_back(JsonQuoted(Utf8(status)));
            lastStatus = status;
        }
        for (const int id : kButtonIds) {
            const HWND button = GetDlgItem(session.main, id);
            buttonsEverEnabled = buttonsEverEnabled || (button && IsWindowEnabled(button));
        }
        barEverHidden = barEverHidden || !ProgressVisible(session.main);
        return boxOpen;
    });
    line.Number("ended_us", NowUs())
        .Raw("progress", JsonArray(positions))
        .Raw("statuses", JsonArray(statuses))
        .Flag("buttons_ever_enabled", buttonsEverEnabled)
        .Flag("progress_ever_hidden", barEverHidden)
        .Flag("window_gone", !IsWindow(session.main));
    return ended ? line.Emit(true) : Fail(line, "neither a message box nor the end came");
}

bool WaitGone(Session& session, const Args&)
{
    JsonLine line("wait-gone");
    if (!session.main) {
        const auto candidates = MainWindowCandidates(session.target);
        if (candidates.empty()) {
            return line.Emit(true);
        }
        session.main = candidates.front();
    }
    if (!WaitFor(session.timeoutMs, [&] { return !IsWindow(session.main); })) {
        return FailWithWindows(line, "main window still there", ProcessOf(session.main));
    }
    return line.Emit(true);
}

bool Pause(Session&, const Args& args)
{
    JsonLine line("sleep");
    Sleep(static_cast<DWORD>(std::stoul(args.at(0))));
    return line.Emit(true);
}

bool Timeout(Session& session, const Args& args)
{
    JsonLine line("timeout");
    session.timeoutMs = static_cast<DWORD>(std::stoul(args.at(0)));
    line.Number("ms", session.timeoutMs);
    return line.Emit(true);
}

// The question the system asks each top-level window before shutdown,
// log-off or a restart (LPARAM 0, or ENDSESSION_CLOSEAPP = 1 from the restart
// manager), sent as the system sends it; "may_end" is the window's answer.
bool QueryEndSession(Session& session, const Args& args)
{
    JsonLine line("query-end-session");
    const LPARAM reason = static_cast<LPARAM>(std::stoll(args.at(0)));
    if (!NeedMain(session, line)) {
        return false;
    }
    DWORD_PTR answer = 0;
    if (!SendMessageTimeoutW(session.main, WM_QUERYENDSESSION, 0, reason, SMTO_ABORTIFHUNG, 5000, &answer)) {
        return Fail(line, "no answer");
    }
    // After a yes the system always says how it ended; here the end is
    // called off, as when another program refuses it. Without this the
    // window would take the end as agreed and start no more writes.
    if (answer != 0) {
        DWORD_PTR ignored = 0;
        SendMessageTimeoutW(session.main, WM_ENDSESSION, FALSE, reason, SMTO_ABORTIFHUNG, 5000, &ignored);
    }
    return line.Flag("may_end", answer != 0).Emit(true);
}

// Any message, unchecked, as any program on the desktop may post one.
bool Post(Session& session, const Args& args)
{
    JsonLine line("post");
    const UINT message = static_cast<UINT>(std::stoul(args.at(0)));
    const WPARAM wParam = static_cast<WPARAM>(std::stoull(args.at(1)));
    const LPARAM lParam = static_cast<LPARAM>(std::stoll(args.at(2)));
    line.Number("message", message);
    if (!NeedMain(session, line)) {
        return false;
    }
    return PostMessageW(session.main, message, wParam, lParam) ? line.Emit(true) : Fail(line, "post failed");
}

std::string RectJson(HWND window)
{
    RECT rect{};
    GetWindowRect(window, &rect);
    return JsonArray({std::to_string(rect.left), std::to_string(rect.top), std::to_string(rect.right),
                      std::to_string(rect.bottom)});
}

bool Move(Session& session, const Args& args)
{
    JsonLine line("move");
    const int x = std::stoi(args.at(0));
    const int y = std::stoi(args.at(1));
    if (!NeedMain(session, line)) {
        return false;
    }
    if (!SetWindowPos(session.main, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE)) {
        return Fail(line, "SetWindowPos failed");
    }
    line.Raw("rect", RectJson(session.main));
    return line.Emit(true);
}

// What the dialog manager keeps of the window: its default push button, as
// DM_GETDEFID answers and as the buttons' own styles show it, and its place.
bool Dialog(Session& session, const Args&)
{
    JsonLine line("dialog");
    if (!NeedMain(session, line)) {
        return false;
    }
    DWORD_PTR defId = 0;
    const bool answered =
        SendMessageTimeoutW(session.main, DM_GETDEFID, 0, 0, SMTO_ABORTIFHUNG, kSendTimeoutMs, &defId) != 0;
    std::vector<std::string> styled;
    EnumChildWindows(
        session.main,
        [](HWND child, LPARAM param) -> BOOL {
            if (ClassOf(child) == L"Button" &&
                (GetWindowLongW(child, GWL_STYLE) & BS_TYPEMASK) == BS_DEFPUSHBUTTON) {
                reinterpret_cast<std::vector<std::string>*>(param)->push_back(std::to_string(GetDlgCtrlID(child)));
            }
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&styled));
    line.Raw("default_id", answered && HIWORD(defId) == DC_HASDEFID ? std::to_string(LOWORD(defId)) : "null")
        .Raw("default_styled", JsonArray(styled))
        .Raw("rect", RectJson(session.main));
    return line.Emit(true);
}

bool Windows(Session& session, const Args&)
{
    JsonLine line("windows");
    line.Raw("windows", DescribeWindows(session.main ? ProcessOf(session.main) : session.target.pid));
    return line.Emit(true);
}

struct Action {
    std::size_t arguments;
    std::function<bool(Session&, const Args&)> run;
};

const std::map<std::wstring, Action>& Actions()
{
    static const std::map<std::wstring, Action> actions = {
        {L"wait-main", {0, WaitMain}},     {L"state", {0, State}},         {L"click", {1, Click}},
        {L"command", {2, Command}},        {L"box", {1, Box}},             {L"no-box", {1, NoBox}},
        {L"key", {1, Key}},                {L"close", {0, Close}},         {L"sysclose", {0, SysClose}},
        {L"file-dialog", {1, FileDialog}}, {L"wait-status", {1, WaitStatus}}, {L"wait-progress", {1, WaitProgress}},
        {L"watch", {0, Watch}},            {L"wait-gone", {0, WaitGone}},  {L"sleep", {1, Pause}},
        {L"timeout", {1, Timeout}},        {L"windows", {0, Windows}},
        {L"post", {3, Post}},              {L"move", {2, Move}},           {L"dialog", {0, Dialog}},
        {L"query-end-session", {1, QueryEndSession}},
    };
    return actions;
}

int Usage(const std::string& why)
{
    JsonLine line("usage");
    line.Text("error", why)
        .Text("usage", "vantri_driver [--title T | --title-prefix T] [--image NAME] [--pid N] [--timeout MS] "
                       "ACTION [ARGS] ...; actions: wait-main, state, click ID, command ID CODE, "
                       "box ok|yes|no|cancel|leave, no-box MS, key escape|enter|tab|space, close, sysclose, "
                       "file-dialog PATH|cancel|leave, wait-status TEXT, wait-progress N, watch, wait-gone, sleep MS, "
                       "timeout MS, windows, post MSG WPARAM LPARAM, move X Y, dialog, query-end-session LPARAM");
    line.Emit(false);
    return 2;
}

int Run(const Args& argv)
{
    Session session;
    std::size_t i = 0;
    try {
        for (; i < argv.size() && argv[i].starts_with(L"--"); i += 2) {
            if (i + 1 >= argv.size()) {
                return Usage("option without a value");
            }
            const std::wstring& option = argv[i];
            const std::wstring& value = argv[i + 1];
            if (option == L"--title") {
                session.target.title = value;
            } else if (option == L"--title-prefix") {
                session.target.title = value;
                session.target.titleIsPrefix = true;
            } else if (option == L"--image") {
                session.target.image = value;
            } else if (option == L"--pid") {
                session.target.pid = static_cast<DWORD>(std::stoul(value));
            } else if (option == L"--timeout") {
                session.timeoutMs = static_cast<DWORD>(std::stoul(value));
            } else {
                return Usage("unknown option " + Utf8(option));
            }
        }
        if (i == argv.size()) {
            return Usage("no action");
        }
        // Check the whole script before running any of it.
        for (std::size_t j = i; j < argv.size();) {
            const auto action = Actions().find(argv[j]);
            if (action == Actions().end()) {
                return Usage("unknown action " + Utf8(argv[j]));
            }
            j += 1 + action->second.arguments;
            if (j > argv.size()) {
                return Usage("missing arguments for " + Utf8(action->first));
            }
        }
        while (i < argv.size()) {
            const Action& action = Actions().at(argv[i]);
            const Args args(argv.begin() + static_cast<std::ptrdiff_t>(i + 1),
                            argv.begin() + static_cast<std::ptrdiff_t>(i + 1 + action.arguments));
            if (!action.run(session, args)) {
                return 1;
            }
            i += 1 + action.arguments;
        }
    } catch (const std::exception&) {
        return Usage("bad number near argument " + std::to_string(i + 1));
    }
    return 0;
}

} // namespace
} // namespace VantriDriver

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int)
{
    int count = 0;
    LPWSTR* raw = CommandLineToArgvW(GetCommandLineW(), &count);
    VantriDriver::Args argv;
    for (int n = 1; n < count; ++n) {
        argv.emplace_back(raw[n]);
    }
    LocalFree(raw);
    return VantriDriver::Run(argv);
}
