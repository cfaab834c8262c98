set(MESSAGE_ENGINE_TESTS
  event_loop_test.cpp
  spare_buffers_test.cpp
  body_stream_test.cpp
  transceiver_connection_test.cpp
  transceiver_test.cpp
  transceiver_client_test.cpp
)
