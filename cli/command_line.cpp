#include "cli/command_line.h"

#include "cli/utf8_text.h"
#include "loader/loader.h"

namespace Vantri::Cli {

namespace {

struct CommandName {
    std::u16string_view name;
    Command command;
    bool takesFile;
};

constexpr CommandName kCommands[] = {
    {u"list", Command::List, false},     {u"update", Command::Update, false},
    {u"reset", Command::Reset, false},   {u"backup", Command::Backup, true},
    {u"restore", Command::Restore, true},
};

enum class Option { Help, Version, Yes, Device, Wait, Count, Json, Quiet };

struct OptionName {
    std::u16string_view name;
    Option option;
    const char* value; // the value's name in a reason; null for a flag
};

constexpr OptionName kOptions[] = {
    {u"--help", Option::Help, nullptr},    {u"--version", Option::Version, nullptr},
    {u"--yes", Option::Yes, nullptr},      {u"--device", Option::Device, "PATH"},
    {u"--wait", Option::Wait, "SECONDS"},  {u"--count", Option::Count, "N"},
    {u"--json", Option::Json, nullptr},    {u"--quiet", Option::Quiet, nullptr},
};

std::string Quoted(std::u16string_view argument)
{
    return Joined({"'", Printable(Utf8(argument)), "'"});
}

// Decimal digits only: no sign, no blank, no unit, so "-1", "5s" and "1e3"
// are refused rather than read as something the user did not mean.
std::optional<std::uint32_t> WholeNumber(std::u16string_view text, std::uint32_t min, std::uint32_t max)
{
    if (text.empty())
        return std::nullopt;
    std::uint64_t value = 0;
    for (const char16_t c : text) {
        if (c < u'0' || c > u'9')
            return std::nullopt;
        value = value * 10 + (c - u'0');
        if (value > max)
            return std::nullopt;
    }
    if (value < min)
        return std::nullopt;
    return static_cast<std::uint32_t>(value);
}

std::string CommandWord(Command command)
{
    for (const CommandName& entry : kCommands) {
        if (entry.command == command)
            return Utf8(entry.name);
    }
    return {};
}

class Reader {
public:
    explicit Reader(std::span<const std::u16string_view> arguments) : arguments_(arguments) {}

    ParsedCommandLine Read();

private:
    void Refuse(std::string reason)
    {
        if (error_.empty())
            error_ = std::move(reason);
    }
    void TakeOption(std::u16string_view argument, std::size_t& next);
    void TakeValue(Option option, std::u16string_view value);
    void TakeWord(std::u16string_view word);
    std::string CheckCombination() const;

