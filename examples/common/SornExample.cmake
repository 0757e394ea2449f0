# Shared by the examples' CMakeLists. Finds the installed package, unless its
# targets are already there (examples/CMakeLists.txt found it, or Sorn is a
# subproject of this build), and makes one example program.
if(NOT TARGET Sorn::SornCore)
  find_package(SornCoreWin 2.0 REQUIRED)  # CMAKE_PREFIX_PATH names the install
endif()

# sorn_example(name source): a program that links the core and loads the
# module at run time by its file name, which the package knows
# (libSornCoreWin.so.2).
function(sorn_example name source)
  add_executable(${name} ${source})
  target_link_libraries(${name} PRIVATE Sorn::SornCore ${CMAKE_DL_LIBS})
  target_include_directories(${name} PRIVATE ${CMAKE_CURRENT_FUNCTION_LIST_DIR})
  target_compile_definitions(${name} PRIVATE SORN_MODULE_FILE="$<TARGET_SONAME_FILE_NAME:Sorn::SornCoreWin>")
  # Beside Sorn's sources (add_subdirectory) the module is built here too,
  # and must be before the program runs.
  get_target_property(module Sorn::SornCoreWin ALIASED_TARGET)
  if(module)
    add_dependencies(${name} ${module})
  endif()
endfunction()
