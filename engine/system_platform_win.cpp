#include "engine/system_platform_win.h"

#include <shlobj.h>

#include <cstdio>
#include <new>

#include "base/wide_text_win.h"
#include "engine/message_texts.h"
#include "resources/resource.h"

namespace Vantri {

namespace {

FileRef FileOrNull(HANDLE handle)
{
    return handle == INVALID_HANDLE_VALUE ? nullptr : handle;
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

} // namespace

// The power request that keeps the PC awake while an adapter is worked on:
// made at the first hold, kept for the run, and closed at exit. The system
// alone lapses on battery on Modern Standby laptops, so the display is kept
// required with it. Each set is matched by one clear: the system counts them.
class SystemPlatformWin::AwakeRequest {
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

SystemPlatformWin::SystemPlatformWin() : awake_(std::make_unique<AwakeRequest>()) {}

SystemPlatformWin::~SystemPlatformWin() = default;

void SystemPlatformWin::DestroyWindow(WindowRef window)
{
    ::DestroyWindow(static_cast<HWND>(window));
}

void SystemPlatformWin::PostQuit(int exitCode)
{
    PostQuitMessage(exitCode);
}

// Both are requests the system may decline; the refusal itself is the
// window's answer to WM_QUERYENDSESSION, which needs neither.
void SystemPlatformWin::HoldOffSystem(SystemHold hold)
{
    const bool refuseSessionEnd = hold == SystemHold::SleepAndSessionEnd;
    if (refuseSessionEnd != sessionReasonShown_) {
        sessionReasonShown_ = refuseSessionEnd;
        if (refuseSessionEnd)
            ShutdownBlockReasonCreate(static_cast<HWND>(MainWindow()), Wide(kSessionEndReason));
        else
            ShutdownBlockReasonDestroy(static_cast<HWND>(MainWindow()));
    }
    awake_->Keep(hold != SystemHold::None);
}

bool SystemPlatformWin::PostToMainWindow(std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam)
{
    return PostMessageW(static_cast<HWND>(MainWindow()), message, wParam, lParam) != FALSE;
}

// The record belongs to the worker once queued; if the pool refuses it,
// it is still ours to free. Every worker blocks on report reads for as
// long as its transfer lasts (a whole image, minutes at the adapter's
// pace), so each is marked as long: the pool's documented hint to create
// a new thread rather than wait for a busy one, so that all adapters
// start together instead of one after another.
bool SystemPlatformWin::QueueWorkItem(WorkItemProc proc, std::uintptr_t context)
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
bool SystemPlatformWin::OpenLog(std::uint64_t& size)
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

bool SystemPlatformWin::AppendLog(std::string_view bytes)
{
    DWORD written = 0;
    return ::WriteFile(log_, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
           written == bytes.size();
}

// Where the full log cannot become the .old one, it is begun again in
// place: the log stays bounded either way.
bool SystemPlatformWin::StartNewLog()
{
    CloseHandle(log_);
    log_ = INVALID_HANDLE_VALUE;
    const std::wstring old = logPath_ + L".old";
    const bool moved = MoveFileExW(logPath_.c_str(), old.c_str(), MOVEFILE_REPLACE_EXISTING) != FALSE;
    return OpenLogFile(moved ? OPEN_ALWAYS : CREATE_ALWAYS);
}

std::string SystemPlatformWin::LogTime()
{
    SYSTEMTIME now;
    GetLocalTime(&now);
    char text[32];
    std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u.%03u", now.wYear, now.wMonth, now.wDay,
                  now.wHour, now.wMinute, now.wSecond, now.wMilliseconds);
    return text;
}

std::uint64_t SystemPlatformWin::NowMs() { return GetTickCount64(); }

// A resource is mapped with the module and never freed; its bytes stay
// valid for the life of the process.
std::span<const std::uint8_t> SystemPlatformWin::FirmwareResource()
{
    // The exe's own module, whichever program it is.
    const HMODULE module = GetModuleHandleW(nullptr);
    HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(IDR_FIRMWARE), L"DATA");
    if (!found)
        return {};
    const DWORD size = SizeofResource(module, found);
    HGLOBAL loaded = LoadResource(module, found);
    const void* bytes = loaded ? LockResource(loaded) : nullptr;
    if (!bytes)
        return {};
    return {static_cast<const std::uint8_t*>(bytes), size};
}

std::uint32_t SystemPlatformWin::PathAttributes(const char16_t* path) { return GetFileAttributesW(Wide(path)); }

FileRef SystemPlatformWin::CreateNewFile(const char16_t* path, std::uint32_t& error)
{
    HANDLE file = CreateFileW(Wide(path), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    error = file == INVALID_HANDLE_VALUE ? TakeFileError() : 0;
    return FileOrNull(file);
}

FileRef SystemPlatformWin::OpenFileToRead(const char16_t* path)
{
    HANDLE file = CreateFileW(Wide(path), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        TakeFileError();
    return FileOrNull(file);
}

bool SystemPlatformWin::WriteToFile(FileRef file, std::span<const std::uint8_t> bytes, std::uint32_t& written)
{
    DWORD done = 0;
    const BOOL ok = ::WriteFile(static_cast<HANDLE>(file), bytes.data(), static_cast<DWORD>(bytes.size()), &done,
                                nullptr);
    written = done;
    return Checked(ok);
}

bool SystemPlatformWin::ReadFromFile(FileRef file, std::span<std::uint8_t> bytes, std::uint32_t& read)
{
    DWORD done = 0;
    const BOOL ok = ::ReadFile(static_cast<HANDLE>(file), bytes.data(), static_cast<DWORD>(bytes.size()), &done,
                               nullptr);
    read = done;
    return Checked(ok);
}

bool SystemPlatformWin::FlushFile(FileRef file) { return Checked(FlushFileBuffers(static_cast<HANDLE>(file))); }
bool SystemPlatformWin::CloseFile(FileRef file) { return Checked(CloseHandle(static_cast<HANDLE>(file))); }

bool SystemPlatformWin::MoveFileOver(const char16_t* from, const char16_t* to)
{
    return Checked(MoveFileExW(Wide(from), Wide(to), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH));
}

bool SystemPlatformWin::RemoveFile(const char16_t* path) { return Checked(DeleteFileW(Wide(path))); }
std::uint32_t SystemPlatformWin::LastFileError() { return fileError_; }

// The code is taken before anything else can change the thread's last
// error. Main thread only, as every file call.
std::uint32_t SystemPlatformWin::TakeFileError()
{
    fileError_ = GetLastError();
    return fileError_;
}

bool SystemPlatformWin::Checked(BOOL ok)
{
    if (!ok)
        TakeFileError();
    return ok != FALSE;
}

// Appends only; others may read the log while the program runs.
bool SystemPlatformWin::OpenLogFile(DWORD disposition)
{
    log_ = CreateFileW(logPath_.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, disposition,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
    return log_ != INVALID_HANDLE_VALUE;
}

} // namespace Vantri