    std::span<const std::u16string_view> arguments_;
    CommandLine line_;
    std::string error_;
    bool haveCommand_ = false;
    bool takesFile_ = false;
    bool haveFile_ = false;
    bool help_ = false;
    bool version_ = false;
    bool countGiven_ = false;
};

ParsedCommandLine Reader::Read()
{
    bool optionsEnded = false;
    for (std::size_t i = 0; i < arguments_.size();) {
        const std::u16string_view argument = arguments_[i++];
        if (!optionsEnded && argument == u"--") {
            optionsEnded = true;
        } else if (!optionsEnded && argument.starts_with(u'-')) {
            TakeOption(argument, i);
        } else {
            TakeWord(argument);
        }
    }
    // Asking for help is never a mistake, whatever else the line holds.
    if (help_)
        return {CommandLine{}, {}};
    if (version_) {
        if (arguments_.size() != 1)
            Refuse("--version takes nothing else");
        CommandLine version;
        version.command = Command::Version;
        return {version, error_};
    }
    if (error_.empty())
        error_ = CheckCombination();
    return {line_, error_};
}

void Reader::TakeOption(std::u16string_view argument, std::size_t& next)
{
    std::u16string_view name = argument;
    std::optional<std::u16string_view> attached;
    if (const std::size_t equals = argument.find(u'='); argument.starts_with(u"--") && equals != argument.npos) {
        name = argument.substr(0, equals);
        attached = argument.substr(equals + 1);
    }
    const OptionName* found = nullptr;
    for (const OptionName& entry : kOptions) {
        if (entry.name == name)
            found = &entry;
    }
    if (!found)
        return Refuse(Joined({"unknown option ", Quoted(name)}));
    if (!found->value) {
        if (attached)
            return Refuse(Utf8(name) + " takes no value");
        switch (found->option) {
        case Option::Help: help_ = true; break;
        case Option::Version: version_ = true; break;
        case Option::Yes: line_.yes = true; break;
        case Option::Json: line_.json = true; break;
        case Option::Quiet: line_.quiet = true; break;
        default: break;
        }
        return;
    }
    if (attached)
        return TakeValue(found->option, *attached);
    // The next argument is the value unless it is another option: "--wait
    // --json" lacks its number, it does not wait "--json" seconds.
    if (next == arguments_.size() || arguments_[next].starts_with(u"--"))
        return Refuse(Utf8(name) + " needs " + found->value);
    TakeValue(found->option, arguments_[next++]);
}

void Reader::TakeValue(Option option, std::u16string_view value)
{
    switch (option) {
    case Option::Device:
        if (value.empty())
            return Refuse("--device needs PATH, not an empty text");
        for (const std::u16string& earlier : line_.devices) {
            // Two workers on one adapter would interleave two images.
            if (SameDevicePath(earlier, value))
                return Refuse(Joined({"--device ", Quoted(value), " given twice"}));
        }
        line_.devices.emplace_back(value);
        return;
    case Option::Wait:
        if (line_.waitSeconds)
            return Refuse("--wait given twice");
        line_.waitSeconds = WholeNumber(value, 0, kMaxWaitSeconds);
        if (!line_.waitSeconds)
            return Refuse(Joined({"--wait takes whole seconds from 0 to ", std::to_string(kMaxWaitSeconds), ", not ",
                                  Quoted(value)}));
        return;
    case Option::Count: {
        if (countGiven_)
            return Refuse("--count given twice");
        countGiven_ = true;
        const std::optional<std::uint32_t> count = WholeNumber(value, 1, kMaxDevices);
        if (!count)
            return Refuse(Joined({"--count takes a whole number from 1 to ", std::to_string(kMaxDevices), ", not ",
                                  Quoted(value)}));
        line_.count = *count;
        return;
    }
    default:
        return;
    }
}

void Reader::TakeWord(std::u16string_view word)
{
    if (!haveCommand_) {
        for (const CommandName& entry : kCommands) {
            if (entry.name == word) {
                haveCommand_ = true;
                takesFile_ = entry.takesFile;
                line_.command = entry.command;
                return;
            }
        }
        // Remembered as seen, so that a second word is not taken for one.
        haveCommand_ = true;
        return Refuse(Joined({"unknown command ", Quoted(word)}));
    }
    if (takesFile_ && !haveFile_) {
        haveFile_ = true;
        if (word.empty())
            return Refuse(CommandWord(line_.command) + " needs FILE, not an empty text");
        line_.file = word;
        return;
    }
    Refuse(Joined({"unexpected argument ", Quoted(word)}));
}

std::string Reader::CheckCombination() const
{
    if (!haveCommand_)
        return "no command given";
    const std::string command = CommandWord(line_.command);
    if (takesFile_ && !haveFile_)
        return command + " needs FILE";
    if (line_.command == Command::List && !line_.devices.empty())
        return "list shows every adapter and takes no --device";
    if (takesFile_ && line_.devices.size() > 1)
        return command + " works on one adapter and takes --device once";
    if (countGiven_ && !line_.waitSeconds)
        return "--count needs --wait";
    if (line_.json && line_.quiet)
        return "--json and --quiet do not go together";
    return {};
}

} // namespace

ParsedCommandLine ParseCommandLine(std::span<const std::u16string_view> arguments)
{
    return Reader(arguments).Read();
}

} // namespace Vantri::Cli
