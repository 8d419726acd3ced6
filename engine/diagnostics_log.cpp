#include "engine/diagnostics_log.h"

#include <cstdio>

#include "engine/app_platform.h"

namespace Vantri {

namespace {

enum class LogState { Unopened, Open, Off };

LogState s_state = LogState::Unopened;
std::uint64_t s_size = 0;

// The log never holds a line break of its own making inside a line, so one
// line is one event whatever a caption or path holds.
std::string OneLine(std::string_view text)
{
    std::string line(text);
    for (char& c : line) {
        if (c == '\r' || c == '\n')
            c = ' ';
    }
    return line;
}

bool Write(const std::string& line)
{
    if (s_size + line.size() > kMaxLogSize) {
        if (!Platform().StartNewLog())
            return false;
        s_size = 0;
    }
    if (!Platform().AppendLog(line))
        return false;
    s_size += line.size();
    return true;
}

} // namespace

void LogLine(std::string_view text)
{
    if (s_state == LogState::Unopened)
        s_state = Platform().OpenLog(s_size) ? LogState::Open : LogState::Off;
    if (s_state != LogState::Open)
        return;
    if (!Write(Platform().LogTime() + " " + OneLine(text) + "\r\n"))
        s_state = LogState::Off;
}

void LogFailure(std::string_view what, std::uint32_t deviceIndex, std::uint8_t command, const ResultRecord& result)
{
    char numbers[160];
    std::snprintf(numbers, sizeof numbers, " failed: device %u, command %u, code 0x%08X (%u), detail1 %u, detail2 %u: ",
                  static_cast<unsigned>(deviceIndex), static_cast<unsigned>(command),
                  static_cast<unsigned>(result.code), static_cast<unsigned>(result.code),
                  static_cast<unsigned>(result.detail1), static_cast<unsigned>(result.detail2));
    LogLine(std::string(what) + numbers + Utf8(result.message ? result.message : u"(no text)"));
}


void ResetLog()
{
    s_state = LogState::Unopened;
    s_size = 0;
}

} // namespace Vantri
