# GoogleTest for a cross build, compiled from the sources Debian installs
# (package googletest) with the cross compiler.
set(TARNUP_GOOGLETEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources")
if(NOT EXISTS ${TARNUP_GOOGLETEST_SOURCE}/CMakeLists.txt)
  message(FATAL_ERROR "GoogleTest sources not found in ${TARNUP_GOOGLETEST_SOURCE} "
                      "(Debian package googletest)")
endif()
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
add_subdirectory(${TARNUP_GOOGLETEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL
                 SYSTEM)
# GoogleTest's own build defines GTest::gtest and GTest::gtest_main.

include(GoogleTest)

# Under Wine every start of a program costs about a second, and listing a
# program's tests (at build or at test time) costs one more start. In a
# cross build each GoogleTest program is therefore one test of ctest that
# runs all its cases in one start; its output lists each case and the
# counts. Takes the arguments of GoogleTest's own gtest_discover_tests; a
# TIMEOUT among the PROPERTIES, meant for one case, is replaced by one for
# the whole program.
function(gtest_discover_tests target)
  cmake_parse_arguments(arg "NO_PRETTY_TYPES;NO_PRETTY_VALUES"
    "TEST_PREFIX;TEST_SUFFIX;WORKING_DIRECTORY;TEST_LIST;DISCOVERY_TIMEOUT;XML_OUTPUT_DIR;DISCOVERY_MODE"
    "EXTRA_ARGS;PROPERTIES;TEST_FILTER" ${ARGN})
  set(name ${arg_TEST_PREFIX}${target}${arg_TEST_SUFFIX})
  set(dir ${CMAKE_CURRENT_BINARY_DIR})
  if(arg_WORKING_DIRECTORY)
    set(dir ${arg_WORKING_DIRECTORY})
  endif()
  set(filter)
  if(arg_TEST_FILTER)
    set(filter --gtest_filter=${arg_TEST_FILTER})
  endif()
  add_test(NAME ${name} COMMAND ${target} ${filter} ${arg_EXTRA_ARGS} WORKING_DIRECTORY ${dir})
  set(properties TIMEOUT 600)
  list(LENGTH arg_PROPERTIES count)
  set(i 0)
  while(i LESS count)
    math(EXPR j "${i} + 1")
    list(GET arg_PROPERTIES ${i} key)
    list(GET arg_PROPERTIES ${j} value)
    if(NOT key STREQUAL "TIMEOUT")
      list(APPEND properties ${key} ${value})
    endif()
    math(EXPR i "${i} + 2")
  endwhile()
  set_tests_properties(${name} PROPERTIES ${properties})
endfunction()
