# A project that adds Sorn with add_subdirectory uses it by the names an
# install gives: the targets Sorn::SornCore and Sorn::SornCoreWin, and the
# public headers as <sorn/core_contract/...>, <sorn/audio/...> and so on, so
# the same code builds against either. (Sorn's own targets keep their narrow
# include roots: a part sees only the folders of the parts it links.)
add_library(Sorn::SornCore ALIAS SornCore)
add_library(Sorn::SornCoreWin ALIAS SornCoreWin)

if(NOT PROJECT_IS_TOP_LEVEL)
  # include-roots/package/sorn/<folder> links each installed header folder,
  # as include/sorn/<folder> of an install holds it; both roots are given,
  # as the package gives include and include/sorn.
  set(root ${CMAKE_BINARY_DIR}/include-roots/package)
  foreach(folder core_contract module audio codec mixer services pitch platform threading)
    set(source ${PROJECT_SOURCE_DIR}/${folder})
    if(folder STREQUAL "platform")
      set(source ${SORN_PLATFORM_API_DIR})
    endif()
    if(NOT EXISTS ${root}/sorn/${folder})
      file(MAKE_DIRECTORY ${root}/sorn)
      file(CREATE_LINK ${source} ${root}/sorn/${folder} SYMBOLIC)
    endif()
  endforeach()
  target_include_directories(SornCore INTERFACE $<BUILD_INTERFACE:${root}> $<BUILD_INTERFACE:${root}/sorn>
    $<BUILD_INTERFACE:${SORN_GENERATED_DIR}/win>)
endif()
