// The Windows system calls that both programs bind the engine's platform
// to: the thread pool, posting to the run's window, the power request and
// the refusal of the end of the session, the diagnostics log's file and
// clocks, the carried firmware, and the backup files. What the user sees
// (boxes, controls, dialogs, or a console) is each program's own.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <memory>
#include <string>

#include "engine/app_platform.h"

namespace Vantri {

class SystemPlatformWin : public AppPlatform {
public:
    SystemPlatformWin();
    SystemPlatformWin(const SystemPlatformWin&) = delete;
    SystemPlatformWin& operator=(const SystemPlatformWin&) = delete;

    void DestroyWindow(WindowRef window) override;
    void PostQuit(int exitCode) override;
    void HoldOffSystem(SystemHold hold) override;
    bool PostToMainWindow(std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam) override;
    bool QueueWorkItem(WorkItemProc proc, std::uintptr_t context) override;

    bool OpenLog(std::uint64_t& size) override;
    bool AppendLog(std::string_view bytes) override;
    bool StartNewLog() override;
    std::string LogTime() override;
    std::uint64_t NowMs() override;

    std::span<const std::uint8_t> FirmwareResource() override;

    std::uint32_t PathAttributes(const char16_t* path) override;
    FileRef CreateNewFile(const char16_t* path, std::uint32_t& error) override;
    FileRef OpenFileToRead(const char16_t* path) override;
    bool WriteToFile(FileRef file, std::span<const std::uint8_t> bytes, std::uint32_t& written) override;
    bool ReadFromFile(FileRef file, std::span<std::uint8_t> bytes, std::uint32_t& read) override;
    bool FlushFile(FileRef file) override;
    bool CloseFile(FileRef file) override;
    bool MoveFileOver(const char16_t* from, const char16_t* to) override;
    bool RemoveFile(const char16_t* path) override;
    std::uint32_t LastFileError() override;

protected:
    ~SystemPlatformWin();

private:
    class AwakeRequest;

    std::uint32_t TakeFileError();
    bool Checked(BOOL ok);
    bool OpenLogFile(DWORD disposition);

    std::wstring logPath_;
    std::uint32_t fileError_ = 0;
    HANDLE log_ = INVALID_HANDLE_VALUE;
    bool sessionReasonShown_ = false;
    std::unique_ptr<AwakeRequest> awake_;
};

} // namespace Vantri
