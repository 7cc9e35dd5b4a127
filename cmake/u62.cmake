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
  if(NOT T_LABELS)
    set(T_LABELS ${T_NAME})
  endif()
  # Each value is quoted on its own: an empty one would shift the pairs.
  gtest_discover_tests(${T_NAME}
    DISCOVERY_TIMEOUT 60
    PROPERTIES TIMEOUT "${T_TIMEOUT}" LABELS "${T_LABELS}"
               ENVIRONMENT "ORVANE_MARK_DIR=${CMAKE_BINARY_DIR}/marks;U62_BUILD_DIR=${CMAKE_BINARY_DIR};U62_SOURCE_DIR=${CMAKE_SOURCE_DIR}")
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
