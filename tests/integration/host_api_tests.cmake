# The host interface as a host uses it: linked against libvelkotwo and its
# public headers only, over HTTPS with curl, WebSocket clients (Python's and
# Node's) and headless Chromium (the example program's live page).
if(NOT TARGET velkotwo)
  return()
endif()
add_executable(host_api_tests
  ${CMAKE_CURRENT_LIST_DIR}/host_api_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/compressed_answers_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/host_api_browser_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/host_site_rules_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/host_access_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/host_client_certificate_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/host_request_hook_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/host_live_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/host_live_node_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/http2_host_test.cpp)
target_link_libraries(host_api_tests PRIVATE velkotwo GTest::gtest GTest::gtest_main)
target_compile_definitions(host_api_tests PRIVATE
  VELKO_SAMPLE_SITE="${PROJECT_SOURCE_DIR}/example/htmlroot"
  VELKO_HOST_EXAMPLE="$<TARGET_FILE:velkotwo_host_example>"
  VELKO_WEBSOCKET_CLIENT="${CMAKE_CURRENT_LIST_DIR}/websocket_client.py"
  VELKO_WEBSOCKET_CLIENT_NODE="${CMAKE_CURRENT_LIST_DIR}/websocket_client_node.js")
add_dependencies(host_api_tests velkotwo_host_example)
gtest_discover_tests(host_api_tests
  WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}
  DISCOVERY_TIMEOUT 60
  PROPERTIES TIMEOUT 300 LABELS "integration;concurrent"
  TEST_LIST host_api_TESTS)
