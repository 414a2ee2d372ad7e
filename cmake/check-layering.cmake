# SPDX-License-Identifier: GPL-3.0-or-later
# Test script for vexa_layering_test: builds each check target, one at a
# time. Every ALLOWED target must compile; every FORBIDDEN one must fail, and
# on its include: a failure for any other reason would hide a layer that
# leaks.
# Inputs: BUILD_DIR, CONFIG, ALLOWED (targets), FORBIDDEN (target=header),
# both lists separated by commas.
string(REPLACE "," ";" ALLOWED "${ALLOWED}")
string(REPLACE "," ";" FORBIDDEN "${FORBIDDEN}")
set(config_args "")
if(CONFIG)
    set(config_args --config ${CONFIG})
endif()

set(failures "")
foreach(target IN LISTS ALLOWED)
    execute_process(COMMAND ${CMAKE_COMMAND} --build ${BUILD_DIR} --target ${target} ${config_args}
                    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
    if(NOT rc EQUAL 0)
        string(APPEND failures "\n  ${target} should compile but does not:\n${out}")
    endif()
endforeach()
foreach(entry IN LISTS FORBIDDEN)
    string(REPLACE "=" ";" parts "${entry}")
    list(GET parts 0 target)
    list(GET parts 1 header)
    string(REPLACE "." "\\." pattern "${header}")
    execute_process(COMMAND ${CMAKE_COMMAND} --build ${BUILD_DIR} --target ${target} ${config_args}
                    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
    if(rc EQUAL 0)
        string(APPEND failures "\n  ${target} compiles: ${header} is visible without linking its layer")
    elseif(NOT out MATCHES "${pattern}")
        string(APPEND failures "\n  ${target} fails, but not on ${header}:\n${out}")
    else()
        message(STATUS "${target}: ${header} not found, as it should be")
    endif()
endforeach()
if(failures)
    message(FATAL_ERROR "layering broken:${failures}")
endif()
