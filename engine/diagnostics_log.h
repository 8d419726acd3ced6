// The diagnostics log for support: one line per event, with its time, in
// %LOCALAPPDATA%\Vantri4 Flash\Vantri4Flash.log. It keeps what the boxes
// drop (which command failed, with which codes) and never a backup's or the
// database's contents. Main thread only: workers leave their records for the
// main thread (WorkerReport). A log that cannot be written is given up for
// the run, silently; it never changes an outcome or a box.
#pragma once

#include "base/utf8_text.h"

#include <cstdint>
#include <string>
#include <string_view>

#include "base/command_frame.h"

namespace Vantri {

// Past this the log becomes Vantri4Flash.log.old and a new one begins.
inline constexpr std::uint64_t kMaxLogSize = 256 * 1024;

void LogLine(std::string_view text);

// A failing record: what failed, on which adapter, at which command (0 for
// none), and the record whole.
void LogFailure(std::string_view what, std::uint32_t deviceIndex, std::uint8_t command, const ResultRecord& result);


// Starts the next run with the log unopened (tests run many in one process).
void ResetLog();

} // namespace Vantri
