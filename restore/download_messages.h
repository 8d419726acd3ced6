// The messages a download posts to its window, with the request's tag in
// wParam. The numbers sit among the main window's own (app/window_messages.h).
#pragma once

#include <cstdint>

inline constexpr std::uint32_t WM_DOWNLOAD_PROGRESS = 1125; // request tag, percent
inline constexpr std::uint32_t WM_DOWNLOAD_DONE = 1126;     // request tag, address of the body
inline constexpr std::uint32_t WM_DOWNLOAD_FAILED = 1127;   // request tag, 0

inline constexpr std::uint32_t DOWNLOAD_TAG_VERSION = 0;
inline constexpr std::uint32_t DOWNLOAD_TAG_DATABASE = 1;
