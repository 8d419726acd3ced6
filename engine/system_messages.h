// The system's few messages that the main window's dispatch looks at.
#pragma once

#include <cstdint>

// The system's own numbers (winuser.h), named apart from its macros so this
// header and <windows.h> can meet in one file.
namespace Vantri {
inline constexpr std::uint32_t kMessageDestroy = 2;          // WM_DESTROY
inline constexpr std::uint32_t kMessageClose = 16;           // WM_CLOSE
inline constexpr std::uint32_t kMessageQueryEndSession = 17; // WM_QUERYENDSESSION
inline constexpr std::uint32_t kMessageEndSession = 22;      // WM_ENDSESSION
inline constexpr std::uint32_t kMessageCommand = 273;        // WM_COMMAND
} // namespace Vantri
