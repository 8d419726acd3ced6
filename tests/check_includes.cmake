# Fails when a source file under one of FOLDERS (relative to ROOT) includes
# from a folder of the tree that cmake/layers.cmake does not let it see. A
# folder without a row there may include only its own files.
# Run as: cmake -DROOT=... -DFOLDERS=a;b -P check_includes.cmake
cmake_minimum_required(VERSION 3.20)
foreach(var ROOT FOLDERS)
    if(NOT DEFINED ${var} OR "${${var}}" STREQUAL "")
        message(FATAL_ERROR "check_includes: ${var} not given")
    endif()
endforeach()
include(${ROOT}/cmake/layers.cmake)

set(offences "")
foreach(folder ${FOLDERS})
    set(seen ${VANTRI_LAYER_${folder}_SEES})
    file(GLOB_RECURSE sources LIST_DIRECTORIES false
        ${ROOT}/${folder}/*.h ${ROOT}/${folder}/*.hpp ${ROOT}/${folder}/*.c ${ROOT}/${folder}/*.cpp
        ${ROOT}/${folder}/*.in ${ROOT}/${folder}/*.rc)
    # A folder without sources would pass without anything being read.
    if(NOT sources)
        message(FATAL_ERROR "check_includes: no source files under ${folder}")
    endif()
    foreach(source ${sources})
        file(STRINGS ${source} lines)
        set(number 0)
        foreach(line IN LISTS lines)
            math(EXPR number "${number} + 1")
            # "a/b.h" or "../a/b.h", in quotes or angle brackets; only a
            # first part that is a folder of the tree counts.
            if(NOT line MATCHES "^[ \t]*#[ \t]*include[ \t]*[<\"](\\.\\./)*(([^/\">]+)/[^\">]*)")
                continue()
            endif()
            set(path ${CMAKE_MATCH_2})
            set(top ${CMAKE_MATCH_3})
            if(NOT IS_DIRECTORY ${ROOT}/${top} OR path MATCHES "^${folder}/")
                continue()
            endif()
            set(allowed FALSE)
            foreach(entry ${seen})
                if(path STREQUAL entry OR path MATCHES "^${entry}/")
                    set(allowed TRUE)
                endif()
            endforeach()
            if(NOT allowed)
                file(RELATIVE_PATH name ${ROOT} ${source})
                list(APPEND offences "${name}:${number} includes from ${top}/: ${line}")
            endif()
        endforeach()
    endforeach()
endforeach()

if(offences)
    list(JOIN offences "\n  " text)
    message(FATAL_ERROR "check_includes:\n  ${text}")
endif()
message(STATUS "check_includes: ${FOLDERS} include only what cmake/layers.cmake allows")
