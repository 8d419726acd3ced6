#include "app/backup_workflow.h"

#include <algorithm>
#include <iterator>

#include "app/app_platform.h"
#include "app/file_store.h"
#include "app/main_window.h"
#include "app/message_texts.h"
#include "app/running_workers.h"
#include "app/window_messages.h"
#include "app/workflow_routes.h"
#include "loader/loader.h"
#include "protocol/config_transfer.h"
#include "protocol/device_info.h"
#include "resources/resource.h"

std::uint8_t g_backupBuffer[Vantri::kConfigImageSize];
char16_t g_backupFileName[Vantri::kFileNameCapacity] = u"Vantri4Backup.vtcb";

namespace Vantri {

namespace {

static_assert(std::size(kDefaultBackupFileName) <= kFileNameCapacity);

// True from the queueing of the worker to its final message. A second final
// message, or one that no worker of ours posted (any program may post to a
// window), must not save a buffer that the worker may still be filling.
bool g_backupRunning = false;

void ShowBox(BoxKind kind, const char16_t* caption, const char16_t* text)
{
    Platform().ShowBox(kind, caption, text);
}

void EndBackupEarly()
{
    g_loader.CloseDevice(0);
    DestroyMainWindow();
}

// Decides on the first adapter alone; shows the box and answers false when
// it is not to be backed up.
bool FirstAdapterMayBeBackedUp()
{
    DeviceInfo info;
    if (ReadDeviceInfo(info).code != 0) {
        ShowBox(BoxKind::Error, kBackupReadInfoFailedCaption, kReadInfoFailedText);
        return false;
    }
    if (!ConfigRuleAllows(FirmwareDateNumber(info.firmwareVersion))) {
        ShowBox(BoxKind::Information, kBackupCaption, kBackupOutdatedText);
        return false;
    }
    return true;
}

bool TakeFinalMessage()
{
    if (!g_backupRunning)
        return false;
    g_backupRunning = false;
    return true;
}

// The file is saved whole or not at all, and an existing file of that name
// stays as it was unless the new one has replaced it completely.
void OnBackupDone()
{
    g_loader.CloseDevice(0);
    std::fill_n(g_backupBuffer, kPreservedAreaSize, std::uint8_t{0});
    switch (SaveWholeFile(PathIn(g_backupFileName), g_backupBuffer)) {
    case SaveOutcome::Saved:
        ShowBox(BoxKind::Information, kBackupCompleteCaption, kBackupDoneText);
        break;
    case SaveOutcome::NoAccess:
        ShowBox(BoxKind::Error, kBackupFailedCaption, kBackupAccessText);
        break;
    case SaveOutcome::WriteFailed:
        ShowBox(BoxKind::Error, kBackupFailedCaption, kBackupWriteText);
        break;
    }
    DestroyMainWindow();
}

void OnBackupFailed()
{
    ShowBox(BoxKind::Error, kBackupReadFailedCaption, kBackupReadFailedText);
    DestroyMainWindow();
    g_loader.CloseDevice(0);
}

void RouteBackupMessage(std::uint32_t message, std::uintptr_t, std::intptr_t lParam)
{
    OnBackupMessage(message, lParam);
}

constexpr ButtonRoute kBackupButtons[] = {
    {IDC_BACKUP_CONFIGS, StartBackup},
};

constexpr MessageRoute kBackupMessages[] = {
    {WM_BACKUP_PROGRESS, WM_BACKUP_FAILED, RouteBackupMessage},
};

} // namespace

WorkflowRoutes BackupRoutes()
{
    return {kBackupButtons, kBackupMessages};
}

void StartBackup()
{
    std::uint32_t count = 0;
    g_loader.EnumerateDevices(count);
    if (count == 0) {
        ShowBox(BoxKind::Error, kNoAdapterCaption, kNoAdapterText);
        EndBackupEarly();
        return;
    }
    if (!FirstAdapterMayBeBackedUp()) {
        EndBackupEarly();
        return;
    }
    LockControls();
    if (!Platform().ShowSaveDialog(kSaveBackupTitle, g_backupFileName)) {
        EndBackupEarly();
        return;
    }
    SetStatus(kBackingUpStatus);
    // A work item the system refuses would leave the window waiting for a
    // message that never comes: it is a failed read.
    g_backupRunning = true;
    if (!QueueCountedWorker(BackupWorker, 0))
        OnBackupMessage(WM_BACKUP_FAILED, 0);
}

std::uint32_t BackupWorker(std::uintptr_t)
{
    const bool succeeded = ReadConfigArea(g_backupBuffer, BackupProgress).code == 0;
    Platform().PostToMainWindow(succeeded ? WM_BACKUP_DONE : WM_BACKUP_FAILED, 0, 0);
    WorkerFinished();
    return succeeded ? 0 : 0xFFFFFFFFu;
}

void OnBackupMessage(std::uint32_t message, std::intptr_t lParam)
{
    switch (message) {
    case WM_BACKUP_PROGRESS:
        // One reporter: the position is set as it comes.
        Platform().SetProgressPosition(static_cast<std::uint32_t>(lParam));
        break;
    case WM_BACKUP_DONE:
        if (TakeFinalMessage())
            OnBackupDone();
        break;
    case WM_BACKUP_FAILED:
        if (TakeFinalMessage())
            OnBackupFailed();
        break;
    default:
        break;
    }
}

void ResetBackupWorkflow()
{
    g_backupRunning = false;
    std::fill(std::begin(g_backupBuffer), std::end(g_backupBuffer), std::uint8_t{0});
    std::fill(std::begin(g_backupFileName), std::end(g_backupFileName), u'\0');
    std::copy(std::begin(kDefaultBackupFileName), std::end(kDefaultBackupFileName), g_backupFileName);
}

} // namespace Vantri
