target_sources(velko_server PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/byte_ranges.cpp
  ${CMAKE_CURRENT_LIST_DIR}/cgi_output.cpp
  ${CMAKE_CURRENT_LIST_DIR}/cgi_runner.cpp
  ${CMAKE_CURRENT_LIST_DIR}/cookies.cpp
  ${CMAKE_CURRENT_LIST_DIR}/entity_tag.cpp
  ${CMAKE_CURRENT_LIST_DIR}/event_stream.cpp
  ${CMAKE_CURRENT_LIST_DIR}/fastcgi_connection.cpp
  ${CMAKE_CURRENT_LIST_DIR}/fastcgi_records.cpp
  ${CMAKE_CURRENT_LIST_DIR}/fastcgi_response.cpp
  ${CMAKE_CURRENT_LIST_DIR}/file_answer.cpp
  ${CMAKE_CURRENT_LIST_DIR}/file_cache.cpp
  ${CMAKE_CURRENT_LIST_DIR}/http_answer.cpp
  ${CMAKE_CURRENT_LIST_DIR}/http_connection.cpp
  ${CMAKE_CURRENT_LIST_DIR}/http_date.cpp
  ${CMAKE_CURRENT_LIST_DIR}/http_layer.cpp
  ${CMAKE_CURRENT_LIST_DIR}/http_layer_factory.cpp
  ${CMAKE_CURRENT_LIST_DIR}/mime_types.cpp
  ${CMAKE_CURRENT_LIST_DIR}/php_pool.cpp
  ${CMAKE_CURRENT_LIST_DIR}/request_path.cpp
  ${CMAKE_CURRENT_LIST_DIR}/request_rules.cpp
  ${CMAKE_CURRENT_LIST_DIR}/route_table.cpp
  ${CMAKE_CURRENT_LIST_DIR}/router.cpp
  ${CMAKE_CURRENT_LIST_DIR}/router_body_plan.cpp
  ${CMAKE_CURRENT_LIST_DIR}/script_result.cpp
  ${CMAKE_CURRENT_LIST_DIR}/script_stream.cpp
)
target_link_libraries(velko_server PUBLIC velko_html velko_store)
