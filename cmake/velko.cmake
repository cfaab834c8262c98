# velko_subsystem(<name> SOURCES <files...> [DEPENDS <subsystems...>])
# Builds one subsystem as an object library velko_<name>; its objects go into
# velko_core. DEPENDS names the lower subsystems it may use.
function(velko_subsystem name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPENDS" ${ARGN})
  if(NOT ARG_SOURCES)
    return() # nothing written yet
  endif()
  add_library(velko_${name} OBJECT ${ARG_SOURCES})
  target_include_directories(velko_${name} PUBLIC ${PROJECT_SOURCE_DIR}/library ${PROJECT_SOURCE_DIR}/include)
  foreach(dep IN LISTS ARG_DEPENDS)
    target_link_libraries(velko_${name} PUBLIC velko_${dep})
  endforeach()
  target_link_libraries(velko_${name} PUBLIC Threads::Threads OpenSSL::SSL OpenSSL::Crypto)
  set_property(GLOBAL APPEND PROPERTY VELKO_BUILT_SUBSYSTEMS ${name})
endfunction()

# velko_static_library(<target> HEADER <header> LIBRARIES <names...>
#                      [DEFINITIONS <definitions...>])
# An imported target for static libraries without a CMake package (the
# Windows builds of third_party-build/, found through the toolchain's root
# path). LIBRARIES in link order, each found as lib<name>.a; DEFINITIONS go
# to the code that includes the header.
function(velko_static_library target)
  cmake_parse_arguments(ARG "" "HEADER" "LIBRARIES;DEFINITIONS" ${ARGN})
  if(TARGET ${target})
    return()
  endif()
  find_path(${target}_INCLUDE_DIR ${ARG_HEADER} REQUIRED)
  set(files)
  foreach(name IN LISTS ARG_LIBRARIES)
    find_library(${target}_${name}_LIBRARY NAMES lib${name}.a REQUIRED)
    list(APPEND files ${${target}_${name}_LIBRARY})
  endforeach()
  add_library(${target} INTERFACE IMPORTED GLOBAL)
  set_target_properties(${target} PROPERTIES
    INTERFACE_INCLUDE_DIRECTORIES ${${target}_INCLUDE_DIR}
    INTERFACE_LINK_LIBRARIES "${files}"
    INTERFACE_COMPILE_DEFINITIONS "${ARG_DEFINITIONS}")
endfunction()

# velko_exclude_on_windows(<test name regex> <reason>)
# Tests of this directory whose names match get the label "windows-excluded"
# in a Windows build (scripts/test-windows.sh leaves them out). Call it before
# velko_add_tests; the reason says in one line why the test cannot run there.
function(velko_exclude_on_windows pattern reason)
  set_property(DIRECTORY APPEND PROPERTY VELKO_WINDOWS_EXCLUDED "${pattern}")
endfunction()

# velko_add_tests(<subsystem> <files...> [LABELS <labels...>])
# One GoogleTest executable per subsystem, registered with CTest. The label
# "concurrent" makes the thread-sanitizer build run it too.
function(velko_add_tests name)
  cmake_parse_arguments(ARG "" "" "LABELS" ${ARGN})
  if(NOT ARG_UNPARSED_ARGUMENTS)
    return()
  endif()
  add_executable(${name}_tests ${ARG_UNPARSED_ARGUMENTS})
  target_link_libraries(${name}_tests PRIVATE velko_core GTest::gtest GTest::gtest_main)
  if(TARGET velko_test_support)
    target_link_libraries(${name}_tests PRIVATE velko_test_support)
  endif()
  gtest_discover_tests(${name}_tests
    WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}
    DISCOVERY_TIMEOUT 60
    PROPERTIES TIMEOUT 300
    TEST_LIST ${name}_TESTS)
  # Labels are set after discovery: a list value would not survive
  # gtest_discover_tests' PROPERTIES.
  set(labels ${name} ${ARG_LABELS})
  set(script ${CMAKE_CURRENT_BINARY_DIR}/${name}_labels.cmake)
  set(excluded_checks "")
  if(WIN32)
    get_property(excluded DIRECTORY PROPERTY VELKO_WINDOWS_EXCLUDED)
    foreach(pattern IN LISTS excluded)
      # The pattern goes into a quoted argument of the script, where a
      # backslash is itself escaped: "\." is written "\\.".
      string(REPLACE "\\" "\\\\" quoted "${pattern}")
      string(APPEND excluded_checks
        "  if(test MATCHES \"${quoted}\")\n    list(APPEND labels windows-excluded)\n  endif()\n")
    endforeach()
  endif()
  file(WRITE ${script}
    "foreach(test IN LISTS ${name}_TESTS)\n"
    "  set(labels ${labels})\n"
    "${excluded_checks}"
    "  set_tests_properties(\"\${test}\" PROPERTIES LABELS \"\${labels}\")\n"
    "endforeach()\n")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${script})
endfunction()
