velko_add_tests(server_hooks
  ${CMAKE_CURRENT_LIST_DIR}/url_hook_service_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/url_hook_exchange_test.cpp
  LABELS concurrent
)
