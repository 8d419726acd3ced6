// One JSON object per line on stdout: the scenario runner reads one line per
// action, so every line is complete and flushed before the next action runs.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace VantriDriver {

std::string Utf8(std::wstring_view text);
std::string JsonQuoted(std::string_view utf8);

class JsonLine {
public:
    explicit JsonLine(std::string_view action);

    JsonLine& Text(std::string_view key, std::wstring_view value);
    JsonLine& Text(std::string_view key, std::string_view value);
    JsonLine& Number(std::string_view key, std::int64_t value);
    JsonLine& Flag(std::string_view key, bool value);
    // A value that is already JSON (an array or object built by the caller).
    JsonLine& Raw(std::string_view key, std::string_view json);

    // Adds "ok" and writes the line; returns `ok` for the caller's convenience.
    bool Emit(bool ok);

private:
    void Key(std::string_view key);
    std::string body_;
};

std::string JsonArray(const std::vector<std::string>& jsonValues);

} // namespace VantriDriver
