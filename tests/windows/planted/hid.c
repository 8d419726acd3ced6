/* A stand-in hid.dll of the kind an attacker leaves in a downloads folder.
   Its class identifier is recognisably wrong, so a test can tell whether
   this file or the system's hid.dll answered. */
#include <windows.h>

__declspec(dllexport) void __stdcall HidD_GetHidGuid(GUID* guid)
{
    static const GUID planted = {0x0BADF00D, 0xDEAD, 0xBEEF, {1, 2, 3, 4, 5, 6, 7, 8}};
    *guid = planted;
}

__declspec(dllexport) BOOLEAN __stdcall HidD_GetAttributes(HANDLE device, void* attributes)
{
    (void)device;
    (void)attributes;
    return FALSE;
}

__declspec(dllexport) BOOLEAN __stdcall HidD_GetProductString(HANDLE device, void* buffer, ULONG length)
{
    (void)device;
    (void)buffer;
    (void)length;
    return FALSE;
}
