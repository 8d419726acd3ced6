// The main window's decisions: the dispatch of its messages, and the small
// operations the workflows use on it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string_view>

#include "engine/app_platform.h"
#include "engine/text_format.h"

namespace Vantri {

// What MainDialogProc answers for one message: true when it was handled in
// the dialog sense (the close and destroy messages, and every message routed
// to a workflow), false otherwise.
bool DispatchMainMessage(WindowRef window, std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam);

// Starts the workflow of a button as its click would, for a front end with
// no buttons; `origin` follows the operation's name in the log ("command
// line: update --yes"). Once a workflow has started, nothing more starts:
// false.
bool StartWorkflow(int buttonId, std::string_view origin);

// Starts the next run from the program's first state: no workflow started,
// each workflow's run state as at program start. A run of the program
// performs one workflow; tests and benchmarks run many in one process.
void ResetRun();

// Disables the four buttons for good and shows the progress bar.
void LockControls();

// The status line: the formatted text followed by a line feed; an empty line
// when the text cannot be formatted or is longer than kStatusTextMax.
inline constexpr std::size_t kStatusTextMax = 510;
void SetStatus(std::u16string_view format, std::initializer_list<FormatArg> args = {});

// The narrow window title, "Vantri4 Flash [<carried version>]".
inline constexpr std::size_t kTitleBufferSize = 101;
void FormatWindowTitle(char (&title)[kTitleBufferSize]);

// The log's first line of a run: the program and its version.
void LogProgramStart(std::string_view program = "Vantri4 Flash");

// Every workflow ends this way, on every path.
void DestroyMainWindow();

} // namespace Vantri
