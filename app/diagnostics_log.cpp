#include "app/diagnostics_log.h"

#include <cstdio>

#include "app/app_platform.h"

namespace Vantri {

namespace {

enum class LogState { Unopened, Open, Off };

LogState s_state = LogState::Unopened;
std::uint64_t s_size = 0;

void AppendUtf8(std::string& out, char32_t c)
{
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (c >> 6)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (c >> 12)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (c >> 18)));
        out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

bool IsHighSurrogate(char16_t c)
{
    return c >= 0xD800 && c <= 0xDBFF;
}

bool IsLowSurrogate(char16_t c)
{
    return c >= 0xDC00 && c <= 0xDFFF;
}

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

std::string Utf8(std::u16string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char16_t c = text[i];
        if (IsHighSurrogate(c) && i + 1 < text.size() && IsLowSurrogate(text[i + 1])) {
            AppendUtf8(out, 0x10000 + ((char32_t{c} - 0xD800) << 10) + (char32_t{text[i + 1]} - 0xDC00));
            ++i;
        } else if (IsHighSurrogate(c) || IsLowSurrogate(c)) {
            AppendUtf8(out, 0xFFFD);
        } else {
            AppendUtf8(out, c);
        }
    }
    return out;
}

void ResetLog()
{
    s_state = LogState::Unopened;
    s_size = 0;
}

} // namespace Vantri
