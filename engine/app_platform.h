// The narrow view of the front end and the system that the workflows have:
// the window program binds it to the real dialog, message boxes and thread
// pool (app/platform_win.cpp), the console program to its console and a
// hidden window (cli/), and the native tests to a scripted window.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "base/command_frame.h"

namespace Vantri {

// How a run ended, as a script would act on it. Every box that ends a run,
// and every question or file choice that was not given, says which; the
// window shows only the box, the console program makes it its exit code.
enum class RunOutcome {
    Done,          // what was asked is done, or there was nothing to do
    AdapterFailed, // an adapter could not be read or written
    NoAdapter,
    NotConfirmed,  // no Yes to the question, or no file chosen
    Refused,       // the version or config-format rules said no
    FileError,     // the backup file could not be made, written, opened or read
    DownloadError,
    InvalidBackup,
};

// A window as the system names it (an HWND on Windows).
using WindowRef = void*;

enum class BoxKind { Error, Information, Question };
// None: the box could not be shown, so the user has answered nothing.
enum class BoxAnswer { None, Ok, Yes, No };

// A file as the system names it (a HANDLE on Windows); null for none.
using FileRef = void*;

// System error codes (winerror.h) that the portable file decisions tell
// apart, kept here so the core has no <windows.h>.
inline constexpr std::uint32_t kErrorFileNotFound = 2;    // ERROR_FILE_NOT_FOUND
inline constexpr std::uint32_t kErrorPathNotFound = 3;    // ERROR_PATH_NOT_FOUND
inline constexpr std::uint32_t kErrorAccessDenied = 5;    // ERROR_ACCESS_DENIED
inline constexpr std::uint32_t kErrorFileExists = 80;     // ERROR_FILE_EXISTS
inline constexpr std::uint32_t kErrorAlreadyExists = 183; // ERROR_ALREADY_EXISTS

// File attributes (winnt.h) as the portable code reads them.
inline constexpr std::uint32_t kFileAttributeReadOnly = 0x01;  // FILE_ATTRIBUTE_READONLY
inline constexpr std::uint32_t kFileAttributeDirectory = 0x10; // FILE_ATTRIBUTE_DIRECTORY
inline constexpr std::uint32_t kNoFileAttributes = 0xFFFFFFFF; // INVALID_FILE_ATTRIBUTES: nothing of that name

// What the system is asked to hold off while an adapter is at work: sleep
// during any device operation, and the end of the session (shutdown, log-off,
// restart) while one is written.
enum class SystemHold { None, Sleep, SleepAndSessionEnd };

// Runs on a pool thread; the context is what was given when it was queued.
// The result is ignored, as the pool ignores it.
using WorkItemProc = std::uint32_t (*)(std::uintptr_t context);

class AppPlatform {
public:
    virtual WindowRef MainWindow() = 0;

    // Message boxes are owned by the main window. Texts are null-terminated.
    virtual BoxAnswer ShowBox(BoxKind kind, const char16_t* caption, const char16_t* text) = 0;

    // What a front end without the window's controls shows instead; the
    // window needs none of them. The outcome comes just before the box that
    // says it, or alone where no box follows (a No, a cancelled dialog).
    virtual void NoteOutcome(RunOutcome) {}
    // A worker's whole percent on one adapter (the window's bar shows the
    // furthest of them).
    virtual void AdapterProgress(std::uint32_t /*deviceIndex*/, std::uint32_t /*percent*/) {}
    // One adapter's end: ok, or the failing record and the command it failed
    // at (0 when none was sent, as for a work item the system refused).
    virtual void AdapterResult(std::uint32_t /*deviceIndex*/, bool /*ok*/, const ResultRecord& /*result*/,
                               std::uint8_t /*command*/)
    {
    }

    virtual void EnableControl(int id, bool enable) = 0;
    virtual void ShowControl(int id) = 0;
    virtual void SetControlText(int id, const char16_t* text) = 0;
    virtual std::uint32_t ProgressPosition() = 0;
    virtual void SetProgressPosition(std::uint32_t position) = 0;

