# Build conventions shared by every folder.

set(SORN_WARNINGS -Wall -Wextra -Wpedantic -Wshadow -Wno-unused-parameter)

function(sorn_apply_sanitizers)
  if(SORN_SANITIZE STREQUAL "address")
    set(flags -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  elseif(SORN_SANITIZE STREQUAL "thread")
    set(flags -fsanitize=thread -fno-omit-frame-pointer)
  elseif(SORN_SANITIZE STREQUAL "")
    return()
  else()
    message(FATAL_ERROR "SORN_SANITIZE must be empty, 'address' or 'thread'")
  endif()
  add_compile_options(${flags})
  add_link_options(${flags})
  string(JOIN " " joined ${flags})
  set(SORN_SANITIZE_FLAGS "${joined}" PARENT_SCOPE)  # for projects built against this one
endfunction()

# sorn_warnings(target): the project's warning set; as errors with SORN_WERROR
# (on in CI; off by default, since a newer compiler may warn about more).
# With Clang and SORN_THREAD_SAFETY, the lock annotations
# (threading/ThreadSafety.h) are checked too, and a broken lock rule is an
# error whatever SORN_WERROR says.
function(sorn_warnings target)
  target_compile_options(${target} PRIVATE ${SORN_WARNINGS} $<$<BOOL:${SORN_WERROR}>:-Werror>)
  if(SORN_THREAD_SAFETY AND CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    target_compile_options(${target} PRIVATE -Wthread-safety -Werror=thread-safety)
  endif()
endfunction()

# sorn_headers(target PUBLIC|PRIVATE|INTERFACE folders...): lets target
# include "<folder>/X.h" for each folder of the source tree named (a nested
# folder too: "platform/emulation" gives "platform/emulation/wave/X.h"), and
# nothing else of the tree. Every folder is reached through an include root
# of its own in the build tree (a directory holding one link to the folder),
# so a target sees exactly the folders of the targets it links.
# "platform" names the platform API of the system being built for
# (SORN_PLATFORM_API_DIR): its headers are included as "platform/X.h" on
# every system.
function(sorn_headers target scope)
  foreach(folder ${ARGN})
    set(source ${PROJECT_SOURCE_DIR}/${folder})
    if(folder STREQUAL "platform")
      set(source ${SORN_PLATFORM_API_DIR})
    endif()
    string(REPLACE "/" "--" root_name ${folder})
    set(root ${CMAKE_BINARY_DIR}/include-roots/${root_name})
    set(link ${root}/${folder})
    if(IS_SYMLINK ${link})
      file(READ_SYMLINK ${link} current)
      if(NOT current STREQUAL source)
        file(REMOVE ${link})
      endif()
    endif()
    if(NOT EXISTS ${link})
      get_filename_component(parent ${link} DIRECTORY)
      file(MAKE_DIRECTORY ${parent})
      file(CREATE_LINK ${source} ${link} SYMBOLIC)
    endif()
    target_include_directories(${target} ${scope} $<BUILD_INTERFACE:${root}>)
  endforeach()
endfunction()

# sorn_module_part(name [PLATFORM] sources...): a static, position-independent
# piece of the SornCoreWin module. The module links every part whole, so all
# exported symbols survive; tests link a part directly to reach its
# internals. A part publishes the headers of its own folder ("<folder>/X.h")
# and the module's export header; it reaches another part's headers only by
# linking that part. A part of the module links the core's contract; a
# PLATFORM part sits below the core and links only the platform API (and
# whatever else it names itself).
function(sorn_module_part name)
  cmake_parse_arguments(P "PLATFORM" "" "" ${ARGN})
  set(sources ${P_UNPARSED_ARGUMENTS})
  if(NOT sources)
    set(sources ${PROJECT_SOURCE_DIR}/cmake/Empty.cpp)  # a folder not yet filled
  endif()
  add_library(${name} STATIC ${sources})
  if(P_PLATFORM)
    target_link_libraries(${name} PUBLIC sorn_platform_api)
  else()
    target_link_libraries(${name} PUBLIC sorn_contract sorn_win_export)
  endif()
  file(RELATIVE_PATH folder ${PROJECT_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR})
  if(CMAKE_CURRENT_SOURCE_DIR STREQUAL SORN_PLATFORM_API_DIR)
    set(folder platform)
  endif()
  sorn_headers(${name} PUBLIC ${folder})
  target_compile_definitions(${name} PRIVATE SornCoreWin_EXPORTS)
  if(WIN32)
    # A program that links a part statically (a test) must not import its
    # symbols from the DLL: outside the module's own parts the export macro
    # is empty.
    set_property(TARGET ${name} PROPERTY SORN_MODULE_PART ON)
    target_compile_definitions(${name} INTERFACE
      $<$<NOT:$<BOOL:$<TARGET_PROPERTY:SORN_MODULE_PART>>>:SORN_WIN_STATIC_DEFINE>)
  endif()
  set_target_properties(${name} PROPERTIES
    POSITION_INDEPENDENT_CODE ON
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON)
  sorn_warnings(${name})
  set_property(GLOBAL APPEND PROPERTY SORN_MODULE_PARTS ${name})
endfunction()

# sorn_test(name [RUN_SERIAL] [TIMEOUT s] [PREFIX p] SOURCES s... LIBS t... LABELS l...):
# a GoogleTest executable registered with CTest test by test. RUN_SERIAL
# keeps its tests from running beside any other test (real-time audio).
# PREFIX goes before each CTest name (for a second program of the same cases).
# In the Windows build, where every program start costs a Wine process, the
# program runs whole as one CTest test under the emulator (TIMEOUT then
# bounds the whole program; 300 s unless given).
function(sorn_test name)
  cmake_parse_arguments(T "RUN_SERIAL" "TIMEOUT;PREFIX" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} sorn_threading GTest::gmock GTest::gtest_main)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests)
  sorn_headers(${name} PRIVATE tests)
  sorn_warnings(${name})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 120)
    if(WIN32)
      set(T_TIMEOUT 300)
    endif()
  endif()
  set(props TIMEOUT ${T_TIMEOUT})
  if(T_LABELS)
    list(APPEND props LABELS "${T_LABELS}")
  endif()
  if(T_RUN_SERIAL)
    list(APPEND props RUN_SERIAL TRUE)
  endif()
  if(WIN32)
    add_test(NAME ${name} COMMAND ${name} --gtest_color=no)
    set_tests_properties(${name} PROPERTIES ${props})
  else()
    gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 TEST_PREFIX "${T_PREFIX}" PROPERTIES ${props})
  endif()
