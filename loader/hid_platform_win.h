// The platform table bound to the system's HID, device setup and file
// services; defined in the Windows build only.
#pragma once

#include "loader/hid_platform.h"

namespace Vantri {

extern const HidPlatform kWin32HidPlatform;

} // namespace Vantri
