# cmake -DBUILD_DIR=... -DWORK_DIR=... -DEXAMPLES_DIR=... [-DFLAGS=...] -P BuildExamples.cmake
#
# Installs the build into WORK_DIR/prefix and builds the examples against it
# as a user would: all of them from examples/CMakeLists.txt (into
# WORK_DIR/build, where the example tests run them), and one of them alone
# from its own folder. The examples are held to the house warnings, as errors.
# FLAGS: the compiler flags the build was made with (its sanitizers).
include(${CMAKE_CURRENT_LIST_DIR}/InstallCheck.cmake)
require_variables(BUILD_DIR WORK_DIR EXAMPLES_DIR)

file(REMOVE_RECURSE "${WORK_DIR}")
set(prefix "${WORK_DIR}/prefix")
run("build of sorn" "${CMAKE_COMMAND}" --build "${BUILD_DIR}" --target sorn)
run("install" "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${prefix}")

set(flags "${FLAGS} -Wall -Wextra -Wpedantic -Wshadow")
run("examples configure" "${CMAKE_COMMAND}" -S "${EXAMPLES_DIR}" -B "${WORK_DIR}/build" -G Ninja
    "-DCMAKE_PREFIX_PATH=${prefix}" "-DCMAKE_CXX_FLAGS=${flags}" -DCMAKE_COMPILE_WARNING_AS_ERROR=ON)
run("examples build" "${CMAKE_COMMAND}" --build "${WORK_DIR}/build")
run("volume example alone, configure" "${CMAKE_COMMAND}" -S "${EXAMPLES_DIR}/volume" -B "${WORK_DIR}/volume-alone"
    -G Ninja "-DCMAKE_PREFIX_PATH=${prefix}" "-DCMAKE_CXX_FLAGS=${flags}" -DCMAKE_COMPILE_WARNING_AS_ERROR=ON)
run("volume example alone, build" "${CMAKE_COMMAND}" --build "${WORK_DIR}/volume-alone")
foreach(program record-speech/record-speech play-range/play-range pitch-contour/pitch-contour volume/volume)
  if(NOT EXISTS "${WORK_DIR}/build/${program}")
    message(FATAL_ERROR "the examples' build made no ${program}")
  endif()
endforeach()
