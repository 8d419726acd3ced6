#include "cli/reporter.h"

#include <cstdio>

#include "cli/utf8_text.h"
#include "loader/loader.h"

namespace Vantri::Cli {

namespace {

std::string Adapter(std::uint32_t index)
{
    return Joined({"adapter ", std::to_string(index)});
}

std::string FailureText(std::uint32_t command, std::uint32_t code, std::uint32_t detail1, std::uint32_t detail2)
{
    char text[128];
    std::snprintf(text, sizeof text, "command %u, code 0x%08X (%u), detail1 %u, detail2 %u",
                  static_cast<unsigned>(command), static_cast<unsigned>(code), static_cast<unsigned>(code),
                  static_cast<unsigned>(detail1), static_cast<unsigned>(detail2));
    return text;
}

// The window's texts are paragraphs for a box; on a console the outcome is
// one line, so a script can take it with the last line of the output.
std::string OneLine(std::u16string_view text)
{
    std::string out;
    bool inBreak = false;
    for (const char c : Utf8(text)) {
        if (c == '\n' || c == '\r') {
            if (!inBreak)
                out.push_back(' ');
            inBreak = true;
        } else {
            out.push_back(c);
            inBreak = false;
        }
    }
    return Printable(out);
}

std::string Json(std::string_view event)
{
    return "{\"event\":" + JsonQuoted(event);
}

std::string Field(std::string_view name, std::uint32_t value)
{
    return ",\"" + std::string(name) + "\":" + std::to_string(value);
}

std::string Field(std::string_view name, std::u16string_view text)
{
    return ",\"" + std::string(name) + "\":" + JsonQuoted(Utf8(text));
}

std::string Field(std::string_view name, bool value)
{
    return ",\"" + std::string(name) + "\":" + (value ? "true" : "false");
}

} // namespace

ReportMode ChooseReportMode(const CommandLine& line, bool outputIsConsole)
{
    if (line.json)
        return ReportMode::Json;
    if (line.quiet)
        return ReportMode::Quiet;
    return outputIsConsole ? ReportMode::Terminal : ReportMode::Redirected;
}

Reporter::Reporter(ReportMode mode, Sink sink) : mode_(mode), sink_(std::move(sink)), slots_(kMaxDevices) {}

void Reporter::Found(std::uint32_t index, std::u16string_view path, std::string_view firmware, bool configsAllowed)
{
    if (over_ || index >= kMaxDevices || mode_ == ReportMode::Quiet)
        return;
    const std::string version = Utf8FromNarrow(firmware);
    if (mode_ == ReportMode::Json) {
        sink_(Json("found") + Field("index", index) + Field("path", path) + ",\"firmware\":" + JsonQuoted(version) +
              Field("configs", configsAllowed) + "}\n");
        return;
    }
    Line(Adapter(index) + "  firmware " + Printable(version) + "  " +
         (configsAllowed ? "configs allowed" : "configs out of date") + "  " + Printable(Utf8(path)));
}

void Reporter::Progress(std::uint32_t index, std::uint32_t percent)
{
    if (over_ || mode_ == ReportMode::Quiet)
        return;
    Slot* slot = Join(index);
    if (!slot || slot->state != State::Running)
        return;
    const int shown = static_cast<int>(percent > 100 ? 100 : percent);
    const int previous = slot->percent;
    slot->percent = shown;
    runningPercents_ = runningPercents_ + shown - (previous > 0 ? previous : 0);
    progressSeen_ = true;
    switch (mode_) {
    case ReportMode::Terminal:
        ShowStatus();
        break;
    case ReportMode::Redirected:
        // Falling back is a new stage (a restore reads, then writes): its
        // tenths are counted afresh.
        if (shown < previous)
            slot->printedTenth = -1;
        if (shown / 10 > slot->printedTenth) {
            slot->printedTenth = shown / 10;
            Line(Adapter(index) + " " + std::to_string(shown) + "%");
        }
        break;
    case ReportMode::Json:
        if (shown != previous)
            sink_(Json("progress") + Field("index", index) + Field("percent", static_cast<std::uint32_t>(shown)) + "}\n");
        break;
    case ReportMode::Quiet:
        break;
    }
}

void Reporter::Result(std::uint32_t index, std::u16string_view path, bool ok, std::uint32_t command,
                      std::uint32_t code, std::uint32_t detail1, std::uint32_t detail2)
{
    if (over_)
        return;
    Slot* slot = Join(index);
    // A second result for one adapter is a fault of the caller's, and the
    // first one stands, as the window ignores a second final message.
    if (!slot || slot->state == State::Done || slot->state == State::Failed)
        return;
    slot->state = ok ? State::Done : State::Failed;
    runningPercents_ -= slot->percent > 0 ? slot->percent : 0;
    ++(ok ? done_ : failed_);
    if (mode_ == ReportMode::Json) {
        std::string object = Json("result") + Field("index", index) + Field("path", path) + Field("ok", ok);
        if (!ok)
            object += Field("command", command) + Field("code", code) + Field("detail1", detail1) +
                      Field("detail2", detail2);
        sink_(object + "}\n");
        return;
    }
    const std::string where = Joined({"  ", Printable(Utf8(path))});
    if (!ok) {
        Line(Adapter(index) + " failed: " + FailureText(command, code, detail1, detail2) + where);
    } else if (mode_ == ReportMode::Redirected || (mode_ == ReportMode::Terminal && !Aggregate())) {
        // Many adapters at once on a console: the aggregate counts the
        // successes, and only the failures stand out as lines.
        Line(Adapter(index) + " done" + where);
    } else if (mode_ == ReportMode::Terminal) {
        ShowStatus();
    }
}

void Reporter::Outcome(std::u16string_view text, ExitCode exit)
{
    if (over_)
        return;
    over_ = true;
    if (mode_ == ReportMode::Json) {
        sink_(Json("outcome") + Field("outcome", text) + Field("exit", static_cast<std::uint32_t>(exit)) + "}\n");
        return;
    }
    std::string out;
    if (!status_.empty()) {
        // The per-adapter line repeats what the result lines said; the
        // aggregate is the only place the successes are counted, so it stays.
        out = Aggregate() ? "\n" : Joined({"\r", std::string(status_.size(), ' '), "\r"});
        status_.clear();
    }
    sink_(out + OneLine(text) + "\n");
}

Reporter::Slot* Reporter::Join(std::uint32_t index)
{
    if (index >= kMaxDevices)
        return nullptr;
    Slot& slot = slots_[index];
    if (slot.state == State::Idle) {
        slot.state = State::Running;
        ++workers_;
    }
    return &slot;
}

void Reporter::Line(const std::string& line)
{
    if (mode_ != ReportMode::Terminal || status_.empty()) {
        sink_(line + "\n");
        ShowStatus();
        return;
    }
    // Over the in-place line, blanking what the new line does not cover,
    // and the in-place line again below it.
    const std::size_t pad = status_.size() > line.size() ? status_.size() - line.size() : 0;
    status_ = StatusText();
    sink_(Joined({"\r", line, std::string(pad, ' '), "\n", status_}));
}

void Reporter::ShowStatus()
{
    if (mode_ != ReportMode::Terminal)
        return;
    const std::string text = StatusText();
    if (text == status_)
        return;
    const std::size_t pad = status_.size() > text.size() ? status_.size() - text.size() : 0;
    status_ = text;
    sink_(Joined({"\r", text, std::string(pad, ' ')}));
}

std::string Reporter::StatusText() const
{
    if (!progressSeen_)
        return {};
    if (!Aggregate()) {
        std::string text;
        std::uint32_t shown = 0;
        for (std::uint32_t index = 0; index < kMaxDevices && shown < workers_; ++index) {
            const Slot& slot = slots_[index];
            if (slot.state == State::Idle)
                continue;
            if (shown++ > 0)
                text += "  ";
            text += Adapter(index) + " ";
            text += slot.state == State::Done     ? std::string("done")
                  : slot.state == State::Failed ? std::string("failed")
                                                  : std::to_string(slot.percent > 0 ? slot.percent : 0) + "%";
        }
        return text;
    }
    std::string text = std::to_string(workers_) + " adapters: ";
    // A failed adapter is no longer on its way to 100: it leaves the mean.
    const std::uint32_t running = workers_ - done_ - failed_;
    if (running > 0)
        text += std::to_string((runningPercents_ + 100 * std::uint64_t{done_}) / (running + done_)) + "%, ";
    return text + std::to_string(done_) + " done, " + std::to_string(failed_) + " failed";
}

} // namespace Vantri::Cli
