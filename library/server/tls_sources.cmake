# The layers over TLS, the VELKO and direct-socket layers and their builders.
target_sources(velko_server PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/protocol_layer_factories.cpp
  ${CMAKE_CURRENT_LIST_DIR}/transceiver_connection_ssl_addon.cpp
  ${CMAKE_CURRENT_LIST_DIR}/transceiver_server_l1_direct_socket.cpp
  ${CMAKE_CURRENT_LIST_DIR}/transceiver_server_l1_https.cpp
  ${CMAKE_CURRENT_LIST_DIR}/transceiver_server_l1_ssl_addon.cpp
  ${CMAKE_CURRENT_LIST_DIR}/transceiver_server_l1_velko.cpp
)
# HTTP/2 on the HTTPS layer, where the build has nghttp2.
if(TARGET velko_http2)
  target_sources(velko_server PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/http2_answer.cpp
    ${CMAKE_CURRENT_LIST_DIR}/http2_protocol.cpp
  )
  target_link_libraries(velko_server PUBLIC velko_http2)
  target_compile_definitions(velko_server PRIVATE VELKO_HTTP2=1)
endif()
