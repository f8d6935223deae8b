# Installation and the Debian package.
#
#   cmake --install build --prefix /usr        (or DESTDIR=... for a staging tree)
#   cd build && cpack -G DEB
#
# The program folder is <prefix>/lib/qrv: the two programs with Updata/skin/
# (language file and the shipped language setting) and the manual beside them,
# exactly as in the build's bin/ folder; <prefix>/bin holds links to the
# programs (the programs find their folder through /proc/self/exe, which names
# the link's target). The desktop entry, AppStream metainfo, hicolor icons and
# the manual page of qrv-cli go to their usual places under share/. Test
# programs, benchmarks and tools are never installed.
include(GNUInstallDirs)

set(QRV_INSTALL_PROGDIR "lib/qrv" CACHE STRING "Program folder below the install prefix")
set(QRV_APP_ID "io.github.qrv.Qrv")

set(_progs qrv-cli)
if(QRV_BUILD_GUI)
  list(APPEND _progs qrv)
endif()
install(TARGETS ${_progs} RUNTIME DESTINATION ${QRV_INSTALL_PROGDIR})
foreach(p ${_progs})
  install(CODE "
    set(_bin \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
    file(MAKE_DIRECTORY \"\${_bin}\")
    file(REMOVE \"\${_bin}/${p}\")
    file(CREATE_LINK \"../${QRV_INSTALL_PROGDIR}/${p}\" \"\${_bin}/${p}\" SYMBOLIC)
    message(STATUS \"Installing: \${_bin}/${p} -> ../${QRV_INSTALL_PROGDIR}/${p}\")")
endforeach()

# Updata/skin: the language file and the shipped setting (Chinese). The setting
# is installed read-only: it is the default, and a user's choice goes to
# $XDG_CONFIG_HOME/qrv/ (platform/program_folder.h), even for root.
set(_pkgdata ${CMAKE_BINARY_DIR}/package)
file(MAKE_DIRECTORY ${_pkgdata})
file(WRITE ${_pkgdata}/Languages_set.ini "0\r\n")
install(FILES ${CMAKE_BINARY_DIR}/bin/Updata/skin/English.lng
  DESTINATION ${QRV_INSTALL_PROGDIR}/Updata/skin)
install(FILES ${_pkgdata}/Languages_set.ini
  DESTINATION ${QRV_INSTALL_PROGDIR}/Updata/skin
  PERMISSIONS OWNER_READ GROUP_READ WORLD_READ)

# The manual with its pictures and style sheet.
install(FILES
  ${CMAKE_SOURCE_DIR}/data/help/Help.html
  ${CMAKE_SOURCE_DIR}/data/help/Help-en.html
  ${CMAKE_SOURCE_DIR}/data/help/help.css
  DESTINATION ${QRV_INSTALL_PROGDIR})
install(DIRECTORY ${CMAKE_SOURCE_DIR}/data/help/help-images
  DESTINATION ${QRV_INSTALL_PROGDIR}
  FILES_MATCHING PATTERN "*.png")

# Desktop entry, metainfo and icons (rendered from the window icon at build time).
if(QRV_BUILD_GUI)
  install(FILES ${CMAKE_SOURCE_DIR}/data/qrv.desktop
    DESTINATION ${CMAKE_INSTALL_DATADIR}/applications RENAME ${QRV_APP_ID}.desktop)
  install(FILES ${CMAKE_SOURCE_DIR}/data/${QRV_APP_ID}.metainfo.xml
    DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)

  find_package(Qt6 REQUIRED COMPONENTS Gui Svg)
  add_executable(qrv-render-icon ${CMAKE_SOURCE_DIR}/tools/render_icon.cpp)
  target_compile_options(qrv-render-icon PRIVATE ${QRV_WARNINGS})
  target_link_libraries(qrv-render-icon PRIVATE Qt6::Gui Qt6::Svg)
  set_target_properties(qrv-render-icon PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tools)

  set(_icon_svg ${CMAKE_SOURCE_DIR}/src/app/icons/logo_window.svg)
  set(_icons)
  foreach(size 16 24 32 48 64 128 256)
    set(_png ${_pkgdata}/icons/${size}/${QRV_APP_ID}.png)
    add_custom_command(OUTPUT ${_png}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${_pkgdata}/icons/${size}
      COMMAND qrv-render-icon ${_icon_svg} ${size} ${_png}
      DEPENDS qrv-render-icon ${_icon_svg}
      VERBATIM)
    list(APPEND _icons ${_png})
    install(FILES ${_png} DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps)
  endforeach()
  add_custom_target(qrv_icons ALL DEPENDS ${_icons})
  install(FILES ${_icon_svg} DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps
    RENAME ${QRV_APP_ID}.svg)
endif()

# The manual page of qrv-cli, made from its --help texts.
set(_man ${_pkgdata}/qrv-cli.1)
add_custom_command(OUTPUT ${_man}
  COMMAND ${CMAKE_COMMAND} -DCLI=$<TARGET_FILE:qrv-cli> -DOUT=${_man} -DVERSION=${PROJECT_VERSION}
          -P ${CMAKE_SOURCE_DIR}/cmake/qrv_cli_man.cmake
  DEPENDS qrv-cli ${CMAKE_SOURCE_DIR}/cmake/qrv_cli_man.cmake
  COMMENT "Writing the manual page of qrv-cli"
  VERBATIM)
add_custom_target(qrv_manpage ALL DEPENDS ${_man})
install(FILES ${_man} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${CMAKE_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/qrv)

# The Debian package.
set(CPACK_GENERATOR "DEB")
set(CPACK_PACKAGE_NAME "qrv")
set(CPACK_PACKAGE_VENDOR "QRV")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "recover deleted recordings of body-worn and hand-held cameras")
set(CPACK_PACKAGE_DESCRIPTION
  "QRV reads a disk, a volume or a disk image read-only, finds the video recordings of body-worn and hand-held cameras, rebuilds them, rates each from 0 (very good) to 3 (poor) and writes the chosen ones as MP4 files to another disk. It has a desktop program (qrv) and a command line (qrv-cli).")
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION "utils")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "QRV developers <qrv@localhost>")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Raw devices as a normal user are opened through udisks2 (polkit asks).
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "udisks2, qt6-translations-l10n")
set(CPACK_DEBIAN_COMPRESSION_TYPE "gzip")
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/package/out)
include(CPack)

if(QRV_BUILD_TESTS)
  # The package is built from this build and its file list checked; the
  # desktop entry and the metainfo pass their validators.
  add_test(NAME package_contents
    COMMAND ${CMAKE_COMMAND} -DBUILD=${CMAKE_BINARY_DIR} -DGUI=${QRV_BUILD_GUI} -DAPP_ID=${QRV_APP_ID}
            -DPROGDIR=${QRV_INSTALL_PROGDIR} -P ${CMAKE_SOURCE_DIR}/cmake/check_package.cmake)
  set_tests_properties(package_contents PROPERTIES LABELS package TIMEOUT 300 RUN_SERIAL ON)
  find_program(DESKTOP_FILE_VALIDATE desktop-file-validate REQUIRED)
  find_program(APPSTREAMCLI appstreamcli REQUIRED)
  add_test(NAME package_desktop_entry COMMAND ${DESKTOP_FILE_VALIDATE} ${CMAKE_SOURCE_DIR}/data/qrv.desktop)
  add_test(NAME package_metainfo
    COMMAND ${APPSTREAMCLI} validate --no-net ${CMAKE_SOURCE_DIR}/data/${QRV_APP_ID}.metainfo.xml)
  set_tests_properties(package_desktop_entry package_metainfo PROPERTIES LABELS package)
  # desktop-file-validate reports hints and warnings with status 0; only errors fail it.
  set_tests_properties(package_desktop_entry PROPERTIES FAIL_REGULAR_EXPRESSION "error:|warning:")
endif()
