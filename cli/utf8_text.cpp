#include "cli/utf8_text.h"

#include <cstdio>

namespace Vantri::Cli {

namespace {

bool IsControl(char c)
{
    return static_cast<unsigned char>(c) < 0x20 || c == 0x7F;
}

} // namespace


std::string Utf8FromNarrow(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (const char c : text)
        AppendUtf8(out, static_cast<unsigned char>(c));
    return out;
}

std::string Printable(std::string_view utf8)
{
    std::string out(utf8);
    for (char& c : out) {
        if (IsControl(c))
            c = '?';
    }
    return out;
}

std::string JsonQuoted(std::string_view utf8)
{
    std::string out;
    out.reserve(utf8.size() + 2);
    out.push_back('"');
    for (const char c : utf8) {
        if (c == '"' || c == '\\') {
            out.push_back('\\');
            out.push_back(c);
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
            out += escaped;
        } else {
            out.push_back(c);
        }
    }
    out.push_back('"');
    return out;
}

std::string Joined(std::initializer_list<std::string_view> parts)
{
    std::string out;
    for (const std::string_view part : parts)
        out += part;
    return out;
}

} // namespace Vantri::Cli
