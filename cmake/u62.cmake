# u62_gtest(NAME name SOURCES ... LIBS ... [LABELS ...] [TIMEOUT s] [ENV VAR=value ...])
# A GoogleTest executable whose tests CTest runs one by one with a time-out,
# with ORVANE_MARK_DIR pointing at a folder of the build so that test runs
# never meet a real driver's interface marks. The environment goes through
# env(1) as the test launcher: a list in the ENVIRONMENT property of
# discovered tests would lose all but its first element.
function(u62_gtest)
  cmake_parse_arguments(T "" "NAME;TIMEOUT" "SOURCES;LIBS;LABELS;ENV" ${ARGN})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 120)
  endif()
  if(NOT T_LABELS)
    set(T_LABELS ${T_NAME})
  endif()
  add_executable(${T_NAME} ${T_SOURCES})
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} u62_test_main GTest::gtest pthread)
  set_target_properties(${T_NAME} PROPERTIES CROSSCOMPILING_EMULATOR
    "env;ORVANE_MARK_DIR=${CMAKE_BINARY_DIR}/marks;U62_BUILD_DIR=${CMAKE_BINARY_DIR};U62_SOURCE_DIR=${CMAKE_SOURCE_DIR};${T_ENV}")
  gtest_discover_tests(${T_NAME}
    DISCOVERY_TIMEOUT 60
    PROPERTIES TIMEOUT "${T_TIMEOUT}" LABELS "${T_LABELS}")
endfunction()

# u62_core_library(NAME name DIRS dir... LIBS ...)
# A static library of every .cpp in the given folders (relative to the
# calling folder). While a folder has no sources yet the library is an
# interface library, so that its users configure and link all the same.
function(u62_core_library)
  cmake_parse_arguments(L "" "NAME" "DIRS;LIBS" ${ARGN})
  set(sources)
  foreach(dir ${L_DIRS})
    file(GLOB found CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/${dir}/*.cpp)
    list(APPEND sources ${found})
  endforeach()
  if(sources)
    add_library(${L_NAME} STATIC ${sources})
    target_link_libraries(${L_NAME} PUBLIC ${L_LIBS})
  else()
    add_library(${L_NAME} INTERFACE)
    target_link_libraries(${L_NAME} INTERFACE ${L_LIBS})
  endif()
endfunction()
