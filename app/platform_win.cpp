#include <new>

#include "app/program_win.h"

#include <commctrl.h>
#include <commdlg.h>
#include <shlobj.h>

#include <cstddef>
#include <cstdio>
#include <string>

#include "engine/message_texts.h"
#include "base/wide_text_win.h"
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

// The power request that keeps the PC awake while an adapter is worked on:
// made at the first hold, kept for the run, and closed at exit. The system
// alone lapses on battery on Modern Standby laptops, so the display is kept
// required with it. Each set is matched by one clear: the system counts them.
class AwakeRequest {
public:
    AwakeRequest() = default;
    AwakeRequest(const AwakeRequest&) = delete;
    AwakeRequest& operator=(const AwakeRequest&) = delete;
    ~AwakeRequest()
    {
        Keep(false);
        if (request_)
            CloseHandle(request_);
    }

    void Keep(bool awake)
    {
        if (awake && !request_) {
            REASON_CONTEXT reason{};
            reason.Version = POWER_REQUEST_CONTEXT_VERSION;
            reason.Flags = POWER_REQUEST_CONTEXT_SIMPLE_STRING;
            reason.Reason.SimpleReasonString = const_cast<LPWSTR>(Wide(kStayAwakeReason));
            request_ = PowerCreateRequest(&reason);
            if (request_ == INVALID_HANDLE_VALUE)
                request_ = nullptr;
        }
        if (!request_)
            return;
        Set(PowerRequestSystemRequired, awake, systemSet_);
        Set(PowerRequestDisplayRequired, awake, displaySet_);
    }

private:
    // Only a set that succeeded is cleared.
    void Set(POWER_REQUEST_TYPE type, bool awake, bool& isSet)
    {
        if (awake && !isSet)
            isSet = PowerSetRequest(request_, type) != FALSE;
        else if (!awake && isSet)
            isSet = PowerClearRequest(request_, type) == FALSE;
    }

    HANDLE request_ = nullptr;
    bool systemSet_ = false;
    bool displaySet_ = false;
};

