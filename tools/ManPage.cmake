# cmake -DSORN=... -DHELP2MAN=... -DVERSION=... -DOUTPUT=... [-DIF_STALE=ON] -P ManPage.cmake
#
# Makes sorn's man page with help2man: the top-level help, then a COMMANDS
# section with every command's own help (its arguments, options and notes),
# each command taken from the list in `sorn --help`. The footer names the
# package and version ("Sorn 2.0.455.1"). IF_STALE: do nothing when OUTPUT
# is newer than SORN (an install that finds the page the build made).
foreach(var SORN HELP2MAN VERSION OUTPUT)
  if(NOT ${var})
    message(FATAL_ERROR "${var} is required")
  endif()
endforeach()
if(IF_STALE AND EXISTS "${OUTPUT}" AND NOT "${SORN}" IS_NEWER_THAN "${OUTPUT}")
  return()
endif()

function(help_of out)
  execute_process(COMMAND "${SORN}" ${ARGN} --help RESULT_VARIABLE result OUTPUT_VARIABLE text ERROR_VARIABLE err)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "sorn ${ARGN} --help failed (${result}): ${err}")
  endif()
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

help_of(top)
string(REGEX REPLACE ".*\nSubcommands:\n" "" listing "${top}")
string(REGEX MATCHALL "(^|\n)  [a-z]+ " names "${listing}")
set(include "[COMMANDS]\n")
foreach(name ${names})
  string(STRIP "${name}" name)
  help_of(text ${name})
  # Verbatim, escaped for roff: backslashes, and lines that start with a
  # control character.
  string(REPLACE "\\" "\\e" text "${text}")
  string(REGEX REPLACE "(^|\n)([.'])" "\\1\\\\&\\2" text "${text}")
  string(APPEND include ".SS \"sorn ${name}\"\n.nf\n${text}.fi\n")
endforeach()
if(NOT names)
  message(FATAL_ERROR "no commands found in sorn --help")
endif()

get_filename_component(folder "${OUTPUT}" DIRECTORY)
file(MAKE_DIRECTORY "${folder}")
file(WRITE "${OUTPUT}.commands" "${include}")
execute_process(
  COMMAND "${HELP2MAN}" --no-info --no-discard-stderr --name "speech audio from the command line"
          --source "Sorn ${VERSION}" --include "${OUTPUT}.commands" --output "${OUTPUT}" "${SORN}"
  RESULT_VARIABLE result ERROR_VARIABLE err)
file(REMOVE "${OUTPUT}.commands")
if(NOT result EQUAL 0)
  message(FATAL_ERROR "help2man failed (${result}): ${err}")
endif()
