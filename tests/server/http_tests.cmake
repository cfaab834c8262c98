velko_add_tests(server_http
  ${CMAKE_CURRENT_LIST_DIR}/byte_ranges_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/cgi_output_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/cgi_runner_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/entity_tag_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/fastcgi_connection_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/fastcgi_records_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/file_answer_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/http_answer_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/http_connection_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/http_date_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/http_layer_teardown_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/php_pool_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/request_rules_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/route_table_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/router_test.cpp
  LABELS concurrent
)
