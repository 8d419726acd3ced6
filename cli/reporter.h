// What the console program shows while it works: the adapters found, their
// progress, each adapter's result and the one outcome, written as UTF-8
// through a sink (standard output in the program, a string in the tests).
//
// The events come from one thread, as the window's posted messages do; the
// reporter keeps no clock and no lock, and decides what to write by the
// content alone.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "cli/command_line.h"
#include "cli/exit_codes.h"

namespace Vantri::Cli {

enum class ReportMode {
    Terminal,   // one line, rewritten in place, with the progress; the rest as lines above it
    Redirected, // plain lines; per adapter at most one progress line per tenth
    Quiet,      // the outcome and the failures only
    Json,       // one JSON object per line
};

// --json, else --quiet (the command line never has both), else by whether
// standard output is a console.
ReportMode ChooseReportMode(const CommandLine& line, bool outputIsConsole);

// Up to this many adapters at work, the in-place line shows each one's
// percent; above it, one aggregate. Four fit in 80 columns at any index.
inline constexpr std::uint32_t kPerAdapterProgressLimit = 4;

class Reporter {
public:
    using Sink = std::function<void(std::string_view utf8)>;

    Reporter(ReportMode mode, Sink sink);

    void Found(std::uint32_t index, std::u16string_view path, std::string_view firmware, bool configsAllowed);
    void Progress(std::uint32_t index, std::uint32_t percent);
    // `command`, `code`, `detail1` and `detail2` say how a failure failed;
    // they are not shown for an adapter that is ok.
    void Result(std::uint32_t index, std::u16string_view path, bool ok, std::uint32_t command, std::uint32_t code,
                std::uint32_t detail1, std::uint32_t detail2);
    // The last event: whatever comes after it is not shown.
    void Outcome(std::u16string_view text, ExitCode exit);

private:
    enum class State : std::uint8_t { Idle, Running, Done, Failed };
    struct Slot {
        State state = State::Idle;
        int percent = -1;      // the last progress given; -1 before the first
        int printedTenth = -1; // redirected: the tenth of the last progress line written
    };

    void Line(const std::string& line);
    void ShowStatus();
    std::string StatusText() const;
    bool Aggregate() const { return workers_ > kPerAdapterProgressLimit; }
    Slot* Join(std::uint32_t index);

    ReportMode mode_;
    Sink sink_;
    std::vector<Slot> slots_;
    std::uint32_t workers_ = 0; // adapters that reported progress or a result
    std::uint32_t done_ = 0;
    std::uint32_t failed_ = 0;
    std::uint64_t runningPercents_ = 0; // the sum over the adapters still at work
    bool progressSeen_ = false; // the in-place line starts with the first progress
    bool over_ = false;
    std::string status_; // terminal: the in-place line as it stands
};

} // namespace Vantri::Cli
