# The system's layers, lowest first. Each folder builds into one static library that links the
# layer below it PRIVATE, and its files may include the headers of its own folder and of the
# folders below it, never of one above (docs/architecture.md draws the picture).
set(QZ_LAYERS platform support sources framework physical logical module)

# The warnings of the system's own code, beyond -Wall -Wextra: -Wshadow, because a local that
# hides a member or a parameter has bitten providers that fill rows from both; -Wconversion and
# -Wsign-conversion, because SMBIOS fields, driver answers and WMI properties pass between BYTE,
# WORD, DWORD and signed types, and a silent narrowing there publishes a wrong value. Not
# -Wold-style-cast: the Windows stand-in's headers and macros cast in C style wherever used. QZ_WERROR makes them errors
# (scripts/test.sh builds with it), as it does every other warning.
function(qz_system_warnings target)
  target_compile_options(${target} PRIVATE -Wshadow -Wconversion -Wsign-conversion)
endfunction()

# Fails the build when a file of a layer includes a header of a layer above it.
add_custom_target(qz_layer_check
  COMMAND ${CMAKE_COMMAND} -DQZ_ROOT=${CMAKE_SOURCE_DIR} "-DQZ_LAYERS=${QZ_LAYERS}"
          -P ${CMAKE_SOURCE_DIR}/cmake/QzLayerCheck.cmake
  COMMENT "Checking that no layer includes a layer above it"
  VERBATIM)
add_test(NAME layers.NoLayerIncludesALayerAbove
         COMMAND ${CMAKE_COMMAND} -DQZ_ROOT=${CMAKE_SOURCE_DIR} "-DQZ_LAYERS=${QZ_LAYERS}"
                 -P ${CMAKE_SOURCE_DIR}/cmake/QzLayerCheck.cmake)
set_tests_properties(layers.NoLayerIncludesALayerAbove PROPERTIES LABELS unit)

# qz_add_layer(target BELOW lib SOURCES files...): the static library of one layer.
function(qz_add_layer target)
  cmake_parse_arguments(L "" "BELOW" "SOURCES" ${ARGN})
  add_library(${target} STATIC ${L_SOURCES})
  target_include_directories(${target} PUBLIC ${CMAKE_SOURCE_DIR})
  target_link_libraries(${target} PRIVATE ${L_BELOW} qzplatform)
  qz_system_warnings(${target})
  add_dependencies(${target} qz_layer_check)
  # The module exports its five entry points and nothing else; a module that the platform unloads
  # must not hold unique symbols, which would pin it in memory.
  set_target_properties(${target} PROPERTIES CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    target_compile_options(${target} PRIVATE -fno-gnu-unique)
  endif()
endfunction()
