# Test executables: one per folder for the ordinary unit tests (*_test.cpp) and one for the
# concurrency tests (*_mt_test.cpp), which are also built and run under ThreadSanitizer.
# Every test runs in its own process (gtest_discover_tests), and the test main gives each
# process a fresh system root, so tests never share registry, files or kernel objects.

# Where tests find the bundled machines and the captured SMBIOS tables.
function(qz_test_definitions target)
  target_compile_definitions(${target} PRIVATE
    QZ_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
    QZ_MACHINES_DIR="${PROJECT_SOURCE_DIR}/machines"
    QZ_CORPUS_DIR="${PROJECT_SOURCE_DIR}/tests/data/smbios")
endfunction()

# qz_add_test_files(name UNIT files... MT files... LIBS libs...): the unit tests and the
# concurrency tests of one folder, named from `name` (slashes become underscores).
function(qz_add_test_files name)
  cmake_parse_arguments(T "" "" "UNIT;MT;LIBS" ${ARGN})
  string(REPLACE "/" "_" target ${name})
  if(T_UNIT AND NOT QZ_SANITIZE STREQUAL "thread")
    add_executable(${target}_tests ${T_UNIT})
    target_link_libraries(${target}_tests PRIVATE ${T_LIBS} qztestmain GTest::gtest GTest::gmock)
    qz_test_definitions(${target}_tests)
    gtest_discover_tests(${target}_tests DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
                         PROPERTIES TIMEOUT 300 LABELS unit)
  endif()
  if(T_MT)
    add_executable(${target}_mt_tests ${T_MT})
    target_link_libraries(${target}_mt_tests PRIVATE ${T_LIBS} qztestmain GTest::gtest GTest::gmock)
    qz_test_definitions(${target}_mt_tests)
    gtest_discover_tests(${target}_mt_tests DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
                         PROPERTIES TIMEOUT 600 LABELS concurrency)
  endif()
endfunction()

# qz_add_tests(name dir libs...): every *_test.cpp of `dir`, the *_mt_test.cpp among them as the
# concurrency tests.
function(qz_add_tests name dir)
  file(GLOB all_tests CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/${dir}/*_test.cpp)
  set(mt_tests ${all_tests})
  list(FILTER mt_tests INCLUDE REGEX "_mt_test\\.cpp$")
  set(unit_tests ${all_tests})
  list(FILTER unit_tests EXCLUDE REGEX "_mt_test\\.cpp$")
  qz_add_test_files(${name} UNIT ${unit_tests} MT ${mt_tests} LIBS ${ARGN})
endfunction()
