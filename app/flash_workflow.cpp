#include "app/flash_workflow.h"

#include <bitset>
#include <optional>
#include <string>

#include "app/app_platform.h"
#include "app/main_window.h"
#include "app/message_texts.h"
#include "app/running_workers.h"
#include "app/window_messages.h"
#include "app/workflow.h"
#include "app/workflow_routes.h"
#include "loader/loader.h"
#include "protocol/device_info.h"
#include "resources/resource.h"

namespace Vantri {

namespace {

// One run's state. A run performs one workflow; the reset starts the next
// run from here.
struct FlashRun {
    std::uint32_t adapterCount = 0;
    std::uint32_t flashedCount = 0;
    // Adapters whose final message has been handled. A second final message
    // for one adapter, or one for an index this run never queued, cannot come
    // from our workers (any program may post to a window) and must neither
    // close a slot out of range nor count towards a success that did not
    // happen.
    std::bitset<kMaxDevices> finished;
};

FlashRun s_run;
std::uint32_t& g_adapterCount = s_run.adapterCount;
std::uint32_t& g_flashedCount = s_run.flashedCount;

struct Question {
    const char16_t* caption;
    std::u16string text;
};

Question FactoryResetQuestion()
{
    if (g_adapterCount == 1)
        return {kFactoryResetCaption, Text(kFactoryResetQuestionOne, {kCarriedFirmwareVersion})};
    return {kFactoryResetCaption, Text(kFactoryResetQuestionMany, {kCarriedFirmwareVersion, g_adapterCount})};
}

// Decides on the first adapter alone. Shows the box and gives no question
// when the update is not to be offered.
std::optional<Question> UpdateQuestion()
{
    DeviceInfo info;
    if (!ReadFirstAdapter(info, kFlashFailedCaption))
        return std::nullopt;
    const std::string_view adapterVersion = FirmwareVersionText(info);
    switch (UpdateRule(FirmwareDateNumber(info.firmwareVersion), FirmwareDateNumber(kCarriedFirmwareVersion))) {
    case UpdateOutcome::TooOld:
        ShowBox(BoxKind::Information, kFirmwareUpdateCaption,
                Text(kTooOldText, {adapterVersion, kCarriedFirmwareVersion}));
        return std::nullopt;
    case UpdateOutcome::UpgradeOffered:
        return Question{kFirmwareUpdateCaption, Text(kUpgradeQuestion, {adapterVersion, kCarriedFirmwareVersion})};
    case UpdateOutcome::UpToDate:
        break;
    }
    ShowBox(BoxKind::Information, kFirmwareUpdateCaption, Text(kUpToDateText, {kCarriedFirmwareVersion}));
    return std::nullopt;
}

std::uint32_t FlashWorkItem(std::uintptr_t context)
{
    return FlashWorker(static_cast<FlashJob>(context));
}

// One worker per adapter, in index order. A work item the system refuses
// would leave the window waiting for a message that never comes, so it is
// that adapter's failure; the adapters after it are left untouched.
void QueueFlashJobs(bool factoryReset)
{
    for (std::uint32_t index = 0; index < g_adapterCount; ++index) {
        if (!QueueCountedWorker(FlashWorkItem, MakeFlashJob(index, factoryReset), WorkerKind::Writes)) {
            OnFlashMessage(WM_FLASH_FAILED, index, 0);
            return;
        }
    }
}

bool TakeFinalMessage(std::uintptr_t index)
{
    if (index >= g_adapterCount || index >= kMaxDevices || s_run.finished.test(index))
        return false;
    s_run.finished.set(index);
    return true;
}

// The bar shows the furthest any adapter has got and never moves back.
void OnFlashProgress(std::intptr_t percent)
{
    if (static_cast<std::uintptr_t>(percent) > Platform().ProgressPosition())
        Platform().SetProgressPosition(static_cast<std::uint32_t>(percent));
}

void OnFlashDone(std::uintptr_t index)
{
    if (!TakeFinalMessage(index))
        return;
    LogWorkerOutcome("flash", index, true);
    g_loader.CloseDevice(static_cast<std::uint32_t>(index));
    if (++g_flashedCount != g_adapterCount)
        return;
    const std::u16string text = g_adapterCount == 1 ? Text(kFlashDoneOne) : Text(kFlashDoneMany, {g_adapterCount});
    ShowBox(BoxKind::Information, kFlashCompleteCaption, text);
    DestroyMainWindow();
}

void OnFlashFailed(std::uintptr_t index)
{
    if (!TakeFinalMessage(index))
        return;
    LogWorkerOutcome("flash", index, false);
    g_loader.CloseDevice(static_cast<std::uint32_t>(index));
    const std::u16string text = g_adapterCount == 1 ? Text(kFlashFailedOne) : Text(kFlashFailedMany, {index});
    ShowBox(BoxKind::Error, kFlashFailedCaption, text);
    DestroyMainWindow();
}

void StartUpdate()
{
    StartFlash(false);
}

void StartFactoryReset()
{
    StartFlash(true);
}

constexpr ButtonRoute kFlashButtons[] = {
    {IDC_UPDATE_FIRMWARE, StartUpdate, "Update Firmware"},
    {IDC_FACTORY_RESET, StartFactoryReset, "Factory Reset"},
};

constexpr MessageRoute kFlashMessages[] = {
    {WM_FLASH_PROGRESS, WM_FLASH_FAILED, OnFlashMessage},
};

void ResetFlashRun()
{
    s_run = {};
    g_firmwareImage = nullptr;
    g_firmwareSize = 0;
}

} // namespace

WorkflowRoutes FlashRoutes()
{
    return {kFlashButtons, kFlashMessages, ResetFlashRun};
}

void LoadFirmwareImage()
{
    const std::span<const std::uint8_t> image = Platform().FirmwareResource();
    g_firmwareImage = image.data();
    g_firmwareSize = static_cast<std::uint32_t>(image.size());
}

void StartFlash(bool factoryReset)
{
    LoadFirmwareImage();
    if (!FindAdapters(g_adapterCount))
        return;
    LockControls();
    const std::optional<Question> question = factoryReset ? FactoryResetQuestion() : UpdateQuestion();
    // Only an explicit Yes writes to an adapter.
    if (!question || !AskYes(question->caption, question->text)) {
        EndEarly();
        return;
    }
    SetStatus(kFlashingStatus);
    QueueFlashJobs(factoryReset);
}

std::uint32_t FlashWorker(FlashJob job)
{
    const std::uint32_t index = FlashJobDeviceIndex(job);
    return FinishWorker(RunFlashJob(job, FlashProgress), WM_FLASH_DONE, WM_FLASH_FAILED, index);
}

void OnFlashMessage(std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam)
{
    switch (message) {
    case WM_FLASH_PROGRESS:
        OnFlashProgress(lParam);
        break;
    case WM_FLASH_DONE:
        OnFlashDone(wParam);
        break;
    case WM_FLASH_FAILED:
        OnFlashFailed(wParam);
        break;
    default:
        break;
    }
}

} // namespace Vantri
