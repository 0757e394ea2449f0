# cmake -DBUILD_DIR=... -DWORK_DIR=... -P CheckRunPaths.cmake
#
# Fails when a library or executable of the build tree, or of an install of
# it (into WORK_DIR), has a run-time search path entry that names the
# current directory: an empty entry, ".", or any other relative path. The
# dynamic loader resolves those against the working directory of the process,
# so a library planted there would be loaded.
if(NOT BUILD_DIR OR NOT WORK_DIR)
  message(FATAL_ERROR "BUILD_DIR and WORK_DIR are required")
endif()
find_program(READELF readelf REQUIRED)

file(REMOVE_RECURSE "${WORK_DIR}")
execute_process(COMMAND "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${WORK_DIR}/installed"
                RESULT_VARIABLE installed OUTPUT_QUIET ERROR_VARIABLE installError)
if(NOT installed EQUAL 0)
  message(FATAL_ERROR "install into ${WORK_DIR} failed: ${installError}")
endif()

set(checked 0)
set(bad "")
foreach(tree "${BUILD_DIR}" "${WORK_DIR}/installed")
  file(GLOB_RECURSE files LIST_DIRECTORIES false "${tree}/*")
  foreach(file ${files})
    if(IS_SYMLINK "${file}" OR file MATCHES "/CMakeFiles/|\\.(o|a|cpp|h|txt|cmake|ninja|json|log|wav|raw)$")
      continue()
    endif()
    file(READ "${file}" magic LIMIT 4 HEX)
    if(NOT magic STREQUAL "7f454c46")
      continue()
    endif()
    execute_process(COMMAND "${READELF}" -d "${file}" OUTPUT_VARIABLE dynamic ERROR_QUIET)
    math(EXPR checked "${checked} + 1")
    string(REGEX MATCHALL "\\((RUNPATH|RPATH)\\)[^\n]*\\[[^]\n]*\\]" entries "${dynamic}")
    foreach(entry ${entries})
      string(REGEX REPLACE ".*\\[([^]]*)\\]" "\\1" value "${entry}")
      # Each entry, the empty ones included (a list of ":"-separated paths).
      string(REPLACE ":" ";|" parts "|${value}")
      foreach(part ${parts})
        string(SUBSTRING "${part}" 1 -1 path)
        if(NOT path MATCHES "^(/|\\$ORIGIN)")
          string(APPEND bad "  ${file}: [${value}]\n")
          break()
        endif()
      endforeach()
    endforeach()
  endforeach()
endforeach()
file(REMOVE_RECURSE "${WORK_DIR}")

if(checked EQUAL 0)
  message(FATAL_ERROR "no ELF file found under ${BUILD_DIR}")
endif()
if(bad)
  message(FATAL_ERROR "run-time search paths that name the current directory:\n${bad}")
endif()
message(STATUS "${checked} ELF files: no run-time search path names the current directory")
