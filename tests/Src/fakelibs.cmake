# A stand-in libswscale for the loader tests: it has the right file name but
# lacks exported functions, so binding it must fail cleanly.
add_library(fake_swscale SHARED ${CMAKE_CURRENT_LIST_DIR}/fake/fake_swscale.c)
set_target_properties(fake_swscale PROPERTIES
  OUTPUT_NAME swscale SOVERSION 6
  LIBRARY_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/fakedll)
if(TARGET test_ffmpeg_loader)
  add_dependencies(test_ffmpeg_loader fake_swscale)
  target_compile_definitions(test_ffmpeg_loader PRIVATE
    TONVALE_FAKE_DLL_DIR="${CMAKE_CURRENT_BINARY_DIR}/fakedll")
endif()
