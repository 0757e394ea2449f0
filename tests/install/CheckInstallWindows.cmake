# cmake -DBUILD_DIR=... -DWORK_DIR=... -DSOURCE_DIR=... -DTOOLCHAIN=... -P CheckInstallWindows.cmake
#
# The Windows install tree serves other projects: installs the build into
# WORK_DIR/prefix, builds the consumer project against it with
# find_package(SornCoreWin) and the same toolchain (a cross build names the
# package folder: the toolchain searches only its own root), and runs it under Wine
# from the install's bin folder, where the DLLs are.
include(${CMAKE_CURRENT_LIST_DIR}/InstallCheck.cmake)
require_variables(BUILD_DIR WORK_DIR SOURCE_DIR TOOLCHAIN)
find_program(WINE wine REQUIRED)

file(REMOVE_RECURSE "${WORK_DIR}")
set(prefix "${WORK_DIR}/prefix")
run("install" "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${prefix}")
foreach(file bin/SornCore.dll bin/SornCoreWin.dll bin/libstdc++-6.dll lib/SornCore.dll.a lib/SornCoreWin.dll.a
        include/sorn/platform/MMSystem.h)
  if(NOT EXISTS "${prefix}/${file}")
    message(FATAL_ERROR "the install lacks ${file}")
  endif()
endforeach()

run("consumer configure" "${CMAKE_COMMAND}" -S "${SOURCE_DIR}" -B "${WORK_DIR}/build" -G Ninja
    "-DCMAKE_TOOLCHAIN_FILE=${TOOLCHAIN}" "-DSornCoreWin_DIR=${prefix}/lib/cmake/SornCoreWin")
run("consumer build" "${CMAKE_COMMAND}" --build "${WORK_DIR}/build")
file(COPY "${WORK_DIR}/build/consumer.exe" DESTINATION "${prefix}/bin")
run("consumer under Wine" "${WINE}" "${prefix}/bin/consumer.exe")
message(STATUS "find_package: ${output}")
file(REMOVE_RECURSE "${WORK_DIR}")
