# sorn_soundtest: the sound-server test support (SoundServerSupport), one
# library for the tests and the benchmarks that drive the real server.
# Included by both; the first to come defines it. Its skip rule is the
# device tests' (sorn_devicetest), added here when the tests are not built.
if(NOT TARGET sorn_devicetest)
  add_subdirectory(${PROJECT_SOURCE_DIR}/tests/audio_device ${PROJECT_BINARY_DIR}/tests/audio_device)
endif()
if(NOT TARGET sorn_soundtest)
  add_library(sorn_soundtest STATIC ${CMAKE_CURRENT_LIST_DIR}/SoundServerSupport.cpp)
  target_link_libraries(sorn_soundtest PUBLIC sorn_devicetest sorn_platform)
  target_include_directories(sorn_soundtest PUBLIC ${PROJECT_SOURCE_DIR}/tests)
  target_compile_definitions(sorn_soundtest PRIVATE SORN_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
  sorn_warnings(sorn_soundtest)
endif()

# sorn_device_test(name TIMEOUT s SOURCES files... LIBS targets...): tests on
# the sound server's devices, one at a time since they share its null sink.
# Where the ALSA backend's tests are built, the same tests run again on that
# backend, through alsa-lib's pulse plugin in front of the same server
# (tests/audio_device reads SORN_TEST_DEVICES), named alsa_devices.<test>.
function(sorn_device_test name)
  cmake_parse_arguments(D "" "TIMEOUT" "SOURCES;LIBS" ${ARGN})
  sorn_test(${name} RUN_SERIAL TIMEOUT ${D_TIMEOUT} LABELS soundserver
    SOURCES ${D_SOURCES} LIBS ${D_LIBS} sorn_soundtest)
  if(TARGET sorn_alsatest)
    gtest_discover_tests(${name} TEST_PREFIX alsa_devices. DISCOVERY_TIMEOUT 60
      PROPERTIES TIMEOUT ${D_TIMEOUT} LABELS soundserver RUN_SERIAL TRUE ENVIRONMENT SORN_TEST_DEVICES=alsa:pulse)
  endif()
endfunction()
