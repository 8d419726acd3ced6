// The console program's command line: Vantri4FlashCli COMMAND [options].
// Reading it decides nothing about adapters; a line that cannot be read is
// refused as a whole before any adapter is looked for.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace Vantri::Cli {

enum class Command { Help, Version, List, Update, Reset, Backup, Restore };

// --wait beyond a day is taken for a mistake (a number of milliseconds, a
// missing unit) rather than waited out.
inline constexpr std::uint32_t kMaxWaitSeconds = 86400;

struct CommandLine {
    Command command = Command::Help;
    std::u16string file;                 // backup and restore: the backup file
    std::vector<std::u16string> devices; // --device, in the order given; empty: every adapter
    bool yes = false;
    std::optional<std::uint32_t> waitSeconds;
    std::uint32_t count = 1;             // adapters --wait waits for
    bool json = false;
    bool quiet = false;

    friend bool operator==(const CommandLine&, const CommandLine&) = default;
};

struct ParsedCommandLine {
    CommandLine line;
    // Why the line was refused, one line of UTF-8; empty when it was read.
    // A refused line is exit 2 (ExitCode::Usage), shown with UsageErrorText.
    std::string error;

    bool ok() const { return error.empty(); }
};

// `arguments` are the ones after the program's name, as the wide command
// line gives them.
ParsedCommandLine ParseCommandLine(std::span<const std::u16string_view> arguments);

} // namespace Vantri::Cli
