// The Windows program's globals and its binding of the workflows' platform.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include "engine/app_platform.h"

extern HINSTANCE g_instance;
extern HWND g_mainWindow;

namespace Vantri {

// The real window, its message boxes and file dialogs, over the system
// calls both programs share (engine/system_platform_win.h).
AppPlatform& WindowsPlatform();

} // namespace Vantri
