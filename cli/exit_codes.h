// The console program's exit codes: one table, read by the help text and
// checked against docs/cli.md, so a script, the help and the docs can never
// disagree about what a number means.
#pragma once

#include <span>
#include <string_view>

namespace Vantri::Cli {

// Never Done after a failure: a script that sees 0 may move on to the next
// batch of adapters.
enum class ExitCode : int {
    Done = 0,            // already up to date included
    AdapterFailed = 1,   // at least one adapter failed
    Usage = 2,           // the command line could not be read; nothing was touched
    NoAdapter = 3,
    NotConfirmed = 4,
    Refused = 5,         // the version or config-format rules said no
    BackupFileError = 6,
    DownloadError = 7,
    InvalidBackup = 8,
};

struct ExitCodeMeaning {
    ExitCode code;
    std::string_view meaning;
};

inline constexpr ExitCodeMeaning kExitCodeMeanings[] = {
    {ExitCode::Done, "done (already up to date included)"},
    {ExitCode::AdapterFailed, "at least one adapter failed"},
    {ExitCode::Usage, "usage"},
    {ExitCode::NoAdapter, "no adapter"},
    {ExitCode::NotConfirmed, "not confirmed"},
    {ExitCode::Refused, "refused by the version or config-format rules"},
    {ExitCode::BackupFileError, "backup file error"},
    {ExitCode::DownloadError, "download error"},
    {ExitCode::InvalidBackup, "invalid backup"},
};

} // namespace Vantri::Cli
