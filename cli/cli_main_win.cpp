// The console program's entry point: the command line read whole, then the
// engine's run on the main thread with a hidden window of its own, which
// takes the workers' messages and the system's question about the end of
// the session exactly as the window program's dialog does.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <atomic>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/wide_text_win.h"
#include "cli/command_line.h"
#include "cli/console_front_end.h"
#include "cli/console_run.h"
#include "cli/help_text.h"
#include "cli/reporter.h"
#include "cli/utf8_text.h"
#include "engine/main_window.h"
#include "engine/running_workers.h"
#include "engine/system_platform_win.h"

namespace Vantri::Cli {

namespace {

constexpr wchar_t kRunWindowClass[] = L"Vantri4FlashCliRun";

HWND s_runWindow = nullptr;
ConsoleFrontEnd* s_frontEnd = nullptr;

bool IsConsole(HANDLE handle)
{
    DWORD mode = 0;
    return handle != nullptr && handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode) != FALSE;
}

// UTF-8 as it is: a console is written in UTF-16, which needs no code page;
// a file or a pipe gets the bytes.
void Write(DWORD which, std::string_view utf8)
{
    const HANDLE out = GetStdHandle(which);
    if (out == nullptr || out == INVALID_HANDLE_VALUE || utf8.empty())
        return;
    if (IsConsole(out)) {
        const int length = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
        std::wstring wide(static_cast<std::size_t>(length > 0 ? length : 0), L'\0');
        if (length > 0 &&
            MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(), length) > 0) {
            DWORD written = 0;
            WriteConsoleW(out, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
        }
        return;
    }
    for (std::size_t done = 0; done < utf8.size();) {
        DWORD written = 0;
        if (!WriteFile(out, utf8.data() + done, static_cast<DWORD>(utf8.size() - done), &written, nullptr) ||
            written == 0)
            return;
        done += written;
    }
}

// The question on standard error, so that standard output keeps only the
// report; the answer is one line, yes only for "y" or "yes".
bool AskOnConsole(std::u16string_view question)
{
    Write(STD_ERROR_HANDLE, Joined({Utf8(question), "\n[y/N] "}));
    wchar_t line[64];
    DWORD read = 0;
    if (!ReadConsoleW(GetStdHandle(STD_INPUT_HANDLE), line, static_cast<DWORD>(std::size(line) - 1), &read, nullptr))
        return false;
    std::wstring answer(line, read);
    while (!answer.empty() && (answer.back() == L'\n' || answer.back() == L'\r' || answer.back() == L' '))
        answer.pop_back();
    for (wchar_t& c : answer)
        c = c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c - L'A' + L'a') : c;
    return answer == L"y" || answer == L"yes";
}

// The run's window has no controls: the front end shows what the window's
// would, and the file dialogs give the command line's file.
class ConsolePlatform final : public SystemPlatformWin {
public:
    WindowRef MainWindow() override { return s_runWindow; }

    BoxAnswer ShowBox(BoxKind kind, const char16_t* caption, const char16_t* text) override
    {
        return s_frontEnd ? s_frontEnd->Box(kind, caption, text) : BoxAnswer::None;
    }

    void NoteOutcome(RunOutcome outcome) override
    {
        if (s_frontEnd)
            s_frontEnd->Note(outcome);
    }

    void AdapterProgress(std::uint32_t deviceIndex, std::uint32_t percent) override
    {
        if (s_frontEnd)
            s_frontEnd->Progress(deviceIndex, percent);
    }

    void AdapterResult(std::uint32_t deviceIndex, bool ok, const ResultRecord& result, std::uint8_t command) override
    {
        if (s_frontEnd)
            s_frontEnd->Result(deviceIndex, ok, result, command);
    }

    void EnableControl(int, bool) override {}
    void ShowControl(int) override {}
    void SetControlText(int, const char16_t*) override {}
    std::uint32_t ProgressPosition() override { return progress_; }
    void SetProgressPosition(std::uint32_t position) override { progress_ = position; }

    void SetMessageResult(WindowRef, std::intptr_t result) override { messageResult_ = result; }
    LRESULT TakeMessageResult() { return static_cast<LRESULT>(std::exchange(messageResult_, 0)); }

    bool ShowSaveDialog(const char16_t*, std::span<char16_t> fileName) override
    {
        return s_frontEnd && s_frontEnd->ChooseFile(true, fileName);
    }

    bool ShowOpenDialog(const char16_t*, std::span<char16_t> fileName) override
    {
        return s_frontEnd && s_frontEnd->ChooseFile(false, fileName);
    }

private:
    std::uint32_t progress_ = 0;
    std::intptr_t messageResult_ = 0;
};

