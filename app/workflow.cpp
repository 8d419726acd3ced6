#include "app/workflow.h"

#include "app/main_window.h"
#include "app/message_texts.h"
#include "app/running_workers.h"
#include "loader/loader.h"
#include "protocol/device_info.h"

namespace Vantri {

std::u16string Text(std::u16string_view format, std::initializer_list<FormatArg> args)
{
    return FormatText(format, args).value_or(std::u16string());
}

void ShowBox(BoxKind kind, const char16_t* caption, const std::u16string& text)
{
    Platform().ShowBox(kind, caption, text.c_str());
}

// A question box that could not be shown has not been agreed to.
bool AskYes(const char16_t* caption, const std::u16string& text)
{
    return Platform().ShowBox(BoxKind::Question, caption, text.c_str()) == BoxAnswer::Yes;
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
    if (count != 0)
        return true;
    ShowBox(BoxKind::Error, kNoAdapterCaption, kNoAdapterText);
    EndEarly();
    return false;
}

namespace {

bool FirstAdapterTakesConfigs(const ConfigCheckBoxes& boxes)
{
    DeviceInfo info;
    if (ReadDeviceInfo(info).code != 0) {
        ShowBox(BoxKind::Error, boxes.unreadableCaption, kReadInfoFailedText);
        return false;
    }
    if (!ConfigRuleAllows(FirmwareDateNumber(info.firmwareVersion))) {
        ShowBox(BoxKind::Information, boxes.outdatedCaption, boxes.outdatedText);
        return false;
    }
    return true;
}

} // namespace

bool FindAdapterForConfigs(const ConfigCheckBoxes& boxes)
{
    std::uint32_t count = 0;
    if (!FindAdapters(count))
        return false;
    if (FirstAdapterTakesConfigs(boxes))
        return true;
    EndEarly();
    return false;
}

// Done with the adapter before the post: by the time the main thread takes
// the final message, the count already says so, and the hold on the system
// can go before the final box waits for the user. The exit's wait needs no
// more than that, as nothing after the post touches an adapter.
std::uint32_t FinishWorker(bool succeeded, std::uint32_t doneMessage, std::uint32_t failedMessage,
                           std::uintptr_t wParam)
{
    WorkerFinished();
    Platform().PostToMainWindow(succeeded ? doneMessage : failedMessage, wParam, 0);
    return succeeded ? 0 : 0xFFFFFFFFu;
}

} // namespace Vantri
