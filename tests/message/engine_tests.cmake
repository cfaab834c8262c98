set(MESSAGE_ENGINE_TESTS
  transceiver_connection_test.cpp
  transceiver_test.cpp
  transceiver_client_test.cpp
)
