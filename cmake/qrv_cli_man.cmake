# cmake -DCLI=path/to/qrv-cli -DOUT=qrv-cli.1 -DVERSION=x.y.z -P qrv_cli_man.cmake
#
# Writes the manual page of qrv-cli from the program's own help texts: the
# command list of "qrv-cli --help" and the options each command prints for
# "qrv-cli COMMAND --help", so the page never drifts from the program.

function(run_help out)
  execute_process(COMMAND ${CLI} ${ARGN} OUTPUT_VARIABLE o ERROR_VARIABLE e RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${CLI} ${ARGN} failed (${rc}): ${e}")
  endif()
  set(${out} "${o}${e}" PARENT_SCOPE)
endfunction()

# Help text as literal troff: backslashes doubled, lines that start with a
# dot or an apostrophe protected with the zero-width \&.
function(as_troff out text)
  string(REPLACE "\\" "\\\\" text "${text}")
  string(REGEX REPLACE "(^|\n)([.'])" "\\1\\\\&\\2" text "${text}")
  string(REGEX REPLACE "\n+$" "" text "${text}")
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

run_help(usage --help)
string(REGEX MATCHALL "\n  [a-z][a-z0-9-]* " lines "${usage}")
set(commands)
foreach(l ${lines})
  string(STRIP "${l}" c)
  list(APPEND commands ${c})
endforeach()
if(NOT commands)
  message(FATAL_ERROR "no commands found in the output of ${CLI} --help")
endif()

string(TIMESTAMP today "%Y-%m-%d" UTC) # SOURCE_DATE_EPOCH, when set
as_troff(usage_t "${usage}")
set(page ".TH QRV-CLI 1 \"${today}\" \"QRV ${VERSION}\" \"User Commands\"
.SH NAME
qrv-cli \\- recover deleted camera recordings from disks, volumes and disk images
.SH SYNOPSIS
.B qrv-cli
.I COMMAND
[\\fIARGS\\fR]
.SH DESCRIPTION
\\fBqrv-cli\\fR is the command-line front end of QRV. It scans a disk, a volume, a
disk image or a sector range of one for the video recordings of body-worn and
hand-held cameras, rebuilds each recording, rates it with a level from 0 (very
good) to 3 (poor), and writes the chosen ones as .mp4 files to another disk.
A source is opened read-only, always; no output is ever written to it or to its
disk. Progress and log lines go to standard error, results to standard output.
.PP
A raw device (/dev/sdb, /dev/mmcblk0) needs root, membership of the disk group,
or udisks2: a normal user's read-only open is then authorised through polkit.
.PP
.nf
${usage_t}
.fi
.SH COMMANDS
")
foreach(c ${commands})
  run_help(text ${c} --help)
  as_troff(text_t "${text}")
  string(APPEND page ".SS ${c}\n.nf\n${text_t}\n.fi\n")
endforeach()
string(APPEND page ".SH EXIT STATUS
0 on success, 1 when the operation failed or an output was refused, 2 for a
usage error; \\fBload\\fR returns 3 for a damaged result file loaded up to the damage.
.SH FILES
.TP
.I \$XDG_CONFIG_HOME/qrv/Languages_set.ini
the interface language of the desktop program \\fBqrv\\fR, when it cannot be
stored in the program folder
.SH SEE ALSO
\\fBqrv\\fR, the desktop program over the same core; its manual is Help.html in
the program folder (/usr/lib/qrv).
")
file(WRITE "${OUT}" "${page}")
