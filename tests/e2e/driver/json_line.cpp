#include "tests/e2e/driver/json_line.h"

#include <cstdio>

namespace VantriDriver {

std::string Utf8(std::wstring_view text)
{
    if (text.empty()) {
        return {};
    }
    const int size = static_cast<int>(text.size());
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, text.data(), size, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), size, out.data(), bytes, nullptr, nullptr);
    return out;
}

std::string JsonQuoted(std::string_view utf8)
{
    std::string out = "\"";
    for (const char c : utf8) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (static_cast<unsigned char>(c) < 0x20) {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(static_cast<unsigned char>(c)));
                out += escaped;
            } else {
                out += c;
            }
        }
    }
    out += '"';
    return out;
}

std::string JsonArray(const std::vector<std::string>& jsonValues)
{
    std::string out = "[";
    for (std::size_t i = 0; i < jsonValues.size(); ++i) {
        if (i) {
            out += ',';
        }
        out += jsonValues[i];
    }
    out += ']';
    return out;
}

JsonLine::JsonLine(std::string_view action)
{
    body_ = "{\"action\":" + JsonQuoted(action);
}

void JsonLine::Key(std::string_view key)
{
    body_ += ',';
    body_ += JsonQuoted(key);
    body_ += ':';
}

JsonLine& JsonLine::Text(std::string_view key, std::wstring_view value)
{
    return Text(key, std::string_view(Utf8(value)));
}

JsonLine& JsonLine::Text(std::string_view key, std::string_view value)
{
    Key(key);
    body_ += JsonQuoted(value);
    return *this;
}

JsonLine& JsonLine::Number(std::string_view key, std::int64_t value)
{
    Key(key);
    body_ += std::to_string(value);
    return *this;
}

JsonLine& JsonLine::Flag(std::string_view key, bool value)
{
    Key(key);
    body_ += value ? "true" : "false";
    return *this;
}

JsonLine& JsonLine::Raw(std::string_view key, std::string_view json)
{
    Key(key);
    body_ += json;
    return *this;
}

bool JsonLine::Emit(bool ok)
{
    std::string line = body_;
    line += ",\"ok\":";
    line += ok ? "true" : "false";
    line += "}\n";
    // Straight to the standard handle: a GUI-subsystem program has no console
    // for the C runtime to buffer against, and Wine hands us the Unix pipe.
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    return ok;
}

} // namespace VantriDriver
