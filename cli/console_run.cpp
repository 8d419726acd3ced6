#include "cli/console_run.h"

#include <algorithm>

#include "cli/utf8_text.h"
#include "engine/diagnostics_log.h"
#include "engine/main_window.h"
#include "engine/message_texts.h"
#include "engine/workflow.h"
#include "loader/loader.h"
#include "protocol/device_info.h"
#include "protocol/exchange.h"
#include "resources/resource.h"

namespace Vantri::Cli {

namespace {

int ButtonOf(Command command)
{
    switch (command) {
    case Command::Update: return IDC_UPDATE_FIRMWARE;
    case Command::Reset: return IDC_FACTORY_RESET;
    case Command::Backup: return IDC_BACKUP_CONFIGS;
    case Command::Restore: return IDC_RESTORE_CONFIGS;
    case Command::Help:
    case Command::Version:
    case Command::List:
        break;
    }
    return 0;
}

// Looks until enough adapters are there or the time is up. Each look is an
// enumeration of its own; the workflow's own search follows, as in the
// window.
bool WaitForAdapters(const CommandLine& line, ConsoleFrontEnd& frontEnd, const WaitClock& clock)
{
    const std::uint32_t wanted = line.devices.empty() ? line.count : static_cast<std::uint32_t>(line.devices.size());
    const std::uint64_t until = clock.nowMs() + std::uint64_t{*line.waitSeconds} * 1000;
    for (;;) {
        std::uint32_t found = 0;
        g_loader.EnumerateDevices(found);
        const std::uint32_t present = NamedAdaptersPresent(found);
        if (present >= wanted) {
            LogLine(Joined({"waited for ", std::to_string(wanted), " adapters: ", std::to_string(present), " present"}));
            return true;
        }
        const std::uint64_t now = clock.nowMs();
        if (now >= until) {
            LogLine(Joined({"waited for ", std::to_string(wanted), " adapters: ", std::to_string(present),
                            " present when the time was up"}));
            for (std::uint32_t index = 0; index < found && index < kMaxDevices; ++index)
                g_loader.CloseDevice(index);
            if (present == 0)
                frontEnd.End(RunOutcome::NoAdapter, kNoAdapterText);
            else
                frontEnd.End(RunOutcome::NoAdapter, Text(kTooFewText, {present, wanted}));
            return false;
        }
        clock.sleep(static_cast<std::uint32_t>(std::min<std::uint64_t>(kWaitPollMs, until - now)));
    }
}

// Every adapter with its firmware and whether its configs may be backed up
// and restored, by the window's own rules. An adapter whose information
// cannot be read is a failed adapter.
void ListAdapters(Reporter& reporter, ConsoleFrontEnd& frontEnd)
{
    std::uint32_t count = 0;
    if (!FindAdapters(count))
        return;
    bool allRead = true;
    for (const std::uint32_t index : SelectedAdapters()) {
        DeviceInfo info;
        ForgetLastCommandOnThisThread();
        if (const ResultRecord read = ReadDeviceInfo(info, index); read.code != 0) {
            const std::uint8_t command = LastCommandOnThisThread();
            LogFailure(Joined({"information pages of adapter ", std::to_string(index)}), index, command, read);
            frontEnd.Result(index, false, read, command);
            allRead = false;
            continue;
        }
        const std::string_view version = FirmwareVersionText(info);
        LogLine(Joined({"adapter ", std::to_string(index), " firmware: ", version}));
        reporter.Found(index, g_loader.DevicePath(index), version,
                       ConfigRuleAllows(FirmwareDateNumber(info.firmwareVersion)));
    }
    for (const std::uint32_t index : SelectedAdapters())
        g_loader.CloseDevice(index);
    if (allRead)
        frontEnd.End(RunOutcome::Done, Text(kListedText, {count}));
    else
        frontEnd.End(RunOutcome::AdapterFailed, kReadInfoFailedText);
    DestroyMainWindow();
}

} // namespace

std::string CommandLineOrigin(std::span<const std::u16string_view> arguments)
{
    std::string origin = "command line:";
    for (const std::u16string_view argument : arguments)
        origin += Joined({" ", Printable(Utf8(argument))});
    return origin;
}

void StartCommand(const CommandLine& line, std::string_view origin, Reporter& reporter, ConsoleFrontEnd& frontEnd,
                  const WaitClock& clock)
{
    SelectAdapters(line.devices);
    if (line.waitSeconds && !WaitForAdapters(line, frontEnd, clock)) {
        DestroyMainWindow();
        return;
    }
    if (line.command == Command::List) {
        LogLine(Joined({"operation: list (", origin, ")"}));
        ListAdapters(reporter, frontEnd);
        return;
    }
    if (!StartWorkflow(ButtonOf(line.command), origin)) {
        frontEnd.End(RunOutcome::AdapterFailed, kNoOutcomeText);
        DestroyMainWindow();
    }
}

} // namespace Vantri::Cli
