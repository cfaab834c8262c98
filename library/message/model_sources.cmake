# The message model: protocols, server header, message header, bodies.
set(MESSAGE_MODEL_SOURCES
)
