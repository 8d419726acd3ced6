// What the console program prints for --help, --version and a refused
// command line. docs/cli.md quotes HelpText() as it stands, and a test holds
// the two together.
#pragma once

#include <string>
#include <string_view>

namespace Vantri::Cli {

inline constexpr char kProgramName[] = "Vantri4FlashCli";

// The commands, the options and the exit codes, each line ending in '\n'.
std::string HelpText();

// The two lines of usage that follow the reason for a refusal.
std::string UsageText();

// A refused command line as it is shown on standard error: the program's
// name and the one-line reason, then the usage.
std::string UsageErrorText(std::string_view reason);

// The program's version is the firmware it carries, as the window's title
// shows it.
std::string VersionText();

} // namespace Vantri::Cli
