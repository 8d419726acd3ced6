#include "emulator/server/server_options.h"

#include "emulator/server/emulator_server.h"

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <string_view>

namespace VantriEmu {

const char kServerUsage[] =
    "usage: vantri_emulator [options]\n"
    "Serves emulated Vantri4 adapters and other HID interfaces on 127.0.0.1.\n"
    "  --port P                        TCP port (default 0: chosen, printed as port=P)\n"
    "  --adapters N                    emulated adapters (default 1)\n"
    "  --non-adapters M                HID interfaces that are not adapters (default 0);\n"
    "                                  at most 1680 interfaces in all\n"
    "  --look-alikes K                 interfaces with the adapter's ids and product\n"
    "                                  string but 33-byte reports (default 0)\n"
    "  --version [I/]TEXT              version text of information page 2\n"
    "  --piece-size [I/]N              config area read piece size, 1-56 (default 56)\n"
    "  --config-file [I/]PATH          the config area starts as this file of 65,536 bytes\n"
    "  --page2-length [I/]N            data bytes of the page 2 answer (default 56)\n"
    "  --held-open I                   adapter I is held open by another program\n"
    "  --flicker I                     adapter I is missing from every second list: it\n"
    "                                  leaves and comes back on every pass of a search\n"
    "  --arrive-after [I/]MS           adapter I is plugged in MS ms after the start: until\n"
    "                                  then it is not listed and cannot be opened\n"
    "  --refuse [I/]CMD:K:CODE[:D1:D2] refuse the K-th frame of CMD with CODE (0 allowed)\n"
    "                                  and details D1 (byte 4) and D2 (bytes 5-6)\n"
    "  --bad-echo [I/]CMD:K            wrong echo for the K-th frame of CMD\n"
    "  --answer-length [I/]CMD:K:LEN   answer the K-th frame of CMD with length LEN\n"
    "  --write-fail [I/]CMD:K:CODE     the K-th frame of CMD fails to write with CODE\n"
    "  --read-fail [I/]CMD:K:CODE      the answer to the K-th frame of CMD fails to read\n"
    "  --write-short [I/]CMD:K         the K-th frame of CMD is written short\n"
    "  --read-short [I/]CMD:K          the answer to the K-th frame of CMD is read short\n"
    "  --answer-delay [I/]CMD:K:MS     the answer to the K-th frame of CMD comes MS ms late\n"
    "  --silent-at [I/]N               from output report N on, no answers\n"
    "  --vanish-at [I/]N               from output report N on, the adapter is gone\n"
    "  --latency-us N                  latency before each answer\n"
    "  --frame-clock                   1 ms USB frames: 2 ms an exchange\n"
    "  --no-transcript                 keep no transcript\n"
    "  --state-dir DIR                 write state and transcripts here at exit and on DUMP\n"
    "  --help                          this text\n"
    "[I/] picks adapter I (from 0); without it an option applies to every adapter.\n"
    "Numbers are decimal or 0x hexadecimal. Fault options may be repeated.\n";
static_assert(kMaxInterfaces == 1680, "the usage text names the limit");

namespace {

bool ParseNumber(std::string_view text, std::uint64_t max, std::uint64_t& value)
{
    if (text.empty() || text.front() == '-' || text.front() == '+')
        return false;
    const std::string copy(text);
    char* end = nullptr;
    errno = 0;
    const unsigned long long parsed = std::strtoull(copy.c_str(), &end, 0);
    if (errno != 0 || end != copy.c_str() + copy.size() || parsed > max)
        return false;
    value = parsed;
    return true;
}

// Splits "I/rest" into the adapter and the rest; no "/" means every adapter.
bool SplitAdapter(std::string_view text, std::int32_t& adapter, std::string_view& rest)
{
    const auto slash = text.find('/');
    if (slash == std::string_view::npos) {
        adapter = kEveryAdapter;
        rest = text;
        return true;
    }
    std::uint64_t n = 0;
    if (!ParseNumber(text.substr(0, slash), 0xFFFF, n))
        return false;
    adapter = static_cast<std::int32_t>(n);
    rest = text.substr(slash + 1);
    return true;
}

// "[I/]TEXT" where TEXT may itself hold a '/' (a path, a version text): a
// leading number before the first '/' selects an adapter; anything else is
// all text, for every adapter.
void SplitAdapterFromText(std::string_view text, std::int32_t& adapter, std::string_view& rest)
{
    if (!SplitAdapter(text, adapter, rest)) {
        adapter = kEveryAdapter;
        rest = text;
    }
}

// "a:b[:c[:d:e]]" into `count` numbers.
bool ParseFields(std::string_view text, std::size_t count, std::uint64_t (&fields)[5])
{
    const std::uint64_t limits[5] = {127, 0xFFFFFFFF, 0xFFFFFFFF, 0xFF, 0xFFFF};
    for (std::size_t i = 0; i < count; ++i) {
        const auto colon = text.find(':');
        const bool last = i + 1 == count;
        if (last != (colon == std::string_view::npos))
            return false;
        if (!ParseNumber(text.substr(0, colon), limits[i], fields[i]))
            return false;
        text = last ? std::string_view() : text.substr(colon + 1);
    }
    return true;
}

using FaultMaker = Fault (*)(const std::uint64_t (&fields)[5]);

struct FaultOption {
    const char* name;
    std::size_t fields;
    FaultMaker make;
    bool details = false; // two more fields may follow: the answer's bytes 4 and 5-6
};

std::uint16_t Cmd(const std::uint64_t (&f)[5])
{
    return static_cast<std::uint16_t>(f[0]);
}

std::uint32_t K(const std::uint64_t (&f)[5])
{
    return static_cast<std::uint32_t>(f[1]);
}

const FaultOption kFaultOptions[] = {
    {"--refuse", 3,
     [](const auto& f) {
         return Fault::Refuse(Cmd(f), K(f), static_cast<std::uint8_t>(f[2]), static_cast<std::uint8_t>(f[3]),
                              static_cast<std::uint16_t>(f[4]));
     },
     true},
    {"--bad-echo", 2, [](const auto& f) { return Fault::BadEcho(Cmd(f), K(f)); }},
    {"--answer-length", 3,
     [](const auto& f) { return Fault::AnswerLength(Cmd(f), K(f), static_cast<std::uint8_t>(f[2])); }},
    {"--write-fail", 3, [](const auto& f) { return Fault::WriteFailure(Cmd(f), K(f), static_cast<std::uint32_t>(f[2])); }},
    {"--read-fail", 3, [](const auto& f) { return Fault::ReadFailure(Cmd(f), K(f), static_cast<std::uint32_t>(f[2])); }},
    {"--write-short", 2, [](const auto& f) { return Fault::WriteShort(Cmd(f), K(f)); }},
    {"--read-short", 2, [](const auto& f) { return Fault::ReadShort(Cmd(f), K(f)); }},
    {"--answer-delay", 3,
     [](const auto& f) { return Fault::AnswerDelay(Cmd(f), K(f), static_cast<std::uint32_t>(f[2])); }},
};

class Parser {
public:
    Parser(int argc, const char* const* argv, ServerOptions& options, std::string& error)
        : argc_(argc), argv_(argv), options_(options), error_(error)
    {
    }

