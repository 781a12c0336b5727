# Frame hooks: our own hook library and one without "Process" for the refusal.
add_library(test_noprocess_hook MODULE ${CMAKE_CURRENT_LIST_DIR}/hooks/noprocess_hook.c)
if(TARGET test_frame_hooks)
  add_dependencies(test_frame_hooks tonvale_boxhook test_noprocess_hook)
  target_compile_definitions(test_frame_hooks PRIVATE
    TONVALE_BOXHOOK="$<TARGET_FILE:tonvale_boxhook>"
    TONVALE_NOPROCESS_HOOK="$<TARGET_FILE:test_noprocess_hook>")
endif()

# The preview window needs a QApplication: its test has a main of its own and
# links the window library. ShowFrame comes from a worker thread: "threads".
add_executable(test_previewer ${CMAKE_CURRENT_LIST_DIR}/forms/test_previewer.cpp
  ${CMAKE_CURRENT_LIST_DIR}/MediaTestUtil.cpp)
target_include_directories(test_previewer PRIVATE ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(test_previewer PRIVATE tonvale_preview media GTest::gtest Qt6::Test ffmpeg_headers
  tonvale_common_cfg)
add_test(NAME media.test_previewer COMMAND test_previewer)
set_tests_properties(media.test_previewer PROPERTIES
  LABELS "media;threads" ENVIRONMENT "QT_QPA_PLATFORM=offscreen" TIMEOUT 120)

# "convert --preview" through the real program and its preview module.
if(TARGET test_cli_preview AND TARGET tonvale-cli)
  add_dependencies(test_cli_preview tonvale-cli tonvale-preview)
  target_compile_definitions(test_cli_preview PRIVATE
    TONVALE_CLI_PATH="$<TARGET_FILE:tonvale-cli>")
endif()
