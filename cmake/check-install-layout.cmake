# SPDX-License-Identifier: GPL-3.0-or-later
# Test script: installs the build into a scratch prefix and checks the result a desktop relies on.
# Inputs: BUILD_DIR, PREFIX, BINDIR, DATADIR, DOCDIR, MANDIR, WIRESHARK_PLUGIN_DIR, ICON_SIZES, UPDATE_MIME_DATABASE (may be empty).
file(REMOVE_RECURSE "${PREFIX}")
execute_process(COMMAND "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${PREFIX}"
                RESULT_VARIABLE rc OUTPUT_QUIET)
if(NOT rc EQUAL 0)
    message(FATAL_ERROR "cmake --install failed: ${rc}")
endif()

set(failures "")
macro(fail text)
    string(APPEND failures "\n  ${text}")
endmacro()

foreach(program vexa-test vexa-probe vexa-monitor module-sim)
    if(NOT EXISTS "${PREFIX}/${BINDIR}/${program}")
        fail("${BINDIR}/${program} is not installed")
    endif()
endforeach()

foreach(page vexa-test.1 vexa-probe.1 vexa-monitor.1 module-sim.1)
    if(NOT EXISTS "${PREFIX}/${MANDIR}/man1/${page}")
        fail("${MANDIR}/man1/${page} is not installed")
    endif()
endforeach()

foreach(file lib/systemd/system/vexa-monitor.service ${DOCDIR}/vexa-monitor.conf.example
             ${WIRESHARK_PLUGIN_DIR}/vexa.lua)
    if(NOT EXISTS "${PREFIX}/${file}")
        fail("${file} is not installed")
    endif()
endforeach()

set(entry "${PREFIX}/${DATADIR}/applications/vexa-test.desktop")
if(NOT EXISTS "${entry}")
    fail("${DATADIR}/applications/vexa-test.desktop is not installed")
else()
    # Menus look the program up on PATH and the icon up by name in the theme,
    # so both names must match what was installed.
    file(STRINGS "${entry}" exec_line REGEX "^Exec=")
    string(REGEX REPLACE "^Exec=([^ ]+).*" "\\1" exec_name "${exec_line}")
    if(NOT EXISTS "${PREFIX}/${BINDIR}/${exec_name}")
        fail("Exec=${exec_name} names no installed program")
    endif()
    # A file manager offers the tool for the types the entry names only when
    # the installed mime database defines them, with the file's suffix.
    file(STRINGS "${entry}" mime_line REGEX "^MimeType=")
    string(REGEX REPLACE "^MimeType=" "" mime_types "${mime_line}")
    # file(STRINGS) escapes the entry's separators; they make the list.
    string(REPLACE "\\;" ";" mime_types "${mime_types}")
    if(NOT mime_types)
        fail("the desktop entry names no MimeType")
    endif()
    file(GLOB mime_packages "${PREFIX}/${DATADIR}/mime/packages/*.xml")
    set(mime_xml "")
    foreach(package IN LISTS mime_packages)
        file(READ "${package}" text)
        string(APPEND mime_xml "${text}")
    endforeach()
    if(UPDATE_MIME_DATABASE)
        # The database is built from a copy, as the system's would be; a
        # malformed file fails here, or leaves its type without a glob.
        set(mime_dir "${PREFIX}/mime-check")
        file(REMOVE_RECURSE "${mime_dir}")
        file(COPY ${mime_packages} DESTINATION "${mime_dir}/packages")
        execute_process(COMMAND "${UPDATE_MIME_DATABASE}" "${mime_dir}" RESULT_VARIABLE rc
                        OUTPUT_QUIET ERROR_VARIABLE mime_errors)
        if(NOT rc EQUAL 0)
            fail("update-mime-database failed on ${DATADIR}/mime/packages: ${mime_errors}")
        endif()
        file(STRINGS "${mime_dir}/globs2" globs)
    endif()
    foreach(type IN LISTS mime_types)
        if(type STREQUAL "")
            continue()
        endif()
        if(NOT mime_xml MATCHES "<mime-type type=\"${type}\">")
            fail("MimeType=${type} is defined in no ${DATADIR}/mime/packages file")
        elseif(UPDATE_MIME_DATABASE AND NOT globs MATCHES ":${type}:\\*\\.")
            fail("MimeType=${type} has no file name pattern in the mime database")
        endif()
    endforeach()
    file(STRINGS "${entry}" icon_line REGEX "^Icon=")
    string(REGEX REPLACE "^Icon=" "" icon_name "${icon_line}")
    set(icon_dir "${PREFIX}/${DATADIR}/icons/hicolor")
    if(NOT EXISTS "${icon_dir}/scalable/apps/${icon_name}.svg")
        fail("Icon=${icon_name} has no scalable/apps/${icon_name}.svg")
    endif()
    foreach(size IN LISTS ICON_SIZES)
        set(png "${icon_dir}/${size}x${size}/apps/${icon_name}.png")
        if(NOT EXISTS "${png}")
            fail("Icon=${icon_name} has no ${size}x${size}/apps/${icon_name}.png")
            continue()
        endif()
        # The theme trusts the directory name; a PNG of another size there is
        # scaled blurry or drawn at the wrong size. Width and height are the
        # big-endian words at bytes 16 and 20 of the PNG's IHDR.
        file(READ "${png}" header LIMIT 24 HEX)
        string(SUBSTRING "${header}" 0 16 signature)
        string(SUBSTRING "${header}" 32 8 width_hex)
        string(SUBSTRING "${header}" 40 8 height_hex)
        math(EXPR width "0x${width_hex}")
        math(EXPR height "0x${height_hex}")
        if(NOT signature STREQUAL "89504e470d0a1a0a")
            fail("${size}x${size}/apps/${icon_name}.png is not a PNG")
        elseif(NOT width EQUAL size OR NOT height EQUAL size)
            fail("${size}x${size}/apps/${icon_name}.png is ${width}x${height}")
        endif()
    endforeach()
endif()

# Debian reads the package's licence from this file, and its licence
# tools expect the machine-readable format.
set(copyright "${PREFIX}/${DOCDIR}/copyright")
if(NOT EXISTS "${copyright}")
    fail("${DOCDIR}/copyright is not installed")
else()
    file(STRINGS "${copyright}" format_line REGEX "^Format: ")
    file(STRINGS "${copyright}" license_lines REGEX "^License: GPL-3.0-or-later$")
    if(NOT format_line MATCHES "copyright-format/1.0/$")
        fail("${DOCDIR}/copyright has no DEP-5 Format line")
    endif()
    if(NOT license_lines)
        fail("${DOCDIR}/copyright does not name GPL-3.0-or-later")
    endif()
endif()

if(failures)
    message(FATAL_ERROR "install layout:${failures}")
endif()
message(STATUS "install layout: programs, man pages, desktop entry, mime types, copyright and ${ICON_SIZES} px "
               "icons in place")
