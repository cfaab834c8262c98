# The exchange engine: transceiver, connections, client.
set(MESSAGE_ENGINE_SOURCES
  event_loop.cpp
  body_stream.cpp
  transceiver.cpp
  transceiver_loops.cpp
  transceiver_connection.cpp
  transceiver_client.cpp
)
