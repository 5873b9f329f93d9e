# Installation and the Debian package.
#
# cmake --install puts the binary in bin/, the privileged enforcer in libexec/tarvok/, the language and help files in share/tarvok/ (an
# installed Tarvok reads them from there when a user's program folder has none), and the
# desktop entry, AppStream metainfo and icons under the one application id below.
# cpack -G DEB in a configured build folder makes the package.

include(GNUInstallDirs)

set(TARVOK_APP_ID "example.tarvok.Tarvok")
set(TARVOK_PACKAGING_DIR ${CMAKE_SOURCE_DIR}/packaging)
set(TARVOK_DATA_DIR ${CMAKE_INSTALL_DATADIR}/tarvok)

install(TARGETS tarvok RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS tarvok-enforcer RUNTIME DESTINATION ${CMAKE_INSTALL_LIBEXECDIR}/tarvok)
file(GLOB TARVOK_INSTALLED_LANGUAGES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/lang/*.lng)
install(FILES ${TARVOK_INSTALLED_LANGUAGES} DESTINATION ${TARVOK_DATA_DIR}/Language)
install(FILES ${CMAKE_BINARY_DIR}/tarvok.qch ${CMAKE_BINARY_DIR}/tarvok_jp.qch
        DESTINATION ${TARVOK_DATA_DIR})

install(FILES ${TARVOK_PACKAGING_DIR}/${TARVOK_APP_ID}.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
string(TIMESTAMP TARVOK_RELEASE_DATE "%Y-%m-%d" UTC) # honours SOURCE_DATE_EPOCH
configure_file(${TARVOK_PACKAGING_DIR}/${TARVOK_APP_ID}.metainfo.xml.in
               ${CMAKE_BINARY_DIR}/packaging/${TARVOK_APP_ID}.metainfo.xml @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/packaging/${TARVOK_APP_ID}.metainfo.xml
        DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
# The 48x48 PNG was made once from the SVG with rsvg-convert (librsvg2-bin):
#   rsvg-convert -w 48 -h 48 resources/icons/tarvok.svg -o packaging/tarvok-48.png
install(FILES ${CMAKE_SOURCE_DIR}/resources/icons/tarvok.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps
        RENAME ${TARVOK_APP_ID}.svg)
install(FILES ${TARVOK_PACKAGING_DIR}/tarvok-48.png
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/48x48/apps
        RENAME ${TARVOK_APP_ID}.png)

# The package.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tarvok)
set(CPACK_PACKAGE_VENDOR "Tarvok developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "desktop firewall and connection monitor")
set(CPACK_PACKAGE_DESCRIPTION [=[Tarvok reads the kernel's TCP tables ten times a second, matches every
connection against an ordered list of rules and cuts the connections the
rules block, with no kernel module. The same policy goes into an nftables
table of its own (inet tarvok_<uid>_<instance>, owned so that no other
program can change it), which refuses a blocked connection's first
packet. It shows live lists of connections and of the programs
behind them, keeps daily event logs (also sent to the systemd journal)
and lives in the notification area.
.
From a terminal the same program steers the running Tarvok:
tarvok --status [--json], --level allow|normal|block, --pause, --resume,
--reload and --exit [--discard]; exit codes 0 done, 1 not running,
2 bad arguments, 3 refused, 4 busy, 5 not running but its last policy
still in force (see tarvok(1)).
.
The window holds no privilege. A small helper without any GUI library,
tarvok-enforcer, holds the capability cap_net_admin and writes the
table and cuts connections for it, and cap_bpf and cap_perfmon to load
the program filter that decides rules naming a program when it
connects; only root and the members of the group tarvok may run it.
Each user's files are kept in ~/.local/share/Tarvok, readable by that
user alone.]=])
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Tarvok maintainers <maintainers@tarvok.example>")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "${TARVOK_HOME_PAGE}")
# Libraries the binary links come from dpkg-shlibdeps. Added by hand: what the maintainer
# script runs, and the Qt plugins loaded at run time (SVG pictures, the help's database).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libcap2-bin, passwd, procps, libqt6svg6, libqt6sql6-sqlite")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(TARVOK_INSTALLED_BINARY ${CPACK_PACKAGING_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/tarvok)
set(TARVOK_INSTALLED_ENFORCER
    ${CPACK_PACKAGING_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBEXECDIR}/tarvok/tarvok-enforcer)
foreach(script postinst prerm)
    configure_file(${TARVOK_PACKAGING_DIR}/${script}.in ${CMAKE_BINARY_DIR}/packaging/${script}
                   @ONLY FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
                   GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
endforeach()
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_BINARY_DIR}/packaging/postinst
    ${CMAKE_BINARY_DIR}/packaging/prerm)

# Debian's copyright file, the changelog and the manual page, compressed as policy asks.
string(TIMESTAMP TARVOK_CHANGELOG_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
configure_file(${TARVOK_PACKAGING_DIR}/copyright.in ${CMAKE_BINARY_DIR}/packaging/copyright @ONLY)
configure_file(${TARVOK_PACKAGING_DIR}/changelog.in ${CMAKE_BINARY_DIR}/packaging/changelog @ONLY)
configure_file(${TARVOK_PACKAGING_DIR}/tarvok.1 ${CMAKE_BINARY_DIR}/packaging/tarvok.1 COPYONLY)
execute_process(COMMAND gzip -9nf ${CMAKE_BINARY_DIR}/packaging/changelog
                                  ${CMAKE_BINARY_DIR}/packaging/tarvok.1)
install(FILES ${CMAKE_BINARY_DIR}/packaging/tarvok.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${CMAKE_BINARY_DIR}/packaging/copyright ${CMAKE_BINARY_DIR}/packaging/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DOCDIR})

include(CPack)
