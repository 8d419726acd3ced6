#include <gtest/gtest.h>

#include <vector>

#include "cli/command_line.h"
#include "cli/help_text.h"

namespace {

using Vantri::Cli::Command;
using Vantri::Cli::CommandLine;

struct Row {
    std::vector<std::u16string_view> arguments;
    CommandLine line;  // what a good line reads as
    std::string error; // or why it is refused
};

CommandLine Line(Command command)
{
    CommandLine line;
    line.command = command;
    return line;
}

CommandLine Update(std::vector<std::u16string> devices, bool yes = false)
{
    CommandLine line = Line(Command::Update);
    line.devices = std::move(devices);
    line.yes = yes;
    return line;
}

CommandLine WithFile(Command command, std::u16string file, std::vector<std::u16string> devices = {})
{
    CommandLine line = Line(command);
    line.file = std::move(file);
    line.devices = std::move(devices);
    return line;
}

CommandLine Waiting(Command command, std::uint32_t seconds, std::uint32_t count)
{
    CommandLine line = Line(command);
    line.waitSeconds = seconds;
    line.count = count;
    return line;
}

CommandLine Flags(Command command, bool yes, bool json, bool quiet)
{
    CommandLine line = Line(command);
    line.yes = yes;
    line.json = json;
    line.quiet = quiet;
    return line;
}

const CommandLine kRefused{};

const std::string kBadWait = "--wait takes whole seconds from 0 to 86400, not ";
const std::string kBadCount = "--count takes a whole number from 1 to 256, not ";

const Row kRows[] = {
    // Commands, and options on either side of them.
    {{u"list"}, Line(Command::List), ""},
    {{u"update", u"--yes"}, Update({}, true), ""},
    {{u"--yes", u"reset"}, Flags(Command::Reset, true, false, false), ""},
    {{u"update", u"--device", u"\\\\?\\hid#a", u"--device=\\\\?\\hid#b"}, Update({u"\\\\?\\hid#a", u"\\\\?\\hid#b"}), ""},
    {{u"backup", u"C:\\Zo\u00EB\\\U0001F3AE.vtcb", u"--device", u"p"}, WithFile(Command::Backup, u"C:\\Zo\u00EB\\\U0001F3AE.vtcb", {u"p"}), ""},
    {{u"restore", u"--", u"-odd.vtcb"}, WithFile(Command::Restore, u"-odd.vtcb"), ""},
    {{u"update", u"--"}, Update({}), ""},
    // --yes where nothing is asked changes nothing; flags may come twice.
    {{u"backup", u"b.vtcb", u"--yes"}, [] { auto l = WithFile(Command::Backup, u"b.vtcb"); l.yes = true; return l; }(), ""},
    {{u"list", u"--json", u"--json"}, Flags(Command::List, false, true, false), ""},
    {{u"list", u"--quiet"}, Flags(Command::List, false, false, true), ""},
    // --wait 0 looks once; leading zeros are still decimal; the limits hold.
    {{u"list", u"--wait", u"0"}, Waiting(Command::List, 0, 1), ""},
    {{u"update", u"--wait=007", u"--count=1"}, Waiting(Command::Update, 7, 1), ""},
    {{u"reset", u"--count", u"256", u"--wait", u"86400"}, Waiting(Command::Reset, 86400, 256), ""},
    // Help wins over anything else on the line, mistakes included.
    {{u"--help"}, Line(Command::Help), ""},
    {{u"update", u"--bogus", u"--wait", u"x", u"--help"}, Line(Command::Help), ""},
    {{u"update", u"--device", u"--help"}, Line(Command::Help), ""},
    {{u"--version"}, Line(Command::Version), ""},

    // Refusals: the first reason on the line is the one given.
    {{}, kRefused, "no command given"},
    {{u"--yes"}, kRefused, "no command given"},
    {{u"flash"}, kRefused, "unknown command 'flash'"},
    {{u"Update"}, kRefused, "unknown command 'Update'"},
    {{u"fl\nash", u"list"}, kRefused, "unknown command 'fl?ash'"},
    {{u"\xD800x"}, kRefused, "unknown command '\xEF\xBF\xBDx'"},
    {{u"list", u"--frob", u"--bar"}, kRefused, "unknown option '--frob'"},
    {{u"list", u"--frob=1"}, kRefused, "unknown option '--frob'"},
    {{u"list", u"-y"}, kRefused, "unknown option '-y'"},
    {{u"backup", u"-"}, kRefused, "unknown option '-'"},
    {{u"list", u"extra"}, kRefused, "unexpected argument 'extra'"},
    {{u"restore", u"a.vtcb", u"b.vtcb"}, kRefused, "unexpected argument 'b.vtcb'"},
    {{u"update", u"--", u"--yes"}, kRefused, "unexpected argument '--yes'"},
    {{u"backup"}, kRefused, "backup needs FILE"},
    {{u"restore", u"--yes"}, kRefused, "restore needs FILE"},
    {{u"backup", u""}, kRefused, "backup needs FILE, not an empty text"},
    {{u"list", u"--yes=no"}, kRefused, "--yes takes no value"},
    {{u"update", u"--device"}, kRefused, "--device needs PATH"},
    {{u"update", u"--device", u"--yes"}, kRefused, "--device needs PATH"},
    {{u"update", u"--device="}, kRefused, "--device needs PATH, not an empty text"},
    {{u"update", u"--device", u"\\\\?\\HID#a", u"--device", u"\\\\?\\hid#A"}, kRefused, "--device '\\\\?\\hid#A' given twice"},
    {{u"list", u"--device", u"p"}, kRefused, "list shows every adapter and takes no --device"},
    {{u"backup", u"f", u"--device", u"p", u"--device", u"q"}, kRefused, "backup works on one adapter and takes --device once"},
    {{u"restore", u"f", u"--device", u"p", u"--device", u"q"}, kRefused, "restore works on one adapter and takes --device once"},
    {{u"update", u"--wait"}, kRefused, "--wait needs SECONDS"},
    {{u"update", u"--wait", u"-1"}, kRefused, kBadWait + "'-1'"},
    {{u"update", u"--wait", u"+5"}, kRefused, kBadWait + "'+5'"},
    {{u"update", u"--wait", u" 5"}, kRefused, kBadWait + "' 5'"},
    {{u"update", u"--wait", u"5s"}, kRefused, kBadWait + "'5s'"},
    {{u"update", u"--wait", u"1.5"}, kRefused, kBadWait + "'1.5'"},
    {{u"update", u"--wait="}, kRefused, kBadWait + "''"},
    {{u"update", u"--wait", u"86401"}, kRefused, kBadWait + "'86401'"},
    {{u"update", u"--wait", u"99999999999999999999999"}, kRefused, kBadWait + "'99999999999999999999999'"},
    {{u"update", u"--wait", u"\uFF15"}, kRefused, kBadWait + "'\xEF\xBC\x95'"}, // a fullwidth digit is no digit
    {{u"list", u"--wait", u"1", u"--wait", u"1"}, kRefused, "--wait given twice"},
    {{u"update", u"--wait", u"5", u"--count", u"0"}, kRefused, kBadCount + "'0'"},
    {{u"update", u"--wait", u"5", u"--count", u"257"}, kRefused, kBadCount + "'257'"},
    {{u"update", u"--wait", u"5", u"--count", u"-3"}, kRefused, kBadCount + "'-3'"},
    {{u"update", u"--wait", u"5", u"--count=2", u"--count=2"}, kRefused, "--count given twice"},
    {{u"update", u"--count", u"2"}, kRefused, "--count needs --wait"},
    {{u"list", u"--json", u"--quiet"}, kRefused, "--json and --quiet do not go together"},
    {{u"--version", u"list"}, kRefused, "--version takes nothing else"},
    {{u"--version", u"--version"}, kRefused, "--version takes nothing else"},
};

TEST(CliCommandLine, EveryRowReadsOrIsRefusedWithItsReason)
{
    for (std::size_t i = 0; i < std::size(kRows); ++i) {
        const Row& row = kRows[i];
        SCOPED_TRACE("row " + std::to_string(i));
        const Vantri::Cli::ParsedCommandLine parsed = Vantri::Cli::ParseCommandLine(row.arguments);
        EXPECT_EQ(parsed.error, row.error);
        EXPECT_EQ(parsed.ok(), row.error.empty());
        if (row.error.empty()) {
            EXPECT_TRUE(parsed.line == row.line);
        }
    }
}

TEST(CliCommandLine, ARefusalIsItsReasonOnOneLineThenTheUsage)
{
    const std::u16string_view arguments[] = {u"update", u"--frob"};
    const auto parsed = Vantri::Cli::ParseCommandLine(arguments);
    EXPECT_EQ(Vantri::Cli::UsageErrorText(parsed.error), "Vantri4FlashCli: unknown option '--frob'\n"
                                                         "Usage: Vantri4FlashCli COMMAND [options]\n"
                                                         "       Vantri4FlashCli --help | --version\n");
}

} // namespace
