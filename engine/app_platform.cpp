#include "engine/app_platform.h"

#include "restore/download.h"

namespace Vantri {

namespace {

// Stands in until a platform is bound: no window, nothing posted or queued,
// no question ever answered Yes and no file touched, so nothing can be
// flashed or overwritten by accident.
class NoPlatform final : public AppPlatform {
public:
    WindowRef MainWindow() override { return nullptr; }
    BoxAnswer ShowBox(BoxKind, const char16_t*, const char16_t*) override { return BoxAnswer::None; }
    void EnableControl(int, bool) override {}
    void ShowControl(int) override {}
    void SetControlText(int, const char16_t*) override {}
    std::uint32_t ProgressPosition() override { return 0; }
    void SetProgressPosition(std::uint32_t) override {}
    void DestroyWindow(WindowRef) override {}
    void PostQuit(int) override {}
    void SetMessageResult(WindowRef, std::intptr_t) override {}
    void HoldOffSystem(SystemHold) override {}
    bool PostToMainWindow(std::uint32_t, std::uintptr_t, std::intptr_t) override { return false; }
    bool QueueWorkItem(WorkItemProc, std::uintptr_t) override { return false; }
    bool OpenLog(std::uint64_t&) override { return false; }
    bool AppendLog(std::string_view) override { return false; }
    bool StartNewLog() override { return false; }
    std::string LogTime() override { return {}; }
    std::uint64_t NowMs() override { return 0; }
    std::span<const std::uint8_t> FirmwareResource() override { return {}; }
    bool ShowSaveDialog(const char16_t*, std::span<char16_t>) override { return false; }
    bool ShowOpenDialog(const char16_t*, std::span<char16_t>) override { return false; }
    std::uint32_t PathAttributes(const char16_t*) override { return kNoFileAttributes; }
    FileRef CreateNewFile(const char16_t*, std::uint32_t& error) override
    {
        error = kErrorAccessDenied;
        return nullptr;
    }
    FileRef OpenFileToRead(const char16_t*) override { return nullptr; }
    bool WriteToFile(FileRef, std::span<const std::uint8_t>, std::uint32_t& written) override
    {
        written = 0;
        return false;
    }
    bool ReadFromFile(FileRef, std::span<std::uint8_t>, std::uint32_t& read) override
    {
        read = 0;
        return false;
    }
    bool FlushFile(FileRef) override { return false; }
    bool CloseFile(FileRef) override { return false; }
    bool MoveFileOver(const char16_t*, const char16_t*) override { return false; }
    bool RemoveFile(const char16_t*) override { return false; }
    std::uint32_t LastFileError() override { return 0; }
};

NoPlatform s_noPlatform;
AppPlatform* s_platform = &s_noPlatform;

// The downloads reach the window and the pool through the bound platform.
WindowRef DownloadMainWindow()
{
    return s_platform->MainWindow();
}

bool DownloadPost(WindowRef window, std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam)
{
    return s_platform->PostToWindow(window, message, wParam, lParam);
}

bool DownloadQueue(WorkItemProc proc, std::uintptr_t context)
{
    return s_platform->QueueWorkItem(proc, context);
}

constexpr DownloadLink kDownloadLink{DownloadMainWindow, DownloadPost, DownloadQueue};

} // namespace

AppPlatform& Platform()
{
    return *s_platform;
}

void BindPlatform(AppPlatform& platform)
{
    s_platform = &platform;
    BindDownloadLink(kDownloadLink);
}

} // namespace Vantri
