# u62_gtest(NAME name SOURCES ... LIBS ... [LABELS ...] [TIMEOUT s])
# A GoogleTest executable whose tests CTest runs one by one with a time-out,
# with ORVANE_MARK_DIR pointing at a folder of the build so that test runs
# never meet a real driver's interface marks.
function(u62_gtest)
  cmake_parse_arguments(T "" "NAME;TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 120)
  endif()
  add_executable(${T_NAME} ${T_SOURCES})
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main pthread)
  gtest_discover_tests(${T_NAME}
    DISCOVERY_TIMEOUT 60
    PROPERTIES TIMEOUT ${T_TIMEOUT} LABELS "${T_LABELS}"
               ENVIRONMENT "ORVANE_MARK_DIR=${CMAKE_BINARY_DIR}/marks;U62_BUILD_DIR=${CMAKE_BINARY_DIR};U62_SOURCE_DIR=${CMAKE_SOURCE_DIR}")
endfunction()
