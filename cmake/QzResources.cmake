# The string tables: qzrc compiles an .rc file into a C++ source that files its strings under the
# module that links it, where FindResourceExW and LoadResourceString find them.

add_subdirectory(${CMAKE_SOURCE_DIR}/tools/qzrc ${CMAKE_BINARY_DIR}/tools/qzrc)

# qz_add_resources(target rcfile modulename): the strings of `rcfile` (relative to the source tree)
# become resources of the module called `modulename` in whatever links `target`. A static library
# (or the interface library of the system) hands the compiled table on to everything that links it: nothing refers to the table by name, so
# an archive member would never be pulled in.
function(qz_add_resources target rcfile modulename)
  get_filename_component(rc_path ${rcfile} ABSOLUTE BASE_DIR ${CMAKE_SOURCE_DIR})
  get_filename_component(rc_name ${rcfile} NAME_WE)
  set(out_dir ${CMAKE_BINARY_DIR}/resources/${target})
  set(out ${out_dir}/${rc_name}_rc.cpp)
  file(MAKE_DIRECTORY ${out_dir})
  file(RELATIVE_PATH rc_origin ${CMAKE_SOURCE_DIR} ${rc_path})
  add_custom_command(
    OUTPUT ${out}
    COMMAND qzrc -I ${CMAKE_SOURCE_DIR} --depfile ${out}.d ${rc_path} ${out} ${modulename}
    DEPENDS qzrc ${rc_path}
    DEPFILE ${out}.d
    COMMENT "Compiling the string tables of ${rc_origin}"
    VERBATIM)
  # The table is compiled by an object library of this folder: only a target of the folder that
  # holds the custom command gets the rule that makes its output, and `target` may live elsewhere.
  set(objects ${target}_${rc_name}_resources)
  add_library(${objects} OBJECT ${out})
  target_link_libraries(${objects} PRIVATE qzplatform)
  add_dependencies(${target} ${objects})
  get_target_property(kind ${target} TYPE)
  if(kind STREQUAL "STATIC_LIBRARY" OR kind STREQUAL "INTERFACE_LIBRARY")
    target_sources(${target} INTERFACE $<TARGET_OBJECTS:${objects}>)
  else()
    target_sources(${target} PRIVATE $<TARGET_OBJECTS:${objects}>)
  endif()
endfunction()

# The module's own strings travel with the system library into the module and every unit test.
qz_add_resources(qzsystem resources/QZWmiMemory.rc QZWmiMemory.dll)
# The string loader's tests also find a second language of the module, to exercise the fallback.
if(TARGET support_tests)
  qz_add_resources(support_tests support/testdata/QZWmiMemoryGerman.rc QZWmiMemory.dll)
endif()
