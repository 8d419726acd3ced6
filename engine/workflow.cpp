#include "engine/workflow.h"

#include <algorithm>
#include <iterator>
#include <string>

#include "engine/diagnostics_log.h"
#include "engine/file_store.h"
#include "engine/main_window.h"
#include "engine/message_texts.h"
#include "engine/running_workers.h"
#include "base/final_messages.h"
#include "loader/loader.h"
#include "protocol/device_info.h"
#include "protocol/exchange.h"

namespace Vantri {

namespace {

// What each worker leaves for the main thread's log, one slot per device
// index: written by the worker before its final post, read by the main
// thread once that post has arrived.
struct WorkerReport {
    ResultRecord result;
    std::uint8_t command;
};

WorkerReport s_reports[kMaxDevices];
// One run performs one workflow, so one slot per device index serves the
// flash's workers and the one backup or restore worker alike.
FinalMessages<kMaxDevices> s_finalMessages;

const char* KindName(BoxKind kind)
{
    switch (kind) {
    case BoxKind::Error: return "error";
    case BoxKind::Information: return "information";
    case BoxKind::Question: return "question";
    }
    return "?";
}

const char* AnswerName(BoxAnswer answer)
{
    switch (answer) {
    case BoxAnswer::Yes: return "yes";
    case BoxAnswer::No: return "no";
    case BoxAnswer::Ok: return "ok";
    case BoxAnswer::None: break;
    }
    return "not shown";
}

} // namespace

std::u16string Text(std::u16string_view format, std::initializer_list<FormatArg> args)
{
    return FormatText(format, args).value_or(std::u16string());
}

void ShowBox(BoxKind kind, const char16_t* caption, const std::u16string& text)
{
    LogLine(std::string("box ") + KindName(kind) + ": " + Utf8(caption));
    Platform().ShowBox(kind, caption, text.c_str());
}

// A question box that could not be shown has not been agreed to.
bool AskYes(const char16_t* caption, const std::u16string& text)
{
    const BoxAnswer answer = Platform().ShowBox(BoxKind::Question, caption, text.c_str());
    LogLine("question " + Utf8(caption) + ": " + AnswerName(answer));
    return answer == BoxAnswer::Yes;
}

void EndEarly()
{
    g_loader.CloseDevice(0);
    DestroyMainWindow();
}

bool FindAdapters(std::uint32_t& count)
{
    count = 0;
    g_loader.EnumerateDevices(count);
    LogLine("adapters found: " + std::to_string(count));
    for (std::uint32_t index = 0; index < count && index < kMaxDevices; ++index)
        LogLine("adapter " + std::to_string(index) + ": " + Utf8(g_loader.DevicePath(index)));
    // A device with the adapter's ids and name that is none: support must see
    // why the search left it out.
    for (const PassedOverInterface& lookAlike : g_loader.PassedOver()) {
        const std::string why = lookAlike.inputBytes == 0 && lookAlike.outputBytes == 0
                                    ? "its report lengths cannot be read"
                                    : "input reports of " + std::to_string(lookAlike.inputBytes) +
                                          " bytes, output reports of " + std::to_string(lookAlike.outputBytes) +
                                          " bytes, not 65";
        LogLine("passed over " + Utf8(lookAlike.path) + ": " + why);
    }
    if (count != 0)
        return true;
    ShowBox(BoxKind::Error, kNoAdapterCaption, kNoAdapterText);
    EndEarly();
    return false;
}

bool ChooseFile(FileDialog dialog, const char16_t* title, std::span<char16_t> fileName)
{
    const bool save = dialog == FileDialog::Save;
    const bool chosen = save ? Platform().ShowSaveDialog(title, fileName) : Platform().ShowOpenDialog(title, fileName);
    LogLine(std::string(save ? "save" : "open") + " dialog: " + (chosen ? Utf8(PathIn(fileName)) : "cancelled"));
    return chosen;
}

bool ReadFirstAdapter(DeviceInfo& info, const char16_t* unreadableCaption)
{
    if (const ResultRecord read = ReadDeviceInfo(info); read.code != 0) {
        LogFailure("information pages of adapter 0", 0, LastCommandOnThisThread(), read);
        ShowBox(BoxKind::Error, unreadableCaption, kReadInfoFailedText);
        return false;
    }
    LogLine("adapter 0 firmware: " + std::string(FirmwareVersionText(info)));
    return true;
}

namespace {

bool FirstAdapterTakesConfigs(const ConfigCheckTexts& texts)
{
    DeviceInfo info;
    if (!ReadFirstAdapter(info, texts.unreadableCaption))
        return false;
    if (!ConfigRuleAllows(FirmwareDateNumber(info.firmwareVersion))) {
        ShowBox(BoxKind::Information, texts.outdatedCaption, texts.outdatedText);
        return false;
    }
    return true;
}

} // namespace

bool FindAdapterForConfigs(const ConfigCheckTexts& texts)
{
    std::uint32_t count = 0;
    if (!FindAdapters(count))
        return false;
    if (FirstAdapterTakesConfigs(texts))
        return true;
    EndEarly();
    return false;
}

// Done with the adapter before the post: by the time the main thread takes
// the final message, the count already says so, and the hold on the system
// can go before the final box waits for the user. The exit's wait needs no
// more than that, as nothing after the post touches an adapter.
void BeginWorker()
{
    ForgetLastCommandOnThisThread();
}

std::uint32_t FinishWorker(const ResultRecord& result, std::uint32_t doneMessage, std::uint32_t failedMessage,
                           std::uint32_t deviceIndex)
{
    const bool succeeded = result.code == 0;
    const std::uint32_t message = succeeded ? doneMessage : failedMessage;
    if (deviceIndex < kMaxDevices)
        s_reports[deviceIndex] = {result, succeeded ? std::uint8_t{0} : LastCommandOnThisThread()};
    s_finalMessages.Mark(deviceIndex, message);
    WorkerFinished();
    Platform().PostToMainWindow(message, deviceIndex, 0);
    return succeeded ? 0 : 0xFFFFFFFFu;
}

bool TakeWorkerMessage(std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam)
{
    return s_finalMessages.Take(wParam, message, lParam);
}

// A failed message whose slot holds no failure came from a work item the
// system refused: no worker ran to leave a record.
void LogWorkerOutcome(std::string_view operation, std::uintptr_t deviceIndex, bool succeeded)
{
    const std::string adapter = "adapter " + std::to_string(deviceIndex);
    if (succeeded) {
        LogLine(std::string(operation) + " of " + adapter + ": done");
        return;
    }
    const WorkerReport report = deviceIndex < kMaxDevices ? s_reports[deviceIndex] : WorkerReport{};
    if (report.result.code == 0) {
        LogLine(std::string(operation) + " of " + adapter +
                (LastRefusalWasSessionEnd() ? ": not started (the session is ending)"
                                            : ": not started (the system refused its work item)"));
        return;
    }
    LogFailure(std::string(operation) + " of " + adapter, static_cast<std::uint32_t>(deviceIndex), report.command,
               report.result);
}

void ResetWorkerReports()
{
    std::fill(std::begin(s_reports), std::end(s_reports), WorkerReport{});
    s_finalMessages.Reset();
}

} // namespace Vantri
