# Test plumbing: GoogleTest cross-built from Debian's sources, the Wine
# prefix fixture every test runs in, and helpers to declare tests.

set(TESSARD_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix)
set(TESSARD_TEST_ENV "WINEPREFIX=${TESSARD_WINEPREFIX};WINEDEBUG=-all")

set(gtest_force_shared_crt OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest
                 EXCLUDE_FROM_ALL SYSTEM)


# The prefix: created once under the build folder, one persistent
# wineserver for the whole run, stopped at the end.
add_test(NAME wine_prefix_up
         COMMAND ${CMAKE_SOURCE_DIR}/cmake/wine-prefix.sh up ${TESSARD_WINEPREFIX})
set_tests_properties(wine_prefix_up PROPERTIES FIXTURES_SETUP wine_prefix)
add_test(NAME wine_prefix_down
         COMMAND ${CMAKE_SOURCE_DIR}/cmake/wine-prefix.sh down ${TESSARD_WINEPREFIX})
set_tests_properties(wine_prefix_down PROPERTIES FIXTURES_CLEANUP wine_prefix)

# tessard_gtest(target [LABELS label...] [RUN_SERIAL] [TIMEOUT s]
#               [FIXTURES name...] [ARGS arg...])
# Registers a GoogleTest program as one CTest entry, run under Wine in the
# project prefix. (Discovering each test would run the program under Wine at
# CTest start-up, before the prefix fixture has brought the prefix up.)
function(tessard_gtest target)
  cmake_parse_arguments(ARG "RUN_SERIAL" "TIMEOUT" "LABELS;FIXTURES;ARGS" ${ARGN})
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 300)
  endif()
  add_test(NAME ${target} COMMAND ${target} --gtest_color=no ${ARG_ARGS})
  # The settling program (tests/system) is part of the prefix fixture.
  add_dependencies(${target} wine_prefix_settle)
  set_tests_properties(${target} PROPERTIES
    ENVIRONMENT "${TESSARD_TEST_ENV}"
    FIXTURES_REQUIRED "wine_prefix;${ARG_FIXTURES}"
    TIMEOUT ${ARG_TIMEOUT})
  if(ARG_LABELS)
    set_tests_properties(${target} PROPERTIES LABELS "${ARG_LABELS}")
  endif()
  if(ARG_RUN_SERIAL)
    set_tests_properties(${target} PROPERTIES RUN_SERIAL TRUE)
  endif()
endfunction()

# tessard_unit_test(target sources...)
# A GoogleTest program on the fake platform. It carries the product's
# resource script so that catalogue texts load as they do in the product.
function(tessard_unit_test target)
  add_executable(${target} ${ARGN} ${CMAKE_SOURCE_DIR}/app/tessardctl.rc)
  target_link_libraries(${target} PRIVATE fake_platform GTest::gtest_main)
  target_include_directories(${target} PRIVATE ${CMAKE_SOURCE_DIR}/app
                                               ${CMAKE_BINARY_DIR}/app
                                               ${CMAKE_SOURCE_DIR}/actions)
  tessard_gtest(${target} LABELS unit)
endfunction()
