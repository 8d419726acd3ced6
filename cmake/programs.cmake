# How every exe is made, what it may import, and the test that reads its
# import table: the window programs (app/) and the console programs (cli/)
# share them.

# One static exe of ours with a wide entry point (-municode): WIN32 for the
# window's wWinMain, none for a console's wmain. Each links the engine, its
# Win32 system calls, one HID loader binding and the downloads' WinHTTP
# binding (winhttp.dll from System32 at run time), plus its own libraries
# and its resources where the build has them.
function(vantri_add_program name)
    cmake_parse_arguments(PARSE_ARGV 1 program "WIN32" "LOADER;RESOURCES" "SOURCES;LIBRARIES")
    if(program_WIN32)
        add_executable(${name} WIN32 ${program_SOURCES})
    else()
        add_executable(${name} ${program_SOURCES})
    endif()
    vantri_target_defaults(${name})
    target_compile_options(${name} PRIVATE -municode)
    target_link_options(${name} PRIVATE -municode)
    target_link_libraries(${name} PRIVATE ${program_LIBRARIES} vantri_core vantri_engine_win ${program_LOADER}
        vantri_http_win shell32)
    if(TARGET ${program_RESOURCES})
        target_link_libraries(${name} PRIVATE ${program_RESOURCES})
    endif()
endfunction()
# DLLs the exe may import directly: Windows takes these from the system
# folder whatever lies beside the exe (KnownDLLs), so no DLL planted in the
# download folder is loaded in their place. hid.dll and winhttp.dll are not
# among them; they are loaded at run time from the system folder only.
set(VANTRI_ALLOWED_IMPORTS kernel32.dll user32.dll gdi32.dll advapi32.dll shell32.dll comdlg32.dll
    setupapi.dll msvcrt.dll)

# The shipping program reads no environment: it neither imports the calls
# that read it nor carries the emulation build's variable name.
set(VANTRI_ENVIRONMENT_READERS GetEnvironmentVariableA GetEnvironmentVariableW getenv _wgetenv)

# Nor does either build import a WinHTTP call from any DLL: they are taken
# from the system folder's winhttp.dll at run time.
set(VANTRI_HTTP_FUNCTIONS WinHttpOpen WinHttpConnect WinHttpOpenRequest WinHttpSendRequest WinHttpReceiveResponse
    WinHttpQueryHeaders WinHttpReadData WinHttpCloseHandle WinHttpSetTimeouts WinHttpGetIEProxyConfigForCurrentUser
    WinHttpGetDefaultProxyConfiguration WinHttpGetProxyForUrl)

function(vantri_add_import_test name forbidden_functions forbidden_text)
    add_test(NAME ${name}_imports
        COMMAND ${CMAKE_COMMAND}
            -DOBJDUMP=${CMAKE_OBJDUMP}
            -DEXE=$<TARGET_FILE:${name}>
            "-DALLOWED=${ARGN}"
            "-DFORBIDDEN=hid.dll;winhttp.dll"
            "-DFORBIDDEN_FUNCTIONS=${forbidden_functions}"
            "-DFORBIDDEN_TEXT=${forbidden_text}"
            -P ${PROJECT_SOURCE_DIR}/cmake/check_imports.cmake)
    set_tests_properties(${name}_imports PROPERTIES LABELS windows)
    # The check itself must be able to fail: without kernel32 allowed, it does.
    # CMake wraps the message's lines, so a blank may come as a line break.
    add_test(NAME ${name}_imports_check_refuses
        COMMAND ${CMAKE_COMMAND}
            -DOBJDUMP=${CMAKE_OBJDUMP}
            -DEXE=$<TARGET_FILE:${name}>
            -DALLOWED=user32.dll
            -P ${PROJECT_SOURCE_DIR}/cmake/check_imports.cmake)
    set_tests_properties(${name}_imports_check_refuses PROPERTIES LABELS windows
        PASS_REGULAR_EXPRESSION "kernel32.dll \\(not a[ \n]+system DLL we allow\\)")
endfunction()

