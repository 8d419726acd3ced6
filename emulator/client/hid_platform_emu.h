// The platform table bound to the emulator process over TCP. Defined only in
// the Windows build; declared without <windows.h>.
#pragma once

#include "loader/hid_platform.h"

namespace Vantri {

extern const HidPlatform kEmulatorHidPlatform;

} // namespace Vantri
