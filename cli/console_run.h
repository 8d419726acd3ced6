// The console program's commands on the engine, on the main thread. Each
// command ends its run as the window's workflows do, by destroying the
// run's window; the outcome is the front end's to write.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>

#include "cli/command_line.h"
#include "cli/console_front_end.h"
#include "cli/reporter.h"

namespace Vantri::Cli {

// How often --wait looks for adapters.
inline constexpr std::uint32_t kWaitPollMs = 250;

// The clock and the pause that --wait uses (the program's own, or a test's).
struct WaitClock {
    std::function<std::uint64_t()> nowMs;
    std::function<void(std::uint32_t ms)> sleep;
};

// For the log: the operation as the command line asked for it.
std::string CommandLineOrigin(std::span<const std::u16string_view> arguments);

// Starts the command: the list on the spot, the other commands as the
// window's buttons start their workflows, after the adapters to work on have
// been chosen and, with --wait, waited for. The run ends when the engine
// destroys the run's window.
void StartCommand(const CommandLine& line, std::string_view origin, Reporter& reporter, ConsoleFrontEnd& frontEnd,
                  const WaitClock& clock);

} // namespace Vantri::Cli
