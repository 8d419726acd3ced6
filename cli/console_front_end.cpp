#include "cli/console_front_end.h"

#include <algorithm>
#include <utility>

#include "cli/utf8_text.h"
#include "engine/diagnostics_log.h"
#include "engine/message_texts.h"
#include "loader/loader.h"

namespace Vantri::Cli {

ExitCode ExitCodeFor(RunOutcome outcome)
{
    switch (outcome) {
    case RunOutcome::Done: return ExitCode::Done;
    case RunOutcome::AdapterFailed: return ExitCode::AdapterFailed;
    case RunOutcome::NoAdapter: return ExitCode::NoAdapter;
    case RunOutcome::NotConfirmed: return ExitCode::NotConfirmed;
    case RunOutcome::Refused: return ExitCode::Refused;
    case RunOutcome::FileError: return ExitCode::BackupFileError;
    case RunOutcome::DownloadError: return ExitCode::DownloadError;
    case RunOutcome::InvalidBackup: return ExitCode::InvalidBackup;
    }
    return ExitCode::AdapterFailed;
}

ConsoleFrontEnd::ConsoleFrontEnd(Reporter& reporter, Answerer answerer, Ask ask, std::u16string file)
    : reporter_(reporter), answerer_(answerer), ask_(std::move(ask)), file_(std::move(file))
{
}

BoxAnswer ConsoleFrontEnd::Box(BoxKind kind, const char16_t*, const char16_t* text)
{
    if (kind != BoxKind::Question) {
        if (!text_)
            text_ = text;
        return BoxAnswer::Ok;
    }
    switch (answerer_) {
    case Answerer::Yes:
        LogLine("answered yes by --yes");
        return BoxAnswer::Yes;
    case Answerer::Console:
        return ask_ && ask_(text) ? BoxAnswer::Yes : BoxAnswer::No;
    case Answerer::Nobody:
        break;
    }
    LogLine("question not asked: standard input is not a console, and no --yes");
    End(RunOutcome::NotConfirmed, kNotConfirmedText);
    return BoxAnswer::None;
}

void ConsoleFrontEnd::Note(RunOutcome outcome)
{
    if (!outcome_)
        outcome_ = outcome;
}

void ConsoleFrontEnd::End(RunOutcome outcome, std::u16string text)
{
    Note(outcome);
    if (!text_)
        text_ = std::move(text);
}

void ConsoleFrontEnd::Progress(std::uint32_t deviceIndex, std::uint32_t percent)
{
    reporter_.Progress(deviceIndex, percent);
}

// The engine reports an adapter's end before it closes the adapter, so the
// table still holds its path.
void ConsoleFrontEnd::Result(std::uint32_t deviceIndex, bool ok, const ResultRecord& result, std::uint8_t command)
{
    reporter_.Result(deviceIndex, g_loader.DevicePath(deviceIndex), ok, command, result.code, result.detail1,
                     result.detail2);
}

bool ConsoleFrontEnd::ChooseFile(bool save, std::span<char16_t> fileName)
{
    if (file_.size() >= fileName.size()) {
        LogLine(Joined({"the file named on the command line is ", std::to_string(file_.size()),
                        " characters long, more than a path may be"}));
        End(RunOutcome::FileError, save ? kBackupAccessText : kRestoreAccessText);
        return false;
    }
    std::copy(file_.begin(), file_.end(), fileName.begin());
    fileName[file_.size()] = u'\0';
    return true;
}

ExitCode ConsoleFrontEnd::Finish()
{
    const RunOutcome outcome = outcome_.value_or(RunOutcome::AdapterFailed);
    std::u16string text = text_.value_or(outcome == RunOutcome::NotConfirmed ? kNotConfirmedText : kNoOutcomeText);
    const ExitCode exit = outcome_ ? ExitCodeFor(outcome) : ExitCode::AdapterFailed;
    reporter_.Outcome(text, exit);
    return exit;
}

} // namespace Vantri::Cli