ConsolePlatform s_platform;

LRESULT CALLBACK RunWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (DispatchMainMessage(window, message, wParam, lParam))
        return s_platform.TakeMessageResult();
    return DefWindowProcW(window, message, wParam, lParam);
}

// Hidden, and top-level: only a top-level window is asked whether the
// session may end, and only one can give the reason for refusing.
HWND CreateRunWindow()
{
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = RunWindowProc;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = kRunWindowClass;
    if (!RegisterClassW(&windowClass))
        return nullptr;
    return CreateWindowExW(0, kRunWindowClass, L"Vantri4 Flash", WS_OVERLAPPED, 0, 0, 0, 0, nullptr, nullptr,
                           GetModuleHandleW(nullptr), nullptr);
}

std::atomic<bool> s_heldNoted{false};

// Ctrl+C, Ctrl+Break, or the console closing, on a thread of the system's.
// With nothing at an adapter the program ends at once, with the code the
// system's own handler gives (never 0, which a script would take for
// done: Wine's own handler ends with 0), and no worker starts after this.
// While one is at work it finishes: a key press is ignored, and a closing
// console (which ends the process once this returns) waits for the workers
// first.
BOOL WINAPI OnConsoleControl(DWORD event)
{
    if (StopIfIdle())
        ExitProcess(static_cast<UINT>(STATUS_CONTROL_C_EXIT));
    if (!s_heldNoted.exchange(true))
        Write(STD_ERROR_HANDLE, Joined({kProgramName, ": a Vantri4 is being written and must not be cut off; the "
                                                      "program ends once it is done.\n"}));
    if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT)
        return TRUE;
    WaitForRunningWorkers();
    return TRUE;
}

std::u16string FullPath(const std::u16string& file)
{
    if (file.empty())
        return file;
    const DWORD length = GetFullPathNameW(Wide(file.c_str()), 0, nullptr, nullptr);
    if (length == 0)
        return file;
    std::wstring full(length, L'\0');
    const DWORD written = GetFullPathNameW(Wide(file.c_str()), length, full.data(), nullptr);
    if (written == 0 || written >= length)
        return file;
    full.resize(written);
    return std::u16string(full.begin(), full.end());
}

void RunMessageLoop()
{
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
}

int Run(std::span<const std::u16string_view> arguments)
{
    const ParsedCommandLine parsed = ParseCommandLine(arguments);
    if (!parsed.ok()) {
        Write(STD_ERROR_HANDLE, UsageErrorText(parsed.error));
        return static_cast<int>(ExitCode::Usage);
    }
    const CommandLine& line = parsed.line;
    if (line.command == Command::Help) {
        Write(STD_OUTPUT_HANDLE, HelpText());
        return static_cast<int>(ExitCode::Done);
    }
    if (line.command == Command::Version) {
        Write(STD_OUTPUT_HANDLE, VersionText());
        return static_cast<int>(ExitCode::Done);
    }

    BindPlatform(s_platform);
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
    Reporter reporter(ChooseReportMode(line, IsConsole(GetStdHandle(STD_OUTPUT_HANDLE))),
                      [](std::string_view utf8) { Write(STD_OUTPUT_HANDLE, utf8); });
    const Answerer answerer =
        line.yes ? Answerer::Yes : IsConsole(GetStdHandle(STD_INPUT_HANDLE)) ? Answerer::Console : Answerer::Nobody;
    ConsoleFrontEnd frontEnd(reporter, answerer, AskOnConsole, FullPath(line.file));
    s_frontEnd = &frontEnd;

    s_runWindow = CreateRunWindow();
    if (!s_runWindow) {
        frontEnd.End(RunOutcome::AdapterFailed, kNoOutcomeText);
        return static_cast<int>(frontEnd.Finish());
    }
    LogProgramStart(kProgramName);
    const WaitClock clock{[] { return static_cast<std::uint64_t>(GetTickCount64()); },
                          [](std::uint32_t ms) { Sleep(ms); }};
    StartCommand(line, CommandLineOrigin(arguments), reporter, frontEnd, clock);
    RunMessageLoop();
    // Workers still writing when the run's window went (a failure with
    // several adapters) finish their adapter first; their results come
    // before the outcome.
    WaitForRunningWorkers();
    ReleaseHoldWhenIdle();
    return static_cast<int>(frontEnd.Finish());
}

} // namespace

} // namespace Vantri::Cli

int wmain(int argc, wchar_t** argv)
{
    std::vector<std::u16string_view> arguments;
    for (int i = 1; i < argc; ++i)
        arguments.emplace_back(reinterpret_cast<const char16_t*>(argv[i]));
    return Vantri::Cli::Run(arguments);
}