    bool Run()
    {
        for (index_ = 1; index_ < argc_; ++index_) {
            if (!Option(argv_[index_]))
                return false;
        }
        // The list of interfaces travels in one message: more than it holds
        // could never be listed.
        if (options_.adapters + options_.nonAdapters + options_.lookAlikes > kMaxInterfaces)
            return Fail("--adapters, --non-adapters and --look-alikes: at most " + std::to_string(kMaxInterfaces) +
                        " interfaces in all (one LIST reply holds no more)");
        return true;
    }

private:
    bool Fail(const std::string& message)
    {
        error_ = message;
        return false;
    }

    bool Value(std::string_view name, std::string_view& value)
    {
        if (index_ + 1 >= argc_)
            return Fail(std::string(name) + " needs a value");
        value = argv_[++index_];
        return true;
    }

    bool Number(std::string_view name, std::uint64_t max, std::uint64_t& n)
    {
        std::string_view value;
        if (!Value(name, value))
            return false;
        if (!ParseNumber(value, max, n))
            return Fail(std::string(name) + ": bad number '" + std::string(value) + "'");
        return true;
    }

    void Edit(std::int32_t adapter, std::function<void(AdapterSettings&)> change)
    {
        options_.edits.emplace_back(adapter, std::move(change));
    }

    // "[I/]N" options that set one number of the settings.
    bool AdapterNumber(std::string_view name, std::uint64_t max, std::function<void(AdapterSettings&, std::uint64_t)> set)
    {
        std::string_view value;
        std::string_view rest;
        std::int32_t adapter = kEveryAdapter;
        std::uint64_t n = 0;
        if (!Value(name, value))
            return false;
        if (!SplitAdapter(value, adapter, rest) || !ParseNumber(rest, max, n))
            return Fail(std::string(name) + ": bad value '" + std::string(value) + "'");
        Edit(adapter, [set, n](AdapterSettings& s) { set(s, n); });
        return true;
    }

    bool Fault(std::string_view name, const FaultOption& option)
    {
        std::string_view value;
        std::string_view rest;
        std::int32_t adapter = kEveryAdapter;
        std::uint64_t fields[5]{};
        if (!Value(name, value))
            return false;
        if (!SplitAdapter(value, adapter, rest) ||
            !(ParseFields(rest, option.fields, fields) ||
              (option.details && ParseFields(rest, option.fields + 2, fields))))
            return Fail(std::string(name) + ": bad value '" + std::string(value) + "'");
        const VantriEmu::Fault fault = option.make(fields);
        Edit(adapter, [fault](AdapterSettings& s) { s.faults.push_back(fault); });
        return true;
    }

