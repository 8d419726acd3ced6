#include "engine/backup_workflow.h"

#include <algorithm>
#include <iterator>
#include <string>
#include <string_view>
#include <utility>

#include "engine/app_platform.h"
#include "engine/diagnostics_log.h"
#include "engine/file_store.h"
#include "engine/main_window.h"
#include "engine/message_texts.h"
#include "engine/running_workers.h"
#include "engine/window_messages.h"
#include "engine/workflow.h"
#include "engine/workflow_routes.h"
#include "loader/loader.h"
#include "protocol/config_transfer.h"
#include "resources/resource.h"

namespace Vantri {

namespace {

static_assert(std::size(kDefaultBackupFileName) <= kFileNameCapacity);

struct BackupRun {
    std::uint8_t buffer[kConfigImageSize] = {};
    char16_t fileName[kFileNameCapacity] = u"Vantri4Backup.vtcb";
};

constexpr bool ProposesTheDefaultName(const BackupRun& run)
{
    return std::u16string_view(run.fileName) == kDefaultBackupFileName;
}
static_assert(ProposesTheDefaultName(BackupRun{}));

BackupRun s_run;

} // namespace

} // namespace Vantri

std::uint8_t (&g_backupBuffer)[Vantri::kConfigImageSize] = Vantri::s_run.buffer;
char16_t (&g_backupFileName)[Vantri::kFileNameCapacity] = Vantri::s_run.fileName;

namespace Vantri {

namespace {

constexpr ConfigCheckTexts kBackupCheckTexts{kBackupReadInfoFailedCaption, kBackupCaption, kBackupOutdatedText};

// The file is saved whole or not at all, and an existing file of that name
// stays as it was unless the new one has replaced it completely.
void OnBackupDone()
{
    LogWorkerOutcome("config area read", FirstAdapter(), true);
    g_loader.CloseDevice(FirstAdapter());
    std::fill_n(g_backupBuffer, kPreservedAreaSize, std::uint8_t{0});
    const std::string file = "backup file " + Utf8(PathIn(g_backupFileName));
    FileFailure failure;
    switch (SaveWholeFile(PathIn(g_backupFileName), g_backupBuffer, &failure)) {
    case SaveOutcome::Saved:
        LogLine(file + ": saved, " + std::to_string(sizeof g_backupBuffer) + " bytes");
        ShowBox(RunOutcome::Done, BoxKind::Information, kBackupCompleteCaption, kBackupDoneText);
        break;
    case SaveOutcome::NoAccess:
        LogLine(file + ": not saved, no access" + FileFailureText(failure));
        ShowBox(RunOutcome::FileError, BoxKind::Error, kBackupFailedCaption, kBackupAccessText);
        break;
    case SaveOutcome::WriteFailed:
        LogLine(file + ": not saved, the write failed" + FileFailureText(failure));
        ShowBox(RunOutcome::FileError, BoxKind::Error, kBackupFailedCaption, kBackupWriteText);
        break;
    }
    DestroyMainWindow();
}

void OnBackupFailed()
{
    LogWorkerOutcome("config area read", FirstAdapter(), false);
    ShowBox(RunOutcome::AdapterFailed, BoxKind::Error, kBackupReadFailedCaption, kBackupReadFailedText);
    DestroyMainWindow();
    g_loader.CloseDevice(FirstAdapter());
}

// A work item that cannot start is a failed read.
void OnBackupRefused(std::uintptr_t)
{
    OnBackupFailed();
}

// Only the worker's own final message counts: one that any other program
// posts must not save a buffer that the worker may still be filling.
void RouteBackupMessage(std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam)
{
    if (message == WM_BACKUP_PROGRESS)
        Platform().AdapterProgress(FirstAdapter(), static_cast<std::uint32_t>(lParam));
    if (message == WM_BACKUP_PROGRESS || TakeWorkerMessage(message, wParam, lParam))
        OnBackupMessage(message, lParam);
}

constexpr ButtonRoute kBackupButtons[] = {
    {IDC_BACKUP_CONFIGS, StartBackup, "Backup Configs"},
};

constexpr MessageRoute kBackupMessages[] = {
    {WM_BACKUP_PROGRESS, WM_BACKUP_FAILED, RouteBackupMessage},
};

void ResetBackupRun()
{
    s_run = {};
}

} // namespace

WorkflowRoutes BackupRoutes()
{
    return {kBackupButtons, kBackupMessages, ResetBackupRun};
}

void StartBackup()
{
    if (!FindAdapterForConfigs(kBackupCheckTexts))
        return;
    LockControls();
    if (!ChooseFile(FileDialog::Save, kSaveBackupTitle, g_backupFileName)) {
        EndEarly();
        return;
    }
    SetStatus(kBackingUpStatus);
    QueueCountedWorker(BackupWorker, FirstAdapter(), WorkerKind::Reads, OnBackupRefused);
}

// The context is the adapter's device index.
std::uint32_t BackupWorker(std::uintptr_t context)
{
    BeginWorker();
    const auto index = static_cast<std::uint32_t>(context);
    return FinishWorker(ReadConfigArea(g_backupBuffer, BackupProgress, index), WM_BACKUP_DONE, WM_BACKUP_FAILED,
                        index);
}

void BackupProgress(std::uint32_t deviceIndex, std::uint32_t percent, std::uint32_t)
{
    Platform().PostToMainWindow(WM_BACKUP_PROGRESS, deviceIndex, percent);
}

void OnBackupMessage(std::uint32_t message, std::intptr_t lParam)
{
    switch (message) {
    case WM_BACKUP_PROGRESS:
        // One reporter: the position is set as it comes.
        Platform().SetProgressPosition(static_cast<std::uint32_t>(lParam));
        break;
    case WM_BACKUP_DONE:
        OnBackupDone();
        break;
    case WM_BACKUP_FAILED:
        OnBackupFailed();
        break;
    default:
        break;
    }
}

} // namespace Vantri
