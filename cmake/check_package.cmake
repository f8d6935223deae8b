# cmake -DBUILD=<build folder> -DGUI=ON|OFF -DAPP_ID=<id> -DPROGDIR=lib/qrv -P check_package.cmake
#
# Builds the Debian package with CPack from a finished build and checks that
# its file list holds what an installed QRV needs, and that its dependencies
# were computed.
set(out ${BUILD}/package/check)
file(REMOVE_RECURSE ${out})
file(MAKE_DIRECTORY ${out})
# The cpack that belongs to the cmake running this script.
get_filename_component(bindir "${CMAKE_COMMAND}" DIRECTORY)
execute_process(COMMAND ${bindir}/cpack -G DEB -B ${out} --config ${BUILD}/CPackConfig.cmake
  WORKING_DIRECTORY ${BUILD} RESULT_VARIABLE rc OUTPUT_VARIABLE o ERROR_VARIABLE e)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cpack failed (${rc}):\n${o}\n${e}")
endif()
file(GLOB debs ${out}/*.deb)
list(LENGTH debs n)
if(NOT n EQUAL 1)
  message(FATAL_ERROR "expected one .deb in ${out}, found: ${debs}")
endif()
execute_process(COMMAND dpkg-deb -c ${debs} OUTPUT_VARIABLE list RESULT_VARIABLE rc)
execute_process(COMMAND dpkg-deb -f ${debs} Package Depends OUTPUT_VARIABLE fields)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "dpkg-deb -c ${debs} failed")
endif()

set(want
  "./usr/${PROGDIR}/qrv-cli"
  "./usr/bin/qrv-cli -> ../${PROGDIR}/qrv-cli"
  "./usr/${PROGDIR}/Updata/skin/English.lng"
  "./usr/${PROGDIR}/Updata/skin/Languages_set.ini"
  "./usr/${PROGDIR}/Help.html"
  "./usr/${PROGDIR}/help.css"
  "./usr/${PROGDIR}/help-images/main-results.png"
  "./usr/share/man/man1/qrv-cli.1")
if(GUI)
  list(APPEND want
    "./usr/${PROGDIR}/qrv"
    "./usr/bin/qrv -> ../${PROGDIR}/qrv"
    "./usr/share/applications/${APP_ID}.desktop"
    "./usr/share/metainfo/${APP_ID}.metainfo.xml"
    "./usr/share/icons/hicolor/48x48/apps/${APP_ID}.png"
    "./usr/share/icons/hicolor/256x256/apps/${APP_ID}.png"
    "./usr/share/icons/hicolor/scalable/apps/${APP_ID}.svg")
endif()
set(missing)
foreach(w ${want})
  string(FIND "${list}" "${w}\n" at)
  if(at EQUAL -1)
    list(APPEND missing "${w}")
  endif()
endforeach()
# Nothing but the two programs is an executable of the package.
string(REGEX MATCHALL "-rwx[^\n]* \\./usr/[^\n]*" exes "${list}")
set(extra)
foreach(x ${exes})
  if(NOT x MATCHES "/${PROGDIR}/qrv(-cli)?$")
    list(APPEND extra "${x}")
  endif()
endforeach()
if(missing OR extra OR NOT fields MATCHES "Depends: [^\n]*libc6")
  message(FATAL_ERROR "package ${debs}:\nmissing: ${missing}\nunexpected programs: ${extra}\n"
                      "fields:\n${fields}\nfile list:\n${list}")
endif()
# Unpacked, the link in bin/ starts the program, and the shipped setting is Chinese.
execute_process(COMMAND dpkg-deb -x ${debs} ${out}/root RESULT_VARIABLE rc)
execute_process(COMMAND ${out}/root/usr/bin/qrv-cli --help RESULT_VARIABLE rc OUTPUT_VARIABLE help)
file(READ ${out}/root/usr/${PROGDIR}/Updata/skin/Languages_set.ini setting HEX)
if(NOT rc EQUAL 0 OR NOT help MATCHES "usage: qrv-cli" OR NOT setting STREQUAL "300d0a")
  message(FATAL_ERROR "unpacked package: qrv-cli --help gave ${rc}: ${help}\nLanguages_set.ini: ${setting}")
endif()
message(STATUS "${debs}: ${fields}")