endfunction()

# sorn_spoken_clip(target OUTPUT file SPEED wpm TEXT text COMMENT what): a
# target, built with all, that makes `file`: `text` spoken by espeak-ng
# (en-us, `wpm` words a minute) and made 16 kHz mono 16-bit by sox. The
# caller has found SORN_ESPEAK and SORN_SOX.
function(sorn_spoken_clip target)
  cmake_parse_arguments(C "" "OUTPUT;SPEED;TEXT;COMMENT" "" ${ARGN})
  get_filename_component(folder ${C_OUTPUT} DIRECTORY)
  get_filename_component(stem ${C_OUTPUT} NAME_WE)
  set(spoken ${folder}/${stem}-raw.wav)
  add_custom_command(OUTPUT ${C_OUTPUT}
    COMMAND ${SORN_ESPEAK} -v en-us -s ${C_SPEED} -w ${spoken} "${C_TEXT}"
    COMMAND ${SORN_SOX} ${spoken} -r 16000 -b 16 -c 1 ${C_OUTPUT}
    COMMENT "${C_COMMENT}"
    VERBATIM)
  add_custom_target(${target} ALL DEPENDS ${C_OUTPUT})
endfunction()

# sorn_add_areas(): adds every subfolder of the current folder that has a
# CMakeLists.txt (tests, benchmarks and fuzz targets keep one folder per area).
function(sorn_add_areas)
  file(GLOB areas LIST_DIRECTORIES true ${CMAKE_CURRENT_SOURCE_DIR}/*)
  foreach(area ${areas})
    if(IS_DIRECTORY ${area} AND EXISTS ${area}/CMakeLists.txt)
      add_subdirectory(${area})
    endif()
  endforeach()
endfunction()

# sorn_origin_run_paths(targets...): installed targets find the project's
# libraries relative to their own file ($ORIGIN), in the build tree and
# installed alike, so the install step copies them unchanged. (Otherwise
# CMake ends the build-tree run path of an installed target with an empty
# entry, to leave room for editing it at install time; the loader reads an
# empty entry as the current directory.) Libraries live in the top of Sorn's
# build tree and in the install's library folder.
function(sorn_origin_run_paths)
  file(RELATIVE_PATH installed ${CMAKE_INSTALL_FULL_BINDIR} ${CMAKE_INSTALL_FULL_LIBDIR})
  foreach(target ${ARGN})
    get_target_property(type ${target} TYPE)
    get_target_property(folder ${target} BINARY_DIR)
    file(RELATIVE_PATH built ${folder} ${PROJECT_BINARY_DIR})
    set(paths "$ORIGIN")
    if(built)
      set(paths "$ORIGIN/${built}")
    endif()
    if(type STREQUAL "EXECUTABLE")
      list(APPEND paths "$ORIGIN/${installed}")
    endif()
    list(REMOVE_DUPLICATES paths)
    set_target_properties(${target} PROPERTIES BUILD_WITH_INSTALL_RPATH ON INSTALL_RPATH "${paths}")
  endforeach()
endfunction()

# sorn_copy_windows_runtime(folder): copies the MinGW-w64 compiler's run-time
# DLLs (the C++ library, libgcc, winpthread) that the Windows build's
# programs and DLLs load, into folder.
function(sorn_copy_windows_runtime folder)
  file(MAKE_DIRECTORY ${folder})
  foreach(dll libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll)
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${dll}
      OUTPUT_VARIABLE found OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(NOT IS_ABSOLUTE "${found}" OR NOT EXISTS "${found}")
      message(FATAL_ERROR "the compiler's run-time DLL ${dll} was not found")
    endif()
    file(COPY ${found} DESTINATION ${folder})
  endforeach()
endfunction()
