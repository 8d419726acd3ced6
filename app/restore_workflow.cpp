#include "app/restore_workflow.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>

#include "app/app_platform.h"
#include "app/file_store.h"
#include "app/main_window.h"
#include "app/message_texts.h"
#include "app/running_workers.h"
#include "app/text_format.h"
#include "app/window_messages.h"
#include "app/workflow_routes.h"
#include "loader/loader.h"
#include "protocol/config_transfer.h"
#include "protocol/device_info.h"
#include "resources/resource.h"
#include "restore/conversion.h"
#include "restore/download.h"
#include "restore/restore_buffers.h"
#include "restore/update_host.h"

namespace Vantri {

namespace {

// Which message the run waits for. The messages carry the chain from step to
// step; this only makes sure each is taken when it is due and once. Any
// program may post to our window, a click on a disabled button included: a
// second start must never enumerate under a running restore, and a done
// message out of turn must never hand a stray pointer to the conversion,
// close the adapter under a worker still writing to it, or show a second
// outcome.
enum class Stage { Idle, Starting, VersionDownload, DatabaseDownload, Writing, Ended };
Stage g_stage = Stage::Idle;

// Our formats and arguments are fixed, so a mismatch is a fault of ours that
// the tests catch; the user then sees an empty text rather than a wrong one.
std::u16string Text(std::u16string_view format, std::initializer_list<FormatArg> args = {})
{
    return FormatText(format, args).value_or(std::u16string());
}

void ShowBox(BoxKind kind, const char16_t* caption, const std::u16string& text)
{
    Platform().ShowBox(kind, caption, text.c_str());
}

// The ending of every run that stops before the downloads: the box (if
// any) has been shown; device 0 is closed, then the window goes.
void EndRestoreEarly()
{
    g_stage = Stage::Ended;
    g_loader.CloseDevice(0);
    DestroyMainWindow();
}

// The endings once the chain has begun: the adapter is closed before the
// box, the window destroyed after the user has closed it.
void EndWithBox(BoxKind kind, const char16_t* caption, const std::u16string& text)
{
    g_stage = Stage::Ended;
    g_loader.CloseDevice(0);
    ShowBox(kind, caption, text);
    DestroyMainWindow();
}

void EndWithDownloadFailure()
{
    EndWithBox(BoxKind::Error, kRestoreFailedCaption, Text(kDownloadFailedText, {kMakerDomain}));
}

void EndWithRestoreFailure()
{
    EndWithBox(BoxKind::Error, kRestoreFailedCaption, kRestoreFailedText);
}

// A bad backup: the box first, then the window, then the adapter. Nothing
// has been sent to it.
void EndWithInvalidBackup()
{
    g_stage = Stage::Ended;
    ShowBox(BoxKind::Error, kRestoreFailedCaption, kInvalidBackupText);
    DestroyMainWindow();
    g_loader.CloseDevice(0);
}

// Decides on the first adapter alone. Shows the box and answers false when
// the restore is not to be offered.
bool AdapterMayBeRestored()
{
    DeviceInfo info;
    if (ReadDeviceInfo(info).code != 0) {
        ShowBox(BoxKind::Error, kRestoreFailedCaption, kReadInfoFailedText);
        return false;
    }
    if (!ConfigRuleAllows(FirmwareDateNumber(info.firmwareVersion))) {
        ShowBox(BoxKind::Information, kRestoreCaption, kRestoreOutOfDateText);
        return false;
    }
    return true;
}

void ClearRestoreBuffers()
{
    std::memset(g_restoreImage, 0, sizeof g_restoreImage);
    std::memset(g_primaryRegion, 0, sizeof g_primaryRegion);
    std::memset(g_overflowRegion, 0, sizeof g_overflowRegion);
}

void OnVersionFile(DownloadBody* versionFile)
{
    g_stage = Stage::DatabaseDownload;
    if (!LocateDatabase(versionFile))
        EndWithDownloadFailure();
}

// The games database has arrived: convert, then write, or tell the user
// whose fault it is that nothing will be written.
void OnDatabase(DownloadBody* database)
{
    if (!database) {
        EndWithDownloadFailure();
        return;
    }
    switch (ConvertConfigs(database)) {
    case ConversionOutcome::Converted:
        break;
    case ConversionOutcome::MissingGame:
    case ConversionOutcome::InvalidKind:
        EndWithInvalidBackup();
        return;
    case ConversionOutcome::BrokenDatabase:
        EndWithDownloadFailure();
        return;
    }
    SetStatus(kRestoringStatus);
    g_stage = Stage::Writing;
    // A work item the system refuses would leave the window waiting for a
    // message that never comes: it is the restore's failure.
    if (!QueueCountedWorker(RestoreWorker, 0))
        EndWithRestoreFailure();
}

void OnDownloadDone(std::uintptr_t tag, std::intptr_t body)
{
    auto* downloaded = reinterpret_cast<DownloadBody*>(body);
    if (tag == DOWNLOAD_TAG_VERSION && g_stage == Stage::VersionDownload)
        OnVersionFile(downloaded);
    else if (tag == DOWNLOAD_TAG_DATABASE && g_stage == Stage::DatabaseDownload)
        OnDatabase(downloaded);
}

void OnDownloadFailed(std::uintptr_t tag)
{
    if ((tag == DOWNLOAD_TAG_VERSION && g_stage == Stage::VersionDownload) ||
        (tag == DOWNLOAD_TAG_DATABASE && g_stage == Stage::DatabaseDownload))
        EndWithDownloadFailure();
}

void OnRestoreDone()
{
    if (g_stage == Stage::Writing)
        EndWithBox(BoxKind::Information, kRestoreCompleteCaption, kRestoreDoneText);
}

void OnRestoreFailed()
{
    if (g_stage == Stage::Writing)
        EndWithRestoreFailure();
}

constexpr ButtonRoute kRestoreButtons[] = {
    {IDC_RESTORE_CONFIGS, StartRestore},
};

constexpr MessageRoute kRestoreMessages[] = {
    {WM_RESTORE_PROGRESS, WM_RESTORE_FAILED, OnRestoreMessage},
    {WM_DOWNLOAD_PROGRESS, WM_DOWNLOAD_FAILED, OnRestoreMessage},
};

} // namespace

WorkflowRoutes RestoreRoutes()
{
    return {kRestoreButtons, kRestoreMessages};
}

void StartRestore()
{
    if (g_stage != Stage::Idle)
        return;
    g_stage = Stage::Starting;
    std::uint32_t count = 0;
    g_loader.EnumerateDevices(count);
    if (count == 0) {
        ShowBox(BoxKind::Error, kNoAdapterCaption, kNoAdapterText);
        EndRestoreEarly();
        return;
    }
    if (!AdapterMayBeRestored()) {
        EndRestoreEarly();
        return;
    }
    LockControls();
    // Only an explicit Yes erases the adapter's configs: a question box that
    // could not be shown has not been agreed to.
    if (Platform().ShowBox(BoxKind::Question, kRestoreCaption, kRestoreQuestion) != BoxAnswer::Yes) {
        EndRestoreEarly();
        return;
    }
    // No default name: the dialog opens with an empty one.
    g_restoreFileName[0] = u'\0';
    if (!Platform().ShowOpenDialog(kRestoreDialogTitle, g_restoreFileName)) {
        EndRestoreEarly();
        return;
    }
    ClearRestoreBuffers();
    // However many bytes the file gives, up to one image: a shorter file
    // leaves the rest of the image zero, so its missing entries count as
    // free; the rest of a longer one is ignored.
    std::uint32_t read = 0;
    switch (ReadFileStart(PathIn(g_restoreFileName), g_restoreImage, read)) {
    case ReadOutcome::Read:
        break;
    case ReadOutcome::NoAccess:
        ShowBox(BoxKind::Error, kRestoreFileCaption, kRestoreAccessText);
        EndRestoreEarly();
        return;
    case ReadOutcome::ReadFailed:
        ShowBox(BoxKind::Error, kRestoreFileCaption, kRestoreReadText);
        EndRestoreEarly();
        return;
    }
    SetStatus(kDownloadingStatus, {kMakerDomain});
    g_stage = Stage::VersionDownload;
    StartDownload(kVersionFilePath, DOWNLOAD_TAG_VERSION);
}

void OnRestoreMessage(std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam)
{
    switch (message) {
    case WM_RESTORE_PROGRESS:
    case WM_DOWNLOAD_PROGRESS:
        Platform().SetProgressPosition(static_cast<std::uint32_t>(lParam));
        break;
    case WM_DOWNLOAD_DONE:
        OnDownloadDone(wParam, lParam);
        break;
    case WM_DOWNLOAD_FAILED:
        OnDownloadFailed(wParam);
        break;
    case WM_RESTORE_DONE:
        OnRestoreDone();
        break;
    case WM_RESTORE_FAILED:
        OnRestoreFailed();
        break;
    default:
        break;
    }
}

ResultRecord RestoreToAdapter()
{
    if (ResultRecord read = ReadConfigArea(g_restoreReadBuffer, RestoreProgress); read.code != 0)
        return read;
    // The adapter keeps its own global settings: a backup file holds zeros
    // there, and no file's bytes may replace them.
    std::copy_n(g_restoreReadBuffer, kPreservedAreaSize, g_restoreImage);
    if (ResultRecord written = WriteConfigRegions(g_restoreImage, g_primaryRegion, RestoreProgress); written.code != 0)
        return written;
    return WriteOverflowRegion(g_overflowRegion, RestoreProgress);
}

std::uint32_t RestoreWorker(std::uintptr_t)
{
    const bool succeeded = RestoreToAdapter().code == 0;
    Platform().PostToMainWindow(succeeded ? WM_RESTORE_DONE : WM_RESTORE_FAILED, 0, 0);
    WorkerFinished();
    return succeeded ? 0 : 0xFFFFFFFFu;
}

void ResetRestoreWorkflow()
{
    g_stage = Stage::Idle;
    g_restoreFileName[0] = u'\0';
    delete std::exchange(g_gamesDatabase, nullptr);
}

} // namespace Vantri
