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
# This test unloads the FFmpeg libraries: what they allocated for themselves at
# start-up is left behind in unmapped code, which is theirs, not a leak of ours.
set_tests_properties(media.test_ffmpeg_loader PROPERTIES
  ENVIRONMENT "QT_QPA_PLATFORM=offscreen;ASAN_OPTIONS=detect_leaks=0:abort_on_error=1")
