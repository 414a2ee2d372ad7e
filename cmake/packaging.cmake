# SPDX-License-Identifier: GPL-3.0-or-later
# Install layout (programs, man pages, desktop entry, request file type, icons, copyright, Wireshark
# dissector) and the Debian package built by CPack.
include(GNUInstallDirs)

set(VEXA_PACKAGING_DIR ${PROJECT_SOURCE_DIR}/packaging)
set(VEXA_ICON_SIZES 16 32 48 64 128 256)
# Debian keeps a package's copyright file under the package's name, which is
# not the project's; the licence text itself is on every Debian system
# already, so the file points at it rather than carrying it.
set(VEXA_DOC_DIR ${CMAKE_INSTALL_DATADIR}/doc/vexa-test)

install(TARGETS vexa-test vexa-probe module-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${PROJECT_SOURCE_DIR}/docs/vexa-test.1 ${PROJECT_SOURCE_DIR}/docs/vexa-probe.1
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${PROJECT_SOURCE_DIR}/docs/module-sim.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
if(VEXA_MONITOR)
    install(TARGETS vexa-monitor RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    install(FILES ${PROJECT_SOURCE_DIR}/docs/vexa-monitor.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
    # The monitor's unit, for systemd to find but not to start until
    # enabled, and an example of the targets file it reads.
    install(FILES ${VEXA_PACKAGING_DIR}/vexa-monitor.service DESTINATION lib/systemd/system)
    install(FILES ${PROJECT_SOURCE_DIR}/docs/vexa-monitor.conf.example DESTINATION ${VEXA_DOC_DIR})
endif()
install(FILES ${VEXA_PACKAGING_DIR}/vexa-test.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
# The request file's type; the system's mime database picks it up (Debian's
# shared-mime-info trigger does so on install), so .vexa files open the tool.
install(FILES ${VEXA_PACKAGING_DIR}/vexa-test.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/mime/packages)
install(FILES ${VEXA_PACKAGING_DIR}/icons/vexa-test.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
foreach(size IN LISTS VEXA_ICON_SIZES)
    install(FILES ${VEXA_PACKAGING_DIR}/icons/hicolor/${size}x${size}/vexa-test.png
            DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps)
endforeach()
install(FILES ${VEXA_PACKAGING_DIR}/copyright DESTINATION ${VEXA_DOC_DIR})
# The Wireshark dissector, where Debian's Wireshark looks for global Lua
# plug-ins (lib/<multiarch>/wireshark/plugins, "Global Lua Plugins" in
# tshark -G folders), so that every capture reads without an option.
if(CMAKE_LIBRARY_ARCHITECTURE)
    set(VEXA_WIRESHARK_PLUGIN_DIR lib/${CMAKE_LIBRARY_ARCHITECTURE}/wireshark/plugins)
else()
    set(VEXA_WIRESHARK_PLUGIN_DIR ${CMAKE_INSTALL_LIBDIR}/wireshark/plugins)
endif()
install(FILES ${VEXA_PACKAGING_DIR}/wireshark/vexa.lua DESTINATION ${VEXA_WIRESHARK_PLUGIN_DIR})

if(BUILD_TESTING)
    # Menus silently drop an entry they cannot parse, so a broken one would
    # only show up as a missing launcher on someone's desktop.
    find_program(DESKTOP_FILE_VALIDATE desktop-file-validate)
    if(DESKTOP_FILE_VALIDATE)
        add_test(NAME desktop_entry_valid
                 COMMAND ${DESKTOP_FILE_VALIDATE} ${VEXA_PACKAGING_DIR}/vexa-test.desktop)
    else()
        message(STATUS "desktop-file-validate not found (desktop-file-utils): desktop entry check skipped")
    endif()

    # Installs into a scratch prefix and checks what a desktop needs to find:
    # the programs and their man pages, an entry whose Exec, Icon and MimeType
    # resolve, icons of their sizes, and the copyright file.
    find_program(UPDATE_MIME_DATABASE update-mime-database)
    add_test(NAME install_layout
             COMMAND ${CMAKE_COMMAND}
                 -DBUILD_DIR=${PROJECT_BINARY_DIR}
                 -DPREFIX=${PROJECT_BINARY_DIR}/install-check
                 -DBINDIR=${CMAKE_INSTALL_BINDIR}
                 -DDATADIR=${CMAKE_INSTALL_DATADIR}
                 -DDOCDIR=${VEXA_DOC_DIR}
                 -DMANDIR=${CMAKE_INSTALL_MANDIR}
                 -DWIRESHARK_PLUGIN_DIR=${VEXA_WIRESHARK_PLUGIN_DIR}
                 "-DICON_SIZES=${VEXA_ICON_SIZES}"
                 "-DUPDATE_MIME_DATABASE=${UPDATE_MIME_DATABASE}"
                 -P ${PROJECT_SOURCE_DIR}/cmake/check-install-layout.cmake)
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vexa-test)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "The Vexa Test developers")
# GPL-3.0-or-later; the package states it in its copyright file.
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGE_CONTACT "Vexa Test maintainers <maintainers@users.noreply.c-seed-bef3c064.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "test tool for an industrial controller's Ethernet module")
set(CPACK_PACKAGE_DESCRIPTION
    "Vexa Test sends request frames, typed as hex, to the Ethernet communication\n"
    "module of an industrial controller over TCP 2004 or UDP 2005, shows every\n"
    "field of each reply and times the round trip. Continuous mode sends the next\n"
    "request as soon as each reply is in, for latency and load tests.\n"
    "The package also contains vexa-probe, the same exchange run unattended from\n"
    "the command line with a summary of losses and round-trip percentiles;\n"
    "vexa-monitor, which watches many modules around the clock and serves their\n"
    "round trips and losses to Prometheus; module-sim, a loopback stand-in for\n"
    "the module; and a Wireshark dissector for the module's frames.")
string(JOIN "" CPACK_PACKAGE_DESCRIPTION ${CPACK_PACKAGE_DESCRIPTION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${CPACK_PACKAGE_CONTACT})
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The library dependencies come from the binaries; the font does not, and the
# fixed layout was measured against its metrics.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "fonts-liberation2")
include(CPack)
