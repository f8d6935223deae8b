# The folder check: the core folders of src/ form a stack that reads bottom-up,
# and a file in one of them may include only its own folder and the folders
# listed before it. The front ends (app, cli) sit on top and may include any
# core folder; no core folder includes a front end or a Qt header.
#
#   cmake -DQRV_SOURCE_DIR=<repository> -P folder_stack.cmake
#
# Prints every include that breaks the rule and fails when there is one.
set(QRV_FOLDER_STACK common platform media scan analysis results export player sources pipeline)
set(QRV_FRONT_ENDS app cli)

if(NOT QRV_SOURCE_DIR)
  message(FATAL_ERROR "folder check: QRV_SOURCE_DIR is not set")
endif()

set(broken 0)
# A folder that is in neither list has no place in the stack yet.
file(GLOB folders LIST_DIRECTORIES true RELATIVE "${QRV_SOURCE_DIR}/src" "${QRV_SOURCE_DIR}/src/*")
foreach(folder IN LISTS folders)
  if(IS_DIRECTORY "${QRV_SOURCE_DIR}/src/${folder}")
    list(FIND QRV_FOLDER_STACK ${folder} level)
    list(FIND QRV_FRONT_ENDS ${folder} frontEnd)
    if(level EQUAL -1 AND frontEnd EQUAL -1)
      message("src/${folder}: a folder with no place in the stack")
      math(EXPR broken "${broken} + 1")
    endif()
  endif()
endforeach()
foreach(folder IN LISTS QRV_FOLDER_STACK)
  list(FIND QRV_FOLDER_STACK ${folder} level)
  file(GLOB_RECURSE files "${QRV_SOURCE_DIR}/src/${folder}/*.h" "${QRV_SOURCE_DIR}/src/${folder}/*.cpp")
  foreach(file IN LISTS files)
    file(STRINGS "${file}" includes REGEX "^[ \t]*#[ \t]*include[ \t]*[\"<]")
    file(RELATIVE_PATH shown "${QRV_SOURCE_DIR}" "${file}")
    foreach(line IN LISTS includes)
      if(line MATCHES "#[ \t]*include[ \t]*\"([A-Za-z0-9_]+)/")
        set(target "${CMAKE_MATCH_1}")
        list(FIND QRV_FOLDER_STACK ${target} targetLevel)
        list(FIND QRV_FRONT_ENDS ${target} frontEnd)
        if(targetLevel GREATER level OR frontEnd GREATER -1)
          message("${shown}: ${folder} includes ${target}, which is above it: ${line}")
          math(EXPR broken "${broken} + 1")
        endif()
      elseif(line MATCHES "#[ \t]*include[ \t]*<(Q[A-Za-z]+)")
        message("${shown}: the core includes a Qt header: ${line}")
        math(EXPR broken "${broken} + 1")
      endif()
    endforeach()
  endforeach()
endforeach()

if(broken GREATER 0)
  message(FATAL_ERROR "folder check: ${broken} include(s) against the stack ${QRV_FOLDER_STACK}")
endif()
message(STATUS "folder check: the core folders form the stack ${QRV_FOLDER_STACK}")
