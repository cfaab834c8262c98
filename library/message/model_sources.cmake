# The message model: protocols, server header, message header, bodies.
set(MESSAGE_MODEL_SOURCES
  protocols.cpp
  http_tables.cpp
  http_message_block.cpp
  chunked_decoder.cpp
  field_list.cpp
  spare_buffers.cpp
  x_header.cpp
  header_parser.cpp
  header_writer.cpp
  message_body.cpp
  request_body_pipe.cpp
  server_header.cpp
)