    // "[I/]PATH", read here, so that a file that is missing or of the wrong
    // size ends the process at once.
    bool ConfigFile(std::string_view name)
    {
        std::string_view value;
        std::string_view rest;
        std::int32_t adapter = kEveryAdapter;
        if (!Value(name, value))
            return false;
        SplitAdapterFromText(value, adapter, rest);
        const std::string path(rest);
        std::ifstream in(path, std::ios::binary);
        std::vector<std::uint8_t> bytes(kConfigAreaSize + 1);
        in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        if (!in.is_open() || in.gcount() != static_cast<std::streamsize>(kConfigAreaSize))
            return Fail(std::string(name) + ": '" + path + "' is not a readable file of 65,536 bytes");
        bytes.resize(kConfigAreaSize);
        Edit(adapter, [bytes = std::move(bytes)](AdapterSettings& s) { s.configArea = bytes; });
        return true;
    }

    bool Option(std::string_view name)
    {
        std::uint64_t n = 0;
        std::string_view value;
        if (name == "--help" || name == "-h") {
            options_.help = true;
            return true;
        }
        if (name == "--frame-clock") {
            options_.common.frameClock = true;
            return true;
        }
        if (name == "--no-transcript") {
            options_.common.recordTranscript = false;
            return true;
        }
        if (name == "--port")
            return Number(name, 0xFFFF, n) && (options_.port = static_cast<std::uint16_t>(n), true);
        if (name == "--adapters")
            return Number(name, 4096, n) && (options_.adapters = static_cast<std::uint32_t>(n), true);
        if (name == "--non-adapters")
            return Number(name, 4096, n) && (options_.nonAdapters = static_cast<std::uint32_t>(n), true);
        if (name == "--look-alikes")
            return Number(name, 4096, n) && (options_.lookAlikes = static_cast<std::uint32_t>(n), true);
        if (name == "--latency-us")
            return Number(name, 10'000'000, n) && (options_.common.latency = std::chrono::microseconds(n), true);
        if (name == "--held-open") {
            if (!Number(name, 0xFFFF, n))
                return false;
            Edit(static_cast<std::int32_t>(n), [](AdapterSettings& s) { s.heldOpenElsewhere = true; });
            return true;
        }
        if (name == "--flicker") {
            if (!Number(name, 0xFFFF, n))
                return false;
            options_.flickering.push_back(static_cast<std::uint32_t>(n));
            return true;
        }
        if (name == "--arrive-after") {
            std::string_view rest;
            std::int32_t adapter = kEveryAdapter;
            if (!Value(name, value))
                return false;
            if (!SplitAdapter(value, adapter, rest) || !ParseNumber(rest, 86'400'000, n))
                return Fail(std::string(name) + ": bad value '" + std::string(value) + "'");
            options_.arrivals.emplace_back(adapter, static_cast<std::uint32_t>(n));
            return true;
        }
        if (name == "--state-dir")
            return Value(name, value) && (options_.stateDir = std::string(value), true);
        if (name == "--version") {
            std::string_view rest;
            std::int32_t adapter = kEveryAdapter;
            if (!Value(name, value))
                return false;
            SplitAdapterFromText(value, adapter, rest);
            Edit(adapter, [text = std::string(rest)](AdapterSettings& s) { s.version = text; });
            return true;
        }
        if (name == "--config-file")
            return ConfigFile(name);
        if (name == "--piece-size")
            return AdapterNumber(name, 56, [](AdapterSettings& s, std::uint64_t v) {
                s.pieceSize = static_cast<std::uint8_t>(v);
            });
        if (name == "--page2-length")
            return AdapterNumber(name, 56, [](AdapterSettings& s, std::uint64_t v) {
                s.page2Length = static_cast<std::uint8_t>(v);
            });
        if (name == "--silent-at")
            return AdapterNumber(name, 0xFFFFFFFF, [](AdapterSettings& s, std::uint64_t v) {
                s.faults.push_back(Fault::Silence(kAnyCommand, static_cast<std::uint32_t>(v)));
            });
        if (name == "--vanish-at")
            return AdapterNumber(name, 0xFFFFFFFF, [](AdapterSettings& s, std::uint64_t v) {
                s.faults.push_back(Fault::Vanish(kAnyCommand, static_cast<std::uint32_t>(v)));
            });
        for (const FaultOption& option : kFaultOptions) {
            if (name == option.name)
                return Fault(name, option);
        }
        return Fail("unknown option '" + std::string(name) + "'");
    }

    int argc_;
    const char* const* argv_;
    ServerOptions& options_;
    std::string& error_;
    int index_ = 1;
};

} // namespace

AdapterSettings ServerOptions::SettingsFor(std::uint32_t adapter) const
{
    AdapterSettings settings = common;
    for (const auto& [target, change] : edits) {
        if (target == kEveryAdapter || static_cast<std::uint32_t>(target) == adapter)
            change(settings);
    }
    return settings;
}

std::uint32_t ServerOptions::ArrivalFor(std::uint32_t adapter) const
{
    std::uint32_t after = 0;
    for (const auto& [target, ms] : arrivals) {
        if (target == kEveryAdapter || static_cast<std::uint32_t>(target) == adapter)
            after = ms;
    }
    return after;
}

bool ParseServerOptions(int argc, const char* const* argv, ServerOptions& options, std::string& error)
{
    return Parser(argc, argv, options, error).Run();
}

} // namespace VantriEmu
