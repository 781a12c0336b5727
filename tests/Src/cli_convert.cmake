# The command-line tests run the real tonvale-cli as a child process.
if(TARGET test_cli_convert AND TARGET tonvale-cli)
  add_dependencies(test_cli_convert tonvale-cli)
  target_compile_definitions(test_cli_convert PRIVATE
    TONVALE_CLI_PATH="$<TARGET_FILE:tonvale-cli>")
endif()
