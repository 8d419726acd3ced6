// Our UTF-16 text as the system's wide text, and back. On Windows wchar_t is
// UTF-16 too, so the cast changes the type and nothing of the text.
#pragma once

static_assert(sizeof(wchar_t) == sizeof(char16_t), "Windows wide text is UTF-16");

namespace Vantri {

inline const wchar_t* Wide(const char16_t* text)
{
    return reinterpret_cast<const wchar_t*>(text);
}

inline wchar_t* Wide(char16_t* text)
{
    return reinterpret_cast<wchar_t*>(text);
}

} // namespace Vantri
