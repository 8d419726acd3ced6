// Shared by the driver and the hook library it loads into the program under
// test. A message box's icon cannot be read from outside its process (an
// icon handle means nothing in another process), so the library notes the
// style the box was created with as a property on the box window, where the
// driver can read it.
#pragma once

#include <cstdint>

namespace VantriDriver {

inline constexpr wchar_t kBoxStyleProperty[] = L"VantriDriver.MessageBoxStyle";
// Set on a window once the library has made itself resident in its process.
inline constexpr wchar_t kResidentProperty[] = L"VantriDriver.Resident";
// The style is stored with this bit added, so that a style of 0 still shows.
inline constexpr std::uint64_t kBoxStyleMarker = std::uint64_t{1} << 40;
inline constexpr char kHookProcName[] = "VantriDriverCallWndProc";
inline constexpr wchar_t kHookLibraryName[] = L"vantri_driver_hook.dll";

} // namespace VantriDriver
