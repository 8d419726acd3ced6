# Fails when a source file under one of FOLDERS (relative to ROOT) includes
# anything from emulator/: the shipping program's folders must build without
# the emulator. Run as: cmake -DROOT=... -DFOLDERS=a;b -P check_includes.cmake
cmake_minimum_required(VERSION 3.20)
foreach(var ROOT FOLDERS)
    if(NOT DEFINED ${var} OR "${${var}}" STREQUAL "")
        message(FATAL_ERROR "check_includes: ${var} not given")
    endif()
endforeach()

set(offences "")
foreach(folder ${FOLDERS})
    file(GLOB_RECURSE sources LIST_DIRECTORIES false
        ${ROOT}/${folder}/*.h ${ROOT}/${folder}/*.hpp ${ROOT}/${folder}/*.c ${ROOT}/${folder}/*.cpp
        ${ROOT}/${folder}/*.rc)
    # A folder without sources would pass without anything being read.
    if(NOT sources)
        message(FATAL_ERROR "check_includes: no source files under ${folder}")
    endif()
    foreach(source ${sources})
        file(STRINGS ${source} lines)
        set(number 0)
        foreach(line IN LISTS lines)
            math(EXPR number "${number} + 1")
            # "emulator/..." or "../emulator/...", in quotes or angle brackets.
            if(line MATCHES "^[ \t]*#[ \t]*include[ \t]*[<\"](\\.\\./)*emulator/")
                file(RELATIVE_PATH name ${ROOT} ${source})
                list(APPEND offences "${name}:${number} includes from emulator/: ${line}")
            endif()
        endforeach()
    endforeach()
endforeach()

if(offences)
    list(JOIN offences "\n  " text)
    message(FATAL_ERROR "check_includes:\n  ${text}")
endif()
message(STATUS "check_includes: nothing under ${FOLDERS} includes from emulator/")
