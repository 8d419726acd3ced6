#include "engine/restore_workflow.h"

#include <algorithm>
#include <cstring>
#include <string>
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
#include "restore/conversion.h"
#include "restore/download.h"
#include "restore/restore_buffers.h"
#include "restore/update_host.h"

namespace Vantri {

namespace {

// The messages carry the chain from step to step, and each step's message
// is taken only when its own worker posted it (TakeDownloadMessage,
// TakeWorkerMessage): any program may post to our window, and a done
// message out of turn must never hand a stray pointer to the conversion,
// close the adapter under a worker still writing to it, or show a second
// outcome.
constexpr ConfigCheckTexts kRestoreCheckTexts{kRestoreFailedCaption, kRestoreCaption, kRestoreOutOfDateText};

// The endings once the chain has begun: the adapter is closed before the
// box, the window destroyed after the user has closed it.
void EndWithBox(RunOutcome outcome, BoxKind kind, const char16_t* caption, const std::u16string& text)
{
    g_loader.CloseDevice(FirstAdapter());
    ShowBox(outcome, kind, caption, text);
    DestroyMainWindow();
}

void EndWithDownloadFailure()
{
    EndWithBox(RunOutcome::DownloadError, BoxKind::Error, kRestoreFailedCaption,
               Text(kDownloadFailedText, {kMakerDomain}));
}

void EndWithRestoreFailure()
{
    EndWithBox(RunOutcome::AdapterFailed, BoxKind::Error, kRestoreFailedCaption, kRestoreFailedText);
}

// A bad backup: the box first, then the window, then the adapter. Nothing
// has been sent to it.
void EndWithInvalidBackup()
{
    ShowBox(RunOutcome::InvalidBackup, BoxKind::Error, kRestoreFailedCaption, kInvalidBackupText);
    DestroyMainWindow();
    g_loader.CloseDevice(FirstAdapter());
}

void ClearRestoreBuffers()
{
    std::memset(g_restoreImage, 0, sizeof g_restoreImage);
    std::memset(g_primaryRegion, 0, sizeof g_primaryRegion);
    std::memset(g_overflowRegion, 0, sizeof g_overflowRegion);
}

void LogDownload(std::uint32_t tag)
{
    LogLine(Utf8(DownloadLogText(DownloadReportOf(tag))));
}

void OnVersionFile(DownloadBody* versionFile)
{
    if (!LocateDatabase(versionFile)) {
        LogLine("the version file names no games database on the update host");
        EndWithDownloadFailure();
    }
}

const char* ConversionOutcomeName(ConversionOutcome outcome)
{
    switch (outcome) {
    case ConversionOutcome::Converted: return "converted";
    case ConversionOutcome::MissingGame: return "a game the database lacks";
    case ConversionOutcome::InvalidKind: return "a kind above 3";
    case ConversionOutcome::BrokenDatabase: return "a broken database";
    }
    return "?";
}

void OnRestoreDone()
{
    LogWorkerOutcome("restore write", FirstAdapter(), true);
    EndWithBox(RunOutcome::Done, BoxKind::Information, kRestoreCompleteCaption, kRestoreDoneText);
}

void OnRestoreFailed()
{
    LogWorkerOutcome("restore write", FirstAdapter(), false);
    EndWithRestoreFailure();
}

// A restore worker that cannot start is the restore's failure.
void OnRestoreRefused(std::uintptr_t)
{
    OnRestoreFailed();
}

// The games database has arrived: convert, then write, or tell the user
// whose fault it is that nothing will be written.
void OnDatabase(DownloadBody* database)
{
    if (!database) {
        EndWithDownloadFailure();
        return;
    }
    const ConversionOutcome outcome = ConvertConfigs(database);
    LogLine(std::string("conversion: ") + ConversionOutcomeName(outcome));
    switch (outcome) {
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
    QueueCountedWorker(RestoreWorker, FirstAdapter(), WorkerKind::Writes, OnRestoreRefused);
}

// The body is ours once the download that made it has been taken at its word.
void OnDownloadDone(std::uintptr_t tag, std::intptr_t body)
{
    if (!TakeDownloadMessage(WM_DOWNLOAD_DONE, tag, body))
        return;
    LogDownload(static_cast<std::uint32_t>(tag));
    auto* downloaded = reinterpret_cast<DownloadBody*>(body);
    if (tag == DOWNLOAD_TAG_VERSION)
        OnVersionFile(downloaded);
    else
        OnDatabase(downloaded);
}

void OnDownloadFailed(std::uintptr_t tag, std::intptr_t lParam)
{
    if (!TakeDownloadMessage(WM_DOWNLOAD_FAILED, tag, lParam))
        return;
    LogDownload(static_cast<std::uint32_t>(tag));
    EndWithDownloadFailure();
}

constexpr ButtonRoute kRestoreButtons[] = {
    {IDC_RESTORE_CONFIGS, StartRestore, "Restore Configs"},
};

constexpr MessageRoute kRestoreMessages[] = {
    {WM_RESTORE_PROGRESS, WM_RESTORE_FAILED, OnRestoreMessage},
    {WM_DOWNLOAD_PROGRESS, WM_DOWNLOAD_FAILED, OnRestoreMessage},
};

void ResetRestoreRun()
{
    g_restoreFileName[0] = u'\0';
    g_gamesDatabase.reset();
    ResetDownloadReports();
}

} // namespace

WorkflowRoutes RestoreRoutes()
{
    return {kRestoreButtons, kRestoreMessages, ResetRestoreRun};
}

void StartRestore()
{
    if (!FindAdapterForConfigs(kRestoreCheckTexts))
        return;
    LockControls();
    // Only an explicit Yes erases the adapter's configs.
    if (!AskYes(kRestoreCaption, kRestoreQuestion)) {
        EndEarly();
        return;
    }
    // No default name: the dialog opens with an empty one.
    g_restoreFileName[0] = u'\0';
    if (!ChooseFile(FileDialog::Open, kRestoreDialogTitle, g_restoreFileName)) {
        EndEarly();
        return;
    }
    ClearRestoreBuffers();
    // However many bytes the file gives, up to one image: a shorter file
    // leaves the rest of the image zero, so its missing entries count as
    // free; the rest of a longer one is ignored.
    std::uint32_t read = 0;
    const std::string file = "backup file " + Utf8(PathIn(g_restoreFileName));
    FileFailure failure;
    switch (ReadFileStart(PathIn(g_restoreFileName), g_restoreImage, read, &failure)) {
    case ReadOutcome::Read:
        LogLine(file + ": read " + std::to_string(read) + " bytes");
        break;
    case ReadOutcome::NoAccess:
        LogLine(file + ": no access" + FileFailureText(failure));
        ShowBox(RunOutcome::FileError, BoxKind::Error, kRestoreFileCaption, kRestoreAccessText);
        EndEarly();
        return;
    case ReadOutcome::ReadFailed:
        LogLine(file + ": the read failed" + FileFailureText(failure));
        ShowBox(RunOutcome::FileError, BoxKind::Error, kRestoreFileCaption, kRestoreReadText);
        EndEarly();
        return;
    }
    SetStatus(kDownloadingStatus, {kMakerDomain});
    StartDownload(kVersionFilePath, DOWNLOAD_TAG_VERSION);
}

void OnRestoreMessage(std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam)
{
    switch (message) {
    case WM_RESTORE_PROGRESS:
        Platform().AdapterProgress(FirstAdapter(), static_cast<std::uint32_t>(lParam));
        [[fallthrough]];
    case WM_DOWNLOAD_PROGRESS:
        Platform().SetProgressPosition(static_cast<std::uint32_t>(lParam));
        break;
    case WM_DOWNLOAD_DONE:
        OnDownloadDone(wParam, lParam);
        break;
    case WM_DOWNLOAD_FAILED:
        OnDownloadFailed(wParam, lParam);
        break;
    case WM_RESTORE_DONE:
        if (TakeWorkerMessage(message, wParam, lParam))
            OnRestoreDone();
        break;
    case WM_RESTORE_FAILED:
        if (TakeWorkerMessage(message, wParam, lParam))
            OnRestoreFailed();
        break;
    default:
        break;
    }
}

ResultRecord RestoreToAdapter(std::uint32_t deviceIndex)
{
    if (ResultRecord read = ReadConfigArea(g_restoreReadBuffer, RestoreProgress, deviceIndex); read.code != 0)
        return read;
    // The adapter keeps its own global settings: a backup file holds zeros
    // there, and no file's bytes may replace them.
    std::copy_n(g_restoreReadBuffer, kPreservedAreaSize, g_restoreImage);
    if (ResultRecord written = WriteConfigRegions(g_restoreImage, g_primaryRegion, RestoreProgress, deviceIndex);
        written.code != 0)
        return written;
    return WriteOverflowRegion(g_overflowRegion, RestoreProgress, deviceIndex);
}

void RestoreProgress(std::uint32_t deviceIndex, std::uint32_t percent, std::uint32_t)
{
    Platform().PostToMainWindow(WM_RESTORE_PROGRESS, deviceIndex, percent);
}

// The context is the adapter's device index.
std::uint32_t RestoreWorker(std::uintptr_t context)
{
    BeginWorker();
    const auto index = static_cast<std::uint32_t>(context);
    return FinishWorker(RestoreToAdapter(index), WM_RESTORE_DONE, WM_RESTORE_FAILED, index);
}

} // namespace Vantri
