#include "emulator/client/hid_platform_emu.h"
#include "loader/windows_loader.h"

namespace {

// The same loader as the shipping program's, over the emulator's adapters:
// everything above the platform calls runs as it does on real hardware.
constinit Vantri::WindowsLoader s_windowsLoader{Vantri::kEmulatorHidPlatform};

} // namespace

constinit Vantri::Loader& g_loader = s_windowsLoader;
