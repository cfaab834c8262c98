set(MESSAGE_MODEL_TESTS
  header_parser_test.cpp
)
