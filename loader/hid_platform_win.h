// The platform table bound to the system's own HID, device setup and file
// services. Defined only in the Windows build; declared here without
// <windows.h> so that portable code and tests can name it.
#pragma once

#include "loader/hid_platform.h"

namespace Vantri {

extern const HidPlatform kWin32HidPlatform;

} // namespace Vantri
