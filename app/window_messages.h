// The main window's messages: the system's few that the dispatch looks at,
// and the private ones that workers post. Portable, so the workflows and
// their tests share the numbers with the Windows edge.
#pragma once

#include <cstdint>

#include "restore/download_messages.h"

// The system's own numbers (winuser.h), named apart from its macros so this
// header and <windows.h> can meet in one file.
namespace Vantri {
inline constexpr std::uint32_t kMessageDestroy = 2;          // WM_DESTROY
inline constexpr std::uint32_t kMessageClose = 16;           // WM_CLOSE
inline constexpr std::uint32_t kMessageQueryEndSession = 17; // WM_QUERYENDSESSION
inline constexpr std::uint32_t kMessageEndSession = 22;      // WM_ENDSESSION
inline constexpr std::uint32_t kMessageCommand = 273;        // WM_COMMAND
} // namespace Vantri

// Posted by the workers to the main window: wParam and lParam as noted.
inline constexpr std::uint32_t WM_FLASH_PROGRESS = 1025;    // device index, percent
inline constexpr std::uint32_t WM_FLASH_DONE = 1026;        // device index, 0
inline constexpr std::uint32_t WM_FLASH_FAILED = 1027;      // device index, 0
inline constexpr std::uint32_t WM_BACKUP_PROGRESS = 1035;   // 0, percent
inline constexpr std::uint32_t WM_BACKUP_DONE = 1036;       // 0, 0
inline constexpr std::uint32_t WM_BACKUP_FAILED = 1037;     // 0, 0
inline constexpr std::uint32_t WM_RESTORE_PROGRESS = 1045;  // 0, percent
inline constexpr std::uint32_t WM_RESTORE_DONE = 1046;      // 0, 0
inline constexpr std::uint32_t WM_RESTORE_FAILED = 1047;    // 0, 0
// WM_DOWNLOAD_PROGRESS, _DONE and _FAILED (1125 to 1127) and the download
// tags are the download's own.
