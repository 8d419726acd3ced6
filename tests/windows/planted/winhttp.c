/* A stand-in winhttp.dll of the kind an attacker leaves in a downloads
   folder. Its session handle is recognisably wrong, so a test can tell
   whether this file or the system's winhttp.dll answered. */
#include <windows.h>

__declspec(dllexport) void* __stdcall WinHttpOpen(const wchar_t* agent, DWORD access, const wchar_t* proxy,
                                                  const wchar_t* bypass, DWORD flags)
{
    (void)agent;
    (void)access;
    (void)proxy;
    (void)bypass;
    (void)flags;
    return (void*)(ULONG_PTR)0x0BADF00D;
}

__declspec(dllexport) BOOL __stdcall WinHttpCloseHandle(void* handle)
{
    (void)handle;
    return TRUE;
}
