# cmake -DBUILD_DIR=... -DWORK_DIR=... -DSOURCE_DIR=... [-DFLAGS=...] -P CheckInstall.cmake
#
# Installs the build into WORK_DIR/prefix, then builds the consumer project
# against it twice, through find_package and through pkg-config, and runs
# each program from the install tree's libraries alone (no LD_LIBRARY_PATH).
# FLAGS: the compiler flags the build was made with (its sanitizers).
include(${CMAKE_CURRENT_LIST_DIR}/InstallCheck.cmake)
require_variables(BUILD_DIR WORK_DIR SOURCE_DIR)
find_program(PKG_CONFIG pkg-config REQUIRED)
find_program(CXX NAMES c++ g++ REQUIRED)

file(REMOVE_RECURSE "${WORK_DIR}")
set(prefix "${WORK_DIR}/prefix")
# A tree where only sorn was built (as scripts/demo.sh builds it) installs
# whole: the man page, which only the full build makes, is made by the install.
file(REMOVE "${BUILD_DIR}/tools/sorn.1")
run("build of sorn alone" "${CMAKE_COMMAND}" --build "${BUILD_DIR}" --target sorn)
run("install" "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${prefix}")

# The man page holds every command's help, and its footer names the package.
file(READ "${prefix}/share/man/man1/sorn.1" man)
foreach(expected "\n.TH SORN \"1\" \"[A-Z][a-z]+ [0-9]+\" \"Sorn [0-9.]+\" \"User Commands\"\n"
        "\n.SS \"sorn record\"\n" "--max-seconds" "\n.SS \"sorn pitch\"\n" "--channel" "--from" "--json")
  if(NOT man MATCHES "${expected}")
    message(FATAL_ERROR "the installed man page lacks ${expected}")
  endif()
endforeach()
file(GLOB pcdirs "${prefix}/lib*/pkgconfig" "${prefix}/lib/*/pkgconfig")
list(GET pcdirs 0 pcdir)
get_filename_component(libdir "${pcdir}" DIRECTORY)

# The libraries carry their SONAMEs, and the installed sorn finds them.
foreach(library SornCore SornCoreWin)
  if(NOT EXISTS "${libdir}/lib${library}.so.2")
    message(FATAL_ERROR "${libdir}/lib${library}.so.2 (the SONAME link) is missing")
  endif()
endforeach()
# (Its exit status for --help is the host's business; the loader's is ours.)
execute_process(COMMAND "${prefix}/bin/sorn" --help RESULT_VARIABLE result OUTPUT_QUIET ERROR_VARIABLE err)
if(result EQUAL 127 OR err MATCHES "error while loading shared libraries")
  message(FATAL_ERROR "the installed sorn does not start: ${err}")
endif()

# find_package.
run("consumer configure" "${CMAKE_COMMAND}" -S "${SOURCE_DIR}" -B "${WORK_DIR}/cmake-build" -G Ninja
    "-DCMAKE_PREFIX_PATH=${prefix}" "-DCMAKE_CXX_FLAGS=${FLAGS}" "-DCMAKE_BUILD_RPATH=${libdir}")
run("consumer build" "${CMAKE_COMMAND}" --build "${WORK_DIR}/cmake-build")
run("consumer (find_package)" "${WORK_DIR}/cmake-build/consumer")
message(STATUS "find_package: ${output}")

# pkg-config.
set(ENV{PKG_CONFIG_PATH} "${pcdir}")
run("pkg-config" "${PKG_CONFIG}" --cflags --libs SornCoreWin)
string(STRIP "${output}" pkgflags)
separate_arguments(pkgflags UNIX_COMMAND "${pkgflags}")
separate_arguments(flags UNIX_COMMAND "${FLAGS}")
# The README's command: the run path is the one pkg-config names.
run("pkg-config libdir" "${PKG_CONFIG}" --variable=libdir SornCoreWin)
string(STRIP "${output}" pclibdir)
run("consumer build (pkg-config)" "${CXX}" -std=c++20 ${flags} "${SOURCE_DIR}/main.cpp" ${pkgflags}
    "-Wl,-rpath,${pclibdir}" -o "${WORK_DIR}/consumer-pc")
run("consumer (pkg-config)" "${WORK_DIR}/consumer-pc")
message(STATUS "pkg-config: ${output}")
file(REMOVE_RECURSE "${WORK_DIR}")
