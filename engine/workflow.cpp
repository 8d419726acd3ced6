#include "engine/workflow.h"

#include <algorithm>
#include <iterator>
#include <string>
#include <vector>

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
// The paths a front end named; empty: every adapter.
std::vector<std::u16string> s_namedPaths;
// The device indices FindAdapters selected, in table order.
std::vector<std::uint32_t> s_selected;
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

void ShowBox(RunOutcome outcome, BoxKind kind, const char16_t* caption, const std::u16string& text)
{
    LogLine(std::string("box ") + KindName(kind) + ": " + Utf8(caption));
    Platform().NoteOutcome(outcome);
    Platform().ShowBox(kind, caption, text.c_str());
}

// A question box that could not be shown has not been agreed to.
bool AskYes(const char16_t* caption, const std::u16string& text)
{
    const BoxAnswer answer = Platform().ShowBox(BoxKind::Question, caption, text.c_str());
    LogLine("question " + Utf8(caption) + ": " + AnswerName(answer));
    if (answer != BoxAnswer::Yes)
        Platform().NoteOutcome(RunOutcome::NotConfirmed);
    return answer == BoxAnswer::Yes;
}

void EndEarly()
{
    g_loader.CloseDevice(FirstAdapter());
    DestroyMainWindow();
}

void SelectAdapters(std::span<const std::u16string> paths)
{
    s_namedPaths.assign(paths.begin(), paths.end());
}

std::span<const std::uint32_t> SelectedAdapters()
{
    return s_selected;
}

std::uint32_t FirstAdapter()
{
    return s_selected.empty() ? 0 : s_selected.front();
}

namespace {

bool Named(std::u16string_view path)
{
    return std::any_of(s_namedPaths.begin(), s_namedPaths.end(),
                       [path](const std::u16string& named) { return SameDevicePath(named, path); });
}

bool Present(std::u16string_view named, std::uint32_t found)
{
    for (std::uint32_t index = 0; index < found && index < kMaxDevices; ++index) {
        if (SameDevicePath(named, g_loader.DevicePath(index)))
            return true;
    }
    return false;
}

// Every adapter, or exactly the named ones: a named adapter that is missing
// selects none, so that a script never writes to fewer than it named
// without being told. The adapters left out are closed, so another program
// may use them meanwhile.
std::uint32_t Select(std::uint32_t found)
{
    s_selected.clear();
    for (std::uint32_t index = 0; index < found && index < kMaxDevices; ++index) {
        if (s_namedPaths.empty() || Named(g_loader.DevicePath(index)))
            s_selected.push_back(index);
    }
    if (s_namedPaths.empty())
        return static_cast<std::uint32_t>(s_selected.size());
    for (const std::u16string& named : s_namedPaths) {
        if (!Present(named, found)) {
            LogLine("named adapter not found: " + Utf8(named));
            s_selected.clear();
        }
    }
    for (std::uint32_t index = 0; index < found && index < kMaxDevices; ++index) {
        if (std::find(s_selected.begin(), s_selected.end(), index) == s_selected.end())
            g_loader.CloseDevice(index);
    }
    LogLine("adapters selected: " + std::to_string(s_selected.size()));
    return static_cast<std::uint32_t>(s_selected.size());
}

} // namespace

std::uint32_t NamedAdaptersPresent(std::uint32_t found)
{
    if (s_namedPaths.empty())
        return std::min(found, kMaxDevices);
    return static_cast<std::uint32_t>(std::count_if(s_namedPaths.begin(), s_namedPaths.end(),
                                                    [found](const std::u16string& named) { return Present(named, found); }));
}

bool FindAdapters(std::uint32_t& count)
{
    count = 0;
    std::uint32_t found = 0;
    g_loader.EnumerateDevices(found);
    LogLine("adapters found: " + std::to_string(found));
    for (std::uint32_t index = 0; index < found && index < kMaxDevices; ++index)
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
    count = Select(found);
    if (count != 0)
        return true;
    ShowBox(RunOutcome::NoAdapter, BoxKind::Error, kNoAdapterCaption, kNoAdapterText);
    EndEarly();
    return false;
}

bool ChooseFile(FileDialog dialog, const char16_t* title, std::span<char16_t> fileName)
{
    const bool save = dialog == FileDialog::Save;
    const bool chosen = save ? Platform().ShowSaveDialog(title, fileName) : Platform().ShowOpenDialog(title, fileName);
    LogLine(std::string(save ? "save" : "open") + " dialog: " + (chosen ? Utf8(PathIn(fileName)) : "cancelled"));
    if (!chosen)
        Platform().NoteOutcome(RunOutcome::NotConfirmed);
    return chosen;
}

bool ReadFirstAdapter(DeviceInfo& info, const char16_t* unreadableCaption)
{
    const std::uint32_t first = FirstAdapter();
    const std::string adapter = "adapter " + std::to_string(first);
    if (const ResultRecord read = ReadDeviceInfo(info, first); read.code != 0) {
        const std::uint8_t command = LastCommandOnThisThread();
        LogFailure("information pages of " + adapter, first, command, read);
        Platform().AdapterResult(first, false, read, command);
        ShowBox(RunOutcome::AdapterFailed, BoxKind::Error, unreadableCaption, kReadInfoFailedText);
        return false;
    }
    LogLine(adapter + " firmware: " + std::string(FirmwareVersionText(info)));
    return true;
}

namespace {

bool FirstAdapterTakesConfigs(const ConfigCheckTexts& texts)
{
    DeviceInfo info;
    if (!ReadFirstAdapter(info, texts.unreadableCaption))
        return false;
    if (!ConfigRuleAllows(FirmwareDateNumber(info.firmwareVersion))) {
        ShowBox(RunOutcome::Refused, BoxKind::Information, texts.outdatedCaption, texts.outdatedText);
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
    const auto index = static_cast<std::uint32_t>(deviceIndex);
    if (succeeded) {
        LogLine(std::string(operation) + " of " + adapter + ": done");
        Platform().AdapterResult(index, true, kResultOk, 0);
        return;
    }
    const WorkerReport report = deviceIndex < kMaxDevices ? s_reports[deviceIndex] : WorkerReport{};
    Platform().AdapterResult(index, false, report.result, report.command);
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
    s_namedPaths.clear();
    s_selected.clear();
}

} // namespace Vantri
