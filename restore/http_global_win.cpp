#include "restore/http_platform_win.h"

// A reference to a constant table: bound before any code runs.
constinit const Vantri::HttpPlatform& g_httpPlatform = Vantri::kWin32HttpPlatform;
