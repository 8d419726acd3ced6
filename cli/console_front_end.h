// What the console program puts where the window has its boxes, controls
// and file dialogs. The engine runs exactly as under the window; this turns
// its questions into --yes or a question on the console, its boxes into the
// run's outcome and exit code, and its progress and each adapter's end into
// the reporter's lines.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "cli/exit_codes.h"
#include "cli/reporter.h"
#include "engine/app_platform.h"

namespace Vantri::Cli {

// The outcomes the window has no box for.
inline constexpr char16_t kNotConfirmedText[] = u"Not confirmed: nothing was written.";
inline constexpr char16_t kListedText[] = u"%d Vantri4s found.";
inline constexpr char16_t kTooFewText[] = u"%d of the %d Vantri4s waited for were found: nothing was done.";
inline constexpr char16_t kNoOutcomeText[] = u"The run ended without an outcome.";

ExitCode ExitCodeFor(RunOutcome outcome);

// Who answers the question the window would ask.
enum class Answerer {
    Yes,     // --yes
    Console, // standard input is a console: the user, there
    Nobody,  // standard input is a file or a pipe: not confirmed
};

class ConsoleFrontEnd {
public:
    // Asks the question on the console; true only for a yes.
    using Ask = std::function<bool(std::u16string_view question)>;

    ConsoleFrontEnd(Reporter& reporter, Answerer answerer, Ask ask, std::u16string file);

    BoxAnswer Box(BoxKind kind, const char16_t* caption, const char16_t* text);
    // The first outcome of the run stands: the engine ends a run with one.
    void Note(RunOutcome outcome);
    // An outcome with the text of its own, for the ends the window has no
    // box for (a list, too few adapters after a wait).
    void End(RunOutcome outcome, std::u16string text);
    void Progress(std::uint32_t deviceIndex, std::uint32_t percent);
    void Result(std::uint32_t deviceIndex, bool ok, const ResultRecord& result, std::uint8_t command);

    // The file dialogs: the command line's FILE, null-terminated. A FILE
    // longer than the buffer ends the run as a file error with the text of
    // the dialog's workflow: the workflow never sees a cut path.
    bool ChooseFile(bool save, std::span<char16_t> fileName);

    // The end of the run: the outcome written last, and the exit code.
    ExitCode Finish();

private:
    Reporter& reporter_;
    Answerer answerer_;
    Ask ask_;
    std::u16string file_;
    std::optional<RunOutcome> outcome_;
    std::optional<std::u16string> text_;
};

} // namespace Vantri::Cli
