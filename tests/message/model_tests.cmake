set(MESSAGE_MODEL_TESTS
  header_parser_test.cpp
  header_in_place_test.cpp
  header_writer_test.cpp
  message_body_test.cpp
  protocols_test.cpp
  chunked_decoder_test.cpp
)
