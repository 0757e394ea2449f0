# What `cmake --install` lays down: both libraries (with their SONAMEs and
# $ORIGIN run paths), `sorn`, the public headers under include/sorn, the
# CMake package SornCoreWin (targets Sorn::SornCore and Sorn::SornCoreWin)
# with its version file, and a pkg-config file per library. On Windows: the
# two DLLs with the compiler's run-time DLLs, the import libraries, the
# headers and the CMake package (no host, no pkg-config).
include(CMakePackageConfigHelpers)

set(SORN_INSTALL_INCLUDEDIR ${CMAKE_INSTALL_INCLUDEDIR}/sorn)
set(SORN_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/SornCoreWin)

# The public headers: the core's interfaces, the module's exported classes
# and the platform declarations and lock types they use. Internals (the backends, the
# pitch kernels, the mixer access layer) stay in the tree.
install(DIRECTORY ${PROJECT_SOURCE_DIR}/core_contract/ DESTINATION ${SORN_INSTALL_INCLUDEDIR}/core_contract
  FILES_MATCHING PATTERN "*.h")
foreach(header
    module/ClassFactoryWin.h module/ModuleEntry.h module/ModuleInfo.h
    audio/CaptureAccess.h audio/CWaveDevice.h audio/CWaveIn.h audio/CWaveOut.h audio/SpeechDetector.h
    codec/AudioFormatHelperWav.h codec/WavCodec.h
    mixer/MixerManager.h
    services/ErrorHandlerWin.h services/FileHandlerWin.h services/ResPluginHandlerWin.h
    pitch/ExtractPitch.h
    platform/Files.h platform/MMSystem.h platform/Mixer.h platform/Modules.h
    platform/Threads.h platform/UserInterface.h platform/WinTypes.h
    threading/Mutex.h threading/ThreadSafety.h)
  get_filename_component(folder ${header} DIRECTORY)
  string(REGEX REPLACE "^platform/" "${SORN_PLATFORM_API_DIR}/" source ${header})
  if(NOT IS_ABSOLUTE ${source})
    set(source ${PROJECT_SOURCE_DIR}/${source})
  endif()
  install(FILES ${source} DESTINATION ${SORN_INSTALL_INCLUDEDIR}/${folder})
endforeach()
install(FILES ${SORN_GENERATED_DIR}/core/sorn_core_export.h ${SORN_GENERATED_DIR}/win/sorn_win_export.h
  DESTINATION ${SORN_INSTALL_INCLUDEDIR})

set_target_properties(sorn_contract PROPERTIES EXPORT_NAME Contract)
set_target_properties(sorn_win_export PROPERTIES EXPORT_NAME WinExport)
# (On Windows the DLLs go to bin, their import libraries to lib.)
install(TARGETS SornCore SornCoreWin sorn_contract sorn_win_export EXPORT SornCoreWinTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  INCLUDES DESTINATION ${SORN_INSTALL_INCLUDEDIR})
install(EXPORT SornCoreWinTargets NAMESPACE Sorn:: DESTINATION ${SORN_INSTALL_CMAKEDIR})

configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/install/SornCoreWinConfig.cmake.in
  ${CMAKE_BINARY_DIR}/package/SornCoreWinConfig.cmake INSTALL_DESTINATION ${SORN_INSTALL_CMAKEDIR})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/package/SornCoreWinConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/package/SornCoreWinConfig.cmake
  ${CMAKE_BINARY_DIR}/package/SornCoreWinConfigVersion.cmake DESTINATION ${SORN_INSTALL_CMAKEDIR})

if(WIN32)
  # The compiler's run-time DLLs the two DLLs load, beside them.
  foreach(dll libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll)
    install(FILES ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/${dll} DESTINATION ${CMAKE_INSTALL_BINDIR})
  endforeach()
  return()
endif()

# Relocatable: the prefix is found from the file's own folder, so an install
# with `cmake --install --prefix DIR` works as well.
file(RELATIVE_PATH SORN_PC_TO_PREFIX ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
foreach(library SornCore SornCoreWin)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/install/${library}.pc.in ${CMAKE_BINARY_DIR}/package/${library}.pc @ONLY)
  install(FILES ${CMAKE_BINARY_DIR}/package/${library}.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
endforeach()
