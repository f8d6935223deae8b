# The process-state check: everything of a scan lives in its session and
# everything of an operation in its state, so the core folders of the stack
# (folder_stack.cmake) hold no mutable state of their own outside them: no
# extern variable that is not const, no function-static variable that is not
# const, and no namespace-scope variable that is not const. What may stay is
# listed below with its reason: the process settings (language, time zone)
# and a few facts that belong to the process itself.
#
#   cmake -DQRV_SOURCE_DIR=<repository> -P process_state.cmake
#
# Prints every variable that breaks the rule and fails when there is one.
set(QRV_CORE_FOLDERS common platform media scan analysis results export player sources pipeline)

# file|name - reason
set(QRV_PROCESS_STATE
  # The process settings.
  "src/common/language.cpp|g_language"          # the interface language chosen at start
  "src/common/language.cpp|g_languageId"        # its identifier, for message boxes
  "src/common/language.cpp|g_tableMu"           # guards the language table
  "src/common/language.cpp|g_table"             # the language file's table
  "src/platform/time_zone.cpp|g_override"       # the time-zone bias tests set in place of the zone's
  "src/platform/time_zone.cpp|once"             # the zone's bias is read once
  "src/platform/time_zone.cpp|bias"             # the zone's standard bias
  # Facts of the process.
  "src/common/ui_message.cpp|g_sinkMu"          # guards the message channel's sink
  "src/common/ui_message.cpp|g_sink"            # the channel's sink: the one front end of the process
  "src/common/ui_message.cpp|t_quietProgress"   # per thread: its progress messages are dropped
  "src/common/op_state.cpp|t_boundOp"           # per thread: the operation its progress is recorded for
  "src/platform/output_file.cpp|serial"         # makes the process's temporary names unique
  "src/scan/feature_index.cpp|serial"           # makes the index files' names unique in the process
  "src/scan/classifier.cpp|g_searchPath"        # the search this processor runs (chosen once)
  "src/scan/classifier.cpp|g_searchImpl"        # its implementation
  "src/export/preview_sample.cpp|files"         # the sample files this process has in use
  "src/export/preview_sample.cpp|g_pathMu"      # guards the preview path
  "src/export/preview_sample.cpp|g_previewPath" # the sample the process's one player plays
  "src/export/carve_report.cpp|g_lastMu"        # guards the last report
  "src/export/carve_report.cpp|g_last"          # the report of the process's last export
  "src/analysis/sample_decode.cpp|g_sinkMu"     # guards the decoder log routing
  "src/analysis/sample_decode.cpp|g_sinks"      # FFmpeg's log callback is one per process
  "src/analysis/sample_decode.cpp|g_logOnce"    # that callback is installed once
)

if(NOT QRV_SOURCE_DIR)
  message(FATAL_ERROR "process-state check: QRV_SOURCE_DIR is not set")
endif()

# True (in out) when line declares a name the allow-list names for file.
function(qrv_allowed file line out)
  set(${out} FALSE PARENT_SCOPE)
  foreach(entry IN LISTS QRV_PROCESS_STATE)
    string(REPLACE "|" ";" parts "${entry}")
    list(GET parts 0 allowedFile)
    list(GET parts 1 name)
    if(allowedFile STREQUAL file AND line MATCHES "(^|[^A-Za-z0-9_])${name}[ \t]*(\\[[^]]*\\])?[ \t]*[;{=(]")
      set(${out} TRUE PARENT_SCOPE)
      return()
    endif()
  endforeach()
endfunction()

set(broken 0)
foreach(folder IN LISTS QRV_CORE_FOLDERS)
  file(GLOB_RECURSE files "${QRV_SOURCE_DIR}/src/${folder}/*.h" "${QRV_SOURCE_DIR}/src/${folder}/*.cpp")
  foreach(path IN LISTS files)
    file(RELATIVE_PATH shown "${QRV_SOURCE_DIR}" "${path}")
    file(STRINGS "${path}" lines)
    foreach(line IN LISTS lines)
      set(kind "")
      if(line MATCHES "^[ \t]*extern[ \t]" AND NOT line MATCHES "^[ \t]*extern[ \t]+(\"C\"|const[ \t])")
        set(kind "an extern variable that is not const")
      elseif(line MATCHES "^[ \t]+static[ \t]+[^(]*[;{=]"
             AND NOT line MATCHES "^[ \t]+static[ \t]+(const|constexpr|inline[ \t]+constexpr)[ \t]")
        set(kind "a function-static variable that is not const")
      elseif(line MATCHES "^(thread_local[ \t]+)?[A-Za-z_][^(]*[;{=]"
             AND NOT line MATCHES "operator"
             AND NOT line MATCHES "^(constexpr|inline|extern|using|namespace|template|typedef|struct|class|union|enum|friend|return|public|private|protected|case|default|else|do)[ \t:;{]"
             AND NOT (line MATCHES "^(static[ \t]+)?(const|constexpr)[ \t]"
                      AND NOT line MATCHES "^const[^(<]*\\*[ \t]*[A-Za-z_][A-Za-z0-9_]*[ \t]*[;{=]"))
        set(kind "a namespace-scope variable that is not const")
      endif()
      if(kind)
        qrv_allowed("${shown}" "${line}" allowed)
        if(NOT allowed)
          message("${shown}: ${kind}: ${line}")
          math(EXPR broken "${broken} + 1")
        endif()
      endif()
    endforeach()
  endforeach()
endforeach()

if(broken GREATER 0)
  message(FATAL_ERROR "process-state check: ${broken} mutable variable(s) outside a session or an operation")
endif()
message(STATUS "process-state check: the core holds no state of its own beyond the listed process state")
