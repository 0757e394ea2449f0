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
