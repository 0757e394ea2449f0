# Shared by the install checks (cmake -P scripts): run(what command...)
# runs a command, fails the check with its output when it fails, and leaves
# its standard output in `output`; require_variables(names...) fails when a
# -D variable is missing.
function(run what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "${what} failed (${result}):\n${out}\n${err}")
  endif()
  set(output "${out}" PARENT_SCOPE)
endfunction()

function(require_variables)
  foreach(var ${ARGN})
    if(NOT ${var})
      message(FATAL_ERROR "${var} is required")
    endif()
  endforeach()
endfunction()
