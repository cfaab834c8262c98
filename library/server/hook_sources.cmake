# The outgoing side: URL hook services, their connecting workers and the
# client-role TLS connection.
target_sources(velko_server PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/hook_answers.cpp
  ${CMAKE_CURRENT_LIST_DIR}/hook_tls_connection.cpp
  ${CMAKE_CURRENT_LIST_DIR}/url_hook_factories.cpp
  ${CMAKE_CURRENT_LIST_DIR}/url_hook_service.cpp
  ${CMAKE_CURRENT_LIST_DIR}/url_hook_worker.cpp
)
