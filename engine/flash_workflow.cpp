#include "engine/flash_workflow.h"

#include <optional>
#include <string>
#include <utility>

#include "engine/app_platform.h"
#include "engine/main_window.h"
#include "engine/message_texts.h"
#include "engine/running_workers.h"
#include "engine/window_messages.h"
#include "engine/workflow.h"
#include "engine/workflow_routes.h"
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
    // Workers queued whose final message has not been handled yet.
    std::uint32_t awaitedWorkers = 0;
    // The run shows one outcome box. Once a failure's box has been
    // answered, the window stays, locked, until the last worker has
    // reported: with the window gone nothing could refuse the end of the
    // session while the other adapters are still written.
    bool boxShown = false;
    bool boxAnswered = false;
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
        ShowBox(RunOutcome::Refused, BoxKind::Information, kFirmwareUpdateCaption,
                Text(kTooOldText, {adapterVersion, kCarriedFirmwareVersion}));
        return std::nullopt;
    case UpdateOutcome::UpgradeOffered:
        return Question{kFirmwareUpdateCaption, Text(kUpgradeQuestion, {adapterVersion, kCarriedFirmwareVersion})};
    case UpdateOutcome::UpToDate:
        break;
    }
    ShowBox(RunOutcome::Done, BoxKind::Information, kFirmwareUpdateCaption,
            Text(kUpToDateText, {kCarriedFirmwareVersion}));
    return std::nullopt;
}

std::uint32_t FlashWorkItem(std::uintptr_t context)
{
    return FlashWorker(static_cast<FlashJob>(context));
}

void FlashFailed(std::uint32_t index);

// A work item that cannot start is that adapter's failure.
void OnFlashRefused(std::uintptr_t job)
{
    --s_run.awaitedWorkers;
    FlashFailed(FlashJobDeviceIndex(static_cast<FlashJob>(job)));
}

// One worker per selected adapter, in index order; the adapters after one
// that cannot start are left untouched.
void QueueFlashJobs(bool factoryReset)
{
    for (const std::uint32_t index : SelectedAdapters()) {
        ++s_run.awaitedWorkers;
        if (!QueueCountedWorker(FlashWorkItem, MakeFlashJob(index, factoryReset), WorkerKind::Writes, OnFlashRefused))
            return;
    }
}

// The bar shows the furthest any adapter has got and never moves back.
void OnFlashProgress(std::uintptr_t index, std::intptr_t percent)
{
    Platform().AdapterProgress(static_cast<std::uint32_t>(index), static_cast<std::uint32_t>(percent));
    if (static_cast<std::uintptr_t>(percent) > Platform().ProgressPosition())
        Platform().SetProgressPosition(static_cast<std::uint32_t>(percent));
}

// After the run's box has been answered, the window goes with the last
// worker's report, and not before.
void EndOnceAllReported()
{
    if (s_run.boxAnswered && s_run.awaitedWorkers == 0)
        DestroyMainWindow();
}

void FlashDone(std::uint32_t index)
{
    LogWorkerOutcome("flash", index, true);
    g_loader.CloseDevice(index);
    if (++g_flashedCount != g_adapterCount) {
        EndOnceAllReported();
        return;
    }
    const std::u16string text = g_adapterCount == 1 ? Text(kFlashDoneOne) : Text(kFlashDoneMany, {g_adapterCount});
    s_run.boxShown = true;
    ShowBox(RunOutcome::Done, BoxKind::Information, kFlashCompleteCaption, text);
    DestroyMainWindow();
}

// Other adapters may still be written while the box waits for the user;
// their reports come in meanwhile, and the window stays until the last.
void FlashFailed(std::uint32_t index)
{
    LogWorkerOutcome("flash", index, false);
    g_loader.CloseDevice(index);
    if (!std::exchange(s_run.boxShown, true)) {
        const std::u16string text = g_adapterCount == 1 ? Text(kFlashFailedOne) : Text(kFlashFailedMany, {index});
        ShowBox(RunOutcome::AdapterFailed, BoxKind::Error, kFlashFailedCaption, text);
        s_run.boxAnswered = true;
    }
    EndOnceAllReported();
}

// Only the worker's own final message counts.
void OnFlashFinal(std::uint32_t message, std::uintptr_t index, std::intptr_t lParam)
{
    if (!TakeWorkerMessage(message, index, lParam))
        return;
    --s_run.awaitedWorkers;
    if (message == WM_FLASH_DONE)
        FlashDone(static_cast<std::uint32_t>(index));
    else
        FlashFailed(static_cast<std::uint32_t>(index));
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
    BeginWorker();
    const std::uint32_t index = FlashJobDeviceIndex(job);
    return FinishWorker(RunFlashJob(job, FlashProgress), WM_FLASH_DONE, WM_FLASH_FAILED, index);
}

// Workers call this: a post never waits for the main thread, and its result
// is of no use to a worker that carries on either way.
void FlashProgress(std::uint32_t deviceIndex, std::uint32_t percent, std::uint32_t)
{
    Platform().PostToMainWindow(WM_FLASH_PROGRESS, deviceIndex, percent);
}

void OnFlashMessage(std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam)
{
    switch (message) {
    case WM_FLASH_PROGRESS:
        OnFlashProgress(wParam, lParam);
        break;
    case WM_FLASH_DONE:
    case WM_FLASH_FAILED:
        OnFlashFinal(message, wParam, lParam);
        break;
    default:
        break;
    }
}

} // namespace Vantri
