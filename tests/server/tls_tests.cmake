velko_add_tests(server_tls
  ${CMAKE_CURRENT_LIST_DIR}/transceiver_server_l1_ssl_addon_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/transceiver_server_l1_https_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/transceiver_server_l1_direct_socket_test.cpp
  LABELS concurrent
)