FileRef FileOrNull(HANDLE handle)
{
    return handle == INVALID_HANDLE_VALUE ? nullptr : handle;
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

    // A dialog procedure answers "handled"; the message's own result goes
    // through the window's DWLP_MSGRESULT.
    void SetMessageResult(WindowRef window, std::intptr_t result) override
    {
        SetWindowLongPtrW(static_cast<HWND>(window), DWLP_MSGRESULT, result);
    }

    // Both are requests the system may decline; the refusal itself is the
    // window's answer to WM_QUERYENDSESSION, which needs neither.
    void HoldOffSystem(SystemHold hold) override
    {
        const bool refuseSessionEnd = hold == SystemHold::SleepAndSessionEnd;
        if (refuseSessionEnd != sessionReasonShown_) {
            sessionReasonShown_ = refuseSessionEnd;
            if (refuseSessionEnd)
                ShutdownBlockReasonCreate(g_mainWindow, Wide(kSessionEndReason));
            else
                ShutdownBlockReasonDestroy(g_mainWindow);
        }
        awake_.Keep(hold != SystemHold::None);
    }

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

    // %LOCALAPPDATA%\Vantri4 Flash\Vantri4Flash.log, found through the shell
    // rather than the environment, which the program never reads.
    bool OpenLog(std::uint64_t& size) override
    {
        wchar_t folder[MAX_PATH];
        if (SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA | CSIDL_FLAG_CREATE, nullptr, SHGFP_TYPE_CURRENT, folder) !=
            S_OK)
            return false;
        logPath_ = std::wstring(folder) + L"\\Vantri4 Flash";
        CreateDirectoryW(logPath_.c_str(), nullptr); // there already, or the open below fails
        logPath_ += L"\\Vantri4Flash.log";
        if (!OpenLogFile(OPEN_ALWAYS))
            return false;
        LARGE_INTEGER bytes{};
        if (!GetFileSizeEx(log_, &bytes)) {
            // A log whose size is unknown could grow without bound: none.
            CloseHandle(log_);
            log_ = INVALID_HANDLE_VALUE;
            return false;
        }
        size = static_cast<std::uint64_t>(bytes.QuadPart);
        return true;
    }

    bool AppendLog(std::string_view bytes) override
    {
        DWORD written = 0;
        return ::WriteFile(log_, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
               written == bytes.size();
    }

    // Where the full log cannot become the .old one, it is begun again in
    // place: the log stays bounded either way.
    bool StartNewLog() override
    {
        CloseHandle(log_);
        log_ = INVALID_HANDLE_VALUE;
        const std::wstring old = logPath_ + L".old";
        const bool moved = MoveFileExW(logPath_.c_str(), old.c_str(), MOVEFILE_REPLACE_EXISTING) != FALSE;
        return OpenLogFile(moved ? OPEN_ALWAYS : CREATE_ALWAYS);
    }

    std::string LogTime() override
    {
        SYSTEMTIME now;
        GetLocalTime(&now);
        char text[32];
        std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u.%03u", now.wYear, now.wMonth, now.wDay,
                      now.wHour, now.wMinute, now.wSecond, now.wMilliseconds);
        return text;
    }

    std::uint64_t NowMs() override { return GetTickCount64(); }

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

    std::uint32_t PathAttributes(const char16_t* path) override { return GetFileAttributesW(Wide(path)); }

    FileRef CreateNewFile(const char16_t* path, std::uint32_t& error) override
    {
        HANDLE file = CreateFileW(Wide(path), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        error = file == INVALID_HANDLE_VALUE ? TakeFileError() : 0;
        return FileOrNull(file);
    }

    FileRef OpenFileToRead(const char16_t* path) override
    {
        HANDLE file = CreateFileW(Wide(path), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE)
            TakeFileError();
        return FileOrNull(file);
    }

    bool WriteToFile(FileRef file, std::span<const std::uint8_t> bytes, std::uint32_t& written) override
    {
        DWORD done = 0;
        const BOOL ok = ::WriteFile(static_cast<HANDLE>(file), bytes.data(), static_cast<DWORD>(bytes.size()), &done,
                                    nullptr);
        written = done;
        return Checked(ok);
    }

    bool ReadFromFile(FileRef file, std::span<std::uint8_t> bytes, std::uint32_t& read) override
    {
        DWORD done = 0;
        const BOOL ok = ::ReadFile(static_cast<HANDLE>(file), bytes.data(), static_cast<DWORD>(bytes.size()), &done,
                                   nullptr);
        read = done;
        return Checked(ok);
    }

    bool FlushFile(FileRef file) override { return Checked(FlushFileBuffers(static_cast<HANDLE>(file))); }
    bool CloseFile(FileRef file) override { return Checked(CloseHandle(static_cast<HANDLE>(file))); }

    bool MoveFileOver(const char16_t* from, const char16_t* to) override
    {
        return Checked(MoveFileExW(Wide(from), Wide(to), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH));
    }

    bool RemoveFile(const char16_t* path) override { return Checked(DeleteFileW(Wide(path))); }
    std::uint32_t LastFileError() override { return fileError_; }

private:
    // The code is taken before anything else can change the thread's last
    // error. Main thread only, as every file call.
    std::uint32_t TakeFileError()
    {
        fileError_ = GetLastError();
        return fileError_;
    }
    bool Checked(BOOL ok)
    {
        if (!ok)
            TakeFileError();
        return ok != FALSE;
    }

    // Appends only; others may read the log while the program runs.
    bool OpenLogFile(DWORD disposition)
    {
        log_ = CreateFileW(logPath_.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, disposition,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
        return log_ != INVALID_HANDLE_VALUE;
    }

    std::wstring logPath_;
    std::uint32_t fileError_ = 0;
    HANDLE log_ = INVALID_HANDLE_VALUE;
    bool sessionReasonShown_ = false;
    AwakeRequest awake_;
};

Win32Platform s_platform;

} // namespace

AppPlatform& WindowsPlatform()
{
    return s_platform;
}

} // namespace Vantri
