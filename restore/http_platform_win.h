// The platform table bound to the system's WinHTTP and ANSI conversion;
// defined in the Windows build only.
#pragma once

#include "restore/http_platform.h"

namespace Vantri {

extern const HttpPlatform kWin32HttpPlatform;

} // namespace Vantri
