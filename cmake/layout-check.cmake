# The folders of src/ stand in floors (docs/architecture.md): scripts/check-layout reads their
# includes, and the build stops before the library is compiled when a folder includes one above
# it, when folders use each other, or when an OS header turns up outside src/platform/.
find_package(Python3 COMPONENTS Interpreter)
if(NOT Python3_Interpreter_FOUND)
  message(STATUS "Python 3 not found: the check of the source layout is left out")
  return()
endif()

file(GLOB_RECURSE ZORCOMM_LAYOUT_SOURCES CONFIGURE_DEPENDS
  ${CMAKE_SOURCE_DIR}/src/*.h ${CMAKE_SOURCE_DIR}/src/*.cpp)
set(ZORCOMM_LAYOUT_STAMP ${CMAKE_BINARY_DIR}/layout-check.stamp)
add_custom_command(OUTPUT ${ZORCOMM_LAYOUT_STAMP}
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/scripts/check-layout ${CMAKE_SOURCE_DIR}/src
  COMMAND ${CMAKE_COMMAND} -E touch ${ZORCOMM_LAYOUT_STAMP}
  DEPENDS ${ZORCOMM_LAYOUT_SOURCES} ${CMAKE_SOURCE_DIR}/scripts/check-layout
  COMMENT "Checking that the folders of src/ stand in floors"
  VERBATIM)
add_custom_target(layout-check ALL DEPENDS ${ZORCOMM_LAYOUT_STAMP})

if(ZORCOMM_BUILD_TESTS)
  enable_testing()
  add_test(NAME layout
    COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/scripts/check-layout ${CMAKE_SOURCE_DIR}/src)
  set_tests_properties(layout PROPERTIES LABELS "layout;unit" TIMEOUT 60)
endif()
