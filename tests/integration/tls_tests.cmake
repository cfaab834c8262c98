velko_add_tests(integration_tls
  ${CMAKE_CURRENT_LIST_DIR}/https_server_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/https_file_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/https_loop_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/https_stream_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/example_program_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/browser_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/http2_test.cpp
  LABELS concurrent
)
# The example program and the sample site as a user gets them; screenshots
# go to the build directory.
target_compile_definitions(integration_tls_tests PRIVATE
  VELKO_SAMPLE_SITE="${PROJECT_SOURCE_DIR}/example/htmlroot"
  VELKO_ARTIFACT_DIR="${CMAKE_CURRENT_BINARY_DIR}")
if(TARGET velkotwodll_ssl_example)
  target_compile_definitions(integration_tls_tests PRIVATE
    VELKO_EXAMPLE_PROGRAM="$<TARGET_FILE:velkotwodll_ssl_example>")
  add_dependencies(integration_tls_tests velkotwodll_ssl_example)
endif()
