// The platform table bound to the system's WinHTTP and ANSI conversion.
// Defined only in the Windows build; declared here without <windows.h> so
// that portable code and tests can name it.
#pragma once

#include "restore/http_platform.h"

namespace Vantri {

extern const HttpPlatform kWin32HttpPlatform;

} // namespace Vantri
