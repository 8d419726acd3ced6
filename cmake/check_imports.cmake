# Fails unless every DLL that EXE imports directly is in ALLOWED and none is
# in FORBIDDEN, no function in FORBIDDEN_FUNCTIONS is imported and no text in
# FORBIDDEN_TEXT is in the file. Run as: cmake -DOBJDUMP=... -DEXE=...
#   -DALLOWED=a;b [-DFORBIDDEN=c;d] [-DFORBIDDEN_FUNCTIONS=f;g]
#   [-DFORBIDDEN_TEXT=t;u] -P check_imports.cmake
cmake_minimum_required(VERSION 3.20)
foreach(var OBJDUMP EXE ALLOWED)
    if(NOT DEFINED ${var} OR "${${var}}" STREQUAL "")
        message(FATAL_ERROR "check_imports: ${var} not given")
    endif()
endforeach()

execute_process(COMMAND ${OBJDUMP} -p ${EXE}
    OUTPUT_VARIABLE dump ERROR_VARIABLE dump_error RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
    message(FATAL_ERROR "check_imports: ${OBJDUMP} -p ${EXE} failed (${rc}): ${dump_error}")
endif()

string(REGEX MATCHALL "DLL Name: [^\r\n]+" lines "${dump}")
if(NOT lines)
    message(FATAL_ERROR "check_imports: no import table found in ${EXE}")
endif()

string(TOLOWER "${ALLOWED}" allowed)
string(TOLOWER "${FORBIDDEN}" forbidden)
set(imported "")
set(bad "")
foreach(line ${lines})
    string(REGEX REPLACE "^DLL Name: *" "" dll "${line}")
    string(STRIP "${dll}" dll)
    string(TOLOWER "${dll}" dll)
    list(APPEND imported ${dll})
    if(dll IN_LIST forbidden)
        list(APPEND bad "${dll} (must be loaded at run time from the system folder)")
    elseif(NOT dll IN_LIST allowed)
        list(APPEND bad "${dll} (not a system DLL we allow)")
    endif()
endforeach()

foreach(function ${FORBIDDEN_FUNCTIONS})
    if(dump MATCHES "[ \t]${function}[\r\n]")
        list(APPEND bad "function ${function}")
    endif()
endforeach()

foreach(text ${FORBIDDEN_TEXT})
    file(STRINGS ${EXE} found REGEX "${text}" LIMIT_COUNT 1)
    if(found)
        list(APPEND bad "text ${text}")
    endif()
endforeach()

if(bad)
    message(FATAL_ERROR "check_imports: ${EXE} imports: ${imported}\nnot allowed: ${bad}")
endif()
message(STATUS "check_imports: ${EXE} imports only: ${imported}")
