# The layers over TLS, the VELKO and direct-socket layers and their builders.
target_sources(velko_server PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/protocol_layer_factories.cpp
  ${CMAKE_CURRENT_LIST_DIR}/transceiver_connection_ssl_addon.cpp
  ${CMAKE_CURRENT_LIST_DIR}/transceiver_server_l1_direct_socket.cpp
  ${CMAKE_CURRENT_LIST_DIR}/transceiver_server_l1_https.cpp
  ${CMAKE_CURRENT_LIST_DIR}/transceiver_server_l1_ssl_addon.cpp
  ${CMAKE_CURRENT_LIST_DIR}/transceiver_server_l1_velko.cpp
)
