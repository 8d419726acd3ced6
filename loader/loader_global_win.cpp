#include "loader/hid_platform_win.h"
#include "loader/windows_loader.h"

namespace {

// Constant-initialised: the table is all zero before any code runs, so no
// start-up order can see a loader that is not ready.
constinit Vantri::WindowsLoader s_windowsLoader{Vantri::kWin32HidPlatform};

} // namespace

constinit Vantri::Loader& g_loader = s_windowsLoader;
