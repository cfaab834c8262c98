# velko_windows_exports(<dll target> <pattern>)
# The DLL exports exactly the symbols of velko_core whose demangled names
# match pattern (a .def file made from the archive before each link), and
# its import library sits beside it.
function(velko_windows_exports target pattern)
  set(def ${CMAKE_CURRENT_BINARY_DIR}/${target}.def)
  add_custom_command(OUTPUT ${def}
    COMMAND ${CMAKE_COMMAND} -DNM=${CMAKE_NM} -DCXXFILT=${VELKO_MINGW_TRIPLET}-c++filt
            -DARCHIVE=$<TARGET_FILE:velko_core> -DOUTPUT=${def} "-DPATTERN=${pattern}"
            -P ${PROJECT_SOURCE_DIR}/cmake/windows_exports.cmake
    DEPENDS velko_core ${PROJECT_SOURCE_DIR}/cmake/windows_exports.cmake
    VERBATIM)
  target_sources(${target} PRIVATE ${def})
  set_target_properties(${target} PROPERTIES PREFIX "" IMPORT_PREFIX "" IMPORT_SUFFIX ".dll.a")
endfunction()