    virtual void DestroyWindow(WindowRef window) = 0;
    virtual void PostQuit(int exitCode) = 0;

    // The value a message handled by the dialog procedure answers with, for
    // the messages whose answer is more than "handled".
    virtual void SetMessageResult(WindowRef window, std::intptr_t result) = 0;

    // Replaces what the system is asked to hold off; main thread.
    virtual void HoldOffSystem(SystemHold hold) = 0;

    // Posts to the main window; false once the window is gone. Callable from
    // any thread, never blocks.
    virtual bool PostToMainWindow(std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam) = 0;

    // Posts to `window`, which a worker was handed when it was queued; false
    // once that window is gone.
    virtual bool PostToWindow(WindowRef window, std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam)
    {
        return window != nullptr && window == MainWindow() && PostToMainWindow(message, wParam, lParam);
    }

    // Queues on the system thread pool; false when the system refuses the
    // work item.
    virtual bool QueueWorkItem(WorkItemProc proc, std::uintptr_t context) = 0;

    // The diagnostics log's file and clocks; main thread only. OpenLog opens
    // it for appending, making its folder and the file as needed; `size`
    // receives what it already holds.
    virtual bool OpenLog(std::uint64_t& size) = 0;
    virtual bool AppendLog(std::string_view bytes) = 0;
    // The full log becomes the .old one (replacing it) and a new one begins.
    virtual bool StartNewLog() = 0;
    // Local time, "YYYY-MM-DD hh:mm:ss.mmm".
    virtual std::string LogTime() = 0;
    // Milliseconds on a clock that only moves forward.
    virtual std::uint64_t NowMs() = 0;

    // The carried firmware image as it lies in the program's resources.
    virtual std::span<const std::uint8_t> FirmwareResource() = 0;

    // The system's save and open dialogs for backup files, owned by the main
    // window: the two backup filter pairs, `title`, no flags. `fileName`
    // holds the proposed name (empty for none) and receives the chosen full
    // path, null-terminated. False when cancelled or when the dialog failed.
    virtual bool ShowSaveDialog(const char16_t* title, std::span<char16_t> fileName) = 0;
    virtual bool ShowOpenDialog(const char16_t* title, std::span<char16_t> fileName) = 0;

    // Files, one primitive call each; the decisions are the portable
    // code's (app/file_store.h). Paths are null-terminated. A failing call
    // gives its system error code where it has one.
    //
    // The attributes of what `path` names, kNoFileAttributes when nothing.
    virtual std::uint32_t PathAttributes(const char16_t* path) = 0;
    // A new file for writing, only if none of that name exists, not shared,
    // normal attributes. Null on failure, with the error.
    virtual FileRef CreateNewFile(const char16_t* path, std::uint32_t& error) = 0;
    // An existing file for reading, not shared. Null on failure.
    virtual FileRef OpenFileToRead(const char16_t* path) = 0;
    // One write call; `written` is what the system reports.
    virtual bool WriteToFile(FileRef file, std::span<const std::uint8_t> bytes, std::uint32_t& written) = 0;
    // One read call of up to bytes.size() from the current position.
    virtual bool ReadFromFile(FileRef file, std::span<std::uint8_t> bytes, std::uint32_t& read) = 0;
    virtual bool FlushFile(FileRef file) = 0;
    virtual bool CloseFile(FileRef file) = 0;
    // Renames `from` to `to` in one step, replacing a file of that name, and
    // returns only when the move is on the disk.
    virtual bool MoveFileOver(const char16_t* from, const char16_t* to) = 0;
    virtual bool RemoveFile(const char16_t* path) = 0;
    // The system's code of the last file call above that failed, taken
    // inside that call right after the system's own (0 when it had none).
    virtual std::uint32_t LastFileError() = 0;

protected:
    ~AppPlatform() = default;
};

// The platform the workflows use. Bound once at start-up, before the window
// exists and before any worker is queued, so workers read a settled value.
AppPlatform& Platform();
void BindPlatform(AppPlatform& platform);

} // namespace Vantri
