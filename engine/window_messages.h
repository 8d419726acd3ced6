// The private messages that the workflows' workers post to the main window.
// Portable, so the workflows and their tests share the numbers with the
// Windows edge. Each workflow routes its own; the window's dispatch knows
// only the system's (app/system_messages.h).
#pragma once

#include <cstdint>

#include "restore/download_messages.h"

#include "engine/system_messages.h"


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
