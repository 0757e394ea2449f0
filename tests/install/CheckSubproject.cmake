# cmake -DSORN_SOURCE_DIR=... -DWORK_DIR=... -DSOURCE_DIR=... [-DFLAGS=...] -P CheckSubproject.cmake
#
# Configures and builds the subproject consumer (SOURCE_DIR), which adds
# Sorn with add_subdirectory, and runs its programs. Sorn as a subproject
# leaves the build type alone, registers no tests, builds no benchmarks and
# has no install rules for its libraries, headers or package.
# FLAGS: the compiler flags the build was made with (its sanitizers).
cmake_policy(VERSION 3.25)
include(${CMAKE_CURRENT_LIST_DIR}/InstallCheck.cmake)
require_variables(SORN_SOURCE_DIR WORK_DIR SOURCE_DIR)

# The folder is kept between runs: its build is Sorn's libraries again.
set(build "${WORK_DIR}/build")
file(REMOVE "${build}/CMakeCache.txt")
set(launcher "")
find_program(CCACHE ccache)
if(CCACHE)
  set(launcher "-DCMAKE_CXX_COMPILER_LAUNCHER=${CCACHE}" "-DCMAKE_C_COMPILER_LAUNCHER=${CCACHE}")
endif()
run("configure" "${CMAKE_COMMAND}" -S "${SOURCE_DIR}" -B "${build}" -G Ninja "-DSORN_SOURCE_DIR=${SORN_SOURCE_DIR}"
    "-DCMAKE_CXX_FLAGS=${FLAGS}" "-DCMAKE_C_FLAGS=${FLAGS}" ${launcher})

file(STRINGS "${build}/CMakeCache.txt" cache REGEX "^(CMAKE_BUILD_TYPE|SORN_BUILD_TESTS|SORN_BUILD_BENCH|SORN_INSTALL):")
foreach(expected "CMAKE_BUILD_TYPE:STRING=" "SORN_BUILD_TESTS:BOOL=OFF" "SORN_BUILD_BENCH:BOOL=OFF"
        "SORN_INSTALL:BOOL=OFF")
  if(NOT expected IN_LIST cache)
    message(FATAL_ERROR "as a subproject Sorn's cache should hold ${expected}; it holds ${cache}")
  endif()
endforeach()
if(EXISTS "${build}/sorn/CTestTestfile.cmake")
  message(FATAL_ERROR "as a subproject Sorn registered tests")
endif()

run("build" "${CMAKE_COMMAND}" --build "${build}" --target consumer volume)
run("consumer" "${build}/consumer")
message(STATUS "consumer: ${output}")
set(ENV{SORN_AUDIO} virtual)
run("volume example" "${build}/volume/volume" output 0.5)
if(NOT output MATCHES "playback volume: 0.50[01] ")
  message(FATAL_ERROR "the volume example built beside Sorn read back ${output}")
endif()

# Sorn's own install rules (the libraries, headers, CMake package and
# pkg-config files) are not generated. (The sorn host's rules are its
# folder's, tools/CMakeLists.txt.)
file(READ "${build}/sorn/cmake_install.cmake" rules)
foreach(unexpected "libSornCore" "/include/sorn" "SornCoreWinConfig" "pkgconfig")
  string(FIND "${rules}" "${unexpected}" at)
  if(NOT at EQUAL -1)
    message(FATAL_ERROR "as a subproject Sorn installs ${unexpected} (${build}/sorn/cmake_install.cmake)")
  endif()
endforeach()
