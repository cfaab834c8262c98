# The exchange engine: transceiver, connections, client.
set(MESSAGE_ENGINE_SOURCES
)
