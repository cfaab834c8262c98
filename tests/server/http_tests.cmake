# The pool's own test runs the Linux php-cgi and kills it by its pid;
# on Windows tests/windows tests the pool against a stand-in responder.
if(NOT WIN32)
  set(VELKO_PHP_POOL_TEST ${CMAKE_CURRENT_LIST_DIR}/php_pool_test.cpp)
endif()
velko_add_tests(server_http
  ${CMAKE_CURRENT_LIST_DIR}/answer_compression_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/byte_ranges_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/cgi_output_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/cgi_runner_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/compressed_stream_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/cookies_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/entity_tag_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/event_stream_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/fastcgi_connection_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/fastcgi_records_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/file_answer_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/http_answer_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/file_cache_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/file_encoding_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/http_connection_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/http_date_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/http_layer_teardown_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/http_layer_test.cpp
  ${VELKO_PHP_POOL_TEST}
  ${CMAKE_CURRENT_LIST_DIR}/request_reader_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/request_rules_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/route_table_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/router_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/script_stream_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/site_rules_test.cpp
  LABELS concurrent
)
# HTTP/2 answers, where the build has nghttp2.
if(TARGET velko_http2)
  velko_add_tests(server_http2
    ${CMAKE_CURRENT_LIST_DIR}/http2_answer_test.cpp
  )
endif()
