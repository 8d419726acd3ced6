// How GoogleTest shows a ResultRecord in a failed comparison: its code in
// hex, its details and its message text.
#pragma once

#include <cstdio>
#include <ostream>
#include <string>

#include "base/command_frame.h"

namespace Vantri {

inline void PrintTo(const ResultRecord& record, std::ostream* out)
{
    char code[16];
    std::snprintf(code, sizeof code, "0x%X", record.code);
    std::string text;
    for (const char16_t* unit = record.message; unit && *unit; ++unit)
        text.push_back(*unit < 0x80 ? static_cast<char>(*unit) : '?');
    *out << "{code " << code << ", details " << record.detail1 << "/" << record.detail2 << ", \""
         << (record.message ? text : "(no message)") << "\"}";
}

} // namespace Vantri
