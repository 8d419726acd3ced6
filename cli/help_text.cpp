#include "cli/help_text.h"

#include "cli/exit_codes.h"
#include "cli/utf8_text.h"
#include "protocol/device_info.h"

namespace Vantri::Cli {

namespace {

// Kept within 80 columns: a console wraps longer lines where it likes.
constexpr std::string_view kCommandsAndOptions =
    "Commands:\n"
    "  list            every Vantri4 found: its index, firmware version, whether\n"
    "                  its configs can be backed up and restored, interface path\n"
    "  update          update the firmware of the selected Vantri4s at once, as\n"
    "                  the first one's version allows\n"
    "  reset           factory reset the selected Vantri4s at once: erase their\n"
    "                  configs and global settings and install the firmware\n"
    "  backup FILE     save the configs of the first (or the chosen) Vantri4 in\n"
    "                  FILE; an old FILE stays as it was if anything fails\n"
    "  restore FILE    restore the configs of FILE to the first (or the chosen)\n"
    "                  Vantri4, with the games database from the update host\n"
    "\n"
    "Options:\n"
    "  --yes           answer yes to the question the window would ask; without\n"
    "                  it the question is asked here, and no answer can be given\n"
    "                  when standard input is not a console (exit 4)\n"
    "  --device PATH   only the Vantri4 at PATH, as list shows it; repeatable\n"
    "                  for update and reset, once for backup and restore\n"
    "  --wait SECONDS  first wait up to SECONDS (0 to 86400) for enough Vantri4s\n"
    "  --count N       with --wait: how many are enough (1 to 256, default 1)\n"
    "  --json          one JSON object per line (not with --quiet)\n"
    "  --quiet         only the outcome and the failures\n"
    "  --help          this text\n"
    "  --version       the program's version, the firmware it carries\n"
    "\n"
    "Options go before or after the command, as --name VALUE or --name=VALUE;\n"
    "'--' ends them, for a FILE whose name begins with '-'.\n";

} // namespace

std::string UsageText()
{
    const std::string name = kProgramName;
    return "Usage: " + name + " COMMAND [options]\n       " + name + " --help | --version\n";
}

std::string HelpText()
{
    std::string text = UsageText() + "\n" + std::string(kCommandsAndOptions) + "\nExit codes:\n";
    for (const ExitCodeMeaning& entry : kExitCodeMeanings)
        text += Joined({"  ", std::to_string(static_cast<int>(entry.code)), "  ", entry.meaning, "\n"});
    return text;
}

std::string UsageErrorText(std::string_view reason)
{
    return std::string(kProgramName) + ": " + std::string(reason) + "\n" + UsageText();
}

std::string VersionText()
{
    return std::string(kProgramName) + " " + kCarriedFirmwareVersion + "\n";
}

} // namespace Vantri::Cli
