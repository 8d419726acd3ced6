// A system DLL taken from the system folder only, and its procedures.
#pragma once

#include <windows.h>

namespace Vantri {

// The program is often run from a downloads folder, where a DLL of the same
// name may have been planted: a plain load of a DLL that is not a KnownDLL
// would take that copy first. Only System32 is searched. The module stays
// loaded for the rest of the run.
inline HMODULE LoadSystemLibrary(const wchar_t* name)
{
    return LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
}

// Sets `function` to the module's procedure `name`; false when it has none.
template <typename Function>
bool FindProcedure(HMODULE module, const char* name, Function& function)
{
    // Through the one function pointer type that casts to any other
    // without a warning.
    function = reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
    return function != nullptr;
}

// The procedures of a system DLL, looked up by `find` at the first call and
// kept for the run: all of them, or none when the DLL or any of them is
// missing. The first call may come from any thread; a function-local
// static is initialised once.
template <typename Library>
const Library& SystemProcedures(const wchar_t* name, bool (*find)(HMODULE module, Library& library))
{
    static const Library library = [name, find] {
        Library found;
        const HMODULE module = LoadSystemLibrary(name);
        return module && find(module, found) ? found : Library{};
    }();
    return library;
}

} // namespace Vantri
